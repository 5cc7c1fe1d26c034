// Every group's covariate regression: the same on any number of threads,
// and the test of the covariates.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "grouping/covariate_fits.h"
#include "grouping/grouping.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

// 3,000 records in 250 units: counts over-dispersed around exp(0.3 x - 0.2 z),
// but unit 7, whose covariate z is constant, and unit 11, whose counts are 0.
RecordTable ManyUnits() {
  std::mt19937_64 rng(4711);
  RecordTable table;
  table.Columns = {{"x", "x", ColumnKind::Real, {}, {}}, {"z", "z", ColumnKind::Real, {}, {}}};
  for (int k = 0; k < 3000; ++k) {
    const int32_t unit = int32_t(rng() % 250);
    const double x = double(rng() % 1000) / 250 - 2, z = unit == 7 ? 1.5 : double(rng() % 100) / 50;
    const double e = 1 + double(rng() % 300) / 30;
    const double theta = std::gamma_distribution<double>(4.0, 0.25)(rng) * std::exp(0.3 * x - 0.2 * z);
    table.Unit.push_back(unit);
    table.Code.push_back(k);
    table.Data1.push_back(unit == 11 ? 0 : std::poisson_distribution<int32_t>(e * theta)(rng));
    table.Data2.push_back(e);
    table.Columns[0].Reals.push_back(x);
    table.Columns[1].Reals.push_back(z);
  }
  table.Unit[0] = 3;  // per unit
  return table;
}

bool SameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

bool SameFit(const RegressionFit& a, const RegressionFit& b) {
  bool same = a.End == b.End && a.Iterations == b.Iterations && SameBits(a.Shape, b.Shape) &&
              SameBits(a.ShapeSe, b.ShapeSe) && SameBits(a.LogLik, b.LogLik) && a.Estimate.size() == b.Estimate.size();
  for (size_t j = 0; same && j < a.Estimate.size(); ++j) {
    same = SameBits(a.Estimate[j], b.Estimate[j]) && SameBits(a.StandardError[j], b.StandardError[j]);
  }
  return same;
}

}  // namespace

TEST(CovariateFitsTest, TheTestOfTheCovariatesTheSameOnAnyNumberOfThreads) {
  // The priors the fits give: the golden case covariates_by_unit, end to end.
  const RecordTable table = ManyUnits();
  const GroupMembers members = ListGroupMembers(table);
  const std::vector<std::string> names = {"x", "z"};
  WorkerPool one(1);
  const Estimates estimates = EstimateAllGroups(table, {}, one);
  const CovariateFits fits = FitAllRegressions(table, estimates, members, names, one);
  ASSERT_EQ(fits.Groups.size(), 250u);
  EXPECT_EQ(fits.Names, names);
  int ends[5] = {};
  for (const GroupRegression& r : fits.Groups) {
    if (r.Full.End <= RegressionEnd::Boundary && r.Null.End <= RegressionEnd::Boundary) {
      EXPECT_GE(r.Full.LogLik, r.Null.LogLik - 1e-12 * std::fabs(r.Null.LogLik)) << "it holds the model without";
      EXPECT_TRUE(testdata::Near(r.Lrt, 2 * (r.Full.LogLik - r.Null.LogLik), 1e-15));
      EXPECT_TRUE(testdata::Near(r.PValue, std::exp(-r.Lrt / 2), 1e-12)) << "two degrees of freedom: e^(-x/2)";
    } else {
      EXPECT_TRUE(std::isnan(r.Lrt) && std::isnan(r.PValue));
    }
    ++ends[static_cast<int>(r.Full.End)];
  }
  EXPECT_EQ(fits.Groups[7].Full.End, RegressionEnd::NotIdentifiable);
  EXPECT_EQ(fits.Groups[11].Full.End, RegressionEnd::NoCounts);
  EXPECT_GT(ends[static_cast<int>(RegressionEnd::Converged)], 100);
  EXPECT_GT(ends[static_cast<int>(RegressionEnd::Boundary)], 5);

  for (const int threads : {2, 3, 8}) {  // 4 pieces of 64 groups: fewer pieces than threads, and more
    WorkerPool pool(threads);
    const CovariateFits again = FitAllRegressions(table, estimates, members, names, pool);
    for (size_t g = 0; g < fits.Groups.size(); ++g) {
      EXPECT_TRUE(SameFit(again.Groups[g].Full, fits.Groups[g].Full) && SameFit(again.Groups[g].Null, fits.Groups[g].Null))
          << threads << " threads, group " << g;
    }
    EXPECT_EQ(std::memcmp(again.Means.data(), fits.Means.data(), fits.Means.size() * sizeof(double)), 0) << threads;
  }
}
