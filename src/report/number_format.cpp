// Exact six-decimal formatting. Most values take a fast path in 128-bit
// integer arithmetic; very large ones go through std::to_chars, which also
// rounds exactly.
#include "report/number_format.h"

#include <bit>        // std::bit_cast
#include <charconv>   // std::to_chars
#include <cmath>      // std::isnan, std::isinf, std::signbit

namespace tarnek {

namespace {

// Writes the decimal digits of `v` into the end of `buf`, returning the start.
char* WriteDigits(char* end, uint64_t v) {
  do {
    *--end = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return end;
}

// Below this magnitude the value times 10^6 fits a 64-bit integer.
constexpr double kFastLimit = 1e13;

// Returns round(|value| * 10^6), exactly, ties to even, for |value| < 1e13.
// With |value| = m * 2^e (m an integer below 2^53), m * 10^6 needs at most 73
// bits, so the product and the shift are exact in unsigned 128-bit arithmetic.
uint64_t ScaledMagnitude(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int exponent;
  if (biasedExponent == 0) {
    exponent = -1074;  // subnormal
  } else {
    mantissa |= uint64_t{1} << 52;
    exponent = biasedExponent - 1075;
  }
  __extension__ typedef unsigned __int128 u128;
  const u128 product = static_cast<u128>(mantissa) * 1000000u;
  if (exponent >= 0) return static_cast<uint64_t>(product << exponent);
  const int shift = -exponent;
  if (shift >= 128) return 0;  // far below half a millionth
  const u128 quotient = product >> shift;
  const u128 remainder = product - (quotient << shift);
  const u128 half = static_cast<u128>(1) << (shift - 1);
  uint64_t rounded = static_cast<uint64_t>(quotient);
  if (remainder > half || (remainder == half && (rounded & 1) != 0)) ++rounded;
  return rounded;
}

}  // namespace

void AppendInteger(std::string& out, int64_t value) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

void AppendFixed(std::string& out, double value) {
  if (std::isnan(value)) {
    out += std::signbit(value) ? "-NAN" : "+NAN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-INF" : "+INF";
    return;
  }
  if (!(std::fabs(value) < kFastLimit)) {
    char buf[400];  // the largest double has 309 integer digits
    auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    out.append(buf, result.ptr);
    return;
  }
  const uint64_t scaled = ScaledMagnitude(value);
  char buf[32];
  char* end = buf + sizeof buf;
  char* p = WriteDigits(end, scaled % 1000000);
  while (p > end - 6) *--p = '0';
  *--p = '.';
  p = WriteDigits(p, scaled / 1000000);
  if (std::signbit(value)) *--p = '-';
  out.append(p, end);
}

std::string FormatFixed(double value) {
  std::string out;
  AppendFixed(out, value);
  return out;
}

}  // namespace tarnek
