// Moran's I of the Empirical Bayes standardised ratios (Assuncao and Reis
// 1999), the test of whether a group's ratios cluster in space: R spdep's
// EBImoran / EBImoran.mc, GeoDa's "EB Moran's I".
//
// Model. Region i of the group has count y_i, expected count E_i and ratio
// r_i = y_i / E_i. With the group's Marshall moments
//   b  = sum y / sum E
//   s2 = sum E_i (r_i - b)^2 / sum E
//   a  = s2 - b / (sum E / n), 0 where that is negative (as spdep's EBest)
// each ratio is standardised by its own variance under the Poisson-Gamma
// model, v_i = a + b / E_i:
//   z_i = (r_i - b) / sqrt(v_i).
// (spdep replaces a v_i <= 0 by b / E_i; with a cut at 0, v_i >= b / E_i > 0
// whenever b > 0, so that never applies.) Then, with binary row-standardised
// weights w_ij = 1 / k_i for the k_i neighbours j of i, and zc = z - mean(z),
//   I = (n / S0) * sum_i zc_i (sum_j w_ij zc_j) / sum_i zc_i^2,
// S0 being the sum of the weights: the number of regions with neighbours.
// Islands are treated as spdep does with zero.policy = TRUE: an island's
// row of weights is 0 (its lag is 0, it adds nothing above the line and
// nothing to S0), but it counts in n, in mean(z) and in sum zc^2.
//
// No value (NaN in both fields) where I is undefined: a group whose counts
// are all 0 (b = 0, every v_i = 0), whose z_i are all equal (sum zc^2 = 0,
// a group of one region included), or whose regions are all islands
// (S0 = 0); and where a value leaves the double range.
//
// The p-value is one-sided ("greater": is there more clustering than chance
// gives?), from P random permutations of the z_i over the regions
// (kEbMoranPermutations = 999 unless the caller says otherwise): with G the
// number of permutations whose I is at least the group's,
// p = (G + 1) / (P + 1), between 1 / (P + 1) and 1. (GeoDa's pseudo p-value;
// spdep's EBImoran.mc counts one less, max(G, 1) / (nsim + 1).)
// Seeds: the permutations are drawn from a 64-bit digest of the group's data
// (n, every y_i, the bits of every E_i, every neighbour list in order), so
// that the same data give the same p-value in every run, whatever the other
// groups and the number of threads. Permutation p (0 .. P - 1) has its own
// xoshiro256** generator, seeded with splitmix64 from
// digest + (p + 1) * 0x9E3779B97F4A7C15. Up to 65,536 regions it is a
// Fisher-Yates shuffle (unbiased bounded integers by Lemire's method with
// rejection); beyond, Rao and Sandelius's shuffle, uniform as well: every
// value to one of 256 buckets by 8 random bits, then each bucket by
// Fisher-Yates, so that the memory touched stays at hand.
//
// Cost: each permutation is a shuffle and a pass over the links. Measured
// (on a loaded two-core machine): a group of a million regions with 8
// neighbours each, about 9 ms of CPU a permutation, so 999 take some 9 s
// of CPU; a group of 10 regions in a chain, 35 us for all 999 (3.5 s of CPU
// for 100,000 such groups).
//
// Numerics. Double arithmetic, sums in region order and list order, so the
// result is the same on every run and any number of threads. The statistic
// is a ratio of sums of products of standardised values; its relative error
// is a small multiple of n units in the last place unless the numerator
// cancels. Checked against spdep 1.2.7's EBImoran.mc statistic (R 4.2.2) on
// the North Carolina SIDS data (SID74, BIR74) with ncCC89.gal (two islands)
// and ncCR85.gal: within 1e-12 relative (tests/eb_moran_test.cpp).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/neighbours.h"
#include "core/parallel.h"
#include "estimation/estimator.h"

namespace tarnek {

inline constexpr int kEbMoranPermutations = 999;

struct EbMoranResult {
  double Statistic = std::numeric_limits<double>::quiet_NaN();  // I, or NaN: no value
  double PValue = std::numeric_limits<double>::quiet_NaN();     // NaN exactly when Statistic is
};

// Storage the test works in; a caller may keep one for every group.
struct EbMoranScratch {
  std::vector<double> Centred;   // zc
  std::vector<double> Permuted;  // zc shuffled
  std::vector<uint8_t> Labels;   // the buckets of a large group's shuffle
};

// I alone. Preconditions: the lists index the group's members
// (neighbours.Regions() equals its size).
double EbMoranStatistic(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch);

// I and its p-value from `permutations` (at least 1) permutations, on this
// thread (for use inside a job of a pool).
EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch,
                          int permutations = kEbMoranPermutations);

// The same result, the permutations shared out over the threads of `pool`
// (for one large group). Must not be called from a job of `pool`.
EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, WorkerPool& pool,
                          int permutations = kEbMoranPermutations);

// The seed of the group's permutations (the digest described above).
uint64_t EbMoranSeed(const GroupData& group, const NeighbourLists& neighbours);

}  // namespace tarnek
