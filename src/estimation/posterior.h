// A region's posterior under its prior, summarised: the values of the region
// table, the plot and the map.
//
// The model: a region with count y and expected count E whose prior is
// Gamma(shape s, rate r) has the posterior Gamma(y + s, r + E); under the
// point prior at m its posterior is the point m (region_prior.h).
//
// Numerics. The posterior mean (the region's EB ratio) is formed as the
// estimator forms its EB ratios, (y + s)/(r + E) in x87 extended precision
// and rounded once, so that under a group's fitted prior it is the eb_me or
// eb_mle of the result table bit for bit. Every other value is double
// arithmetic, the same on any number of threads (each record's values depend
// on that record alone).
//
// The quantiles and the upper tail of Gamma(a = y + s, 1), for 1 <= a <
// 1e300 (posterior.cpp; Boost.Math in double below and above, and wherever an
// iteration does not settle):
// - P(a, x) and Q(a, x), the smaller one computed and the other as 1 minus
//   it: Temme's uniform expansion (DLMF 8.12, coefficients from
//   posterior_temme.py) for a >= 10 within |eta| <= 0.7 of the mean (below the
//   mean from a = 25 on), the series for P below it and up to a + 1.6 sqrt(a)
//   (where Q >= 0.05), Legendre's continued fraction for Q beyond; the
//   prefactor x^a e^-x/Gamma(a + 1) as e^(-a phi)/(sqrt(2 pi a) Gamma*(a)),
//   phi = t - ln(1 + t) (x = a(1 + t)) to 4e-16 relative, and Gamma*(a) and
//   Temme's coefficients in 1/a formed once per record for all four values.
// - A quantile: DiDonato and Morris's start (a Cornish-Fisher expansion; the
//   median from Choi's series), then Halley steps, which stop once the
//   step's own error bound (cubic in the step, from the density's
//   derivatives) is below 1e-13 relative: one step for most shapes from 10
//   on, two below.
// About 0.37 us a record on one thread (1.1 us with Boost's general routines).
// Against 40-digit references (mpmath; Temme's expansion in exact rationals
// for shapes from 1e5 on, where mpmath's own series do not converge) every
// value is within 1e-12 relative for counts from 0 to 2^31 - 1 and expected
// counts from 1e-6 to 1e9, results in the subnormal range excepted (they
// carry fewer than 52 bits): the quantiles within 1e-13, PExceed within
// 3e-13, and 1e-13 where it is above 1e-100. (Boost's upper tail in double
// misses by up to 2.5e-7 far out in the tail of shapes near 1e9.)
// A value that does not exist is a NaN; every other value is finite.
#pragma once

#include <cstdint>

#include "core/region_prior.h"

namespace tarnek {

// What the posterior summaries are asked for.
struct PosteriorSettings {
  double Level = 0.95;  // credible level of the equal-tailed interval, 0 < Level < 1
  double Exceed = 1.0;  // threshold of the exceedance probability, a ratio > 0
};

struct PosteriorSummary {
  double Eb;         // posterior mean: (y + s)/(r + E), or m
  double Sd;         // sqrt(y + s)/(r + E), or 0
  double Median;     // quantile at 0.5, or m
  double Lower;      // quantile at (1 - Level)/2, or m
  double Upper;      // quantile at (1 + Level)/2, or m
  double PExceed;    // probability that the ratio exceeds Exceed; for the point, 1 or 0 as m > Exceed
  double PriorMean;  // s/r, or m
  double PriorSd;    // sqrt(s)/r, or 0
};

// Summarises the posterior of a region with count `y` >= 0 and expected count
// `e` > 0 under `prior`. All NaN without a prior, or where y + s or r + E is
// beyond the double range; a quantile or probability that cannot be computed
// is NaN on its own.
PosteriorSummary SummarizePosterior(int32_t y, double e, const RegionPrior& prior, const PosteriorSettings& settings);

// The posterior mean and the prior's mean and standard deviation alone, as
// SummarizePosterior gives them: the cheap part, for the outputs that draw
// the EB ratio only.
double PosteriorMean(int32_t y, double e, const RegionPrior& prior);
double PriorMeanOf(const RegionPrior& prior);
double PriorSdOf(const RegionPrior& prior);

}  // namespace tarnek
