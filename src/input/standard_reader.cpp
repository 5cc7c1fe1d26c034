// The standard's reader: the CSV reader asked for the stratum columns and
// the rate alone.
#include "input/standard_reader.h"

namespace tarnek {

CsvReadResult ReadStandardFile(const std::string& fileName, const std::vector<std::string>& strata, StandardRates& rates) {
  CsvColumns columns{std::string(kNoUnitColumn), "", "", ""};
  columns.KeepLines = true;
  for (const std::string& name : strata) columns.Extra.push_back({name, ColumnKind::Identifier});
  columns.Extra.push_back({std::string(kRateColumn), ColumnKind::NonNegativeReal});
  rates.FileName = fileName;
  rates.Table = RecordTable{};
  return ReadCsvFile(fileName, columns, rates.Table);
}

}  // namespace tarnek
