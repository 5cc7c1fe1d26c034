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

// 1 / k for every list length k of the lists.
std::vector<double> Inverses(const NeighbourLists& neighbours) {
  size_t longest = 0;
  for (size_t i = 0; i < neighbours.Regions(); ++i) longest = std::max(longest, neighbours.Of(i).size());
  std::vector<double> inverse(longest + 1, 0.0);
  for (size_t k = 1; k <= longest; ++k) inverse[k] = 1.0 / static_cast<double>(k);
  return inverse;
}

// sum over i of z_i times the mean of z over i's neighbours (0 for an
// island). The lag runs in two sums, alternate neighbours in each, so that
// the additions of a long list need not wait for one another.
double CrossSum(const double* z, const NeighbourLists& neighbours, const std::vector<double>& inverse) {
  double sum = 0.0;
  const size_t n = neighbours.Regions();
  const uint32_t* rows = neighbours.Rows.data();
  for (size_t i = 0; i < n; ++i) {
    const size_t first = neighbours.Start[i], last = neighbours.Start[i + 1];
    if (first == last) continue;
    double even = 0.0, odd = 0.0;
    size_t at = first;
    for (; at + 1 < last; at += 2) {
      even += z[rows[at]];
      odd += z[rows[at + 1]];
    }
    if (at < last) even += z[rows[at]];
    sum += z[i] * ((even + odd) * inverse[last - first]);
  }
  return sum;
}

// Fisher-Yates: step i = n-1 .. 1 swaps entry i with a uniform one of 0 .. i.
void FisherYates(double* values, size_t n, Generator& generator) {
  for (size_t i = n; i > 1; --i) std::swap(values[i - 1], values[generator.Below(static_cast<uint32_t>(i))]);
}

// A uniform permutation of `from` into `to`. Up to kDirectShuffle values by
// Fisher-Yates on a copy; more by Rao and Sandelius's method, which keeps
// the memory it touches at hand: each value goes to one of kBuckets buckets
// drawn uniformly (8 random bits each, in order), the buckets follow one
// another in order, and each is shuffled by Fisher-Yates, bucket 0 first.
constexpr size_t kDirectShuffle = size_t{1} << 16;
constexpr size_t kBuckets = 256;

void Shuffle(const std::vector<double>& from, std::vector<double>& to, std::vector<uint8_t>& labels,
             Generator& generator) {
  const size_t n = from.size();
  to.resize(n);
  if (n <= kDirectShuffle) {
    std::copy(from.begin(), from.end(), to.begin());
    FisherYates(to.data(), n, generator);
    return;
  }
  labels.resize(n);
  size_t start[kBuckets + 1] = {};
  for (size_t i = 0; i < n; i += 8) {
    uint64_t bits = generator.Next();
    for (size_t k = i; k < std::min(i + 8, n); ++k, bits >>= 8) {
      labels[k] = static_cast<uint8_t>(bits);
      ++start[labels[k] + 1];
    }
  }
  for (size_t b = 0; b < kBuckets; ++b) start[b + 1] += start[b];
  size_t fill[kBuckets];
  std::copy(start, start + kBuckets, fill);
  for (size_t i = 0; i < n; ++i) to[fill[labels[i]]++] = from[i];
  for (size_t b = 0; b < kBuckets; ++b) FisherYates(to.data() + start[b], start[b + 1] - start[b], generator);
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

  s.Cross = CrossSum(z.data(), neighbours, Inverses(neighbours));
  s.Squares = squares;
  s.Statistic = static_cast<double>(n) / static_cast<double>(weighted) * (s.Cross / squares);
  s.HasValue = std::isfinite(s.Statistic);
  return s;
}

// How many of permutations [first, last) give a cross sum of at least
// `cross`; `buffer` and `labels` are the permutation's storage.
int CountAtLeast(const std::vector<double>& centred, const NeighbourLists& neighbours, double cross,
                 uint64_t seed, size_t first, size_t last, std::vector<double>& buffer,
                 std::vector<uint8_t>& labels) {
  const std::vector<double> inverse = Inverses(neighbours);
  int count = 0;
  for (size_t p = first; p < last; ++p) {
    Generator generator(seed + (p + 1) * kGolden);
    Shuffle(centred, buffer, labels, generator);
    count += CrossSum(buffer.data(), neighbours, inverse) >= cross;
  }
  return count;
}

EbMoranResult Result(const Standardised& s, int atLeast, int permutations) {
  EbMoranResult result;
  if (!s.HasValue) return result;
  result.Statistic = s.Statistic;
  result.PValue = (atLeast + 1.0) / (permutations + 1.0);
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
  return Result(s, 0, 1).Statistic;
}

EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, EbMoranScratch& scratch,
                          int permutations) {
  const Standardised s = Standardise(group, neighbours, scratch);
  if (!s.HasValue) return {};
  const uint64_t seed = EbMoranSeed(group, neighbours);
  const size_t count = static_cast<size_t>(permutations);
  return Result(s, CountAtLeast(scratch.Centred, neighbours, s.Cross, seed, 0, count, scratch.Permuted, scratch.Labels),
                permutations);
}

EbMoranResult EbMoranTest(const GroupData& group, const NeighbourLists& neighbours, WorkerPool& pool,
                          int permutations) {
  EbMoranScratch scratch;
  const Standardised s = Standardise(group, neighbours, scratch);
  if (!s.HasValue) return {};
  const uint64_t seed = EbMoranSeed(group, neighbours);
  constexpr size_t kPiece = 8;
  const size_t count = static_cast<size_t>(permutations);
  const size_t workers = pool.Participants(count, kPiece);
  std::vector<std::vector<double>> buffers(workers);
  std::vector<std::vector<uint8_t>> labels(workers);
  std::vector<int> counts(workers, 0);
  pool.Run(count, kPiece, [&](size_t first, size_t last, int worker) {
    const size_t w = static_cast<size_t>(worker);
    counts[w] += CountAtLeast(scratch.Centred, neighbours, s.Cross, seed, first, last, buffers[w], labels[w]);
  });
  int atLeast = 0;
  for (const int count : counts) atLeast += count;
  return Result(s, atLeast, permutations);
}

}  // namespace tarnek
