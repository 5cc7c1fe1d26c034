// Region table lines, formatted in pieces on several threads.
#include "report/region_table.h"

#include <string>

#include "report/csv.h"
#include "report/labels.h"
#include "report/number_format.h"
#include "report/row_pieces.h"

namespace tarnek {

void WriteRegionTable(OutputFile& out, const RecordTable& table, std::span<const NamedColumn* const> kept,
                      const RecordRatios& ratios, const PosteriorTable& posteriors,
                      std::span<const ExtraRegionColumns> extra, WorkerPool& pool) {
  const PosteriorTable& p = posteriors;
  std::string header = "unit,code";
  for (const NamedColumn* column : kept) {
    header += ',';
    AppendCsvText(header, column->HeaderName);
  }
  header += std::string_view(kRegionHeader).substr(std::string_view("unit,code").size());
  header.resize(header.size() - 2);  // before the line end
  for (const ExtraRegionColumns& columns : extra) header += columns.Header;
  header += "\r\n";
  WriteOutput(out, header);
  WriteRowsInPieces(out, table.Size(), pool, [&](size_t first, size_t last, std::string& text) {
    std::string label;
    for (size_t row = first; row < last; ++row) {
      label.clear();
      AppendUnit(label, table, table.Unit[row]);
      AppendCsvText(text, label);
      text += ',';
      label.clear();
      AppendCode(label, table, row);
      AppendCsvText(text, label);
      for (const NamedColumn* column : kept) {
        text += ',';
        AppendCsvText(text, column->Texts.At(row));
      }
      text += ',';
      if (table.Data1[row] >= 0) AppendInteger(text, table.Data1[row]);  // empty where it is not known
      text += ',';
      AppendCsvNumber(text, table.Data2[row]);
      for (const double value : {ratios.Ratio[row], ratios.EbRatioMe[row], ratios.EbRatioMle[row]}) {
        text += ',';
        AppendCsvEstimate(text, value);
      }
      for (const double value : {p.Sd[row], p.Median[row], p.Lower[row], p.Upper[row], p.PExceed[row],
                                 p.PriorMean[row], p.PriorSd[row], p.Eb[row]}) {
        text += ',';
        AppendCsvNumber(text, value);
      }
      for (const ExtraRegionColumns& columns : extra) columns.Append(text, row);
      text += "\r\n";
    }
  });
}

}  // namespace tarnek
