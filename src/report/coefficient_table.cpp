// Coefficient table lines, a group at a time.
#include "report/coefficient_table.h"

#include <cmath>  // std::isfinite
#include <limits>
#include <string>

#include "report/csv.h"
#include "report/group_table.h"  // AppendGroupUnit
#include "report/row_pieces.h"

namespace tarnek {

namespace {

// Groups formatted on a thread at a time.
constexpr size_t kGroupsPerPiece = 4096;

void AppendTerm(std::string& text, std::string_view unit, std::string_view term, double estimate, double se,
                bool tested) {
  text += unit;
  text += ',';
  AppendCsvText(text, term);
  text += ',';
  AppendCsvNumber(text, estimate);
  text += ',';
  AppendCsvNumber(text, se);
  const double z = std::isfinite(estimate) && se > 0.0 && tested ? estimate / se : std::numeric_limits<double>::quiet_NaN();
  text += ',';
  AppendCsvNumber(text, z);
  text += ',';
  AppendCsvNumber(text, TwoSidedNormalP(z));
  text += "\r\n";
}

}  // namespace

void WriteCoefficientTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                           const CovariateFits& fits, WorkerPool& pool) {
  WriteOutput(out, kCoefficientHeader);
  WriteRowsInPieces(out, estimates.Groups.size(), pool, [&](size_t first, size_t last, std::string& text) {
    std::string label, unit;
    for (size_t g = first; g < last; ++g) {
      unit.clear();
      AppendGroupUnit(unit, table, estimates, g, label);
      const RegressionFit& fit = fits.Groups[g].Full;
      for (size_t j = 0; j < fit.Estimate.size(); ++j) {
        AppendTerm(text, unit, j == 0 ? kInterceptTerm : std::string_view(fits.Names[j - 1]), fit.Estimate[j],
                   fit.StandardError[j], true);
      }
      AppendTerm(text, unit, kShapeTerm, fit.Shape, fit.ShapeSe, false);
    }
  }, kGroupsPerPiece);
}

}  // namespace tarnek
