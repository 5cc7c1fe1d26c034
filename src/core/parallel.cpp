// The worker pool: a job is published under the pool's lock with the number
// of workers it counts on; each worker looks at it under the same lock and
// takes part only when counted, and the caller waits until every counted
// worker has left it.
#include "core/parallel.h"

#include <pthread.h>  // pthread_sigmask
#include <sched.h>    // sched_getaffinity
#include <signal.h>   // sigfillset, sigdelset

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>  // std::fopen, std::fgets
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnek {

namespace {

// One call's work, shared by the calling thread and the workers it counts on.
struct Job {
  const std::function<void(size_t, size_t, int)>* Body = nullptr;
  size_t Count = 0;
  size_t Piece = 1;
  size_t Participants = 1;  // workers 1 .. Participants - 1 take part; the caller is worker 0
  std::atomic<size_t> Next{0};
  std::atomic<bool> Failed{false};
  std::mutex ErrorLock;
  std::exception_ptr FirstError;
};

// Takes pieces until none is left or a body has failed.
void Work(Job& job, int worker) {
  try {
    for (size_t first; !job.Failed.load(std::memory_order_relaxed) &&
                       (first = job.Next.fetch_add(job.Piece)) < job.Count;) {
      (*job.Body)(first, std::min(job.Count, first + job.Piece), worker);
    }
  } catch (...) {
    const std::lock_guard<std::mutex> hold(job.ErrorLock);
    if (!job.FirstError) job.FirstError = std::current_exception();
    job.Failed = true;
  }
}

// Non-negative decimal digits at `p`, up to the first other character; false
// when there are none or they overflow.
bool ReadCount(const char*& p, uint64_t& value) {
  value = 0;
  const char* start = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return p != start;
}

// The first line of a small file, or "" when it cannot be read.
std::string FirstLine(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return {};
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  return read ? std::string(line) : std::string();
}

// The cgroup v2 CPU quota of this process, in whole cores (rounded up): the
// smallest over its cgroup and the cgroups above it; 0 for none.
int CgroupCores() {
  std::FILE* file = std::fopen("/proc/self/cgroup", "re");
  if (file == nullptr) return 0;
  std::string path;
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    const std::string text(line);
    if (text.rfind("0::", 0) == 0) path = text.substr(3, text.find_first_of("\r\n") - 3);
  }
  std::fclose(file);
  int cores = 0;
  for (;;) {
    const int here = CoresOfCpuMax(FirstLine("/sys/fs/cgroup" + (path == "/" ? std::string() : path) + "/cpu.max").c_str());
    if (here > 0 && (cores == 0 || here < cores)) cores = here;
    if (path.empty() || path == "/") break;
    const size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return cores;
}

}  // namespace

int CoresOfCpuMax(const char* text) {
  uint64_t quota = 0;
  uint64_t period = 0;
  const char* p = text;
  if (!ReadCount(p, quota) || *p++ != ' ' || !ReadCount(p, period) || period == 0 || quota == 0) return 0;
  const uint64_t cores = quota / period + (quota % period != 0 ? 1 : 0);
  return static_cast<int>(std::min<uint64_t>(cores, INT32_MAX));
}

int AvailableCores() {
  int cores = static_cast<int>(std::thread::hardware_concurrency());
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) cores = CPU_COUNT(&set);
  const int quota = CgroupCores();
  if (quota > 0 && quota < cores) cores = quota;
  return std::max(1, cores);
}

// The workers and what they wait on.
struct PoolState {
  std::mutex Lock;
  std::condition_variable Wake;  // a new job, or the end, for the workers
  std::condition_variable Done;  // a counted worker has left the job, for the caller
  Job* Current = nullptr;        // the job under way, nullptr between jobs
  uint64_t Generation = 0;       // counts jobs, so that a worker looks at each once
  size_t Busy = 0;               // counted workers still in the current job
  bool Stopping = false;
  std::vector<std::thread> Workers;  // worker k + 1 is Workers[k]
};

namespace {

void WorkerLoop(PoolState& pool, int worker) {
  uint64_t seen = 0;
  for (;;) {
    Job* job = nullptr;
    {
      std::unique_lock<std::mutex> hold(pool.Lock);
      pool.Wake.wait(hold, [&] { return pool.Stopping || pool.Generation != seen; });
      if (pool.Stopping) return;
      seen = pool.Generation;
      // Between jobs, or in a job that does not count on this worker: the
      // job may end and be gone at any moment, so it is left alone.
      if (pool.Current != nullptr && static_cast<size_t>(worker) < pool.Current->Participants) job = pool.Current;
    }
    if (job == nullptr) continue;
    Work(*job, worker);
    {
      const std::lock_guard<std::mutex> hold(pool.Lock);
      if (--pool.Busy == 0) pool.Done.notify_one();
    }
  }
}

// Starts workers until `wanted` threads (the caller included) can take part,
// or the system starts no more; returns how many can. Called under the lock.
size_t EnsureWorkers(PoolState& pool, size_t wanted) {
  if (pool.Workers.size() + 1 >= wanted) return wanted;
  // A new thread starts with its creator's signal mask.
  sigset_t blocked;
  sigset_t previous;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&blocked, fault);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  while (pool.Workers.size() + 1 < wanted) {
    try {
      pool.Workers.emplace_back(WorkerLoop, std::ref(pool), static_cast<int>(pool.Workers.size() + 1));
    } catch (const std::system_error&) {
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return std::min(wanted, pool.Workers.size() + 1);
}

}  // namespace

WorkerPool::WorkerPool(int threads) : threads_(std::max(threads, 1)), state_(std::make_unique<PoolState>()) {}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard<std::mutex> hold(state_->Lock);
    state_->Stopping = true;
  }
  state_->Wake.notify_all();
  for (std::thread& worker : state_->Workers) worker.join();
}

size_t WorkerPool::Participants(size_t count, size_t piece) const {
  piece = std::max<size_t>(piece, 1);
  const size_t pieces = count / piece + (count % piece != 0 ? 1 : 0);
  return std::max<size_t>(1, std::min(static_cast<size_t>(threads_), pieces));
}

void WorkerPool::Run(size_t count, size_t piece, const std::function<void(size_t first, size_t last, int worker)>& body) {
  piece = std::max<size_t>(piece, 1);
  const size_t wanted = Participants(count, piece);
  if (wanted <= 1) {
    for (size_t first = 0; first < count; first += piece) body(first, std::min(count, first + piece), 0);
    return;
  }

  PoolState& pool = *state_;
  Job job;
  job.Body = &body;
  job.Count = count;
  job.Piece = piece;
  {
    const std::lock_guard<std::mutex> hold(pool.Lock);
    job.Participants = EnsureWorkers(pool, wanted);
    pool.Current = &job;
    pool.Busy = job.Participants - 1;
    ++pool.Generation;
  }
  pool.Wake.notify_all();
  Work(job, 0);
  {
    std::unique_lock<std::mutex> hold(pool.Lock);
    pool.Done.wait(hold, [&] { return pool.Busy == 0; });
    pool.Current = nullptr;
  }
  if (job.FirstError) std::rethrow_exception(job.FirstError);
}

}  // namespace tarnek
