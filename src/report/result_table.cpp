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
  // Lines are formatted straight into a block that goes out whole.
  std::string block(kBlockSize + kMaxResultLineLength, '\0');
  char* const begin = block.data();
  char* p = begin;
  for (size_t row = 0; row < table.Size(); ++row) {
    p = WriteResultLine(p, table, ratios, row);
    if (static_cast<size_t>(p - begin) >= kBlockSize) {
      WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
      p = begin;
    }
  }
  WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
}

}  // namespace tarnek
