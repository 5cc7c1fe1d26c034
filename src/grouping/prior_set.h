// What a prior method is given, and what it fills: a prior for every record.
//
// A method (one row of prior_methods.h) gives every record the prior of its
// ratio: its group's fitted prior, a prior of its own (from covariates, from
// its neighbours), the point prior, or none. The region table's posterior
// columns, the group table's prior columns, the plot and the map read these
// priors and nothing else of the method.
#pragma once

#include <limits>
#include <string_view>
#include <vector>

#include "core/neighbours.h"
#include "core/parallel.h"
#include "core/record_table.h"
#include "core/region_prior.h"
#include "estimation/likelihood_maximum.h"
#include "grouping/grouping.h"

namespace tarnek {

struct CovariateFits;  // covariate_fits.h

// What every method may read: the records, the estimator's result for every
// group (the log's values), the groups' members, the run's threads, the
// neighbour lists over the records where the run has them, and where the run
// has covariates every group's regression on them.
struct MethodInput {
  const RecordTable& Table;
  const Estimates& Results;
  const GroupMembers& Members;
  WorkerPool& Pool;
  const NeighbourLists* Neighbours = nullptr;
  const std::vector<LikelihoodMaximum>* Maxima = nullptr;  // per group, where the method needs them
  const CovariateFits* Covariates = nullptr;  // nullptr: the run has none
};

// What the group table shows of a group's prior: where it came from, and the
// prior that every member has, where they all have the same one.
struct GroupPrior {
  std::string_view Source = "none";  // one word: the method's own, or "none" where the group has no prior
  double Mean = std::numeric_limits<double>::quiet_NaN();   // NaN where there is none, or members differ
  double Sd = std::numeric_limits<double>::quiet_NaN();     // 0 for the point prior
  double Alpha = std::numeric_limits<double>::quiet_NaN();  // the Gamma's rate and shape; NaN for the point
  double Beta = std::numeric_limits<double>::quiet_NaN();   //   prior and where members differ
};

// A method's priors: per record in input order, and per group in the order
// of Estimates::Groups.
struct PriorSet {
  std::vector<RegionPrior> Records;
  std::vector<GroupPrior> Groups;
  std::string_view PlotLegend;  // the plot's legend entry of the EB ratio: the method's, unless its fill says otherwise
};

// Gives every member of group g the prior `prior`, and the group its source
// (where it has a prior; "none" otherwise), mean, standard deviation and
// Gamma parameters.
void SetGroupPrior(const MethodInput& input, size_t g, const RegionPrior& prior, std::string_view source,
                   PriorSet& out);

}  // namespace tarnek
