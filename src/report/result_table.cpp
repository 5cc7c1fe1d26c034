// Result table lines. The percent values are one double multiplication each.
#include "report/result_table.h"

#include <cmath>    // std::isfinite
#include <cstring>  // std::memcpy
#include <string_view>

#include "core/fit_settings.h"  // NoEstimate
#include "report/labels.h"
#include "report/row_pieces.h"

namespace tarnek {

namespace {

// The room a line of integer identifiers needs, and then some.
constexpr size_t kLineRoom = 4096;

// Room for a line's Data1, Data2 and three percent values, each with the tab
// or the CR LF after it.
constexpr size_t kNumbersRoom = (kMaxIntegerLength + 1) + 4 * (kMaxFixedLength + 1) + 1;

char* WriteStars(char* p) {
  std::memcpy(p, "***", 3);
  return p + 3;
}

// 100 times the ratio, or "***" where there is none: the ratio is
// NoEstimate, or the percent value is beyond the double range.
char* WritePercent(char* p, double ratio) {
  const double percent = 100.0 * ratio;
  if (ratio == NoEstimate || !std::isfinite(percent)) return WriteStars(p);
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
  // A count or expected count that is not known (a row without a defined
  // ratio, kept with --undefined=skip) prints as "***" too.
  p = table.Data1[row] >= 0 ? WriteInteger(p, table.Data1[row]) : WriteStars(p);
  *p++ = '\t';
  p = std::isnan(table.Data2[row]) ? WriteStars(p) : WriteFixed(p, table.Data2[row]);
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

namespace {

// Appends the lines of records first .. last-1 to `text`.
void AppendResultLines(std::string& text, const RecordTable& table, const RecordRatios& ratios, size_t first,
                       size_t last) {
  // Each line is formatted into room enough for it, then appended; a line
  // longer than the room so far (a long text identifier) makes it larger.
  std::string line(kLineRoom, '\0');
  for (size_t row = first; row < last; ++row) {
    const size_t room = ResultLineRoom(table, row);
    if (room > line.size()) line.resize(room);
    const char* end = WriteResultLine(line.data(), table, ratios, row);
    text.append(line.data(), static_cast<size_t>(end - line.data()));
  }
}

}  // namespace

void WriteResultTable(OutputFile& out, const RecordTable& table, const RecordRatios& ratios, WorkerPool& pool) {
  WriteOutput(out, kResultHeader);
  WriteRowsInPieces(out, table.Size(), pool, [&](size_t first, size_t last, std::string& text) {
    AppendResultLines(text, table, ratios, first, last);
  });
}

}  // namespace tarnek
