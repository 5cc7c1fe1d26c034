// The list of outputs, and what each row's writer hands to its module.
#include "report/outputs.h"

#include "report/coefficient_table.h"
#include "report/funnel_plot.h"
#include "report/group_columns.h"
#include "report/group_table.h"
#include "report/log_report.h"
#include "report/region_table.h"
#include "report/result_table.h"

namespace tarnek {

namespace {

void WriteLogFile(OutputFile& file, const RunProducts& p) { WriteLog(file, p.Table, p.Results, p.Eps, p.Pool); }

void WriteTableFile(OutputFile& file, const RunProducts& p) {
  WriteResultTable(file, p.Table, p.Results.Records, p.Pool);
}

void WriteRegionsFile(OutputFile& file, const RunProducts& p) {
  WriteRegionTable(file, p.Table, p.Results.Records, p.Posteriors, p.Pool);
}

void WriteGroupsFile(OutputFile& file, const RunProducts& p) {
  const std::vector<ExtraGroupColumns> extra = GroupColumnsOf(p);
  WriteGroupTable(file, p.Table, p.Results, p.Diagnostics, p.Priors.Groups, extra, p.Pool);
}

void WritePlotFile(OutputFile& file, const RunProducts& p) {
  WriteOutput(file, DrawFunnelPlot(p.Table, p.Results, p.Posteriors.Eb, p.Priors.PlotLegend, p.DataFileName));
}

void WriteCoefficientsFile(OutputFile& file, const RunProducts& p) {
  WriteCoefficientTable(file, p.Table, p.Results, p.Covariates, p.Pool);
}

}  // namespace

const std::vector<OutputKind> kOutputKinds = {
    {"", 0, true, WriteLogFile},
    {"", 0, false, WriteTableFile},
    {"--regions", kNeedsPosteriors, false, WriteRegionsFile},
    {"--groups", kNeedsPriors | kNeedsDiagnostics | kNeedsCovariateFits, false, WriteGroupsFile},
    {"--plot", kNeedsPosteriorMeans, false, WritePlotFile},
    {"--coefficients", kNeedsCovariateFits, false, WriteCoefficientsFile, "--covariates"},
};

const OutputKind& LogOutput() { return kOutputKinds[0]; }
const OutputKind& ResultTableOutput() { return kOutputKinds[1]; }

}  // namespace tarnek
