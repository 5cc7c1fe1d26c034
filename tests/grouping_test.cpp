// Tests of unit grouping: the choice of mode, which records form each group,
// the order of the groups, and the scatter-back of every record's results to
// its own row, checked bit for bit against the reference in
// reference_estimator.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>         // std::bit_cast
#include <cmath>       // std::exp, std::round
#include <cstdint>
#include <cstdio>      // sscanf
#include <cstdlib>     // mkdtemp
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "grouping/grouping.h"
#include "reference_estimator.h"

namespace {

using tarnek::GroupMode;
using tarnek::RecordTable;
using tarnek::RunSettings;

RecordTable MakeTable(const std::vector<int32_t>& units, const std::vector<int32_t>& data1,
                      const std::vector<double>& data2) {
  RecordTable t;
  t.Unit = units;
  for (size_t k = 0; k < units.size(); ++k) t.Code.push_back(static_cast<int32_t>(k + 1));
  t.Data1 = data1;
  t.Data2 = data2;
  return t;
}

// What the log says about each block, in order.
struct LogBlocks {
  std::vector<int32_t> headingUnits;  // "For unit %d ..." lines
  std::vector<int32_t> regionCounts;  // " Number of regions: %d"
  std::vector<int32_t> iterations;    // " Iteration for convergence : %d"
};

LogBlocks ParseLog(const std::string& text) {
  LogBlocks blocks;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    int value = 0;
    if (std::sscanf(line.c_str(), "For unit %d ", &value) == 1) blocks.headingUnits.push_back(value);
    if (std::sscanf(line.c_str(), " Number of regions: %d", &value) == 1) blocks.regionCounts.push_back(value);
    if (std::sscanf(line.c_str(), " Iteration for convergence : %d", &value) == 1) blocks.iterations.push_back(value);
  }
  return blocks;
}

class GroupingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnek-grouping-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs the library's grouping with a real log and returns what the log holds.
  LogBlocks Run(RecordTable& table, const RunSettings& settings, tarnek::GroupWorkspace& ws) {
    const std::string name = (dir_ / "result.log").string();
    tarnek::OutputFile log;
    EXPECT_EQ(tarnek::OpenLog(log, name), tarnek::OutputStatus::Ok);
    tarnek::EstimateAllGroups(table, settings, ws, log);
    EXPECT_EQ(tarnek::CloseLog(log), tarnek::OutputStatus::Ok);
    tarnek::OutputFile* files[] = {&log};
    EXPECT_EQ(tarnek::CommitOutputs(files, 1), nullptr);
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return ParseLog(text.str());
  }
  LogBlocks Run(RecordTable& table, const RunSettings& settings) {
    tarnek::GroupWorkspace ws;
    return Run(table, settings, ws);
  }

  std::filesystem::path dir_;
};

uint64_t Bits(double v) { return std::bit_cast<uint64_t>(v); }

void ExpectRowsSameBits(const RecordTable& got, const RecordTable& want) {
  ASSERT_EQ(got.Ratio.size(), want.Size());
  ASSERT_EQ(got.EbRatioMe.size(), want.Size());
  ASSERT_EQ(got.EbRatioMle.size(), want.Size());
  for (size_t k = 0; k < want.Size(); ++k) {
    EXPECT_EQ(Bits(got.Ratio[k]), Bits(want.Ratio[k])) << "Ratio of row " << k;
    EXPECT_EQ(Bits(got.EbRatioMe[k]), Bits(want.EbRatioMe[k])) << "EbRatioMe of row " << k;
    EXPECT_EQ(Bits(got.EbRatioMle[k]), Bits(want.EbRatioMle[k])) << "EbRatioMle of row " << k;
  }
}

TEST(GroupingModeTest, FirstRecordAloneDecides) {
  struct Case { const char* note; std::vector<int32_t> units; GroupMode mode; };
  const Case cases[] = {
      {"empty table: per-unit mode with no group", {}, GroupMode::PerUnit},
      {"first Unit -1: one group of all", {-1, 3, 7}, GroupMode::SingleGroup},
      {"single record with Unit -1", {-1}, GroupMode::SingleGroup},
      {"a later -1 selects nothing", {4, -1, -1}, GroupMode::PerUnit},
      {"Unit 0 is an ordinary unit", {0, -1}, GroupMode::PerUnit},
  };
  for (const Case& c : cases) {
    RecordTable t = MakeTable(c.units, std::vector<int32_t>(c.units.size(), 1),
                              std::vector<double>(c.units.size(), 1.0));
    EXPECT_EQ(tarnek::ChooseGroupMode(t), c.mode) << c.note;
  }
}

// Hand-written groupings: the groups, their order and their members are
// stated in the case, and every row must carry the results of the reference
// estimator run on its own group alone.
TEST_F(GroupingTest, GroupsOrderAndScatterBack) {
  struct Group { int32_t unit; std::vector<int> rows; };
  struct Case {
    const char* note;
    std::vector<int32_t> units;
    bool perUnit;  // blocks have heading lines
    std::vector<Group> groups;  // in the order of estimation
  };
  const Case cases[] = {
      {"units 5,2,5,2,9: groups 2,5,9; unit 2 owns rows 1 and 3", {5, 2, 5, 2, 9}, true,
       {{2, {1, 3}}, {5, {0, 2}}, {9, {4}}}},
      {"units 2,1,2,1: heading names the unit of its own records", {2, 1, 2, 1}, true,
       {{1, {1, 3}}, {2, {0, 2}}}},
      {"first -1, later 3 and 7: all records one group, no heading", {-1, 3, 7, 3, -1}, false,
       {{-1, {0, 1, 2, 3, 4}}}},
      {"first 4, later -1: per unit, -1 is estimated first", {4, -1, 4, -1, 0}, true,
       {{-1, {1, 3}}, {0, {4}}, {4, {0, 2}}}},
      {"every record unit 6: one group with a heading", {6, 6, 6, 6}, true, {{6, {0, 1, 2, 3}}}},
      {"extreme units: a subtracting comparison would overflow", {2147483647, 0, 2147483647, -1, 0},
       true, {{-1, {3}}, {0, {1, 4}}, {2147483647, {0, 2}}}},
      {"empty table: nothing estimated, banner only", {}, true, {}},
  };
  const std::vector<int32_t> counts = {4, 1, 7, 3, 2, 9, 0};
  const std::vector<double> expected = {2.0, 1.5, 3.0, 2.5, 1.0, 4.2, 0.7};
  const RunSettings settings;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    const size_t n = c.units.size();
    RecordTable table = MakeTable(c.units, {counts.begin(), counts.begin() + n},
                                  {expected.begin(), expected.begin() + n});
    table.Ratio.assign(n + 3, 777.0);  // stale columns of another size must be replaced
    const LogBlocks log = Run(table, settings);
    ASSERT_EQ(table.Ratio.size(), n);

    std::vector<int32_t> headings, sizes, iterations;
    for (const Group& g : c.groups) {
      tarnek::GroupWorkspace ws;
      ws.RegionCount = static_cast<int32_t>(g.rows.size());
      for (int k : g.rows) {
        ws.Data1.push_back(table.Data1[k]);
        ws.Data2.push_back(table.Data2[k]);
      }
      tarnek::reference::EstimateGroup(ws, settings);
      for (size_t i = 0; i < g.rows.size(); ++i) {
        const int k = g.rows[i];
        EXPECT_EQ(Bits(table.Ratio[k]), Bits(ws.Ratio[i])) << "row " << k;
        EXPECT_EQ(Bits(table.EbRatioMe[k]), Bits(ws.EbRatioMe[i])) << "row " << k;
        EXPECT_EQ(Bits(table.EbRatioMle[k]), Bits(ws.EbRatioMle[i])) << "row " << k;
      }
      if (c.perUnit) headings.push_back(g.unit);
      sizes.push_back(ws.RegionCount);
      iterations.push_back(ws.Iterations);
    }
    EXPECT_EQ(log.headingUnits, headings);
    EXPECT_EQ(log.regionCounts, sizes);
    EXPECT_EQ(log.iterations, iterations);
    // The input columns are left as they were.
    EXPECT_EQ(table.Unit, c.units);
    EXPECT_EQ(table.Data1, std::vector<int32_t>(counts.begin(), counts.begin() + n));
  }
}

// Large random tables: the library's grouping and the literal algorithm must
// leave the same bits in every row and write the same blocks in the same order.
TEST_F(GroupingTest, SameBitsAsReferenceOnRandomTables) {
  std::mt19937_64 rng(77031);
  auto integer = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  struct Case { const char* note; int records; int units; bool singleGroup; RunSettings settings; };
  RunSettings fewSteps;
  fewSteps.IterationLimit = 3;
  RunSettings givenStart;
  givenStart.AlphaOption = 1.5;
  givenStart.BetaOption = 2.0;
  const Case cases[] = {
      {"3000 records in 300 units, shuffled", 3000, 300, false, RunSettings()},
      {"1000 records in 400 units, many of one record", 1000, 400, false, fewSteps},
      {"first Unit -1: one group of 800 records", 800, 50, true, givenStart},
  };
  tarnek::GroupWorkspace ws;  // reused from table to table, as in a run
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    std::vector<int32_t> unitValues(c.units);
    for (int32_t& u : unitValues) u = integer(0, 1000000);  // both 16-bit halves vary
    unitValues[0] = -1;  // an ordinary unit unless it comes first
    RecordTable table;
    for (int k = 0; k < c.records; ++k) {
      table.Unit.push_back(unitValues[integer(0, c.units - 1)]);
      table.Code.push_back(k + 1);
      const double e = std::round(std::exp(std::uniform_real_distribution<double>(-2, 5)(rng)) * 10 + 1) / 10;
      table.Data2.push_back(e);
      table.Data1.push_back(std::poisson_distribution<int32_t>(e * std::gamma_distribution<double>(3, 0.4)(rng))(rng));
    }
    if (c.singleGroup) table.Unit[0] = -1;
    if (!c.singleGroup && table.Unit[0] == -1) table.Unit[0] = unitValues[1];

    RecordTable want = table;
    const std::vector<tarnek::reference::GroupSummary> groups =
        tarnek::reference::EstimateAllGroups(want, c.settings);
    const LogBlocks log = Run(table, c.settings, ws);
    ExpectRowsSameBits(table, want);

    std::vector<int32_t> headings, sizes, iterations;
    for (const auto& g : groups) {
      if (!c.singleGroup) headings.push_back(g.Unit);
      sizes.push_back(g.RegionCount);
      iterations.push_back(g.Iterations);
    }
    EXPECT_EQ(log.headingUnits, headings);
    EXPECT_EQ(log.regionCounts, sizes);
    EXPECT_EQ(log.iterations, iterations);
    EXPECT_TRUE(std::is_sorted(headings.begin(), headings.end()));
    EXPECT_EQ(groups.size(), c.singleGroup ? 1u : std::set<int32_t>(table.Unit.begin(), table.Unit.end()).size());
  }
}

}  // namespace
