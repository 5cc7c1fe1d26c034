// The priors of a group fitted as a whole: every member of a group gets the
// group's prior.
//   "mle": the maximum of the group's marginal likelihood over the closed
//     parameter space (likelihood_maximum.h): the Newton-Raphson fit's
//     Gamma(shape MleBeta, rate MleAlpha) where it found the maximum, the
//     safeguarded search's where it did not, or the point prior at the
//     pooled ratio where the maximum lies on the boundary of zero prior
//     variance; sources newton_raphson, safeguarded, boundary, and
//     best_found where the search could not certify its maximum (the best
//     point it found, a true value of the likelihood but without the
//     guarantee that none is higher).
//   "me": the estimator's moment estimates, Gamma(shape MeBeta, rate
//     MeAlpha); source moments.
//   "marshall": Marshall's global moments (marshall_prior.h), weighted by
//     the expected counts; source marshall.
// A group without such a prior gives its members none (source none).
#pragma once

#include "grouping/prior_set.h"

namespace tarnek {

void FillMaximumLikelihoodPriors(const MethodInput& input, PriorSet& out);
void FillMomentPriors(const MethodInput& input, PriorSet& out);
void FillMarshallPriors(const MethodInput& input, PriorSet& out);

// The groups' likelihood maxima, in the order of the groups, from their
// fits and diagnostics, on the threads of `pool`.
std::vector<LikelihoodMaximum> FindAllMaxima(const RecordTable& table, const Estimates& estimates,
                                             const GroupMembers& members,
                                             const std::vector<GroupDiagnostics>& diagnostics, WorkerPool& pool);

}  // namespace tarnek
