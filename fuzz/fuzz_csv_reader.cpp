// Fuzz target: any bytes as the contents of a CSV data file.
//
// Checks, for every input, read with the default column names and once more
// without a unit column:
//   1. an error names a line (1 or more) and a column;
//   2. on success the four columns have one entry per record, every value
//      lies in its range, every code and unit is non-empty text free of
//      control bytes, every Unit indexes a unit text (-1 for all without a
//      unit column), every unit text is used, and the texts stand in
//      strictly ascending order: numeric when all are integers, else by bytes;
//   3. read from a stream in small blocks, the result is the same;
//   4. the table written back as CSV (every text quoted, quotes doubled,
//      numbers in their shortest exact form) reads as the same table;
//   5. on a small table the estimation and the outputs check out as for the
//      plain format (check_estimation.h);
//   6. read once more as a run with --population reads it (the expected
//      column as the population, without strata, and with the unit column
//      as the stratum), the standardisation either names a row or gives
//      one record per region, with its rows' counts, an expected count
//      above 0 and finite, and each group's expected counts adding up to
//      its observed total.
#include <algorithm>  // std::max
#include <charconv>  // std::to_chars
#include <cmath>     // std::isfinite
#include <cstdint>
#include <cstdio>    // fmemopen
#include <cstring>   // std::memcmp
#include <string>
#include <string_view>
#include <vector>

#include "core/record_table.h"
#include "estimation/standardisation.h"
#include "input/csv_reader.h"
#include "check_estimation.h"
#include "fuzz_check.h"

namespace {

using tarnek::CsvColumns;
using tarnek::CsvReadResult;
using tarnek::CsvStatus;
using tarnek::RecordTable;
using tarnek::TextColumn;

bool SameTexts(const TextColumn& a, const TextColumn& b) { return a.Bytes == b.Bytes && a.Ends == b.Ends; }

bool SameTable(const RecordTable& a, const RecordTable& b) {
  if (a.Data2.size() != b.Data2.size()) return false;
  for (size_t i = 0; i < a.Data2.size(); ++i) {
    if (std::memcmp(&a.Data2[i], &b.Data2[i], sizeof(double)) != 0) return false;
  }
  return a.Unit == b.Unit && a.Code == b.Code && a.Data1 == b.Data1 && SameTexts(a.CodeText, b.CodeText) &&
         SameTexts(a.UnitText, b.UnitText);
}

bool SameRead(const CsvReadResult& ra, const RecordTable& a, const CsvReadResult& rb, const RecordTable& b) {
  return ra.Status == rb.Status && ra.Line == rb.Line && ra.Column == rb.Column && (ra.Status != CsvStatus::Ok || SameTable(a, b));
}

bool IsIdentifier(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

bool IsInteger(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The value of an integer text, as a sign and its digits without leading
// zeros, compared as the reader's order says: strictly ascending means a
// smaller value, or the same value and smaller bytes.
bool IntegerBefore(std::string_view a, std::string_view b) {
  const auto split = [](std::string_view t) {
    const bool negative = t[0] == '-';
    if (t[0] == '-' || t[0] == '+') t.remove_prefix(1);
    while (!t.empty() && t[0] == '0') t.remove_prefix(1);
    return std::pair{negative && !t.empty(), t};
  };
  const auto [na, da] = split(a);
  const auto [nb, db] = split(b);
  if (na != nb) return na;
  if (da.size() != db.size()) return na ? da.size() > db.size() : da.size() < db.size();
  if (da != db) return na ? db < da : da < db;
  return a < b;
}

void CheckTable(const RecordTable& table, bool hasUnit) {
  const size_t n = table.Size();
  CHECK(table.Code.empty());
  CHECK(table.Data1.size() == n && table.Data2.size() == n && table.CodeText.Size() == n);
  for (size_t i = 0; i < n; ++i) {
    CHECK(table.Data1[i] >= 0);
    CHECK(table.Data2[i] > 0.0 && std::isfinite(table.Data2[i]));
    CHECK(IsIdentifier(table.CodeText.At(i)));
  }
  const TextColumn& units = table.UnitText;
  if (!hasUnit) {
    CHECK(units.Empty());
    for (int32_t unit : table.Unit) CHECK(unit == -1);
    return;
  }
  std::vector<bool> used(units.Size(), false);
  for (int32_t unit : table.Unit) {
    CHECK(unit >= 0 && static_cast<size_t>(unit) < units.Size());
    used[static_cast<size_t>(unit)] = true;
  }
  bool allIntegers = true;
  for (size_t u = 0; u < units.Size(); ++u) {
    CHECK(used[u]);
    CHECK(IsIdentifier(units.At(u)));
    allIntegers = allIntegers && IsInteger(units.At(u));
  }
  for (size_t u = 1; u < units.Size(); ++u) {
    CHECK(allIntegers ? IntegerBefore(units.At(u - 1), units.At(u)) : units.At(u - 1) < units.At(u));
  }
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// The table as CSV under the default column names, the unit left out when it has none.
std::string WriteBack(const RecordTable& table, bool hasUnit) {
  std::string out = hasUnit ? "unit,code,observed,expected\r\n" : "code,observed,expected\r\n";
  char number[64];
  for (size_t i = 0; i < table.Size(); ++i) {
    if (hasUnit) {
      AppendQuoted(out, table.UnitText.At(static_cast<size_t>(table.Unit[i])));
      out += ',';
    }
    AppendQuoted(out, table.CodeText.At(i));
    out += ',';
    out.append(number, std::to_chars(number, number + sizeof number, table.Data1[i]).ptr);
    out += ',';
    out.append(number, std::to_chars(number, number + sizeof number, table.Data2[i]).ptr);
    out += "\r\n";
  }
  return out;
}

void CheckRead(const uint8_t* data, size_t size, const CsvColumns& columns) {
  const bool hasUnit = columns.Unit != tarnek::kNoUnitColumn;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RecordTable table;
  const CsvReadResult result = tarnek::ParseCsv(text, columns, table);
  if (result.Status != CsvStatus::Ok) {
    CHECK(result.Status == CsvStatus::OutOfRange || result.Status == CsvStatus::NotAValue ||
          result.Status == CsvStatus::MissingColumn || result.Status == CsvStatus::RepeatedColumn);
    CHECK(result.Line >= 1 && !result.Column.empty());
  } else {
    CheckTable(table, hasUnit);
  }

  if (size > 0) {
    std::FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    CHECK(stream != nullptr);
    RecordTable streamed;
    const CsvReadResult streamedResult = tarnek::ReadCsvStream(stream, columns, streamed, 1 + data[0] % 13);
    std::fclose(stream);
    CHECK(SameRead(result, table, streamedResult, streamed));
  }

  if (result.Status != CsvStatus::Ok) return;
  RecordTable again;
  const CsvReadResult againResult = tarnek::ParseCsv(WriteBack(table, hasUnit), columns, again);
  CHECK(SameRead(result, table, againResult, again));

  if (QuickToEstimate(table)) CheckEstimation(table);
}

void CheckStandardised(const uint8_t* data, size_t size, const tarnek::StandardisationSettings& settings,
                       CsvColumns columns) {
  tarnek::RequestStandardisationColumns(settings, columns);
  RecordTable rows;
  if (tarnek::ParseCsv(std::string_view(reinterpret_cast<const char*>(data), size), columns, rows).Status != CsvStatus::Ok) {
    return;
  }
  CHECK(rows.Lines.size() == rows.Size() && rows.Data2.empty());
  RecordTable regions;
  const tarnek::StandardiseResult result = tarnek::Standardise(rows, settings, nullptr, regions);
  if (result.Status != tarnek::StandardiseStatus::Ok) {
    CHECK(result.Line >= 2);
    return;
  }
  CHECK(regions.Size() <= rows.Size() && regions.Data1.size() == regions.Size() && regions.Data2.size() == regions.Size());
  CHECK(regions.CodeText.Size() == regions.Size() && regions.Lines.size() == regions.Size());
  int64_t observed = 0, rowsObserved = 0;
  for (const int32_t y : rows.Data1) rowsObserved += y;
  // Per group: the expected counts, summed near exactly, against the observed total.
  std::vector<long double> expected(std::max<size_t>(1, regions.UnitText.Size()), 0.0L);
  std::vector<int64_t> total(expected.size(), 0);
  for (size_t r = 0; r < regions.Size(); ++r) {
    CHECK(regions.Data1[r] >= 0 && regions.Data2[r] > 0.0 && std::isfinite(regions.Data2[r]));
    observed += regions.Data1[r];
    const size_t group = regions.Unit[r] < 0 ? 0 : static_cast<size_t>(regions.Unit[r]);
    expected[group] += regions.Data2[r];
    total[group] += regions.Data1[r];
  }
  CHECK(observed == rowsObserved);
  for (size_t g = 0; g < total.size(); ++g) {
    const long double gap = expected[g] - static_cast<long double>(total[g]);
    // Rounding each expected count (below 2^-52 of the total) and the long
    // double sum; expected counts below the normal range may add a little.
    CHECK((gap < 0 ? -gap : gap) <= 0x1p-51L * static_cast<long double>(total[g]) + 0x1p-1000L);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckRead(data, size, CsvColumns{});
  CheckRead(data, size, CsvColumns{"-", "code", "observed", "expected"});
  CheckStandardised(data, size, {"expected", {}}, CsvColumns{});
  CheckStandardised(data, size, {"expected", {"unit"}}, CsvColumns{"-", "code", "observed", "expected"});
  return 0;
}
