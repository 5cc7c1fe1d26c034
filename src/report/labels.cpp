// Codes and units are text where the table keeps text; otherwise 32-bit
// integers printed as "%d".
#include "report/labels.h"

#include <cstring>  // std::memcpy
#include <string_view>

namespace tarnek {

namespace {

char* WriteText(char* p, std::string_view text) {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

}  // namespace

char* WriteCode(char* p, const RecordTable& table, size_t row) {
  if (!table.CodeText.Empty()) return WriteText(p, table.CodeText.At(row));
  return WriteInteger(p, table.Code[row]);
}

char* WriteUnit(char* p, const RecordTable& table, int32_t unit) {
  if (!table.UnitText.Empty()) return WriteText(p, table.UnitText.At(static_cast<size_t>(unit)));
  return WriteInteger(p, unit);
}

void AppendCode(std::string& out, const RecordTable& table, size_t row) {
  if (!table.CodeText.Empty()) {
    out += table.CodeText.At(row);
    return;
  }
  AppendInteger(out, table.Code[row]);
}

void AppendUnit(std::string& out, const RecordTable& table, int32_t unit) {
  if (!table.UnitText.Empty()) {
    out += table.UnitText.At(static_cast<size_t>(unit));
    return;
  }
  AppendInteger(out, unit);
}

}  // namespace tarnek
