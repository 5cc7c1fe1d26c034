// Every record's posterior under the priors of the chosen method, computed
// once on the run's threads and then read by every output that shows it.
#pragma once

#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/posterior.h"
#include "grouping/prior_set.h"

namespace tarnek {

// Per record, in input order, the values of PosteriorSummary (posterior.h);
// NaN where a value does not exist. Means alone fills Eb, PriorMean and
// PriorSd only, and leaves the other columns empty.
struct PosteriorTable {
  std::vector<double> Eb, Sd, Median, Lower, Upper, PExceed, PriorMean, PriorSd;
};

enum class PosteriorDetail {
  MeansOnly,  // what the plot draws
  Full,       // what the region table and the map show
};

// Summarises every record's posterior under `priors`, on the threads of
// `pool`; the values are the same on any number of threads.
PosteriorTable SummarizeAllPosteriors(const RecordTable& table, const PriorSet& priors,
                                      const PosteriorSettings& settings, PosteriorDetail detail, WorkerPool& pool);

}  // namespace tarnek
