// The list of temporary files that a fatal signal removes: any number of
// them, each removed once remembered and kept once forgotten, whatever the
// order in which they come and go.
#include <gtest/gtest.h>

#include <signal.h>    // raise, SIGTERM
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // fork, _exit

#include <cstdlib>  // mkdtemp
#include <filesystem>
#include <fstream>
#include <string>

#include "files/temp_files.h"

using namespace tarnek;
namespace fs = std::filesystem;

TEST(TempFilesTest, ASignalRemovesEveryRememberedFileAndNoForgottenOne) {
  // In a child: 40 files (a fixed list had room for 16 and dropped the rest
  // silently), every third forgotten, then more remembered into the freed
  // entries with longer names; SIGTERM must remove exactly the remembered.
  std::string pattern = (fs::temp_directory_path() / "tarnek-temp-XXXXXX").string();
  const fs::path dir = mkdtemp(pattern.data());
  const auto path = [&](std::string stem, int i) {
    stem += std::to_string(i);
    return dir / stem;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstallTempFileCleanup();
    const sigset_t previous = BlockFatalSignals();
    for (int i = 0; i < 40; ++i) {
      const std::string name = path("t", i).string();
      std::ofstream(name) << i;
      RememberTempFile(name);
      if (i % 3 == 0) ForgetTempFile(name);
    }
    for (int i = 0; i < 10; ++i) {
      const std::string name = path("a longer name than before ", i).string();
      std::ofstream(name) << i;
      RememberTempFile(name);
    }
    RestoreSignals(previous);
    raise(SIGTERM);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "the signal ends the process as it would have";
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(fs::exists(path("t", i)), i % 3 == 0) << i;
  }
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(fs::exists(path("a longer name than before ", i))) << i;
  fs::remove_all(dir);
}
