// The three stages of the estimator. See estimator.h for the numerics: each
// statement below forms one term in long double and rounds it to double when
// it is stored, and every sum runs in the order written.
#include "estimation/estimator.h"

#include "estimation/natural_log.h"  // NaturalLog: ln, correctly rounded

#include <algorithm>  // std::sort
#include <cmath>      // std::isfinite, std::fabs
#include <limits>

namespace tarnek {

namespace {

using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64,
              "the estimator needs the x87 extended format (64-bit mantissa)");

// Rounds a term carried in extended precision to the double it is stored as.
inline double Stored(Extended x) { return static_cast<double>(x); }

inline double OrNoEstimate(double x) { return std::isfinite(x) ? x : NoEstimate; }

constexpr double kNoResult = std::numeric_limits<double>::quiet_NaN();

// The five derivative sums of the marginal log-likelihood at (a, b).
struct Derivatives {
  double ScoreAlpha;      // dL/da
  double ScoreBeta;       // dL/db
  double HessAlphaAlpha;  // d2L/da2
  double HessAlphaBeta;   // d2L/da db
  double HessBetaBeta;    // d2L/db2
};

// Prepares the sweep over l: the group's distinct counts in ascending order,
// and for every member the position of its count among them. The counts do
// not change during the fit, so this is done once per group.
void RankCounts(GroupWorkspace& ws) {
  FitScratch& s = ws.Scratch;
  const int32_t n = ws.RegionCount;
  s.SortKeys.resize(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    s.SortKeys[i] = (static_cast<uint64_t>(static_cast<uint32_t>(ws.Data1[i])) << 32) |
                    static_cast<uint32_t>(i);
  }
  std::sort(s.SortKeys.begin(), s.SortKeys.end());
  s.DistinctCounts.clear();
  s.CountRank.resize(static_cast<size_t>(n));
  for (uint64_t key : s.SortKeys) {
    const auto count = static_cast<int32_t>(key >> 32);
    if (s.DistinctCounts.empty() || s.DistinctCounts.back() != count) {
      s.DistinctCounts.push_back(count);
    }
    s.CountRank[static_cast<uint32_t>(key)] = static_cast<int32_t>(s.DistinctCounts.size() - 1);
  }
  s.InnerScore.resize(s.DistinctCounts.size());
  s.InnerHess.resize(s.DistinctCounts.size());
  s.Logs.resize(static_cast<size_t>(n));
}

// The inner sums of ScoreBeta and HessBetaBeta for every distinct count.
// The inner sum for a count y is a running double sum over l = 0 .. y-1 in
// increasing order, so the sum for a smaller count is exactly a prefix of the
// sum for a larger one: same terms, same order, same roundings. One ascending
// sweep up to the largest count therefore yields every record's inner sums,
// bit for bit as if each record summed its own, at the cost of the largest
// count instead of the total count.
void SweepInnerSums(FitScratch& s, double b) {
  double score = 0.0;
  double hess = 0.0;
  int64_t l = 0;
  Extended lx = 0.0L;  // l as an extended value, counted exactly alongside
  for (size_t k = 0; k < s.DistinctCounts.size(); ++k) {
    const int64_t count = s.DistinctCounts[k];
    for (; l < count; ++l, lx += 1.0L) {
      const Extended bl = Extended(b) + lx;
      score = Stored(Extended(score) + 1.0L / bl);
      hess = Stored(Extended(hess) + 1.0L / (bl * bl));
    }
    s.InnerScore[k] = score;
    s.InnerHess[k] = hess;
  }
}

// The five sums, each starting from its own first term and running over the
// members in group order. They are independent of each other, so computing
// them in one pass gives the same values as five separate passes.
Derivatives ComputeDerivatives(GroupWorkspace& ws, double a, double b) {
  const int32_t n = ws.RegionCount;
  const Extended nx = n;
  SweepInnerSums(ws.Scratch, b);
  Derivatives d;
  d.ScoreAlpha = Stored(nx * b / a);
  d.ScoreBeta = 0.0;
  d.HessAlphaAlpha = Stored(-(nx * b) / (Extended(a) * a));
  d.HessAlphaBeta = Stored(nx / a);
  d.HessBetaBeta = 0.0;
  // The logarithms depend on neither each other nor the sums: computed in a
  // loop of their own, they overlap in the pipeline.
  for (int32_t i = 0; i < n; ++i) ws.Scratch.Logs[i] = NaturalLog(Extended(ws.Data2[i]) / a + 1.0L);
  for (int32_t i = 0; i < n; ++i) {
    const Extended y = ws.Data1[i];
    const double e = ws.Data2[i];
    const int32_t rank = ws.Scratch.CountRank[i];
    const Extended ae = Extended(a) + e;
    d.ScoreAlpha = Stored(Extended(d.ScoreAlpha) - (y + b) / ae);
    d.ScoreBeta = Stored((Extended(d.ScoreBeta) + ws.Scratch.InnerScore[rank]) -
                         ws.Scratch.Logs[i]);
    d.HessAlphaAlpha = Stored(Extended(d.HessAlphaAlpha) + (y + b) / (ae * ae));
    d.HessAlphaBeta = Stored(Extended(d.HessAlphaBeta) - 1.0L / ae);
    d.HessBetaBeta = Stored(Extended(d.HessBetaBeta) - ws.Scratch.InnerHess[rank]);
  }
  return d;
}

bool AllFinite(const Derivatives& d) {
  return std::isfinite(d.ScoreAlpha) && std::isfinite(d.ScoreBeta) &&
         std::isfinite(d.HessAlphaAlpha) && std::isfinite(d.HessAlphaBeta) &&
         std::isfinite(d.HessBetaBeta);
}

}  // namespace

void ComputeMomentEstimates(GroupWorkspace& ws, const RunSettings& settings) {
  const int32_t n = ws.RegionCount;
  ws.Ratio.resize(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    ws.Ratio[i] = Stored(Extended(ws.Data1[i]) / ws.Data2[i]);
  }

  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) sum = Stored(Extended(sum) + ws.Ratio[i]);
  const double mean = Stored(Extended(sum) / n);

  // Sample variance, divisor n - 1; d is formed as a double from the stored mean.
  double variance = kNoResult;  // a group of one record has none
  if (n >= 2) {
    double squares = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      const double d = Stored(Extended(ws.Ratio[i]) - mean);
      squares = Stored(Extended(squares) + Extended(d) * d);
    }
    variance = Stored(Extended(squares) / (n - 1));
  }

  // Moment estimates: Beta/Alpha = mean, Beta/Alpha^2 = variance. Ratios
  // without variance (or a variance beyond the double range) have none.
  double meAlpha = kNoResult;
  double meBeta = kNoResult;
  if (std::isfinite(mean) && std::isfinite(variance) && variance > 0.0) {
    meAlpha = Stored(Extended(mean) / variance);
    meBeta = Stored((Extended(mean) * mean) / variance);
  }

  const double initialAlpha = settings.AlphaOption > 0.0 ? settings.AlphaOption : meAlpha;
  const double initialBeta = settings.BetaOption > 0.0 ? settings.BetaOption : meBeta;

  for (int32_t i = 0; i < n; ++i) ws.Ratio[i] = OrNoEstimate(ws.Ratio[i]);
  ws.MeanRatio = OrNoEstimate(mean);
  ws.VarianceRatio = OrNoEstimate(variance);
  ws.MeAlpha = OrNoEstimate(meAlpha);
  ws.MeBeta = OrNoEstimate(meBeta);
  ws.InitialAlpha = OrNoEstimate(initialAlpha);
  ws.InitialBeta = OrNoEstimate(initialBeta);
}

void FitMaximumLikelihood(GroupWorkspace& ws, const RunSettings& settings) {
  double a = ws.InitialAlpha;
  double b = ws.InitialBeta;
  double stepAlpha = 9999.0;
  double stepBeta = 9999.0;
  ws.Iterations = 0;
  ws.FitSucceeded = 1;

  // Without a finite start there is nothing to fit.
  bool failed = a == NoEstimate || b == NoEstimate;
  if (!failed) RankCounts(ws);

  while (!failed) {
    // Convergence test before the limit test; both comparisons strict.
    if (!(stepAlpha > settings.Eps || stepBeta > settings.Eps)) break;
    if (ws.Iterations >= settings.IterationLimit) {
      failed = true;
      break;
    }

    const Derivatives d = ComputeDerivatives(ws, a, b);
    const double determinant =
        Stored(Extended(d.HessAlphaAlpha) * d.HessBetaBeta - Extended(d.HessAlphaBeta) * d.HessAlphaBeta);
    // A step that has no finite value ends the fit; the errors keep the
    // previous step's values and the step is not counted.
    if (!AllFinite(d) || !std::isfinite(determinant) || determinant == 0.0) {
      failed = true;
      break;
    }
    const double nextAlpha = Stored(-(Extended(d.HessBetaBeta) * d.ScoreAlpha -
                                      Extended(d.HessAlphaBeta) * d.ScoreBeta) / determinant);
    const double nextBeta = Stored((Extended(d.HessAlphaBeta) * d.ScoreAlpha -
                                    Extended(d.HessAlphaAlpha) * d.ScoreBeta) / determinant);
    if (!std::isfinite(nextAlpha) || !std::isfinite(nextBeta)) {
      failed = true;
      break;
    }
    stepAlpha = nextAlpha;
    stepBeta = nextBeta;
    a = Stored(Extended(a) + stepAlpha);
    b = Stored(Extended(b) + stepBeta);

    // Positivity test on the updated values; a rejected step keeps its signs.
    if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a) || !std::isfinite(b)) {
      failed = true;
      break;
    }
    stepAlpha = std::fabs(stepAlpha);
    stepBeta = std::fabs(stepBeta);
    ++ws.Iterations;
  }

  ws.ErrorAlpha = stepAlpha;
  ws.ErrorBeta = stepBeta;
  if (failed) {
    ws.FitSucceeded = 0;
    ws.MleAlpha = NoEstimate;
    ws.MleBeta = NoEstimate;
  } else {
    ws.MleAlpha = a;
    ws.MleBeta = b;
  }
}

void ComputeEbRatios(GroupWorkspace& ws) {
  const int32_t n = ws.RegionCount;
  ws.EbRatioMe.resize(static_cast<size_t>(n));
  ws.EbRatioMle.resize(static_cast<size_t>(n));
  const bool haveMe = ws.MeAlpha != NoEstimate && ws.MeBeta != NoEstimate;
  for (int32_t i = 0; i < n; ++i) {
    ws.EbRatioMe[i] =
        haveMe ? OrNoEstimate(Stored((Extended(ws.Data1[i]) + ws.MeBeta) / (Extended(ws.MeAlpha) + ws.Data2[i])))
               : NoEstimate;
  }
  for (int32_t i = 0; i < n; ++i) {
    ws.EbRatioMle[i] =
        ws.FitSucceeded == 1
            ? OrNoEstimate(Stored((Extended(ws.Data1[i]) + ws.MleBeta) / (Extended(ws.MleAlpha) + ws.Data2[i])))
            : NoEstimate;
  }
}

void EstimateGroup(GroupWorkspace& ws, const RunSettings& settings) {
  ComputeMomentEstimates(ws, settings);
  FitMaximumLikelihood(ws, settings);
  ComputeEbRatios(ws);
}

}  // namespace tarnek
