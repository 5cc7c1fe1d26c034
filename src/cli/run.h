// The run sequence of tarnek, from the banner to the exit code.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tarnek {

// Exit codes of the process.
inline constexpr int kExitOk = 0;      // normal end, usage text, or "Option Error!"
inline constexpr int kExitFailure = 1; // a file cannot be opened, created or written, a value is out of range, or memory runs out
inline constexpr int kExitBadData = 2; // the data file holds text that does not read as a record

// Runs tarnek with `arguments` (those after the command name), printing every
// console message on `console`. Returns the exit code; never calls exit().
// Running out of memory ends the run with "Not enough memory" and code 1.
int RunTarnek(const std::vector<std::string>& arguments, std::FILE* console);

}  // namespace tarnek
