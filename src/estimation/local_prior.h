// Local priors: every region's prior from its neighbourhood instead of one
// prior for the whole group (local, or spatial, Empirical Bayes).
//
// Model. Region i has observed count y_i, expected count E_i and crude ratio
// r_i = y_i / E_i. N(i) is i together with its neighbours in the group, and
// every sum below runs over N(i):
//   m_i    = sum y / sum E                          the local mean
//   Ebar_i = sum E / |N(i)|
//   C_i    = sum over j of E_j (r_j - c_j)^2       c_j = m_i (NeighbourhoodMean)
//                                                   or m_j, j's own local mean (OwnMeans)
//   v_i    = C_i / sum E - m_i / Ebar_i, 0 where that is negative
// The prior of theta_i has mean m_i and variance v_i: Gamma with shape
// m_i^2 / v_i and rate m_i / v_i, so that the posterior mean is
// EB_i = m_i + (r_i - m_i) v_i / (v_i + m_i / E_i). Where v_i = 0 or m_i = 0
// it is the point at m_i (the Gamma's limit; EB_i = m_i).
//   NeighbourhoodMean is the local prior of GeoDa's "Spatial EB rate", PySAL
//   esda's Spatial_Empirical_Bayes and R spdep's EBlocal(..., geoda = TRUE);
//   OwnMeans is spdep's EBlocal default (geoda = FALSE). Both are the moment
//   estimates of Marshall (1991) applied to each neighbourhood.
//
// Special regions:
//   - an island (no neighbour in the group): N(i) = {i}, so m_i = r_i and
//     v_i = 0 (C_i = 0 in both variants, and 0 - m_i/E_i is cut to 0): the
//     point at its own ratio, no smoothing at all;
//   - a neighbourhood whose counts are all 0: m_i = 0, the point at 0
//     (spdep's EBlocal gives NaN there);
//   - values beyond the double range (an E_i so small that a ratio
//     overflows, or a shape or rate that does): no prior for the regions
//     concerned (NoPrior), never an infinity.
//
// Numerics. Double arithmetic. Each sum runs over N(i) in a fixed order: the
// list's, with the region itself before the first neighbour of a higher
// index. The lists that RestrictNeighbours gives are in ascending order of
// the members (input order), so the sums run in input order, as spdep's
// (include.self sorts each neighbourhood), whatever order a neighbour file
// gave; the results are the same on every run and any number of threads. Sums of terms of one sign carry a
// relative error of at most |N(i)| units of the last place (2^-53), so m_i
// is within (|N(i)| + 1) of them; v_i is a difference and is accurate to
// about (|N(i)| + 6) units relative to C_i / sum E + m_i / Ebar_i, which
// bounds its effect on EB_i to the same order. Checked against spdep 1.2.7's
// EBlocal in R 4.2.2 on the North Carolina SIDS data (SID74, BIR74,
// ncCC89.gal): the largest relative difference of the 200 EB_i is 4e-16,
// of the 62 v_i that are not cut to 0 4e-14 (the tests require 1e-12; see
// tests/local_prior_test.cpp and tests/check/neighbours_against_spdep.R).
// Where spdep's EB_i is NaN (0/0, the two islands without deaths) this
// gives the point 0.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/neighbours.h"
#include "core/region_prior.h"
#include "estimation/estimator.h"

namespace tarnek {

enum class LocalPriorKind {
  NeighbourhoodMean,  // --prior=local: C_i about the neighbourhood's mean m_i
  OwnMeans,           // --prior=local-own-means: C_i about each neighbour's own m_j
};

// Storage the computation works in; a caller may keep one for every group.
struct LocalPriorScratch {
  std::vector<double> Ratio;  // r_j
  std::vector<double> Mean;   // m_j
};

// A region without a neighbour in its group: its prior is the point at its
// own ratio (no smoothing).
inline bool IsIsland(const NeighbourLists& neighbours, size_t member) { return neighbours.Of(member).empty(); }

// Fills priors[i] for every member i of `group`. Preconditions:
// neighbours.Regions() and priors.size() equal the group's size, and the
// lists index the group's members (RestrictNeighbours gives them for a
// group of a larger table). Cannot fail.
void FillLocalPriors(LocalPriorKind kind, const GroupData& group, const NeighbourLists& neighbours,
                     std::span<RegionPrior> priors, LocalPriorScratch& scratch);

}  // namespace tarnek
