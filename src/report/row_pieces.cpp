// Rounds of pieces: every thread formats one piece into its own text, then
// the texts are written one after the other.
#include "report/row_pieces.h"

#include <algorithm>
#include <vector>

#include "core/parallel.h"

namespace tarnek {

void WriteRowsInPieces(OutputFile& file, size_t rows, WorkerPool& pool,
                       const std::function<void(size_t first, size_t last, std::string& text)>& format,
                       size_t piece) {
  piece = std::max<size_t>(piece, 1);
  const size_t slots = pool.Participants(rows, piece);
  std::vector<std::string> texts(slots);
  for (size_t start = 0; start < rows; start += slots * piece) {
    const size_t round = std::min(rows - start, slots * piece);
    pool.Run(round, piece, [&](size_t first, size_t last, int) {
      // A text of its own while it grows: strings side by side in `texts`
      // share cache lines, and every append would fight over them.
      std::string text;
      text.swap(texts[first / piece]);
      text.clear();
      format(start + first, start + last, text);
      texts[first / piece].swap(text);
    });
    for (size_t slot = 0; slot * piece < round; ++slot) WriteOutput(file, texts[slot]);
  }
}

}  // namespace tarnek
