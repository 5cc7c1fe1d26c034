// tarnek: Empirical Bayes smoothed ratios under the Poisson-Gamma model.
#include <csignal>  // std::signal, SIGPIPE
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>   // open, fcntl
#include <unistd.h>  // STDIN_FILENO, STDERR_FILENO

#include "cli/run.h"
#include "core/large_blocks.h"

namespace {

// Gives each of descriptors 0, 1 and 2 that is closed to /dev/null, read
// only (or, where there is none, to the root directory), so that no file
// the run opens takes its number and receives console text. No write
// reaches either: the console's lines are lost as they were, and an output
// named through that descriptor (/dev/stdout) cannot be created, rather
// than vanish.
void OccupyStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // open returns the lowest free descriptor: this one.
    if (open("/dev/null", O_RDONLY) < 0) open("/", O_RDONLY | O_DIRECTORY);
  }
}

}  // namespace

int main(int argc, char** argv) {
  OccupyStandardDescriptors();
  tarnek::SetUpMemory();
  // The console is a report: a reader that has gone makes its writes fail
  // (and be ignored) instead of ending the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int code = tarnek::RunTarnek(arguments, stdout);
  std::fflush(stdout);
  return code;
}
