// Grouping by one stable sort: the record numbers, sorted by Unit, list every
// group's members in input order, group after group in ascending order of
// Unit. No scan of the table per group is needed.
#include "grouping/grouping.h"

#include <cstdint>
#include <vector>

namespace tarnek {

namespace {

constexpr int32_t kSingleGroupUnit = -1;

// A group member as grouping orders it: the Unit, moved to an unsigned sort
// key, above the row number.
using Entry = uint64_t;

uint32_t RowOf(Entry entry) { return static_cast<uint32_t>(entry); }
uint32_t KeyOf(Entry entry) { return static_cast<uint32_t>(entry >> 32); }

// Asks for the rows of the next group while the current one is estimated:
// in per-unit mode they lie anywhere in the table.
void PrefetchMembers(const RecordTable& table, const Entry* members, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t row = RowOf(members[i]);
    __builtin_prefetch(&table.Data1[row]);
    __builtin_prefetch(&table.Data2[row]);
    __builtin_prefetch(&table.Ratio[row], 1);
    __builtin_prefetch(&table.EbRatioMe[row], 1);
    __builtin_prefetch(&table.EbRatioMle[row], 1);
  }
}

// Runs the estimator on `members` (in input order), writes the block and
// scatters the results back to the members' rows.
void EstimateMembers(RecordTable& table, const RunSettings& settings, GroupWorkspace& ws,
                     OutputFile& log, GroupMode mode, int32_t groupUnit, const Entry* members,
                     size_t count) {
  ws.RegionCount = static_cast<int32_t>(count);
  ws.Data1.resize(count);
  ws.Data2.resize(count);
  for (size_t i = 0; i < count; ++i) {
    ws.Data1[i] = table.Data1[RowOf(members[i])];
    ws.Data2[i] = table.Data2[RowOf(members[i])];
  }
  EstimateGroup(ws, settings);
  WriteGroupBlock(log, mode, ws, settings.Eps, groupUnit);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t row = RowOf(members[i]);
    table.Ratio[row] = ws.Ratio[i];
    table.EbRatioMe[row] = ws.EbRatioMe[i];
    table.EbRatioMle[row] = ws.EbRatioMle[i];
  }
}

// The records ordered by Unit (signed, ascending), those of one Unit in
// input order: a stable radix sort in two passes of 16 bits over the key,
// starting from the entries in input order. Each entry carries its key, so
// both passes read their input in order.
std::vector<Entry> EntriesByUnit(const std::vector<int32_t>& units) {
  const size_t n = units.size();
  std::vector<Entry> entries(n);
  std::vector<Entry> sorted(n);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t key = static_cast<uint32_t>(units[k]) ^ 0x80000000u;
    entries[k] = (Entry{key} << 32) | static_cast<uint32_t>(k);
  }
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

// The end of the group that begins at `start`: the first entry with another key.
size_t GroupEnd(const std::vector<Entry>& entries, size_t start) {
  size_t end = start + 1;
  while (end < entries.size() && KeyOf(entries[end]) == KeyOf(entries[start])) ++end;
  return end;
}

}  // namespace

GroupMode ChooseGroupMode(const RecordTable& table) {
  return table.Size() > 0 && table.Unit[0] == kSingleGroupUnit ? GroupMode::SingleGroup
                                                                : GroupMode::PerUnit;
}

void EstimateAllGroups(RecordTable& table, const RunSettings& settings, GroupWorkspace& ws,
                       OutputFile& log) {
  const size_t n = table.Size();
  table.Ratio.assign(n, 0.0);
  table.EbRatioMe.assign(n, 0.0);
  table.EbRatioMle.assign(n, 0.0);
  const GroupMode mode = ChooseGroupMode(table);

  if (mode == GroupMode::SingleGroup) {
    std::vector<Entry> members(n);
    for (size_t k = 0; k < n; ++k) members[k] = k;
    EstimateMembers(table, settings, ws, log, mode, kSingleGroupUnit, members.data(), n);
    return;
  }

  const std::vector<Entry> entries = EntriesByUnit(table.Unit);
  for (size_t start = 0, end = n > 0 ? GroupEnd(entries, 0) : 0; start < n;) {
    const size_t next = end < n ? GroupEnd(entries, end) : end;
    PrefetchMembers(table, entries.data() + end, next - end);
    const int32_t groupUnit = table.Unit[RowOf(entries[start])];
    EstimateMembers(table, settings, ws, log, mode, groupUnit, entries.data() + start, end - start);
    start = end;
    end = next;
  }
}

}  // namespace tarnek
