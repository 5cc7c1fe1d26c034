// Local priors group by group: the group's lists cut from the run's, the
// priors filled for its members and put in their rows.
#include "grouping/neighbour_priors.h"

#include <vector>

#include "estimation/group_neighbours.h"
#include "estimation/local_prior.h"

namespace tarnek {

namespace {

// Calls body(g, data, rows, lists, worker) with every group's own lists.
// Every record's place in its group is filled before the groups' work and
// only read during it.
template <typename Body>
void ForEachGroupWithNeighbours(const RecordTable& table, const GroupMembers& members, const NeighbourLists& all,
                                WorkerPool& pool, Body body) {
  const std::vector<uint32_t> position = MemberPositions(table.Size(), members.Rows, members.Start);
  ForEachGroup(table, members, pool, [&](size_t g, const GroupData& data, std::span<const uint32_t> rows, int worker) {
    const NeighbourLists lists = RestrictNeighbours(all, rows, position);
    body(g, data, rows, lists, worker);
  });
}

void FillLocal(LocalPriorKind kind, const MethodInput& input, PriorSet& out) {
  for (GroupPrior& group : out.Groups) group.Source = "local";
  std::vector<LocalPriorScratch> scratch(input.Pool.Participants(input.Members.Start.size() - 1, GroupsPerPiece()));
  std::vector<std::vector<RegionPrior>> priors(scratch.size());
  ForEachGroupWithNeighbours(input.Table, input.Members, *input.Neighbours, input.Pool,
                             [&](size_t, const GroupData& data, std::span<const uint32_t> rows,
                                 const NeighbourLists& lists, int worker) {
                               std::vector<RegionPrior>& mine = priors[static_cast<size_t>(worker)];
                               mine.assign(rows.size(), NoPrior());
                               FillLocalPriors(kind, data, lists, mine, scratch[static_cast<size_t>(worker)]);
                               for (size_t k = 0; k < rows.size(); ++k) out.Records[rows[k]] = mine[k];
                             });
}

}  // namespace

void FillNeighbourhoodPriors(const MethodInput& input, PriorSet& out) {
  FillLocal(LocalPriorKind::NeighbourhoodMean, input, out);
}

void FillOwnMeansPriors(const MethodInput& input, PriorSet& out) { FillLocal(LocalPriorKind::OwnMeans, input, out); }

std::vector<EbMoranResult> GroupMoranTests(const RecordTable& table, const GroupMembers& members,
                                           const NeighbourLists& neighbours, WorkerPool& pool) {
  const size_t groups = members.Start.size() - 1;
  std::vector<EbMoranResult> results(groups);
  if (groups == 1) {  // its permutations over the threads
    std::vector<int32_t> data1(members.Rows.size());
    std::vector<double> data2(members.Rows.size());
    for (size_t k = 0; k < members.Rows.size(); ++k) {
      data1[k] = table.Data1[members.Rows[k]];
      data2[k] = table.Data2[members.Rows[k]];
    }
    const std::vector<uint32_t> position = MemberPositions(table.Size(), members.Rows, members.Start);
    results[0] = EbMoranTest({data1, data2}, RestrictNeighbours(neighbours, members.Rows, position), pool);
    return results;
  }
  std::vector<EbMoranScratch> scratch(pool.Participants(groups, GroupsPerPiece()));
  ForEachGroupWithNeighbours(table, members, neighbours, pool,
                             [&](size_t g, const GroupData& data, std::span<const uint32_t>, const NeighbourLists& lists,
                                 int worker) { results[g] = EbMoranTest(data, lists, scratch[static_cast<size_t>(worker)]); });
  return results;
}

std::vector<uint32_t> NeighboursWithinGroups(const RecordTable& table, const GroupMembers& members,
                                             const NeighbourLists& neighbours, WorkerPool& pool) {
  std::vector<uint32_t> counts(table.Size(), 0);
  ForEachGroupWithNeighbours(table, members, neighbours, pool,
                             [&](size_t, const GroupData&, std::span<const uint32_t> rows,
                                 const NeighbourLists& lists, int) {
                               for (size_t k = 0; k < rows.size(); ++k) {
                                 counts[rows[k]] = static_cast<uint32_t>(lists.Of(k).size());
                               }
                             });
  return counts;
}

}  // namespace tarnek
