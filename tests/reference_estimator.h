// Test-only reference of the group estimator, written the plain way: every
// record sums its own inner terms over l, nothing is cached. Tests demand the
// same bits from the library in every result.
//
// Numerics: one term is carried in long double and rounded once to the double
// it is stored as; sums run in group order. A value without a finite result is
// NoEstimate, and so is every value computed from one.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include "core/fit_settings.h"
#include "estimation/natural_log.h"

namespace tarnek::reference {

// One group's data and every result, as the estimator defines them.
struct GroupWorkspace {
  int RegionCount = 0;
  std::vector<int32_t> Data1;
  std::vector<double> Data2;
  std::vector<double> Ratio, EbRatioMe, EbRatioMle;
  double MeanRatio = 0, VarianceRatio = 0, InitialAlpha = 0, InitialBeta = 0, MeAlpha = 0, MeBeta = 0;
  double MleAlpha = 0, MleBeta = 0, ErrorAlpha = 0, ErrorBeta = 0;
  int FitSucceeded = 0, Iterations = 0;
};

using X = long double;
inline double Kept(X v) { return std::isfinite(double(v)) ? double(v) : NoEstimate; }
inline bool No(double v) { return v == NoEstimate; }
inline bool Finite(auto... v) { return (std::isfinite(v) && ...); }

// `iterates`, when given, receives (a, b) after every accepted step.
inline void EstimateGroup(GroupWorkspace& w, const FitSettings& s, std::vector<std::pair<double, double>>* iterates = nullptr) {
  const int n = w.RegionCount;
  w.Ratio.resize(n), w.EbRatioMe.resize(n), w.EbRatioMle.resize(n);
  // Stage 1: crude ratios, mean, variance (divisor n-1), moment estimates, starts.
  double sum = 0, squares = 0;
  bool missing = false;
  for (int i = 0; i < n; ++i) w.Ratio[i] = Kept(X(w.Data1[i]) / w.Data2[i]), missing |= No(w.Ratio[i]);
  for (int i = 0; i < n; ++i) sum = double(X(sum) + w.Ratio[i]);
  w.MeanRatio = missing ? NoEstimate : Kept(X(sum) / n);
  for (int i = 0; i < n; ++i) {
    const double d = double(X(w.Ratio[i]) - w.MeanRatio);
    squares = double(X(squares) + X(d) * d);
  }
  w.VarianceRatio = No(w.MeanRatio) ? NoEstimate : Kept(X(squares) / (n - 1));
  const bool noMoments = No(w.MeanRatio) || No(w.VarianceRatio);
  w.MeAlpha = noMoments ? NoEstimate : Kept(X(w.MeanRatio) / w.VarianceRatio);
  w.MeBeta = noMoments ? NoEstimate : Kept(X(w.MeanRatio) * w.MeanRatio / w.VarianceRatio);
  w.InitialAlpha = s.AlphaOption > 0 ? Kept(s.AlphaOption) : w.MeAlpha;
  w.InitialBeta = s.BetaOption > 0 ? Kept(s.BetaOption) : w.MeBeta;
  // Stage 2: Newton-Raphson; no start, no fit.
  double a = w.InitialAlpha, b = w.InitialBeta, stepA = 9999, stepB = 9999;
  int iterations = 0, ok = !No(a) && !No(b);
  while (ok && (stepA > s.Eps || stepB > s.Eps)) {
    if (iterations >= s.IterationLimit) { ok = 0; break; }
    double S = double(X(n) * b / a), T = 0, H = double(-(X(n) * b) / (X(a) * a)), K = double(X(n) / a), M = 0;
    for (int i = 0; i < n; ++i) {  // the five sums are independent: one pass over the records
      const X y = w.Data1[i], ae = X(a) + w.Data2[i];
      double innerT = 0, innerM = 0;  // every record sums its own terms over l
      for (int l = 0; l < w.Data1[i]; ++l) {
        innerT = double(innerT + 1 / (X(b) + l));
        innerM = double(innerM + 1 / ((X(b) + l) * (X(b) + l)));
      }
      S = double(S - (y + b) / ae);
      T = double((X(T) + innerT) - NaturalLog(X(w.Data2[i]) / a + 1));
      H = double(H + (y + b) / (ae * ae));
      K = double(K - 1 / ae);
      M = double(M - X(innerM));
    }
    const double det = double(X(H) * M - X(K) * K);
    const double da = double(-(X(M) * S - X(K) * T) / det), db = double((X(K) * S - X(H) * T) / det);
    if (!Finite(S, T, H, K, M, det, da, db) || det == 0) { ok = 0; break; }  // errors keep the last step
    const double nextA = double(X(a) + da), nextB = double(X(b) + db);
    if (!(nextA > 0 && nextB > 0 && Finite(nextA, nextB))) { stepA = da, stepB = db, ok = 0; break; }
    a = nextA, b = nextB, stepA = std::fabs(da), stepB = std::fabs(db), ++iterations;
    if (iterates) iterates->emplace_back(a, b);
  }
  w.FitSucceeded = ok, w.Iterations = iterations, w.ErrorAlpha = stepA, w.ErrorBeta = stepB;
  w.MleAlpha = ok ? a : NoEstimate, w.MleBeta = ok ? b : NoEstimate;
  // Stage 3: EB ratios from the moment and the ML estimates.
  for (int i = 0; i < n; ++i) {
    w.EbRatioMe[i] = No(w.MeAlpha) || No(w.MeBeta) ? NoEstimate : Kept((X(w.Data1[i]) + w.MeBeta) / (X(w.MeAlpha) + w.Data2[i]));
    w.EbRatioMle[i] = ok ? Kept((X(w.Data1[i]) + b) / (X(a) + w.Data2[i])) : NoEstimate;
  }
}

}  // namespace tarnek::reference
