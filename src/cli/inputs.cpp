// The list of inputs beyond the data file, and what each row's reader hands
// to its module.
#include "cli/inputs.h"

#include <sys/stat.h>  // stat: is a data set that GDAL cannot open there at all?

#include <algorithm>  // std::find
#include <charconv>   // std::to_chars
#include <utility>    // std::pair

#include "geometry/contiguity.h"
#include "input/neighbour_file.h"
#include "input/standard_reader.h"
#include "report/number_format.h"

namespace tarnek {

namespace {

// "--standard": the rates of an external standardisation, for the strata
// that --strata names.
std::optional<RunFailure> ReadStandard(const std::string& file, RunProducts& products) {
  return CsvFailure(file, ReadStandardFile(file, products.Standardisation.Strata, products.Standard), true);
}

constexpr std::string_view kQueen = "queen", kRook = "rook";

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

// Contiguity neighbours from the regions' shapes. Their codes name the
// regions as a neighbour file's ids would: unique and free of white space.
std::optional<RunFailure> ContiguityOf(const std::string& kind, RunProducts& products) {
  if (!products.HasShapes) return RunFailure{Failure::UnneededOption, {"--neighbours=" + kind, "--geometry"}};
  const NeighbourFileResult codes = CheckNeighbourCodes(RecordCodeTexts(products.Table));
  if (codes.Error.Status != NeighbourFileStatus::Ok) {
    return RunFailure{Failure::WrongNeighbours, {kind, DescribeNeighbourError(codes)}};
  }
  Contiguity found = FindContiguity(products.Shapes.Records, kind == kQueen ? ContiguityKind::Queen : ContiguityKind::Rook,
                                    products.Snap);
  if (found.Status == ContiguityStatus::TooCrowded) {
    char snap[32];
    const auto number = [](uint64_t n) { return FormatInteger(static_cast<int64_t>(n)); };
    return RunFailure{Failure::WrongNeighbours,
                      {kind, "a snap distance of " + std::string(snap, std::to_chars(snap, snap + 32, products.Snap).ptr) +
                                 " brings " + number(found.Comparisons) + " pairs of vertices together, more than the " +
                                 number(ComparisonLimit(found.Vertices)) + " allowed for " + number(found.Vertices) +
                                 " vertices: the snap joins vertices that rounding set apart, far closer than a "
                                 "region's size"}};
  }
  products.Neighbours = std::move(found.Lists);
  products.HasNeighbours = true;
  return std::nullopt;
}

std::optional<RunFailure> ReadNeighbours(const std::string& file, RunProducts& products) {
  if (file == kQueen || file == kRook) return ContiguityOf(file, products);
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

// The regions' shapes from a vector data set, matched to the records by the
// key field; every file of the data set joins the same-file checks.
std::optional<RunFailure> ReadGeometry(const std::string& file, RunProducts& products) {
  VectorReadOptions options;
  options.Layer = products.GeometryLayer;
  options.KeyField = products.GeometryKey;
  options.Fields = {products.GeometryKey};
  VectorLayer layer;
  const VectorReadResult read = ReadVectorLayer(file, options, layer);
  if (read.Status != VectorStatus::Ok) return LayerFailure(file, read, options.Layer);
  products.FilesRead.insert(products.FilesRead.end(), layer.Files.begin(), layer.Files.end());
  const ShapeError error = MatchShapes(layer, products.Table, products.Shapes);
  if (error.Status != ShapeStatus::Ok) return ShapeFailure(file, error);
  products.HasShapes = true;
  return std::nullopt;
}

}  // namespace

const std::vector<InputKind> kInputKinds = {
    {"--geometry", ReadGeometry, "the regions' shapes: a vector data set that GDAL reads (shapefile, GeoPackage, ...)"},
    {"--neighbours", ReadNeighbours, "which regions are neighbours: a GAL or GWT file, or queen or rook from the shapes",
     {}, false, {kQueen, kRook}, "--geometry"},
    {"--standard", ReadStandard, "the standard rates of external standardisation (CSV: the strata and rate)",
     "--population", true},
};

bool IsInputKind(const InputKind& kind, std::string_view value) {
  return std::find(kind.Kinds.begin(), kind.Kinds.end(), value) != kind.Kinds.end();
}

RunFailure LayerFailure(const std::string& file, const VectorReadResult& read, const std::string& layer) {
  struct stat info{};
  // GDAL's own paths (/vsizip/...) are no files of the file system.
  if (read.Status == VectorStatus::CannotOpen && !file.starts_with("/vsi") && stat(file.c_str(), &info) != 0) {
    return RunFailure{Failure::CannotOpenData, {file}};
  }
  if (read.Status == VectorStatus::NoModule) return RunFailure{Failure::NoGdalModule, {read.Name}};
  const Failure kind = read.Status == VectorStatus::DuplicateKey ? Failure::WrongGeometry : Failure::BadVectorData;
  return RunFailure{kind, {file, DescribeLayerError(read, layer)}};
}

std::optional<RunFailure> CsvFailure(const std::string& file, const CsvReadResult& read, bool input) {
  // The failures that name a line and a column: of the data file, and of an input.
  static constexpr std::pair<CsvStatus, Failure> kFailures[][4] = {
      {{CsvStatus::OutOfRange, Failure::CsvOutOfRange},
       {CsvStatus::NotAValue, Failure::CsvNotAValue},
       {CsvStatus::MissingColumn, Failure::MissingColumn},
       {CsvStatus::RepeatedColumn, Failure::RepeatedColumn}},
      {{CsvStatus::OutOfRange, Failure::InputCsvOutOfRange},
       {CsvStatus::NotAValue, Failure::InputCsvNotAValue},
       {CsvStatus::MissingColumn, Failure::InputMissingColumn},
       {CsvStatus::RepeatedColumn, Failure::InputRepeatedColumn}},
  };
  if (read.Status == CsvStatus::CannotOpen) return RunFailure{Failure::CannotOpenData, {file}};
  if (read.Status == CsvStatus::CannotRead) return RunFailure{Failure::CannotReadData, {file}};
  for (const auto& [status, failure] : kFailures[input ? 1 : 0]) {
    if (read.Status != status) continue;
    const std::string line = FormatInteger(static_cast<int64_t>(read.Line));
    return input ? RunFailure{failure, {file, line, read.Column}} : RunFailure{failure, {line, read.Column}};
  }
  return std::nullopt;
}

RunFailure ShapeFailure(const std::string& file, const ShapeError& error) {
  const bool unreadable = error.Status == ShapeStatus::NotPolygon || error.Status == ShapeStatus::Invalid;
  return RunFailure{unreadable ? Failure::BadVectorData : Failure::WrongGeometry, {file, DescribeShapeError(error)}};
}

}  // namespace tarnek
