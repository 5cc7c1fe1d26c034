// Result table lines. The percent values are one double multiplication each.
#include "report/result_table.h"

#include <cmath>    // std::isfinite
#include <cstring>  // std::memcpy
#include <string_view>

#include "core/fit_settings.h"  // NoEstimate
#include "report/labels.h"

namespace tarnek {

namespace {

constexpr size_t kBlockSize = size_t{1} << 20;

// Room for a line's Data1, Data2 and three percent values, each with the tab
// or the CR LF after it.
constexpr size_t kNumbersRoom = (kMaxIntegerLength + 1) + 4 * (kMaxFixedLength + 1) + 1;

// 100 times the ratio, or "***" where there is none: the ratio is
// NoEstimate, or the percent value is beyond the double range.
char* WritePercent(char* p, double ratio) {
  const double percent = 100.0 * ratio;
  if (ratio == NoEstimate || !std::isfinite(percent)) {
    std::memcpy(p, "***", 3);
    return p + 3;
  }
  return WriteFixed(p, percent);
}

}  // namespace

size_t ResultLineRoom(const RecordTable& table, size_t row) {
  return UnitRoom(table, table.Unit[row]) + 1 + CodeRoom(table, row) + 1 + kNumbersRoom;
}

char* WriteResultLine(char* p, const RecordTable& table, const RecordRatios& ratios, size_t row) {
  p = WriteUnit(p, table, table.Unit[row]);
  *p++ = '\t';
  p = WriteCode(p, table, row);
  *p++ = '\t';
  p = WriteInteger(p, table.Data1[row]);
  *p++ = '\t';
  p = WriteFixed(p, table.Data2[row]);
  *p++ = '\t';
  p = WritePercent(p, ratios.Ratio[row]);
  *p++ = '\t';
  p = WritePercent(p, ratios.EbRatioMe[row]);
  *p++ = '\t';
  p = WritePercent(p, ratios.EbRatioMle[row]);
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

void WriteResultTable(OutputFile& out, const RecordTable& table, const RecordRatios& ratios) {
  WriteOutput(out, kResultHeader);
  // Lines are formatted straight into a block that goes out whole when the
  // next line might not fit; a line longer than the block (a long text
  // identifier) makes the block larger.
  std::string block(kBlockSize, '\0');
  char* begin = block.data();
  char* p = begin;
  for (size_t row = 0; row < table.Size(); ++row) {
    const size_t room = ResultLineRoom(table, row);
    if (room > block.size() - static_cast<size_t>(p - begin)) {
      WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
      if (room > block.size()) block.resize(room);
      begin = block.data();
      p = begin;
    }
    p = WriteResultLine(p, table, ratios, row);
  }
  WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
}

}  // namespace tarnek
