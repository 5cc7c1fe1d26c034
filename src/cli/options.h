// The command line: run settings, option parsing, banner and usage text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnek {

// Filled once from the command line, read-only afterwards.
struct RunSettings {
  std::string DataFileName;     // first argument, unchanged
  std::string OutFileName;      // second argument, unchanged
  double Eps = 0.00001;         // "-E": Newton-Raphson error tolerance
  int32_t IterationLimit = 20;  // "-L": limit of Newton-Raphson steps
  double AlphaOption = -1.0;    // "-A": starting Alpha when > 0, else the moment estimate
  double BetaOption = -1.0;     // "-B": starting Beta when > 0, else the moment estimate
  int32_t Timing = 0;           // "-T": 1 prints the start and end times
};

// The banner's three lines (title, notice, empty line), each ending in "\n".
inline constexpr std::string_view kBannerTitle = "EB estimator for Poisson-Gamma model [Version 1.1]";
inline constexpr std::string_view kBannerNotice =
    "Empirical Bayes smoothing of small-area ratios by moments and maximum likelihood";

// The fourteen-line usage text, lines ending in "\n".
extern const std::string_view kUsageText;

// Applies one option argument to `settings`. Returns false when the argument
// matches no option. Letter case of the option letter is ignored; values
// never fail to read.
bool ApplyOption(std::string_view argument, RunSettings& settings);

enum class ParseStatus {
  Ok,
  Usage,        // fewer than two arguments: show the usage text
  OptionError,  // an argument from the third on matches no option
};

// Parses the arguments after the command name: the data file name, the
// output file name, then options applied in order (a later one overrides an
// earlier one). Stops at the first unrecognised option.
ParseStatus ParseCommandLine(const std::vector<std::string>& arguments, RunSettings& settings);

}  // namespace tarnek
