// Inner sums term by term, on the grid of the sum's binade (a term, a block
// of terms or a run boundary at a time), or for a constant term a binade at
// a time; see inner_sums.h for why all give the same bits.
#include "estimation/inner_sums.h"

#include <algorithm>
#include <bit>
#include <cmath>  // std::sqrt (correctly rounded), std::fabs, std::ilogb
#include <cstring>  // std::memcpy
#include <limits>
#include <utility>  // std::swap

#include <emmintrin.h>  // _mm_sqrt_pd: SSE2, on every x86-64

#include "core/target_clones.h"

namespace tarnek {

namespace {

using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64, "the inner sums need the x87 extended format");

// Terms are added with the real arithmetic in pieces of this many before
// the next look at whether a faster path can take over.
constexpr int64_t kPiece = 4096;

// On the grid, a term is handled in grid units m < 2^47 (2^36 ulps): its
// double estimate, good to 2^-50 relative, tells m apart where it lies far
// enough from a rounding boundary, and the exact term decides the rest.
constexpr double kGridLimit = 0x1p47;
constexpr double kEstimateError = 0x1p-50;

constexpr uint64_t kTooLarge = ~uint64_t{0};
constexpr uint64_t kTop = (uint64_t{1} << 53) - 1;  // the largest S of a binade

// The blocks' paths keep l and b + l within the doubles' integers.
constexpr int64_t kLargestIndex = int64_t{1} << 51;

// Terms estimated together, and run boundaries placed together.
constexpr int kBlock = 64;

// The helpers below take the kind of term as a template argument: they run
// once a term, and the choice is then made when they are compiled.

// One term added the fit's way: in long double, the sum rounded to double.
inline double AddTerm(double sum, Extended term) { return static_cast<double>(Extended(sum) + term); }

// The term in double: within 2^-51 (score) or 2^-50 (Hessian) of the exact
// term, counting the roundings of both.
template <InnerTerm kind>
inline double EstimatedTerm(double b, int64_t l) {
  const double x = b + static_cast<double>(l);
  return kind == InnerTerm::Score ? 1.0 / x : 1.0 / (x * x);
}

// A sum s > 0 in its binade: s = S u, S its 53-bit integer mantissa, u its
// ulp, g = u/2048 the long double grid of s + q.
struct Grid {
  uint64_t S = 0;
  double u = 0.0;
  double g = 0.0;
  double perG = 0.0;    // 1/g, exactly: a power of two
  double perU = 0.0;    // 1/u = perG/2048
  bool Usable = false;  // false for 0, infinities, and sums too small for g to be a normal double
};

Grid GridOf(double sum) {
  const uint64_t bits = std::bit_cast<uint64_t>(sum);
  const int biased = static_cast<int>(bits >> 52);  // the sign bit is 0 for sum > 0
  Grid grid;
  if (!(sum > 0.0) || biased >= 0x7FF || biased <= 52 + 11) return grid;
  grid.S = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  grid.u = std::bit_cast<double>(static_cast<uint64_t>(biased - 52) << 52);
  grid.g = std::bit_cast<double>(static_cast<uint64_t>(biased - 52 - 11) << 52);
  grid.perG = 1.0 / grid.g;
  grid.perU = grid.perG / 2048.0;
  grid.Usable = grid.perG < std::numeric_limits<double>::infinity();
  return grid;
}

// m(l) computed with the real arithmetic: the term in grid units rounded to
// an integer, ties to even; kTooLarge from 2^62 on.
uint64_t ExactGridUnits(InnerTerm kind, double b, int64_t l, double g) {
  const Extended x = InnerSumTerm(kind, b, l) / Extended(g);  // exact: g is a power of two
  if (!(x < 0x1p62L)) return kTooLarge;
  const auto whole = static_cast<uint64_t>(x);
  const Extended fraction = x - static_cast<Extended>(whole);  // exact
  return whole + ((fraction > 0.5L || (fraction == 0.5L && (whole & 1) != 0)) ? 1 : 0);
}

// m(l) from the double estimate where its error cannot change the rounding,
// else exactly; kTooLarge when m is not below the grid limit.
template <InnerTerm kind>
uint64_t GridUnits(double b, int64_t l, const Grid& grid) {
  const double t = EstimatedTerm<kind>(b, l) * grid.perG;  // exact scaling
  if (!(t < kGridLimit)) return kTooLarge;
  const double nearest = (t + 0x1p52) - 0x1p52;  // t rounded to an integer
  if (0.5 - std::fabs(t - nearest) > 2 * kEstimateError * t) return static_cast<uint64_t>(nearest);
  return ExactGridUnits(kind, b, l, grid.g);
}

// True when the term at l is above `theta` = (lb + 1/2) g, so that m(l) > lb:
// decided from the product of b + l (squared for the Hessian) and theta where
// its error cannot change the answer, else with the exact term.
template <InnerTerm kind>
bool AboveFloor(double b, int64_t l, double theta, uint64_t lb, const Grid& grid) {
  const double x = b + static_cast<double>(l);
  const double product = kind == InnerTerm::Score ? x * theta : (x * x) * theta;
  if (product < 1.0 - 4 * kEstimateError) return true;
  if (product > 1.0 + 4 * kEstimateError) return false;
  const uint64_t m = ExactGridUnits(kind, b, l, grid.g);
  return m != kTooLarge && m > lb;
}

// True when the runs at l are about `crossover` terms long or longer.
template <InnerTerm kind>
bool RunsAreLong(double u, double b, int64_t l, double crossover) {
  const double x = b + static_cast<double>(l);
  return (kind == InnerTerm::Score ? u * x * x : u * x * x * x / 2) >= crossover;
}

// The last l' in [l, last] whose term is above the run's floor, given that
// the term at l is: predicted from where the term equals the floor, then
// confirmed, or found by search.
template <InnerTerm kind>
int64_t RunEnd(double b, uint64_t lb, const Grid& grid, int64_t l, int64_t last) {
  const double theta = (static_cast<double>(lb) + 0.5) * grid.g;
  const double limit = (kind == InnerTerm::Score ? 1.0 / theta : 1.0 / std::sqrt(theta)) - b;
  int64_t guess = last;
  if (!(limit > static_cast<double>(l))) {
    guess = l;
  } else if (limit < static_cast<double>(last)) {
    guess = std::max(l, static_cast<int64_t>(limit));
  }
  // lo is in the run; hi is past it (hi = last + 1: the run may reach last).
  int64_t lo = l;
  int64_t hi = last + 1;
  auto probe = [&](int64_t x) {
    const bool above = AboveFloor<kind>(b, x, theta, lb, grid);
    (above ? lo : hi) = x;
    return above;
  };
  if (probe(guess)) {
    for (int64_t step = 1; hi > lo + 1 && lo < last; step *= 2) {
      if (!probe(std::min(last, lo + step))) break;
    }
  } else {
    for (int64_t step = 1; hi > lo + 1; step *= 2) {
      if (probe(std::max(l, hi - step))) break;
    }
  }
  while (hi - lo > 1) probe(lo + (hi - lo) / 2);
  return lo;
}

// The first l' in [l, to) whose term is at most lb grid units (m(l') <= lb),
// or `to` when there is none.
template <InnerTerm kind>
int64_t FirstNotAbove(double b, uint64_t lb, const Grid& grid, int64_t l, int64_t to) {
  if (l >= to) return to;
  const double theta = (static_cast<double>(lb) + 0.5) * grid.g;
  if (!AboveFloor<kind>(b, l, theta, lb, grid)) return l;
  return RunEnd<kind>(b, lb, grid, l, to - 1) + 1;
}

// A sum on its binade's grid: S ulps of the grid's u. It never leaves the
// binade: a term that would take it to the next one is left to the real
// arithmetic.
struct GridSum {
  uint64_t S;

  // Adds a term of m grid units: k = m/2048 rounded to an integer, a tie
  // (m = 2048q + 1024) to whichever of q and q + 1 makes S even. False, with
  // nothing added, for a term too large for the grid or at the binade's top.
  bool AddUnits(uint64_t m) {
    if (m == kTooLarge) return false;
    const uint64_t q = m / 2048;
    const uint64_t r = m % 2048;
    const uint64_t k = r < 1024 ? q : (r > 1024 ? q + 1 : q + ((S + q) & 1));
    if (S + k > kTop) return false;
    S += k;
    return true;
  }

  // Adds n >= 0 terms of k ulps each, as many of them as the binade holds;
  // returns how many.
  int64_t AddRun(uint64_t k, int64_t n) {
    if (n <= 0) return 0;
    if (k != 0 && (kTop - S) / k < static_cast<uint64_t>(n)) n = static_cast<int64_t>((kTop - S) / k);
    S += k * static_cast<uint64_t>(n);
    return n;
  }
};

// --- Short runs: a block of terms from their estimates ------------------------

// Four doubles at a time, and four 64-bit masks: every lane computes
// exactly as the scalar code would (IEEE double, no contraction), so the
// AVX2 build of a loop and the plain x86-64 one (two SSE2 halves) give the
// same lanes; the loops are built both ways and the CPU picks one.
using Lanes = double __attribute__((vector_size(32)));
using Masks = int64_t __attribute__((vector_size(32)));
constexpr Lanes kLaneIndex = {0.0, 1.0, 2.0, 3.0};

// The terms for l = base .. base + kBlock - 1 in ulps, each from its double
// estimate z within z 2^-50 of the term: k[i] is z rounded to an integer and
// distance[i] how far z lies from it; their sum goes to `total`, the first
// estimate (the largest but for its error) to `first`, and the largest
// distance is returned.
template <InnerTerm kind>
[[gnu::always_inline]] inline double EstimateBlockLanes(double b, double base, double perU, double& first,
                                                        uint64_t& total, double* k, double* distance) {
  Lanes sum = {};
  Masks worst = {};  // the distances are positive: their bits order as they do
  Lanes z0 = {};
  for (int i = 0; i < kBlock; i += 4) {
    const Lanes x = b + (base + (kLaneIndex + static_cast<double>(i)));  // b + l in double: l is exact
    const Lanes z = kind == InnerTerm::Score ? perU / x : perU / (x * x);
    if (i == 0) z0 = z;
    const Lanes nearest = (z + 0x1p52) - 0x1p52;  // z rounded to an integer (z < 2^36)
    sum += nearest;                               // exact: integers below 2^42
    const Masks away = reinterpret_cast<Masks>(z - nearest) & INT64_MAX;
    worst = away > worst ? away : worst;
    std::memcpy(k + i, &nearest, sizeof nearest);
    std::memcpy(distance + i, &away, sizeof away);
  }
  first = z0[0];
  total = static_cast<uint64_t>((sum[0] + sum[1]) + (sum[2] + sum[3]));  // exact
  const int64_t most = std::max(std::max(worst[0], worst[1]), std::max(worst[2], worst[3]));
  return std::bit_cast<double>(most);
}

TARNEK_AVX2_CLONES double EstimateScoreBlock(double b, double base, double perU, double& first,
                                                                    uint64_t& total, double* k, double* distance) {
  return EstimateBlockLanes<InnerTerm::Score>(b, base, perU, first, total, k, distance);
}
TARNEK_AVX2_CLONES double EstimateHessBlock(double b, double base, double perU, double& first,
                                                                   uint64_t& total, double* k, double* distance) {
  return EstimateBlockLanes<InnerTerm::Hess>(b, base, perU, first, total, k, distance);
}

// Where the run of terms that add j ulps ends, for j = c + 1/2, c = c0 - i,
// i < kBlock: lambda[i] is the first l after it, placed from the estimate
// alone where no l lies within the band in which the terms may be ties or the
// estimate's error leaves the side open, else -1. Returns true when every
// boundary was placed.
template <InnerTerm kind>
[[gnu::always_inline]] inline bool PlaceBoundaryLanes(double b, double c0, double perU, double bandPerU,
                                                      double* lambda, double* gap, double* scale) {
  Masks open = {};
  for (int i = 0; i < kBlock; i += 4) {
    const Lanes c = c0 - (kLaneIndex + static_cast<double>(i));
    const Lanes q = perU / c;
    Lanes xc = q;  // where the term is c ulps
    if constexpr (kind == InnerTerm::Hess) {  // correctly rounded, as std::sqrt
      const __m128d low = _mm_sqrt_pd(__m128d{q[0], q[1]});
      const __m128d high = _mm_sqrt_pd(__m128d{q[2], q[3]});
      xc = Lanes{low[0], low[1], high[0], high[1]};
    }
    const Lanes d = xc - b;
    // The band: the terms within 1/4096 ulp of c (ties), widened by the
    // terms' and the estimate's errors; its half-width in l, written so that
    // nothing overflows.
    const Lanes band = kind == InnerTerm::Score ? xc * (xc * bandPerU) : xc * (xc * (xc * bandPerU));
    const Lanes halfWidth = band + (xc + b) * 0x1p-50;
    const Lanes lo = d - halfWidth;
    Lanes hi = d + halfWidth;
    hi = hi < -1.0 ? Lanes{} - 1.0 : hi;
    hi = hi > 0x1p51 ? Lanes{} + 0x1p51 : hi;
    const Lanes rounded = (hi + 0x1.8p52) - 0x1.8p52;  // hi rounded to an integer
    const Lanes floorHi = rounded > hi ? rounded - 1.0 : rounded;
    const Masks placed = floorHi < lo;  // no integer in [lo, hi]
    const Lanes at = placed ? floorHi + 1.0 : Lanes{} - 1.0;
    std::memcpy(lambda + i, &at, sizeof at);
    open |= ~placed;
    if (gap == nullptr) continue;
    // What the memo keeps (GapOf, and the scale of the rounded values).
    const Lanes above = (floorHi + 1.0) - hi;
    const Lanes below = lo - floorHi;
    Lanes g = above < below ? above : below;
    g = hi >= 0.0 && hi <= 0x1p50 ? g : Lanes{};
    const Lanes magnitude = (d < 0.0 ? -d : d) + halfWidth + xc + b;
    std::memcpy(gap + i, &g, sizeof g);
    std::memcpy(scale + i, &magnitude, sizeof magnitude);
  }
  return ((open[0] | open[1]) | (open[2] | open[3])) == 0;
}

TARNEK_AVX2_CLONES bool PlaceScoreBoundaries(double b, double c0, double perU, double bandPerU, double* lambda,
                                             double* gap, double* scale) {
  return PlaceBoundaryLanes<InnerTerm::Score>(b, c0, perU, bandPerU, lambda, gap, scale);
}
TARNEK_AVX2_CLONES bool PlaceHessBoundaries(double b, double c0, double perU, double bandPerU, double* lambda,
                                            double* gap, double* scale) {
  return PlaceBoundaryLanes<InnerTerm::Hess>(b, c0, perU, bandPerU, lambda, gap, scale);
}

template <InnerTerm kind>
double EstimateBlock(double b, double base, double perU, double& first, uint64_t& total, double* k,
                     double* distance) {
  return kind == InnerTerm::Score ? EstimateScoreBlock(b, base, perU, first, total, k, distance)
                                  : EstimateHessBlock(b, base, perU, first, total, k, distance);
}
template <InnerTerm kind>
bool PlaceBoundaries(double b, double c0, double perU, double bandPerU, double* lambda, double* gap,
                     double* scale) {
  return kind == InnerTerm::Score ? PlaceScoreBoundaries(b, c0, perU, bandPerU, lambda, gap, scale)
                                  : PlaceHessBoundaries(b, c0, perU, bandPerU, lambda, gap, scale);
}

// --- The memo of the last sweep's blocks (see InnerSumMemo) --------------------

// One kind of term's blocks: the last sweep's, read in ascending order, and
// this sweep's, written in order (no Next: none kept).
struct MemoCursor {
  const std::vector<InnerSumMemo::Block>* Seen = nullptr;
  size_t At = 0;
  std::vector<InnerSumMemo::Block>* Next = nullptr;
  const std::vector<InnerSumMemo::RunBlock>* RunsSeen = nullptr;
  size_t RunsAt = 0;
  std::vector<InnerSumMemo::RunBlock>* RunsNext = nullptr;
};

// How far a block's placements lie from changing (see InnerSumMemo::RunBlock).
struct Certificate {
  double Gap = 1.0;
  double Scale = 0.0;
  bool Placed = true;  // false once an end was searched for
};

// The gap of one placement: lo and hi the band, lambda = floor(hi) + 1.
inline double GapOf(double lo, double hi, double lambda) {
  return hi >= 0.0 && hi <= 0x1p50 ? std::min(lambda - hi, lo - (lambda - 1.0)) : 0.0;
}

inline void Certify(Certificate& cert, double gap, double scale) {
  cert.Gap = std::min(cert.Gap, gap);
  cert.Scale = std::max(cert.Scale, scale);
}

constexpr int64_t kMergedTerms = 16 * kBlock;

// True when the block's terms, seen for e.B, still lie within 1/2 - 1/4096
// of their integers for b: D < slack (see InnerSumMemo). Every operation
// below is within 2^-53 of its value, which the factor 1 + 2^-10 covers; a
// quotient that underflows belongs to a D far below any slack (> 2^-54).
template <InnerTerm kind>
bool StillHolds(const InnerSumMemo::Block& e, double b) {
  if (!(b <= 2.0 * e.B && e.B <= 2.0 * b)) return false;
  const double delta = std::fabs(b - e.B);  // exact: within a factor 2 of each other
  const double x0 = std::min(b, e.B) + static_cast<double>(e.First);
  if (!(delta <= x0 * 0x1p-20)) return false;
  const double perU = 1.0 / e.Ulp;  // exactly: a power of two
  const double z = kind == InnerTerm::Score ? perU / x0 : (perU / x0) / x0;
  const double p = kind == InnerTerm::Score ? 1.0 : 2.0;
  const double moved = z * (p * delta / x0 + 0x1p-58) * (1.0 + 0x1p-10);
  return moved < e.Slack;
}

// Notes a block of terms taken whole: within 1/2 - 1/4096 - slack of their
// integers, slack = settled - worst less 2^-50, since the estimates are within
// first 2^-49 of the terms and settled leaves first 2^-48 for that (the
// roundings of settled - worst are below 2^-53).
void NoteBlock(MemoCursor& memo, int64_t l, uint64_t total, double b, double u, double settled, double worst) {
  const double slack = (settled - worst) - 0x1p-50;
  if (memo.Next == nullptr || !(slack > 0.0)) return;
  std::vector<InnerSumMemo::Block>& next = *memo.Next;
  if (!next.empty()) {
    InnerSumMemo::Block& last = next.back();
    if (last.End == l && last.B == b && last.Ulp == u && last.End - last.First < kMergedTerms) {
      last.End += kBlock;
      last.Total += total;  // below 2^53: the sum stays in its binade
      last.Slack = std::min(last.Slack, slack);
      return;
    }
  }
  next.push_back({l, l + kBlock, total, b, u, slack});
}

// The last sweep's blocks from l, on the grid of ulp u, where they still hold
// for b and fit in the binade: adds them and returns true.
template <InnerTerm kind>
bool FromMemo(MemoCursor& memo, GridSum& sum, double b, int64_t& l, int64_t to, double u) {
  const std::vector<InnerSumMemo::Block>& seen = *memo.Seen;
  while (memo.At < seen.size() && seen[memo.At].First < l) ++memo.At;
  if (memo.At == seen.size()) return false;
  const InnerSumMemo::Block& e = seen[memo.At];
  if (e.First != l || e.End > to || e.Ulp != u || e.Total > kTop - sum.S || !StillHolds<kind>(e, b)) return false;
  sum.S += e.Total;
  l = e.End;
  if (memo.Next != nullptr) memo.Next->push_back(e);
  ++memo.At;
  return true;
}

// Adds terms while the runs are shorter than `crossover`: a block of terms
// at once where every estimate settles its term's k and the block fits in
// the binade, else term by term. False where it stopped at a term that the
// grid cannot take (too large, or beyond the binade's top): l is that term.
template <InnerTerm kind>
bool ShortRuns(GridSum& sum, double b, int64_t& l, int64_t to, const Grid& grid, double crossover,
               MemoCursor* memo) {
  double k[kBlock];
  double distance[kBlock];
  while (l < to && !RunsAreLong<kind>(grid.u, b, l, crossover)) {
    if (to - l >= kBlock && l <= kLargestIndex) {
      if (memo != nullptr && FromMemo<kind>(*memo, sum, b, l, to, grid.u)) continue;
      double first = 0.0;
      uint64_t total = 0;
      const double worst = EstimateBlock<kind>(b, static_cast<double>(l), grid.perU, first, total, k, distance);
      // Within 1/4096 of a half-integer a term may be a tie; the estimates
      // are within first 2^-49 of their terms.
      const double settled = 0.5 - (0x1p-12 + first * 0x1p-48);
      if (first < 0x1p36 && worst < settled && total <= kTop - sum.S) {
        sum.S += total;
        if (memo != nullptr) NoteBlock(*memo, l, total, b, grid.u, settled, worst);
        l += kBlock;
        continue;
      }
      // Term by term: the estimate's k where it settles it, else the term's
      // grid units; to the binade's top if need be.
      for (int i = 0; i < kBlock; ++i, ++l) {
        if (first < 0x1p36 && distance[i] < settled) {
          const auto ki = static_cast<uint64_t>(k[i]);
          if (sum.S + ki > kTop) return false;
          sum.S += ki;
        } else if (!sum.AddUnits(GridUnits<kind>(b, l, grid))) {
          return false;
        }
      }
      continue;
    }
    if (!sum.AddUnits(GridUnits<kind>(b, l, grid))) return false;
    ++l;
  }
  return true;
}

// --- Long runs: boundary by boundary -------------------------------------------

// The same for one boundary j (c = j - 1/2), or -1.
template <InnerTerm kind>
double PlaceBoundary(double b, double c, double perU, double bandPerU, Certificate* cert = nullptr) {
  const double q = perU / c;
  const double xc = kind == InnerTerm::Score ? q : std::sqrt(q);
  const double d = xc - b;
  const double band = kind == InnerTerm::Score ? xc * (xc * bandPerU) : xc * (xc * (xc * bandPerU));
  const double halfWidth = band + (xc + b) * 0x1p-50;
  const double lo = d - halfWidth;
  const double hi = std::min(std::max(d + halfWidth, -1.0), 0x1p51);
  const double floorHi = std::floor(hi);
  if (!(floorHi < lo)) return -1.0;
  if (cert != nullptr) Certify(*cert, GapOf(lo, hi, floorHi + 1.0), std::fabs(d) + halfWidth + xc + b);
  return floorHi + 1.0;
}

// The first l' in [l, to) whose term is at most lb grid units: placed from
// the estimate where no l lies within its error of the edge (the same
// placement as a run boundary's, with no tie band), else searched for.
template <InnerTerm kind>
int64_t EdgeAt(double b, uint64_t lb, const Grid& grid, int64_t l, int64_t to, Certificate* cert = nullptr) {
  if (l <= kLargestIndex && to <= kLargestIndex) {
    const double placed = PlaceBoundary<kind>(b, (static_cast<double>(lb) + 0.5) / 2048.0, grid.perU, 0.0, cert);
    if (placed >= 0.0) return std::clamp(static_cast<int64_t>(placed), l, to);
  }
  if (cert != nullptr) cert->Placed = false;
  return FirstNotAbove<kind>(b, lb, grid, l, to);
}

// A block of boundaries j .. j - 63 from l as the loop boundary by boundary
// below takes it, for a sum of either parity and no binade top: the runs
// placed in lambda (the others' ends, and their ties', placed or searched
// for on their own), what they add from an even S (Total[0]) and from an
// odd one (Total[1]), where the block ends, and its certificate. False where
// a total would not fit in 64 bits.
struct Walk {
  int64_t End = 0;
  uint64_t Total[2] = {0, 0};
  Certificate Cert;
};

template <InnerTerm kind>
bool WalkBoundaries(double b, uint64_t j, int64_t l, int64_t to, const Grid& grid, const double* lambda,
                    const double* gap, const double* scale, Walk& walk) {
  uint64_t S[2] = {0, 1};
  bool fits = true;
  auto addRun = [&](uint64_t k, int64_t n) {
    uint64_t added = 0;
    fits &= !__builtin_mul_overflow(k, static_cast<uint64_t>(n), &added);
    for (uint64_t& s : S) fits &= !__builtin_add_overflow(s, added, &s);
  };
  for (int i = 0; i < kBlock && l < to && fits; ++i) {
    const uint64_t jj = j - static_cast<uint64_t>(i);
    if (lambda[i] >= 0.0) {
      const int64_t end = std::clamp(static_cast<int64_t>(lambda[i]), l, to);
      addRun(jj, end - l);
      l = end;
      Certify(walk.Cert, gap[i], scale[i]);
      continue;
    }
    const int64_t runEnd = EdgeAt<kind>(b, 2048 * jj - 1024, grid, l, to, &walk.Cert);
    addRun(jj, runEnd - l);
    l = runEnd;
    const int64_t tiesEnd = EdgeAt<kind>(b, 2048 * jj - 1025, grid, l, to, &walk.Cert);
    if (l == tiesEnd) continue;
    for (uint64_t& s : S) fits &= !__builtin_add_overflow(s, (jj - 1) + ((s + jj - 1) & 1), &s);  // as AddUnits
    ++l;
    addRun((jj - 1) + ((jj - 1) & 1), tiesEnd - l);
    l = tiesEnd;
  }
  walk.End = l;
  walk.Total[0] = S[0];
  walk.Total[1] = S[1] - 1;
  return fits;
}

// True when the block's placements give the same integers for b (see
// InnerSumMemo::RunBlock); every operation below is within 2^-53 of its value.
bool StillPlaced(const InnerSumMemo::RunBlock& e, double b) {
  if (!(b <= 2.0 * e.B && e.B <= 2.0 * b)) return false;
  const double delta = std::fabs(b - e.B);  // exact: within a factor 2 of each other
  const double moved = delta + 0x1p-49 * (e.Scale + delta) * (1.0 + 0x1p-40) + 0x1p-50;  // 2^-50: Gap's rounding
  return moved * (1.0 + 0x1p-40) < e.Gap;
}

// The last sweep's block of boundaries from l (j, on the grid of ulp u)
// where it still holds for b and fits: adds it and returns true.
bool RunsFromMemo(MemoCursor& memo, GridSum& sum, double b, int64_t& l, uint64_t j, int64_t to, double u) {
  const std::vector<InnerSumMemo::RunBlock>& seen = *memo.RunsSeen;
  while (memo.RunsAt < seen.size() && seen[memo.RunsAt].First < l) ++memo.RunsAt;
  if (memo.RunsAt == seen.size()) return false;
  const InnerSumMemo::RunBlock& e = seen[memo.RunsAt];
  const uint64_t total = e.Total[sum.S & 1];
  if (e.First != l || e.J != j || e.Ulp != u || e.End > to || total > kTop - sum.S || !StillPlaced(e, b)) {
    return false;
  }
  sum.S += total;
  l = e.End;
  if (memo.RunsNext != nullptr) memo.RunsNext->push_back(e);
  ++memo.RunsAt;
  return true;
}

void NoteRuns(MemoCursor& memo, int64_t first, const Walk& walk, uint64_t j, double b, double u, int64_t to) {
  if (memo.RunsNext == nullptr || !walk.Cert.Placed || !(walk.Cert.Gap > 0.0) || walk.End >= to) return;
  memo.RunsNext->push_back(
      {first, walk.End, j, {walk.Total[0], walk.Total[1]}, b, u, walk.Cert.Gap, walk.Cert.Scale});
}

// The ties between j - 1 and j from l on (m = 2048 j - 1024), given that no
// later term is above them: the first adds whichever of j - 1 and j makes S
// even; S is even then, so each later one adds the even one of j - 1 and j.
// False at the binade's top.
template <InnerTerm kind>
bool TiesBelow(GridSum& sum, double b, uint64_t j, int64_t& l, int64_t to, const Grid& grid) {
  const int64_t tiesEnd = EdgeAt<kind>(b, 2048 * j - 1025, grid, l, to);
  if (l == tiesEnd) return true;
  if (!sum.AddUnits(2048 * j - 1024)) return false;
  ++l;
  const uint64_t even = (j - 1) + ((j - 1) & 1);
  l += sum.AddRun(even, tiesEnd - l);
  return l == tiesEnd;
}

// Boundary j where it was not placed at once: the run of j from l, then the
// ties between j - 1 and j, each end placed on its own; false at the
// binade's top.
template <InnerTerm kind>
bool ExactBoundary(GridSum& sum, double b, uint64_t j, int64_t& l, int64_t to, const Grid& grid) {
  const int64_t runEnd = EdgeAt<kind>(b, 2048 * j - 1024, grid, l, to);
  l += sum.AddRun(j, runEnd - l);
  return l == runEnd && TiesBelow<kind>(sum, b, j, l, to, grid);
}

// Adds terms a run at a time: from the term at l, which adds j ulps, the
// boundaries j, j - 1, ... a block at a time, placed from estimates where
// they can be and with the real arithmetic where not. Returns true at `to`
// or where no later term adds anything; false at a term the grid cannot
// take, l being that term.
template <InnerTerm kind>
bool LongRuns(GridSum& sum, double b, int64_t& l, int64_t to, const Grid& grid, MemoCursor* memo) {
  // The band's half-width over xc: 1/4096 ulp in the term is 1/(4096 c) of
  // xc for the score, half that for the Hessian; 1% more covers the
  // roundings of xc, of the band and of the terms (2^-62 relative).
  const double bandPerU = (kind == InnerTerm::Score ? 1.01 : 0.51) / 4096.0 * grid.u;
  double lambda[kBlock];
  double gap[kBlock];
  double scale[kBlock];
  while (l < to) {
    const uint64_t m = GridUnits<kind>(b, l, grid);
    if (m == kTooLarge) return false;
    if (!RunsAreLong<kind>(grid.u, b, l, 1.0)) {  // runs shorter than a term: one term
      if (!sum.AddUnits(m)) return false;
      ++l;
      continue;
    }
    if (m % 2048 == 1024) {  // ties, and no later term above them
      if (!TiesBelow<kind>(sum, b, m / 2048 + 1, l, to, grid)) return false;
      continue;
    }
    const uint64_t j = (m + 1024) / 2048;
    if (j == 0) {  // m < 1024 from here on: no term adds anything, none is a tie
      l = to;
      return true;
    }
    // Every term from l on is at most m <= 2048 j + 1023: at most j ulps.
    const int n = static_cast<int>(std::min<uint64_t>(j, kBlock));
    const bool inRange = l <= kLargestIndex && to <= kLargestIndex;
    if (n == kBlock && inRange) {
      if (memo != nullptr && RunsFromMemo(*memo, sum, b, l, j, to, grid.u)) continue;
      const bool keep = memo != nullptr && memo->RunsNext != nullptr;
      if (PlaceBoundaries<kind>(b, static_cast<double>(j) - 0.5, grid.perU, bandPerU, lambda, keep ? gap : nullptr,
                                scale)) {
        uint64_t added = 0;
        bool fits = true;  // no step of the sum overflows
        int64_t at = l;
        for (int i = 0; i < kBlock; ++i) {
          const int64_t end = std::clamp(static_cast<int64_t>(lambda[i]), at, to);
          uint64_t run = 0;
          fits &= !__builtin_mul_overflow(j - static_cast<uint64_t>(i), static_cast<uint64_t>(end - at), &run);
          fits &= !__builtin_add_overflow(added, run, &added);
          at = end;
        }
        if (fits && added <= kTop - sum.S) {
          if (keep) {
            Walk walk;
            walk.End = at;
            walk.Total[0] = walk.Total[1] = added;  // no ties
            for (int i = 0; i < kBlock; ++i) Certify(walk.Cert, gap[i], scale[i]);
            NoteRuns(*memo, l, walk, j, b, grid.u, to);
          }
          sum.S += added;
          l = at;
          continue;
        }
      } else if (keep) {
        // The block as the loop below takes it, at once where it fits.
        Walk walk;
        if (WalkBoundaries<kind>(b, j, l, to, grid, lambda, gap, scale, walk) &&
            walk.Total[sum.S & 1] <= kTop - sum.S) {
          NoteRuns(*memo, l, walk, j, b, grid.u, to);
          sum.S += walk.Total[sum.S & 1];
          l = walk.End;
          continue;
        }
      }
    } else {
      for (int i = 0; i < n; ++i) {
        lambda[i] = inRange ? PlaceBoundary<kind>(b, static_cast<double>(j - static_cast<uint64_t>(i)) - 0.5,
                                                  grid.perU, bandPerU)
                            : -1.0;
      }
    }
    // Boundary by boundary, to the binade's top if need be.
    for (int i = 0; i < n && l < to; ++i) {
      const uint64_t jj = j - static_cast<uint64_t>(i);
      if (lambda[i] >= 0.0) {
        const int64_t end = std::clamp(static_cast<int64_t>(lambda[i]), l, to);
        l += sum.AddRun(jj, end - l);
        if (l < end) return false;
      } else if (!ExactBoundary<kind>(sum, b, jj, l, to, grid)) {
        return false;
      }
    }
  }
  return true;
}

// Adds terms on the grid while the sum stays in its binade: block by block
// while runs are short, then run by run. Stops at `to`, at the binade's top
// or at a term too large for the grid; the caller adds that one with the
// real arithmetic.
template <InnerTerm kind>
void AdvanceOnGrid(double& sum, double b, int64_t& l, int64_t to, double crossover, MemoCursor* memo) {
  const Grid grid = GridOf(sum);
  if (!grid.Usable) return;
  GridSum s{grid.S};
  if (ShortRuns<kind>(s, b, l, to, grid, crossover, memo)) LongRuns<kind>(s, b, l, to, grid, memo);
  sum = static_cast<double>(s.S) * grid.u;  // exact: S < 2^53, u a power of two
}

// True when the grid can take the term at l: the sum is usable and the
// term lies below the grid limit.
template <InnerTerm kind>
bool OnGrid(double sum, double b, int64_t l) {
  const Grid grid = GridOf(sum);
  return grid.Usable && EstimatedTerm<kind>(b, l) * grid.perG < kGridLimit;
}

// n >= 1 terms that are all q, added binade by binade. The step f(s) =
// RN53(RN64(s + q)) is the same map each time: a fixed point stays one, and
// within a binade [2^e, 2^(e+1)) each step adds the same number of ulps once
// one step has been taken there (see inner_sums.h).
double AdvanceConstant(double sum, Extended q, int64_t n) {
  while (n > 0) {
    const double s1 = AddTerm(sum, q);
    --n;
    if (s1 == sum || n == 0) return s1;
    const double s2 = AddTerm(s1, q);
    --n;
    if (s2 == s1 || n == 0 || std::ilogb(sum) != std::ilogb(s1) || std::ilogb(s1) != std::ilogb(s2)) {
      sum = s2;
      continue;
    }
    // sum, s1 and s2 lie in one binade of ulp u: from s1 on each step adds
    // K = (s2 - s1)/u ulps while the sum stays there.
    const int e = std::ilogb(s1);
    const double u = std::ldexp(1.0, std::max(e, -1022) - 52);
    const auto S = static_cast<uint64_t>(s2 / u);  // exact
    const uint64_t top = e >= -1022 ? kTop : (uint64_t{1} << (e + 1075)) - 1;  // the binade's largest S
    const auto K = static_cast<uint64_t>((s2 - s1) / u);
    const auto steps = static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(n), (top - S) / K));
    sum = static_cast<double>(S + K * static_cast<uint64_t>(steps)) * u;  // exact: within the binade
    n -= steps;
  }
  return sum;
}

template <InnerTerm kind>
double Advance(double sum, double b, int64_t from, int64_t to, double crossover, MemoCursor* memo = nullptr) {
  if (from >= to) return sum;
  // Terms never rise with l: the first equal to the last, all are equal.
  const Extended first = InnerSumTerm(kind, b, from);
  if (first == InnerSumTerm(kind, b, to - 1)) return AdvanceConstant(sum, first, to - from);
  int64_t l = from;
  while (l < to) {
    // Every term is finite and positive: an infinite sum stays so, and from
    // a sum of 0 that a term leaves 0, no later (smaller) term moves it.
    if (std::isinf(sum)) return sum;
    if (sum == 0.0) {
      sum = AddTerm(sum, InnerSumTerm(kind, b, l));
      ++l;
      if (sum == 0.0) return sum;
      continue;
    }
    if (!OnGrid<kind>(sum, b, l)) {
      for (const int64_t end = std::min(to, l + kPiece); l < end; ++l) sum = AddTerm(sum, InnerSumTerm(kind, b, l));
      continue;
    }
    const int64_t before = l;
    AdvanceOnGrid<kind>(sum, b, l, to, crossover, memo);
    if (l == before) {  // the binade's top, or a large term: one real step
      sum = AddTerm(sum, InnerSumTerm(kind, b, l));
      ++l;
    }
  }
  return sum;
}

// True when a sum is better left to AdvanceInnerSum than summed term by term.
template <InnerTerm kind>
bool FasterAlone(double sum, double b, int64_t l) {
  return sum == 0.0 || std::isinf(sum) || OnGrid<kind>(sum, b, l);
}

}  // namespace

double AdvanceInnerSum(InnerTerm kind, double sum, double b, int64_t from, int64_t to, double crossover) {
  return kind == InnerTerm::Score ? Advance<InnerTerm::Score>(sum, b, from, to, crossover)
                                  : Advance<InnerTerm::Hess>(sum, b, from, to, crossover);
}

void SweepInnerSums(std::span<const int32_t> counts, double b, std::span<double> score, std::span<double> hess,
                    double crossover, InnerSumMemo* memo) {
  MemoCursor cursors[2];
  if (memo != nullptr) {
    const bool keep = MemoKeeps(*memo, b);
    memo->LastB = b;
    for (int k = 0; k < 2; ++k) {
      memo->Next[k].clear();
      memo->RunsNext[k].clear();
      cursors[k] = {&memo->Seen[k], 0, keep ? &memo->Next[k] : nullptr, &memo->RunsSeen[k], 0,
                    keep ? &memo->RunsNext[k] : nullptr};
    }
  }
  double s = 0.0;
  double h = 0.0;
  int64_t l = 0;
  Extended lx = 0.0L;    // l as an extended value, counted exactly alongside
  bool together = true;  // both sums term by term with the real arithmetic, in one loop
  int64_t nextLook = kPiece;  // where the other paths are looked at next: the usual counts never get there
  for (size_t k = 0; k < counts.size(); ++k) {
    const int64_t count = counts[k];
    while (together && l < count) {
      for (const int64_t end = std::min<int64_t>(count, nextLook); l < end; ++l, lx += 1.0L) {
        const Extended bl = Extended(b) + lx;
        s = static_cast<double>(Extended(s) + 1.0L / bl);
        h = static_cast<double>(Extended(h) + 1.0L / (bl * bl));
      }
      if (l == nextLook) {
        // Terms equal from here to the largest count go binade by binade.
        const int64_t last = counts.back() - 1;
        together = !FasterAlone<InnerTerm::Score>(s, b, l) && !FasterAlone<InnerTerm::Hess>(h, b, l) &&
                   !(l < last && InnerSumTerm(InnerTerm::Score, b, l) == InnerSumTerm(InnerTerm::Score, b, last));
        nextLook += kPiece;
      }
    }
    if (l < count) {
      s = Advance<InnerTerm::Score>(s, b, l, count, crossover, memo != nullptr ? &cursors[0] : nullptr);
      h = Advance<InnerTerm::Hess>(h, b, l, count, crossover, memo != nullptr ? &cursors[1] : nullptr);
      l = count;
      lx = Extended(l);
    }
    score[k] = s;
    hess[k] = h;
  }
  if (memo != nullptr) {
    for (int k = 0; k < 2; ++k) {
      std::swap(memo->Seen[k], memo->Next[k]);
      std::swap(memo->RunsSeen[k], memo->RunsNext[k]);
    }
  }
}

}  // namespace tarnek
