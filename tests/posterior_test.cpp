// Posterior summaries against independent computations: Gamma tails of
// integer shape as finite Poisson sums and the quantiles put back into them,
// values at the extremes of counts and expected counts from mpmath, the
// point prior and no prior by their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "estimation/posterior.h"
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
  // 1e-6 to 1e9. The values are mpmath's (40 digits; the paths' printed by
  // tests/posterior_cases.py with mpmath 1.3.0), for the posterior Gamma(y +
  // b, a + E) with its shape, rate and threshold as the doubles they round to.
  // Without a prior, or with y + b or a + E beyond the double range, no value
  // exists.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    int32_t y;
    double e, a, b, level, exceed;
    double sd, median, lower, upper, pExceed;
  } cases[] = {
      // a = 3.5: series below and up to a + 1.6 sqrt(a), fraction above
      {2, 1.0, 0.5, 1.5, 0.95, 2.5, 1.2472191289246471285, 2.1152703985071725119, 0.56328972689245170138, 5.3375880915431072641, 0.37873690604821293668},
      // a = 1.05, near the smallest served shape
      {0, 0.2, 2.0, 1.05, 0.95, 0.1, 0.46577048936179989875, 0.33710655693096491087, 0.014041305077054586850, 1.7241932982220083432, 0.82137573158239898982},
      // a = 6.2, level 0.999999: fraction for the upper tail
      {5, 3.0, 1.0, 1.2, 0.999999, 4.0, 0.62249497989943662766, 1.4675105286149409574, 0.077184078294037641922, 6.6636629372436738968, 0.0017341576041039193143},
      // a = 13.5: series below, Temme above
      {9, 2.0, 0.25, 4.5, 0.9, 3.2, 1.6329931618554520655, 5.8525198463536548238, 3.5891990777031343175, 8.9140604598696955634, 0.97703411917798885254},
      // a = 18, level 1e-6: three quantiles at the median
      {12, 4.0, 1.5, 6.0, 1e-06, 2.0, 0.77138921583987002662, 3.2123248032342656987, 3.2123238469179911161, 3.2123257595507303985, 0.96780947776962349395},
      // a = 43: Temme on both sides
      {40, 25.0, 2.0, 3.0, 0.95, 1.5, 0.24286809349266669083, 1.5802640721777350260, 1.1525671559987847244, 2.1026592140181723069, 0.63223735808530177117},
      // a = 62: Temme below the mean for p_exceed
      {60, 30.0, 1.0, 2.0, 0.95, 0.7, 0.25400025400038100064, 1.9892576497908023495, 1.5333885318120187951, 2.5276468359624538426, 0.99999999999868171593},
      // a = 151.25: the series far below, the fraction far above
      {150, 100.0, 0.5, 1.25, 0.999999, 3.0, 0.12237187936566013264, 1.5016596774229278618, 0.98040294758705637044, 2.1813374271552039434, 3.7032673182027993456e-22},
      // a = 3007: p_exceed near 5e-6 by Temme
      {3000, 2500.0, 5.0, 7.0, 0.95, 1.3, 0.021890666460447416904, 1.2002661370205583349, 1.1578736314432714349, 1.2436809635990670399, 4.5848781743184604654e-6},
      // a = 3007: p_exceed near 1e-200, fraction
      {3000, 2500.0, 5.0, 7.0, 0.95, 2.0, 0.021890666460447416904, 1.2002661370205583349, 1.1578736314432714349, 1.2436809635990670399, 6.4672405734874547523e-206},
      // a = 2^31: Temme with two terms, p_exceed near 1e-20
      {2147483647, 2147483647.0, 1.0, 1.0, 0.95, 1.0002, 0.000021579186437577744275, 0.99999999984477957090, 0.99995770601282085782, 1.0000422948692840570, 9.5209075715764066102e-21},
      // a = 2^31: far below the mean, p_exceed 1
      {2147483647, 1000000000.0, 0.5, 2.5, 0.999999, 2.0, 0.000046340950004855493382, 2.1474836480929248426, 2.1472569728948736136, 2.1477103392430607128, 1.0000000000000000000},
      // a = 0.4: Boost below the served shapes
      {0, 1e-06, 3.0, 0.4, 0.95, 0.2, 0.21081844040507848314, 0.048359364428023612295, 0.000024427739708572988456, 0.74157180253683061703, 0.21464945996754325497},
      // counts and expected counts at the extremes
      {2147483647, 1e9, 0.5, 2.5, 0.95, 2.147484, 0.000046340950004855493382, 2.1474836480929248426,
       2.1473928227803959383, 2.1475744759664262927, 0.49697051411234606576},
      {2147483647, 1e-6, 1e-3, 7.25, 0.999999, 2.1454e12, 46294655.423852686371, 2145338315601.0657367,
       2145111866851.4001364, 2145564780286.8798376, 0.091361521928253494074},
      {2147483647, 2147483647.0, 1.0, 1.0, 0.5, 1.00003, 0.000021579186437577744275, 0.9999999998447795709,
       0.99998544497532651345, 1.000014554855463482, 0.082230769109019225488},
      {123456789, 123456.789, 0.01, 50.0, 0.999999, 1000.5, 0.090000011344497421721, 1000.0003212999769074,
       999.56013838593257648, 1000.4406334258973177, 1.4197097789636071972e-8},
      {0, 1e9, 1.0, 0.5, 0.95, 1e-9, 7.0710678047944074392e-10, 2.2746821133231816464e-10,
       4.9103455809659427061e-13, 2.5119430911455006179e-9, 0.15729920684273136493},
      {1, 1e-6, 2.0, 3.0, 0.95, 2.0, 0.99999950000024992999, 1.8360294564107197183, 0.54493241434695537911,
       4.3836343430539905518, 0.43346972963317693611},
      {5, 1e9, 1e-3, 1e4, 0.9, 1e-5, 1.0002499687568097627e-7, 0.000010004666668631055057,
       9.8410439941547515146e-6, 0.000010170093028649627285, 0.5186091645436671886},
      {3, 2.0, nan, nan, 0.95, 1, nan, nan, nan, nan, nan},             // no prior (a failed fit)
      {3, 1.7e308, 1.7e308, 2.0, 0.95, 1, nan, nan, nan, nan, nan},     // a + E beyond the double range
      {3, 2.0, 1.0, INFINITY, 0.95, 1, nan, nan, nan, nan, nan},        // y + b beyond the double range
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "y " << c.y << " E " << c.e << " a " << c.a << " b " << c.b << " level "
                                    << c.level << " C " << c.exceed);
    const PosteriorSummary s = SummarizePosterior(c.y, c.e, GammaPriorOf(c.b, c.a), {.Level = c.level, .Exceed = c.exceed});
    for (const auto& [got, want] : {std::pair(s.Sd, c.sd), {s.Median, c.median}, {s.Lower, c.lower},
                                    {s.Upper, c.upper}, {s.PExceed, c.pExceed}}) {
      EXPECT_TRUE(Near(got, want, 1e-12));
    }
  }
  // At the edge but within range: every value finite or NaN, never a crash.
  const PosteriorSummary s = SummarizePosterior(2147483647, 1e-6, GammaPriorOf(1e300, 1e-300), {.Exceed = 1e300});
  for (const double v : {s.Sd, s.Median, s.Lower, s.Upper, s.PExceed}) EXPECT_TRUE(std::isfinite(v) || std::isnan(v));
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
  const PosteriorSummary none = SummarizePosterior(3, 2.0, NoPrior(), settings);
  for (const double v : {none.Eb, none.Sd, none.Median, none.Lower, none.Upper, none.PExceed, none.PriorMean, none.PriorSd})
    EXPECT_TRUE(std::isnan(v));
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
