// The input files beyond the data file: each a row that names the option
// giving it and the module that reads it into the run's products. Every
// input takes part in the same-file checks: no output may overwrite it, nor
// any other file of its data set, which its reader adds to the products'
// FilesRead (a shapefile's .dbf and .shx beside its .shp, as GDAL lists
// them: known only once it is opened, and checked before any output is
// created).
//
// A new input is a reader (a module of its own) and one row of kInputKinds;
// its option, "--NAME=FILE", follows from the row.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.h"
#include "input/csv_reader.h"
#include "input/region_shapes.h"
#include "input/vector_layer.h"
#include "report/run_products.h"

namespace tarnek {

struct InputKind {
  std::string_view Option;  // the long option that names the file ("--neighbours")
  // Reads `file` into `products`, whose Table holds the data: one record per
  // region, or the rows as read where OfRows; a failure carries its message.
  std::optional<RunFailure> (*Read)(const std::string& file, RunProducts& products);
  std::string_view Help = {};   // what it is, for --help
  std::string_view Needs = {};  // the long option without which it means nothing, or empty
  // Read before the rows read become one record per region (--population:
  // standardisation.h), since it describes the rows (the standard's rates);
  // the others are read after, and see the regions.
  bool OfRows = false;
  // Values that name no file but a kind of input the run makes itself
  // ("queen"): the same-file checks pass them by; a file of that name is
  // given as "./queen". What such a value needs, another option, or empty.
  std::vector<std::string_view> Kinds = {};
  std::string_view KindsNeed = {};
};

// Every input beyond the data file, in the order in which a run reads them.
extern const std::vector<InputKind> kInputKinds;

// True when `value` of the input `kind` is one of its Kinds.
bool IsInputKind(const InputKind& kind, std::string_view value);

// The failures of reading a vector data set `file`, whether the data of
// --vector or the shapes of --geometry: the layer (`layer`, the one asked
// for, or empty), or the shapes.
RunFailure LayerFailure(const std::string& file, const VectorReadResult& read, const std::string& layer);
RunFailure ShapeFailure(const std::string& file, const ShapeError& error);

// The failure of reading the CSV file `file`, or nothing where it read: the
// data file's messages, or with `input` those of a further input, which
// name the file before the line and the column.
std::optional<RunFailure> CsvFailure(const std::string& file, const CsvReadResult& read, bool input);

}  // namespace tarnek
