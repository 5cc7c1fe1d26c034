// CSV fields: quoted only where they must be; numbers as the shortest text
// that reads back, never "nan" or "inf".
#include <gtest/gtest.h>

#include <cmath>
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
      {std::string(100000, 'x') + ",", "\"" + std::string(100000, 'x') + ",\""},  // no length limit
  };
  for (const auto& [text, field] : texts) {
    std::string out = "<";
    AppendCsvText(out, text);
    EXPECT_EQ(out, "<" + field) << text;
  }
  // Numbers: the shortest text that reads back as the same double, as
  // to_chars chooses between fixed and exponent form; never "nan" or "inf".
  const std::pair<double, std::string> numbers[] = {
      {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {-2.5, "-2.5"}, {1e-7, "1e-07"}, {100000.0, "1e+05"},
      {123456.0, "123456"}, {-0.0, "-0"}, {NoEstimate, "-9999"}, {4.9e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {NAN, ""}, {INFINITY, ""}, {-INFINITY, ""},
  };
  for (const auto& [value, text] : numbers) {
    std::string out;
    AppendCsvNumber(out, value);
    EXPECT_EQ(out, text) << value;
    out.clear();
    AppendCsvEstimate(out, value);
    EXPECT_EQ(out, value == NoEstimate ? "" : text) << "NoEstimate alone is also empty";
  }
}
