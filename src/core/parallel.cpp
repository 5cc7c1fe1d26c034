// Pieces of work for threads that stay: the workers are started at the first
// call that needs them and then wait for the next, so that a call costs a
// wake-up, not a new thread, and the workers keep their cores and caches.
#include "core/parallel.h"

#include <pthread.h>  // pthread_sigmask
#include <sched.h>    // sched_getaffinity
#include <signal.h>   // sigfillset

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnek {

namespace {

// One call's work, shared by the calling thread and the workers it wakes.
struct Job {
  const std::function<void(size_t, size_t, int)>* Body = nullptr;
  size_t Count = 0;
  size_t Piece = 1;
  size_t Workers = 0;  // workers 1 .. Workers - 1 take part; the caller is worker 0
  std::atomic<size_t> Next{0};
  std::atomic<bool> Failed{false};
  std::exception_ptr FirstError;
};

// Takes pieces until none is left or a body has failed.
void Work(Job& job, int worker, std::mutex& errorLock) {
  try {
    for (size_t first; !job.Failed.load(std::memory_order_relaxed) &&
                       (first = job.Next.fetch_add(job.Piece)) < job.Count;) {
      (*job.Body)(first, std::min(job.Count, first + job.Piece), worker);
    }
  } catch (...) {
    const std::lock_guard<std::mutex> hold(errorLock);
    if (!job.FirstError) job.FirstError = std::current_exception();
    job.Failed = true;
  }
}

// The workers and what they wait on. It lives until the process ends (the
// workers are never joined), so it is never destroyed under them.
struct Pool {
  std::mutex Lock;
  std::condition_variable Wake;  // a new job, for the workers
  std::condition_variable Done;  // a worker has finished its part, for the caller
  std::mutex ErrorLock;
  Job* Current = nullptr;
  uint64_t Generation = 0;  // counts jobs, so that a worker takes each once
  size_t Busy = 0;          // workers still in the current job
  size_t Started = 0;       // workers 1 .. Started
};

Pool& ThePool() {
  static Pool* pool = new Pool;
  return *pool;
}

void WorkerLoop(Pool& pool, int worker) {
  uint64_t seen = 0;
  for (;;) {
    Job* job = nullptr;
    {
      std::unique_lock<std::mutex> hold(pool.Lock);
      pool.Wake.wait(hold, [&] { return pool.Generation != seen; });
      seen = pool.Generation;
      // A worker the job does not count on leaves it alone: the job may end
      // and be gone at any moment.
      if (static_cast<size_t>(worker) < pool.Current->Workers) job = pool.Current;
    }
    if (job == nullptr) continue;
    Work(*job, worker, pool.ErrorLock);
    {
      const std::lock_guard<std::mutex> hold(pool.Lock);
      if (--pool.Busy == 0) pool.Done.notify_one();
    }
  }
}

// Starts workers until there are `wanted` - 1 of them, or the system starts
// no more; returns how many threads (the caller included) can take part.
// Workers take no signal (they start with every signal blocked): a signal
// that ends the run goes to the thread that writes the outputs, which holds
// such signals off while it makes a temporary file and notes it for removal.
size_t EnsureWorkers(Pool& pool, size_t wanted) {
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  while (pool.Started + 1 < wanted) {
    try {
      std::thread(WorkerLoop, std::ref(pool), static_cast<int>(pool.Started + 1)).detach();
    } catch (const std::system_error&) {
      break;
    }
    ++pool.Started;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return std::min(wanted, pool.Started + 1);
}

}  // namespace

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
  const size_t wanted = std::min<size_t>(static_cast<size_t>(std::max(threads, 1)), pieces);
  if (wanted <= 1) {
    for (size_t first = 0; first < count; first += piece) body(first, std::min(count, first + piece), 0);
    return;
  }

  Pool& pool = ThePool();
  Job job;
  job.Body = &body;
  job.Count = count;
  job.Piece = piece;
  {
    const std::lock_guard<std::mutex> hold(pool.Lock);
    job.Workers = EnsureWorkers(pool, wanted);
    pool.Current = &job;
    pool.Busy = job.Workers - 1;
    ++pool.Generation;
  }
  pool.Wake.notify_all();
  Work(job, 0, pool.ErrorLock);
  {
    std::unique_lock<std::mutex> hold(pool.Lock);
    pool.Done.wait(hold, [&] { return pool.Busy == 0; });
    pool.Current = nullptr;
  }
  if (job.FirstError) std::rethrow_exception(job.FirstError);
}

}  // namespace tarnek
