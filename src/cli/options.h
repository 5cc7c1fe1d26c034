// The command line: run settings, option parsing and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fit_settings.h"
#include "estimation/posterior.h"
#include "estimation/standardisation.h"
#include "geometry/contiguity.h"  // kDefaultSnap
#include "input/csv_reader.h"
#include "report/map.h"  // kDefaultRatioBreaks

namespace tarnek {

// Filled once from the command line, read-only afterwards.
struct RunSettings {
  std::string DataFileName;  // first argument, unchanged
  std::string OutFileName;   // second argument, unchanged
  FitSettings Fit;           // "-E", "-L", "-A", "-B"
  int32_t Timing = 0;        // "-T": 1 prints the start and end times
  bool Sync = false;         // "--sync": the outputs reach stable storage before the run ends
  bool Csv = false;          // "--csv": the data file is CSV with a header line
  bool Vector = false;       // "--vector": the data file is a vector data set, its attribute table read as CSV's
  CsvColumns Columns;        // "--columns": the header names of the CSV's four columns; the columns that
                             // other options ask for (Extra: the covariates, the kept ones; KeepUnused)
  std::vector<std::string> Keep;  // "--keep": the columns carried into the region table, as named
  bool KeepAll = false;           // "--keep=all": every column the run does not use itself
  StandardisationSettings Standardisation;  // "--population", "--strata", "--standardise-within"
  std::vector<std::string> Covariates;  // "--covariates": the names of the covariate columns, or none
  PosteriorSettings Posterior;   // "--level", "--exceed"
  std::string Prior = "mle";     // "--prior": the name of a row of kPriorMethods
  // The files of the outputs that options ask for, by option ("--regions"),
  // one per row of kOutputKinds that was given; likewise the input files
  // beyond the data file (kInputKinds).
  std::vector<std::pair<std::string_view, std::string>> OutputFiles;
  std::vector<std::pair<std::string_view, std::string>> InputFiles;
  int32_t Threads = 0;       // "--threads": threads for the estimation; 0: one per available core
  bool KeepUndefined = false;  // "--undefined=skip": rows without a defined ratio are kept, not an error
  std::string GeometryLayer;  // "--geometry-layer": the layer of the shapes' data set; empty: its first
  std::string GeometryKey;    // "--geometry-key": the field that holds the codes; empty: the code column's name
  double Snap = kDefaultSnap;  // "--snap": contiguity's snap distance, in the shapes' units
  std::vector<double> MapBreaks = kDefaultRatioBreaks;  // "--map-breaks": the map's ratio classes

  // The file given for the output or input option `option`, or "" when it
  // was not given.
  std::string_view OutputFile(std::string_view option) const { return FileOf(OutputFiles, option); }
  std::string_view InputFile(std::string_view option) const { return FileOf(InputFiles, option); }

  static std::string_view FileOf(const std::vector<std::pair<std::string_view, std::string>>& files,
                                 std::string_view option) {
    for (const auto& [name, file] : files) {
      if (name == option) return file;
    }
    return {};
  }
};

// The fourteen-line usage text, lines ending in "\n".
extern const std::string_view kUsageText;

// What --help shows after the usage text: every long option, a line each
// with what it takes and what it does, lines ending in "\n".
std::string LongOptionsText();

// What --version shows, ending in "\n".
extern const std::string_view kVersionText;

// Applies one option argument of the classic form ("-T", "-L", "-E", "-A",
// "-B") to `settings`. Returns false when the argument is none of them.
// Letter case of the option letter is ignored; values never fail to read.
bool ApplyOption(std::string_view argument, RunSettings& settings);

// A long option in either GNU form: "--name=value", or "--name value" (the
// next argument, whatever it is, is the value); "--name" alone when it takes
// no value. Its value is strict: one that does not read, or lies outside
// what the option accepts, ends the parse with a message that says what it
// accepts.
struct LongOption {
  std::string_view Name;  // with the leading "--"
  std::string Accepts;    // what the value may be, as the message says it; "no value" for a switch
  bool TakesValue;
  bool (*Apply)(std::string_view option, std::string_view value, RunSettings& settings);  // false: not accepted
  std::string_view Needs = {};  // another long option without which this one means nothing, or empty
  std::string_view Help = {};   // what it does, for --help
  std::string_view Excludes = {};  // another long option with which this one cannot be given, or empty
  // Checks the value against the other options once all are applied; false:
  // the value (the last one given) is not accepted. Null: no such check.
  bool (*Check)(const RunSettings& settings) = nullptr;
  // Whether "--vector" meets Needs where it meets that option's needs (see
  // below); false where only the option named gives this one a meaning.
  bool VectorMeetsNeed = true;
};

// Every long option: those of the settings, then one "--NAME=FILE" for each
// output that an option asks for (kOutputKinds) and for each input beyond
// the data file (kInputKinds). "--vector" meets the needs of "--csv" (its
// attribute table reads as a CSV file's columns) and of "--geometry" (its
// features are shapes).
const std::vector<LongOption>& LongOptions();

enum class ParseStatus {
  Ok,
  Usage,        // fewer than two arguments: show the usage text
  Help,         // "--help" alone: the usage text and the long options
  Version,      // "--version" alone: the version line
  OptionError,  // an argument from the third on matches no option
  BadValue,     // a long option's value is not accepted
  MissingValue,  // a long option that takes a value is the last argument and has no "="
  Unneeded,     // a long option given without the one it needs
  Excluded,     // a long option given with one it cannot go with
};

struct ParseResult {
  ParseStatus Status = ParseStatus::Ok;
  // BadValue: the option, what it accepts, and the value given ("" when none).
  // MissingValue: the option, and what it accepts.
  // Unneeded: the option, and in Accepts the option it needs; Excluded
  // likewise, with the option it cannot go with.
  std::string Option;
  std::string Accepts;
  std::string Value;
};

// Parses the arguments after the command name: the data file name, the
// output file name, then options applied in order (a later one overrides an
// earlier one). "--help" or "--version" as the only argument asks for Help
// or Version; any other single argument, or none, for the usage text. Stops at the first option that is not recognised or whose
// value is not accepted; then checks that every long option given has the
// one it needs and not the one it excludes, in the order of LongOptions(),
// that the columns --population and --strata name are columns of their own
// (a BadValue of the option that names one twice), and then the Check of
// every long option given, in that order.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings& settings);

}  // namespace tarnek
