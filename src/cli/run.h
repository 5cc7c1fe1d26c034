// The run sequence of tarnek, from the banner to the exit code.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/console.h"  // the exit codes

namespace tarnek {

// Runs tarnek with `arguments` (those after the command name), printing every
// console message on `console`. Returns the exit code; never calls exit().
// Running out of memory ends the run with "Not enough memory" and code 1.
int RunTarnek(const std::vector<std::string>& arguments, std::FILE* console);

}  // namespace tarnek
