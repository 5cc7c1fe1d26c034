// Work shared out over threads: the one place where the system starts them.
#pragma once

#include <cstddef>
#include <functional>

namespace tarnek {

// The number of cores this process may run on (its CPU affinity), at least 1.
int AvailableCores();

// Calls body(first, last, worker) for consecutive pieces [first, last) of
// [0, count), each at most `piece` items long, on up to `threads` threads:
// this one and others started for the call, told apart by worker = 0, 1, ...
// (fewer than `threads` are used when there are fewer pieces, or when the
// system will not start more). A free thread takes the next piece. Returns
// when every piece is done; the first exception a body throws is rethrown
// here once every thread has stopped, and no piece is begun after it.
// One call at a time: a body must not call RunInPieces itself.
void RunInPieces(size_t count, size_t piece, int threads,
                 const std::function<void(size_t first, size_t last, int worker)>& body);

}  // namespace tarnek
