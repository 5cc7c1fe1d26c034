// EB Moran's I: hand-worked statistics, the groups without a value, the
// permutation p-value (against the exact permutation distribution, the same
// on any number of threads, seeded by the data), and North Carolina against
// R spdep's EBImoran.mc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "estimation/eb_moran.h"
#include "input/data_reader.h"
#include "input/neighbour_file.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::ListsOf;

namespace {

TEST(EbMoran, HandWorkedStatistics) {
  // With every E equal, v_i is the same for all, so z is (r - b) scaled and
  // I = (n / S0) sum d_i lag(d)_i / sum d^2 with d = r - b. NaN: no value.
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* note;
    std::vector<int32_t> y;
    std::vector<double> e;
    std::vector<std::vector<uint32_t>> lists;
    double statistic;
    double pValue = 0;  // when not 0: the p-value
  } cases[] = {
      // d = -1, 1: (2 / 2) (-1 - 1) / 2. Both orders give that: every
      // permutation counts, p = 1.
      {"a pair", {1, 3}, {1, 1}, {{1}, {0}}, -1.0, 1.0},
      // d = -3 -1 1 3, sum d^2 = 20; 0 lists 1 and 2, 1 lists 0, 2 lists the
      // island 3: -3 (-1 + 1) / 2 + (-1)(-3) + 1 * 3 = 6; S0 = 3: (4 / 3) (6 / 20).
      {"rows of two lengths and an island", {1, 3, 5, 7}, {1, 1, 1, 1}, {{1, 2}, {0}, {3}, {}}, 0.4},
      // d = -2 0 2 and 0 lists 2, 2 lists 0: (3 / 2) (-4 - 4) / 8.
      {"opposite ends", {0, 2, 4}, {1, 1, 1}, {{2}, {}, {0}}, -1.5},
      {"all counts 0", {0, 0, 0}, {1, 2, 3}, {{1}, {0, 2}, {1}}, kNone},
      {"every ratio the same", {2, 4, 6}, {1, 2, 3}, {{1}, {0, 2}, {1}}, kNone},
      {"only islands", {1, 2, 3}, {1, 1, 1}, {{}, {}, {}}, kNone},
      {"one region", {5}, {2}, {{}}, kNone},
  };
  EbMoranScratch scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const GroupData group{c.y, c.e};
    const NeighbourLists lists = ListsOf(c.lists);
    const EbMoranResult test = EbMoranTest(group, lists, scratch);
    EXPECT_TRUE(testdata::Near(test.Statistic, c.statistic, 1e-15));
    EXPECT_TRUE(testdata::Near(EbMoranStatistic(group, lists, scratch), test.Statistic, 0));
    EXPECT_TRUE(std::isnan(c.statistic) ? std::isnan(test.PValue) : test.PValue >= 1.0 / 1000 && test.PValue <= 1.0);
    if (c.pValue != 0) {
      EXPECT_EQ(test.PValue, c.pValue);
    }
  }
}

// The z of a group as the header defines them, for the exact distribution.
std::vector<double> CentredZ(const std::vector<int32_t>& y, const std::vector<double>& e) {
  const size_t n = y.size();
  double sy = 0, se = 0;
  for (size_t i = 0; i < n; ++i) sy += y[i], se += e[i];
  const double b = sy / se;
  double s2 = 0;
  for (size_t i = 0; i < n; ++i) s2 += e[i] * (y[i] / e[i] - b) * (y[i] / e[i] - b) / se;
  const double a = std::max(0.0, s2 - b / (se / n));
  std::vector<double> z(n);
  double mean = 0;
  for (size_t i = 0; i < n; ++i) mean += (z[i] = (y[i] / e[i] - b) / std::sqrt(a + b / e[i])) / n;
  for (double& v : z) v -= mean;
  return z;
}

double Cross(const std::vector<double>& z, const std::vector<std::vector<uint32_t>>& lists) {
  double sum = 0;
  for (size_t i = 0; i < z.size(); ++i) {
    double lag = 0;
    for (const uint32_t j : lists[i]) lag += z[j] / lists[i].size();
    sum += z[i] * lag;
  }
  return sum;
}

// Seven regions have 5040 orders: the share q of those whose I is at least
// the data's is the exact p-value; the 999 permutations must estimate it
// within four binomial standard errors, the same on any number of threads.
TEST(EbMoran, PermutationsFollowTheExactDistribution) {
  const std::vector<std::vector<uint32_t>> rows = {{1}, {0, 2}, {1, 3}, {2, 4}, {3, 5}, {4, 6}, {5}};  // a chain
  const std::vector<double> e = {10, 20, 15, 30, 25, 10, 40};
  for (const std::vector<int32_t>& y : {std::vector<int32_t>{1, 3, 2, 6, 9, 4, 12}, std::vector<int32_t>{4, 6, 3, 5, 9, 2, 8}}) {
    const std::vector<double> z = CentredZ(y, e);
    const double observed = Cross(z, rows);
    std::vector<size_t> order = {0, 1, 2, 3, 4, 5, 6};
    int atLeast = 0, all = 0;
    do {
      std::vector<double> permuted(7);
      for (size_t i = 0; i < 7; ++i) permuted[i] = z[order[i]];
      atLeast += Cross(permuted, rows) >= observed - 1e-12;
      ++all;
    } while (std::next_permutation(order.begin(), order.end()));
    const double q = static_cast<double>(atLeast) / all;
    EbMoranScratch scratch;
    const EbMoranResult test = EbMoranTest(GroupData{y, e}, ListsOf(rows), scratch);
    const double estimate = (test.PValue * 1000 - 1) / 999;  // G / 999
    SCOPED_TRACE("exact " + std::to_string(q) + ", estimate " + std::to_string(estimate));
    EXPECT_NEAR(estimate, q, 4 * std::sqrt(q * (1 - q) / 999));
    EXPECT_GT(q, 0.01);
    EXPECT_LT(q, 0.99);
    for (const int threads : {2, 200}) {  // 125 pieces of 8 permutations: more than workers, and fewer
      WorkerPool pool(threads);
      EXPECT_EQ(EbMoranTest(GroupData{y, e}, ListsOf(rows), pool).PValue, test.PValue) << threads << " threads";
    }
  }
}

// A chain of 70,000 regions, beyond the 65,536 from which the shuffle goes by
// buckets: still a permutation, and the same on any number of threads (in
// pieces of 8 permutations: 3 and 5 of them, fewer than workers and more).
TEST(EbMoran, TheSameOnAnyNumberOfThreadsAndByBuckets) {
  constexpr uint32_t kRegions = 70000;
  std::vector<std::vector<uint32_t>> rows(kRegions);
  std::vector<int32_t> rising(kRegions), mixed(kRegions);
  const std::vector<double> e(kRegions, 10.0);
  uint64_t lcg = 99;
  for (uint32_t i = 0; i < kRegions; ++i) {
    if (i > 0) rows[i].push_back(i - 1);
    if (i + 1 < kRegions) rows[i].push_back(i + 1);
    rising[i] = static_cast<int32_t>(i / 1000);
    lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
    mixed[i] = static_cast<int32_t>((lcg >> 33) % 70);
  }
  const NeighbourLists lists = ListsOf(rows);
  EbMoranScratch scratch;
  const EbMoranResult trend = EbMoranTest(GroupData{rising, e}, lists, scratch, 19);
  EXPECT_GT(trend.Statistic, 0.5);
  EXPECT_EQ(trend.PValue, 0.05);  // 1 / (19 + 1): no permutation comes near the trend
  const EbMoranResult one = EbMoranTest(GroupData{mixed, e}, lists, scratch, 39);
  // No clustering: some permutations cluster more, some less (a shuffle
  // that lost or kept the order would give 1 / 40 or 1).
  EXPECT_GT(one.PValue, 1.0 / 40);
  EXPECT_LT(one.PValue, 1.0);
  EXPECT_LT(std::abs(one.Statistic), 0.02);
  for (const int threads : {1, 2, 3, 8, 200}) {
    WorkerPool pool(threads);
    const EbMoranResult a = EbMoranTest(GroupData{rising, e}, lists, pool, 19), b = EbMoranTest(GroupData{mixed, e}, lists, pool, 39);
    EXPECT_EQ(std::tuple(a.Statistic, a.PValue, b.Statistic, b.PValue),
              std::tuple(trend.Statistic, trend.PValue, one.Statistic, one.PValue)) << threads << " threads";
  }
}

// ---------------------------------------------------------------------------
// North Carolina SIDS, 1974-78 (the data of local_prior_test.cpp): spdep
// 1.2.7 in R 4.2.2, EBImoran.mc(SID74, BIR74, nb2listw(read.gal(FILE,
// region.id = FIPSNO), style = "W", zero.policy = TRUE), nsim = 999,
// zero.policy = TRUE)$statistic, printed by
// tests/check/neighbours_against_spdep.R into spdep_reference.txt:
//   ebimoran ncCC89.gal 0.30045057080537085
//   ebimoran ncCR85.gal 0.25423099115280356

const std::filesystem::path kNc = std::filesystem::path(TARNEK_SOURCE_DIR) / "tests" / "data" / "nc_sids";

TEST(EbMoran, NorthCarolinaAgainstSpdep) {
  RecordTable table;
  ASSERT_EQ(ReadDataFile((kNc / "sids74.txt").string(), table).Status, ReadStatus::Ok);
  const TextColumn codes = RecordCodeTexts(table);
  const GroupData group{table.Data1, table.Data2};
  // ncCC89.gal's statistic, spdep's to the last digit, and a p-value of
  // 0.001 are in golden neighbours_local_nc's group table.
  const std::map<std::string, double> spdep = {{"ncCR85.gal", 0.25423099115280356}};
  EbMoranScratch scratch;
  for (const auto& [file, statistic] : spdep) {
    SCOPED_TRACE(file);
    const NeighbourFileResult read = ReadNeighbourFile((kNc / file).string(), codes);
    ASSERT_EQ(read.Error.Status, NeighbourFileStatus::Ok);
    const EbMoranResult test = EbMoranTest(group, read.Lists, scratch);
    EXPECT_NEAR(test.Statistic, statistic, 1e-12 * statistic);
    EXPECT_LE(test.PValue, 0.002);
  }
}

}  // namespace
