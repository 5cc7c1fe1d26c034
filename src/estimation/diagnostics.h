// How sure the estimates are: every region's posterior summaries, and every
// group's fit diagnostics, computed from a group's data and its GroupResult.
//
// The model: in a group with prior Gamma(shape b = Beta, rate a = Alpha),
// region i with count y and expected count E has the posterior
// Gamma(shape y + b, rate a + E); its mean is the region's EB ratio. The
// marginal distribution of y is the negative binomial with size b and
// probability a/(a + E).
//
// Numerics. Plain double arithmetic; the Gamma quantiles and upper tails, the
// log-Gamma function and the chi-square tail come from Boost.Math, computed
// in double (never in x87 long double, whose logarithm depends on the CPU),
// with an error policy that returns a value instead of throwing. The
// log-likelihoods are summed from terms written without the cancellation of
// large log-Gamma values (the Stirling remainder and the deviance term
// bd0(x, m) = x log(x/m) + m - x), so that they stay accurate for counts up
// to 2^31 - 1.
//
// A value that does not exist (a prior or an MLE that the group has not, a
// result beyond the double range, a computation that fails) is a NaN here;
// every other value is finite.
#pragma once

#include <cstdint>

#include "estimation/estimator.h"

namespace tarnek {

// Which fitted prior the posterior summaries use.
enum class PriorChoice {
  Mle,  // MleAlpha, MleBeta
  Me,   // MeAlpha, MeBeta
};

// What the posterior summaries are asked for.
struct PosteriorSettings {
  double Level = 0.95;  // credible level of the equal-tailed interval, 0 < Level < 1
  double Exceed = 1.0;  // threshold of the exceedance probability, a ratio > 0
  PriorChoice Prior = PriorChoice::Mle;
};

// A Gamma prior: shape Beta, rate Alpha; both NaN when the group has none.
struct GammaPrior {
  double Alpha;
  double Beta;
};

// The group's prior chosen by `choice`; NaN for a NoEstimate parameter.
GammaPrior ChoosePrior(const GroupResult& result, PriorChoice choice);

// One region's posterior Gamma(y + b, a + E), summarised.
struct PosteriorSummary {
  double Sd;       // sqrt(y + b)/(a + E)
  double Median;   // quantile at 0.5
  double Lower;    // quantile at (1 - Level)/2
  double Upper;    // quantile at (1 + Level)/2
  double PExceed;  // probability that the ratio exceeds Exceed
};

// Summarises the posterior of a region with count `y` >= 0 and expected count
// `e` > 0 under `prior`. All NaN when the prior is NaN or y + b or a + E is
// beyond the double range; a quantile or probability that cannot be computed
// is NaN on its own.
PosteriorSummary SummarizePosterior(int32_t y, double e, const GammaPrior& prior, const PosteriorSettings& settings);

// How a group's fit ended, as the group table tells it: the estimator's
// ending, except that a fit that passed its own test is Converged only at a
// maximum (see DiagnoseGroup), and Stalled elsewhere.
enum class FitStatus {
  Converged,
  Stalled,
  IterationLimit,
  NonPositiveStep,
  NonFiniteStep,
  NoStart,
};

// A group's fit diagnostics. The log-likelihoods are complete, every constant
// included, so that they compare with other models of the same counts.
struct GroupDiagnostics {
  double SeAlpha;          // standard errors of the MLE, from the inverse of the observed
  double SeBeta;           //   information -H (H the matrix of second derivatives at the MLE);
  double CorrAlphaBeta;    //   NaN without an MLE or where -H is not positive definite
  double PriorMean;        // b/a of the chosen prior
  double PriorSd;          // sqrt(b)/a of the chosen prior
  double LogLik;           // sum of log NegBin(y | size b, probability a/(a + E)) at the MLE
  double LogLikPoisson;    // Poisson log-likelihood with the one ratio (sum of y)/(sum of E)
  double Lrt;              // 2 (LogLik - LogLikPoisson)
  double POverdispersion;  // OverdispersionPValue(Lrt)
  FitStatus Status;
};

// The Newton decrement g'(-H)^-1 g (g the score) up to which a fit that passed
// its own test counts as converged: no step could then raise the
// log-likelihood by more than about half of it.
inline constexpr double kMaxNewtonDecrement = 1e-6;

// Diagnoses a group from its data (as estimated) and its result. Its fit is
// Converged when the estimator's test passed, -H at the MLE is positive
// definite and the Newton decrement there is at most kMaxNewtonDecrement; the
// derivative sums are the fit's own. `scratch` is working storage, as for
// EstimateGroup.
GroupDiagnostics DiagnoseGroup(const GroupData& group, const GroupResult& result, PriorChoice prior,
                               EstimatorScratch& scratch);

// A group's two log-likelihoods, every constant included: the sum of
// log NegBin(y | size b, probability a/(a + E)), NaN when a or b is NaN, and
// that of log Poisson(y | r E) with the one ratio r = (sum of y)/(sum of E).
struct LogLikelihoods {
  double NegBin;
  double Poisson;
};
LogLikelihoods GroupLogLikelihoods(const GroupData& group, double a, double b);

// GroupLogLikelihoods(group, a, b).NegBin, bit for bit, without the Poisson
// sum: for searches that evaluate many (a, b).
double GroupNegBinLogLikelihood(const GroupData& group, double a, double b);

// The test of no extra-Poisson variation with the boundary correction: half
// the probability that a chi-square with 1 degree of freedom exceeds `lrt`;
// 1 where lrt <= 0, NaN where lrt is NaN.
double OverdispersionPValue(double lrt);

}  // namespace tarnek
