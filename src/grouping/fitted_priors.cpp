// Group priors from the estimator's MleAlpha, MleBeta or MeAlpha, MeBeta.
#include "grouping/fitted_priors.h"

#include "core/fit_settings.h"  // NoEstimate

namespace tarnek {

namespace {

RegionPrior PriorOf(double alpha, double beta) {
  if (alpha == NoEstimate || beta == NoEstimate) return NoPrior();
  return GammaPriorOf(beta, alpha);
}

}  // namespace

void FillMaximumLikelihoodPriors(const MethodInput& input, PriorSet& out) {
  for (size_t g = 0; g < input.Results.Groups.size(); ++g) {
    const GroupResult& r = input.Results.Groups[g];
    SetGroupPrior(input, g, PriorOf(r.MleAlpha, r.MleBeta), out);
  }
}

void FillMomentPriors(const MethodInput& input, PriorSet& out) {
  for (size_t g = 0; g < input.Results.Groups.size(); ++g) {
    const GroupResult& r = input.Results.Groups[g];
    SetGroupPrior(input, g, PriorOf(r.MeAlpha, r.MeBeta), out);
  }
}

}  // namespace tarnek
