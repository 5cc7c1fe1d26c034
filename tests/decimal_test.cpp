// Decimal scanning: where each number ends, what it reads as, and exact
// rounding of reals.
#include "input/decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarnek {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

struct IntegerCase {
  const char* note;
  std::string text;
  bool hasDigits;
  bool fits;
  int32_t value;
  size_t consumed;
};

TEST(DecimalTest, ScanIntegerTable) {
  const IntegerCase cases[] = {
      {"plain", "42", true, true, 42, 2},
      {"explicit plus", "+7", true, true, 7, 2},
      {"minus zero", "-0", true, true, 0, 2},
      {"largest int32", "2147483647", true, true, kMax, 10},
      {"one past largest: saturates", "2147483648", true, false, kMax, 10},
      {"smallest int32", "-2147483648", true, true, kMin, 11},
      {"one below smallest: saturates", "-2147483649", true, false, kMin, 11},
      {"leading zeros do not overflow", "000000000000000000042", true, true, 42, 21},
      {"1000 digits", std::string(1000, '9'), true, false, kMax, 1000},
      {"1000 digits negative", "-" + std::string(1000, '9'), true, false, kMin, 1001},
      {"stops at e", "1ex", true, true, 1, 1},
      {"stops at the point", "4.5", true, true, 4, 1},
      {"no hex", "0x10", true, true, 0, 1},
      {"double sign", "--5", false, true, 0, 0},
      {"lone sign", "-", false, true, 0, 0},
      {"empty", "", false, true, 0, 0},
      {"letter", "abc", false, true, 0, 0},
      {"no white space skipped", " 5", false, true, 0, 0},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.note);
    const char* first = c.text.data();
    const ScannedInteger s = ScanInteger(first, first + c.text.size());
    EXPECT_EQ(s.HasDigits, c.hasDigits);
    if (!c.hasDigits) continue;  // where a failed scan ends is of no use to anyone
    EXPECT_EQ(s.Fits, c.fits);
    EXPECT_EQ(s.Value, c.value);
    EXPECT_EQ(static_cast<size_t>(s.End - first), c.consumed);
  }
}

struct RealCase {
  const char* note;
  std::string text;
  bool hasDigits;
  double value;
  size_t consumed;
};

TEST(DecimalTest, ScanRealTable) {
  const double denormMin = std::numeric_limits<double>::denorm_min();
  const RealCase cases[] = {
      {"dangling exponent consumed", "1ex", true, 1.0, 2},
      {"dangling signed exponent consumed", "1e+x", true, 1.0, 3},
      {"dangling exponent at the end", "7E-", true, 7.0, 3},
      {"point then exponent", "1.e5", true, 100000.0, 4},
      {"no integer digits", ".5", true, 0.5, 2},
      {"sign, no integer digits, exponent", "-.5e-3", true, -0.0005, 6},
      {"explicit plus", "+7", true, 7.0, 2},
      {"trailing point", "5.", true, 5.0, 2},
      {"stops at the second point", "1.2.3", true, 1.2, 3},
      {"stops at letters", "4.5abc", true, 4.5, 3},
      {"exponent stops at the point", "12e3.5", true, 12000.0, 4},
      {"one exponent only", "1e5e5", true, 100000.0, 3},
      {"no hex", "0x10", true, 0.0, 1},
      {"overflow is +inf", "1e999", true, kInf, 5},
      {"overflow is -inf", "-1e999", true, -kInf, 6},
      {"underflow is 0", "1e-999", true, 0.0, 6},
      {"largest double", "1.7976931348623157e308", true, std::numeric_limits<double>::max(), 22},
      {"above the last halfway point: inf", "1.7976931348623159e308", true, kInf, 22},
      {"smallest subnormal", "4.9406564584124654e-324", true, denormMin, 23},
      {"just above half the smallest subnormal", "2.4703282292062328e-324", true, denormMin, 23},
      {"just below half the smallest subnormal", "2.4703282292062327e-324", true, 0.0, 23},
      {"0.1 correctly rounded", "0.1", true, 0.1, 3},
      {"2^53+1 ties to even (down)", "9007199254740993", true, 9007199254740992.0, 16},
      {"2^53+3 ties to even (up)", "9007199254740995", true, 9007199254740996.0, 16},
      {"just above the tie rounds up", "9007199254740993.0000000000000000000001", true,
       9007199254740994.0, 39},
      {"1 + 2^-53 exactly: tie to 1",
       "1.00000000000000011102230246251565404236316680908203125", true, 1.0, 55},
      {"1000-digit fraction of threes", "0." + std::string(1000, '3'), true, 1.0 / 3.0, 1002},
      {"huge exponent on zero", "0e999999999999", true, 0.0, 14},
      {"double sign", "--5", false, 0.0, 0},
      {"lone point", ".", false, 0.0, 0},
      {"lone sign", "-", false, 0.0, 0},
      {"point and exponent, no digits", ".e5", false, 0.0, 0},
      {"empty", "", false, 0.0, 0},
      {"no inf word", "inf", false, 0.0, 0},
      {"no nan word", "nan", false, 0.0, 0},
      {"no signed inf word", "-inf", false, 0.0, 0},
  };
  for (const RealCase& c : cases) {
    SCOPED_TRACE(c.note);
    const char* first = c.text.data();
    const ScannedReal s = ScanReal(first, first + c.text.size());
    EXPECT_EQ(s.HasDigits, c.hasDigits);
    if (!c.hasDigits) continue;
    EXPECT_EQ(s.Value, c.value);
    EXPECT_EQ(static_cast<size_t>(s.End - first), c.consumed);
  }
}

// The scanner must respect the end pointer and never read the byte after it.
TEST(DecimalTest, ScanStopsAtLast) {
  const char text[] = "12345e7";
  EXPECT_EQ(ScanInteger(text, text + 3).Value, 123);
  const ScannedReal r = ScanReal(text, text + 6);  // "12345e": dangling exponent
  EXPECT_EQ(r.Value, 12345.0);
  EXPECT_EQ(r.End, text + 6);
  const char* space = " \t\n\v\f\rx";
  EXPECT_EQ(SkipFieldSpace(space, space + 7), space + 6);
  EXPECT_EQ(SkipFieldSpace(space, space + 3), space + 3);
}

TEST(DecimalTest, OptionValuesNeverFail) {
  const struct {
    const char* text;
    int32_t integer;
    double real;
  } cases[] = {
      {"", 0, 0.0},
      {"abc", 0, 0.0},
      {" 5", 5, 5.0},
      {"\t-7x", -7, -7.0},
      {" 2.5e1", 2, 25.0},
      {"99999999999", kMax, 99999999999.0},
      {"-99999999999", kMin, -99999999999.0},
      {"0x10", 0, 0.0},
      {"1e999", 1, kInf},
      {"-1e999", -1, -kInf},
      {"-", 0, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ReadIntegerValue(c.text), c.integer);
    EXPECT_EQ(ReadRealValue(c.text), c.real);
  }
}

}  // namespace
}  // namespace tarnek
