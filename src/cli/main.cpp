// tarnek: Empirical Bayes smoothed ratios under the Poisson-Gamma model.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/run.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int code = tarnek::RunTarnek(arguments, stdout);
  std::fflush(stdout);
  return code;
}
