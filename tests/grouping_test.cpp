// Unit grouping: the groups' order, their members gathered by a plain scan,
// every row's three results bit for bit those of its group estimated alone,
// and the members listed again on request, sorted on threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "core/parallel.h"
#include "estimation/estimator.h"
#include "grouping/grouping.h"

using namespace tarnek;

TEST(GroupingTest, EveryGroupAsItsMembersEstimatedAlone) {
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
    const int threads = single ? 2 : 1 + int(rng() % 4);  // the same results on any number of threads
    WorkerPool pool(threads);
    const Estimates got = EstimateAllGroups(table, {}, pool);
    EXPECT_EQ(got.Mode, single ? GroupMode::SingleGroup : GroupMode::PerUnit);
    // One group per Unit, ascending (one group, -1, in single-group mode).
    std::vector<int32_t> want = single ? std::vector<int32_t>{-1} : table.Unit;
    std::sort(want.begin(), want.end());
    want.erase(std::unique(want.begin(), want.end()), want.end());
    EXPECT_EQ(got.Units, want);
    ASSERT_EQ(got.Groups.size(), want.size());

    // Each group's records (every one in single-group mode), in input order,
    // are its members listed again on request, and carry the results of
    // those records estimated alone (the estimator's own test holds those to
    // reference_estimator.h), bit for bit.
    const GroupMembers members = ListGroupMembers(table);
    ASSERT_EQ(members.Start.size(), got.Groups.size() + 1);
    EstimatorScratch scratch;
    for (size_t g = 0; g < got.Groups.size(); ++g) {
      std::vector<uint32_t> rows;
      std::vector<int32_t> y;
      std::vector<double> e;
      for (uint32_t k = 0; k < table.Size(); ++k) {
        if (single || table.Unit[k] == want[g]) rows.push_back(k), y.push_back(table.Data1[k]), e.push_back(table.Data2[k]);
      }
      EXPECT_EQ(std::vector<uint32_t>(members.Rows.begin() + members.Start[g], members.Rows.begin() + members.Start[g + 1]), rows);
      const GroupEstimate alone = EstimateGroup({y, e}, {}, scratch);
      EXPECT_EQ(got.Groups[g].RegionCount, alone.Result.RegionCount);
      for (size_t i = 0; i < rows.size(); ++i) {
        const auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
        ASSERT_EQ(std::tuple(bits(got.Records.Ratio.at(rows[i])), bits(got.Records.EbRatioMe.at(rows[i])),
                             bits(got.Records.EbRatioMle.at(rows[i]))),
                  std::tuple(bits(alone.Members.Ratio[i]), bits(alone.Members.EbRatioMe[i]), bits(alone.Members.EbRatioMle[i])))
            << "group " << g << ", record " << rows[i];
      }
    }
  }
}

TEST(GroupingTest, SortByUnitOnThreadsIsTheStableSort) {
  // The sort runs in pieces of 65,536 rows or more, in as many digits as the
  // units' range needs: one unit (no digit), a narrow range (one), 2^17 (two)
  // and the whole 32-bit range (three), on tables of fewer rows than a piece
  // and of several pieces, with and without rows left out (--undefined=skip),
  // on 1 to 5 threads: always the rows ordered by Unit, those of a Unit in
  // input order, as a stable sort gives them.
  std::mt19937_64 rng(2291);
  const std::vector<std::function<int32_t()>> unitsOf = {
      [] { return 7; },
      [&] { return int32_t(rng() % 900); },
      [&] { return int32_t(rng() % 131072); },
      [&] { return rng() % 5 == 0 ? (rng() % 2 ? 2147483647 : -1) : int32_t(rng() % 2147483648u); },
  };
  for (const size_t rows : {size_t{1000}, size_t{300000}}) {
    for (const auto& unitOf : unitsOf) {
      for (const bool skip : {false, true}) {
        RecordTable table;
        for (size_t k = 0; k < rows; ++k) {
          table.Unit.push_back(unitOf());
          table.Code.push_back(int32_t(k));
          table.Data1.push_back(skip && rng() % 7 == 0 ? -1 : 1);
          table.Data2.push_back(1.0);
        }
        table.Unit[0] = std::max(table.Unit[0], 0);  // per-unit mode
        table.Data1[0] = 1;
        std::vector<uint32_t> want;
        for (size_t k = 0; k < rows; ++k) {
          if (table.Defined(k)) want.push_back(uint32_t(k));
        }
        std::stable_sort(want.begin(), want.end(), [&](uint32_t a, uint32_t b) { return table.Unit[a] < table.Unit[b]; });
        std::vector<size_t> starts{0};  // a group from each change of Unit
        for (size_t k = 1; k <= want.size(); ++k) {
          if (k == want.size() || table.Unit[want[k]] != table.Unit[want[k - 1]]) starts.push_back(k);
        }
        for (int threads = 1; threads <= 5; ++threads) {
          WorkerPool pool(threads);
          const GroupMembers members = ListGroupMembers(table, pool);
          ASSERT_EQ(std::tie(members.Rows, members.Start), std::tie(want, starts)) << rows << " rows, " << threads << " threads";
        }
      }
    }
  }
}
