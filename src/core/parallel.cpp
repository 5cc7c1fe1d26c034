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
#include <cctype>  // std::isdigit
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

// The whole text of a small file, or "" when it cannot be read.
std::string FileText(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return {};
  std::string text;
  char block[4096];
  for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, got);
  std::fclose(file);
  return text;
}

// Calls visit(line) for every line of `text`, without its line end.
template <typename Visit>
void ForEachLine(const std::string& text, const Visit& visit) {
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    visit(text.substr(at, end - at));
    at = end + 1;
  }
}

// The smallest quota over the cgroup `path` ("/a/b") of a hierarchy
// mounted at `mount` and the cgroups above it, as `cores` reads it from a
// cgroup's directory; 0 for none.
template <typename Cores>
int SmallestQuota(const std::string& mount, std::string path, const Cores& cores) {
  int smallest = 0;
  for (;;) {
    const int here = cores(mount + (path == "/" ? std::string() : path));
    if (here > 0 && (smallest == 0 || here < smallest)) smallest = here;
    if (path.empty() || path == "/") return smallest;
    const size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

// The CPU quota of this process, in whole cores (rounded up): the smallest
// over its cgroup and the cgroups above it, of cgroup v2 (cpu.max) and of
// the cpu controller of cgroup v1 (cpu.cfs_quota_us, cpu.cfs_period_us);
// 0 for none.
int CgroupCores() {
  const std::string cgroup = FileText("/proc/self/cgroup");
  std::string path;
  ForEachLine(cgroup, [&](const std::string& line) {
    if (line.compare(0, 3, "0::") == 0) path = line.substr(3);
  });
  int cores = 0;
  if (!path.empty()) {
    cores = SmallestQuota("/sys/fs/cgroup", path, [](const std::string& dir) {
      return CoresOfCpuMax(FirstLine(dir + "/cpu.max").c_str());
    });
  }
  const CgroupPlace v1 = CpuControllerPlace(cgroup, FileText("/proc/self/mountinfo"));
  if (!v1.Mount.empty()) {
    const int here = SmallestQuota(v1.Mount, v1.Path, [](const std::string& dir) {
      return CoresOfCfsQuota(FirstLine(dir + "/cpu.cfs_quota_us").c_str(), FirstLine(dir + "/cpu.cfs_period_us").c_str());
    });
    if (here > 0 && (cores == 0 || here < cores)) cores = here;
  }
  return cores;
}

// The fields of a line, split at spaces; a mount table's octal escapes
// (\040 for a space) are read back.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      if (!field.empty()) fields.push_back(std::move(field));
      field.clear();
    } else if (line[i] == '\\' && i + 3 < line.size() && std::isdigit(static_cast<unsigned char>(line[i + 1]))) {
      field += static_cast<char>((line[i + 1] - '0') * 64 + (line[i + 2] - '0') * 8 + (line[i + 3] - '0'));
      i += 3;
    } else {
      field += line[i];
    }
  }
  return fields;
}

// True when the comma-separated `list` holds `item`.
bool ListHolds(const std::string& list, const std::string& item) {
  return ("," + list + ",").find("," + item + ",") != std::string::npos;
}

}  // namespace

CgroupPlace CpuControllerPlace(const std::string& cgroup, const std::string& mountinfo) {
  // "4:cpu,cpuacct:/user.slice": the process's cgroup in the cpu hierarchy.
  std::string path;
  bool found = false;
  ForEachLine(cgroup, [&](const std::string& line) {
    if (found) return;
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second != std::string::npos && ListHolds(line.substr(first + 1, second - first - 1), "cpu")) {
      path = line.substr(second + 1);
      found = !path.empty() && path.front() == '/';
    }
  });
  if (!found) return {};
  // "35 25 0:30 /root /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct": the
  // hierarchy's mount, which shows the cgroup `root` of it.
  CgroupPlace place;
  ForEachLine(mountinfo, [&](const std::string& line) {
    if (!place.Mount.empty()) return;
    const std::vector<std::string> fields = Fields(line);
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || fields.end() - dash < 4 || dash[1] != "cgroup" || !ListHolds(dash[3], "cpu")) return;
    const std::string& root = fields[3];
    std::string below = "/";
    if (root == "/") {
      below = path;
    } else if (path.compare(0, root.size(), root) == 0 && (path.size() == root.size() || path[root.size()] == '/')) {
      below = path.size() == root.size() ? "/" : path.substr(root.size());
    }
    place = {fields[4], below};
  });
  return place;
}

int CoresOfCfsQuota(const char* quota, const char* period) {
  uint64_t us = 0;
  uint64_t per = 0;
  const char* p = quota;
  const char* q = period;
  const auto ends = [](const char* at) { return *at == '\0' || *at == '\n'; };
  if (!ReadCount(p, us) || !ends(p) || !ReadCount(q, per) || !ends(q) || us == 0 || per == 0) return 0;
  const uint64_t cores = us / per + (us % per != 0 ? 1 : 0);
  return static_cast<int>(std::min<uint64_t>(cores, INT32_MAX));
}

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
