// The coefficient table: a CSV file with a header line and, per group in the
// order of the log, one line per term of its covariate regression: the
// intercept "(intercept)", each covariate by its name as --covariates gives
// it, and "shape" for b. Every line ends with CR LF.
#pragma once

#include <string_view>

#include "core/parallel.h"
#include "core/record_table.h"
#include "files/output_file.h"
#include "grouping/covariate_fits.h"
#include "grouping/grouping.h"

namespace tarnek {

inline constexpr std::string_view kCoefficientHeader = "unit,term,estimate,se,z,p\r\n";
inline constexpr std::string_view kInterceptTerm = "(intercept)";
inline constexpr std::string_view kShapeTerm = "shape";

// Writes the header and the lines of every group of `estimates` (its unit as
// the group table prints it) from its fit in `fits`: the estimate, its
// standard error, z = estimate/se and the two-sided normal p of z, as
// summary(glm.nb(...)) shows them; for the shape its estimate and standard
// error alone (no test of b = 0). Numbers at full precision; a value that
// does not exist (every value of a fit without a maximum, the shape at the
// boundary, where it is infinite) is an empty field. The lines are formatted
// on the threads of `pool`; the file is the same on any number.
void WriteCoefficientTable(OutputFile& out, const RecordTable& table, const Estimates& estimates,
                           const CovariateFits& fits, WorkerPool& pool);

}  // namespace tarnek
