// The list of column sets that capabilities add to the group table.
#include "report/group_columns.h"

#include <string>

#include "report/csv.h"
#include "report/number_format.h"

namespace tarnek {

namespace {

struct GroupColumnSet {
  bool (*Present)(const RunProducts& products);
  ExtraGroupColumns (*Make)(const RunProducts& products);
};

// The word of the covariate regression's status column.
std::string_view RegressionWord(RegressionEnd end) {
  switch (end) {
    case RegressionEnd::Converged: return "converged";
    case RegressionEnd::Boundary: return "boundary";
    case RegressionEnd::IterationLimit: return "iteration_limit";
    case RegressionEnd::NotIdentifiable: return "not_identifiable";
    case RegressionEnd::NoCounts: return "no_counts";
  }
  return "not_identifiable";
}

// --covariates: the regression's log-likelihood, its number of parameters
// (the coefficients and the shape) and AIC, the AIC of the model without
// covariates (the intercept alone, at its maximum), the likelihood-ratio
// test of the covariates and how the regression ended.
ExtraGroupColumns CovariateColumns(const RunProducts& p) {
  const CovariateFits& fits = p.Covariates;
  const auto parameters = static_cast<int32_t>(fits.Names.size() + 2);
  return {",loglik_covariates,parameters_covariates,aic_covariates,aic,lrt_covariates,p_covariates,status_covariates",
          [&fits, parameters](std::string& text, size_t g) {
            const GroupRegression& r = fits.Groups[g];
            text += ',';
            AppendCsvNumber(text, r.Full.LogLik);
            text += ',';
            AppendInteger(text, parameters);
            for (const double value : {-2.0 * r.Full.LogLik + 2.0 * parameters, -2.0 * r.Null.LogLik + 4.0, r.Lrt,
                                       r.PValue}) {
              text += ',';
              AppendCsvNumber(text, value);
            }
            text += ',';
            text += RegressionWord(r.Full.End);
          }};
}

const std::vector<GroupColumnSet> kGroupColumnSets = {
    {[](const RunProducts& p) { return !p.CovariateNames.empty(); }, CovariateColumns},
};

}  // namespace

std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products) {
  std::vector<ExtraGroupColumns> sets;
  for (const GroupColumnSet& set : kGroupColumnSets) {
    if (set.Present(products)) sets.push_back(set.Make(products));
  }
  return sets;
}

}  // namespace tarnek
