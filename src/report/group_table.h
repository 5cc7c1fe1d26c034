// The group table: a CSV file with a header line and one line per group, in
// the order of the log: the values the log prints, the fit's diagnostics and
// the chosen prior, then the columns that other capabilities add. Every line
// ends with CR LF.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/parallel.h"
#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "estimation/likelihood_maximum.h"
#include "files/output_file.h"
#include "grouping/grouping.h"
#include "grouping/prior_set.h"

namespace tarnek {

inline constexpr std::string_view kGroupHeader =
    "unit,regions,mean_ratio,variance_ratio,initial_alpha,initial_beta,me_alpha,me_beta,mle_alpha,mle_beta,"
    "se_alpha,se_beta,corr_alpha_beta,prior_mean,prior_sd,loglik,loglik_poisson,lrt,p_overdispersion,"
    "iterations,error_alpha,error_beta,status,prior_source,prior_alpha,prior_beta";

// The word of the status column: converged, stalled, iteration_limit,
// nonpositive_step, nonfinite_step or no_start.
std::string_view StatusWord(FitStatus status);

// Appends group g's unit as a CSV field, as the tables of groups name it:
// -1 for the one group of all records, else its Unit as printed, quoted where
// it needs to be. `scratch` is working space.
void AppendGroupUnit(std::string& out, const RecordTable& table, const Estimates& estimates, size_t g,
                     std::string& scratch);

// Columns after the table's own: their names, each after a comma
// (",moran_i,moran_p"), and what appends a group's values, each after a
// comma; and for the k-th unit without a fit, what appends its values
// (none: empty fields).
struct ExtraGroupColumns {
  std::string Header;
  std::function<void(std::string& text, size_t group)> Append;
  std::function<void(std::string& text, size_t k)> AppendWithoutFit = nullptr;
};

// Writes the header and one line per group of `estimates`: its Unit as the
// log prints it (-1 in single-group mode), the log's values at full
// precision, `diagnostics[g]` (DiagnoseAllGroups) with the chosen prior's
// mean and standard deviation from `priors[g]` and the log-likelihoods of the
// group's likelihood maximum `maxima[g]`, the status, the chosen prior's
// source and Gamma parameters, then every set of `extra` in order. A value
// that does not exist is an empty field. `unfitted` are units without a
// group (ascending, none of them a group's): each has a line in its place
// in the order of units, its unit, 0 regions, every other field of the
// table's own empty, then the extra columns' AppendWithoutFit. The lines
// are formatted on the threads of `pool`; the file is the same on any number.
void WriteGroupTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                     const std::vector<GroupDiagnostics>& diagnostics, std::span<const LikelihoodMaximum> maxima,
                     std::span<const GroupPrior> priors, std::span<const int32_t> unfitted,
                     std::span<const ExtraGroupColumns> extra, WorkerPool& pool);

}  // namespace tarnek
