// The region table: a CSV file with a header line and one line per record in
// input order, the record, its three ratios and its posterior under the
// chosen prior. Every line ends with CR LF.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "core/parallel.h"
#include "core/record_table.h"
#include "files/output_file.h"
#include "grouping/grouping.h"
#include "grouping/posteriors.h"

namespace tarnek {

// Columns after the table's own: their names, each after a comma
// (",neighbours"), and what appends a record's values, each after a comma.
struct ExtraRegionColumns {
  std::string Header;
  std::function<void(std::string& text, size_t row)> Append;
};

inline constexpr const char* kRegionHeader =
    "unit,code,observed,expected,ratio,eb_me,eb_mle,sd,median,lower,upper,p_exceed,prior_mean,prior_sd,eb\r\n";

// Writes the header and every record: Unit and Code as the result table
// prints them, the `kept` columns (named as the data file's header names
// them, each field as read), Data1, Data2, the three ratios of the result
// table as ratios,
// then `posteriors` (SummarizeAllPosteriors, in full): sd, median, lower,
// upper, p_exceed, prior_mean, prior_sd and eb; then every set of `extra`
// in order. Numbers at full precision; a
// value that does not exist is an empty field. The lines are formatted on
// the threads of `pool`; the file is the same on any number.
void WriteRegionTable(OutputFile& out, const RecordTable& table, std::span<const NamedColumn* const> kept,
                      const RecordRatios& ratios, const PosteriorTable& posteriors,
                      std::span<const ExtraRegionColumns> extra, WorkerPool& pool);

}  // namespace tarnek
