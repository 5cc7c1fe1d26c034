// Posterior summaries. See posterior.h for the model and the numerics.
#include "estimation/posterior.h"

#include <cmath>  // std::sqrt, std::isfinite
#include <limits>

#include <boost/math/special_functions/gamma.hpp>

#include "estimation/boost_policy.h"

namespace tarnek {

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

double Finite(double x) { return std::isfinite(x) ? x : kNoValue; }

}  // namespace

double PosteriorMean(int32_t y, double e, const RegionPrior& prior) {
  if (!HasPrior(prior)) return kNoValue;
  if (IsPointPrior(prior)) return prior.Mean;
  using Extended = long double;
  return Finite(static_cast<double>((Extended(y) + prior.Shape) / (Extended(prior.Rate) + e)));
}

double PriorMeanOf(const RegionPrior& prior) { return HasPrior(prior) ? Finite(prior.Mean) : kNoValue; }

double PriorSdOf(const RegionPrior& prior) {
  if (!HasPrior(prior)) return kNoValue;
  return IsPointPrior(prior) ? 0.0 : Finite(std::sqrt(prior.Shape) / prior.Rate);
}

PosteriorSummary SummarizePosterior(int32_t y, double e, const RegionPrior& prior, const PosteriorSettings& settings) {
  constexpr PosteriorSummary kNone{kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue};
  if (!HasPrior(prior)) return kNone;
  if (IsPointPrior(prior)) {
    const double m = prior.Mean;
    return {m, 0.0, m, m, m, m > settings.Exceed ? 1.0 : 0.0, m, 0.0};
  }
  const double shape = y + prior.Shape;
  const double rate = prior.Rate + e;
  if (!std::isfinite(shape) || !std::isfinite(rate)) return kNone;
  // The quantiles of Gamma(shape, rate) are those of Gamma(shape, 1) over the
  // rate; the upper one is taken from its upper tail, which keeps its
  // accuracy where (1 + Level)/2 rounds.
  const double tail = (1.0 - settings.Level) / 2.0;
  const double threshold = settings.Exceed * rate;
  PosteriorSummary s;
  s.Eb = PosteriorMean(y, e, prior);
  s.Sd = Finite(std::sqrt(shape) / rate);
  s.Median = Finite(boost::math::gamma_p_inv(shape, 0.5, BoostPolicy()) / rate);
  s.Lower = Finite(boost::math::gamma_p_inv(shape, tail, BoostPolicy()) / rate);
  s.Upper = Finite(boost::math::gamma_q_inv(shape, tail, BoostPolicy()) / rate);
  s.PExceed = std::isfinite(threshold) ? Finite(boost::math::gamma_q(shape, threshold, BoostPolicy())) : kNoValue;
  s.PriorMean = PriorMeanOf(prior);
  s.PriorSd = PriorSdOf(prior);
  return s;
}

}  // namespace tarnek
