// CSV fields. A double's shortest round-trip form has at most 24 characters
// ("-2.2250738585072014e-308").
#include "report/csv.h"

#include <bit>      // std::bit_width
#include <cmath>    // std::isfinite, std::signbit
#include <cstdint>
#include <cstring>  // std::memcpy, std::memset

#include <fmt/format.h>  // Dragonbox: the shortest digits

#include "core/fit_settings.h"  // NoEstimate

namespace tarnek {

namespace {

constexpr char kTwoDigits[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

constexpr uint64_t kPowersOf10[] = {1ULL,
                                    10ULL,
                                    100ULL,
                                    1000ULL,
                                    10000ULL,
                                    100000ULL,
                                    1000000ULL,
                                    10000000ULL,
                                    100000000ULL,
                                    1000000000ULL,
                                    10000000000ULL,
                                    100000000000ULL,
                                    1000000000000ULL,
                                    10000000000000ULL,
                                    100000000000000ULL,
                                    1000000000000000ULL,
                                    10000000000000000ULL,
                                    100000000000000000ULL,
                                    1000000000000000000ULL,
                                    10000000000000000000ULL};

// The number of decimal digits of m >= 1.
int DigitCount(uint64_t m) {
  const int guess = (static_cast<int>(std::bit_width(m)) * 1233) >> 12;  // floor(log10(2^bits))
  return guess + (m >= kPowersOf10[guess] ? 1 : 0);
}

// The eight digits of v < 10^8 at p.
void WriteEight(char* p, uint32_t v) {
  const uint32_t high = v / 10000;
  const uint32_t low = v % 10000;
  std::memcpy(p, kTwoDigits + 2 * (high / 100), 2);
  std::memcpy(p + 2, kTwoDigits + 2 * (high % 100), 2);
  std::memcpy(p + 4, kTwoDigits + 2 * (low / 100), 2);
  std::memcpy(p + 6, kTwoDigits + 2 * (low % 100), 2);
}

// The n digits of m (n = DigitCount(m) <= 17) at p.
void WriteDigits(char* p, uint64_t m, int n) {
  char digits[24];  // m in 24 digits, leading zeros first
  WriteEight(digits + 16, static_cast<uint32_t>(m % 100000000));
  WriteEight(digits + 8, static_cast<uint32_t>(m / 100000000 % 100000000));
  WriteEight(digits, static_cast<uint32_t>(m / 10000000000000000));
  std::memcpy(p, digits + 24 - n, static_cast<size_t>(n));
}

// The shortest decimal that reads back as v (finite), laid out as
// std::to_chars(first, last, v) lays it out: fixed or scientific, whichever
// is shorter, fixed on a tie; scientific as printf's %e writes it, with two
// exponent digits at least. The digits are Dragonbox's ({fmt}, exported by
// libfmt as fmt::detail::dragonbox::to_decimal: the public format lays
// numbers out otherwise), the shortest and nearest to v, as std::to_chars
// chooses them; an integer of 2^53 or more written in fixed form (as wide as
// its shortest digits and the zeros after them) std::to_chars writes with
// its exact digits, and so does this. tests/csv_test.cpp compares the two.
// Writes at most 24 characters; `out` has room for 48.
char* WriteShortest(char* out, double v) {
  if (std::signbit(v)) {
    *out++ = '-';
    v = -v;
  }
  if (v == 0.0) {
    *out = '0';
    return out + 1;
  }
  const auto decimal = fmt::detail::dragonbox::to_decimal(v);  // v = significand 10^exponent
  const uint64_t m = decimal.significand;
  const int n = DigitCount(m);
  const int e = decimal.exponent + n - 1;  // v = d.ddd 10^e
  const int absE = e < 0 ? -e : e;
  const int scientific = n + (n > 1 ? 1 : 0) + 2 + (absE >= 100 ? 3 : 2);
  const int fixed = e >= 0 ? (n > e + 1 ? n + 1 : e + 1) : n + 1 - e;
  if (fixed <= scientific) {
    if (e < 0) {  // 0.000ddd
      out[0] = '0';
      out[1] = '.';
      std::memset(out + 2, '0', static_cast<size_t>(-e - 1));
      WriteDigits(out + 1 - e, m, n);
      return out + n + 1 - e;
    }
    if (n > e + 1) {  // ddd.ddd
      char digits[24];
      WriteDigits(digits, m, n);
      std::memcpy(out, digits, static_cast<size_t>(e + 1));
      out[e + 1] = '.';
      std::memcpy(out + e + 2, digits + e + 1, static_cast<size_t>(n - e - 1));
      return out + n + 1;
    }
    if (v >= 0x1p53) {  // an integer (e + 1 <= n + 5 < 23 digits): its exact digits
      __extension__ using Wide = unsigned __int128;
      Wide x = static_cast<Wide>(v);
      char digits[24];
      char* p = digits + sizeof digits;
      for (; x != 0; x /= 10) *--p = static_cast<char>('0' + static_cast<int>(x % 10));
      const auto length = static_cast<size_t>(digits + sizeof digits - p);
      std::memcpy(out, p, length);
      return out + length;
    }
    WriteDigits(out, m, n);  // ddd000
    std::memset(out + n, '0', static_cast<size_t>(e + 1 - n));
    return out + e + 1;
  }
  char digits[24];
  WriteDigits(digits, m, n);
  out[0] = digits[0];
  char* p = out + 1;
  if (n > 1) {
    *p = '.';
    std::memcpy(p + 1, digits + 1, static_cast<size_t>(n - 1));
    p += n;
  }
  *p++ = 'e';
  *p++ = e < 0 ? '-' : '+';
  if (absE >= 100) *p++ = static_cast<char>('0' + absE / 100);
  std::memcpy(p, kTwoDigits + 2 * (absE % 100), 2);
  return p + 2;
}

}  // namespace

void AppendCsvText(std::string& out, std::string_view text) {
  // Some readers drop the blanks and tabs around an unquoted field (this
  // system's own among them): a field that begins or ends with one is quoted.
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  if (text.find_first_of(",\"\r\n") == std::string_view::npos &&
      (text.empty() || (!blank(text.front()) && !blank(text.back())))) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void AppendCsvNumber(std::string& out, double value) {
  if (!std::isfinite(value)) return;
  char buf[48];
  out.append(buf, WriteShortest(buf, value));
}

void AppendCsvEstimate(std::string& out, double value) {
  if (value != NoEstimate) AppendCsvNumber(out, value);
}

}  // namespace tarnek
