// The products that some outputs need, each computed once, after what it
// rests on.
#include "report/run_products.h"

#include "grouping/fitted_priors.h"
#include "grouping/neighbour_priors.h"

namespace tarnek {

void ComputeNeeds(unsigned needs, RunProducts& p) {
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) needs |= kNeedsPriors;
  // The group table shows every group's likelihood maximum, and the ML prior is it.
  if ((needs & kNeedsPriors) && p.Prior->NeedsMaxima) needs |= kNeedsDiagnostics;
  if (needs != 0) p.Members = ListGroupMembers(p.Table);
  if (needs & kNeedsDiagnostics) {
    p.Diagnostics = DiagnoseAllGroups(p.Table, p.Results, p.Members, p.Pool);
    p.Maxima = FindAllMaxima(p.Table, p.Results, p.Members, p.Diagnostics, p.Pool);
  }
  const NeighbourLists* neighbours = p.HasNeighbours ? &p.Neighbours : nullptr;
  if (needs & kNeedsPriors) {
    p.Priors = FillPriors(*p.Prior, {p.Table, p.Results, p.Members, p.Pool, neighbours, &p.Maxima});
  }
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) {
    const PosteriorDetail detail = (needs & kNeedsPosteriors) ? PosteriorDetail::Full : PosteriorDetail::MeansOnly;
    p.Posteriors = SummarizeAllPosteriors(p.Table, p.Priors, p.Posterior, detail, p.Pool);
  }
  if (neighbours != nullptr && (needs & kNeedsPosteriors)) {
    p.NeighbourCounts = NeighboursWithinGroups(p.Table, p.Members, p.Neighbours, p.Pool);
  }
  if (neighbours != nullptr && (needs & kNeedsDiagnostics)) p.Moran = GroupMoranTests(p.Table, p.Members, p.Neighbours, p.Pool);
}

}  // namespace tarnek
