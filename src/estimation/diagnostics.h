// How sure the maximum-likelihood fit is: every group's fit diagnostics,
// computed from a group's data and its GroupResult.
//
// The model: in a group with prior Gamma(shape b = Beta, rate a = Alpha),
// the marginal distribution of a region's count y with expected count E is
// the negative binomial with size b and probability a/(a + E).
//
// Numerics. Plain double arithmetic; the log-Gamma function and the
// chi-square tail come from Boost.Math, computed in double (never in x87
// long double, whose logarithm depends on the CPU), with an error policy
// that returns a value instead of throwing (boost_policy.h). The
// log-likelihoods are summed from terms written without the cancellation of
// large log-Gamma values (the Stirling remainder and the deviance term
// bd0(x, m) = x log(x/m) + m - x), so that they stay accurate for counts up
// to 2^31 - 1.
//
// A value that does not exist (an MLE that the group has not, a result
// beyond the double range, a computation that fails) is a NaN here;
// every other value is finite.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "estimation/estimator.h"

namespace tarnek {

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
GroupDiagnostics DiagnoseGroup(const GroupData& group, const GroupResult& result, EstimatorScratch& scratch);

// A group's two log-likelihoods, every constant included: the sum of
// log NegBin(y | size b, probability a/(a + E)), NaN when a or b is NaN, and
// that of log Poisson(y | r E) with the one ratio r = (sum of y)/(sum of E).
struct LogLikelihoods {
  double NegBin;
  double Poisson;
};
LogLikelihoods GroupLogLikelihoods(const GroupData& group, double a, double b);

// GroupLogLikelihoods(group, a, b).NegBin, bit for bit, without the Poisson
// sum: for searches that evaluate many (a, b), which give the records' count
// terms (CountTerms(group)) once for all.
double GroupNegBinLogLikelihood(const GroupData& group, double a, double b);
double GroupNegBinLogLikelihood(const GroupData& group, double a, double b, std::span<const double> countTerms);
std::vector<double> CountTerms(const GroupData& group);  // CountTerm of each record's count

// The test of no extra-Poisson variation with the boundary correction: half
// the probability that a chi-square with 1 degree of freedom exceeds `lrt`;
// 1 where lrt <= 0, NaN where lrt is NaN.
double OverdispersionPValue(double lrt);

}  // namespace tarnek
