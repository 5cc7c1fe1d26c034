// Work shared out over threads: the one place where the system starts them.
//
// A run owns one WorkerPool and hands it every piece of work that several
// threads may share (the groups' fits, the formatting of the tables). The
// pool's threads stay from their first job to the pool's end, so that a job
// costs a wake-up, not a new thread, and the workers keep their cores and
// caches.
//
// What a job (WorkerPool::Run) guarantees:
//   1. The items [0, count) are cut into consecutive pieces of `piece` items
//      (the last one may be shorter). body(first, last, worker) is called
//      exactly once for every piece [first, last), unless a body has thrown.
//      Pieces are begun in increasing order of `first`; they may run at the
//      same time and end in any order.
//   2. `worker` tells the threads apart: 0 is the thread that called Run,
//      1, 2, ... are the pool's workers. It is always below
//      Participants(count, piece), so per-thread storage of that many entries
//      suffices; one worker runs its pieces one after another, never two at
//      once. Which worker gets which piece is not fixed: a body's result must
//      not depend on it.
//   3. At most Participants(count, piece) = min(threads, number of pieces)
//      threads take part; workers are started when a job first needs them,
//      never more than that, so a pool of many threads costs nothing on
//      little work. Where the system starts no more threads, fewer take part.
//   4. Run returns once every piece is done and no worker touches the job any
//      more: the body, and whatever it captured, may then go. A worker that a
//      job does not count on never looks at it.
//   5. If a body throws, no piece is begun after that; Run rethrows the first
//      exception once every thread has left the job.
//   6. One job at a time: Run must not be called from a body, nor from two
//      threads at once on the same pool.
//
// Signals: workers block every asynchronous signal, so that a signal that
// ends the run reaches the thread that writes the outputs (which holds such
// signals off while it makes a temporary file and notes it for removal).
// They leave the synchronous fault signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP, SIGSYS) unblocked: a fault in a worker then reaches the process's
// handler, which removes the temporary files, instead of the kernel ending
// the process past it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace tarnek {

// The number of cores this process may use, at least 1: those of its CPU
// affinity, no more than its cgroup's CPU quota allows (rounded up), as a
// container sets it.
int AvailableCores();

// The quota's share of a core from the text of a cgroup v2 "cpu.max" file
// ("max 100000", or "150000 100000" for 1.5 cores), rounded up to whole
// cores; 0 when the text sets no limit or does not read.
int CoresOfCpuMax(const char* text);

struct PoolState;

class WorkerPool {
 public:
  // A pool of up to `threads` threads, the calling one included (at least 1).
  explicit WorkerPool(int threads);
  ~WorkerPool();  // stops and joins the workers
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int Threads() const { return threads_; }

  // How many threads a job of `count` items in pieces of `piece` may run on:
  // every `worker` it passes lies below this. At least 1.
  size_t Participants(size_t count, size_t piece) const;

  // Runs the job described above.
  void Run(size_t count, size_t piece, const std::function<void(size_t first, size_t last, int worker)>& body);

 private:
  int threads_;
  std::unique_ptr<PoolState> state_;
};

}  // namespace tarnek
