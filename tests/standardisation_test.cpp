// Indirect standardisation: hand-derived cases, every check with the row it
// names, the formula in quadruple precision on generated long-form data, and
// numbers printed by R.
#include <gtest/gtest.h>

#include <quadmath.h>  // __float128 (GCC), for the independent evaluation

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "estimation/standardisation.h"
#include "input/csv_reader.h"
#include "input/standard_reader.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

using Status = StandardiseStatus;

using testdata::Texts;

// The rows of `csv` as a run with `settings` reads them.
RecordTable ReadRows(const std::string& csv, const StandardisationSettings& settings, CsvColumns columns = {}) {
  RequestStandardisationColumns(settings, columns);
  RecordTable rows;
  const CsvReadResult read = ParseCsv(csv, columns, rows);
  EXPECT_EQ(read.Status, CsvStatus::Ok) << "line " << read.Line << ", " << read.Column;
  return rows;
}

// A standard read from a file holding `csv`.
StandardRates ReadStandard(const std::string& csv, const std::vector<std::string>& strata) {
  // Named after the test: the tests run at once, each in a process of its own.
  const std::string name = ::testing::TempDir() + "standardisation_test_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
  std::FILE* file = std::fopen(name.c_str(), "wb");
  std::fwrite(csv.data(), 1, csv.size(), file);
  std::fclose(file);
  StandardRates standard;
  const CsvReadResult read = ReadStandardFile(name, strata, standard);
  EXPECT_EQ(read.Status, CsvStatus::Ok) << "line " << read.Line << ", " << read.Column;
  std::remove(name.c_str());
  return standard;
}

const StandardisationSettings kByAge{"pop", {"age"}};

// Two regions of one unit, three age groups, their rows mixed; B has no row
// of the oldest group. Stratum rates 6/400, 4/400 and 5/100.
const std::string kTwoRegions =
    "unit,code,age,observed,pop\n"
    "1,A,young,2,100\n"
    "1,B,young,4,300\n"
    "1,A,middle,3,200\n"
    "1,B,middle,1,200\n"
    "1,A,old,5,100\n";

}  // namespace

TEST(StandardisationTest, HandDerivedCases) {
  // Each expected count worked out by hand from the rows; a note says how.
  // A row of population 0 and a stratum without cases anywhere (rate 0):
  // the golden cases standardise_internal and standardise_external, whose
  // expected counts the end-to-end test derives by hand.
  const StandardisationSettings byFile{"pop", {"age"}, StandardisationSet::File};
  const struct {
    const char* note;
    std::string csv;
    StandardisationSettings settings;
    std::string standard;  // empty: internal
    std::vector<std::string> codes;
    std::vector<int32_t> observed;
    std::vector<double> expected;
    std::vector<int32_t> units = {};
    std::vector<uint64_t> lines = {};
  } cases[] = {
      {"external: A = 100 x 0.25 + 200 x 0.5 + 100 x 0.75 = 200, B = 75 + 100; the unused rate is ignored",
       kTwoRegions, kByAge, "age,rate,note\nold,0.75,x\nyoung,0.25,y\nmiddle,0.5,z\nnone,8,\n", {"A", "B"}, {10, 5},
       {200, 175}},
      {"by group: unit 1 rates 4/200 and 4/500 give A = 2 + 0.8, B = 2 + 3.2; unit 2 alone gives C = 5 x 1",
       "unit,code,age,observed,pop\n1,A,y,1,100\n2,C,y,5,100\n1,A,o,3,100\n1,B,y,3,100\n1,B,o,1,400\n2,C,o,0,100\n",
       kByAge, "", {"A", "C", "B"}, {4, 5, 4}, {2.8, 5, 5.2}, {0, 1, 0}, {2, 3, 5}},
      {"by file: rates 9/300 and 4/600 give A = 3 + 2/3, C = 3 + 2/3, B = 3 + 8/3",
       "unit,code,age,observed,pop\n1,A,y,1,100\n2,C,y,5,100\n1,A,o,3,100\n1,B,y,3,100\n1,B,o,1,400\n2,C,o,0,100\n",
       byFile, "", {"A", "C", "B"}, {4, 5, 4}, {11.0 / 3, 11.0 / 3, 17.0 / 3}, {0, 1, 0}},
      {"one code in two units is two regions",
       "unit,code,age,observed,pop\n1,A,y,1,100\n2,A,y,3,100\n", byFile, "", {"A", "A"}, {1, 3}, {2, 2}, {0, 1}},
      {"two stratum columns: the pairs, not either alone; rates 2/100, 1/200, 0, 3/100 give A = 2 + 0.5, "
       "B = 0 + 3 + 0.5",
       "unit,code,age,sex,observed,pop\n1,A,y,f,2,100\n1,A,y,m,1,100\n1,B,o,f,0,50\n1,B,o,m,3,100\n1,B,y,m,0,100\n",
       {"pop", {"age", "sex"}}, "", {"A", "B"}, {3, 3}, {2.5, 3.5}},
      {"without strata every row is a region, codes may repeat: E = pop x 4/5000",
       "unit,code,observed,pop\n1,A,1,1000\n1,B,3,3000\n1,A,0,1000\n", {"pop", {}}, "", {"A", "B", "A"}, {1, 3, 0},
       {0.8, 2.4, 0.8}},
      {"without strata, the standard's one rate", "unit,code,observed,pop\n1,A,1,1000\n1,B,3,3000\n", {"pop", {}},
       "rate\n0.002\n", {"A", "B"}, {1, 3}, {2, 6}},
      {"no rows, no regions", "unit,code,age,observed,pop\n", kByAge, "age,rate\ny,1\n", {}, {}, {}},
      {"a total of 2^31 - 1 is a count: rates 2147483646/1 and 1/1",
       "unit,code,age,observed,pop\n1,A,y,2147483646,1\n1,A,o,1,1\n", kByAge, "", {"A"}, {2147483647}, {2147483647}},
  };
  for (const auto& c : cases) {
    const RecordTable rows = ReadRows(c.csv, c.settings);
    const StandardRates standard = c.standard.empty() ? StandardRates{} : ReadStandard(c.standard, c.settings.Strata);
    RecordTable regions;
    const StandardiseResult result = Standardise(rows, c.settings, c.standard.empty() ? nullptr : &standard, regions);
    ASSERT_EQ(result.Status, Status::Ok) << c.note << ": line " << result.Line;
    EXPECT_EQ(std::tuple(Texts(regions.CodeText), regions.Data1, regions.Data2),
              std::tuple(c.codes, c.observed, c.expected)) << c.note;
    if (!c.units.empty()) {
      EXPECT_EQ(regions.Unit, c.units) << c.note;
    }
    if (!c.lines.empty()) {
      EXPECT_EQ(regions.Lines, c.lines) << c.note;
    }
    EXPECT_EQ(Texts(regions.UnitText), Texts(rows.UnitText)) << c.note;
    EXPECT_TRUE(regions.Columns.empty()) << c.note << ": the population and strata are not carried";
  }
}

TEST(StandardisationTest, OtherColumnsAreKeptPerRegion) {
  // A column asked for besides the population and strata (a covariate, a
  // name) is the region's: all its rows must hold the same value.
  CsvColumns columns;
  columns.Extra = {{"x", ColumnKind::Real}, {"name", ColumnKind::Text}};
  const std::string head = "unit,code,age,observed,pop,x,name\n";
  const RecordTable rows = ReadRows(head + "1,A,y,1,10,0.5,Ayr\n1,B,y,1,10,2,\n1,A,o,1,10,0.5,Ayr\n", kByAge, columns);
  RecordTable regions;
  ASSERT_EQ(Standardise(rows, kByAge, nullptr, regions).Status, Status::Ok);
  ASSERT_EQ(regions.Columns.size(), 2u);
  EXPECT_EQ(regions.Column("x")->Reals, (std::vector<double>{0.5, 2}));
  EXPECT_EQ(Texts(regions.Column("name")->Texts), (std::vector<std::string>{"Ayr", ""}));
  for (const std::string& bad : {head + "1,A,y,1,10,0.5,Ayr\n1,A,o,1,10,0.25,Ayr\n", head + "1,A,y,1,10,0.5,Ayr\n1,A,o,1,10,0.5,ayr\n"}) {
    const StandardiseResult r = Standardise(ReadRows(bad, kByAge, columns), kByAge, nullptr, regions);
    EXPECT_EQ(std::tie(r.Status, r.Line, r.OtherLine), std::tuple(Status::ColumnDiffers, uint64_t{3}, uint64_t{2})) << bad;
  }
}

TEST(StandardisationTest, EveryCheckNamesItsRow) {
  // Besides the golden cases (a region's stratum twice, a stratum missing
  // from the standard, a region without population) and the end-to-end
  // refusals (a standard's stratum twice, an observed total beyond 32 bits,
  // cases in a stratum without population), which name the same rows.
  const std::string head = "unit,code,age,observed,pop\n";
  const StandardisationSettings noStrata{"pop", {}};
  const StandardisationSettings ageSex{"pop", {"age", "sex"}};
  const struct {
    const char* note;
    std::string csv;
    StandardisationSettings settings;
    std::string standard;  // empty: internal
    Status status;
    uint64_t line, otherLine;
    std::string name;
  } cases[] = {
      {"the earliest repeating row, though its region comes later",
       head + "1,A,y,1,1\n1,B,y,1,1\n1,B,y,1,1\n1,A,y,1,1\n", kByAge, "", Status::StratumRepeated, 4, 3, ""},
      {"one code in two units repeats nothing", head + "1,A,y,1,1\n2,A,y,1,1\n1,B,y,0,0\n", kByAge, "",
       Status::ExpectedOutOfRange, 4, 0, "B"},
      {"by group, the other unit's population does not count",
       head + "1,A,y,1,5\n2,B,y,1,0\n2,B,o,1,5\n", kByAge, "", Status::NoPopulation, 3, 0, ""},
      {"a stratum the standard lacks: its first row, its texts", "unit,code,age,sex,observed,pop\n1,A,y,f,1,1\n1,A,o,m,1,1\n1,B,o,m,1,0\n",
       ageSex, "sex,age,rate\nf,y,0.1\nm,y,0.1\n", Status::MissingStratum, 3, 0, "o,m"},
      {"an expected count beyond the double range", head + "1,A,y,1,1e308\n", kByAge, "age,rate\ny,2\n",
       Status::ExpectedOutOfRange, 2, 0, "A"},
      {"an expected count that rounds to 0", head + "1,A,y,1,1e-300\n", kByAge, "age,rate\ny,1e-300\n",
       Status::ExpectedOutOfRange, 2, 0, "A"},
      {"without strata, a unit with cases and no population", "unit,code,observed,pop\n1,A,1,1\n2,B,1,0\n", noStrata, "",
       Status::NoPopulation, 3, 0, ""},
  };
  for (const auto& c : cases) {
    const RecordTable rows = ReadRows(c.csv, c.settings);
    const StandardRates standard = c.standard.empty() ? StandardRates{} : ReadStandard(c.standard, c.settings.Strata);
    RecordTable regions;
    const StandardiseResult r = Standardise(rows, c.settings, c.standard.empty() ? nullptr : &standard, regions);
    EXPECT_EQ(std::tie(r.Status, r.Line, r.OtherLine, r.Name), std::tie(c.status, c.line, c.otherLine, c.name)) << c.note;
  }
}

TEST(StandardisationTest, RepeatsAreFoundWhateverTheNumberOfPairs) {
  // A bit per pair of region and stratum where they are few, the rows
  // sorted by region where they are many (every row its own stratum): the
  // same earliest repeat either way.
  for (const bool manyPairs : {false, true}) {
    std::string csv = "unit,code,age,observed,pop\n";
    for (int i = 0; i < 400; ++i) {
      csv += "1," + std::to_string(i % 200) + "," + std::to_string(manyPairs ? i : i / 200) + ",1,1\n";
    }
    csv += "1,7,x,1,1\n1,150," + std::string(manyPairs ? "350" : "1") + ",1,1\n1,9,0,1,1\n";
    RecordTable regions;
    const StandardiseResult r = Standardise(ReadRows(csv, kByAge), kByAge, nullptr, regions);
    EXPECT_EQ(std::tie(r.Status, r.Line, r.OtherLine), std::tuple(Status::StratumRepeated, uint64_t{403}, uint64_t{352}))
        << manyPairs;
  }
}

namespace {

// The formula in quadruple precision, written out apart from the module:
// maps keyed by the texts, sums in file order.
struct QuadRow {
  int unit;
  std::string code, stratum;
  int32_t observed;
  double population;
};

struct QuadRegion {
  int unit;
  std::string code;
  int64_t observed = 0;
  __float128 expected = 0;
};

std::vector<QuadRegion> QuadExpected(const std::vector<QuadRow>& rows, bool byGroup, const std::map<std::string, double>* rates) {
  std::map<std::pair<int, std::string>, std::pair<__float128, __float128>> strata;  // (set, stratum): cases, population
  for (const QuadRow& row : rows) {
    auto& [cases, population] = strata[{byGroup ? row.unit : 0, row.stratum}];
    cases += row.observed;
    population += row.population;
  }
  std::vector<QuadRegion> regions;
  std::map<std::pair<int, std::string>, size_t> index;
  for (const QuadRow& row : rows) {
    const auto [at, added] = index.try_emplace({row.unit, row.code}, regions.size());
    if (added) regions.push_back({row.unit, row.code});
    QuadRegion& region = regions[at->second];
    const auto& [cases, population] = strata[{byGroup ? row.unit : 0, row.stratum}];
    const __float128 rate = rates != nullptr ? __float128(rates->at(row.stratum)) : population > 0 ? cases / population : 0;
    region.observed += row.observed;
    region.expected += row.population * rate;
  }
  return regions;
}

double Ulp(double x) { return std::nextafter(x, std::numeric_limits<double>::infinity()) - x; }

}  // namespace

TEST(StandardisationTest, AgreesWithTheFormulaInQuadruplePrecision) {
  // 100 regions in 4 units, 18 age groups x 2 sexes, the rows shuffled; some
  // rows missing, some with population 0, populations with many digits.
  // Internal by group and by file, and external: every Data2 within 0.51
  // ulp of the quadruple-precision value, and a set's Data2 adding up (in
  // quadruple precision, near exactly) to its observed total within
  // 1.004 x 2^-53 of it: the rounding of each Data2 alone.
  std::mt19937_64 random(26);
  std::vector<QuadRow> rows;
  std::string csv = "unit,code,age,sex,observed,pop\n";
  std::map<std::string, double> rates;
  for (int age = 0; age < 18; ++age) {
    for (const char* sex : {",f", ",m"}) rates[std::to_string(age) + sex] = std::ldexp(double(random() >> 11), -53) * 0.01;
  }
  for (int region = 0; region < 100; ++region) {
    for (int age = 0; age < 18; ++age) {
      for (const char* sex : {",f", ",m"}) {
        const uint64_t draw = random();
        if (draw % 17 == 0) continue;  // no row: no population there
        const double population = draw % 13 == 0 ? 0.0 : double(draw >> 40) / 64.0 + 0.015625 * double(draw % 64);
        const int32_t observed = population == 0 ? 0 : static_cast<int32_t>((draw >> 20) % 40);
        rows.push_back({region % 4, std::to_string(region + 1000), std::to_string(age) + sex, observed, population});
      }
    }
  }
  for (size_t i = rows.size(); i > 1; --i) std::swap(rows[i - 1], rows[random() % i]);
  const auto exact = [](double v) {  // the digits that read back as v
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
  };
  for (const QuadRow& row : rows) {
    csv += std::to_string(row.unit) + "," + row.code + "," + row.stratum + "," + std::to_string(row.observed) + "," +
           exact(row.population) + "\n";
  }
  std::string standard = "age,sex,rate\n";
  for (const auto& [stratum, rate] : rates) standard += stratum + "," + exact(rate) + "\n";
  const struct { const char* note; StandardisationSet within; bool external; } runs[] = {
      {"internal, by group", StandardisationSet::Group, false},
      {"internal, by file", StandardisationSet::File, false},
      {"external", StandardisationSet::Group, true},
  };
  for (const auto& run : runs) {
    const StandardisationSettings settings{"pop", {"age", "sex"}, run.within};
    const RecordTable table = ReadRows(csv, settings);
    const StandardRates rates_ = run.external ? ReadStandard(standard, settings.Strata) : StandardRates{};
    RecordTable regions;
    ASSERT_EQ(Standardise(table, settings, run.external ? &rates_ : nullptr, regions).Status, Status::Ok) << run.note;
    const std::vector<QuadRegion> quad =
        QuadExpected(rows, run.within == StandardisationSet::Group, run.external ? &rates : nullptr);
    ASSERT_EQ(regions.Size(), quad.size()) << run.note;
    std::map<int, std::pair<__float128, int64_t>> sets;  // E and O per set
    for (size_t r = 0; r < quad.size(); ++r) {
      ASSERT_EQ(std::tuple(std::string(regions.CodeText.At(r)), int64_t{regions.Data1[r]}), std::tuple(quad[r].code, quad[r].observed));
      const double e = regions.Data2[r];
      const double error = static_cast<double>(fabsq(static_cast<__float128>(e) - quad[r].expected));
      EXPECT_LE(error, 0.51 * Ulp(e)) << run.note << ", " << quad[r].code;
      auto& [sumE, sumO] = sets[run.within == StandardisationSet::Group ? quad[r].unit : 0];
      sumE += e;
      sumO += quad[r].observed;
    }
    if (run.external) continue;
    EXPECT_EQ(sets.size(), run.within == StandardisationSet::Group ? 4u : 1u);
    for (const auto& [set, sums] : sets) {
      const double gap = static_cast<double>(fabsq(sums.first - sums.second));
      EXPECT_LE(gap, 1.004 * std::ldexp(double(sums.second), -53)) << run.note << ", set " << set;
    }
  }
}

TEST(StandardisationTest, AgreesWithR) {
  // Printed by tests/standardisation_check.R (R 4.2.2, base R: tapply, as
  // SpatialEpi's expected() computes them), with sprintf("%.17g"): the
  // expected counts of its data, internal and external. R's double sums
  // and ours differ in the last bits only.
  const std::string csv =
      "unit,code,age,sex,observed,pop\n"
      "1,A,0-39,f,3,1520.5\n1,A,0-39,m,1,1610\n1,A,40-69,f,7,980.25\n1,A,40-69,m,9,1011\n1,A,70+,f,12,402\n"
      "1,A,70+,m,10,301.75\n1,B,0-39,f,0,802\n1,B,40-69,f,4,655.5\n1,B,70+,m,6,199\n1,B,70+,f,9,250\n"
      "1,C,40-69,m,11,1200\n1,C,0-39,m,2,2250.125\n1,C,70+,m,8,388\n1,C,70+,f,5,290\n";
  const std::string standard = "age,sex,rate\n0-39,f,0.0011\n0-39,m,0.0013\n40-69,f,0.0071\n40-69,m,0.0094\n"
                               "70+,f,0.031\n70+,m,0.029\n";
  const StandardisationSettings settings{"pop", {"age", "sex"}};
  const struct { const char* note; bool external; std::vector<double> r; } cases[] = {
      {"internal", false, {38.196480269890735, 17.718074306718126, 31.085445423391135}},
      {"external", true, {41.441475000000004, 19.05725, 34.447162500000005}},
  };
  for (const auto& c : cases) {
    const StandardRates rates = c.external ? ReadStandard(standard, settings.Strata) : StandardRates{};
    RecordTable regions;
    ASSERT_EQ(Standardise(ReadRows(csv, settings), settings, c.external ? &rates : nullptr, regions).Status, Status::Ok);
    ASSERT_EQ(regions.Size(), c.r.size());
    for (size_t i = 0; i < c.r.size(); ++i) EXPECT_NEAR(regions.Data2[i], c.r[i], 4 * Ulp(c.r[i])) << c.note << " " << i;
  }
}
