// Unit grouping against the plain reference of reference_estimator.h: every
// row's three results bit for bit, and the groups' order.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <new>
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
    const Estimates got = EstimateAllGroups(table, {}, threads);
    const auto& records = got.Records;
    for (size_t k = 0; k < table.Size(); ++k) {
      ASSERT_EQ(std::bit_cast<uint64_t>(records.Ratio.at(k)), std::bit_cast<uint64_t>(want.Ratio[k])) << k;
      ASSERT_EQ(std::bit_cast<uint64_t>(records.EbRatioMe.at(k)), std::bit_cast<uint64_t>(want.EbRatioMe[k])) << k;
      ASSERT_EQ(std::bit_cast<uint64_t>(records.EbRatioMle.at(k)), std::bit_cast<uint64_t>(want.EbRatioMle[k])) << k;
    }
    EXPECT_EQ(got.Mode, single ? GroupMode::SingleGroup : GroupMode::PerUnit);
    EXPECT_EQ(got.Units, order);
    EXPECT_EQ(got.Groups.size(), order.size());
  }
}

TEST(ParallelTest, EveryPieceOnceAndTheFirstErrorComesBack) {
  for (const int threads : {1, 2, 7}) {
    std::vector<std::atomic<int>> visits(1000);
    RunInPieces(visits.size(), 13, threads, [&](size_t first, size_t last, int worker) {
      ASSERT_LT(worker, threads);
      for (size_t i = first; i < last; ++i) ++visits[i];
    });
    for (const auto& v : visits) ASSERT_EQ(v.load(), 1) << threads << " threads";
    EXPECT_THROW(RunInPieces(1000, 10, threads,
                             [](size_t first, size_t, int) {
                               if (first == 500) throw std::bad_alloc();
                             }),
                 std::bad_alloc);
  }
}
