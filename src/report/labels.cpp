// Codes and units of the plain data format are 32-bit integers: their text
// is the "%d" of the value.
#include "report/labels.h"

#include "report/number_format.h"

namespace tarnek {

char* WriteCode(char* p, const RecordTable& table, size_t row) { return WriteInteger(p, table.Code[row]); }

char* WriteUnit(char* p, const RecordTable& /*table*/, int32_t unit) { return WriteInteger(p, unit); }

void AppendCode(std::string& out, const RecordTable& table, size_t row) {
  char buf[kMaxIntegerLength + 1];
  out.append(buf, WriteCode(buf, table, row));
}

void AppendUnit(std::string& out, const RecordTable& table, int32_t unit) {
  char buf[kMaxIntegerLength + 1];
  out.append(buf, WriteUnit(buf, table, unit));
}

}  // namespace tarnek
