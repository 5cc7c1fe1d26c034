// Marshall's global moment estimator. See marshall_prior.h.
#include "estimation/marshall_prior.h"

#include <cmath>
#include <limits>

namespace tarnek {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A sum with Neumaier's compensation: the rounding error of every addition
// is kept and added at the end.
class CompensatedSum {
 public:
  void Add(double x) {
    const double t = sum_ + x;
    error_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
    sum_ = t;
  }
  double Value() const { return sum_ + error_; }

 private:
  double sum_ = 0.0;
  double error_ = 0.0;
};

}  // namespace

MarshallEstimate EstimateMarshall(const GroupData& group) {
  const size_t n = group.Data1.size();
  int64_t counts = 0;
  CompensatedSum expected;
  for (size_t i = 0; i < n; ++i) {
    counts += group.Data1[i];
    expected.Add(group.Data2[i]);
  }
  const double sumE = expected.Value();
  MarshallEstimate m{kNaN, kNaN, kNaN};
  const double b = static_cast<double>(counts) / sumE;
  if (!std::isfinite(b) || !std::isfinite(sumE)) return m;
  m.Mean = b;
  CompensatedSum squares;
  for (size_t i = 0; i < n; ++i) {
    const double e = group.Data2[i];
    const double d = group.Data1[i] / e - b;
    squares.Add(e * (d * d));
  }
  const double s2 = squares.Value() / sumE;
  if (!std::isfinite(s2)) return m;
  m.WeightedVariance = s2;
  const double a = s2 - b / (sumE / static_cast<double>(n));
  m.Variance = a > 0.0 ? a : 0.0;
  return m;
}

RegionPrior MarshallPrior(const MarshallEstimate& estimate) {
  const double b = estimate.Mean;
  const double a = estimate.Variance;
  if (std::isnan(b) || std::isnan(a)) return NoPrior();
  if (a == 0.0) return PointPriorAt(b);
  // The shape b^2/a as b (b/a), or b/(a/b) where b/a is below the normal
  // range: b^2 alone may underflow where the shape does not.
  const double rate = b / a;
  const double shape = rate >= std::numeric_limits<double>::min() ? b * rate : b / (a / b);
  if (!std::isfinite(shape) || !std::isfinite(rate)) return PointPriorAt(b);
  return GammaPriorOf(shape, rate);  // none where the shape or b/a falls to 0
}

}  // namespace tarnek
