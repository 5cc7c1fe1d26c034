// Option parsing: the option table, tested in order against each argument
// from the third on; the first test that matches decides.
#include "cli/options.h"

#include <algorithm>  // std::find, std::find_if
#include <cmath>      // std::isfinite
#include <iterator>   // std::begin, std::end
#include <limits>
#include <optional>
#include <unordered_set>

#include "cli/inputs.h"
#include "grouping/prior_methods.h"
#include "input/decimal.h"
#include "report/added_columns.h"  // IsRegionTableColumn
#include "report/outputs.h"

namespace tarnek {

const std::string_view kUsageText =
    "Usage:\n"
    "   tarnek DataFileName OutFileName\n"
    "Options:\n"
    "   -Affff   Initial value for Alpha (a parametor of Gamma distribution)\n"
    "             (default ffff=moment estimator: auto)\n"
    "   -Bffff   Initial value for Beta (a parametor of Gamma distribution)\n"
    "             (default ffff=moment estimator: auto)\n"
    "   -Effff   Desired error tolerance for Newton-Raphson method\n"
    "             (default ffff=0.00001)\n"
    "   -Lnn     Limit of itelations for Newton-Raphson method\n"
    "             (default nn=20)\n"
    "Examples:\n"
    "   tarnek sample.txt output.txt                (recommend)\n"
    "   tarnek sample.txt output.txt -A12.3 -B13.0 -E0.005 -L10\n";

const std::string_view kVersionText = "tarnek 1.1\n";

namespace {

// ASCII letters compare without regard to case; other bytes as they are.
char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool HasOptionPrefix(std::string_view argument, char letter) {
  return argument.size() >= 2 && argument[0] == '-' && FoldCase(argument[1]) == letter;
}

// The classic options that take a real number, and the setting of each.
struct RealOption {
  char Letter;
  double FitSettings::*Value;
};
constexpr RealOption kRealOptions[] = {
    {'E', &FitSettings::Eps}, {'A', &FitSettings::AlphaOption}, {'B', &FitSettings::BetaOption}};

}  // namespace

bool ApplyOption(std::string_view argument, RunSettings& settings) {
  if (argument.size() == 2 && HasOptionPrefix(argument, 'T')) {
    settings.Timing = 1;
    return true;
  }
  if (HasOptionPrefix(argument, 'L')) {
    settings.Fit.IterationLimit = ReadIntegerValue(argument.substr(2));
    return true;
  }
  for (const RealOption& option : kRealOptions) {
    if (HasOptionPrefix(argument, option.Letter)) {
      settings.Fit.*option.Value = ReadRealValue(argument.substr(2));
      return true;
    }
  }
  return false;
}

namespace {

// "UNIT,CODE,OBSERVED,EXPECTED": four non-empty names, no two the same
// without regard to case (they would name one column twice); UNIT may be
// "-" for none, the others may not.
bool ApplyColumns(std::string_view value, RunSettings& settings) {
  std::vector<std::string> names;
  for (size_t start = 0;;) {
    const size_t comma = value.find(',', start);
    names.emplace_back(value.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (names.size() != 4) return false;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty() || (i > 0 && names[i] == kNoUnitColumn)) return false;
    for (size_t j = 0; j < i; ++j) {
      if (SameColumnName(names[i], names[j])) return false;
    }
  }
  // The columns that other options ask for stay as they are.
  settings.Columns.Unit = names[0];
  settings.Columns.Code = names[1];
  settings.Columns.Observed = names[2];
  settings.Columns.Expected = names[3];
  return true;
}

// "NAME[,NAME...]": names that are not empty and no two the same without
// regard to case; nothing when the value is not such a list.
std::optional<std::vector<std::string>> ColumnNames(std::string_view value) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (size_t start = 0;;) {
    const size_t comma = value.find(',', start);
    names.emplace_back(value.substr(start, comma - start));
    if (names.back().empty() || !seen.insert(FoldedColumnName(names.back())).second) return std::nullopt;
    if (comma == std::string_view::npos) return names;
    start = comma + 1;
  }
}

// "NAME[,NAME...]" (ColumnNames): each becomes a column of real numbers that
// the CSV reader reads. None may be a term of the coefficient table that is
// no covariate, "shape" or "(intercept)" (in any case): two of its rows
// would have one term.
bool ApplyCovariates(std::string_view value, RunSettings& settings) {
  const auto names = ColumnNames(value);
  if (!names) return false;
  for (const std::string& name : *names) {
    if (SameColumnName(name, "shape") || SameColumnName(name, "(intercept)")) return false;
  }
  // A later --covariates replaces the columns an earlier one asked for.
  std::erase_if(settings.Columns.Extra, [&](const ColumnRequest& request) {
    return request.Kind == ColumnKind::Real &&
           std::find(settings.Covariates.begin(), settings.Covariates.end(), request.Name) != settings.Covariates.end();
  });
  settings.Covariates = *names;
  for (const std::string& name : *names) settings.Columns.Extra.push_back({name, ColumnKind::Real});
  return true;
}

// No covariate is one of the four columns that --columns names: one header
// field cannot be read twice.
bool CovariatesApartFromColumns(const RunSettings& settings) {
  const CsvColumns& c = settings.Columns;
  for (const std::string& name : settings.Covariates) {
    for (const std::string* column : {&c.Unit, &c.Code, &c.Observed, &c.Expected}) {
      if (SameColumnName(name, *column)) return false;
    }
  }
  return true;
}

// "--keep=NAME[,NAME...]" or "--keep=all": the columns are read as text, as
// they stand in the file. A later --keep replaces an earlier one.
bool ApplyKeep(std::string_view value, RunSettings& settings) {
  std::erase_if(settings.Columns.Extra, [&](const ColumnRequest& request) {
    return request.Kind == ColumnKind::Text &&
           std::find(settings.Keep.begin(), settings.Keep.end(), request.Name) != settings.Keep.end();
  });
  settings.Keep.clear();
  settings.KeepAll = value == "all";
  settings.Columns.KeepUnused = settings.KeepAll;
  // Columns named as the region table's are not carried: they are ignored,
  // and a row may leave them out at its end.
  settings.Columns.LeftUnread = settings.KeepAll ? IsRegionTableColumn : nullptr;
  if (settings.KeepAll) return true;
  const std::optional<std::vector<std::string>> names = ColumnNames(value);
  if (!names) return false;
  settings.Keep = *names;
  for (const std::string& name : *names) settings.Columns.Extra.push_back({name, ColumnKind::Text});
  return true;
}

// No kept column bears a name of the region table's columns: the table
// would name two columns alike.
bool KeepApartFromRegionColumns(const RunSettings& settings) {
  return std::none_of(settings.Keep.begin(), settings.Keep.end(), IsRegionTableColumn);
}

constexpr std::string_view kPopulationAccepts = "a column name, not the unit, code or observed column";
constexpr std::string_view kStrataAccepts =
    "NAME[,NAME...]: different column names, none the unit, code, observed or population column (nor rate with "
    "--standard)";

// A file name for the output or input of `option`: any text but the empty
// one; a later one for the same option replaces an earlier one.
bool SetFile(std::vector<std::pair<std::string_view, std::string>>& files, std::string_view option,
             std::string_view value) {
  if (value.empty()) return false;
  for (auto& [name, file] : files) {
    if (name == option) {
      file = value;
      return true;
    }
  }
  files.emplace_back(option, std::string(value));
  return true;
}

bool SetOutputFile(std::string_view option, std::string_view value, RunSettings& settings) {
  return SetFile(settings.OutputFiles, option, value);
}

bool SetInputFile(std::string_view option, std::string_view value, RunSettings& settings) {
  return SetFile(settings.InputFiles, option, value);
}

// A decimal number strictly between `low` and `high`.
bool SetReal(std::string_view value, double low, double high, double& setting) {
  const std::optional<double> read = ReadWholeReal(value);
  if (!read || !(*read > low && *read < high)) return false;
  setting = *read;
  return true;
}

std::vector<LongOption> MakeLongOptions() {
  std::vector<LongOption> options = {
      {"--sync", "no value", false,
       [](std::string_view, std::string_view, RunSettings& s) {
         s.Sync = true;
         return true;
       },
       {}, "write the outputs to stable storage before the run ends"},
      {"--csv", "no value", false,
       [](std::string_view, std::string_view, RunSettings& s) {
         s.Csv = true;
         s.Vector = false;
         return true;
       },
       {}, "the data file is CSV with a header line"},
      {"--vector", "no value", false,
       [](std::string_view, std::string_view, RunSettings& s) {
         s.Vector = true;
         s.Csv = false;
         return true;
       },
       {}, "the data file is a vector data set that GDAL reads: its attribute table, its features the shapes"},
      {"--columns", "UNIT,CODE,OBSERVED,EXPECTED: four different column names (UNIT may be -)", true,
       [](std::string_view, std::string_view value, RunSettings& s) { return ApplyColumns(value, s); }, "--csv",
       "the header names of the CSV's four columns (unit,code,observed,expected)"},
      {"--keep", "NAME[,NAME...]: different column names, none a column of the region table, or all", true,
       [](std::string_view, std::string_view value, RunSettings& s) { return ApplyKeep(value, s); }, "--csv",
       "columns carried into the region table after code, as text, or all that the run does not use", {},
       KeepApartFromRegionColumns},
      {"--covariates", "NAME[,NAME...]: different column names, none of them one of --columns, shape or (intercept)", true,
       [](std::string_view, std::string_view value, RunSettings& s) { return ApplyCovariates(value, s); }, "--csv",
       "the covariate columns of the regression prior (mle) and the coefficient table", {},
       CovariatesApartFromColumns},
      {"--population", std::string(kPopulationAccepts), true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         if (value.empty()) return false;
         s.Standardisation.Population = value;
         return true;
       },
       "--csv", "the population column: expected counts by indirect standardisation"},
      {"--strata", std::string(kStrataAccepts), true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         const std::optional<std::vector<std::string>> names = ColumnNames(value);
         if (!names) return false;
         s.Standardisation.Strata = *names;
         return true;
       },
       "--population", "the stratum columns of long-form data, one row per region and stratum"},
      {"--standardise-within", "group or file", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         if (value != "group" && value != "file") return false;
         s.Standardisation.Within = value == "group" ? StandardisationSet::Group : StandardisationSet::File;
         return true;
       },
       "--population", "the rows whose stratum rates give the expected counts (group)", "--standard"},
      {"--level", "a decimal number above 0 and below 1", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         return SetReal(value, 0.0, 1.0, s.Posterior.Level);
       },
       {}, "the credible level of the posterior intervals (0.95)"},
      {"--exceed", "a decimal number above 0", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         return SetReal(value, 0.0, std::numeric_limits<double>::infinity(), s.Posterior.Exceed);
       },
       {}, "the ratio whose exceedance probability p_exceed gives (1)"},
      {"--prior", PriorMethodNames(), true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         if (FindPriorMethod(value) == nullptr) return false;
         s.Prior = value;
         return true;
       },
       {}, "the prior of the posterior columns and the plot (mle)"},
      {"--undefined", "skip or error", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         if (value != "skip" && value != "error") return false;
         s.KeepUndefined = value == "skip";
         return true;
       },
       {}, "rows without a defined ratio (a count or expected count empty or NA, an expected count of 0): "
           "skip keeps them in every output, out of every estimate (error)"},
      {"--threads", "a whole number of threads from 1 to 2147483647", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         const std::optional<int32_t> threads = ReadWholeInteger(value);
         if (!threads || *threads < 1) return false;
         s.Threads = *threads;
         return true;
       },
       {}, "threads to estimate and write on (one per core)"},
      {"--geometry-layer", "a layer's name", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         s.GeometryLayer = value;
         return !value.empty();
       },
       "--geometry", "the layer of the shapes' data set (its first)"},
      {"--geometry-key", "a field's name", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         s.GeometryKey = value;
         return !value.empty();
       },
       "--geometry", "the shapes' field that holds the codes (the code column's name)", {}, nullptr,
       false},  // --vector data's features are matched by their row
      {"--snap", "a decimal number, 0 or above", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         const std::optional<double> snap = ReadWholeReal(value);
         if (!snap || !(*snap >= 0.0)) return false;
         s.Snap = *snap;
         return true;
       },
       "--neighbours", "queen and rook: the distance within which vertices are one point, in the shapes' units (2^-26)"},
      {"--map-breaks", "B1,B2,...: 1 to 10 increasing numbers above 0, 1 to 5 classes wholly below 1 and 1 to 5 above", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         std::vector<double> breaks;
         for (size_t start = 0;;) {
           const size_t comma = value.find(',', start);
           const std::optional<double> cut = ReadWholeReal(value.substr(start, comma - start));
           if (!cut) return false;
           breaks.push_back(*cut);
           if (comma == std::string_view::npos) break;
           start = comma + 1;
         }
         if (!ValidRatioBreaks(breaks)) return false;
         s.MapBreaks = std::move(breaks);
         return true;
       },
       "--map", "the cut points of the map's ratio classes (0.5,0.67,0.8,0.9,1.1,1.25,1.5,2)"},
  };
  for (const OutputKind& output : kOutputKinds) {
    if (!output.Option.empty()) {
      options.push_back({output.Option, "a file name", true, SetOutputFile, output.NeedsOption, output.Help});
    }
  }
  for (const InputKind& input : kInputKinds) {
    options.push_back({input.Option, "a file name", true, SetInputFile, input.Needs, input.Help});
  }
  return options;
}

}  // namespace

const std::vector<LongOption>& LongOptions() {
  static const std::vector<LongOption> options = MakeLongOptions();
  return options;
}

namespace {

// An option given, and the value it was given last.
struct Given {
  std::string_view Name;
  std::string_view Value;
};

// Applies the long option at arguments[i] and notes it in `given`; one that
// takes a value and has no "=" takes the next argument, and `i` moves past it.
// Returns false when no option has the argument's name; sets `result` to
// BadValue when its value is not accepted, MissingValue when it takes one and
// no argument follows.
bool ApplyLongOption(const std::vector<std::string>& arguments, size_t& i, RunSettings& settings, ParseResult& result,
                     std::vector<Given>& given) {
  const std::string_view argument = arguments[i];
  const size_t equals = argument.find('=');
  const std::string_view name = argument.substr(0, equals);
  for (const LongOption& option : LongOptions()) {
    if (option.Name != name) continue;
    bool hasValue = equals != std::string_view::npos;
    std::string_view value = hasValue ? argument.substr(equals + 1) : std::string_view();
    if (!hasValue && option.TakesValue && i + 1 < arguments.size()) {
      value = arguments[++i];
      hasValue = true;
    }
    given.push_back({option.Name, value});
    if (!hasValue && option.TakesValue) {
      result.Status = ParseStatus::MissingValue;
      result.Option = option.Name;
      result.Accepts = option.Accepts;
    } else if (hasValue != option.TakesValue || !option.Apply(option.Name, value, settings)) {
      result.Status = ParseStatus::BadValue;
      result.Option = option.Name;
      result.Accepts = option.Accepts;
      result.Value = value;
    }
    return true;
  }
  return false;
}

// The population and the strata must be columns of their own: none the same
// as a column that --columns names and the run reads (the expected column
// is not read), nor as another of them; with --standard no stratum may be
// the standard's rate column. Sets `result` to the BadValue of the option
// that names a column a second time.
bool ColumnNamesClash(const RunSettings& settings, ParseResult& result) {
  const StandardisationSettings& standardisation = settings.Standardisation;
  if (!standardisation.Active()) return false;
  std::vector<std::string_view> taken = {settings.Columns.Code, settings.Columns.Observed};
  if (settings.Columns.Unit != kNoUnitColumn) taken.push_back(settings.Columns.Unit);
  const auto clashes = [&](std::string_view name) {
    return std::any_of(taken.begin(), taken.end(), [&](std::string_view t) { return SameColumnName(name, t); });
  };
  const auto refuse = [&](std::string_view option, std::string_view accepts, std::string value) {
    result.Status = ParseStatus::BadValue;
    result.Option = option;
    result.Accepts = accepts;
    result.Value = std::move(value);
    return true;
  };
  if (clashes(standardisation.Population)) return refuse("--population", kPopulationAccepts, standardisation.Population);
  taken.push_back(standardisation.Population);
  if (!settings.InputFile("--standard").empty()) taken.push_back(kRateColumn);
  std::string strata;
  for (const std::string& name : standardisation.Strata) strata += (strata.empty() ? "" : ",") + name;
  for (const std::string& name : standardisation.Strata) {
    if (clashes(name)) return refuse("--strata", kStrataAccepts, strata);
  }
  return false;
}

// "--vector" meets the needs of "--csv" (its attribute table reads as a CSV
// file's columns) and of "--geometry" (its features are shapes).
constexpr std::string_view kVectorMeets[] = {"--csv", "--geometry"};

bool VectorMeets(std::string_view need) {
  return std::find(std::begin(kVectorMeets), std::end(kVectorMeets), need) != std::end(kVectorMeets);
}

}  // namespace

std::string LongOptionsText() {
  std::string text = "Long options, after the two file names (--name=VALUE or --name VALUE):\n";
  for (const LongOption& option : LongOptions()) {
    std::string line = "   " + std::string(option.Name) + (option.TakesValue ? "=VALUE" : "");
    line.resize(std::max<size_t>(line.size() + 2, 24), ' ');
    line += option.Help;
    if (option.TakesValue) line += (option.Help.empty() ? "" : "; takes ") + option.Accepts;
    if (!option.Needs.empty()) {
      line += "; needs " + std::string(option.Needs) + (option.VectorMeetsNeed && VectorMeets(option.Needs) ? " or --vector" : "");
    }
    if (!option.Excludes.empty()) line += "; not with " + std::string(option.Excludes);
    text += line + "\n";
  }
  return text;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings& settings) {
  ParseResult result;
  if (arguments.size() < 2) {
    const bool alone = arguments.size() == 1;
    result.Status = alone && arguments[0] == "--help"      ? ParseStatus::Help
                    : alone && arguments[0] == "--version" ? ParseStatus::Version
                                                           : ParseStatus::Usage;
    return result;
  }
  settings = RunSettings{};
  std::vector<Given> given;
  std::string_view lastReal[std::size(kRealOptions)];  // the text of each one's last value
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (ApplyOption(argument, settings)) {
      for (size_t k = 0; k < std::size(kRealOptions); ++k) {
        if (HasOptionPrefix(argument, kRealOptions[k].Letter)) lastReal[k] = std::string_view(argument).substr(2);
      }
      continue;
    }
    if (!argument.starts_with("--") || !ApplyLongOption(arguments, i, settings, result, given)) {
      result.Status = ParseStatus::OptionError;
    }
    if (result.Status != ParseStatus::Ok) return result;
  }
  // A tolerance beyond the range of a double would stand in the log as an
  // infinity, and a start above it would begin no fit at all; a start below
  // it is 0 or less, the moment estimate's, as any other. Every value short
  // of that is taken as it reads.
  for (size_t k = 0; k < std::size(kRealOptions); ++k) {
    const double value = settings.Fit.*kRealOptions[k].Value;
    if (!std::isfinite(value) && (kRealOptions[k].Letter == 'E' || value > 0)) {
      result.Status = ParseStatus::BadValue;
      result.Option = std::string{'-', kRealOptions[k].Letter};
      result.Accepts = "a number within the range of a double";
      result.Value = std::string(lastReal[k]);
      return result;
    }
  }
  // The last time an option was given, or nullptr.
  const auto lastGiven = [&](std::string_view name) -> const Given* {
    const auto last = std::find_if(given.rbegin(), given.rend(), [&](const Given& g) { return g.Name == name; });
    return last == given.rend() ? nullptr : &*last;
  };
  const auto wasGiven = [&](std::string_view name) { return lastGiven(name) != nullptr; };
  const auto met = [&](std::string_view need, bool byVector) {
    return wasGiven(need) || (byVector && settings.Vector && VectorMeets(need));
  };
  for (const LongOption& option : LongOptions()) {
    if (!option.Needs.empty() && wasGiven(option.Name) && !met(option.Needs, option.VectorMeetsNeed)) {
      result.Status = ParseStatus::Unneeded;
      result.Option = option.Name;
      result.Accepts = option.Needs;
      return result;
    }
    if (!option.Excludes.empty() && wasGiven(option.Name) && wasGiven(option.Excludes)) {
      result.Status = ParseStatus::Excluded;
      result.Option = option.Name;
      result.Accepts = option.Excludes;
      return result;
    }
  }
  if (FindPriorMethod(settings.Prior)->NeedsNeighbours && !wasGiven("--neighbours")) {
    result.Status = ParseStatus::Unneeded;
    result.Option = "--prior=" + settings.Prior;
    result.Accepts = "--neighbours";
    return result;
  }
  for (const InputKind& input : kInputKinds) {
    const std::string_view value = settings.InputFile(input.Option);
    if (!input.KindsNeed.empty() && IsInputKind(input, value) && !met(input.KindsNeed, true)) {
      result.Status = ParseStatus::Unneeded;
      result.Option = std::string(input.Option) + "=" + std::string(value);
      result.Accepts = input.KindsNeed;
      return result;
    }
  }
  // The snap distance is one of contiguity, which a neighbour file has not.
  const std::string_view neighbours = settings.InputFile("--neighbours");
  if (wasGiven("--snap") && neighbours != "queen" && neighbours != "rook") {
    result.Status = ParseStatus::Unneeded;
    result.Option = "--snap";
    result.Accepts = "--neighbours=queen or rook";
    return result;
  }
  if (ColumnNamesClash(settings, result)) return result;
  for (const LongOption& option : LongOptions()) {
    const Given* last = lastGiven(option.Name);
    if (option.Check != nullptr && last != nullptr && !option.Check(settings)) {
      result.Status = ParseStatus::BadValue;
      result.Option = option.Name;
      result.Accepts = option.Accepts;
      result.Value = last->Value;
      return result;
    }
  }
  settings.DataFileName = arguments[0];
  settings.OutFileName = arguments[1];
  return result;
}

}  // namespace tarnek
