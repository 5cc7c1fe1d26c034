// The list of prior methods.
#include "grouping/prior_methods.h"

#include <string>

#include "estimation/posterior.h"  // PriorMeanOf, PriorSdOf
#include "grouping/covariate_fits.h"
#include "grouping/fitted_priors.h"

namespace tarnek {

const std::vector<PriorMethod> kPriorMethods = {
    {"mle", "EB ratio (MLE; ME where it failed)", FillMaximumLikelihoodOrCovariatePriors},
    {"me", "EB ratio (ME)", FillMomentPriors},
};

const PriorMethod* FindPriorMethod(std::string_view name) {
  for (const PriorMethod& method : kPriorMethods) {
    if (method.Name == name) return &method;
  }
  return nullptr;
}

std::string PriorMethodNames() {
  std::string names;
  for (size_t i = 0; i < kPriorMethods.size(); ++i) {
    if (i > 0) names += i + 1 == kPriorMethods.size() ? " or " : ", ";
    names += kPriorMethods[i].Name;
  }
  return names;
}

PriorSet FillPriors(const PriorMethod& method, const MethodInput& input) {
  PriorSet priors;
  priors.Records.resize(input.Table.Size());
  priors.Groups.resize(input.Results.Groups.size());
  priors.PlotLegend = method.PlotLegend;
  method.Fill(input, priors);
  return priors;
}

void SetGroupPrior(const MethodInput& input, size_t g, const RegionPrior& prior, PriorSet& out) {
  for (size_t k = input.Members.Start[g]; k < input.Members.Start[g + 1]; ++k) out.Records[input.Members.Rows[k]] = prior;
  out.Groups[g] = {PriorMeanOf(prior), PriorSdOf(prior)};
}

}  // namespace tarnek
