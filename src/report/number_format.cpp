// Exact six-decimal formatting. Values below 2^43 take a fast path in
// integer arithmetic; larger ones go through std::to_chars, which also rounds
// exactly.
#include "report/number_format.h"

#include <bit>       // std::bit_cast
#include <charconv>  // std::to_chars
#include <cmath>     // std::isnan, std::signbit
#include <cstring>   // std::memcpy

namespace tarnek {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int DigitCount(uint64_t v) {
  int count = 1;
  for (;;) {
    if (v < 10) return count;
    if (v < 100) return count + 1;
    if (v < 1000) return count + 2;
    if (v < 10000) return count + 3;
    v /= 10000;
    count += 4;
  }
}

// Writes the decimal digits of `v` at `p`, two at a time from the end;
// returns the end.
char* WriteDigits(char* p, uint64_t v) {
  char* const end = p + DigitCount(v);
  char* q = end;
  while (v >= 100) {
    q -= 2;
    std::memcpy(q, kDigitPairs + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    std::memcpy(q - 2, kDigitPairs + 2 * v, 2);
  } else {
    q[-1] = static_cast<char>('0' + v);
  }
  return end;
}

constexpr int kExponentBias = 1023;
constexpr int kSpecialExponent = 0x7FF;  // infinities and NaNs
// Below 2^43 (about 8.8e12) the value times 10^6 fits a 64-bit integer.
constexpr int kFastExponentLimit = kExponentBias + 43;

// Returns round(|value| * 10^6), exactly, ties to even, for |value| < 2^43,
// from the value's bits. With |value| = m * 2^e (m an integer below 2^53),
// m * 10^6 needs at most 73 bits, so the product and the shift are exact in
// unsigned 128-bit arithmetic.
uint64_t ScaledMagnitude(uint64_t bits) {
  const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exponent;
  if (biasedExponent == 0) {
    exponent = -1074;  // subnormal
  } else {
    mantissa |= uint64_t{1} << 52;
    exponent = biasedExponent - 1075;
  }
  const int shift = -exponent;  // at least 10 below 2^43
  __extension__ typedef unsigned __int128 u128;
  const u128 product = static_cast<u128>(mantissa) * 1000000u;
  if (shift < 64) {
    // The usual case: the remainder lies in the low 64 bits.
    uint64_t rounded = static_cast<uint64_t>(product >> shift);
    const uint64_t remainder = static_cast<uint64_t>(product) & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (remainder > half || (remainder == half && (rounded & 1) != 0)) ++rounded;
    return rounded;
  }
  if (shift >= 128) return 0;  // far below half a millionth
  const u128 quotient = product >> shift;
  const u128 remainder = product - (quotient << shift);
  const u128 half = static_cast<u128>(1) << (shift - 1);
  uint64_t rounded = static_cast<uint64_t>(quotient);
  if (remainder > half || (remainder == half && (rounded & 1) != 0)) ++rounded;
  return rounded;
}

}  // namespace

char* WriteInteger(char* p, int64_t value) {
  uint64_t magnitude = static_cast<uint64_t>(value);
  if (value < 0) {
    *p++ = '-';
    magnitude = 0 - magnitude;
  }
  return WriteDigits(p, magnitude);
}

char* WriteFixed(char* p, double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
  if (biasedExponent == kSpecialExponent) {
    *p++ = std::signbit(value) ? '-' : '+';
    std::memcpy(p, std::isnan(value) ? "NAN" : "INF", 3);
    return p + 3;
  }
  if (biasedExponent >= kFastExponentLimit) {
    return std::to_chars(p, p + kMaxFixedLength, value, std::chars_format::fixed, 6).ptr;
  }
  const uint64_t scaled = ScaledMagnitude(bits);
  if (std::signbit(value)) *p++ = '-';
  p = WriteDigits(p, scaled / 1000000);
  *p++ = '.';
  const auto fraction = static_cast<uint32_t>(scaled % 1000000);
  std::memcpy(p, kDigitPairs + 2 * (fraction / 10000), 2);
  std::memcpy(p + 2, kDigitPairs + 2 * (fraction / 100 % 100), 2);
  std::memcpy(p + 4, kDigitPairs + 2 * (fraction % 100), 2);
  return p + 6;
}

void AppendFixed(std::string& out, double value) {
  char buf[kMaxFixedLength];
  out.append(buf, WriteFixed(buf, value));
}

void AppendInteger(std::string& out, int64_t value) {
  char buf[kMaxIntegerLength + 1];
  out.append(buf, WriteInteger(buf, value));
}

std::string FormatInteger(int64_t value) {
  std::string out;
  AppendInteger(out, value);
  return out;
}

std::string FormatFixed(double value) {
  std::string out;
  AppendFixed(out, value);
  return out;
}

std::string Plural(size_t n, const char* one, const char* many) {
  return FormatInteger(static_cast<int64_t>(n)) + " " + (n == 1 ? one : many);
}

}  // namespace tarnek
