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
// arithmetic; the Gamma quantiles and upper tails come from Boost.Math in
// double (boost_policy.h). Against 40-digit references (mpmath) every value
// is within 1e-12 relative for counts from 0 to 2^31 - 1 and expected counts
// from 1e-6 to 1e9, except PExceed for a posterior shape above about 1e9
// with the threshold just above its mean (Boost's series: up to 1.5e-12).
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
