// The plain data reader beyond the end-to-end cases: block-wise reads equal
// the whole text, on one thread and on several, the text-mode rules wherever
// a block ends, and threads and memory that follow the data.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "input/data_reader.h"

using namespace tarnek;

namespace {

// The same four records with LF, CR LF, CR alone and more at the line ends,
// or CRs for the blanks. CRs used to be dropped: lines ending in CR alone ran
// their numbers together ("2\r1 2" read as 21 2).
std::vector<std::string> CarriageReturnTexts() {
  const std::string lf = "1 1 5 2\n1 2 3 4.5\n-1 3 0 1e-3\n1 4 7 3.\n";
  std::vector<std::string> texts;
  for (const std::string end : {"\n", "\r\n", "\r", "\r\r\n", "\n\r"}) {
    std::string text;
    for (const char c : lf) text += c == '\n' ? end : std::string(1, c);
    texts.push_back(text);
  }
  texts.push_back("1\r1\r5\r2\r1\r2\r3\r4.5\r-1\r3\r0\r1e-3\r1\r4\r7\r3.");  // no blank, no line feed
  texts.push_back("1 1 5 2\r1 2 3 4.5\r-1 3 0 1e-3\r1 4 7 3.\r\x1A\r9 9");  // nothing after a Ctrl-Z
  return texts;
}

}  // namespace

TEST(DataReaderTest, EveryCarriageReturnIsWhiteSpace) {
  // Every text reads as the four records (read from a stream, in blocks of
  // every size, below: the CRs and CR LF pairs fall on block boundaries).
  const RecordTable want{{1, 1, -1, 1}, {1, 2, 3, 4}, {5, 3, 0, 7}, {2.0, 4.5, 1e-3, 3.0}, {}, {}, {}, {}};
  for (std::string text : CarriageReturnTexts()) {
    ApplyTextMode(text);
    RecordTable got;
    EXPECT_EQ(ParseRecords(text, got).Status, ReadStatus::Ok);
    EXPECT_EQ(std::tie(got.Unit, got.Code, got.Data1, got.Data2), std::tie(want.Unit, want.Code, want.Data1, want.Data2))
        << text;
  }
  // A CR ends a number wherever it stands, even after a dangling exponent.
  RecordTable table;
  EXPECT_EQ(ParseRecords("-1 1 5 2.5e\r-1 2 1 1", table).Status, ReadStatus::Ok);
  EXPECT_EQ(table.Data2, (std::vector<double>{2.5, 1.0}));
  // Text mode ends the data at the first Ctrl-Z: the golden cases
  // ctrl_z_ends_data and ctrl_z_inside_number, and the Ctrl-Z texts read in
  // blocks below (a block after the Ctrl-Z is not read).
}

TEST(DataReaderTest, ReadInBlocksOnAnyThreadsEqualsTheWholeText) {
  // Blocks cut records, numbers and CR LF pairs anywhere; on several threads
  // the parts of a round are scanned side by side, each from the first line
  // end in it: wherever that is not where a record begins (a record over
  // several lines, several on one line, CR line ends, no line end at all) the
  // table and the result must still be those of the whole text. Bad
  // records in any part, on its first record too, name the record before
  // them, which may lie in another part or round. Block sizes give rounds of
  // fewer parts than threads and more, down to parts inside one number.
  std::mt19937_64 rng(4106);
  const auto records = [&](size_t count, const std::vector<std::string>& breaks) {
    std::string text;
    for (size_t k = 0; k < count; ++k) {
      const std::string fields[] = {std::to_string(rng() % 50), std::to_string(k + 1), std::to_string(rng() % 30),
                                    std::to_string(1 + rng() % 90) + "." + std::to_string(rng() % 10000)};
      for (const std::string& field : fields) text += field + breaks[rng() % breaks.size()];
    }
    return text;
  };
  std::vector<std::string> texts = CarriageReturnTexts();
  texts.insert(texts.end(), {"", "\n\n  \r\n", "1 1 1 1", "1 1 1 1\n", "-1 1 1 1\n-1 2 3 4\n\x1A\n9 9 9 9\n", "-1 1 1 1e",
                              "-1 1 1 1\r\n-1 2 " + std::string(300, '0') + "3 4.5e+1\r\n\x1A junk",
                              " \t\v\f-1 1 1 1.\n1 2 3 " + std::string(200, ' ') + "x"});
  texts.push_back(records(3000, {" ", " ", " ", "\r\n"}));                // a record a line, CR LF
  texts.push_back(records(3000, {" ", "\n", "\t", " \n\n"}));             // records over several lines
  texts.push_back(records(3000, {"\r"}));                                 // CR alone, no line feed
  texts.push_back(records(3000, {" "}));                                  // one line
  texts.push_back(records(2000, {" ", " ", " ", "\n"}) + std::string(5000, ' ') + "\n" + records(10, {"\n"}));
  for (const char* bad : {"1 2 x 4\n", "1 2 -3 4\n", "1 2 3 0\n", "-2 2 3 4\n", "1 2 3\x1A"}) {
    for (const size_t at : {size_t{0}, size_t{1}, size_t{777}, size_t{2999}}) {
      std::string text = records(at, {" ", " ", " ", "\n"}) + bad + records(3000 - at, {" ", " ", " ", "\n"});
      texts.push_back(text);
    }
  }
  texts.push_back(records(3000, {" ", " ", " ", "\n"}) + "1 2 3 4.5e");  // a number cut at the end
  texts.push_back(records(5, {" ", "\n"}) + "1 2 3 4.5e");
  for (const auto& e : std::filesystem::recursive_directory_iterator(TARNEK_SOURCE_DIR "/tests/golden")) {
    if (e.path().filename() == "data.txt" && e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  for (const std::string& text : texts) {
    std::string whole = text;
    ApplyTextMode(whole);
    RecordTable expected;
    const ReadResult want = ParseRecords(whole, expected);
    for (const int threads : {1, 2, 3, 7, 64}) {
      WorkerPool pool(threads);
      for (const size_t blockSize : {size_t{1}, size_t{3}, size_t{20}, size_t{61}, size_t{4096}, size_t{1} << 20}) {
        if (blockSize < 20 && text.size() > 4000) continue;  // a round a few bytes long: thousands of rounds
        std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
        ASSERT_NE(file, nullptr);
        RecordTable got;
        const ReadResult result = ReadDataStream(file, got, blockSize, pool);
        std::fclose(file);
        ASSERT_EQ(std::tuple(result.Status, result.ErrorCode, got.Unit, got.Code, got.Data1, got.Data2),
                  std::tuple(want.Status, want.ErrorCode, expected.Unit, expected.Code, expected.Data1, expected.Data2))
            << threads << " threads, block size " << blockSize << ", text: " << text.substr(0, 60);
      }
    }
  }
}

TEST(DataReaderTest, ThreadsAndMemoryFollowTheData) {
  // A pool of 64 threads reads a file of a few records on the calling
  // thread alone, and one of a megabyte on no more threads than it holds
  // parts of 64 KiB: every round was read as 64 blocks of a megabyte and cut
  // into 64 parts, whatever the file held ("Not enough memory" at
  // --threads=64 under a 60 MB limit, 52 threads for 686 bytes).
  const auto tasks = [] {
    const std::filesystem::directory_iterator all("/proc/self/task");
    return std::distance(begin(all), end(all));
  };
  std::string small, large;
  for (int k = 1; k <= 3; ++k) small += "1 " + std::to_string(k) + " 3 4.5\n";
  for (int k = 1; large.size() < (size_t{1} << 20); ++k) large += std::to_string(k % 9) + " " + std::to_string(k) + " 3 4.5\n";
  // At most 15 workers for the 16 parts of a megabyte, and a sanitizer's thread where there is one.
  for (const auto& [text, most] : {std::pair{small, 0}, {large, 16}}) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    const auto before = tasks();
    WorkerPool pool(64);
    RecordTable got, want;
    EXPECT_EQ(ReadDataStream(file, got, kReadBlockSize, pool).Status, ReadStatus::Ok);
    EXPECT_LE(tasks() - before, most) << text.size() << " bytes";
    std::fclose(file);
    ParseRecords(text, want);
    EXPECT_EQ(got.Code, want.Code);
  }
}
