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
//   5. If a body throws, the job is marked failed as the exception leaves
//      the body, and each thread looks at that mark before it takes a piece:
//      no piece begins on a thread once it has seen the mark, but one that
//      took its piece just before may still begin it, so that at most one
//      piece per other thread begins after the mark. Run rethrows the first
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
#include <string>

namespace tarnek {

// The number of cores this process may use, at least 1: those of its CPU
// affinity, no more than the CPU quota of its cgroup or of any cgroup above
// it allows (rounded up), as a container sets it: cgroup v2's cpu.max, or
// cgroup v1's cpu.cfs_quota_us over cpu.cfs_period_us.
int AvailableCores();

// The quota's share of a core from the text of a cgroup v2 "cpu.max" file
// ("max 100000", or "150000 100000" for 1.5 cores), rounded up to whole
// cores; 0 when the text sets no limit or does not read.
int CoresOfCpuMax(const char* text);

// The same from the texts of a cgroup v1 cpu controller's
// "cpu.cfs_quota_us" ("-1" for no limit, "150000") and "cpu.cfs_period_us"
// ("100000"): 0 when they set no limit or do not read.
int CoresOfCfsQuota(const char* quota, const char* period);

// Where a process's cgroup v1 cpu controller keeps the files of its cgroup:
// the controller's mount point and the cgroup's path below it ("/" for the
// mount's own). Both are empty where there is no v1 cpu hierarchy.
struct CgroupPlace {
  std::string Mount;
  std::string Path;
};

// The place from the texts of the process's /proc/self/cgroup (a line
// "4:cpu,cpuacct:/a/b") and /proc/self/mountinfo (the hierarchy's cgroup
// mount, which shows the cgroup at its root: in a container often the
// container's own, so that /a/b lies below the mount point as "/").
CgroupPlace CpuControllerPlace(const std::string& cgroup, const std::string& mountinfo);

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
