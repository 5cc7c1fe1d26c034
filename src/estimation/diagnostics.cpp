// Fit diagnostics. See diagnostics.h for the model and the numerics.
#include "estimation/diagnostics.h"

#include <cmath>   // std::sqrt, std::log, std::log1p, std::fabs, std::isfinite
#include <limits>

#include <boost/math/distributions/chi_squared.hpp>

#include "estimation/boost_policy.h"
#include "estimation/negbin_terms.h"

namespace tarnek {

namespace {

using Policy = BoostPolicy;

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// The value, or kNoValue when it is not finite.
double Finite(double x) { return std::isfinite(x) ? x : kNoValue; }

// The observed information I = -H at a point, scaled to avoid overflow:
// I = D R D with D = diag(sqrt(I_aa), sqrt(I_bb)) and R = [[1, r], [r, 1]],
// r = I_ab / sqrt(I_aa I_bb). I is positive definite exactly when I_aa > 0,
// I_bb > 0 and |r| < 1; then its inverse has the standard deviations
// 1/sqrt(I_aa (1 - r^2)), 1/sqrt(I_bb (1 - r^2)) and the correlation -r.
struct Information {
  double RootAlpha;  // sqrt(I_aa)
  double RootBeta;   // sqrt(I_bb)
  double R;
  double OneMinusR2;  // 1 - r^2, as (1 - |r|)(1 + |r|)
  bool PositiveDefinite;
};

Information ObservedInformation(const DerivativeSums& d) {
  Information info{};
  const double iaa = -d.HessAlphaAlpha;
  const double ibb = -d.HessBetaBeta;
  info.RootAlpha = std::sqrt(iaa);
  info.RootBeta = std::sqrt(ibb);
  info.R = -d.HessAlphaBeta / info.RootAlpha / info.RootBeta;
  const double absR = std::fabs(info.R);
  info.OneMinusR2 = (1.0 - absR) * (1.0 + absR);
  info.PositiveDefinite = iaa > 0.0 && ibb > 0.0 && std::isfinite(iaa) && std::isfinite(ibb) &&
                          std::isfinite(info.R) && info.OneMinusR2 > 0.0;
  return info;
}

// g' I^-1 g with g = (u sqrt(I_aa), w sqrt(I_bb)): ((u - r w)^2)/(1 - r^2) + w^2,
// a sum of two terms that are never negative.
double NewtonDecrement(const DerivativeSums& d, const Information& info) {
  const double u = d.ScoreAlpha / info.RootAlpha;
  const double w = d.ScoreBeta / info.RootBeta;
  const double along = u - info.R * w;
  return along * along / info.OneMinusR2 + w * w;
}

FitStatus StatusOf(FitEnd end) {
  switch (end) {
    case FitEnd::Converged: return FitStatus::Converged;
    case FitEnd::IterationLimit: return FitStatus::IterationLimit;
    case FitEnd::NonPositiveStep: return FitStatus::NonPositiveStep;
    case FitEnd::NonFiniteStep: return FitStatus::NonFiniteStep;
    case FitEnd::NoStart: return FitStatus::NoStart;
  }
  return FitStatus::NoStart;
}

double ValueOf(double estimate) { return estimate == NoEstimate ? kNoValue : estimate; }

// One record's term of the negative-binomial log-likelihood at (a, b): with
// common = CountTerm(y) (unused for y = 0) and remainderB = StirlingRemainder(b).
double NegBinTerm(int32_t y, double e, double a, double b, double common, double remainderB) {
  if (y == 0) {
    const double q = e / a;
    return -(b * (std::isfinite(q) ? std::log1p(q) : std::log(e) - std::log(a)));
  }
  const double count = y;
  const double n = count + b;
  const double rate = a + e;
  return common + StirlingRemainder(n) - remainderB + 0.5 * LogRatio(b, n) - Bd0(b, n * a / rate) -
         Bd0(count, n * e / rate);
}

}  // namespace

// Record by record, in group order:
//   log NegBin(y | b, a/(a+e)) = log Gamma(y+b) - log Gamma(b) - log y! + b log(a/(a+e)) + y log(e/(a+e))
//   log Poisson(y | r e)       = y log(r e) - r e - log y!,  r = (sum of y)/(sum of e).
// With n = y + b and Stirling's form of every log-Gamma the large terms
// cancel exactly; for y >= 1 what is left is, with c = -log(2 pi y)/2 - w(y)
// (w the Stirling remainder),
//   log NegBin  = c + w(n) - w(b) + log(b/n)/2 - bd0(b, n a/(a+e)) - bd0(y, n e/(a+e)),
//   log Poisson = c - bd0(y, r e);
// for y = 0 they are -b log(1 + e/a) and -r e.
LogLikelihoods GroupLogLikelihoods(const GroupData& group, double a, double b) {
  int64_t counts = 0;
  double expected = 0.0;
  for (size_t i = 0; i < group.Data1.size(); ++i) {
    counts += group.Data1[i];
    expected += group.Data2[i];
  }
  const double ratio = static_cast<double>(counts) / expected;
  const bool hasMle = !std::isnan(a) && !std::isnan(b);
  const double remainderB = hasMle ? StirlingRemainder(b) : kNoValue;
  LogLikelihoods sums{0.0, 0.0};
  for (size_t i = 0; i < group.Data1.size(); ++i) {
    const int32_t y = group.Data1[i];
    const double e = group.Data2[i];
    if (y == 0) {
      sums.Poisson -= ratio * e;
      sums.NegBin += NegBinTerm(0, e, a, b, 0.0, remainderB);
      continue;
    }
    const double common = CountTerm(y);
    sums.Poisson += common - Bd0(y, ratio * e);
    if (hasMle) sums.NegBin += NegBinTerm(y, e, a, b, common, remainderB);
  }
  if (!hasMle) sums.NegBin = kNoValue;
  return sums;
}

std::vector<double> CountTerms(const GroupData& group) {
  std::vector<double> terms(group.Data1.size());
  for (size_t i = 0; i < terms.size(); ++i) terms[i] = group.Data1[i] == 0 ? 0.0 : CountTerm(group.Data1[i]);
  return terms;
}

double GroupNegBinLogLikelihood(const GroupData& group, double a, double b, std::span<const double> countTerms) {
  if (std::isnan(a) || std::isnan(b)) return kNoValue;
  const double remainderB = StirlingRemainder(b);
  double sum = 0.0;
  for (size_t i = 0; i < group.Data1.size(); ++i) {
    sum += NegBinTerm(group.Data1[i], group.Data2[i], a, b, countTerms[i], remainderB);
  }
  return sum;
}

double GroupNegBinLogLikelihood(const GroupData& group, double a, double b) {
  return GroupNegBinLogLikelihood(group, a, b, CountTerms(group));
}

double OverdispersionPValue(double lrt) {
  if (!(lrt > 0.0)) return lrt <= 0.0 ? 1.0 : kNoValue;
  const boost::math::chi_squared_distribution<double, Policy> chiSquare(1.0);
  return Finite(boost::math::cdf(boost::math::complement(chiSquare, lrt)) / 2.0);
}

GroupDiagnostics DiagnoseGroup(const GroupData& group, const GroupResult& result, EstimatorScratch& scratch) {
  GroupDiagnostics g{kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, StatusOf(result.End)};
  const double a = ValueOf(result.MleAlpha);
  const double b = ValueOf(result.MleBeta);
  const LogLikelihoods logLik = GroupLogLikelihoods(group, a, b);
  g.LogLikPoisson = Finite(logLik.Poisson);
  if (std::isnan(a) || std::isnan(b)) return g;

  g.LogLik = Finite(logLik.NegBin);
  g.Lrt = Finite(2.0 * (g.LogLik - g.LogLikPoisson));
  g.POverdispersion = OverdispersionPValue(g.Lrt);

  const DerivativeSums sums = ComputeDerivativeSums(group, a, b, scratch);
  const Information info = ObservedInformation(sums);
  if (info.PositiveDefinite) {
    g.SeAlpha = Finite(1.0 / (info.RootAlpha * std::sqrt(info.OneMinusR2)));
    g.SeBeta = Finite(1.0 / (info.RootBeta * std::sqrt(info.OneMinusR2)));
    g.CorrAlphaBeta = -info.R;
  }
  if (g.Status == FitStatus::Converged) {
    const bool atMaximum = info.PositiveDefinite && NewtonDecrement(sums, info) <= kMaxNewtonDecrement;
    if (!atMaximum) g.Status = FitStatus::Stalled;
  }
  return g;
}

}  // namespace tarnek
