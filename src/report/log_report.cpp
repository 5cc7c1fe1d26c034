// Log report lines, exactly as users' scripts read them: the blanks before
// the colons differ from line to line and are part of the format.
#include "report/log_report.h"

#include "cli/options.h"  // the banner
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

}  // namespace

OutputStatus OpenLog(OutputFile& log, const std::string& logFileName) {
  const OutputStatus status = CreateOutput(log, logFileName);
  if (status != OutputStatus::Ok) return status;
  std::string banner;
  banner += kBannerTitle;
  banner += "\r\n";
  banner += kBannerNotice;
  banner += "\r\n\r\n";
  WriteOutput(log, banner);
  return OutputStatus::Ok;
}

void WriteGroupBlock(OutputFile& log, GroupMode mode, const GroupWorkspace& ws, double eps,
                     int32_t groupUnit) {
  std::string out;
  if (mode == GroupMode::PerUnit) {
    out += "For unit ";
    AppendInteger(out, groupUnit);
    out += " ..............................................\r\n";
  }
  out += " Number of regions: ";
  AppendInteger(out, ws.RegionCount);
  out += "\r\n";
  AppendValueLine(out, " Mean of Ratio : ", ws.MeanRatio);
  AppendValueLine(out, " Variance of Ratio : ", ws.VarianceRatio);
  AppendValueLine(out, " Initial value of Alpha : ", ws.InitialAlpha);
  AppendValueLine(out, " Initial value of Beta  : ", ws.InitialBeta);
  AppendValueLine(out, " ME of Alpha : ", ws.MeAlpha);
  AppendValueLine(out, " ME of Beta  : ", ws.MeBeta);
  // Both MLE lines follow the one test on MleAlpha.
  if (ws.MleAlpha != NoEstimate) {
    out += " MLE of Alpha : ";
    AppendFixed(out, ws.MleAlpha);
    out += "\r\n MLE of Beta  : ";
    AppendFixed(out, ws.MleBeta);
    out += "\r\n";
  } else {
    out += " MLE of Alpha : *** \r\n MLE of Beta  : *** \r\n";
  }
  out += " Error of convergence : {";
  AppendFixed(out, ws.ErrorAlpha);
  out += ", ";
  AppendFixed(out, ws.ErrorBeta);
  out += "}   (EPS: ";
  AppendFixed(out, eps);
  out += ")\r\n Iteration for convergence : ";
  AppendInteger(out, ws.Iterations);
  out += mode == GroupMode::PerUnit ? "\r\n\r\n" : "\r\n";
  WriteOutput(log, out);
}

OutputStatus CloseLog(OutputFile& log) { return FinishOutput(log); }

}  // namespace tarnek
