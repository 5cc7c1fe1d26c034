// Group table lines.
#include "report/group_table.h"

#include <string>

#include "report/csv.h"
#include "report/labels.h"
#include "report/number_format.h"
#include "report/row_pieces.h"

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

void AppendGroupUnit(std::string& out, const RecordTable& table, const Estimates& estimates, size_t g,
                     std::string& scratch) {
  // One group of all records has no Unit key of its own: it is -1.
  if (estimates.Mode == GroupMode::SingleGroup) {
    out += "-1";
    return;
  }
  scratch.clear();
  AppendUnit(scratch, table, estimates.Units[g]);
  AppendCsvText(out, scratch);
}

void WriteGroupTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                     const std::vector<GroupDiagnostics>& diagnostics, std::span<const LikelihoodMaximum> maxima,
                     std::span<const GroupPrior> priors, std::span<const ExtraGroupColumns> extra, WorkerPool& pool) {
  std::string header(kGroupHeader);
  for (const ExtraGroupColumns& columns : extra) header += columns.Header;
  header += "\r\n";
  WriteOutput(out, header);
  WriteRowsInPieces(out, estimates.Groups.size(), pool, [&](size_t first, size_t last, std::string& text) {
    std::string label;
    for (size_t g = first; g < last; ++g) {
      const GroupResult& r = estimates.Groups[g];
      const GroupDiagnostics& d = diagnostics[g];
      AppendGroupUnit(text, table, estimates, g, label);
      text += ',';
      AppendInteger(text, r.RegionCount);
      for (const double value : {r.MeanRatio, r.VarianceRatio, r.InitialAlpha, r.InitialBeta, r.MeAlpha, r.MeBeta,
                                 r.MleAlpha, r.MleBeta}) {
        text += ',';
        AppendCsvEstimate(text, value);
      }
      const LikelihoodMaximum& m = maxima[g];
      for (const double value : {d.SeAlpha, d.SeBeta, d.CorrAlphaBeta, priors[g].Mean, priors[g].Sd, m.LogLik,
                                 m.LogLikPoisson, m.Lrt, m.POverdispersion}) {
        text += ',';
        AppendCsvNumber(text, value);
      }
      text += ',';
      AppendInteger(text, r.Iterations);
      text += ',';
      AppendCsvNumber(text, r.ErrorAlpha);
      text += ',';
      AppendCsvNumber(text, r.ErrorBeta);
      text += ',';
      text += StatusWord(d.Status);
      text += ',';
      text += priors[g].Source;
      for (const double value : {priors[g].Alpha, priors[g].Beta}) {
        text += ',';
        AppendCsvNumber(text, value);
      }
      for (const ExtraGroupColumns& columns : extra) columns.Append(text, g);
      text += "\r\n";
    }
  });
}

}  // namespace tarnek
