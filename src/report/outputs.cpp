// The list of outputs, and what each row's writer hands to its module.
#include "report/outputs.h"

#include "report/funnel_plot.h"
#include "report/added_columns.h"
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
  const std::vector<ExtraRegionColumns> extra = RegionColumnsOf(p);
  WriteRegionTable(file, p.Table, p.Kept, p.Results.Records, p.Posteriors, extra, p.Pool);
}

void WriteGroupsFile(OutputFile& file, const RunProducts& p) {
  const std::vector<ExtraGroupColumns> extra = GroupColumnsOf(p);
  WriteGroupTable(file, p.Table, p.Results, p.Diagnostics, p.Maxima, p.Priors.Groups, extra, p.Pool);
}

void WritePlotFile(OutputFile& file, const RunProducts& p) {
  WriteOutput(file, DrawFunnelPlot(p.Table, p.Results, p.Members, p.Posteriors.Eb, p.Prior->PlotLegend, p.DataFileName));
}

}  // namespace

const std::vector<OutputKind> kOutputKinds = {
    {"", 0, true, WriteLogFile},
    {"", 0, false, WriteTableFile},
    {"--regions", kNeedsPosteriors, false, WriteRegionsFile, "the region table (CSV): every region's posterior"},
    {"--groups", kNeedsPriors | kNeedsDiagnostics, false, WriteGroupsFile,
     "the group table (CSV): every group's fit and prior"},
    {"--plot", kNeedsPosteriorMeans, false, WritePlotFile, "the funnel-and-shrinkage plot (SVG)"},
};

const OutputKind& LogOutput() { return kOutputKinds[0]; }
const OutputKind& ResultTableOutput() { return kOutputKinds[1]; }

}  // namespace tarnek
