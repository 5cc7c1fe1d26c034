// Codes and units as every output prints them: the "%d" of the integer, or
// the text byte for byte, each within exactly the room promised for it (so
// that AddressSanitizer sees an overrun).
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "report/labels.h"
#include "sample_data.h"

using namespace tarnek;

TEST(LabelsTest, IntegersAndTextsInTheirRoom) {
  RecordTable table;
  table.Code = {INT_MIN, 0, INT_MAX};
  table.Unit = {-1, 0, 2147483647};
  const auto code = [&](size_t row) {
    std::vector<char> room(CodeRoom(table, row));
    return std::string(room.data(), WriteCode(room.data(), table, row));
  };
  const auto unit = [&](int32_t u) {
    std::vector<char> room(UnitRoom(table, u));
    return std::string(room.data(), WriteUnit(room.data(), table, u));
  };
  EXPECT_EQ(code(0), "-2147483648");
  EXPECT_EQ(code(2), "2147483647");
  EXPECT_EQ(unit(-1), "-1");
  EXPECT_EQ(unit(2147483647), "2147483647");
  table.Code.clear();
  table.CodeText = testdata::ColumnOf({"01001", "", "\xC3\xA9 \"quoted\", with a comma"});
  table.UnitText = testdata::ColumnOf({"E01000001", std::string(100000, 'u')});
  EXPECT_EQ(code(0), "01001");
  EXPECT_EQ(code(1), "");
  EXPECT_EQ(code(2), "\xC3\xA9 \"quoted\", with a comma") << "bytes as read; quoting is the format's business";
  EXPECT_EQ(unit(1), std::string(100000, 'u'));
  // AppendCode and AppendUnit: the CSV tables' tests (region_table_test).
}
