// The list of inputs beyond the data file, and what each row's reader hands
// to its module.
#include "cli/inputs.h"

#include "input/neighbour_file.h"

namespace tarnek {

namespace {

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
};

}  // namespace tarnek
