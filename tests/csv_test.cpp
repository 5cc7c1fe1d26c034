// CSV fields: quoted only where they must be; numbers as the shortest text
// that reads back, never "nan" or "inf".
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "core/fit_settings.h"  // NoEstimate
#include "report/csv.h"

using namespace tarnek;

TEST(CsvTest, FieldsQuotedOnlyWhereTheyMustBe) {
  const std::pair<std::string, std::string> texts[] = {
      {"-1", "-1"}, {"", ""}, {"Ayr & Arran", "Ayr & Arran"}, {"don't", "don't"},  // nothing to quote
      {"a,b", "\"a,b\""},                                  // a comma would split the field
      {"say \"hi\"", "\"say \"\"hi\"\"\""},                // quotes doubled inside quotes
      {"two\nlines", "\"two\nlines\""}, {"cr\r", "\"cr\r\""},  // a line end would end the record
      {"  sp  ", "\"  sp  \""}, {"\tx", "\"\tx\""}, {"y ", "\"y \""}, {"a b", "a b"},  // readers drop blanks around a field
      {std::string(100000, 'x') + ",", "\"" + std::string(100000, 'x') + ",\""},  // no length limit
  };
  for (const auto& [text, field] : texts) {
    std::string out = "<";
    AppendCsvText(out, text);
    EXPECT_EQ(out, "<" + field) << text;
  }
  // Numbers: never "nan" or "inf"; NoEstimate a number but as an estimate
  // (finite numbers: NumbersAreTheBytesOfToChars).
  const std::pair<double, std::string> numbers[] = {{NoEstimate, "-9999"}, {NAN, ""}, {INFINITY, ""}, {-INFINITY, ""}};
  for (const auto& [value, text] : numbers) {
    std::string out;
    AppendCsvNumber(out, value);
    EXPECT_EQ(out, text) << value;
    out.clear();
    AppendCsvEstimate(out, value);
    EXPECT_EQ(out, value == NoEstimate ? "" : text) << "NoEstimate alone is also empty";
  }
}

TEST(CsvTest, NumbersAreTheBytesOfToChars) {
  // The tables' numbers must stay the bytes std::to_chars writes: compared on
  // a million random bit patterns (every binade, subnormals, both signs), as
  // many decimal-looking values k/10^j and integers up to 2^64, and around
  // every power of ten, where fixed and scientific forms trade places; and
  // the integers from 2^53 on, which to_chars writes with their exact digits.
  std::mt19937_64 rng(2024);
  std::string want, got;
  int compared = 0;
  const auto compare = [&](double v) {
    if (!std::isfinite(v)) return;
    char buf[64];
    want.assign(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    got.clear();
    AppendCsvNumber(got, v);
    ++compared;
    ASSERT_EQ(got, want) << std::hexfloat << v;
  };
  for (int i = 0; i < 1000000; ++i) {
    compare(std::bit_cast<double>(rng()));
    compare(static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<double>(rng() % 40)));
    compare(static_cast<double>(rng() >> (rng() % 64)));
  }
  for (int e = -325; e <= 308; ++e) {
    for (const double f : {1.0, 1.5, 2.0, 9.999999999999998, 1.2345678901234567}) {
      const double v = f * std::pow(10.0, e);
      for (const double w : {v, std::nextafter(v, 0.0), std::nextafter(v, INFINITY), -v}) compare(w);
    }
  }
  for (const double v : {0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0x1p53, 0x1p53 + 2,
                         57673147941863512.0, 1e22, 1e23, 123456789012345678901.0}) {
    compare(v);
  }
  EXPECT_GT(compared, 3000000);
}
