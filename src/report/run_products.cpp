// The products that some outputs need, each computed once, after what it
// rests on.
#include "report/run_products.h"

namespace tarnek {

void ComputeNeeds(unsigned needs, RunProducts& p) {
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) needs |= kNeedsPriors;
  const bool covariates = !p.CovariateNames.empty();
  if (covariates && (needs & kNeedsPriors)) needs |= kNeedsCovariateFits;
  if (!covariates) needs &= ~unsigned{kNeedsCovariateFits};
  if (needs != 0) p.Members = ListGroupMembers(p.Table);
  if (needs & kNeedsCovariateFits) p.Covariates = FitAllRegressions(p.Table, p.Results, p.Members, p.CovariateNames, p.Pool);
  if (needs & kNeedsPriors) {
    p.Priors = FillPriors(*p.Prior, {p.Table, p.Results, p.Members, p.Pool, covariates ? &p.Covariates : nullptr});
  }
  if (needs & (kNeedsPosteriors | kNeedsPosteriorMeans)) {
    const PosteriorDetail detail = (needs & kNeedsPosteriors) ? PosteriorDetail::Full : PosteriorDetail::MeansOnly;
    p.Posteriors = SummarizeAllPosteriors(p.Table, p.Priors, p.Posterior, detail, p.Pool);
  }
  if (needs & kNeedsDiagnostics) p.Diagnostics = DiagnoseAllGroups(p.Table, p.Results, p.Members, p.Pool);
}

}  // namespace tarnek
