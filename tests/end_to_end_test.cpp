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
// After them, what cannot be fixed bytes: the times of -T, a write that fails
// at the file-size limit, a run interrupted by SIGTERM, inputs too large to
// keep, and the bundled sample.
#include <signal.h>        // kill, signal, SIGTERM, SIGXFSZ
#include <sys/resource.h>  // setrlimit, RLIMIT_FSIZE
#include <sys/wait.h>      // waitpid
#include <unistd.h>        // fork, execv, dup2, chdir, alarm, usleep

#include <algorithm>
#include <chrono>
#include <cstdio>   // tmpfile
#include <cstdlib>  // mkdtemp
#include <ctime>    // time, localtime, strftime
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/banner.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kGolden = fs::path(TARNEK_SOURCE_DIR) / "tests" / "golden";

// Runs the built tarnek with `args` in `dir` and returns its exit code (128 +
// the signal number when a signal ended it) and its console text. A
// `fileSizeLimit` above 0 caps every file it writes (RLIMIT_FSIZE, SIGXFSZ
// ignored so that the write fails instead); `whileRunning` gets its process id
// while it runs; a `user` above 0 runs it under that user and group id. A run
// that hangs is ended by SIGALRM after a minute.
std::pair<int, std::string> Tarnek(const fs::path& dir, std::vector<std::string> args, rlim_t fileSizeLimit = 0,
                                   const std::function<void(pid_t)>& whileRunning = nullptr, uid_t user = 0) {
  std::vector<char*> argv{const_cast<char*>(TARNEK_BINARY)};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* console = std::tmpfile();
  if (console == nullptr) return {-1, "no temporary file for the console"};
  const int consoleFd = fileno(console);
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    dup2(consoleFd, STDOUT_FILENO);
    alarm(60);
    const rlimit limit{fileSizeLimit, fileSizeLimit};
    if (fileSizeLimit > 0 && (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)) _exit(126);
    if (user > 0 && (setgid(user) != 0 || setuid(user) != 0)) _exit(126);
    if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  if (whileRunning) whileRunning(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string text;
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

// A fresh temporary directory holding `files`, removed at the end. A parent
// directory sorts before its content, so it is created first.
struct Scratch {
  fs::path path;
  explicit Scratch(const Tree& files) {
    std::string pattern = (fs::temp_directory_path() / "tarnek-e2e-XXXXXX").string();
    path = mkdtemp(pattern.data());
    for (const auto& [name, content] : files) {
      if (content == kDirectory) fs::create_directory(path / name);
      else if (content.rfind(kLink, 0) == 0) fs::create_symlink(content.substr(kLink.size()), path / name);
      else std::ofstream(path / name, std::ios::binary) << content;
    }
  }
  ~Scratch() { std::error_code ignored; fs::remove_all(path, ignored); }
};

// Runs tarnek in a directory holding `before`, checks its exit code and the
// directory's content afterwards, and returns its console text.
std::string ExpectRun(const Tree& before, const std::vector<std::string>& args, int exitCode, const Tree& after,
                      rlim_t fileSizeLimit = 0) {
  Scratch scratch(before);
  const auto [gotExitCode, console] = Tarnek(scratch.path, args, fileSizeLimit);
  EXPECT_EQ(gotExitCode, exitCode);
  ExpectTree(scratch.path, after);
  return console;
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

TEST(GoldenCases, Found) { EXPECT_GE(CaseNames().size(), 45u); }

const std::vector<std::string> kArgs{"data.txt", "out.txt"};
const std::string kNames = Read(kGolden / "failing_fit" / "stdout");  // console up to the file names

TEST(Timing, StartAndEndLinesBracketTheEstimationAndNeverReachTheFiles) {
  // -t in lower case and -T again: each line once, with the local time of the
  // run as strftime writes it; the files are those of the run without -T.
  const auto timeText = [](std::time_t t) {
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y\n", std::localtime(&t)));
  };
  const fs::path worked = kGolden / "worked6";
  const std::time_t before = std::time(nullptr);
  const std::string console =
      ExpectRun(Snapshot(worked / "before"), {"data.txt", "out.txt", "-t", "-T"}, 0, Snapshot(worked / "after"));
  const std::time_t after = std::time(nullptr);
  bool matched = false;
  for (std::time_t start = before; start <= after; ++start)
    for (std::time_t end = start; end <= after; ++end)
      matched |= console == kNames + "\n start: " + timeText(start) + " end:   " + timeText(end);
  EXPECT_TRUE(matched) << console;
}

TEST(GeneratedInput, WriteFailuresAndHugeInputs) {
  // Every run starts beside earlier out.txt and out.log, which a failing run
  // must leave as they were, with no temporary left beside them. A run slower
  // than the alarm (a scan that is not linear) fails by its exit code.
  std::string records;  // 2000 in one group
  for (int k = 1; k <= 2000; ++k) records += "-1 " + std::to_string(k) + " " + std::to_string(k % 7) + " 1.25\n";
  const std::string digits(999999, '0');
  struct Case {
    const char* note;
    std::string data;
    rlim_t fileSizeLimit;
    std::string message;  // after the file names
    int exitCode;
    const char* golden;  // the case whose out.txt and out.log the run gives, or none
  } cases[] = {
      {"the table fails at the limit; the complete log must not land either", records, 4096,
       "\n ERROR! Can't write out.txt file \n\n", 1, nullptr},
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
    const Tree before{{"data.txt", c.data}, {"out.txt", "earlier table"}, {"out.log", "earlier log"}};
    Tree after = c.golden ? Snapshot(kGolden / c.golden / "after") : before;
    after["data.txt"] = c.data;
    EXPECT_EQ(ExpectRun(before, kArgs, c.exitCode, after, c.fileSizeLimit), kNames + c.message);
  }
}

TEST(Interrupted, SigtermRemovesTemporariesAndKeepsEarlierFiles) {
  // 300000 records in 30000 units keep the run busy for a while. SIGTERM is
  // sent as soon as a temporary output file shows up, that is while the log
  // is being written; a run too fast to be caught must have completed.
  std::string data;
  for (int k = 0; k < 300000; ++k) data += std::to_string(k % 30000) + " " + std::to_string(k) + " " + std::to_string(k % 23) + " 2.5\n";
  const Tree before{{"data.txt", data}, {"out.txt", "earlier table"}};
  Scratch scratch(before);
  const auto hasTemporary = [&] {
    return std::any_of(fs::directory_iterator(scratch.path), fs::directory_iterator(),
                       [](const auto& e) { return e.path().filename().string().starts_with(".tarnek-"); });
  };
  bool caught = false;
  const auto [exitCode, console] = Tarnek(scratch.path, kArgs, 0, [&](pid_t pid) {
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!(caught = hasTemporary()) && std::chrono::steady_clock::now() < giveUp) usleep(200);
    kill(pid, SIGTERM);  // still our unreaped child, even if it has ended
  });
  if (exitCode == 128 + SIGTERM) {
    ExpectTree(scratch.path, before);
  } else {
    ASSERT_EQ(exitCode, 0) << "ended by the signal or finished";
    EXPECT_FALSE(hasTemporary());
  }
  if (!caught) GTEST_SKIP() << "no temporary seen before the run ended";
}

TEST(Commit, TableThatCannotTakeItsPlacePutsTheLogBack) {
  // In a sticky directory another user's table may be written but not
  // replaced: the log, already in place by then, must go back to the earlier one.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run tarnek as another user";
  const uid_t nobody = 65534;
  const Tree before{{"data.txt", Read(kGolden / "failing_fit" / "before" / "data.txt")},
                    {"out.txt", "earlier table"}, {"out.log", "earlier log"}};
  Scratch scratch(before);
  fs::permissions(scratch.path, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(scratch.path / "out.txt", fs::perms::all & ~fs::perms::others_exec & ~fs::perms::group_exec & ~fs::perms::owner_exec);
  ASSERT_EQ(chown((scratch.path / "out.log").c_str(), nobody, nobody), 0);
  const auto [exitCode, console] = Tarnek(scratch.path, kArgs, 0, nullptr, nobody);
  EXPECT_EQ(exitCode, 1);
  EXPECT_EQ(console, kNames + "\n ERROR! Can't write out.txt file \n\n");
  ExpectTree(scratch.path, before);
}

TEST(TableOptions, StrictValuesAndNoTableNoChange) {
  // A refused value: the message names the option and what it takes, exit
  // code 1, nothing created, before the data file is read (here it does not
  // even exist). --level, --exceed and --prior without a table change no byte.
  const std::string banner = std::string(tarnek::kBannerTitle) + "\n" + std::string(tarnek::kBannerNotice) + "\n\n";
  const struct { std::vector<std::string> options; std::string takes, value; } refused[] = {
      {{"--regions="}, "a file name", ""},
      {{"--groups"}, "a file name", ""},
      {{"--level=1"}, "a decimal number above 0 and below 1", "1"},
      {{"--level=0"}, "a decimal number above 0 and below 1", "0"},
      {{"--level=0.95x"}, "a decimal number above 0 and below 1", "0.95x"},
      {{"--level=1e-400"}, "a decimal number above 0 and below 1", "1e-400"},  // reads as 0
      {{"--level=0.99999999999999999"}, "a decimal number above 0 and below 1", "0.99999999999999999"},  // 1
      {{"--exceed=0"}, "a decimal number above 0", "0"},
      {{"--exceed=-1"}, "a decimal number above 0", "-1"},
      {{"--exceed=inf"}, "a decimal number above 0", "inf"},
      {{"--exceed=1e999"}, "a decimal number above 0", "1e999"},
      {{"--prior=MLE"}, "mle or me", "MLE"},
      {{"--prior="}, "mle or me", ""},
      {{"--regions=r.csv", "--level=.5", "--prior=moments"}, "mle or me", "moments"},  // after good ones
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.options.back());
    std::vector<std::string> args = kArgs;
    args.insert(args.end(), c.options.begin(), c.options.end());
    const std::string option = c.options.back().substr(0, c.options.back().find('='));
    EXPECT_EQ(ExpectRun({}, args, 1, {}), banner + "\n ERROR! Option " + option + " takes " + c.takes + ", not \"" +
                                              c.value + "\" \n\n");
  }
  const fs::path worked = kGolden / "worked6";
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--level=0.5", "--exceed=2", "--prior=me"}, {"--prior=mle", "--level=.999999"}}) {
    std::vector<std::string> args = kArgs;
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(ExpectRun(Snapshot(worked / "before"), args, 0, Snapshot(worked / "after")), Read(worked / "stdout"));
  }
}

TEST(Sample, BundledSampleFitsAsDocumented) {
  Scratch scratch({{"data.txt", Read(fs::path(TARNEK_SOURCE_DIR) / "examples" / "sample.txt")}});
  ASSERT_EQ(Tarnek(scratch.path, kArgs).first, 0);
  const std::string log = Read(scratch.path / "out.log"), table = Read(scratch.path / "out.txt");
  EXPECT_NE(log.find("\r\n Number of regions: 56\r\n"), std::string::npos) << "one group of every record";
  EXPECT_NE(log.find("\r\n MLE of Alpha : 1.321667\r\n MLE of Beta  : 1.879490\r\n"), std::string::npos);
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 57);
}

}  // namespace
