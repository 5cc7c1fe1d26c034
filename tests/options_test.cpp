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
                        Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded, Help = ParseStatus::Help,
                        Version = ParseStatus::Version;
  const struct {  // the settings expected when the status is Ok
    const char* note; std::vector<std::string> args; ParseStatus status;
    int32_t limit = 20; double eps = 1e-5, alpha = -1, beta = -1; int32_t timing = 0; bool sync = false;
    bool csv = false; std::vector<std::string> columns = {"unit", "code", "observed", "expected"}; int32_t threads = 0;
    size_t extra = 0;  // columns other options ask for
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
      {"--help alone", {"--help"}, Help},
      {"--version alone", {"--version"}, Version},
      {"--help is a file name in the first two positions", {"--help", "--version"}, Ok},
      {"nor any prefix of it", {"--he"}, Usage},
      {"the value as the next argument", {"d", "o", "--threads", "3", "-L5"}, Ok, 5, 1e-5, -1, -1, 0, false, false,
       {"unit", "code", "observed", "expected"}, 3},
      {"the next argument whatever it looks like", {"d", "o", "--columns", "--csv,b,c,d", "--csv"}, Ok, 20, 1e-5, -1, -1,
       0, false, true, {"--csv", "b", "c", "d"}},
      {"a switch takes no next argument", {"d", "o", "--sync", "yes"}, Error},
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
      {"--columns after --keep keeps the kept columns", {"d", "o", "--csv", "--keep=x", "--columns=a,b,c,d"}, Ok, 20, 1e-5,
       -1, -1, 0, false, true, {"a", "b", "c", "d"}, 0, 1},
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
      {"a local prior needs neighbours", {"d", "o", "--prior=local"}, Unneeded},
      {"given after the prior too", {"d", "o", "--prior=local-own-means", "--neighbours=nb.gal"}, Ok},
      {"--vector meets --columns' need of --csv", {"d", "o", "--columns=-,a,b,c", "--vector"}, Ok, 20, 1e-5, -1, -1, 0,
       false, false, {"-", "a", "b", "c"}},
      {"--csv after --vector reads CSV", {"d", "o", "--vector", "--csv"}, Ok, 20, 1e-5, -1, -1, 0, false, true},
      {"a map needs shapes", {"d", "o", "--map=m.svg"}, Unneeded},
      {"--vector gives them", {"d", "o", "--vector", "--map=m.svg"}, Ok},
      {"but not after --csv", {"d", "o", "--vector", "--csv", "--map=m.svg"}, Unneeded},
      {"contiguity needs shapes", {"d", "o", "--neighbours=queen"}, Unneeded},
      {"a file named queen does not", {"d", "o", "--neighbours=./queen"}, Ok},
      {"the key is the shapes'", {"d", "o", "--geometry-key=FIPS"}, Unneeded},
      {"a snap of 0", {"d", "o", "--geometry=g.shp", "--neighbours=rook", "--snap=0"}, Ok},
      {"a snap needs neighbours", {"d", "o", "--snap=0.001"}, Unneeded},
      {"no negative snap", {"d", "o", "--snap=-1e-9"}, Bad},
      {"no infinite snap", {"d", "o", "--snap=1e999"}, Bad},
      {"one cut point at 1", {"d", "o", "--geometry=g.shp", "--map=m.svg", "--map-breaks=1"}, Ok},
      {"classes on both sides of 1", {"d", "o", "--map-breaks=0.5,0.8"}, Bad},
      {"increasing cut points", {"d", "o", "--map-breaks=2,1,0.5"}, Bad},
      {"no empty cut point", {"d", "o", "--map-breaks=0.5,,2"}, Bad},
      {"cut points need a map", {"d", "o", "--map-breaks=0.5,2"}, Unneeded},
      {"a layer's name is not empty", {"d", "o", "--geometry-layer="}, Bad},
  };
  // What a refused option takes, as its message says it.
  const std::map<std::string, std::string> takes = {
      {"--sync", "no value"}, {"--csv", "no value"}, {"--regions", "a file name"}, {"--groups", "a file name"},
      {"--columns", "UNIT,CODE,OBSERVED,EXPECTED: four different column names (UNIT may be -)"},
      {"--level", "a decimal number above 0 and below 1"}, {"--exceed", "a decimal number above 0"},
      {"--prior", "mle, me, marshall, local or local-own-means"}, {"--threads", "a whole number of threads, 1 or more"},
      {"--snap", "a decimal number, 0 or above"}, {"--geometry-layer", "a layer's name"},
      {"--map-breaks", "B1,B2,...: 1 to 10 increasing numbers above 0, 1 to 5 classes wholly below 1 and 1 to 5 above"}};
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
    EXPECT_EQ(s.Columns.Extra.size(), c.extra) << c.note;
  }
}

TEST(OptionsTest, StandardisationOptions) {
  // The population, strata, set and standard: what each needs and excludes,
  // and columns that must be columns of their own, whatever the order given.
  // For a refusal: the option named, what it takes (or the option it needs
  // or cannot go with) and the value.
  const std::string population = "a column name, not the unit, code or observed column";
  const std::string strata = "NAME[,NAME...]: different column names, none the unit, code, observed or population "
                             "column (nor rate with --standard)";
  const std::vector<std::string> none;
  const struct {
    const char* note; std::vector<std::string> options; ParseStatus status;
    std::string option = "", accepts = "", value = "";  // a refusal
    std::string pop = "", within = "group"; std::vector<std::string> strata = {};  // Ok
  } cases[] = {
      {"population alone", {"--csv", "--population=POP"}, ParseStatus::Ok, "", "", "", "POP"},
      {"strata, any order of options; the set by file", {"--strata=age,Sex", "--standardise-within=file", "--csv", "--population=p"},
       ParseStatus::Ok, "", "", "", "p", "file", {"age", "Sex"}},
      {"a later value overrides", {"--csv", "--population=a", "--population=b", "--strata=x", "--strata=y,z"}, ParseStatus::Ok,
       "", "", "", "b", "group", {"y", "z"}},
      {"the expected column is not read: its name is free", {"--csv", "--population=expected"}, ParseStatus::Ok, "", "", "",
       "expected"},
      {"without a unit column, unit is free", {"--csv", "--columns=-,c,o,e", "--population=p", "--strata=unit"},
       ParseStatus::Ok, "", "", "", "p", "group", {"unit"}},
      {"rate is a stratum without a standard", {"--csv", "--population=p", "--strata=Rate"}, ParseStatus::Ok, "", "", "",
       "p", "group", {"Rate"}},
      {"a standard", {"--csv", "--population=p", "--strata=a", "--standard=s.csv"}, ParseStatus::Ok, "", "", "", "p",
       "group", {"a"}},
      {"population needs csv", {"--population=p"}, ParseStatus::Unneeded, "--population", "--csv"},
      {"strata need a population", {"--csv", "--strata=age"}, ParseStatus::Unneeded, "--strata", "--population"},
      {"the set needs a population", {"--csv", "--standardise-within=file"}, ParseStatus::Unneeded, "--standardise-within",
       "--population"},
      {"a standard needs a population", {"--csv", "--standard=s.csv"}, ParseStatus::Unneeded, "--standard", "--population"},
      {"the set is for internal standardisation alone",
       {"--csv", "--population=p", "--standard=s.csv", "--standardise-within=group"}, ParseStatus::Excluded,
       "--standardise-within", "--standard"},
      {"an empty population", {"--csv", "--population="}, ParseStatus::BadValue, "--population", population, ""},
      {"the population is no column of --columns", {"--population=CODE", "--csv"}, ParseStatus::BadValue, "--population",
       population, "CODE"},
      {"nor the unit", {"--csv", "--columns=u,c,o,e", "--population=U"}, ParseStatus::BadValue, "--population", population, "U"},
      {"an empty stratum name", {"--csv", "--population=p", "--strata=age,"}, ParseStatus::BadValue, "--strata", strata, "age,"},
      {"a stratum twice", {"--csv", "--population=p", "--strata=age,sex,AGE"}, ParseStatus::BadValue, "--strata", strata,
       "age,sex,AGE"},
      {"a stratum that is the population", {"--strata=age,P", "--csv", "--population=p"}, ParseStatus::BadValue, "--strata",
       strata, "age,P"},
      {"a stratum that is the observed column", {"--csv", "--population=p", "--strata=observed"}, ParseStatus::BadValue,
       "--strata", strata, "observed"},
      {"a stratum named rate with a standard", {"--csv", "--population=p", "--strata=age,rate", "--standard=s.csv"},
       ParseStatus::BadValue, "--strata", strata, "age,rate"},
      {"the set's words are exact", {"--csv", "--population=p", "--standardise-within=Group"}, ParseStatus::BadValue,
       "--standardise-within", "group or file", "Group"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"d", "o"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    RunSettings s;
    const ParseResult r = ParseCommandLine(args, s);
    ASSERT_EQ(r.Status, c.status) << c.note;
    if (c.status != ParseStatus::Ok) {
      EXPECT_EQ(std::tie(r.Option, r.Accepts, r.Value), std::tie(c.option, c.accepts, c.value)) << c.note;
      continue;
    }
    const StandardisationSettings& got = s.Standardisation;
    EXPECT_EQ(std::tuple(got.Population, got.Within == StandardisationSet::File ? "file" : "group", got.Strata),
              std::tuple(c.pop, c.within, c.strata)) << c.note;
  }
}

TEST(OptionsTest, GeometrySettings) {
  // The shapes' options as the run takes them, and the defaults without them.
  RunSettings s;
  ASSERT_EQ(ParseCommandLine({"d", "o"}, s).Status, ParseStatus::Ok);
  EXPECT_EQ(s.Snap, 0x1p-26);
  EXPECT_EQ(s.MapBreaks, (std::vector<double>{0.5, 0.67, 0.8, 0.9, 1.1, 1.25, 1.5, 2}));
  ASSERT_EQ(ParseCommandLine({"d", "o", "--vector", "--geometry-layer", "counties", "--geometry-key=FIPS",
                              "--neighbours=queen", "--snap=1e-3", "--map=m.svg", "--map-breaks=0.8,1,1.25"},
                             s).Status,
            ParseStatus::Ok);
  EXPECT_TRUE(s.Vector);
  EXPECT_EQ(std::tie(s.GeometryLayer, s.GeometryKey), std::tie("counties", "FIPS"));
  EXPECT_EQ(s.Snap, 1e-3);
  EXPECT_EQ(s.MapBreaks, (std::vector<double>{0.8, 1, 1.25}));
  EXPECT_EQ(std::string(s.InputFile("--neighbours")), "queen");
  EXPECT_EQ(std::string(s.OutputFile("--map")), "m.svg");
  // The message of a kind that needs what the run lacks names the value.
  const ParseResult r = ParseCommandLine({"d", "o", "--neighbours", "rook"}, s);
  EXPECT_EQ(std::tie(r.Option, r.Accepts), std::tie("--neighbours=rook", "--geometry"));
}

TEST(OptionsTest, CovariatesAndCoefficients) {
  // --covariates names real-valued columns for the CSV reader; refused
  // values are told with the value last given, also where the clash is
  // with --columns, which may come later.
  constexpr ParseStatus Ok = ParseStatus::Ok, Bad = ParseStatus::BadValue, Unneeded = ParseStatus::Unneeded;
  const std::string takes = "NAME[,NAME...]: different column names, none of them one of --columns, shape or (intercept)";
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
    if (c.status == Unneeded) {
      EXPECT_EQ(std::tuple(r.Option, r.Accepts), std::tuple(c.option, c.covariates[0]));
    }
    if (c.status != Ok) continue;
    EXPECT_EQ(s.Covariates, c.covariates);
    ASSERT_EQ(s.Columns.Extra.size(), c.covariates.size());
    for (size_t j = 0; j < c.covariates.size(); ++j) {
      EXPECT_EQ(s.Columns.Extra[j].Name, c.covariates[j]);
      EXPECT_EQ(s.Columns.Extra[j].Kind, ColumnKind::Real);
    }
  }
}
