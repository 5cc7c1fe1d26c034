// The products that some outputs need, each computed once, after what it
// rests on.
#include "report/run_products.h"

namespace tarnek {

void ComputeNeeds(unsigned needs, RunProducts& p) {
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) needs |= kNeedsPriors;
  if (needs != 0) p.Members = ListGroupMembers(p.Table);
  if (needs & kNeedsPriors) p.Priors = FillPriors(*p.Prior, {p.Table, p.Results, p.Members, p.Pool});
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) {
    const PosteriorDetail detail = (needs & kNeedsPosteriors) ? PosteriorDetail::Full : PosteriorDetail::MeansOnly;
    p.Posteriors = SummarizeAllPosteriors(p.Table, p.Priors, p.Posterior, detail, p.Pool);
  }
  if (needs & kNeedsDiagnostics) p.Diagnostics = DiagnoseAllGroups(p.Table, p.Results, p.Members, p.Pool);
}

}  // namespace tarnek
