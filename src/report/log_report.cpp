// Log report lines, exactly as users' scripts read them: the blanks before
// the colons differ from line to line and are part of the format.
#include "report/log_report.h"

#include "core/banner.h"
#include "core/fit_settings.h"  // NoEstimate
#include "report/labels.h"
#include "report/number_format.h"
#include "report/row_pieces.h"

namespace tarnek {

namespace {

// "<label>%lf\r\n", or "<label>*** \r\n" when the value does not exist.
void AppendValueLine(std::string& out, const char* label, double value) {
  out += label;
  if (value == NoEstimate) {
    out += "*** ";
  } else {
    AppendFixed(out, value);
  }
  out += "\r\n";
}

// Blocks are formatted a piece of this many groups at a time (about 3 MB).
constexpr size_t kGroupsPerLogPiece = 8192;

}  // namespace

void AppendGroupBlock(std::string& out, const RecordTable& table, GroupMode mode, int32_t unit,
                      const GroupResult& group, double eps) {
  if (mode == GroupMode::PerUnit) {
    out += "For unit ";
    AppendUnit(out, table, unit);
    out += " ..............................................\r\n";
  }
  out += " Number of regions: ";
  AppendInteger(out, group.RegionCount);
  out += "\r\n";
  AppendValueLine(out, " Mean of Ratio : ", group.MeanRatio);
  AppendValueLine(out, " Variance of Ratio : ", group.VarianceRatio);
  AppendValueLine(out, " Initial value of Alpha : ", group.InitialAlpha);
  AppendValueLine(out, " Initial value of Beta  : ", group.InitialBeta);
  AppendValueLine(out, " ME of Alpha : ", group.MeAlpha);
  AppendValueLine(out, " ME of Beta  : ", group.MeBeta);
  // Both MLE lines follow the one test on MleAlpha.
  if (group.MleAlpha != NoEstimate) {
    out += " MLE of Alpha : ";
    AppendFixed(out, group.MleAlpha);
    out += "\r\n MLE of Beta  : ";
    AppendFixed(out, group.MleBeta);
    out += "\r\n";
  } else {
    out += " MLE of Alpha : *** \r\n MLE of Beta  : *** \r\n";
  }
  out += " Error of convergence : {";
  AppendFixed(out, group.ErrorAlpha);
  out += ", ";
  AppendFixed(out, group.ErrorBeta);
  out += "}   (EPS: ";
  AppendFixed(out, eps);
  out += ")\r\n Iteration for convergence : ";
  AppendInteger(out, group.Iterations);
  out += mode == GroupMode::PerUnit ? "\r\n\r\n" : "\r\n";
}

void WriteLog(OutputFile& log, const RecordTable& table, const Estimates& estimates, double eps, WorkerPool& pool) {
  std::string banner;
  banner += kBannerTitle;
  banner += "\r\n";
  banner += kBannerNotice;
  banner += "\r\n\r\n";
  WriteOutput(log, banner);
  WriteRowsInPieces(
      log, estimates.Groups.size(), pool,
      [&](size_t first, size_t last, std::string& text) {
        for (size_t g = first; g < last; ++g) {
          AppendGroupBlock(text, table, estimates.Mode, estimates.Units[g], estimates.Groups[g], eps);
        }
      },
      kGroupsPerLogPiece);
}

}  // namespace tarnek
