// Fuzz target: any bytes as a neighbour file, for a few records.
//
// The first byte chooses the records' codes: its low nibble how many (0 to
// 9), its high bits which kind: integers "1".."9", words "a".."i", or
// integers with leading zeros and a word among them. The rest is the file.
// Checks, for every input:
//   1. read from a stream in blocks of 1, 2, 3 and 4096 bytes, the result is
//      the same as that of the whole text, field for field;
//   2. an error leaves no lists; an error of the file names a line (1 or
//      more), one of the data or a record without an entry names none;
//   3. on success there is one list per record, every neighbour is another
//      record, and no list names one twice.
#include <cstdint>
#include <cstdio>  // fmemopen
#include <string>
#include <string_view>
#include <vector>

#include "input/neighbour_file.h"
#include "fuzz_check.h"

namespace {

using tarnek::NeighbourFileResult;
using tarnek::NeighbourFileStatus;
using tarnek::TextColumn;

TextColumn CodesOf(uint8_t choice) {
  static const char* const kKinds[3][9] = {
      {"1", "2", "3", "4", "5", "6", "7", "8", "9"},
      {"a", "b", "c", "d", "e", "f", "g", "h", "i"},
      {"01", "1", "001", "10", "x1", "-1", "100000000000000000000", "0", "abcdefgh1"},
  };
  TextColumn codes;
  const int count = (choice & 0x0F) % 10;
  const int kind = (choice >> 4) % 3;
  for (int i = 0; i < count; ++i) codes.Append(kKinds[kind][i]);
  return codes;
}

bool Same(const NeighbourFileResult& a, const NeighbourFileResult& b) {
  const auto& x = a.Error;
  const auto& y = b.Error;
  return x.Status == y.Status && x.Line == y.Line && x.Id == y.Id && x.Region == y.Region &&
         x.Announced == y.Announced && x.Found == y.Found && x.Record == y.Record && x.OtherRecord == y.OtherRecord &&
         (x.Status != NeighbourFileStatus::Ok || a.Format == b.Format) && a.Lists.Start == b.Lists.Start &&
         a.Lists.Rows == b.Lists.Rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TextColumn codes = CodesOf(data[0]);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const NeighbourFileResult whole = tarnek::ParseNeighbours(text, codes);

  for (const size_t block : {1, 2, 3, 4096}) {
    std::string copy = text;  // fmemopen needs a buffer even when empty
    copy.push_back('\0');
    std::FILE* file = fmemopen(copy.data(), text.size(), "rb");
    if (file == nullptr) continue;  // fmemopen of 0 bytes fails on some C libraries
    const NeighbourFileResult streamed = tarnek::ReadNeighbourStream(file, codes, block);
    std::fclose(file);
    CHECK(Same(whole, streamed));
  }

  const NeighbourFileStatus status = whole.Error.Status;
  const bool noLine = status == NeighbourFileStatus::RepeatedCode || status == NeighbourFileStatus::UnusableCode ||
                      status == NeighbourFileStatus::MissingEntry;
  if (status != NeighbourFileStatus::Ok) {
    CHECK(whole.Lists.Regions() == 0 && whole.Lists.Rows.empty());
    CHECK(noLine == (whole.Error.Line == 0));
    CHECK(!tarnek::DescribeNeighbourError(whole).empty());
    return 0;
  }
  const tarnek::NeighbourLists& lists = whole.Lists;
  CHECK(lists.Regions() == codes.Size());
  CHECK(lists.Start.front() == 0 && lists.Start.back() == lists.Rows.size());
  for (size_t i = 0; i < lists.Regions(); ++i) {
    CHECK(lists.Start[i] <= lists.Start[i + 1]);
    std::vector<bool> seen(codes.Size(), false);
    for (const uint32_t j : lists.Of(i)) {
      CHECK(j < codes.Size() && j != i && !seen[j]);
      seen[j] = true;
    }
  }
  return 0;
}
