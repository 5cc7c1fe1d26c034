// The result table's lines: the two forms, and "***" where a percent value
// has no finite result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/fit_settings.h"  // NoEstimate
#include "report/result_table.h"

using namespace tarnek;

TEST(ResultTableTest, LineFormsAndStars) {
  // The example record of the table's description, and percent values that
  // have no finite result: NoEstimate, and 100 times a ratio beyond 1.8e306,
  // each line in a buffer of exactly the room promised for it, so that
  // AddressSanitizer sees an overrun.
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

  // Text identifiers in their room: labels_test, the golden case
  // csv_text_identifiers and the end-to-end identifiers of megabytes.
}
