// The list of prior methods.
#include "grouping/prior_methods.h"

#include <string>

#include "estimation/posterior.h"  // PriorMeanOf, PriorSdOf
#include "grouping/covariate_fits.h"
#include "grouping/fitted_priors.h"
#include "grouping/neighbour_priors.h"

namespace tarnek {

const std::vector<PriorMethod> kPriorMethods = {
    {"mle", "EB ratio (MLE)", FillMaximumLikelihoodOrCovariatePriors, false, true, true},
    {"me", "EB ratio (ME)", FillMomentPriors},
    {"marshall", "EB ratio (Marshall's moments)", FillMarshallPriors},
    {"local", "EB ratio (local prior of the neighbourhood)", FillNeighbourhoodPriors, true},
    {"local-own-means", "EB ratio (local prior of the neighbours' own means)", FillOwnMeansPriors, true},
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

void SetGroupPrior(const MethodInput& input, size_t g, const RegionPrior& prior, std::string_view source,
                   PriorSet& out) {
  for (size_t k = input.Members.Start[g]; k < input.Members.Start[g + 1]; ++k) out.Records[input.Members.Rows[k]] = prior;
  if (!HasPrior(prior)) return;
  GroupPrior& group = out.Groups[g];
  group = {source, PriorMeanOf(prior), PriorSdOf(prior)};
  if (!IsPointPrior(prior)) {
    group.Alpha = prior.Rate;
    group.Beta = prior.Shape;
  }
}

}  // namespace tarnek
