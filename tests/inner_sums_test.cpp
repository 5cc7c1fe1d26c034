// The jumped inner sums against the plain term-by-term loop, bit for bit,
// with the crossover lowered so that runs, ties and binade crossings happen
// within a few hundred thousand terms.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <random>
#include <vector>

#include "estimation/inner_sums.h"

using namespace tarnek;

namespace {

using X = long double;

X TermOf(InnerTerm kind, double b, int64_t l) {
  const X bl = X(b) + X(l);
  return kind == InnerTerm::Score ? 1 / bl : 1 / (bl * bl);
}

// What the plain loop met on its way: ties (the long double sum exactly
// halfway between two doubles), binade crossings, and steps that added
// the same number of ulps as the step before (members of runs).
struct Seen {
  int ties = 0, crossings = 0, runSteps = 0;
};

double TermByTerm(InnerTerm kind, double s, double b, int64_t from, int64_t to, Seen& seen) {
  double lastStep = -1;
  for (int64_t l = from; l < to; ++l) {
    const X wide = X(s) + TermOf(kind, b, l);
    const double next = double(wide);
    const double below = wide >= X(next) ? next : std::nextafter(next, 0.0), above = std::nextafter(below, INFINITY);
    seen.ties += wide - X(below) == X(above) - wide;
    seen.crossings += std::ilogb(next) != std::ilogb(s);
    seen.runSteps += next - s == lastStep;
    lastStep = next - s;
    s = next;
  }
  return s;
}

}  // namespace

TEST(InnerSumsTest, JumpsGiveTheTermByTermBits) {
  std::mt19937_64 rng(1207);
  auto logUniform = [&](double lo, double hi) {
    return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
  };
  Seen seen;
  for (int c = 0; c < 400; ++c) {
    const InnerTerm kind = c % 2 ? InnerTerm::Hess : InnerTerm::Score;
    const double b = logUniform(1e-3, 1e5);
    // Start sums of every size: large ones have coarse ulps, so long runs and
    // ties come early; some sit just below a power of two, to cross it.
    double start = c % 5 == 0 ? 0.0 : logUniform(1e-3, 1e12);
    if (c % 7 == 3) start = std::nextafter(std::ldexp(1.0, std::ilogb(start) + 1), 0.0) - std::ldexp(start, -40);
    const auto from = int64_t(logUniform(1, 3e5)) - 1, to = from + int64_t(logUniform(1, 2e5));
    const double crossover = (c % 3) * 4.0;  // 0 jumps wherever it can
    const double want = TermByTerm(kind, start, b, from, to, seen);
    const double got = AdvanceInnerSum(kind, start, b, from, to, crossover);
    ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want))
        << "case " << c << ": b " << b << ", start " << start << ", l " << from << ".." << to;
  }
  // The cases did meet what the jumps must get right.
  EXPECT_GT(seen.ties, 100);
  EXPECT_GT(seen.crossings, 20);
  EXPECT_GT(seen.runSteps, 1000000);
}

TEST(InnerSumsTest, SweepGivesEveryCountItsOwnSums) {
  // Counts up to a million and a half from 0: both sums, at every count,
  // equal a plain loop from l = 0; with the real crossover and with none.
  std::mt19937_64 rng(99);
  for (const double b : {1e-4, 0.7, 250.0}) {
    std::vector<int32_t> counts{0, 1, 2, 4095, 4096, 4097};
    for (int i = 0; i < 5; ++i) counts.push_back(int32_t(5000 + rng() % 1500000));
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    std::vector<double> wantScore, wantHess;
    double s = 0, h = 0;
    Seen ignored;
    for (size_t k = 0; k < counts.size(); ++k) {
      wantScore.push_back(s = TermByTerm(InnerTerm::Score, s, b, k ? counts[k - 1] : 0, counts[k], ignored));
      wantHess.push_back(h = TermByTerm(InnerTerm::Hess, h, b, k ? counts[k - 1] : 0, counts[k], ignored));
    }
    for (const double crossover : {0.0, kInnerSumCrossover}) {
      std::vector<double> score(counts.size()), hess(counts.size());
      SweepInnerSums(counts, b, score, hess, crossover);
      for (size_t k = 0; k < counts.size(); ++k) {
        EXPECT_EQ(std::bit_cast<uint64_t>(score[k]), std::bit_cast<uint64_t>(wantScore[k])) << "b " << b << ", count " << counts[k];
        EXPECT_EQ(std::bit_cast<uint64_t>(hess[k]), std::bit_cast<uint64_t>(wantHess[k])) << "b " << b << ", count " << counts[k];
      }
    }
  }
}

TEST(InnerSumsTest, ATermHalfwayBetweenGridUnitsRoundsToEven) {
  // A score term exactly 3071.5 units of the long double grid g = 2^-63 of a
  // sum in [1, 2): q = 6143 * 2^-64. For s = 1 (s/g = 2^63, even), s + q is
  // halfway between s + 3071g and s + 3072g and goes to the even one, 3072g =
  // 1.5 ulps; that is halfway between s + u and s + 2u, and the even mantissa
  // is that of s + 2u = 1 + 2^-51. A term rounded to 3071 grid units would
  // have given s + u. (From the odd s = 1 + 2^-52 both give 1 + 2^-51.) The
  // term is 1/(b + l) for x = b + l, the long double whose reciprocal rounds
  // to q, found next to 2^64/6143.
  const X q = std::ldexp(X(6143), -64);
  X x = 1 / q;
  for (int tries = 0; 1 / x != q && tries < 64; ++tries) x = std::nextafter(x, X(0));  // one a few ulps below has it
  const int64_t l = static_cast<int64_t>(x);
  const double b = static_cast<double>(x - X(l));  // a multiple of 2^-12: exact
  ASSERT_EQ(TermOf(InnerTerm::Score, b, l), q);
  for (const auto& [s, want] : {std::pair{1.0, 1 + 0x1p-51}, std::pair{1 + 0x1p-52, 1 + 0x1p-51}}) {
    Seen seen;
    ASSERT_EQ(TermByTerm(InnerTerm::Score, s, b, l, l + 1, seen), want);
    EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, s, b, l, l + 1, 0.0), want) << s;
    EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, s, b, l, l + 1), want) << s;
  }
}
