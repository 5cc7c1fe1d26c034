// Report helpers: "%lf" number formatting (stated cases, and snprintf as the
// oracle), CSV fields, the log file name, and the time text of the "-T" lines.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "core/fit_settings.h"  // NoEstimate
#include "report/csv.h"
#include "report/log_name.h"
#include "report/number_format.h"
#include "report/result_table.h"
#include "report/timestamps.h"

using namespace tarnek;

TEST(ResultTableTest, LineFormsAndStars) {
  // The example record of the table's description, and percent values that
  // have no finite result: NoEstimate, and 100 times a ratio beyond 1.8e306.
  // Then the same rows with text identifiers, each line in a buffer of
  // exactly the room promised for it, so that AddressSanitizer sees an overrun.
  RecordTable table;
  table.Unit = {-1, 3};
  table.Code = {7, 8};
  table.Data1 = {3, 10};
  table.Data2 = {2.5, 1e-307};
  const RecordRatios ratios{{1.2, 1e308}, {1.1, NoEstimate}, {NoEstimate, 0.5}};
  const auto line = [&](size_t row) {
    std::vector<char> room(ResultLineRoom(table, row));
    return std::string(room.data(), WriteResultLine(room.data(), table, ratios, row));
  };
  EXPECT_EQ(line(0), "-1\t7\t3\t2.500000\t120.000000\t110.000000\t***\r\n");
  EXPECT_EQ(line(1), "3\t8\t10\t0.000000\t***\t***\t50.000000\r\n");

  const std::string longCode(5000, 'x');  // beyond any fixed room
  table.Code.clear();
  table.CodeText.Append("01001");
  table.CodeText.Append(longCode);
  EXPECT_EQ(line(0), "-1\t01001\t3\t2.500000\t120.000000\t110.000000\t***\r\n") << "-1: no unit column";
  table.Unit = {0, 1};
  table.UnitText.Append("E01000001");
  table.UnitText.Append("");
  EXPECT_EQ(line(0), "E01000001\t01001\t3\t2.500000\t120.000000\t110.000000\t***\r\n");
  EXPECT_EQ(line(1), "\t" + longCode + "\t10\t0.000000\t***\t***\t50.000000\r\n");
}

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

TEST(LogNameTest, SplitAndDeriveTable) {
  const std::string dir = std::string(150, 'd') + "\\", name(300, 'n');
  const struct { std::string path, drive, directory, name, extension, log; } cases[] = {
      {"output.txt", "", "", "output", ".txt", "output.log"},
      {"output", "", "", "output", "", "output.log"},
      {"result.2004.txt", "", "", "result.2004", ".txt", "result.2004.log"},
      {"out.", "", "", "out", ".", "out.log"},
      {R"(c:\work\out.txt)", "c:", R"(\work\)", "out", ".txt", R"(c:\work\out.log)"},
      {R"(..\res\out.dat)", "", R"(..\res\)", "out", ".dat", R"(..\res\out.log)"},
      {R"(dir.old\out)", "", R"(dir.old\)", "out", "", R"(dir.old\out.log)"},
      {"a/b/out.txt", "", "a/b/", "out", ".txt", "a/b/out.log"},
      {"C:out.txt", "C:", "", "out", ".txt", "C:out.log"},
      {".profile", "", "", "", ".profile", ".log"},
      {"a..b", "", "", "a.", ".b", "a..log"},
      {R"(dir\)", "", R"(dir\)", "", "", R"(dir\.log)"},
      {".", "", ".", "", "", R"(.\.log)"},
      {R"(dir\..)", "", R"(dir\..)", "", "", R"(dir\..\.log)"},
      {"x.log", "", "", "x", ".log", "x.log"},
      {" out.txt", "", "", " out", ".txt", " out.log"},                  // a leading blank stays
      {"a/b.c/out", "", "a/b.c/", "out", "", "a/b.c/out.log"},           // a dot behind a forward slash
      {"dir/.", "", "dir/.", "", "", R"(dir/.\.log)"},                    // forward slashes are kept
      {dir + name + ".txt", "", dir, name, ".txt", dir + name + ".log"},  // over 300 bytes: no cut
  };
  for (const auto& c : cases) {
    const PathParts p = SplitPath(c.path);
    EXPECT_EQ(std::tuple(p.Drive, p.Directory, p.Name, p.Extension, DeriveLogFileName(c.path)),
              std::tie(c.drive, c.directory, c.name, c.extension, c.log)) << c.path;
  }
}

TEST(TimestampsTest, FixedReadingsInUtc) {
  const char* zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "UTC0", 1), tzset();
  // 2026-12-05 is 20792 days after Thursday 1970-01-01, so a Saturday, and
  // 20792 * 86400 + 20:34:23 is 1796502863.
  EXPECT_EQ(FormatTimeText(1796502863), "Sat Dec 05 20:34:23 2026\n");
  EXPECT_EQ(FormatTimeText(1796502863 - 13 * 3600 - 26 * 60 - 14), "Sat Dec 05 07:08:09 2026\n");  // the hour zero-padded
  EXPECT_EQ(FormatTimeText(std::time_t(-1)), "unknown\n");  // the clock could not be read
  zone ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ"), tzset();
}
