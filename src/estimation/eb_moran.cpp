// EB Moran's I: standardise, centre, one cross sum for the statistic and
// one per permutation for the p-value.
#include "estimation/eb_moran.h"

#include <algorithm>  // std::copy, std::max
#include <cmath>      // std::sqrt, std::isfinite
#include <cstring>    // std::memcpy
#include <utility>    // std::swap

namespace tarnek {

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

uint64_t SplitMix64(uint64_t& state) {
  uint64_t z = (state += kGolden);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t RotateLeft(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// xoshiro256** (Blackman and Vigna), seeded with splitmix64.
class Generator {
 public:
  explicit Generator(uint64_t seed) {
    for (uint64_t& word : state_) word = SplitMix64(seed);
  }

  uint64_t Next() {
    const uint64_t result = RotateLeft(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = RotateLeft(state_[3], 45);
    return result;
  }

  // Uniform in [0, bound), 0 < bound < 2^32: Lemire's multiply-shift on 32
  // random bits, rejecting the few products that would favour some values.
  uint32_t Below(uint32_t bound) {
    uint64_t product = (Next() >> 32) * bound;
    if (static_cast<uint32_t>(product) < bound) {
      const uint32_t threshold = static_cast<uint32_t>(-bound) % bound;
      while (static_cast<uint32_t>(product) < threshold) product = (Next() >> 32) * bound;
    }
    return static_cast<uint32_t>(product >> 32);
  }

 private:
  uint64_t state_[4];
};

// sum over i of z_i times the mean of z over i's neighbours (0 for an island).
double CrossSum(const double* z, const NeighbourLists& neighbours) {
  double sum = 0.0;
  const size_t n = neighbours.Regions();
  for (size_t i = 0; i < n; ++i) {
    const auto list = neighbours.Of(i);
    if (list.empty()) continue;
    double lag = 0.0;
    for (const uint32_t j : list) lag += z[j];
    sum += z[i] * (lag / static_cast<double>(list.size()));
  }
  return sum;
}

// What the statistic and the permutations share.
struct Standardised {
  bool HasValue = false;
  double Cross = 0.0;    // the group's cross sum
  double Squares = 0.0;  // sum zc^2
  double Statistic = 0.0;
};

// The centred z_i into scratch.Centred, and the statistic.
Standardised Standardise(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch) {
  Standardised s;
  const size_t n = group.Data1.size();
  double sumY = 0.0, sumE = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sumY += group.Data1[i];
    sumE += group.Data2[i];
  }
  const double b = sumY / sumE;
  if (!(b > 0.0) || !std::isfinite(b)) return s;
  double spread = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double d = group.Data1[i] / group.Data2[i] - b;
    spread += group.Data2[i] * (d * d);
  }
  double a = spread / sumE - b / (sumE / static_cast<double>(n));
  if (a < 0.0) a = 0.0;

  std::vector<double>& z = scratch.Centred;
  z.resize(n);
  double sumZ = 0.0;
  for (size_t i = 0; i < n; ++i) {
    z[i] = (group.Data1[i] / group.Data2[i] - b) / std::sqrt(a + b / group.Data2[i]);
    sumZ += z[i];
  }
  const double meanZ = sumZ / static_cast<double>(n);
  double squares = 0.0;
  for (double& value : z) {
    value -= meanZ;
    squares += value * value;
  }
  size_t weighted = 0;  // S0
  for (size_t i = 0; i < n; ++i) weighted += !neighbours.Of(i).empty();
  if (!(squares > 0.0) || !std::isfinite(squares) || weighted == 0) return s;

  s.Cross = CrossSum(z.data(), neighbours);
  s.Squares = squares;
  s.Statistic = static_cast<double>(n) / static_cast<double>(weighted) * (s.Cross / squares);
  s.HasValue = std::isfinite(s.Statistic);
  return s;
}

// How many of permutations [first, last) give a cross sum of at least
// `cross`; `buffer` holds n doubles.
int CountAtLeast(const std::vector<double>& centred, const NeighbourLists& neighbours, double cross,
                 uint64_t seed, size_t first, size_t last, std::vector<double>& buffer) {
  const size_t n = centred.size();
  buffer.resize(n);
  int count = 0;
  if (n < 2) return 0;  // a group with a value has two regions or more
  for (size_t p = first; p < last; ++p) {
    Generator generator(seed + (p + 1) * kGolden);
    std::copy(centred.begin(), centred.end(), buffer.begin());
    for (size_t i = n - 1; i > 0; --i) std::swap(buffer[i], buffer[generator.Below(static_cast<uint32_t>(i + 1))]);
    count += CrossSum(buffer.data(), neighbours) >= cross;
  }
  return count;
}

EbMoranResult Result(const Standardised& s, int atLeast) {
  EbMoranResult result;
  if (!s.HasValue) return result;
  result.Statistic = s.Statistic;
  result.PValue = (atLeast + 1.0) / (kEbMoranPermutations + 1.0);
  return result;
}

uint64_t Digest(uint64_t h, uint64_t value) { return RotateLeft(h ^ value, 23) * kGolden; }

}  // namespace

uint64_t EbMoranSeed(const GroupData& group, const NeighbourLists& neighbours) {
  const size_t n = group.Data1.size();
  uint64_t h = Digest(0, n);
  for (size_t i = 0; i < n; ++i) {
    uint64_t bits = 0;
    std::memcpy(&bits, &group.Data2[i], sizeof bits);
    h = Digest(Digest(h, static_cast<uint32_t>(group.Data1[i])), bits);
  }
  for (size_t i = 0; i < neighbours.Regions(); ++i) {
    h = Digest(h, neighbours.Of(i).size());
    for (const uint32_t j : neighbours.Of(i)) h = Digest(h, j);
  }
  return SplitMix64(h);
}

double EbMoranStatistic(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch) {
  const Standardised s = Standardise(group, neighbours, scratch);
  return Result(s, 0).Statistic;
}

EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch) {
  const Standardised s = Standardise(group, neighbours, scratch);
  if (!s.HasValue) return {};
  const uint64_t seed = EbMoranSeed(group, neighbours);
  return Result(s, CountAtLeast(scratch.Centred, neighbours, s.Cross, seed, 0, kEbMoranPermutations,
                                scratch.Permuted));
}

EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, WorkerPool& pool) {
  EbMoranScratch scratch;
  const Standardised s = Standardise(group, neighbours, scratch);
  if (!s.HasValue) return {};
  const uint64_t seed = EbMoranSeed(group, neighbours);
  constexpr size_t kPiece = 8;
  const size_t workers = pool.Participants(kEbMoranPermutations, kPiece);
  std::vector<std::vector<double>> buffers(workers);
  std::vector<int> counts(workers, 0);
  pool.Run(kEbMoranPermutations, kPiece, [&](size_t first, size_t last, int worker) {
    const size_t w = static_cast<size_t>(worker);
    counts[w] += CountAtLeast(scratch.Centred, neighbours, s.Cross, seed, first, last, buffers[w]);
  });
  int atLeast = 0;
  for (const int count : counts) atLeast += count;
  return Result(s, atLeast);
}

}  // namespace tarnek
