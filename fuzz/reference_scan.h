// An independent reading of decimal fields for the fuzz targets' checks,
// written apart from the library's scanner: byte by byte, with strtod for
// the conversion.
//
// Fields are separated by blanks, tabs, line feeds, vertical tabs, form
// feeds and carriage returns, a carriage return wherever it stands (the data
// file's text mode keeps every one, and a CR alone ends a line). An integer is an optional sign and at least
// one digit. A real is an optional sign, digits with an optional point (one
// digit at least), then optionally 'e' or 'E', an optional sign and digits;
// the exponent marker and its sign are consumed even without digits, which
// then add nothing. Every field ends at the first byte that cannot continue
// it, and the next field may start right there.
#pragma once

#include <cstdint>
#include <cstdlib>  // std::strtod
#include <string>
#include <string_view>

struct ReferenceScan {
  std::string_view text;
  size_t at = 0;

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  void SkipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' ||
                                text[at] == '\v' || text[at] == '\f' || text[at] == '\r')) {
      ++at;
    }
  }

  // False without a digit. Otherwise `value` is the integer, saturated at
  // the 32-bit limits, and `fits` tells whether it needed no saturation.
  bool Integer(int32_t& value, bool& fits) {
    SkipSpace();
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const size_t first = at;
    int64_t magnitude = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) {
      magnitude = magnitude * 10 + (text[at] - '0');
      if (magnitude > (int64_t{1} << 32)) magnitude = int64_t{1} << 32;  // too big either way
    }
    if (at == first) return false;
    const int64_t signedValue = negative ? -magnitude : magnitude;
    fits = signedValue <= INT32_MAX && signedValue >= INT32_MIN;
    value = static_cast<int32_t>(signedValue > INT32_MAX ? INT32_MAX
                                 : signedValue < INT32_MIN ? INT32_MIN
                                                           : signedValue);
    return true;
  }

  // False without a digit; otherwise `value` is strtod of the decimal text,
  // which rounds correctly and gives an infinity beyond the double range.
  bool Real(double& value) {
    SkipSpace();
    std::string number;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) number += text[at++];
    size_t digits = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at, ++digits) number += text[at];
    if (at < text.size() && text[at] == '.') {
      number += text[at++];
      for (; at < text.size() && IsDigit(text[at]); ++at, ++digits) number += text[at];
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      std::string exponent = "e";
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) exponent += text[at++];
      size_t expDigits = 0;
      for (; at < text.size() && IsDigit(text[at]); ++at, ++expDigits) exponent += text[at];
      if (expDigits > 0) number += exponent;
    }
    value = std::strtod(number.c_str(), nullptr);
    return true;
  }
};
