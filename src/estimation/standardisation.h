// Expected counts from populations by indirect standardisation: the rows as
// read (one per region and stratum in long form, or one per region) made into
// the record table that the run estimates, one record per region with its
// computed expected count.
//
// Rows. With stratum columns, the rows of one unit that share a code are one
// region, in any order and anywhere in the file; its stratum on a row is the
// row's texts of the stratum columns, and it holds each stratum at most once
// (a stratum it lacks has no population). Without stratum columns every row
// is a region of its own, of one stratum. A row has an observed count y >= 0
// and a population p >= 0.
//
// Model. Region i has the observed count O_i, the sum of y over its rows, and
// the expected count E_i, the sum over its rows of p times the rate of the
// row's stratum:
//  - internal standardisation (no standard): rate_k = C_k / P_k, with C_k and
//    P_k the sums of y and of p over the rows of stratum k in the region's
//    standardisation set: its group (the rows of its unit; the whole file
//    without a unit column) or the whole file. Then the E_i of a set add up
//    to its observed total O_S: sum over k of P_k C_k / P_k. A stratum with
//    neither population nor cases in a set has rate 0; one with cases but no
//    population has none, which is an error.
//  - external standardisation: rate_k, per person, from the standard.
// A region without population (or whose population lies in strata of rate 0
// alone) has E_i = 0, which no estimate can take: an error, as is an E_i
// beyond the double range. With KeepUndefined such a region (E_i 0, or NaN
// beyond the range) is a record without a defined ratio, and so is a region
// with a row whose count is not known (-1): its observed count is -1, and
// its rows take no part in the internal rates (neither their cases nor their
// population).
//
// Numerics. Counts are summed exactly in 64 bits. Every P_k and every E_i is
// a sum over the rows in file order in long double (x87, 64-bit mantissa)
// with Neumaier's compensation, each term p times rate in long double; rate_k
// = C_k / P_k in long double; E_i is rounded to a double once. Before that
// rounding E_i is within 6 x 2^-64 of its exact value, relative (the terms
// are never negative), so each Data2 is within 0.51 ulp of the exact E_i in
// the normal double range, and the exact sum of the Data2 of a set is within
// 1.004 x 2^-53 x O_S of O_S (each Data2's rounding, at most half an ulp:
// below 2^-52 O_S, whatever the number of regions). The tests check both
// against the formula in quadruple precision (__float128), hand-derived cases
// and R. Only + - * / are used: the same input gives the same table on every
// x86-64 CPU, and nothing here runs on several threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/record_table.h"
#include "input/csv_reader.h"
#include "input/standard_reader.h"

namespace tarnek {

enum class StandardisationSet {
  Group,  // each group's rows (those of one unit)
  File,   // every row of the file
};

struct StandardisationSettings {
  std::string Population;           // the population column; empty: no standardisation, the data hold E
  std::vector<std::string> Strata;  // the stratum columns; none: every row is a region of one stratum
  StandardisationSet Within = StandardisationSet::Group;  // the set of internal standardisation
  bool KeepUndefined = false;  // a region with a row whose count is not known, or whose E_i is 0, becomes a
                               // record without a defined ratio instead of an error (below)

  bool Active() const { return !Population.empty(); }
};

// Asks the CSV reader for what a standardisation reads: no expected column,
// the population (a real of 0 or more) and the stratum columns (identifiers)
// after any columns already asked for, and every row's line.
void RequestStandardisationColumns(const StandardisationSettings& settings, CsvColumns& columns);

enum class StandardiseStatus {
  Ok,
  StandardRepeated,  // a row of the standard with the stratum of an earlier one: Line, OtherLine of the standard
  StratumRepeated,   // a row with the region and stratum of an earlier row (OtherLine)
  ColumnDiffers,     // a row whose value in column Name is not that of its region's first row (OtherLine)
  ObservedTotalOutOfRange,  // a region's observed total beyond 2^31 - 1: Line its first row's, Name its code
  NoPopulation,      // internal: a row with cases in a stratum without population in its set
  MissingStratum,    // external: the first row of a stratum that the standard lacks; Name the stratum
  ExpectedOutOfRange,       // a region's E_i is 0 or beyond the double range: Line its first row's, Name its code
};

// Where a check failed. A stratum is named by its texts joined by commas.
struct StandardiseResult {
  StandardiseStatus Status = StandardiseStatus::Ok;
  uint64_t Line = 0;
  uint64_t OtherLine = 0;
  std::string Name;
};

// Makes `regions` (emptied first) from `rows`, as read with the columns of
// RequestStandardisationColumns and `settings`, and `standard` (nullptr:
// internal standardisation), as ReadStandardFile reads it: the stratum
// columns, the rate and the lines. A region's record: the Unit and code of its first row, the sum of
// its rows' observed counts, its E_i as Data2, its first row's line, and
// every other column of `rows` (not the population nor a stratum) with the
// value that all its rows must share; regions in the order of their first
// rows. UnitText stays as read.
//
// The checks run in the order of StandardiseStatus, and the first that fails
// names the earliest row (or region) it finds; `regions` is then of no use.
StandardiseResult Standardise(const RecordTable& rows, const StandardisationSettings& settings,
                              const StandardRates* standard, RecordTable& regions);

}  // namespace tarnek
