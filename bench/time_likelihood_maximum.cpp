// What the search for the likelihood's maximum costs (likelihood_maximum.h).
// It runs only where the Newton-Raphson fit did not give the maximum, so the
// figures are per searched group.
//
//   tarnek-time-maximum                 synthetic groups of 10 and 1000 records
//   tarnek-time-maximum DATA            every group of a data file (plain format)
//
// Synthetic: per size, 2000 groups of 10 (100 of 1000) records, expected
// counts log-uniform in [1, 100], counts Poisson with one ratio per group
// (Gamma, shape 4, mean 1: maps without extra variation, where the fit fails
// most), and as many with ratios drawn per record from a Gamma of shape 4
// around it; prints, per size and kind of map, the groups searched, the mean
// and largest number of intervals, and the mean, median and largest time per
// searched group (the thread's CPU time). With DATA: the file's groups
// estimated on one thread, then the search timed over all of them, with the
// same figures and the total. One thread throughout; a report, not a gate.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "estimation/estimator.h"
#include "estimation/likelihood_maximum.h"
#include "grouping/grouping.h"
#include "input/data_reader.h"

using namespace tarnek;

namespace {

struct Figures {
  std::vector<double> Seconds;  // per searched group
  std::vector<int32_t> Intervals;
  int Kinds[4] = {};
  int Uncertified = 0;
  int Groups = 0;
};

// The CPU time of this thread, in seconds: unlike the wall clock, it does
// not count the time the thread waits for a core on a busy machine.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void Time(const GroupData& group, const GroupResult& fit, const GroupDiagnostics& diagnostics, Figures& f) {
  const double start = ThreadSeconds();
  const LikelihoodMaximum m = FindLikelihoodMaximum(group, fit, diagnostics);
  const double seconds = ThreadSeconds() - start;
  ++f.Groups;
  ++f.Kinds[static_cast<int>(m.Kind)];
  f.Uncertified += m.Certified ? 0 : 1;
  if (m.Kind == MaximumKind::Safeguarded || m.Kind == MaximumKind::Boundary) {
    f.Seconds.push_back(seconds);
    f.Intervals.push_back(m.Intervals);
  }
}

void Print(const char* name, Figures f) {
  std::printf("%-28s %7d groups: %6d Newton-Raphson, %6d safeguarded, %6d boundary, %d none, %d uncertified\n", name,
              f.Groups, f.Kinds[0], f.Kinds[1], f.Kinds[2], f.Kinds[3], f.Uncertified);
  if (f.Seconds.empty()) return;
  double total = 0.0;
  for (const double s : f.Seconds) total += s;
  double intervals = 0.0;
  for (const int32_t i : f.Intervals) intervals += i;
  std::sort(f.Seconds.begin(), f.Seconds.end());
  std::printf("%-28s searched %d: intervals mean %.1f, max %d; time mean %.1f us, median %.1f us, max %.1f us, total %.3f s\n",
              "", static_cast<int>(f.Seconds.size()), intervals / f.Seconds.size(),
              *std::max_element(f.Intervals.begin(), f.Intervals.end()), 1e6 * total / f.Seconds.size(),
              1e6 * f.Seconds[f.Seconds.size() / 2], 1e6 * f.Seconds.back(), total);
}

void Synthetic() {
  std::mt19937_64 rng(1);
  EstimatorScratch scratch;
  for (const int n : {10, 1000}) {
    const int groups = n == 10 ? 2000 : 100;
    for (const bool extra : {false, true}) {
      Figures f;
      for (int g = 0; g < groups; ++g) {
        std::vector<int32_t> y(n);
        std::vector<double> e(n);
        const double level = std::gamma_distribution<double>(4.0, 0.25)(rng);
        for (int i = 0; i < n; ++i) {
          e[i] = std::exp(std::uniform_real_distribution<double>(0.0, std::log(100.0))(rng));
          const double theta = extra ? level * std::gamma_distribution<double>(4.0, 0.25)(rng) : level;
          y[i] = std::poisson_distribution<int32_t>(theta * e[i])(rng);
        }
        const GroupData group{y, e};
        const GroupResult fit = EstimateGroup(group, {}, scratch).Result;
        const GroupDiagnostics d = DiagnoseGroup(group, fit, scratch);
        Time(group, fit, d, f);
      }
      const std::string name = std::to_string(n) + " records, " + (extra ? "extra variation" : "Poisson");
      Print(name.c_str(), f);
    }
  }
}

int DataFile(const char* path) {
  RecordTable table;
  if (ReadDataFile(path, table).Status != ReadStatus::Ok) {
    std::fprintf(stderr, "tarnek-time-maximum: cannot read %s\n", path);
    return 1;
  }
  WorkerPool pool(1);
  const Estimates estimates = EstimateAllGroups(table, {}, pool);
  const GroupMembers members = ListGroupMembers(table);
  const std::vector<GroupDiagnostics> diagnostics = DiagnoseAllGroups(table, estimates, members, pool);
  Figures f;
  std::vector<int32_t> y;
  std::vector<double> e;
  for (size_t g = 0; g < estimates.Groups.size(); ++g) {
    y.clear();
    e.clear();
    for (size_t r = members.Start[g]; r < members.Start[g + 1]; ++r) {
      y.push_back(table.Data1[members.Rows[r]]);
      e.push_back(table.Data2[members.Rows[r]]);
    }
    Time({y, e}, estimates.Groups[g], diagnostics[g], f);
  }
  Print(path, f);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) return DataFile(argv[1]);
  Synthetic();
  return 0;
}
