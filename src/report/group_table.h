// The group table: a CSV file with a header line and one line per group, in
// the order of the log: the values the log prints and the group's fit
// diagnostics. Every line ends with CR LF.
#pragma once

#include <string_view>
#include <vector>

#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "grouping/grouping.h"
#include "report/output_file.h"

namespace tarnek {

inline constexpr const char* kGroupHeader =
    "unit,regions,mean_ratio,variance_ratio,initial_alpha,initial_beta,me_alpha,me_beta,mle_alpha,mle_beta,"
    "se_alpha,se_beta,corr_alpha_beta,prior_mean,prior_sd,loglik,loglik_poisson,lrt,p_overdispersion,"
    "iterations,error_alpha,error_beta,status\r\n";

// The word of the status column: converged, stalled, iteration_limit,
// nonpositive_step, nonfinite_step or no_start.
std::string_view StatusWord(FitStatus status);

// Writes the header and one line per group of `estimates`: its Unit as the
// log prints it (-1 in single-group mode), the log's values at full
// precision, then `diagnostics[g]` (DiagnoseAllGroups). A value that does not
// exist is an empty field. The lines are formatted on the threads of `pool`;
// the file is the same on any number.
void WriteGroupTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                     const std::vector<GroupDiagnostics>& diagnostics, WorkerPool& pool);

}  // namespace tarnek
