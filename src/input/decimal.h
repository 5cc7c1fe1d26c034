// Decimal number scanning for the data file and the option values.
//
// Only plain decimal text is a number here: an optional sign, digits with an
// optional decimal point, and for reals an optional exponent. Hexadecimal
// forms and the words "inf" and "nan" are not numbers. A number ends at the
// first character that cannot continue it; that character is left for
// whatever is read next.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnek {

// True for the white space that separates fields: blank, tab, line feed,
// vertical tab, form feed and carriage return.
inline bool IsFieldSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Returns the first position at or after `p` that is not white space.
const char* SkipFieldSpace(const char* p, const char* last);

struct ScannedInteger {
  const char* End = nullptr;  // first character not consumed
  bool HasDigits = false;     // false: no digit followed the optional sign
  bool Fits = false;          // the value fits a 32-bit signed integer
  int32_t Value = 0;          // the value; saturated at the nearest limit when it does not fit
};

// Scans an optional sign and the longest run of decimal digits at `p`
// (no white space is skipped).
ScannedInteger ScanInteger(const char* p, const char* last);

struct ScannedReal {
  const char* End = nullptr;  // first character not consumed (a dangling "e" or "e+" is consumed)
  bool HasDigits = false;     // false: the text does not begin with a decimal number
  double Value = 0.0;         // correctly rounded; beyond the double range an infinity of its sign
};

// Scans the longest decimal real at `p`: optional sign, digits with an
// optional point (at least one digit in all), optional exponent. An exponent
// marker without digits ("1e", "1e+") is consumed but adds nothing.
ScannedReal ScanReal(const char* p, const char* last);

// Option values never fail to read: leading white space is skipped, whatever
// follows the number is ignored, and text without a number reads as 0.
// Integers beyond the 32-bit range saturate at the nearest limit.
int32_t ReadIntegerValue(std::string_view text);
double ReadRealValue(std::string_view text);

// The whole text is one plain decimal number, with nothing before or after
// it: its scan (Fits tells whether it fits 32 bits), or nothing. A real may
// lie beyond the double range: then it is an infinity of its sign.
std::optional<ScannedInteger> ScanWholeInteger(std::string_view text);
std::optional<double> ScanWholeReal(std::string_view text);

// The values of long options are strict: the whole text must be one plain
// decimal number, with nothing before or after it. An integer must fit 32
// bits; a real must be finite.
std::optional<int32_t> ReadWholeInteger(std::string_view text);
std::optional<double> ReadWholeReal(std::string_view text);

}  // namespace tarnek
