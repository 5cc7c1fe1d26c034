// The inner sums shared out over threads against the same sums in order, bit
// for bit: stretches cut into many more pieces than threads and fewer, sums
// that cross binades within a piece's reach, pieces met with an odd sum, and
// the memo left as the sweep in order leaves it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/parallel.h"
#include "estimation/inner_sums.h"
#include "estimation/shared_sums.h"

using namespace tarnek;

namespace {

struct Sweep {
  std::vector<double> Score, Hess;
};

Sweep InOrder(const std::vector<int32_t>& counts, double b, InnerSumMemo& memo) {
  Sweep s{std::vector<double>(counts.size()), std::vector<double>(counts.size())};
  SweepInnerSums(counts, b, s.Score, s.Hess, kInnerSumCrossover, &memo);
  return s;
}

Sweep Shared(const std::vector<int32_t>& counts, double b, InnerSumMemo& memo, WorkerPool& pool, int64_t pieceTerms) {
  Sweep s{std::vector<double>(counts.size()), std::vector<double>(counts.size())};
  SweepInnerSumsShared(counts, b, s.Score, s.Hess, memo, &pool, 1 << 15, pieceTerms);
  return s;
}

void ExpectSame(const Sweep& expected, const Sweep& got, const char* what) {
  for (size_t k = 0; k < expected.Score.size(); ++k) {
    EXPECT_EQ(expected.Score[k], got.Score[k]) << what << " score at count " << k;
    EXPECT_EQ(expected.Hess[k], got.Hess[k]) << what << " hess at count " << k;
  }
}

// Random b from 1e-3 to 1e11 and counts up to about 2^20: the pieces are 2^12
// to 2^16 terms, so a stretch has from a few to a few hundred of them, and
// half the guessed pieces meet an odd sum.
TEST(SharedSumsTest, SameBitsAsInOrderOnAnyNumberOfThreads) {
  std::mt19937_64 rng(20261208);
  for (const int threads : {1, 2, 3, 8}) {
    WorkerPool pool(threads);
    for (int c = 0; c < 12; ++c) {
      const double b = std::exp(std::uniform_real_distribution<double>(std::log(1e-3), std::log(1e11))(rng));
      std::vector<int32_t> counts;
      int32_t at = static_cast<int32_t>(rng() % 50);
      for (int k = 0; k < 4; ++k) {
        counts.push_back(at);
        at += static_cast<int32_t>(rng() % 2 == 0 ? rng() % 1000 + 1 : rng() % 400000 + 40000);
      }
      counts.push_back(at);
      const int64_t pieceTerms = int64_t{1} << (12 + rng() % 5);
      InnerSumMemo ordered, shared;
      const Sweep expected = InOrder(counts, b, ordered);
      ExpectSame(expected, Shared(counts, b, shared, pool, pieceTerms), "first sweep");
      // A second sweep near b: the memo keeps blocks, in order as before.
      const double near = b * (1 + 0x1p-30);
      ExpectSame(InOrder(counts, near, ordered), Shared(counts, near, shared, pool, pieceTerms), "near sweep");
      ASSERT_FALSE(HasFailure()) << "b = " << b << ", threads " << threads << ", pieces of " << pieceTerms;
    }
  }
}

// Sums that start from 0 and cross many binades at once (b tiny: the first
// term is 1e300), and one whose Hessian underflows at first (b = 2^39).
TEST(SharedSumsTest, EdgesOfTheRange) {
  WorkerPool pool(4);
  for (const double b : {1e-300, 0x1p-1, 1.0, 0x1p39}) {
    const std::vector<int32_t> counts = {300000};
    InnerSumMemo ordered, shared;
    ExpectSame(InOrder(counts, b, ordered), Shared(counts, b, shared, pool, 4096), "edge");
  }
}

}  // namespace
