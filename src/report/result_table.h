// The result table: a tab-separated text file with a header line and one line
// per record in input order. Every line ends with CR LF.
#pragma once

#include <cstddef>

#include "core/record_table.h"
#include "grouping/grouping.h"
#include "report/number_format.h"
#include "files/output_file.h"

namespace tarnek {

// The header line; two tabs stand between "Data2" and "Ratio(%)".
inline constexpr const char* kResultHeader =
    "Unit\tCode\tData1\tData2\t\tRatio(%)\tEB-Ratio(ME)(%)\tEB-Ratio(MLE)(%)\r\n";

// Writes the header and every record: Unit, Code, Data1, Data2, then 100
// times Ratio, EbRatioMe and EbRatioMle. A NoEstimate ratio, or one whose
// percent value is beyond the double range, prints as "***". The lines are
// formatted on the threads of `pool`; the file is the same on any number.
void WriteResultTable(OutputFile& out, const RecordTable& table, const RecordRatios& ratios, WorkerPool& pool);


// Room that record `row`'s line may need: the numbers have a fixed bound,
// the Unit and the Code as text have none.
size_t ResultLineRoom(const RecordTable& table, size_t row);

// Writes one record's line at `p`, which has ResultLineRoom bytes of room,
// and returns its end.
char* WriteResultLine(char* p, const RecordTable& table, const RecordRatios& ratios, size_t row);

}  // namespace tarnek
