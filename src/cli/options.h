// The command line: run settings, option parsing and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fit_settings.h"

namespace tarnek {

// Filled once from the command line, read-only afterwards.
struct RunSettings {
  std::string DataFileName;  // first argument, unchanged
  std::string OutFileName;   // second argument, unchanged
  FitSettings Fit;           // "-E", "-L", "-A", "-B"
  int32_t Timing = 0;        // "-T": 1 prints the start and end times
};

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
