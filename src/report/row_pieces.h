// The lines of a table formatted on several threads and written in order.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "core/parallel.h"
#include "files/output_file.h"

namespace tarnek {

// Rows handed to a thread at a time: about a megabyte of text.
inline constexpr size_t kRowsPerPiece = 16384;

// Writes the lines of rows [0, rows) to `file`. format(first, last, text)
// appends the lines of rows first .. last-1 to `text` (empty when it is
// called). Pieces of `piece` rows are formatted on the threads of `pool`
// and written in row order, each by the thread that formatted it once the
// piece before it is written, so that writing one piece overlaps formatting
// the next; the text in memory stays at one piece per thread whatever the
// size of the table. If `format` throws, no piece after the failed one is
// written, and the exception reaches the caller.
void WriteRowsInPieces(OutputFile& file, size_t rows, WorkerPool& pool,
                       const std::function<void(size_t first, size_t last, std::string& text)>& format,
                       size_t piece = kRowsPerPiece);

}  // namespace tarnek
