// Posterior summaries against independent computations: Gamma tails of
// integer shape as finite Poisson sums and the quantiles put back into them,
// values at the extremes of counts and expected counts from mpmath, the
// point prior and no prior by their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "estimation/posterior.h"
#include "input/decimal.h"
#include "sample_data.h"

// Cases name only the settings they change, by designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tarnek;
using testdata::Near;

namespace {

// Gamma(k, 1) of integer shape k >= 1 at x > 0, by the Poisson sums: the
// upper tail e^-x sum_{j<k} x^j/j!, the lower tail e^-x sum_{j>=k} x^j/j! and
// the density e^-x x^(k-1)/(k-1)!, each term from the one before in long double.
struct IntegerGamma {
  long double Upper, Lower, Density;
};

IntegerGamma ClosedForm(int k, long double x) {
  long double term = std::exp(-x);
  IntegerGamma g{0, 0, 0};
  int j = 0;
  for (; j < k; ++j) {
    g.Upper += term;
    g.Density = term;
    term *= x / (j + 1);
  }
  for (; j < x || term > g.Lower * 1e-22L; ++j) {
    g.Lower += term;
    term *= x / (j + 1);
  }
  return g;
}

// The relative error of a quantile q of Gamma(k, 1) at lower-tail probability
// p, from how far the closed form's tail at q misses: the tail's error over
// the density times q.
long double QuantileError(int k, double q, double p, bool fromUpperTail) {
  const IntegerGamma g = ClosedForm(k, q);
  const long double miss = fromUpperTail ? g.Upper - (1.0L - p) : g.Lower - p;
  return std::fabs(miss) / (q * g.Density);
}

}  // namespace

TEST(PosteriorTest, IntegerShapesAgainstPoissonSums) {
  // Prior shape b a whole number and rate a = 0.5, so that y + b is an
  // integer k and a + E and the threshold C (a + E) are exact.
  const double levels[] = {0.95, 0.5, 0.999};
  const double thresholds[] = {0.25, 1, 1.5, 4};
  for (const int y : {0, 1, 2, 7, 30, 200, 1000}) {
    for (const double b : {1.0, 3.0}) {
      for (const double e : {0.5, 4.0, 96.0}) {
        for (int c = 0; c < 12; ++c) {
          const PosteriorSettings settings{.Level = levels[c % 3], .Exceed = thresholds[c % 4]};
          const double rate = 0.5 + e;
          const int k = y + static_cast<int>(b);
          const double tail = (1 - settings.Level) / 2;
          SCOPED_TRACE(testing::Message() << "y " << y << " b " << b << " E " << e << " level " << settings.Level
                                          << " C " << settings.Exceed);
          const PosteriorSummary s = SummarizePosterior(y, e, GammaPriorOf(b, 0.5), settings);
          EXPECT_TRUE(Near(s.Sd, std::sqrt(static_cast<long double>(k)) / rate, 1e-15));
          EXPECT_TRUE(Near(s.PExceed, ClosedForm(k, settings.Exceed * rate).Upper, 1e-12));
          EXPECT_LE(QuantileError(k, s.Median * rate, 0.5, false), 1e-12);
          EXPECT_LE(QuantileError(k, s.Lower * rate, tail, false), 1e-12);
          EXPECT_LE(QuantileError(k, s.Upper * rate, 1 - tail, true), 1e-12);
        }
      }
    }
  }
}

TEST(PosteriorTest, EveryPathAndExtremeCountsAgainstMpmath) {
  // One case for each way the tails and quantiles are computed (the series
  // below the mean and a little above it, Temme's expansion on either side,
  // the continued fraction, the far tails, levels near 0 and 1, Boost below
  // the shapes served), then counts up to 2^31 - 1 and expected counts from
  // 1e-6 to 1e9: tests/data/posterior_mpmath.txt, mpmath's values (40
  // digits) for the posterior Gamma(y + b, a + E), one row a case.
  std::ifstream in(TARNEK_SOURCE_DIR "/tests/data/posterior_mpmath.txt");
  int rows = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    SCOPED_TRACE(line);
    std::istringstream fields(line);
    std::vector<double> v;  // y E a b level exceed | sd median lower upper p_exceed
    for (std::string field; fields >> field;) v.push_back(ScanWholeReal(field).value());
    ASSERT_EQ(v.size(), 11u);
    const PosteriorSummary s = SummarizePosterior(int32_t(v[0]), v[1], GammaPriorOf(v[3], v[2]), {.Level = v[4], .Exceed = v[5]});
    const double got[] = {s.Sd, s.Median, s.Lower, s.Upper, s.PExceed};
    for (int k = 0; k < 5; ++k) EXPECT_TRUE(Near(got[k], v[6 + k], 1e-12)) << k;
    ++rows;
  }
  EXPECT_EQ(rows, 20);
  // At the edge but within range: every value finite or NaN, never a crash.
  const PosteriorSummary s = SummarizePosterior(2147483647, 1e-6, GammaPriorOf(1e300, 1e-300), {.Exceed = 1e300});
  for (const double v : {s.Sd, s.Median, s.Lower, s.Upper, s.PExceed}) EXPECT_TRUE(std::isfinite(v) || std::isnan(v));
  // A threshold whose product with the rate (here 3) leaves the doubles: the
  // tail beyond it, e^-(3e308) at most, is 0, not unknown.
  EXPECT_EQ(SummarizePosterior(3, 2, GammaPriorOf(1, 1), {.Exceed = 1e308}).PExceed, 0.0);
}

TEST(PosteriorTest, PointPriorAndNoPrior) {
  // The point prior at m is every posterior value m (sd 0); p_exceed is 1
  // exactly when m exceeds the threshold. Without a prior nothing exists.
  const PosteriorSettings settings{.Level = 0.9, .Exceed = 1.25};
  for (const double m : {0.0, 1.25, 1.2500000000000002, 3.5}) {
    for (const int32_t y : {0, 7, 2147483647}) {
      const PosteriorSummary s = SummarizePosterior(y, 0.5, PointPriorAt(m), settings);
      EXPECT_EQ(std::vector<double>({s.Eb, s.Sd, s.Median, s.Lower, s.Upper, s.PExceed, s.PriorMean, s.PriorSd}),
                std::vector<double>({m, 0, m, m, m, m > 1.25 ? 1.0 : 0.0, m, 0})) << m << " " << y;
    }
  }
  // No prior (a failed fit, or y + b beyond the double range), or a + E beyond it.
  for (const auto& [e, prior] : {std::pair(2.0, NoPrior()), std::pair(2.0, GammaPriorOf(INFINITY, 1.0)),
                                 std::pair(1.7e308, GammaPriorOf(2.0, 1.7e308))}) {
    const PosteriorSummary none = SummarizePosterior(3, e, prior, settings);
    for (const double v : {none.Sd, none.Median, none.Lower, none.Upper, none.PExceed}) EXPECT_TRUE(std::isnan(v)) << e;
  }
  const PosteriorSummary none = SummarizePosterior(3, 2.0, NoPrior(), settings);
  EXPECT_TRUE(std::isnan(none.Eb) && std::isnan(none.PriorMean) && std::isnan(none.PriorSd));
  EXPECT_TRUE(std::isnan(PosteriorMean(3, 2.0, NoPrior())));
  EXPECT_FALSE(HasPrior(GammaPriorOf(0.0, 1.0))) << "a shape of 0 is no distribution";
  EXPECT_FALSE(HasPrior(PointPriorAt(-1.0)));
}

TEST(PosteriorTest, MeanAsTheEstimatorFormsIt) {
  // (y + s)/(r + E) rounded once from extended precision, as the estimator's
  // EB ratios: (1 + 2)/(1 + 1) = 1.5 exactly; 1/3 and 10/3 to the double
  // nearest; the prior's mean and sd as s/r and sqrt(s)/r.
  EXPECT_EQ(PosteriorMean(1, 1.0, GammaPriorOf(2.0, 1.0)), 1.5);
  EXPECT_EQ(PosteriorMean(0, 2.0, GammaPriorOf(1.0, 1.0)), 1.0 / 3.0);
  EXPECT_EQ(PosteriorMean(9, 2.0, GammaPriorOf(1.0, 1.0)), 10.0 / 3.0);
  const PosteriorSummary s = SummarizePosterior(9, 2.0, GammaPriorOf(4.0, 0.5), {});
  EXPECT_EQ(s.Eb, 13.0 / 2.5);
  EXPECT_EQ(s.PriorMean, 8.0);
  EXPECT_EQ(s.PriorSd, 4.0);
}
