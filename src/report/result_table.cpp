// Result table lines. The percent values are one double multiplication each.
#include "report/result_table.h"

#include "estimation/estimator.h"  // NoEstimate
#include "report/number_format.h"

namespace tarnek {

namespace {

void AppendPercent(std::string& line, double ratio) {
  if (ratio == NoEstimate) {
    line += "***";
  } else {
    AppendFixed(line, 100.0 * ratio);
  }
}

}  // namespace

void AppendResultLine(std::string& line, const RecordTable& table, size_t row) {
  AppendInteger(line, table.Unit[row]);
  line += '\t';
  AppendInteger(line, table.Code[row]);
  line += '\t';
  AppendInteger(line, table.Data1[row]);
  line += '\t';
  AppendFixed(line, table.Data2[row]);
  line += '\t';
  AppendPercent(line, table.Ratio[row]);
  line += '\t';
  AppendPercent(line, table.EbRatioMe[row]);
  line += '\t';
  AppendPercent(line, table.EbRatioMle[row]);
  line += "\r\n";
}

OutputStatus WriteResultTable(OutputFile& out, const std::string& outFileName,
                              const RecordTable& table) {
  const OutputStatus status = CreateOutput(out, outFileName);
  if (status != OutputStatus::Ok) return status;
  std::string chunk = kResultHeader;
  for (size_t row = 0; row < table.Size(); ++row) {
    AppendResultLine(chunk, table, row);
    if (chunk.size() >= (size_t{1} << 16)) {
      WriteOutput(out, chunk);
      chunk.clear();
    }
  }
  WriteOutput(out, chunk);
  return OutputStatus::Ok;
}

OutputStatus CloseResultTable(OutputFile& out) { return FinishOutput(out); }

}  // namespace tarnek
