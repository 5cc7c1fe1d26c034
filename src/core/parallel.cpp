// Threads for pieces of work, taken in order from one shared counter.
#include "core/parallel.h"

#include <sched.h>  // sched_getaffinity

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnek {

int AvailableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void RunInPieces(size_t count, size_t piece, int threads,
                 const std::function<void(size_t first, size_t last, int worker)>& body) {
  piece = std::max<size_t>(piece, 1);
  const size_t pieces = (count + piece - 1) / piece;
  const size_t workers = std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), pieces);
  if (workers <= 1) {
    for (size_t first = 0; first < count; first += piece) body(first, std::min(count, first + piece), 0);
    return;
  }

  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr firstError;
  std::mutex errorLock;
  auto work = [&](int worker) {
    try {
      for (size_t first; !failed.load(std::memory_order_relaxed) && (first = next.fetch_add(piece)) < count;) {
        body(first, std::min(count, first + piece), worker);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> hold(errorLock);
      if (!firstError) firstError = std::current_exception();
      failed = true;
    }
  };

  std::vector<std::thread> started;
  started.reserve(workers - 1);
  for (size_t w = 1; w < workers; ++w) {
    try {
      started.emplace_back(work, static_cast<int>(w));
    } catch (const std::system_error&) {
      break;  // the system starts no more threads: those running share the work
    }
  }
  work(0);
  for (std::thread& thread : started) thread.join();
  if (firstError) std::rethrow_exception(firstError);
}

}  // namespace tarnek
