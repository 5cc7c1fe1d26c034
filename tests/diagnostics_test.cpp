// Fit diagnostics against independent computations: the chi-square tail as
// erfc, the log-likelihoods and the observed information of tiny groups from
// exact fractions, log-likelihoods at the extremes of counts and expected
// counts from mpmath. The status words on fits that end every way are checked
// with the estimator's cases and in the golden group tables they name.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "estimation/diagnostics.h"
#include "sample_data.h"

// Cases name only the settings they change, by designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tarnek;
using testdata::Counts, testdata::Expected, testdata::Near;

namespace {

GroupResult FittedAt(double a, double b, FitEnd end = FitEnd::Converged) {
  GroupResult r;
  r.MleAlpha = r.MeAlpha = a;
  r.MleBeta = r.MeBeta = b;
  r.End = end;
  r.FitSucceeded = end == FitEnd::Converged;
  return r;
}

}  // namespace

TEST(DiagnosticsTest, OverdispersionIsHalfTheChiSquareTail) {
  // A chi-square with 1 degree of freedom exceeds x with probability erfc(sqrt(x/2)).
  for (const double lrt : {1e-300, 1e-12, 1e-3, 0.5, 1.0, 2.705543454095404, 3.841458820694124, 10.0, 100.0, 700.0, 1400.0}) {
    EXPECT_TRUE(Near(OverdispersionPValue(lrt), std::erfc(std::sqrt(lrt / 2)) / 2, 1e-12)) << lrt;
  }
  EXPECT_EQ(OverdispersionPValue(0.0), 1.0);  // no extra-Poisson variation found: the boundary
  EXPECT_EQ(OverdispersionPValue(-3.5), 1.0);
  EXPECT_TRUE(std::isnan(OverdispersionPValue(std::numeric_limits<double>::quiet_NaN())));
}

TEST(DiagnosticsTest, TinyGroupsByExactFractions) {
  // y = (0, 1, 3, 8), E = (1, 2, 1/2, 1) at a = 1/4, b = 1. With b = 1 each
  // term is log[a/(a+E) (E/(a+E))^y], so the log-likelihood is the log of
  // 4194304/64072265625; the Poisson one, with ratio 12/4.5 = 8/3, is
  // -12 + log(67108864/502211745). The observed information, exact:
  // I = [[20288/405, -568/45], [-568/45, 304861/78400]] (its inverse gives
  // the standard errors and the correlation below, to 40 digits).
  EstimatorScratch scratch;
  const Counts y = {0, 1, 3, 8};
  const Expected e = {1, 2, 0.5, 1};
  GroupDiagnostics d = DiagnoseGroup({y, e}, FittedAt(0.25, 1), scratch);
  EXPECT_TRUE(Near(d.LogLik, -9.634039461367084469990448555562197534775L, 1e-14));
  EXPECT_TRUE(Near(d.LogLikPoisson, -14.01270569695248100578675547259466216891L, 1e-14));
  EXPECT_TRUE(Near(d.Lrt, 8.757332471170793071592613834064929268270L, 1e-13));
  EXPECT_TRUE(Near(d.POverdispersion, 0.001541798706470212774234439581186556872252L, 1e-12));
  EXPECT_TRUE(Near(d.SeAlpha, 0.3310976509237863634944069320524758684465L, 1e-14));
  EXPECT_TRUE(Near(d.SeBeta, 1.188379913129617274244588247708050548224L, 1e-14));
  EXPECT_TRUE(Near(d.CorrAlphaBeta, 0.9043797132972949802071659575231193801799L, 1e-14));
  EXPECT_EQ(d.Status, FitStatus::Stalled) << "passed its test, but (1/4, 1) is not the maximum";

  // y = (0, 1, 3), E = (1, 2, 1/2) at a = 1/2, b = 2: the likelihood is
  // 1/3^2 * 2 (1/5)^2 (4/5) * 4 (1/2)^5 = 1/1125; -H is not positive definite
  // there (its determinant is -23293/6480), so no standard errors.
  const Counts y3 = {0, 1, 3};
  const Expected e3 = {1, 2, 0.5};
  d = DiagnoseGroup({y3, e3}, FittedAt(0.5, 2), scratch);
  EXPECT_TRUE(Near(d.LogLik, -std::log(1125.0L), 1e-14));
  EXPECT_TRUE(std::isnan(d.SeAlpha) && std::isnan(d.SeBeta) && std::isnan(d.CorrAlphaBeta));
  EXPECT_EQ(d.Status, FitStatus::Stalled);
}

TEST(DiagnosticsTest, ExtremeCountsLogLikelihoods) {
  // Counts up to 2^31 - 1, where log-Gamma values near 4e10 would cancel to a
  // few units: mpmath's values (40 digits) of the sums of log NegBin and log
  // Poisson, every constant included.
  const struct {
    Counts y;
    Expected e;
    double a, b, logLik, logLikPoisson;
  } cases[] = {
      {{2147483647, 2147483000, 1}, {1e9, 1.1e9, 1e-6}, 0.5, 1.25, -57.668940159058709092, -4875173.3781283498601},
      {{2147483647, 0, 123456789}, {2147483647.0, 1e9, 123456.789}, 1.0, 3000.5, -84534.5833619172469,
       -1594154361.0700692353},
      {{1000000000, 999990000, 1000020000}, {1e9, 1e9, 1e9}, 1e-3, 5e5, -28544843.295268462441,
       -34.075051540357956126},
      {{0, 0, 7}, {1e-6, 1e9, 3.5}, 2.0, 0.01, -9.9009675773082502456, -138.19731042133553024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "y[0] " << c.y[0] << " a " << c.a << " b " << c.b);
    const LogLikelihoods l = GroupLogLikelihoods({c.y, c.e}, c.a, c.b);
    EXPECT_TRUE(Near(l.NegBin, c.logLik, 1e-12));
    EXPECT_EQ(GroupNegBinLogLikelihood({c.y, c.e}, c.a, c.b), l.NegBin);
    EXPECT_TRUE(Near(l.Poisson, c.logLikPoisson, 1e-12));
  }
}

TEST(DiagnosticsTest, ConvergedOnlyWithinTheNewtonDecrementBound) {
  // On the sample, points along a line through the maximum at which the
  // Newton decrement g'(-H)^-1 g, computed here from the fit's derivative
  // sums, is just below and just above kMaxNewtonDecrement (1e-6): a fit that
  // passed its own test there is converged on the one side, stalled on the
  // other.
  const auto [y, e] = testdata::Scotland();
  EstimatorScratch scratch;
  const GroupResult best = EstimateGroup({y, e}, {.Eps = 1e-12, .IterationLimit = 100}, scratch).Result;
  ASSERT_TRUE(best.FitSucceeded);
  const auto decrement = [&](double t) {
    const DerivativeSums d = ComputeDerivativeSums({y, e}, best.MleAlpha * (1 + t), best.MleBeta * (1 + 0.5 * t), scratch);
    const long double iaa = -d.HessAlphaAlpha, iab = -d.HessAlphaBeta, ibb = -d.HessBetaBeta;
    const long double det = iaa * ibb - iab * iab;
    return (ibb * d.ScoreAlpha * d.ScoreAlpha - 2 * iab * d.ScoreAlpha * d.ScoreBeta + iaa * d.ScoreBeta * d.ScoreBeta) / det;
  };
  for (const double target : {0.98e-6, 1.02e-6}) {
    double lo = 0, hi = 0.1;  // the decrement grows with t from 0 at the maximum
    for (int i = 0; i < 200; ++i) (decrement((lo + hi) / 2) < target ? lo : hi) = (lo + hi) / 2;
    ASSERT_TRUE(Near(static_cast<double>(decrement(lo)), target, 1e-3));
    GroupResult at = FittedAt(best.MleAlpha * (1 + lo), best.MleBeta * (1 + 0.5 * lo));
    EXPECT_EQ(DiagnoseGroup({y, e}, at, scratch).Status, target < 1e-6 ? FitStatus::Converged : FitStatus::Stalled)
        << "decrement " << target;
  }
}
