// Pieces formatted on the threads and written in turn: a thread formats its
// piece into its own text, waits until every piece before it is written,
// writes it, and takes the next piece, so that one thread's write goes on
// while the others format theirs. Pieces are begun in increasing order, so
// the earliest piece not yet written is always being formatted or written:
// a turn always comes.
#include "report/row_pieces.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/parallel.h"

namespace tarnek {

void WriteRowsInPieces(OutputFile& file, size_t rows, WorkerPool& pool,
                       const std::function<void(size_t first, size_t last, std::string& text)>& format,
                       size_t piece) {
  piece = std::max<size_t>(piece, 1);
  std::vector<std::string> texts(pool.Participants(rows, piece));
  std::mutex lock;
  std::condition_variable turn;
  size_t written = 0;   // pieces written so far
  bool failed = false;  // a piece failed: the pieces after it wait no longer, and are not written
  pool.Run(rows, piece, [&](size_t first, size_t last, int worker) {
    const size_t index = first / piece;
    // A text of its own while it grows: strings side by side in `texts`
    // share cache lines, and every append would fight over them.
    std::string text;
    text.swap(texts[static_cast<size_t>(worker)]);
    try {
      text.clear();
      format(first, last, text);
      {
        std::unique_lock<std::mutex> hold(lock);
        turn.wait(hold, [&] { return written == index || failed; });
        if (failed) return;
      }
      // Only the piece whose turn it is writes: the others wait above.
      WriteOutput(file, text);
      {
        const std::lock_guard<std::mutex> hold(lock);
        ++written;
      }
      turn.notify_all();
    } catch (...) {
      {
        const std::lock_guard<std::mutex> hold(lock);
        failed = true;
      }
      turn.notify_all();
      throw;
    }
    texts[static_cast<size_t>(worker)].swap(text);
  });
}

}  // namespace tarnek
