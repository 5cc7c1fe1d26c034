// The list of inputs beyond the data file, and what each row's reader hands
// to its module.
#include "cli/inputs.h"

#include <utility>  // std::pair

#include "input/neighbour_file.h"
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

// The neighbour file's failures: text that does not read as a neighbour
// file, or one that does but does not fit the data.
bool Unreadable(NeighbourFileStatus status) {
  switch (status) {
    case NeighbourFileStatus::BadHeader:
    case NeighbourFileStatus::UnknownFormat:
    case NeighbourFileStatus::NotACount:
    case NeighbourFileStatus::WrongFieldCount:
    case NeighbourFileStatus::NotAWeight:
    case NeighbourFileStatus::CountMismatch:
    case NeighbourFileStatus::FileEndsEarly:
    case NeighbourFileStatus::TextAfterEnd:
      return true;
    default:
      return false;
  }
}

std::optional<RunFailure> ReadNeighbours(const std::string& file, RunProducts& products) {
  NeighbourFileResult read = ReadNeighbourFile(file, RecordCodeTexts(products.Table));
  switch (read.Error.Status) {
    case NeighbourFileStatus::Ok:
      products.Neighbours = std::move(read.Lists);
      products.HasNeighbours = true;
      return std::nullopt;
    case NeighbourFileStatus::CannotOpen:
      return RunFailure{Failure::CannotOpenData, {file}};
    case NeighbourFileStatus::CannotRead:
      return RunFailure{Failure::CannotReadData, {file}};
    default:
      return RunFailure{Unreadable(read.Error.Status) ? Failure::BadNeighbours : Failure::WrongNeighbours,
                        {file, DescribeNeighbourError(read)}};
  }
}

}  // namespace

const std::vector<InputKind> kInputKinds = {
    {"--neighbours", ReadNeighbours, "which regions are neighbours: a GAL or GWT file"},
    {"--standard", ReadStandard, "the standard rates of external standardisation (CSV: the strata and rate)",
     "--population", true},
};

}  // namespace tarnek
