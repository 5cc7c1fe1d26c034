// Data file reader: the file is read a block at a time, text mode is applied
// to each block, and the records are scanned field by field like a
// "%d %d %d %lf" scan. On several threads a round of blocks is read at once
// and its parts are scanned side by side, each from the first line end in
// it; a part counts only where the scan from the part before it stops at the
// very record the part began with, and is scanned again from there where it
// does not.
#include "input/data_reader.h"

#include <algorithm>
#include <cmath>    // std::isfinite
#include <cstdio>   // std::fopen, std::fread
#include <cstring>  // std::memchr
#include <memory>
#include <vector>

#include <sys/mman.h>  // madvise, to fault in fresh memory ahead
#include <sys/stat.h>  // fstat, to refuse a directory
#include <unistd.h>    // sysconf

#include "core/parallel.h"
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
  Stopped,     // the next record begins at or after `stop`: it is another part's
};

// Reads one record at `p` into `table`. `atEnd` tells whether `last` is the
// end of the whole input; when it is not, a field that runs up to `last`
// might go on, so the scan asks for more text instead of deciding. A record
// whose first field begins at or after `stop` (when not null) is left alone.
// On Record, `p` moves past the record; on OutOfRange, `code` is its Code.
// Always inlined into the loop of ScanRange, which is most of a read.
[[gnu::always_inline]] inline ScanStatus ScanRecord(const char*& p, const char* last, const char* stop, bool atEnd, bool zeroExpected,
                      RecordTable& table, int32_t& code) {
  // Each field: skip white space, then scan; running into `last` early means more text is needed.
  const char* q = SkipFieldSpace(p, last);
  if (q == last) return atEnd ? ScanStatus::End : ScanStatus::NeedMore;
  if (stop != nullptr && q >= stop) return ScanStatus::Stopped;
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
  table.Data2.push_back(data2.Value + 0.0);  // "-0", a record without a ratio, is kept as 0
  p = data2.End;
  return ScanStatus::Record;
}

// Reads records from `p` until the text runs out, a record is bad or the
// next one begins at or after `stop` (when not null). Returns why it ended,
// with `p` after the last record read (at the start of the unfinished one on
// NeedMore) and, on OutOfRange, `code` the bad record's Code.
ScanStatus ScanRange(const char*& p, const char* last, const char* stop, bool atEnd, bool zeroExpected,
                     RecordTable& table, int32_t& code) {
  for (;;) {
    const ScanStatus status = ScanRecord(p, last, stop, atEnd, zeroExpected, table, code);
    if (status != ScanStatus::Record) return status;
  }
}

// The read's result after a scan that ended with `status`; the table holds
// every record before the one that ended it.
ReadResult ResultOf(ScanStatus status, int32_t code, const RecordTable& table) {
  if (status == ScanStatus::NotARecord) return {ReadStatus::NotARecord, table.Code.empty() ? 0 : table.Code.back()};
  if (status == ScanStatus::OutOfRange) return {ReadStatus::OutOfRange, code};
  return {};
}

// Reads records from `p` until the text runs out or a record is bad.
// Returns NeedMore (with `p` at the start of the unfinished record) or ends
// the read with `result`.
bool ScanAvailable(const char*& p, const char* last, bool atEnd, bool zeroExpected, RecordTable& table,
                   ReadResult& result) {
  int32_t code = 0;
  const ScanStatus status = ScanRange(p, last, nullptr, atEnd, zeroExpected, table, code);
  if (status == ScanStatus::NeedMore) return false;
  result = ResultOf(status, code, table);
  return true;
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

namespace {

// The most parts of a round, however many threads the pool may have: the
// text of a round stays at this many blocks.
constexpr size_t kMostReadParts = 64;

// The least text of a part (but where blocks are smaller): a thread is worth
// starting for no less, so that a small file is read on one thread.
constexpr size_t kLeastReadPart = size_t{64} << 10;

// The bytes that `file` holds after its position where it tells (a regular
// file: its size), or 0 where it does not (a pipe, a terminal, a file in
// memory, a file of /proc that gives no size).
uint64_t BytesLeft(std::FILE* file) {
  struct stat info{};
  const int fd = fileno(file);
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return 0;
  const off_t at = ftello(file);
  return at >= 0 && at < info.st_size ? static_cast<uint64_t>(info.st_size - at) : 0;
}

// The bytes a round reads after the text the last one left: a block per
// thread, but no more than the file holds still (and one byte, to meet its
// end), or where it does not tell, no more than has been read so far (a
// block at first), so that the memory of a round follows the data.
size_t RoundBytes(size_t threads, size_t blockSize, uint64_t left, uint64_t read) {
  const size_t most = threads * blockSize;
  if (left > read) return static_cast<size_t>(std::min<uint64_t>(most, left - read + 1));
  return static_cast<size_t>(std::min<uint64_t>(most, std::max<uint64_t>(blockSize, read)));
}

// One part of a round's text, scanned on a thread of its own as if a record
// began at its start.
struct Part {
  const char* Start = nullptr;  // where its scan begins: after a line end (the round's start for the first)
  const char* First = nullptr;  // its first field: Start with the white space skipped
  const char* End = nullptr;    // where its scan ended (after its last record)
  ScanStatus Status = ScanStatus::End;
  int32_t Code = 0;             // OutOfRange: the bad record's Code
  RecordTable Records;          // the four columns only
};

// Where a part whose nominal start is `from` begins: after the first line
// feed in [from, to), or failing one after the first carriage return
// (a file of CR line ends); nullptr when there is neither.
const char* PartStart(const char* from, const char* to) {
  for (const char end : {'\n', '\r'}) {
    if (const void* found = std::memchr(from, end, static_cast<size_t>(to - from))) return static_cast<const char*>(found) + 1;
  }
  return nullptr;
}

void ClearRecords(RecordTable& records) {
  records.Unit.clear();
  records.Code.clear();
  records.Data1.clear();
  records.Data2.clear();
}

void AppendRecords(RecordTable& table, const RecordTable& records) {
  table.Unit.insert(table.Unit.end(), records.Unit.begin(), records.Unit.end());
  table.Code.insert(table.Code.end(), records.Code.begin(), records.Code.end());
  table.Data1.insert(table.Data1.end(), records.Data1.begin(), records.Data1.end());
  table.Data2.insert(table.Data2.end(), records.Data2.begin(), records.Data2.end());
}

// Memory that a round's records will be written to, faulted in ahead by the
// workers while they scan: the first write to a fresh page costs a fault,
// which would otherwise fall to this thread as it appends.
struct Fresh {
  char* First;
  char* Last;
};
constexpr size_t kFreshSlice = size_t{1} << 18;  // bytes faulted in by one item of the scan's job

// Faults in the whole pages of [first, last) for writing, their contents
// unchanged; does nothing where the system cannot (MADV_POPULATE_WRITE is
// Linux 5.14 and later): the pages then fault on their first write.
void FaultIn(char* first, char* last) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(first) + page - 1) / page * page;
  const uintptr_t to = reinterpret_cast<uintptr_t>(last) / page * page;
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)first;
  (void)last;
#endif
}

// A column of the table with room for `need` records: where it has less,
// the larger storage it moves to once the round is scanned (twice its room
// or more, reserved but not yet written). Notes in `fresh` the bytes that
// the round will write first.
template <typename T>
struct ColumnRoom {
  std::vector<T>& Column;
  std::vector<T> Larger = {};

  void Plan(size_t need, std::vector<Fresh>& fresh) {
    char* from = reinterpret_cast<char*>(Column.data() + Column.size());
    char* to = reinterpret_cast<char*>(Column.data() + std::min(need, Column.capacity()));
    if (need > Column.capacity()) {
      Larger.reserve(std::max(need, 2 * Column.capacity()));
      from = reinterpret_cast<char*>(Larger.data());
      to = reinterpret_cast<char*>(Larger.data() + need);
    }
    for (; from < to; from += std::min<size_t>(kFreshSlice, static_cast<size_t>(to - from))) {
      fresh.push_back({from, from + std::min<size_t>(kFreshSlice, static_cast<size_t>(to - from))});
    }
  }
  void Settle() {
    if (Larger.capacity() == 0) return;
    Larger.insert(Larger.end(), Column.begin(), Column.end());
    Column.swap(Larger);
    std::vector<T>().swap(Larger);
  }
};

// The text of a round: what the last round left unfinished, then the bytes
// read. Not cleared before a read: the bytes are written by the read alone.
struct RoundText {
  std::unique_ptr<char[]> Bytes;
  size_t Room = 0;
  size_t Size = 0;

  // Keeps the bytes from `from` on at the front and makes room for `more` after them.
  void Keep(const char* from, size_t more) {
    const size_t kept = Size - static_cast<size_t>(from - Bytes.get());
    if (kept + more > Room) {
      const size_t room = std::max(kept + more, 2 * Room);
      std::unique_ptr<char[]> larger(new char[room]);
      if (kept > 0) std::memcpy(larger.get(), from, kept);
      Bytes = std::move(larger);
      Room = room;
    } else if (kept > 0) {
      std::memmove(Bytes.get(), from, kept);
    }
    Size = kept;
  }
};

}  // namespace

ReadResult ReadDataStream(std::FILE* file, RecordTable& table, size_t blockSize, WorkerPool& pool, bool zeroExpected) {
  const size_t threads = std::min(static_cast<size_t>(pool.Threads()), kMostReadParts);
  if (threads <= 1) return ReadDataStream(file, table, blockSize, zeroExpected);
  blockSize = std::max<size_t>(blockSize, 1);
  const size_t leastPart = std::min(blockSize, kLeastReadPart);
  const uint64_t left = BytesLeft(file);
  // A round reads up to a block per thread after the text of the record
  // that the last round left unfinished (the text begins at a record's
  // start), and cuts it into parts of leastPart bytes or more, one per
  // thread at most.
  RoundText text;
  std::vector<Part> parts(threads);
  std::vector<Fresh> fresh;
  bool atEnd = false;
  uint64_t read = 0;   // bytes read from the file
  size_t scanned = 0;  // bytes of the text that ended in records, counted for the room the next round needs
  for (;;) {
    const size_t kept = text.Size;
    const size_t want = std::max(RoundBytes(threads, blockSize, left, read), kept);
    text.Keep(text.Bytes.get(), want);
    const size_t got = std::fread(text.Bytes.get() + kept, 1, want, file);
    if (got < want) {
      if (std::ferror(file)) return {ReadStatus::CannotRead, 0};
      atEnd = true;
    }
    read += got;
    text.Size = kept + got;
    // Nothing after a Ctrl-Z is data.
    if (const void* ctrlZ = std::memchr(text.Bytes.get() + kept, 0x1A, got)) {
      text.Size = static_cast<size_t>(static_cast<const char*>(ctrlZ) - text.Bytes.get());
      atEnd = true;
    }
    const char* const begin = text.Bytes.get();
    const char* const last = begin + text.Size;

    // The parts: each from the first line end after its share of the text.
    const size_t shares = std::clamp<size_t>(text.Size / leastPart, 1, threads);
    size_t count = 0;
    for (size_t k = 0; k < shares; ++k) {
      const char* from = begin + text.Size / shares * k;
      const char* to = k + 1 < shares ? begin + text.Size / shares * (k + 1) : last;
      const char* start = k == 0 ? begin : PartStart(from, to);
      if (start == nullptr) continue;
      parts[count].Start = start;
      parts[count].First = SkipFieldSpace(start, last);
      ++count;
    }
    // Room for the records this text probably holds, at the density of the
    // text read so far (none is planned before the first records).
    const size_t expected = table.Size() == 0 ? 0 : text.Size / std::max<size_t>(1, scanned / table.Size()) + 1;
    const size_t need = table.Size() + expected + expected / 8;
    ColumnRoom<int32_t> unit{table.Unit}, code{table.Code}, data1{table.Data1};
    ColumnRoom<double> data2{table.Data2};
    fresh.clear();
    if (expected > 0) {
      unit.Plan(need, fresh);
      code.Plan(need, fresh);
      data1.Plan(need, fresh);
      data2.Plan(need, fresh);
    }
    // One job: the parts' scans first, then the fresh memory in slices.
    pool.Run(count + fresh.size(), 1, [&](size_t k, size_t, int) {
      if (k >= count) {
        FaultIn(fresh[k - count].First, fresh[k - count].Last);
        return;
      }
      Part& part = parts[k];
      ClearRecords(part.Records);
      part.End = part.Start;
      const char* stop = k + 1 < count ? parts[k + 1].First : nullptr;
      part.Status = ScanRange(part.End, last, stop, atEnd, zeroExpected, part.Records, part.Code);
    });
    unit.Settle();
    code.Settle();
    data1.Settle();
    data2.Settle();

    // The parts in order, each where the scan before it stops at its first
    // record; from anywhere else the text is scanned again up to the next part.
    const char* p = begin;
    ScanStatus status = ScanStatus::Stopped;
    int32_t bad = 0;
    for (size_t k = 0; k < count && status == ScanStatus::Stopped; ++k) {
      const Part& part = parts[k];
      if (k == 0 || SkipFieldSpace(p, last) == part.First) {
        AppendRecords(table, part.Records);
        p = part.End;
        status = part.Status;
        bad = part.Code;
      } else {
        status = ScanRange(p, last, k + 1 < count ? parts[k + 1].First : nullptr, atEnd, zeroExpected, table, bad);
      }
    }
    if (status != ScanStatus::NeedMore) return ResultOf(status, bad, table);
    scanned += static_cast<size_t>(p - begin);
    text.Keep(p, 0);
  }
}

ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, WorkerPool& pool, bool zeroExpected) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return {ReadStatus::CannotOpen, 0};
  struct stat info{};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
    return {ReadStatus::CannotOpen, 0};
  }
  return ReadDataStream(file.get(), table, kReadBlockSize, pool, zeroExpected);
}

ReadResult ReadDataFile(const std::string& fileName, RecordTable& table, bool zeroExpected) {
  WorkerPool one(1);
  return ReadDataFile(fileName, table, one, zeroExpected);
}

}  // namespace tarnek
