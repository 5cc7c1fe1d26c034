// Grouping by one stable sort: the record numbers, sorted by Unit, list every
// group's members in input order, group after group in ascending order of
// Unit. No scan of the table per group is needed.
#include "grouping/grouping.h"

#include <cstdint>
#include <vector>

namespace tarnek {

namespace {

constexpr int32_t kSingleGroupUnit = -1;

// Runs the estimator on the members `rows` (record rows in input order),
// writes the block and scatters the results back.
void EstimateMembers(RecordTable& table, const RunSettings& settings, GroupWorkspace& ws,
                     OutputFile& log, GroupMode mode, int32_t groupUnit, const uint32_t* rows,
                     size_t count) {
  ws.RegionCount = static_cast<int32_t>(count);
  ws.Data1.resize(count);
  ws.Data2.resize(count);
  for (size_t i = 0; i < count; ++i) {
    ws.Data1[i] = table.Data1[rows[i]];
    ws.Data2[i] = table.Data2[rows[i]];
  }
  EstimateGroup(ws, settings);
  WriteGroupBlock(log, mode, ws, settings.Eps, groupUnit);
  for (size_t i = 0; i < count; ++i) {
    table.Ratio[rows[i]] = ws.Ratio[i];
    table.EbRatioMe[rows[i]] = ws.EbRatioMe[i];
    table.EbRatioMle[rows[i]] = ws.EbRatioMle[i];
  }
}

// The row numbers ordered by Unit (signed, ascending), rows of one Unit in
// input order. A stable radix sort in two passes of 16 bits over the Unit,
// moved to an unsigned key; each entry carries its key above its row number,
// so both passes read their input in order.
std::vector<uint32_t> RowsByUnit(const std::vector<int32_t>& units) {
  const size_t n = units.size();
  std::vector<uint64_t> entries(n);
  std::vector<uint64_t> sorted(n);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t key = static_cast<uint32_t>(units[k]) ^ 0x80000000u;
    entries[k] = (uint64_t{key} << 32) | static_cast<uint32_t>(k);
  }
  for (int shift = 32; shift < 64; shift += 16) {
    std::vector<size_t> start(size_t{1} << 16, 0);
    for (uint64_t entry : entries) ++start[(entry >> shift) & 0xFFFF];
    size_t total = 0;
    for (size_t& bucket : start) {
      const size_t count = bucket;
      bucket = total;
      total += count;
    }
    for (uint64_t entry : entries) sorted[start[(entry >> shift) & 0xFFFF]++] = entry;
    entries.swap(sorted);
  }
  std::vector<uint32_t> rows(n);
  for (size_t k = 0; k < n; ++k) rows[k] = static_cast<uint32_t>(entries[k]);
  return rows;
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
    std::vector<uint32_t> rows(n);
    for (size_t k = 0; k < n; ++k) rows[k] = static_cast<uint32_t>(k);
    EstimateMembers(table, settings, ws, log, mode, kSingleGroupUnit, rows.data(), n);
    return;
  }

  const std::vector<uint32_t> rows = RowsByUnit(table.Unit);
  for (size_t start = 0; start < n;) {
    const int32_t groupUnit = table.Unit[rows[start]];
    size_t end = start + 1;
    while (end < n && table.Unit[rows[end]] == groupUnit) ++end;
    EstimateMembers(table, settings, ws, log, mode, groupUnit, rows.data() + start, end - start);
    start = end;
  }
}

}  // namespace tarnek
