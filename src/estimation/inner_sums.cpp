// Inner sums term by term, or on the grid of the sum's binade, term by term
// or run by run; see inner_sums.h for why all give the same bits.
#include "estimation/inner_sums.h"

#include <algorithm>
#include <bit>
#include <cmath>  // std::sqrt (correctly rounded), std::fabs
#include <limits>

namespace tarnek {

namespace {

using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64, "the inner sums need the x87 extended format");

// Terms are added with the real arithmetic in pieces of this many before
// the next look at whether the grid can take over.
constexpr int64_t kPiece = 4096;

// On the grid, a term is handled in grid units m < 2^40: then its double
// estimate, good to 2^-50 relative, still tells m and the run bounds apart
// in all but rare cases, which are decided with the exact term.
constexpr double kGridLimit = 0x1p40;
constexpr double kEstimateError = 0x1p-50;

constexpr uint64_t kTooLarge = ~uint64_t{0};
constexpr uint64_t kTop = (uint64_t{1} << 53) - 1;  // the largest S of a binade

// The term for l exactly as the fit forms it.
inline Extended ExactTerm(InnerTerm kind, double b, int64_t l) {
  const Extended bl = Extended(b) + Extended(l);
  return kind == InnerTerm::Score ? 1.0L / bl : 1.0L / (bl * bl);
}

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
  grid.Usable = grid.perG < std::numeric_limits<double>::infinity();
  return grid;
}

// m(l) computed with the real arithmetic: the term in grid units rounded to
// an integer, ties to even; kTooLarge from 2^62 on.
uint64_t ExactGridUnits(InnerTerm kind, double b, int64_t l, double g) {
  const Extended x = ExactTerm(kind, b, l) / Extended(g);  // exact: g is a power of two
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

// Adds terms on the grid while the sum stays in its binade: a term that is
// no tie adds k = m/2048 rounded ulps; a tie adds whichever of the two
// neighbours makes the sum even; where runs are long, a whole run at once.
// Stops at `to`, at the binade's top or at a term too large for the grid;
// the caller adds that one with the real arithmetic.
template <InnerTerm kind>
void AdvanceOnGrid(double& sum, double b, int64_t& l, int64_t to, double crossover) {
  const Grid grid = GridOf(sum);
  if (!grid.Usable) return;
  uint64_t S = grid.S;
  // Adds the term at l on the grid; false, with nothing added, at a term too
  // large for the grid or at the binade's top.
  const auto addTerm = [&](uint64_t m) {
    const bool tie = m % 2048 == 1024;
    const uint64_t k = tie ? (m - 1024) / 2048 + ((S + (m - 1024) / 2048) & 1) : (m + 1024) / 2048;
    if (m == kTooLarge || S + k > kTop) return false;
    S += k;
    ++l;
    return true;
  };
  // Runs only grow longer as l grows: until they are long, the terms are
  // added one by one, a stretch at a time between looks.
  constexpr int64_t kStretch = 64;
  while (l < to && !RunsAreLong<kind>(grid.u, b, l, crossover)) {
    for (const int64_t end = std::min(to, l + kStretch); l < end;) {
      if (!addTerm(GridUnits<kind>(b, l, grid))) {
        sum = static_cast<double>(S) * grid.u;
        return;
      }
    }
  }
  uint64_t k = 0;
  bool known = false;  // the term at l is known to be no tie and to add k ulps
  while (l < to) {
    if (!known) {
      const uint64_t m = GridUnits<kind>(b, l, grid);
      if (m == kTooLarge || m % 2048 == 1024) {  // a tie: one term
        if (!addTerm(m)) break;
        continue;
      }
      k = (m + 1024) / 2048;
    }
    known = false;
    if (S + k > kTop) break;
    if (k == 0) {  // no later term reaches half an ulp: the sum is final
      l = to;
      break;
    }
    const uint64_t lb = 2048 * k - 1024;
    const int64_t last = std::min(to - 1, l + static_cast<int64_t>((kTop - S) / k) - 1);
    const int64_t end = RunEnd<kind>(b, lb, grid, l, last);
    S += static_cast<uint64_t>(end - l + 1) * k;
    l = end + 1;
    // The next term lies below this run's floor; where runs are long it
    // mostly lies strictly inside the next run down, k - 1, which two
    // products tell without the term itself: above that run's floor, and
    // below the tie at this run's floor.
    if (l < to && k >= 2 && AboveFloor<kind>(b, l, (static_cast<double>(lb - 2048) + 0.5) * grid.g, lb - 2048, grid) &&
        !AboveFloor<kind>(b, l, (static_cast<double>(lb - 1) + 0.5) * grid.g, lb - 1, grid)) {
      k -= 1;
      known = true;
    }
  }
  sum = static_cast<double>(S) * grid.u;  // exact: S < 2^53, u a power of two
}

// True when the grid can take the term at l: the sum is usable and the
// term lies below the grid limit.
template <InnerTerm kind>
bool OnGrid(double sum, double b, int64_t l) {
  const Grid grid = GridOf(sum);
  return grid.Usable && EstimatedTerm<kind>(b, l) * grid.perG < kGridLimit;
}

template <InnerTerm kind>
double Advance(double sum, double b, int64_t from, int64_t to, double crossover) {
  int64_t l = from;
  while (l < to) {
    if (!OnGrid<kind>(sum, b, l)) {
      for (const int64_t end = std::min(to, l + kPiece); l < end; ++l) sum = AddTerm(sum, ExactTerm(kind, b, l));
      continue;
    }
    const int64_t before = l;
    AdvanceOnGrid<kind>(sum, b, l, to, crossover);
    if (l == before) {  // the binade's top, or a large term: one real step
      sum = AddTerm(sum, ExactTerm(kind, b, l));
      ++l;
    }
  }
  return sum;
}

}  // namespace

double AdvanceInnerSum(InnerTerm kind, double sum, double b, int64_t from, int64_t to, double crossover) {
  return kind == InnerTerm::Score ? Advance<InnerTerm::Score>(sum, b, from, to, crossover)
                                  : Advance<InnerTerm::Hess>(sum, b, from, to, crossover);
}

void SweepInnerSums(std::span<const int32_t> counts, double b, std::span<double> score, std::span<double> hess,
                    double crossover) {
  double s = 0.0;
  double h = 0.0;
  int64_t l = 0;
  Extended lx = 0.0L;    // l as an extended value, counted exactly alongside
  bool together = true;  // both sums term by term with the real arithmetic, in one loop
  int64_t nextLook = kPiece;  // where the grid is looked at next: the usual counts never get there
  for (size_t k = 0; k < counts.size(); ++k) {
    const int64_t count = counts[k];
    while (together && l < count) {
      for (const int64_t end = std::min<int64_t>(count, nextLook); l < end; ++l, lx += 1.0L) {
        const Extended bl = Extended(b) + lx;
        s = static_cast<double>(Extended(s) + 1.0L / bl);
        h = static_cast<double>(Extended(h) + 1.0L / (bl * bl));
      }
      if (l == nextLook) {
        together = !OnGrid<InnerTerm::Score>(s, b, l) && !OnGrid<InnerTerm::Hess>(h, b, l);
        nextLook += kPiece;
      }
    }
    if (l < count) {
      s = AdvanceInnerSum(InnerTerm::Score, s, b, l, count, crossover);
      h = AdvanceInnerSum(InnerTerm::Hess, h, b, l, count, crossover);
      l = count;
      lx = Extended(l);
    }
    score[k] = s;
    hess[k] = h;
  }
}

}  // namespace tarnek
