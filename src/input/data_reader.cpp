// Data file reader: the whole file is read at once, text mode is applied, and
// the records are scanned field by field like a "%d %d %d %lf" scan.
#include "input/data_reader.h"

#include <algorithm>
#include <cmath>    // std::isfinite
#include <cstdio>   // std::fopen, std::fread
#include <cstring>  // std::memchr
#include <memory>

#include <sys/stat.h>  // fstat, to refuse a directory

#include "input/decimal.h"

namespace tarnek {

bool ApplyTextMode(std::string& text) {
  const void* ctrlZ = std::memchr(text.data(), 0x1A, text.size());
  if (ctrlZ != nullptr) {
    text.resize(static_cast<size_t>(static_cast<const char*>(ctrlZ) - text.data()));
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
ScanStatus ScanRecord(const char*& p, const char* last, bool atEnd, bool zeroExpected, RecordTable& table,
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
  const bool data2Valid = (data2.Value > 0.0 || (zeroExpected && data2.Value == 0.0)) && std::isfinite(data2.Value);
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
bool ScanAvailable(const char*& p, const char* last, bool atEnd, bool zeroExpected, RecordTable& table,
                   ReadResult& result) {
  for (;;) {
    int32_t code = 0;
    switch (ScanRecord(p, last, atEnd, zeroExpected, table, code)) {
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

ReadResult ParseRecords(std::string_view text, RecordTable& table, bool zeroExpected) {
  const char* p = text.data();
  ReadResult result;
  ScanAvailable(p, text.data() + text.size(), true, zeroExpected, table, result);
  return result;
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

ReadResult ReadDataStream(std::FILE* file, RecordTable& table, size_t blockSize, bool zeroExpected) {
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
    ReadResult result;
    if (ScanAvailable(p, pending.data() + pending.size(), atEnd, zeroExpected, table, result)) return result;
    pending.erase(0, static_cast<size_t>(p - pending.data()));
  }
}

ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, bool zeroExpected) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return {ReadStatus::CannotOpen, 0};
  struct stat info{};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
    return {ReadStatus::CannotOpen, 0};
  }
  return ReadDataStream(file.get(), table, kReadBlockSize, zeroExpected);
}

}  // namespace tarnek
