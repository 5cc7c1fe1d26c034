// The field rules of the data readers that find their columns by name: the
// CSV reader and the vector data reader give their header and their rows,
// field by field, to RecordFields, which decides which column is which,
// checks every field and fills the record table. So a CSV file and a
// layer's attribute table read by the same rules, with the same errors.
//
// The header: each field a column name, matched to the names of
// CsvColumns (and its Extra requests) without regard to ASCII letter case;
// a named column missing or held twice is an error. A row: its fields in the
// header's order, each checked as it comes (csv_reader.h lists the rules:
// unit and code identifiers, observed a count, expected a positive real,
// extra columns by their ColumnKind); a row with fewer fields than a named
// column needs, or more than the header has, is an error. With
// CsvColumns::KeepUndefined a Real column's field may be empty or NA (NaN)
// on a row without a defined ratio, which no estimate reads; on a defined
// row that is an error, found at the row's end. At the end the
// units are ranked (numerically when every unit is an integer text, else by
// bytes) and each row's Unit becomes the rank of its text.
//
// Errors name the column: a named one by its name as CsvColumns gives it,
// any other by its position ("column 5", from 1). Where the error lies (a
// line, a feature) is the caller's to say. The first error stops the rules:
// later calls do nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/record_table.h"
#include "input/csv_reader.h"  // CsvColumns, CsvStatus

namespace tarnek {

// The distinct units met so far, found again by a hash of their text.
struct UnitSet;

class RecordFields {
 public:
  // `table`'s columns are cleared and set up for `columns`; both must outlive this.
  RecordFields(const CsvColumns& columns, RecordTable& table);
  ~RecordFields();
  RecordFields(const RecordFields&) = delete;
  RecordFields& operator=(const RecordFields&) = delete;

  // The header's field `index` (from 0, in order), the column's name.
  void HeaderField(size_t index, std::string_view name);
  // The end of the header: every named column must be there.
  void EndHeader();
  bool InHeader() const { return inHeader_; }

  // A row's field `index` (from 0, in order).
  void DataField(size_t index, std::string_view text);
  // The end of a row that had `fields` fields (at least one), which began on
  // `line` (the line of a CSV file; a feature's number).
  void EndRow(size_t fields, uint64_t line);

  // Looks up the units of the rows given since the last call, all together
  // (faster than one at a time); call it now and then, or never before Finish.
  void FindPendingUnits();
  // After the last row: the units ranked and every row's Unit set.
  void Finish();

  bool Failed() const { return failed_; }
  CsvStatus Status() const { return status_; }  // when Failed
  const std::string& Column() const { return column_; }  // when Failed: the column as the message names it
  // Makes the rules fail with `status` at the column `index` (the caller's
  // own errors, such as broken quoting, named alike).
  void Fail(CsvStatus status, size_t index);
  // The column at `index` as a message names it.
  std::string ColumnName(size_t index) const;

 private:
  bool HasUnit() const;
  bool Reads(uint32_t role) const;
  uint32_t RoleCount() const;
  const std::string& Name(uint32_t role) const;
  void FailNamed(CsvStatus status, const std::string& column);
  void ExtraField(size_t extra, std::string_view text);

  const CsvColumns& columns_;
  RecordTable& table_;
  bool inHeader_ = true;
  bool failed_ = false;
  CsvStatus status_ = CsvStatus::Ok;
  std::string column_;
  std::vector<uint32_t> roles_;   // per column of the header
  std::vector<size_t> position_;  // per role: its column, or none
  // The roles that read a column, by its folded name (FoldedColumnName), in
  // ascending order; a header of many columns is matched in linear time.
  std::unordered_map<std::string, std::vector<uint32_t>> rolesByName_;
  // Extra columns read from a column that has a role already (a column kept
  // that is also a covariate, say): the column and the extra column's index.
  std::vector<std::pair<size_t, size_t>> moreRoles_;
  // With KeepUndefined: the first extra column of real numbers whose field
  // in this row is empty or NA (NaN in the table), an error unless the row
  // has no defined ratio; kNoUnknownReal where none is.
  static constexpr size_t kNoUnknownReal = SIZE_MAX;
  size_t unknownReal_ = kNoUnknownReal;
  std::unique_ptr<UnitSet> units_;
  TextColumn pendingUnits_;  // the units of the last rows given, not yet looked up
};

}  // namespace tarnek
