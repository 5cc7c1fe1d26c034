// Funnel limits against independent values: Poisson probabilities summed in
// Python's decimal arithmetic (60 digits) from exp(-m) by f(k) = f(k-1) m / k,
// the quantile interpolated as poisson_limits.h defines it, and the count
// bounds found by bisection on those sums.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "estimation/poisson_limits.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::Near;

TEST(PoissonLimitsTest, InterpolatedQuantilesMatchExactSums) {
  const struct {
    const char* note;
    double mean, tail, lower, upper;
  } rows[] = {
      {"r = 0 below: a negative lower limit; upper between 1 and 2", 0.05, 0.001, -9.989487289036240e-01, 1.175860223718413e+00},
      {"upper limit below 1", 0.05, 0.025, -9.737182225905994e-01, 4.997863793324688e-01},
      {"lower limit just above 0 (F(0) just below p)", 3.7, 0.025, 3.022326757212098e-03, 7.475474521393311e+00},
      {"small mean, 99.8%", 3.7, 0.001, -9.595526956399326e-01, 1.051922999081630e+01},
      {"", 10, 0.001, 1.220529315896134e+00, 2.066200083599504e+01},
      {"", 10, 0.025, 3.775187947688403e+00, 1.615995067334478e+01},
      {"a mean that is no integer", 123.4, 0.001, 9.003893865894601e+01, 1.586414780735937e+02},
      {"", 5000, 0.025, 4.861382156425636e+03, 5.138565109511470e+03},
      {"large means: the incomplete gamma by asymptotic expansion", 250000, 0.001, 2.484558092852584e+05, 2.515460402047167e+05},
      {"", 1e7, 0.001, 9.990228752401851e+06, 1.000977309739536e+07},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    SCOPED_TRACE(row.mean);
    EXPECT_TRUE(Near(LowerPoissonLimit(row.mean, row.tail), row.lower, 1e-12)) << "lower";
    EXPECT_TRUE(Near(UpperPoissonLimit(row.mean, row.tail), row.upper, 1e-12)) << "upper";
  }
  // Outside the domain: no limit rather than a wrong one.
  for (const double mean : {0.0, -1.0, 2 * kMaxLimitMean, std::numeric_limits<double>::infinity()}) {
    EXPECT_TRUE(std::isnan(LowerPoissonLimit(mean, 0.001))) << mean;
    EXPECT_TRUE(std::isnan(UpperPoissonLimit(mean, 0.001))) << mean;
  }
  EXPECT_TRUE(std::isnan(UpperPoissonLimit(10, 0.5)));
}

TEST(PoissonLimitsTest, CountsBeyondTheLimits) {
  // The mean at which F(y) = 0.001 (below beyond it) and P(X > y) = 0.001
  // (above short of it); for y = 0 that is -ln 0.001 and no upper bound.
  const struct {
    int32_t count;
    double lowAbove, highBelow;
  } bounds[] = {
      {0, 6.907755278982137e+00, 0.0},
      {1, 9.233413476451586e+00, 4.540201776948956e-02},
      {5, 1.645474520368011e+01, 1.107104660255639e+00},
      {40, 6.366219829665895e+01, 2.401784556149985e+01},
  };
  for (const auto& b : bounds) {
    SCOPED_TRACE(b.count);
    const CountBounds got = CountBoundsOf(b.count, 0.001);
    EXPECT_TRUE(Near(got.LowAbove, b.lowAbove, 1e-12)) << "low";
    EXPECT_TRUE(Near(got.HighBelow, b.highBelow, 1e-12)) << "high";
    // SideOfLimits, which does not invert, agrees on either side of them.
    EXPECT_EQ(SideOfLimits(b.count, b.lowAbove * (1 + 1e-9), 0.001), LimitSide::Below);
    EXPECT_EQ(SideOfLimits(b.count, b.lowAbove * (1 - 1e-9), 0.001), LimitSide::Inside);
    if (b.count > 0) {
      EXPECT_EQ(SideOfLimits(b.count, b.highBelow * (1 - 1e-9), 0.001), LimitSide::Above);
      EXPECT_EQ(SideOfLimits(b.count, b.highBelow * (1 + 1e-9), 0.001), LimitSide::Inside);
    }
  }
  // A count stands where the drawn limit puts it: at mean 5000 the 99.8%
  // limits are 4782.41 and 5219.44 (above).
  const struct {
    int32_t count;
    double mean;
    LimitSide side;
  } sides[] = {
      {4782, 5000, LimitSide::Below}, {4783, 5000, LimitSide::Inside}, {5219, 5000, LimitSide::Inside},
      {5220, 5000, LimitSide::Above}, {0, 1e-9, LimitSide::Inside},  // a count of 0 is never above
      {3, 0.0, LimitSide::Above},     {3, std::numeric_limits<double>::infinity(), LimitSide::Below},
      {6000, 5000, LimitSide::Above}, {4000, 5000, LimitSide::Below},  // 14 sd away: settled by the Chernoff bound
      {0, 7.0, LimitSide::Below},     {0, 6.9, LimitSide::Inside},     // F(0) = e^-m against 0.001 (m = 6.908)
  };
  for (const auto& s : sides) EXPECT_EQ(SideOfLimits(s.count, s.mean, 0.001), s.side) << s.count << " at " << s.mean;
}
