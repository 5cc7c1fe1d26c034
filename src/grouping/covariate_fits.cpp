// Every group's covariate regression, group by group on the pool's threads;
// each group writes only its own results and its own members' means.
#include "grouping/covariate_fits.h"

#include <algorithm>  // std::max
#include <cmath>      // std::log
#include <limits>

#include "grouping/fitted_priors.h"

namespace tarnek {

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// Groups are handed to the threads one at a time, as to the estimator: a fit
// costs in proportion to its group's size, and large groups next to each
// other in a piece of several would all fall to one thread.
constexpr size_t kGroupsPerPiece = 1;

// What one thread works in: a group's data gathered, and the fit's storage.
struct Workspace {
  std::vector<int32_t> Counts;
  std::vector<double> Expected;
  std::vector<std::vector<double>> Columns;
  std::vector<std::span<const double>> Covariates;
  std::vector<double> Means, NullMeans;
  RegressionScratch Scratch;
};

bool AtMaximum(const RegressionFit& fit) {
  return fit.End == RegressionEnd::Converged || fit.End == RegressionEnd::Boundary;
}

}  // namespace

CovariateFits FitAllRegressions(const RecordTable& table, const Estimates& estimates, const GroupMembers& members,
                                std::span<const std::string> names, WorkerPool& pool) {
  CovariateFits fits;
  fits.Names.assign(names.begin(), names.end());
  std::vector<const std::vector<double>*> columns;
  for (const std::string& name : names) columns.push_back(&table.Column(name)->Reals);
  const size_t groups = members.Start.size() - 1;
  fits.Groups.resize(groups);
  fits.Means.assign(table.Size(), kNoValue);
  std::vector<Workspace> workspaces(pool.Participants(groups, kGroupsPerPiece));
  pool.Run(groups, kGroupsPerPiece, [&](size_t first, size_t last, int worker) {
    Workspace& w = workspaces[static_cast<size_t>(worker)];
    w.Columns.resize(columns.size());
    for (size_t g = first; g < last; ++g) {
      const size_t start = members.Start[g];
      const size_t n = members.Start[g + 1] - start;
      w.Counts.resize(n);
      w.Expected.resize(n);
      for (std::vector<double>& column : w.Columns) column.resize(n);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t row = members.Rows[start + i];
        w.Counts[i] = table.Data1[row];
        w.Expected[i] = table.Data2[row];
        for (size_t j = 0; j < columns.size(); ++j) w.Columns[j][i] = (*columns[j])[row];
      }
      w.Covariates.assign(w.Columns.begin(), w.Columns.end());
      w.Means.resize(n);
      w.NullMeans.resize(n);
      GroupRegression& r = fits.Groups[g];
      // The fit without covariates starts from the estimator's maximum, the
      // one with them from its maximum too (its intercept, every slope 0,
      // its shape), so that it ends no lower.
      const GroupResult& plain = estimates.Groups[g];
      RegressionStart from;
      if (plain.FitSucceeded) from = {std::log(plain.MleBeta / plain.MleAlpha), plain.MleBeta};
      r.Null = FitNegBinRegression({w.Counts, w.Expected, {}}, w.NullMeans, w.Scratch, from);
      r.Full = FitNegBinRegression({w.Counts, w.Expected, w.Covariates}, w.Means, w.Scratch,
                                   {r.Null.Estimate[0], r.Null.Shape});
      r.Lrt = r.PValue = kNoValue;
      if (AtMaximum(r.Full) && AtMaximum(r.Null)) {
        // The model with the covariates holds the other: a negative
        // difference is the rounding of two equal maxima.
        r.Lrt = std::max(0.0, 2.0 * (r.Full.LogLik - r.Null.LogLik));
        r.PValue = ChiSquareUpperTail(r.Lrt, static_cast<double>(names.size()));
      }
      for (size_t i = 0; i < n; ++i) fits.Means[members.Rows[start + i]] = w.Means[i];
    }
  });
  return fits;
}

void FillCovariatePriors(const MethodInput& input, PriorSet& out) {
  const CovariateFits& fits = *input.Covariates;
  for (size_t g = 0; g < fits.Groups.size(); ++g) {
    const RegressionFit& fit = fits.Groups[g].Full;
    for (size_t k = input.Members.Start[g]; k < input.Members.Start[g + 1]; ++k) {
      const uint32_t row = input.Members.Rows[k];
      const double mu = fits.Means[row];
      switch (fit.End) {
        case RegressionEnd::Converged: out.Records[row] = GammaPriorOf(fit.Shape, fit.Shape / mu); break;
        case RegressionEnd::Boundary: out.Records[row] = PointPriorAt(mu); break;
        default: out.Records[row] = NoPrior(); break;
      }
    }
    out.Groups[g] = GroupPrior{};
    out.Groups[g].Source = AtMaximum(fit) ? "covariates" : "none";
  }
  out.PlotLegend = "EB ratio (covariates; ME where the fit failed)";
}

void FillMaximumLikelihoodOrCovariatePriors(const MethodInput& input, PriorSet& out) {
  if (input.Covariates != nullptr) {
    FillCovariatePriors(input, out);
  } else {
    FillMaximumLikelihoodPriors(input, out);
  }
}

}  // namespace tarnek
