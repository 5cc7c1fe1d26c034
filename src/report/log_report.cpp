// Log report lines, exactly as users' scripts read them: the blanks before
// the colons differ from line to line and are part of the format.
#include "report/log_report.h"

#include "core/banner.h"
#include "core/fit_settings.h"  // NoEstimate
#include "report/labels.h"
#include "report/number_format.h"

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

// Blocks are gathered into pieces of about this size before they are written.
constexpr size_t kPieceSize = size_t{1} << 16;

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

void WriteLog(OutputFile& log, const RecordTable& table, const Estimates& estimates, double eps) {
  std::string piece;
  piece.reserve(kPieceSize + 1024);
  piece += kBannerTitle;
  piece += "\r\n";
  piece += kBannerNotice;
  piece += "\r\n\r\n";
  for (size_t g = 0; g < estimates.Groups.size(); ++g) {
    AppendGroupBlock(piece, table, estimates.Mode, estimates.Units[g], estimates.Groups[g], eps);
    if (piece.size() >= kPieceSize) {
      WriteOutput(log, piece);
      piece.clear();
    }
  }
  WriteOutput(log, piece);
}

}  // namespace tarnek
