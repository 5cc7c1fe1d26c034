// How the system prints a record's Code and a Unit, wherever it prints them:
// the result table, the log's headings and every other output. Identifiers
// are printed as the data file wrote them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/record_table.h"

namespace tarnek {

// Write the text at `p` and return its end.
char* WriteCode(char* p, const RecordTable& table, size_t row);  // the Code of record `row`
char* WriteUnit(char* p, const RecordTable& table, int32_t unit);  // a Unit key of the table

void AppendCode(std::string& out, const RecordTable& table, size_t row);
void AppendUnit(std::string& out, const RecordTable& table, int32_t unit);

}  // namespace tarnek
