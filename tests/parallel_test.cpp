// The worker pool's contract: every piece once, worker ids below the
// participants, no more threads than pieces, the first error back, jobs
// that follow each other with any number of pieces, a fault in a worker
// that reaches the process's handler; and the cores a process may use.
#include <gtest/gtest.h>

#include <sched.h>     // sched_setaffinity
#include <signal.h>    // sigaction, SIGSEGV
#include <sys/mman.h>  // mmap
#include <sys/wait.h>  // waitpid
#include <unistd.h>    // fork, _exit

#include <atomic>
#include <chrono>
#include <cstdlib>  // std::getenv, std::atoi
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/parallel.h"

using namespace tarnek;

TEST(WorkerPoolTest, EveryPieceOnceOnEveryThreadCount) {
  // More pieces than threads, fewer, and exactly as many; every thread count
  // from 1 to 64 on one pool each, reused for every job.
  for (int threads = 1; threads <= 64; ++threads) {
    WorkerPool pool(threads);
    for (const size_t count : {size_t{0}, size_t{1}, size_t{5}, size_t{13} * 7, size_t{1000}}) {
      const size_t participants = pool.Participants(count, 13);
      ASSERT_EQ(participants, std::max<size_t>(1, std::min<size_t>(threads, (count + 12) / 13)));
      std::vector<std::atomic<int>> visits(count);
      std::vector<std::atomic<int>> busy(participants);
      pool.Run(count, 13, [&](size_t first, size_t last, int worker) {
        ASSERT_LT(static_cast<size_t>(worker), participants);
        ASSERT_EQ(busy[worker]++, 0) << "one worker ran two pieces at once";
        ASSERT_EQ(first % 13, 0u);
        ASSERT_EQ(last, std::min(count, first + 13));
        for (size_t i = first; i < last; ++i) ++visits[i];
        --busy[worker];
      });
      for (const auto& v : visits) ASSERT_EQ(v.load(), 1) << threads << " threads, " << count << " items";
    }
  }
}

TEST(WorkerPoolTest, NoMoreThreadsThanPieces) {
  // A pool of two billion threads on a job of three pieces starts two
  // workers and allocates for three: a thread per --threads ran out of memory.
  const auto tasks = [] {
    const std::filesystem::directory_iterator all("/proc/self/task");
    return std::distance(begin(all), end(all));
  };
  WorkerPool small(3);  // first, so that any thread a runtime starts with the first worker (ThreadSanitizer's) is there
  small.Run(3, 1, [](size_t, size_t, int) {});
  const auto before = tasks();
  WorkerPool pool(2147483647);
  std::atomic<int> pieces{0};
  pool.Run(3, 1, [&](size_t, size_t, int) { ++pieces; });
  EXPECT_EQ(pieces.load(), 3);
  EXPECT_LE(tasks() - before, 2);
}

TEST(WorkerPoolTest, TheFirstErrorComesBackAndNoPieceBeginsAfterIt) {
  for (const int threads : {1, 2, 7}) {
    WorkerPool pool(threads);
    std::atomic<size_t> begun{0};
    // The pieces after the failing one take 100 us each, so that the other
    // threads could only run them all if the pool went on for seconds after
    // the throw: a thread preempted between its count and its throw (seen on
    // a loaded machine at 7 threads on 2 cores) does not fail the test.
    EXPECT_THROW(pool.Run(100000, 1,
                          [&](size_t first, size_t, int) {
                            ++begun;
                            if (first == 10) throw std::bad_alloc();
                            if (first > 10) std::this_thread::sleep_for(std::chrono::microseconds(100));
                          }),
                 std::bad_alloc);
    if (threads == 1) { EXPECT_EQ(begun.load(), 11u); }
    EXPECT_LT(begun.load(), 100000u) << threads;
    // The pool goes on after a failed job.
    std::atomic<size_t> done{0};
    pool.Run(50, 3, [&](size_t first, size_t last, int) { done += last - first; });
    EXPECT_EQ(done.load(), 50u);
  }
}

TEST(WorkerPoolTest, ShortJobsAfterLongOnesOnManyThreads) {
  // Workers that a short job does not count on wake after it has ended:
  // they must not look at it (this crashed within a second). Jobs of two to
  // seven pieces on pools of 3 to 16 threads, now and then one that starts
  // every worker. TARNEK_POOL_ROUNDS sets the rounds (.ci/run runs more).
  const char* rounds = std::getenv("TARNEK_POOL_ROUNDS");
  const int roundCount = rounds != nullptr ? std::atoi(rounds) : 20000;
  for (const int threads : {3, 8, 16}) {
    WorkerPool pool(threads);
    std::atomic<size_t> items{0};
    size_t want = 0;
    for (int round = 0; round < roundCount / threads; ++round) {
      const size_t count = round % 50 == 0 ? size_t(threads) * 4 : 2 + size_t(round % 6);
      pool.Run(count, 1, [&](size_t first, size_t last, int) { items += last - first; });
      want += count;
    }
    EXPECT_EQ(items.load(), want) << threads;
  }
}

TEST(WorkerPoolTest, AFaultInAWorkerReachesTheHandler) {
  // In a child process: a worker writes to a page it may not touch. The process's
  // SIGSEGV handler must run (and exit with 42), as the run's handler must to
  // remove its temporary files; a worker that blocked the signal would be
  // ended by the kernel past it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction action{};
    action.sa_handler = [](int) { _exit(42); };
    sigaction(SIGSEGV, &action, nullptr);
    alarm(20);
    // A page without access: a real fault, which no sanitizer reports first.
    volatile int* const forbidden = static_cast<int*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    WorkerPool pool(2);
    // The caller keeps its piece, so that the other one goes to the worker.
    pool.Run(2, 1, [&](size_t, size_t, int worker) {
      while (worker == 0) std::this_thread::yield();
      *forbidden = 1;
    });
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 42);
}

TEST(AvailableCoresTest, CgroupQuotaInWholeCores) {
  // cgroup v2's cpu.max: "QUOTA PERIOD"; v1's quota and period in files of
  // their own (the text of each, after a blank), -1 for no limit.
  const struct { const char* text; int cores; } cases[] = {
      {"max 100000\n", 0}, {"100000 100000\n", 1}, {"150000 100000\n", 2}, {"50000 100000", 1},
      {"800000 100000\n", 8}, {"", 0}, {"garbage", 0}, {"100000 0\n", 0}, {"-1 100000\n", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CoresOfCpuMax(c.text), c.cores) << c.text;
  const struct { const char* quota; const char* period; int cores; } v1[] = {
      {"-1\n", "100000\n", 0}, {"100000\n", "100000\n", 1}, {"150000\n", "100000\n", 2}, {"50000", "100000", 1},
      {"", "100000\n", 0}, {"100000\n", "", 0}, {"100000\n", "0\n", 0}, {"1x\n", "100000\n", 0},
  };
  for (const auto& c : v1) EXPECT_EQ(CoresOfCfsQuota(c.quota, c.period), c.cores) << c.quota << " " << c.period;
}

TEST(AvailableCoresTest, TheCpuControllerOfCgroupV1IsFoundWhereItIsMounted) {
  // A host's cgroup below the mount of the hierarchy's root; a container's,
  // whose mount shows its own cgroup at its root; a space escaped in the
  // mount point; the cpu controller alone; none (cgroup v2 only).
  const std::string mount = "35 25 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:12 - cgroup cgroup rw,cpu,cpuacct\n";
  const struct { std::string cgroup, mountinfo; CgroupPlace place; } cases[] = {
      {"5:memory:/user.slice\n4:cpu,cpuacct:/user.slice/a\n0::/x\n",
       "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n" + mount, {"/sys/fs/cgroup/cpu,cpuacct", "/user.slice/a"}},
      {"4:cpu,cpuacct:/docker/abc\n", "35 25 0:30 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup ro,cpuacct,cpu\n",
       {"/sys/fs/cgroup/cpu,cpuacct", "/"}},
      {"3:cpu:/a\n", "40 25 0:31 / /mnt/c\\040g rw shared:1 - cgroup none rw,cpu\n", {"/mnt/c g", "/a"}},
      {"3:cpuacct:/a\n4:cpuset:/a\n", mount, {}},
      {"0::/user.slice\n", "30 25 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", {}},
  };
  for (const auto& c : cases) {
    const CgroupPlace got = CpuControllerPlace(c.cgroup, c.mountinfo);
    EXPECT_EQ(std::tie(got.Mount, got.Path), std::tie(c.place.Mount, c.place.Path)) << c.cgroup;
  }
}

TEST(AvailableCoresTest, TheDefaultFollowsTheAffinity) {
  // This thread allowed one CPU of those it has, then all again.
  const int cores = AvailableCores();
  EXPECT_GE(cores, 1);
  EXPECT_LE(cores, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  for (int cpu = 0; CPU_COUNT(&one) == 0; ++cpu) if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(AvailableCores(), 1);
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}
