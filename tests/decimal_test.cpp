// Decimal scanning: one case per way through the scanners, and the strict
// whole values of long options.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "input/decimal.h"

using namespace tarnek;

// One case per way through the scanners. `used` is the count of characters
// consumed, 0 when there is no number; an integer fits when strtod agrees.
TEST(DecimalTest, ScanTable) {
  const struct { bool real; std::string text; double value; long used; } cases[] = {
      {false, "1ex", 1, 1},                        // an integer ends at the e
      {false, "2147483647", 2147483647, 10},       // the largest int32 fits
      {false, "2147483648", 2147483647, 10},       // one more saturates
      {false, "-2147483648", -2147483648.0, 11},   // the smallest fits
      {false, "-2147483649", -2147483648.0, 11},   // one less saturates
      {false, std::string(400, '9'), 2147483647, 400},  // a long digit string is consumed whole
      {false, "-", 0, 0},                          // a sign alone is no number
      {true, "1ex", 1, 2},                         // a dangling exponent is consumed
      {true, "1e+x", 1, 3},                        // with its sign
      {true, ".5", 0.5, 2},                        // no integer digits
      {true, "1.", 1, 2},                          // no fraction digits
      {true, "-", 0, 0},
      {true, ".", 0, 0},
      {true, "0x10", 0, 1},                        // no hex
      {true, "inf", 0, 0},                         // no words
      {true, "1e999", INFINITY, 5},                // beyond the range: infinity
      {true, "1e-999", 0, 6},                      // below it: zero
      {true, "9007199254740993", 9007199254740992.0, 16},  // 2^53 + 1: the tie goes to even
      {true, "2.4703282292062328e-324", 4.9406564584124654e-324, 23},  // just above half the least subnormal
      {true, "0." + std::string(400, '3'), 1.0 / 3, 402},  // correctly rounded from many digits
  };
  for (const auto& c : cases) {
    const char *p = c.text.data(), *last = p + c.text.size();
    const ScannedReal r = ScanReal(p, last);
    const ScannedInteger i = ScanInteger(p, last);
    const auto [has, value, end, fits] = c.real ? std::tuple(r.HasDigits, r.Value, r.End, true) : std::tuple(i.HasDigits, double(i.Value), i.End, i.Fits);
    EXPECT_EQ(std::tuple(has, value, has ? end - p : 0, fits),
              std::tuple(c.used > 0, c.value, c.used, c.real || std::strtod(c.text.c_str(), nullptr) == c.value)) << c.text;
  }
}

// Long options' values: the whole text is one plain decimal, or nothing.
TEST(DecimalTest, WholeValues) {
  const struct { std::string text; std::optional<double> real; std::optional<int32_t> integer; } cases[] = {
      {"0.95", 0.95, std::nullopt},
      {"+2", 2, 2},
      {"-7", -7, -7},
      {"1e-3", 0.001, std::nullopt},
      {".5", 0.5, std::nullopt},
      {"2147483647", 2147483647.0, 2147483647},
      {"2147483648", 2147483648.0, std::nullopt},  // beyond 32 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadWholeReal(c.text), c.real) << c.text;
    EXPECT_EQ(ReadWholeInteger(c.text), c.integer) << c.text;
  }
  // Read as neither: nothing; blanks around; text after it; a dangling
  // exponent, with or without its sign; hex; words; beyond the double range.
  for (const std::string text : {"", " 1", "1 ", "1x", "1e", "1e+", "0x10", "inf", "nan", "1e999"})
    EXPECT_FALSE(ReadWholeReal(text) || ReadWholeInteger(text)) << text;
}
