// The output files through the built tarnek: names that collide with each
// other or with the data, targets that cannot be created or written, a run
// that is interrupted, and input far beyond the usual size.
#include <signal.h>  // kill, SIGTERM
#include <unistd.h>  // usleep

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// Defined in end_to_end_test.cpp.
namespace tarnek::e2e {
pid_t StartTarnek(const std::string& dir, const std::vector<std::string>& args, int* consoleFd,
                  long fileSizeLimit);
int FinishTarnek(pid_t pid, int consoleFd, std::string* console, int timeoutSeconds);
int RunBinary(const std::string& dir, const std::vector<std::string>& args, std::string* console,
              long fileSizeLimit = 0);
std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);
fs::path MakeTempDir();
std::vector<std::string> DirEntries(const fs::path& dir);
}  // namespace tarnek::e2e

namespace {

using namespace tarnek::e2e;

const fs::path kGoldenDir = fs::path(TARNEK_SOURCE_DIR) / "tests" / "golden";
const std::string kBanner =
    "EB estimator for Poisson-Gamma model [Version 1.1]\n"
    "Empirical Bayes smoothing of small-area ratios by moments and maximum likelihood\n\n";
const std::string kGoodData = "-1 1 1 1\n-1 2 3 1\n";  // the golden failing_fit data

struct ScratchDir {
  fs::path path = MakeTempDir();
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

std::string Names(const std::string& data, const std::string& out, const std::string& log) {
  return kBanner + " DataFileName: " + data + "\n OutFileName : " + out + "\n LogFileName : " + log + "\n";
}

bool HasTemporary(const fs::path& dir) {
  for (const std::string& name : DirEntries(dir)) {
    if (name.rfind(".tarnek-", 0) == 0) return true;
  }
  return false;
}

TEST(Collisions, SameFileUnderTwoNamesStopsTheRunBeforeAnyOutput) {
  struct Case {
    const char* note;
    const char* data;      // DataFileName; in.txt and in.log exist, as does sub/
    const char* out;       // OutFileName
    const char* log;       // the derived LogFileName
    const char* message;   // the two names of the message
  } cases[] = {
      {"the log name equals OutFileName", "in.txt", "x.log", "x.log", "x.log and x.log"},
      {"OutFileName is the data file", "in.txt", "in.txt", "in.log", "in.txt and in.txt"},
      {"the log is the data file", "in.log", "in.txt", "in.log", "in.log and in.log"},
      {"the data file written differently", "./in.txt", "in.txt", "in.log", "./in.txt and in.txt"},
      {"the data file through another directory", "sub/../in.txt", "in.txt", "in.log", "sub/../in.txt and in.txt"},
      {"the log through another directory", "in.log", "sub/../in.txt", "sub/../in.log",
       "in.log and sub/../in.log"},
      {"OutFileName a symbolic link to the data file", "in.txt", "link.txt", "link.log", "in.txt and link.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    ScratchDir scratch;
    WriteBytes(scratch.path / "in.txt", kGoodData);
    WriteBytes(scratch.path / "in.log", kGoodData);
    fs::create_directory(scratch.path / "sub");
    fs::create_symlink("in.txt", scratch.path / "link.txt");
    const auto before = DirEntries(scratch.path);
    std::string console;
    EXPECT_EQ(RunBinary(scratch.path, {c.data, c.out}, &console), 1);
    EXPECT_EQ(console, Names(c.data, c.out, c.log) + "\n ERROR! " + c.message + " are the same file \n\n");
    EXPECT_EQ(ReadBytes(scratch.path / "in.txt"), kGoodData);
    EXPECT_EQ(ReadBytes(scratch.path / "in.log"), kGoodData);
    EXPECT_TRUE(fs::is_symlink(scratch.path / "link.txt"));
    EXPECT_EQ(DirEntries(scratch.path), before) << "nothing created";
    EXPECT_TRUE(fs::is_empty(scratch.path / "sub"));
  }
}

TEST(UncreatableOutput, MessageNamesTheFileAndEarlierFilesStay) {
  struct Case {
    const char* note;
    const char* out;
    const char* log;
    const char* failing;  // the file the message names
  } cases[] = {
      {"a missing directory fails at the log, which is created first", "nodir/out.txt", "nodir/out.log",
       "nodir/out.log"},
      {"a directory as result table target", "out.txt", "out.log", "out.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    ScratchDir scratch;
    WriteBytes(scratch.path / "data.txt", kGoodData);
    fs::create_directory(scratch.path / "out.txt");
    WriteBytes(scratch.path / "out.log", "earlier log");
    const auto before = DirEntries(scratch.path);
    std::string console;
    EXPECT_EQ(RunBinary(scratch.path, {"data.txt", c.out}, &console), 1);
    EXPECT_EQ(console, Names("data.txt", c.out, c.log) + "\n ERROR! Can't create " + c.failing + " file \n\n");
    EXPECT_EQ(ReadBytes(scratch.path / "out.log"), "earlier log");
    EXPECT_TRUE(fs::is_empty(scratch.path / "out.txt"));
    EXPECT_EQ(DirEntries(scratch.path), before) << "nothing created, no temporary left";
  }
}

TEST(WriteFailure, FileSizeLimitFailsTheTableAndKeepsEarlierFiles) {
  // One group of 2000 records: the log stays below 1 KiB, the table passes
  // the 4 KiB limit, so the table's write is the one that fails.
  std::string data;
  for (int k = 1; k <= 2000; ++k) data += "-1 " + std::to_string(k) + " " + std::to_string(k % 7) + " 1.25\n";
  ScratchDir scratch;
  WriteBytes(scratch.path / "data.txt", data);
  WriteBytes(scratch.path / "out.txt", "earlier table");
  WriteBytes(scratch.path / "out.log", "earlier log");
  std::string console;
  EXPECT_EQ(RunBinary(scratch.path, {"data.txt", "out.txt"}, &console, 4096), 1);
  EXPECT_EQ(console, Names("data.txt", "out.txt", "out.log") + "\n ERROR! Can't write out.txt file \n\n");
  EXPECT_EQ(ReadBytes(scratch.path / "out.txt"), "earlier table");
  EXPECT_EQ(ReadBytes(scratch.path / "out.log"), "earlier log");
  EXPECT_EQ(DirEntries(scratch.path), (std::vector<std::string>{"data.txt", "out.log", "out.txt"}));
}

TEST(SymbolicLink, TableLandsInTheLinkedFileAndTheLinkStays) {
  ScratchDir scratch;
  WriteBytes(scratch.path / "data.txt", kGoodData);
  WriteBytes(scratch.path / "real.txt", "earlier table");
  fs::create_symlink("real.txt", scratch.path / "out.txt");
  std::string console;
  EXPECT_EQ(RunBinary(scratch.path, {"data.txt", "out.txt"}, &console), 0);
  EXPECT_TRUE(fs::is_symlink(scratch.path / "out.txt"));
  EXPECT_EQ(fs::read_symlink(scratch.path / "out.txt"), "real.txt");
  EXPECT_EQ(ReadBytes(scratch.path / "real.txt"), ReadBytes(kGoldenDir / "failing_fit" / "result.txt"));
  EXPECT_EQ(ReadBytes(scratch.path / "out.log"), ReadBytes(kGoldenDir / "failing_fit" / "result.log"));
  EXPECT_EQ(DirEntries(scratch.path), (std::vector<std::string>{"data.txt", "out.log", "out.txt", "real.txt"}));
}

TEST(Interrupted, SigtermRemovesTemporariesAndKeepsEarlierFiles) {
  // 300000 records in 30000 units keep the run busy for a while. SIGTERM is
  // sent as soon as a temporary output file shows up, that is while the log
  // is being written; a run too fast to be caught must have completed.
  std::string data;
  data.reserve(300000 * 24);
  for (int k = 0; k < 300000; ++k) {
    data += std::to_string(k % 30000) + " " + std::to_string(k) + " " + std::to_string(k * 7 % 23) + " " +
            std::to_string(1 + k % 5) + ".5\n";
  }
  ScratchDir scratch;
  WriteBytes(scratch.path / "data.txt", data);
  WriteBytes(scratch.path / "out.txt", "earlier table");
  int fd = -1;
  const pid_t pid = StartTarnek(scratch.path, {"data.txt", "out.txt"}, &fd, 0);
  ASSERT_GT(pid, 0);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool caught = false;
  while (!(caught = HasTemporary(scratch.path)) && std::chrono::steady_clock::now() < giveUp) usleep(200);
  kill(pid, SIGTERM);  // still our unreaped child, even if it has ended
  std::string console;
  const int status = FinishTarnek(pid, fd, &console, 120);
  EXPECT_FALSE(HasTemporary(scratch.path))
      << "exit status " << status << ", left: " << ::testing::PrintToString(DirEntries(scratch.path));
  if (status == 128 + SIGTERM) {
    EXPECT_EQ(ReadBytes(scratch.path / "out.txt"), "earlier table");
    EXPECT_FALSE(fs::exists(scratch.path / "out.log"));
  } else {
    ASSERT_EQ(status, 0) << "ended by the signal or finished";
    const std::string table = ReadBytes(scratch.path / "out.txt");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 300001);
    EXPECT_EQ(table.substr(table.size() - 2), "\r\n");
  }
  if (!caught) GTEST_SKIP() << "no temporary seen before the run ended";
}

TEST(Robustness, HugeFieldsAndLinesFinishQuickly) {
  struct Case {
    const char* note;
    std::string data;
    int exitCode;
    std::string message;   // after the file-name lines
    const char* golden;    // golden case whose files the run gives, or nullptr for none
  } cases[] = {
      {"Data2 of a million digits, beyond the double range",
       std::string("-1 1 1 1").append(999999, '0').append(".\n"), 1, "\n Error!! Wrong data found (in code-1)\n", nullptr},
      {"a Unit of a million digits does not fit 32 bits", std::string("-1 7 1 1\n1").append(999999, '0').append(" 8 1 1\n"), 2,
       "\n Error!! Wrong data found (around code-7)\n", nullptr},
      {"a million blank lines hold no record", std::string(1000000, '\n'), 0, "", "empty_data"},
      {"ten megabytes of blanks before the records", std::string(10000000, ' ') + kGoodData, 0, "", "failing_fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    ScratchDir scratch;
    WriteBytes(scratch.path / "data.txt", c.data);
    std::string console;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunBinary(scratch.path, {"data.txt", "out.txt"}, &console), c.exitCode);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(console, Names("data.txt", "out.txt", "out.log") + c.message);
    if (c.golden) {
      EXPECT_EQ(ReadBytes(scratch.path / "out.txt"), ReadBytes(kGoldenDir / c.golden / "result.txt"));
      EXPECT_EQ(ReadBytes(scratch.path / "out.log"), ReadBytes(kGoldenDir / c.golden / "result.log"));
    } else {
      EXPECT_EQ(DirEntries(scratch.path), std::vector<std::string>{"data.txt"});
    }
  }
}

}  // namespace
