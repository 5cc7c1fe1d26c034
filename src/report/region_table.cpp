// Region table lines, formatted in pieces on several threads.
#include "report/region_table.h"

#include <string>

#include "report/csv.h"
#include "report/labels.h"
#include "report/number_format.h"
#include "report/row_pieces.h"

namespace tarnek {

void WriteRegionTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                      const std::vector<uint32_t>& recordGroups, const PosteriorSettings& settings, WorkerPool& pool) {
  std::vector<GammaPrior> priors;
  priors.reserve(estimates.Groups.size());
  for (const GroupResult& group : estimates.Groups) priors.push_back(ChoosePrior(group, settings.Prior));

  const RecordRatios& ratios = estimates.Records;
  WriteOutput(out, kRegionHeader);
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
      text += ',';
      AppendInteger(text, table.Data1[row]);
      text += ',';
      AppendCsvNumber(text, table.Data2[row]);
      text += ',';
      AppendCsvEstimate(text, ratios.Ratio[row]);
      text += ',';
      AppendCsvEstimate(text, ratios.EbRatioMe[row]);
      text += ',';
      AppendCsvEstimate(text, ratios.EbRatioMle[row]);
      const PosteriorSummary s =
          SummarizePosterior(table.Data1[row], table.Data2[row], priors[recordGroups[row]], settings);
      for (const double value : {s.Sd, s.Median, s.Lower, s.Upper, s.PExceed}) {
        text += ',';
        AppendCsvNumber(text, value);
      }
      text += "\r\n";
    }
  });
}

}  // namespace tarnek
