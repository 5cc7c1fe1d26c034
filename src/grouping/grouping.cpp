// Grouping by one stable sort: the record numbers, sorted by Unit, list every
// group's members in input order, group after group in ascending order of
// Unit. No scan of the table per group is needed.
#include "grouping/grouping.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/parallel.h"

namespace tarnek {

namespace {

constexpr int32_t kSingleGroupUnit = -1;

// Groups are handed to the threads this many at a time.
constexpr size_t kGroupsPerPiece = 64;

// A group member as grouping orders it: the Unit, moved to an unsigned sort
// key, above the row number.
using Entry = uint64_t;

uint32_t RowOf(Entry entry) { return static_cast<uint32_t>(entry); }
uint32_t KeyOf(Entry entry) { return static_cast<uint32_t>(entry >> 32); }

// True when every row of the table has a defined ratio (as always but with
// --undefined=skip).
bool AllDefined(const RecordTable& table) {
  for (size_t row = 0; row < table.Size(); ++row) {
    if (!table.Defined(row)) return false;
  }
  return true;
}

// The rows with a defined ratio, in input order.
std::vector<uint32_t> DefinedRows(const RecordTable& table) {
  std::vector<uint32_t> rows;
  for (size_t row = 0; row < table.Size(); ++row) {
    if (table.Defined(row)) rows.push_back(static_cast<uint32_t>(row));
  }
  return rows;
}

// The records with a defined ratio ordered by Unit (signed, ascending), those
// of one Unit in input order: a stable radix sort in two passes of 16 bits
// over the key, starting from the entries in input order. Each entry carries
// its key, so both passes read their input in order.
std::vector<Entry> EntriesByUnit(const RecordTable& table) {
  const std::vector<int32_t>& units = table.Unit;
  const bool all = AllDefined(table);
  std::vector<Entry> entries;
  entries.reserve(units.size());
  for (size_t k = 0; k < units.size(); ++k) {
    if (!all && !table.Defined(k)) continue;
    const uint32_t key = static_cast<uint32_t>(units[k]) ^ 0x80000000u;
    entries.push_back((Entry{key} << 32) | static_cast<uint32_t>(k));
  }
  std::vector<Entry> sorted(entries.size());
  for (int shift = 32; shift < 64; shift += 16) {
    std::vector<size_t> start(size_t{1} << 16, 0);
    for (Entry entry : entries) ++start[(entry >> shift) & 0xFFFF];
    size_t total = 0;
    for (size_t& bucket : start) {
      const size_t count = bucket;
      bucket = total;
      total += count;
    }
    for (Entry entry : entries) sorted[start[(entry >> shift) & 0xFFFF]++] = entry;
    entries.swap(sorted);
  }
  return entries;
}

// Where each group begins in `entries`, and one past the last entry.
std::vector<size_t> GroupStarts(const std::vector<Entry>& entries) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || KeyOf(entries[i]) != KeyOf(entries[i - 1])) starts.push_back(i);
  }
  starts.push_back(entries.size());
  return starts;
}

// Asks for the rows of the next group while the current one is estimated:
// in per-unit mode they lie anywhere in the table.
void PrefetchMembers(const RecordTable& table, const RecordRatios& records, std::span<const Entry> members) {
  for (const Entry member : members) {
    const uint32_t row = RowOf(member);
    __builtin_prefetch(&table.Data1[row]);
    __builtin_prefetch(&table.Data2[row]);
    __builtin_prefetch(&records.Ratio[row], 1);
    __builtin_prefetch(&records.EbRatioMe[row], 1);
    __builtin_prefetch(&records.EbRatioMle[row], 1);
  }
}

// The members' data of one group, gathered next to each other.
struct Gathered {
  std::vector<int32_t> Data1;
  std::vector<double> Data2;
};

// Gathers the data of the group whose members are `members`, row numbers or
// entries: `rowOf` gives a member's row.
template <typename Member, typename MemberRow>
void Gather(const RecordTable& table, std::span<const Member> members, MemberRow rowOf, Gathered& out) {
  out.Data1.resize(members.size());
  out.Data2.resize(members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    out.Data1[i] = table.Data1[rowOf(members[i])];
    out.Data2[i] = table.Data2[rowOf(members[i])];
  }
}

// What one thread works in: the estimator's storage and the gathered data.
struct Workspace {
  EstimatorScratch Scratch;
  Gathered Members;
};

// Copies member i's ratios to the row `rowOf(i)`.
template <typename RowOf>
void ScatterBack(const MemberRatios& members, RowOf rowOf, RecordRatios& records) {
  for (size_t i = 0; i < members.Ratio.size(); ++i) {
    const size_t row = rowOf(i);
    records.Ratio[row] = members.Ratio[i];
    records.EbRatioMe[row] = members.EbRatioMe[i];
    records.EbRatioMle[row] = members.EbRatioMle[i];
  }
}

}  // namespace

GroupMode ChooseGroupMode(const RecordTable& table) {
  return table.Size() > 0 && table.Unit[0] == kSingleGroupUnit ? GroupMode::SingleGroup : GroupMode::PerUnit;
}

Estimates EstimateAllGroups(const RecordTable& table, const FitSettings& fit, WorkerPool& pool) {
  const size_t n = table.Size();
  Estimates estimates;
  estimates.Mode = ChooseGroupMode(table);
  RecordRatios& records = estimates.Records;
  records.Ratio.resize(n);
  records.EbRatioMe.resize(n);
  records.EbRatioMle.resize(n);

  if (estimates.Mode == GroupMode::SingleGroup) {
    EstimatorScratch scratch;
    if (AllDefined(table)) {
      // Every record in input order: the estimator reads the table's own columns.
      const GroupEstimate group = EstimateGroup({table.Data1, table.Data2}, fit, scratch);
      estimates.Units.push_back(kSingleGroupUnit);
      estimates.Groups.push_back(group.Result);
      ScatterBack(group.Members, [](size_t i) { return i; }, records);
      return estimates;
    }
    // The records with a defined ratio; the others have none of the three.
    for (std::vector<double>* column : {&records.Ratio, &records.EbRatioMe, &records.EbRatioMle}) {
      column->assign(n, NoEstimate);
    }
    const std::vector<uint32_t> rows = DefinedRows(table);
    if (rows.empty()) return estimates;  // nothing to estimate: no group
    Gathered data;
    Gather(table, std::span<const uint32_t>(rows), [](uint32_t row) { return row; }, data);
    const GroupEstimate group = EstimateGroup({data.Data1, data.Data2}, fit, scratch);
    estimates.Units.push_back(kSingleGroupUnit);
    estimates.Groups.push_back(group.Result);
    ScatterBack(group.Members, [&](size_t i) { return rows[i]; }, records);
    return estimates;
  }

  if (!AllDefined(table)) {
    for (std::vector<double>* column : {&records.Ratio, &records.EbRatioMe, &records.EbRatioMle}) {
      column->assign(n, NoEstimate);
    }
  }
  const std::vector<Entry> entries = EntriesByUnit(table);
  const std::vector<size_t> starts = GroupStarts(entries);
  const size_t groups = starts.size() - 1;
  estimates.Units.resize(groups);
  estimates.Groups.resize(groups);
  // Each thread has its own workspace; every group writes only its own
  // result and its own members' rows.
  std::vector<Workspace> workspaces(pool.Participants(groups, kGroupsPerPiece));
  const std::span<const Entry> all(entries);
  pool.Run(groups, kGroupsPerPiece, [&](size_t first, size_t last, int worker) {
    Workspace& workspace = workspaces[static_cast<size_t>(worker)];
    for (size_t g = first; g < last; ++g) {
      if (g + 1 < groups) PrefetchMembers(table, records, all.subspan(starts[g + 1], starts[g + 2] - starts[g + 1]));
      const std::span<const Entry> members = all.subspan(starts[g], starts[g + 1] - starts[g]);
      Gather(table, members, RowOf, workspace.Members);
      const GroupEstimate group = EstimateGroup({workspace.Members.Data1, workspace.Members.Data2}, fit, workspace.Scratch);
      estimates.Units[g] = table.Unit[RowOf(members[0])];
      estimates.Groups[g] = group.Result;
      ScatterBack(group.Members, [&](size_t i) { return RowOf(members[i]); }, records);
    }
  });
  return estimates;
}

GroupMembers ListGroupMembers(const RecordTable& table) {
  GroupMembers members;
  if (ChooseGroupMode(table) == GroupMode::SingleGroup) {
    members.Rows = DefinedRows(table);
    members.Start = {0, members.Rows.size()};
    if (members.Rows.empty()) members.Start = {0};  // no group
    return members;
  }
  const std::vector<Entry> entries = EntriesByUnit(table);
  members.Rows.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) members.Rows[i] = RowOf(entries[i]);
  members.Start = GroupStarts(entries);
  return members;
}

size_t GroupsPerPiece() { return kGroupsPerPiece; }

void ForEachGroup(const RecordTable& table, const GroupMembers& members, WorkerPool& pool, const GroupBody& body) {
  const size_t groups = members.Start.size() - 1;
  const std::span<const uint32_t> rows(members.Rows);
  std::vector<Gathered> gathered(pool.Participants(groups, kGroupsPerPiece));
  pool.Run(groups, kGroupsPerPiece, [&](size_t first, size_t last, int worker) {
    Gathered& data = gathered[static_cast<size_t>(worker)];
    for (size_t g = first; g < last; ++g) {
      const std::span<const uint32_t> group = rows.subspan(members.Start[g], members.Start[g + 1] - members.Start[g]);
      Gather(table, group, [](uint32_t row) { return row; }, data);
      body(g, {data.Data1, data.Data2}, group, worker);
    }
  });
}

std::vector<GroupDiagnostics> DiagnoseAllGroups(const RecordTable& table, const Estimates& estimates,
                                                const GroupMembers& members, WorkerPool& pool) {
  const std::span<const uint32_t> rows(members.Rows);
  std::vector<GroupDiagnostics> diagnostics(estimates.Groups.size());
  std::vector<Workspace> workspaces(pool.Participants(diagnostics.size(), kGroupsPerPiece));
  pool.Run(diagnostics.size(), kGroupsPerPiece, [&](size_t first, size_t last, int worker) {
    Workspace& workspace = workspaces[static_cast<size_t>(worker)];
    for (size_t g = first; g < last; ++g) {
      const size_t start = members.Start[g];
      Gather(table, rows.subspan(start, members.Start[g + 1] - start), [](uint32_t row) { return row; },
             workspace.Members);
      diagnostics[g] = DiagnoseGroup({workspace.Members.Data1, workspace.Members.Data2}, estimates.Groups[g],
                                     workspace.Scratch);
    }
  });
  return diagnostics;
}

}  // namespace tarnek
