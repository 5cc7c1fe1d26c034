// The maximum of a group's marginal likelihood. See likelihood_maximum.h for
// the model, the search and what it guarantees.
//
// Notation: region i has count y and expected count E; mu = e^eta is the
// prior mean, k = b = 1/phi = e^-u the prior shape, m = mu E the region's
// mean. Per region, with F(k) = sum over l < y of k/(k+l) and
// S(k) = sum over l < y of (k/(k+l))^2,
//   dL/deta      = k (y - m)/(k + m)
//   d2L/deta2    = -[k m/(k + m)] (k + y)/(k + m)
//   d2L/deta du  = (m - y) h(m/k),  h(x) = x/(1 + x)^2
//   dL/du        = -(P1 + P2 + P3)
//   d2L/du2      = P1 + P2 + P3 + P4 + P5 + P6, where
//     P1 = F(k),  P2 = -k log(1 + m/k),  P3 = (m - y) k/(k + m),
//     P4 = -S(k), P5 = k m/(k + m),      P6 = -(m - y) (k/(k + m))^2
// (from d/dk log NegBin = psi(y+k) - psi(k) - log(1 + m/k) + (m - y)/(k + m)
// and d/du = -k d/dk). In pairs: P1 + P4 = sum over l < y of k l/(k + l)^2,
// P2 + P5 = m g(m/k) with g(x) = 1/(1 + x) - log(1 + x)/x, and
// P3 + P6 = (m - y) h(m/k) = d2L/deta du.
#include "estimation/likelihood_maximum.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <span>
#include <vector>

namespace tarnek {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// The relative tolerance of the search (of the log-likelihood, at least 1).
constexpr double kRelativeTolerance = 1e-11;
// The largest phi the intervals reach: b = 1e-200 and its a stay in range.
const double kMaxLogPhi = std::log(1e200);
// Width of the intervals the search starts from, in u.
constexpr double kStartWidth = 1.0;

// What the rounding of a sum over the group's n regions can move, relative
// to the sum of the magnitudes of its terms: (n + 16) ulps of 1, a bound of
// the error of summing n terms one after the other plus that of the terms.
double Rounding(size_t n) { return (static_cast<double>(n) + 16.0) * kEpsilon; }

// The tolerance of the search at the best value found: kRelativeTolerance
// of it (at least of 1), or four times what rounding can move a
// log-likelihood, whose terms are all <= 0, where that is more.
double Tolerance(double best, size_t n) {
  return std::max(kRelativeTolerance, 4.0 * Rounding(n)) * std::max(1.0, std::fabs(best));
}

// k/(k + m) and k m/(k + m) for k, m >= 0 with k + m finite and > 0.
double Share(double k, double m) { return k / (k + m); }
double Harmonic(double k, double m) { return m * (k / (k + m)); }

// F(k) and S(k), see above.
struct CountSums {
  double First;
  double Second;
};

// x1 (psi(x1 + d) - psi(x1)) and x1^2 (psi1(x1) - psi1(x1 + d)) for x1 >= 16
// and d > 0, from the asymptotic series of psi and psi1 to the x^-14 and
// x^-15 terms (the next terms are below 3e-20 relative at x1 = 16). Each
// difference x1^-p - x2^-p is x1^-p (1 - r^p), r = x1/x2; 1 - r^p is formed
// from r^p, with an absolute error of a few ulps of 1, which the factors
// x1^(1-2j)/12 and smaller make negligible against the leading terms, which
// are at least x1 min(1, d/x1)/2.
void ScaledPsiDifferences(double x1, double d, double& first, double& second) {
  static constexpr double kPsi[7] = {1.0 / 12, -1.0 / 120, 1.0 / 252, -1.0 / 240, 1.0 / 132, -691.0 / 32760, 1.0 / 12};
  static constexpr double kPsi1[7] = {1.0 / 6, -1.0 / 30, 1.0 / 42, -1.0 / 30, 5.0 / 66, -691.0 / 2730, 7.0 / 6};
  const double x2 = x1 + d;
  const double logRatio = std::log1p(d / x1);  // log(x2/x1)
  const double r = x1 / x2;
  const double inverseSquare = 1.0 / (x1 * x1);
  double power = x1;  // x1^(1 - 2j)
  double r2j = 1.0;   // r^(2j)
  double s1 = 0.0;
  double s2 = 0.0;
  for (int j = 1; j <= 7; ++j) {
    power *= inverseSquare;
    r2j *= r * r;
    s1 += kPsi[j - 1] * power * (1.0 - r2j);
    s2 += kPsi1[j - 1] * power * (1.0 - r2j * r);
  }
  first = x1 * logRatio + d / (2.0 * x2) + s1;
  second = x1 * (d / x2) + 0.5 * (d / x2) * (1.0 + r) + s2;
}

CountSums SumsOverCount(int32_t y, double k) {
  CountSums s{0.0, 0.0};
  constexpr int32_t kDirect = 48;  // up to this count the terms are summed one by one
  int32_t direct = y;
  if (y > kDirect) direct = k >= 16.0 ? 0 : std::min<int32_t>(y, static_cast<int32_t>(std::ceil(16.0 - k)));
  for (int32_t l = 0; l < direct; ++l) {
    const double t = Share(k, l);
    s.First += t;
    s.Second += t * t;
  }
  if (direct < y) {
    const double x1 = k + direct;
    double first = 0.0;
    double second = 0.0;
    ScaledPsiDifferences(x1, static_cast<double>(y - direct), first, second);
    const double scale = k / x1;
    s.First += scale * first;
    s.Second += scale * scale * second;
  }
  return s;
}

// The group as the search sees it.
struct Counts {
  std::span<const int32_t> Y;
  std::span<const double> E;
  int64_t Total = 0;      // sum of y
  double Expected = 0.0;  // sum of E
  int32_t Positive = 0;   // regions with y >= 1
  double LogPooled = 0.0;
};

// A root of a decreasing function of eta, found by Newton steps kept within
// a bracket (bisection where a step leaves it; steps of at most 2 until
// both ends of the bracket are known). `eval(eta, value, slope, size)` gives
// the function, its derivative (< 0) and the sum of the magnitudes of the
// function's terms. Returns the last point evaluated and those three.
struct Root {
  double Eta;
  double Value;
  double Slope;
  double Size;  // the sum of the magnitudes of the value's terms
};

template <class Eval>
Root SolveDecreasing(const Eval& eval, double eta) {
  double lo = -kInf;
  double hi = kInf;
  Root r{eta, 0.0, 0.0, 0.0};
  for (int iteration = 0; iteration < 400; ++iteration) {
    eval(r.Eta, r.Value, r.Slope, r.Size);
    if (r.Value == 0.0 || !(r.Slope < 0.0)) return r;
    (r.Value > 0.0 ? lo : hi) = r.Eta;
    double step = -r.Value / r.Slope;
    if (std::fabs(step) <= 2.0 * kEpsilon * std::max(1.0, std::fabs(r.Eta))) return r;
    if (!std::isfinite(lo) || !std::isfinite(hi)) step = std::clamp(step, -2.0, 2.0);
    double next = r.Eta + step;
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    if (next == r.Eta || next == lo || next == hi) return r;
    r.Eta = next;
  }
  return r;
}

// How far L(eta, k) can rise above L(eta0, k), for k in an interval, when
// dL/deta at eta0 lies within +-score there and `floor0` bounds -d2L/deta2
// at eta0 from below over the interval (sum of (1 + y/kHi) m/(1 + m/kLo)^2).
// Each region's term of that floor shrinks by at most e^-r when m moves by a
// factor e^(+-r), so within r = 2 score/floor0 of eta0 the slope of dL/deta
// stays below -e^-r floor0, which for r <= log 2 brings it to 0 within r:
// the rise is at most score^2/(2 e^-r floor0). Infinity for larger r (the
// interval is too wide); `radius` is set to r.
double RiseBound(double score, double floor0, double& radius) {
  radius = 0.0;
  if (score == 0.0) return 0.0;
  if (!(floor0 > 0.0)) return kInf;
  radius = 2.0 * score / floor0;
  if (!(radius <= 0.69)) return kInf;
  return score * score / (2.0 * std::exp(-radius) * floor0);
}

// The first stretch, phi in [0, phi_lo]. A region's log NegBin at mean m is
//   log Poisson(y | m) + A - y log(1 + m phi) - log(1 + m phi)/phi + m,
// A = sum over l < y of log(1 + l phi). Bounding log(1 + x) above by its
// series to the x^5 term in A, and below by its series to the x^6 term in
// the other two (the truncated series of log(1 + x) lies above it when it
// ends with a + term, below when with a - term, for every x >= 0), the
// region's log NegBin is at most its log Poisson plus
//   sum over j = 1..5 of phi^j c_j + phi^6 y m^6/6,
//   c_j = (-1)^(j+1) (S_j/j - y m^j/j + m^(j+1)/(j+1)),
// S_j the sum of l^j over l < y (c_1 = ((y - m)^2 - y)/2, the score of
// Dean and Lawless). With m = t E r (r the pooled ratio), the fitted mean
// at phi has 1 - t = phi/Y sum of m (y - m)/(1 + phi m), so d = |t - 1| obeys
//   d <= phi (1 + d) (A + d (1 + d) B)/Y,  A = sum of E r |y - E r|, B = sum of (E r)^2,
// and, being 0 at phi = 0 and continuous, stays below the least root D of
// that bound for every phi up to phi_lo. Over t in [1 - D, 1 + D] each c_j,
// a polynomial in t, is bounded by its values at the ends and at its one
// stationary point; the Poisson part, which falls by Y (t - 1 - log t) >=
// Y d^2/(2 (1 + D)) away from t = 1, takes up the linear part of phi c_1.
// What is left is a polynomial in phi; its largest value on [0, phi_lo] is
// the bound of the stretch above the Poisson model.
class FirstStretch {
 public:
  FirstStretch(const Counts& c, double pooled) {
    n_ = static_cast<double>(c.Y.size());
    for (size_t i = 0; i < c.Y.size(); ++i) {
      const double y = c.Y[i];
      const double m = c.E[i] * pooled;
      // Sums of powers of l over l < y (Faulhaber), from N = y - 1.
      const double big = y > 0.0 ? y - 1.0 : 0.0;
      const double s1 = 0.5 * big * (big + 1.0);
      const double s2 = s1 * (2.0 * big + 1.0) / 3.0;
      const double powers[6] = {s1, s2, s1 * s1, s2 * (3.0 * big * big + 3.0 * big - 1.0) / 5.0,
                                s1 * s1 * (2.0 * big * big + 2.0 * big - 1.0) / 3.0, 0.0};
      double mj = 1.0;
      for (int j = 1; j <= 6; ++j) {
        mj *= m;  // m^j
        if (j <= 5) {
          countSums_[j] += powers[j - 1];
          meanSums_[j] += mj * m;
        }
        crossSums_[j] += y * mj;
      }
      spread_ += m * std::fabs(y - m);
      mMax_ = std::max(mMax_, m);
      total_ += y;
    }
  }

  // The bound of phi in [0, phiLo] above the Poisson model; infinity where
  // the band of t cannot be bounded.
  double Rise(double phiLo) const {
    const double margin = (n_ + 16.0) * kEpsilon;
    // The band: a D with F(D) <= D, F(d) = phiLo (1 + d) (A + d (1 + d) B)/Y,
    // which lies above F's least fixed point (F rises with d). Found by
    // iterating F from 0 and trying a little above each iterate.
    auto f = [&](double d) {
      return phiLo * (1.0 + d) * (spread_ + d * (1.0 + d) * meanSums_[1]) / total_ * (1.0 + margin);
    };
    double d = 0.0;
    for (int iteration = 0;; ++iteration) {
      if (!(d <= 0.5) || iteration == 200) return kInf;
      const double trial = d * (1.0 + 1e-9) + 1e-300;
      if (f(trial) <= trial) {
        d = trial;
        break;
      }
      d = f(d);
    }
    const double tLo = 1.0 - d;
    const double tHi = 1.0 + d;
    // phi c_1(t) - Y (t - 1)^2/(2 tHi) <= phi c_1(1) + phi^2 c_1'(1)^2/(2 (Y/tHi - phiLo c_1'')).
    const double c1 = Bracket(1, 1.0) + margin * Scale(1, tHi);
    const double slope = std::fabs(meanSums_[1] - crossSums_[1]) + margin * (meanSums_[1] + crossSums_[1]);
    const double curvature = total_ / tHi - phiLo * meanSums_[1] * (1.0 + margin);
    if (!(curvature > 0.0)) return kInf;
    double c[7] = {0.0, c1, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (int j = 2; j <= 5; ++j) c[j] = Largest(j, tLo, tHi) + margin * Scale(j, tHi);
    c[2] += slope * slope / (2.0 * curvature) * (1.0 + margin);
    const double tHi3 = tHi * tHi * tHi;
    c[6] = crossSums_[6] * (tHi3 * tHi3) / 6.0 * (1.0 + margin);
    // For phi <= phiLo the terms from phi^3 on are at most phi^3 k3.
    const double k3 = c[3] + std::max(c[4], 0.0) * phiLo + std::max(c[5], 0.0) * phiLo * phiLo +
                      c[6] * phiLo * phiLo * phiLo;
    auto p = [&](double phi) { return phi * (c[1] + phi * (c[2] + phi * k3)); };
    double rise = std::max(0.0, p(phiLo));
    // Stationary points: c1 + 2 c2 phi + 3 k3 phi^2 = 0.
    const double qa = 3.0 * k3;
    const double qb = 2.0 * c[2];
    if (qa != 0.0) {
      const double disc = qb * qb - 4.0 * qa * c[1];
      if (disc >= 0.0) {
        const double root = std::sqrt(disc);
        for (const double phi : {(-qb - root) / (2.0 * qa), (-qb + root) / (2.0 * qa)}) {
          if (phi > 0.0 && phi < phiLo) rise = std::max(rise, p(phi));
        }
      }
    } else if (qb < 0.0) {
      const double phi = -c[1] / qb;
      if (phi > 0.0 && phi < phiLo) rise = std::max(rise, p(phi));
    }
    return std::isfinite(rise) ? rise : kInf;
  }

  // The largest phi_lo (to a factor of 1.1) whose Rise is at most `allowed`;
  // 0 where none above 1e-300 is.
  double Reach(double allowed) const {
    if (!(mMax_ > 0.0) || !std::isfinite(crossSums_[6]) || !std::isfinite(meanSums_[5])) return 0.0;
    double hi = 1.0 / mMax_;
    if (Rise(hi) <= allowed) return hi;
    double lo = hi;
    do {
      hi = lo;
      lo *= 1.0 / 64.0;
      if (lo < 1e-300) return 0.0;
    } while (!(Rise(lo) <= allowed));
    while (hi > 1.1 * lo) {
      const double mid = std::sqrt(lo * hi);
      (Rise(mid) <= allowed ? lo : hi) = mid;
    }
    return lo;
  }

 private:
  // S_j/j - t^j Y_j/j + t^(j+1) M_j/(j+1) summed over the regions (Y_j the
  // sum of y m^j, M_j of m^(j+1)): c_j = (-1)^(j+1) times this; and the sum
  // of the three terms' sizes, for the rounding margin.
  static double Power(double t, int j) {
    double p = t;
    for (int i = 1; i < j; ++i) p *= t;
    return p;
  }
  double Bracket(int j, double t) const {
    const double tj = Power(t, j);
    return countSums_[j] / j - tj * crossSums_[j] / j + tj * t * meanSums_[j] / (j + 1);
  }
  double Scale(int j, double t) const {
    const double tj = Power(t, j);
    return countSums_[j] / j + tj * crossSums_[j] / j + tj * t * meanSums_[j] / (j + 1);
  }
  // The largest c_j over [tLo, tHi]: the bracket falls until t = Y_j/M_j
  // and rises after.
  double Largest(int j, double tLo, double tHi) const {
    if (j % 2 == 1) return std::max(Bracket(j, tLo), Bracket(j, tHi));
    double least = std::min(Bracket(j, tLo), Bracket(j, tHi));
    if (meanSums_[j] > 0.0) {
      const double t = crossSums_[j] / meanSums_[j];
      if (t > tLo && t < tHi) least = std::min(least, Bracket(j, t));
    }
    return -least;
  }

  double n_ = 0.0;
  double total_ = 0.0;
  double spread_ = 0.0;
  double mMax_ = 0.0;
  double countSums_[6] = {};  // [j]: sum of S_j, j = 1..5
  double meanSums_[6] = {};   // [j]: sum of m^(j+1), j = 1..5
  double crossSums_[7] = {};  // [j]: sum of y m^j, j = 1..6
};

// g(x) = 1/(1 + x) - log(1 + x)/x <= 0, so that P2 + P5 = m g(m/k). It
// falls from g(0) = 0 to its minimum at kArgMinG and rises towards 0 after:
// x^2 (1 + x)^2 g'(x) = N(x) = (1 + x)^2 log(1 + x) - x (1 + 2 x), with
// N(0) = N'(0) = 0 and N''(x) = 2 log(1 + x) - 1, so N' falls, then rises
// for good, and N has one root above 0. Below x = 0.01 g is summed from its
// series, sum over j >= 1 of (-1)^j j/(j+1) x^j.
constexpr double kArgMinG = 2.162581587064611;
constexpr double kMinG = -0.21621659550187305;

// g(x), and in `size` the magnitude of what it is formed from.
double G(double x, double& size) {
  if (x < 0.01) {
    double sum = 0.0;
    double power = 1.0;
    for (int j = 1; j <= 9; ++j) {
      power *= -x;
      sum += power * (j / (j + 1.0));
    }
    size = x;
    return sum;
  }
  const double first = 1.0 / (1.0 + x);
  const double second = std::log1p(x) / x;
  size = first + second;
  return first - second;
}

// The minimum of g over [lo, hi], and the magnitude behind it.
double MinG(double lo, double hi, double& size) {
  if (hi <= kArgMinG) return G(hi, size);
  if (lo >= kArgMinG) return G(lo, size);
  size = 1.0;
  return kMinG - 1e-16;
}

// h(x) = x/(1 + x)^2, so that P3 + P6 = -d2L/deta du = (m - y) h(m/k); it
// rises to 1/4 at x = 1 and falls after.
double H(double x) {
  const double t = 1.0 + x;
  return x / t / t;
}

// The smallest and largest products a h for a in [aLo, aHi], h in [hLo, hHi], hLo >= 0.
double MinProduct(double aLo, double hLo, double hHi) { return aLo >= 0.0 ? aLo * hLo : aLo * hHi; }
double MaxProduct(double aHi, double hLo, double hHi) { return aHi <= 0.0 ? aHi * hLo : aHi * hHi; }

// h'(x) = (1 - x)/(1 + x)^3 falls to its minimum -1/27 at x = 2 and rises
// after: its least value over [lo, hi].
double MinSlopeH(double lo, double hi) {
  auto slope = [](double x) {
    const double t = 1.0 + x;
    return (1.0 - x) / (t * t * t);
  };
  if (hi <= 2.0) return slope(hi);
  if (lo >= 2.0) return slope(lo);
  return -1.0 / 27.0;
}

// The largest h(x) over [lo, hi].
double MaxH(double lo, double hi) { return lo <= 1.0 && hi >= 1.0 ? 0.25 : std::max(H(lo), H(hi)); }

// A second lower bound of P1 + ... + P6 for one region over the box, which
// keeps the cancellation of the pairs: with q(x) = k x/(k + x)^2 = h(x/k),
// P1 + P4 = sum over l < y of q(l) and P2 + P5 = -(integral of q from 0 to
// m), so that
//   P1 + ... + P6 = [sum over l < y of q(l) - integral of q from 0 to y]
//                 + integral from m to y of (h(z/k) - h(m/k)) dz.
// The first bracket (the trapezoid rule's q(y)/2 and its error, |q''| <=
// 4 k/(k + x)^3 summed over the cells) is at least -q(y)/2 - min(4 y/k^2,
// 4/k^2 + 2/k)/12, and at least -2 max q (q rises to 1/4 at x = k and falls);
// the second is at least (y - m)^2 min h'/(2 k). `size` is set to a bound of
// the magnitudes the rounding acts on.
double PairedFloor(int32_t count, double mLo, double mHi, double kLo, double kHi, double& size) {
  const double y = count;
  double bracket = 0.0;
  if (count > 0) {
    const double qMax = y >= kLo ? 0.25 : H(y / kLo);
    const double trapezoid = -0.5 * MaxH(y / kHi, y / kLo) - std::min(4.0 * y / kLo, 4.0 / kLo + 2.0) / (12.0 * kLo);
    bracket = std::max(trapezoid, -2.0 * qMax);
  }
  const double slope = MinSlopeH(std::min(y, mLo) / kHi, std::max(y, mHi) / kLo);
  double square;
  if (slope >= 0.0) {
    const double gap = y < mLo ? mLo - y : (y > mHi ? y - mHi : 0.0);
    square = gap * gap * slope / (2.0 * kHi);
  } else {
    const double gap = std::max(std::fabs(y - mLo), std::fabs(y - mHi));
    square = gap * gap * slope / (2.0 * kLo);
  }
  // What the rounding of the gap (a few ulps of y + m) and of the terms can move.
  size = std::fabs(bracket) + (std::fabs(y - mLo) + std::fabs(y - mHi) + y + mHi) * (y + mHi) * std::fabs(slope) / kLo;
  return bracket + square;
}

// A lower bound of the profile's second derivative d2P/du2 for k in
// [kLo, kHi], given that the fitted eta lies within `radius` of log mu0
// there. d2P/du2 = d2L/du2 + (d2L/deta du)^2/(-d2L/deta2) at the fitted
// eta; the first term is bounded below by its three pairs of terms, each
// over the box of k and m: P1 + P4 term by term (k l/(k + l)^2 rises with k
// up to k = l and falls after), P2 + P5 = m g(m/k) by m_hi times the least
// g, P3 + P6 = (m - y) h(m/k) by the ranges of its two factors; the second
// by the least square of the range of d2L/deta du over the largest
// -d2L/deta2. The margin covers the rounding of the terms.
double ProfileCurvatureFloor(const Counts& c, double mu0, double kLo, double kHi, double radius) {
  const double down = std::exp(-radius);
  const double up = std::exp(radius);
  const double rounding = Rounding(c.Y.size());
  double floor = 0.0;
  double magnitude = 0.0;
  double crossLo = 0.0;
  double crossHi = 0.0;
  double crossSize = 0.0;
  double etaEta = 0.0;
  for (size_t i = 0; i < c.Y.size(); ++i) {
    const int32_t count = c.Y[i];
    const double y = count;
    const double m = c.E[i] * mu0;
    const double mLo = m * down;
    const double mHi = m * up;
    // P1 + P4: the term of l at the end of [kLo, kHi] that is further from l;
    // `p14Size` what its rounding acts on (its direct terms' error grows
    // with their number).
    double p14 = 0.0;
    double p14Size = 0.0;
    if (count <= 48) {
      double shares = 0.0;
      for (int32_t l = 1; l < count; ++l) {
        const double at = l <= kLo ? kHi : (l >= kHi ? kLo : (kHi / l > l / kLo ? kHi : kLo));
        const double s = l / (at + l);
        p14 += s - s * s;
        shares += s;
      }
      p14Size = shares * (1.0 + count / 16.0);
    } else {
      CountSums s;
      if (kLo >= y) {
        s = SumsOverCount(count, kHi);
      } else if (kHi <= 1.0) {
        s = SumsOverCount(count, kLo);
      } else {
        s = {SumsOverCount(count, kLo).First, SumsOverCount(count, kHi).Second};
      }
      p14 = s.First - s.Second;
      p14Size = s.First + s.Second;
    }
    // P2 + P5 and P3 + P6 over x = m/k in [mLo/kHi, mHi/kLo].
    const double xLo = mLo / kHi;
    const double xHi = mHi / kLo;
    double gSize = 0.0;
    const double p25 = mHi * MinG(xLo, xHi, gSize);
    const double hLo = std::min(H(xLo), H(xHi));
    const double hHi = MaxH(xLo, xHi);
    const double p36 = MinProduct(mLo - y, hLo, hHi);
    const double p36Size = (y + mHi) * hHi;
    // The better of the two bounds, with the magnitude its rounding acts on.
    const double pieces = p14 + p25 + p36;
    const double piecesSize = p14Size + mHi * gSize + p36Size;
    double pairedSize = 0.0;
    const double paired = PairedFloor(count, mLo, mHi, kLo, kHi, pairedSize);
    const bool usePieces = pieces - rounding * piecesSize >= paired - rounding * pairedSize;
    floor += usePieces ? pieces : paired;
    magnitude += usePieces ? piecesSize : pairedSize;
    crossLo += p36;
    crossHi += MaxProduct(mHi - y, hLo, hHi);
    crossSize += p36Size;
    etaEta += Harmonic(kHi, mHi) * std::max((kHi + y) / (kHi + mLo), (kLo + y) / (kLo + mLo));
  }
  crossLo -= rounding * crossSize;
  crossHi += rounding * crossSize;
  const double cross = crossLo > 0.0 ? crossLo : (crossHi < 0.0 ? -crossHi : 0.0);
  const double gain = etaEta > 0.0 ? cross * cross / (etaEta * (1.0 + rounding)) : 0.0;
  return floor - rounding * magnitude + (std::isfinite(gain) ? gain : 0.0);
}

// For phi >= e^t >= 1: a region with y >= 1 has
//   log NegBin <= -log phi - log y + H(y - 1) e^-t,
// H the harmonic numbers (from 1 + l phi <= (l + e^-t) phi for the rising
// part, y log(m/(1 + m phi)) <= -y log phi and -log(1 + m phi)/phi <= 0),
// one with y = 0 has log NegBin <= 0. Their sum bounds L over phi >= e^t
// (H(j) <= 1 + log j is used).
class Tail {
 public:
  explicit Tail(const Counts& c) : positive_(c.Positive) {
    const double rounding = Rounding(c.Y.size());
    for (const int32_t y : c.Y) {
      if (y < 1) continue;
      logCounts_ += std::log(static_cast<double>(y));
      if (y >= 2) harmonic_ += 1.0 + std::log(static_cast<double>(y - 1));
    }
    logCounts_ *= 1.0 - rounding;
    harmonic_ *= 1.0 + rounding;
  }

  // The bound over u >= t, for t >= 0.
  double Bound(double t) const { return -positive_ * t - logCounts_ + harmonic_ * std::exp(-t); }

  // The least t >= 0 (to 1e-6 relative) whose Bound is at most `floor`;
  // infinity beyond t = 1e4.
  double Start(double floor) const {
    if (Bound(0.0) <= floor) return 0.0;
    double lo = 0.0;
    double hi = 1.0;
    while (Bound(hi) > floor) {
      lo = hi;
      hi *= 2.0;
      if (hi > 1e4) return kInf;
    }
    while (hi - lo > 1e-6 * hi) {
      const double mid = 0.5 * (lo + hi);
      (Bound(mid) > floor ? lo : hi) = mid;
    }
    return hi;
  }

 private:
  double positive_;
  double logCounts_ = 0.0;
  double harmonic_ = 0.0;
};

// The profile at u: the fitted log mean, L there, and an upper bound of the
// profile at u (L plus what the last Newton residual could still add).
struct ProfilePoint {
  double U;
  double Eta;
  double LogLik;  // -infinity where L has no finite value
  double Upper;
};

class Search {
 public:
  Search(const GroupData& group, const Counts& counts, const Tail& tail)
      : group_(group), countTerms_(CountTerms(group)), c_(counts), tail_(tail) {}

  // The fitted eta at k, from `start`.
  Root FitMean(double k, double start) const {
    auto eval = [&](double eta, double& value, double& slope, double& size) {
      const double mu = std::exp(eta);
      double v = 0.0;
      double s = 0.0;
      double z = 0.0;
      for (size_t i = 0; i < c_.Y.size(); ++i) {
        const double m = c_.E[i] * mu;
        const double y = c_.Y[i];
        const double inverse = 1.0 / (k + m);
        const double share = k * inverse;
        const double term = (y - m) * share;
        v += term;
        z += std::fabs(term);
        s -= m * share * ((k + y) * inverse);
      }
      value = v;
      slope = s;
      size = z;
    };
    return SolveDecreasing(eval, start);
  }

  double LogLikAt(double eta, double k) const {
    const double a = k * std::exp(-eta);
    const double value = GroupNegBinLogLikelihood(group_, a, k, countTerms_);
    return std::isfinite(value) ? value : -kInf;
  }

  ProfilePoint Evaluate(double u, double start) {
    const double k = std::exp(-u);
    const Root r = FitMean(k, start);
    ProfilePoint p{u, r.Eta, LogLikAt(r.Eta, k), kInf};
    double radius = 0.0;
    const double rounding = Rounding(c_.Y.size());
    const double rise = RiseBound(std::fabs(r.Value) + rounding * r.Size, -r.Slope * (1.0 - rounding), radius);
    if (std::isfinite(p.LogLik)) p.Upper = p.LogLik + rise + rounding * std::fabs(p.LogLik);
    Offer(p.LogLik, r.Eta, k);
    return p;
  }

  // Keeps the point (a, b) = (alpha, k), log mu = eta, if it is the best so
  // far; alpha is k e^-eta, as LogLikAt forms it, unless given.
  void Offer(double logLik, double eta, double k, double alpha = kNaN) {
    if (logLik > bestLogLik_) {
      bestLogLik_ = logLik;
      bestEta_ = eta;
      bestK_ = k;
      bestAlpha_ = std::isnan(alpha) ? k * std::exp(-eta) : alpha;
    }
  }

  double BestLogLik() const { return bestLogLik_; }
  double BestEta() const { return bestEta_; }
  double BestK() const { return bestK_; }
  double BestAlpha() const { return bestAlpha_; }

  // An upper bound of the profile over [p1.U, p2.U], pc at the middle: the
  // chord through the three values plus the most a second derivative no
  // lower than ProfileCurvatureFloor can add on each half.
  // Beyond phi = 1 the tail's bound holds as well.
  double IntervalBound(const ProfilePoint& p1, const ProfilePoint& pc, const ProfilePoint& p2) const {
    const double tail = p1.U >= 0.0 ? tail_.Bound(p1.U) : kInf;
    return std::min(tail, ChordBound(p1, pc, p2));
  }

 private:
  double ChordBound(const ProfilePoint& p1, const ProfilePoint& pc, const ProfilePoint& p2) const {
    if (!std::isfinite(p1.Upper) || !std::isfinite(pc.Upper) || !std::isfinite(p2.Upper)) return kInf;
    const double kHi = std::exp(-p1.U);  // k falls as u rises
    const double kLo = std::exp(-p2.U);
    const double mu0 = std::exp(pc.Eta);
    // The range of dL/deta at eta0 over the interval (each region's term
    // (y - m) k/(k + m) is monotone in k) and the floor of -d2L/deta2.
    double scoreLo = 0.0;
    double scoreHi = 0.0;
    double size = 0.0;
    double floor0 = 0.0;
    for (size_t i = 0; i < c_.Y.size(); ++i) {
      const double m = c_.E[i] * mu0;
      const double y = c_.Y[i];
      const double atHi = (y - m) * Share(kHi, m);
      const double atLo = (y - m) * Share(kLo, m);
      scoreLo += std::min(atHi, atLo);
      scoreHi += std::max(atHi, atLo);
      size += std::max(std::fabs(atHi), std::fabs(atLo));
      const double share = Share(kLo, m);
      floor0 += (1.0 + y / kHi) * m * share * share;
    }
    const double rounding = Rounding(c_.Y.size());
    const double score = std::max(std::fabs(scoreLo), std::fabs(scoreHi)) + rounding * size;
    double radius = 0.0;
    if (!std::isfinite(RiseBound(score, floor0 * (1.0 - rounding), radius))) return kInf;
    const double concavity = std::max(0.0, -ProfileCurvatureFloor(c_, mu0, kLo, kHi, radius));
    return std::max(Chord(p1.Upper, pc.Upper, pc.U - p1.U, concavity),
                    Chord(pc.Upper, p2.Upper, p2.U - pc.U, concavity));
  }

  // The maximum over t in [0, h] of the chord from a to b plus m t (h - t)/2:
  // a bound of any function with those values at the ends whose second
  // derivative is at least -m.
  // (Plus a few ulps of the ends, for the rounding of this arithmetic.)
  static double Chord(double a, double b, double h, double m) {
    const double margin = 4.0 * kEpsilon * std::max(std::fabs(a), std::fabs(b));
    if (!(m > 0.0)) return std::max(a, b) + margin;
    const double t = std::clamp(0.5 * h + (b - a) / (m * h), 0.0, h);
    return a + (b - a) * (t / h) + 0.5 * m * t * (h - t) + margin;
  }

  const GroupData& group_;
  const std::vector<double> countTerms_;  // each record's CountTerm, for every LogLikAt
  const Counts& c_;
  const Tail& tail_;
  double bestLogLik_ = -kInf;
  double bestEta_ = kNaN;
  double bestK_ = kNaN;
  double bestAlpha_ = kNaN;
};

struct Interval {
  double Bound;
  ProfilePoint Lo, Mid, Hi;
  bool operator<(const Interval& other) const { return Bound < other.Bound; }
};

// The profile's slope dP/du and curvature d2P/du2 at k = e^-u, at the
// fitted eta.
struct Slope {
  double Value;
  double Derivative;
};

Slope ProfileSlope(const Counts& c, double eta, double k) {
  const double mu = std::exp(eta);
  double du = 0.0;
  double duu = 0.0;
  double dee = 0.0;
  double deu = 0.0;
  for (size_t i = 0; i < c.Y.size(); ++i) {
    const int32_t count = c.Y[i];
    const double y = count;
    const double m = c.E[i] * mu;
    const CountSums s = SumsOverCount(count, k);
    const double share = Share(k, m);
    const double harmonic = m * share;
    const double p1 = s.First;
    const double p2 = -k * std::log1p(m / k);
    const double p3 = (m - y) * share;
    const double p4 = -s.Second;
    const double p5 = harmonic;
    const double p6 = -(m - y) * share * share;
    du -= (p1 + p2) + p3;
    duu += ((p1 + p4) + (p2 + p5)) + (p3 + p6);
    dee -= harmonic * ((k + y) / (k + m));
    deu += p3 + p6;
  }
  return {du, duu - deu * deu / dee};
}

// A local maximum of the profile uphill from (u, eta): a bracketed Newton
// iteration on dP/du (steps of at most 1/2, bisection where a step leaves
// the bracket), to the last bits of u.
struct Peak {
  double U;
  double Eta;
};

Peak Climb(const Counts& c, const Search& search, double u, double eta) {
  eta = search.FitMean(std::exp(-u), eta).Eta;
  Slope slope = ProfileSlope(c, eta, std::exp(-u));
  double lo = -kInf;
  double hi = kInf;
  for (int iteration = 0; iteration < 100 && slope.Value != 0.0; ++iteration) {
    (slope.Value > 0.0 ? lo : hi) = u;
    const double step = slope.Derivative < 0.0 ? -slope.Value / slope.Derivative : (slope.Value > 0.0 ? 0.5 : -0.5);
    double next = u + std::clamp(step, -0.5, 0.5);
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    if (std::fabs(next - u) <= 4.0 * kEpsilon * std::max(1.0, std::fabs(u))) break;
    u = next;
    eta = search.FitMean(std::exp(-u), eta).Eta;
    slope = ProfileSlope(c, eta, std::exp(-u));
  }
  return {u, eta};
}

LikelihoodMaximum Finish(MaximumKind kind, double alpha, double beta, double mean, double logLik,
                         double logLikPoisson, bool certified, int32_t intervals) {
  LikelihoodMaximum r;
  r.Kind = kind;
  r.Alpha = alpha;
  r.Beta = beta;
  r.Mean = mean;
  r.LogLik = logLik;
  r.LogLikPoisson = logLikPoisson;
  r.Lrt = kind == MaximumKind::Boundary ? 0.0 : 2.0 * (logLik - logLikPoisson);
  r.POverdispersion = kind == MaximumKind::None ? kNaN : OverdispersionPValue(r.Lrt);
  r.Certified = certified;
  r.Intervals = intervals;
  return r;
}

}  // namespace

LikelihoodMaximum FindLikelihoodMaximum(const GroupData& group, const GroupResult& fit,
                                        const GroupDiagnostics& diagnostics) {
  Counts c;
  c.Y = group.Data1;
  c.E = group.Data2;
  for (size_t i = 0; i < c.Y.size(); ++i) {
    c.Total += c.Y[i];
    c.Expected += c.E[i];
    c.Positive += c.Y[i] > 0 ? 1 : 0;
  }
  const double pooled = static_cast<double>(c.Total) / c.Expected;
  const double poisson = GroupLogLikelihoods(group, kNaN, kNaN).Poisson;
  if (!std::isfinite(poisson) || !std::isfinite(pooled) || !std::isfinite(c.Expected)) {
    return Finish(MaximumKind::None, kNaN, kNaN, kNaN, kNaN, kNaN, false, 0);
  }
  if (diagnostics.Status == FitStatus::Converged && diagnostics.LogLik >= diagnostics.LogLikPoisson) {
    return Finish(MaximumKind::NewtonRaphson, fit.MleAlpha, fit.MleBeta, fit.MleBeta / fit.MleAlpha,
                  diagnostics.LogLik, diagnostics.LogLikPoisson, true, 0);
  }
  if (c.Total == 0) return Finish(MaximumKind::Boundary, kNaN, kNaN, 0.0, poisson, poisson, true, 0);
  c.LogPooled = std::log(pooled);

  const Tail tail(c);
  Search search(group, c, tail);
  bool certified = true;
  // The candidates before the search: the boundary (k infinite) and the
  // legacy fit's point, where it has one.
  search.Offer(poisson, c.LogPooled, kInf);
  if (fit.MleAlpha != NoEstimate && fit.MleBeta != NoEstimate && std::isfinite(diagnostics.LogLik)) {
    search.Offer(diagnostics.LogLik, std::log(fit.MleBeta / fit.MleAlpha), fit.MleBeta, fit.MleAlpha);
  }
  // Where the Dean-Lawless score sum of ((y - m)^2 - y)/2 at phi = 0 is
  // positive, the profile rises from the boundary: the climb from the first
  // Newton step, phi = score/(sum of m^2/2), gives the search a high floor.
  double score = 0.0;
  double information = 0.0;
  for (size_t i = 0; i < c.Y.size(); ++i) {
    const double y = c.Y[i];
    const double m = c.E[i] * pooled;
    score += 0.5 * ((y - m) * (y - m) - y);
    information += 0.5 * m * m;
  }
  if (score > 0.0 && information > 0.0) {
    const Peak peak = Climb(c, search, std::clamp(std::log(score / information), -30.0, 5.0), c.LogPooled);
    search.Offer(search.LogLikAt(peak.Eta, std::exp(-peak.U)), peak.Eta, std::exp(-peak.U));
  }
  const double floorValue = search.BestLogLik();

  // phi in [0, phi_lo].
  // (The Poisson model's maximum may lie above its computed value by what
  // rounding can move it.)
  double phiLo = FirstStretch(c, pooled).Reach(floorValue - poisson + 0.5 * Tolerance(floorValue, c.Y.size()) -
                                               Rounding(c.Y.size()) * std::fabs(poisson));
  if (!(phiLo > 0.0)) {
    phiLo = 1e-300;
    certified = false;
  }
  const double uLo = std::log(phiLo);
  // phi >= e^uHi: nothing there beats the floor (Tail); checked again at the
  // end against the best point found.
  const double uHi = std::max(std::min(tail.Start(floorValue), kMaxLogPhi), uLo + 1.0);

  // [uLo, uHi]: the highest bound first, until none is above the best point.
  std::priority_queue<Interval> open;
  int32_t intervals = 0;
  auto bound = [&](const ProfilePoint& lo, const ProfilePoint& hi) {
    const ProfilePoint mid = search.Evaluate(0.5 * (lo.U + hi.U), 0.5 * (lo.Eta + hi.Eta));
    ++intervals;
    const double b = search.IntervalBound(lo, mid, hi);
    if (b > search.BestLogLik() + Tolerance(search.BestLogLik(), c.Y.size())) open.push({b, lo, mid, hi});
  };
  {
    const int pieces = std::max(1, static_cast<int>(std::ceil((uHi - uLo) / kStartWidth)));
    ProfilePoint left = search.Evaluate(uLo, c.LogPooled);
    for (int j = 1; j <= pieces; ++j) {
      const double u = j == pieces ? uHi : uLo + (uHi - uLo) * j / pieces;
      const ProfilePoint right = search.Evaluate(u, left.Eta);
      bound(left, right);
      left = right;
    }
  }
  while (!open.empty()) {
    const Interval top = open.top();
    if (top.Bound <= search.BestLogLik() + Tolerance(search.BestLogLik(), c.Y.size())) break;
    open.pop();
    if (intervals >= kMaxIntervals || !(top.Mid.U > top.Lo.U && top.Mid.U < top.Hi.U)) {
      certified = false;
      break;
    }
    bound(top.Lo, top.Mid);
    bound(top.Mid, top.Hi);
  }

  const double best = search.BestLogLik();
  if (!(tail.Bound(std::max(uHi, 0.0)) <= best + Tolerance(best, c.Y.size()))) certified = false;
  if (!(best > poisson + Tolerance(poisson, c.Y.size()))) {
    return Finish(MaximumKind::Boundary, kNaN, kNaN, pooled, poisson, poisson, certified, intervals);
  }

  // The polish: the climb from the best point, kept unless L is lower there
  // by more than rounding can explain.
  const Peak peak = Climb(c, search, -std::log(search.BestK()), search.BestEta());
  const double k = std::exp(-peak.U);
  const double value = search.LogLikAt(peak.Eta, k);
  if (value >= best - Rounding(c.Y.size()) * std::fabs(best)) {
    const double alpha = k * std::exp(-peak.Eta);
    return Finish(MaximumKind::Safeguarded, alpha, k, k / alpha, value, poisson, certified, intervals);
  }
  return Finish(MaximumKind::Safeguarded, search.BestAlpha(), search.BestK(), search.BestK() / search.BestAlpha(),
                best, poisson, certified, intervals);
}

RegionPrior PriorOf(const LikelihoodMaximum& maximum) {
  switch (maximum.Kind) {
    case MaximumKind::NewtonRaphson:
    case MaximumKind::Safeguarded: return GammaPriorOf(maximum.Beta, maximum.Alpha);
    case MaximumKind::Boundary: return PointPriorAt(maximum.Mean);
    case MaximumKind::None: return NoPrior();
  }
  return NoPrior();
}

}  // namespace tarnek
