// Test-only reference of the group estimator and of unit grouping, written
// the plain way: every sum in its own loop, every inner sum over l rebuilt
// term by term for every record, nothing cached, no sorting tricks. Tests run
// it beside the library and demand the same bits in every result field.
//
// Numerics, as in the library: every stored value and running sum is a
// double; one term is evaluated in long double (x87 extended) and rounded to
// double once, when it is stored or added to its sum. A value without a
// finite result is stored as NoEstimate, and so is every value computed from
// a NoEstimate value.
#pragma once

#include <algorithm>  // std::sort
#include <cmath>      // std::isfinite, std::fabs, logl
#include <cstdint>
#include <vector>

#include "cli/options.h"
#include "estimation/estimator.h"
#include "input/data_reader.h"

namespace tarnek::reference {

using Ext = long double;

// A finite value as it is, anything else as NoEstimate.
inline double Finite(double value) { return std::isfinite(value) ? value : NoEstimate; }
inline bool Missing(double value) { return value == NoEstimate; }

// Stage 1: crude ratios, mean, variance, moment estimates, starting values.
inline void MomentEstimates(GroupWorkspace& ws, const RunSettings& settings) {
  const int32_t n = ws.RegionCount;
  bool ratioMissing = false;
  for (int32_t i = 0; i < n; ++i) {
    ws.Ratio[i] = Finite(static_cast<double>(static_cast<Ext>(ws.Data1[i]) / ws.Data2[i]));
    ratioMissing = ratioMissing || Missing(ws.Ratio[i]);
  }

  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) sum = static_cast<double>(static_cast<Ext>(sum) + ws.Ratio[i]);
  ws.MeanRatio =
      ratioMissing ? NoEstimate : Finite(static_cast<double>(static_cast<Ext>(sum) / n));

  if (Missing(ws.MeanRatio)) {
    ws.VarianceRatio = NoEstimate;
  } else {
    double squares = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      const double d = static_cast<double>(static_cast<Ext>(ws.Ratio[i]) - ws.MeanRatio);
      squares = static_cast<double>(static_cast<Ext>(squares) + static_cast<Ext>(d) * d);
    }
    ws.VarianceRatio = Finite(static_cast<double>(static_cast<Ext>(squares) / (n - 1)));
  }

  if (Missing(ws.MeanRatio) || Missing(ws.VarianceRatio)) {
    ws.MeAlpha = NoEstimate;
    ws.MeBeta = NoEstimate;
  } else {
    const Ext mean = ws.MeanRatio;
    ws.MeAlpha = Finite(static_cast<double>(mean / ws.VarianceRatio));
    ws.MeBeta = Finite(static_cast<double>((mean * mean) / ws.VarianceRatio));
  }

  ws.InitialAlpha = settings.AlphaOption > 0 ? Finite(settings.AlphaOption) : ws.MeAlpha;
  ws.InitialBeta = settings.BetaOption > 0 ? Finite(settings.BetaOption) : ws.MeBeta;
}

// Stage 2: Newton-Raphson on the negative-binomial marginal likelihood.
inline void MaximumLikelihood(GroupWorkspace& ws, const RunSettings& settings) {
  const int32_t n = ws.RegionCount;
  double a = ws.InitialAlpha;
  double b = ws.InitialBeta;
  double stepAlpha = 9999.0;
  double stepBeta = 9999.0;
  int32_t iterations = 0;
  int32_t succeeded = 1;

  if (Missing(a) || Missing(b)) succeeded = 0;  // no start, no fit
  while (succeeded == 1) {
    if (!(stepAlpha > settings.Eps || stepBeta > settings.Eps)) break;  // converged
    if (iterations >= settings.IterationLimit) {
      succeeded = 0;
      break;
    }

    double scoreAlpha = static_cast<double>(static_cast<Ext>(n) * b / a);
    for (int32_t i = 0; i < n; ++i) {
      const Ext term = (static_cast<Ext>(ws.Data1[i]) + b) / (static_cast<Ext>(a) + ws.Data2[i]);
      scoreAlpha = static_cast<double>(scoreAlpha - term);
    }

    double scoreBeta = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      double inner = 0.0;
      for (int32_t l = 0; l < ws.Data1[i]; ++l)
        inner = static_cast<double>(inner + 1.0L / (static_cast<Ext>(b) + l));
      const Ext logTerm = logl(static_cast<Ext>(ws.Data2[i]) / a + 1.0L);
      scoreBeta = static_cast<double>((static_cast<Ext>(scoreBeta) + inner) - logTerm);
    }

    double hessAA = static_cast<double>(-(static_cast<Ext>(n) * b) / (static_cast<Ext>(a) * a));
    for (int32_t i = 0; i < n; ++i) {
      const Ext shifted = static_cast<Ext>(a) + ws.Data2[i];
      const Ext term = (static_cast<Ext>(ws.Data1[i]) + b) / (shifted * shifted);
      hessAA = static_cast<double>(hessAA + term);
    }

    double hessAB = static_cast<double>(static_cast<Ext>(n) / a);
    for (int32_t i = 0; i < n; ++i)
      hessAB = static_cast<double>(hessAB - 1.0L / (static_cast<Ext>(a) + ws.Data2[i]));

    double hessBB = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      double inner = 0.0;
      for (int32_t l = 0; l < ws.Data1[i]; ++l) {
        const Ext shifted = static_cast<Ext>(b) + l;
        inner = static_cast<double>(inner + 1.0L / (shifted * shifted));
      }
      hessBB = static_cast<double>(static_cast<Ext>(hessBB) - inner);
    }

    const Ext H = hessAA, K = hessAB, M = hessBB, S = scoreAlpha, T = scoreBeta;
    const double det = static_cast<double>(H * M - K * K);
    if (!std::isfinite(scoreAlpha) || !std::isfinite(scoreBeta) || !std::isfinite(hessAA) ||
        !std::isfinite(hessAB) || !std::isfinite(hessBB) || !std::isfinite(det) || det == 0.0) {
      succeeded = 0;  // errors keep the previous steps
      break;
    }
    const double nextStepAlpha = static_cast<double>(-(M * S - K * T) / det);
    const double nextStepBeta = static_cast<double>((K * S - H * T) / det);
    if (!std::isfinite(nextStepAlpha) || !std::isfinite(nextStepBeta)) {
      succeeded = 0;
      break;
    }
    const double nextA = static_cast<double>(static_cast<Ext>(a) + nextStepAlpha);
    const double nextB = static_cast<double>(static_cast<Ext>(b) + nextStepBeta);
    if (!(nextA > 0) || !(nextB > 0) || !std::isfinite(nextA) || !std::isfinite(nextB)) {
      stepAlpha = nextStepAlpha;  // the rejected step, signs kept
      stepBeta = nextStepBeta;
      succeeded = 0;
      break;
    }
    a = nextA;
    b = nextB;
    stepAlpha = std::fabs(nextStepAlpha);
    stepBeta = std::fabs(nextStepBeta);
    ++iterations;
  }

  ws.FitSucceeded = succeeded;
  ws.Iterations = iterations;
  ws.MleAlpha = succeeded == 1 ? a : NoEstimate;
  ws.MleBeta = succeeded == 1 ? b : NoEstimate;
  ws.ErrorAlpha = stepAlpha;
  ws.ErrorBeta = stepBeta;
}

// Stage 3: the two EB ratios of every record.
inline void EbRatios(GroupWorkspace& ws) {
  const int32_t n = ws.RegionCount;
  for (int32_t i = 0; i < n; ++i) {
    const Ext y = ws.Data1[i];
    ws.EbRatioMe[i] =
        Missing(ws.MeAlpha) || Missing(ws.MeBeta)
            ? NoEstimate
            : Finite(static_cast<double>((y + ws.MeBeta) / (static_cast<Ext>(ws.MeAlpha) + ws.Data2[i])));
    ws.EbRatioMle[i] =
        ws.FitSucceeded != 1
            ? NoEstimate
            : Finite(static_cast<double>((y + ws.MleBeta) / (static_cast<Ext>(ws.MleAlpha) + ws.Data2[i])));
  }
}

inline void EstimateGroup(GroupWorkspace& ws, const RunSettings& settings) {
  const size_t n = static_cast<size_t>(ws.RegionCount);
  if (ws.Ratio.size() < n) ws.Ratio.resize(n);
  if (ws.EbRatioMe.size() < n) ws.EbRatioMe.resize(n);
  if (ws.EbRatioMle.size() < n) ws.EbRatioMle.resize(n);
  MomentEstimates(ws, settings);
  MaximumLikelihood(ws, settings);
  EbRatios(ws);
}

// What the log block of one group would show.
struct GroupSummary {
  int32_t Unit = 0;  // the group's unit; -1 in single-group mode
  int32_t RegionCount = 0;
  double MeanRatio = 0, VarianceRatio = 0, InitialAlpha = 0, InitialBeta = 0;
  double MeAlpha = 0, MeBeta = 0, MleAlpha = 0, MleBeta = 0, ErrorAlpha = 0, ErrorBeta = 0;
  int32_t FitSucceeded = 0, Iterations = 0;
};

inline GroupSummary Summarize(const GroupWorkspace& ws, int32_t unit) {
  return {unit,         ws.RegionCount, ws.MeanRatio,  ws.VarianceRatio, ws.InitialAlpha,
          ws.InitialBeta, ws.MeAlpha,   ws.MeBeta,     ws.MleAlpha,      ws.MleBeta,
          ws.ErrorAlpha,  ws.ErrorBeta, ws.FitSucceeded, ws.Iterations};
}

inline int CompareUnits(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Groups the table as grouping does and fills its three result columns;
// returns one summary per group, in the order the groups were estimated.
inline std::vector<GroupSummary> EstimateAllGroups(RecordTable& table, const RunSettings& settings) {
  constexpr int32_t kUnitSentinel = -9999;
  const int32_t n = static_cast<int32_t>(table.Size());
  table.Ratio.assign(n, 0.0);
  table.EbRatioMe.assign(n, 0.0);
  table.EbRatioMle.assign(n, 0.0);
  std::vector<GroupSummary> groups;
  GroupWorkspace ws;
  ws.Data1.resize(n);
  ws.Data2.resize(n);

  if (n > 0 && table.Unit[0] == -1) {
    ws.RegionCount = n;
    for (int32_t k = 1; k <= n; ++k) {
      ws.Data1[k - 1] = table.Data1[k - 1];
      ws.Data2[k - 1] = table.Data2[k - 1];
    }
    reference::EstimateGroup(ws, settings);
    groups.push_back(Summarize(ws, -1));
    for (int32_t k = 1; k <= ws.RegionCount; ++k) {
      table.Ratio[k - 1] = ws.Ratio[k - 1];
      table.EbRatioMe[k - 1] = ws.EbRatioMe[k - 1];
      table.EbRatioMle[k - 1] = ws.EbRatioMle[k - 1];
    }
    return groups;
  }

  std::vector<int32_t> sortedUnits(n + 1);
  sortedUnits[0] = kUnitSentinel;
  for (int32_t k = 1; k <= n; ++k) sortedUnits[k] = table.Unit[k - 1];
  std::sort(sortedUnits.begin(), sortedUnits.end(),
            [](int32_t x, int32_t y) { return CompareUnits(x, y) < 0; });
  std::vector<int32_t> memberIndex(n + 1);
  int32_t groupStart = 1;
  while (groupStart <= n) {
    const int32_t groupUnit = sortedUnits[groupStart];
    int32_t m = 0;
    for (int32_t k = 1; k <= n; ++k) {
      if (table.Unit[k - 1] != groupUnit) continue;
      ++m;
      memberIndex[m] = k;
      ws.Data1[m - 1] = table.Data1[k - 1];
      ws.Data2[m - 1] = table.Data2[k - 1];
    }
    ws.RegionCount = m;
    reference::EstimateGroup(ws, settings);
    groups.push_back(Summarize(ws, groupUnit));
    for (int32_t i = 1; i <= ws.RegionCount; ++i) {
      const int32_t k = memberIndex[i];
      table.Ratio[k - 1] = ws.Ratio[i - 1];
      table.EbRatioMe[k - 1] = ws.EbRatioMe[i - 1];
      table.EbRatioMle[k - 1] = ws.EbRatioMle[i - 1];
    }
    groupStart += ws.RegionCount;
  }
  return groups;
}

}  // namespace tarnek::reference
