// tarnek-time-neighbours: how long the neighbour methods take on a data file
// and its neighbour file (bench/README.md, "The neighbour methods").
//
//   tarnek-time-neighbours DATA NEIGHBOURS [THREADS]
//
// Reads the plain data file DATA, then times, each the best of three runs:
//   - reading NEIGHBOURS (GAL or GWT) for the records;
//   - the local priors of both kinds with all records as one group;
//   - EB Moran's I with its 999 permutations of that one group, on THREADS
//     threads (default: every core);
//   - per unit (the data's groups): restricting the lists to each unit, its
//     local priors and its EB Moran's I, the units shared out over THREADS.
// Prints one line per step, and exits 1 if a file does not read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "estimation/eb_moran.h"
#include "estimation/group_neighbours.h"
#include "estimation/local_prior.h"
#include "input/data_reader.h"
#include "input/neighbour_file.h"

using namespace tarnek;

namespace {

double BestOfThree(const std::function<void()>& step) {
  double best = 1e300;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    step();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tarnek-time-neighbours DATA NEIGHBOURS [THREADS]\n");
    return 2;
  }
  const int threads = argc > 3 ? std::atoi(argv[3]) : AvailableCores();
  RecordTable table;
  if (ReadDataFile(argv[1], table).Status != ReadStatus::Ok) {
    std::fprintf(stderr, "tarnek-time-neighbours: cannot read %s\n", argv[1]);
    return 1;
  }
  const TextColumn codes = RecordCodeTexts(table);
  NeighbourFileResult read;
  const double readTime = BestOfThree([&] { read = ReadNeighbourFile(argv[2], codes); });
  if (read.Error.Status != NeighbourFileStatus::Ok) {
    std::fprintf(stderr, "tarnek-time-neighbours: %s: %s\n", argv[2], DescribeNeighbourError(read).c_str());
    return 1;
  }
  const size_t n = table.Size();
  std::printf("records %zu, links %zu, threads %d\n", n, read.Lists.Rows.size(), threads);
  std::printf("read the neighbour file          %8.3f s\n", readTime);

  const GroupData all{table.Data1, table.Data2};
  std::vector<RegionPrior> priors(n);
  LocalPriorScratch scratch;
  for (const auto kind : {LocalPriorKind::NeighbourhoodMean, LocalPriorKind::OwnMeans}) {
    const double t = BestOfThree([&] { FillLocalPriors(kind, all, read.Lists, priors, scratch); });
    std::printf("local priors (%s), one group %8.3f s\n", kind == LocalPriorKind::OwnMeans ? "own means" : "local    ", t);
  }
  WorkerPool pool(threads);
  EbMoranResult moran;
  const double moranTime = BestOfThree([&] { moran = EbMoranTest(all, read.Lists, pool); });
  std::printf("EB Moran's I, one group          %8.3f s   (I = %.4f, p = %.3f)\n", moranTime, moran.Statistic,
              moran.PValue);

  // The units as groups: members in input order.
  std::map<int32_t, std::vector<uint32_t>> units;
  for (size_t row = 0; row < n; ++row) units[table.Unit[row]].push_back(static_cast<uint32_t>(row));
  std::vector<const std::vector<uint32_t>*> groups;
  for (const auto& [unit, members] : units) groups.push_back(&members);
  std::vector<uint32_t> rows;
  std::vector<size_t> start = {0};
  for (const std::vector<uint32_t>* members : groups) {
    rows.insert(rows.end(), members->begin(), members->end());
    start.push_back(rows.size());
  }
  const std::vector<uint32_t> positions = MemberPositions(n, rows, start);
  std::vector<EbMoranResult> results(groups.size());
  const double perUnit = BestOfThree([&] {
    pool.Run(groups.size(), 64, [&](size_t first, size_t last, int) {
      LocalPriorScratch local;
      EbMoranScratch eb;
      std::vector<int32_t> y;
      std::vector<double> e;
      std::vector<RegionPrior> out;
      for (size_t g = first; g < last; ++g) {
        const std::vector<uint32_t>& members = *groups[g];
        const NeighbourLists lists = RestrictNeighbours(read.Lists, members, positions);
        y.clear();
        e.clear();
        for (const uint32_t row : members) {
          y.push_back(table.Data1[row]);
          e.push_back(table.Data2[row]);
        }
        out.resize(members.size());
        const GroupData group{y, e};
        FillLocalPriors(LocalPriorKind::NeighbourhoodMean, group, lists, out, local);
        results[g] = EbMoranTest(group, lists, eb);
      }
    });
  });
  size_t withValue = 0;
  for (const EbMoranResult& r : results) withValue += !std::isnan(r.Statistic);
  std::printf("per unit: %zu groups, lists, local priors and EB Moran's I %8.3f s   (%zu with a value)\n",
              groups.size(), perUnit, withValue);
  return 0;
}
