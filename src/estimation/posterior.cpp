// Posterior summaries. See posterior.h for the model and the numerics.
#include "estimation/posterior.h"

#include <math.h>  // lgamma_r

#include <cmath>  // std::sqrt, std::exp, std::log, std::log1p, std::erfc
#include <limits>

#include <boost/math/special_functions/gamma.hpp>

#include "core/target_clones.h"
#include "estimation/boost_policy.h"

namespace tarnek {

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

double Finite(double x) { return std::isfinite(x) ? x : kNoValue; }

// --- Gamma(a, 1) for 1 <= a < 1e300: tails and quantiles ----------------------

constexpr double kSmallestShape = 1.0;
constexpr double kLargestShape = 1e300;

// Temme's expansion serves shapes from kTemmeShape on within |eta| <=
// kTemmeEta: there 13 terms of degree 20 leave less than 1e-16.
constexpr double kTemmeShape = 10.0;
constexpr double kTemmeEta = 0.7;
constexpr int kTemmeTerms = 13;
constexpr int kTemmeDegree = 20;
constexpr double kTemme[kTemmeTerms][kTemmeDegree + 1] = {
#include "estimation/posterior_temme.inc"
};

// What every tail and quantile of one shape shares.
struct GammaShape {
  double A;
  double SqrtA;
  double InvA;
  double InvSqrtA;
  double HalfSqrtA;    // sqrt(a/2)
  double InvSqrt2PiA;  // 1/sqrt(2 pi a)
  double Norm;         // 1/(sqrt(2 pi a) Gamma*(a)), Gamma*(a) = Gamma(a)/(sqrt(2 pi/a) (a/e)^a)
  bool Temme;          // a >= kTemmeShape
  bool SeriesBelow;    // the series for P serves every x <= a (a < 25)
  mutable bool HaveSum = false;
  mutable double Sum[kTemmeDegree + 1];  // sum over k of c_k,n a^-k: Temme's sum as a polynomial in eta, once needed
};

GammaShape ShapeOf(double a) {
  GammaShape s;
  s.A = a;
  s.SqrtA = std::sqrt(a);
  s.InvA = 1.0 / a;
  s.InvSqrtA = 1.0 / s.SqrtA;
  s.HalfSqrtA = std::sqrt(0.5 * a);
  constexpr double kSqrt2Pi = 2.5066282746310005024;
  constexpr double kLogSqrt2Pi = 0.91893853320467274178;
  s.InvSqrt2PiA = 1.0 / (kSqrt2Pi * s.SqrtA);
  double logGammaStar;
  if (a >= 10.0) {
    // Stirling's series; its first omitted term, 3617/(122400 a^15), is
    // below 3e-17 from a = 10 on.
    const double r2 = s.InvA * s.InvA;
    logGammaStar =
        s.InvA * (1.0 / 12 - r2 * (1.0 / 360 - r2 * (1.0 / 1260 - r2 * (1.0 / 1680 - r2 * (1.0 / 1188 -
                                                                                           r2 * (691.0 / 360360 -
                                                                                                 r2 * (1.0 / 156)))))));
  } else {
    // lgamma_r: std::lgamma stores the sign in the global signgam, a race
    // between the threads that summarise records at once.
    int sign = 0;
    logGammaStar = lgamma_r(a, &sign) + a - (a - 0.5) * std::log(a) - kLogSqrt2Pi;
  }
  s.Norm = s.InvSqrt2PiA * std::exp(-logGammaStar);
  s.Temme = a >= kTemmeShape;
  s.SeriesBelow = a < 25.0;
  return s;
}

// phi = t - ln(1 + t) for x = a (1 + t), to about 4e-16 relative: from the
// series of 2 atanh(w), w = t/(2 + t), where |t| <= 1/2, and directly beyond
// (from ln(x/a) where x < a/2, where 1 + t would lose digits). Where |t| <=
// 1/2, t - 2 atanh(w) = t^2/(2 + t) - 2 w^3 (1/3 + w^2/5 + w^4/7 + ...); with
// v = w^2 <= 1/9 the terms to v^17/37 leave less than 1e-17 of the first
// (to v^9/21 where v < 1/64, to v^5/13 where v < 1/1024).
double Phi(double x, const GammaShape& s) {
  const double t = (x - s.A) * s.InvA;  // x - a exact where x is within a factor 2 of a
  if (std::fabs(t) > 0.5) return t - (t < -0.5 ? std::log(x * s.InvA) : std::log1p(t));
  const double w = t / (2.0 + t);
  const double v = w * w;
  const double v2 = v * v;
  const double v4 = v2 * v2;
  // Estrin's scheme: pairs, then pairs of pairs.
  constexpr double k[] = {1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,  1.0 / 11, 1.0 / 13, 1.0 / 15, 1.0 / 17, 1.0 / 19, 1.0 / 21,
                          1.0 / 23, 1.0 / 25, 1.0 / 27, 1.0 / 29, 1.0 / 31, 1.0 / 33, 1.0 / 35, 1.0 / 37};
  const double low = (k[0] + v * k[1]) + v2 * (k[2] + v * k[3]) + v4 * ((k[4] + v * k[5]) + v2 * (k[6] + v * k[7]));
  double tail = low;
  if (v >= 1.0 / 1024) {
    const double v8 = v4 * v4;
    const double mid = (k[8] + v * k[9]) + v2 * (k[10] + v * k[11]) + v4 * ((k[12] + v * k[13]) + v2 * (k[14] + v * k[15]));
    tail += v8 * mid;
    if (v >= 1.0 / 64) tail += v8 * v8 * (k[16] + v * k[17]);
  }
  return t * t / (2.0 + t) - 2.0 * w * v * tail;
}

// Four doubles at a time (AVX2 where the CPU has it, else two SSE2 halves).
using Lanes = double __attribute__((vector_size(32)));
constexpr Lanes kLaneStep = {1.0, 2.0, 3.0, 4.0};

// 1 + the sum over n >= 1 of prod_{m <= n} x/(a + m): P(a, x) over the
// prefactor. The terms rise while a + n < x and then fall at least
// geometrically; the sum stops at a term below 2^-56 (the sum is >= 1).
TARNEK_AVX2_CLONES double LowerSeries(double a, double x) {
  Lanes sum = {};
  double carry = 1.0;  // the last term of the block before
  Lanes n = a + kLaneStep;
  for (int block = 0; block < 1 << 20; ++block) {
    const Lanes r = x / n;
    n += 4.0;
    const double p2 = r[0] * r[1];
    const double p4 = p2 * (r[2] * r[3]);
    sum += carry * Lanes{r[0], p2, p2 * r[2], p4};
    carry *= p4;
    if (carry < 0x1p-56) break;
  }
  return 1.0 + ((sum[0] + sum[1]) + (sum[2] + sum[3]));
}

// Q(a, x) over the prefactor, times x/a, x > a + 1.6 sqrt(a): Legendre's continued fraction
// x/(x + 1 - a - 1 (1 - a)/(x + 3 - a - 2 (2 - a)/(x + 5 - a - ...))) by the
// modified Lentz method, to a relative step below 2^-54.
double UpperFraction(double a, double x) {
  constexpr double kTiny = 1e-300;
  double b = x + 1.0 - a;
  double c = 1.0 / kTiny;
  double d = 1.0 / b;
  double f = d;
  for (int n = 1; n < 1 << 20; ++n) {
    const double an = -n * (n - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < kTiny) d = kTiny;
    c = b + an / c;
    if (std::fabs(c) < kTiny) c = kTiny;
    d = 1.0 / d;
    const double step = d * c;
    f *= step;
    if (std::fabs(step - 1.0) < 0x1p-54) break;
  }
  return x * f;
}

// Temme's sum S(eta) = sum_n Sum[n] eta^n, in two Horner chains (even and
// odd powers; the degree is even). The coefficients, sums over k of c_k,n
// a^-k, are formed the first time a shape needs them.
double TemmeSum(const GammaShape& s, double eta) {
  if (!s.HaveSum) {
    // c_k(0)/a^k stays below 1e-16 from k = terms on (c_k(0) < 6e-3).
    const double a = s.A;
    const int terms = a >= 1e16  ? 1
                      : a >= 1e8 ? 2
                      : a >= 1e5 ? 3
                      : a >= 2e3 ? 4
                      : a >= 200 ? 6
                      : a >= 50  ? 8
                      : a >= 20  ? 10
                                 : kTemmeTerms;
    for (int n = 0; n <= kTemmeDegree; ++n) {
      double p = kTemme[terms - 1][n];
      for (int k = terms - 2; k >= 0; --k) p = kTemme[k][n] + s.InvA * p;
      s.Sum[n] = p;
    }
    s.HaveSum = true;
  }
  const double e2 = eta * eta;
  double even = s.Sum[kTemmeDegree];
  double odd = s.Sum[kTemmeDegree - 1];
  for (int n = kTemmeDegree - 2; n >= 2; n -= 2) {
    even = s.Sum[n] + e2 * even;
    odd = s.Sum[n - 1] + e2 * odd;
  }
  even = s.Sum[0] + e2 * even;
  return even + eta * odd;
}

struct GammaTails {
  double Lower;      // P(a, x)
  double Upper;      // Q(a, x)
  double Prefactor;  // x^a e^-x / Gamma(a + 1) = e^(-a phi)/(sqrt(2 pi a) Gamma*(a))
};

// Both tails at x > 0; the smaller one is computed, the other is 1 minus it,
// except up to `seriesTo`: there the series for P gives P and Q = 1 - P (which
// keeps Q's accuracy in absolute terms only). Below the mean: the series for P
// (a < 25), else Temme. Above, up to |eta| <= 0.7 for a >= 10: Temme,
// Q = erfc(eta sqrt(a/2))/2 + e^(-a phi) S(eta)/sqrt(2 pi a) and P =
// erfc(-eta sqrt(a/2))/2 - the same, eta^2/2 = phi. Elsewhere: the series for
// P up to a + 1.6 sqrt(a) (where Q >= 0.05, so 1 - P loses less than 20 times
// the series' few ulps), the fraction for Q beyond.
GammaTails TailsAt(const GammaShape& s, double x, double seriesTo = 0.0) {
  const double phi = Phi(x, s);
  const double e = std::exp(-s.A * phi);
  const double d = e * s.Norm;
  // Outside Temme's range, where d underflows, x lies so far out that the
  // smaller tail, a few times d at most, is 0 to the doubles' range.
  const bool temme = s.Temme && phi <= 0.5 * kTemmeEta * kTemmeEta;
  if (d == 0.0 && !temme) return x < s.A ? GammaTails{0.0, 1.0, 0.0} : GammaTails{1.0, 0.0, 0.0};
  if ((x <= s.A && s.SeriesBelow) || x <= seriesTo || (!s.Temme && x <= s.A + 1.6 * s.SqrtA)) {
    const double lower = d * LowerSeries(s.A, x);
    return {lower, 1.0 - lower, d};
  }
  if (temme) {
    const double eta = x < s.A ? -std::sqrt(2.0 * phi) : std::sqrt(2.0 * phi);
    const double u = eta * s.HalfSqrtA;
    const double r = e * TemmeSum(s, eta) * s.InvSqrt2PiA;
    if (u >= 0.0) {
      const double upper = 0.5 * std::erfc(u) + r;
      return {1.0 - upper, upper, d};
    }
    const double lower = 0.5 * std::erfc(-u) - r;
    return {lower, 1.0 - lower, d};
  }
  if (x <= s.A) {
    const double lower = d * LowerSeries(s.A, x);
    return {lower, 1.0 - lower, d};
  }
  const double upper = d * s.A / x * UpperFraction(s.A, x);
  return {1.0 - upper, upper, d};
}

// The standard normal quantile at p, 0 < p < 1, within 1.2e-9 relative
// (Acklam's rational approximation): a starting value only.
double NormalQuantileEstimate(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                 1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                 6.680131188771972e+01,  -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                 -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                 3.754408661907416e+00};
  if (p < 0.02425 || p > 1 - 0.02425) {
    const double q = std::sqrt(-2 * std::log(p < 0.5 ? p : 1 - p));
    const double z = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
                     ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    return p < 0.5 ? z : -z;
  }
  const double q = p - 0.5;
  const double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

// The quantile of Gamma(a, 1) at lower-tail probability p (upper: at upper
// tail p), z the standard normal quantile at the same lower tail; NaN where it
// did not settle. Start: DiDonato and Morris (1986, eq. 31), a Cornish-Fisher
// expansion in 1/sqrt(a). Then Halley steps on P - p: a step taken where the
// relative error was e leaves about C e^3, C = (h x)^2/12 + (a - 1)/6 with h =
// (a - 1)/x - 1 (from the density's derivatives), and the step is about e;
// the iteration stops once C (1.25 e)^3 < 1e-13 with e < 1e-3.
double GammaQuantile(const GammaShape& s, double p, double z, bool upper) {
  const double a = s.A;
  const double z2 = z * z;
  double x = a + z * s.SqrtA + (z2 - 1) * (1.0 / 3) + (z2 - 7) * z * s.InvSqrtA * (1.0 / 36) -
             (3 * z2 * z2 + 7 * z2 - 16) * s.InvA * (1.0 / 810) +
             ((9 * z2 + 256) * z2 - 433) * z * s.InvA * s.InvSqrtA * (1.0 / 38880);
  if (z == 0.0) {
    // The median: Choi's series a - 1/3 + 8/(405 a) + 184/(25515 a^2) +
    // 2248/(3444525 a^3) - 19006408/(15345358875 a^4).
    const double r = s.InvA;
    x = a - 1.0 / 3 + r * (8.0 / 405 + r * (184.0 / 25515 + r * (2248.0 / 3444525 - r * (19006408.0 / 15345358875))));
  }
  if (!(x > 0.0)) x = 0.5 * (a - 1.0 / 3);  // half the median's start
  // Where the upper tail p is not small, Q to its absolute accuracy will do:
  // the series for P serves farther up.
  const double seriesTo = upper && p >= 0.01 && s.SeriesBelow ? a + 5.0 * s.SqrtA + 5.0 : 0.0;
  for (int step = 0; step < 12; ++step) {
    const GammaTails t = TailsAt(s, x, seriesTo);
    if (!(t.Prefactor > 1e-290)) return kNoValue;
    // Halley: r/(1 - r h/2) with r = g/density = g x/(d a), g = P - p, and
    // h x = a - 1 - x: one division.
    const double g = upper ? p - t.Upper : t.Lower - p;
    const double hx = (a - 1.0) - x;
    double delta = g * x / (t.Prefactor * a - 0.5 * g * hx);
    if (!(x - delta > 0.0)) delta = 0.5 * x;
    x -= delta;
    const double e = 1.25 * std::fabs(delta);  // times x, the new one
    if (e < 1e-3 * x && (hx * hx * (1.0 / 12) + (a - 1.0) * (1.0 / 6)) * e * e * e < 1e-13 * x * x * x) return x;
  }
  return kNoValue;
}

}  // namespace

double PosteriorMean(int32_t y, double e, const RegionPrior& prior) {
  if (!HasPrior(prior)) return kNoValue;
  if (IsPointPrior(prior)) return prior.Mean;
  using Extended = long double;
  return Finite(static_cast<double>((Extended(y) + prior.Shape) / (Extended(prior.Rate) + e)));
}

double PriorMeanOf(const RegionPrior& prior) { return HasPrior(prior) ? Finite(prior.Mean) : kNoValue; }

double PriorSdOf(const RegionPrior& prior) {
  if (!HasPrior(prior)) return kNoValue;
  return IsPointPrior(prior) ? 0.0 : Finite(std::sqrt(prior.Shape) / prior.Rate);
}

PosteriorSummary SummarizePosterior(int32_t y, double e, const RegionPrior& prior, const PosteriorSettings& settings) {
  constexpr PosteriorSummary kNone{kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue, kNoValue};
  if (!HasPrior(prior)) return kNone;
  if (IsPointPrior(prior)) {
    const double m = prior.Mean;
    return {m, 0.0, m, m, m, m > settings.Exceed ? 1.0 : 0.0, m, 0.0};
  }
  const double shape = y + prior.Shape;
  const double rate = prior.Rate + e;
  if (!std::isfinite(shape) || !std::isfinite(rate)) return kNone;
  // The quantiles of Gamma(shape, rate) are those of Gamma(shape, 1) over the
  // rate; the upper one is taken from its upper tail, which keeps its
  // accuracy where (1 + Level)/2 rounds.
  const double tail = (1.0 - settings.Level) / 2.0;
  const double threshold = settings.Exceed * rate;
  double median = kNoValue;
  double lower = kNoValue;
  double upper = kNoValue;
  double pExceed = kNoValue;
  if (shape >= kSmallestShape && shape < kLargestShape) {
    const GammaShape g = ShapeOf(shape);
    const double z = NormalQuantileEstimate(tail);
    median = GammaQuantile(g, 0.5, 0.0, false);
    lower = GammaQuantile(g, tail, z, false);
    upper = GammaQuantile(g, tail, -z, true);
    if (std::isfinite(threshold) && threshold > 0.0) pExceed = TailsAt(g, threshold).Upper;
  }
  // Boost where the paths above do not serve or did not settle.
  if (std::isnan(median)) median = boost::math::gamma_p_inv(shape, 0.5, BoostPolicy());
  if (std::isnan(lower)) lower = boost::math::gamma_p_inv(shape, tail, BoostPolicy());
  if (std::isnan(upper)) upper = boost::math::gamma_q_inv(shape, tail, BoostPolicy());
  if (std::isnan(pExceed) && std::isfinite(threshold)) pExceed = boost::math::gamma_q(shape, threshold, BoostPolicy());
  // A threshold times the rate beyond the doubles lies more than 2^23 times
  // the mean of Gamma(shape, 1) out where the shape is at most 2^1000, and
  // beyond e^708: its tail is 0 to the doubles.
  if (std::isnan(pExceed) && threshold == std::numeric_limits<double>::infinity() && shape <= 0x1p1000) pExceed = 0.0;
  PosteriorSummary s;
  s.Eb = PosteriorMean(y, e, prior);
  s.Sd = Finite(std::sqrt(shape) / rate);
  s.Median = Finite(median / rate);
  s.Lower = Finite(lower / rate);
  s.Upper = Finite(upper / rate);
  s.PExceed = Finite(pExceed);
  s.PriorMean = PriorMeanOf(prior);
  s.PriorSd = PriorSdOf(prior);
  return s;
}

}  // namespace tarnek
