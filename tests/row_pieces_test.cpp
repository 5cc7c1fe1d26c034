// Rows formatted in pieces on several threads come out once each and in
// order: piece sizes from 1 up, rows fewer than a round and many rounds, on
// 1 to 5 threads; a row lost or repeated between two pieces shows, and a
// piece that fails stops the others.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/parallel.h"
#include "output_capture.h"
#include "report/row_pieces.h"

using namespace tarnek;

TEST(RowPiecesTest, EveryRowOnceInOrder) {
  for (int threads = 1; threads <= 5; ++threads) {
    WorkerPool pool(threads);
    for (const size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}}) {
      for (const size_t rows : {size_t{0}, size_t{1}, piece * threads - 1, piece * threads, piece * threads * 3 + 1, size_t{100}}) {
        std::string want;
        for (size_t row = 0; row < rows; ++row) want += std::to_string(row) + "\n";
        const std::string got = testdata::Written([&](OutputFile& file) {
          WriteRowsInPieces(file, rows, pool, [](size_t first, size_t last, std::string& text) {
            EXPECT_TRUE(text.empty());
            for (size_t row = first; row < last; ++row) text += std::to_string(row) + "\n";
          }, piece);
        });
        EXPECT_EQ(got, want) << threads << " threads, pieces of " << piece << ", " << rows << " rows";
      }
    }
  }
}

TEST(RowPiecesTest, AFailedPieceEndsTheWritingWithoutWaitingForever) {
  // A piece that throws: the pieces after it, formatted or waiting for their
  // turn on other threads, are not written and stop waiting (those before it
  // may be); the exception reaches the caller. On 1 to 5 threads, the
  // failure early, late and in the last piece.
  for (int threads = 1; threads <= 5; ++threads) {
    WorkerPool pool(threads);
    for (const size_t failing : {size_t{0}, size_t{3}, size_t{19}}) {
      bool thrown = false;
      const std::string got = testdata::Written([&](OutputFile& file) {
        try {
          WriteRowsInPieces(file, 20, pool, [&](size_t first, size_t, std::string& text) {
            if (first == failing) throw std::runtime_error("piece failed");
            text += std::to_string(first) + "\n";
          }, 1);
        } catch (const std::runtime_error&) {
          thrown = true;
        }
      });
      EXPECT_TRUE(thrown);
      std::string want;
      for (size_t row = 0; row < failing; ++row) want += std::to_string(row) + "\n";
      // Some of the pieces before the failed one, in order, and nothing from it on.
      EXPECT_EQ(want.substr(0, got.size()), got) << threads << " threads, piece " << failing << " failed";
    }
  }
}
