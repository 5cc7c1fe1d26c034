// The CSV data file reader: fills the record table from CSV with a header
// line, the four fields found by their column names, identifiers kept as text.
//
// The file is RFC 4180 CSV, parsed by libcsv in its strict mode: fields
// separated by commas, a field in double quotes may hold commas, quotes
// (doubled) and line breaks; lines end with LF or CR LF; blanks around a field
// are not part of it; blank lines are skipped; a UTF-8 byte order mark at the
// start is skipped. Quoting that breaks these rules is an error.
//
// The first line is the header. Its fields are the column names, matched to
// the names of CsvColumns without regard to ASCII letter case; other columns
// are ignored, in any order. Every following row holds one record:
//   unit      text: the grouping key (not read: CsvColumns::Unit "-")
//   code      text: the record's identifier, codes may repeat (not read: an empty name)
//   observed  a decimal integer, 0 or greater, that fits 32 bits (likewise)
//   expected  a decimal real, finite and greater than 0 (likewise)
// A unit or code is kept byte for byte as read (quotes removed), and must
// be non-empty and free of control characters (bytes below 0x20: tab, line
// breaks and the like), so that the tab-separated outputs that print it
// keep their lines and columns. Numbers have the forms of the plain data
// format and nothing around them. Further columns that the run asks for
// (CsvColumns::Extra) are found the same way and read as their ColumnKind
// says (record_table.h) into RecordTable::Columns, in the order asked; with
// KeepUnused, so is every other column, as text. With CsvColumns::KeepLines
// the table keeps the line of every row (Lines), for later steps whose
// errors name a row. These field rules are record_fields.h's, which the
// vector data reader (--vector) shares.
//
// What the table holds (see RecordTable): the codes in CodeText; the units'
// distinct texts in UnitText in ascending order, each row's Unit the index
// of its text there (0 or greater, so a CSV run with a unit column always
// runs one group per unit). The order is numeric when every unit reads as an
// integer (optional sign and digits, of any length), numerically equal units
// ("01001", "1001") then by bytes; otherwise by bytes (unsigned). Without a
// unit column every Unit is -1 and UnitText stays empty: one group.
//
// Lines are counted from 1, the header's line included; a line ends with
// LF or CR LF (a CR alone ends a row and counts as a line end too), also
// inside a quoted field. A record's errors name the line on which its row
// begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/record_table.h"

namespace tarnek {

// The header names of the four columns. Code, Observed and Expected may be
// empty: that column is not read and the file need not have it (its column
// of the table stays empty); a run that computes the expected counts reads
// no Expected, and a file of rates (the standard of a standardisation) none
// of the three. Precondition: no two of the four the same without regard to case.
inline constexpr std::string_view kNoUnitColumn = "-";
struct CsvColumns {
  std::string Unit = "unit";  // kNoUnitColumn: the file has no unit column
  std::string Code = "code";
  std::string Observed = "observed";
  std::string Expected = "expected";
  std::vector<ColumnRequest> Extra = {};  // a name may be that of one of the four, or of another extra column
                                          // of another kind: the column is then read as each
  bool KeepUnused = false;  // every column of the header that nothing names is read too, as Text under its own
                            // name, after the Extra ones in the order of the header
  // With KeepUnused, the names of columns left unread all the same (true:
  // ignored, as without KeepUnused), or null for none.
  bool (*LeftUnread)(std::string_view name) = nullptr;
  bool KeepLines = false;   // keep each row's line in RecordTable::Lines
  bool KeepUndefined = false;  // an observed or expected field that is empty or NA, or an expected count of 0,
                               // makes a row without a defined ratio (RecordTable::Defined): -1, NaN or 0;
                               // such a row may leave an extra Real column empty or NA too (NaN)
};

// True when two column names are the same without regard to ASCII letter case.
bool SameColumnName(std::string_view a, std::string_view b);
// The name with ASCII letters in lower case: two names are the same column
// exactly when their folded names are equal (a key for looking names up).
std::string FoldedColumnName(std::string_view name);

enum class CsvStatus {
  Ok,
  CannotOpen,      // the file cannot be opened (or is a directory)
  CannotRead,      // an I/O error while reading it
  OutOfRange,      // a number outside its range: observed < 0 or beyond 32 bits, expected <= 0 or infinite,
                   // a real of an extra column infinite (or negative where it must not be)
  NotAValue,       // a field that does not read (an empty one included), a row with too few or too many
                   // fields, or broken quoting
  MissingColumn,   // the header lacks a named column, or the file has no header at all
  RepeatedColumn,  // the header holds a named column twice
};

// The outcome of a read. Every status but Ok, CannotOpen and CannotRead
// names where: the line, and the column: a named column by its name as
// CsvColumns gives it, any other by its position ("column 5", counted from
// 1; a row with more fields than the header names the first field beyond).
// Reading stops at the first error: fields are checked as they come, left to
// right, and a row that lacks fields names the first named column it lacks.
struct CsvReadResult {
  CsvStatus Status = CsvStatus::Ok;
  uint64_t Line = 0;
  std::string Column;
};

// Reads the CSV text `text` as a whole into `table`.
CsvReadResult ParseCsv(std::string_view text, const CsvColumns& columns, RecordTable& table);

// Reads CSV from `file` a block of `blockSize` bytes at a time, parsing as
// it goes: the result is that of ParseCsv on the whole text, but an error
// ends the read within the block that holds it. Running out of memory throws
// std::bad_alloc.
inline constexpr size_t kCsvBlockSize = size_t{1} << 20;
CsvReadResult ReadCsvStream(std::FILE* file, const CsvColumns& columns, RecordTable& table, size_t blockSize);

// Opens the data file `fileName` and reads it with ReadCsvStream. A file
// that cannot be opened, or a directory, gives CannotOpen.
CsvReadResult ReadCsvFile(const std::string& fileName, const CsvColumns& columns, RecordTable& table);

}  // namespace tarnek
