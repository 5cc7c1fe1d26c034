// Group table lines.
#include "report/group_table.h"

#include <string>

#include "report/csv.h"
#include "report/labels.h"
#include "report/number_format.h"

namespace tarnek {

std::string_view StatusWord(FitStatus status) {
  switch (status) {
    case FitStatus::Converged: return "converged";
    case FitStatus::Stalled: return "stalled";
    case FitStatus::IterationLimit: return "iteration_limit";
    case FitStatus::NonPositiveStep: return "nonpositive_step";
    case FitStatus::NonFiniteStep: return "nonfinite_step";
    case FitStatus::NoStart: return "no_start";
  }
  return "no_start";
}

void WriteGroupTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                     const std::vector<GroupDiagnostics>& diagnostics) {
  std::string piece = kGroupHeader;
  std::string label;
  for (size_t g = 0; g < estimates.Groups.size(); ++g) {
    const GroupResult& r = estimates.Groups[g];
    const GroupDiagnostics& d = diagnostics[g];
    // One group of all records has no Unit key of its own: it is -1.
    if (estimates.Mode == GroupMode::SingleGroup) {
      piece += "-1";
    } else {
      label.clear();
      AppendUnit(label, table, estimates.Units[g]);
      AppendCsvText(piece, label);
    }
    piece += ',';
    AppendInteger(piece, r.RegionCount);
    for (const double value : {r.MeanRatio, r.VarianceRatio, r.InitialAlpha, r.InitialBeta, r.MeAlpha, r.MeBeta,
                               r.MleAlpha, r.MleBeta}) {
      piece += ',';
      AppendCsvEstimate(piece, value);
    }
    for (const double value : {d.SeAlpha, d.SeBeta, d.CorrAlphaBeta, d.PriorMean, d.PriorSd, d.LogLik,
                               d.LogLikPoisson, d.Lrt, d.POverdispersion}) {
      piece += ',';
      AppendCsvNumber(piece, value);
    }
    piece += ',';
    AppendInteger(piece, r.Iterations);
    piece += ',';
    AppendCsvNumber(piece, r.ErrorAlpha);
    piece += ',';
    AppendCsvNumber(piece, r.ErrorBeta);
    piece += ',';
    piece += StatusWord(d.Status);
    EndCsvLine(out, piece);
  }
  WriteOutput(out, piece);
}

}  // namespace tarnek
