// The command line: run settings, option parsing and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fit_settings.h"
#include "input/csv_reader.h"
#include "estimation/diagnostics.h"

namespace tarnek {

// The CSV tables of posterior summaries and fit diagnostics, and what they show.
struct TableSettings {
  std::string RegionsFileName;  // "--regions": the region table, not written when empty
  std::string GroupsFileName;   // "--groups": the group table, not written when empty
  PosteriorSettings Posterior;  // "--level", "--exceed", "--prior"
};

// Filled once from the command line, read-only afterwards.
struct RunSettings {
  std::string DataFileName;  // first argument, unchanged
  std::string OutFileName;   // second argument, unchanged
  FitSettings Fit;           // "-E", "-L", "-A", "-B"
  int32_t Timing = 0;        // "-T": 1 prints the start and end times
  bool Sync = false;         // "--sync": the outputs reach stable storage before the run ends
  bool Csv = false;          // "--csv": the data file is CSV with a header line
  CsvColumns Columns;        // "--columns": the header names of the CSV's four columns
  std::string PlotFileName;  // "--plot=FILE": the funnel plot's file, empty for none
  TableSettings Tables;
  int32_t Threads = 0;       // "--threads": threads for the estimation; 0: one per available core
};

// The fourteen-line usage text, lines ending in "\n".
extern const std::string_view kUsageText;

// Applies one option argument of the classic form ("-T", "-L", "-E", "-A",
// "-B") to `settings`. Returns false when the argument is none of them.
// Letter case of the option letter is ignored; values never fail to read.
bool ApplyOption(std::string_view argument, RunSettings& settings);

// A long option: "--name=value", or "--name" alone when it takes no value.
// Its value is strict: one that does not read, or lies outside what the
// option accepts, ends the parse with a message that says what it accepts.
struct LongOption {
  std::string_view Name;     // with the leading "--"
  std::string_view Accepts;  // what the value may be, as the message says it; "no value" for a switch
  bool TakesValue;
  bool (*Apply)(std::string_view value, RunSettings& settings);  // false: the value is not accepted
  std::string_view Needs = {};  // another long option without which this one means nothing, or empty
};

// Every long option, in the order the usage of the README lists them.
extern const std::vector<LongOption> kLongOptions;

enum class ParseStatus {
  Ok,
  Usage,        // fewer than two arguments: show the usage text
  OptionError,  // an argument from the third on matches no option
  BadValue,     // a long option's value is not accepted
  Unneeded,     // a long option given without the one it needs
};

struct ParseResult {
  ParseStatus Status = ParseStatus::Ok;
  // BadValue: the option, what it accepts, and the value given ("" when none).
  // Unneeded: the option, and in Accepts the option it needs.
  std::string Option;
  std::string Accepts;
  std::string Value;
};

// Parses the arguments after the command name: the data file name, the
// output file name, then options applied in order (a later one overrides an
// earlier one). Stops at the first option that is not recognised or whose
// value is not accepted; then checks that every long option given has the
// one it needs, in the order of kLongOptions.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings& settings);

}  // namespace tarnek
