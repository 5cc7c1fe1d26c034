// Long stretches of the inner sums cut into pieces that run at once, and
// joined in order; see shared_sums.h for why the bits are those of the sum
// taken in order.
#include "estimation/shared_sums.h"

#include <algorithm>
#include <array>
#include <cmath>  // std::ilogb, std::ldexp, std::log
#include <cstddef>
#include <tuple>
#include <utility>  // std::pair
#include <vector>

namespace tarnek {

namespace {

using Extended = long double;

constexpr uint64_t kTop = (uint64_t{1} << 53) - 1;  // the largest mantissa S of a binade
constexpr int kLowestBinade = -900;                  // lower sums are left to the stretch's thread
constexpr double kMargin = 0x1p-14;                  // around a binade's edges, relative
constexpr int64_t kFirstCheckpoint = 4096;           // terms from a piece's start; then 4 times as far each
constexpr int kExactHead = 256;                      // terms foreseen exactly

// The sum foreseen at l, from `sum` at `from`: the first terms exactly, the
// rest as the integral over [l0 - 1/2, l - 1/2] (the midpoint rule, off by at
// most 1/(24 (b + 255)^2) for the score, less for the Hessian).
struct Foresight {
  InnerTerm Kind;
  double B;
  int64_t From;
  std::array<Extended, kExactHead + 1> Head;  // Head[i]: the sum at From + i
  int64_t HeadEnd;

  Foresight(InnerTerm kind, double sum, double b, int64_t from, int64_t to) : Kind(kind), B(b), From(from) {
    HeadEnd = std::min<int64_t>(to, from + kExactHead);
    Head[0] = sum;
    for (int64_t l = from; l < HeadEnd; ++l) Head[l - from + 1] = Head[l - from] + InnerSumTerm(kind, b, l);
  }

  Extended At(int64_t l) const {
    if (l <= HeadEnd) return Head[l - From];
    const Extended lo = Extended(B) + Extended(HeadEnd) - 0.5L;
    const Extended hi = Extended(B) + Extended(l) - 0.5L;
    const Extended rest = Kind == InnerTerm::Score ? std::log(hi / lo) : 1.0L / lo - 1.0L / hi;
    return Head[HeadEnd - From] + rest;
  }

  // The first l in [lo, hi] with At(l) >= x (hi where none): At never falls.
  int64_t FirstReaching(Extended x, int64_t lo, int64_t hi) const {
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      if (At(mid) >= x) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    return lo;
  }
};

// A piece of a stretch, and how it is summed.
enum class How {
  First,   // from the stretch's own first sum, on any thread
  Guess,   // from F = 2^Binade, on any thread; joined in order
  InOrder  // from the sum before it, when the pieces are joined
};

struct Piece {
  InnerTerm Kind = InnerTerm::Score;
  int64_t Lo = 0;
  int64_t Hi = 0;
  How Way = How::InOrder;
  int Binade = 0;
  // Filled by the job. First: Result. Guess: the sums from F at the
  // checkpoints, the last at Hi; Fits false where one left F's binade.
  double Result = 0.0;
  std::vector<int64_t> At = {};
  std::vector<double> SumAt = {};
  bool Fits = true;
};

// Cuts [from, to) into pieces: the binades' margins in order, the rest in
// pieces of at most pieceTerms guessed from their binade.
void Plan(InnerTerm kind, double sum, double b, int64_t from, int64_t to, int64_t pieceTerms,
          std::vector<Piece>& pieces) {
  const Foresight ahead(kind, sum, b, from, to);
  // The margins: [first l at 2^e (1 - m), first l at 2^e (1 + m)), merged
  // where they meet.
  std::vector<std::pair<int64_t, int64_t>> margins;
  const Extended first = ahead.At(std::min(from + 1, to));
  const Extended last = ahead.At(to);
  if (first > 0.0L && std::isfinite(static_cast<double>(last))) {
    for (int e = std::max(std::ilogb(first), kLowestBinade); e <= std::ilogb(last) + 1; ++e) {
      const Extended edge = std::ldexp(1.0L, e);
      const int64_t lo = ahead.FirstReaching(edge * (1.0L - kMargin), from, to);
      const int64_t hi = ahead.FirstReaching(edge * (1.0L + kMargin), lo, to);
      if (lo == hi) continue;
      if (!margins.empty() && lo <= margins.back().second) {
        margins.back().second = std::max(margins.back().second, hi);
      } else {
        margins.emplace_back(lo, hi);
      }
    }
  }
  const auto guessed = [&](int64_t lo, int64_t hi) {
    for (int64_t at = lo; at < hi;) {
      const int64_t end = std::min(hi, at + pieceTerms);
      const double foreseen = static_cast<double>(ahead.At(at));
      const int e = foreseen > 0.0 ? std::ilogb(foreseen) : kLowestBinade - 1;
      const How way = e >= kLowestBinade && std::isfinite(foreseen) ? How::Guess : How::InOrder;
      pieces.push_back({.Kind = kind, .Lo = at, .Hi = end, .Way = way, .Binade = e});
      at = end;
    }
  };
  int64_t at = from;
  for (const auto& [lo, hi] : margins) {
    guessed(at, lo);
    pieces.push_back({.Kind = kind, .Lo = lo, .Hi = hi, .Way = How::InOrder});
    at = hi;
  }
  guessed(at, to);
}

// Sums a guessed piece from F = 2^e on the grid, keeping the sum at each
// checkpoint.
void SumGuessed(Piece& piece, double b) {
  const double start = std::ldexp(1.0, piece.Binade);
  double sum = start;
  int64_t l = piece.Lo;
  for (int64_t step = kFirstCheckpoint; l < piece.Hi; step *= 4) {
    const int64_t next = std::min(piece.Hi, l + step);
    sum = AdvanceInnerSum(piece.Kind, sum, b, l, next);
    l = next;
    piece.At.push_back(l);
    piece.SumAt.push_back(sum);
  }
  piece.Fits = std::ilogb(sum) == piece.Binade && std::isfinite(sum);
}

// The mantissa of a sum in binade e (the sum's ulp is 2^(e-52)).
uint64_t Mantissa(double sum, int e) { return static_cast<uint64_t>(std::ldexp(sum, 52 - e)); }

double FromMantissa(uint64_t s, int e) { return std::ldexp(static_cast<double>(s), e - 52); }

// The sum after a guessed piece, from the sum before it.
double Join(const Piece& piece, double sum, double b) {
  const int e = piece.Binade;
  if (!piece.Fits || !std::isfinite(sum) || !(sum > 0.0) || std::ilogb(sum) != e) {
    return AdvanceInnerSum(piece.Kind, sum, b, piece.Lo, piece.Hi);
  }
  // What the sum from F added, in ulps, up to each checkpoint.
  const auto added = [&](size_t k) { return Mantissa(piece.SumAt[k], e) - (uint64_t{1} << 52); };
  const size_t last = piece.At.size() - 1;
  uint64_t s = Mantissa(sum, e);
  if ((s & 1) == 0) {
    if (added(last) <= kTop - s) return FromMantissa(s + added(last), e);
    return AdvanceInnerSum(piece.Kind, sum, b, piece.Lo, piece.Hi);
  }
  // An odd sum: in order up to the checkpoint after the first tie.
  int64_t l = piece.Lo;
  for (size_t k = 0; k <= last; ++k) {
    sum = AdvanceInnerSum(piece.Kind, sum, b, l, piece.At[k]);
    l = piece.At[k];
    if (std::ilogb(sum) != e) break;  // left the binade: the rest in order
    s = Mantissa(sum, e);
    if ((s & 1) == (added(k) & 1)) {  // a tie came: the same steps from here
      const uint64_t rest = added(last) - added(k);
      if (rest <= kTop - s) return FromMantissa(s + rest, e);
      break;
    }
  }
  return AdvanceInnerSum(piece.Kind, sum, b, l, piece.Hi);
}

// Both sums over [from, to), from score and hess at `from`.
void ShareStretch(double& score, double& hess, double b, int64_t from, int64_t to, WorkerPool& pool,
                  int64_t pieceTerms) {
  std::vector<Piece> pieces;
  size_t firstHess = 0;
  for (const InnerTerm kind : {InnerTerm::Score, InnerTerm::Hess}) {
    const double sum = kind == InnerTerm::Score ? score : hess;
    const size_t begin = pieces.size();
    if (kind == InnerTerm::Hess) firstHess = begin;
    Plan(kind, sum, b, from, to, pieceTerms, pieces);
    pieces[begin].Way = How::First;
  }
  pool.Run(pieces.size(), 1, [&](size_t i, size_t, int) {
    Piece& piece = pieces[i];
    if (piece.Way == How::First) {
      piece.Result = AdvanceInnerSum(piece.Kind, piece.Kind == InnerTerm::Score ? score : hess, b, piece.Lo, piece.Hi);
    } else if (piece.Way == How::Guess) {
      SumGuessed(piece, b);
    }
  });
  for (const auto& [begin, end, sum] : {std::tuple{size_t{0}, firstHess, &score},
                                        std::tuple{firstHess, pieces.size(), &hess}}) {
    double s = pieces[begin].Result;
    for (size_t i = begin + 1; i < end; ++i) {
      const Piece& piece = pieces[i];
      s = piece.Way == How::Guess ? Join(piece, s, b) : AdvanceInnerSum(piece.Kind, s, b, piece.Lo, piece.Hi);
    }
    *sum = s;
  }
}

}  // namespace

void SweepInnerSumsShared(std::span<const int32_t> counts, double b, std::span<double> score,
                          std::span<double> hess, InnerSumMemo& memo, WorkerPool* pool, int64_t shareFrom,
                          int64_t pieceTerms) {
  // The counts up to the first long stretch in order, as SweepInnerSums
  // sums them (which also sets the memo as a sweep at b that keeps nothing).
  size_t k = 0;
  int64_t l = 0;
  // Where b is beyond 2^40 a sweep takes a few milliseconds alone.
  if (pool != nullptr && pool->Threads() > 1 && !MemoKeeps(memo, b) && b < 0x1p40) {
    while (k < counts.size() && counts[k] - l < shareFrom) l = counts[k++];
  } else {
    k = counts.size();
  }
  SweepInnerSums(counts.first(k), b, score.first(k), hess.first(k), kInnerSumCrossover, &memo);
  if (k == counts.size()) return;
  double s = k > 0 ? score[k - 1] : 0.0;
  double h = k > 0 ? hess[k - 1] : 0.0;
  for (; k < counts.size(); ++k) {
    const int64_t count = counts[k];
    if (count - l >= shareFrom) {
      const int64_t piece = pieceTerms > 0 ? pieceTerms
                                           : std::max<int64_t>(int64_t{1} << 16, (count - l) / (16 * pool->Threads()));
      ShareStretch(s, h, b, l, count, *pool, piece);
    } else {
      s = AdvanceInnerSum(InnerTerm::Score, s, b, l, count);
      h = AdvanceInnerSum(InnerTerm::Hess, h, b, l, count);
    }
    score[k] = s;
    hess[k] = h;
    l = count;
  }
}

}  // namespace tarnek
