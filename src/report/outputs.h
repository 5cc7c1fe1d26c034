// The outputs: each a row that names the option asking for it, what it needs
// and its writer. The file names, the same-file checks, the writing and the
// all-or-nothing commit of a run run over these rows.
//
// A new output is a writer (a module of its own) and one row of
// kOutputKinds; its option, "--NAME=FILE", follows from the row.
#pragma once

#include <string_view>
#include <vector>

#include "files/output_file.h"
#include "report/run_products.h"

namespace tarnek {

struct OutputKind {
  std::string_view Option;  // the long option that names its file ("--regions"); empty: every run writes it
  unsigned Needs;           // Need flags (run_products.h)
  bool Timed;               // written within the timed stretch of -T, before the others
  void (*Write)(OutputFile& file, const RunProducts& products);
  std::string_view Help = {};  // what it is, for --help
  std::string_view NeedsOption = {};  // an option without which it cannot be written ("--geometry"), or empty
};

// Every output, in the order in which a run writes and commits them: the log,
// the result table, then those that options ask for.
extern const std::vector<OutputKind> kOutputKinds;

// The rows of the two outputs that every run writes.
const OutputKind& LogOutput();
const OutputKind& ResultTableOutput();

}  // namespace tarnek
