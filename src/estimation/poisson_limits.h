// Exact Poisson control limits of a funnel plot, and where an observed count
// stands against them.
//
// A count X is Poisson with mean m (the overall ratio times a region's
// expected count). With F its distribution function, f its probability
// function, p a probability and r the smallest integer with F(r) >= p, the
// limit is the quantile interpolated between integers as in Spiegelhalter's
// funnel plots (Statistics in Medicine 24, 2005):
//     q(m, p) = r - (F(r) - p) / f(r).
// It is continuous and nondecreasing in m, and equals r where F(r) = p. The
// lower limit at tail probability t is q(m, t), the upper one q(m, 1 - t);
// 95% limits have t = 0.025, 99.8% limits t = 0.001. Divided by the
// expected count they are limits of the ratio. For small means a limit may be
// 0 or negative: it then has no place on a logarithmic axis.
//
// Against these limits a count y lies below the lower one exactly when
// F(y) < t, and above the upper one exactly when P(X > y) < t (y >= 1; a
// count of 0 is never above). For a given y each condition holds on a range
// of means, whose end CountBoundsOf gives: one inversion per count serves
// every region with that count.
//
// Numerics: Boost.Math in double only, never in x87 extended precision, and
// nothing thrown: every error gives a NaN (a limit not drawn, a count inside). Means above kMaxLimitMean
// get no limit: there the limits lie within 0.04% of the mean, closer than a
// drawing shows, and the incomplete gamma functions of Boost lose accuracy
// not far beyond (at 10^12 they are off by percents).
#pragma once

#include <cstdint>

namespace tarnek {

inline constexpr double kMaxLimitMean = 1e8;

// q(mean, t) for the lower limit, q(mean, 1 - t) for the upper, in counts.
// NaN when mean is not in (0, kMaxLimitMean] or tail not in (0, 0.5).
double LowerPoissonLimit(double mean, double tail);
double UpperPoissonLimit(double mean, double tail);

// The means at which a count y leaves the limits of tail t: y lies below the
// lower limit when the mean exceeds LowAbove, and above the upper limit when
// the mean is less than HighBelow (0 for y = 0).
struct CountBounds {
  double LowAbove = 0.0;
  double HighBelow = 0.0;
};
CountBounds CountBoundsOf(int32_t count, double tail);

// Where a count stands against the limits of tail t at the given mean, by
// its distribution function (no inversion), or by the Chernoff bound of its
// tail where that leaves no doubt.
enum class LimitSide { Inside, Below, Above };
LimitSide SideOfLimits(int32_t count, double mean, double tail);

}  // namespace tarnek
