// The CSV reader: what each kind of file reads as, where each error is
// named, the order of units, and the block-wise read against the whole text.
// The errors that the end-to-end refusals show through a run (a column
// missing or named twice, no header, a count that is no number or negative,
// an expected count of 0, too few fields or one too many) are not repeated.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "input/csv_reader.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

const std::string kHeader = "unit,code,observed,expected\n";

using testdata::Texts;

struct Case {
  const char* note;  // the fault the case catches
  std::string text;
  CsvColumns columns;
  CsvStatus status;
  uint64_t line = 0;
  std::string column;
  // When the status is Ok: what the table holds.
  std::vector<int32_t> unit = {};
  std::vector<std::string> unitText = {};
  std::vector<std::string> codeText = {};
  std::vector<int32_t> data1 = {};
  std::vector<double> data2 = {};
};

const CsvColumns kDefault;
const CsvColumns kNoUnit{"-", "code", "observed", "expected"};
constexpr CsvStatus Ok = CsvStatus::Ok, Range = CsvStatus::OutOfRange, NotAValue = CsvStatus::NotAValue,
                    Missing = CsvStatus::MissingColumn;

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"a quoted comma and a doubled quote are kept inside the field", kHeader + "1,\"a,\"\"b\"\"\",3,1.5\n", kDefault, Ok, 0, "",
       {0}, {"1"}, {"a,\"b\""}, {3}, {1.5}},
      {"a byte order mark and CR LF line ends are not part of any field",
       "\xEF\xBB\xBFunit,code,observed,expected\r\n1,01001,3,1.5\r\n2,x,4,2\r\n", kDefault, Ok, 0, "",
       {0, 1}, {"1", "2"}, {"01001", "x"}, {3, 4}, {1.5, 2}},
      {"extra columns are ignored, named ones found in any order and any letter case",
       "Name,EXPECTED,Code,x,Observed,UNIT\n\"Smith, J\",2.5,7,,4,9\n", kDefault, Ok, 0, "",
       {0}, {"9"}, {"7"}, {4}, {2.5}},
      {"blanks around fields and blank lines are no data", " unit , code,observed,expected\n\n  \n 1 , a ,2, 3 \n\r\n",
       kDefault, Ok, 0, "", {0}, {"1"}, {"a"}, {2}, {3}},
      {"the last row needs no line end", kHeader + "1,a,2,3", kDefault, Ok, 0, "", {0}, {"1"}, {"a"}, {2}, {3}},
      {"a header alone is an empty table", kHeader, kDefault, Ok, 0, ""},
      {"integer units in numeric order, any length; equal values by bytes",
       kHeader + "10,a,0,1\n9,a,0,1\n-2,a,0,1\n+3,a,0,1\n01001,a,0,1\n1001,a,0,1\n18446744073709551616,a,0,1\n-0,a,0,1\n"
                 "0,a,0,1\n007,a,0,1\n-18446744073709551617,a,0,1\n9,b,0,1\n",
       kDefault, Ok, 0, "", {7, 6, 1, 4, 8, 9, 10, 2, 3, 5, 0, 6},
       {"-18446744073709551617", "-2", "-0", "0", "+3", "007", "9", "10", "01001", "1001", "18446744073709551616"},
       {"a", "a", "a", "a", "a", "a", "a", "a", "a", "a", "a", "b"}, std::vector<int32_t>(12, 0), std::vector<double>(12, 1)},
      {"one text unit puts all in byte order", kHeader + "10,a,0,1\n9,a,0,1\nb,a,0,1\nB,a,0,1\n\xC3\xA9,a,0,1\na,a,0,1\n",
       kDefault, Ok, 0, "", {0, 1, 4, 2, 5, 3}, {"10", "9", "B", "a", "b", "\xC3\xA9"},
       std::vector<std::string>(6, "a"), std::vector<int32_t>(6, 0), std::vector<double>(6, 1)},
      {"-1 is an ordinary unit", kHeader + "-1,a,0,1\n", kDefault, Ok, 0, "", {0}, {"-1"}, {"a"}, {0}, {1}},
      {"numbers in the plain forms", kHeader + "1,a,+7,.5\n1,b,-0,5.\n1,c,2147483647,1e-3\n", kDefault, Ok, 0, "",
       {0, 0, 0}, {"1"}, {"a", "b", "c"}, {7, 0, 2147483647}, {0.5, 5, 0.001}},

      {"the first missing one is named", "observed,expected\n", kDefault, Missing, 1, "unit"},
      {"its name as --columns gave it", "x\n", {"-", "FIPS", "cases", "E"}, Missing, 1, "FIPS"},
      {"other columns may repeat", "x,X,unit,code,observed,expected,x\n1,2,3,4,5,6,7\n", kDefault, Ok, 0, "",
       {0}, {"3"}, {"4"}, {5}, {6}},
      {"but not where every column is kept: the first of the two is named", "code,observed,expected,,x,,X\n",
       {"-", "code", "observed", "expected", {}, true}, CsvStatus::RepeatedColumn, 1, "x"},
      {"blank lines alone: no header either", "\n \r\n", kNoUnit, Missing, 1, "code"},
      {"the header's line after blank lines", "\n\nunit,code\n", kDefault, Missing, 3, "observed"},

      {"an empty code", kHeader + "1,,1,1\n", kDefault, NotAValue, 2, "code"},
      {"an empty unit, even quoted", kHeader + "\"\",a,1,1\n", kDefault, NotAValue, 2, "unit"},
      {"a whole real in observed", kHeader + "1,a,3.0,1\n", kDefault, NotAValue, 2, "observed"},
      // The whole field is one plain decimal (no words, no hex: decimal_test's
      // WholeValues, of the function that reads every number of a row).
      {"a dangling exponent", kHeader + "1,a,3,1e\n", kDefault, NotAValue, 2, "expected"},
      {"blanks inside quotes are part of the field", kHeader + "1,a,\" 3\",1\n", kDefault, NotAValue, 2, "observed"},
      {"a count beyond 32 bits", kHeader + "1,a,2147483648,1\n", kDefault, Range, 2, "observed"},
      {"expected beyond the double range", kHeader + "1,a,1,1e999\n", kDefault, Range, 2, "expected"},
      {"trailing ignored columns may be left out", "unit,code,observed,expected,name\n1,a,1,1\n", kDefault, Ok, 0, "",
       {0}, {"1"}, {"a"}, {1}, {1}},
      {"a tab in a code", kHeader + "1,\"a\tb\",1,1\n", kDefault, NotAValue, 2, "code"},
      {"a line break in a unit", kHeader + "\"a\nb\",c,1,1\n", kDefault, NotAValue, 2, "unit"},
      {"a quote inside an unquoted field", kHeader + "1,a\"b,1,1\n", kDefault, NotAValue, 2, "code"},
      {"text after a closing quote", kHeader + "1,\"a\"b,1,1\n", kDefault, NotAValue, 2, "code"},
      {"a quote never closed", kHeader + "1,a,1,1\n1,\"b,1,1\n", kDefault, NotAValue, 3, "code"},
      {"broken quoting in an ignored column", "x,unit,code,observed,expected\n\"a\"b,1,a,1,1\n", kDefault, NotAValue, 2,
       "column 1"},
      {"the first bad field from the left decides", kHeader + "x,a,-1,abc\n", kDefault, Range, 2, "observed"},
      {"line ends inside a quoted field count",
       "name,unit,code,observed,expected\n\"two\nlines\",1,a,1,1\n\"three\r\nlines\r\",1,a,1,1\nx,1,a,x,1\n", kDefault,
       NotAValue, 7, "observed"},
      {"CR LF counts once, blank lines count", "unit,code,observed,expected\r\n\r\n1,a,1,1\r\n\r\n1,b,-1,1\r\n", kDefault,
       Range, 5, "observed"},
      {"a row is named by the line it begins on", "name,unit,code,observed,expected\n\"a\nb\",1,a,x,1\n", kDefault,
       NotAValue, 2, "observed"},
      {"a part of a byte order mark is data", "\xEF\xBB", kDefault, Missing, 1, "unit"},
      {"even before a header", "\xEF\xBBunit,code,observed,expected\n", kDefault, Missing, 1, "unit"},
      {"a mark after the start is part of a field", "\xEF\xBB\xBF\xEF\xBB\xBFunit,code,observed,expected\n", kDefault,
       Missing, 1, "unit"},
  };
  return cases;
}

void ExpectCase(const Case& c, const CsvReadResult& result, const RecordTable& table, const std::string& how) {
  EXPECT_EQ(std::tie(result.Status, result.Line, result.Column), std::tie(c.status, c.line, c.column)) << c.note << how;
  if (c.status != CsvStatus::Ok) return;
  EXPECT_EQ(std::tuple(table.Unit, Texts(table.UnitText), Texts(table.CodeText), table.Data1, table.Data2),
            std::tuple(c.unit, c.unitText, c.codeText, c.data1, c.data2)) << c.note << how;
  EXPECT_TRUE(table.Code.empty()) << c.note << how;
}

}  // namespace

TEST(CsvReaderTest, WholeTextAndBlockwiseRead) {
  // Each case as one text, then read in tiny blocks that cut the byte order
  // mark, quoted fields and CR LF pairs anywhere: the same table or error.
  for (const Case& c : Cases()) {
    RecordTable table;
    ExpectCase(c, ParseCsv(c.text, c.columns, table), table, "");
    for (size_t blockSize : {1, 2, 3, 5, 64}) {
      std::FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "rb");
      ASSERT_NE(file, nullptr);
      RecordTable blockwise;
      const CsvReadResult result = ReadCsvStream(file, c.columns, blockwise, blockSize);
      std::fclose(file);
      ExpectCase(c, result, blockwise, ", block size " + std::to_string(blockSize));
    }
  }
}

TEST(CsvReaderTest, DirectoryCannotBeOpened) {
  // A missing file is an end-to-end case; a directory is no file to read either.
  RecordTable table;
  EXPECT_EQ(ReadCsvFile(::testing::TempDir(), kDefault, table).Status, CsvStatus::CannotOpen);
}

TEST(CsvReaderTest, NamedColumnsAskedForAndColumnsWithoutAName) {
  // Columns beyond the four, found by name in any letter case and read as
  // asked: reals, reals of 0 or more, identifiers, any text (a quoted line
  // break in a text field moves the lines of later errors on). A missing or
  // unreadable one is named by its line and name, as the four are: the
  // end-to-end refusals of covariates and of a population or standard show
  // each such error, standard_reader_test those of the rates.
  CsvColumns columns;
  columns.Extra = {{"AFF", ColumnKind::Real}, {"pop", ColumnKind::NonNegativeReal},
                   {"stratum", ColumnKind::Identifier}, {"name", ColumnKind::Text}};
  const std::string header = "unit,code,observed,expected,aff,Pop,STRATUM,name\n";
  RecordTable table;
  ASSERT_EQ(ParseCsv(header + "1,a,3,1.5,-0.25,0,m,\"Ayr,\nArran\"\n1,b,4,2,1e3,12.5,f,\n", columns, table).Status, Ok);
  ASSERT_EQ(table.Columns.size(), 4u);
  EXPECT_EQ(table.Column("AFF")->Reals, (std::vector<double>{-0.25, 1000}));
  EXPECT_EQ(table.Column("pop")->Reals, (std::vector<double>{0, 12.5}));
  EXPECT_EQ(Texts(table.Column("stratum")->Texts), (std::vector<std::string>{"m", "f"}));
  EXPECT_EQ(Texts(table.Column("name")->Texts), (std::vector<std::string>{"Ayr,\nArran", ""}));
  EXPECT_EQ(table.Column("aff"), nullptr) << "found in the table by the name asked for";

  // A run that computes the expected counts reads no expected column, and a
  // file of rates none of code, observed and expected: their header names
  // are empty. The file need not have them, and a column of that header
  // name is ignored. Each row's line is kept when asked: blank lines and a
  // quoted line break count, and a row is named by the line it begins on.
  CsvColumns noExpected;
  noExpected.Expected = "";
  noExpected.Extra = {{"pop", ColumnKind::NonNegativeReal}};
  noExpected.KeepLines = true;
  RecordTable counts;
  ASSERT_EQ(ParseCsv("name,unit,code,observed,pop,expected\n\"a\nb\",1,x,3,10,\n\n2,2,y,4,0,zz\n", noExpected, counts).Status,
            Ok);
  EXPECT_EQ(std::tuple(Texts(counts.CodeText), counts.Data1, counts.Data2, counts.Column("pop")->Reals, counts.Lines),
            std::tuple(std::vector<std::string>{"x", "y"}, std::vector<int32_t>{3, 4}, std::vector<double>{},
                       std::vector<double>{10, 0}, std::vector<uint64_t>{2, 5}));
  CsvColumns ratesOnly{"-", "", "", "", {{"age", ColumnKind::Identifier}, {"rate", ColumnKind::NonNegativeReal}}};
  ratesOnly.KeepLines = true;
  RecordTable rates;
  ASSERT_EQ(ParseCsv(",age,,rate\n,1,,0.5\n", ratesOnly, rates).Status, Ok) << "empty names match none of the three";
  EXPECT_EQ(std::tuple(rates.Size(), rates.Unit, rates.CodeText.Size(), rates.Data1.size(), rates.Lines),
            std::tuple(size_t{1}, std::vector<int32_t>{-1}, size_t{0}, size_t{0}, std::vector<uint64_t>{2}));

  const struct {
    const char* note; const CsvColumns& columns; std::string text; CsvStatus status; uint64_t line; const char* column;
  } bad[] = {
      {"after a text of two lines, the next row's line", columns, header + "1,a,3,1.5,1,1,m,\"x\ny\"\n1,b,3,1.5,1,1,m\n",
       NotAValue, 4, "name"},
      {"no header: the first column asked for is missing", ratesOnly, "", Missing, 1, "age"},
  };
  for (const auto& c : bad) {
    RecordTable t;
    const CsvReadResult r = ParseCsv(c.text, c.columns, t);
    EXPECT_EQ(std::tie(r.Status, r.Line, r.Column), std::tie(c.status, c.line, c.column)) << c.note;
  }
}
