// The lists of column sets that capabilities add to the tables.
#include "report/added_columns.h"

#include "input/csv_reader.h"  // SameColumnName
#include "report/csv.h"
#include "report/number_format.h"

namespace tarnek {

namespace {

template <typename Columns>
struct ColumnSet {
  bool (*Present)(const RunProducts& products);
  Columns (*Make)(const RunProducts& products);
  std::string_view Header;  // the names of its columns, each after a comma, as Make gives them
};

constexpr std::string_view kMoranHeader = ",moran_i,moran_p";
constexpr std::string_view kNeighboursHeader = ",neighbours";
constexpr std::string_view kUndefinedHeader = ",undefined";
constexpr std::string_view kCovariatesHeader =
    ",loglik_covariates,parameters_covariates,aic_covariates,aic,lrt_covariates,p_covariates,status_covariates";

// With neighbours: EB Moran's I of the group and its permutation p-value.
ExtraGroupColumns MoranColumns(const RunProducts& p) {
  return {std::string(kMoranHeader), [&p](std::string& text, size_t g) {
            text += ',';
            AppendCsvNumber(text, p.Moran[g].Statistic);
            text += ',';
            AppendCsvNumber(text, p.Moran[g].PValue);
          }};
}

// With neighbours: the region's neighbours within its group (0: an island,
// estimated by a local prior from its own ratio alone); empty for a row
// without a defined ratio, which is in no group.
ExtraRegionColumns NeighbourCountColumn(const RunProducts& p) {
  return {std::string(kNeighboursHeader), [&p](std::string& text, size_t row) {
            text += ',';
            if (p.Table.Defined(row)) AppendInteger(text, p.NeighbourCounts[row]);
          }};
}

// With --undefined=skip: the rows of the group's unit without a defined
// ratio, which its estimates leave out (regions counts the others); a unit
// whose every row is such has a line of its own, with their count.
ExtraGroupColumns UndefinedColumn(const RunProducts& p) {
  return {std::string(kUndefinedHeader),
          [&p](std::string& text, size_t g) {
            text += ',';
            AppendInteger(text, p.UndefinedRows[g]);
          },
          [&p](std::string& text, size_t k) {
            text += ',';
            AppendInteger(text, p.Unfitted.Undefined[k]);
          }};
}

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

// With --covariates: the regression's log-likelihood, its number of
// parameters (the coefficients and the shape) and AIC, the AIC of the model
// without covariates (the intercept alone, at its maximum), the
// likelihood-ratio test of the covariates and how the regression ended.
ExtraGroupColumns CovariateColumns(const RunProducts& p) {
  const CovariateFits& fits = p.Covariates;
  const auto parameters = static_cast<int32_t>(fits.Names.size() + 2);
  return {std::string(kCovariatesHeader),
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

bool HasCovariates(const RunProducts& p) { return !p.CovariateNames.empty(); }
bool HasNeighbours(const RunProducts& p) { return p.HasNeighbours; }
bool KeepsUndefined(const RunProducts& p) { return p.KeepUndefined; }

const std::vector<ColumnSet<ExtraGroupColumns>> kGroupColumnSets = {
    {HasCovariates, CovariateColumns, kCovariatesHeader},
    {HasNeighbours, MoranColumns, kMoranHeader},
    {KeepsUndefined, UndefinedColumn, kUndefinedHeader},
};

const std::vector<ColumnSet<ExtraRegionColumns>> kRegionColumnSets = {
    {HasNeighbours, NeighbourCountColumn, kNeighboursHeader},
};

template <typename Columns>
std::vector<Columns> SetsOf(const std::vector<ColumnSet<Columns>>& all, const RunProducts& products) {
  std::vector<Columns> sets;
  for (const ColumnSet<Columns>& set : all) {
    if (set.Present(products)) sets.push_back(set.Make(products));
  }
  return sets;
}

}  // namespace

std::vector<ExtraGroupColumns> GroupColumnsOf(const RunProducts& products) { return SetsOf(kGroupColumnSets, products); }

std::vector<ExtraRegionColumns> RegionColumnsOf(const RunProducts& products) {
  return SetsOf(kRegionColumnSets, products);
}

bool IsRegionTableColumn(std::string_view name) {
  std::string names(kRegionHeader);
  names.resize(names.size() - 2);  // the line end
  for (const auto& set : kRegionColumnSets) names += set.Header;
  for (size_t start = 0;;) {
    const size_t comma = names.find(',', start);
    if (SameColumnName(name, std::string_view(names).substr(start, comma - start))) return true;
    if (comma == std::string::npos) return false;
    start = comma + 1;
  }
}

}  // namespace tarnek
