// Group table lines.
#include "report/group_table.h"

#include <algorithm>  // std::count
#include <string>
#include <vector>

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

namespace {

// A line of the table: group Index of the estimates, or the unit without a
// fit unfitted[Index].
struct TableLine {
  bool Fitted;
  size_t Index;
};

// The groups and the units without a fit, each list ascending, merged in
// the order of their units.
std::vector<TableLine> LinesInUnitOrder(const Estimates& estimates, std::span<const int32_t> unfitted) {
  const size_t groups = estimates.Groups.size();
  std::vector<TableLine> lines;
  lines.reserve(groups + unfitted.size());
  for (size_t g = 0, k = 0; g < groups || k < unfitted.size();) {
    if (k == unfitted.size() || (g < groups && estimates.Units[g] < unfitted[k])) {
      lines.push_back({true, g++});
    } else {
      lines.push_back({false, k++});
    }
  }
  return lines;
}

// The commas of a header: the fields it names, each after a comma, or all
// but the first of them.
size_t Commas(std::string_view header) { return static_cast<size_t>(std::count(header.begin(), header.end(), ',')); }

}  // namespace

void WriteGroupTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                     const std::vector<GroupDiagnostics>& diagnostics, std::span<const LikelihoodMaximum> maxima,
                     std::span<const GroupPrior> priors, std::span<const int32_t> unfitted,
                     std::span<const ExtraGroupColumns> extra, WorkerPool& pool) {
  std::string header(kGroupHeader);
  for (const ExtraGroupColumns& columns : extra) header += columns.Header;
  header += "\r\n";
  WriteOutput(out, header);
  const std::vector<TableLine> lines = LinesInUnitOrder(estimates, unfitted);
  // A unit without a fit: its unit, 0 regions, then the table's other fields empty.
  const std::string emptyFields = ",0" + std::string(Commas(kGroupHeader) - 1, ',');
  WriteRowsInPieces(out, lines.size(), pool, [&](size_t first, size_t last, std::string& text) {
    std::string label;
    for (size_t i = first; i < last; ++i) {
      if (!lines[i].Fitted) {
        const size_t k = lines[i].Index;
        label.clear();
        AppendUnit(label, table, unfitted[k]);
        AppendCsvText(text, label);
        text += emptyFields;
        for (const ExtraGroupColumns& columns : extra) {
          if (columns.AppendWithoutFit) {
            columns.AppendWithoutFit(text, k);
          } else {
            text.append(Commas(columns.Header), ',');
          }
        }
        text += "\r\n";
        continue;
      }
      const size_t g = lines[i].Index;
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
