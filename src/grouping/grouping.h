// Unit grouping: which records are estimated together, and every record's
// results back in input order.
//
// If the first record's Unit is -1, all records form one group. Otherwise
// every distinct Unit forms a group of its own; the groups are estimated in
// ascending (signed) order of Unit, and the members of a group keep their
// input order. Groups are independent of each other, so they may be
// estimated in any order and at once. Grouping writes no file: it returns
// what it found.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/fit_settings.h"
#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "estimation/estimator.h"

namespace tarnek {

enum class GroupMode {
  SingleGroup,  // one group of all records
  PerUnit,      // one group per distinct Unit
};

// Every record's three ratios, in input order; each a value or NoEstimate.
struct RecordRatios {
  std::vector<double> Ratio;       // crude ratio Data1/Data2
  std::vector<double> EbRatioMe;   // EB ratio from the group's moment estimates
  std::vector<double> EbRatioMle;  // EB ratio from the group's ML estimates
};

// The results of a run's estimation.
struct Estimates {
  GroupMode Mode = GroupMode::PerUnit;
  std::vector<int32_t> Units;       // per group, in the order estimated: its Unit (-1 in single-group mode)
  std::vector<GroupResult> Groups;  // per group, in the same order
  RecordRatios Records;             // per record, in input order
};

// The grouping mode chosen by the first record with a defined ratio (rows
// without one, kept with --undefined=skip, do not count: the groups are
// those of the file without them). A table without such a record has no
// group: per-unit mode with nothing to estimate.
GroupMode ChooseGroupMode(const RecordTable& table);

// Forms the groups, estimates them and gathers the results. The records are
// sorted by Unit, and per-unit groups estimated, on the threads of `pool`,
// each with its own workspace; every result is the same whatever the number
// of threads. One group of all records is estimated on this thread.
Estimates EstimateAllGroups(const RecordTable& table, const FitSettings& fit, WorkerPool& pool);

// The groups' members as EstimateAllGroups forms them, listed again on
// request: the rows of group g (the g-th of Estimates::Groups) are
// Rows[Start[g]] to Rows[Start[g + 1] - 1], in input order. The sort by
// Unit runs on the threads of `pool` where it is given, with the same
// result on any number.
struct GroupMembers {
  std::vector<uint32_t> Rows;
  std::vector<size_t> Start;  // one more than there are groups
};
GroupMembers ListGroupMembers(const RecordTable& table);
GroupMembers ListGroupMembers(const RecordTable& table, WorkerPool& pool);

// Calls body(g, data, rows, worker) for every group g of `members` on the
// threads of `pool`: `data` the members' counts and expected counts in input
// order, gathered next to each other, `rows` their rows, `worker` the thread
// (below pool.Participants(groups, GroupsPerPiece())). Groups are handed out
// a piece at a time; `data` is valid during the call only.
using GroupBody = std::function<void(size_t g, const GroupData& data, std::span<const uint32_t> rows, int worker)>;
void ForEachGroup(const RecordTable& table, const GroupMembers& members, WorkerPool& pool, const GroupBody& body);
size_t GroupsPerPiece();

// Every group's fit diagnostics, in the order of `estimates.Groups`, each from
// the group's members (in input order, as estimated) and its result, on the
// threads of `pool`. `estimates` is what EstimateAllGroups returned for
// `table`, `members` what ListGroupMembers did.
std::vector<GroupDiagnostics> DiagnoseAllGroups(const RecordTable& table, const Estimates& estimates,
                                                const GroupMembers& members, WorkerPool& pool);

}  // namespace tarnek
