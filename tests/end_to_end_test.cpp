// End-to-end runs of the built tarnek.
//
// Golden cases: each directory tests/golden/<case>/ is one run, kept as data
// that a reader can check by hand:
//   args       the arguments after the command name, one a line, as typed in
//              the run's working directory, a fresh temporary directory;
//   before/    that directory's initial content (absent: empty);
//   after/     its exact content after the run: the same names (a leftover
//              temporary or a stray file fails), every file byte for byte,
//              every symbolic link with the same target;
//   unchanged  stands instead of after/ when the run must change nothing;
//   stdout     the exact console text;
//   exit       the exit code.
// A file named .keep only keeps its otherwise empty directory in the source
// tree: it is neither copied nor compared.
//
// What some cases stand for:
//   standardise_internal_precomputed, standardise_external_precomputed: the
//     long-form runs standardise_internal and standardise_external (four
//     regions by age group, their rows mixed, an age group without cases, a
//     region lacking one) give the files of a run on one row per region whose
//     expected counts were worked out by hand: internal rates 10/1000,
//     20/1000, 30/500 and 0/130, so A = 400 x 0.01 + 200 x 0.02 + 100 x 0.06
//     = 14, B = 3 + 6, C = 2 + 6 + 15, D = 1 + 4 + 9; and with the
//     standard's rates, A = 3.125 + 3.125 + 6.25 + 50 x 0.0001. A kept column
//     is a region's (keep_stratum_column: a stratum column, which varies
//     within one, is refused).
//   the refused inputs and options (csv_*, keep_*, covariate_*, covariates_*,
//     geometry_*, neighbours_*, standard_*, standardise_*, vector_*, ...): a
//     message naming the option or the file, the line or feature and the
//     column or id, exit code 2 where the text does not read as what the run
//     needs and 1 where it reads but does not fit, and the earlier out.txt
//     and out.log left as they were.
//
// After them, what cannot be fixed bytes: the times of -T, a console that
// cannot be written, writes that fail at the file-size limit or on a full
// device, inputs too large to keep, runs ended by signals, commits that meet
// other runs, and the bundled sample with its plot.
#include <fcntl.h>         // open
#include <linux/fiemap.h>  // fiemap, FIEMAP_EXTENT_DELALLOC
#include <linux/fs.h>      // FS_IOC_FIEMAP
#include <signal.h>        // kill, signal, SIGTERM, SIGXFSZ
#include <sys/file.h>      // flock
#include <sys/ioctl.h>     // ioctl
#include <sys/resource.h>  // setrlimit, RLIMIT_FSIZE
#include <sys/syscall.h>   // SYS_tgkill
#include <sys/wait.h>      // waitpid, waitid
#include <unistd.h>        // fork, execv, dup2, pipe, close, chdir, alarm, usleep

#include <algorithm>
#include <chrono>
#include <cmath>    // std::fabs, std::nextafter, INFINITY
#include <cstdio>   // tmpfile
#include <cstdlib>  // mkdtemp
#include <cstring>  // strsignal
#include <ctime>    // time, localtime, strftime
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "map_svg.h"
#include "sample_data.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kGolden = fs::path(TARNEK_SOURCE_DIR) / "tests" / "golden";

// Where the run's standard output goes. Only File is read back.
enum class Console {
  File,        // a temporary file
  Closed,      // descriptor 1 closed
  AllClosed,   // descriptors 0, 1 and 2 closed
  BrokenPipe,  // a pipe whose reader has gone, SIGPIPE at its default
  Full,        // /dev/full: every write fails
  Pipe,        // a pipe that the test reads to its end
  Append,      // the file consoleFile of the run's directory, opened as `>>` opens it
  Truncate,    // the same, opened as `>` opens it
};

// How the built tarnek is started; the defaults give a plain run.
struct Launch {
  rlim_t fileSizeLimit = 0;                 // above 0: caps every file it writes (RLIMIT_FSIZE, SIGXFSZ ignored so that the write fails instead)
  std::function<void(pid_t)> whileRunning = nullptr;  // gets its process id while it runs
  uid_t user = 0;                           // above 0: runs under that user and group id
  int ignoredSignal = 0;                    // above 0: starts with that signal ignored, as nohup does SIGHUP
  Console console = Console::File;
  std::string binary = TARNEK_BINARY;       // the program file: the built tarnek or a copy of it
  std::string consoleFile = "";             // Append, Truncate: the console's file in the run's directory
};

// Runs the built tarnek with `args` in `dir` and returns its exit code (128 +
// the signal number when a signal ended it, never with a core file) and its
// console text. A run that hangs is ended by SIGALRM after a minute.
std::pair<int, std::string> Tarnek(const fs::path& dir, std::vector<std::string> args, const Launch& launch = {}) {
  std::vector<char*> argv{const_cast<char*>(launch.binary.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* console = std::tmpfile();
  if (console == nullptr) return {-1, "no temporary file for the console"};
  const int consoleFd = fileno(console);
  int readFds[2];
  if (launch.console == Console::Pipe && pipe2(readFds, O_CLOEXEC) != 0) return {-1, "no pipe for the console"};
  const int named = launch.console != Console::Append && launch.console != Console::Truncate ? -1
                    : open((dir / launch.consoleFile).c_str(),
                           O_WRONLY | O_CREAT | O_CLOEXEC | (launch.console == Console::Append ? O_APPEND : O_TRUNC), 0644);
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    int pipeFds[2];
    switch (launch.console) {
      case Console::File: dup2(consoleFd, STDOUT_FILENO); break;
      case Console::Closed: close(STDOUT_FILENO); break;
      case Console::AllClosed: for (int fd : {0, 1, 2}) close(fd); break;
      case Console::BrokenPipe:
        if (pipe(pipeFds) != 0 || signal(SIGPIPE, SIG_DFL) == SIG_ERR) _exit(126);
        close(pipeFds[0]);
        dup2(pipeFds[1], STDOUT_FILENO);
        break;
      case Console::Full: dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); break;
      case Console::Pipe:
        close(readFds[0]);
        dup2(readFds[1], STDOUT_FILENO);
        close(readFds[1]);
        break;
      case Console::Append:
      case Console::Truncate: dup2(named, STDOUT_FILENO); break;
    }
    alarm(60);
    const rlimit noCore{0, 0};
    const rlimit limit{launch.fileSizeLimit, launch.fileSizeLimit};
    if (setrlimit(RLIMIT_CORE, &noCore) != 0) _exit(126);
    if (launch.fileSizeLimit > 0 && (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)) _exit(126);
    if (launch.ignoredSignal > 0 && signal(launch.ignoredSignal, SIG_IGN) == SIG_ERR) _exit(126);
    if (launch.user > 0 && (setgid(launch.user) != 0 || setuid(launch.user) != 0)) _exit(126);
    if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  if (launch.whileRunning) launch.whileRunning(pid);
  std::string text;
  if (launch.console == Console::Pipe) {
    close(readFds[1]);
    char block[4096];
    for (ssize_t n; (n = read(readFds[0], block, sizeof block)) != 0;) {
      if (n > 0) text.append(block, static_cast<size_t>(n));
      else if (errno != EINTR) break;
    }
    close(readFds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (named >= 0) close(named);
  std::rewind(console);
  for (int c; (c = std::fgetc(console)) != EOF;) text += static_cast<char>(c);
  std::fclose(console);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
}

std::string Read(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

// A directory's content: every path below it but .keep files, mapped to the
// bytes of the file, to "<directory>", or to "-> target" for a symbolic link.
using Tree = std::map<std::string, std::string>;
const std::string kDirectory = "<directory>", kLink = "-> ";

Tree Snapshot(const fs::path& dir) {
  Tree tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.path().filename() == ".keep") continue;
    const std::string name = e.path().lexically_relative(dir).string();
    tree[name] = e.is_symlink() ? kLink + fs::read_symlink(e.path()).string() : e.is_directory() ? kDirectory : Read(e.path());
  }
  return tree;
}

void ExpectTree(const fs::path& dir, const Tree& want) {
  Tree got = Snapshot(dir);
  for (const auto& [name, content] : want) {
    EXPECT_EQ(got.count(name) ? got[name] : "(missing)", content) << name;
    got.erase(name);
  }
  for (const auto& stray : got) ADD_FAILURE() << "stray file " << stray.first;
}

// A fresh temporary directory holding `files`, removed at the end; made in
// `parent`, by default the system's temporary directory. A parent directory
// sorts before its content, so it is created first.
struct Scratch {
  fs::path path;
  explicit Scratch(const Tree& files, const fs::path& parent = fs::temp_directory_path()) {
    std::string pattern = (parent / "tarnek-e2e-XXXXXX").string();
    path = mkdtemp(pattern.data());
    for (const auto& [name, content] : files) {
      if (content == kDirectory) fs::create_directory(path / name);
      else if (content.rfind(kLink, 0) == 0) fs::create_symlink(content.substr(kLink.size()), path / name);
      else std::ofstream(path / name, std::ios::binary) << content;
    }
  }
  ~Scratch() { std::error_code ignored; fs::remove_all(path, ignored); }
};

// `files` beside an earlier out.txt and out.log.
Tree WithEarlier(Tree files) {
  files["out.txt"] = "earlier table";
  files["out.log"] = "earlier log";
  return files;
}

// Runs tarnek in a directory holding `before`, made in `parent`, checks its
// exit code and the directory's content afterwards, and returns its console text.
std::string ExpectRunIn(const fs::path& parent, const Tree& before, const std::vector<std::string>& args, int exitCode,
                        const Tree& after, const Launch& launch = {}) {
  Scratch scratch(before, parent);
  const auto [gotExitCode, console] = Tarnek(scratch.path, args, launch);
  EXPECT_EQ(gotExitCode, exitCode);
  ExpectTree(scratch.path, after);
  return console;
}

// The same in a directory of the system's temporary directory.
std::string ExpectRun(const Tree& before, const std::vector<std::string>& args, int exitCode, const Tree& after,
                      const Launch& launch = {}) {
  return ExpectRunIn(fs::temp_directory_path(), before, args, exitCode, after, launch);
}

std::set<std::string> CaseNames() {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(kGolden)) if (e.is_directory()) names.insert(e.path().filename());
  return names;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, ConsoleExitCodeAndFilesMatch) {
  const fs::path dir = kGolden / GetParam();
  const bool unchanged = fs::exists(dir / "unchanged");
  ASSERT_NE(unchanged, fs::exists(dir / "after")) << "a case has either after/ or unchanged";
  std::vector<std::string> args;
  std::istringstream lines(Read(dir / "args"));
  for (std::string line; std::getline(lines, line);) args.push_back(line);
  EXPECT_EQ(ExpectRun(Snapshot(dir / "before"), args, std::stoi(Read(dir / "exit")),
                      Snapshot(dir / (unchanged ? "before" : "after"))),
            Read(dir / "stdout"));
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(CaseNames()),
                         [](const auto& info) { return info.param; });

TEST(GoldenCases, Found) { EXPECT_GE(CaseNames().size(), 148u); }

const std::vector<std::string> kArgs{"data.txt", "out.txt"};
const std::string kNames = Read(kGolden / "failing_fit" / "stdout");  // console up to the file names

TEST(Console, TimesAndAConsoleThatCannotBeWrittenLeaveTheFilesAlone) {
  // The console is a report, the files are the product: with -t and -T (each
  // line once, the local time of the run as strftime writes it) and whatever
  // becomes of the console, the run writes the files of worked6 and ends with
  // 0. The " end:" line is printed while the log is open.
  const auto timeText = [](std::time_t t) {
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y\n", std::localtime(&t)));
  };
  const fs::path worked = kGolden / "worked6";
  const struct { Console console; const char* note; } cases[] = {
      {Console::File, "the start and end lines bracket the estimation and never reach the files"},
      {Console::Closed, "the log's temporary gets descriptor 1 and the console's lines with it"},
      {Console::AllClosed, "0 and 2 as well: the data and the outputs would take 0 and 1"},
      {Console::BrokenPipe, "the reader has gone: SIGPIPE ends the run"},
      {Console::Full, "every console write fails"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const std::time_t before = std::time(nullptr);
    const std::string console = ExpectRun(Snapshot(worked / "before"), {"data.txt", "out.txt", "-t", "-T"}, 0,
                                          Snapshot(worked / "after"), {.console = c.console});
    const std::time_t after = std::time(nullptr);
    bool matched = c.console != Console::File;
    for (std::time_t start = before; start <= after; ++start)
      for (std::time_t end = start; end <= after; ++end)
        matched |= console == kNames + "\n start: " + timeText(start) + " end:   " + timeText(end);
    EXPECT_TRUE(matched) << console;
  }
}

TEST(Console, StandardOutputAsAnOutputIsWrittenThroughItsDescriptor) {
  // The table named by a link to /dev/stdout (so the log lies beside it as
  // so.log) goes through descriptor 1 after the console's lines: down a
  // pipe ("pipe:[N]" is no path), or into the file the console was
  // redirected to, which keeps what it held before. That file was replaced
  // by the table alone (`>> keep.txt`: its earlier text and the console
  // lines lost), being a regular file that /proc/self/fd/1 leads to.
  const fs::path worked = kGolden / "worked6";
  std::string names = Read(worked / "stdout");
  names.replace(names.find("out.txt"), 7, "so");
  names.replace(names.find("out.log"), 7, "so.log");
  const std::string table = Read(worked / "after" / "out.txt");
  const Tree before{{"data.txt", Read(worked / "before" / "data.txt")}, {"so", kLink + "/dev/stdout"},
                    {"keep.txt", "earlier line\n"}};
  const struct { Console console; bool sync; std::string consoleText, kept; } cases[] = {
      {Console::Pipe, false, names + table, "earlier line\n"},
      {Console::Pipe, true, names + table, "earlier line\n"},  // no directory to sync: that failed
      {Console::Append, false, "", "earlier line\n" + names + table},
      {Console::Truncate, true, "", names + table},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.console));
    Tree after = before;
    after["so.log"] = Read(worked / "after" / "out.log");
    after["keep.txt"] = c.kept;
    std::vector<std::string> args{"data.txt", "so"};
    if (c.sync) args.push_back("--sync");
    EXPECT_EQ(ExpectRun(before, args, 0, after, {.console = c.console, .consoleFile = "keep.txt"}), c.consoleText);
  }
  // With descriptor 1 closed there is nothing to write through: the table
  // cannot be created (its message is lost with the console), and no file is.
  ExpectRun(before, {"data.txt", "so"}, 1, before, {.console = Console::Closed});
  // Two tables may share the pipe, which takes them in turn; not the file
  // the console was redirected to, which each would write from its start.
  Tree both = before;
  both["out.txt"] = table;
  both["out.log"] = Read(worked / "after" / "out.log");
  const std::string piped = ExpectRun(before, {"data.txt", "out.txt", "--regions=so", "--groups=so"}, 0, both,
                                      {.console = Console::Pipe});
  const std::string console = Read(worked / "stdout");
  EXPECT_TRUE(piped.starts_with(console + "unit,code,")) << piped;
  EXPECT_NE(piped.find("\r\nunit,regions,", console.size()), std::string::npos) << "the group table after the regions";
  Tree refused = before;
  refused["keep.txt"] = kNames + "\n ERROR! so and so are the same file \n\n";
  ExpectRun(before, {"data.txt", "out.txt", "--regions=so", "--groups=so"}, 1, refused,
            {.console = Console::Truncate, .consoleFile = "keep.txt"});
}

TEST(GeneratedInput, WriteFailuresAndHugeInputs) {
  // Every run starts beside earlier out.txt and out.log, which a failing run
  // must leave as they were, with no temporary left beside them. A run slower
  // than the alarm (a scan that is not linear) fails by its exit code.
  const auto records = [](int count) {  // in one group
    std::string data;
    for (int k = 1; k <= count; ++k) data += "-1 " + std::to_string(k) + " " + std::to_string(k % 7) + " 1.25\n";
    return data;
  };
  const std::string digits(999999, '0');
  struct Case {
    const char* note;
    std::string data;
    rlim_t fileSizeLimit;
    std::string message;  // after the file names
    int exitCode;
    const char* golden;                   // the case whose out.txt and out.log the run gives, or none
    std::string table = "earlier table";  // out.txt before the run
  } cases[] = {
      {"the table fails at the limit; the complete log must not land either", records(2000), 4096,
       "\n ERROR! Can't write out.txt file \n\n", 1, nullptr},
      // A full disk makes every file fail: the table (over a block) while it
      // is written, on /dev/full; the log only when it is flushed at its
      // close, beyond the limit. The log closes first, but the table's
      // failure came first and is the one to name.
      {"a full disk", records(20000), 300, "\n ERROR! Can't write out.txt file \n\n", 1, nullptr, kLink + "/dev/full"},
      {"the log (~500 bytes) fails, the table (~150 bytes) not; the log closes first", "-1 1 1 1.25\n-1 2 2 1.25\n",
       300, "\n ERROR! Can't write out.log file \n\n", 1, nullptr},
      {"a million-digit Data2", "-1 1 1 1" + digits + ".\n", 0, "\n Error!! Wrong data found (in code-1)\n", 1, nullptr},
      {"a million-digit Unit", "-1 7 1 1\n1" + digits + " 8 1 1\n", 0, "\n Error!! Wrong data found (around code-7)\n", 2,
       nullptr},
      {"a million blank lines", std::string(1000000, '\n'), 0, "", 0, "empty_data"},
      {"a ten-megabyte line", std::string(10000000, ' ') + "-1 1 1 1\n-1 2 3 1\n", 0, "", 0, "failing_fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    const Tree before{{"data.txt", c.data}, {"out.txt", c.table}, {"out.log", "earlier log"}};
    Tree after = c.golden ? Snapshot(kGolden / c.golden / "after") : before;
    after["data.txt"] = c.data;
    EXPECT_EQ(ExpectRun(before, kArgs, c.exitCode, after, {.fileSizeLimit = c.fileSizeLimit}), kNames + c.message);
  }
}

TEST(GeneratedInput, TheFileSizeIsNoMeasureOfTheData) {
  // worked6's records, a Ctrl-Z and a terabyte of sparse tail hold six
  // records: memory reserved from the size ran out ("Not enough memory").
  const fs::path worked = kGolden / "worked6";
  Scratch sparse({{"data.txt", Read(worked / "before" / "data.txt") + "\x1a"}});
  std::error_code error;
  fs::resize_file(sparse.path / "data.txt", uintmax_t{1} << 40, error);
  if (error) GTEST_SKIP() << "no sparse terabyte here: " << error.message();
  EXPECT_EQ(Tarnek(sparse.path, kArgs), std::make_pair(0, Read(worked / "stdout")));
  for (const char* name : {"out.txt", "out.log"}) EXPECT_EQ(Read(sparse.path / name), Read(worked / "after" / name)) << name;
}

TEST(UndefinedRows, KeptInEveryOutputAndLeftOutOfEveryEstimate) {
  // With --undefined=skip the rows without a defined ratio (an empty or NA
  // count, an empty, NA or 0 expected count) keep their place in the tables,
  // with "***" or empty values, and every estimate is that of the file
  // without them: the same log, the same lines for the other rows, the same
  // groups but for the count of rows left out. Unit 3 has none left: no
  // group, a line of the group table with its count alone. Without the
  // option each such row is an error (golden csv_observed_empty and the like).
  const struct { std::string row, table = "", region = ""; } rows[] = {  // the row; where it has no ratio, its lines in the tables
      {"1,a,3,1.5"}, {"1,b,,2", "1\tb\t***\t2.000000\t***\t***\t***", "1,b,,2"}, {"1,c,4,2.5"},
      {"2,d,2,-0", "2\td\t2\t0.000000\t***\t***\t***", "2,d,2,0"}, {"1,e,7,3"}, {"2,f,1,1"},
      {"2,g,NA,1", "2\tg\t***\t1.000000\t***\t***\t***", "2,g,,1"}, {"2,h,5,2"},
      {"3,i,1,NA", "3\ti\t1\t***\t***\t***\t***", "3,i,1,"}, {"2,j,0,1.5"},
      {"1,k,2,", "1\tk\t2\t***\t***\t***\t***", "1,k,2,"}, {"2,l,9,4"},
      {"3,m,NA,0", "3\tm\t***\t0.000000\t***\t***\t***", "3,m,,0"}, {"1,n,1,0.5"},
  };
  std::string all = "unit,code,observed,expected\n", defined = all;
  for (const auto& r : rows) {
    all += r.row + "\n";
    if (r.table.empty()) defined += r.row + "\n";
  }
  Scratch scratch({{"all.csv", all}, {"defined.csv", defined}});
  const auto run = [&](const std::string& name, std::vector<std::string> more) {
    std::vector<std::string> args{name + ".csv", name + ".txt", "--csv", "--regions=" + name + "-r.csv",
                                  "--groups=" + name + "-g.csv", "--plot=" + name + ".svg"};
    args.insert(args.end(), more.begin(), more.end());
    return Tarnek(scratch.path, args);
  };
  const auto [code, console] = run("all", {"--undefined=skip"});
  ASSERT_EQ(code, 0) << console;
  EXPECT_NE(console.find("\n 6 rows without a defined ratio, first at line 3\n"), std::string::npos) << console;
  ASSERT_EQ(run("defined", {}).first, 0);
  EXPECT_EQ(Read(scratch.path / "all.log"), Read(scratch.path / "defined.log"));
  const auto lines = [&](const std::string& name) {
    std::vector<std::string> out;
    std::istringstream in(Read(scratch.path / name));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };
  const std::vector<std::string> table = lines("all.txt"), reduced = lines("defined.txt");
  const std::vector<std::string> regions = lines("all-r.csv"), reducedRegions = lines("defined-r.csv");
  ASSERT_EQ(table.size(), std::size(rows) + 1);
  for (size_t k = 0, kept = 1; k < std::size(rows); ++k) {
    SCOPED_TRACE(rows[k].row);
    if (rows[k].table.empty()) {
      EXPECT_EQ(table[k + 1], reduced[kept]);
      EXPECT_EQ(regions[k + 1], reducedRegions[kept++]);
    } else {  // the region table's other 11 columns empty
      EXPECT_EQ(table[k + 1], rows[k].table + "\r");
      EXPECT_EQ(regions[k + 1], rows[k].region + std::string(11, ',') + "\r");
    }
  }
  // The group table: units 1 and 2 count the rows left out; unit 3, with
  // no fit, 0 regions and the other 24 fields of the table's own empty.
  const std::vector<std::string> groups = lines("all-g.csv"), reducedGroups = lines("defined-g.csv");
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_EQ(groups[0], reducedGroups[0].substr(0, reducedGroups[0].size() - 1) + ",undefined\r");
  EXPECT_EQ(groups[1], reducedGroups[1].substr(0, reducedGroups[1].size() - 1) + ",2\r");
  EXPECT_EQ(groups[2], reducedGroups[2].substr(0, reducedGroups[2].size() - 1) + ",2\r");
  EXPECT_EQ(groups[3], "3,0" + std::string(24, ',') + ",2\r");
  EXPECT_NE(Read(scratch.path / "all.svg").find(": 8 regions in 2 groups<"), std::string::npos)
      << "the plot counts the regions it can draw";
  EXPECT_NE(Read(scratch.path / "all.svg").find("; 6 rows without a defined ratio"), std::string::npos);

  // Plain data: an expected count of 0 is the one way a row has no ratio
  // (golden undefined_first_row: an undefined first row of unit -1 before
  // units; a row between its unit's others is the CSV rows' case above). The
  // first row with a ratio decides between one group and one per unit: unit
  // -1 after an undefined row of unit 2.
  Scratch plain(Tree{{"data.txt", "2 1 3 -0\n-1 2 4 1.5\n1 3 5 2\n"}, {"without.txt", "-1 2 4 1.5\n1 3 5 2\n"}});
  const auto [plainCode, plainConsole] = Tarnek(plain.path, {"data.txt", "out.txt", "--undefined", "skip"});
  EXPECT_EQ(plainCode, 0);
  EXPECT_NE(plainConsole.find(" 1 row without a defined ratio, first at record 1\n"), std::string::npos) << plainConsole;
  ASSERT_EQ(Tarnek(plain.path, {"without.txt", "without.out"}).first, 0);
  EXPECT_EQ(Read(plain.path / "out.log"), Read(plain.path / "without.log"));
  EXPECT_NE(Read(plain.path / "out.txt").find("\r\n2\t1\t3\t0.000000\t***\t***\t***\r\n"), std::string::npos);

  // A vector layer's rows are its features, and the console says so; a row
  // left out has no neighbours within a group either, but an empty field.
  const std::string layer = R"({"type":"FeatureCollection","features":[
{"type":"Feature","properties":{"code":"a","observed":1,"expected":2},"geometry":{"type":"Polygon","coordinates":[[[0,0],[1,0],[1,1],[0,1],[0,0]]]}},
{"type":"Feature","properties":{"code":"b","observed":null,"expected":2},"geometry":{"type":"Polygon","coordinates":[[[1,0],[2,0],[2,1],[1,1],[1,0]]]}},
{"type":"Feature","properties":{"code":"c","observed":4,"expected":2},"geometry":{"type":"Polygon","coordinates":[[[2,0],[3,0],[3,1],[2,1],[2,0]]]}}]})";
  Scratch vector(Tree{{"v.geojson", layer}, {"v.gal", "3\na 1\nb\nb 2\na c\nc 1\nb\n"}});
  const auto [vectorCode, vectorConsole] = Tarnek(vector.path, {"v.geojson", "out.txt", "--vector", "--columns=-,code,observed,expected",
                                                                "--undefined=skip", "--neighbours=v.gal", "--prior=local", "--regions=r.csv"});
  EXPECT_EQ(vectorCode, 0);
  EXPECT_NE(vectorConsole.find(" 1 row without a defined ratio, first at feature 2\n"), std::string::npos) << vectorConsole;
  EXPECT_NE(Read(vector.path / "r.csv").find("\r\n-1,b,,2" + std::string(12, ',') + "\r\n"), std::string::npos);
}

// The plain data of `rows` (Unit, Code, Data1, Data2 as text) written as CSV
// the way other programs write it: a byte order mark and CR LF, columns in
// another order between others, some fields quoted or with blanks around.
std::string AsCsv(const std::vector<std::vector<std::string>>& rows, bool withUnit) {
  std::string csv = "\xEF\xBB\xBF\"\",Expected,Name,Code" + std::string(withUnit ? ",Unit" : "") + ",Observed\r\n";
  for (size_t k = 0; k < rows.size(); ++k) {
    const auto& r = rows[k];
    csv += "\"" + std::to_string(k + 1) + "\"," + r[3] + (k % 3 ? ",Area " : ",\"Area, \"\"") + std::to_string(k) +
           (k % 3 ? "," : "\"\"\",") + (k % 2 ? "\"" + r[1] + "\"" : " " + r[1] + " ") + (withUnit ? "," + r[0] : "") + "," + r[2] +
           "\r\n" + (k % 7 ? "" : "\r\n");
  }
  return csv;
}

TEST(CsvRuns, SameDataInBothFormatsGivesTheSameFiles) {
  // With integer identifiers a CSV run writes the plain run's table and log
  // byte for byte: the same groups in the same order, the same estimates.
  // Thousands of records in hundreds of units, shuffled, and one group; more
  // than 4000 records, so that neither reader may stop at a fixed capacity.
  uint64_t state = 20261205;
  const auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % bound;
  };
  const struct { const char* note; size_t records; uint64_t units; std::vector<std::string> options; } cases[] = {
      {"per unit, units and codes of any size", 4500, 250, {"-L50"}},
      {"one group without a unit column", 600, 0, {"-E0.001"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    std::vector<std::vector<std::string>> rows;
    std::string plain;
    for (size_t k = 0; k < c.records; ++k) {
      const std::string unit = c.units ? std::to_string(next(c.units) * 8191) : "-1";
      const std::string code = std::to_string(static_cast<int64_t>(next(4000000000)) - 2000000000);
      const std::string data2 = std::to_string(1 + next(400)) + "." + std::to_string(next(10000));
      const std::string data1 = std::to_string(next(3) * next(40));
      rows.push_back({unit, code, data1, data2});
      plain += unit + " " + code + " " + data1 + " " + data2 + "\n";
    }
    std::vector<std::string> csvArgs{"data.csv", "csv.txt", "--csv"};
    if (!c.units) csvArgs.push_back("--columns=-,code,observed,expected");
    std::vector<std::string> plainArgs{"data.txt", "out.txt"};
    for (const std::string& option : c.options) plainArgs.push_back(option), csvArgs.push_back(option);
    Scratch scratch({{"data.txt", plain}, {"data.csv", AsCsv(rows, c.units != 0)}});
    ASSERT_EQ(Tarnek(scratch.path, plainArgs).first, 0);
    ASSERT_EQ(Tarnek(scratch.path, csvArgs).first, 0);
    EXPECT_EQ(Read(scratch.path / "csv.txt"), Read(scratch.path / "out.txt"));
    EXPECT_EQ(Read(scratch.path / "csv.log"), Read(scratch.path / "out.log"));
    const std::string table = Read(scratch.path / "out.txt");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), static_cast<long>(c.records) + 1);
  }
}

// The lines of a CSV table without quoted fields, split into fields.
std::vector<std::vector<std::string>> CsvLines(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields(1);
    for (const char c : line) {
      if (c == ',') fields.emplace_back();
      else fields.back().push_back(c);
    }
    lines.push_back(fields);
  }
  return lines;
}

// Near for a value read from its text.
::testing::AssertionResult NearText(const std::string& got, double want, double tolerance) {
  return got.empty() ? ::testing::AssertionFailure() << "an empty field" : tarnek::testdata::Near(std::stod(got), want, tolerance);
}

const fs::path kTestData = fs::path(TARNEK_SOURCE_DIR) / "tests" / "data", kNc = kTestData / "nc_sids";

// The North Carolina counties as a shapefile, with R's extract of their
// SIDS counts (sids74.txt) and the data of the README's map (data.csv).
Tree NorthCarolina() {
  Tree files{{"data.csv", Read(fs::path(TARNEK_SOURCE_DIR) / "examples" / "nc-sids74.csv")}};
  for (const char* name : {"sids.shp", "sids.shx", "sids.dbf", "sids74.txt"}) files[name] = Read(kNc / name);
  return files;
}

TEST(Covariates, NorthCarolinaAsRFitsItAndTheTableAndLogKeepEveryByte) {
  // tests/data/nc_sids74.csv (its making: nb_regression_test.cpp). The
  // numbers printed by tests/check/covariates_against_mass.R (R 4.2.2, MASS
  // 7.3-58.2): glm.nb(observed ~ p + offset(log(expected)),
  // control = glm.control(epsilon = 1e-12, maxit = 100)), its maximum
  // polished in R, and every county's posterior there
  // (tests/data/nc_sids74_posteriors.csv).
  Scratch scratch({{"nc.csv", Read(kTestData / "nc_sids74.csv")}});
  const std::vector<std::string> plain = {"nc.csv", "plain.txt", "--csv", "--columns=-,code,observed,expected"};
  std::vector<std::string> covariates = {"nc.csv", "cov.txt", "--csv", "--covariates=p", "--columns=-,code,observed,expected",
                                         "--regions=r.csv", "--groups=g.csv", "--coefficients=c.csv"};
  ASSERT_EQ(Tarnek(scratch.path, plain).first, 0);
  ASSERT_EQ(Tarnek(scratch.path, covariates).first, 0);
  EXPECT_EQ(Read(scratch.path / "cov.txt"), Read(scratch.path / "plain.txt"));
  EXPECT_EQ(Read(scratch.path / "cov.log"), Read(scratch.path / "plain.log"));

  // The manual (doc/priors.md) shows this file and the group table's new columns as they are.
  std::string shown = Read(scratch.path / "c.csv");
  std::erase(shown, '\r');
  EXPECT_NE(Read(fs::path(TARNEK_SOURCE_DIR) / "doc" / "priors.md").find(shown), std::string::npos)
      << "doc/priors.md's coef.csv is not what tarnek writes:\n" << shown;
  // Its values are NbRegressionTest's, checked there against the same fit.

  // The group table: AIC(fit) 434.99401361622074; the model without p:
  // loglik -236.16608498707814, so AIC 476.33216997415628; the LRT and its
  // p on 1 degree of freedom. (The parameter count, 3, and the status,
  // converged, are in the columns the manual shows.)
  const auto groups = CsvLines(Read(scratch.path / "g.csv"));
  ASSERT_EQ(groups.size(), 2u);
  std::map<std::string, std::string> g;
  for (size_t j = 0; j < groups[0].size(); ++j) g[groups[0][j]] = groups[1].at(j);
  EXPECT_TRUE(NearText(g["loglik_covariates"], -214.49700680811034, 1e-12));
  EXPECT_TRUE(NearText(g["aic_covariates"], 434.99401361622074, 1e-12));
  EXPECT_TRUE(NearText(g["aic"], 476.33216997415628, 1e-12));
  EXPECT_TRUE(NearText(g["lrt_covariates"], 43.338156357935532, 1e-10));
  EXPECT_TRUE(NearText(g["p_covariates"], 4.6051521205605316e-11, 1e-9));
  std::string added;
  for (size_t j = groups[0].size() - 7; j < groups[0].size(); ++j) added += (added.empty() ? "" : ",") + groups[1][j];
  EXPECT_NE(Read(fs::path(TARNEK_SOURCE_DIR) / "doc" / "priors.md").find("\n" + added + "\n"), std::string::npos)
      << "doc/priors.md's group table columns are not what tarnek writes:\n" << added;
  EXPECT_TRUE(g["prior_mean"].empty() && g["prior_sd"].empty()) << "every county has a prior of its own";

  // The region table's posterior columns, county by county, to 1e-10.
  const auto regions = CsvLines(Read(scratch.path / "r.csv"));
  const auto reference = CsvLines(Read(kTestData / "nc_sids74_posteriors.csv"));
  ASSERT_EQ(regions.size(), 101u);
  ASSERT_EQ(reference.size(), 101u);
  std::map<std::string, size_t> column;
  for (size_t j = 0; j < regions[0].size(); ++j) column[regions[0][j]] = j;
  for (size_t row = 1; row < regions.size(); ++row) {
    EXPECT_EQ(regions[row][1], reference[row][0]);
    for (size_t j = 1; j < reference[0].size(); ++j) {
      EXPECT_TRUE(NearText(regions[row][column.at(reference[0][j])], std::stod(reference[row][j]), 1e-10))
          << reference[row][0] << " " << reference[0][j];
    }
  }
}

TEST(Covariates, TheGoldenCaseAsRFitsIt) {
  // tests/golden/covariates_by_unit, whose numbers the same R script prints:
  // unit a as its fit polished from glm.nb's (AIC and LRT as glm.nb), unit
  // b at the boundary as glm(..., family = poisson), without x as well; c,
  // its covariate constant, and d, without a count, have no fit (nor prior).
  const fs::path dir = kGolden / "covariates_by_unit";
  const auto coefficients = CsvLines(Read(dir / "after" / "c.csv"));
  const struct { size_t line; double estimate, se; } want[] = {
      {1, 0.093357253378498359, 0.42251668552252697}, {2, 0.23345628409894514, 0.38454541147557214},
      {3, 2.8201432647104947, 2.0944818100553388},    {4, -0.16732100050268564, 0.47050148750833176},
      {5, 0.26745324269754722, 0.35275651746971998}};
  for (const auto& w : want) {
    EXPECT_TRUE(NearText(coefficients.at(w.line)[2], w.estimate, 1e-10) && NearText(coefficients[w.line][3], w.se, 1e-10))
        << w.line;
  }
  EXPECT_EQ(coefficients.at(6), (std::vector<std::string>{"b", "shape", "", "", "", ""}));
  for (size_t line = 7; line <= 12; ++line) EXPECT_TRUE(coefficients.at(line)[2].empty()) << line;
  const auto groups = CsvLines(Read(dir / "after" / "g.csv"));
  const size_t from = groups[0].size() - 7;
  const struct { size_t line; double loglik, aic, aicWithout, lrt; } fits[] = {
      {1, -32.564827178985482, 71.129654357971006, 69.459606947709148, 0.32995258973814146},
      {2, -9.4590805517479364, 24.918161103495873, 4 + 2 * 9.7511370397400636, 2 * (9.7511370397400636 - 9.4590805517479364)}};
  for (const auto& f : fits) {
    const auto& line = groups.at(f.line);
    EXPECT_TRUE(NearText(line[from], f.loglik, 1e-12) && NearText(line[from + 2], f.aic, 1e-12)) << f.line;
    EXPECT_TRUE(NearText(line[from + 3], f.aicWithout, 1e-10) && NearText(line[from + 4], f.lrt, 1e-8)) << f.line;
  }
  EXPECT_TRUE(NearText(groups.at(3)[from + 3], 4 + 2 * 6.6603390946845433, 1e-12)) << "c without x: the Poisson boundary";
  for (size_t line = 1; line <= 4; ++line) {
    EXPECT_EQ(groups.at(line).back(), (std::vector<std::string>{"", "converged", "boundary", "not_identifiable", "no_counts"}[line]));
  }
  // Rows skipped for their undefined ratio need no covariate either: with
  // two such rows added, empty and NA, the fits are those without them.
  Scratch scratch(Snapshot(dir / "before"));
  std::ofstream(scratch.path / "data.csv", std::ios::app) << "a,skipped1,NA,1.5,\nb,skipped2,,2,NA\n";
  ASSERT_EQ(Tarnek(scratch.path, {"data.csv", "out.txt", "--csv", "--covariates=x", "--coefficients=c.csv",
                                  "--undefined=skip"}).first, 0);
  EXPECT_EQ(Read(scratch.path / "c.csv"), Read(dir / "after" / "c.csv"));
}

TEST(MaximumLikelihoodPrior, ASearchThatCannotCertifyItsMaximumSaysSo) {
  // Expected counts 165 orders of magnitude apart: the search's bounds do
  // not close (likelihood_maximum.h), so that its best point comes without
  // the guarantee, and the group table says so.
  Scratch scratch(Tree{{"data.txt", "1 1 9 1e24\n1 2 3 1e189\n"}});
  ASSERT_EQ(Tarnek(scratch.path, {"data.txt", "out.txt", "--groups=g.csv"}).first, 0);
  const auto groups = CsvLines(Read(scratch.path / "g.csv"));
  ASSERT_EQ(groups.size(), 2u);
  const size_t source = std::find(groups[0].begin(), groups[0].end(), "prior_source") - groups[0].begin();
  EXPECT_EQ(groups[1].at(source), "best_found");
}

TEST(CsvRuns, IdentifiersOfMegabytesArePrintedWhole) {
  // Lines far longer than the table writer's block: the plain run's files
  // with the integers replaced by the texts.
  const std::string unit(2000000, 'U'), code1(3000000, '1'), code2 = "0" + std::string(1500000, 'c');
  Scratch scratch({{"data.txt", "5 1 3 1.5\n5 2 4 2\n5 1 0 1\n"},
                   {"data.csv", "unit,code,observed,expected\n" + unit + "," + code1 + ",3,1.5\n" + unit + "," + code2 +
                                    ",4,2\n" + unit + "," + code1 + ",0,1\n"}});
  ASSERT_EQ(Tarnek(scratch.path, {"data.txt", "out.txt"}).first, 0);
  ASSERT_EQ(Tarnek(scratch.path, {"data.csv", "csv.txt", "--csv"}).first, 0);
  std::string table = Read(scratch.path / "out.txt"), log = Read(scratch.path / "out.log");
  for (const auto& [from, to] : {std::pair{"\n5\t1\t", "\n" + unit + "\t" + code1 + "\t"}, {"\n5\t2\t", "\n" + unit + "\t" + code2 + "\t"}})
    for (size_t at; (at = table.find(from)) != std::string::npos;) table.replace(at, std::string(from).size(), to);
  log.replace(log.find("For unit 5 "), 11, "For unit " + unit + " ");
  EXPECT_TRUE(Read(scratch.path / "csv.txt") == table);
  EXPECT_TRUE(Read(scratch.path / "csv.log") == log);
}

TEST(CsvRuns, PopulationOfAVectorLayerGivesItsExpectedCounts) {
  // North Carolina's births as the population, one stratum: E = BIR74 x
  // sum(SID74) / sum(BIR74) = BIR74 x 667 / 329962, the counts read from
  // tests/data/nc_sids/sids74.txt (R's extract of the layer, in its order),
  // the quotient in long double, within 0.51 units in the last place.
  Scratch scratch(NorthCarolina());
  ASSERT_EQ(Tarnek(scratch.path, {"sids.shp", "out.txt", "--vector", "--columns=-,FIPS,SID74,expected",
                                  "--population=BIR74", "--regions=r.csv"}).first, 0);
  std::vector<std::tuple<std::string, int64_t, int64_t>> counties;  // code, SID74, BIR74
  std::istringstream extract(Read(kNc / "sids74.txt"));
  int64_t sid = 0, births = 0, sids = 0, allBirths = 0;
  for (std::string unit, code; extract >> unit >> code >> sid >> births;) {
    counties.emplace_back(code, sid, births);
    sids += sid;
    allBirths += births;
  }
  ASSERT_EQ(std::tie(sids, allBirths), std::tuple(int64_t{667}, int64_t{329962}));
  const auto regions = CsvLines(Read(scratch.path / "r.csv"));
  ASSERT_EQ(regions.size(), counties.size() + 1);
  ASSERT_EQ(regions[0][3], "expected");
  for (size_t k = 0; k < counties.size(); ++k) {
    const auto& [code, count, birth] = counties[k];
    const long double want = static_cast<long double>(birth * sids) / allBirths;
    const double got = std::stod(regions[k + 1][3]);
    EXPECT_EQ(std::tuple(regions[k + 1][1], regions[k + 1][2]), std::tuple(code, std::to_string(count)));
    EXPECT_LE(std::fabs(got - want), 0.51L * (std::nextafter(got, INFINITY) - got)) << code;
  }
}

// The directory after a run on data.txt among `files`, with `options` and
// every output: out.txt, out.log, r.csv, g.csv and p.svg.
Tree Outputs(const Tree& files, const std::vector<std::string>& options) {
  Scratch scratch(files);
  std::vector<std::string> args = {"data.txt", "out.txt", "--regions=r.csv", "--groups=g.csv", "--plot=p.svg"};
  args.insert(args.end(), options.begin(), options.end());
  EXPECT_EQ(Tarnek(scratch.path, args).first, 0);
  return Snapshot(scratch.path);
}

// `records` records in `units` units, with counts and expected counts that vary.
std::string ManyUnits(int records, int units) {
  std::string data;
  for (int k = 0; k < records; ++k) {
    data += std::to_string(k * 7919 % units) + " " + std::to_string(k) + " " + std::to_string(k * 31 % 17) + " " +
            std::to_string(1 + k % 9) + ".5\n";
  }
  return data;
}

TEST(Threads, EveryThreadCountWritesTheFilesOfOne) {
  // Every output on many threads is the one-thread run's, byte for byte:
  // 3,000 units (47 pieces of groups: more threads than pieces and fewer)
  // and 5 units (one piece: every thread count but 1 beyond it), on 2 to 64
  // threads; and 70,000 rows, more than 4 pieces of 16,384 table rows, so
  // that a row lost or repeated between two rounds of pieces shows.
  const struct { int records, units; std::vector<int> threads; } cases[] = {
      {9000, 3000, {}}, {9000, 5, {}}, {70000, 3000, {2, 3, 4}}};
  for (auto c : cases) {
    SCOPED_TRACE(std::to_string(c.records) + " records in " + std::to_string(c.units) + " units");
    for (int threads = 2; c.threads.empty() && threads <= 64; ++threads) c.threads.push_back(threads);
    const Tree files{{"data.txt", ManyUnits(c.records, c.units)}}, one = Outputs(files, {"--threads=1"});
    // The table and the region table, the log's banner and blocks, the group table.
    long lines = 0;
    for (const char* name : {"out.txt", "r.csv", "out.log", "g.csv"}) lines += std::count(one.at(name).begin(), one.at(name).end(), '\n');
    EXPECT_EQ(lines, 2 * (c.records + 1) + 3 + c.units * 13 + c.units + 1);
    for (const int threads : c.threads) EXPECT_TRUE(Outputs(files, {"--threads=" + std::to_string(threads)}) == one) << threads;
  }
  // A file's only group, whose count of 2 * 10^7 has its sums shared out over
  // the threads: in single-group mode and as a unit of its own.
  for (const char* unit : {"-1", "7"}) {
    const std::string u = unit;
    const Tree files{{"data.txt", u + " 1 20000000 0.5\n" + u + " 2 1 1e-10\n"}}, one = Outputs(files, {"--threads=1"});
    for (const int threads : {2, 3, 8}) {
      EXPECT_TRUE(Outputs(files, {"--threads=" + std::to_string(threads)}) == one) << unit << " on " << threads;
    }
  }
}

TEST(Interrupted, EveryFatalSignalRemovesTemporariesAndKeepsEarlierFiles) {
  // 60000 records in 6000 units keep the run busy for a while. The signal
  // is sent as soon as a temporary output file shows up, that is while the
  // log is being written; the run must end by that signal with the directory
  // as it was. A run too fast to be caught must have completed.
  std::string data;
  for (int k = 0; k < 60000; ++k) data += std::to_string(k % 6000) + " " + std::to_string(k) + " " + std::to_string(k % 23) + " 2.5\n";
  const Tree before{{"data.txt", data}, {"out.txt", "earlier table"}};
  const struct { int signal; bool ignored; const char* note; } cases[] = {  // ignored by the caller: the run must complete
      {SIGTERM, false, "kill's default"}, {SIGINT, false, "Ctrl-C"}, {SIGHUP, false, "the terminal closed"},
      {SIGQUIT, false, "Ctrl-\\ left the temporaries"}, {SIGUSR1, false, "left the temporaries"},
      {SIGUSR2, false, "left the temporaries"}, {SIGALRM, false, "a timeout left the temporaries"},
      {SIGXCPU, false, "a CPU time limit left a partial log"}, {SIGVTALRM, false, "left the temporaries"},
      {SIGPROF, false, "left the temporaries"}, {SIGHUP, true, "nohup: the hangup must not end the run"},
      {SIGSEGV, false, "sent to a worker, as a fault there raises it: the main thread made a temporary after the handler"},
  };
  int caught = 0;
  for (const auto& c : cases) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (c.signal == SIGSEGV) continue;  // the sanitizer's own handler reports a fault, and the run keeps it
#endif
    SCOPED_TRACE(std::string(strsignal(c.signal)) + ": " + c.note);
    Scratch scratch(before);
    std::error_code error;  // the run may have ended
    const auto hasTemporary = [&] {
      return std::any_of(fs::directory_iterator(scratch.path), fs::directory_iterator(),
                         [](const auto& e) { return e.path().filename().string().starts_with(".tarnek-"); });
    };
    bool seen = false;
    const auto whileRunning = [&](pid_t pid) {
      const auto giveUp = std::chrono::steady_clock::now() + 20s;
      while (!(seen = hasTemporary()) && std::chrono::steady_clock::now() < giveUp) usleep(200);
      if (c.signal != SIGSEGV) {
        kill(pid, c.signal);  // still our unreaped child, even if it has ended
        return;
      }
      const auto tasks = fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
      const auto worker = std::find_if(begin(tasks), end(tasks),
                                       [&](const auto& e) { return e.path().filename() != std::to_string(pid); });
      seen = seen && worker != end(tasks) && syscall(SYS_tgkill, pid, std::stoi(worker->path().filename()), SIGSEGV) == 0;
    };
    const auto [exitCode, console] = Tarnek(scratch.path, {"data.txt", "out.txt", "--threads=2"},
                                            {.whileRunning = whileRunning, .ignoredSignal = c.ignored ? c.signal : 0});
    if (seen && !c.ignored) {
      ++caught;
      EXPECT_EQ(exitCode, 128 + c.signal);
      ExpectTree(scratch.path, before);
    } else {
      EXPECT_EQ(exitCode, 0) << "finished";
      EXPECT_FALSE(hasTemporary());
      EXPECT_NE(Read(scratch.path / "out.txt"), "earlier table");
    }
  }
  if (caught == 0) GTEST_SKIP() << "no temporary seen before a run ended";
}

// True when user `user` may run `binary` and create files in `dir`.
bool UserReaches(uid_t user, const fs::path& binary, const fs::path& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(user) != 0 || setuid(user) != 0) _exit(1);
    _exit(access(binary.c_str(), X_OK) == 0 && access(dir.c_str(), W_OK | X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Commit, FailuresAtTheCommitLeaveTheEarlierFiles) {
  // As another user. In a sticky directory another user's table may be
  // written but not replaced: the log, already in place by then, must go
  // back to the earlier one. In a directory that may be written but not
  // read, --sync could not sync the new names: nothing takes its place.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run tarnek as another user";
  const uid_t nobody = 65534;
  const Tree before = WithEarlier({{"data.txt", Read(kGolden / "failing_fit" / "before" / "data.txt")}});
  // The checkout may lie where that user cannot go (below a directory of
  // mode 0700): the user runs a copy, beside the run's directory.
  Scratch program({});
  fs::permissions(program.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  const fs::path binary = program.path / "tarnek";
  fs::copy_file(TARNEK_BINARY, binary);
  fs::permissions(binary, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  for (const bool sync : {false, true}) {
    SCOPED_TRACE(sync ? "a directory that cannot be read, with --sync" : "a table that cannot be replaced");
    Scratch scratch(before);
    const fs::perms wx = fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                         fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec;
    if (sync) {
      fs::permissions(scratch.path, wx);
    } else {
      fs::permissions(scratch.path, fs::perms::all | fs::perms::sticky_bit);
      fs::permissions(scratch.path / "out.txt", fs::perms::all & ~fs::perms::others_exec & ~fs::perms::group_exec &
                                                    ~fs::perms::owner_exec);
      ASSERT_EQ(chown((scratch.path / "out.log").c_str(), nobody, nobody), 0);
    }
    if (!UserReaches(nobody, binary, scratch.path)) {
      GTEST_SKIP() << "user " << nobody << " cannot run " << binary << " or write in " << scratch.path
                   << ": the temporary directory is out of its reach";
    }
    std::vector<std::string> args = kArgs;
    if (sync) args.push_back("--sync");
    const auto [exitCode, console] = Tarnek(scratch.path, args, {.user = nobody, .binary = binary.string()});
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(console, kNames + "\n ERROR! Can't write " + (sync ? "out.log" : "out.txt") + " file \n\n");
    ExpectTree(scratch.path, before);
  }
}

// Runs `command` by the shell, its output discarded (the system directories
// on the PATH, where mount tools live); returns its exit status.
int Shell(const std::string& command) {
  return std::system(("PATH=\"$PATH:/sbin:/usr/sbin\"; " + command + " >/dev/null 2>&1").c_str());
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// A kind of file system unlike the temporary directory's, made on an image
// file. FAT and exFAT through FUSE take names that differ in letter case for
// one, and have no hard links and no RENAME_EXCHANGE; FAT's driver (fusefat)
// keeps no permissions (fchmod: ENOSYS) and refuses names beyond ASCII;
// ext4 with casefold takes names for one in a directory marked so (chattr +F).
struct VolumeKind {
  std::string name;
  std::vector<std::string> tools;  // the commands it needs
  std::vector<std::string> needs;  // the paths it needs: the FUSE device, the kernel's casefold
  std::string make;                // makes the file system on the image {img}
  std::string mount;               // mounts {img} on {dir}
  std::string names;               // below {dir}: the directory the runs are made in, or empty for {dir}
  bool foldsBeyondAscii;           // takes é and É for one name
  std::string refused;             // a name that it refuses to give a file, or empty
};

const VolumeKind kVolumeKinds[] = {
    {"exFAT", {"mkfs.exfat", "mount.exfat-fuse", "losetup"}, {"/dev/fuse", "/dev/loop-control"}, "mkfs.exfat {img}",
     "mount -t exfat-fuse -o loop {img} {dir}", "", true, "r?.csv"},
    {"FAT", {"mkfs.fat", "fusefat"}, {"/dev/fuse"}, "mkfs.fat {img}", "fusefat -o rw+ {img} {dir}", "", false, "r?.csv"},
    {"ext4casefold", {"mkfs.ext4", "chattr", "losetup"}, {"/sys/fs/ext4/features/casefold", "/dev/loop-control"},
     "mkfs.ext4 -q -O casefold {img}", "mount -o loop {img} {dir}", "names", true, ""},
};

void PrintTo(const VolumeKind& kind, std::ostream* out) { *out << kind.name; }

// A file system of one kind on a 64 MiB image, mounted for one test and
// unmounted at its end. `unavailable` says why it could not be had here.
struct Volume {
  Scratch holder{Tree{{"mount", kDirectory}}};  // the image and the mount point
  fs::path runs;                                // where the runs' directories are made
  std::string unavailable;
  bool mounted = false;

  explicit Volume(const VolumeKind& kind) {
    if (geteuid() != 0) {
      unavailable = "mounting a file system needs root";
      return;
    }
    for (const std::string& path : kind.needs) {
      if (!fs::exists(path)) unavailable = path + " is missing";
    }
    for (const std::string& tool : kind.tools) {
      if (Shell("command -v " + tool) != 0) unavailable = tool + " is not installed (tools/debian-packages, ci)";
    }
    if (!unavailable.empty()) return;
    const fs::path image = holder.path / "image", dir = holder.path / "mount";
    std::ofstream{image};
    fs::resize_file(image, uintmax_t{64} << 20);
    const auto fill = [&](std::string command) {
      for (const auto& [slot, path] : {std::pair{"{img}", image}, {"{dir}", dir}}) {
        for (size_t at; (at = command.find(slot)) != std::string::npos;) command.replace(at, 5, Quoted(path));
      }
      return command;
    };
    if (Shell(fill(kind.make)) != 0) {
      unavailable = "`" + fill(kind.make) + "` failed";
      return;
    }
    mounted = Shell(fill(kind.mount)) == 0;
    if (!mounted) {
      unavailable = "`" + fill(kind.mount) + "` failed";
      return;
    }
    runs = kind.names.empty() ? dir : dir / kind.names;
    if (!kind.names.empty() && Shell("mkdir " + Quoted(runs) + " && chattr +F " + Quoted(runs)) != 0) {
      unavailable = "no case-insensitive directory (chattr +F) on the mounted file system";
    }
  }
  ~Volume() {
    const fs::path dir = holder.path / "mount";
    if (mounted && Shell("umount " + Quoted(dir)) != 0) Shell("umount -l " + Quoted(dir));
  }
};

class OtherFileSystem : public ::testing::TestWithParam<VolumeKind> {};

INSTANTIATE_TEST_SUITE_P(Kinds, OtherFileSystem, ::testing::ValuesIn(kVolumeKinds),
                         [](const auto& info) { return info.param.name; });

TEST_P(OtherFileSystem, ARunReplacesTheEarlierFilesAndAFailingCommitPutsThemBack) {
  // Without hard links and swaps the earlier files are renamed aside and
  // removed once the new ones have landed; where fchmod is missing the run
  // goes on with the mode the file system gives. A region table named as the
  // file system refuses to name a file fails when the log and the table have
  // taken their names: they must give them back to the earlier files.
  const Volume volume(GetParam());
  if (!volume.unavailable.empty()) GTEST_SKIP() << GetParam().name << ": " << volume.unavailable;
  const fs::path worked = kGolden / "worked6";
  const Tree before = WithEarlier(Snapshot(worked / "before"));
  if (const std::string refused = GetParam().refused; !refused.empty()) {
    EXPECT_EQ(ExpectRunIn(volume.runs, before, {"data.txt", "out.txt", "--regions=" + refused}, 1, before),
              kNames + "\n ERROR! Can't write " + refused + " file \n\n");
  }
  EXPECT_EQ(ExpectRunIn(volume.runs, before, kArgs, 0, Snapshot(worked / "after")), Read(worked / "stdout"));
}

TEST_P(OtherFileSystem, NamesThatDifferInLetterCaseAreOneFile) {
  // Whether the outputs exist or not (a file system through FUSE numbers a
  // file by the name it is looked up with), and in a directory named in two
  // ways: refused as one file, nothing created, no probe left behind.
  const Volume volume(GetParam());
  if (!volume.unavailable.empty()) GTEST_SKIP() << GetParam().name << ": " << volume.unavailable;
  const Tree data{{"data.txt", Read(kGolden / "worked6" / "before" / "data.txt")}};
  Tree earlier = data, withSub = data;
  earlier["out.txt"] = "earlier table";
  withSub["sub"] = kDirectory;
  const struct {
    Tree before;
    std::vector<std::string> args;
    std::string names;  // as the message gives them
    bool beyondAscii;
  } cases[] = {
      {data, {"data.txt", "out.txt", "--regions=OUT.TXT"}, "OUT.TXT and out.txt", false},
      {data, {"data.txt", "out.txt", "--groups=Out.Log"}, "Out.Log and out.log", false},
      {earlier, {"data.txt", "out.txt", "--regions=OUT.TXT"}, "OUT.TXT and out.txt", false},
      {data, {"data.txt", "DATA.TXT"}, "data.txt and DATA.TXT", false},
      {withSub, {"data.txt", "out.txt", "--regions=Sub/r.csv", "--groups=sub/R.CSV"}, "sub/R.CSV and Sub/r.csv", false},
      {data, {"data.txt", "out.txt", "--regions=\u00e9.csv", "--groups=\u00c9.csv"}, "\u00c9.csv and \u00e9.csv", true},
  };
  for (const auto& c : cases) {
    if (c.beyondAscii && !GetParam().foldsBeyondAscii) continue;
    SCOPED_TRACE(c.names);
    std::string console = ExpectRunIn(volume.runs, c.before, c.args, 1, c.before);
    console.erase(0, console.find(" ERROR!"));
    EXPECT_EQ(console, " ERROR! " + c.names + " are the same file \n\n");
  }
}

TEST(Collisions, NamesThatDifferInLetterCaseAreTwoFilesWhereCaseCounts) {
  // Where the directory tells letter case apart, and é from its decomposed
  // spelling e + U+0301, the outputs land under every name, as they would
  // under any others, and the directory's probe leaves nothing behind.
  Scratch probe(Tree{{"case", ""}});
  if (fs::exists(probe.path / "CASE")) GTEST_SKIP() << fs::temp_directory_path() << " ignores letter case";
  const Tree before = Snapshot(kGolden / "worked6" / "before");
  Tree after = Outputs(before, {});
  for (const auto& [from, to] : {std::pair{"r.csv", "OUT.TXT"}, {"g.csv", "\u00e9.csv"}, {"p.svg", "e\u0301.csv"}}) {
    after[to] = after[from];
    after.erase(from);
  }
  EXPECT_EQ(ExpectRun(before, {"data.txt", "out.txt", "--regions=OUT.TXT", "--groups=\u00e9.csv", "--plot=e\u0301.csv"}, 0,
                      after),
            Read(kGolden / "worked6" / "stdout"));
}

const fs::path kSample = fs::path(TARNEK_SOURCE_DIR) / "examples" / "sample.txt";

TEST(Concurrent, RacingRunsNeverLeaveAMixedPair) {
  // Two runs with different results write the same outputs at once, round
  // after round: what they leave must be the table and the log of one run,
  // and nothing else. TARNEK_RACE_ROUNDS sets the rounds (2000 for the long
  // version; before commits were serialised, about 1 in 300 left a mixed pair).
  const std::vector<std::string> argsA = kArgs, argsB{"data.txt", "out.txt", "-E0.5", "-L3"};
  const Tree data{{"data.txt", Read(kSample)}};
  const auto alone = [&](const std::vector<std::string>& args) {
    Scratch scratch(data);
    EXPECT_EQ(Tarnek(scratch.path, args).first, 0);
    return Snapshot(scratch.path);
  };
  const Tree treeA = alone(argsA), treeB = alone(argsB);
  ASSERT_NE(treeA.at("out.txt"), treeB.at("out.txt"));
  ASSERT_NE(treeA.at("out.log"), treeB.at("out.log"));
  const char* rounds = std::getenv("TARNEK_RACE_ROUNDS");
  const int roundCount = rounds != nullptr ? std::atoi(rounds) : 10;
  Scratch scratch(data);
  int mixed = 0;
  for (int round = 0; round < roundCount; ++round) {
    int exitCodeB = -1;
    const auto runB = [&](pid_t) { exitCodeB = Tarnek(scratch.path, argsB).first; };
    ASSERT_EQ(Tarnek(scratch.path, argsA, {.whileRunning = runB}).first, 0);
    ASSERT_EQ(exitCodeB, 0);
    const Tree got = Snapshot(scratch.path);
    mixed += got != treeA && got != treeB;
  }
  EXPECT_EQ(mixed, 0) << "rounds of " << roundCount << " that left a mixed pair or a stray file";
}

// Waits until process `pid` is blocked waiting for a flock (as /proc/locks
// shows it); false when it has ended first, or after 20 seconds.
bool WaitsForLock(pid_t pid) {
  const std::string waiter = "-> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ";
  for (const auto giveUp = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < giveUp; usleep(1000)) {
    if (Read("/proc/locks").find(waiter) != std::string::npos) return true;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return false;
  }
  return false;
}

TEST(Concurrent, CommitWaitsForTheDirectoryAndChecksTheTargetsAgain) {
  // While another commit holds the output directory, a run must wait with
  // its outputs unplaced; a target that became something else meanwhile
  // must not be replaced, and the run fails with everything as it was.
  const fs::path worked = kGolden / "worked6";
  const Tree before = WithEarlier(Snapshot(worked / "before"));
  const struct {
    const char* note;
    std::function<void(const fs::path&)> change;  // applied to the directory while the run waits
    int exitCode;
    std::string message;
  } cases[] = {
      {"nothing changes: the run lands when the lock is free", nullptr, 0, ""},
      {"the table became a directory: a swap would have moved it away",
       [](const fs::path& dir) { fs::remove(dir / "out.txt"), fs::create_directory(dir / "out.txt"); }, 1,
       "\n ERROR! Can't write out.txt file \n\n"},
      {"the table became a symbolic link: a rename would have replaced it",
       [](const fs::path& dir) { fs::remove(dir / "out.txt"), fs::create_symlink("out.log", dir / "out.txt"); }, 1,
       "\n ERROR! Can't write out.txt file \n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    Scratch scratch(before);
    const int lock = open(scratch.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // as a commit holds it
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    Tree expected = c.exitCode == 0 ? Snapshot(worked / "after") : Tree();
    const auto whileRunning = [&](pid_t pid) {
      EXPECT_TRUE(WaitsForLock(pid)) << "committed while another commit held the directory";
      if (c.change) c.change(scratch.path);
      if (c.exitCode != 0) {  // as it is now, but for the run's temporaries
        expected = Snapshot(scratch.path);
        std::erase_if(expected, [](const auto& entry) { return entry.first.starts_with(".tarnek-"); });
      }
      close(lock);
    };
    EXPECT_EQ(Tarnek(scratch.path, {"data.txt", "out.txt"}, {.whileRunning = whileRunning}),
              std::make_pair(c.exitCode, kNames + c.message));
    ExpectTree(scratch.path, expected);
  }
}

// True when some of the file's data still waits for delayed allocation, that
// is, has not begun to be written out (FIEMAP).
bool AwaitsAllocation(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  constexpr unsigned kExtents = 64;
  std::vector<uint64_t> buffer((sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / sizeof(uint64_t));
  fiemap* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = kExtents;
  const bool mapped = fd >= 0 && ioctl(fd, FS_IOC_FIEMAP, map) == 0;
  if (fd >= 0) close(fd);
  const auto delayed = [](const fiemap_extent& e) { return (e.fe_flags & FIEMAP_EXTENT_DELALLOC) != 0; };
  return mapped && std::any_of(map->fm_extents, map->fm_extents + map->fm_mapped_extents, delayed);
}

TEST(Commit, AReplacedOutputIsWrittenOutBeforeItTakesTheName) {
  // On ext4 a rename over an earlier file first starts writing the new data
  // out (auto_da_alloc), so that a power cut cannot leave an empty file where
  // the earlier one was; a swap of the names and a removal of the old file
  // does not. Right after the run, no replaced output may still wait.
  Scratch scratch(WithEarlier({{"data.txt", Read(kSample)}}));
  std::ofstream(scratch.path / "probe", std::ios::binary) << Read(kSample);
  if (!AwaitsAllocation(scratch.path / "probe")) GTEST_SKIP() << "no delayed allocation in " << scratch.path;
  ASSERT_EQ(Tarnek(scratch.path, kArgs).first, 0);
  for (const char* name : {"out.txt", "out.log"}) EXPECT_FALSE(AwaitsAllocation(scratch.path / name)) << name;
}

// ---------------------------------------------------------------------------
// Neighbours and shapes: local priors, contiguity and the map


// `units` units of 5 regions, each unit a chain, and every region also the
// neighbour of its like in the units 64, 128, ..., 640 before and after it
// (modulo the units): units that other threads estimate at the same time,
// as groups are handed out 64 at a time.
Tree UnitsApart(int units) {
  std::string data, gal = std::to_string(units * 5) + "\n";
  for (int u = 0; u < units; ++u) {
    for (int j = 0; j < 5; ++j) {
      const int k = u * 5 + j;
      data += std::to_string(u) + " " + std::to_string(k + 1) + " " + std::to_string(k * 31 % 23) + " " +
              std::to_string(5 + k % 11) + "." + std::to_string(100 + k * 7919 % 900) + "\n";
      std::set<int> list;
      for (const int n : {j - 1, j + 1}) {
        if (n >= 0 && n < 5) list.insert(u * 5 + n);
      }
      for (int d = 64; d <= 640; d += 64) {
        for (const int v : {u + d, u - d}) list.insert((v % units + units) % units * 5 + j);
      }
      list.erase(k);
      gal += std::to_string(k + 1) + " " + std::to_string(list.size()) + "\n";
      for (const int n : list) gal.append(std::to_string(n + 1)).append(n == *list.rbegin() ? "\n" : " ");
    }
  }
  return {{"data.txt", data}, {"nb.gal", gal}};
}

TEST(Threads, LocalPriorsOfNeighbouringUnitsOnAnyNumberOfThreads) {
  // 2,000 units (32 pieces of groups: more threads than pieces and fewer),
  // both local priors with the regions' neighbour counts, and every unit's
  // Moran's I: every file as on one thread, byte for byte.
  const Tree files = UnitsApart(2000);
  for (const std::string prior : {"--prior=local", "--prior=local-own-means"}) {
    const Tree one = Outputs(files, {"--neighbours=nb.gal", prior, "--threads=1"});
    for (const int threads : {2, 3, 4, 7, 16, 33, 64}) {
      EXPECT_TRUE(Outputs(files, {"--neighbours=nb.gal", prior, "--threads=" + std::to_string(threads)}) == one)
          << prior << " on " << threads << " threads";
    }
  }
}

TEST(Neighbours, TheOrderOfTheListsChangesNoByte) {
  // ncCC89.gal with its entries and every list in reverse order: the same
  // lists, so the same local priors and Moran's I to the last bit.
  std::istringstream lines(Read(kNc / "ncCC89.gal"));
  std::string header, entry, list;
  std::getline(lines, header);
  std::vector<std::string> reversed;
  while (std::getline(lines, entry) && std::getline(lines, list)) {
    std::istringstream ids(list);
    std::vector<std::string> words{std::istream_iterator<std::string>(ids), std::istream_iterator<std::string>()};
    std::string back;
    for (auto w = words.rbegin(); w != words.rend(); ++w) back += (back.empty() ? "" : " ") + *w;
    reversed.push_back(entry + "\n" + back + "\n");
  }
  ASSERT_EQ(reversed.size(), 100u);
  std::string gal = header + "\n";
  for (auto e = reversed.rbegin(); e != reversed.rend(); ++e) gal += *e;
  const Tree files{{"data.txt", Read(kNc / "sids74.txt")}, {"nb.gal", Read(kNc / "ncCC89.gal")}, {"back.gal", gal}};
  for (const std::string prior : {"--prior=local", "--prior=local-own-means"}) {
    EXPECT_TRUE(Outputs(files, {"--neighbours=back.gal", prior}) == Outputs(files, {"--neighbours=nb.gal", prior}))
        << prior;
  }
}

bool HaveOgr2ogr() { return std::system("command -v ogr2ogr >/dev/null 2>&1") == 0; }

TEST(Shapes, EveryFormatOfTheShapesGivesTheSameFiles) {
  // The counties as shapefile, GeoPackage and GeoJSON (converted by GDAL's
  // own ogr2ogr) give the same bytes in every output, with the map, queen
  // contiguity, its local prior and its GAL file.
  if (!HaveOgr2ogr()) GTEST_SKIP() << "ogr2ogr (Debian gdal-bin) is not installed";
  Scratch scratch(NorthCarolina());
  const std::string in = "cd " + Quoted(scratch.path) + " && ogr2ogr ";
  ASSERT_EQ(Shell(in + "-f GPKG sids.gpkg sids.shp"), 0);
  ASSERT_EQ(Shell(in + "-f GeoJSON sids.geojson sids.shp"), 0);
  std::map<std::string, std::string> first;
  for (const std::string format : {"shp", "gpkg", "geojson"}) {
    ASSERT_EQ(Tarnek(scratch.path, {"data.csv", "out.txt", "--csv", "--columns=-,code,observed,expected",
                                    "--geometry=sids." + format, "--geometry-key=FIPS", "--neighbours=queen",
                                    "--prior=local", "--write-neighbours=nb.gal", "--map=map.svg", "--regions=r.csv",
                                    "--groups=g.csv"}).first, 0) << format;
    for (const char* name : {"out.txt", "out.log", "nb.gal", "map.svg", "r.csv", "g.csv"}) {
      const std::string bytes = Read(scratch.path / name);
      EXPECT_TRUE(first.emplace(name, bytes).first->second == bytes) << format << ": " << name;
    }
  }
}

TEST(Shapes, VectorDataGivesTheFilesOfItsTableAsCsv) {
  // --vector on the shapefile writes what --csv writes on its attribute
  // table exported by ogr2ogr (reals as text, so that whole numbers have no
  // ".000"): the same units (L_id, four), codes, counts and kept columns.
  if (!HaveOgr2ogr()) GTEST_SKIP() << "ogr2ogr (Debian gdal-bin) is not installed";
  Scratch scratch(NorthCarolina());
  ASSERT_EQ(Shell("cd " + Quoted(scratch.path) + " && ogr2ogr -f CSV -fieldTypeToString Real sids.csv sids.shp"), 0);
  const std::vector<std::string> options = {"--columns=L_id,FIPS,SID74,BIR74", "--keep=NAME,CNTY_ID,lon", "--level=0.9"};
  std::vector<std::string> vector = {"sids.shp", "v.txt", "--vector", "--regions=v.csv", "--groups=vg.csv"};
  std::vector<std::string> csv = {"sids.csv", "c.txt", "--csv", "--regions=c.csv", "--groups=cg.csv"};
  vector.insert(vector.end(), options.begin(), options.end());
  csv.insert(csv.end(), options.begin(), options.end());
  ASSERT_EQ(Tarnek(scratch.path, vector).first, 0);
  ASSERT_EQ(Tarnek(scratch.path, csv).first, 0);
  for (const auto& [v, c] : {std::pair{"v.txt", "c.txt"}, {"v.log", "c.log"}, {"v.csv", "c.csv"}, {"vg.csv", "cg.csv"}}) {
    EXPECT_EQ(Read(scratch.path / v), Read(scratch.path / c)) << v;
  }
  EXPECT_NE(Read(scratch.path / "v.log").find("For unit 4 ...."), std::string::npos);
  EXPECT_NE(Read(scratch.path / "v.csv").find(",37009,Ashe,1825,-81.48594207800227,1,1091,"), std::string::npos);
}

TEST(Shapes, TheMapShowsEveryRegionInItsClass) {
  // Three counties without data and one without a count (kept by
  // --undefined=skip): the map is well-formed XML, every county one group
  // with one path in each panel, inside that panel, and every legend counts
  // the region table's values of its class (the EB ratio by the cut points
  // given, the probability by 0.2, 0.8, 0.95), "No data" the four.
  Tree files = NorthCarolina();
  std::string& data = files["data.csv"];
  for (const char* county : {"\n37009,", "\n37119,", "\n37055,"}) {
    const size_t at = data.find(county);
    data.erase(at + 1, data.find('\n', at + 1) - at);
  }
  data.replace(data.find("Alamance,13,"), 12, "Alamance,,");
  Scratch scratch(files);
  ASSERT_EQ(Tarnek(scratch.path, {"data.csv", "out.txt", "--csv", "--columns=-,code,observed,expected", "--geometry",
                                  "sids.shp", "--geometry-key=FIPS", "--map=map.svg", "--regions=r.csv", "--exceed=1.2",
                                  "--map-breaks=0.7,0.95,1.05,1.5", "--undefined=skip"}).first, 0);
  const std::string svg = Read(scratch.path / "map.svg");
  const auto regions = CsvLines(Read(scratch.path / "r.csv"));
  EXPECT_TRUE(tarnek::map_svg::WellFormed(svg));
  const std::vector<tarnek::map_svg::DrawnRegion> drawn = tarnek::map_svg::Regions(svg);
  EXPECT_EQ(drawn.size(), 100u);
  EXPECT_EQ(tarnek::map_svg::Count(svg.substr(svg.find("<g id=\"regions\"")), "<path d="), 200u);
  tarnek::map_svg::ExpectInsidePanels(svg, drawn);
  for (const auto& [legend, column, cuts] : {std::tuple{"legend-ratio", "eb", std::vector<double>{0.7, 0.95, 1.05, 1.5}},
                                             std::tuple{"legend-exceed", "p_exceed", std::vector<double>{0.2, 0.8, 0.95}}}) {
    const size_t at = std::find(regions[0].begin(), regions[0].end(), column) - regions[0].begin();
    std::vector<size_t> want(cuts.size() + 2, 0);
    want.back() = 3;  // the features without data
    for (size_t row = 1; row < regions.size(); ++row) {
      const std::string& value = regions[row].at(at);
      want[value.empty() ? cuts.size() + 1 : std::upper_bound(cuts.begin(), cuts.end(), std::stod(value)) - cuts.begin()] += 1;
    }
    std::vector<size_t> shown;
    for (const auto& [fill, label] : tarnek::map_svg::Legend(svg, legend)) {
      shown.push_back(std::stoul(label.substr(label.rfind('(') + 1)));
    }
    EXPECT_EQ(shown, want) << legend;
  }
  EXPECT_NE(svg.find("100 regions: 96 with data, 4 without (hatched)"), std::string::npos);
  EXPECT_NE(svg.find("<title>37009\nno data</title>"), std::string::npos);
  EXPECT_NE(svg.find("<title>37001\nobserved n/a, expected 9.444, ratio n/a\nEB ratio n/a, 95% interval n/a to n/a\n"
                     "P(ratio &gt; 1.2) = n/a</title>"), std::string::npos);
}

TEST(Shapes, ALayerInMetresWithoutItsCrsAndAFeatureWithoutAShape) {
  // GeoJSON without a "crs" member is WGS 84 to GDAL: coordinates in metres
  // are drawn as planar, as the caption says. A feature without geometry is
  // named on the console; its region has no queen neighbours.
  std::string features;
  for (int k = 0; k < 4; ++k) {
    const std::string a = std::to_string(500000 + 1000 * k), b = std::to_string(501000 + 1000 * k);
    features += std::string(k ? "," : "") + "{\"type\":\"Feature\",\"properties\":{\"code\":" + std::to_string(k + 1) +
                "},\"geometry\":" + (k == 2 ? "null" : "{\"type\":\"Polygon\",\"coordinates\":[[[" + a + ",4000000],[" +
                b + ",4000000],[" + b + ",4001000],[" + a + ",4001000],[" + a + ",4000000]]]}") + "}";
  }
  Scratch scratch({{"data.txt", "-1 1 3 1.5\n-1 2 4 2\n-1 3 0 1\n-1 4 2 1e-320\n"},
                   {"g.geojson", "{\"type\":\"FeatureCollection\",\"features\":[" + features + "]}"}});
  const auto [exitCode, console] = Tarnek(scratch.path, {"data.txt", "out.txt", "--geometry=g.geojson", "--map=map.svg",
                                                         "--neighbours=queen", "--prior=local", "--regions=r.csv"});
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(console.substr(console.find("out.log\n") + 8),
            " 1 feature without a shape (left off the map, no contiguity neighbours): 3 (3)\n");
  const std::string svg = Read(scratch.path / "map.svg");
  EXPECT_NE(svg.find(">Planar coordinates of the layer, drawn as they are (its CRS, WGS 84, "
                                                 "is geographic, but its coordinates reach beyond longitude and "
                                                 "latitude). Classes hold their lower bounds.</text>"), std::string::npos);
  // Region 4's crude ratio lies beyond the doubles ("***" in the table): it
  // shows as n/a, and the region has its data all the same.
  EXPECT_NE(svg.find("<title>4\nobserved 2, expected 1e-320, ratio n/a\n"), std::string::npos);
  EXPECT_NE(svg.find(">4 regions, all with data; 1 without a shape</text>"), std::string::npos);
  std::vector<std::string> neighbours;
  for (const auto& row : CsvLines(Read(scratch.path / "r.csv"))) neighbours.push_back(row.back());
  EXPECT_EQ(neighbours, (std::vector<std::string>{"neighbours", "1", "1", "0", "0"}));
}

TEST(Refused, InputErrorsThatNeedTheirFilesMadeOrOtherWordsFollow) {
  // The failures of inputs that the golden cases cannot hold: GEOS's words
  // after the message (compared up to them), a layer of 1600 squares, and
  // the North Carolina shapefile. Each names its cause, with exit code 2 where the text
  // does not read as what the run needs and 1 where it reads but does not
  // fit, and leaves the earlier out.txt and out.log as they were.
  const auto square = [](int x, const std::string& properties) {
    const std::string a = std::to_string(x), b = std::to_string(x + 1);
    return "{\"type\":\"Feature\",\"properties\":{" + properties + "},\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[" +
           a + ",0],[" + b + ",0],[" + b + ",1],[" + a + ",1],[" + a + ",0]]]}}";
  };
  const auto layer = [](const std::vector<std::string>& features) {
    std::string text = "{\"type\":\"FeatureCollection\",\"features\":[";
    for (size_t i = 0; i < features.size(); ++i) text += (i ? "," : "") + features[i];
    return text + "]}";
  };
  const std::string three = "-1 1 3 1.5\n-1 2 4 2\n-1 3 0 1\n";  // codes 1, 2 and 3
  const std::string bowtie = "{\"type\":\"Feature\",\"properties\":{\"code\":2},\"geometry\":{\"type\":\"Polygon\","
                             "\"coordinates\":[[[0,0],[1,1],[1,0],[0,1],[0,0]]]}}";
  Tree grid = {{"data.txt", ""}};  // 1600 squares in a row, 6400 vertices
  std::vector<std::string> squares;
  for (int k = 1; k <= 1600; ++k) {
    grid["data.txt"] += "-1 " + std::to_string(k) + " 1 1\n";
    squares.push_back(square(2 * k, "\"code\":" + std::to_string(k)));
  }
  grid["g.geojson"] = layer(squares);
  const Tree nc = NorthCarolina();
  Tree withCpg = nc;
  withCpg["sids.cpg"] = "UTF-8\n";
  const struct {
    const char* note;
    Tree files;                        // the directory but for the earlier out.txt and out.log
    std::vector<std::string> options;  // after the data file's name and out.txt
    std::string console;               // after the file names
    int exitCode;
    std::string data = "data.txt";  // the data file's name
    bool prefix = false;            // compared up to its length: GEOS's words follow
  } cases[] = {
      {"a shape that crosses itself",
       {{"data.txt", three}, {"g.geojson", layer({square(0, "\"code\":1"), square(1, "\"code\":3"), bowtie})}},
       {"--geometry=g.geojson"}, "\n Error!! Wrong vector data found (g.geojson, feature 3 (2): GEOS finds it invalid", 2,
       "data.txt", true},
      {"a snap that brings every vertex together", grid, {"--geometry=g.geojson", "--neighbours=rook", "--snap=1e6"},
       "\n Error!! Wrong neighbours found (rook, a snap distance of 1e+06 brings 20476800 pairs of vertices together, "
       "more than the 16777216 allowed for 6400 vertices: the snap joins vertices that rounding set apart, far closer "
       "than a region's size)\n", 1},
      {"a map over a file of the shapefile", nc, {"--vector", "--columns=-,FIPS,SID74,BIR74", "--map=sids.dbf"},
       "\n ERROR! sids.dbf and sids.dbf are the same file \n\n", 1, "sids.shp"},
      {"a table over the encoding file of the shapes, which GDAL reads but does not list", withCpg,
       {"--geometry=sids.shp", "--geometry-key=FIPSNO", "--regions=sids.cpg"},
       "\n ERROR! sids.cpg and sids.cpg are the same file \n\n", 1, "sids74.txt"},
      {"a map over the shapes named with GDAL's driver",
       {{"data.txt", three},
        {"g.geojson", layer({square(0, "\"code\":1"), square(1, "\"code\":2"), square(2, "\"code\":3")})}},
       {"--geometry=GeoJSON:g.geojson", "--map=g.geojson"}, "\n ERROR! g.geojson and g.geojson are the same file \n\n", 1},
  };
  const std::string banner = kNames.substr(0, kNames.find(" DataFileName"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const Tree before = WithEarlier(c.files);
    std::vector<std::string> args = {c.data, "out.txt"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const std::string want = banner + " DataFileName: " + c.data + "\n OutFileName : out.txt\n LogFileName : out.log\n" + c.console;
    const std::string console = ExpectRun(before, args, c.exitCode, before);
    EXPECT_EQ(c.prefix ? console.substr(0, want.size()) : console, want);
  }
}

TEST(Geometry, TheGdalModuleIsTheOneBesideTheProgram) {
  // A copy of the program finds the module beside it; where the file there
  // is no module, a run that reads vector data says so and writes nothing,
  // and a run without vector data never needs it.
  Scratch program({});
  const std::string binary = (program.path / "tarnek").string(), module = (program.path / "tarnek-gdal.so").string();
  fs::copy_file(TARNEK_BINARY, binary);
  fs::copy_file(fs::path(TARNEK_BINARY).parent_path() / "tarnek-gdal.so", module);
  const Tree before = NorthCarolina();
  const std::vector<std::string> args = {"sids74.txt", "out.txt", "--geometry=sids.shp", "--geometry-key=FIPSNO"};
  Scratch scratch(before);
  EXPECT_EQ(Tarnek(scratch.path, args, {.binary = binary}).first, 0) << "the module beside the program";

  fs::remove(module);
  std::ofstream(module).flush();  // an empty file
  std::string names = kNames;
  names.replace(names.find("data.txt"), 8, "sids74.txt");
  EXPECT_EQ(ExpectRun(before, args, 1, before, {.binary = binary}),
            names + "\n ERROR! Can't load the GDAL module (" + module + ": file too short) \n\n");
  EXPECT_EQ(Tarnek(scratch.path, {"sids74.txt", "plain.txt"}, {.binary = binary}).first, 0) << "no vector data";
}

TEST(Sample, NorthCarolinaMapIsTheReadmePicture) {
  // The README's command, run in the source tree, draws doc/nc-map.svg.
  const fs::path source(TARNEK_SOURCE_DIR);
  Scratch scratch({});
  ASSERT_EQ(Tarnek(source, {"examples/nc-sids74.csv", scratch.path / "out.txt", "--csv", "--columns=-,code,observed,expected",
                            "--geometry=tests/data/nc_sids/sids.shp", "--geometry-key=FIPS",
                            "--map=" + (scratch.path / "nc-map.svg").string()}).first, 0);
  EXPECT_EQ(Read(scratch.path / "nc-map.svg"), Read(source / "doc" / "nc-map.svg"))
      << "doc/nc-map.svg is not what tarnek draws: draw it anew with the README's command";
}

TEST(Sample, BundledSampleFitsAsDocumented) {
  // Run in the source tree, as `make run` does; the plot is the manual's image (doc/output.md).
  const fs::path source(TARNEK_SOURCE_DIR);
  Scratch scratch({});
  ASSERT_EQ(Tarnek(source, {"examples/sample.txt", scratch.path / "out.txt", "--plot=" + (scratch.path / "plot.svg").string()}).first, 0);
  // Its table and log: golden marshall_prior, on the same data.
  EXPECT_EQ(Read(scratch.path / "plot.svg"), Read(source / "doc" / "sample-plot.svg"))
      << "doc/sample-plot.svg is not what tarnek draws: `make run` draws it anew as out/sample-plot.svg";
}

}  // namespace
