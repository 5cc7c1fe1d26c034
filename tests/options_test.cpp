// The command line: the option table, the file-name positions, and the
// values each long option refuses, with what its message says it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "cli/options.h"

using namespace tarnek;

TEST(OptionsTest, CommandLineTable) {
  // Each row's note says what it catches: the settings of a parse that
  // succeeds, or the status, and for a refused value what the message needs.
  // Not repeated here: how a value reads (decimal_test: text after the
  // number, signs, words, beyond the range, saturation), what
  // ValidRatioBreaks accepts (map_test), and the refusals that the
  // end-to-end table runs (a --keep of a region table column, --prior=local
  // without neighbours, a value missing at the end, two --columns names), and
  // those of the golden cases long_option_value_apart (a value as the next
  // argument, options read on after it) and option_value_missing.
  constexpr ParseStatus Ok = ParseStatus::Ok, Error = ParseStatus::OptionError, Usage = ParseStatus::Usage,
                        Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded, Missing = ParseStatus::MissingValue;
  const std::vector<std::string> names = {"unit", "code", "observed", "expected"};  // --columns' defaults
  const struct {  // the settings expected when the status is Ok
    const char* note; std::vector<std::string> args; ParseStatus status;
    bool csv = false; std::vector<std::string> columns = {"unit", "code", "observed", "expected"};
    int32_t limit = 20; double eps = 1e-5, alpha = -1, beta = -1; int32_t timing = 0; bool sync = false; int32_t threads = 0;
    size_t extra = 0;  // columns other options ask for
  } cases[] = {
      {"two names: every default", {"d", "o"}, Ok},
      {"a later option overrides", {"d", "o", "-L5", "-L10"}, Ok, false, names, 10},
      {"a value without digits reads 0", {"d", "o", "-Lfive"}, Ok, false, names, 0},
      {"a value ends at the first non-digit", {"d", "o", "-L7x"}, Ok, false, names, 7},
      {"-E, -A, -B; letter case ignored", {"d", "o", "-e0.005", "-a1.5", "-b2"}, Ok, false, names, 20, 0.005, 1.5, 2},
      {"no hex: -A0x10 reads 0.0", {"d", "o", "-A0x10"}, Ok, false, names, 20, 1e-5, 0},
      {"-t sets Timing", {"d", "o", "-t"}, Ok, false, names, 20, 1e-5, -1, -1, 1},
      {"-T matches only as the whole argument", {"d", "o", "-tx"}, Error},
      {"stops at -X: -T never reached", {"d", "o", "-E0.005", "-X", "-T"}, Error},
      {"positions one and two are never options", {"-T", "-L5"}, Ok},
      {"the third position always is", {"-T", "data.txt", "out.txt"}, Error},
      {"--help is a file name in the first two positions", {"--help", "--version"}, Ok},
      {"nor any prefix of it", {"--he"}, Usage},
      {"the next argument whatever it looks like", {"d", "o", "--columns", "--csv,b,c,d", "--csv"}, Ok, true, {"--csv", "b", "c", "d"}},
      {"a switch takes no next argument", {"d", "o", "--sync", "yes"}, Error},
      {"a long switch mixes with the letters", {"d", "o", "-L5", "--sync", "-t"}, Ok, false, names, 5, 1e-5, -1, -1, 1, true},
      {"a switch takes no value", {"d", "o", "--sync=yes"}, Bad},
      {"long names are exact: no other case", {"d", "o", "--SYNC"}, Error},
      {"no prefixes", {"d", "o", "--syn"}, Error},
      {"an unknown long option is an option error", {"d", "o", "--no-such-option=1"}, Error},
      {"--csv alone: the default column names", {"d", "o", "--csv"}, Ok, true},
      {"--columns after --csv, any letter case kept", {"d", "o", "--csv", "--columns=-,FIPS,Cases,E"}, Ok, true, {"-", "FIPS", "Cases", "E"}},
      {"--columns before --csv: order does not matter", {"d", "o", "--columns=a,b c,d,e", "--csv"}, Ok, true, {"a", "b c", "d", "e"}},
      {"--columns after --keep keeps the kept columns", {"d", "o", "--csv", "--keep=x", "--columns=a,b,c,d"}, Ok, true,
       {"a", "b", "c", "d"}, 20, 1e-5, -1, -1, 0, false, 0, 1},
      {"--columns needs --csv", {"d", "o", "--columns=a,b,c,d"}, Unneeded},
      {"an option error comes first", {"d", "o", "--columns=a,b,c,d", "-X"}, Error},
      {"five names", {"d", "o", "--csv", "--columns=a,b,c,d,e"}, Bad},
      {"an empty name", {"d", "o", "--csv", "--columns=a,,c,d"}, Bad},
      {"two names for one column, in another case", {"d", "o", "--csv", "--columns=unit,code,Code,e"}, Bad},
      {"- only for the unit", {"d", "o", "--csv", "--columns=u,-,c,d"}, Bad},
      {"threads: at least 1", {"d", "o", "--threads=0"}, Bad},
      {"an output needs a name", {"d", "o", "--plot="}, Bad},
      {"--keep needs --csv", {"d", "o", "--keep=name"}, Unneeded},
      {"--keep=all", {"d", "o", "--vector", "--keep=all"}, Ok},
      {"nor one it may add", {"d", "o", "--csv", "--keep=neighbours"}, Bad},
      {"a level is below 1", {"d", "o", "--level=1"}, Bad},
      {"a level that reads as 0", {"d", "o", "--level=1e-400"}, Bad},
      {"a threshold above 0", {"d", "o", "--exceed=0"}, Bad},
      {"the prior's words are exact", {"d", "o", "--prior=MLE"}, Bad},
      {"refused after accepted ones", {"d", "o", "--regions=r.csv", "--level=.5", "--prior=moments"}, Bad},
      {"given after the prior too", {"d", "o", "--prior=local-own-means", "--neighbours=nb.gal"}, Ok},
      {"--vector meets --columns' need of --csv", {"d", "o", "--columns=-,a,b,c", "--vector"}, Ok, false, {"-", "a", "b", "c"}},
      {"--csv after --vector reads CSV", {"d", "o", "--vector", "--csv"}, Ok, true},
      {"a map needs shapes", {"d", "o", "--map=m.svg"}, Unneeded},
      {"--vector gives them", {"d", "o", "--vector", "--map=m.svg"}, Ok},
      {"but not after --csv", {"d", "o", "--vector", "--csv", "--map=m.svg"}, Unneeded},
      {"contiguity needs shapes", {"d", "o", "--neighbours=queen"}, Unneeded},
      {"a file named queen does not", {"d", "o", "--neighbours=./queen"}, Ok},
      {"the key is the shapes'", {"d", "o", "--geometry-key=FIPS"}, Unneeded},
      {"a snap of 0", {"d", "o", "--geometry=g.shp", "--neighbours=rook", "--snap=0"}, Ok},
      {"a snap needs neighbours", {"d", "o", "--snap=0.001"}, Unneeded},
      {"no negative snap", {"d", "o", "--snap=-1e-9"}, Bad},
      {"one cut point at 1", {"d", "o", "--geometry=g.shp", "--map=m.svg", "--map-breaks=1"}, Ok},
      {"classes on both sides of 1", {"d", "o", "--map-breaks=0.5,0.8"}, Bad},
      {"no empty cut point", {"d", "o", "--map-breaks=0.5,,2"}, Bad},
      {"cut points need a map", {"d", "o", "--map-breaks=0.5,2"}, Unneeded},
      {"a layer's name is not empty", {"d", "o", "--geometry-layer="}, Bad},
  };
  for (const auto& c : cases) {
    RunSettings s;
    const ParseResult r = ParseCommandLine(c.args, s);
    ASSERT_EQ(r.Status, c.status) << c.note;
    if (c.status == Bad || c.status == Missing) {  // the last argument is refused: the message names it and its
      const std::string& arg = c.args.back();          // value (what it takes: the help text, golden case help_alone)
      const size_t equals = std::min(arg.find('='), arg.size());
      const std::string option = arg.substr(0, equals), value = equals < arg.size() ? arg.substr(equals + 1) : "";
      EXPECT_EQ(std::tuple(r.Option, r.Value), std::tuple(option, value)) << c.note;
    }
    if (c.status != Ok) continue;
    const std::vector<std::string> columns{s.Columns.Unit, s.Columns.Code, s.Columns.Observed, s.Columns.Expected};
    EXPECT_EQ(std::tie(s.DataFileName, s.OutFileName, s.Fit.IterationLimit, s.Fit.Eps, s.Fit.AlphaOption, s.Fit.BetaOption, s.Timing, s.Sync, s.Csv, columns, s.Threads),
              std::tie(c.args[0], c.args[1], c.limit, c.eps, c.alpha, c.beta, c.timing, c.sync, c.csv, c.columns, c.threads)) << c.note;
    EXPECT_EQ(s.Columns.Extra.size(), c.extra) << c.note;
  }
}

namespace {

// The column settings of a parse, as one line: the covariates, the
// population, the strata and the set of internal standardisation.
std::string ColumnSettings(const RunSettings& s) {
  std::string text;
  const auto list = [&](const char* name, const std::vector<std::string>& names) {
    text += name;
    for (const std::string& n : names) text += (&n == &names.front() ? "=" : ",") + n;
    text += ' ';
  };
  list("covariates", s.Covariates);  // each asked of the CSV reader: the golden case covariates_by_unit
  const StandardisationSettings& st = s.Standardisation;
  text += "population=" + st.Population + ' ';
  list("strata", st.Strata);
  return text + (st.Within == StandardisationSet::File ? "file" : "group");
}

}  // namespace

TEST(OptionsTest, ColumnOptions) {
  // The covariates, population, strata, set and standard: what each needs and
  // excludes, and columns that must be columns of their own, whatever the
  // order given; a refusal names the option and the value last given, or
  // the option it needs (what each takes: the help text, golden case
  // help_alone). The runs with --coefficients, --standard, --population of
  // a vector layer, and --standardise-within with --standard: golden and
  // end-to-end cases.
  constexpr ParseStatus Ok = ParseStatus::Ok, Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded;
  const struct {
    const char* note; std::vector<std::string> options; ParseStatus status;
    std::string got;  // Ok: ColumnSettings; BadValue: "OPTION=VALUE"; Unneeded: "OPTION needs OPTION"
  } cases[] = {
      {"covariates, in their case, before --csv", {"--covariates=AFF,x 2", "--csv"}, Ok,
       "covariates=AFF,x 2 population= strata group"},
      {"--columns after them keeps them", {"--covariates=x", "--csv", "--columns=-,c,o,e"}, Ok,
       "covariates=x population= strata group"},
      {"a later one overrides", {"--csv", "--covariates=a,b", "--covariates=c"}, Ok, "covariates=c population= strata group"},
      {"the unit's name is free without a unit column", {"--csv", "--covariates=unit", "--columns=-,c,o,e"}, Ok,
       "covariates=unit population= strata group"},
      {"covariates need --csv", {"--covariates=p"}, Unneeded, "--covariates needs --csv"},
      {"--coefficients needs --covariates", {"--csv", "--coefficients=c.csv"}, Unneeded, "--coefficients needs --covariates"},
      {"an empty value", {"--csv", "--covariates="}, Bad, "--covariates="},
      {"one of --columns, given after", {"--csv", "--covariates=E", "--covariates=e,z", "--columns=u,c,o,e"}, Bad,
       "--covariates=e,z"},
      {"population alone", {"--csv", "--population=POP"}, Ok, "covariates population=POP strata group"},
      {"strata, any order of options; the set by file", {"--strata=age,Sex", "--standardise-within=file", "--csv", "--population=p"},
       Ok, "covariates population=p strata=age,Sex file"},
      {"a later value overrides", {"--csv", "--population=a", "--population=b", "--strata=x", "--strata=y,z"}, Ok,
       "covariates population=b strata=y,z group"},
      {"the expected column is not read: its name is free", {"--csv", "--population=expected"}, Ok,
       "covariates population=expected strata group"},
      {"without a unit column, unit is free", {"--csv", "--columns=-,c,o,e", "--population=p", "--strata=unit"}, Ok,
       "covariates population=p strata=unit group"},
      {"rate is a stratum without a standard", {"--csv", "--population=p", "--strata=Rate"}, Ok,
       "covariates population=p strata=Rate group"},
      {"population needs csv", {"--population=p"}, Unneeded, "--population needs --csv"},
      {"strata need a population", {"--csv", "--strata=age"}, Unneeded, "--strata needs --population"},
      {"the set needs a population", {"--csv", "--standardise-within=file"}, Unneeded, "--standardise-within needs --population"},
      {"a standard needs a population", {"--csv", "--standard=s.csv"}, Unneeded, "--standard needs --population"},
      {"an empty population", {"--csv", "--population="}, Bad, "--population="},
      {"the population is no column of --columns", {"--population=CODE", "--csv"}, Bad, "--population=CODE"},
      {"nor the unit", {"--csv", "--columns=u,c,o,e", "--population=U"}, Bad, "--population=U"},
      {"a stratum twice", {"--csv", "--population=p", "--strata=age,sex,AGE"}, Bad, "--strata=age,sex,AGE"},
      {"a stratum that is the population", {"--strata=age,P", "--csv", "--population=p"}, Bad, "--strata=age,P"},
      {"a stratum that is the observed column", {"--csv", "--population=p", "--strata=observed"}, Bad, "--strata=observed"},
      {"a stratum named rate with a standard", {"--csv", "--population=p", "--strata=age,rate", "--standard=s.csv"}, Bad,
       "--strata=age,rate"},
      {"the set's words are exact", {"--csv", "--population=p", "--standardise-within=Group"}, Bad, "--standardise-within=Group"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"d", "o"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunSettings s;
    const ParseResult r = ParseCommandLine(args, s);
    ASSERT_EQ(r.Status, c.status) << c.note;
    EXPECT_EQ(c.status == Ok ? ColumnSettings(s) : c.status == Bad ? r.Option + "=" + r.Value : r.Option + " needs " + r.Accepts,
              c.got) << c.note;
  }
}

TEST(OptionsTest, GeometrySettings) {
  // The shapes' options as the run takes them, and the defaults without them.
  RunSettings s;
  ASSERT_EQ(ParseCommandLine({"d", "o"}, s).Status, ParseStatus::Ok);
  EXPECT_EQ(s.Snap, 0x1p-26);
  EXPECT_EQ(s.MapBreaks, (std::vector<double>{0.5, 0.67, 0.8, 0.9, 1.1, 1.25, 1.5, 2}));
  ASSERT_EQ(ParseCommandLine({"d", "o", "--vector", "--geometry-layer", "counties", "--neighbours=queen",
                              "--snap=1e-3", "--map=m.svg", "--map-breaks=0.8,1,1.25"},
                             s).Status,
            ParseStatus::Ok);
  EXPECT_TRUE(s.Vector);
  EXPECT_EQ(s.GeometryLayer, "counties");
  EXPECT_EQ(s.Snap, 1e-3);
  EXPECT_EQ(s.MapBreaks, (std::vector<double>{0.8, 1, 1.25}));
  EXPECT_EQ(std::string(s.InputFile("--neighbours")), "queen");
  EXPECT_EQ(std::string(s.OutputFile("--map")), "m.svg");
  ASSERT_EQ(ParseCommandLine({"d", "o", "--vector", "--geometry=g.shp", "--geometry-key=FIPS"}, s).Status, ParseStatus::Ok);
  EXPECT_EQ(s.GeometryKey, "FIPS");
  // The message of a kind that needs what the run lacks names the value.
  // --vector meets the need of queen, not that of the shapes' key field:
  // its own features are matched by their row.
  for (const auto& [args, option, need] :
       {std::tuple{std::vector<std::string>{"d", "o", "--neighbours", "rook"}, "--neighbours=rook", "--geometry"},
        std::tuple{std::vector<std::string>{"d", "o", "--vector", "--geometry-key=FIPS"}, "--geometry-key", "--geometry"}}) {
    const ParseResult r = ParseCommandLine(args, s);
    EXPECT_EQ(r.Status, ParseStatus::Unneeded) << option;
    EXPECT_EQ(std::tie(r.Option, r.Accepts), std::tie(option, need));
  }
}
