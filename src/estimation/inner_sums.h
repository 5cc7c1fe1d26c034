// The inner sums of the fit over l: exactly the term-by-term sums, but a run
// of terms that each add the same number of ulps is added in one step.
//
// The fit's ScoreBeta and HessBetaBeta hold, for a record with count y, the
// sums over l = 0 .. y-1 of 1/(b+l) and of 1/(b+l)^2. Each is a running
// double s; a term q(l) = 1/(b+l) (or 1/((b+l)(b+l))) is formed in long double
// (64-bit mantissa, round to nearest) from bl = b + l rounded the same way,
// added to s in long double and the sum rounded to double: s = RN53(RN64(s +
// q)). One large count would make every Newton step visit every l below it.
//
// Runs. While s stays in one binade [2^e, 2^(e+1)) its ulp u = 2^(e-52) is
// fixed, and so is the long double grid g = u/2048 of s + q. As s is a
// multiple of u, RN64(s + q) = s + m g with m = q/g rounded to an integer,
// ties to even (s/g is even, so the tie is decided by m alone); then
// RN53(s + m g) = s + k u with k = m/2048 rounded to an integer, ties
// (m = 2048k + 1024) going to the even multiple of u, which depends on s. So
// a term that is no tie adds k(l) ulps, k(l) depending on l alone. q(l) falls
// as l grows (every rounding is monotone), so m(l) and k(l) never rise: if
// the terms at l1 and l2 > l1 have m strictly inside the same interval
// (2048k - 1024, 2048k + 1024), so has every term between them, and the run
// l1 .. l2 adds exactly (l2 - l1 + 1) k ulps, provided the sum stays below
// 2^(e+1). The run's end is predicted from q(l) = (k - 1/2) u and confirmed by
// computing m exactly at both sides of it; ties, binade crossings and the
// first terms are added one by one with the real arithmetic.
//
// Cost. Runs near l are about u (b+l)^2 terms long for the score and
// u (b+l)^3 / 2 for the Hessian; a jump computes about three terms, so the
// terms are summed one by one until the runs are `crossover` terms long.
#pragma once

#include <cstdint>
#include <span>

namespace tarnek {

enum class InnerTerm {
  Score,  // 1/(b+l)
  Hess,   // 1/((b+l)(b+l))
};

// Runs are jumped once they are about this many terms long.
inline constexpr double kInnerSumCrossover = 8.0;

// Adds the terms for l = from .. to-1 to `sum`, b > 0, 0 <= from <= to, and
// returns the result: bit for bit the term-by-term sum. A `crossover` of 0
// jumps wherever a run can be found, however short.
double AdvanceInnerSum(InnerTerm kind, double sum, double b, int64_t from, int64_t to,
                       double crossover = kInnerSumCrossover);

// Both inner sums for every count of `counts` (ascending, distinct, >= 0): the
// sums over l < counts[k] go to score[k] and hess[k].
void SweepInnerSums(std::span<const int32_t> counts, double b, std::span<double> score, std::span<double> hess,
                    double crossover = kInnerSumCrossover);

}  // namespace tarnek
