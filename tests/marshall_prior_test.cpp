// Marshall's global moment estimator: small groups in exact fractions, the
// degenerate groups, and the figures of spdep's EBest (tests/marshall_spdep.R).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "estimation/marshall_prior.h"
#include "estimation/posterior.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::Counts, testdata::Expected, testdata::Near, testdata::Scotland;

TEST(MarshallPriorTest, SmallGroupsInExactFractions) {
  const struct {
    const char* note;
    Counts y;
    Expected e;
    double b, s2, a, shape, rate;  // shape and rate 0: the point at b
    std::vector<double> eb;
  } cases[] = {
      // sum E = 4, b = 8/4 = 2, r = (0, 1, 6):
      // s^2 = (1 (0-2)^2 + 2 (1-2)^2 + 1 (6-2)^2)/4 = 22/4, mean E = 4/3,
      // a = 11/2 - 2/(4/3) = 4; shape 2^2/4 = 1, rate 2/4 = 1/2;
      // EB = (0+1)/(1+1/2), (2+1)/(2+1/2), (6+1)/(1+1/2).
      {"three regions", {0, 2, 6}, {1, 2, 1}, 2, 5.5, 4, 1, 0.5, {2.0 / 3, 1.2, 14.0 / 3}},
      // sum E = 8, b = 17/8, r = (9/2, 0, 7/4, 2/3), r - b = (19/8, -17/8,
      // -3/8, -35/24): s^2 = (2 361/64 + 289/128 + 4 9/64 + (3/2) 1225/576)/8
      // = (6640/384)/8 = 415/192, mean E 2, a = 415/192 - 17/16 = 211/192;
      // shape (17/8)^2/a = 867/211, rate (17/8)/a = 408/211;
      // EB(1) = (9 + 867/211)/(2 + 408/211) = 2766/830.
      {"four regions", {9, 0, 7, 1}, {2, 0.5, 4, 1.5}, 17.0 / 8, 415.0 / 192, 211.0 / 192, 867.0 / 211,
       408.0 / 211, {2766.0 / 830, (0 + 867.0 / 211) / (0.5 + 408.0 / 211)}},
      // b = 2, s^2 = (1 + 1)/2 = 1, a = 1 - 2/1 < 0: truncated, the point at 2.
      {"less spread than Poisson noise", {1, 3}, {1, 1}, 2, 1, 0, 0, 0, {2, 2}},
      // b = 1, s^2 = (1 + 1)/2 = 1 = b/mean E: a = 0 without truncation.
      {"exactly Poisson spread", {0, 2}, {1, 1}, 1, 1, 0, 0, 0, {1, 1}},
      // b = 0, s^2 = 0, a = 0: the point at 0 (EBest: 0/0, NaN).
      {"all counts 0", {0, 0, 0}, {1, 2, 3}, 0, 0, 0, 0, 0, {0, 0, 0}},
      // b = 5/2, s^2 = 0, a = -5/4 -> 0: the point at the region's ratio.
      {"one region", {5}, {2}, 2.5, 0, 0, 0, 0, {2.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const MarshallEstimate m = EstimateMarshall({c.y, c.e});
    EXPECT_TRUE(Near(m.Mean, c.b, 1e-15));
    EXPECT_TRUE(Near(m.WeightedVariance, c.s2, 1e-15));
    EXPECT_TRUE(Near(m.Variance, c.a, 1e-15));
    const RegionPrior prior = MarshallPrior(m);
    ASSERT_TRUE(HasPrior(prior));
    if (c.shape == 0) {
      EXPECT_TRUE(IsPointPrior(prior));
      EXPECT_EQ(prior.Mean, c.b);
    } else {
      EXPECT_TRUE(Near(prior.Shape, c.shape, 1e-14));
      EXPECT_TRUE(Near(prior.Rate, c.rate, 1e-14));
    }
    for (size_t i = 0; i < c.eb.size(); ++i) EXPECT_TRUE(Near(PosteriorMean(c.y[i], c.e[i], prior), c.eb[i], 1e-14));
  }
}

TEST(MarshallPriorTest, AgreesWithSpdep) {
  // spdep 1.2.7 on R 4.2.2, EBest(n, x) (family "poisson"), its attribute
  // "parameters" and column estmm, printed with %.17g by tests/marshall_spdep.R,
  // on the bundled sample (lip cancer in Scotland). (On the "four regions"
  // above it printed a = 1.0989583333333335 = 211/192, b = 2.125 and the
  // EB ratios 3.3325301204819278 = 2766/830 and 1.688412852969815.)
  const auto [y, e] = Scotland();
  const MarshallEstimate m = EstimateMarshall({y, e});
  EXPECT_TRUE(Near(m.Variance, 0.80270009869432779, 1e-14));
  EXPECT_TRUE(Near(m.Mean, 0.99962700484893685, 1e-15));
  const RegionPrior prior = MarshallPrior(m);
  const struct {
    int region;
    double eb;
  } regions[] = {{1, 3.8728112336348559}, {2, 4.0466091758015263}, {30, 1.0698569158770426}, {56, 0.40877864117161389}};
  for (const auto& r : regions) EXPECT_TRUE(Near(PosteriorMean(y[r.region - 1], e[r.region - 1], prior), r.eb, 1e-14));
}

TEST(MarshallPriorTest, ValuesBeyondTheRange) {
  // The sum of E overflows: no estimate, no prior.
  MarshallEstimate m = EstimateMarshall({Counts{1, 2}, Expected{1.5e308, 1.5e308}});
  EXPECT_TRUE(std::isnan(m.Mean) && std::isnan(m.Variance));
  EXPECT_FALSE(HasPrior(MarshallPrior(m)));
  // A positive variance so small beside b that b/a overflows: the point at b.
  EXPECT_TRUE(IsPointPrior(MarshallPrior({1.0, 1e-320, 1e-320})));
  EXPECT_EQ(MarshallPrior({1.0, 1e-320, 1e-320}).Mean, 1.0);
  // A variance so large that b^2/a underflows: no prior.
  EXPECT_FALSE(HasPrior(MarshallPrior({1e-200, 1e300, 1e300})));
  // b^2 underflows but b^2/a does not: y = (0, 5, 1), E = (1e-300, 1e300, 1)
  // give b = 6e-300, s^2 = (1 + 1e-300)/1e300, a = s^2 - 1.8e-599, so that
  // shape b^2/a = 3.6e-299 and rate b/a = 6, each to a few ulps.
  const RegionPrior tiny = MarshallPrior(EstimateMarshall({Counts{0, 5, 1}, Expected{1e-300, 1e300, 1}}));
  ASSERT_TRUE(HasPrior(tiny) && !IsPointPrior(tiny));
  EXPECT_TRUE(Near(tiny.Shape, 3.6e-299, 1e-14));
  EXPECT_TRUE(Near(tiny.Rate, 6, 1e-14));
}
