// tarnek-check-sums: the fit's inner sums as SweepInnerSums jumps them, with
// the real crossover, against the plain term-by-term loop, for counts up to
// 2^31 - 1. Not part of the test suite (one case sums two billion terms the
// slow way); run it after a change to src/estimation/inner_sums.cpp.
//
// usage: tarnek-check-sums [CASES]   (default 24 cases; two threads)
// Prints every disagreement and a summary; exit code 1 when there is one.
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "estimation/inner_sums.h"

namespace {

using X = long double;

struct Case {
  double b;
  std::vector<int32_t> counts;  // ascending, distinct
};

// Case k: b from 1e-3 to 1e7 (log-uniform), the largest count 2^31 - 1 in
// every fourth case and otherwise up to 2^31 - 1, with a few smaller counts.
Case MakeCase(int k) {
  std::mt19937_64 rng(20261207 + static_cast<uint64_t>(k));
  Case c;
  c.b = std::exp(std::uniform_real_distribution<double>(std::log(1e-3), std::log(1e7))(rng));
  const auto top = k % 4 == 0 ? int32_t{2147483647} : static_cast<int32_t>(rng() % 2147483647u) + 1;
  c.counts = {top};
  for (int i = 0; i < 4; ++i) c.counts.push_back(static_cast<int32_t>(rng() % static_cast<uint64_t>(top)));
  std::sort(c.counts.begin(), c.counts.end());
  c.counts.erase(std::unique(c.counts.begin(), c.counts.end()), c.counts.end());
  return c;
}

// Returns the number of counts at which either sum disagrees.
int Check(const Case& c) {
  std::vector<double> score(c.counts.size()), hess(c.counts.size());
  tarnek::SweepInnerSums(c.counts, c.b, score, hess);
  int wrong = 0;
  double s = 0, h = 0;
  X lx = 0;
  int64_t l = 0;
  for (size_t k = 0; k < c.counts.size(); ++k) {
    for (; l < c.counts[k]; ++l, lx += 1) {
      const X bl = X(c.b) + lx;
      s = double(X(s) + 1 / bl);
      h = double(X(h) + 1 / (bl * bl));
    }
    if (std::bit_cast<uint64_t>(s) != std::bit_cast<uint64_t>(score[k]) ||
        std::bit_cast<uint64_t>(h) != std::bit_cast<uint64_t>(hess[k])) {
      std::printf("DISAGREE b %a count %d: score %a (jumped %a), hess %a (jumped %a)\n", c.b, c.counts[k], s,
                  score[k], h, hess[k]);
      ++wrong;
    }
  }
  return wrong;
}

}  // namespace

int main(int argc, char** argv) {
  const int cases = argc > 1 ? std::atoi(argv[1]) : 24;
  const auto start = std::chrono::steady_clock::now();
  std::atomic<int> next{0}, wrong{0};
  auto work = [&] {
    for (int k; (k = next++) < cases;) {
      const Case c = MakeCase(k);
      const int w = Check(c);
      wrong += w;
      std::printf("case %d: b %.6g, counts up to %d: %s\n", k, c.b, c.counts.back(), w ? "DISAGREES" : "same bits");
      std::fflush(stdout);
    }
  };
  std::thread other(work);
  work();
  other.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d cases, %d disagreements, %.0f s\n", cases, wrong.load(), seconds);
  return wrong ? 1 : 0;
}
