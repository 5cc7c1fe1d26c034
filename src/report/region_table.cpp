// Region table lines, formatted into a piece that goes out whole once it is
// large enough.
#include "report/region_table.h"

#include <string>

#include "report/csv.h"
#include "report/labels.h"
#include "report/number_format.h"

namespace tarnek {

void WriteRegionTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                      const std::vector<uint32_t>& recordGroups, const PosteriorSettings& settings) {
  std::vector<GammaPrior> priors;
  priors.reserve(estimates.Groups.size());
  for (const GroupResult& group : estimates.Groups) priors.push_back(ChoosePrior(group, settings.Prior));

  const RecordRatios& ratios = estimates.Records;
  std::string piece = kRegionHeader;
  std::string label;
  for (size_t row = 0; row < table.Size(); ++row) {
    label.clear();
    AppendUnit(label, table, table.Unit[row]);
    AppendCsvText(piece, label);
    piece += ',';
    label.clear();
    AppendCode(label, table, row);
    AppendCsvText(piece, label);
    piece += ',';
    AppendInteger(piece, table.Data1[row]);
    piece += ',';
    AppendCsvNumber(piece, table.Data2[row]);
    piece += ',';
    AppendCsvEstimate(piece, ratios.Ratio[row]);
    piece += ',';
    AppendCsvEstimate(piece, ratios.EbRatioMe[row]);
    piece += ',';
    AppendCsvEstimate(piece, ratios.EbRatioMle[row]);
    const PosteriorSummary s =
        SummarizePosterior(table.Data1[row], table.Data2[row], priors[recordGroups[row]], settings);
    for (const double value : {s.Sd, s.Median, s.Lower, s.Upper, s.PExceed}) {
      piece += ',';
      AppendCsvNumber(piece, value);
    }
    EndCsvLine(out, piece);
  }
  WriteOutput(out, piece);
}

}  // namespace tarnek
