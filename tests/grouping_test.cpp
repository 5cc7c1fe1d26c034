// Unit grouping against the plain reference of reference_estimator.h: every
// row's three results bit for bit, the groups' order, and the groups'
// members listed again on request.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

#include "core/parallel.h"
#include "grouping/grouping.h"
#include "reference_estimator.h"

using namespace tarnek;

TEST(GroupingTest, SameAsReferenceOnRandomTables) {
  std::mt19937_64 rng(77031);
  // Units that share their low 16 bits, -1 and the extremes, beside plain ones.
  std::vector<int32_t> units = {-1, 0, 1, 65536, 65537, 131073, 2147483647, 2147418113};
  for (int i = 0; i < 60; ++i) units.push_back(int32_t(rng() % 1000000));
  for (const bool single : {false, false, false, true}) {
    RecordTable table;
    for (int k = 0; k < 2000; ++k) {
      table.Unit.push_back(units[rng() % units.size()]), table.Code.push_back(k);
      table.Data2.push_back(0.5 + double(rng() % 400) / 10);
      table.Data1.push_back(int32_t(table.Data2.back() * double(rng() % 300) / 100));
    }
    table.Unit[0] = single ? -1 : 4;
    reference::Ratios want;
    const std::vector<int32_t> order = reference::EstimateAllGroups(table, want, {});
    const int threads = single ? 2 : 1 + int(rng() % 4);  // the same results on any number of threads
    WorkerPool pool(threads);
    const Estimates got = EstimateAllGroups(table, {}, pool);
    const auto& records = got.Records;
    for (size_t k = 0; k < table.Size(); ++k) {
      ASSERT_EQ(std::bit_cast<uint64_t>(records.Ratio.at(k)), std::bit_cast<uint64_t>(want.Ratio[k])) << k;
      ASSERT_EQ(std::bit_cast<uint64_t>(records.EbRatioMe.at(k)), std::bit_cast<uint64_t>(want.EbRatioMe[k])) << k;
      ASSERT_EQ(std::bit_cast<uint64_t>(records.EbRatioMle.at(k)), std::bit_cast<uint64_t>(want.EbRatioMle[k])) << k;
    }
    EXPECT_EQ(got.Mode, single ? GroupMode::SingleGroup : GroupMode::PerUnit);
    EXPECT_EQ(got.Units, order);
    EXPECT_EQ(got.Groups.size(), order.size());

    // The members listed again on request are the groups as estimated: as
    // many, of the group's Unit (any in single-group mode), in input order,
    // every record once.
    const GroupMembers members = ListGroupMembers(table);
    ASSERT_EQ(members.Start.size(), got.Groups.size() + 1);
    EXPECT_EQ(members.Start.back(), table.Size());
    std::vector<int> seen(table.Size(), 0);
    for (size_t g = 0; g < got.Groups.size(); ++g) {
      EXPECT_EQ(members.Start[g + 1] - members.Start[g], size_t(got.Groups[g].RegionCount)) << g;
      for (size_t k = members.Start[g]; k < members.Start[g + 1]; ++k) {
        const uint32_t row = members.Rows[k];
        ++seen.at(row);
        EXPECT_TRUE(single || table.Unit[row] == got.Units[g]) << row;
        EXPECT_TRUE(k == members.Start[g] || members.Rows[k - 1] < row) << "input order";
      }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), std::ptrdiff_t(table.Size()));
  }
}

