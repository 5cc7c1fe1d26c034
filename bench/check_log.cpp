// tarnek-check-log: compares NaturalLog with libquadmath's logq, rounded to
// the 64-bit mantissa, on many deterministic pseudo-random arguments, and
// reports every disagreement, how often the fast path left the rounding open,
// the largest error of the fast path seen, and the arguments whose logarithm
// lies closest to a rounding boundary (material for the tests' table).
//
// usage: tarnek-check-log [COUNT [THREADS [SEED]]]   (default 1000000000 2 1)
//
// logq is accurate to about one unit of __float128 (2^-112 relative), far
// below the long double ulp (2^-63), so its rounding to long double is the
// correctly rounded logarithm unless logq lies within that accuracy of a
// midpoint; there, and at every disagreement, the accurate path at 1024 bits
// decides. A disagreement prints both values and which of them is right.
//
// Arguments, by index i mod 4: 0, the fit's E/a + 1 with E log-uniform in
// 1e-6 .. 1e9 and a log-uniform in 1e-8 .. 1e8 (as doubles, like the fit);
// 1, a random mantissa with a random exponent 0 .. 16383 (x up to LDBL_MAX);
// 2, a random mantissa in [1, 2); 3, 1 + k 2^-63 with k of 1 to 63 random
// bits. Argument i depends only on SEED and i, not on the threads.
#include <quadmath.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "estimation/natural_log.h"

namespace {

using tarnek::NaturalLog;
namespace nl = tarnek::natural_log_internal;

uint64_t SplitMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

long double FromBits(uint64_t mantissa, unsigned biasedExponent) {
  long double x = 0.0L;
  const auto se = static_cast<uint16_t>(biasedExponent);
  std::memcpy(&x, &mantissa, 8);
  std::memcpy(reinterpret_cast<char*>(&x) + 8, &se, 2);
  return x;
}

long double Argument(uint64_t seed, uint64_t i) {
  const uint64_t r1 = SplitMix(seed * 0x100000001b3ULL ^ (2 * i));
  const uint64_t r2 = SplitMix(r1 ^ (2 * i + 1));
  const double u1 = static_cast<double>(r1 >> 11) * 0x1p-53;
  const double u2 = static_cast<double>(r2 >> 11) * 0x1p-53;
  switch (i % 4) {
    case 0: {
      const double e = std::exp(std::log(1e-6) + u1 * (std::log(1e9) - std::log(1e-6)));
      const double a = std::exp(std::log(1e-8) + u2 * (std::log(1e8) - std::log(1e-8)));
      return static_cast<long double>(e) / a + 1.0L;
    }
    case 1:
      return FromBits(r1 | (uint64_t{1} << 63), 16383 + static_cast<unsigned>(r2 % 16384));
    case 2:
      return FromBits(r1 | (uint64_t{1} << 63), 16383);
    default:
      return FromBits((uint64_t{1} << 63) + ((r1 >> 1) >> (r2 % 63)), 16383);
  }
}

// How far q lies from the nearest midpoint between long doubles, in ulps of
// the side it lies on (0.5 means on a long double); y = q rounded.
double MidpointDistance(__float128 q, long double y) {
  const __float128 d = q - static_cast<__float128>(y);
  const long double neighbour = std::nextafter(y, d >= 0 ? HUGE_VALL : -HUGE_VALL);
  const __float128 ulp = fabsq(static_cast<__float128>(neighbour) - static_cast<__float128>(y));
  return static_cast<double>(fabsq(ulp / 2 - fabsq(d)) / ulp);
}

struct Hard {
  double Distance;
  long double X;
};

struct Tally {
  uint64_t Count = 0, Ambiguous = 0, Disagreements = 0, OursWrong = 0;
  uint64_t Fallbacks[4] = {0, 0, 0, 0};
  double MaxError[4] = {0, 0, 0, 0};  // fast path, in units of 2^-80 |ln x|
  std::vector<Hard> Hardest[4];         // smallest MidpointDistance
};

constexpr size_t kKeepHardest = 24;
std::mutex printMutex;

void Check(uint64_t seed, uint64_t begin, uint64_t end, Tally& t, std::atomic<uint64_t>& done) {
  for (uint64_t i = begin; i < end; ++i) {
    const long double x = Argument(seed, i);
    if (!(x >= 1.0L)) continue;
    ++t.Count;
    const nl::Bits bits = nl::BitsOf(x);
    long double hi = 0, lo = 0, fast = 0;
    const int kind = static_cast<int>(i % 4);
    if (!nl::InFastDomain(bits)) {
      ++t.Fallbacks[kind];
    } else {
      nl::FastLog(bits, hi, lo);
      if (!nl::RoundingDecided(hi, lo, fast)) ++t.Fallbacks[kind];
    }
    const long double ours = NaturalLog(x);
    const __float128 q = logq(static_cast<__float128>(x));
    long double reference = static_cast<long double>(q);
    if (q != 0) {
      const __float128 error = fabsq((static_cast<__float128>(hi) + lo - q) / q) * static_cast<__float128>(0x1p80);
      t.MaxError[kind] = std::max(t.MaxError[kind], static_cast<double>(error));
      const double distance = MidpointDistance(q, reference);
      std::vector<Hard>& hardest = t.Hardest[kind];
      if (hardest.size() < kKeepHardest || distance < hardest.back().Distance) {
        hardest.push_back({distance, x});
        std::sort(hardest.begin(), hardest.end(), [](const Hard& a, const Hard& b) { return a.Distance < b.Distance; });
        if (hardest.size() > kKeepHardest) hardest.pop_back();
      }
      if (distance < 0x1p-40) {  // within logq's accuracy of a midpoint
        ++t.Ambiguous;
        reference = nl::AccurateLog(x, 1024);
      }
    }
    if (ours != reference) {
      ++t.Disagreements;
      const long double decided = nl::AccurateLog(x, 1024);
      if (ours != decided) ++t.OursWrong;
      std::lock_guard<std::mutex> lock(printMutex);
      std::printf("DISAGREEMENT x=%La NaturalLog=%La logq-rounded=%La accurate(1024 bits)=%La -> %s\n", x, ours,
                  reference, decided, ours == decided ? "logq wrong" : "NaturalLog WRONG");
      std::fflush(stdout);
    }
    if ((i & 0xfffff) == 0) done.fetch_add(0x100000, std::memory_order_relaxed);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000ULL;
  const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2;
  const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  if (threads < 1 || count < 1) {
    std::fprintf(stderr, "usage: tarnek-check-log [COUNT [THREADS [SEED]]]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<Tally> tallies(threads);
  std::vector<std::thread> workers;
  std::atomic<uint64_t> done{0};
  for (unsigned k = 0; k < threads; ++k) {
    const uint64_t begin = count / threads * k, end = k + 1 == threads ? count : count / threads * (k + 1);
    workers.emplace_back(Check, seed, begin, end, std::ref(tallies[k]), std::ref(done));
  }
  for (auto& w : workers) w.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  Tally all;
  for (const Tally& t : tallies) {
    all.Count += t.Count, all.Ambiguous += t.Ambiguous;
    all.Disagreements += t.Disagreements, all.OursWrong += t.OursWrong;
    for (int k = 0; k < 4; ++k) {
      all.Fallbacks[k] += t.Fallbacks[k];
      all.MaxError[k] = std::max(all.MaxError[k], t.MaxError[k]);
      all.Hardest[k].insert(all.Hardest[k].end(), t.Hardest[k].begin(), t.Hardest[k].end());
    }
  }
  const char* kinds[4] = {"fit E/a + 1", "any exponent", "[1, 2)", "1 + k 2^-63"};
  std::printf("arguments checked: %llu (seed %llu, %u threads, %.0f s)\n",
              static_cast<unsigned long long>(all.Count), static_cast<unsigned long long>(seed), threads, seconds);
  std::printf("disagreements with logq rounded: %llu (NaturalLog wrong in %llu)\n",
              static_cast<unsigned long long>(all.Disagreements), static_cast<unsigned long long>(all.OursWrong));
  std::printf("logq within 2^-40 ulp of a midpoint (decided by the accurate path): %llu\n",
              static_cast<unsigned long long>(all.Ambiguous));
  for (int k = 0; k < 4; ++k) {
    const uint64_t n = count / 4 + (static_cast<uint64_t>(k) < count % 4 ? 1 : 0);
    std::printf("%-14s fast path undecided %llu of %llu (%.3g); largest fast-path error %.4f x 2^-80 |ln x| "
                "(bound 0.351)\n", kinds[k], static_cast<unsigned long long>(all.Fallbacks[k]),
                static_cast<unsigned long long>(n), static_cast<double>(all.Fallbacks[k]) / n, all.MaxError[k]);
  }
  for (int k = 0; k < 4; ++k) {
    std::vector<Hard>& hardest = all.Hardest[k];
    std::sort(hardest.begin(), hardest.end(), [](const Hard& a, const Hard& b) { return a.Distance < b.Distance; });
    if (hardest.size() > 8) hardest.resize(8);
    std::printf("%s: closest to a rounding boundary (distance from the midpoint in ulps; 0: below logq's accuracy)\n",
                kinds[k]);
    for (const Hard& h : hardest) std::printf("  %.3e  x=%La\n", h.Distance, h.X);
  }
  return all.OursWrong == 0 ? 0 : 1;
}
