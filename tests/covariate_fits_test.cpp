// Every group's covariate regression: the fits of the groups as the engine
// makes them alone, the same on any number of threads, the test of the
// covariates, and the priors that the "mle" method gives with and without
// covariates.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "grouping/covariate_fits.h"
#include "grouping/fitted_priors.h"
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

TEST(CovariateFitsTest, EveryGroupAsFittedAloneOnAnyNumberOfThreads) {
  const RecordTable table = ManyUnits();
  const GroupMembers members = ListGroupMembers(table);
  const std::vector<std::string> names = {"x", "z"};
  WorkerPool one(1);
  const Estimates estimates = EstimateAllGroups(table, {}, one);
  const CovariateFits fits = FitAllRegressions(table, estimates, members, names, one);
  ASSERT_EQ(fits.Groups.size(), 250u);
  EXPECT_EQ(fits.Names, names);
  int ends[5] = {};
  RegressionScratch scratch;
  for (size_t g = 0; g < fits.Groups.size(); ++g) {
    std::vector<int32_t> y;
    std::vector<double> e, x, z;
    for (size_t k = members.Start[g]; k < members.Start[g + 1]; ++k) {
      const uint32_t row = members.Rows[k];
      y.push_back(table.Data1[row]), e.push_back(table.Data2[row]);
      x.push_back(table.Columns[0].Reals[row]), z.push_back(table.Columns[1].Reals[row]);
    }
    const std::vector<std::span<const double>> columns = {x, z};
    std::vector<double> means(y.size());
    const GroupRegression& r = fits.Groups[g];
    // Without covariates from the estimator's maximum, with them from that shape.
    const GroupResult& plain = estimates.Groups[g];
    RegressionStart start;
    if (plain.FitSucceeded) start = {std::log(plain.MleBeta / plain.MleAlpha), plain.MleBeta};
    EXPECT_TRUE(SameFit(r.Null, FitNegBinRegression({y, e, {}}, means, scratch, start))) << g;
    EXPECT_TRUE(SameFit(r.Full, FitNegBinRegression({y, e, columns}, means, scratch, {NAN, r.Null.Shape}))) << g;
    for (size_t i = 0; i < y.size(); ++i) EXPECT_TRUE(SameBits(fits.Means[members.Rows[members.Start[g] + i]], means[i]));
    const bool both = r.Full.End <= RegressionEnd::Boundary && r.Null.End <= RegressionEnd::Boundary;
    if (both) {
      EXPECT_TRUE(testdata::Near(r.Lrt, std::max(0.0, 2 * (r.Full.LogLik - r.Null.LogLik)), 1e-15));
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

TEST(CovariateFitsTest, TheMlePriorsAreTheRegressionsWhereTheRunHasCovariates) {
  const RecordTable table = ManyUnits();
  WorkerPool pool(2);
  const Estimates estimates = EstimateAllGroups(table, {}, pool);
  const GroupMembers members = ListGroupMembers(table);
  const CovariateFits fits = FitAllRegressions(table, estimates, members, std::vector<std::string>{"x", "z"}, pool);
  const std::vector<LikelihoodMaximum> maxima =
      FindAllMaxima(table, estimates, members, DiagnoseAllGroups(table, estimates, members, pool), pool);
  const auto fill = [&](const CovariateFits* covariates, void (*method)(const MethodInput&, PriorSet&)) {
    PriorSet priors;
    priors.Records.resize(table.Size());
    priors.Groups.resize(estimates.Groups.size());
    method({table, estimates, members, pool, nullptr, &maxima, covariates}, priors);
    return priors;
  };
  const PriorSet with = fill(&fits, FillMaximumLikelihoodOrCovariatePriors);
  EXPECT_EQ(with.PlotLegend, "EB ratio (covariates; ME where the fit failed)");
  for (size_t g = 0; g < fits.Groups.size(); ++g) {
    const RegressionFit& fit = fits.Groups[g].Full;
    EXPECT_TRUE(std::isnan(with.Groups[g].Mean) && std::isnan(with.Groups[g].Sd));
    for (size_t k = members.Start[g]; k < members.Start[g + 1]; ++k) {
      const RegionPrior& prior = with.Records[members.Rows[k]];
      const double mu = fits.Means[members.Rows[k]];
      if (fit.End == RegressionEnd::Converged) {
        EXPECT_TRUE(prior.Shape == fit.Shape && prior.Rate == fit.Shape / mu && testdata::Near(prior.Mean, mu, 1e-15));
      } else if (fit.End == RegressionEnd::Boundary) {
        EXPECT_TRUE(IsPointPrior(prior) && prior.Mean == mu);
      } else {
        EXPECT_FALSE(HasPrior(prior));
      }
    }
  }
  // Without covariates the estimator's own fits, byte for byte.
  const PriorSet without = fill(nullptr, FillMaximumLikelihoodOrCovariatePriors);
  const PriorSet plain = fill(nullptr, FillMaximumLikelihoodPriors);
  ASSERT_EQ(without.Records.size(), plain.Records.size());
  EXPECT_EQ(std::memcmp(without.Records.data(), plain.Records.data(), plain.Records.size() * sizeof(RegionPrior)), 0);
  EXPECT_EQ(std::memcmp(without.Groups.data(), plain.Groups.data(), plain.Groups.size() * sizeof(GroupPrior)), 0);
}
