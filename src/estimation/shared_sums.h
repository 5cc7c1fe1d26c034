// The inner sums of a fit, their long stretches shared out over threads:
// bit for bit the sums of SweepInnerSums, in less time where a group is fitted
// alone and its largest count is large.
//
// Why a stretch can be cut. Within one binade of the sum (see inner_sums.h),
// each step s -> RN53(RN64(s + T(l))) adds a number of ulps that depends on
// l, on the binade and, for a tie, on the parity of the mantissa S alone; a
// tie leaves S even. So a piece [lo, hi) summed from F = 2^e (S even) adds
// D ulps, and a sum s of that binade with S even adds the same D, as long as
// S + D stays in the binade. With S odd, the steps agree with those from F
// except at the first tie (after it both are even): the piece also keeps the
// sum from F at checkpoints (4096, 16384, ... terms in), and the odd sum is
// taken term by term from lo to the first checkpoint where its parity is that
// of F's sum there (a tie came between), then adds what F's sum added after
// that checkpoint. A piece where none came is summed on its own.
//
// Where the pieces are cut. The sum is foreseen along the stretch (its first
// 256 terms exactly, the rest by the midpoint rule: within 1e-6 relative);
// around every binade it will cross, a margin of 2^-14 of the sum on either
// side is left to the stretch's own thread, in order; the rest is cut into
// pieces, each summed from its foreseen binade's F on any thread. Whatever
// the foresight got wrong (a piece that leaves its binade, a sum that comes
// to it in another) is summed again in order from where it went wrong: the
// result never depends on the foresight, nor on the threads, only the time.
//
// Cost. The pieces run at once; what stays in order is the first piece, the
// margins, and the first terms of a piece met with an odd sum (about 2,048
// terms to a tie on average). On this project's 2-core machine the fits of
// bench/run's diverging files (b doubling at every step, counts of 10^9 and
// 2^31 - 1) take about half the time they take on one thread, for no more
// CPU time.
#pragma once

#include <cstdint>
#include <span>

#include "core/parallel.h"
#include "estimation/inner_sums.h"

namespace tarnek {

// Stretches between two counts shorter than this are summed in order.
inline constexpr int64_t kShareFrom = int64_t{1} << 22;

// SweepInnerSums(counts, b, score, hess, kInnerSumCrossover, &memo) with the
// stretches of at least `shareFrom` terms cut into pieces of at most
// `pieceTerms` (0: a sixteenth of the stretch per thread, at least 2^16) run
// on `pool`. In order, as SweepInnerSums, where `pool` is null or has one
// thread, or where the memo keeps this sweep's blocks (b near the last
// sweep's: the memo is then faster). Must not be called from a job of `pool`.
void SweepInnerSumsShared(std::span<const int32_t> counts, double b, std::span<double> score,
                          std::span<double> hess, InnerSumMemo& memo, WorkerPool* pool,
                          int64_t shareFrom = kShareFrom, int64_t pieceTerms = 0);

}  // namespace tarnek
