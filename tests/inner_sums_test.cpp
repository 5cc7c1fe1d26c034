// The jumped inner sums against the plain term-by-term loop, bit for bit:
// random cases with the crossover lowered, raised (terms in blocks only) and
// as it is, so that blocks, runs, ties and binade crossings happen within a
// few hundred thousand terms; and constructed cases for what random ones
// rarely meet: long streaks of ties and a term exactly on a run's edge,
// constant terms, sums that leave the range or never move.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <array>
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
// halfway between two doubles), ties right after a tie (streaks), binade
// crossings, and steps that added the same number of ulps as the step before
// (members of runs).
struct Seen {
  int ties = 0, tieStreaks = 0, crossings = 0, runSteps = 0;
};

double TermByTerm(InnerTerm kind, double s, double b, int64_t from, int64_t to, Seen& seen) {
  double lastStep = -1;
  bool lastTie = false;
  for (int64_t l = from; l < to; ++l) {
    const X wide = X(s) + TermOf(kind, b, l);
    const double next = double(wide);
    const double below = wide >= X(next) ? next : std::nextafter(next, 0.0), above = std::nextafter(below, INFINITY);
    const bool tie = wide - X(below) == X(above) - wide;
    seen.ties += tie;
    seen.tieStreaks += tie && lastTie;
    lastTie = tie;
    seen.crossings += std::ilogb(next) != std::ilogb(s);
    seen.runSteps += next - s == lastStep;
    lastStep = next - s;
    s = next;
  }
  return s;
}

// Checks a sweep of both sums over `counts` (ascending) against the plain
// loop from l = 0, bit for bit at every count.
void ExpectSweep(const std::vector<int32_t>& counts, double b, double crossover, InnerSumMemo* memo = nullptr) {
  std::vector<double> score(counts.size()), hess(counts.size());
  SweepInnerSums(counts, b, score, hess, crossover, memo);
  double s = 0, h = 0;
  Seen ignored;
  for (size_t k = 0; k < counts.size(); ++k) {
    s = TermByTerm(InnerTerm::Score, s, b, k ? counts[k - 1] : 0, counts[k], ignored);
    h = TermByTerm(InnerTerm::Hess, h, b, k ? counts[k - 1] : 0, counts[k], ignored);
    EXPECT_EQ(std::bit_cast<uint64_t>(score[k]), std::bit_cast<uint64_t>(s)) << "b " << b << ", count " << counts[k];
    EXPECT_EQ(std::bit_cast<uint64_t>(hess[k]), std::bit_cast<uint64_t>(h)) << "b " << b << ", count " << counts[k];
  }
}

// The term for l = L is exactly `units` halves of the grid g = 2^-63 of a sum
// in [1, 2): q = units 2^-64 (units odd), 1/(b + L) for the long double x = b +
// L next to 2^64/units whose reciprocal rounds to q; b < 1 is then a
// multiple of 2^-12, exact.
struct ExactTermAt {
  double b;
  int64_t l;
};

ExactTermAt FindExactTerm(int64_t units) {
  const X q = std::ldexp(X(units), -64);
  X x = 1 / q;
  for (int tries = 0; 1 / x != q && tries < 64; ++tries) x = std::nextafter(x, 1 / x > q ? X(INFINITY) : X(0));
  const auto l = static_cast<int64_t>(x);
  return {static_cast<double>(x - X(l)), l};
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
    const double crossover = std::array{0.0, 4.0, 8.0, 1e30}[c % 4];  // 0: runs wherever they can; 1e30: blocks
    const double want = TermByTerm(kind, start, b, from, to, seen);
    const double got = AdvanceInnerSum(kind, start, b, from, to, crossover);
    ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want))
        << "case " << c << ": b " << b << ", start " << start << ", l " << from << ".." << to;
  }
  // The cases did meet what the jumps must get right.
  EXPECT_GT(seen.ties, 100);
  EXPECT_GT(seen.tieStreaks, 100);
  EXPECT_GT(seen.crossings, 20);
  EXPECT_GT(seen.runSteps, 1000000);
}

TEST(InnerSumsTest, SweepGivesEveryCountItsOwnSums) {
  // Counts up to a million and a half from 0: both sums, at every count,
  // equal a plain loop from l = 0; with the real crossover and with none.
  std::mt19937_64 rng(99);
  // Large b: the sums grow slowly, their ulps stay fine. b = 1e300: every
  // score term is the same, every Hessian term rounds to 0. A b below the
  // normal range: the first term is infinite.
  for (const double b : {1e-4, 0.7, 250.0, 3e9, 1e300, 1e-320}) {
    std::vector<int32_t> counts{0, 1, 2, 4095, 4096, 4097};
    for (int i = 0; i < 5; ++i) counts.push_back(int32_t(5000 + rng() % 1500000));
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (const double crossover : {0.0, kInnerSumCrossover}) ExpectSweep(counts, b, crossover);
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
  const auto [b, l] = FindExactTerm(6143);
  ASSERT_EQ(TermOf(InnerTerm::Score, b, l), std::ldexp(X(6143), -64));
  for (const auto& [s, want] : {std::pair{1.0, 1 + 0x1p-51}, std::pair{1 + 0x1p-52, 1 + 0x1p-51}}) {
    Seen seen;
    ASSERT_EQ(TermByTerm(InnerTerm::Score, s, b, l, l + 1, seen), want);
    EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, s, b, l, l + 1, 0.0), want) << s;
    EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, s, b, l, l + 1), want) << s;
  }
}

TEST(InnerSumsTest, StreaksOfTiesAndATermOnTheirEdges) {
  // Near x = 1.8e15 the terms fall by 3e-12 grid units a step: every term
  // near L is within a hair of q. For 10239 halves (5119.5 units: z = 2.5 -
  // 1/4096 ulps, the lower edge of the ties between 2 and 3) the terms before
  // L round to 5120 units, all ties, and those after to 5119: a streak of
  // ties whose end is the term at L itself. For 10241 halves (5120.5 units,
  // the upper edge) the terms before L round to 5121 units, a run of 3 ulps,
  // and the ties begin at L. Both edges need the exact term. (No long double
  // has a reciprocal of 6145 halves, the upper edge between 1 and 2.)
  for (const int64_t units : {10239, 10241}) {
    const ExactTermAt at = FindExactTerm(units);
    ASSERT_EQ(TermOf(InnerTerm::Score, at.b, at.l), std::ldexp(X(units), -64));
    for (const double start : {1.0, 1 + 0x1p-52, 1.5, 1.5 + 0x1p-52}) {
      Seen seen;
      const double want = TermByTerm(InnerTerm::Score, start, at.b, at.l - 3000, at.l + 3000, seen);
      EXPECT_GT(seen.tieStreaks, 2000);
      for (const double crossover : {0.0, kInnerSumCrossover, 1e30}) {
        EXPECT_EQ(std::bit_cast<uint64_t>(AdvanceInnerSum(InnerTerm::Score, start, at.b, at.l - 3000, at.l + 3000,
                                                          crossover)),
                  std::bit_cast<uint64_t>(want))
            << units << " halves, start " << start << ", crossover " << crossover;
      }
    }
  }
}

TEST(InnerSumsTest, ConstantTermsAndSumsThatCannotMove) {
  // Where b + l rounds to b every term is the same: checked against the
  // plain loop over a million terms, among them subnormal sums (Hessian
  // terms near 2^-1060 for b = 1.0625 2^530), sums of 0 (2^-1200 rounds to 0) and a
  // term of half an ulp, whose tie goes to the even sum.
  struct Case {
    InnerTerm kind;
    double b, start;
  };
  const Case cases[] = {
      {InnerTerm::Score, 1e300, 0.0},          {InnerTerm::Hess, 1e300, 0.0},
      {InnerTerm::Hess, 0x1.1p530, 0.0},       {InnerTerm::Hess, 0x1.1p530, 0x1p-1030},
      {InnerTerm::Hess, 0x1p600, 0.0},         {InnerTerm::Score, 0x1p100, 0x1p-47},
      {InnerTerm::Score, 0x1p100, 0x1p-47 + 0x1p-99}, {InnerTerm::Score, 0x1p100, 0x1p-48 - 0x1p-101},
      {InnerTerm::Score, 0x1p100, 1.0},        {InnerTerm::Hess, 1e200, 3.0},
  };
  for (const Case& c : cases) {
    Seen ignored;
    const double want = TermByTerm(c.kind, c.start, c.b, 5, 1000005, ignored);
    EXPECT_EQ(std::bit_cast<uint64_t>(AdvanceInnerSum(c.kind, c.start, c.b, 5, 1000005)), std::bit_cast<uint64_t>(want))
        << "b " << c.b << ", start " << c.start;
  }
  // By hand, for 2^36 terms of 2^-100 (b = 2^100, b + l rounds to b while
  // l < 2^36): from 0 each adds 2^-100 exactly, to 2^-64; from 2^-47 (ulp
  // 2^-99) each is half an ulp and the tie keeps the even 2^-47; from 2^-47 +
  // 2^-99 the first tie goes up to the even 2^-47 + 2^-98 and stays.
  const int64_t n = int64_t{1} << 36;
  EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, 0.0, 0x1p100, 0, n), 0x1p-64);
  EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, 0x1p-47, 0x1p100, 0, n), 0x1p-47);
  EXPECT_EQ(AdvanceInnerSum(InnerTerm::Score, 0x1p-47 + 0x1p-99, 0x1p100, 0, n), 0x1p-47 + 0x1p-98);
  // A first score term beyond the double range (b = 1e-320): the sum is
  // infinite and stays so, however many terms follow.
  Seen ignored;
  ASSERT_TRUE(std::isinf(TermByTerm(InnerTerm::Score, 0.0, 1e-320, 0, 100000, ignored)));
  EXPECT_TRUE(std::isinf(AdvanceInnerSum(InnerTerm::Score, 0.0, 1e-320, 0, int64_t{1} << 40)));
  EXPECT_TRUE(std::isinf(AdvanceInnerSum(InnerTerm::Hess, 0.0, 1e-200, 0, int64_t{1} << 40)));
}

TEST(InnerSumsTest, AMemoOfTheLastSweepGivesTheSameBits) {
  // The fit's steps: b the same, moving by a few ulps, by 1e-9 of itself, by
  // half (nothing kept), and settling again; every sweep with the memo of the
  // one before equals the plain loop. Counts to four million: blocks of terms
  // for both sums, blocks of run boundaries for the Hessian (its runs grow
  // long from about l = 2^19), binade crossings among them (b = 0.37). The
  // memo must be read, not only written: after a step of a few ulps most
  // blocks come from the sweep before.
  InnerSumMemo memo;
  const std::vector<int32_t> counts{3, 70000, 4194304};
  struct Step {
    double b;
    bool kept, reused;
  };
  const Step steps[] = {{7.9105334164052, false, false}, {7.9105334164052, true, false},
                        {7.9105334164055, true, true},   {7.9105334164051, true, true},
                        {7.91053342, true, false},       {11.8, false, false},
                        {0.37, false, false},            {0.37 + 0x1p-52, true, false},
                        {0.37 + 0x1p-51, true, true}};
  for (const Step& step : steps) {
    const double b = step.b;
    ExpectSweep(counts, b, kInnerSumCrossover, &memo);
    if (!step.kept) {
      EXPECT_TRUE(memo.Seen[0].empty() && memo.RunsSeen[1].empty()) << b;
      continue;
    }
    ASSERT_GT(memo.Seen[0].size(), 100u) << b;
    ASSERT_GT(memo.Seen[1].size(), 10u) << b;
    ASSERT_GT(memo.RunsSeen[1].size(), 200u) << b;
    const auto reused = std::count_if(memo.Seen[0].begin(), memo.Seen[0].end(),
                                      [&](const InnerSumMemo::Block& e) { return e.B != b; });
    const auto reusedRuns = std::count_if(memo.RunsSeen[1].begin(), memo.RunsSeen[1].end(),
                                          [&](const InnerSumMemo::RunBlock& e) { return e.B != b; });
    const auto withTies = std::count_if(memo.RunsSeen[1].begin(), memo.RunsSeen[1].end(),
                                        [&](const InnerSumMemo::RunBlock& e) { return e.Total[0] != e.Total[1]; });
    EXPECT_GT(withTies, 20) << b;
    if (step.reused) {
      EXPECT_GT(reused, int64_t(memo.Seen[0].size() * 9 / 10)) << b;
      EXPECT_GT(reusedRuns, int64_t(memo.RunsSeen[1].size() * 9 / 10)) << b;
    }
  }
}
