// The region table: a CSV file with a header line and one line per record in
// input order, the record and its posterior summaries. Every line ends with
// CR LF.
#pragma once

#include <cstdint>
#include <vector>

#include "core/record_table.h"
#include "estimation/diagnostics.h"
#include "grouping/grouping.h"
#include "report/output_file.h"

namespace tarnek {

inline constexpr const char* kRegionHeader =
    "unit,code,observed,expected,ratio,eb_me,eb_mle,sd,median,lower,upper,p_exceed\r\n";

// Writes the header and every record: Unit and Code as the result table
// prints them, Data1, Data2, the three ratios of the result table as ratios,
// then the posterior summaries (SummarizePosterior) under the prior chosen by
// `settings` of the record's group, the `recordGroups[row]`-th of
// `estimates.Groups` (RecordGroups). Numbers at full precision; a value that
// does not exist is an empty field. The lines are formatted on the threads
// of `pool`; the file is the same on any number.
void WriteRegionTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                      const std::vector<uint32_t>& recordGroups, const PosteriorSettings& settings,
                      WorkerPool& pool);

}  // namespace tarnek
