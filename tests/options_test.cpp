// The command line: the option table, the file-name positions, and the
// values each long option refuses, with what its message says it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli/options.h"

using namespace tarnek;

TEST(OptionsTest, CommandLineTable) {
  // Each row's note says what it catches: the settings of a parse that
  // succeeds, or the status, and for a refused value what the message needs.
  constexpr ParseStatus Ok = ParseStatus::Ok, Error = ParseStatus::OptionError, Usage = ParseStatus::Usage,
                        Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded;
  const struct {  // the settings expected when the status is Ok
    const char* note; std::vector<std::string> args; ParseStatus status;
    int32_t limit = 20; double eps = 1e-5, alpha = -1, beta = -1; int32_t timing = 0; bool sync = false;
    bool csv = false; std::vector<std::string> columns = {"unit", "code", "observed", "expected"}; int32_t threads = 0;
  } cases[] = {
      {"two names: every default", {"d", "o"}, Ok},
      {"a later option overrides", {"d", "o", "-L5", "-L10"}, Ok, 10},
      {"a value without digits reads 0", {"d", "o", "-Lfive"}, Ok, 0},
      {"a value ends at the first non-digit", {"d", "o", "-L7x"}, Ok, 7},
      {"-L saturates beyond 32 bits", {"d", "o", "-L99999999999"}, Ok, 2147483647},
      {"-E, -A, -B; letter case ignored", {"d", "o", "-e0.005", "-a1.5", "-b2"}, Ok, 20, 0.005, 1.5, 2},
      {"-A0 reads 0.0 (automatic)", {"d", "o", "-A0"}, Ok, 20, 1e-5, 0},
      {"no hex: -A0x10 reads 0.0", {"d", "o", "-A0x10"}, Ok, 20, 1e-5, 0},
      {"-A1e999 reads +inf", {"d", "o", "-A1e999"}, Ok, 20, 1e-5, INFINITY},
      {"-t sets Timing", {"d", "o", "-t"}, Ok, 20, 1e-5, -1, -1, 1},
      {"-T matches only as the whole argument", {"d", "o", "-tx"}, Error},
      {"stops at -X: -T never reached", {"d", "o", "-E0.005", "-X", "-T"}, Error},
      {"positions one and two are never options", {"-T", "-L5"}, Ok},
      {"the third position always is", {"-T", "data.txt", "out.txt"}, Error},
      {"no argument: usage", {}, Usage},
      {"one argument: usage", {"-L5"}, Usage},
      {"a long switch mixes with the letters", {"d", "o", "-L5", "--sync", "-t"}, Ok, 5, 1e-5, -1, -1, 1, true},
      {"a switch takes no value", {"d", "o", "--sync=yes"}, Bad},
      {"even an empty one", {"d", "o", "--sync="}, Bad},
      {"long names are exact: no other case", {"d", "o", "--SYNC"}, Error},
      {"no prefixes", {"d", "o", "--syn"}, Error},
      {"an unknown long option is an option error", {"d", "o", "--no-such-option=1"}, Error},
      {"--csv alone: the default column names", {"d", "o", "--csv"}, Ok, 20, 1e-5, -1, -1, 0, false, true},
      {"--columns after --csv, any letter case kept", {"d", "o", "--csv", "--columns=-,FIPS,Cases,E"}, Ok, 20, 1e-5, -1, -1, 0,
       false, true, {"-", "FIPS", "Cases", "E"}},
      {"--columns before --csv: order does not matter", {"d", "o", "--columns=a,b c,d,e", "--csv"}, Ok, 20, 1e-5, -1, -1, 0,
       false, true, {"a", "b c", "d", "e"}},
      {"--columns needs --csv", {"d", "o", "--columns=a,b,c,d"}, Unneeded},
      {"a later --columns overrides; still needs --csv", {"d", "o", "--columns=a,b,c,d", "--columns=e,f,g,h"}, Unneeded},
      {"an option error comes first", {"d", "o", "--columns=a,b,c,d", "-X"}, Error},
      {"three names", {"d", "o", "--csv", "--columns=a,b,c"}, Bad},
      {"five names", {"d", "o", "--csv", "--columns=a,b,c,d,e"}, Bad},
      {"an empty name", {"d", "o", "--csv", "--columns=a,,c,d"}, Bad},
      {"a trailing comma is an empty fifth name", {"d", "o", "--csv", "--columns=a,b,c,d,"}, Bad},
      {"no value", {"d", "o", "--csv", "--columns"}, Bad},
      {"two names for one column, in another case", {"d", "o", "--csv", "--columns=unit,code,Code,e"}, Bad},
      {"- only for the unit", {"d", "o", "--csv", "--columns=u,-,c,d"}, Bad},
      {"--csv is a switch", {"d", "o", "--csv=yes"}, Bad},
      {"threads: a later one overrides", {"d", "o", "--threads=3", "--threads=2"}, Ok, 20, 1e-5, -1, -1, 0, false, false,
       {"unit", "code", "observed", "expected"}, 2},
      {"threads: at least 1", {"d", "o", "--threads=0"}, Bad},
      {"threads: no sign games", {"d", "o", "--threads=-2"}, Bad},
      {"threads: nothing after the number", {"d", "o", "--threads=2x"}, Bad},
      {"threads: a value is needed", {"d", "o", "--threads"}, Bad},
      {"a table needs a name", {"d", "o", "--regions="}, Bad},
      {"even without =", {"d", "o", "--groups"}, Bad},
      {"a level is below 1", {"d", "o", "--level=1"}, Bad},
      {"and above 0", {"d", "o", "--level=0"}, Bad},
      {"nothing after the level", {"d", "o", "--level=0.95x"}, Bad},
      {"a level that reads as 0", {"d", "o", "--level=1e-400"}, Bad},
      {"a level that rounds to 1", {"d", "o", "--level=0.99999999999999999"}, Bad},
      {"a threshold above 0", {"d", "o", "--exceed=0"}, Bad},
      {"no negative threshold", {"d", "o", "--exceed=-1"}, Bad},
      {"no word for infinity", {"d", "o", "--exceed=inf"}, Bad},
      {"a finite threshold", {"d", "o", "--exceed=1e999"}, Bad},
      {"the prior's words are exact", {"d", "o", "--prior=MLE"}, Bad},
      {"and not empty", {"d", "o", "--prior="}, Bad},
      {"refused after accepted ones", {"d", "o", "--regions=r.csv", "--level=.5", "--prior=moments"}, Bad},
  };
  // What a refused option takes, as its message says it.
  const std::map<std::string, std::string> takes = {
      {"--sync", "no value"}, {"--csv", "no value"}, {"--regions", "a file name"}, {"--groups", "a file name"},
      {"--columns", "UNIT,CODE,OBSERVED,EXPECTED: four different column names (UNIT may be -)"},
      {"--level", "a decimal number above 0 and below 1"}, {"--exceed", "a decimal number above 0"},
      {"--prior", "mle or me"}, {"--threads", "a whole number of threads, 1 or more"}};
  for (const auto& c : cases) {
    RunSettings s;
    const ParseResult r = ParseCommandLine(c.args, s);
    ASSERT_EQ(r.Status, c.status) << c.note;
    if (c.status == Bad) {  // the last argument is refused: the message names it, what it takes and its value
      const std::string& arg = c.args.back();
      const size_t equals = std::min(arg.find('='), arg.size());
      const std::string option = arg.substr(0, equals), value = equals < arg.size() ? arg.substr(equals + 1) : "";
      EXPECT_EQ(std::tuple(r.Option, r.Accepts, r.Value), std::tuple(option, takes.at(option), value)) << c.note;
    }
    if (c.status != Ok) continue;
    const std::vector<std::string> columns{s.Columns.Unit, s.Columns.Code, s.Columns.Observed, s.Columns.Expected};
    EXPECT_EQ(std::tie(s.DataFileName, s.OutFileName, s.Fit.IterationLimit, s.Fit.Eps, s.Fit.AlphaOption, s.Fit.BetaOption, s.Timing, s.Sync, s.Csv, columns, s.Threads),
              std::tie(c.args[0], c.args[1], c.limit, c.eps, c.alpha, c.beta, c.timing, c.sync, c.csv, c.columns, c.threads)) << c.note;
  }
}

TEST(OptionsTest, CovariatesAndCoefficients) {
  // --covariates names real-valued columns for the CSV reader; refused
  // values are told with the value last given, also where the clash is
  // with --columns, which may come later.
  constexpr ParseStatus Ok = ParseStatus::Ok, Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded;
  const std::string takes = "NAME[,NAME...]: different column names, none of them one of --columns";
  const struct {
    const char* note;
    std::vector<std::string> options;
    ParseStatus status;
    std::vector<std::string> covariates;  // Ok: the names; Bad: the value refused; Unneeded: the option needed
    std::string option = "--covariates";
  } cases[] = {
      {"one", {"--csv", "--covariates=p"}, Ok, {"p"}},
      {"several, in their case, before --csv", {"--covariates=AFF,x 2", "--csv"}, Ok, {"AFF", "x 2"}},
      {"--columns after them keeps them", {"--covariates=x", "--csv", "--columns=-,c,o,e"}, Ok, {"x"}},
      {"a later one overrides", {"--csv", "--covariates=a,b", "--covariates=c"}, Ok, {"c"}},
      {"with --coefficients", {"--csv", "--coefficients=c.csv", "--covariates=a"}, Ok, {"a"}},
      {"needs --csv", {"--covariates=p"}, Unneeded, {"--csv"}},
      {"--coefficients needs --covariates", {"--csv", "--coefficients=c.csv"}, Unneeded, {"--covariates"}, "--coefficients"},
      {"--coefficients needs a name", {"--csv", "--covariates=a", "--coefficients="}, Bad, {""}, "--coefficients"},
      {"an empty value", {"--csv", "--covariates="}, Bad, {""}},
      {"no value", {"--csv", "--covariates"}, Bad, {""}},
      {"an empty name", {"--csv", "--covariates=a,,b"}, Bad, {"a,,b"}},
      {"a trailing comma", {"--csv", "--covariates=a,"}, Bad, {"a,"}},
      {"a name twice, in another case", {"--csv", "--covariates=p,q,P"}, Bad, {"p,q,P"}},
      {"a column of the four", {"--csv", "--covariates=x,Observed"}, Bad, {"x,Observed"}},
      {"one of --columns, given after", {"--csv", "--covariates=E", "--covariates=e,z", "--columns=u,c,o,e"}, Bad,
       {"e,z"}},
      {"the unit's name is free without a unit column", {"--csv", "--covariates=unit", "--columns=-,c,o,e"}, Ok, {"unit"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    std::vector<std::string> args = {"d", "o"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunSettings s;
    const ParseResult r = ParseCommandLine(args, s);
    ASSERT_EQ(r.Status, c.status);
    if (c.status == Bad) {
      EXPECT_EQ(std::tuple(r.Option, r.Accepts, r.Value),
                std::tuple(c.option, c.option == "--covariates" ? takes : "a file name", c.covariates[0]));
    }
    if (c.status == Unneeded) EXPECT_EQ(std::tuple(r.Option, r.Accepts), std::tuple(c.option, c.covariates[0]));
    if (c.status != Ok) continue;
    EXPECT_EQ(s.Covariates, c.covariates);
    ASSERT_EQ(s.Columns.Extra.size(), c.covariates.size());
    for (size_t j = 0; j < c.covariates.size(); ++j) {
      EXPECT_EQ(s.Columns.Extra[j].Name, c.covariates[j]);
      EXPECT_EQ(s.Columns.Extra[j].Kind, ColumnKind::Real);
    }
  }
}
