// "%lf" and "%d" formatting: the stated cases, and snprintf as the oracle.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "report/number_format.h"

using namespace tarnek;

TEST(NumberFormatTest, StatedCasesAndSnprintf) {
  // The stated forms, infinities and NaN included; then snprintf as the
  // oracle of every finite value.
  const std::pair<double, std::string> cases[] = {
      {0.0078125, "0.007812"},  // an exact tie goes to the even digit
      {-1.25, "-1.250000"}, {9999, "9999.000000"}, {1.0 / 3 * 100, "33.333333"}, {2.0 / 3 * 100, "66.666667"},
      {INFINITY, "+INF"}, {-INFINITY, "-INF"}, {NAN, "+NAN"}, {-NAN, "-NAN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatFixed(value), text);
  std::mt19937_64 rng(20261205);
  std::vector<double> values = {0.0, -0.0, 5e-7, -5e-7, 4.9e-324, -2.2250738585072014e-308, 1.7976931348623157e308};
  for (int i = 0; i < 50000; ++i) values.push_back(std::bit_cast<double>(rng()));  // every magnitude
  for (int i = 0; i < 20000; ++i) values.push_back(std::bit_cast<double>(rng() >> 12) * (i % 2 ? 1 : -1));  // subnormals
  for (int k = -3000; k <= 3000; ++k)  // odd k/2^7 are exact ties; k/2^8 and on lie near them
    values.insert(values.end(), {std::ldexp(k, -7 - std::abs(k) % 16), 123456 + std::ldexp(k, -7)});
  for (double v = 1e13, w = 1e13, i = 0; i < 2000; ++i, v = std::nextafter(v, 0.0), w = std::nextafter(w, 2e13))
    values.insert(values.end(), {v, -w});  // either side of 1e13
  int failures = 0;
  for (double v : values) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%.6f", v);
    if (std::isfinite(v) && FormatFixed(v) != expected && ++failures <= 5)
      ADD_FAILURE() << std::hexfloat << v << ": " << FormatFixed(v) << " != " << expected;
  }
  EXPECT_EQ(failures, 0);
}
