// The result table: a tab-separated text file with a header line and one line
// per record in input order. Every line ends with CR LF.
#pragma once

#include <string>

#include "input/data_reader.h"
#include "report/number_format.h"
#include "report/output_file.h"

namespace tarnek {

// The header line; two tabs stand between "Data2" and "Ratio(%)".
inline constexpr const char* kResultHeader =
    "Unit\tCode\tData1\tData2\t\tRatio(%)\tEB-Ratio(ME)(%)\tEB-Ratio(MLE)(%)\r\n";

// Creates the result table and writes the header and every record:
// Unit, Code, Data1, Data2, then 100 times Ratio, EbRatioMe and EbRatioMle.
// A NoEstimate ratio, or one whose percent value is beyond the double
// range, prints as "***".
OutputStatus WriteResultTable(OutputFile& out, const std::string& outFileName,
                              const RecordTable& table);

// Room that one record's line may need.
inline constexpr size_t kMaxResultLineLength = 3 * (kMaxIntegerLength + 1) + 4 * (kMaxFixedLength + 1) + 1;

// Writes one record's line at `p` and returns its end.
char* WriteResultLine(char* p, const RecordTable& table, size_t row);

// Flushes and closes the table. Returns CannotWrite when anything failed.
OutputStatus CloseResultTable(OutputFile& out);

}  // namespace tarnek
