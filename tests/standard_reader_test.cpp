// The standard's reader: the stratum columns and the rate found by name in a
// CSV file, every row's line kept, errors named as in the data.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "input/standard_reader.h"

using namespace tarnek;

TEST(StandardReaderTest, StrataAndRateByName) {
  const std::string name = ::testing::TempDir() + "standard_reader_test.csv";
  const auto read = [&](const std::string& text, StandardRates& rates) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const CsvReadResult result = ReadStandardFile(name, {"age", "sex"}, rates);
    std::remove(name.c_str());
    return result;
  };
  StandardRates rates;
  ASSERT_EQ(read("\xEF\xBB\xBFRate,note,SEX,Age\r\n0.5,\"a,\nb\",f,0-4\r\n\r\n0,,m,85+\r\n", rates).Status, CsvStatus::Ok);
  EXPECT_EQ(rates.FileName, name);
  ASSERT_EQ(rates.Table.Size(), 2u);
  EXPECT_EQ(std::tuple(rates.Table.Column("age")->Texts.At(1), rates.Table.Column("sex")->Texts.At(0),
                       rates.Table.Column("rate")->Reals, rates.Table.Lines),
            std::tuple("85+", "f", std::vector<double>{0.5, 0}, std::vector<uint64_t>{2, 5}));
  // A rate that is no number: the golden case standard_bad_rate; a column
  // twice: the CSV columns' header (csv_reader_test, the end-to-end refusals).
  const struct { const char* note; std::string text; CsvStatus status; uint64_t line; const char* column; } bad[] = {
      {"no rate column", "age,sex\n1,f\n", CsvStatus::MissingColumn, 1, "rate"},
      {"a negative rate", "age,sex,rate\n1,f,-1e-9\n", CsvStatus::OutOfRange, 2, "rate"},
      {"an empty stratum", "age,sex,rate\n,f,1\n", CsvStatus::NotAValue, 2, "age"},
  };
  for (const auto& c : bad) {
    StandardRates r;
    const CsvReadResult result = read(c.text, r);
    EXPECT_EQ(std::tie(result.Status, result.Line, result.Column), std::tie(c.status, c.line, c.column)) << c.note;
  }
  StandardRates none;
  EXPECT_EQ(ReadStandardFile(name + ".missing", {"age"}, none).Status, CsvStatus::CannotOpen);
}
