// Option parsing: the option table, tested in order against each argument
// from the third on; the first test that matches decides.
#include "cli/options.h"

#include <optional>

#include "input/decimal.h"

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

const std::vector<LongOption> kLongOptions = {
    {"--sync", "no value", false,
     [](std::string_view, RunSettings& s) {
       s.Sync = true;
       return true;
     }},
    {"--threads", "a whole number of threads, 1 or more", true,
     [](std::string_view value, RunSettings& s) {
       const std::optional<int32_t> threads = ReadWholeInteger(value);
       if (!threads || *threads < 1) return false;
       s.Threads = *threads;
       return true;
     }},
};

namespace {

// Applies a long option. Returns false when none has the argument's name;
// sets `result` to BadValue when its value is not accepted.
bool ApplyLongOption(std::string_view argument, RunSettings& settings, ParseResult& result) {
  const size_t equals = argument.find('=');
  const std::string_view name = argument.substr(0, equals);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view value = hasValue ? argument.substr(equals + 1) : std::string_view();
  for (const LongOption& option : kLongOptions) {
    if (option.Name != name) continue;
    if (hasValue != option.TakesValue || !option.Apply(value, settings)) {
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
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (ApplyOption(argument, settings)) continue;
    if (!argument.starts_with("--") || !ApplyLongOption(argument, settings, result)) {
      result.Status = ParseStatus::OptionError;
    }
    if (result.Status != ParseStatus::Ok) return result;
  }
  settings.DataFileName = arguments[0];
  settings.OutFileName = arguments[1];
  return result;
}

}  // namespace tarnek
