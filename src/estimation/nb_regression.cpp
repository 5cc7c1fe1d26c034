// The Poisson-Gamma regression of one group. See nb_regression.h for the
// model, the fit and the numerics.
#include "estimation/nb_regression.h"

#include <algorithm>  // std::max, std::fill
#include <cmath>      // std::exp, std::log, std::log1p, std::sqrt, std::hypot, std::fabs, std::isfinite, std::ldexp
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
// The first stage, the Poisson regression, stops at this decrement, its
// likelihood then within about as much of its maximum: enough to start the
// second stage from. It is polished where it is the answer, or where its
// likelihood is that close to the second stage's maximum.
constexpr double kNearPoisson = 1e-5;
// A shape beyond which the fit counts as running off to the boundary.
constexpr double kMaxShape = 1e15;
// A covariate whose spread within the group is at most this fraction of its
// size is constant; a pivot of the scaled cross products at most this
// fraction of its diagonal entry makes a covariate collinear with those before it.
constexpr double kConstant = 1e-10;
constexpr double kAliased = 1e-11;
// The profile likelihood's coefficients are fitted to this decrement
// (relative): enough to compare points of the scan of b.
constexpr double kProfiled = 1e-6;
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
  double LogFactorials;      // sum of log y_i!
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

}  // namespace

// Everything a fit works in, kept from group to group.
struct RegressionWork {
  std::vector<double> Scaled, Offsets, CountTerms;  // the group (Problem)
  std::vector<double> Eta, U, W, C;                 // per record, within one evaluation
  std::vector<double> Centre, Spread, Factor, Delta, Vector;
  Point At, Trial, PoissonMaximum, Best, Scan;
};

RegressionScratch::RegressionScratch() : Work(std::make_unique<RegressionWork>()) {}
RegressionScratch::~RegressionScratch() = default;
RegressionScratch::RegressionScratch(RegressionScratch&&) noexcept = default;
RegressionScratch& RegressionScratch::operator=(RegressionScratch&&) noexcept = default;

namespace {

// sum of z_j[i] x[i] y[i] over the records, z_0 = 1.
double Sum(const Problem& pr, size_t j, const double* x, const double* y = nullptr) {
  const double* z = j == 0 ? nullptr : pr.Scaled + (j - 1) * pr.N;
  double s = 0.0;
  for (size_t i = 0; i < pr.N; ++i) s += (z ? z[i] : 1.0) * x[i] * (y ? y[i] : 1.0);
  return s;
}

// The linear predictors z_i' gamma (with the offsets log E_i where asked).
void LinearPredictors(const Problem& pr, const std::vector<double>& gamma, bool offsets, std::vector<double>& eta) {
  for (size_t i = 0; i < pr.N; ++i) eta[i] = (offsets ? pr.Offsets[i] : 0.0) + gamma[0];
  for (size_t j = 1; j < pr.P; ++j) {
    const double* z = pr.Scaled + (j - 1) * pr.N;
    for (size_t i = 0; i < pr.N; ++i) eta[i] += z[i] * gamma[j];
  }
}

// The log-likelihood at `pt`, its gradient and observed information, and
// the means; the Poisson regression where `poisson`.
//   l_i = log NegBin(y | m, b), m = E exp(eta), eta = z' gamma:
//   dl/deta = b (y - m)/(b + m),  -d2l/deta2 = (y + b) m b/(b + m)^2,
//   d2l/deta db = m (y - m)/(b + m)^2,
//   dl/db = psi(y + b) - psi(b) - log(1 + m/b) + (m - y)/(b + m),
//   d2l/db2 = -(psi'(b) - psi'(y + b)) + (m^2 + b y)/(b (b + m)^2),
// and with t = log b: dl/dt = b dl/db, d2l/dt2 = b^2 d2l/db2 + b dl/db.
// The Poisson log-likelihood is summed as y (log E + eta) - m less the log
// factorials, and again term by term (negbin_terms.h) where that sum's
// rounding could reach 1e-14 of it (large counts). `want` says what beyond
// the log-likelihood and the means: nothing, the derivatives in the
// coefficients alone (b fixed; the entries of t stay 0), or all.
enum class Want { LogLik, Coefficients, All };
void Evaluate(const Problem& pr, bool poisson, Point& pt, RegressionWork& w, Want want = Want::All) {
  const size_t n = pr.N, p = pr.P;
  const size_t q = p + (poisson ? 0 : 1);
  pt.LogLik = -kInfinity;
  pt.Score.assign(q, 0.0);
  pt.Information.assign(q * q, 0.0);
  double b = kInfinity, remainderB = 0.0, digammaB = 0.0, trigammaB = 0.0;
  if (!poisson) {
    b = pt.Shape = std::exp(pt.LogShape);
    if (!(b > 0.0) || !std::isfinite(b)) return;
    remainderB = StirlingRemainder(b);
    if (want == Want::All) {
      digammaB = boost::math::digamma(b, BoostPolicy());
      trigammaB = boost::math::trigamma(b, BoostPolicy());
    }
  }
  LinearPredictors(pr, pt.Gamma, true, w.Eta);
  double logLik = 0.0, magnitude = pr.LogFactorials, scoreB = 0.0, curvatureB = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double m = std::exp(w.Eta[i]);
    if (!(m > 0.0) || !std::isfinite(m)) return;
    pt.Mean[i] = m;
    const int32_t y = pr.Counts[i];
    const double count = y;
    if (poisson) {
      logLik += count * w.Eta[i] - m;
      magnitude += std::fabs(count * w.Eta[i]) + m;
      w.U[i] = count - m;
      w.W[i] = m;
      continue;
    }
    logLik += NegBinLogPmf(y, m, b, pr.CountTerms[i], remainderB);
    if (want == Want::LogLik) continue;
    const double rate = b + m;
    const double mr = m / rate;
    w.U[i] = b * (count - m) / rate;
    w.W[i] = (count + b) * mr * (b / rate);
    if (want == Want::Coefficients) continue;
    w.C[i] = mr * ((count - m) / rate);
    const InnerSums s = SumsOf(y, b, digammaB, trigammaB);
    scoreB += s.Digamma - std::log1p(m / b) + (m - count) / rate;
    curvatureB += -s.Trigamma + mr * mr / b + count / (rate * rate);
  }
  if (poisson) {
    logLik -= pr.LogFactorials;
    if (!(magnitude * 0x1p-52 <= 1e-14 * std::max(1.0, std::fabs(logLik)))) {
      logLik = 0.0;
      for (size_t i = 0; i < n; ++i) logLik += PoissonLogPmf(pr.Counts[i], pt.Mean[i], pr.CountTerms[i]);
    }
  }
  if (want == Want::LogLik) {
    if (std::isfinite(logLik)) pt.LogLik = logLik;
    return;
  }
  for (size_t j = 0; j < p; ++j) {
    pt.Score[j] = Sum(pr, j, w.U.data());
    for (size_t k = 0; k <= j; ++k) {
      pt.Information[j * q + k] = k == 0 ? Sum(pr, j, w.W.data()) : Sum(pr, j, w.W.data(), pr.Scaled + (k - 1) * n);
    }
  }
  if (!poisson && want == Want::All) {
    pt.Score[p] = b * scoreB;
    for (size_t j = 0; j < p; ++j) pt.Information[p * q + j] = -b * Sum(pr, j, w.C.data());
    pt.Information[p * q + p] = -(b * b * curvatureB + b * scoreB);
  }
  for (size_t j = 0; j < q; ++j) {
    for (size_t k = j + 1; k < q; ++k) pt.Information[j * q + k] = pt.Information[k * q + j];
  }
  if (std::isfinite(logLik)) pt.LogLik = logLik;
}

// ---------------------------------------------------------------------------
// Newton's method with step halving.

enum class Ascent { Maximum, Stalled, IterationLimit, ShapeUnbounded };

// The Newton step at `at` into `delta`: (-H)^-1 g. Where -H is not positive
// definite (the likelihood is not concave in t = log b far from the maximum:
// near the boundary it rises like S e^-t / 2), the coefficients take their
// Newton step with b fixed (their block of -H is Z'VZ with V > 0) and t a
// step of at most 1 along its score: g_t / max(-H_tt, |g_t|); `concave`
// then is false. False where there is neither.
bool NewtonStep(const Point& at, size_t q, size_t p, std::vector<double>& factor, std::vector<double>& delta,
                bool& concave) {
  factor = at.Information;
  bool ok = concave = Cholesky(factor, q, 0.0);
  if (!ok && q > p) {
    factor = at.Information;
    for (size_t j = 0; j < p; ++j) factor[p * q + j] = factor[j * q + p] = 0.0;
    factor[p * q + p] = std::max(at.Information[p * q + p], std::fabs(at.Score[p]));
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

// Climbs from `at` (evaluated) to the maximum, or to where the decrement is
// at most `tolerance` of max(1, |log-likelihood|), with w.Trial for the
// points tried. Counts its steps into `iterations`.
Ascent Maximize(const Problem& pr, bool poisson, Point& at, RegressionWork& w, int32_t& iterations,
                double tolerance = kPolished) {
  const size_t p = pr.P;
  const size_t q = p + (poisson ? 0 : 1);
  Point& trial = w.Trial;
  trial.Gamma.resize(p);
  int polishing = 0;
  for (int step = 0;; ++step) {
    if (step == kMaxIterations) return Ascent::IterationLimit;
    bool concave = true;
    if (!NewtonStep(at, q, p, w.Factor, w.Delta, concave)) return Ascent::Stalled;
    // A maximum only where the likelihood is concave.
    const Ascent ending = concave ? Ascent::Maximum : Ascent::Stalled;
    double decrement = 0.0;
    for (size_t j = 0; j < q; ++j) decrement += at.Score[j] * w.Delta[j];
    const double scale = std::max(1.0, std::fabs(at.LogLik));
    if (!(decrement > tolerance * scale)) return ending;
    const bool nearMaximum = decrement <= kNearMaximum * scale;
    // Near the maximum a step gains less than the log-likelihood's rounding
    // error, so that only a fall beyond that error refuses it.
    const double allowance = nearMaximum ? kRounding * scale : 0.0;
    if (nearMaximum && ++polishing > kMaxPolishing) return ending;
    bool accepted = false;
    double length = 1.0;
    for (int halving = 0; halving <= kMaxHalvings; ++halving, length *= 0.5) {
      for (size_t j = 0; j < p; ++j) trial.Gamma[j] = at.Gamma[j] + length * w.Delta[j];
      if (!poisson) trial.LogShape = at.LogShape + length * w.Delta[p];
      Evaluate(pr, poisson, trial, w);
      if (trial.LogLik >= at.LogLik - allowance) {
        accepted = true;
        break;
      }
      if (nearMaximum) break;  // the full step was the last worth trying
    }
    ++iterations;
    if (!accepted) return nearMaximum ? ending : Ascent::Stalled;
    std::swap(at, trial);
    if (!poisson && at.Shape > kMaxShape) return Ascent::ShapeUnbounded;
  }
}

// The profile likelihood at t = at.LogShape: the maximum over the
// coefficients with b fixed, by Newton's method from at.Gamma (the
// likelihood is strictly concave in them), to a decrement of kProfiled of
// max(1, |log-likelihood|). `at` holds that maximum's log-likelihood
// (-infinity where it has none); its score and information are those in the
// coefficients alone.
void MaximizeCoefficients(const Problem& pr, Point& at, RegressionWork& w) {
  const size_t p = pr.P, q = p + 1;
  Point& trial = w.Trial;
  trial.Gamma.resize(p);
  trial.LogShape = at.LogShape;
  Evaluate(pr, false, at, w, Want::Coefficients);
  for (int step = 0; step < kMaxIterations && at.LogLik > -kInfinity; ++step) {
    w.Factor.resize(p * p);
    for (size_t j = 0; j < p; ++j) {
      for (size_t k = 0; k < p; ++k) w.Factor[j * p + k] = at.Information[j * q + k];
    }
    if (!Cholesky(w.Factor, p, 0.0)) return;
    w.Delta.assign(at.Score.begin(), at.Score.begin() + static_cast<std::ptrdiff_t>(p));
    CholeskySolve(w.Factor, p, w.Delta);
    double decrement = 0.0;
    for (size_t j = 0; j < p; ++j) decrement += at.Score[j] * w.Delta[j];
    if (!(decrement > kProfiled * std::max(1.0, std::fabs(at.LogLik)))) return;
    bool accepted = false;
    double length = 1.0;
    for (int halving = 0; halving <= kMaxHalvings && !accepted; ++halving, length *= 0.5) {
      for (size_t j = 0; j < p; ++j) trial.Gamma[j] = at.Gamma[j] + length * w.Delta[j];
      Evaluate(pr, false, trial, w, Want::Coefficients);
      accepted = trial.LogLik >= at.LogLik;
    }
    if (!accepted) return;
    std::swap(at, trial);
  }
}

// ---------------------------------------------------------------------------
// Separation: a direction of the coefficients along which the likelihood
// rises for ever.

// The eigenvalues (in `values`) and eigenvectors (the columns of `vectors`)
// of the symmetric `a` of order q, by cyclic Jacobi rotations.
void SymmetricEigen(std::vector<double> a, size_t q, std::vector<double>& values, std::vector<double>& vectors) {
  vectors.assign(q * q, 0.0);
  for (size_t j = 0; j < q; ++j) vectors[j * q + j] = 1.0;
  const auto rotate = [q](std::vector<double>& m, size_t stride, size_t step, size_t j, size_t k, double c, double s) {
    for (size_t i = 0; i < q; ++i) {
      double& x = m[i * stride + j * step];
      double& y = m[i * stride + k * step];
      const double u = x, v = y;
      x = c * u - s * v;
      y = s * u + c * v;
    }
  };
  for (int sweep = 0; sweep < 60; ++sweep) {
    double off = 0.0, diagonal = 0.0;
    for (size_t i = 0; i < q; ++i) {
      for (size_t j = 0; j < q; ++j) (i == j ? diagonal : off) += a[i * q + j] * a[i * q + j];
    }
    if (!(off > 1e-28 * diagonal)) break;
    for (size_t j = 0; j < q; ++j) {
      for (size_t k = j + 1; k < q; ++k) {
        const double ajk = a[j * q + k];
        if (ajk == 0.0) continue;
        const double theta = (a[k * q + k] - a[j * q + j]) / (2.0 * ajk);
        const double t = std::fabs(theta) > 1e150 ? 0.5 / theta
                                                  : std::copysign(1.0, theta) / (std::fabs(theta) + std::hypot(theta, 1.0));
        const double c = 1.0 / std::hypot(t, 1.0), s = t * c;
        rotate(a, q, 1, j, k, c, s);        // the columns j and k
        rotate(a, 1, q, j, k, c, s);        // the rows
        rotate(vectors, q, 1, j, k, c, s);  // V J
      }
    }
  }
  values.resize(q);
  for (size_t j = 0; j < q; ++j) values[j] = a[j * q + j];
}

// Whether the counts are separated: some d != 0 has z_i' d = 0 for every
// record with y_i > 0 and z_i' d <= 0 for every one with y_i = 0 (z_i the
// record's scaled covariates, 1 first). Along such a d the likelihood
// rises without end for every b (the zero counts' terms rise as their means
// fall, the others stay), so that there is no maximum; without one, every
// ray from a point leads the likelihood to -infinity, and a maximum exists
// (at finite coefficients, b finite or at the boundary). Where the positive
// counts' rows have full rank (their cross products pass the pivot check
// of the group's) there is no d. Otherwise the d form the null space N of
// those rows (eigenvalues of their cross products at most kAliased of the
// largest); with A = Z0 N the zero counts'
// rows in it, the question is whether some c != 0 has A c <= 0, a pointed
// cone (A has full column rank, as Z has), nonzero where it has an edge:
// a c orthogonal to r - 1 independent rows of A (r the columns of N), with
// every other row on one side of it. Tried for every such choice where
// there are at most kMaxEdges; beyond (a rare shape of data: many zero
// counts, fewer positive ones than covariates), false.
constexpr size_t kMaxEdges = 20000;
constexpr double kOnTheEdge = 1e-9;  // |a_i' c| at most this of |a_i| |c|: a_i on the hyperplane

bool Separated(const Problem& pr, RegressionWork& w) {
  const size_t n = pr.N, p = pr.P;
  const auto z = [&](size_t i, size_t j) { return j == 0 ? 1.0 : pr.Scaled[(j - 1) * n + i]; };
  std::vector<double> cross(p * p, 0.0), values, vectors;
  for (size_t i = 0; i < n; ++i) {
    if (pr.Counts[i] == 0) continue;
    for (size_t j = 0; j < p; ++j) {
      for (size_t k = 0; k < p; ++k) cross[j * p + k] += z(i, j) * z(i, k);
    }
  }
  // Most groups: the rows with counts have full rank, and no d exists.
  values = cross;
  if (Cholesky(values, p, kAliased)) return false;
  SymmetricEigen(cross, p, values, vectors);
  const double largest = *std::max_element(values.begin(), values.end());
  std::vector<size_t> nullColumns;
  for (size_t j = 0; j < p; ++j) {
    if (!(values[j] > kAliased * largest)) nullColumns.push_back(j);
  }
  const size_t r = nullColumns.size();
  if (r == 0) return false;
  // A's rows, one per zero count that does not lie in the null space's complement.
  std::vector<double>& rows = w.Vector;
  rows.clear();
  for (size_t i = 0; i < n; ++i) {
    if (pr.Counts[i] != 0) continue;
    double norm = 0.0;
    for (size_t j = 0; j < p; ++j) norm += z(i, j) * z(i, j);
    size_t added = 0;
    for (const size_t column : nullColumns) {
      double a = 0.0;
      for (size_t j = 0; j < p; ++j) a += z(i, j) * vectors[j * p + column];
      rows.push_back(a);
      added += std::fabs(a) > kOnTheEdge * std::sqrt(norm);
    }
    if (added == 0) rows.resize(rows.size() - r);
  }
  const size_t m = rows.size() / r;
  // Every row of A on one side of c (none strictly on the other), some off it.
  const auto oneSide = [&](const std::vector<double>& c) {
    bool below = false, above = false;
    for (size_t i = 0; i < m; ++i) {
      double dot = 0.0, norm = 0.0;
      for (size_t j = 0; j < r; ++j) dot += rows[i * r + j] * c[j], norm += rows[i * r + j] * rows[i * r + j];
      if (std::fabs(dot) <= kOnTheEdge * std::sqrt(norm)) continue;
      (dot < 0.0 ? below : above) = true;
    }
    return below != above;
  };
  if (r == 1) return m > 0 && oneSide({1.0});
  // Every choice of r - 1 rows of A, while there are at most kMaxEdges.
  double choices = 1.0;
  for (size_t j = 0; j + 1 < r; ++j) choices = choices * static_cast<double>(m - std::min(m, j)) / static_cast<double>(j + 1);
  if (m + 1 < r || choices > static_cast<double>(kMaxEdges)) return false;
  std::vector<size_t> chosen(r - 1);
  for (size_t j = 0; j + 1 < r; ++j) chosen[j] = j;
  std::vector<double> products(r * r), edgeValues, edgeVectors, c(r);
  for (;;) {
    std::fill(products.begin(), products.end(), 0.0);
    for (const size_t i : chosen) {
      for (size_t j = 0; j < r; ++j) {
        for (size_t k = 0; k < r; ++k) products[j * r + k] += rows[i * r + j] * rows[i * r + k];
      }
    }
    SymmetricEigen(products, r, edgeValues, edgeVectors);
    // c: the eigenvector of the one eigenvalue 0, where the rows are independent.
    size_t smallest = 0, zeros = 0;
    const double top = *std::max_element(edgeValues.begin(), edgeValues.end());
    for (size_t j = 0; j < r; ++j) {
      if (edgeValues[j] < edgeValues[smallest]) smallest = j;
      zeros += !(edgeValues[j] > kAliased * top);
    }
    if (zeros == 1) {
      for (size_t j = 0; j < r; ++j) c[j] = edgeVectors[j * r + smallest];
      if (oneSide(c)) return true;
    }
    // The next choice in lexicographic order.
    size_t j = r - 1;
    while (j > 0 && chosen[j - 1] == m - r + j) --j;
    if (j == 0) return false;
    ++chosen[j - 1];
    for (size_t k = j; k + 1 < r; ++k) chosen[k] = chosen[k - 1] + 1;
  }
}

// ---------------------------------------------------------------------------
// The fit's report.

// Fills the estimates, their standard errors, the shape and the means from
// the maximum `at` (of the Poisson regression where `poisson`).
void Report(const Problem& pr, bool poisson, const Point& at, RegressionWork& w, std::span<double> means,
            RegressionFit& fit) {
  const size_t n = pr.N, p = pr.P;
  const double b = poisson ? kInfinity : at.Shape;
  fit.LogLik = at.LogLik;
  fit.Shape = b;
  LinearPredictors(pr, at.Gamma, false, w.Eta);
  for (size_t i = 0; i < n; ++i) means[i] = std::exp(w.Eta[i]);

  // beta_j = gamma_j/s_j, beta_0 = gamma_0 - sum of gamma_j c_j/s_j.
  fit.Estimate[0] = at.Gamma[0];
  for (size_t j = 1; j < p; ++j) {
    fit.Estimate[j] = at.Gamma[j] / w.Spread[j - 1];
    fit.Estimate[0] -= at.Gamma[j] * w.Centre[j - 1] / w.Spread[j - 1];
  }

  // The Fisher information of gamma with b fixed, F = Z'WZ, W = m/(1 + m/b),
  // and the shape's observed information with the means fixed.
  double informationB = 0.0;
  const double digammaB = poisson ? 0.0 : boost::math::digamma(b, BoostPolicy());
  const double trigammaB = poisson ? 0.0 : boost::math::trigamma(b, BoostPolicy());
  for (size_t i = 0; i < n; ++i) {
    const double m = at.Mean[i];
    w.W[i] = poisson ? m : m / (1.0 + m / b);
    if (!poisson) {
      const double rate = b + m;
      const double mr = m / rate;
      informationB += SumsOf(pr.Counts[i], b, digammaB, trigammaB).Trigamma - mr * mr / b -
                      static_cast<double>(pr.Counts[i]) / (rate * rate);
    }
  }
  if (!poisson && informationB > 0.0 && std::isfinite(informationB)) fit.ShapeSe = 1.0 / std::sqrt(informationB);
  std::vector<double>& f = w.Factor;
  f.assign(p * p, 0.0);
  for (size_t j = 0; j < p; ++j) {
    for (size_t k = 0; k <= j; ++k) f[j * p + k] = k == 0 ? Sum(pr, j, w.W.data()) : Sum(pr, j, w.W.data(), pr.Scaled + (k - 1) * n);
  }
  if (!Cholesky(f, p, 0.0)) return;
  // Var(beta_j) = v' F^-1 v = |L^-1 v|^2 with v the row of the map from
  // gamma to beta. v is taken over 2^e, its largest entry's binade, and the
  // standard error times 2^e again: a covariate of spread near 1e-200 or
  // 1e200 would otherwise take |L^-1 v|^2 beyond the double range, or into
  // its subnormal numbers. Scaling by a power of two is exact, so that
  // where nothing leaves the range the bits are those of the plain sum.
  std::vector<double>& v = w.Vector;
  for (size_t j = 0; j < p; ++j) {
    v.assign(p, 0.0);
    if (j == 0) {
      v[0] = 1.0;
      for (size_t k = 1; k < p; ++k) v[k] = -w.Centre[k - 1] / w.Spread[k - 1];
    } else {
      v[j] = 1.0 / w.Spread[j - 1];
    }
    double largest = 0.0;
    for (const double x : v) largest = std::max(largest, std::fabs(x));
    if (!(largest > 0.0) || !std::isfinite(largest)) continue;
    const int e = std::ilogb(largest);
    for (double& x : v) x = std::ldexp(x, -e);
    ForwardSolve(f, p, v);
    double variance = 0.0;
    for (const double x : v) variance += x * x;
    const double se = std::ldexp(std::sqrt(variance), e);
    if (std::isfinite(se) && se > 0.0) fit.StandardError[j] = se;
  }
}

}  // namespace

RegressionFit FitNegBinRegression(const RegressionData& data, std::span<double> means, RegressionScratch& scratch,
                                  const RegressionStart& start) {
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
  RegressionWork& w = *scratch.Work;
  w.Centre.resize(k);
  w.Spread.resize(k);
  w.Scaled.resize(k * n);
  for (size_t j = 0; j < k; ++j) {
    const std::span<const double> x = data.Covariates[j];
    double sum = 0.0;
    for (const double value : x) sum += value;
    const double c = sum / static_cast<double>(n);
    // The spread, its squares taken of the deviations over the largest one
    // (no overflow for covariates near the double range).
    double largest = 0.0, squares = 0.0;
    for (const double value : x) largest = std::max(largest, std::fabs(value - c));
    for (const double value : x) squares += ((value - c) / largest) * ((value - c) / largest);
    const double s = largest > 0.0 ? largest * std::sqrt(squares / static_cast<double>(n)) : 0.0;
    if (!(s > kConstant * std::hypot(c, s))) return fit;
    w.Centre[j] = c;
    w.Spread[j] = s;
    for (size_t i = 0; i < n; ++i) w.Scaled[j * n + i] = (x[i] - c) / s;
  }
  w.Offsets.resize(n);
  w.CountTerms.resize(n);
  double logFactorials = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const int32_t y = data.Counts[i];
    w.Offsets[i] = std::log(data.Expected[i]);
    w.CountTerms[i] = CountTerm(y);
    // log y! = y log y - y - c(y), c the count term (negbin_terms.h).
    if (y > 0) logFactorials += y * std::log(static_cast<double>(y)) - y - w.CountTerms[i];
  }
  for (std::vector<double>* v : {&w.Eta, &w.U, &w.W, &w.C}) v->resize(n);
  const Problem pr{data.Counts, n, p, w.Scaled.data(), w.Offsets.data(), w.CountTerms.data(), logFactorials};
  std::vector<double>& crossProducts = w.Factor;
  crossProducts.assign(p * p, 0.0);
  std::fill(w.W.begin(), w.W.end(), 1.0);  // weights 1: the unweighted cross products
  for (size_t a = 0; a < p; ++a) {
    for (size_t c = 0; c <= a; ++c) crossProducts[a * p + c] = c == 0 ? Sum(pr, a, w.W.data()) : Sum(pr, a, w.W.data(), pr.Scaled + (c - 1) * n);
  }
  if (!Cholesky(crossProducts, p, kAliased)) return fit;
  // Separated counts: no maximum, a coefficient runs to infinity.
  if (k > 0 && Separated(pr, w)) {
    fit.End = RegressionEnd::IterationLimit;
    return fit;
  }

  Point& at = w.At;
  for (Point* point : {&w.At, &w.Trial, &w.PoissonMaximum, &w.Best, &w.Scan}) point->Mean.resize(n);
  const bool started = start.Shape > 0.0 && start.Shape <= kMaxShape;
  const auto finish = [&](RegressionEnd end) {
    fit.End = end;
    return fit;
  };

  // The Poisson regression from the overall ratio, near its maximum.
  at.Gamma.assign(p, 0.0);
  at.Gamma[0] = std::log(static_cast<double>(counts) / expected);
  Evaluate(pr, true, at, w);
  if (Maximize(pr, true, at, w, fit.Iterations, kNearPoisson) != Ascent::Maximum) {
    return finish(RegressionEnd::IterationLimit);
  }
  double excess = 0.0, squaredMeans = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double m = at.Mean[i];
    const double d = static_cast<double>(data.Counts[i]) - m;
    excess += d * d - static_cast<double>(data.Counts[i]);
    squaredMeans += m * m;
  }
  Point& poissonMaximum = w.PoissonMaximum;
  poissonMaximum = at;
  // The Poisson regression's likelihood lies at most about kNearPoisson of
  // itself above this one's; polished where that could matter.
  const double poissonGap = kNearPoisson * std::max(1.0, std::fabs(poissonMaximum.LogLik));
  bool poissonPolished = false;
  const auto polishPoisson = [&] {
    poissonPolished = true;
    return Maximize(pr, true, poissonMaximum, w, fit.Iterations) == Ascent::Maximum;
  };
  // The boundary: the Poisson regression polished.
  const auto boundary = [&] {
    if (!poissonPolished && !polishPoisson()) return finish(RegressionEnd::IterationLimit);
    std::swap(at, poissonMaximum);
    Report(pr, true, at, w, means, fit);
    return finish(RegressionEnd::Boundary);
  };

  // Where the joint fit starts: the best of these points.
  //   - The given start: b there, the Poisson regression's coefficients (the
  //     given intercept where there are no covariates); with covariates and
  //     a given intercept, also that intercept with every slope 0, the
  //     maximum of the model without covariates, so that the fit ends no
  //     lower than that model (which it holds).
  //   - Where S > 0 (but for a started fit without covariates), the moment
  //     estimate of b, sum of m^2 / S, with the Poisson regression's
  //     coefficients: the likelihood in b can have two maxima, and a given
  //     b may lie near the lower.
  //   - Where S <= 0 and none of these lies above the Poisson regression,
  //     the profile likelihood (the coefficients fitted to each b) at
  //     b = 4^6, 4^5, ... 4^-2: the likelihood falls from the boundary into
  //     finite b there, yet may rise again to a higher maximum, which the
  //     scan finds where it is not narrower in log b than the scan's steps.
  // The scan's point chosen is evaluated again with every derivative.
  Point& best = w.Best;
  best.LogLik = -kInfinity;
  const auto tryPoint = [&](double shape, const std::vector<double>* gamma) {
    at.Gamma = gamma != nullptr ? *gamma : poissonMaximum.Gamma;
    at.LogShape = std::log(shape);
    Evaluate(pr, false, at, w);
    if (at.LogLik > best.LogLik) std::swap(at, best);
  };
  if (started) {
    std::vector<double>& nullModel = w.Delta;
    nullModel.assign(p, 0.0);
    nullModel[0] = start.Intercept;
    if (k == 0 && std::isfinite(start.Intercept)) {
      tryPoint(start.Shape, &nullModel);
    } else {
      tryPoint(start.Shape, nullptr);
      if (std::isfinite(start.Intercept)) tryPoint(start.Shape, &nullModel);
    }
  }
  if (excess > 0.0 && (!started || k > 0)) tryPoint(squaredMeans / excess, nullptr);
  bool scanned = false;
  if (!(excess > 0.0) && !(best.LogLik > poissonMaximum.LogLik)) {
    Point& scan = w.Scan;
    scan.Gamma = poissonMaximum.Gamma;
    for (int power = 6; power >= -2; --power) {
      scan.LogShape = power * std::log(4.0);
      MaximizeCoefficients(pr, scan, w);
      if (!(scan.LogLik > -kInfinity)) {
        scan.Gamma = poissonMaximum.Gamma;
      } else if (scan.LogLik > best.LogLik) {
        best.Gamma = scan.Gamma;
        best.LogShape = scan.LogShape;
        best.LogLik = scan.LogLik;
        scanned = true;
      }
    }
  }
  std::swap(at, best);
  if (scanned) Evaluate(pr, false, at, w);
  for (int raise = 0; excess > 0.0 && raise < 30 && !(at.LogLik > poissonMaximum.LogLik); ++raise) {
    at.LogShape += std::log(4.0);
    Evaluate(pr, false, at, w);
  }
  if (!(at.LogLik > poissonMaximum.LogLik)) return boundary();
  const Ascent ascent = Maximize(pr, false, at, w, fit.Iterations);
  if (ascent == Ascent::ShapeUnbounded) return boundary();
  if (ascent != Ascent::Maximum) return finish(RegressionEnd::IterationLimit);
  if (!(at.LogLik > poissonMaximum.LogLik + poissonGap)) {
    if (!polishPoisson()) return finish(RegressionEnd::IterationLimit);
    if (!(at.LogLik > poissonMaximum.LogLik)) return boundary();
  }
  Report(pr, false, at, w, means, fit);
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
