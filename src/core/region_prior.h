// A region's prior for its underlying ratio: what every prior method
// produces, and what the posterior summaries, the tables, the plot and the
// map read.
//
// For a region with observed count y and expected count E, the prior of its
// ratio theta is one of
//   - a Gamma distribution with shape s > 0 and rate r > 0 (mean s/r,
//     variance s/r^2); the posterior is then Gamma(y + s, r + E);
//   - the point at a mean m >= 0, the Gamma's limit of zero variance (s and r
//     growing with s/r = m): every region it covers is estimated by m, and
//     the posterior is the point m as well;
//   - no prior: the method has none for the region (a fit that failed, a
//     group it cannot estimate); every posterior value is then missing.
// A group's fitted prior is the case where every member has the same one.
// "No value" is a NaN throughout; the outputs print it as their format says.
#pragma once

#include <cmath>
#include <limits>

namespace tarnek {

struct RegionPrior {
  double Shape = std::numeric_limits<double>::quiet_NaN();  // s; +infinity for the point
  double Rate = std::numeric_limits<double>::quiet_NaN();   // r; +infinity for the point
  double Mean = std::numeric_limits<double>::quiet_NaN();   // s/r, or the point's m
};

inline RegionPrior NoPrior() { return {}; }

// The Gamma prior of shape `shape` and rate `rate`, both finite and > 0;
// no prior otherwise.
inline RegionPrior GammaPriorOf(double shape, double rate) {
  if (!(shape > 0.0 && rate > 0.0 && std::isfinite(shape) && std::isfinite(rate))) return NoPrior();
  return {shape, rate, shape / rate};
}

// The point prior at `mean`, finite and >= 0; no prior otherwise.
inline RegionPrior PointPriorAt(double mean) {
  if (!(mean >= 0.0 && std::isfinite(mean))) return NoPrior();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  return {kInfinity, kInfinity, mean};
}

inline bool HasPrior(const RegionPrior& prior) { return !std::isnan(prior.Mean); }
inline bool IsPointPrior(const RegionPrior& prior) { return HasPrior(prior) && std::isinf(prior.Shape); }

}  // namespace tarnek
