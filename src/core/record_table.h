// The records of the data file, as read: the table that every later step of
// the run works from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnek {

// Identifiers kept as text, every text one after another in one byte arena:
// a million codes cost two growing buffers, not a million strings. Text i is
// Bytes[Ends[i-1], Ends[i]) (from 0 for the first). An empty column holds no
// text at all.
struct TextColumn {
  std::string Bytes;
  std::vector<size_t> Ends;

  bool Empty() const { return Ends.empty(); }
  size_t Size() const { return Ends.size(); }
  std::string_view At(size_t i) const {
    const size_t begin = i == 0 ? 0 : Ends[i - 1];
    return std::string_view(Bytes.data() + begin, Ends[i] - begin);
  }
  void Append(std::string_view text) {
    Bytes.append(text);
    Ends.push_back(Bytes.size());
  }
};

// How a named column's fields must read.
enum class ColumnKind {
  Real,             // a plain decimal number, finite
  NonNegativeReal,  // a plain decimal number, finite and 0 or greater
  Identifier,       // text, not empty and free of control bytes (as unit and code)
  Text,             // any text, kept byte for byte
};

// A column that the run asks for beyond the four every run reads (a
// covariate, a population, a stratum, a column carried into the region
// table), found by its header name.
struct ColumnRequest {
  std::string Name;
  ColumnKind Kind;
};

// A named column as read: one value per row.
struct NamedColumn {
  std::string Name;           // as requested
  std::string HeaderName;     // as the file's header spells it
  ColumnKind Kind;
  std::vector<double> Reals;  // Real, NonNegativeReal
  TextColumn Texts;           // Identifier, Text
};

// One row per accepted record, in input order; record k (counted from 1) is
// row k-1. The columns grow as the file needs: there is no record limit.
//
// Identifiers are integers or text. Plain data fills Code and leaves the two
// text columns empty. CSV data keeps the codes as text, one per row in
// CodeText (Code stays empty), and its units as text in UnitText, one per
// distinct unit in ascending order, so that a row's Unit is the index of its
// text there; without a unit column every Unit is -1 and UnitText is empty.
struct RecordTable {
  std::vector<int32_t> Unit;   // grouping key, -1 or greater
  std::vector<int32_t> Code;   // record identifier, any value, printed back as read
  std::vector<int32_t> Data1;  // observed count, 0 or greater; -1 for a count that is not known (below)
  std::vector<double> Data2;   // expected count, finite and greater than 0; 0, or NaN where not known (below)
  TextColumn CodeText;         // per row: the Code as text, or empty
  TextColumn UnitText;         // per Unit value: its text, or empty
  std::vector<NamedColumn> Columns;  // the requested columns, in the order requested
  std::vector<uint64_t> Lines;       // per row: the line of the file it begins on, where the reader was
                                     // asked to keep them (CSV); otherwise empty

  size_t Size() const { return Unit.size(); }

  // A row has a defined ratio where its count is known and its expected
  // count known and above 0. Only a run that keeps undefined rows
  // (--undefined=skip) has others: they are kept in every output in their
  // place, and left out of every estimate.
  bool Defined(size_t row) const { return Data1[row] >= 0 && Data2[row] > 0.0; }

  // The requested column of that name (exactly as requested), the first one
  // read as `kind` where that is given, or nullptr.
  const NamedColumn* Column(std::string_view name) const {
    for (const NamedColumn& column : Columns) {
      if (column.Name == name) return &column;
    }
    return nullptr;
  }
  const NamedColumn* Column(std::string_view name, ColumnKind kind) const {
    for (const NamedColumn& column : Columns) {
      if (column.Name == name && column.Kind == kind) return &column;
    }
    return nullptr;
  }
};

}  // namespace tarnek
