// Local priors: one pass for the ratios and local means, one for the
// spreads C_i, then each region's prior from m_i and v_i.
#include "estimation/local_prior.h"

#include <cmath>  // std::isfinite

namespace tarnek {

namespace {

// The prior of mean m and variance v (both finite, m >= 0, v >= 0).
RegionPrior PriorOf(double m, double v) {
  if (m == 0.0 || v == 0.0) return PointPriorAt(m);
  return GammaPriorOf(m * m / v, m / v);  // none when either leaves the double range
}

// Calls visit(j) for every j of N(i): the region among its neighbours, before
// the first one of a higher index (so in ascending order where the list is).
template <typename Visit>
void ForNeighbourhood(const NeighbourLists& neighbours, size_t i, Visit visit) {
  bool own = false;
  for (const uint32_t j : neighbours.Of(i)) {
    if (!own && j > i) {
      visit(i);
      own = true;
    }
    visit(j);
  }
  if (!own) visit(i);
}

}  // namespace

void FillLocalPriors(LocalPriorKind kind, const GroupData& group, const NeighbourLists& neighbours,
                     std::span<RegionPrior> priors, LocalPriorScratch& scratch) {
  const size_t n = group.Data1.size();
  std::vector<double>& ratio = scratch.Ratio;
  std::vector<double>& mean = scratch.Mean;
  ratio.resize(n);
  mean.resize(n);
  for (size_t i = 0; i < n; ++i) ratio[i] = group.Data1[i] / group.Data2[i];
  for (size_t i = 0; i < n; ++i) {
    double sumY = 0.0, sumE = 0.0;
    ForNeighbourhood(neighbours, i, [&](size_t j) {
      sumY += group.Data1[j];
      sumE += group.Data2[j];
    });
    mean[i] = sumY / sumE;
  }
  const bool ownMeans = kind == LocalPriorKind::OwnMeans;
  for (size_t i = 0; i < n; ++i) {
    const double m = mean[i];
    double sumE = 0.0, spread = 0.0;
    ForNeighbourhood(neighbours, i, [&](size_t j) {
      sumE += group.Data2[j];
      const double d = ratio[j] - (ownMeans ? mean[j] : m);
      spread += group.Data2[j] * (d * d);
    });
    const double averageE = sumE / static_cast<double>(neighbours.Of(i).size() + 1);
    double v = spread / sumE - m / averageE;
    if (v < 0.0) v = 0.0;
    priors[i] = std::isfinite(m) && std::isfinite(v) ? PriorOf(m, v) : NoPrior();
  }
}

}  // namespace tarnek
