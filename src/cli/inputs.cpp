// The list of inputs beyond the data file.
#include "cli/inputs.h"

#include <utility>  // std::pair

#include "input/standard_reader.h"
#include "report/number_format.h"

namespace tarnek {

namespace {

// The CSV failures of an input that name its file, a line and a column.
constexpr std::pair<CsvStatus, Failure> kInputCsvFailures[] = {
    {CsvStatus::OutOfRange, Failure::InputCsvOutOfRange},
    {CsvStatus::NotAValue, Failure::InputCsvNotAValue},
    {CsvStatus::MissingColumn, Failure::InputMissingColumn},
    {CsvStatus::RepeatedColumn, Failure::InputRepeatedColumn},
};

// "--standard": the rates of an external standardisation, for the strata
// that --strata names.
std::optional<RunFailure> ReadStandard(const std::string& file, RunProducts& products) {
  const CsvReadResult read = ReadStandardFile(file, products.Standardisation.Strata, products.Standard);
  if (read.Status == CsvStatus::CannotOpen) return RunFailure{Failure::CannotOpenData, {file}};
  if (read.Status == CsvStatus::CannotRead) return RunFailure{Failure::CannotReadData, {file}};
  for (const auto& [status, failure] : kInputCsvFailures) {
    if (read.Status == status) return RunFailure{failure, {file, FormatInteger(static_cast<int64_t>(read.Line)), read.Column}};
  }
  return std::nullopt;
}

}  // namespace

const std::vector<InputKind> kInputKinds = {
    {"--standard", ReadStandard, "the standard rates of external standardisation (CSV: the strata and rate)",
     "--population"},
};

}  // namespace tarnek
