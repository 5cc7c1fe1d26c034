// The data file reader: text mode, record scanning, the value tests and the
// Code each failure names. Every case runs twice: on the text in memory and
// through a file on disk.
#include "input/data_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>  // mkdtemp, rmdir

namespace tarnek {
namespace {

struct Rec {
  int32_t unit, code, data1;
  double data2;
};

struct ReaderCase {
  const char* note;  // the fault the case catches
  std::string text;
  ReadStatus status;
  int32_t errorCode;         // the Code the failure names
  std::vector<Rec> records;  // the table on success
};

const ReadStatus kOk = ReadStatus::Ok;
const ReadStatus kRange = ReadStatus::OutOfRange;
const ReadStatus kNotRec = ReadStatus::NotARecord;

const ReaderCase kCases[] = {
    {"two records, LF", "1 10 3 2.5\n2 20 0 0.5\n", kOk, 0, {{1, 10, 3, 2.5}, {2, 20, 0, 0.5}}},
    {"CR LF reads like LF", "1 10 3 2.5\r\n2 20 0 0.5\r\n", kOk, 0, {{1, 10, 3, 2.5}, {2, 20, 0, 0.5}}},
    {"CR-only lines join: 4.5 then 5 is 4.55", "-1 7 2 4.5\r5 \r\r", kOk, 0, {{-1, 7, 2, 4.55}}},
    {"CR-only join leaves a short record", "-1 7 2 4.5\r5 8 1 2\r", kNotRec, 7, {}},
    {"Ctrl-Z ends the data, garbage ignored", "1 10 3 2.5\n\x1Agarbage 1 x\n", kOk, 0, {{1, 10, 3, 2.5}}},
    {"Ctrl-Z inside a number ends it", "1 10 3 2.5\x1A" "7\n", kOk, 0, {{1, 10, 3, 2.5}}},
    {"Ctrl-Z before the fraction", "1 10 3 2\x1A.5\n", kOk, 0, {{1, 10, 3, 2.0}}},
    {"Ctrl-Z inside a record cuts it short", "1 10 3 2.5\n2 20\x1A 1 1\n", kNotRec, 10, {}},
    {"text glued to Data2: record kept, then fails", "1 10 3 4.5abc\n2 20 1 1\n", kNotRec, 10, {}},
    {"dangling exponent consumed, x fails next", "1 10 3 1ex\n", kNotRec, 10, {}},
    {"last record has three numbers", "1 10 3 2.5\n2 20 1\n", kNotRec, 10, {}},
    {"letter where Data2 should be", "1 10 3 2.5\n2 20 1 x\n", kNotRec, 10, {}},
    {"lone sign at the end", "1 10 3 2.5\n-", kNotRec, 10, {}},
    {"no inf word", "1 10 3 inf\n", kNotRec, 0, {}},
    {"header line: no previous record, code 0", "Unit Code Data1 Data2\n1 10 3 2.5\n", kNotRec, 0, {}},
    // 3.7 as Data1: 3 is Data1, ".7" becomes Data2, and the fields shift by one.
    {"real in Data1 shifts fields, still reads", "-1 1 3.7 2 3 4 5\n", kOk, 0,
     {{-1, 1, 3, 0.7}, {2, 3, 4, 5.0}}},
    // Shifted: (-1,1,3,.7), (2,-1,2,4), then "5" alone.
    {"real in Data1 shifts fields, then fails", "-1 1 3.7 2\n-1 2 4 5\n", kNotRec, -1, {}},
    // Shifted: (-1,1,3,.7), then Unit -5 in (-5,9,6,2).
    {"real in Data1 shifts a bad Unit in", "-1 1 3.7 -5 9 6 2\n", kRange, 9, {}},
    {"empty file", "", kOk, 0, {}},
    {"white space only", " \t\n\v\f\r\n  \n", kOk, 0, {}},
    {"Ctrl-Z only", "\x1A" "1 2 3 4", kOk, 0, {}},
    {"int32 limits fit", "2147483647 -2147483648 2147483647 1\n", kOk, 0,
     {{2147483647, -2147483647 - 1, 2147483647, 1.0}}},
    {"Unit overflows", "1 10 3 2.5\n2147483648 20 1 1\n", kNotRec, 10, {}},
    {"Unit underflows", "1 10 3 2.5\n-2147483649 20 1 1\n", kNotRec, 10, {}},
    {"Code overflows", "1 10 3 2.5\n2 2147483648 1 1\n", kNotRec, 10, {}},
    {"Code underflows", "1 10 3 2.5\n2 -2147483649 1 1\n", kNotRec, 10, {}},
    {"Data1 overflows", "1 10 3 2.5\n2 20 2147483648 1\n", kNotRec, 10, {}},
    {"first record overflows: code 0", "99999999999 10 3 2.5\n", kNotRec, 0, {}},
    {"Data2 beyond range", "1 10 3 2.5\n2 20 1 1e999\n", kRange, 20, {}},
    {"Data2 beyond range, negative", "1 10 3 2.5\n2 20 1 -1e999\n", kRange, 20, {}},
    {"Data2 underflows to 0", "1 10 3 2.5\n2 20 1 1e-999\n", kRange, 20, {}},
    {"Data1 -1", "1 10 3 2.5\n2 20 -1 1\n", kRange, 20, {}},
    {"Data2 0.0", "1 10 3 2.5\n2 20 1 0.0\n", kRange, 20, {}},
    {"Data2 -0.0", "2 20 1 -0.0\n", kRange, 20, {}},
    {"Data2 -3.5", "1 10 3 2.5\n2 20 1 -3.5\n", kRange, 20, {}},
    {"no hex: Data2 0x10 reads 0", "1 10 3 0x10\n", kRange, 10, {}},
    {"Unit -2", "1 10 3 2.5\n-2 20 1 1\n", kRange, 20, {}},
    {"Data1 -1 and Unit -2", "-2 30 -1 1\n", kRange, 30, {}},
    {"fourth record Data1 -5", "1 1 1 1\n1 2 1 1\n1 3 1 1\n1 4 -5 1\n", kRange, 4, {}},
    {"Unit -1, Data1 0, Data2 0.5 accepted", "-1 5 0 0.5\n", kOk, 0, {{-1, 5, 0, 0.5}}},
    {"negative and duplicate codes", "3 -5 1 1\n3 -5 2 2\n", kOk, 0, {{3, -5, 1, 1.0}, {3, -5, 2, 2.0}}},
    {"signs and number forms", "+1 +2 +3 +.5e1\n0 0 0 7.\n", kOk, 0,
     {{1, 2, 3, 5.0}, {0, 0, 0, 7.0}}},
    {"two records on one line", "1 10 3 2.5 2 20 1 1\n", kOk, 0, {{1, 10, 3, 2.5}, {2, 20, 1, 1.0}}},
    {"one record over four lines", "1\n10\n3\n2.5\n", kOk, 0, {{1, 10, 3, 2.5}}},
    {"every white space kind", "\t1\v10\f3 2.5\n\n2\t\t20  1\v\f1", kOk, 0,
     {{1, 10, 3, 2.5}, {2, 20, 1, 1.0}}},
};

void ExpectRecords(const RecordTable& table, const std::vector<Rec>& records) {
  ASSERT_EQ(table.Size(), records.size());
  ASSERT_EQ(table.Code.size(), records.size());
  ASSERT_EQ(table.Data1.size(), records.size());
  ASSERT_EQ(table.Data2.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table.Unit[i], records[i].unit);
    EXPECT_EQ(table.Code[i], records[i].code);
    EXPECT_EQ(table.Data1[i], records[i].data1);
    EXPECT_EQ(table.Data2[i], records[i].data2);
  }
}

class DataReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "tarnek_reader_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + name;
    std::ofstream(path, std::ios::binary) << text;
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(DataReaderTest, TextTable) {
  for (const ReaderCase& c : kCases) {
    SCOPED_TRACE(c.note);
    std::string text = c.text;
    ApplyTextMode(text);
    RecordTable table;
    const ReadResult inMemory = ParseRecords(text, table);
    EXPECT_EQ(inMemory.Status, c.status);
    if (c.status == kOk) {
      ExpectRecords(table, c.records);
    } else {
      EXPECT_EQ(inMemory.ErrorCode, c.errorCode);
    }
  }
}

TEST_F(DataReaderTest, FileTable) {
  int index = 0;
  for (const ReaderCase& c : kCases) {
    SCOPED_TRACE(c.note);
    RecordTable table;
    const ReadResult fromFile = ReadDataFile(Write("case" + std::to_string(index++) + ".txt", c.text), table);
    EXPECT_EQ(fromFile.Status, c.status);
    if (c.status == kOk) {
      ExpectRecords(table, c.records);
    } else {
      EXPECT_EQ(fromFile.ErrorCode, c.errorCode);
    }
  }
}

TEST_F(DataReaderTest, ApplyTextModeTable) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"4.5\r5", "4.55"},
      {"\r\r\r", ""},
      {"ab\x1A" "cd\r\x1A", "ab"},
      {"a\rb\x1A\rc", "ab"},
      {"\x1A", ""},
      {"", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    ApplyTextMode(text);
    EXPECT_EQ(text, c.out);
  }
}

TEST_F(DataReaderTest, CannotOpen) {
  RecordTable table;
  EXPECT_EQ(ReadDataFile(dir_ + "missing.txt", table).Status, ReadStatus::CannotOpen);
  EXPECT_EQ(ReadDataFile(dir_, table).Status, ReadStatus::CannotOpen);  // a directory
  EXPECT_EQ(table.Size(), 0u);
}

TEST_F(DataReaderTest, NoRecordLimit) {
  constexpr int kCount = 5000;
  std::string text;
  for (int k = 1; k <= kCount; ++k) {
    text += std::to_string(k % 7 - 1) + " " + std::to_string(k) + " " + std::to_string(k % 13) + " " +
            std::to_string(k) + ".25\r\n";
  }
  RecordTable table;
  const ReadResult result = ReadDataFile(Write("big.txt", text), table);
  ASSERT_EQ(result.Status, kOk);
  ASSERT_EQ(table.Size(), static_cast<size_t>(kCount));
  for (int k = 1; k <= kCount; ++k) {
    const size_t row = static_cast<size_t>(k - 1);
    ASSERT_EQ(table.Unit[row], k % 7 - 1);
    ASSERT_EQ(table.Code[row], k);
    ASSERT_EQ(table.Data1[row], k % 13);
    ASSERT_EQ(table.Data2[row], k + 0.25);
  }
}

}  // namespace
}  // namespace tarnek
