// Unit grouping: which records are estimated together, and the scatter-back
// of every record's results to its own row of the record table.
//
// If the first record's Unit is -1, all records form one group. Otherwise
// every distinct Unit forms a group of its own; the groups are estimated in
// ascending (signed) order of Unit, and the members of a group keep their
// input order. The table stays in input order whatever the grouping.
#pragma once

#include "cli/options.h"
#include "estimation/estimator.h"
#include "input/data_reader.h"
#include "report/log_report.h"

namespace tarnek {

// The grouping mode chosen by the first record. An empty table has no group:
// per-unit mode with nothing to estimate.
GroupMode ChooseGroupMode(const RecordTable& table);

// Estimates every group: fills the workspace, runs EstimateGroup, writes the
// group's block to the log, and copies Ratio, EbRatioMe and EbRatioMle back
// into the members' rows. The table's three result columns are sized to it.
void EstimateAllGroups(RecordTable& table, const RunSettings& settings, GroupWorkspace& ws,
                       OutputFile& log);

}  // namespace tarnek
