// The log report: the banner and one summary block per estimated group.
// Every line ends with CR LF. A value that is NoEstimate prints as "***".
#pragma once

#include <cstdint>
#include <string>

#include "estimation/estimator.h"
#include "report/output_file.h"

namespace tarnek {

enum class GroupMode {
  SingleGroup,  // one group of all records: blocks have no heading line
  PerUnit,      // one group per Unit: blocks have a heading line and end with an empty line
};

// Creates the log file and writes the banner's three lines.
OutputStatus OpenLog(OutputFile& log, const std::string& logFileName);

// Appends one group block with the values the estimator left in `ws`.
// `groupUnit` is shown in the heading line in per-unit mode.
void WriteGroupBlock(OutputFile& log, GroupMode mode, const GroupWorkspace& ws, double eps,
                     int32_t groupUnit);

// Flushes and closes the log. Returns CannotWrite when anything failed.
OutputStatus CloseLog(OutputFile& log);

}  // namespace tarnek
