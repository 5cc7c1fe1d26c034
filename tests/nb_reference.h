// Test-only maximisation of the negative-binomial (Poisson-Gamma) likelihood,
// written apart from the library's fits: y_i ~ NegBin(mean m_i = E_i mu_i,
// size b), log mu_i = beta_0 + x_i' beta. Without covariates it is the
// model of the group estimator, b = Beta and mu = Beta/Alpha (phi = 1/b).
//
// The log-likelihood is summed term by term in long double (sum over l < y
// of log(b + l), no log-Gamma differences). The profile over b fits each b's
// coefficients by Newton's method with step halving (Gaussian elimination
// without pivots: X'WX is positive definite). The maximum is the best of the
// Poisson model (b = infinity) and of a grid in log b from -10 to 18 by 0.2,
// whose three best local maxima are polished by golden-section search. The
// profile's stationary point in b comes by bisection on its slope.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnek::reference {

class NegBinMaximum {
 public:
  using Real = long double;

  NegBinMaximum(std::span<const int32_t> y, std::span<const double> e, std::vector<std::vector<double>> x = {})
      : y_(y), e_(e), x_(std::move(x)), p_(x_.size() + 1), m_(y.size()) {}

  // The log-likelihood at the coefficients `beta` (the intercept first) and
  // size b (infinity: the Poisson model).
  Real LogLik(const std::vector<Real>& beta, Real b) const { return Constant(b) + Rest(beta, b); }

  // The maximum over the coefficients at b, from `beta`, which it updates.
  Real Profile(Real b, std::vector<Real>& beta) const {
    const Real constant = Constant(b);
    Real value = constant + Rest(beta, b);
    for (int step = 0; step < 200; ++step) {
      const size_t w = p_ + 1;
      std::vector<Real> a(p_ * w, 0);  // [X'WX | X'u], W and u of the observed information and the score
      for (size_t i = 0; i < y_.size(); ++i) {
        const Real m = m_[i], y = y_[i];
        const Real weight = std::isinf(b) ? m : (y + b) * m * b / ((b + m) * (b + m));
        const Real u = std::isinf(b) ? y - m : b * (y - m) / (b + m);
        for (size_t j = 0; j < p_; ++j) {
          for (size_t k = 0; k < p_; ++k) a[j * w + k] += X(i, j) * weight * X(i, k);
          a[j * w + p_] += X(i, j) * u;
        }
      }
      for (size_t c = 0; c < p_; ++c) {
        for (size_t r = c + 1; r < p_; ++r) {
          const Real f = a[r * w + c] / a[c * w + c];
          for (size_t k = c; k < w; ++k) a[r * w + k] -= f * a[c * w + k];
        }
      }
      std::vector<Real> delta(p_);
      for (size_t c = p_; c-- > 0;) {
        delta[c] = a[c * w + p_];
        for (size_t k = c + 1; k < p_; ++k) delta[c] -= a[c * w + k] * delta[k];
        delta[c] /= a[c * w + c];
      }
      Real length = 1, size = 0;
      for (const Real d : delta) size = std::max(size, std::fabs(d));
      for (int halving = 0; halving < 60; ++halving, length /= 2) {
        std::vector<Real> trial = beta;
        for (size_t j = 0; j < p_; ++j) trial[j] += length * delta[j];
        const Real v = constant + Rest(trial, b);
        if (v >= value || size * length < 1e-8L) {  // short of that, rounding may hide the rise
          beta = trial, value = v;
          break;
        }
      }
      Rest(beta, b);  // the means at beta
      if (size * length < 1e-12L) break;
    }
    return value;
  }

  // The Poisson model's maximum.
  Real Poisson() const {
    std::vector<Real> beta = Start();
    return Profile(INFINITY, beta);
  }

  // The largest log-likelihood.
  Real Maximum() const {
    constexpr int kLast = 140;
    std::vector<Real> beta = Start();
    Real best = Profile(INFINITY, beta);
    std::vector<Real> grid(kLast + 1);
    std::vector<std::vector<Real>> coefficients(kLast + 1);
    for (int j = kLast; j >= 0; --j) grid[j] = Profile(std::exp(LogSize(j)), beta), coefficients[j] = beta;
    std::vector<int> peaks;
    for (int j = 0; j <= kLast; ++j) {
      if ((j == 0 || grid[j] >= grid[j - 1]) && (j == kLast || grid[j] >= grid[j + 1])) peaks.push_back(j);
    }
    std::sort(peaks.begin(), peaks.end(), [&](int a, int b) { return grid[a] > grid[b]; });
    for (size_t k = 0; k < peaks.size() && k < 3; ++k) {
      const Real g = (std::sqrt(5.0L) - 1) / 2;
      std::vector<Real> from = coefficients[peaks[k]];
      const auto f = [&](Real u) { return Profile(std::exp(u), from); };
      Real a = LogSize(peaks[k] - 1), b = LogSize(peaks[k] + 1);
      Real c = b - g * (b - a), d = a + g * (b - a), fc = f(c), fd = f(d);
      for (int it = 0; it < 50; ++it) {
        if (fc > fd) {
          b = d, d = c, fd = fc, c = b - g * (b - a), fc = f(c);
        } else {
          a = c, c = d, fc = fd, d = a + g * (b - a), fd = f(d);
        }
      }
      best = std::max({best, fc, fd, grid[peaks[k]]});
    }
    return best;
  }

  // The size b in [lo, hi] where the profile's slope falls through 0, the
  // slope being the partial derivative in b at the fitted coefficients:
  //   sum over l < y of 1/(b + l) - log(1 + m/b) + (m - y)/(b + m).
  Real StationarySize(Real lo, Real hi) const {
    std::vector<Real> beta = Start();
    for (int k = 0; k < 80; ++k) {
      const Real b = std::sqrt(lo * hi);
      Profile(b, beta);
      Real slope = 0;
      for (size_t i = 0; i < y_.size(); ++i) {
        for (int l = 0; l < y_[i]; ++l) slope += 1 / (b + l);
        slope += -std::log1p(m_[i] / b) + (m_[i] - y_[i]) / (b + m_[i]);
      }
      (slope > 0 ? lo : hi) = b;
    }
    return std::sqrt(lo * hi);
  }

 private:
  static Real LogSize(int j) { return -10 + 0.2L * j; }
  Real X(size_t i, size_t j) const { return j == 0 ? 1 : x_[j - 1][i]; }

  // The intercept at the pooled ratio, the other coefficients 0.
  std::vector<Real> Start() const {
    std::vector<Real> beta(p_, 0);
    Real total = 0, expected = 0;
    for (size_t i = 0; i < y_.size(); ++i) total += y_[i], expected += e_[i];
    beta[0] = std::log(total / expected);
    return beta;
  }

  // The terms without the coefficients: log((b + y - 1)!/((b - 1)! y!)).
  Real Constant(Real b) const {
    Real sum = 0;
    for (const int32_t y : y_) {
      for (int l = 0; l < y; ++l) sum += (std::isinf(b) ? 0 : std::log(b + l)) - std::log(Real(l + 1));
    }
    return sum;
  }

  // The terms with them; leaves the means in m_.
  Real Rest(const std::vector<Real>& beta, Real b) const {
    Real sum = 0;
    for (size_t i = 0; i < y_.size(); ++i) {
      Real eta = beta[0];
      for (size_t j = 1; j < p_; ++j) eta += x_[j - 1][i] * beta[j];
      const Real m = m_[i] = e_[i] * std::exp(eta);
      sum += std::isinf(b) ? y_[i] * std::log(m) - m : y_[i] * std::log(m / (b + m)) - b * std::log1p(m / b);
    }
    return sum;
  }

  std::span<const int32_t> y_;
  std::span<const double> e_;
  std::vector<std::vector<double>> x_;
  size_t p_;
  mutable std::vector<Real> m_;
};

}  // namespace tarnek::reference
