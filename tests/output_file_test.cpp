// Output files beyond the end-to-end runs: an output named through a
// descriptor of this process is written through it, in place; which files
// outputs may share.
#include <gtest/gtest.h>

#include <fcntl.h>     // open
#include <sys/stat.h>  // mkfifo
#include <unistd.h>    // close, write

#include <cstdlib>  // mkdtemp
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "files/output_file.h"

using namespace tarnek;
namespace fs = std::filesystem;

TEST(OutputFileTest, ADescriptorOfThisProcessIsWrittenThroughInPlace) {
  // Every name of descriptor N: the output follows what was written through
  // it before, the file keeps what it held, nothing is made beside it. A
  // descriptor open for reading only, or a closed one, cannot be an output.
  std::string pattern = (fs::temp_directory_path() / "tarnek-output-XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  const fs::path kept = dir / "kept.txt";
  for (const char* spelling : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
    SCOPED_TRACE(spelling);
    std::ofstream(kept) << "held\n";
    const int fd = open(kept.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "before\n", 7), 7);
    OutputFile file;
    EXPECT_FALSE(TakesOutputsInTurn(spelling + std::to_string(fd))) << "two opens of a file: no sharing";
    ASSERT_EQ(CreateOutput(file, spelling + std::to_string(fd)), OutputStatus::Ok);
    WriteOutput(file, "table\r\n");
    OutputFile* files[] = {&file};
    EXPECT_EQ(FinishOutputs(files, 1, true), nullptr);
    EXPECT_EQ(CommitOutputs(files, 1), nullptr);
    EXPECT_EQ(SyncDirectories(files, 1), nullptr);
    ASSERT_EQ(write(fd, "after\n", 6), 6) << "the descriptor itself stays open";
    close(fd);
    std::ostringstream text;
    text << std::ifstream(kept).rdbuf();
    EXPECT_EQ(text.str(), "held\nbefore\ntable\r\nafter\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
  const int reading = open(kept.c_str(), O_RDONLY);
  OutputFile file;
  EXPECT_EQ(CreateOutput(file, "/dev/fd/" + std::to_string(reading)), OutputStatus::CannotCreate);
  close(reading);
  EXPECT_EQ(CreateOutput(file, "/dev/fd/" + std::to_string(reading)), OutputStatus::CannotCreate);
  // Outputs may share a character device or a FIFO, which takes them in
  // turn; never a file, whatever its name.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_TRUE(TakesOutputsInTurn("/dev/null"));
  EXPECT_TRUE(TakesOutputsInTurn((dir / "fifo").string()));
  for (const fs::path& path : {kept, dir, dir / "missing.txt"}) EXPECT_FALSE(TakesOutputsInTurn(path.string())) << path;
  fs::remove_all(dir);
}
