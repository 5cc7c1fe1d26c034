// The standard of an external standardisation: a CSV file of rates, one row
// per stratum, read by the rules of the CSV data files (csv_reader.h).
//
// The header names the stratum columns, as the data's --strata names them
// (letter case ignored), and the column `rate`: the stratum's cases per
// person, a decimal real of 0 or more. Other columns are ignored. A stratum
// field is an identifier (not empty, no control characters), as in the data.
// That every stratum appears once, and that the data's strata are all there,
// is the standardisation's to check (standardisation.h): it knows them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/record_table.h"
#include "input/csv_reader.h"

namespace tarnek {

inline constexpr std::string_view kRateColumn = "rate";

// The rates as read.
struct StandardRates {
  std::string FileName;  // as given; empty when no standard was read
  // One row per row of the file, in file order, with its line (Lines):
  // Columns holds the stratum columns, named as asked, then kRateColumn.
  RecordTable Table;
};

// Reads `fileName` into `rates`, the stratum columns found by the names of
// `strata` (none the same as another or as "rate", without regard to case).
// Errors are those of ReadCsvFile, a column named as asked.
CsvReadResult ReadStandardFile(const std::string& fileName, const std::vector<std::string>& strata, StandardRates& rates);

}  // namespace tarnek
