// The three stages of the estimator. See estimator.h for the numerics: each
// statement below forms one term in long double and rounds it to double when
// it is stored, and every sum runs in the order written.
#include "estimation/estimator.h"

#include <algorithm>  // std::sort
#include <cmath>      // std::isfinite, std::fabs
#include <limits>
#include <optional>

#include "estimation/inner_sums.h"
#include "estimation/natural_log.h"  // NaturalLog: ln, correctly rounded
#include "estimation/shared_sums.h"

namespace tarnek {

namespace {

using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64,
              "the estimator needs the x87 extended format (64-bit mantissa)");

// Rounds a term carried in extended precision to the double it is stored as.
inline double Stored(Extended x) { return static_cast<double>(x); }

inline double OrNoEstimate(double x) { return std::isfinite(x) ? x : NoEstimate; }

constexpr double kNoResult = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------------------
// Stage 1: crude ratios, mean, variance and moment estimates.

// The group's moments as computed, before any is replaced by NoEstimate: a
// value without a finite result is a NaN or an infinity here.
struct Moments {
  double Mean;
  double Variance;
  double MeAlpha;
  double MeBeta;
};

// Fills `ratio` with the crude ratios (unchecked) and returns the moments.
Moments ComputeMoments(const GroupData& group, std::vector<double>& ratio) {
  const size_t n = group.Data1.size();
  ratio.resize(n);
  for (size_t i = 0; i < n; ++i) ratio[i] = Stored(Extended(group.Data1[i]) / group.Data2[i]);

  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum = Stored(Extended(sum) + ratio[i]);
  Moments m{};
  m.Mean = Stored(Extended(sum) / static_cast<Extended>(n));

  // Sample variance, divisor n - 1; d is formed as a double from the stored mean.
  m.Variance = kNoResult;  // a group of one record has none
  if (n >= 2) {
    double squares = 0.0;
    for (size_t i = 0; i < n; ++i) {
      const double d = Stored(Extended(ratio[i]) - m.Mean);
      squares = Stored(Extended(squares) + Extended(d) * d);
    }
    m.Variance = Stored(Extended(squares) / static_cast<Extended>(n - 1));
  }

  // Beta/Alpha = mean, Beta/Alpha^2 = variance. Ratios without variance (or
  // a variance beyond the double range) have no moment estimates.
  m.MeAlpha = kNoResult;
  m.MeBeta = kNoResult;
  if (std::isfinite(m.Mean) && std::isfinite(m.Variance) && m.Variance > 0.0) {
    m.MeAlpha = Stored(Extended(m.Mean) / m.Variance);
    m.MeBeta = Stored((Extended(m.Mean) * m.Mean) / m.Variance);
  }
  return m;
}

// ---------------------------------------------------------------------------
// Stage 2: the Newton-Raphson fit.

// Prepares the sweep over l: the group's distinct counts in ascending order,
// and for every member the position of its count among them. The counts do
// not change during the fit, so this is done once per group.
void RankCounts(std::span<const int32_t> data1, EstimatorScratch& s) {
  const size_t n = data1.size();
  s.SortKeys.resize(n);
  for (size_t i = 0; i < n; ++i) {
    s.SortKeys[i] = (static_cast<uint64_t>(static_cast<uint32_t>(data1[i])) << 32) | static_cast<uint32_t>(i);
  }
  std::sort(s.SortKeys.begin(), s.SortKeys.end());
  s.DistinctCounts.clear();
  s.CountRank.resize(n);
  for (uint64_t key : s.SortKeys) {
    const auto count = static_cast<int32_t>(key >> 32);
    if (s.DistinctCounts.empty() || s.DistinctCounts.back() != count) s.DistinctCounts.push_back(count);
    s.CountRank[static_cast<uint32_t>(key)] = static_cast<int32_t>(s.DistinctCounts.size() - 1);
  }
  s.InnerScore.resize(s.DistinctCounts.size());
  s.InnerHess.resize(s.DistinctCounts.size());
  s.Logs.resize(static_cast<size_t>(n));
}

// The five sums, each starting from its own first term and running over the
// members in group order. They are independent of each other, so computing
// them in one pass gives the same values as five separate passes.
DerivativeSums ComputeDerivatives(const GroupData& group, EstimatorScratch& s, double a, double b) {
  const size_t n = group.Data1.size();
  const Extended nx = static_cast<Extended>(n);
  SweepInnerSumsShared(s.DistinctCounts, b, s.InnerScore, s.InnerHess, s.InnerMemo, s.SweepPool);
  DerivativeSums d;
  d.ScoreAlpha = Stored(nx * b / a);
  d.ScoreBeta = 0.0;
  d.HessAlphaAlpha = Stored(-(nx * b) / (Extended(a) * a));
  d.HessAlphaBeta = Stored(nx / a);
  d.HessBetaBeta = 0.0;
  // The logarithms depend on neither each other nor the sums: computed in a
  // loop of their own, they overlap in the pipeline.
  for (size_t i = 0; i < n; ++i) s.Logs[i] = NaturalLog(Extended(group.Data2[i]) / a + 1.0L);
  for (size_t i = 0; i < n; ++i) {
    const Extended y = group.Data1[i];
    const double e = group.Data2[i];
    const int32_t rank = s.CountRank[i];
    const Extended ae = Extended(a) + e;
    d.ScoreAlpha = Stored(Extended(d.ScoreAlpha) - (y + b) / ae);
    d.ScoreBeta = Stored((Extended(d.ScoreBeta) + s.InnerScore[rank]) - s.Logs[i]);
    d.HessAlphaAlpha = Stored(Extended(d.HessAlphaAlpha) + (y + b) / (ae * ae));
    d.HessAlphaBeta = Stored(Extended(d.HessAlphaBeta) - 1.0L / ae);
    d.HessBetaBeta = Stored(Extended(d.HessBetaBeta) - s.InnerHess[rank]);
  }
  return d;
}

struct Step {
  double Alpha;
  double Beta;
};

// The full Newton step at (a, b): minus the inverse of the matrix of second
// derivatives times the vector of first derivatives. None when a sum, the
// determinant or the step has no finite value, or the determinant is 0.
std::optional<Step> NewtonStep(const GroupData& group, EstimatorScratch& s, double a, double b) {
  const DerivativeSums d = ComputeDerivatives(group, s, a, b);
  const double determinant =
      Stored(Extended(d.HessAlphaAlpha) * d.HessBetaBeta - Extended(d.HessAlphaBeta) * d.HessAlphaBeta);
  if (!std::isfinite(d.ScoreAlpha) || !std::isfinite(d.ScoreBeta) || !std::isfinite(d.HessAlphaAlpha) ||
      !std::isfinite(d.HessAlphaBeta) || !std::isfinite(d.HessBetaBeta) || !std::isfinite(determinant) ||
      determinant == 0.0) {
    return std::nullopt;
  }
  const Step step{
      Stored(-(Extended(d.HessBetaBeta) * d.ScoreAlpha - Extended(d.HessAlphaBeta) * d.ScoreBeta) / determinant),
      Stored((Extended(d.HessAlphaBeta) * d.ScoreAlpha - Extended(d.HessAlphaAlpha) * d.ScoreBeta) / determinant)};
  if (!std::isfinite(step.Alpha) || !std::isfinite(step.Beta)) return std::nullopt;
  return step;
}

// How the fit ended.
struct FitOutcome {
  double Alpha = NoEstimate;  // the estimates, or NoEstimate when the fit failed
  double Beta = NoEstimate;
  double ErrorAlpha = 9999.0;  // the last step as it stood at the end
  double ErrorBeta = 9999.0;
  int32_t Iterations = 0;
  FitEnd End = FitEnd::NoStart;
};

// Watches the iterates for a repetition (Brent's cycle detection). A step
// depends only on (a, b), so once an iterate comes back exactly, the fit
// goes round the same cycle of iterates, steps and tests until the limit.
struct CycleWatch {
  double SavedAlpha;     // the iterate saved at the last power of two
  double SavedBeta;
  int64_t Power = 1;     // steps between saves
  int64_t Length = 0;    // steps since the last save; the cycle's length once known
  int64_t SkipAt = -1;   // once the cycle is known: the iteration at which whole cycles are skipped
};

// Called after every accepted step with the new iterate; returns how many
// iterations the fit may skip now. When the iterate repeats the one `Length`
// steps back, the fit takes one more step, so that the convergence test has
// been made (and failed) on every step of the cycle; everything after that
// repeats those steps and tests, so whole cycles up to the limit change
// nothing and are skipped: Iterations, the iterate and the last step are as
// the full loop leaves them there.
int64_t SkippableIterations(CycleWatch& watch, double a, double b, int64_t iterations, int64_t limit) {
  if (watch.SkipAt >= 0) {
    return iterations == watch.SkipAt ? (limit - iterations) / watch.Length * watch.Length : 0;
  }
  ++watch.Length;
  if (a == watch.SavedAlpha && b == watch.SavedBeta) {
    watch.SkipAt = iterations + 1;
  } else if (watch.Length == watch.Power) {
    watch.SavedAlpha = a;
    watch.SavedBeta = b;
    watch.Power *= 2;
    watch.Length = 0;
  }
  return 0;
}

// Newton-Raphson from (a, b). The convergence test comes before the limit
// test, both comparisons strict; a step that makes a or b zero or negative
// (or takes it beyond the double range) ends the fit with its signed values
// as the errors and is not counted; a step without a finite value ends it
// with the previous step's errors. A fit that comes back to an earlier
// iterate without converging ends at once with what the loop would end with
// at the limit.
// Kept out of line: inlined into EstimateGroup, its loop ran measurably
// slower.
[[gnu::noinline]] FitOutcome FitMaximumLikelihood(const GroupData& group, double a, double b, const FitSettings& fit,
                                                  EstimatorScratch& s) {
  FitOutcome out;
  if (a == NoEstimate || b == NoEstimate) return out;  // without a finite start there is nothing to fit
  RankCounts(group.Data1, s);
  CycleWatch watch{a, b};
  for (;;) {
    if (!(out.ErrorAlpha > fit.Eps || out.ErrorBeta > fit.Eps)) {
      out.Alpha = a;
      out.Beta = b;
      out.End = FitEnd::Converged;
      return out;
    }
    if (out.Iterations >= fit.IterationLimit) {
      out.End = FitEnd::IterationLimit;
      return out;
    }
    const std::optional<Step> step = NewtonStep(group, s, a, b);
    if (!step) {
      out.End = FitEnd::NonFiniteStep;
      return out;
    }
    a = Stored(Extended(a) + step->Alpha);
    b = Stored(Extended(b) + step->Beta);
    if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a) || !std::isfinite(b)) {
      out.ErrorAlpha = step->Alpha;
      out.ErrorBeta = step->Beta;
      out.End = a > 0.0 && b > 0.0 ? FitEnd::NonFiniteStep : FitEnd::NonPositiveStep;
      return out;
    }
    out.ErrorAlpha = std::fabs(step->Alpha);
    out.ErrorBeta = std::fabs(step->Beta);
    ++out.Iterations;
    out.Iterations += static_cast<int32_t>(SkippableIterations(watch, a, b, out.Iterations, fit.IterationLimit));
  }
}

// ---------------------------------------------------------------------------
// Stage 3: the EB ratios, posterior means (Data1 + beta) / (alpha + Data2);
// NoEstimate throughout when alpha or beta is NoEstimate.
void ComputeEbRatios(const GroupData& group, double alpha, double beta, std::vector<double>& eb) {
  const size_t n = group.Data1.size();
  eb.resize(n);
  const bool exists = alpha != NoEstimate && beta != NoEstimate;
  for (size_t i = 0; i < n; ++i) {
    eb[i] = exists ? OrNoEstimate(Stored((Extended(group.Data1[i]) + beta) / (Extended(alpha) + group.Data2[i])))
                   : NoEstimate;
  }
}

}  // namespace

GroupEstimate EstimateGroup(const GroupData& group, const FitSettings& fit, EstimatorScratch& scratch) {
  GroupResult r;
  r.RegionCount = static_cast<int32_t>(group.Data1.size());
  const Moments m = ComputeMoments(group, scratch.Ratio);
  for (double& ratio : scratch.Ratio) ratio = OrNoEstimate(ratio);
  r.MeanRatio = OrNoEstimate(m.Mean);
  r.VarianceRatio = OrNoEstimate(m.Variance);
  r.MeAlpha = OrNoEstimate(m.MeAlpha);
  r.MeBeta = OrNoEstimate(m.MeBeta);
  r.InitialAlpha = OrNoEstimate(fit.AlphaOption > 0.0 ? fit.AlphaOption : m.MeAlpha);
  r.InitialBeta = OrNoEstimate(fit.BetaOption > 0.0 ? fit.BetaOption : m.MeBeta);

  const FitOutcome f = FitMaximumLikelihood(group, r.InitialAlpha, r.InitialBeta, fit, scratch);
  r.MleAlpha = f.Alpha;
  r.MleBeta = f.Beta;
  r.ErrorAlpha = f.ErrorAlpha;
  r.ErrorBeta = f.ErrorBeta;
  r.Iterations = f.Iterations;
  r.FitSucceeded = f.End == FitEnd::Converged;
  r.End = f.End;

  ComputeEbRatios(group, r.MeAlpha, r.MeBeta, scratch.EbRatioMe);
  ComputeEbRatios(group, r.MleAlpha, r.MleBeta, scratch.EbRatioMle);
  return {r, {scratch.Ratio, scratch.EbRatioMe, scratch.EbRatioMle}};
}

DerivativeSums ComputeDerivativeSums(const GroupData& group, double a, double b, EstimatorScratch& scratch) {
  RankCounts(group.Data1, scratch);
  return ComputeDerivatives(group, scratch, a, b);
}

}  // namespace tarnek
