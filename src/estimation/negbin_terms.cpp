// Negative-binomial and Poisson log-likelihood terms. See negbin_terms.h.
#include "estimation/negbin_terms.h"

#include <cmath>  // std::log, std::log1p, std::fabs, std::isfinite
#include <limits>

#include <boost/math/special_functions/gamma.hpp>

#include "estimation/boost_policy.h"

namespace tarnek {

namespace {

constexpr double kHalfLogTwoPi = 0.91893853320467274178;  // log(2 pi)/2
constexpr double kTwoPi = 6.28318530717958647693;

}  // namespace

double LogRatio(double x, double m) {
  const double q = x / m;
  return q >= std::numeric_limits<double>::min() && std::isfinite(q) ? std::log(q) : std::log(x) - std::log(m);
}

// From x = 10 on, the asymptotic series to the x^-13 term (the next term is
// below 3e-17 there); below, through log Gamma.
double StirlingRemainder(double x) {
  if (x >= 10.0) {
    const double x2 = 1.0 / (x * x);
    constexpr double s0 = 1.0 / 12, s1 = 1.0 / 360, s2 = 1.0 / 1260, s3 = 1.0 / 1680, s4 = 1.0 / 1188,
                     s5 = 691.0 / 360360, s6 = 1.0 / 156;
    return (s0 - (s1 - (s2 - (s3 - (s4 - (s5 - s6 * x2) * x2) * x2) * x2) * x2) * x2) / x;
  }
  return boost::math::lgamma(x, BoostPolicy()) - (x - 0.5) * std::log(x) + x - kHalfLogTwoPi;
}

// Below 10 from a table (the values correctly rounded), which spares the
// common small counts a log-Gamma.
double CountStirlingRemainder(int32_t y) {
  static constexpr double kSmall[10] = {
      0.0,  // unused
      0.08106146679532726, 0.0413406959554093,   0.02767792568499834,
      0.020790672103765093, 0.016644691189821193, 0.013876128823070748,
      0.01189670994589177,  0.010411265261972096, 0.009255462182712733,
  };
  return y < 10 ? kSmall[y] : StirlingRemainder(y);
}

// Where x and m are close the direct form cancels, so it is summed as
// (x - m) v + 2x (v^3/3 + v^5/5 + ...) with v = (x - m)/(x + m), |v| < 0.1.
double Bd0(double x, double m) {
  const double sum = x + m;
  if (!std::isfinite(sum)) return std::numeric_limits<double>::quiet_NaN();
  const double d = x - m;
  if (std::fabs(d) < 0.1 * sum) {
    const double v = d / sum;
    const double v2 = v * v;
    double s = d * v;
    double term = 2.0 * x * v;
    for (int j = 3; j < 99; j += 2) {
      term *= v2;
      const double next = s + term / j;
      if (next == s) break;
      s = next;
    }
    return s;
  }
  return x * LogRatio(x, m) + m - x;
}

// s = (x - m) v + 2x v^3 (1/3 + v^2/5 + ... + v^(2K-2)/(2K+1)), K terms where
// v^(2K) is below 1e-17: every term left out below 1e-17 of the sum.
double Bd0Horner(double x, double m) {
  const double sum = x + m;
  if (!std::isfinite(sum)) return std::numeric_limits<double>::quiet_NaN();
  const double d = x - m;
  if (!(std::fabs(d) < 0.1 * sum)) return x * LogRatio(x, m) + m - x;
  static constexpr double kOdd[10] = {1.0,      1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,
                                      1.0 / 11, 1.0 / 13, 1.0 / 15, 1.0 / 17, 1.0 / 19};
  const double v = d / sum;
  const double v2 = v * v;
  const int terms = v2 > 1e-3 ? 9 : v2 > 1e-4 ? 6 : v2 > 1e-6 ? 5 : v2 > 1e-9 ? 3 : 2;
  double series = kOdd[terms];
  for (int j = terms - 1; j >= 1; --j) series = kOdd[j] + v2 * series;
  return d * v + 2.0 * x * v * v2 * series;
}

double CountTerm(int32_t y) {
  if (y == 0) return 0.0;
  return -0.5 * std::log(kTwoPi * static_cast<double>(y)) - CountStirlingRemainder(y);
}

double NegBinLogPmf(int32_t y, double m, double b, double countTerm, double remainderB) {
  if (y == 0) {
    const double q = m / b;
    return -b * (std::isfinite(q) ? std::log1p(q) : std::log(m) - std::log(b));
  }
  const double count = y;
  const double n = count + b;
  const double rate = b + m;
  return countTerm + StirlingRemainder(n) - remainderB + 0.5 * LogRatio(b, n) - Bd0Horner(b, n * b / rate) -
         Bd0Horner(count, n * m / rate);
}

double PoissonLogPmf(int32_t y, double m, double countTerm) {
  if (y == 0) return -m;
  return countTerm - Bd0(static_cast<double>(y), m);
}

}  // namespace tarnek
