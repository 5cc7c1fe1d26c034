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
// double range. No result field ever holds a NaN or an infinity: such a value
// is stored as NoEstimate, and the reports print it as "***".
#pragma once

#include <cstdint>
#include <vector>

#include "cli/options.h"  // RunSettings: Eps, IterationLimit, AlphaOption, BetaOption

namespace tarnek {

// Marks a result that does not exist. Readers test it by exact comparison.
inline constexpr double NoEstimate = -9999.0;

// Working space of the current ML fit, kept here so that its storage is
// reused from one group to the next.
struct FitScratch {
  std::vector<int32_t> DistinctCounts;  // the group's distinct counts, ascending
  std::vector<int32_t> CountRank;       // per record: index of its count in DistinctCounts
  std::vector<double> InnerScore;       // per distinct count y: sum of 1/(b+l), l < y
  std::vector<double> InnerHess;        // per distinct count y: sum of 1/(b+l)^2, l < y
  std::vector<long double> Logs;        // per record: ln(E/a + 1) at the current a
  std::vector<uint64_t> SortKeys;
};

// The one record through which grouping hands a group to the estimator and
// takes back its results. Entry i of every array belongs to group member i
// (0-based here), in the order in which grouping placed the members.
struct GroupWorkspace {
  int32_t RegionCount = 0;        // n, members in the group, 1 or more
  std::vector<int32_t> Data1;     // observed count of each member, >= 0
  std::vector<double> Data2;      // expected count of each member, > 0

  std::vector<double> Ratio;       // crude ratio Data1/Data2, or NoEstimate
  std::vector<double> EbRatioMe;   // EB ratio from MeAlpha, MeBeta, or NoEstimate
  std::vector<double> EbRatioMle;  // EB ratio from MleAlpha, MleBeta, or NoEstimate

  double MeanRatio = 0.0;      // mean of Ratio, or NoEstimate
  double VarianceRatio = 0.0;  // sample variance of Ratio (divisor n-1), or NoEstimate
  double InitialAlpha = 0.0;   // start of the fit, or NoEstimate when there is none
  double InitialBeta = 0.0;
  double MeAlpha = 0.0;        // moment estimates, or NoEstimate
  double MeBeta = 0.0;
  double MleAlpha = 0.0;       // ML estimates, or NoEstimate when the fit failed
  double MleBeta = 0.0;
  double ErrorAlpha = 0.0;     // last Newton step, as the fit left it; always finite
  double ErrorBeta = 0.0;
  int32_t FitSucceeded = 0;    // 1 when the fit converged
  int32_t Iterations = 0;      // completed Newton-Raphson steps

  FitScratch Scratch;
};

// Runs the three stages on the workspace. Preconditions: RegionCount >= 1 and
// Data1, Data2 hold RegionCount entries with Data1 >= 0 and Data2 finite > 0.
// Writes every other field; prints nothing and cannot fail.
void EstimateGroup(GroupWorkspace& ws, const RunSettings& settings);

// The three stages, public so that each can be checked on its own.
void ComputeMomentEstimates(GroupWorkspace& ws, const RunSettings& settings);
void FitMaximumLikelihood(GroupWorkspace& ws, const RunSettings& settings);
void ComputeEbRatios(GroupWorkspace& ws);

}  // namespace tarnek
