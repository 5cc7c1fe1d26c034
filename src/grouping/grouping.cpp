// Grouping by one stable sort: the record numbers, sorted by Unit, list every
// group's members in input order, group after group in ascending order of
// Unit. No scan of the table per group is needed.
#include "grouping/grouping.h"

#include <algorithm>
#include <bit>  // std::bit_width
#include <cstdint>
#include <iterator>  // std::size
#include <memory>
#include <span>
#include <vector>

#include "core/parallel.h"

namespace tarnek {

namespace {

constexpr int32_t kSingleGroupUnit = -1;

// Groups are handed to the threads one at a time: a group of counts near
// 10^9 takes a tenth of a second where most take a microsecond, and a few
// such groups next to each other in a piece of several would all fall to
// one thread. Taking a piece costs too little to show on 100,000 groups.
constexpr size_t kGroupsPerPiece = 1;

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

// Entries in an array of their own, written before they are read: made
// without a first pass that clears them, so that the first write to each
// page falls to the thread that sorts there.
struct EntryArray {
  std::unique_ptr<Entry[]> Data;
  size_t Size = 0;

  explicit EntryArray(size_t size) : Data(new Entry[size]), Size(size) {}
  std::span<const Entry> View() const { return {Data.get(), Size}; }
};

// Entries per piece of a sort pass: each piece counts its digits, then
// moves its entries, on whichever thread takes it. At least kSortPiece,
// and few enough pieces that their counters stay small.
constexpr size_t kSortPiece = size_t{1} << 16;
constexpr size_t kMostSortPieces = 256;
size_t SortPiece(size_t items) { return std::max(kSortPiece, (items + kMostSortPieces - 1) / kMostSortPieces); }
// The widest digit of a pass: 2,048 counters per piece.
constexpr int kMaxDigitBits = 11;

// The records with a defined ratio ordered by Unit (signed, ascending), those
// of one Unit in input order: a stable radix sort, least significant digit
// first, over the key less the smallest key, in as few digits of at most
// kMaxDigitBits bits as the keys' range needs (none when every key is the
// same). Each pass counts the digits of every piece of its input, then moves
// every piece to where its digits go; both steps run on the threads of
// `pool`, piece by piece. The first pass reads the table itself. Each entry
// carries its key, so every pass reads its input in order; the order found
// is the same on any number of threads.
EntryArray EntriesByUnit(const RecordTable& table, WorkerPool& pool) {
  const std::vector<int32_t>& units = table.Unit;
  const size_t n = units.size();
  const bool all = AllDefined(table);
  const auto keyOf = [&](size_t row) { return static_cast<uint32_t>(units[row]) ^ 0x80000000u; };
  const size_t rowPiece = SortPiece(n);
  const size_t rowPieces = (n + rowPiece - 1) / rowPiece;

  // The range of the keys and how many rows each piece keeps.
  struct Range {
    uint32_t Low = UINT32_MAX;
    uint32_t High = 0;
    size_t Kept = 0;
  };
  std::vector<Range> ranges(rowPieces);
  pool.Run(n, rowPiece, [&](size_t first, size_t last, int) {
    Range range;
    for (size_t row = first; row < last; ++row) {
      if (!all && !table.Defined(row)) continue;
      range.Low = std::min(range.Low, keyOf(row));
      range.High = std::max(range.High, keyOf(row));
      ++range.Kept;
    }
    ranges[first / rowPiece] = range;
  });
  Range whole;
  for (const Range& range : ranges) {
    whole.Low = std::min(whole.Low, range.Low);
    whole.High = std::max(whole.High, range.High);
    whole.Kept += range.Kept;
  }
  EntryArray entries(whole.Kept);
  if (whole.Kept == 0) return entries;
  const int bits = std::bit_width(whole.High - whole.Low);
  const int passes = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
  const int digitBits = passes == 0 ? 0 : (bits + passes - 1) / passes;
  const size_t buckets = size_t{1} << digitBits;

  if (passes == 0) {
    // One key: the entries in input order, each piece from its own start.
    std::vector<size_t> start(rowPieces + 1, 0);
    for (size_t k = 0; k < rowPieces; ++k) start[k + 1] = start[k] + ranges[k].Kept;
    pool.Run(n, rowPiece, [&](size_t first, size_t last, int) {
      size_t at = start[first / rowPiece];
      for (size_t row = first; row < last; ++row) {
        if (all || table.Defined(row)) entries.Data[at++] = (Entry{keyOf(row)} << 32) | static_cast<uint32_t>(row);
      }
    });
    return entries;
  }

  EntryArray moved(whole.Kept);
  // counts[piece * buckets + digit]: first the count, then where the
  // piece's next entry of that digit goes.
  std::vector<size_t> counts;
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = 32 + pass * digitBits;
    const Entry low = Entry{whole.Low} << 32;
    const auto digit = [&](Entry entry) { return static_cast<size_t>(((entry - low) >> shift) & (buckets - 1)); };
    // The first pass reads the table's rows; the others the last pass's output.
    const bool fromTable = pass == 0;
    const size_t items = fromTable ? n : whole.Kept;
    const size_t piece = SortPiece(items);
    const size_t pieces = (items + piece - 1) / piece;
    const std::span<const Entry> input = entries.View();
    const auto each = [&](size_t first, size_t last, auto&& use) {
      if (fromTable) {
        for (size_t row = first; row < last; ++row) {
          if (all || table.Defined(row)) use((Entry{keyOf(row)} << 32) | static_cast<uint32_t>(row));
        }
      } else {
        for (size_t i = first; i < last; ++i) use(input[i]);
      }
    };
    counts.assign(pieces * buckets, 0);
    pool.Run(items, piece, [&](size_t first, size_t last, int) {
      size_t* count = counts.data() + first / piece * buckets;
      each(first, last, [&](Entry entry) { ++count[digit(entry)]; });
    });
    // Digit by digit, piece by piece: the order of a stable sort.
    size_t total = 0;
    for (size_t d = 0; d < buckets; ++d) {
      for (size_t piece = 0; piece < pieces; ++piece) {
        const size_t count = counts[piece * buckets + d];
        counts[piece * buckets + d] = total;
        total += count;
      }
    }
    pool.Run(items, piece, [&](size_t first, size_t last, int) {
      size_t* next = counts.data() + first / piece * buckets;
      Entry* out = moved.Data.get();
      each(first, last, [&](Entry entry) { out[next[digit(entry)]++] = entry; });
    });
    std::swap(entries, moved);
  }
  return entries;
}

// Where each group begins in `entries`, and one past the last entry.
std::vector<size_t> GroupStarts(std::span<const Entry> entries) {
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
  // Rows without a defined ratio are not there for the estimates: the first
  // one with a ratio decides, as it would in the file without them.
  for (size_t row = 0; row < table.Size(); ++row) {
    if (table.Defined(row)) return table.Unit[row] == kSingleGroupUnit ? GroupMode::SingleGroup : GroupMode::PerUnit;
  }
  return GroupMode::PerUnit;
}

Estimates EstimateAllGroups(const RecordTable& table, const FitSettings& fit, WorkerPool& pool) {
  const size_t n = table.Size();
  Estimates estimates;
  estimates.Mode = ChooseGroupMode(table);
  RecordRatios& records = estimates.Records;
  // A row without a defined ratio has none of the three; the others are all
  // written below. Each column is made on a thread of its own: the first
  // write to its fresh pages is most of the cost.
  const bool allDefined = AllDefined(table);
  std::vector<double>* const columns[] = {&records.Ratio, &records.EbRatioMe, &records.EbRatioMle};
  pool.Run(std::size(columns), 1, [&](size_t c, size_t, int) { columns[c]->assign(n, allDefined ? 0.0 : NoEstimate); });

  if (estimates.Mode == GroupMode::SingleGroup) {
    EstimatorScratch scratch;
    scratch.SweepPool = &pool;  // the one group may share its long sums out
    if (allDefined) {
      // Every record in input order: the estimator reads the table's own columns.
      const GroupEstimate group = EstimateGroup({table.Data1, table.Data2}, fit, scratch);
      estimates.Units.push_back(kSingleGroupUnit);
      estimates.Groups.push_back(group.Result);
      ScatterBack(group.Members, [](size_t i) { return i; }, records);
      return estimates;
    }
    // The records with a defined ratio.
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

  const EntryArray sorted = EntriesByUnit(table, pool);
  const std::span<const Entry> all = sorted.View();
  const std::vector<size_t> starts = GroupStarts(all);
  const size_t groups = starts.size() - 1;
  estimates.Units.resize(groups);
  estimates.Groups.resize(groups);
  // Each thread has its own workspace; every group writes only its own
  // result and its own members' rows.
  std::vector<Workspace> workspaces(pool.Participants(groups, kGroupsPerPiece));
  const auto estimate = [&](size_t first, size_t last, int worker) {
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
  };
  if (groups == 1) {  // fitted alone: its long sums may be shared out
    workspaces[0].Scratch.SweepPool = &pool;
    estimate(0, 1, 0);
  } else {
    pool.Run(groups, kGroupsPerPiece, estimate);
  }
  return estimates;
}

GroupMembers ListGroupMembers(const RecordTable& table) {
  WorkerPool one(1);
  return ListGroupMembers(table, one);
}

GroupMembers ListGroupMembers(const RecordTable& table, WorkerPool& pool) {
  GroupMembers members;
  if (ChooseGroupMode(table) == GroupMode::SingleGroup) {
    members.Rows = DefinedRows(table);
    members.Start = {0, members.Rows.size()};
    if (members.Rows.empty()) members.Start = {0};  // no group
    return members;
  }
  const EntryArray sorted = EntriesByUnit(table, pool);
  const std::span<const Entry> entries = sorted.View();
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
