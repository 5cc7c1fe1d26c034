// Data file reader: the file is read a block at a time, text mode is applied,
// and the records are scanned field by field like a "%d %d %d %lf" scan; on
// several threads where every field is a word of its own.
#include "input/data_reader.h"

#include <algorithm>
#include <cmath>    // std::isfinite
#include <cstdio>   // std::fopen, std::fread
#include <cstring>  // std::memchr
#include <memory>

#include <sys/stat.h>  // fstat, to refuse a directory

#include "core/parallel.h"
#include "input/decimal.h"

namespace tarnek {

bool ApplyTextMode(std::string& text) {
  const void* ctrlZ = std::memchr(text.data(), 0x1A, text.size());
  if (ctrlZ != nullptr) {
    text.resize(static_cast<size_t>(static_cast<const char*>(ctrlZ) - text.data()));
  }
  if (std::memchr(text.data(), '\r', text.size()) != nullptr) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  }
  return ctrlZ != nullptr;
}

namespace {

enum class ScanStatus {
  Record,      // a record was read and accepted
  End,         // the input ended before the first field of a record
  NeedMore,    // a field reaches the end of the text read so far: read more first
  NotARecord,  // text that does not read as a record
  OutOfRange,  // a complete record fails a value test
};

// Reads one record at `p` into `table`. `atEnd` tells whether `last` is the
// end of the whole input; when it is not, a field that runs up to `last`
// might go on, so the scan asks for more text instead of deciding. On
// Record, `p` moves past the record; on OutOfRange, `code` is its Code.
ScanStatus ScanRecord(const char*& p, const char* last, bool atEnd, RecordTable& table,
                      int32_t& code) {
  // Each field: skip white space, then scan; running into `last` early means more text is needed.
  const char* q = SkipFieldSpace(p, last);
  if (q == last) return atEnd ? ScanStatus::End : ScanStatus::NeedMore;
  auto needMore = [&](const char* fieldEnd) { return fieldEnd == last && !atEnd; };

  ScannedInteger fields[3];
  for (ScannedInteger& field : fields) {
    q = SkipFieldSpace(q, last);
    if (needMore(q)) return ScanStatus::NeedMore;
    field = ScanInteger(q, last);
    if (needMore(field.End)) return ScanStatus::NeedMore;
    if (!field.HasDigits || !field.Fits) return ScanStatus::NotARecord;
    q = field.End;
  }
  q = SkipFieldSpace(q, last);
  if (needMore(q)) return ScanStatus::NeedMore;
  const ScannedReal data2 = ScanReal(q, last);
  if (needMore(data2.End)) return ScanStatus::NeedMore;
  if (!data2.HasDigits) return ScanStatus::NotARecord;

  const auto& [unit, recordCode, data1] = fields;
  // The tests in their order; the first failed one decides, all give the same message.
  const bool data2Valid = data2.Value > 0.0 && std::isfinite(data2.Value);
  if (data1.Value < 0 || !data2Valid || unit.Value < -1) {
    code = recordCode.Value;
    return ScanStatus::OutOfRange;
  }
  table.Unit.push_back(unit.Value);
  table.Code.push_back(recordCode.Value);
  table.Data1.push_back(data1.Value);
  table.Data2.push_back(data2.Value);
  p = data2.End;
  return ScanStatus::Record;
}

// Reads records from `p` until the text runs out or a record is bad.
// Returns NeedMore (with `p` at the start of the unfinished record) or ends
// the read with `result`.
bool ScanAvailable(const char*& p, const char* last, bool atEnd, RecordTable& table,
                   ReadResult& result) {
  for (;;) {
    int32_t code = 0;
    switch (ScanRecord(p, last, atEnd, table, code)) {
      case ScanStatus::Record:
        continue;
      case ScanStatus::NeedMore:
        return false;
      case ScanStatus::End:
        result = {};
        return true;
      case ScanStatus::NotARecord:
        result = {ReadStatus::NotARecord, table.Code.empty() ? 0 : table.Code.back()};
        return true;
      case ScanStatus::OutOfRange:
        result = {ReadStatus::OutOfRange, code};
        return true;
    }
  }
}

}  // namespace

// Where every field is one word (white space around it, the whole word read
// by the field's scan) and every record passes its tests, the records are
// those of the scan above; the words can then be read on several threads,
// each field found by its word's number. Takes the whole records of the
// words that surely end before `last` (all of them when `atEnd`), from a
// record's start at `p`, and returns where they end; returns `p` itself, with
// the table as it was, when a word is not such a field or a record fails a
// test, so that the scan above decides what it is.
const char* ScanWordsInParallel(const char* p, const char* last, bool atEnd, RecordTable& table, int threads) {
  if (!atEnd) {
    while (last > p && !IsFieldSpace(last[-1])) --last;  // the last word might go on
  }
  const size_t length = static_cast<size_t>(last - p);
  const size_t pieces = static_cast<size_t>(threads);
  // Pieces begin at white space, so that no word is cut.
  std::vector<const char*> bounds(pieces + 1, last);
  bounds[0] = p;
  for (size_t k = 1; k < pieces; ++k) {
    const char* b = std::max(bounds[k - 1], p + length / pieces * k);
    while (b < last && !IsFieldSpace(*b)) ++b;
    bounds[k] = b;
  }
  std::vector<size_t> words(pieces + 1, 0);  // words before each piece, once counted
  RunInPieces(pieces, 1, threads, [&](size_t k, size_t, int) {
    size_t count = 0;
    for (const char* q = SkipFieldSpace(bounds[k], bounds[k + 1]); q < bounds[k + 1];) {
      ++count;
      while (q < bounds[k + 1] && !IsFieldSpace(*q)) ++q;
      q = SkipFieldSpace(q, bounds[k + 1]);
    }
    words[k + 1] = count;
  });
  for (size_t k = 0; k < pieces; ++k) words[k + 1] += words[k];
  const size_t records = words[pieces] / 4;
  if (records == 0) return p;

  const size_t base = table.Size();
  table.Unit.resize(base + records);
  table.Code.resize(base + records);
  table.Data1.resize(base + records);
  table.Data2.resize(base + records);
  std::vector<char> good(pieces, 1);
  std::vector<const char*> ends(pieces, nullptr);  // where the last word of the last record ends
  RunInPieces(pieces, 1, threads, [&](size_t k, size_t, int) {
    size_t word = words[k];
    for (const char* q = SkipFieldSpace(bounds[k], bounds[k + 1]); q < bounds[k + 1] && word < 4 * records; ++word) {
      const char* end = q;
      while (end < bounds[k + 1] && !IsFieldSpace(*end)) ++end;
      const size_t row = base + word / 4;
      bool fits;
      if (word % 4 == 3) {
        const ScannedReal data2 = ScanReal(q, end);
        table.Data2[row] = data2.Value;
        fits = data2.HasDigits && data2.End == end && data2.Value > 0.0 && std::isfinite(data2.Value);
      } else {
        const ScannedInteger field = ScanInteger(q, end);
        (word % 4 == 0 ? table.Unit : word % 4 == 1 ? table.Code : table.Data1)[row] = field.Value;
        fits = field.HasDigits && field.Fits && field.End == end &&
               (word % 4 == 1 || field.Value >= (word % 4 == 0 ? -1 : 0));
      }
      if (!fits) {
        good[k] = 0;
        return;
      }
      if (word == 4 * records - 1) ends[k] = end;
      q = SkipFieldSpace(end, bounds[k + 1]);
    }
  });
  if (std::find(good.begin(), good.end(), 0) != good.end()) {
    table.Unit.resize(base);
    table.Code.resize(base);
    table.Data1.resize(base);
    table.Data2.resize(base);
    return p;
  }
  return *std::find_if(ends.begin(), ends.end(), [](const char* end) { return end != nullptr; });
}

ReadResult ParseRecords(std::string_view text, RecordTable& table) {
  const char* p = text.data();
  ReadResult result;
  ScanAvailable(p, text.data() + text.size(), true, table, result);
  return result;
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

ReadResult ReadDataStream(std::FILE* file, RecordTable& table, size_t blockSize, int threads) {
  // The text is read a block at a time and scanned as it comes, so a bad
  // record ends the read there. `pending` holds the text of a record that
  // runs past the block; a longer one makes the next read larger.
  std::string pending;
  std::string block;
  bool atEnd = false;
  for (;;) {
    const size_t want = std::max(blockSize, pending.size());
    block.resize(want);
    const size_t got = std::fread(block.data(), 1, want, file);
    if (got < want) {
      if (std::ferror(file)) return {ReadStatus::CannotRead, 0};
      atEnd = true;
    }
    block.resize(got);
    if (ApplyTextMode(block)) atEnd = true;  // nothing after a Ctrl-Z is data
    if (pending.empty()) {
      pending.swap(block);
    } else {
      pending += block;
    }

    const char* p = pending.data();
    const char* const last = pending.data() + pending.size();
    if (threads > 1) p = ScanWordsInParallel(p, last, atEnd, table, threads);
    ReadResult result;
    if (ScanAvailable(p, last, atEnd, table, result)) return result;
    pending.erase(0, static_cast<size_t>(p - pending.data()));
  }
}

ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, int threads) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return {ReadStatus::CannotOpen, 0};
  struct stat info{};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
    return {ReadStatus::CannotOpen, 0};
  }
  return ReadDataStream(file.get(), table, kReadBlockSize, threads);
}

}  // namespace tarnek
