// Neighbour file reader: lines come from a block reader, each is split into
// fields in place, ids are found in a hash table of the codes, and the lists
// are gathered in the file's order and put in record order at the end.
#include "input/neighbour_file.h"

#include <algorithm>  // std::max, std::upper_bound
#include <charconv>   // std::to_chars
#include <cstring>    // std::memcpy, std::memcmp, std::memmove
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>  // std::length_error
#include <utility>
#include <vector>

#include <sys/stat.h>  // fstat, to refuse a directory

#include "core/shown_text.h"
#include "input/decimal.h"

namespace tarnek {

namespace {

constexpr uint32_t kNoRow = std::numeric_limits<uint32_t>::max();
constexpr size_t kKeptText = 256;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Lists up to this long are checked for a repeated neighbour by comparing
// each new one with those before it; longer ones by marks or a hash.
constexpr size_t kShortList = 32;

// A text for an error: as read, cut after kKeptText bytes.
std::string Kept(std::string_view text) {
  if (text.size() <= kKeptText) return std::string(text);
  return std::string(text.substr(0, kKeptText)) + "...";
}

// ---------------------------------------------------------------------------
// Lines

// The lines of a text held whole or read from a file a block at a time. A
// line ends with LF, CR LF or a CR alone; the last one needs no end.
class LineSource {
 public:
  explicit LineSource(std::string_view text) : data_(text.data()), end_(text.size()) {}
  LineSource(std::FILE* file, size_t blockSize)
      : file_(file), blockSize_(std::max<size_t>(blockSize, 1)), atEnd_(false) {}

  // The next line without its end; false at the end of the text or when a
  // read failed (Failed()).
  bool Next(std::string_view& line) {
    for (;;) {
      if (failed_) return false;
      // The first LF, then the first CR before it.
      size_t i = begin_ + scanned_;
      if (i < end_) {
        const void* lf = std::memchr(data_ + i, '\n', end_ - i);
        const size_t lineFeed = lf == nullptr ? end_ : static_cast<size_t>(static_cast<const char*>(lf) - data_);
        const void* cr = std::memchr(data_ + i, '\r', lineFeed - i);
        i = cr == nullptr ? lineFeed : static_cast<size_t>(static_cast<const char*>(cr) - data_);
      }
      if (i < end_ && (data_[i] == '\n' || i + 1 < end_ || atEnd_)) {
        line = std::string_view(data_ + begin_, i - begin_);
        begin_ = i + (data_[i] == '\r' && i + 1 < end_ && data_[i + 1] == '\n' ? 2 : 1);
        scanned_ = 0;
        return true;
      }
      if (atEnd_) {
        if (begin_ == end_) return false;
        line = std::string_view(data_ + begin_, end_ - begin_);
        begin_ = end_;
        return true;
      }
      // A line not yet ended, or a CR whose next byte is still unread.
      scanned_ = i - begin_;
      ReadMore();
    }
  }

  bool Failed() const { return failed_; }

 private:
  void ReadMore() {
    const size_t kept = end_ - begin_;
    if (begin_ > 0 && kept > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
    begin_ = 0;
    if (buffer_.size() < kept + blockSize_) buffer_.resize(kept + blockSize_);
    const size_t want = buffer_.size() - kept;
    const size_t got = std::fread(buffer_.data() + kept, 1, want, file_);
    if (got < want) {
      atEnd_ = true;
      if (std::ferror(file_)) failed_ = true;
    }
    data_ = buffer_.data();
    end_ = kept + got;
  }

  std::FILE* file_ = nullptr;
  size_t blockSize_ = 0;
  std::string buffer_;
  const char* data_ = nullptr;
  size_t begin_ = 0;    // start of the next line
  size_t end_ = 0;      // end of the text at hand
  size_t scanned_ = 0;  // bytes after begin_ known to hold no line end
  bool atEnd_ = true;
  bool failed_ = false;
};

// Fields are separated by blanks and tabs (and the other white space a line
// can hold: vertical tab, form feed).
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// True when `code` holds white space as other readers of neighbour files
// split at it: Python's str.split (PySAL's), beyond the ASCII white space,
// takes the separators 0x1C to 0x1F and, in UTF-8, U+0085, U+00A0, U+1680,
// U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
bool HoldsWhiteSpace(std::string_view code) {
  for (size_t i = 0; i < code.size(); ++i) {
    const auto at = [&](size_t k) -> unsigned { return i + k < code.size() ? static_cast<unsigned char>(code[i + k]) : 0u; };
    const unsigned c = at(0), c1 = at(1), c2 = at(2);
    if (IsFieldSpace(code[i]) || (c >= 0x1C && c <= 0x1F)) return true;
    if (c == 0xC2 && (c1 == 0x85 || c1 == 0xA0)) return true;
    if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return true;
    if (c == 0xE2 && c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) return true;
    if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return true;
    if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return true;
  }
  return false;
}

// Puts the fields of `line` in `fields` (emptied first); returns how many.
size_t SplitFields(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  const char* p = line.data();
  const char* last = p + line.size();
  for (;;) {
    while (p < last && IsBlank(*p)) ++p;
    if (p == last) return fields.size();
    const char* start = p;
    while (p < last && !IsBlank(*p)) ++p;
    fields.emplace_back(start, static_cast<size_t>(p - start));
  }
}

// A count: a whole decimal integer from 0 to 2^31 - 1.
std::optional<uint32_t> ReadCount(std::string_view field) {
  const std::optional<ScannedInteger> scan = ScanWholeInteger(field);
  if (!scan || !scan->Fits || scan->Value < 0) return std::nullopt;
  return static_cast<uint32_t>(scan->Value);
}

// ---------------------------------------------------------------------------
// The codes

// Open addressing over a power-of-two table at most half full, in one of
// two ways:
//   - numeric, when every code is a decimal integer of up to 18 digits
//     (plain data's codes always are): a slot holds the code's digits as a
//     number and their count (and its sign), which tell the text exactly,
//     and the search begins at the number's slot (the number modulo the
//     table size), so that records whose codes are close lie close in the
//     table: the neighbours of a region are then found in memory already at
//     hand. Codes that crowd into few slots (a search longer than
//     kLongestNumericSearch) make the table start again the other way.
//   - by text: a slot holds the code's first eight bytes and its length, so
//     that a code of up to eight bytes is matched in the slot alone, a
//     longer one is compared with the code; the search begins at a hash.
class CodeIndex {
 public:
  // Fails on a code that repeats or cannot be an id (the first such record
  // in record order).
  NeighbourFileError Build(const TextColumn& codes) {
    codes_ = &codes;
    const size_t count = codes.Size();
    if (count >= kNoRow) throw std::length_error("too many records for neighbour lists");
    size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    mask_ = capacity - 1;
    numeric_ = true;
    for (size_t row = 0; row < count && numeric_; ++row) numeric_ = NumericKey(codes.At(row)).Valid;
    NeighbourFileError error;
    if (numeric_ && Fill(codes, error)) return error;
    numeric_ = false;
    Fill(codes, error);
    return error;
  }

  // A lookup in two steps, so that several can wait for memory at once:
  // Start finds where the search for `id` begins and asks for that slot,
  // Finish searches and gives the row whose code is `id`, or kNoRow.
  static constexpr size_t kBatch = 16;
  struct Probe {
    uint64_t Value = 0;
    uint32_t Tag = 0;
    bool Valid = false;  // false: no code can match
    size_t Slot = 0;
  };
  Probe Start(std::string_view id) const {
    Probe probe = numeric_ ? NumericKey(id) : TextKey(id);
    if (probe.Valid) __builtin_prefetch(&slots_[probe.Slot]);
    return probe;
  }
  uint32_t Finish(std::string_view id, const Probe& probe) const {
    if (!probe.Valid) return kNoRow;
    for (size_t s = probe.Slot;; s = (s + 1) & mask_) {
      const Slot& slot = slots_[s];
      if (slot.Row1 == 0) return kNoRow;
      if (Matches(slot, id, probe)) return slot.Row1 - 1;
    }
  }
  uint32_t Find(std::string_view id) const { return Finish(id, Start(id)); }

 private:
  struct Slot {
    uint64_t Value = 0;  // numeric: the digits' value; by text: the first eight bytes
    uint32_t Row1 = 0;   // row + 1; 0: empty
    uint32_t Tag = 0;    // numeric: the digit count, 2^31 added for a minus; by text: the length, at most 2^32 - 1
  };
  static constexpr size_t kLongestNumericSearch = 32;
  static constexpr size_t kMostDigits = 18;

  // Fills the table with every code; false when the numeric way gives up.
  bool Fill(const TextColumn& codes, NeighbourFileError& error) {
    slots_.assign(mask_ + 1, Slot{});
    const size_t count = codes.Size();
    Probe probes[kBatch];
    for (size_t batch = 0; batch < count; batch += kBatch) {
      const size_t size = std::min(kBatch, count - batch);
      for (size_t k = 0; k < size; ++k) probes[k] = Start(codes.At(batch + k));
      for (size_t k = 0; k < size; ++k) {
        const size_t row = batch + k;
        const std::string_view code = codes.At(row);
        if (code.empty() || HoldsWhiteSpace(code)) {
          error.Status = NeighbourFileStatus::UnusableCode;
          error.Id = Kept(code);
          error.Record = row + 1;
          return true;
        }
        for (size_t s = probes[k].Slot, searched = 0;; s = (s + 1) & mask_, ++searched) {
          if (numeric_ && searched > kLongestNumericSearch) return false;
          Slot& slot = slots_[s];
          if (slot.Row1 == 0) {
            slot = Slot{probes[k].Value, static_cast<uint32_t>(row + 1), probes[k].Tag};
            break;
          }
          if (Matches(slot, code, probes[k])) {
            error.Status = NeighbourFileStatus::RepeatedCode;
            error.Id = Kept(code);
            error.Record = slot.Row1;
            error.OtherRecord = row + 1;
            return true;
          }
        }
      }
    }
    return true;
  }

  // An optional minus and 1 to kMostDigits digits; anything else matches no
  // code in a numeric table.
  Probe NumericKey(std::string_view text) const {
    Probe probe;
    const bool negative = !text.empty() && text[0] == '-';
    const std::string_view digits = text.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > kMostDigits) return probe;
    uint64_t value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return probe;
      value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    probe.Value = value;
    probe.Tag = static_cast<uint32_t>(digits.size()) | (negative ? 0x80000000U : 0U);
    probe.Valid = true;
    probe.Slot = static_cast<size_t>(negative ? ~value : value) & mask_;
    return probe;
  }

  Probe TextKey(std::string_view text) const {
    Probe probe;
    probe.Value = Load(text.data(), std::min<size_t>(text.size(), 8));
    probe.Tag = static_cast<uint32_t>(std::min<size_t>(text.size(), std::numeric_limits<uint32_t>::max()));
    probe.Valid = true;
    uint64_t h = Mix(probe.Value ^ (text.size() * 0x9E3779B97F4A7C15ULL));
    for (size_t at = 8; at < text.size(); at += 8) {
      h = Mix(h ^ Load(text.data() + at, std::min<size_t>(text.size() - at, 8)));
    }
    probe.Slot = static_cast<size_t>(h) & mask_;
    return probe;
  }

  static uint64_t Load(const char* p, size_t n) {  // n <= 8 bytes, zero-padded
    uint64_t value = 0;
    std::memcpy(&value, p, n);
    return value;
  }
  static uint64_t Mix(uint64_t x) {  // the finaliser of MurmurHash3
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
  }

  bool Matches(const Slot& slot, std::string_view text, const Probe& probe) const {
    if (slot.Value != probe.Value || slot.Tag != probe.Tag) return false;
    if (numeric_ || text.size() <= 8) return true;
    const std::string_view code = codes_->At(slot.Row1 - 1);
    return code.size() == text.size() && std::memcmp(code.data(), text.data(), text.size()) == 0;
  }

  const TextColumn* codes_ = nullptr;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  bool numeric_ = false;
};

// A set of (region, neighbour) pairs, for the long lists of a GWT file.
class PairSet {
 public:
  // False when the pair was there already.
  bool Insert(uint32_t region, uint32_t neighbour) {
    if (2 * (size_ + 1) > slots_.size()) Grow();
    return Place(Key(region, neighbour));
  }

 private:
  static uint64_t Key(uint32_t region, uint32_t neighbour) { return (uint64_t{region} << 32 | neighbour) + 1; }
  static size_t Hash(uint64_t key) {
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    return static_cast<size_t>(key);
  }
  bool Place(uint64_t key) {
    const size_t mask = slots_.size() - 1;
    for (size_t s = Hash(key) & mask;; s = (s + 1) & mask) {
      if (slots_[s] == key) return false;
      if (slots_[s] == 0) {
        slots_[s] = key;
        ++size_;
        return true;
      }
    }
  }
  void Grow() {
    std::vector<uint64_t> old(std::max<size_t>(64, 2 * slots_.size()), 0);
    old.swap(slots_);
    size_ = 0;
    for (const uint64_t key : old) {
      if (key != 0) Place(key);
    }
  }

  std::vector<uint64_t> slots_;  // key + 1 per pair, 0 empty (a key below 2^64 - 1 as rows are below 2^32 - 1)
  size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The file

class NeighbourParser {
 public:
  NeighbourParser(const TextColumn& codes, const CodeIndex& index, NeighbourFileResult& result)
      : codes_(codes), index_(index), result_(result), error_(result.Error) {}

  void Run(LineSource& source) {
    if (!Header(source) || !Body(source)) return;
    if (source.Failed()) {
      Fail(NeighbourFileStatus::CannotRead, 0);
      return;
    }
    if (result_.Format == NeighbourFormat::Gal) {
      FinishGal();
    } else {
      FinishGwt();
    }
  }

 private:
  // Reads the next line; false at the end.
  bool NextLine(LineSource& source, std::string_view& line) {
    if (!source.Next(line)) return false;
    ++line_;
    return true;
  }

  // Splits `line` into fields_ (valid until the next line is read).
  size_t Split(std::string_view line) { return SplitFields(line, fields_); }

  bool Fail(NeighbourFileStatus status, uint64_t line) {
    error_.Status = status;
    error_.Line = line;
    return false;
  }
  bool FailAt(NeighbourFileStatus status, std::string_view id) {
    error_.Id = Kept(id);
    return Fail(status, line_);
  }

  bool Header(LineSource& source) {
    std::string_view line;
    if (!NextLine(source, line)) {
      if (source.Failed()) return Fail(NeighbourFileStatus::CannotRead, 0);
      error_.Found = 0;
      return Fail(NeighbourFileStatus::BadHeader, 1);
    }
    if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) line.remove_prefix(kByteOrderMark.size());
    // "N", "0 N layer key", or GeoDa's form with a layer's or key's name
    // that holds blanks: more fields after "0 N".
    const size_t count = Split(line);
    if (count != 1 && count != 4 && !(count > 4 && fields_[0] == "0")) {
      error_.Found = count;
      return Fail(NeighbourFileStatus::BadHeader, 1);
    }
    const std::string_view field = fields_[count == 1 ? 0 : 1];
    const std::optional<uint32_t> regions = ReadCount(field);
    if (!regions) return FailAt(NeighbourFileStatus::NotACount, field);
    announced_ = *regions;
    return true;
  }

  bool Body(LineSource& source) {
    std::string_view line;
    size_t count = 0;
    while (NextLine(source, line)) {
      count = Split(line);
      if (count != 0) break;
    }
    if (count == 0) return true;  // nothing after the header: a GAL file of no entries
    if (count == 2) {
      result_.Format = NeighbourFormat::Gal;
      entryOf_.assign(codes_.Size(), kNoRow);
      return Gal(source);
    }
    if (count == 3) {
      result_.Format = NeighbourFormat::Gwt;
      if (announced_ != codes_.Size()) {
        error_.Announced = announced_;
        error_.Found = codes_.Size();
        return Fail(NeighbourFileStatus::RegionCountMismatch, 1);
      }
      return Gwt(source, count);
    }
    error_.Found = count;
    return Fail(NeighbourFileStatus::UnknownFormat, line_);
  }

  // ----- GAL

  // From an entry line of two fields, split in fields_.
  bool Gal(LineSource& source) {
    std::string_view line;
    size_t count = 2;
    for (;;) {
      if (entryRows_.size() == announced_) {
        error_.Announced = announced_;
        return Fail(NeighbourFileStatus::TextAfterEnd, line_);
      }
      if (count != 2) {
        error_.Found = count;
        return Fail(NeighbourFileStatus::WrongFieldCount, line_);
      }
      if (!GalEntry(source)) return false;
      // The next line that is not blank.
      count = 0;
      while (count == 0 && NextLine(source, line)) count = Split(line);
      if (count == 0) return true;
    }
  }

  bool GalEntry(LineSource& source) {
    std::string_view id = fields_[0];
    const std::string_view countField = fields_[1];
    const uint32_t row = index_.Find(id);
    if (row == kNoRow) return FailAt(NeighbourFileStatus::UnknownId, id);
    if (entryOf_[row] != kNoRow) return FailAt(NeighbourFileStatus::RepeatedEntry, id);
    const std::optional<uint32_t> announced = ReadCount(countField);
    if (!announced) return FailAt(NeighbourFileStatus::NotACount, countField);
    const uint32_t entry = static_cast<uint32_t>(entryRows_.size());
    entryOf_[row] = entry;
    entryRows_.push_back(row);
    if (*announced > 0) {
      // The next line may take the place of this one: the region's name is
      // its code from here on.
      id = codes_.At(row);
      std::string_view list;
      if (!NextLine(source, list)) {
        if (source.Failed()) return Fail(NeighbourFileStatus::CannotRead, 0);
        error_.Region = Kept(id);
        return Fail(NeighbourFileStatus::FileEndsEarly, line_);
      }
      const size_t found = Split(list);
      if (found != *announced) {
        error_.Region = Kept(id);
        error_.Announced = *announced;
        error_.Found = found;
        return Fail(NeighbourFileStatus::CountMismatch, line_);
      }
      if (!GalList(row, entry, id, found)) return false;
    }
    entryEnd_.push_back(links_.size());
    return true;
  }

  // The neighbours of entry `entry` (row `row`, code `id`), split in fields_.
  bool GalList(uint32_t row, uint32_t entry, std::string_view id, size_t size) {
    const size_t first = links_.size();
    const bool marked = size > kShortList;
    if (marked && marks_.empty()) marks_.assign(codes_.Size(), kNoRow);
    // The ids are looked up a batch at a time, then checked in order.
    CodeIndex::Probe* probes = batchProbes_;
    for (size_t done = 0; done < size; done += CodeIndex::kBatch) {
      const size_t batch = std::min(CodeIndex::kBatch, size - done);
      const std::string_view* ids = fields_.data() + done;
      for (size_t k = 0; k < batch; ++k) probes[k] = index_.Start(ids[k]);
      for (size_t k = 0; k < batch; ++k) {
        const std::string_view neighbour = ids[k];
        const uint32_t other = index_.Finish(neighbour, probes[k]);
        if (other == kNoRow) {
          error_.Region = Kept(id);
          return FailAt(NeighbourFileStatus::UnknownId, neighbour);
        }
        if (other == row) return FailAt(NeighbourFileStatus::OwnNeighbour, neighbour);
        bool repeated = false;
        if (marked) {
          repeated = marks_[other] == entry;
          marks_[other] = entry;
        } else {
          for (size_t at = first; at < links_.size() && !repeated; ++at) repeated = links_[at] == other;
        }
        if (repeated) {
          error_.Region = Kept(id);
          return FailAt(NeighbourFileStatus::RepeatedNeighbour, neighbour);
        }
        links_.push_back(other);
      }
    }
    return true;
  }

  void FinishGal() {
    if (entryRows_.size() < announced_) {
      error_.Announced = announced_;
      error_.Found = entryRows_.size();
      Fail(NeighbourFileStatus::FileEndsEarly, line_);
      return;
    }
    const size_t regions = codes_.Size();
    for (size_t row = 0; row < regions; ++row) {
      if (entryOf_.empty() || entryOf_[row] == kNoRow) {
        error_.Id = Kept(codes_.At(row));
        error_.Record = row + 1;
        Fail(NeighbourFileStatus::MissingEntry, 0);
        return;
      }
    }
    NeighbourLists& lists = result_.Lists;
    lists.Start.assign(regions + 1, 0);
    bool inOrder = true;
    for (size_t e = 0; e < regions; ++e) inOrder = inOrder && entryRows_[e] == e;
    if (inOrder) {
      for (size_t e = 0; e < regions; ++e) lists.Start[e + 1] = entryEnd_[e];
      lists.Rows = std::move(links_);
      return;
    }
    for (size_t row = 0; row < regions; ++row) {
      const uint32_t e = entryOf_[row];
      lists.Start[row + 1] = lists.Start[row] + (entryEnd_[e] - (e == 0 ? 0 : entryEnd_[e - 1]));
    }
    lists.Rows.resize(links_.size());
    for (size_t row = 0; row < regions; ++row) {
      const uint32_t e = entryOf_[row];
      const size_t from = e == 0 ? 0 : entryEnd_[e - 1];
      std::copy(links_.begin() + static_cast<std::ptrdiff_t>(from),
                links_.begin() + static_cast<std::ptrdiff_t>(entryEnd_[e]),
                lists.Rows.begin() + static_cast<std::ptrdiff_t>(lists.Start[row]));
    }
  }

  // ----- GWT

  // From a line split in fields_.
  bool Gwt(LineSource& source, size_t count) {
    std::string_view line;
    for (;;) {
      if (count != 0 && !GwtLink(count)) {
        // An error found while reading: a repeated link on an earlier line
        // comes first.
        const NeighbourFileError lineError = error_;
        error_ = {};
        if (BuildGwt()) error_ = lineError;
        return false;
      }
      if (!NextLine(source, line)) return true;
      count = Split(line);
    }
  }

  bool GwtLink(size_t count) {
    if (count != 3) {
      error_.Found = count;
      return Fail(NeighbourFileStatus::WrongFieldCount, line_);
    }
    const std::string_view from = fields_[0], to = fields_[1], weight = fields_[2];
    const uint32_t region = index_.Find(from);
    if (region == kNoRow) return FailAt(NeighbourFileStatus::UnknownId, from);
    const uint32_t neighbour = index_.Find(to);
    if (neighbour == kNoRow) {
      error_.Region = Kept(from);
      return FailAt(NeighbourFileStatus::UnknownId, to);
    }
    if (region == neighbour) return FailAt(NeighbourFileStatus::OwnNeighbour, to);
    if (!ScanWholeReal(weight)) return FailAt(NeighbourFileStatus::NotAWeight, weight);
    const size_t link = fromRegion_.size();
    if (link == 0) {
      firstLinkLine_ = line_;
    } else if (line_ != lastLinkLine_ + 1) {
      lineJumps_.push_back({link, line_});
    }
    lastLinkLine_ = line_;
    fromRegion_.push_back(region);
    toRegion_.push_back(neighbour);
    return true;
  }

  // The line of link `link`: the last jump at or before it fixes it.
  uint64_t LinkLine(size_t link) const {
    auto after = std::upper_bound(lineJumps_.begin(), lineJumps_.end(), link,
                                  [](size_t k, const std::pair<size_t, uint64_t>& jump) { return k < jump.first; });
    if (after == lineJumps_.begin()) return firstLinkLine_ + link;
    --after;
    return after->second + (link - after->first);
  }

  void FinishGwt() { BuildGwt(); }

  // Puts the links read so far in lists by region, each in file order, and
  // checks them for a repeated neighbour on the way: false, with the error,
  // at the first repeated link in file order.
  bool BuildGwt() {
    const size_t regions = codes_.Size();
    const size_t links = fromRegion_.size();
    NeighbourLists& lists = result_.Lists;
    lists.Start.assign(regions + 1, 0);
    for (const uint32_t region : fromRegion_) ++lists.Start[region + 1];
    for (size_t row = 0; row < regions; ++row) lists.Start[row + 1] += lists.Start[row];
    std::vector<size_t> filled(lists.Start.begin(), lists.Start.end() - 1);
    lists.Rows.resize(links);
    PairSet longLists;
    for (size_t k = 0; k < links; ++k) {
      const uint32_t region = fromRegion_[k];
      const uint32_t neighbour = toRegion_[k];
      const size_t first = lists.Start[region];
      bool repeated = false;
      if (lists.Start[region + 1] - first <= kShortList) {
        for (size_t at = first; at < filled[region] && !repeated; ++at) repeated = lists.Rows[at] == neighbour;
      } else {
        repeated = !longLists.Insert(region, neighbour);
      }
      if (repeated) {
        error_.Status = NeighbourFileStatus::RepeatedNeighbour;
        error_.Line = LinkLine(k);
        error_.Id = Kept(codes_.At(neighbour));
        error_.Region = Kept(codes_.At(region));
        lists = NeighbourLists{};
        return false;
      }
      lists.Rows[filled[region]++] = neighbour;
    }
    return true;
  }

  const TextColumn& codes_;
  const CodeIndex& index_;
  NeighbourFileResult& result_;
  NeighbourFileError& error_;
  uint64_t line_ = 0;       // the line last read
  uint32_t announced_ = 0;  // the header's region count
  std::vector<std::string_view> fields_;  // the fields of the line last split

  // GAL: per entry in file order its row and the end of its neighbours in
  // links_; per row its entry; marks of the long lists.
  std::vector<uint32_t> entryRows_;
  std::vector<size_t> entryEnd_;
  std::vector<uint32_t> links_;
  std::vector<uint32_t> entryOf_;
  std::vector<uint32_t> marks_;
  CodeIndex::Probe batchProbes_[CodeIndex::kBatch];

  // GWT: per link in file order its two rows; the line of the first link and
  // where blank lines make the line numbers jump: (link, its line).
  std::vector<uint32_t> fromRegion_;
  std::vector<uint32_t> toRegion_;
  uint64_t firstLinkLine_ = 0;
  uint64_t lastLinkLine_ = 0;
  std::vector<std::pair<size_t, uint64_t>> lineJumps_;
};

NeighbourFileResult ParseSource(LineSource& source, const TextColumn& codes, const CodeIndex& index) {
  NeighbourFileResult result;
  NeighbourParser(codes, index, result).Run(source);
  if (result.Error.Status != NeighbourFileStatus::Ok) result.Lists = NeighbourLists{};
  return result;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

TextColumn RecordCodeTexts(const RecordTable& table) {
  if (!table.CodeText.Empty() || table.Code.empty()) return table.CodeText;
  TextColumn texts;
  texts.Ends.reserve(table.Code.size());
  texts.Bytes.reserve(table.Code.size() * 8);
  char digits[16];
  for (const int32_t code : table.Code) {
    const char* end = std::to_chars(digits, digits + sizeof digits, code).ptr;
    texts.Append(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  return texts;
}

NeighbourFileResult CheckNeighbourCodes(const TextColumn& codes) {
  CodeIndex index;
  NeighbourFileResult result;
  result.Error = index.Build(codes);
  return result;
}

NeighbourFileResult ParseNeighbours(std::string_view text, const TextColumn& codes) {
  CodeIndex index;
  NeighbourFileResult result;
  result.Error = index.Build(codes);
  if (result.Error.Status != NeighbourFileStatus::Ok) return result;
  LineSource source(text);
  return ParseSource(source, codes, index);
}

NeighbourFileResult ReadNeighbourStream(std::FILE* file, const TextColumn& codes, size_t blockSize) {
  CodeIndex index;
  NeighbourFileResult result;
  result.Error = index.Build(codes);
  if (result.Error.Status != NeighbourFileStatus::Ok) return result;
  LineSource source(file, blockSize);
  return ParseSource(source, codes, index);
}

NeighbourFileResult ReadNeighbourFile(const std::string& fileName, const TextColumn& codes) {
  CodeIndex index;
  NeighbourFileResult result;
  result.Error = index.Build(codes);
  if (result.Error.Status != NeighbourFileStatus::Ok) return result;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  struct stat info{};
  if (!file || (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))) {
    result.Error.Status = NeighbourFileStatus::CannotOpen;
    return result;
  }
  LineSource source(file.get(), kNeighbourBlockSize);
  return ParseSource(source, codes, index);
}

namespace {

std::string Number(uint64_t value) { return std::to_string(value); }

}  // namespace

std::string DescribeNeighbourError(const NeighbourFileResult& result) {
  const NeighbourFileError& e = result.Error;
  const std::string id = ShownText(e.Id);
  const std::string region = ShownText(e.Region);
  const std::string at = "line " + Number(e.Line) + ": ";
  const bool gal = result.Format == NeighbourFormat::Gal;
  switch (e.Status) {
    case NeighbourFileStatus::Ok:
      return "no error";
    case NeighbourFileStatus::CannotOpen:
      return "cannot be opened";
    case NeighbourFileStatus::CannotRead:
      return "cannot be read";
    case NeighbourFileStatus::RepeatedCode:
      return "code " + id + " repeats in the data (records " + Number(e.Record) + " and " + Number(e.OtherRecord) +
             "): with neighbours every code must be unique";
    case NeighbourFileStatus::UnusableCode:
      return "code \"" + id + "\" of record " + Number(e.Record) +
             " is empty or holds white space, so no neighbour file can name it";
    case NeighbourFileStatus::BadHeader:
      return at + "the header holds " + Number(e.Found) + " fields, not \"N\" or \"0 N layer key\"";
    case NeighbourFileStatus::UnknownFormat:
      return at + Number(e.Found) + " fields: neither a GAL entry \"id count\" nor a GWT link \"id id weight\"";
    case NeighbourFileStatus::NotACount:
      return at + id + " is not a count";
    case NeighbourFileStatus::WrongFieldCount:
      return at + Number(e.Found) + " fields where a " + (gal ? "GAL entry \"id count\"" : "GWT link \"id id weight\"") +
             " belongs";
    case NeighbourFileStatus::NotAWeight:
      return at + id + " is not a weight (a decimal number)";
    case NeighbourFileStatus::CountMismatch:
      return at + Number(e.Found) + " neighbours of " + region + ", where its entry announces " + Number(e.Announced);
    case NeighbourFileStatus::FileEndsEarly:
      if (!e.Region.empty()) return at + "the file ends before the neighbours of " + region;
      return at + "the file ends after " + Number(e.Found) + " of the " + Number(e.Announced) +
             " regions its header announces";
    case NeighbourFileStatus::TextAfterEnd:
      return at + "text after the " + Number(e.Announced) + " regions the header announces";
    case NeighbourFileStatus::RegionCountMismatch:
      return at + "the header announces " + Number(e.Announced) + " regions, the data has " + Number(e.Found) +
             " records";
    case NeighbourFileStatus::UnknownId:
      return at + "id " + id + " matches no record's code";
    case NeighbourFileStatus::RepeatedEntry:
      return at + "region " + id + " has a second entry";
    case NeighbourFileStatus::RepeatedNeighbour:
      return at + id + " is listed twice as a neighbour of " + region;
    case NeighbourFileStatus::OwnNeighbour:
      return at + id + " is listed as its own neighbour";
    case NeighbourFileStatus::MissingEntry:
      return "record " + Number(e.Record) + " (code " + id + ") has no entry";
  }
  return "no error";
}

}  // namespace tarnek
