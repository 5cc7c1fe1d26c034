// The result table's lines: the two forms, "***" where a percent value has
// no finite result, and identifiers as text in exactly the room promised.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fit_settings.h"  // NoEstimate
#include "report/result_table.h"

using namespace tarnek;

TEST(ResultTableTest, LineFormsAndStars) {
  // The example record of the table's description, and percent values that
  // have no finite result: NoEstimate, and 100 times a ratio beyond 1.8e306.
  // Then the same rows with text identifiers, each line in a buffer of
  // exactly the room promised for it, so that AddressSanitizer sees an overrun.
  RecordTable table;
  table.Unit = {-1, 3};
  table.Code = {7, 8};
  table.Data1 = {3, 10};
  table.Data2 = {2.5, 1e-307};
  const RecordRatios ratios{{1.2, 1e308}, {1.1, NoEstimate}, {NoEstimate, 0.5}};
  const auto line = [&](size_t row) {
    std::vector<char> room(ResultLineRoom(table, row));
    return std::string(room.data(), WriteResultLine(room.data(), table, ratios, row));
  };
  EXPECT_EQ(line(0), "-1\t7\t3\t2.500000\t120.000000\t110.000000\t***\r\n");
  EXPECT_EQ(line(1), "3\t8\t10\t0.000000\t***\t***\t50.000000\r\n");

  const std::string longCode(5000, 'x');  // beyond any fixed room
  table.Code.clear();
  table.CodeText.Append("01001");
  table.CodeText.Append(longCode);
  EXPECT_EQ(line(0), "-1\t01001\t3\t2.500000\t120.000000\t110.000000\t***\r\n") << "-1: no unit column";
  table.Unit = {0, 1};
  table.UnitText.Append("E01000001");
  table.UnitText.Append("");
  EXPECT_EQ(line(0), "E01000001\t01001\t3\t2.500000\t120.000000\t110.000000\t***\r\n");
  EXPECT_EQ(line(1), "\t" + longCode + "\t10\t0.000000\t***\t***\t50.000000\r\n");
}
