// Where a group's marginal likelihood is largest: the Newton-Raphson maximum
// where the legacy fit found one, otherwise a global search that also
// decides whether the maximum lies on the boundary of zero prior variance.
//
// The model is the one of estimator.h and diagnostics.h: given the prior
// Gamma(shape b, rate a), the count y of a region with expected count E is
// negative binomial with size b and mean m = mu E, mu = b/a. With the
// dispersion phi = 1/b (the prior variance is mu^2 phi) the closed parameter
// space is mu >= 0, phi >= 0; phi = 0 is the point prior at mu, under which
// the counts are Poisson with means mu E. L(mu, phi) is the complete
// log-likelihood of GroupLogLikelihoods (every constant included); over
// phi = 0 its maximum is the Poisson model's, at the pooled ratio
// r = (sum of y)/(sum of E).
//
// Which maximum a group gets (LikelihoodMaximum::Kind):
//   - NewtonRaphson: where DiagnoseGroup calls the legacy fit converged (at
//     a local maximum: -H positive definite, Newton decrement at most
//     kMaxNewtonDecrement) and its log-likelihood is not below the Poisson
//     model's. Alpha and Beta are MleAlpha and MleBeta, bit for bit, and the
//     other values the diagnostics'. This is a local maximum; nothing more
//     is searched.
//   - Boundary or Safeguarded: every other group with a positive total count
//     gets the search below. Boundary where no point with phi > 0 was found
//     more than Tolerance above the Poisson model: the point prior at r,
//     LogLik = LogLikPoisson, Lrt = 0, POverdispersion = 1, Alpha and Beta
//     NaN. Safeguarded otherwise: the best point found, polished.
//   - None: a group whose Poisson log-likelihood or sum of E has no finite
//     value (values beyond the double range): NaN throughout, no prior.
//
// The search. It maximises the profile P(u) = max over mu of L(mu, e^u),
// u = log phi; for each u the prior mean comes from a bracketed Newton
// iteration on log mu, in which L is strictly concave. Candidates from the
// start: the boundary, the legacy fit's point where it has one, and, where
// the score of Dean and Lawless at phi = 0, sum of ((y - r E)^2 - y)/2, is
// positive (the profile rises from the boundary), the local maximum climbed
// to from the first Newton step. Then a branch and bound covers phi >= 0:
//   - phi in [0, phi_lo]: from bounds of log(1 + x) by its truncated series,
//     L there is at most the Poisson model's plus a polynomial in phi (the
//     score, exact, as its first coefficient); phi_lo is the largest (to a
//     factor of 1.1) for which this stays within Tolerance/2 of the best
//     point.
//   - phi >= e^t >= 1: every region with y >= 1 has log NegBin <= -log phi
//     - log y + H(y - 1) e^-t (H the harmonic numbers), every one with y = 0
//     has <= 0; the search ends where their sum falls below the best point.
//   - in between, intervals of u: on each, P is at most the chord through
//     its values at the ends and the middle plus M w^2/8 on each half (w its
//     width), where -M bounds d2P/du2 from below. d2P/du2 = d2L/du2 +
//     (d2L/deta du)^2/(-d2L/deta2) at the fitted mean; both are bounded over
//     the interval and over a band of log mu that provably holds the fitted
//     mean there (from the range of the score in log mu and a floor of its
//     slope), region by region, from terms monotone in phi and mu. An
//     interval whose bound is not above the best point plus Tolerance is
//     done; the others are halved, the highest bound first.
// A Safeguarded maximum is then polished: a bracketed Newton iteration on
// dP/du, kept unless L is lower there (by more than rounding).
//
// What it guarantees, for results with Certified true: no point of the
// closed parameter space has a log-likelihood above LogLik + Tolerance, with
// Tolerance = max(1e-11, 4 (n + 16) 2^-52) max(1, |LogLik|) for a group of n
// regions (1e-11 relative up to about 11,000 regions; beyond, four times
// what the rounding of a sum of n log-likelihood terms can move). Every
// bound carries a margin for the rounding of its own arithmetic (of the
// relative size (n + 16) 2^-52 of the magnitudes it sums); effects of second
// order in the rounding (the fitted mean and the point evaluated differ in
// their last bits) are far below those margins. LogLik is always a value of
// L at the returned (Alpha, Beta), never a bound: it lies within Tolerance
// below the supremum. The polished maximum is a stationary point of the
// profile: phi and the prior mean agree with an independent bisection on the
// profile's slope to 1e-9 relative (worst seen 5e-10, on 572 random groups;
// less where the profile is flattest), and the tests compare every result
// with an independent grid-and-golden-section maximisation of a
// log-likelihood summed term by term in long double, to 1e-9 relative.
// Certified is false when the search could not complete: more than
// kMaxIntervals intervals, an interval too narrow to halve, or a stretch or
// tail beyond phi = 1e200 that the bounds do not close (met only with
// expected counts spread over hundreds of orders of magnitude); the best
// point found is returned then, a true value of L but without the guarantee.
//
// Outside the domain. A group whose counts are all 0 has L <= 0 everywhere
// and L = 0 at the point prior at 0 = r: Boundary, LogLik = LogLikPoisson =
// 0, Lrt 0, POverdispersion 1, Mean 0. A group of one region, or one whose
// ratios y/E are all equal, needs no special case: the search finds its
// maximum on the boundary (a mixture of Poisson laws never gives the counts
// more probability than the best single one). No value the tables print is
// a NaN or an infinity except Alpha and Beta of a Boundary maximum (the
// point prior has no Gamma parameters) and the values of None.
//
// Cost: the search runs only where the legacy fit did not give the maximum,
// about 10 intervals for a group of 10 regions and 20 to 40 for 1000, each
// one profile value (a few Newton steps and one log-likelihood) and one
// pass over the regions for the bounds; figures from
// bench/time_likelihood_maximum.cpp in bench/README.md.
#pragma once

#include <cstdint>

#include "core/region_prior.h"
#include "estimation/diagnostics.h"
#include "estimation/estimator.h"

namespace tarnek {

enum class MaximumKind {
  NewtonRaphson,  // the legacy fit's maximum, unchanged
  Safeguarded,    // found by the search
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
  bool Certified;          // the guarantee above holds (true for NewtonRaphson: nothing was searched)
  int32_t Intervals;       // intervals the search bounded (0 without a search)
};

// The most intervals a search bounds before it gives up its guarantee.
inline constexpr int32_t kMaxIntervals = 100000;

// The maximum of the group's likelihood. `fit` is EstimateGroup's result for
// the same group, `diagnostics` DiagnoseGroup's for it. Preconditions: those
// of EstimateGroup. Thread-safe; it
// allocates its own working storage and prints nothing.
LikelihoodMaximum FindLikelihoodMaximum(const GroupData& group, const GroupResult& fit,
                                        const GroupDiagnostics& diagnostics);

// The prior of the maximum: Gamma(Beta, Alpha) for NewtonRaphson and
// Safeguarded, the point at Mean for Boundary, no prior for None.
RegionPrior PriorOf(const LikelihoodMaximum& maximum);

}  // namespace tarnek
