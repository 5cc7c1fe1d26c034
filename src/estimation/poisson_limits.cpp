// Poisson limits through the regularized incomplete gamma functions:
// F(r) = Q(r + 1, m), P(X > r) = P(r + 1, m), f(r) = dP(a, m)/dm at a = r + 1.
#include "estimation/poisson_limits.h"

#include <cmath>  // std::floor, std::sqrt, std::log
#include <limits>
#include <stdexcept>  // std::logic_error, std::runtime_error

#include <boost/math/special_functions/erf.hpp>    // erfc_inv
#include <boost/math/special_functions/gamma.hpp>  // gamma_p, gamma_q, their inverses, gamma_p_derivative

namespace tarnek {

namespace {

namespace policies = boost::math::policies;

// Doubles throughout (no promotion to long double, hence no x87 arithmetic),
// and a NaN instead of an exception for every error.
using Policy = policies::policy<policies::promote_float<false>, policies::promote_double<false>,
                                policies::domain_error<policies::ignore_error>,
                                policies::pole_error<policies::ignore_error>,
                                policies::overflow_error<policies::ignore_error>,
                                policies::underflow_error<policies::ignore_error>,
                                policies::denorm_error<policies::ignore_error>,
                                policies::evaluation_error<policies::ignore_error>,
                                policies::rounding_error<policies::ignore_error>,
                                policies::indeterminate_result_error<policies::ignore_error>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The value of a computation with Boost, or NaN where it throws after all:
// its root finders and a few conversions raise errors under the default
// policy, whatever policy the call was given.
template <typename Compute>
double OrNaN(Compute compute) {
  try {
    return compute();
  } catch (const std::logic_error&) {  // std::domain_error
    return kNaN;
  } catch (const std::runtime_error&) {  // evaluation, rounding and overflow errors
    return kNaN;
  }
}

// q(mean, p), p = tail below the mean (upper false) or 1 - tail above it.
double PoissonLimit(double mean, double tail, bool upper) {
  if (!(mean > 0.0 && mean <= kMaxLimitMean && tail > 0.0 && tail < 0.5)) return kNaN;
  // F(r) - p, computed on the side where it does not cancel: for the upper
  // limit as t - P(X > r).
  const auto excess = [&](double r) {
    return upper ? tail - boost::math::gamma_p(r + 1.0, mean, Policy()) : boost::math::gamma_q(r + 1.0, mean, Policy()) - tail;
  };
  // Start next to r by the Cornish-Fisher expansion, then step to it: r is
  // the first integer with a nonnegative excess.
  const double z = std::sqrt(2.0) * boost::math::erfc_inv(2.0 * tail, Policy());
  double r = std::floor(mean + (upper ? z : -z) * std::sqrt(mean) + (z * z - 1.0) / 6.0);
  if (!(r >= 0.0)) r = 0.0;
  while (r > 0.0 && excess(r - 1.0) >= 0.0) r -= 1.0;
  while (excess(r) < 0.0) r += 1.0;
  return r - excess(r) / boost::math::gamma_p_derivative(r + 1.0, mean, Policy());
}

}  // namespace

double LowerPoissonLimit(double mean, double tail) {
  return OrNaN([&] { return PoissonLimit(mean, tail, false); });
}

double UpperPoissonLimit(double mean, double tail) {
  return OrNaN([&] { return PoissonLimit(mean, tail, true); });
}

CountBounds CountBoundsOf(int32_t count, double tail) {
  const double a = static_cast<double>(count) + 1.0;
  CountBounds bounds;
  bounds.LowAbove = OrNaN([&] { return boost::math::gamma_q_inv(a, tail, Policy()); });  // F(y) = Q(y + 1, m) = t
  bounds.HighBelow = count > 0 ? OrNaN([&] { return boost::math::gamma_p_inv(a, tail, Policy()); })  // P(X > y) = P(y + 1, m) = t
                               : 0.0;
  return bounds;
}

LimitSide SideOfLimits(int32_t count, double mean, double tail) {
  const double y = static_cast<double>(count);
  const double a = y + 1.0;
  if (mean == std::numeric_limits<double>::infinity()) return LimitSide::Below;  // Boost takes no infinity
  // Far from the mean the Chernoff bound settles it: P(X >= y) for y > m,
  // and P(X <= y) for y < m, are at most exp(-(y ln(y/m) - y + m)). With a
  // margin of 1 in the exponent no rounding can tip it.
  if (mean > 0.0 && y != mean) {
    const double exponent = (y > 0.0 ? y * std::log(y / mean) : 0.0) - y + mean;
    if (exponent > 1.0 - std::log(tail)) return y > mean ? LimitSide::Above : LimitSide::Below;
  }
  if (OrNaN([&] { return boost::math::gamma_q(a, mean, Policy()); }) < tail) return LimitSide::Below;
  if (count > 0 && OrNaN([&] { return boost::math::gamma_p(a, mean, Policy()); }) < tail) return LimitSide::Above;
  return LimitSide::Inside;
}

}  // namespace tarnek
