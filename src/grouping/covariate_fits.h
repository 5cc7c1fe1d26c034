// The covariate regression of every group, and the priors it gives: with
// "--covariates" the "mle" prior of every record is its own, Gamma with the
// group's shape b and mean mu_i = exp(x_i' beta) (nb_regression.h).
//
// Every group is fitted twice, with its covariates and with the intercept
// alone, so that the likelihood-ratio test of the covariates compares two
// maxima of the same computation. The fits are made once, on the run's
// threads, and read by the priors, the group table and the coefficient
// table; they are the same on any number of threads.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/nb_regression.h"
#include "grouping/grouping.h"
#include "grouping/prior_set.h"

namespace tarnek {

// One group's two fits and the test of the one against the other.
struct GroupRegression {
  RegressionFit Full;  // with the covariates
  RegressionFit Null;  // the intercept alone: the estimator's model
  double Lrt;          // 2 (Full.LogLik - Null.LogLik), 0 or more; NaN unless both ended at a maximum
  double PValue;       // the chi-square tail of Lrt with one degree of freedom per covariate; NaN likewise
};

struct CovariateFits {
  std::vector<std::string> Names;       // the covariates, in the order of the coefficients
  std::vector<GroupRegression> Groups;  // per group, in the order of Estimates::Groups
  std::vector<double> Means;            // per record in input order: mu_i of its group's Full fit, or NaN
};

// Fits every group of `members` (ListGroupMembers) to its counts, expected
// counts and the columns `names` of `table`, which must be Real columns of
// it, on the threads of `pool`. `estimates` (EstimateAllGroups) give the fit
// without covariates its start where the estimator's converged; the fit with
// them starts from that fit's maximum too.
CovariateFits FitAllRegressions(const RecordTable& table, const Estimates& estimates, const GroupMembers& members,
                                std::span<const std::string> names, WorkerPool& pool);

// The priors of the regression (input.Covariates): every member of a group
// whose fit converged gets Gamma(b, b/mu_i); at the boundary the point at
// mu_i; where the fit has no maximum, none. The group's source is
// "covariates" where its members have priors, "none" where not; its other
// prior columns stay empty: the members' priors differ.
void FillCovariatePriors(const MethodInput& input, PriorSet& out);

// The "mle" method: the regression's priors where the run has covariates,
// otherwise the estimator's maximum-likelihood priors (fitted_priors.h).
void FillMaximumLikelihoodOrCovariatePriors(const MethodInput& input, PriorSet& out);

}  // namespace tarnek
