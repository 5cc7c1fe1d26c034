// Grouping by one sort: the record numbers, sorted by Unit and then by record
// number, list every group's members in input order, group after group in
// ascending order of Unit. No scan of the table per group is needed.
#include "grouping/grouping.h"

#include <algorithm>  // std::sort
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

  // Key: Unit (shifted to sort as unsigned) above the row number, so one
  // plain sort orders by Unit and keeps input order within each Unit.
  std::vector<uint64_t> keys(n);
  for (size_t k = 0; k < n; ++k) {
    const uint32_t unitKey = static_cast<uint32_t>(table.Unit[k]) ^ 0x80000000u;
    keys[k] = (static_cast<uint64_t>(unitKey) << 32) | static_cast<uint32_t>(k);
  }
  std::sort(keys.begin(), keys.end());
  std::vector<uint32_t> rows(n);
  for (size_t k = 0; k < n; ++k) rows[k] = static_cast<uint32_t>(keys[k]);

  for (size_t start = 0; start < n;) {
    const int32_t groupUnit = table.Unit[rows[start]];
    size_t end = start + 1;
    while (end < n && table.Unit[rows[end]] == groupUnit) ++end;
    EstimateMembers(table, settings, ws, log, mode, groupUnit, rows.data() + start, end - start);
    start = end;
  }
}

}  // namespace tarnek
