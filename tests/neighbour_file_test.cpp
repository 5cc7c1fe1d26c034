// The neighbour file reader: what GAL and GWT files read as, every error and
// where it is named, the block-wise read against the whole text, and the two
// real North Carolina files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "input/data_reader.h"
#include "input/neighbour_file.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

TextColumn Codes(const std::vector<std::string>& texts) { return testdata::ColumnOf(texts); }
using testdata::RowsOf;

using S = NeighbourFileStatus;
using Lists = std::vector<std::vector<uint32_t>>;
const std::vector<std::string> kAbc = {"a", "b", "c"};

struct Case {
  const char* note;  // what the case shows
  std::string text;
  std::vector<std::string> codes;
  S status;
  uint64_t line = 0;
  std::string id = "";
  std::string region = "";
  uint64_t announced = 0, found = 0, record = 0, otherRecord = 0;
  Lists lists = {};                            // when Ok
  NeighbourFormat format = NeighbourFormat::Gal;  // when Ok
};

// An entry id or a GAL count that does not read, and a file that is not
// there, in words: the end-to-end refusals.
const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"GeoDa's GAL: an island's empty line, asymmetric lists in file order", "0 3 layer key\na 2\nc b\nb 1\na\nc 0\n\n",
       kAbc, S::Ok, 0, "", "", 0, 0, 0, 0, {{2, 1}, {0}, {}}},
      {"old header, entries out of order, an island without its line, CR LF and CR alone",
       "3\r\nc 1\r\na\rb 0\na 1\nc\n\n \t\n", kAbc, S::Ok, 0, "", "", 0, 0, 0, 0, {{2}, {}, {0}}},
      {"a byte order mark, blank lines between entries, no last line end", "\xEF\xBB\xBF" "2\n\na 1\nb\n\n\nb 1\na",
       {"a", "b"}, S::Ok, 0, "", "", 0, 0, 0, 0, {{1}, {0}}},
      {"GWT: weights of any decimal form, links in any order, a region without links", "0 3 x y\nb a 1e-3\n\na b 0.5\na c -2\n",
       kAbc, S::Ok, 0, "", "", 0, 0, 0, 0, {{1, 2}, {0}, {}}, NeighbourFormat::Gwt},
      {"codes longer than eight bytes that share their first eight", "2\nabcdefgh1 1\nabcdefgh2\nabcdefgh2 0\n",
       {"abcdefgh2", "abcdefgh1"}, S::Ok, 0, "", "", 0, 0, 0, 0, {{}, {0}}},
      {"no records, no regions", "0 0 x y\n", {}, S::Ok, 0, "", "", 0, 0, 0, 0, {}},
      {"GeoDa's header, a layer name of two words", "0 2 my layer FIPS\na 0\nb 0\n", {"a", "b"}, S::Ok, 0, "", "", 0,
       0, 0, 0, {{}, {}}},

      {"a code that repeats", "3\n", {"a", "b", "a"}, S::RepeatedCode, 0, "a", "", 0, 0, 1, 3},
      {"a code with a blank", "2\n", {"a", "b c"}, S::UnusableCode, 0, "b c", "", 0, 0, 2},
      {"an empty file has no header", "", kAbc, S::BadHeader, 1, "", "", 0, 0},
      {"a header of three fields", "0 3 layer\n", kAbc, S::BadHeader, 1, "", "", 0, 3},
      {"a header of five fields, not after a 0", "1 3 my layer key\n", kAbc, S::BadHeader, 1, "", "", 0, 5},
      {"a header count that is no count", "0 -3 layer key\n", kAbc, S::NotACount, 1, "-3"},
      {"neither GAL nor GWT", "3\n\na b c d\n", kAbc, S::UnknownFormat, 3, "", "", 0, 4},
      {"a GAL entry line of three fields", "3\na 1\nb\nb 1 2\n", kAbc, S::WrongFieldCount, 4, "", "", 0, 3},
      {"fewer neighbours than announced", "3\na 2\nb\n", kAbc, S::CountMismatch, 3, "", "a", 2, 1},
      {"more neighbours than announced", "3\na 1\nb c\n", kAbc, S::CountMismatch, 3, "", "a", 1, 2},
      {"an island has no line of ids: one is read as an entry", "3\na 0\nb c\n", kAbc, S::NotACount, 3, "c"},
      {"the file ends before a neighbour line", "3\na 0\nb 1\n", kAbc, S::FileEndsEarly, 3, "", "b"},
      {"the file ends before the header's count of entries", "3\na 0\nb 0\n\n", kAbc, S::FileEndsEarly, 4, "", "", 3, 2},
      {"text after the announced entries", "1\na 0\nb 0\n", kAbc, S::TextAfterEnd, 3, "", "", 1},
      {"a neighbour id that is no code", "3\na 2\nb z\n", kAbc, S::UnknownId, 3, "z", "a"},
      {"a region with two entries", "3\na 0\nb 0\na 0\n", kAbc, S::RepeatedEntry, 4, "a"},
      {"a neighbour listed twice", "3\nb 0\na 2\nc c\n", kAbc, S::RepeatedNeighbour, 4, "c", "a"},
      {"a region as its own neighbour", "3\na 2\nb a\n", kAbc, S::OwnNeighbour, 3, "a"},
      {"a record without an entry", "2\na 0\nc 0\n", kAbc, S::MissingEntry, 0, "b", "", 0, 0, 2},
      {"a header alone, with records", "0\n", kAbc, S::MissingEntry, 0, "a", "", 0, 0, 1},

      {"GWT: a line of two fields", "3\na b 1\nb a\n", kAbc, S::WrongFieldCount, 3, "", "", 0, 2},
      {"GWT: a weight that is no decimal number", "3\na b 1\nb a inf\n", kAbc, S::NotAWeight, 3, "inf"},
      {"GWT: the header's count is not the data's", "2\na b 1\n", kAbc, S::RegionCountMismatch, 1, "", "", 2, 3},
      {"GWT: a first id that is no code", "3\na b 1\nz a 1\n", kAbc, S::UnknownId, 3, "z"},
      {"GWT: a second id that is no code", "3\na z 1\n", kAbc, S::UnknownId, 2, "z", "a"},
      {"GWT: a region as its own neighbour", "3\nb b 1\n", kAbc, S::OwnNeighbour, 2, "b"},
      {"GWT: a link listed twice, apart and after a blank line", "3\na b 1\nb a 1\n\na c 1\na b 2\n", kAbc,
       S::RepeatedNeighbour, 6, "b", "a"},
      {"GWT: a repeated link before a bad line is the first error", "3\na b 1\na b 1\nz a 1\n", kAbc,
       S::RepeatedNeighbour, 3, "b", "a"},
      {"GWT: a bad line before a repeated link is the first error", "3\na b 1\nz a 1\na b 1\n", kAbc, S::UnknownId, 3,
       "z"},
  };
  return cases;
}

void ExpectCase(const Case& c, const NeighbourFileResult& result) {
  const NeighbourFileError& e = result.Error;
  EXPECT_EQ(e.Status, c.status);
  EXPECT_EQ(e.Line, c.line);
  EXPECT_EQ(e.Id, c.id);
  EXPECT_EQ(e.Region, c.region);
  EXPECT_EQ(e.Announced, c.announced);
  EXPECT_EQ(e.Found, c.found);
  EXPECT_EQ(e.Record, c.record);
  EXPECT_EQ(e.OtherRecord, c.otherRecord);
  if (c.status == S::Ok) {
    EXPECT_EQ(RowsOf(result.Lists), c.lists);
    EXPECT_EQ(result.Format, c.format);
  } else {
    EXPECT_EQ(result.Lists.Regions(), 0u) << "no lists behind an error";
  }
}

TEST(NeighbourFile, EveryCaseReadsAsExpected) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.note);
    ExpectCase(c, ParseNeighbours(c.text, Codes(c.codes)));
  }
}

// Lines split across blocks, a CR LF across two, a line longer than a block:
// the stream reads every case as the whole text does.
TEST(NeighbourFile, CodesHoldNoWhiteSpaceAtWhichPythonSplits) {
  // Python 3.11's str.split (PySAL's) white space beyond ASCII's, at the
  // edges of its ranges, in UTF-8; and bytes beside them that are none.
  for (const char* space : {"\x1C", "\x1F", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A",
                            "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"}) {
    TextColumn codes;
    codes.Append("x");
    codes.Append(std::string("y") + space + "z");
    const NeighbourFileResult result = CheckNeighbourCodes(codes);
    EXPECT_EQ(result.Error.Status, NeighbourFileStatus::UnusableCode) << testing::PrintToString(space);
    EXPECT_EQ(result.Error.Record, 2u);
  }
  for (const char* other : {"\x1B", "\xC2\x84", "\xC2\xA1", "\xE2\x80\x8B", "\xE2\x80\xB0", "\xC3\xA9"}) {
    TextColumn codes;
    codes.Append(std::string("y") + other + "z");
    EXPECT_EQ(CheckNeighbourCodes(codes).Error.Status, NeighbourFileStatus::Ok) << testing::PrintToString(other);
  }
}

TEST(NeighbourFile, BlocksOfAnySizeReadAsTheWholeText) {
  for (const size_t blockSize : {1, 2, 3, 5, 64}) {
    for (const Case& c : Cases()) {
      SCOPED_TRACE(std::string(c.note) + ", block " + std::to_string(blockSize));
      std::FILE* file = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "rb");
      ASSERT_NE(file, nullptr);
      ExpectCase(c, ReadNeighbourStream(file, Codes(c.codes), blockSize));
      std::fclose(file);
    }
  }
}

// Lists longer than those checked pair by pair: marked (GAL) or hashed (GWT).
TEST(NeighbourFile, LongListsAreCheckedForRepeatsToo) {
  std::vector<std::string> names = {"r0"};
  std::string gal = "41\nr0 40\n", gwt = "41\n", rest;
  for (int i = 1; i <= 40; ++i) {
    names.push_back(std::string(1, 'r').append(std::to_string(i)));
    gal.append(" ").append(names[i]);
    gwt.append("r0 ").append(names[i]).append(" 1\n");
    rest.append(names[i]).append(" 0\n");
  }
  const TextColumn codes = Codes(names);
  EXPECT_EQ(ParseNeighbours(gal + "\n" + rest, codes).Lists.Of(0).size(), 40u);
  EXPECT_EQ(ParseNeighbours(gwt, codes).Lists.Of(0).size(), 40u);
  const auto error = [&](const std::string& text) {
    const NeighbourFileError e = ParseNeighbours(text, codes).Error;
    return std::tuple(e.Status, e.Id, e.Line);
  };
  EXPECT_EQ(error(gal.replace(gal.find(" r40"), 4, " r7") + "\n" + rest), std::tuple(S::RepeatedNeighbour, "r7", 3u));
  EXPECT_EQ(error(gwt + "r1 r0 1\nr0 r33 5\n"), std::tuple(S::RepeatedNeighbour, "r33", 43u));
}

// Integer codes are looked up by value: the digits, their count and the
// sign must all agree; codes that crowd into a few slots are looked up by
// their text instead, with the same result.
TEST(NeighbourFile, IntegerCodesMatchAsText) {
  const TextColumn codes = Codes({"7", "-7", "007", "0"});
  NeighbourFileResult read = ParseNeighbours("4\n7 2\n-7 007\n-7 0\n007 1\n0\n0 0\n", codes);
  ASSERT_EQ(read.Error.Status, S::Ok);
  EXPECT_EQ(RowsOf(read.Lists), (Lists{{1, 2}, {}, {3}, {}}));
  for (const char* id : {"+7", "7.0", "x", "07", "-0", "0000000000000000000007"}) {
    SCOPED_TRACE(id);
    read = ParseNeighbours(std::string("4\n") + id + " 0\n", codes);
    EXPECT_EQ(read.Error.Status, S::UnknownId);
    EXPECT_EQ(read.Error.Id, id);
  }
  EXPECT_EQ(ParseNeighbours("3\n", Codes({"1", "2", "01", "1"})).Error.OtherRecord, 4u);

  std::vector<std::string> crowded;  // multiples of the table's size
  std::string gal = "40\n";
  for (int i = 0; i < 40; ++i) crowded.push_back(std::to_string(128 * i));
  for (int i = 0; i < 40; ++i) gal.append(crowded[i]).append(" 1\n").append(crowded[(i + 1) % 40]).append("\n");
  read = ParseNeighbours(gal, Codes(crowded));
  ASSERT_EQ(read.Error.Status, S::Ok);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(RowsOf(read.Lists)[i], std::vector<uint32_t>{(i + 1) % 40});
  crowded.push_back("1280");
  EXPECT_EQ(ParseNeighbours(gal, Codes(crowded)).Error.OtherRecord, 41u);
}

TEST(NeighbourFile, FilesThatCannotBeOpenedOrRead) {
  const TextColumn codes = Codes(kAbc);
  EXPECT_EQ(ReadNeighbourFile(::testing::TempDir(), codes).Error.Status, S::CannotOpen);
  // The codes are checked before the file is opened.
  EXPECT_EQ(ReadNeighbourFile(::testing::TempDir(), Codes({"a", "a"})).Error.Status, S::RepeatedCode);

  const std::string name = ::testing::TempDir() + "/write-only.gal";
  std::FILE* file = std::fopen(name.c_str(), "wb");  // reading it fails
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadNeighbourStream(file, codes, 16).Error.Status, S::CannotRead);
  std::fclose(file);
  std::remove(name.c_str());
}

TEST(NeighbourFile, ErrorsInWords) {
  const TextColumn codes = Codes(kAbc);
  EXPECT_EQ(DescribeNeighbourError(ParseNeighbours("3\na 2\nb\n", codes)),
            "line 3: 1 neighbours of a, where its entry announces 2");
  EXPECT_EQ(DescribeNeighbourError(ParseNeighbours("3\n", Codes({"a", "b", "a"}))),
            "code a repeats in the data (records 1 and 3): with neighbours every code must be unique");
  // Bytes that would upset a console are shown as "?", a long id is cut.
  const NeighbourFileResult control = ParseNeighbours("3\nx\x01y 0\n", codes);
  EXPECT_EQ(control.Error.Id, "x\x01y");
  EXPECT_EQ(DescribeNeighbourError(control), "line 2: id x?y matches no record's code");
  const NeighbourFileResult longId = ParseNeighbours("3\n" + std::string(300, 'q') + " 0\n", codes);
  EXPECT_EQ(longId.Error.Id, std::string(256, 'q') + "...");
}

// ---------------------------------------------------------------------------
// North Carolina: the 100 counties in the order of sids.dbf (tests/data/nc_sids),
// the GAL files' ids their FIPSNO.

const std::filesystem::path kNc = std::filesystem::path(TARNEK_SOURCE_DIR) / "tests" / "data" / "nc_sids";

// Counts by spdep 1.2.7 (R 4.2.2): read.gal(f, region.id = d$FIPSNO) prints
// "Number of nonzero links: 394 ... 2 regions with no links: 37055 37095" for
// ncCC89.gal and 492 links, none without, for ncCR85.gal; is.symmetric.nb is
// TRUE for both. ncCC89.gwt holds the links of ncCC89.gal, written by spdep
// 1.2.7's write.sn2gwt with inverse-distance weights and the record numbers
// 1..100 as ids (tests/data/nc_sids/README.md), in another order.
TEST(NeighbourFile, TheNorthCarolinaFiles) {
  RecordTable table;
  ASSERT_EQ(ReadDataFile((kNc / "sids74.txt").string(), table).Status, ReadStatus::Ok);
  const TextColumn codes = RecordCodeTexts(table);
  const auto gal = [&](const char* name) { return ReadNeighbourFile((kNc / name).string(), codes); };
  for (const auto& [name, links, islands] : {std::tuple{"ncCC89.gal", size_t{394}, std::vector<std::string>{"37055", "37095"}},
                                             std::tuple{"ncCR85.gal", size_t{492}, std::vector<std::string>{}}}) {
    const NeighbourFileResult read = gal(name);
    ASSERT_EQ(std::tuple(read.Error.Status, read.Format, read.Lists.Regions()), std::tuple(S::Ok, NeighbourFormat::Gal, 100u))
        << name << ": " << DescribeNeighbourError(read);
    std::vector<std::string> without;
    for (size_t i = 0; i < 100; ++i) {
      if (read.Lists.Of(i).empty()) without.emplace_back(codes.At(i));
    }
    EXPECT_EQ(std::tuple(read.Lists.Rows.size(), without), std::tuple(links, islands)) << name;
  }
  std::vector<std::string> numbers;
  for (int i = 1; i <= 100; ++i) numbers.push_back(std::to_string(i));
  const NeighbourFileResult gwt = ReadNeighbourFile((kNc / "ncCC89.gwt").string(), Codes(numbers));
  ASSERT_EQ(gwt.Error.Status, S::Ok) << DescribeNeighbourError(gwt);
  EXPECT_EQ(gwt.Format, NeighbourFormat::Gwt);
  Lists fromGwt = RowsOf(gwt.Lists), fromGal = RowsOf(gal("ncCC89.gal").Lists);
  for (Lists* lists : {&fromGwt, &fromGal}) {
    for (auto& row : *lists) std::sort(row.begin(), row.end());
  }
  EXPECT_EQ(fromGwt, fromGal);
}

}  // namespace
