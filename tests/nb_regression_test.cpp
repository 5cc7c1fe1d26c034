// The covariate regression against independent computations: MASS::glm.nb
// and a Newton polish of its maximum in R on the North Carolina SIDS data,
// the estimator's own maximum without covariates on every golden case, the
// Poisson regression in closed form at the boundary, the coverage of the
// standard errors on generated data, and the fits that cannot be made.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cli/options.h"
#include "core/parallel.h"
#include "estimation/nb_regression.h"
#include "estimation/posterior.h"
#include "grouping/grouping.h"
#include "input/csv_reader.h"
#include "input/data_reader.h"
#include "nb_reference.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::Near;

namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(TARNEK_SOURCE_DIR) / "tests" / "data";

// tests/data/nc_sids74.csv, written by
//   Rscript tests/check/covariates_against_mass.R /work/shared/data/nc_sids/sids.dbf tests/data
// from the spData copy of the North Carolina SIDS data: code (FIPS), SID74,
// E = BIR74 * sum(SID74)/sum(BIR74) and p = NWBIR74/BIR74, 17 digits.
RecordTable NorthCarolina() {
  RecordTable table;
  const CsvColumns columns{"-", "code", "observed", "expected", {{"p", ColumnKind::Real}}};
  EXPECT_EQ(ReadCsvFile((kData / "nc_sids74.csv").string(), columns, table).Status, CsvStatus::Ok);
  EXPECT_EQ(table.Size(), 100u);
  return table;
}

struct Fitted {
  RegressionFit Fit;
  std::vector<double> Means;
};

Fitted Fit(std::span<const int32_t> y, std::span<const double> e, const std::vector<std::vector<double>>& x,
           const RegressionStart& start = {}) {
  const std::vector<std::span<const double>> columns(x.begin(), x.end());
  Fitted f;
  f.Means.resize(y.size());
  RegressionScratch scratch;
  f.Fit = FitNegBinRegression({y, e, columns}, f.Means, scratch, start);
  return f;
}

}  // namespace

TEST(NbRegressionTest, AgreesWithAnIndependentProfileMaximisation) {
  // Against the independent maximisation of nb_reference.h. First the group
  // that an audit found at the boundary below the fit without
  // covariates (-9.3047): its maximum, by Newton's method in mpmath at 50
  // digits, is -9.19064 at b = 1.2467, beta = (0.2437, -0.3894). Then random
  // groups of 3 to 12 records with one or two normal covariates, expected
  // counts 0.1 to 30 and counts drawn from the model with b infinite (no
  // extra variation), 30, 3 or 0.7. Each is fitted as the run fits it (from
  // the fit without covariates) and from no start; both reach the
  // independent maximum to 1e-9 relative, and the first is never below the
  // fit without covariates. A fit without a maximum is one whose covariates
  // separate the zero counts, which takes no more records with a count than
  // covariates (continuous covariates).
  std::mt19937_64 rng(20240610);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  int compared = 0, boundary = 0, separated = 0;
  for (int g = 0; g < 1000; ++g) {
    std::vector<int32_t> y;
    std::vector<double> e;
    std::vector<std::vector<double>> x;
    if (g == 0) {
      y = {56, 1, 1, 0};
      e = {15.94857896105807, 5.026254207603682, 0.47902667607989846, 0.11949242369776496};
      x = {{-1.3773686983638758, -0.7141377698886583, 0.6656603319817227, -0.44634034771337666}};
    } else {
      const size_t n = 3 + rng() % 10;
      x.assign(1 + rng() % 2, std::vector<double>(n));
      const double b = std::array<double, 4>{INFINITY, 30, 3, 0.7}[g % 4];
      const double b0 = 0.5 * normal(rng), b1 = 0.7 * normal(rng), b2 = 0.7 * normal(rng);
      for (size_t i = 0; i < n; ++i) {
        e.push_back(std::exp(std::log(0.1) + uniform(rng) * std::log(300.0)));
        for (auto& column : x) column[i] = normal(rng);
        const double mu = std::exp(b0 + b1 * x[0][i] + (x.size() > 1 ? b2 * x[1][i] : 0.0));
        const double theta = std::isinf(b) ? mu : std::gamma_distribution<double>(b, mu / b)(rng);
        y.push_back(std::poisson_distribution<int32_t>(e[i] * theta)(rng));
      }
    }
    SCOPED_TRACE(testing::Message() << "group " << g);
    const RegressionFit null = Fit(y, e, {}).Fit;
    if (null.End == RegressionEnd::NoCounts) continue;
    ASSERT_TRUE(null.End == RegressionEnd::Converged || null.End == RegressionEnd::Boundary);
    const RegressionFit run = Fit(y, e, x, {null.Estimate[0], null.Shape}).Fit, unstarted = Fit(y, e, x).Fit;
    if (run.End == RegressionEnd::IterationLimit) {
      EXPECT_EQ(unstarted.End, RegressionEnd::IterationLimit);
      EXPECT_LE(std::count_if(y.begin(), y.end(), [](int32_t c) { return c > 0; }), std::ssize(x));
      ++separated;
      continue;
    }
    ASSERT_TRUE(run.End == RegressionEnd::Converged || run.End == RegressionEnd::Boundary);
    const long double best = reference::NegBinMaximum(y, e, x).Maximum();
    EXPECT_GE(run.LogLik, null.LogLik - 1e-12 * std::fabs(null.LogLik)) << "below the model without covariates";
    for (const RegressionFit* fit : {&run, &unstarted}) {
      EXPECT_TRUE(Near(fit->LogLik, best, 1e-9)) << (fit == &run ? "as the run fits it" : "from no start");
    }
    if (g == 0) {
      EXPECT_TRUE(Near(run.LogLik, -9.19064, 1e-6) && Near(run.Shape, 1.2467, 1e-4));
      EXPECT_TRUE(Near(run.Estimate[0], 0.2437, 1e-3) && Near(run.Estimate[1], -0.3894, 1e-3));
    }
    ++compared;
    boundary += run.End == RegressionEnd::Boundary;
  }
  EXPECT_GE(compared, 850);
  EXPECT_GE(boundary, 100);
}

TEST(NbRegressionTest, NorthCarolinaAsMassGlmNbFitsIt) {
  // R 4.2.2, MASS 7.3-58.2 (tests/check/covariates_against_mass.R):
  //   glm.nb(observed ~ p + offset(log(expected)), control = glm.control(epsilon = 1e-12, maxit = 100))
  // prints the first column of numbers, its tolerance allowing 1e-7; its
  // maximum polished by Newton's method on (beta, log theta) in R gives the
  // second, to 1e-10.
  const RecordTable table = NorthCarolina();
  const Fitted f = Fit(table.Data1, table.Data2, {table.Columns[0].Reals});
  const RegressionFit& fit = f.Fit;
  ASSERT_EQ(fit.End, RegressionEnd::Converged);
  const struct {
    const char* name;
    double got;
    double mass;
    double polished;
  } values[] = {
      {"intercept", fit.Estimate[0], -6.1758331352779183e-01, -0.61758331352779028},
      {"p", fit.Estimate[1], 1.8772254705200471e+00, 1.8772254705200477},
      {"se intercept", fit.StandardError[0], 1.0854001955708041e-01, 0.10854001955708134},
      {"se p", fit.StandardError[1], 2.6623852883206067e-01, 0.26623852883206339},
      {"theta", fit.Shape, 17.723356174865941, 17.723356174864485},
      {"SE.theta", fit.ShapeSe, 8.5819951486003436, 8.5819952261235422},
      {"loglik", fit.LogLik, -214.49700680811037, -214.49700680811034},
  };
  for (const auto& v : values) {
    EXPECT_TRUE(Near(v.got, v.mass, 1e-7)) << v.name;
    EXPECT_TRUE(Near(v.got, v.polished, 1e-10)) << v.name;
  }
  // summary(): z value and Pr(>|z|).
  EXPECT_TRUE(Near(fit.Estimate[0] / fit.StandardError[0], -5.6899134167099463, 1e-7));
  EXPECT_TRUE(Near(TwoSidedNormalP(fit.Estimate[0] / fit.StandardError[0]), 1.2710380367691012e-08, 1e-7));
  EXPECT_TRUE(Near(TwoSidedNormalP(fit.Estimate[1] / fit.StandardError[1]), 1.7774393209657931e-12, 1e-7));

  // glm.nb(observed ~ 1 + offset(log(expected))): the model without covariates.
  const Fitted null = Fit(table.Data1, table.Data2, {});
  ASSERT_EQ(null.Fit.End, RegressionEnd::Converged);
  EXPECT_TRUE(Near(null.Fit.Estimate[0], 0.049329802496211238, 1e-7));
  EXPECT_TRUE(Near(null.Fit.Shape, 6.3719767486518997, 1e-7));
  EXPECT_TRUE(Near(null.Fit.ShapeSe, 1.9557704876726465, 1e-7));
  // Its log-likelihood (-236.16608498707814) and the likelihood-ratio test
  // of p: the group table's aic and lrt_covariates to 1e-12 and 1e-10
  // (Covariates.NorthCarolinaAsRFitsIt..., end to end); its p on 1 degree of
  // freedom, which that test reads to 1e-9:
  EXPECT_TRUE(Near(ChiSquareUpperTail(43.338156357935532, 1), 4.6051521205605316e-11, 1e-12));

  // Every county's posterior under its prior Gamma(b, b/mu_i), against R's
  // qgamma and pgamma: Covariates.NorthCarolinaAsRFitsIt... (end to end), which
  // reads them from the region table.
}

TEST(NbRegressionTest, WithoutCovariatesTheMaximumIsTheEstimatorsOnEveryGoldenCase) {
  // Every golden case that runs, as its args read it: each group whose
  // Newton-Raphson fit converged at a maximum (its diagnostics say so) has
  // that maximum here, b = Beta and mu = Beta/Alpha, and no higher
  // likelihood than the log's estimates. The estimator stops within its -E
  // of the maximum; -E below 1e-4 leaves it within 1e-6 of it.
  WorkerPool pool(2);
  int groups = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(TARNEK_SOURCE_DIR) / "tests" / "golden")) {
    const fs::path dir = entry.path();
    std::ifstream argsFile(dir / "args");
    std::vector<std::string> args;
    for (std::string arg; std::getline(argsFile, arg);) args.push_back(arg);
    RunSettings settings;
    if (ParseCommandLine(args, settings).Status != ParseStatus::Ok || !fs::is_regular_file(dir / "before" / args[0])) continue;
    const std::string data = (dir / "before" / args[0]).string();
    RecordTable table;
    const bool read = settings.Csv ? ReadCsvFile(data, settings.Columns, table).Status == CsvStatus::Ok
                                   : ReadDataFile(data, table).Status == ReadStatus::Ok;
    if (!read || table.Size() == 0) continue;
    const Estimates estimates = EstimateAllGroups(table, settings.Fit, pool);
    const GroupMembers members = ListGroupMembers(table);
    const std::vector<GroupDiagnostics> diagnostics = DiagnoseAllGroups(table, estimates, members, pool);
    for (size_t g = 0; g < estimates.Groups.size(); ++g) {
      if (diagnostics[g].Status != FitStatus::Converged) continue;
      SCOPED_TRACE(dir.filename().string() + ", group " + std::to_string(g));
      std::vector<int32_t> y;
      std::vector<double> e;
      for (size_t k = members.Start[g]; k < members.Start[g + 1]; ++k) {
        y.push_back(table.Data1[members.Rows[k]]);
        e.push_back(table.Data2[members.Rows[k]]);
      }
      const GroupResult& r = estimates.Groups[g];
      const Fitted f = Fit(y, e, {});
      ASSERT_EQ(f.Fit.End, RegressionEnd::Converged);
      const double tolerance = settings.Fit.Eps < 1e-4 ? 1e-6 : 1e-2;
      EXPECT_TRUE(Near(f.Fit.Shape, r.MleBeta, tolerance));
      EXPECT_TRUE(Near(f.Means[0], r.MleBeta / r.MleAlpha, tolerance));
      EXPECT_GE(f.Fit.LogLik, diagnostics[g].LogLik - 1e-12 * std::fabs(f.Fit.LogLik));
      EXPECT_TRUE(Near(f.Fit.LogLik, diagnostics[g].LogLik, 1e-9));
      ++groups;
    }
  }
  EXPECT_GE(groups, 20);
}

TEST(NbRegressionTest, AtTheBoundaryThePoissonRegressionInClosedForm) {
  // Less spread than Poisson (sum of (y - m)^2 - y = -14 at the Poisson
  // fit): the maximum is b -> infinity. With a covariate of 0 and 1 the
  // Poisson regression is the ratio of each level, mu = 6/6 and 12/6, and
  // X'WX = [[18, 12], [12, 12]] gives Var(b0) = 1/6, Var(b1) = 1/6 + 1/12.
  const std::vector<int32_t> y = {3, 1, 2, 5, 7};
  const std::vector<double> e = {2, 2, 2, 2, 4};
  const std::vector<double> x = {0, 0, 0, 1, 1};
  const Fitted f = Fit(y, e, {x});
  ASSERT_EQ(f.Fit.End, RegressionEnd::Boundary);
  EXPECT_EQ(f.Fit.Shape, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(f.Fit.ShapeSe));
  EXPECT_NEAR(f.Fit.Estimate[0], 0.0, 1e-13);
  EXPECT_TRUE(Near(f.Fit.Estimate[1], std::log(2.0L), 1e-13));
  EXPECT_TRUE(Near(f.Fit.StandardError[0], std::sqrt(1.0L / 6), 1e-12));
  EXPECT_TRUE(Near(f.Fit.StandardError[1], std::sqrt(1.0L / 6 + 1.0L / 12), 1e-12));
  const std::vector<double> mu = {1, 1, 1, 2, 2};
  for (size_t i = 0; i < y.size(); ++i) EXPECT_TRUE(Near(f.Means[i], mu[i], 1e-13)) << i;
  // The Poisson log-likelihood there, term by term.
  EXPECT_TRUE(Near(f.Fit.LogLik, reference::NegBinMaximum(y, e, {x}).LogLik({0, std::log(2.0L)}, INFINITY), 1e-14));
}

TEST(NbRegressionTest, TheHigherOfTwoMaximaWhereThePoissonFitIsOneOfThem) {
  // S = sum of ((y - m)^2 - y) = -33.2 at the Poisson fit: the likelihood
  // falls from the boundary into finite b, yet rises again to a higher
  // maximum. R 4.2.2, MASS 7.3-58.2: glm.nb(y ~ 1 + offset(log(E)),
  // control = glm.control(epsilon = 1e-12, maxit = 100)) gives theta
  // 5.8115561887978195, exp(intercept) 1.1285196730711993, loglik
  // -16.146031687883006; glm(..., family = poisson) -16.513033934991224.
  const std::vector<int32_t> y = {8, 3, 4, 1, 105, 2};
  const std::vector<double> e = {3.2176, 8.9031, 4.7695, 1.1088, 87.9359, 1.2245};
  const Fitted f = Fit(y, e, {});
  ASSERT_EQ(f.Fit.End, RegressionEnd::Converged);
  EXPECT_TRUE(Near(f.Fit.Shape, 5.8115561887978195, 1e-9));
  EXPECT_TRUE(Near(f.Means[0], 1.1285196730711993, 1e-9));
  EXPECT_TRUE(Near(f.Fit.LogLik, -16.146031687883006, 1e-12));
  // From a start beside the boundary's maximum it climbs to the higher one too.
  EXPECT_TRUE(Near(Fit(y, e, {}, {0.0, 1e6}).Fit.LogLik, -16.146031687883006, 1e-12));
}

TEST(NbRegressionTest, StandardErrorsCoverTheTrueValuesOnGeneratedData) {
  // 200 data sets of 1,000 records drawn from the model with three
  // covariates (normal, uniform, 0 or 1), beta = (-0.3, 0.5, -0.8, 0.4) and
  // b = 3: each estimate lies within 1.96 standard errors of the truth in
  // about 95% of the sets and within one in about 68%. Bounds: 4 standard
  // deviations of the binomial counts of the 1,000 estimates of each kind.
  std::mt19937_64 rng(20240523);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const std::vector<double> beta = {-0.3, 0.5, -0.8, 0.4};
  const double b = 3.0;
  int within1 = 0, within196 = 0, estimates = 0;
  for (int set = 0; set < 200; ++set) {
    std::vector<std::vector<double>> x(3, std::vector<double>(1000));
    std::vector<int32_t> y(1000);
    std::vector<double> e(1000);
    for (size_t i = 0; i < 1000; ++i) {
      x[0][i] = normal(rng);
      x[1][i] = uniform(rng) * 2.0;
      x[2][i] = uniform(rng) < 0.3 ? 1.0 : 0.0;
      e[i] = 0.5 + 4.5 * uniform(rng);
      const double mu = std::exp(beta[0] + beta[1] * x[0][i] + beta[2] * x[1][i] + beta[3] * x[2][i]);
      const double theta = std::gamma_distribution<double>(b, mu / b)(rng);
      y[i] = std::poisson_distribution<int32_t>(e[i] * theta)(rng);
    }
    const Fitted f = Fit(y, e, x);
    ASSERT_EQ(f.Fit.End, RegressionEnd::Converged) << set;
    for (size_t j = 0; j <= beta.size(); ++j) {
      const double truth = j < beta.size() ? beta[j] : b;
      const double estimate = j < beta.size() ? f.Fit.Estimate[j] : f.Fit.Shape;
      const double se = j < beta.size() ? f.Fit.StandardError[j] : f.Fit.ShapeSe;
      ASSERT_TRUE(se > 0 && std::isfinite(se));
      within1 += std::fabs(estimate - truth) <= se;
      within196 += std::fabs(estimate - truth) <= 1.96 * se;
      ++estimates;
    }
  }
  ASSERT_EQ(estimates, 1000);
  EXPECT_GE(within196, 922);
  EXPECT_LE(within196, 978);
  EXPECT_GE(within1, 624);
  EXPECT_LE(within1, 742);
}

TEST(NbRegressionTest, FitsThatCannotBeMadeSaySoWithoutAValue) {
  // Separation (iteration_limit): some d has x'd = 0 at every record with a
  // count and x'd <= 0 at those without (not all 0); along d the likelihood
  // rises for ever. Worked out by hand for each case: d, or why none exists
  // (those fit: Converged stands for a maximum, at the boundary or not).
  const std::vector<int32_t> y = {3, 0, 5, 2, 8, 1};
  const std::vector<double> e = {1.5, 2, 2.5, 1, 3, 2};
  const std::vector<double> x1 = {0.1, 0.7, -0.3, 1.2, 0.4, -1.1};
  const std::vector<double> x2 = {2, 1, 5, 3, 3, 4};
  std::vector<double> sum(6), constant(6, 4.25), nearlyConstant(6);
  for (size_t i = 0; i < 6; ++i) {
    sum[i] = x1[i] - 2 * x2[i];
    nearlyConstant[i] = 1e6 + 1e-6 * x1[i];  // spread 7e-13 of its size
  }
  constexpr RegressionEnd kNotIdentifiable = RegressionEnd::NotIdentifiable, kSeparated = RegressionEnd::IterationLimit,
                         kFits = RegressionEnd::Converged;
  const struct {
    const char* note;
    std::vector<int32_t> y;
    std::vector<std::vector<double>> x;
    RegressionEnd end;
  } cases[] = {
      {"a covariate constant within the group", y, {x1, constant}, kNotIdentifiable},
      {"one constant to 1e-10 of its size", y, {nearlyConstant}, kNotIdentifiable},
      {"a covariate the sum of two others", y, {x1, x2, sum}, kNotIdentifiable},
      {"the same covariate twice, scaled", y, {x2, [&] { auto v = x2; for (double& d : v) d *= -3; return v; }()},
       kNotIdentifiable},
      {"fewer records than coefficients", {3, 1}, {{1, 2}, {0, 5}}, kNotIdentifiable},
      {"every count 0", {0, 0, 0, 0, 0, 0}, {x1}, RegressionEnd::NoCounts},
      // d = (-1, 1): the counts at x = 1, the zeros at x = 0.
      {"a level that holds every count", {0, 0, 0, 4, 6, 3}, {{0, 0, 0, 1, 1, 1}}, kSeparated},
      // One count, at the largest x: d = (-3, 1) gives x - 3 <= 0 at the zeros.
      {"the one count at an end", {0, 0, 2, 0, 0}, {{1, 2, 3, -1, 0.5}}, kSeparated},
      // One count in the middle: x - 2 takes both signs at the zeros.
      {"the one count inside", {0, 5, 0, 0}, {{1, 2, 3, 0}}, kFits},
      // Two covariates, counts at (0, 0) and (1, 1): d = (0, 1, -1) leaves
      // them, the zeros at (1, 2) and (0, 3) get -1 and -3; a zero at (2, 1)
      // gets +1 (and -d -1 at (1, 2)).
      {"two covariates, a line through the counts", {4, 0, 2, 0}, {{0, 1, 1, 0}, {0, 2, 1, 3}}, kSeparated},
      {"two covariates, zeros on both sides", {4, 0, 2, 0, 0}, {{0, 1, 1, 0, 2}, {0, 2, 1, 3, 1}}, kFits},
      // Two covariates, one count at (0, 0): the cone of d with x'd <= 0 at
      // the zeros (1, 0), (0, 1), (-1, -1) is {0}; with (1, 1) instead of
      // (-1, -1) it holds d = (0, -1, -1).
      {"two covariates, one count, zeros around it", {3, 0, 0, 0}, {{0, 1, 0, -1}, {0, 0, 1, -1}}, kFits},
      {"two covariates, one count, zeros on one side", {3, 0, 0, 0}, {{0, 1, 0, 1}, {0, 0, 1, 1}}, kSeparated},
      // Counts at three x's that span the plane: no d.
      {"counts everywhere", {1, 0, 2, 0, 3}, {{0, 1, 2, 3, 4}}, kFits},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    std::vector<std::vector<double>> x;
    for (const auto& column : c.x) x.emplace_back(column.begin(), column.begin() + static_cast<long>(c.y.size()));
    const Fitted f = Fit(c.y, std::span<const double>(e.data(), c.y.size()), x);
    ASSERT_EQ(f.Fit.Estimate.size(), x.size() + 1);
    if (c.end == kFits) {
      EXPECT_TRUE(f.Fit.End == RegressionEnd::Converged || f.Fit.End == RegressionEnd::Boundary);
      continue;
    }
    EXPECT_EQ(f.Fit.End, c.end);
    for (size_t j = 0; j <= x.size(); ++j) EXPECT_TRUE(std::isnan(f.Fit.Estimate[j]) && std::isnan(f.Fit.StandardError[j]));
    EXPECT_TRUE(std::isnan(f.Fit.Shape) && std::isnan(f.Fit.ShapeSe) && std::isnan(f.Fit.LogLik));
    for (const double m : f.Means) EXPECT_TRUE(std::isnan(m));
  }
}

TEST(NbRegressionTest, ExtremeCountsAndScalesGiveValuesOrNone) {
  // 3,000 small groups: counts up to 2^31 - 1 among zeros, expected counts
  // from 1e-7 to 1e10, covariates from 1e-20 to 1e20 in size (and 1e303) and one far
  // from 0 against its spread. Every fit ends one of its ways; one at a
  // maximum has finite values (the shape infinite at the boundary), a
  // log-likelihood at most 0 and finite means; one without has none.
  std::mt19937_64 rng(99);
  RegressionScratch scratch;
  int atMaximum = 0;
  for (int set = 0; set < 3000; ++set) {
    const size_t n = 2 + rng() % 30;
    const size_t k = rng() % 4;
    const double scaleE = std::pow(10.0, int(rng() % 16) - 6);
    const double scaleX = rng() % 20 == 0 ? 1e300 : std::pow(10.0, int(rng() % 40) - 20);
    const uint64_t most = rng() % 10 == 0 ? 2147483647 : uint64_t(std::pow(10.0, double(rng() % 10)));
    std::vector<int32_t> y(n);
    std::vector<double> e(n), means(n);
    std::vector<std::vector<double>> x(k, std::vector<double>(n));
    for (size_t i = 0; i < n; ++i) {
      e[i] = scaleE * (0.1 + double(rng() % 1000) / 100);
      y[i] = rng() % 3 == 0 ? 0 : int32_t(rng() % (most + 1));
      for (size_t j = 0; j < k; ++j) x[j][i] = scaleX * (double(rng() % 2001) / 1000 - 1) + (j == 1 ? 1e3 * scaleX : 0.0);
    }
    const std::vector<std::span<const double>> columns(x.begin(), x.end());
    const RegressionFit fit = FitNegBinRegression({y, e, columns}, means, scratch);
    SCOPED_TRACE(set);
    if (fit.End != RegressionEnd::Converged && fit.End != RegressionEnd::Boundary) {
      EXPECT_TRUE(std::isnan(fit.LogLik) && std::isnan(fit.Shape) && std::isnan(means[0]));
      continue;
    }
    ++atMaximum;
    EXPECT_TRUE(std::isfinite(fit.LogLik) && fit.LogLik <= 0);
    EXPECT_EQ(std::isinf(fit.Shape), fit.End == RegressionEnd::Boundary);
    for (const double v : fit.Estimate) EXPECT_TRUE(std::isfinite(v));
    for (const double v : fit.StandardError) EXPECT_TRUE(std::isfinite(v) && v > 0) << v;
    for (const double m : means) EXPECT_TRUE(std::isfinite(m) && m >= 0);
  }
  EXPECT_GT(atMaximum, 2500);
}

TEST(NbRegressionTest, TheScaleOfACovariateScalesItsCoefficientAndStandardError) {
  // y = 1, 5, 3, 0 with E = 1 and x = 1, 2, 3, 4, as MASS::glm.nb (R 4.2.2,
  // MASS 7.3-58.2, epsilon 1e-14) fits it: slope -0.324745848852528, its
  // standard error 0.419784797027774. x times s gives the slope and its
  // standard error over s, the intercept's unchanged, for s from 1e-300 to
  // 1e300: where the squares of the error's terms would leave the double
  // range or reach its subnormal numbers, too.
  const int32_t y[] = {1, 5, 3, 0};
  const double e[] = {1, 1, 1, 1};
  const Fitted plain = Fit(y, e, {{1, 2, 3, 4}});
  ASSERT_EQ(plain.Fit.End, RegressionEnd::Converged);
  EXPECT_NEAR(plain.Fit.Estimate[1], -0.324745848852528, 1e-10);
  EXPECT_NEAR(plain.Fit.StandardError[1], 0.419784797027774, 1e-10);
  for (const double s : {1e-300, 1e-200, 1e-160, 1e160, 1e200, 1e300}) {
    SCOPED_TRACE(s);
    const Fitted scaled = Fit(y, e, {{s, 2 * s, 3 * s, 4 * s}});
    ASSERT_EQ(scaled.Fit.End, RegressionEnd::Converged);
    EXPECT_NEAR(scaled.Fit.Estimate[1] * s / plain.Fit.Estimate[1], 1.0, 1e-12);
    EXPECT_NEAR(scaled.Fit.StandardError[1] * s / plain.Fit.StandardError[1], 1.0, 1e-12);
    EXPECT_NEAR(scaled.Fit.StandardError[0] / plain.Fit.StandardError[0], 1.0, 1e-12);
  }
}
