// The terms of negative-binomial and Poisson log-likelihoods, every constant
// included, written without the cancellation of large log-Gamma values: what
// the group diagnostics and the covariate regression sum.
//
// With Stirling's form of every log-Gamma the large terms cancel exactly; what
// is left for a count y >= 1 with mean m, and n = y + b, is
//   log NegBin(y | mean m, size b) = c(y) + w(n) - w(b) + log(b/n)/2
//                                    - bd0(b, n b/(b+m)) - bd0(y, n m/(b+m)),
//   log Poisson(y | m)             = c(y) - bd0(y, m),
// with c(y) = -log(2 pi y)/2 - w(y), w the Stirling remainder and
// bd0(x, m) = x log(x/m) + m - x >= 0; for y = 0 they are -b log(1 + m/b)
// and -m. Double arithmetic; log-Gamma below 10 from Boost.Math in double
// (boost_policy.h). Each term is accurate to a few units in the last place
// of the largest quantity it sums, for counts up to 2^31 - 1 (checked in
// diagnostics_test against mpmath).
#pragma once

#include <cstdint>

namespace tarnek {

// log(x/m) for x, m > 0, also where x/m leaves the double range.
double LogRatio(double x, double m);

// The Stirling remainder w(x) = log Gamma(x) - ((x - 1/2) log x - x + log(2 pi)/2), x > 0.
double StirlingRemainder(double x);

// w(y) of a count y >= 1 (from a table below 10).
double CountStirlingRemainder(int32_t y);

// bd0(x, m) = x log(x/m) + m - x for x, m > 0, summed as a series where x and
// m are close; NaN where x + m overflows.
double Bd0(double x, double m);

// Bd0 with its series by Horner's rule, as many terms as |x - m|/(x + m)
// needs and no division: the same value to a few units in the last place,
// in about half the time (NegBinLogPmf; the diagnostics keep Bd0's own).
double Bd0Horner(double x, double m);

// c(y) = -log(2 pi y)/2 - w(y) for y >= 1; 0 for y = 0.
double CountTerm(int32_t y);

// log NegBin(y | mean m, size b) for y >= 0, m > 0, b > 0, with
// countTerm = CountTerm(y) and remainderB = StirlingRemainder(b).
double NegBinLogPmf(int32_t y, double m, double b, double countTerm, double remainderB);

// log Poisson(y | m) for y >= 0, m > 0, with countTerm = CountTerm(y).
double PoissonLogPmf(int32_t y, double m, double countTerm);

}  // namespace tarnek
