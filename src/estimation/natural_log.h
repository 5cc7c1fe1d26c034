// The natural logarithm of a long double, correctly rounded.
//
// NaturalLog(x), for every finite long double x >= 1 (up to LDBL_MAX), returns
// ln x rounded to the nearest long double (x87 extended, 64-bit mantissa),
// ties to even; ln 1 = +0. Outside that domain: NaN for x < 1 (including -0
// and -inf), for a NaN and for encodings that are not numbers (unnormals,
// pseudo-infinities), and +inf for +inf.
//
// Every machine gives the same bits: the result is the one value the rounding
// defines, and it is built only from operations whose results IEEE 754 fixes
// (+ - * / in long double and double, exact integer arithmetic). It assumes
// the x87 precision control at 64 bits (the x86-64 default) and no
// contraction of products into fused operations.
//
// Method: Ziv's strategy. A fast path computes ln x as hi + lo with a proven
// error bound, a rounding test decides whether the bound already fixes the
// rounding, and only when it does not (about 1 call in 10^5) an accurate
// path in multi-precision integer arithmetic decides.
//
// Fast path. x = 2^e m, m = M / 2^63 in [1, 2), M the 64-bit mantissa,
// 0 <= e <= 16383. Table entry j (0..512) covers m in [1 + (j - 1/2)/512,
// 1 + (j + 1/2)/512) and holds r_j = R_j / 2^20 ~ 1/m (r_0 = 1, r_512 = 1/2)
// and Tail_j = -ln r_j as TailHi + TailLo (two doubles), within 2^-100
// relative (the tests check every entry to 2^-104; the generator
// natural_log_table.py keeps 106 bits). Then
//   ln x = e ln 2 + Tail_j + ln(1 + z),  z = r_j m - 1,  |z| < 2^-10,
// and z is exact: Z = R_j M - 2^83 in 128-bit integers (|Z| < 2^73.01), split
// into zh = (Z >> 11) 2^-72 (up to 63 bits, exact in long double) and
// zl = (Z mod 2^11) 2^-83 < 2^-72 (0 when j = 0). The integer of zh is split
// once more into z1 (its top 32 bits, so z1^2 is exact) and 0 <= z2 <
// 2^-31 |zh|. With ln 2 = L1 + L2 (L1 on 39 bits: e L1 is exact in double) and
// Q(w) = 1/3 - w/4 + w^2/5 - ... - w^5/8,
//   ln(1 + z) = [z1 - z1^2/2] + z2 - z2 (z1 + z2/2) + zh^3 Q(zh)
//               + zl (1 - zh + zh^2) + omitted,
//   |omitted| <= |zh|^9/9/(1 - |zh|) + |zl| |zh|^3 + zl^2
//             <= 2^-83.17 |zh| + 2^-102.
// e L1, TailHi and s + t = z1 - z1^2/2 add up exactly to hi + aLo + bLo
// (Fast2Sum twice, the first in double: the exponent of e L1 is at least
// that of TailHi, TailHi >= 2^-10 > |s| for j > 0, and the sums with 0 are
// exact). In long double also zh^3 times 1/3 + (Q - 1/3); everything that
// 53 bits carry well enough is computed in double from the exact integers:
// Q - 1/3 (its low part of 1/3 included), e L2 + TailLo + aLo - z2 (z1 +
// z2/2) + zl (1 - zh + zh^2), then z2. The x87 unit is the scarce one (it
// sets the speed), so the double part is the larger.
//
// Error bound, u = 2^-64, v = ln x:
//   zh^3 Q(zh): Q - 1/3 in double within 1.005 2^-64 (zd = RN(zh) costs
//     2^-65, two roundings 2^-66 each, the higher terms 2^-72.7), 1/3 + that
//     rounded: Q within 3.77u relative; three products: 6.77u in all,
//     <= 2^-82.83 |zh|;
//   omitted terms: <= 2^-83.17 |zh| + 2^-102;
//   the double sum: its last rounding (adding z2) <= 2^-53 2^-30.9 |z|
//     = 2^-83.9 |z|, the rest <= 2^-92 |z| + 2^-90 v (e L2 <= 2^-39.5 v);
//   rounding in lo: the last addition <= u 2^-21.57 |z| = 2^-85.57 |z|, the
//     ones before it <= 2^-93.3 |z| + 2^-110 v;
//   table and ln 2: <= 2^-99 v + 2^-92.5 v.
// |z| <= 1.0005 v: for e = j = 0 since v = ln(1 + z); for e = 0 < j,
// |z| / ln m <= 0.9986 (checked by the generator); for e >= 1 since v >= ln 2.
// zl != 0 only for j > 0, where v > 2^-10.01, so 2^-102 <= 2^-92 v. In all,
//   |hi + lo - v| < 0.351 * 2^-80 v < 2^-81.5 v,
// relative to v also near x = 1, where v ~ z can be as small as 2^-63.
//
// Rounding test. With d = 2^-81 hi (exact), H1 = RN(hi + RN(lo + d)) and
// H2 = RN(hi + RN(lo - d)): |lo| <= 2^-21.5 hi, so the roundings of lo +- d
// move them by at most 2^-85.5 hi < d - |hi + lo - v| (>= 2^-82.8 hi); so
// H2 <= RN(v) <= H1 by the monotony of rounding, and when H1 == H2, that is
// RN(v). The hardware rounding applies the right half-ulp on each side, also
// at powers of two (where the ulp below is half the one above). No tie can
// occur: ln x of a rational x != 1 is transcendental (Lindemann), never a
// midpoint of two long doubles.
//
// Accurate path (natural_log.cpp): fixed-point integers with P = 64 k fraction
// bits. From the fast path's guess g of ln m, f = m e^-g - 1 (e^-g as
// (e^-(g/256))^256, by the Taylor series and eight squarings) and
// ln m = g + ln(1 + f) (by its series; one Newton step), ln x = e ln 2 + ln m
// with ln 2 = sum 1/(k 2^k). Every truncation is counted into an error bound
// (some 10^4 units of 2^-P); if both ends of the interval it allows round to
// the same long double, that is the result, otherwise P doubles (from 192).
// The loop ends, as ln x is never a midpoint.
#pragma once

#include <cfloat>
#include <cstdint>
#include <cstring>

namespace tarnek {

// ln x correctly rounded; see above for the domain.
inline long double NaturalLog(long double x);

namespace natural_log_internal {

// 128-bit integers (a GCC and Clang extension on x86-64).
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// One entry of the reduction table (natural_log_table.inc).
struct TableEntry {
  double TailHi;  // -ln(r_j) rounded to double
  double TailLo;  // -ln(r_j) - TailHi, rounded to double
  uint32_t R;     // r_j = R / 2^20
};
inline constexpr int kTableSize = 513;
extern const TableEntry kTable[kTableSize];

// ln 2 = kLn2Hi + kLn2Lo + (less than 2^-93); kLn2Hi has 39 bits so that
// e * kLn2Hi is exact in double for every exponent e < 2^14. Constants that
// are exact or need no more than double precision are doubles: the x87
// multiplies by a double operand in memory directly.
inline constexpr double kLn2Hi = 0x1.62e42fefa0000p-1;
inline constexpr double kLn2Lo = 0x1.cf79abc9e3b3ap-40;

// The Taylor coefficients: 1/3 = kC3Hi + kC3Lo + (less than 2^-109), and
// kC3Hi scaled by 2^-216 for Zh = zh 2^72 cubed; 1/5 .. 1/8 rounded to double
// (they weigh z^2 and less beside 1/3).
inline constexpr double kC3Hi = 1.0 / 3, kC3Lo = 0x1.5555555555555p-56;
inline constexpr double kC3HiScaled = kC3Hi * 0x1p-216;
inline constexpr double kC5 = 1.0 / 5, kC6 = 1.0 / 6, kC7 = 1.0 / 7, kC8 = 1.0 / 8;

// The rounding test's allowance relative to hi: 2^-81.
inline constexpr double kTestBound = 0x1p-81;

// The bits of a long double: the 64-bit mantissa and the sign and biased
// exponent.
struct Bits {
  uint64_t Mantissa;
  uint16_t SignExponent;
};
[[gnu::always_inline]] inline Bits BitsOf(long double x) {
  // The mantissa is one eight-byte load and the sign and exponent one
  // two-byte load of what the store of x wrote; a wider load would reach
  // past its ten bytes, defeat the store forwarding and wait for the store
  // to complete (compilers merge byte-wise copies into such a load).
  union {
    long double Value;
    Bits Parts;
  } stored;
  stored.Value = x;
  asm("" : "+m"(stored));  // the bits are read from memory, as stored
  Bits bits;
  bits.Mantissa = stored.Parts.Mantissa;
  bits.SignExponent = stored.Parts.SignExponent;
  return bits;
}

// Whether x is in the fast path's domain, 1 <= x <= LDBL_MAX: sign 0,
// biased exponent 16383 .. 32766, integer bit set (x = 1 is in: z = 0 and
// every term is 0).
[[gnu::always_inline]] inline bool InFastDomain(const Bits& bits) {
  return static_cast<unsigned>(bits.SignExponent) - 16383u < 16384u && (bits.Mantissa >> 63) != 0;
}

// The fast path, for x in InFastDomain:
// ln x = hi + lo + err, |err| < 2^-81.5 ln x, |lo| <= 2^-21.5 hi.
[[gnu::always_inline]] inline void FastLog(const Bits& bits, long double& hi, long double& lo) {
  using L = long double;
  const uint64_t mantissa = bits.Mantissa;
  const int e = bits.SignExponent - 16383;
  // Entry j covers [1 + (j - 1/2)/512, 1 + (j + 1/2)/512): the top 10
  // fraction bits, rounded up by half.
  const unsigned j = static_cast<unsigned>(((mantissa >> 53) - 1023) >> 1);
  const TableEntry& entry = kTable[j];

  // z = r_j m - 1 exactly: Z / 2^83 with |Z| < 2^73.01; zHigh = Z >> 11,
  // |zHigh| < 2^62.01, and zLow = Z mod 2^11.
  const Int128 product = static_cast<Int128>(static_cast<UInt128>(entry.R) * mantissa);
  const Int128 zInt = product - (static_cast<Int128>(1) << 83);
  const int64_t zHigh = static_cast<int64_t>(zInt >> 11);
  const int64_t zLow = static_cast<int64_t>(zInt & 2047);
  // zHigh = z1 + z2 in integers: z1 keeps the top 32 bits of |zHigh| (rounded
  // down), 0 <= z2 < 2^-31 |zHigh|.
  const uint64_t magnitude = zHigh < 0 ? 0 - static_cast<uint64_t>(zHigh) : static_cast<uint64_t>(zHigh);
  const int bitLength = 64 - __builtin_clzll(magnitude | 1);
  const int cut = bitLength > 32 ? bitLength - 32 : 0;
  const int64_t z1Int = static_cast<int64_t>(static_cast<uint64_t>(zHigh >> cut) << cut);
  const int64_t z2Int = zHigh - z1Int;

  // In long double, exact: Zh = zh 2^72 (the scale goes into the polynomial's
  // constants) and z1 (32 bits, so z1^2 is exact).
  const L zhScaled = static_cast<L>(zHigh);
  const L z1 = static_cast<L>(z1Int) * 0x1p-72L;

  // In double, where 53 bits are enough: zd = RN(zh); zl, z1i, z2i exact.
  const double zd = static_cast<double>(zHigh) * 0x1p-72;
  const double zl = static_cast<double>(zLow) * 0x1p-83;
  const double z1i = static_cast<double>(z1Int), z2i = static_cast<double>(z2Int);
  const double zd2 = zd * zd;
  // Q(zh) - kC3Hi = kC3Lo - zh/4 + zh^2 (1/5 - zh/6 + zh^2/7 - zh^3/8), within
  // 1.005 2^-64, times 2^-216 (exact).
  const double inner =
      ((kC3Lo - 0.25 * zd) + zd2 * ((kC5 - kC6 * zd) + zd2 * (kC7 - kC8 * zd))) * 0x1p-216;
  // a + aLo = e L1 + TailHi exactly (e L1 exact: e < 2^14, L1 on 39 bits;
  // Fast2Sum: the exponent of e L1 is at least that of TailHi, or e = 0).
  const double ed = static_cast<double>(e);
  const double eL1 = ed * kLn2Hi;
  const double a = eL1 + entry.TailHi;
  const double aLo = (eL1 - a) + entry.TailHi;
  // e L2 + TailLo + aLo - z1 z2 - z2^2/2 + zl (1 - zh + zh^2), then z2
  // (exact); the z2 term from the integers (one rounding, scaled by 2^-144).
  const double corrections =
      (((ed * kLn2Lo + entry.TailLo) + aLo) - (z2i * (z1i + 0.5 * z2i)) * 0x1p-144 + zl * ((1.0 - zd) + zd2)) +
      z2i * 0x1p-72;

  // s + t = z1 - z1^2/2 exactly (|z1| > z1^2/2).
  const L half = -0.5L * (z1 * z1);
  const L s = z1 + half;
  const L t = (z1 - s) + half;

  // b + bLo = a + s exactly (Fast2Sum: a >= 2^-10 > |s|, or a = 0), so
  // b + bLo + aLo = e L1 + TailHi + s.
  const L b = static_cast<L>(a) + s;
  const L bLo = (static_cast<L>(a) - b) + s;

  // zh^3 Q(zh) = Zh^3 (Q(zh) 2^-216).
  const L poly = ((zhScaled * zhScaled) * zhScaled) * (static_cast<L>(kC3HiScaled) + static_cast<L>(inner));

  // The low sum: bLo + t and the double sum (below 2^-30.9 |z| + 2^-39 ln x)
  // first, the polynomial last.
  hi = b;
  lo = ((bLo + t) + static_cast<L>(corrections)) + poly;
}

// Whether every value within kTestBound * |hi| of hi + lo rounds to the same
// long double; then that is RN(hi + lo). |lo| <= 2^-21.5 |hi|.
inline bool RoundingDecided(long double hi, long double lo, long double& result) {
  const long double d = hi * static_cast<long double>(kTestBound);
  result = hi + (lo + d);
  return result == hi + (lo - d);
}

// The accurate path and the values outside the fast path's domain.
long double SlowLog(long double x);

// The accurate path alone, starting at `bits` bits of fixed-point precision
// (a multiple of 64, at least 128); for tests and checks. Domain as NaturalLog.
long double AccurateLog(long double x, int bits = 192);

}  // namespace natural_log_internal

[[gnu::always_inline]] inline long double NaturalLog(long double x) {
  const natural_log_internal::Bits bits = natural_log_internal::BitsOf(x);
  if (natural_log_internal::InFastDomain(bits)) [[likely]] {
    long double hi, lo, y;
    natural_log_internal::FastLog(bits, hi, lo);
    if (natural_log_internal::RoundingDecided(hi, lo, y)) [[likely]] return y;
  }
  return natural_log_internal::SlowLog(x);
}

}  // namespace tarnek
