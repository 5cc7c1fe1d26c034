// Result table lines. The percent values are one double multiplication each.
#include "report/result_table.h"

#include <cmath>    // std::isfinite
#include <cstring>  // std::memcpy
#include <string_view>

#include "estimation/estimator.h"  // NoEstimate

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

char* WriteResultLine(char* p, const RecordTable& table, size_t row) {
  p = WriteInteger(p, table.Unit[row]);
  *p++ = '\t';
  p = WriteInteger(p, table.Code[row]);
  *p++ = '\t';
  p = WriteInteger(p, table.Data1[row]);
  *p++ = '\t';
  p = WriteFixed(p, table.Data2[row]);
  *p++ = '\t';
  p = WritePercent(p, table.Ratio[row]);
  *p++ = '\t';
  p = WritePercent(p, table.EbRatioMe[row]);
  *p++ = '\t';
  p = WritePercent(p, table.EbRatioMle[row]);
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

OutputStatus WriteResultTable(OutputFile& out, const std::string& outFileName,
                              const RecordTable& table) {
  const OutputStatus status = CreateOutput(out, outFileName);
  if (status != OutputStatus::Ok) return status;
  WriteOutput(out, kResultHeader);
  // Lines are formatted straight into a block that goes out whole.
  std::string block(kBlockSize + kMaxResultLineLength, '\0');
  char* const begin = block.data();
  char* p = begin;
  for (size_t row = 0; row < table.Size(); ++row) {
    p = WriteResultLine(p, table, row);
    if (static_cast<size_t>(p - begin) >= kBlockSize) {
      WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
      p = begin;
    }
  }
  WriteOutput(out, std::string_view(begin, static_cast<size_t>(p - begin)));
  return OutputStatus::Ok;
}

OutputStatus CloseResultTable(OutputFile& out) { return FinishOutput(out); }

}  // namespace tarnek
