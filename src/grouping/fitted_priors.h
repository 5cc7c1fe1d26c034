// The priors of the estimator's own fits: every member of a group gets the
// group's Gamma prior of shape Beta and rate Alpha, from the maximum-
// likelihood estimates ("mle") or the moment estimates ("me"); a group
// without such estimates gives its members none.
#pragma once

#include "grouping/prior_set.h"

namespace tarnek {

void FillMaximumLikelihoodPriors(const MethodInput& input, PriorSet& out);
void FillMomentPriors(const MethodInput& input, PriorSet& out);

}  // namespace tarnek
