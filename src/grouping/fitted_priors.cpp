// Group priors from the groups' likelihood maxima, the estimator's moment
// estimates, or Marshall's moments.
#include "grouping/fitted_priors.h"

#include "core/fit_settings.h"  // NoEstimate
#include "estimation/marshall_prior.h"

namespace tarnek {

namespace {

// The word of a maximum; "best_found" where the search could not certify
// it (likelihood_maximum.h).
std::string_view SourceOf(const LikelihoodMaximum& maximum) {
  if (!maximum.Certified && maximum.Kind != MaximumKind::None) return "best_found";
  switch (maximum.Kind) {
    case MaximumKind::NewtonRaphson: return "newton_raphson";
    case MaximumKind::Safeguarded: return "safeguarded";
    case MaximumKind::Boundary: return "boundary";
    case MaximumKind::None: return "none";
  }
  return "none";
}

}  // namespace

void FillMaximumLikelihoodPriors(const MethodInput& input, PriorSet& out) {
  for (size_t g = 0; g < input.Results.Groups.size(); ++g) {
    const LikelihoodMaximum& maximum = (*input.Maxima)[g];
    SetGroupPrior(input, g, PriorOf(maximum), SourceOf(maximum), out);
  }
}

void FillMomentPriors(const MethodInput& input, PriorSet& out) {
  for (size_t g = 0; g < input.Results.Groups.size(); ++g) {
    const GroupResult& r = input.Results.Groups[g];
    const bool exists = r.MeAlpha != NoEstimate && r.MeBeta != NoEstimate;
    SetGroupPrior(input, g, exists ? GammaPriorOf(r.MeBeta, r.MeAlpha) : NoPrior(), "moments", out);
  }
}

void FillMarshallPriors(const MethodInput& input, PriorSet& out) {
  ForEachGroup(input.Table, input.Members, input.Pool,
               [&](size_t g, const GroupData& data, std::span<const uint32_t>, int) {
                 SetGroupPrior(input, g, MarshallPrior(EstimateMarshall(data)), "marshall", out);
               });
}

std::vector<LikelihoodMaximum> FindAllMaxima(const RecordTable& table, const Estimates& estimates,
                                             const GroupMembers& members,
                                             const std::vector<GroupDiagnostics>& diagnostics, WorkerPool& pool) {
  std::vector<LikelihoodMaximum> maxima(estimates.Groups.size());
  ForEachGroup(table, members, pool, [&](size_t g, const GroupData& data, std::span<const uint32_t>, int) {
    maxima[g] = FindLikelihoodMaximum(data, estimates.Groups[g], diagnostics[g]);
  });
  return maxima;
}

}  // namespace tarnek
