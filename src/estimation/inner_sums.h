// The inner sums of the fit over l: exactly the term-by-term sums, but terms
// whose effect on the sum is known in advance are added together.
//
// The fit's ScoreBeta and HessBetaBeta hold, for a record with count y, the
// sums over l = 0 .. y-1 of 1/(b+l) and of 1/(b+l)^2. Each is a running
// double s; a term T(l) = 1/(b+l) (or 1/((b+l)(b+l))) is formed in long double
// (64-bit mantissa, round to nearest) from bl = b + l rounded the same way,
// added to s in long double and the sum rounded to double: s = RN53(RN64(s +
// T)). One large count would make every Newton step visit every l below it.
// T(l) never rises with l (every rounding is monotone), and T(l) is within
// 2^-62 relative of 1/(b+l) (or 1/(b+l)^2): two or three roundings of 2^-64.
//
// The grid. While s stays in one binade [2^e, 2^(e+1)) its ulp u = 2^(e-52)
// is fixed, and so is the long double grid g = u/2048 of s + T. As s is a
// multiple of u, RN64(s + T) = s + m g with m = T/g rounded to an integer,
// ties to even (s/g is even, so the tie is decided by m alone); then
// RN53(s + m g) = s + k u with k = m/2048 rounded to an integer, ties
// (m = 2048q + 1024) going to whichever of q and q + 1 makes the mantissa S
// of s + k u even. So a term that is no tie adds k(l) ulps, k(l) depending on
// l alone, and never rising with l; a tie depends on the parity of S. This
// holds while S + k stays below 2^53 (then s + T rounds within the binade);
// the term that would cross, the first ones (m >= 2^47) and the terms added
// to a sum below 2^-959 (or to 0) are added with the real arithmetic.
// Write z(l) = T(l)/u. Then m(l) is a tie exactly when z lies within 1/4096 of
// a half-integer c (|z - c| <= 1/4096), and otherwise k(l) is z rounded.
//
// Estimates. z is estimated in double as z' = (1/u)/x with x = b + l in
// double (the Hessian: (1/u)/(x x)): within 2^-51 (2^-50 for the Hessian) of
// z relative, counting the roundings of both. Every path below decides from
// z' only where its error cannot change the decision, and otherwise from the
// exact m(l).
//
// Blocks of terms (where runs are short, fewer than `crossover` terms). The
// estimates of 64 terms are formed together (four at a time, AVX2 where the
// CPU has it; the lanes compute as the scalar code). Let r be z' rounded and
// z'0 the block's first estimate: every z' <= z'0 (1 + 2^-49). If |z' - r| <
// 1/2 - 1/4096 - z'0 2^-48, then |z - r| < 1/2 - 1/4096, so |m/2048 - r| < 1/2:
// the term is no tie and adds exactly r ulps. A block whose 64 terms all
// pass, and whose sum keeps S within the binade, adds their sum at once;
// otherwise the terms that pass add their r and the others their exact m.
//
// Run boundaries (where runs are long). From a term at l that is no tie and
// adds j ulps, every later term has m <= 2048 j + 1023. The run of j ends at
// the boundary c = j - 1/2: a term with z > c + 1/4096 adds j (it is no tie:
// m >= 2048 j - 1023), one with z < c - 1/4096 adds j - 1 or less, and those
// between are ties. Since z = (1/u)(1 + t)/X (X = b + l, |t| <= 2^-62), the
// undecided terms have X within xc (1/(4096 c) + 2^-59) (1.002) of xc = (1/u)/c
// (for the Hessian X^2 within that of xc^2, so X within half as much of xc =
// sqrt((1/u)/c)). xc - b is computed in double within (xc + b) 2^-51; so the
// band [d - w, d + w] in l, d = xc - b and w = xc 1.01/(4096 c) + (xc + b)
// 2^-50 (0.51 for the Hessian), holds every undecided l. When no integer lies
// in it the boundary is placed: every l below it adds j, every l above it j - 1
// or less, and the run of j ends at floor(d + w) + 1. A block places 64
// boundaries j, j - 1, ... at once (four at a time), the runs between them
// adding (j - i) times their length; a boundary with an integer in its band
// is taken on its own: its two edges, z = c + 1/4096 (the end of the run of
// j) and z = c - 1/4096 (the end of the ties), are placed the same way with a
// band of the estimate's error alone, else found by search with the exact
// terms. The first tie adds whichever of j - 1 and j makes S even; then S is
// even, so every later tie of the run adds the even one of j - 1 and j.
// Where runs are shorter than one term the boundaries are skipped: each term
// then adds its own k.
//
// Sums that no term can change. Every term is finite and positive. An
// infinite sum stays infinite. A sum of 0 that a term leaves 0 stays 0: every
// later term is no larger, so rounds to 0 as well. A term that adds 0 ulps
// and is no tie (m < 1024) is followed by terms with m < 1024: the sum is
// final. So a sum that has stopped changing costs nothing more.
//
// Constant terms. Where T(from) = T(to - 1) every term between is the same T
// (they never rise), so each step is the same map f(s) = RN53(RN64(s + T)):
// a fixed point stays one, and within a binade (of any double, subnormal
// ones included: u = 2^-1074 there) every step adds the same number K of
// ulps after one step has been taken there, K = round(m/ρ) with m = RN(T/g)
// and ρ = u/g, a tie having made S even the first time. Three sums in one
// binade show K, and the sum jumps to the last step before the binade's top.
// A binade then costs three real steps: b = 1e300, where b + l rounds to b,
// sums two billion terms in microseconds.
//
// Cost. A term in a block costs about 0.4 ns with AVX2 (0.9 ns without), a
// placed boundary about 0.6 ns, a tie's edges about 20 ns; so the work is
// about one estimate for each term while runs are shorter than `crossover`
// and one for each run after. A sweep to 2^31 - 1 takes (CPU, on this
// project's 2-core AMD EPYC machine) 0.055 s for b = 1 (0.18 s before blocks
// and placed boundaries), 0.06 s for b = 8, 0.12 s for b = 1e5, 0.26 s for b =
// 1e9: where b is large the sum grows slowly from 0 and its ulps stay fine,
// so every binade has about 2^52/b runs; 0.004 s for b = 1e12. Measured again
// with the machine shared (best of 6, one sum alone): the score 0.060 s at b
// = 7.9, 0.098 s at 1e5, 0.13 s at 6e6, 0.095 s at 1e9; the Hessian 0.077 s
// at 6e6, 0.16 s at 1e9. At b = 7.9 the score visits 47 million terms in
// 741,000 blocks (97% of them taken whole), 7.4 million boundaries in 116,000
// blocks (48% placed whole) and 590,000 boundaries on their own; the profile
// gives the blocks of terms 40%, the boundaries' loop 26%, their placement
// 14% and the edges of ties 16%. Neither the division (a polynomial in l
// instead was slower) nor the bookkeeping of a placed block (its total
// summed by parts, the run sums without an integer division: no change
// measured) bounds it: the estimates themselves do, one for each term or run.
// Fewer could only be had by counting the lattice points under the hyperbola
// a stretch at a time; but about 2^-11 of all terms are ties, each adding
// j - 1 or j by the parity of the whole sum before it, so that counting
// would still settle some 10^6 ties one by one in a sweep to 2^31 - 1, each
// at a cost far above a run's: not done. Where a group is fitted alone, the
// long stretches of a sweep are shared out over threads instead
// (shared_sums.h).
//
// The memo (InnerSumMemo). Where the fit settles, b moves by a few ulps from
// step to step, and nearly every block of terms or of boundaries holds for
// the next b as it stood: a fit that wanders in its last bits for 43 steps
// over 2^31 - 1 terms (bench/run's wander50) takes 0.68 s instead of 3.07 s,
// the blocks kept costing about 30 MB. It does nothing for fits whose b
// changes by more than 2^-10 a step (diverging ones keep none).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnek {

enum class InnerTerm {
  Score,  // 1/(b+l)
  Hess,   // 1/((b+l)(b+l))
};

// The term for l exactly as the fit forms it, in long double.
inline long double InnerSumTerm(InnerTerm kind, double b, int64_t l) {
  const long double bl = static_cast<long double>(b) + static_cast<long double>(l);
  return kind == InnerTerm::Score ? 1.0L / bl : 1.0L / (bl * bl);
}

// Runs are taken boundary by boundary once they are about this many terms
// long; before that, terms go in blocks.
inline constexpr double kInnerSumCrossover = 4.0;

// What the blocks of terms of one sweep showed, kept for the next sweep: the
// fit's last steps change b in its last bits only. A block that was taken
// whole, for some b0 on the grid of ulp u, holds a fact that does not depend
// on the sum: its terms l0 .. l0 + 63 lie within 1/2 - 1/4096 - slack ulps of
// the integers r(l) whose sum is `Total`, so none is a tie and each adds its
// r(l) ulps to any sum on that grid. For another b, every term z(l) in ulps
// moves by at most D = Z (p |b - b0| / x0 + 2^-58) (1 + 2^-10), x0 = min(b,
// b0) + l0, Z = (1/u)/x0 (p = 1) for the score and (1/u)/x0^2 (p = 2) for the
// Hessian: the long double b + l moves by |b - b0| and its rounding, the
// term by that over x0^2 (twice as much, relative, when squared) and its
// rounding, all roundings of 2^-64 relative; 2^-10 covers the second-order
// parts while |b - b0| <= x0 2^-20. Where D < slack the block adds Total
// again, with no estimate formed: bit for bit what its terms add.
struct InnerSumMemo {
  // Blocks next to each other with the same b0 and u are kept as one, up to
  // 16 of them: their least slack, their total, and l0 of the first (where D
  // is largest: z/x0 falls as x0 rises).
  struct Block {
    int64_t First;   // l0
    int64_t End;     // one after the last term
    uint64_t Total;  // ulps the terms add
    double B;        // the b they were seen for
    double Ulp;      // u of the sum's grid
    double Slack;    // in ulps, > 0
  };
  std::vector<Block> Seen[2];  // by InnerTerm, ascending in First: the last sweep's blocks
  std::vector<Block> Next[2];  // the blocks of the sweep under way

  // A block of run boundaries j, j - 1, ... j - 63 from l0 (whose term adds
  // j ulps) on the grid of ulp u: every end of a run or of its ties was
  // placed from the estimate (none searched for), so the terms up to End
  // add Total[p] ulps to a sum whose S has the parity p (ties make S even).
  // A placement rounds d = xc - b and d +- w to an integer where the band
  // [lo, hi] = [d - w, d + w] holds none; for another b every rounded value
  // moves by |b - b0| and at most 2^-49 (scale + |b - b0|), `scale` being
  // the largest |d| + w + xc + b0 of the block. So where |b - b0| plus that
  // is below `Gap`, the least distance of a band from the integers on
  // either side (0 where hi lay outside [0, 2^50], out of the clamps'
  // reach), every placement for b gives the same integer, and the block
  // adds Total[p] again, no boundary placed. Blocks that reached the
  // sweep's last count are not kept.
  struct RunBlock {
    int64_t First;
    int64_t End;
    uint64_t J;
    uint64_t Total[2];
    double B;
    double Ulp;
    double Gap;
    double Scale;
  };
  std::vector<RunBlock> RunsSeen[2];
  std::vector<RunBlock> RunsNext[2];

  // The b of the last sweep. A sweep keeps its blocks only where its b lies
  // within 2^-10 of that (relative): the fit has begun to settle, and the
  // next b is likely nearer still. Elsewhere keeping them would cost time
  // and memory for nothing.
  double LastB = 0.0;
};

// True when a sweep at b keeps its blocks in the memo (b within 2^-10 of the
// last sweep's, relative).
inline bool MemoKeeps(const InnerSumMemo& memo, double b) {
  return b - memo.LastB <= memo.LastB * 0x1p-10 && memo.LastB - b <= memo.LastB * 0x1p-10;
}

// Adds the terms for l = from .. to-1 to `sum`, b > 0, 0 <= from <= to, and
// returns the result: bit for bit the term-by-term sum. A `crossover` of 0
// takes boundaries wherever runs are at least a term long.
double AdvanceInnerSum(InnerTerm kind, double sum, double b, int64_t from, int64_t to,
                       double crossover = kInnerSumCrossover);

// Both inner sums for every count of `counts` (ascending, distinct, >= 0): the
// sums over l < counts[k] go to score[k] and hess[k]. With a `memo`, blocks
// of terms that its last sweep saw are taken from it where they can be (see
// InnerSumMemo), and the memo is left with this sweep's blocks (none where
// b moved by more than 2^-10); the sums are the same bits with it or without.
void SweepInnerSums(std::span<const int32_t> counts, double b, std::span<double> score, std::span<double> hess,
                    double crossover = kInnerSumCrossover, InnerSumMemo* memo = nullptr);

}  // namespace tarnek
