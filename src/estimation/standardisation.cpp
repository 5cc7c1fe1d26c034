// Indirect standardisation. The rows are numbered by region and by stratum
// in one pass (hash tables of the texts), checked, summed by stratum and
// set, and summed again by region; the region table is built last. Rows,
// regions and strata are counted in 32 bits: a table of 2^32 rows would
// not fit in memory first.
#include "estimation/standardisation.h"

#include <algorithm>  // std::min, std::max
#include <cmath>      // std::isfinite
#include <cstddef>
#include <cstring>    // std::memcmp, std::memcpy
#include <limits>
#include <string_view>
#include <unordered_map>

namespace tarnek {

namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();
constexpr char kKeySeparator = '\x1f';  // never in an identifier, which holds no control byte

// A sum of terms that are never negative, in long double with Neumaier's
// compensation: within 2u of the exact sum, relative, plus O(n u^2), with
// u = 2^-64 (Higham, Accuracy and Stability, 4.3; the terms being never
// negative, the sum of their magnitudes is the sum itself).
struct CompensatedSum {
  long double Sum = 0.0L;
  long double Carry = 0.0L;

  void Add(long double term) {
    const long double total = Sum + term;
    Carry += Sum >= term ? (Sum - total) + term : (term - total) + Sum;
    Sum = total;
  }
  long double Value() const { return Sum + Carry; }
};

// Finds regions and strata again by a hash of their texts: open addressing,
// at most half the slots in use. A region's slot keeps its unit and a short
// code itself, so that finding it mostly reads that slot alone; the rows of
// a block are hashed first, and each slot fetched ahead of its turn, since
// in a shuffled file every look-up lands elsewhere.
struct RegionSlot {
  uint64_t Hash = 0;
  uint32_t Entry = 0;  // region + 1, 0 when the slot is free
  int32_t Unit = 0;
  uint8_t Length = 0;  // length of Inline, or kLongText when the code is longer
  char Inline[15] = {};
};
static_assert(sizeof(RegionSlot) == 32);
constexpr uint8_t kLongText = 0xFF;

struct StratumSlot {
  uint64_t Hash = 0;
  uint32_t Entry = 0;  // stratum + 1, 0 when the slot is free
};

constexpr size_t kBlock = 1024;
constexpr size_t kLookAhead = 16;

// FNV-1a over the bytes, then a final mix so that the low bits, which pick
// the slot, depend on all of them: ids and codes are short.
uint64_t HashText(std::string_view text, uint64_t hash = 0xcbf29ce484222325u) {
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  return hash;
}

uint64_t Mix(uint64_t hash) {
  hash ^= hash >> 31;
  hash *= 0xbf58476d1ce4e5b9u;
  return hash ^ (hash >> 29);
}

uint64_t RegionHash(int32_t unit, std::string_view code) {
  return Mix(HashText(code) ^ (static_cast<uint64_t>(static_cast<uint32_t>(unit)) * 0x9E3779B97F4A7C15u));
}

// The free slot where an entry of hash `hash` goes.
template <typename Slot>
Slot& FreeSlot(std::vector<Slot>& slots, uint64_t hash) {
  const size_t mask = slots.size() - 1;
  size_t at = hash & mask;
  while (slots[at].Entry != 0) at = (at + 1) & mask;
  return slots[at];
}

// Everything the steps share: the rows' numbers, and the first failure.
struct Work {
  const RecordTable& Rows;
  const StandardisationSettings& Settings;
  const std::vector<double>* Population = nullptr;
  std::vector<const TextColumn*> Strata;
  std::vector<const NamedColumn*> Carried;  // the other columns, kept per region

  std::vector<uint32_t> RegionOf;  // per row
  std::vector<size_t> FirstRow;    // per region
  std::vector<uint8_t> Unknown;    // per region: a row's count is not known (KeepUndefined)
  std::vector<uint32_t> StratumOf; // per row
  std::vector<size_t> StratumFirstRow;  // per stratum
  std::vector<std::string> StratumKeys; // per stratum: its texts joined by kKeySeparator

  StandardiseResult Result;

  Work(const RecordTable& rows, const StandardisationSettings& settings) : Rows(rows), Settings(settings) {}

  uint64_t LineOf(size_t row) const { return Rows.Lines[row]; }
  bool Failed() const { return Result.Status != StandardiseStatus::Ok; }
  void Fail(StandardiseStatus status, size_t row, uint64_t otherLine, std::string name) {
    Result = {status, LineOf(row), otherLine, std::move(name)};
  }

  std::string StratumName(uint32_t stratum) const {
    std::string name = StratumKeys[stratum];
    for (char& c : name) {
      if (c == kKeySeparator) c = ',';
    }
    return name;
  }
};

// The population and stratum columns, each found by its name and kind: a
// column may be read as more than one (kept as text besides, say), and such
// a copy is carried like any other column.
void FindColumns(Work& w) {
  const NamedColumn* population = w.Rows.Column(w.Settings.Population, ColumnKind::NonNegativeReal);
  w.Population = &population->Reals;
  std::vector<const NamedColumn*> strata;
  for (const std::string& name : w.Settings.Strata) strata.push_back(w.Rows.Column(name, ColumnKind::Identifier));
  for (const NamedColumn* column : strata) w.Strata.push_back(&column->Texts);
  for (const NamedColumn& column : w.Rows.Columns) {
    if (&column != population && std::find(strata.begin(), strata.end(), &column) == strata.end()) {
      w.Carried.push_back(&column);
    }
  }
}

// The stratum key of `row` in `key`, from the texts of `strata` at `row`.
void StratumKey(const std::vector<const TextColumn*>& strata, size_t row, std::string& key) {
  key.clear();
  for (size_t c = 0; c < strata.size(); ++c) {
    if (c > 0) key += kKeySeparator;
    key += strata[c]->At(row);
  }
}

uint64_t StratumHash(const std::vector<const TextColumn*>& strata, size_t row) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const TextColumn* column : strata) hash = HashText(column->At(row), hash) * 0x9E3779B97F4A7C15u;
  return Mix(hash);
}

// The regions found so far, and their slots.
struct RegionIndex {
  Work& W;
  std::vector<RegionSlot> Slots = std::vector<RegionSlot>(1024);

  bool Holds(const RegionSlot& slot, uint64_t hash, int32_t unit, std::string_view code) const {
    if (slot.Hash != hash || slot.Unit != unit) return false;
    if (code.size() <= sizeof slot.Inline) {
      return slot.Length == code.size() && std::memcmp(slot.Inline, code.data(), code.size()) == 0;
    }
    return slot.Length == kLongText && W.Rows.CodeText.At(W.FirstRow[slot.Entry - 1]) == code;
  }

  void Place(std::vector<RegionSlot>& slots, uint32_t region, uint64_t hash) const {
    const size_t first = W.FirstRow[region];
    const std::string_view code = W.Rows.CodeText.At(first);
    RegionSlot& slot = FreeSlot(slots, hash);
    slot.Hash = hash;
    slot.Entry = region + 1;
    slot.Unit = W.Rows.Unit[first];
    slot.Length = code.size() <= sizeof slot.Inline ? static_cast<uint8_t>(code.size()) : kLongText;
    if (slot.Length != kLongText) std::memcpy(slot.Inline, code.data(), code.size());
  }

  uint32_t Find(size_t row, uint64_t hash) {
    const int32_t unit = W.Rows.Unit[row];
    const std::string_view code = W.Rows.CodeText.At(row);
    const size_t mask = Slots.size() - 1;
    for (size_t at = hash & mask; Slots[at].Entry != 0; at = (at + 1) & mask) {
      if (Holds(Slots[at], hash, unit, code)) return Slots[at].Entry - 1;
    }
    const auto region = static_cast<uint32_t>(W.FirstRow.size());
    W.FirstRow.push_back(row);
    if (2 * W.FirstRow.size() > Slots.size()) {
      std::vector<RegionSlot> slots(2 * Slots.size());
      for (uint32_t r = 0; r < region; ++r) {
        Place(slots, r, RegionHash(W.Rows.Unit[W.FirstRow[r]], W.Rows.CodeText.At(W.FirstRow[r])));
      }
      Slots.swap(slots);
    }
    Place(Slots, region, hash);
    return region;
  }
};

// The strata found so far, and their slots.
struct StratumIndex {
  Work& W;
  std::vector<StratumSlot> Slots = std::vector<StratumSlot>(64);

  bool Holds(const StratumSlot& slot, uint64_t hash, size_t row) const {
    if (slot.Hash != hash) return false;
    const size_t first = W.StratumFirstRow[slot.Entry - 1];
    for (const TextColumn* column : W.Strata) {
      if (column->At(first) != column->At(row)) return false;
    }
    return true;
  }

  uint32_t Find(size_t row, uint64_t hash) {
    const size_t mask = Slots.size() - 1;
    for (size_t at = hash & mask; Slots[at].Entry != 0; at = (at + 1) & mask) {
      if (Holds(Slots[at], hash, row)) return Slots[at].Entry - 1;
    }
    const auto stratum = static_cast<uint32_t>(W.StratumFirstRow.size());
    W.StratumFirstRow.push_back(row);
    StratumKey(W.Strata, row, W.StratumKeys.emplace_back());
    if (2 * W.StratumFirstRow.size() > Slots.size()) {
      std::vector<StratumSlot> slots(2 * Slots.size());
      for (uint32_t s = 0; s < stratum; ++s) {
        const uint64_t h = StratumHash(W.Strata, W.StratumFirstRow[s]);
        FreeSlot(slots, h) = {h, s + 1};
      }
      Slots.swap(slots);
    }
    FreeSlot(Slots, hash) = {hash, stratum + 1};
    return stratum;
  }
};

// Numbers every row's region and stratum, in the order of first rows, a
// block of rows at a time.
void NumberRows(Work& w) {
  const size_t n = w.Rows.Size();
  w.RegionOf.resize(n);
  w.StratumOf.assign(n, 0);
  if (w.Strata.empty()) {  // every row a region, one stratum
    w.FirstRow.resize(n);
    for (size_t row = 0; row < n; ++row) w.RegionOf[row] = static_cast<uint32_t>(row), w.FirstRow[row] = row;
    w.StratumKeys = {""};
    w.StratumFirstRow = {n > 0 ? 0 : kNone};
    return;
  }
  RegionIndex regions{w};
  StratumIndex strata{w};
  std::vector<uint64_t> regionHash(kBlock), stratumHash(kBlock);
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t end = std::min(n, start + kBlock);
    for (size_t row = start; row < end; ++row) {
      regionHash[row - start] = RegionHash(w.Rows.Unit[row], w.Rows.CodeText.At(row));
      stratumHash[row - start] = StratumHash(w.Strata, row);
    }
    for (size_t row = start; row < end; ++row) {
      if (row + kLookAhead < end) {
        __builtin_prefetch(&regions.Slots[regionHash[row + kLookAhead - start] & (regions.Slots.size() - 1)]);
      }
      w.RegionOf[row] = regions.Find(row, regionHash[row - start]);
      w.StratumOf[row] = strata.Find(row, stratumHash[row - start]);
    }
  }
}

// The standard's rates by stratum of the data; -1 where it lacks one.
std::vector<double> StandardRatesOf(Work& w, const StandardRates& standard) {
  const RecordTable& table = standard.Table;
  std::vector<const TextColumn*> strata;
  for (const std::string& name : w.Settings.Strata) strata.push_back(&table.Column(name, ColumnKind::Identifier)->Texts);
  const std::vector<double>& rate = table.Column(kRateColumn, ColumnKind::NonNegativeReal)->Reals;
  std::unordered_map<std::string, size_t> rowOf;
  std::string key;
  for (size_t row = 0; row < table.Size(); ++row) {
    StratumKey(strata, row, key);
    const auto [at, added] = rowOf.try_emplace(key, row);
    if (!added) {
      w.Result = {StandardiseStatus::StandardRepeated, table.Lines[row], table.Lines[at->second], {}};
      return {};
    }
  }
  std::vector<double> rates(w.StratumKeys.size(), -1.0);
  for (size_t s = 0; s < rates.size(); ++s) {
    if (const auto at = rowOf.find(w.StratumKeys[s]); at != rowOf.end()) rates[s] = rate[at->second];
  }
  return rates;
}

// The earliest row that repeats the region and stratum of an earlier row.
// Where a bit for every pair of region and stratum costs no more than a
// word per row, the rows mark their pairs in file order: the first to find
// its bit set is the one. Otherwise the rows are gathered by region (a
// counting sort, keeping file order), each stratum stamped with the last
// region that held it.
void CheckRepeats(Work& w) {
  const size_t n = w.Rows.Size(), regions = w.FirstRow.size(), strata = w.StratumKeys.size();
  if (w.Strata.empty() || n == 0) return;
  if (regions <= (64 * n + 4096) / strata) {
    std::vector<uint64_t> seen((regions * strata + 63) / 64, 0);
    for (size_t row = 0; row < n; ++row) {
      const size_t pair = size_t{w.RegionOf[row]} * strata + w.StratumOf[row];
      uint64_t& word = seen[pair / 64];
      const uint64_t bit = uint64_t{1} << (pair % 64);
      if ((word & bit) == 0) {
        word |= bit;
        continue;
      }
      size_t earlier = 0;
      while (w.RegionOf[earlier] != w.RegionOf[row] || w.StratumOf[earlier] != w.StratumOf[row]) ++earlier;
      return w.Fail(StandardiseStatus::StratumRepeated, row, w.LineOf(earlier), {});
    }
    return;
  }
  std::vector<size_t> start(regions + 1, 0);
  for (const uint32_t r : w.RegionOf) ++start[r + 1];
  for (size_t r = 0; r < regions; ++r) start[r + 1] += start[r];
  std::vector<uint32_t> order(n);
  {
    std::vector<size_t> next(start.begin(), start.end() - 1);
    for (size_t row = 0; row < n; ++row) order[next[w.RegionOf[row]]++] = static_cast<uint32_t>(row);
  }
  std::vector<uint32_t> stamp(w.StratumKeys.size(), UINT32_MAX);
  std::vector<size_t> stampRow(w.StratumKeys.size());
  size_t repeat = kNone, earlier = kNone;
  for (size_t r = 0; r < regions; ++r) {
    for (size_t i = start[r]; i < start[r + 1]; ++i) {
      const size_t row = order[i];
      const uint32_t s = w.StratumOf[row];
      if (stamp[s] == r) {
        if (row < repeat) repeat = row, earlier = stampRow[s];
        break;  // later repeats of this region lie beyond it
      }
      stamp[s] = static_cast<uint32_t>(r);
      stampRow[s] = row;
    }
  }
  if (repeat != kNone) w.Fail(StandardiseStatus::StratumRepeated, repeat, w.LineOf(earlier), {});
}

bool SameValue(const NamedColumn& column, size_t a, size_t b) {
  if (column.Kind == ColumnKind::Real || column.Kind == ColumnKind::NonNegativeReal) {
    return column.Reals[a] == column.Reals[b];
  }
  return column.Texts.At(a) == column.Texts.At(b);
}

void CheckCarried(Work& w) {
  if (w.Strata.empty() || w.Carried.empty()) return;
  for (size_t row = 0; row < w.Rows.Size(); ++row) {
    const size_t first = w.FirstRow[w.RegionOf[row]];
    for (const NamedColumn* column : w.Carried) {
      if (!SameValue(*column, row, first)) return w.Fail(StandardiseStatus::ColumnDiffers, row, w.LineOf(first), column->Name);
    }
  }
}

std::vector<int64_t> ObservedTotals(Work& w) {
  std::vector<int64_t> totals(w.FirstRow.size(), 0);
  w.Unknown.assign(w.FirstRow.size(), 0);
  for (size_t row = 0; row < w.Rows.Size(); ++row) {
    if (w.Rows.Data1[row] < 0) w.Unknown[w.RegionOf[row]] = 1;
  }
  for (size_t row = 0; row < w.Rows.Size(); ++row) {
    if (!w.Unknown[w.RegionOf[row]]) totals[w.RegionOf[row]] += w.Rows.Data1[row];
  }
  for (size_t r = 0; r < totals.size(); ++r) {
    if (totals[r] > std::numeric_limits<int32_t>::max()) {
      const size_t first = w.FirstRow[r];
      w.Fail(StandardiseStatus::ObservedTotalOutOfRange, first, 0, std::string(w.Rows.CodeText.At(first)));
      break;
    }
  }
  return totals;
}

// The rates of a standardisation: a row's rate is Rates[Cells[row]]
// (internal: by set and stratum) or Rates[StratumOf[row]] (external).
struct RowRates {
  std::vector<long double> Rates;
  std::vector<uint32_t> Cells;  // internal: each row's (set, stratum); external: empty
};

// Internal standardisation: C_k / P_k of every stratum in every set.
RowRates InternalRates(Work& w) {
  const size_t n = w.Rows.Size(), strata = w.StratumKeys.size();
  const bool byGroup = w.Settings.Within == StandardisationSet::Group;
  const auto setOf = [&](size_t row) -> size_t {
    return byGroup && w.Rows.Unit[row] >= 0 ? static_cast<size_t>(w.Rows.Unit[row]) : 0;
  };
  const size_t sets = byGroup ? std::max<size_t>(1, w.Rows.UnitText.Size()) : 1;
  // Cells (set, stratum): numbered densely where that table is small, else
  // in order of first rows through a hash map.
  RowRates rates;
  std::vector<uint32_t>& cellOf = rates.Cells;
  cellOf.resize(n);
  size_t cells = 0;
  if (strata == 0 || sets <= (4 * n + 4096) / strata) {
    std::vector<uint32_t> dense(sets * strata, UINT32_MAX);
    for (size_t row = 0; row < n; ++row) {
      uint32_t& cell = dense[setOf(row) * strata + w.StratumOf[row]];
      if (cell == UINT32_MAX) cell = static_cast<uint32_t>(cells++);
      cellOf[row] = cell;
    }
  } else {
    std::unordered_map<uint64_t, uint32_t> sparse;
    for (size_t row = 0; row < n; ++row) {
      const uint64_t key = static_cast<uint64_t>(setOf(row)) * strata + w.StratumOf[row];
      const auto [at, added] = sparse.try_emplace(key, static_cast<uint32_t>(cells));
      cells += added;
      cellOf[row] = at->second;
    }
  }
  std::vector<uint64_t> cases(cells, 0);
  std::vector<CompensatedSum> population(cells);
  std::vector<size_t> firstCases(cells, kNone);
  const std::vector<double>& p = *w.Population;
  for (size_t row = 0; row < n; ++row) {
    if (w.Unknown[w.RegionOf[row]]) continue;  // neither its cases nor its population are of use
    const uint32_t cell = cellOf[row];
    cases[cell] += static_cast<uint64_t>(w.Rows.Data1[row]);
    population[cell].Add(p[row]);
    if (w.Rows.Data1[row] > 0 && firstCases[cell] == kNone) firstCases[cell] = row;
  }
  std::vector<long double>& rateOfCell = rates.Rates;
  rateOfCell.assign(cells, 0.0L);
  size_t noPopulation = kNone;
  for (size_t cell = 0; cell < cells; ++cell) {
    const long double total = population[cell].Value();
    if (total > 0.0L) {
      rateOfCell[cell] = static_cast<long double>(cases[cell]) / total;
    } else if (cases[cell] > 0) {
      noPopulation = std::min(noPopulation, firstCases[cell]);
    }
  }
  if (noPopulation != kNone) {
    w.Fail(StandardiseStatus::NoPopulation, noPopulation, 0, {});
    return {};
  }
  return rates;
}

// External standardisation: every stratum's rate from the standard.
RowRates ExternalRates(Work& w, const std::vector<double>& byStratum) {
  size_t missing = kNone;
  uint32_t missingStratum = 0;
  for (uint32_t s = 0; s < byStratum.size(); ++s) {
    if (byStratum[s] < 0.0 && w.StratumFirstRow[s] < missing) missing = w.StratumFirstRow[s], missingStratum = s;
  }
  if (missing != kNone) {
    w.Fail(StandardiseStatus::MissingStratum, missing, 0, w.StratumName(missingStratum));
    return {};
  }
  RowRates rates;
  rates.Rates.assign(byStratum.begin(), byStratum.end());
  return rates;
}

}  // namespace

void RequestStandardisationColumns(const StandardisationSettings& settings, CsvColumns& columns) {
  columns.Expected.clear();
  columns.Extra.push_back({settings.Population, ColumnKind::NonNegativeReal});
  for (const std::string& name : settings.Strata) columns.Extra.push_back({name, ColumnKind::Identifier});
  columns.KeepLines = true;
}

StandardiseResult Standardise(const RecordTable& rows, const StandardisationSettings& settings,
                              const StandardRates* standard, RecordTable& regions) {
  regions = RecordTable{};
  Work w(rows, settings);
  FindColumns(w);
  NumberRows(w);
  std::vector<double> standardRates;
  if (standard != nullptr) {
    // The standard's own repeats come first: it is read before the data are checked.
    standardRates = StandardRatesOf(w, *standard);
    if (w.Failed()) return w.Result;
  }
  CheckRepeats(w);
  if (w.Failed()) return w.Result;
  CheckCarried(w);
  if (w.Failed()) return w.Result;
  const std::vector<int64_t> observed = ObservedTotals(w);
  if (w.Failed()) return w.Result;
  const RowRates rates = standard != nullptr ? ExternalRates(w, standardRates) : InternalRates(w);
  if (w.Failed()) return w.Result;

  std::vector<CompensatedSum> expected(w.FirstRow.size());
  const std::vector<double>& p = *w.Population;
  const std::vector<uint32_t>& rateOf = standard != nullptr ? w.StratumOf : rates.Cells;
  for (size_t row = 0; row < rows.Size(); ++row) {
    expected[w.RegionOf[row]].Add(static_cast<long double>(p[row]) * rates.Rates[rateOf[row]]);
  }

  const size_t count = w.FirstRow.size();
  regions.Unit.reserve(count);
  regions.Data1.reserve(count);
  regions.Data2.reserve(count);
  regions.Lines.reserve(count);
  regions.CodeText.Ends.reserve(count);
  for (size_t r = 0; r < count; ++r) {
    const size_t first = w.FirstRow[r];
    double e = static_cast<double>(expected[r].Value());
    if (!(e > 0.0) || !std::isfinite(e)) {
      if (!settings.KeepUndefined) {
        w.Fail(StandardiseStatus::ExpectedOutOfRange, first, 0, std::string(rows.CodeText.At(first)));
        return w.Result;
      }
      if (!std::isfinite(e)) e = std::numeric_limits<double>::quiet_NaN();  // not known
    }
    regions.Unit.push_back(rows.Unit[first]);
    regions.CodeText.Append(rows.CodeText.At(first));
    regions.Data1.push_back(w.Unknown[r] ? -1 : static_cast<int32_t>(observed[r]));
    regions.Data2.push_back(e);
    regions.Lines.push_back(rows.Lines[first]);
  }
  regions.UnitText = rows.UnitText;
  for (const NamedColumn* column : w.Carried) {
    NamedColumn& kept = regions.Columns.emplace_back();
    kept.Name = column->Name;
    kept.HeaderName = column->HeaderName;
    kept.Kind = column->Kind;
    for (const size_t first : w.FirstRow) {
      if (column->Kind == ColumnKind::Real || column->Kind == ColumnKind::NonNegativeReal) {
        kept.Reals.push_back(column->Reals[first]);
      } else {
        kept.Texts.Append(column->Texts.At(first));
      }
    }
  }
  return w.Result;
}

}  // namespace tarnek
