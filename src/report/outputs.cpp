// The list of outputs, and what each row's writer hands to its module.
#include "report/outputs.h"

#include <charconv>  // std::to_chars

#include "core/fit_settings.h"     // NoEstimate
#include "input/neighbour_file.h"  // RecordCodeTexts
#include "report/coefficient_table.h"
#include "report/funnel_plot.h"
#include "report/added_columns.h"
#include "report/gal_file.h"
#include "report/labels.h"
#include "report/map.h"
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
  WriteGroupTable(file, p.Table, p.Results, p.Diagnostics, p.Maxima, p.Priors.Groups, p.Unfitted.Units, extra, p.Pool);
}

void WritePlotFile(OutputFile& file, const RunProducts& p) {
  WriteOutput(file, DrawFunnelPlot(p.Table, p.Results, p.Members, p.Posteriors.Eb, p.Priors.PlotLegend, p.DataFileName));
}

// The map's regions: every record with its posterior under the chosen
// prior and its shape, then the features without data.
std::vector<MapRegion> MapRegionsOf(const RunProducts& p) {
  const size_t records = p.Table.Size();
  std::vector<MapRegion> regions(records + p.Shapes.Others.size());
  for (size_t row = 0; row < records; ++row) {
    MapRegion& r = regions[row];
    AppendCode(r.Code, p.Table, row);
    // A row without a defined ratio (--undefined=skip) shows what it holds
    // and no ratio: its count -1 and the table's placeholder ratio are none.
    // A ratio beyond the range of a double (the result table's "***") is
    // an infinity: the row has its data all the same.
    const bool defined = p.Table.Defined(row);
    r.Observed = p.Table.Data1[row] >= 0 ? p.Table.Data1[row] : MapRegion::kMissing;
    r.Expected = p.Table.Data2[row];
    const double ratio = p.Results.Records.Ratio[row];
    r.Ratio = !defined ? MapRegion::kMissing : ratio == NoEstimate ? MapRegion::kBeyond : ratio;
    r.Eb = p.Posteriors.Eb[row];
    r.Lower = p.Posteriors.Lower[row];
    r.Upper = p.Posteriors.Upper[row];
    r.PExceed = p.Posteriors.PExceed[row];
    r.Shape = p.Shapes.Records[row];
  }
  for (size_t k = 0; k < p.Shapes.Others.size(); ++k) {
    MapRegion& r = regions[records + k];
    r.Code = p.Shapes.OtherKeys.At(k);
    r.Shape = p.Shapes.Others[k];
  }
  return regions;
}

void WriteMapFile(OutputFile& file, const RunProducts& p) {
  MapSettings settings;
  settings.DataFileName = p.DataFileName;
  settings.Prior = std::string(p.Prior->Name) + " prior";
  char level[32];  // the level in percent, as --level gave it: "95", "97.5"
  char* end = std::to_chars(level, level + sizeof level, p.Posterior.Level * 100.0, std::chars_format::general, 10).ptr;
  settings.Interval = std::string(level, static_cast<size_t>(end - level)) + "% interval";
  settings.Threshold = p.Posterior.Exceed;
  settings.Breaks = p.MapBreaks;
  settings.LongitudeLatitude = p.Shapes.LongitudeLatitude;
  settings.BeyondGeographicCrs = p.Shapes.BeyondGeographicCrs;
  WriteOutput(file, DrawMap(MapRegionsOf(p), settings));
}

void WriteNeighboursFile(OutputFile& file, const RunProducts& p) {
  std::string text;
  // The codes can be a GAL file's ids: the neighbours' reader checked them.
  FormatGal(p.Neighbours, RecordCodeTexts(p.Table), p.Shapes.Layer, p.Shapes.Key, text);
  WriteOutput(file, text);
}

void WriteCoefficientsFile(OutputFile& file, const RunProducts& p) {
  WriteCoefficientTable(file, p.Table, p.Results, p.Covariates, p.Pool);
}

}  // namespace

const std::vector<OutputKind> kOutputKinds = {
    {"", 0, true, WriteLogFile},
    {"", 0, false, WriteTableFile},
    {"--regions", kNeedsPosteriors, false, WriteRegionsFile, "the region table (CSV): every region's posterior"},
    {"--groups", kNeedsPriors | kNeedsDiagnostics | kNeedsCovariateFits, false, WriteGroupsFile,
     "the group table (CSV): every group's fit and prior"},
    {"--plot", kNeedsPosteriorMeans, false, WritePlotFile, "the funnel-and-shrinkage plot (SVG)"},
    {"--map", kNeedsPosteriors, false, WriteMapFile,
     "the map of the EB ratios and the probabilities of exceeding --exceed (SVG)", "--geometry"},
    {"--write-neighbours", 0, false, WriteNeighboursFile, "the neighbour lists as a GAL file", "--neighbours"},
    {"--coefficients", kNeedsCovariateFits, false, WriteCoefficientsFile,
     "the covariate regression's coefficients (CSV), per group and term", "--covariates"},
};

const OutputKind& LogOutput() { return kOutputKinds[0]; }
const OutputKind& ResultTableOutput() { return kOutputKinds[1]; }

}  // namespace tarnek
