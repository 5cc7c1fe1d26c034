// The Poisson-Gamma regression of one group. See nb_regression.h for the
// model, the fit and the numerics.
#include "estimation/nb_regression.h"

#include <algorithm>  // std::max, std::fill
#include <cmath>      // std::exp, std::log, std::log1p, std::sqrt, std::hypot, std::fabs, std::isfinite
#include <limits>
#include <utility>    // std::swap

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/special_functions/digamma.hpp>
#include <boost/math/special_functions/trigamma.hpp>

#include "estimation/boost_policy.h"
#include "estimation/negbin_terms.h"

namespace tarnek {

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

constexpr int kMaxIterations = 100;  // Newton steps per stage
constexpr int kMaxHalvings = 60;     // halvings of one step
// The Newton decrement (twice what a step can gain, near the maximum),
// relative to max(1, |log-likelihood|): at most kPolished the fit is at its
// maximum; at most kNearMaximum it is there to 1e-10 relative, and a step
// is no longer halved: it is taken unless the log-likelihood falls by more
// than kRounding of itself (its rounding error is far less), at most
// kMaxPolishing times.
constexpr double kPolished = 1e-26;
constexpr double kNearMaximum = 2e-10;
constexpr double kRounding = 1e-13;
constexpr int kMaxPolishing = 3;
// A shape beyond which the fit counts as running off to the boundary.
constexpr double kMaxShape = 1e15;
// A covariate whose spread within the group is at most this fraction of its
// size is constant; a pivot of the scaled cross products at most this
// fraction of its diagonal entry makes a covariate collinear with those before it.
constexpr double kConstant = 1e-10;
constexpr double kAliased = 1e-11;
// Counts up to this sum the inner sums of 1/(b + l) term by term.
constexpr int32_t kSmallCount = 8;

// ---------------------------------------------------------------------------
// Linear algebra of order q, row-major.

// Factors the symmetric positive definite `a` as L L' in place (L in the lower
// triangle). False where a pivot is not above `tolerance` times its diagonal
// entry, or not a finite number above 0.
bool Cholesky(std::vector<double>& a, size_t q, double tolerance) {
  for (size_t j = 0; j < q; ++j) {
    double d = a[j * q + j];
    for (size_t k = 0; k < j; ++k) d -= a[j * q + k] * a[j * q + k];
    if (!(d > 0.0) || !std::isfinite(d) || !(d > tolerance * a[j * q + j])) return false;
    const double root = std::sqrt(d);
    a[j * q + j] = root;
    for (size_t i = j + 1; i < q; ++i) {
      double s = a[i * q + j];
      for (size_t k = 0; k < j; ++k) s -= a[i * q + k] * a[j * q + k];
      a[i * q + j] = s / root;
    }
  }
  return true;
}

// x = L^-1 x.
void ForwardSolve(const std::vector<double>& l, size_t q, std::vector<double>& x) {
  for (size_t i = 0; i < q; ++i) {
    double s = x[i];
    for (size_t k = 0; k < i; ++k) s -= l[i * q + k] * x[k];
    x[i] = s / l[i * q + i];
  }
}

// x = (L L')^-1 x.
void CholeskySolve(const std::vector<double>& l, size_t q, std::vector<double>& x) {
  ForwardSolve(l, q, x);
  for (size_t i = q; i-- > 0;) {
    double s = x[i];
    for (size_t k = i + 1; k < q; ++k) s -= l[k * q + i] * x[k];
    x[i] = s / l[i * q + i];
  }
}

// ---------------------------------------------------------------------------
// The log-likelihood and its derivatives.

// Sums over l = 0 .. y-1 of 1/(b + l) and 1/(b + l)^2, the differences of
// digamma and trigamma between y + b and b: term by term for small counts,
// by their series in 1/b where y < 1e-4 b (to the (y/b)^4 term, relative
// error below 1e-16), through Boost's digamma and trigamma elsewhere.
struct InnerSums {
  double Digamma;   // psi(y + b) - psi(b)
  double Trigamma;  // psi'(b) - psi'(y + b)
};

InnerSums SumsOf(int32_t y, double b, double digammaB, double trigammaB) {
  if (y <= kSmallCount) {
    InnerSums s{0.0, 0.0};
    for (int32_t l = 0; l < y; ++l) {
      const double r = 1.0 / (b + l);
      s.Digamma += r;
      s.Trigamma += r * r;
    }
    return s;
  }
  const double count = y;
  if (count < 1e-4 * b) {
    const double s1 = count * (count - 1.0) / 2.0;              // sum of l
    const double s2 = (count - 1.0) * count * (2.0 * count - 1.0) / 6.0;  // sum of l^2
    const double s3 = s1 * s1;                                  // sum of l^3
    const double x = 1.0 / b;
    return {x * (count - x * (s1 - x * (s2 - x * s3))), x * x * (count - x * (2.0 * s1 - x * (3.0 * s2 - x * 4.0 * s3)))};
  }
  return {boost::math::digamma(count + b, BoostPolicy()) - digammaB,
          trigammaB - boost::math::trigamma(count + b, BoostPolicy())};
}

// The group, scaled: what every evaluation reads.
struct Problem {
  std::span<const int32_t> Counts;
  size_t N;
  size_t P;                  // coefficients: the intercept and the covariates
  const double* Scaled;      // covariate j (coefficient j + 1) at Scaled[j * N + i]
  const double* Offsets;     // log E_i
  const double* CountTerms;  // CountTerm(y_i)
};

// A point of the fit: the coefficients of the scaled covariates and, but in
// the Poisson stage, t = log b; what Evaluate finds there.
struct Point {
  std::vector<double> Gamma;
  double LogShape = kInfinity;
  double Shape = kInfinity;
  double LogLik = -kInfinity;       // -infinity where it has no finite value
  std::vector<double> Score;        // the gradient in (gamma, t)
  std::vector<double> Information;  // -H, the observed information
  std::vector<double> Mean;         // m_i
};

double LinearPredictor(const Problem& pr, const std::vector<double>& gamma, size_t i) {
  double eta = gamma[0];
  for (size_t j = 1; j < pr.P; ++j) eta += pr.Scaled[(j - 1) * pr.N + i] * gamma[j];
  return eta;
}

// The log-likelihood at `pt`, its gradient and observed information, and
// the means; the Poisson regression where `poisson`.
//   l_i = log NegBin(y | m, b), m = E exp(eta), eta = z' gamma:
//   dl/deta = b (y - m)/(b + m),  -d2l/deta2 = (y + b) m b/(b + m)^2,
//   d2l/deta db = m (y - m)/(b + m)^2,
//   dl/db = psi(y + b) - psi(b) - log(1 + m/b) + (m - y)/(b + m),
//   d2l/db2 = -(psi'(b) - psi'(y + b)) + (m^2 + b y)/(b (b + m)^2),
// and with t = log b: dl/dt = b dl/db, d2l/dt2 = b^2 d2l/db2 + b dl/db.
void Evaluate(const Problem& pr, bool poisson, Point& pt, std::vector<double>& z) {
  const size_t p = pr.P;
  const size_t q = p + (poisson ? 0 : 1);
  pt.Score.assign(q, 0.0);
  pt.Information.assign(q * q, 0.0);
  pt.LogLik = -kInfinity;
  double b = kInfinity, remainderB = 0.0, digammaB = 0.0, trigammaB = 0.0;
  if (!poisson) {
    b = pt.Shape = std::exp(pt.LogShape);
    if (!(b > 0.0) || !std::isfinite(b)) return;
    remainderB = StirlingRemainder(b);
    digammaB = boost::math::digamma(b, BoostPolicy());
    trigammaB = boost::math::trigamma(b, BoostPolicy());
  }
  double logLik = 0.0;
  z[0] = 1.0;
  for (size_t i = 0; i < pr.N; ++i) {
    for (size_t j = 1; j < p; ++j) z[j] = pr.Scaled[(j - 1) * pr.N + i];
    const double m = std::exp(pr.Offsets[i] + LinearPredictor(pr, pt.Gamma, i));
    if (!(m > 0.0) || !std::isfinite(m)) return;
    pt.Mean[i] = m;
    const int32_t y = pr.Counts[i];
    const double count = y;
    double u = 0.0, w = 0.0;
    if (poisson) {
      logLik += PoissonLogPmf(y, m, pr.CountTerms[i]);
      u = count - m;
      w = m;
    } else {
      const double rate = b + m;
      const double mr = m / rate;
      logLik += NegBinLogPmf(y, m, b, pr.CountTerms[i], remainderB);
      u = b * (count - m) / rate;
      w = (count + b) * mr * (b / rate);
      const double cross = mr * ((count - m) / rate);
      const InnerSums s = SumsOf(y, b, digammaB, trigammaB);
      const double scoreB = s.Digamma - std::log1p(m / b) + (m - count) / rate;
      const double curvatureB = -s.Trigamma + mr * mr / b + count / (rate * rate);
      pt.Score[p] += b * scoreB;
      for (size_t j = 0; j < p; ++j) pt.Information[p * q + j] -= b * z[j] * cross;
      pt.Information[p * q + p] -= b * b * curvatureB + b * scoreB;
    }
    for (size_t j = 0; j < p; ++j) {
      pt.Score[j] += z[j] * u;
      for (size_t k = 0; k <= j; ++k) pt.Information[j * q + k] += z[j] * z[k] * w;
    }
  }
  for (size_t j = 0; j < q; ++j) {
    for (size_t k = j + 1; k < q; ++k) pt.Information[j * q + k] = pt.Information[k * q + j];
  }
  if (std::isfinite(logLik)) pt.LogLik = logLik;
}

// ---------------------------------------------------------------------------
// Newton's method with step halving.

enum class Ascent { Maximum, Stalled, IterationLimit, ShapeUnbounded };

// The Newton step at `at` into `delta`: (-H)^-1 g, or where -H is not
// positive definite (-H + lambda diag(-H))^-1 g with the least lambda of
// 1e-10, 1e-8, ... 1e10 that makes it so. False where there is none.
bool NewtonStep(const Point& at, size_t q, std::vector<double>& factor, std::vector<double>& delta) {
  factor = at.Information;
  bool ok = Cholesky(factor, q, 0.0);
  for (double lambda = 1e-10; !ok && lambda <= 1e10; lambda *= 100.0) {
    factor = at.Information;
    for (size_t j = 0; j < q; ++j) {
      const double d = std::fabs(at.Information[j * q + j]);
      factor[j * q + j] += lambda * (d > 0.0 ? d : 1.0);
    }
    ok = Cholesky(factor, q, 0.0);
  }
  if (!ok) return false;
  delta = at.Score;
  CholeskySolve(factor, q, delta);
  for (const double d : delta) {
    if (!std::isfinite(d)) return false;
  }
  return true;
}

struct Workspace {
  std::vector<double> Factor, Delta, Z;
};

// Climbs from `at` (evaluated) to the maximum; `trial` is storage for the
// points tried. Counts its steps into `iterations`.
Ascent Maximize(const Problem& pr, bool poisson, Point& at, Point& trial, Workspace& ws, int32_t& iterations) {
  const size_t p = pr.P;
  const size_t q = p + (poisson ? 0 : 1);
  int polishing = 0;
  for (int step = 0;; ++step) {
    if (step == kMaxIterations) return Ascent::IterationLimit;
    if (!NewtonStep(at, q, ws.Factor, ws.Delta)) return Ascent::Stalled;
    double decrement = 0.0;
    for (size_t j = 0; j < q; ++j) decrement += at.Score[j] * ws.Delta[j];
    const double scale = std::max(1.0, std::fabs(at.LogLik));
    if (!(decrement > kPolished * scale)) return Ascent::Maximum;
    const bool nearMaximum = decrement <= kNearMaximum * scale;
    // Near the maximum a step gains less than the log-likelihood's rounding
    // error, so that only a fall beyond that error refuses it.
    const double allowance = nearMaximum ? kRounding * scale : 0.0;
    if (nearMaximum && ++polishing > kMaxPolishing) return Ascent::Maximum;
    bool accepted = false;
    double length = 1.0;
    for (int halving = 0; halving <= kMaxHalvings; ++halving, length *= 0.5) {
      for (size_t j = 0; j < p; ++j) trial.Gamma[j] = at.Gamma[j] + length * ws.Delta[j];
      if (!poisson) trial.LogShape = at.LogShape + length * ws.Delta[p];
      Evaluate(pr, poisson, trial, ws.Z);
      if (trial.LogLik >= at.LogLik - allowance) {
        accepted = true;
        break;
      }
      if (nearMaximum) break;  // the full step was the last worth trying
    }
    ++iterations;
    if (!accepted) return nearMaximum ? Ascent::Maximum : Ascent::Stalled;
    std::swap(at, trial);
    if (!poisson && at.Shape > kMaxShape) return Ascent::ShapeUnbounded;
  }
}

// ---------------------------------------------------------------------------
// The fit's report.

// Fills the estimates, their standard errors, the shape and the means from
// the maximum `at` (of the Poisson regression where `poisson`).
void Report(const Problem& pr, const RegressionData& data, const std::vector<double>& centre,
            const std::vector<double>& spread, bool poisson, const Point& at, std::span<double> means,
            RegressionFit& fit) {
  const size_t p = pr.P;
  const double b = poisson ? kInfinity : at.Shape;
  fit.LogLik = at.LogLik;
  fit.Shape = b;
  for (size_t i = 0; i < pr.N; ++i) means[i] = std::exp(LinearPredictor(pr, at.Gamma, i));

  // beta_j = gamma_j/s_j, beta_0 = gamma_0 - sum of gamma_j c_j/s_j.
  fit.Estimate[0] = at.Gamma[0];
  for (size_t j = 1; j < p; ++j) {
    fit.Estimate[j] = at.Gamma[j] / spread[j - 1];
    fit.Estimate[0] -= at.Gamma[j] * centre[j - 1] / spread[j - 1];
  }

  // The Fisher information of gamma with b fixed, F = Z'WZ, and the shape's
  // observed information with the means fixed.
  std::vector<double> f(p * p, 0.0);
  std::vector<double> z(p, 1.0);
  double informationB = 0.0;
  const double digammaB = poisson ? 0.0 : boost::math::digamma(b, BoostPolicy());
  const double trigammaB = poisson ? 0.0 : boost::math::trigamma(b, BoostPolicy());
  for (size_t i = 0; i < pr.N; ++i) {
    for (size_t j = 1; j < p; ++j) z[j] = pr.Scaled[(j - 1) * pr.N + i];
    const double m = at.Mean[i];
    const double w = poisson ? m : m / (1.0 + m / b);
    for (size_t j = 0; j < p; ++j) {
      for (size_t k = 0; k <= j; ++k) f[j * p + k] += z[j] * z[k] * w;
    }
    if (!poisson) {
      const double rate = b + m;
      const double mr = m / rate;
      informationB += SumsOf(data.Counts[i], b, digammaB, trigammaB).Trigamma - mr * mr / b -
                      static_cast<double>(data.Counts[i]) / (rate * rate);
    }
  }
  if (!poisson && informationB > 0.0 && std::isfinite(informationB)) fit.ShapeSe = 1.0 / std::sqrt(informationB);
  if (!Cholesky(f, p, 0.0)) return;
  // Var(beta_j) = v' F^-1 v = |L^-1 v|^2 with v the row of the map from gamma to beta.
  std::vector<double> v(p);
  for (size_t j = 0; j < p; ++j) {
    std::fill(v.begin(), v.end(), 0.0);
    if (j == 0) {
      v[0] = 1.0;
      for (size_t k = 1; k < p; ++k) v[k] = -centre[k - 1] / spread[k - 1];
    } else {
      v[j] = 1.0 / spread[j - 1];
    }
    ForwardSolve(f, p, v);
    double variance = 0.0;
    for (const double x : v) variance += x * x;
    const double se = std::sqrt(variance);
    if (std::isfinite(se)) fit.StandardError[j] = se;
  }
}

}  // namespace

RegressionFit FitNegBinRegression(const RegressionData& data, std::span<double> means, RegressionScratch& scratch) {
  const size_t n = data.Counts.size();
  const size_t k = data.Covariates.size();
  const size_t p = k + 1;
  RegressionFit fit;
  fit.Estimate.assign(p, kNoValue);
  fit.StandardError.assign(p, kNoValue);
  fit.Shape = fit.ShapeSe = fit.LogLik = kNoValue;
  std::fill(means.begin(), means.end(), kNoValue);

  int64_t counts = 0;
  double expected = 0.0;
  for (size_t i = 0; i < n; ++i) {
    counts += data.Counts[i];
    expected += data.Expected[i];
  }
  if (counts == 0) {
    fit.End = RegressionEnd::NoCounts;
    return fit;
  }
  fit.End = RegressionEnd::NotIdentifiable;
  if (n < p) return fit;

  // Every covariate centred on its mean and scaled by its standard deviation
  // (divisor n); then the cross products of the columns, 1 among them.
  std::vector<double> centre(k), spread(k);
  scratch.Scaled.resize(k * n);
  for (size_t j = 0; j < k; ++j) {
    const std::span<const double> x = data.Covariates[j];
    double sum = 0.0;
    for (const double value : x) sum += value;
    const double c = sum / static_cast<double>(n);
    double squares = 0.0;
    for (const double value : x) squares += (value - c) * (value - c);
    const double s = std::sqrt(squares / static_cast<double>(n));
    if (!(s > kConstant * std::hypot(c, s))) return fit;
    centre[j] = c;
    spread[j] = s;
    for (size_t i = 0; i < n; ++i) scratch.Scaled[j * n + i] = (x[i] - c) / s;
  }
  std::vector<double> crossProducts(p * p, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t a = 0; a < p; ++a) {
      const double za = a == 0 ? 1.0 : scratch.Scaled[(a - 1) * n + i];
      for (size_t c = 0; c <= a; ++c) crossProducts[a * p + c] += za * (c == 0 ? 1.0 : scratch.Scaled[(c - 1) * n + i]);
    }
  }
  if (!Cholesky(crossProducts, p, kAliased)) return fit;

  scratch.Offsets.resize(n);
  scratch.CountTerms.resize(n);
  for (size_t i = 0; i < n; ++i) {
    scratch.Offsets[i] = std::log(data.Expected[i]);
    scratch.CountTerms[i] = CountTerm(data.Counts[i]);
  }
  const Problem pr{data.Counts, n, p, scratch.Scaled.data(), scratch.Offsets.data(), scratch.CountTerms.data()};
  Workspace ws;
  ws.Z.resize(p);
  Point at, trial;
  at.Gamma.assign(p, 0.0);
  at.Gamma[0] = std::log(static_cast<double>(counts) / expected);
  trial.Gamma.resize(p);
  for (Point* point : {&at, &trial}) {
    scratch.Means[point == &trial].resize(n);
    point->Mean.swap(scratch.Means[point == &trial]);
  }
  const auto finish = [&](RegressionEnd end) {
    fit.End = end;
    at.Mean.swap(scratch.Means[0]);
    trial.Mean.swap(scratch.Means[1]);
    return fit;
  };

  // The Poisson regression from the overall ratio.
  Evaluate(pr, true, at, ws.Z);
  if (Maximize(pr, true, at, trial, ws, fit.Iterations) != Ascent::Maximum) return finish(RegressionEnd::IterationLimit);
  double excess = 0.0, squaredMeans = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double m = at.Mean[i];
    const double d = static_cast<double>(data.Counts[i]) - m;
    excess += d * d - static_cast<double>(data.Counts[i]);
    squaredMeans += m * m;
  }
  const auto boundary = [&](const Point& poissonMaximum) {
    Report(pr, data, centre, spread, true, poissonMaximum, means, fit);
    return finish(RegressionEnd::Boundary);
  };
  if (!(excess > 0.0)) return boundary(at);
  Point poissonMaximum = at;

  // Both together, from the moment estimate of b, raised while it lies
  // below the Poisson regression's likelihood.
  at.LogShape = std::log(squaredMeans / excess);
  Evaluate(pr, false, at, ws.Z);
  for (int raise = 0; raise < 30 && !(at.LogLik > poissonMaximum.LogLik); ++raise) {
    at.LogShape += std::log(4.0);
    Evaluate(pr, false, at, ws.Z);
  }
  if (!(at.LogLik > poissonMaximum.LogLik)) return boundary(poissonMaximum);
  const Ascent ascent = Maximize(pr, false, at, trial, ws, fit.Iterations);
  if (ascent == Ascent::ShapeUnbounded) return boundary(poissonMaximum);
  if (ascent != Ascent::Maximum) return finish(RegressionEnd::IterationLimit);
  Report(pr, data, centre, spread, false, at, means, fit);
  return finish(RegressionEnd::Converged);
}

double ChiSquareUpperTail(double x, double df) {
  if (!std::isfinite(x)) return kNoValue;
  if (x <= 0.0) return 1.0;
  const boost::math::chi_squared_distribution<double, BoostPolicy> chiSquare(df);
  return boost::math::cdf(boost::math::complement(chiSquare, x));
}

double TwoSidedNormalP(double z) {
  if (!std::isfinite(z)) return kNoValue;
  return std::erfc(std::fabs(z) / std::sqrt(2.0));
}

}  // namespace tarnek
