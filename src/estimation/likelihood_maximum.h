// Where a group's marginal likelihood is largest: the Newton-Raphson maximum
// where the legacy fit found one, otherwise a safeguarded global search that
// also decides whether the maximum lies on the boundary of zero prior
// variance.
//
// The model is the one of estimator.h and diagnostics.h: given the prior
// Gamma(shape b, rate a), the count y of a region with expected count E is
// negative binomial with size b and mean m = mu E, mu = b/a. With the
// dispersion phi = 1/b (the prior variance is mu^2 phi) the parameter space,
// closed, is mu >= 0, phi >= 0; phi = 0 is the point prior at mu, under which
// the counts are Poisson with means mu E. The log-likelihood L(mu, phi) is
// the complete one of GroupLogLikelihoods (every constant included); at
// phi = 0 its maximum over mu is the Poisson model's, at the pooled ratio
// (sum of y)/(sum of E).
//
// Which maximum a group gets (LikelihoodMaximum::Kind):
//   - NewtonRaphson: the legacy fit's own (a, b), bit for bit, where its
//     diagnostics call it converged (a local maximum: -H positive definite,
//     Newton decrement at most kMaxNewtonDecrement) and its log-likelihood
//     is not below the Poisson model's. Nothing else is computed: this is a
//     local maximum, not searched further.
//   - Safeguarded or Boundary: every other group with a positive total count
//     gets the global search below. Boundary where no point of phi > 0 was
//     found more than Tolerance above the Poisson model: the point prior at
//     the pooled ratio, LogLik = LogLikPoisson, Lrt = 0, POverdispersion = 1.
//     Safeguarded otherwise: the best point found, polished.
//
// The search works on the profile P(u) = max over mu of L(mu, e^u), u = log
// phi; for each u the prior mean is fitted by a bracketed Newton iteration on
// log mu, where L is strictly concave. It is a branch and bound over u:
//   - phi in [0, phi_lo]: L is at most its value at phi_lo plus
//     y log(1 + phi_lo m) per region (the log-likelihood is a sum of a part
//     that rises with phi, one that falls and one that rises), a concave
//     function of log mu whose maximum bounds the whole stretch; phi_lo is
//     chosen so that this is within Tolerance/2 of the Poisson model.
//   - phi >= 1: every region with y >= 1 has log NegBin <= -log phi, one with
//     y = 0 has <= 0, so L <= -(regions with y >= 1) u: nothing there beats
//     the best point above u_hi = (minus the best log-likelihood)/(regions
//     with y >= 1).
//   - [u_lo, u_hi] is cut into intervals. On each, P is at most the chord
//     through its values at the ends and the middle plus M w^2/8 on each half
//     (w the half's width), where -M bounds d2P/du2 from below; d2P/du2 is
//     at least d2L/du2 at the fitted mean (the profile is a maximum over mu),
//     which is a sum over regions of six terms each monotone in phi and in mu,
//     bounded over the interval and over a band of log mu that provably holds
//     the fitted mean there (from the range of the score in log mu over the
//     interval and a lower bound of its slope). An interval whose bound is
//     not above the best value found plus Tolerance is done; the others are
//     halved, the highest bound first, until none is left.
// What this guarantees, for groups that get it (Certified true): no point of
// the closed parameter space with phi <= 1e200 has a log-likelihood more than
// Tolerance above LogLik, and beyond phi = 1e200 the bound of the second
// item holds (Certified is false if it does not). Tolerance is
// 1e-11 max(1, |LogLik|): far above the rounding of the log-likelihood
// (about 1e-15 relative) and of the bounds, which carry a margin for it.
// LogLik itself is a value of L at the returned (a, b), never a bound. Safeguarded
// maxima are then polished: a bracketed Newton iteration on dP/du moves u to
// the profile's stationary point (relative accuracy of a and b about 1e-10,
// limited by the rounding of dP/du), kept only where L is not lower there.
// The search ends after kMaxIntervals intervals at the latest; then
// Certified is false and the best point found is returned (never seen on the
// test sets). The tests compare every safeguarded and boundary result with an
// independent grid-and-golden-section maximisation.
//
// Outside the domain: a group whose counts are all 0 has L <= 0 everywhere
// and L = 0 at the point prior at 0, the pooled ratio: it is a Boundary
// maximum there (LogLik = LogLikPoisson = 0, Lrt 0, POverdispersion 1). A
// group of one region, or one whose ratios y/E are all equal, is covered by
// the search (its maximum is the boundary: a mixture of Poisson laws never
// gives one count more probability than the best Poisson law). No value the
// tables print is a NaN or an infinity, except Alpha and Beta of a Boundary
// maximum, which do not exist (NaN). A group whose Poisson log-likelihood is
// not finite (values beyond the double range) gets Kind None and NaN
// throughout.
//
// Cost: the search runs only where the legacy fit did not give the maximum.
// Each interval costs one profile value (a few Newton steps over the regions
// and one log-likelihood) and one pass over the regions for the bounds; see
// bench/ for the figures.
#pragma once

#include <cstdint>

#include "core/region_prior.h"
#include "estimation/diagnostics.h"
#include "estimation/estimator.h"

namespace tarnek {

enum class MaximumKind {
  NewtonRaphson,  // the legacy fit's maximum, unchanged
  Safeguarded,    // found by the global search
  Boundary,       // phi = 0: the point prior at the pooled ratio
  None,           // no maximum: the group's values leave the double range
};

struct LikelihoodMaximum {
  MaximumKind Kind = MaximumKind::None;
  double Alpha;            // rate a of the prior; NaN for Boundary and None
  double Beta;             // shape b; NaN for Boundary and None
  double Mean;             // prior mean: b/a, or the pooled ratio for Boundary
  double LogLik;           // L at the maximum, every constant included
  double LogLikPoisson;    // the Poisson model's, as GroupLogLikelihoods gives it
  double Lrt;              // 2 (LogLik - LogLikPoisson); 0 for Boundary
  double POverdispersion;  // OverdispersionPValue(Lrt); 1 for Boundary
  bool Certified;          // the search's guarantee holds (always true for NewtonRaphson)
  int32_t Intervals;       // intervals the search bounded (0 without a search)
};

// The most intervals a search bounds before it gives up its guarantee.
inline constexpr int32_t kMaxIntervals = 100000;

// The maximum of the group's likelihood. `fit` is the legacy result of
// EstimateGroup on the same group, `diagnostics` DiagnoseGroup's of it (any
// PriorChoice). Preconditions: those of EstimateGroup. Thread-safe; it
// allocates its own working storage.
LikelihoodMaximum FindLikelihoodMaximum(const GroupData& group, const GroupResult& fit,
                                        const GroupDiagnostics& diagnostics);

// The prior of the maximum: Gamma(Beta, Alpha), the point at the pooled ratio
// for Boundary, no prior for None.
RegionPrior PriorOf(const LikelihoodMaximum& maximum);

}  // namespace tarnek
