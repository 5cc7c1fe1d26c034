// "%lf" and "%d" formatting: stated cases, and snprintf("%.6f") as the oracle
// over many values, ties and extremes.
#include "report/number_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tarnek {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::string Oracle(double value) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.6f", value);
  return buf;
}

TEST(NumberFormatTest, StatedCases) {
  const struct {
    const char* note;
    double value;
    const char* text;
  } cases[] = {
      {"exact tie goes to even", 0.0078125, "0.007812"},
      {"one half", 0.5, "0.500000"},
      {"minus five quarters", -1.25, "-1.250000"},
      {"9999", 9999.0, "9999.000000"},
      {"one third in percent", 1.0 / 3.0 * 100.0, "33.333333"},
      {"two thirds in percent", 2.0 / 3.0 * 100.0, "66.666667"},
      {"tolerance", 0.00001, "0.000010"},
      {"below half a millionth", 4.9e-7, "0.000000"},
      {"zero", 0.0, "0.000000"},
      {"120 percent", 100.0 * 1.2, "120.000000"},
      {"+inf", kInf, "+INF"},
      {"-inf", -kInf, "-INF"},
      {"nan", kNan, "+NAN"},
      {"negative nan", -kNan, "-NAN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    EXPECT_EQ(FormatFixed(c.value), c.text);
  }
  std::string out = "x\t";
  AppendFixed(out, 2.5);
  AppendFixed(out, -kInf);
  EXPECT_EQ(out, "x\t2.500000-INF");  // appends, never replaces
}

TEST(NumberFormatTest, Integers) {
  const struct {
    int64_t value;
    const char* text;
  } cases[] = {
      {std::numeric_limits<int32_t>::min(), "-2147483648"},
      {-1, "-1"},
      {0, "0"},
      {7, "7"},
      {std::numeric_limits<int32_t>::max(), "2147483647"},
  };
  for (const auto& c : cases) {
    std::string out = "n=";
    AppendInteger(out, c.value);
    EXPECT_EQ(out, std::string("n=") + c.text);
  }
}

// Values the oracle is compared on: every family of input that could take a
// different path through the formatter.
std::vector<double> OracleValues() {
  std::vector<double> values;
  std::mt19937_64 random(20261205);
  // Random bit patterns: every magnitude from subnormal to the largest double.
  for (int i = 0; i < 100000; ++i) {
    const double v = std::bit_cast<double>(random());
    if (std::isfinite(v)) values.push_back(v);
  }
  // Decimal-looking values: k / 10^d with random sign, the usual table content.
  std::uniform_int_distribution<int> digits(0, 15);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t k = random() % 10000000000000000ULL;
    const double v = static_cast<double>(k) / std::pow(10.0, digits(random));
    values.push_back(i % 2 ? -v : v);
  }
  // Magnitudes 10^-30 to 10^300, scattered.
  std::uniform_real_distribution<double> exponent(-30.0, 300.0);
  for (int i = 0; i < 20000; ++i) values.push_back(std::pow(10.0, exponent(random)));
  // Exact ties at the seventh decimal and beyond: k / 2^n has n decimals.
  for (int n = 7; n <= 24; ++n) {
    for (int k = -300; k <= 300; ++k) {
      values.push_back(std::ldexp(static_cast<double>(k), -n));
      values.push_back(123456.0 + std::ldexp(static_cast<double>(k), -n));
    }
  }
  // Near six-decimal rounding boundaries (k + 1/2) * 10^-6, and their neighbours.
  for (int k = 0; k < 2000; ++k) {
    const double v = (k + 0.5) * 1e-6;
    values.push_back(v);
    values.push_back(std::nextafter(v, 0.0));
    values.push_back(std::nextafter(v, 1.0));
  }
  // Around 1e13 and other powers of ten, a few hundred ulps either side.
  for (double center : {1e13, -1e13, 9999999999999.9999995, 1e12, 1e15, 1e16, 1e17, 1e19, 1e20, 1e22,
                        1e40, 1.8446744073709552e19}) {
    double up = center, down = center;
    for (int i = 0; i < 300; ++i) {
      values.push_back(up);
      values.push_back(down);
      up = std::nextafter(up, kInf);
      down = std::nextafter(down, -kInf);
    }
  }
  // Subnormals, extremes and signed zeros.
  for (double v : {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                   std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(), 0.0, -0.0,
                   -1e-9, -4.9e-7, -5e-7, -5.000000000000001e-7, 9007199254740993.0, 4503599627370495.5}) {
    values.push_back(v);
  }
  for (int i = 0; i < 2000; ++i) {
    values.push_back(std::bit_cast<double>(random() & ((uint64_t{1} << 52) - 1)));  // subnormal
    values.push_back(-std::bit_cast<double>(random() & ((uint64_t{1} << 52) - 1)));
  }
  return values;
}

TEST(NumberFormatTest, MatchesSnprintfOracle) {
  int failures = 0;
  for (double v : OracleValues()) {
    const std::string expected = Oracle(v);
    const std::string actual = FormatFixed(v);
    if (actual != expected && ++failures <= 10) {
      ADD_FAILURE() << "value " << std::hexfloat << v << ": got " << actual << ", expected " << expected;
    }
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace tarnek
