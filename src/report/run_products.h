// What the outputs are written from: everything the run has read and
// computed before the first output file is created.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "estimation/posterior.h"
#include "grouping/covariate_fits.h"
#include "grouping/grouping.h"
#include "grouping/posteriors.h"
#include "grouping/prior_methods.h"

namespace tarnek {

// What an output needs beyond the records and the estimates: its row in the
// outputs list says so, and the run computes only what some output needs.
enum Need : unsigned {
  kNeedsPriors = 1,          // the chosen method's priors (Priors)
  kNeedsPosteriorMeans = 2,  // every record's EB ratio under them (Posteriors.Eb, PriorMean, PriorSd)
  kNeedsPosteriors = 4,      // every record's posterior in full (Posteriors)
  kNeedsDiagnostics = 8,     // every group's fit diagnostics (Diagnostics)
  kNeedsCovariateFits = 16,  // where the run has covariates, every group's regression on them (Covariates);
                             // the priors need it then too
};

struct RunProducts {
  RunProducts(const RecordTable& table, WorkerPool& pool) : Table(table), Pool(pool) {}

  // What the run was given.
  std::string_view DataFileName;
  double Eps = 0.0;                   // the fit's tolerance, which the log prints
  PosteriorSettings Posterior;
  const PriorMethod* Prior = nullptr;  // the method that --prior chose
  std::vector<std::string> CovariateNames;  // the columns that --covariates names, or none
  const RecordTable& Table;
  WorkerPool& Pool;

  // What every run computes.
  Estimates Results;

  // What only some outputs need; empty where none does.
  GroupMembers Members;
  PriorSet Priors;
  PosteriorTable Posteriors;
  std::vector<GroupDiagnostics> Diagnostics;
  CovariateFits Covariates;
};

// Computes what `needs` asks for (and what that rests on) into `products`,
// whose Results are complete.
void ComputeNeeds(unsigned needs, RunProducts& products);

}  // namespace tarnek
