// Marshall's global moment estimator of the prior, the estimator of spdep's
// EBest (family "poisson"), epiR's epi.empbayes and GeoDa's EB rate.
//
// For a group with counts y and expected counts E (n regions), with the
// crude ratios r = y/E:
//   b   = (sum of y)/(sum of E), the prior mean;
//   s^2 = sum of E (r - b)^2 / (sum of E), the E-weighted variance of the ratios;
//   a   = s^2 - b/(mean of E), truncated at 0, the prior variance: the
//         weighted variance less the Poisson noise it holds on average.
// The prior is Gamma(shape b^2/a, rate b/a), and the point at b where a = 0;
// every region's EB ratio, its posterior mean, is
//   b + a (r - b)/(a + b/E) = (y + b^2/a)/(E + b/a).
// Unlike the log's moment estimates (the unweighted mean and sample variance
// of the ratios, without the Poisson noise taken off), it weights the ratios
// by E.
//
// Numerics: double arithmetic; the sums of E and of E (r - b)^2 are
// compensated (Neumaier) and the sum of y is exact, so that the sums' own
// rounding does not grow with n. b is within 3 ulps of its exact value for
// the double inputs. Each term of s^2 carries the rounding of r and b, a few
// ulps of E (|r| + b)^2, which is negligible against s^2 unless the ratios
// are nearly all equal; a, a difference, is exact to about
// 1e-15 (s^2 + b/mean of E). The tests check values derived by hand in
// exact fractions and the figures spdep's EBest printed.
//
// Groups at the edge: all counts 0 give b = 0, s^2 = 0, a = 0: the point
// prior at 0 (spdep's EBest divides 0 by 0 there and returns NaN). One
// region gives s^2 = 0, a = 0: the point at its ratio. Where b^2/a or b/a
// overflows, the prior is the point at b, which that Gamma cannot be told
// from; where one of them falls to 0, no prior. The shape is computed as
// b (b/a), so that it exists wherever b^2/a is in the double range, also
// where b^2 alone underflows. Sums beyond
// the double range give no prior (NaN).
#pragma once

#include <cstdint>

#include "core/region_prior.h"
#include "estimation/estimator.h"

namespace tarnek {

struct MarshallEstimate {
  double Mean;              // b; NaN where it has no finite value
  double WeightedVariance;  // s^2
  double Variance;          // a = max(0, s^2 - b/mean of E); NaN where b or s^2 has no value
};

// The estimate of a group. Preconditions: those of EstimateGroup.
MarshallEstimate EstimateMarshall(const GroupData& group);

// The prior of an estimate, as the header says.
RegionPrior MarshallPrior(const MarshallEstimate& estimate);

}  // namespace tarnek
