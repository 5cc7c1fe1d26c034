// The Poisson-Gamma estimator for one group of records.
//
// Record i has observed count y(i) = Data1(i), Poisson with mean theta(i)
// times E(i) = Data2(i); the ratios theta(i) follow a Gamma distribution with
// shape Beta and rate Alpha. EstimateGroup runs three stages on a group:
//   1. crude ratios, their mean and sample variance, the moment estimates
//      (ME) of Alpha and Beta and the starting values of the fit;
//   2. the maximum-likelihood (ML) fit by Newton-Raphson on the
//      negative-binomial marginal likelihood;
//   3. every record's two Empirical Bayes ratios, from ME and from MLE.
//
// Numerics. Results are compared bit for bit, so the arithmetic is fixed:
// every stored value and every running sum is a double, rounded after each
// term; the arithmetic inside one term is carried in long double (x87
// extended, 64-bit mantissa) and rounded to double only when stored. Sums run
// over the records in group order, and the inner sums over l in increasing
// order, exactly as written below; nothing is fused or reordered. The one
// logarithm per record is NaturalLog (natural_log.h), correctly rounded, so
// every operation has one specified result on every x86-64 CPU.
//
// Values without a finite result. A group of one record has no variance;
// ratios without variance have no moment estimates; values can leave the
// double range. No result ever holds a NaN or an infinity: such a value is
// NoEstimate, and the reports print it as "***".
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/fit_settings.h"
#include "core/parallel.h"
#include "estimation/inner_sums.h"

namespace tarnek {

// A group's records, in the order in which grouping placed them.
struct GroupData {
  std::span<const int32_t> Data1;  // observed counts, >= 0
  std::span<const double> Data2;   // expected counts, finite and > 0, as many
};

// How the Newton-Raphson fit ended.
enum class FitEnd {
  Converged,        // both steps within Eps: MleAlpha and MleBeta are values
  IterationLimit,   // IterationLimit steps taken without converging
  NonPositiveStep,  // a step made Alpha or Beta zero or negative
  NonFiniteStep,    // a derivative sum, the determinant or a step had no finite value, or
                    // the determinant was 0, or a step took Alpha or Beta beyond the double range
  NoStart,          // no finite starting values: nothing was fitted
};

// What the estimator finds for a group as a whole: the values the log prints.
struct GroupResult {
  int32_t RegionCount = 0;     // n, members in the group
  double MeanRatio = 0.0;      // mean of the crude ratios, or NoEstimate
  double VarianceRatio = 0.0;  // their sample variance (divisor n-1), or NoEstimate
  double InitialAlpha = 0.0;   // start of the fit, or NoEstimate when there is none
  double InitialBeta = 0.0;
  double MeAlpha = 0.0;        // moment estimates, or NoEstimate
  double MeBeta = 0.0;
  double MleAlpha = 0.0;       // ML estimates, or NoEstimate when the fit failed
  double MleBeta = 0.0;
  double ErrorAlpha = 0.0;     // last Newton step, as the fit left it; always finite
  double ErrorBeta = 0.0;
  int32_t Iterations = 0;      // completed Newton-Raphson steps
  bool FitSucceeded = false;   // the fit converged: MleAlpha and MleBeta are values
  FitEnd End = FitEnd::NoStart;  // how the fit ended; Converged exactly when FitSucceeded
};

// Every member's three ratios, in the order of GroupData; each is a value or
// NoEstimate.
struct MemberRatios {
  std::span<const double> Ratio;       // crude ratio Data1/Data2
  std::span<const double> EbRatioMe;   // EB ratio from MeAlpha, MeBeta
  std::span<const double> EbRatioMle;  // EB ratio from MleAlpha, MleBeta
};

// Storage the estimator works in. A caller may keep one and hand it to every
// call, so that nothing is allocated group after group; what it holds means
// nothing from one call to the next.
struct EstimatorScratch {
  std::vector<double> Ratio;
  std::vector<double> EbRatioMe;
  std::vector<double> EbRatioMle;
  std::vector<int32_t> DistinctCounts;  // the group's distinct counts, ascending
  std::vector<int32_t> CountRank;       // per member: index of its count in DistinctCounts
  std::vector<double> InnerScore;       // per distinct count y: sum of 1/(b+l), l < y
  std::vector<double> InnerHess;        // per distinct count y: sum of 1/(b+l)^2, l < y
  std::vector<long double> Logs;        // per member: ln(E/a + 1) at the current a
  std::vector<uint64_t> SortKeys;
  InnerSumMemo InnerMemo;               // the last fit step's blocks of inner-sum terms
  // Where the group is fitted alone: the pool its long inner sums may be
  // shared out on (none: in order). EstimateGroup must then not be called
  // from a job of that pool.
  WorkerPool* SweepPool = nullptr;
};

// A group's results: the summary, and the members' ratios, which lie in the
// scratch and stay valid until it is used for another group.
struct GroupEstimate {
  GroupResult Result;
  MemberRatios Members;
};

// Runs the three stages on a group. Preconditions: at least one member, and
// Data1 and Data2 of the same length. Prints nothing and cannot fail.
GroupEstimate EstimateGroup(const GroupData& group, const FitSettings& fit, EstimatorScratch& scratch);

// The first and second derivatives of the group's marginal log-likelihood
//   L(a, b) = sum over i of log Gamma(y+b) - log Gamma(b) + b log a - (y+b) log(a+E)
// (terms without a or b left out), as the fit's Newton steps use them.
struct DerivativeSums {
  double ScoreAlpha;      // dL/da
  double ScoreBeta;       // dL/db
  double HessAlphaAlpha;  // d2L/da2
  double HessAlphaBeta;   // d2L/da db
  double HessBetaBeta;    // d2L/db2
};

// The five sums at (a, b), bit for bit as a Newton step at that point sums
// them; a sum beyond the double range is an infinity or a NaN. Preconditions
// as EstimateGroup's, and a > 0, b > 0.
DerivativeSums ComputeDerivativeSums(const GroupData& group, double a, double b, EstimatorScratch& scratch);

}  // namespace tarnek
