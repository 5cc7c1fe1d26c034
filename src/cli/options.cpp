// Option parsing: the option table, tested in order against each argument
// from the third on; the first test that matches decides.
#include "cli/options.h"

#include <algorithm>  // std::find_if
#include <limits>
#include <optional>

#include "cli/inputs.h"
#include "grouping/prior_methods.h"
#include "input/decimal.h"
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

namespace {

// ASCII letters compare without regard to case; other bytes as they are.
char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool HasOptionPrefix(std::string_view argument, char letter) {
  return argument.size() >= 2 && argument[0] == '-' && FoldCase(argument[1]) == letter;
}

}  // namespace

bool ApplyOption(std::string_view argument, RunSettings& settings) {
  if (argument.size() == 2 && HasOptionPrefix(argument, 'T')) {
    settings.Timing = 1;
  } else if (HasOptionPrefix(argument, 'L')) {
    settings.Fit.IterationLimit = ReadIntegerValue(argument.substr(2));
  } else if (HasOptionPrefix(argument, 'E')) {
    settings.Fit.Eps = ReadRealValue(argument.substr(2));
  } else if (HasOptionPrefix(argument, 'A')) {
    settings.Fit.AlphaOption = ReadRealValue(argument.substr(2));
  } else if (HasOptionPrefix(argument, 'B')) {
    settings.Fit.BetaOption = ReadRealValue(argument.substr(2));
  } else {
    return false;
  }
  return true;
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
  settings.Columns.Unit = names[0];
  settings.Columns.Code = names[1];
  settings.Columns.Observed = names[2];
  settings.Columns.Expected = names[3];
  return true;
}

// "NAME[,NAME...]": non-empty names, no two the same without regard to case;
// each becomes a column of real numbers that the CSV reader reads.
bool ApplyCovariates(std::string_view value, RunSettings& settings) {
  std::vector<std::string> names;
  for (size_t start = 0;;) {
    const size_t comma = value.find(',', start);
    names.emplace_back(value.substr(start, comma - start));
    if (names.back().empty()) return false;
    for (size_t j = 0; j + 1 < names.size(); ++j) {
      if (SameColumnName(names.back(), names[j])) return false;
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  settings.Covariates = names;
  settings.Columns.Extra.clear();
  for (const std::string& name : names) settings.Columns.Extra.push_back({name, ColumnKind::Real});
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
       }},
      {"--csv", "no value", false,
       [](std::string_view, std::string_view, RunSettings& s) {
         s.Csv = true;
         return true;
       }},
      {"--columns", "UNIT,CODE,OBSERVED,EXPECTED: four different column names (UNIT may be -)", true,
       [](std::string_view, std::string_view value, RunSettings& s) { return ApplyColumns(value, s); }, "--csv"},
      {"--covariates", "NAME[,NAME...]: different column names, none of them one of --columns", true,
       [](std::string_view, std::string_view value, RunSettings& s) { return ApplyCovariates(value, s); }, "--csv",
       CovariatesApartFromColumns},
      {"--level", "a decimal number above 0 and below 1", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         return SetReal(value, 0.0, 1.0, s.Posterior.Level);
       }},
      {"--exceed", "a decimal number above 0", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         return SetReal(value, 0.0, std::numeric_limits<double>::infinity(), s.Posterior.Exceed);
       }},
      {"--prior", PriorMethodNames(), true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         if (FindPriorMethod(value) == nullptr) return false;
         s.Prior = value;
         return true;
       }},
      {"--threads", "a whole number of threads, 1 or more", true,
       [](std::string_view, std::string_view value, RunSettings& s) {
         const std::optional<int32_t> threads = ReadWholeInteger(value);
         if (!threads || *threads < 1) return false;
         s.Threads = *threads;
         return true;
       }},
  };
  for (const OutputKind& output : kOutputKinds) {
    if (!output.Option.empty()) options.push_back({output.Option, "a file name", true, SetOutputFile, output.Requires});
  }
  for (const InputKind& input : kInputKinds) options.push_back({input.Option, "a file name", true, SetInputFile});
  return options;
}

}  // namespace

const std::vector<LongOption>& LongOptions() {
  static const std::vector<LongOption> options = MakeLongOptions();
  return options;
}

namespace {

// Applies a long option and notes it in `given`. Returns false when none has
// the argument's name; sets `result` to BadValue when its value is not accepted.
// An option given, and the value it was given last.
struct Given {
  std::string_view Name;
  std::string_view Value;
};

bool ApplyLongOption(std::string_view argument, RunSettings& settings, ParseResult& result, std::vector<Given>& given) {
  const size_t equals = argument.find('=');
  const std::string_view name = argument.substr(0, equals);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view value = hasValue ? argument.substr(equals + 1) : std::string_view();
  for (const LongOption& option : LongOptions()) {
    if (option.Name != name) continue;
    given.push_back({option.Name, value});
    if (hasValue != option.TakesValue || !option.Apply(option.Name, value, settings)) {
      result.Status = ParseStatus::BadValue;
      result.Option = option.Name;
      result.Accepts = option.Accepts;
      result.Value = value;
    }
    return true;
  }
  return false;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& arguments, RunSettings& settings) {
  ParseResult result;
  if (arguments.size() < 2) {
    result.Status = ParseStatus::Usage;
    return result;
  }
  settings = RunSettings{};
  std::vector<Given> given;
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (ApplyOption(argument, settings)) continue;
    if (!argument.starts_with("--") || !ApplyLongOption(argument, settings, result, given)) {
      result.Status = ParseStatus::OptionError;
    }
    if (result.Status != ParseStatus::Ok) return result;
  }
  // The last time an option was given, or nullptr.
  const auto lastGiven = [&](std::string_view name) -> const Given* {
    const auto last = std::find_if(given.rbegin(), given.rend(), [&](const Given& g) { return g.Name == name; });
    return last == given.rend() ? nullptr : &*last;
  };
  for (const LongOption& option : LongOptions()) {
    if (!option.Needs.empty() && lastGiven(option.Name) && !lastGiven(option.Needs)) {
      result.Status = ParseStatus::Unneeded;
      result.Option = option.Name;
      result.Accepts = option.Needs;
      return result;
    }
  }
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
