// The command line (option table, file-name positions, the values each long
// option refuses) and the input under it: decimal scanning and what the data
// reader does beyond the end-to-end cases (block-wise reads, the text-mode rules).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/options.h"
#include "input/data_reader.h"
#include "input/decimal.h"

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

// One case per way through the scanners. `used` is the count of characters
// consumed, 0 when there is no number; an integer fits when strtod agrees.
TEST(DecimalTest, ScanTable) {
  const struct { bool real; std::string text; double value; long used; } cases[] = {
      {false, "1ex", 1, 1},                        // an integer ends at the e
      {false, "2147483647", 2147483647, 10},       // the largest int32 fits
      {false, "2147483648", 2147483647, 10},       // one more saturates
      {false, "-2147483648", -2147483648.0, 11},   // the smallest fits
      {false, "-2147483649", -2147483648.0, 11},   // one less saturates
      {false, std::string(400, '9'), 2147483647, 400},  // a long digit string is consumed whole
      {false, "-", 0, 0},                          // a sign alone is no number
      {true, "1ex", 1, 2},                         // a dangling exponent is consumed
      {true, "1e+x", 1, 3},                        // with its sign
      {true, ".5", 0.5, 2},                        // no integer digits
      {true, "1.", 1, 2},                          // no fraction digits
      {true, "-", 0, 0},
      {true, ".", 0, 0},
      {true, "0x10", 0, 1},                        // no hex
      {true, "inf", 0, 0},                         // no words
      {true, "1e999", INFINITY, 5},                // beyond the range: infinity
      {true, "1e-999", 0, 6},                      // below it: zero
      {true, "9007199254740993", 9007199254740992.0, 16},  // 2^53 + 1: the tie goes to even
      {true, "2.4703282292062328e-324", 4.9406564584124654e-324, 23},  // just above half the least subnormal
      {true, "0." + std::string(400, '3'), 1.0 / 3, 402},  // correctly rounded from many digits
  };
  for (const auto& c : cases) {
    const char *p = c.text.data(), *last = p + c.text.size();
    const ScannedReal r = ScanReal(p, last);
    const ScannedInteger i = ScanInteger(p, last);
    const auto [has, value, end, fits] = c.real ? std::tuple(r.HasDigits, r.Value, r.End, true) : std::tuple(i.HasDigits, double(i.Value), i.End, i.Fits);
    EXPECT_EQ(std::tuple(has, value, has ? end - p : 0, fits),
              std::tuple(c.used > 0, c.value, c.used, c.real || std::strtod(c.text.c_str(), nullptr) == c.value)) << c.text;
  }
}

// Long options' values: the whole text is one plain decimal, or nothing.
TEST(DecimalTest, WholeValues) {
  const struct { std::string text; std::optional<double> real; std::optional<int32_t> integer; } cases[] = {
      {"0.95", 0.95, std::nullopt},
      {"+2", 2, 2},
      {"-7", -7, -7},
      {"1e-3", 0.001, std::nullopt},
      {".5", 0.5, std::nullopt},
      {"2147483647", 2147483647.0, 2147483647},
      {"2147483648", 2147483648.0, std::nullopt},  // beyond 32 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadWholeReal(c.text), c.real) << c.text;
    EXPECT_EQ(ReadWholeInteger(c.text), c.integer) << c.text;
  }
  // Read as neither: nothing; blanks around; text after it; a dangling
  // exponent, with or without its sign; hex; words; beyond the double range.
  for (const std::string text : {"", " 1", "1 ", "1x", "1e", "1e+", "0x10", "inf", "nan", "1e999"})
    EXPECT_FALSE(ReadWholeReal(text) || ReadWholeInteger(text)) << text;
}

TEST(DataReaderTest, BlockwiseReadEqualsWholeText) {
  // Reading in tiny blocks cuts records, numbers, CR LF pairs anywhere: the
  // result must be that of the whole text, for every golden data file and a
  // few texts whose fields run long.
  std::vector<std::string> texts{"-1 1 1 1\r\n-1 2 " + std::string(300, '0') + "3 4.5e+1\r\n\x1A junk",
                                 "-1 1 1 1e", " \t\v\f-1 1 1 1.\n1 2 3 " + std::string(200, ' ') + "x"};
  for (const auto& e : std::filesystem::recursive_directory_iterator(TARNEK_SOURCE_DIR "/tests/golden")) {
    if (e.path().filename() == "data.txt" && e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  ASSERT_GT(texts.size(), 40u);
  for (const std::string& text : texts) {
    std::string whole = text;
    ApplyTextMode(whole);
    RecordTable expected;
    const ReadResult want = ParseRecords(whole, expected);
    for (size_t blockSize : {1, 2, 3, 7, 64}) {
      std::FILE* file = std::tmpfile();
      ASSERT_NE(file, nullptr);
      std::fwrite(text.data(), 1, text.size(), file);
      std::rewind(file);
      RecordTable got;
      const ReadResult result = ReadDataStream(file, got, blockSize);
      std::fclose(file);
      EXPECT_EQ(std::tuple(result.Status, result.ErrorCode, got.Unit, got.Code, got.Data1, got.Data2),
                std::tuple(want.Status, want.ErrorCode, expected.Unit, expected.Code, expected.Data1, expected.Data2))
          << "block size " << blockSize << ", text: " << text.substr(0, 60);
    }
  }
}

TEST(DataReaderTest, EveryCarriageReturnIsWhiteSpaceWhereverABlockEnds) {
  // The same four records with LF, CR LF, CR alone and more at the line ends,
  // or CRs for the blanks, read alike: whole, and from a stream a block of
  // every size at a time, so that every CR and CR LF pair falls on a block
  // boundary once. CRs used to be dropped: lines ending in CR alone ran their
  // numbers together ("2\r1 2" read as 21 2).
  const RecordTable want{{1, 1, -1, 1}, {1, 2, 3, 4}, {5, 3, 0, 7}, {2.0, 4.5, 1e-3, 3.0}, {}, {}, {}};
  const std::string lf = "1 1 5 2\n1 2 3 4.5\n-1 3 0 1e-3\n1 4 7 3.\n";
  std::vector<std::string> texts;
  for (const std::string end : {"\n", "\r\n", "\r", "\r\r\n", "\n\r"}) {
    std::string text;
    for (const char c : lf) text += c == '\n' ? end : std::string(1, c);
    texts.push_back(text);
  }
  texts.push_back("1\r1\r5\r2\r1\r2\r3\r4.5\r-1\r3\r0\r1e-3\r1\r4\r7\r3.");  // no blank, no line feed
  texts.push_back("1 1 5 2\r1 2 3 4.5\r-1 3 0 1e-3\r1 4 7 3.\r\x1A\r9 9");  // nothing after a Ctrl-Z
  const auto same = [&](const ReadResult& result, const RecordTable& got) {
    return result.Status == ReadStatus::Ok && got.Unit == want.Unit && got.Code == want.Code && got.Data1 == want.Data1 &&
           got.Data2 == want.Data2;
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    std::string whole = text;
    ApplyTextMode(whole);
    RecordTable table;
    EXPECT_TRUE(same(ParseRecords(whole, table), table));
    for (size_t blockSize = 1; blockSize <= text.size(); ++blockSize) {
      std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
      ASSERT_NE(file, nullptr);
      RecordTable got;
      const ReadResult result = ReadDataStream(file, got, blockSize);
      std::fclose(file);
      EXPECT_TRUE(same(result, got)) << "block size " << blockSize;
    }
  }
  // A CR ends a number wherever it stands, even after a dangling exponent.
  RecordTable table;
  EXPECT_EQ(ParseRecords("-1 1 5 2.5e\r-1 2 1 1", table).Status, ReadStatus::Ok);
  EXPECT_EQ(table.Data2, (std::vector<double>{2.5, 1.0}));
  // Text mode ends the data at the first Ctrl-Z and keeps every other byte.
  for (auto [in, out, ended] : {std::tuple<std::string, std::string, bool>{"a\r\nb\r", "a\r\nb\r", false},
                                {"ab\x1A" "cd\r\x1A", "ab", true}}) {
    EXPECT_EQ(ApplyTextMode(in), ended);
    EXPECT_EQ(in, out);
  }
}
