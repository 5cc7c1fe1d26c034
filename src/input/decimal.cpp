// Decimal number scanning: finds the decimal prefix by hand, then converts it
// with std::from_chars, which rounds exactly and accepts no other forms.
#include "input/decimal.h"

#include <charconv>  // std::from_chars
#include <cmath>     // std::isfinite
#include <cstdlib>   // std::strtod, for the rare out-of-range case
#include <limits>
#include <string>

namespace tarnek {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipDigits(const char* p, const char* last) {
  while (p < last && IsDigit(*p)) ++p;
  return p;
}

// Converts a validated decimal text (optional '-', digits, point, exponent).
double ConvertDecimal(const char* first, const char* last) {
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc() && ptr == last) return value;
  // Beyond the double range in either direction: strtod gives the infinity of
  // the sign on overflow and zero or a subnormal on underflow. The text has
  // been checked to be plain decimal, so strtod sees no other form.
  std::string copy(first, last);
  return std::strtod(copy.c_str(), nullptr);
}

}  // namespace

const char* SkipFieldSpace(const char* p, const char* last) {
  while (p < last && IsFieldSpace(*p)) ++p;
  return p;
}

ScannedInteger ScanInteger(const char* p, const char* last) {
  ScannedInteger result;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  const char* digits = p;
  // Magnitude limit: 2^31 for a negative value, 2^31 - 1 for a positive one.
  const uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  uint64_t magnitude = 0;
  bool fits = true;
  for (; p < last && IsDigit(*p); ++p) {
    if (fits) {
      magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
      if (magnitude > limit) fits = false;
    }
  }
  result.End = p;
  result.HasDigits = p != digits;
  result.Fits = fits;
  if (!fits) magnitude = limit;
  result.Value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                          : static_cast<int32_t>(magnitude);
  return result;
}

ScannedReal ScanReal(const char* p, const char* last) {
  ScannedReal result;
  const char* start = p;
  if (p < last && (*p == '+' || *p == '-')) ++p;
  const char* intDigits = p;
  p = SkipDigits(p, last);
  bool hasDigits = p != intDigits;
  if (p < last && *p == '.') {
    const char* fracDigits = ++p;
    p = SkipDigits(p, last);
    hasDigits = hasDigits || p != fracDigits;
  }
  result.End = p;
  if (!hasDigits) return result;
  const char* numberEnd = p;
  if (p < last && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    if (q < last && (*q == '+' || *q == '-')) ++q;
    const char* expDigits = q;
    q = SkipDigits(q, last);
    if (q != expDigits) numberEnd = q;
    result.End = q;
  }
  // std::from_chars takes no '+' sign: drop it, the value is the same.
  if (*start == '+') ++start;
  result.HasDigits = true;
  result.Value = ConvertDecimal(start, numberEnd);
  return result;
}

int32_t ReadIntegerValue(std::string_view text) {
  const char* last = text.data() + text.size();
  ScannedInteger scanned = ScanInteger(SkipFieldSpace(text.data(), last), last);
  return scanned.HasDigits ? scanned.Value : 0;
}

double ReadRealValue(std::string_view text) {
  const char* last = text.data() + text.size();
  ScannedReal scanned = ScanReal(SkipFieldSpace(text.data(), last), last);
  return scanned.HasDigits ? scanned.Value : 0.0;
}

std::optional<ScannedInteger> ScanWholeInteger(std::string_view text) {
  const char* last = text.data() + text.size();
  const ScannedInteger scanned = ScanInteger(text.data(), last);
  if (!scanned.HasDigits || scanned.End != last) return std::nullopt;
  return scanned;
}

std::optional<double> ScanWholeReal(std::string_view text) {
  const char* last = text.data() + text.size();
  const ScannedReal scanned = ScanReal(text.data(), last);
  // A dangling exponent ("1e") is consumed by the scan but is no number.
  if (!scanned.HasDigits || scanned.End != last) return std::nullopt;
  const char back = text.back();
  if (back == 'e' || back == 'E' || back == '+' || back == '-') return std::nullopt;
  return scanned.Value;
}

std::optional<int32_t> ReadWholeInteger(std::string_view text) {
  const std::optional<ScannedInteger> scanned = ScanWholeInteger(text);
  if (!scanned || !scanned->Fits) return std::nullopt;
  return scanned->Value;
}

std::optional<double> ReadWholeReal(std::string_view text) {
  const std::optional<double> value = ScanWholeReal(text);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

}  // namespace tarnek
