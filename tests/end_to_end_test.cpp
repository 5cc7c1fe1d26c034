// End-to-end runs of the built tarnek: every golden case directory, then the
// whole-file properties of the log and the result table.
//
// A golden case is a directory under tests/golden/ holding
//   data.txt     the data file (absent: the run meets a missing data file);
//   args         the arguments after the command name, one a line; a line
//                DATA or OUT stands for the data or result file path in the
//                run's temporary directory;
//   console.txt  the exact standard output, DATA, OUT and LOG standing for the
//                data, result and log file paths as printed;
//   result.txt, result.log  the exact result table and log (CR LF line ends),
//                absent when the run must not leave that file;
//   exit         the exit code.
// Nothing but data.txt and the expected files may exist after the run, so a
// leftover temporary or a stray file fails the case.
#include <poll.h>          // poll
#include <signal.h>        // kill, signal, SIGKILL, SIGXFSZ
#include <sys/resource.h>  // setrlimit, RLIMIT_FSIZE
#include <sys/wait.h>      // waitpid
#include <unistd.h>        // fork, execv, pipe, dup2, chdir

#include <algorithm>
#include <chrono>
#include <cstdlib>  // mkdtemp
#include <ctime>    // strptime, mktime, time
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// Helpers shared with output_safety_test.cpp, which declares them again.
namespace tarnek::e2e {

// Starts the built tarnek with `args` in directory `dir`. Its standard output
// goes to a pipe whose read end is returned in *consoleFd. A `fileSizeLimit`
// above 0 caps the size of every file it writes (RLIMIT_FSIZE, with SIGXFSZ
// ignored so that the write fails instead of killing the process).
pid_t StartTarnek(const std::string& dir, const std::vector<std::string>& args, int* consoleFd,
                  long fileSizeLimit) {
  std::vector<std::string> owned{TARNEK_BINARY};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(126);
    if (fileSizeLimit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  *consoleFd = fds[0];
  return pid;
}

// Collects the console text until the process ends and returns its exit code,
// 128 + the signal number when a signal ended it, or -1 when it ran past
// `timeoutSeconds` (it is then killed).
int FinishTarnek(pid_t pid, int consoleFd, std::string* console, int timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool timedOut = false;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{consoleFd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
      timedOut = true;
      break;
    }
    const ssize_t got = read(consoleFd, buffer, sizeof buffer);
    if (got <= 0) break;
    console->append(buffer, static_cast<size_t>(got));
  }
  close(consoleFd);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (timedOut) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunBinary(const std::string& dir, const std::vector<std::string>& args, std::string* console,
              long fileSizeLimit = 0) {
  int fd = -1;
  const pid_t pid = StartTarnek(dir, args, &fd, fileSizeLimit);
  if (pid < 0) return -1;
  return FinishTarnek(pid, fd, console, 120);
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "tarnek-e2e-XXXXXX").string();
  return mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

// The names in `dir`, sorted; symbolic links are listed, not followed.
std::vector<std::string> DirEntries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarnek::e2e

namespace {

using namespace tarnek::e2e;

const fs::path kGoldenDir = fs::path(TARNEK_SOURCE_DIR) / "tests" / "golden";
const std::string kBanner =
    "EB estimator for Poisson-Gamma model [Version 1.1]\n"
    "Empirical Bayes smoothing of small-area ratios by moments and maximum likelihood\n\n";
const std::string kHeader = "Unit\tCode\tData1\tData2\t\tRatio(%)\tEB-Ratio(ME)(%)\tEB-Ratio(MLE)(%)\r\n";

struct ScratchDir {
  fs::path path = MakeTempDir();
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

// The console lines of a run named data.txt out.txt in its own directory.
std::string NamesConsole() {
  return kBanner + " DataFileName: data.txt\n OutFileName : out.txt\n LogFileName : out.log\n";
}

// One pass over `text`, so that a path holding a placeholder word is never
// substituted twice.
std::string Substitute(const std::string& text, const std::vector<std::pair<std::string, std::string>>& words) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool hit = false;
    for (const auto& [word, value] : words) {
      if (text.compare(i, word.size(), word) == 0) {
        out += value;
        i += word.size();
        hit = true;
        break;
      }
    }
    if (!hit) out += text[i++];
  }
  return out;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start != text.size()) lines.push_back(text.substr(start));  // an unterminated tail
  return lines;
}

std::vector<std::string> GoldenCaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kGoldenDir)) {
    if (entry.is_directory()) names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class GoldenCase : public ::testing::TestWithParam<std::string> {};

TEST_P(GoldenCase, ConsoleExitCodeAndFilesMatchByteForByte) {
  const fs::path source = kGoldenDir / GetParam();
  ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const std::string data = (scratch.path / "data.txt").string();
  const std::string out = (scratch.path / "out.txt").string();
  const std::string log = (scratch.path / "out.log").string();

  std::vector<std::string> expectedEntries;
  if (fs::exists(source / "data.txt")) {
    fs::copy_file(source / "data.txt", data);
    expectedEntries.push_back("data.txt");
  }
  std::vector<std::string> args;
  std::istringstream argLines(ReadBytes(source / "args"));
  for (std::string line; std::getline(argLines, line);) {
    args.push_back(line == "DATA" ? data : line == "OUT" ? out : line);
  }

  std::string console;
  const int exitCode = RunBinary(scratch.path, args, &console);
  EXPECT_EQ(exitCode, std::stoi(ReadBytes(source / "exit")));
  EXPECT_EQ(console, Substitute(ReadBytes(source / "console.txt"), {{"DATA", data}, {"OUT", out}, {"LOG", log}}));

  for (const auto& [expected, actual] : {std::pair{"result.txt", "out.txt"}, std::pair{"result.log", "out.log"}}) {
    if (fs::exists(source / expected)) {
      expectedEntries.push_back(actual);
      EXPECT_EQ(ReadBytes(scratch.path / actual), ReadBytes(source / expected)) << actual;
    }
  }
  std::sort(expectedEntries.begin(), expectedEntries.end());
  EXPECT_EQ(DirEntries(scratch.path), expectedEntries) << "a missing, stray or temporary file";
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenCase, ::testing::ValuesIn(GoldenCaseNames()),
                         [](const auto& info) { return info.param; });

TEST(GoldenCases, AllPresent) { EXPECT_GE(GoldenCaseNames().size(), 15u); }

// Runs data.txt -> out.txt in a fresh directory; the files are returned.
struct Outcome {
  int exitCode = -1;
  std::string console, table, log;
};

Outcome RunOnData(const std::string& data, std::vector<std::string> options = {}) {
  ScratchDir scratch;
  WriteBytes(scratch.path / "data.txt", data);
  std::vector<std::string> args{"data.txt", "out.txt"};
  args.insert(args.end(), options.begin(), options.end());
  Outcome run;
  run.exitCode = RunBinary(scratch.path, args, &run.console);
  run.table = ReadBytes(scratch.path / "out.txt");
  run.log = ReadBytes(scratch.path / "out.log");
  return run;
}

TEST(ResultTable, HeaderLineCountAndLineEnds) {
  // 100 records over several units: n records give n + 1 lines, each ended by
  // CR LF (no bare LF or CR), the header with its two tabs, seven fields a row.
  std::string data;
  for (int k = 1; k <= 100; ++k) data += std::to_string(k % 4) + " " + std::to_string(k) + " " + std::to_string(k % 9) + " 1.5\n";
  const Outcome run = RunOnData(data);
  ASSERT_EQ(run.exitCode, 0);
  ASSERT_GE(run.table.size(), 2u);
  EXPECT_EQ(run.table.substr(run.table.size() - 2), "\r\n");
  EXPECT_EQ(run.table.rfind(kHeader, 0), 0u);
  const auto lines = SplitCrLf(run.table);
  ASSERT_EQ(lines.size(), 101u);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos) << i;
    EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), '\t'), 6) << lines[i];
    EXPECT_EQ(lines[i].find("\t\t"), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].rfind(std::to_string(i % 4) + "\t" + std::to_string(i) + "\t", 0), 0u) << "input order";
  }
}

TEST(ResultTable, PercentColumnsRoundToSixDecimals) {
  // Ratios 1/3 and 2/3: mean 1/2, variance 1/18, so ME Alpha 9 and Beta 4.5
  // and EB ratios 5.5/12 and 6.5/12.
  const Outcome run = RunOnData("-1 1 1 3\n-1 2 2 3\n");
  ASSERT_EQ(run.exitCode, 0);
  const auto lines = SplitCrLf(run.table);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("-1\t1\t1\t3.000000\t33.333333\t45.833333\t", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("-1\t2\t2\t3.000000\t66.666667\t54.166667\t", 0), 0u) << lines[2];
}

TEST(OutputFiles, EarlierFilesReplacedOrKept) {
  struct Case {
    const char* note;
    const char* data;
    int exitCode;
    bool replaced;
  } cases[] = {
      {"a good run replaces, not appends to, longer earlier files", "-1 1 1 1\n-1 2 3 1\n", 0, true},
      {"a value out of range leaves both earlier files as they were", "-1 1 1 1\n-1 2 3 0\n", 1, false},
      {"text that is no record leaves both earlier files as they were", "-1 1 1 1\n-1 2 3\n", 2, false},
  };
  const std::string earlier(5000, 'e');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    ScratchDir scratch;
    WriteBytes(scratch.path / "data.txt", c.data);
    WriteBytes(scratch.path / "out.txt", earlier);
    WriteBytes(scratch.path / "out.log", earlier + "log");
    std::string console;
    EXPECT_EQ(RunBinary(scratch.path, {"data.txt", "out.txt"}, &console), c.exitCode);
    EXPECT_EQ(ReadBytes(scratch.path / "out.txt"),
              c.replaced ? ReadBytes(kGoldenDir / "failing_fit" / "result.txt") : earlier);
    EXPECT_EQ(ReadBytes(scratch.path / "out.log"),
              c.replaced ? ReadBytes(kGoldenDir / "failing_fit" / "result.log") : earlier + "log");
    EXPECT_EQ(DirEntries(scratch.path), (std::vector<std::string>{"data.txt", "out.log", "out.txt"}));
  }
}

TEST(PerUnit, DegenerateGroupsLeaveTheOtherGroupsAlone) {
  // Unit 3 has one record and unit 4 two equal ratios (no variance); both sit
  // between units 2 and 5. The run must complete, print no NaN or infinity,
  // and give units 2 and 5 the same lines as a run of those groups alone.
  const std::string normal = "5 1 0 1\n2 2 1 1\n5 3 10 1\n2 4 3 1\n";
  const std::string degenerate = "3 5 2 4\n4 6 2 1\n4 7 4 2\n";
  const Outcome alone = RunOnData(normal);
  const Outcome mixed = RunOnData("5 1 0 1\n3 5 2 4\n2 2 1 1\n4 6 2 1\n5 3 10 1\n4 7 4 2\n2 4 3 1\n");
  ASSERT_EQ(alone.exitCode, 0);
  ASSERT_EQ(mixed.exitCode, 0);
  for (const std::string* text : {&mixed.console, &mixed.table, &mixed.log}) {
    for (const char* bad : {"NAN", "INF", "nan", "inf"}) EXPECT_EQ(text->find(bad), std::string::npos) << bad;
  }
  // The log without the blocks of units 3 and 4 is the log of the normal groups.
  std::string log = mixed.log;
  const size_t from = log.find("For unit 3 ");
  const size_t to = log.find("For unit 5 ");
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to);
  EXPECT_NE(log.find("For unit 4 ", from), std::string::npos);
  log.erase(from, to - from);
  EXPECT_EQ(log, alone.log);
  // Rows of units 2 and 5 are equal to those of the run alone, in input order.
  std::vector<std::string> kept;
  for (const std::string& line : SplitCrLf(mixed.table)) {
    if (line.rfind("3\t", 0) != 0 && line.rfind("4\t", 0) != 0) kept.push_back(line);
  }
  EXPECT_EQ(kept, SplitCrLf(alone.table));
  EXPECT_NE(mixed.table.find("\r\n3\t5\t2\t4.000000\t50.000000\t***\t***\r\n"), std::string::npos);
}

TEST(Sample, BundledSampleFitsAsDocumented) {
  const Outcome run = RunOnData(ReadBytes(fs::path(TARNEK_SOURCE_DIR) / "examples" / "sample.txt"));
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_NE(run.log.find("\r\n MLE of Alpha : 1.321667\r\n MLE of Beta  : 1.879490\r\n"), std::string::npos);
  EXPECT_EQ(SplitCrLf(run.table).size(), 57u);
  EXPECT_EQ(run.log.rfind(" Iteration for convergence : "), run.log.find(" Iteration for convergence : "))
      << "one group";
}

// The time text of the start and end lines: 24 characters and the line end.
const char* const kTimeText =
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] [0-9]{4}\n";

// Reads a time text back as a local calendar time.
std::time_t ParseTimeText(const std::string& text) {
  std::tm tm{};
  if (!strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &tm)) return -1;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST(Timing, StartAndEndLinesBracketTheEstimation) {
  struct Case {
    const char* note;
    std::vector<std::string> options;
  } cases[] = {
      {"-T prints one start and one end line", {"-T"}},
      {"-t matches regardless of letter case", {"-t"}},
      {"-T twice still prints each line once", {"-T", "-T", "-L20"}},
  };
  const std::string data = ReadBytes(kGoldenDir / "worked6" / "data.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    const std::time_t before = std::time(nullptr);
    const Outcome run = RunOnData(data, c.options);
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(run.exitCode, 0);
    const std::regex shape(std::string("\n start: (") + kTimeText + ") end:   (" + kTimeText + ")");
    std::smatch m;
    ASSERT_EQ(run.console.rfind(NamesConsole(), 0), 0u) << run.console;
    const std::string tail = run.console.substr(NamesConsole().size());
    ASSERT_TRUE(std::regex_match(tail, m, shape)) << tail;
    const std::time_t start = ParseTimeText(m[1]);
    const std::time_t end = ParseTimeText(m[4]);
    EXPECT_LE(before, start) << "the local time of the run";
    EXPECT_LE(start, end);
    EXPECT_LE(end, after);
    // The times never reach the files.
    EXPECT_EQ(run.table, ReadBytes(kGoldenDir / "worked6" / "result.txt"));
    EXPECT_EQ(run.log, ReadBytes(kGoldenDir / "worked6" / "result.log"));
  }
}

TEST(Timing, NoTimeWhenTheDataIsBad) {
  const Outcome run = RunOnData("-1 1 1 1\n-1 2 -3 1\n", {"-T"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.console, NamesConsole() + "\n Error!! Wrong data found (in code-2)\n");
}

}  // namespace
