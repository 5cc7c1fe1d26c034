// The reduction table and the accurate path of NaturalLog; see
// natural_log.h for the method and the bounds.
//
// The accurate path works on unsigned fixed-point numbers: a vector of F + 1
// 64-bit limbs, least significant first, holding the value N / 2^(64 F) (the
// top limb is the integer part). With P = 64 F, one "unit" below is 2^-P.
// Products and quotients are truncated (rounded down), so each costs less
// than one unit; sums and differences are exact. The error of every step is
// counted in units, and the count is the bound the rounding decision uses.
#include "estimation/natural_log.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace tarnek::natural_log_internal {

const TableEntry kTable[kTableSize] = {
#include "estimation/natural_log_table.inc"
};

namespace {

using Limbs = std::vector<uint64_t>;
using u128 = UInt128;

bool IsZero(const Limbs& a) {
  for (uint64_t limb : a) {
    if (limb != 0) return false;
  }
  return true;
}

// a >= b, same sizes.
bool NotLess(const Limbs& a, const Limbs& b) {
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return true;
}

// a += b (no overflow out of the top limb by the callers' ranges).
void AddTo(Limbs& a, const Limbs& b) {
  u128 carry = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    carry += static_cast<u128>(a[i]) + b[i];
    a[i] = static_cast<uint64_t>(carry);
    carry >>= 64;
  }
}

// a -= b, a >= b.
void SubtractFrom(Limbs& a, const Limbs& b) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const uint64_t bi = b[i] + borrow;
    const uint64_t carryOut = (bi < borrow) || (a[i] < bi) ? 1 : 0;
    a[i] -= bi;
    borrow = carryOut;
  }
}

// a = floor(a b / 2^P) for fixed-point a, b whose product is below 2^64;
// `full` is working space, kept by the caller so that loops do not allocate.
void MultiplyBy(Limbs& a, const Limbs& b, Limbs& full) {
  const size_t n = a.size();  // F + 1
  full.assign(2 * n, 0);
  for (size_t i = 0; i < n; ++i) {
    u128 carry = 0;
    for (size_t k = 0; k < n; ++k) {
      carry += static_cast<u128>(a[i]) * b[k] + full[i + k];
      full[i + k] = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
    full[i + n] = static_cast<uint64_t>(carry);
  }
  std::copy(full.begin() + static_cast<std::ptrdiff_t>(n - 1), full.end() - 1, a.begin());
}

// a * k exactly (the callers keep it below 2^64 in the integer part).
void MultiplySmall(Limbs& a, uint64_t k) {
  u128 carry = 0;
  for (uint64_t& limb : a) {
    carry += static_cast<u128>(limb) * k;
    limb = static_cast<uint64_t>(carry);
    carry >>= 64;
  }
}

// floor(a / k), 1 <= k < 2^32: two 64-bit divisions per limb, on its halves.
void DivideSmall(Limbs& a, uint64_t k) {
  uint64_t remainder = 0;
  for (size_t i = a.size(); i-- > 0;) {
    const uint64_t high = (remainder << 32) | (a[i] >> 32);
    remainder = high % k;
    const uint64_t low = (remainder << 32) | (a[i] & 0xffffffffu);
    remainder = low % k;
    a[i] = ((high / k) << 32) | (low / k);
  }
}

// floor(a / 2^bits).
void ShiftRight(Limbs& a, int bits) {
  const size_t limbs = static_cast<size_t>(bits / 64);
  const int rest = bits % 64;
  for (size_t i = 0; i < a.size(); ++i) {
    const size_t from = i + limbs;
    uint64_t v = from < a.size() ? a[from] >> rest : 0;
    if (rest != 0 && from + 1 < a.size()) v |= a[from + 1] << (64 - rest);
    a[i] = v;
  }
}

// Bit `pos` of a (0 = least significant); 0 outside.
int Bit(const Limbs& a, long pos) {
  if (pos < 0 || pos >= static_cast<long>(64 * a.size())) return 0;
  return static_cast<int>((a[static_cast<size_t>(pos / 64)] >> (pos % 64)) & 1);
}

// Whether any bit below `pos` is set.
bool AnyBelow(const Limbs& a, long pos) {
  for (long i = 0; i < pos && i < static_cast<long>(64 * a.size()); ++i) {
    if (Bit(a, i) != 0) return true;
  }
  return false;
}

long double FromParts(uint64_t mantissa, int biasedExponent) {
  long double x = 0.0L;
  const auto signExponent = static_cast<uint16_t>(biasedExponent);
  std::memcpy(&x, &mantissa, sizeof mantissa);
  std::memcpy(reinterpret_cast<char*>(&x) + 8, &signExponent, sizeof signExponent);
  return x;
}

// a / 2^P (a > 0, at least 2^-16000) rounded to the nearest long double,
// ties to even.
long double RoundToLongDouble(const Limbs& a, int fractionLimbs) {
  long top = static_cast<long>(64 * a.size()) - 1;
  while (Bit(a, top) == 0) --top;
  uint64_t mantissa = 0;
  for (long i = 0; i < 64; ++i) mantissa |= static_cast<uint64_t>(Bit(a, top - 63 + i)) << i;
  int exponent = static_cast<int>(top - 64L * fractionLimbs);  // a / 2^P in [2^exponent, 2^(exponent+1))
  const bool roundBit = Bit(a, top - 64) != 0;
  const bool sticky = AnyBelow(a, top - 64);
  if (roundBit && (sticky || (mantissa & 1) != 0)) {
    ++mantissa;
    if (mantissa == 0) {  // carried out of the top bit: 2^(exponent+1)
      mantissa = uint64_t{1} << 63;
      ++exponent;
    }
  }
  return FromParts(mantissa, exponent + 16383);
}

Limbs One(size_t size) {
  Limbs a(size, 0);
  if (!a.empty()) a.back() = 1;
  return a;
}

// ln 2 = sum over k >= 1 of 1/(k 2^k), with `fractionLimbs` fraction limbs.
// Each term is truncated (< 1 unit); the terms stop at the first that
// truncates to 0, after which the rest adds less than 2 units. Error below
// (Q + 2) units for Q = 64 fractionLimbs.
Limbs Ln2(size_t fractionLimbs) {
  const size_t size = fractionLimbs + 1;
  Limbs sum(size, 0);
  for (uint64_t k = 1;; ++k) {
    Limbs term = One(size);
    ShiftRight(term, static_cast<int>(k));
    DivideSmall(term, k);
    if (IsZero(term)) break;
    AddTo(sum, term);
  }
  return sum;
}

// e^-g for 0 <= g < 1, g a multiple of 2^(8-P): e^-g = (e^-h)^256 with
// h = g / 256 exact. e^-h by its Taylor series, even and odd terms summed
// apart: the computed terms t~_k fall short of the true t_k = h^k/k! by d_k
// units, d_k <= d_(k-1)/k + 1/k + 1, so d_k <= 2.5; the series stops at the
// first term that truncates to 0 (then t_K <= 2.5 and the rest is at most
// t_K). So e^-h is within 2.5 K + 5 units; each of the eight squarings at
// most doubles the error and adds 1 unit: e^-g within 256 (2.5 K + 6) units.
// `terms` returns K.
Limbs ExpMinus(const Limbs& g, int& terms) {
  const size_t size = g.size();
  Limbs h = g;
  ShiftRight(h, 8);
  Limbs even = One(size), odd(size, 0), term = One(size), full;
  int k = 1;
  for (;; ++k) {
    MultiplyBy(term, h, full);
    DivideSmall(term, static_cast<uint64_t>(k));
    if (IsZero(term)) break;
    AddTo(k % 2 == 0 ? even : odd, term);
  }
  terms = k;
  SubtractFrom(even, odd);
  for (int i = 0; i < 8; ++i) {
    const Limbs base = even;
    MultiplyBy(even, base, full);
  }
  return even;
}

// Clears the 8 lowest bits, so that g / 256 is exact.
void ClearLowBits(Limbs& g) { g[0] &= ~uint64_t{0xff}; }

// Places a long double 0 <= y < 2^63 into fixed point, truncated.
Limbs FromLongDouble(long double y, size_t fractionLimbs) {
  Limbs a(fractionLimbs + 1, 0);
  if (!(y > 0.0L)) return a;
  uint64_t mantissa;
  uint16_t signExponent;
  std::memcpy(&mantissa, &y, sizeof mantissa);
  std::memcpy(&signExponent, reinterpret_cast<const char*>(&y) + 8, sizeof signExponent);
  // y = mantissa * 2^(exponent - 63); shift it to 2^P units.
  const long shift = static_cast<long>(signExponent) - 16383 - 63 + 64L * static_cast<long>(fractionLimbs);
  for (long i = 0; i < 64; ++i) {
    const long pos = i + shift;
    if (((mantissa >> i) & 1) != 0 && pos >= 0 && pos < static_cast<long>(64 * a.size())) {
      a[static_cast<size_t>(pos / 64)] |= uint64_t{1} << (pos % 64);
    }
  }
  return a;
}

// One attempt at F fraction limbs: the rounded ln x when the error bound
// decides it, else 0 (never a valid result: x > 1 here).
long double AccurateAttempt(uint64_t mantissa, int e, long double guess, size_t fractionLimbs,
                            const Limbs* ln2Cached) {
  const size_t size = fractionLimbs + 1;
  // The guess g for ln m, kept in [0, 1).
  Limbs g = FromLongDouble(guess < 0.75L ? guess : 0.75L, fractionLimbs);
  ClearLowBits(g);

  // f = m e^-g - 1, with |f| <= 2^-20; when the guess is worse than that,
  // crude Newton steps g += f first (it converges from any g in [0, 1)).
  Limbs f;
  bool fNegative = false;
  int expTerms = 0;
  for (;;) {
    Limbs w = ExpMinus(g, expTerms);
    // m w = M w / 2^63: exact product, then truncated.
    Limbs wide = w;
    wide.push_back(0);
    MultiplySmall(wide, mantissa);
    ShiftRight(wide, 63);
    wide.pop_back();
    const Limbs one = One(size);
    fNegative = !NotLess(wide, one);
    f = wide;
    if (fNegative) {
      f = one;
      SubtractFrom(f, wide);
    } else {
      SubtractFrom(f, one);
    }
    // |f| < 2^-20 <=> f < 2^(P-20) units.
    Limbs limit = One(size);
    ShiftRight(limit, 20);
    if (!NotLess(f, limit)) break;
    if (fNegative) {
      if (NotLess(f, g)) {
        g.assign(size, 0);
      } else {
        SubtractFrom(g, f);
      }
    } else {
      AddTo(g, f);
      Limbs cap = One(size);  // keep g below 1: at most 3/4 (ln m < ln 2)
      MultiplySmall(cap, 3);
      ShiftRight(cap, 2);
      if (!NotLess(cap, g)) g = cap;
    }
    ClearLowBits(g);
  }

  // ln(1 + f) = f - f^2/2 + f^3/3 - ...: powers p_k are within 1.1 units of
  // |f|^k, the terms p_k / k within 2.1; the series stops at the first power
  // that truncates to 0, the rest adding at most 1.2 units.
  Limbs plus(size, 0), minus(size, 0), power = f, full;
  int seriesTerms = 0;
  for (uint64_t k = 1;; ++k) {
    if (k > 1) MultiplyBy(power, f, full);
    if (IsZero(power)) break;
    Limbs term = power;
    DivideSmall(term, k);
    AddTo(fNegative || k % 2 == 0 ? minus : plus, term);
    ++seriesTerms;
  }

  // ln x = e ln 2 + g + ln(1 + f): ln 2 one limb beyond P, times e, truncated.
  Limbs ln2 = ln2Cached != nullptr ? *ln2Cached : Ln2(fractionLimbs + 1);
  MultiplySmall(ln2, static_cast<uint64_t>(e));
  ShiftRight(ln2, 64);
  ln2.pop_back();
  Limbs result = ln2;
  AddTo(result, g);
  AddTo(result, plus);
  SubtractFrom(result, minus);

  // Error in units of 2^-P: e^-g below 256 (2.5 K + 6), so m e^-g - 1 below
  // 256 (5 K + 12) + 1, ln(1 + f) moving by at most (1 + 2^-19) times that
  // (+1); the series 2.1 per term + 1.2; e ln 2 below 2 (16383 (Q + 2) 2^-64
  // + 1). Rounded up.
  const uint64_t bound =
      256 * (5 * static_cast<uint64_t>(expTerms) + 12) + 3 * static_cast<uint64_t>(seriesTerms) + 20;
  Limbs boundLimbs(size, 0);
  boundLimbs[0] = bound;
  Limbs below = result, above = result;
  SubtractFrom(below, boundLimbs);
  AddTo(above, boundLimbs);
  const long double low = RoundToLongDouble(below, static_cast<int>(fractionLimbs));
  const long double high = RoundToLongDouble(above, static_cast<int>(fractionLimbs));
  return low == high ? low : 0.0L;
}

}  // namespace

long double AccurateLog(long double x, int bits) {
  if (!(x > 1.0L && x <= LDBL_MAX)) return SlowLog(x);
  uint64_t mantissa;
  uint16_t signExponent;
  std::memcpy(&mantissa, &x, sizeof mantissa);
  std::memcpy(&signExponent, reinterpret_cast<const char*>(&x) + 8, sizeof signExponent);
  const int e = signExponent - 16383;
  // The guess for ln m: the fast path's H on m itself.
  const long double m = FromParts(mantissa, 16383);
  long double guess = 0.0L;
  if (m > 1.0L) {
    long double lo;
    FastLog(BitsOf(m), guess, lo);
  }
  size_t fractionLimbs = static_cast<size_t>(bits < 128 ? 2 : bits / 64);
  static const Limbs ln2Default = Ln2(4);  // for the first attempt at 192 bits
  for (;;) {
    const long double y = AccurateAttempt(mantissa, e, guess, fractionLimbs,
                                          fractionLimbs == 3 ? &ln2Default : nullptr);
    if (y != 0.0L) return y;
    fractionLimbs *= 2;
  }
}

long double SlowLog(long double x) {
  if (x == 1.0L) return 0.0L;
  if (x > LDBL_MAX) return x;  // +inf
  if (!(x > 1.0L && x <= LDBL_MAX)) return std::numeric_limits<long double>::quiet_NaN();
  return AccurateLog(x, 192);
}

}  // namespace tarnek::natural_log_internal
