// The log report: the banner and one summary block per estimated group, in
// the order in which the groups were estimated. Every line ends with CR LF.
// A value that is NoEstimate prints as "***".
#pragma once

#include <cstdint>
#include <string>

#include "core/record_table.h"
#include "estimation/estimator.h"
#include "grouping/grouping.h"
#include "files/output_file.h"

namespace tarnek {

// Appends one group's block to `out`. In per-unit mode the block opens with
// a heading line naming `unit` (a Unit of `table`) and ends with an empty line.
void AppendGroupBlock(std::string& out, const RecordTable& table, GroupMode mode, int32_t unit,
                      const GroupResult& group, double eps);

// Writes the whole log: the banner's three lines, then every group's block,
// the blocks formatted on the threads of `pool` (the same bytes on any
// number).
void WriteLog(OutputFile& log, const RecordTable& table, const Estimates& estimates, double eps, WorkerPool& pool);

}  // namespace tarnek
