// What the outputs are written from: everything the run has read and
// computed before the first output file is created.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "core/neighbours.h"
#include "estimation/diagnostics.h"
#include "estimation/eb_moran.h"
#include "estimation/likelihood_maximum.h"
#include "estimation/posterior.h"
#include "estimation/standardisation.h"
#include "geometry/contiguity.h"  // kDefaultSnap
#include "grouping/covariate_fits.h"
#include "grouping/grouping.h"
#include "grouping/posteriors.h"
#include "grouping/prior_methods.h"
#include "input/region_shapes.h"
#include "report/map.h"  // kDefaultRatioBreaks

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

// The units whose every row is without a defined ratio (--undefined=skip):
// no group is fitted to them. In ascending order, as the groups are, with
// each one's count of rows.
struct UnitsWithoutFit {
  std::vector<int32_t> Units;
  std::vector<uint32_t> Undefined;
};

struct RunProducts {
  RunProducts(const RecordTable& table, WorkerPool& pool) : Table(table), Pool(pool) {}

  // What the run was given.
  std::string_view DataFileName;
  double Eps = 0.0;                   // the fit's tolerance, which the log prints
  PosteriorSettings Posterior;
  const PriorMethod* Prior = nullptr;  // the method that --prior chose
  StandardisationSettings Standardisation;  // "--population", "--strata", "--standardise-within"
  StandardRates Standard;              // "--standard": the rates as read, or none
  std::vector<std::string> CovariateNames;  // the columns that --covariates names, or none
  const RecordTable& Table;
  std::vector<const NamedColumn*> Kept;  // the columns carried into the region table, in order
  bool KeepUndefined = false;            // rows without a defined ratio are kept (--undefined=skip)
  WorkerPool& Pool;
  std::string GeometryLayer;  // the layer of the shapes' data set (--geometry-layer); empty: its first
  std::string GeometryKey;    // the field whose values are the codes (--geometry-key)
  double Snap = kDefaultSnap;  // contiguity's snap distance (--snap)
  std::vector<double> MapBreaks = kDefaultRatioBreaks;  // the map's ratio classes (--map-breaks)

  // What the inputs beyond the data file gave.
  bool HasNeighbours = false;
  NeighbourLists Neighbours;  // over the records (--neighbours)
  bool HasShapes = false;
  RegionShapes Shapes;        // every record's shape, and the features without data (--geometry, --vector)
  std::vector<std::string> FilesRead;  // every file of the vector data sets read, for the same-file checks

  // What every run computes.
  Estimates Results;

  // What only some outputs need; empty where none does.
  GroupMembers Members;
  PriorSet Priors;
  PosteriorTable Posteriors;
  std::vector<GroupDiagnostics> Diagnostics;
  std::vector<LikelihoodMaximum> Maxima;  // per group: its likelihood's maximum (with Diagnostics)
  std::vector<uint32_t> NeighbourCounts;  // per record: its neighbours within its group (with neighbours)
  std::vector<EbMoranResult> Moran;       // per group: EB Moran's I and its p-value (with neighbours)
  std::vector<uint32_t> UndefinedRows;    // per group: the rows of its unit without a defined ratio (KeepUndefined)
  UnitsWithoutFit Unfitted;               // the units whose every row is without one (KeepUndefined)
  CovariateFits Covariates;
};

// Computes what `needs` asks for (and what that rests on) into `products`,
// whose Results are complete.
void ComputeNeeds(unsigned needs, RunProducts& products);

}  // namespace tarnek
