// The products that some outputs need, each computed once, after what it
// rests on.
#include "report/run_products.h"

#include <map>
#include <unordered_map>

#include "grouping/fitted_priors.h"
#include "grouping/neighbour_priors.h"

namespace tarnek {

namespace {

// Every group's count of rows of its unit without a defined ratio (all of
// them for one group of all records), and the units that have no group
// because every row of theirs is without one, in ascending order, with
// their counts.
void CountUndefinedRows(const RecordTable& table, const Estimates& estimates, std::vector<uint32_t>& perGroup,
                        UnitsWithoutFit& unfitted) {
  perGroup.assign(estimates.Groups.size(), 0);
  std::unordered_map<int32_t, size_t> groupOf;
  for (size_t g = 0; g < estimates.Units.size(); ++g) groupOf.emplace(estimates.Units[g], g);
  std::map<int32_t, uint32_t> others;
  for (size_t row = 0; row < table.Size(); ++row) {
    if (table.Defined(row)) continue;
    if (estimates.Mode == GroupMode::SingleGroup) {
      ++perGroup[0];
    } else if (const auto at = groupOf.find(table.Unit[row]); at != groupOf.end()) {
      ++perGroup[at->second];
    } else {
      ++others[table.Unit[row]];
    }
  }
  unfitted = {};
  for (const auto& [unit, count] : others) {
    unfitted.Units.push_back(unit);
    unfitted.Undefined.push_back(count);
  }
}

}  // namespace

void ComputeNeeds(unsigned needs, RunProducts& p) {
  const unsigned asked = needs;  // what the outputs read themselves, before what that takes
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) needs |= kNeedsPriors;
  // The group table shows every group's likelihood maximum, and the ML prior is it.
  if ((needs & kNeedsPriors) && p.Prior->NeedsMaxima) needs |= kNeedsDiagnostics;
  // The regressions: for the group and coefficient tables, and the method that uses them.
  const bool covariates = !p.CovariateNames.empty();
  if (covariates && (needs & kNeedsPriors) && p.Prior->UsesCovariates) needs |= kNeedsCovariateFits;
  if (!covariates) needs &= ~unsigned{kNeedsCovariateFits};
  if (needs != 0) p.Members = ListGroupMembers(p.Table, p.Pool);
  if (needs & kNeedsDiagnostics) {
    p.Diagnostics = DiagnoseAllGroups(p.Table, p.Results, p.Members, p.Pool);
    p.Maxima = FindAllMaxima(p.Table, p.Results, p.Members, p.Diagnostics, p.Pool);
  }
  if (needs & kNeedsCovariateFits) p.Covariates = FitAllRegressions(p.Table, p.Results, p.Members, p.CovariateNames, p.Pool);
  const NeighbourLists* neighbours = p.HasNeighbours ? &p.Neighbours : nullptr;
  if (needs & kNeedsPriors) {
    const CovariateFits* fits = covariates && p.Prior->UsesCovariates ? &p.Covariates : nullptr;
    p.Priors = FillPriors(*p.Prior, {p.Table, p.Results, p.Members, p.Pool, neighbours, &p.Maxima, fits});
  }
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) {
    const PosteriorDetail detail = (needs & kNeedsPosteriors) ? PosteriorDetail::Full : PosteriorDetail::MeansOnly;
    p.Posteriors = SummarizeAllPosteriors(p.Table, p.Priors, p.Posterior, detail, p.Pool);
  }
  if (neighbours != nullptr && (needs & kNeedsPosteriors)) {
    p.NeighbourCounts = NeighboursWithinGroups(p.Table, p.Members, p.Neighbours, p.Pool);
  }
  if (neighbours != nullptr && (asked & kNeedsDiagnostics)) p.Moran = GroupMoranTests(p.Table, p.Members, p.Neighbours, p.Pool);
  if (p.KeepUndefined && (asked & kNeedsDiagnostics)) CountUndefinedRows(p.Table, p.Results, p.UndefinedRows, p.Unfitted);
}

}  // namespace tarnek
