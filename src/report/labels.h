// How the system prints a record's Code and a Unit, wherever it prints them:
// the result table, the log's headings and every other output. Identifiers
// are printed as the data file wrote them: the text of a table that keeps
// text (byte for byte), otherwise the "%d" of the integer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/record_table.h"
#include "report/number_format.h"

namespace tarnek {

// Room that WriteCode and WriteUnit need: a text has no fixed bound.
inline size_t CodeRoom(const RecordTable& table, size_t row) {
  return table.CodeText.Empty() ? kMaxIntegerLength : table.CodeText.At(row).size();
}
inline size_t UnitRoom(const RecordTable& table, int32_t unit) {
  return table.UnitText.Empty() ? kMaxIntegerLength : table.UnitText.At(static_cast<size_t>(unit)).size();
}

// Write the text at `p` and return its end.
char* WriteCode(char* p, const RecordTable& table, size_t row);  // the Code of record `row`
char* WriteUnit(char* p, const RecordTable& table, int32_t unit);  // a Unit key of the table

void AppendCode(std::string& out, const RecordTable& table, size_t row);
void AppendUnit(std::string& out, const RecordTable& table, int32_t unit);

}  // namespace tarnek
