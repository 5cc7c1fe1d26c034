// Indirect standardisation. The rows are numbered by region and by stratum
// in one pass (hash maps of the texts), checked, summed by stratum and set,
// and summed again by region; the region table is built last.
#include "estimation/standardisation.h"

#include <algorithm>  // std::min, std::max
#include <cmath>      // std::isfinite
#include <cstddef>
#include <functional>  // std::hash
#include <limits>
#include <string_view>
#include <unordered_map>

namespace tarnek {

namespace {

constexpr size_t kNone = std::numeric_limits<size_t>::max();
constexpr char kKeySeparator = '\x1f';  // never in an identifier, which holds no control byte

// A sum of terms that are never negative, in long double with Neumaier's
// compensation: within 2 x 2^-64 of the exact sum, relative, plus n^2 x 2^-128.
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

struct RegionKey {
  int32_t Unit;
  std::string_view Code;
  bool operator==(const RegionKey&) const = default;
};

struct RegionKeyHash {
  size_t operator()(const RegionKey& key) const {
    return std::hash<std::string_view>{}(key.Code) ^ (static_cast<size_t>(static_cast<uint32_t>(key.Unit)) * 0x9E3779B97F4A7C15u);
  }
};

// Everything the steps share: the rows' numbers, and the first failure.
struct Work {
  const RecordTable& Rows;
  const StandardisationSettings& Settings;
  const std::vector<double>* Population = nullptr;
  std::vector<const TextColumn*> Strata;
  std::vector<const NamedColumn*> Carried;  // the other columns, kept per region

  std::vector<uint32_t> RegionOf;  // per row
  std::vector<size_t> FirstRow;    // per region
  std::vector<uint32_t> StratumOf; // per row
  std::vector<size_t> StratumFirstRow;  // per stratum
  std::vector<std::string> StratumKeys; // per stratum: its texts joined by kKeySeparator
  std::unordered_map<std::string, uint32_t> StratumIndex;

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

void FindColumns(Work& w) {
  for (const NamedColumn& column : w.Rows.Columns) {
    bool used = false;
    if (column.Name == w.Settings.Population) {
      w.Population = &column.Reals;
      used = true;
    }
    for (const std::string& name : w.Settings.Strata) used = used || column.Name == name;
    if (!used) w.Carried.push_back(&column);
  }
  for (const std::string& name : w.Settings.Strata) w.Strata.push_back(&w.Rows.Column(name)->Texts);
}

// The stratum key of `row` in `key`, from the texts of `strata` at `row`.
void StratumKey(const std::vector<const TextColumn*>& strata, size_t row, std::string& key) {
  key.clear();
  for (size_t c = 0; c < strata.size(); ++c) {
    if (c > 0) key += kKeySeparator;
    key += strata[c]->At(row);
  }
}

// Numbers every row's region and stratum, in the order of first rows.
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
  std::unordered_map<RegionKey, uint32_t, RegionKeyHash> regions;
  std::string key;
  for (size_t row = 0; row < n; ++row) {
    const RegionKey region{w.Rows.Unit[row], w.Rows.CodeText.At(row)};
    // Long-form files mostly hold a region's rows together.
    if (row > 0 && region == RegionKey{w.Rows.Unit[row - 1], w.Rows.CodeText.At(row - 1)}) {
      w.RegionOf[row] = w.RegionOf[row - 1];
    } else {
      const auto [at, added] = regions.try_emplace(region, static_cast<uint32_t>(w.FirstRow.size()));
      if (added) w.FirstRow.push_back(row);
      w.RegionOf[row] = at->second;
    }
    StratumKey(w.Strata, row, key);
    const auto [at, added] = w.StratumIndex.try_emplace(key, static_cast<uint32_t>(w.StratumKeys.size()));
    if (added) {
      w.StratumKeys.push_back(key);
      w.StratumFirstRow.push_back(row);
    }
    w.StratumOf[row] = at->second;
  }
}

// The standard's rates by stratum of the data; -1 where it lacks one.
std::vector<double> StandardRatesOf(Work& w, const StandardRates& standard) {
  const RecordTable& table = standard.Table;
  std::vector<const TextColumn*> strata;
  for (const std::string& name : w.Settings.Strata) strata.push_back(&table.Column(name)->Texts);
  const std::vector<double>& rate = table.Column(kRateColumn)->Reals;
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

// The earliest row that repeats the region and stratum of an earlier row:
// the rows gathered by region (a counting sort, keeping file order), each
// stratum stamped with the last region that held it.
void CheckRepeats(Work& w) {
  if (w.Strata.empty()) return;
  const size_t n = w.Rows.Size(), regions = w.FirstRow.size();
  std::vector<size_t> start(regions + 1, 0);
  for (const uint32_t r : w.RegionOf) ++start[r + 1];
  for (size_t r = 0; r < regions; ++r) start[r + 1] += start[r];
  std::vector<size_t> order(n);
  {
    std::vector<size_t> next(start.begin(), start.end() - 1);
    for (size_t row = 0; row < n; ++row) order[next[w.RegionOf[row]]++] = row;
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
  for (size_t row = 0; row < w.Rows.Size(); ++row) totals[w.RegionOf[row]] += w.Rows.Data1[row];
  for (size_t r = 0; r < totals.size(); ++r) {
    if (totals[r] > std::numeric_limits<int32_t>::max()) {
      const size_t first = w.FirstRow[r];
      w.Fail(StandardiseStatus::ObservedTotalOutOfRange, first, 0, std::string(w.Rows.CodeText.At(first)));
      break;
    }
  }
  return totals;
}

// Internal standardisation: every row's rate, C_k / P_k of its stratum in
// its set.
std::vector<long double> InternalRates(Work& w) {
  const size_t n = w.Rows.Size(), strata = w.StratumKeys.size();
  const bool byGroup = w.Settings.Within == StandardisationSet::Group;
  const auto setOf = [&](size_t row) -> size_t {
    return byGroup && w.Rows.Unit[row] >= 0 ? static_cast<size_t>(w.Rows.Unit[row]) : 0;
  };
  const size_t sets = byGroup ? std::max<size_t>(1, w.Rows.UnitText.Size()) : 1;
  // Cells (set, stratum): numbered densely where that table is small, else
  // in order of first rows through a hash map.
  std::vector<uint32_t> cellOf(n);
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
    const uint32_t cell = cellOf[row];
    cases[cell] += static_cast<uint64_t>(w.Rows.Data1[row]);
    population[cell].Add(p[row]);
    if (w.Rows.Data1[row] > 0 && firstCases[cell] == kNone) firstCases[cell] = row;
  }
  std::vector<long double> rateOfCell(cells, 0.0L);
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
  std::vector<long double> rates(n);
  for (size_t row = 0; row < n; ++row) rates[row] = rateOfCell[cellOf[row]];
  return rates;
}

// External standardisation: every row's rate from the standard.
std::vector<long double> ExternalRates(Work& w, const std::vector<double>& byStratum) {
  size_t missing = kNone;
  uint32_t missingStratum = 0;
  for (uint32_t s = 0; s < byStratum.size(); ++s) {
    if (byStratum[s] < 0.0 && w.StratumFirstRow[s] < missing) missing = w.StratumFirstRow[s], missingStratum = s;
  }
  if (missing != kNone) {
    w.Fail(StandardiseStatus::MissingStratum, missing, 0, w.StratumName(missingStratum));
    return {};
  }
  std::vector<long double> rates(w.Rows.Size());
  for (size_t row = 0; row < rates.size(); ++row) rates[row] = byStratum[w.StratumOf[row]];
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
  const std::vector<long double> rates = standard != nullptr ? ExternalRates(w, standardRates) : InternalRates(w);
  if (w.Failed()) return w.Result;

  std::vector<CompensatedSum> expected(w.FirstRow.size());
  const std::vector<double>& p = *w.Population;
  for (size_t row = 0; row < rows.Size(); ++row) {
    expected[w.RegionOf[row]].Add(static_cast<long double>(p[row]) * rates[row]);
  }

  const size_t count = w.FirstRow.size();
  regions.Unit.reserve(count);
  regions.Data1.reserve(count);
  regions.Data2.reserve(count);
  regions.Lines.reserve(count);
  regions.CodeText.Ends.reserve(count);
  for (size_t r = 0; r < count; ++r) {
    const size_t first = w.FirstRow[r];
    const double e = static_cast<double>(expected[r].Value());
    if (!(e > 0.0) || !std::isfinite(e)) {
      w.Fail(StandardiseStatus::ExpectedOutOfRange, first, 0, std::string(rows.CodeText.At(first)));
      return w.Result;
    }
    regions.Unit.push_back(rows.Unit[first]);
    regions.CodeText.Append(rows.CodeText.At(first));
    regions.Data1.push_back(static_cast<int32_t>(observed[r]));
    regions.Data2.push_back(e);
    regions.Lines.push_back(rows.Lines[first]);
  }
  regions.UnitText = rows.UnitText;
  for (const NamedColumn* column : w.Carried) {
    NamedColumn& kept = regions.Columns.emplace_back(NamedColumn{column->Name, column->Kind, {}, {}});
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
