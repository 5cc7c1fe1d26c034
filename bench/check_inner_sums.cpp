// tarnek-check-sums: the fit's inner sums as SweepInnerSums jumps them, with
// the real crossover, against the plain term-by-term loop, for counts up to
// 2^31 - 1; and the largest count's sums from AdvanceInnerSum with terms in
// blocks only (a crossover beyond any run) and boundaries only (crossover 0).
// Each case is swept again for b moved by 2^-44 of itself, with the memo of
// the first sweep (InnerSumMemo), and checked the same way; and once more
// shared out over two threads (SweepInnerSumsShared).
// Not part of the test suite (one case sums two billion terms the slow way);
// run it after a change to src/estimation/inner_sums.cpp.
//
// usage: tarnek-check-sums [CASES]   (default 24 cases; two threads)
// Prints every disagreement and a summary; exit code 1 when there is one.
#include <algorithm>
#include <cmath>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "estimation/inner_sums.h"
#include "estimation/shared_sums.h"

namespace {

using X = long double;

struct Case {
  double b;
  std::vector<int32_t> counts;  // ascending, distinct
};

// Case k: b from 1e-3 to 1e12 (log-uniform; every eighth case from 1e15 to
// 1e300, where b + l rounds to b or nearly so), the largest count 2^31 - 1 in
// every fourth case and otherwise up to 2^31 - 1, with a few smaller counts.
Case MakeCase(int k) {
  std::mt19937_64 rng(20261207 + static_cast<uint64_t>(k));
  Case c;
  const bool huge = k % 8 == 7;
  c.b = std::exp(std::uniform_real_distribution<double>(std::log(huge ? 1e15 : 1e-3), std::log(huge ? 1e300 : 1e12))(rng));
  const auto top = k % 4 == 0 ? int32_t{2147483647} : static_cast<int32_t>(rng() % 2147483647u) + 1;
  c.counts = {top};
  for (int i = 0; i < 4; ++i) c.counts.push_back(static_cast<int32_t>(rng() % static_cast<uint64_t>(top)));
  std::sort(c.counts.begin(), c.counts.end());
  c.counts.erase(std::unique(c.counts.begin(), c.counts.end()), c.counts.end());
  return c;
}

// Returns the number of counts at which a sum disagrees.
int Check(const Case& c, tarnek::InnerSumMemo* memo) {
  std::vector<double> score(c.counts.size()), hess(c.counts.size());
  tarnek::SweepInnerSums(c.counts, c.b, score, hess, tarnek::kInnerSumCrossover, memo);
  // The largest count again, all in blocks and all by boundaries.
  const int64_t top = c.counts.back();
  double blocks[2], boundaries[2];
  for (const int kind : {0, 1}) {
    const auto term = kind == 0 ? tarnek::InnerTerm::Score : tarnek::InnerTerm::Hess;
    blocks[kind] = tarnek::AdvanceInnerSum(term, 0.0, c.b, 0, top, 1e300);
    boundaries[kind] = tarnek::AdvanceInnerSum(term, 0.0, c.b, 0, top, 0.0);
  }
  std::vector<double> sharedScore(c.counts.size()), sharedHess(c.counts.size());
  {
    tarnek::WorkerPool pool(2);
    tarnek::InnerSumMemo fresh;  // keeps nothing: the sweep is shared out
    tarnek::SweepInnerSumsShared(c.counts, c.b, sharedScore, sharedHess, fresh, &pool);
  }
  int wrong = 0;
  double s = 0, h = 0;
  X lx = 0;
  int64_t l = 0;
  const auto same = [](double x, double y) { return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y); };
  for (size_t k = 0; k < c.counts.size(); ++k) {
    for (; l < c.counts[k]; ++l, lx += 1) {
      const X bl = X(c.b) + lx;
      s = double(X(s) + 1 / bl);
      h = double(X(h) + 1 / (bl * bl));
    }
    if (!same(s, score[k]) || !same(h, hess[k]) || !same(s, sharedScore[k]) || !same(h, sharedHess[k])) {
      std::printf("DISAGREE b %a count %d: score %a (jumped %a, shared %a), hess %a (jumped %a, shared %a)\n", c.b,
                  c.counts[k], s, score[k], sharedScore[k], h, hess[k], sharedHess[k]);
      ++wrong;
    }
  }
  if (!same(s, blocks[0]) || !same(h, blocks[1]) || !same(s, boundaries[0]) || !same(h, boundaries[1])) {
    std::printf("DISAGREE b %a count %d: score %a (blocks %a, boundaries %a), hess %a (blocks %a, boundaries %a)\n",
                c.b, c.counts.back(), s, blocks[0], boundaries[0], h, blocks[1], boundaries[1]);
    ++wrong;
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
      // The case, then the fit's next step as it may come: b moved in its
      // last bits, swept with the memo of the case's sweep.
      Case c = MakeCase(k);
      tarnek::InnerSumMemo memo;
      memo.LastB = c.b;  // as after a step that left b where it was: the sweep keeps its blocks
      int w = Check(c, &memo);
      c.b += c.b * 0x1p-44;
      w += Check(c, &memo);
      wrong += w;
      // How many of the second sweep's blocks came from the first.
      size_t blocks = 0, reused = 0;
      for (int kind = 0; kind < 2; ++kind) {
        for (const auto& e : memo.Seen[kind]) ++blocks, reused += e.B != c.b;
        for (const auto& e : memo.RunsSeen[kind]) ++blocks, reused += e.B != c.b;
      }
      std::printf("case %d: b %.6g, counts up to %d: %s (%zu of %zu blocks from the memo)\n", k, c.b,
                  c.counts.back(), w ? "DISAGREES" : "same bits", reused, blocks);
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
