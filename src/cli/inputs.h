// The input files beyond the data file: each a row that names the option
// giving it and the module that reads it into the run's products. Every
// input takes part in the same-file checks: no output may overwrite it.
//
// A new input is a reader (a module of its own) and one row of kInputKinds;
// its option, "--NAME=FILE", follows from the row.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.h"
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
};

// Every input beyond the data file, in the order in which a run reads them.
extern const std::vector<InputKind> kInputKinds;

}  // namespace tarnek
