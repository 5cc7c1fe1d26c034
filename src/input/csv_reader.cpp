// CSV data file reader. libcsv splits the bytes into fields and rows and
// calls back for each; the callbacks match the header, check each field as
// it comes and fill the table. The units of a block's rows are looked up
// together in a hash of the distinct texts, which are ranked when the whole
// file has been read.
#include "input/csv_reader.h"

#include <csv.h>  // libcsv: csv_init, csv_parse, csv_fini, csv_free

#include <algorithm>  // std::sort, std::find_if
#include <array>
#include <cmath>      // std::isfinite
#include <cstring>    // std::memcmp, std::memcpy
#include <functional>  // std::hash
#include <limits>
#include <memory>
#include <new>        // std::bad_alloc
#include <optional>
#include <vector>

#include <sys/stat.h>  // fstat, to refuse a directory

#include "input/decimal.h"

namespace tarnek {

namespace {

// What a column of the file is to the reader: one of the four, or extra
// column Role - kRoleCount, or nothing.
enum Role : uint32_t { kIgnored, kUnit, kCode, kObserved, kExpected, kRoleCount };

constexpr size_t kNoPosition = SIZE_MAX;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A unit or code: not empty, and no byte that would break a line or a
// column of a tab-separated output.
bool IsIdentifier(std::string_view text) {
  return !text.empty() &&
         std::find_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }) == text.end();
}

// A field that says its value is not known: empty, or NA (as R writes it).
bool NotKnown(std::string_view text) { return text.empty() || text == "NA"; }

// The line ends inside a field's text: LF, CR LF or a CR alone, each once.
uint64_t CountLineEnds(std::string_view text) {
  uint64_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Unit order

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// An optional sign and at least one digit, nothing else.
bool IsIntegerText(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// An integer text as sign and significant digits; zero has none and no sign.
struct IntegerParts {
  bool Negative;
  std::string_view Digits;
};

IntegerParts SplitInteger(std::string_view text) {
  const bool negative = text[0] == '-';
  if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
  return {negative && !text.empty(), text};
}

// Integer texts of any length by value, exactly; texts of one value by bytes.
bool NumericBefore(std::string_view a, std::string_view b) {
  const IntegerParts x = SplitInteger(a), y = SplitInteger(b);
  if (x.Negative != y.Negative) return x.Negative;
  int magnitude = x.Digits.size() != y.Digits.size() ? (x.Digits.size() < y.Digits.size() ? -1 : 1)
                                                      : x.Digits.compare(y.Digits);
  if (x.Negative) magnitude = -magnitude;
  if (magnitude != 0) return magnitude < 0;
  return a < b;
}

// The distinct units in the order they first appear, found again by a hash
// of their text (open addressing, at most half the slots in use). A slot
// keeps the hash and a short text itself, so that finding a unit mostly reads
// one slot; units are looked up a block of rows at a time, each slot fetched
// ahead of its turn, since in a shuffled file every look-up lands elsewhere.
struct UnitSlot {
  uint64_t Hash = 0;
  uint32_t Entry = 0;  // index + 1, 0 when the slot is free
  uint8_t Length = 0;  // length of Inline, or kLongText when the text is longer
  char Inline[19] = {};
};
static_assert(sizeof(UnitSlot) == 32);
constexpr uint8_t kLongText = 0xFF;
constexpr size_t kLookAhead = 16;

struct UnitSet {
  TextColumn Texts;
  std::vector<UnitSlot> Slots = std::vector<UnitSlot>(1024);
  bool AllIntegers = true;
  std::vector<uint64_t> Hashes;  // of the texts being looked up

  static uint64_t HashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

  bool Holds(const UnitSlot& slot, std::string_view text, uint64_t hash) const {
    if (slot.Hash != hash) return false;
    if (text.size() <= sizeof slot.Inline) {
      return slot.Length == text.size() && std::memcmp(slot.Inline, text.data(), text.size()) == 0;
    }
    return slot.Length == kLongText && Texts.At(slot.Entry - 1) == text;
  }

  void Place(std::vector<UnitSlot>& slots, uint32_t index, uint64_t hash) const {
    const size_t mask = slots.size() - 1;
    size_t at = hash & mask;
    while (slots[at].Entry != 0) at = (at + 1) & mask;
    UnitSlot& slot = slots[at];
    const std::string_view text = Texts.At(index);
    slot.Hash = hash;
    slot.Entry = index + 1;
    slot.Length = text.size() <= sizeof slot.Inline ? static_cast<uint8_t>(text.size()) : kLongText;
    if (slot.Length != kLongText) std::memcpy(slot.Inline, text.data(), text.size());
  }

  uint32_t Find(std::string_view text, uint64_t hash) {
    const size_t mask = Slots.size() - 1;
    for (size_t at = hash & mask; Slots[at].Entry != 0; at = (at + 1) & mask) {
      if (Holds(Slots[at], text, hash)) return Slots[at].Entry - 1;
    }
    const auto index = static_cast<uint32_t>(Texts.Size());
    Texts.Append(text);
    AllIntegers = AllIntegers && IsIntegerText(text);
    if (2 * Texts.Size() > Slots.size()) {
      std::vector<UnitSlot> slots(2 * Slots.size());
      for (uint32_t i = 0; i < index; ++i) Place(slots, i, HashOf(Texts.At(i)));
      Slots.swap(slots);
    }
    Place(Slots, index, hash);
    return index;
  }

  // Writes the index of each of `texts` to `out`.
  void FindAll(const TextColumn& texts, int32_t* out) {
    const size_t n = texts.Size();
    Hashes.resize(n);
    for (size_t i = 0; i < n; ++i) Hashes[i] = HashOf(texts.At(i));
    for (size_t i = 0; i < n; ++i) {
      if (i + kLookAhead < n) __builtin_prefetch(&Slots[Hashes[i + kLookAhead] & (Slots.size() - 1)]);
      out[i] = static_cast<int32_t>(Find(texts.At(i), Hashes[i]));
    }
  }
};

// Sorts `order` by NumericBefore when every text has at most 18 significant
// digits: then a text's value fits 64 bits, and the sort compares values
// held next to each other instead of reading every text again. Returns
// false, leaving `order` as it was, when a text is longer.
bool SortBySmallValues(const TextColumn& texts, std::vector<uint32_t>& order) {
  struct Keyed {
    int64_t Value;
    uint32_t Index;
  };
  std::vector<Keyed> keyed(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    const IntegerParts parts = SplitInteger(texts.At(order[i]));
    if (parts.Digits.size() > 18) return false;
    int64_t value = 0;
    for (const char digit : parts.Digits) value = value * 10 + (digit - '0');
    keyed[i] = {parts.Negative ? -value : value, order[i]};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    return a.Value != b.Value ? a.Value < b.Value : texts.At(a.Index) < texts.At(b.Index);
  });
  for (size_t i = 0; i < order.size(); ++i) order[i] = keyed[i].Index;
  return true;
}

// Replaces every row's index of first appearance by the rank of its unit,
// and leaves the texts in rank order in the table.
void RankUnits(UnitSet& units, RecordTable& table) {
  const size_t count = units.Texts.Size();
  std::vector<uint32_t> order(count);
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  const TextColumn& texts = units.Texts;
  if (!units.AllIntegers) {
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return texts.At(a) < texts.At(b); });
  } else if (!SortBySmallValues(texts, order)) {
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return NumericBefore(texts.At(a), texts.At(b)); });
  }
  std::vector<int32_t> rank(count);
  table.UnitText = TextColumn{};
  table.UnitText.Bytes.reserve(texts.Bytes.size());
  table.UnitText.Ends.reserve(count);
  for (uint32_t r = 0; r < count; ++r) {
    rank[order[r]] = static_cast<int32_t>(r);
    table.UnitText.Append(texts.At(order[r]));
  }
  for (int32_t& unit : table.Unit) unit = rank[static_cast<size_t>(unit)];
}

// ---------------------------------------------------------------------------
// The parse

constexpr size_t kFieldStep = size_t{1} << 16;

struct CsvParser {
  CsvParser() {
    csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL);
    csv_set_blk_size(&parser, kFieldStep);
  }
  ~CsvParser() { csv_free(&parser); }
  CsvParser(const CsvParser&) = delete;
  CsvParser& operator=(const CsvParser&) = delete;
  csv_parser parser{};
};

// Everything the callbacks know. The first failure stops the read: later
// callbacks of the same block do nothing.
struct CsvRead {
  const CsvColumns& Columns;
  RecordTable& Table;
  CsvReadResult Result;
  bool Failed = false;

  bool InHeader = true;
  std::vector<uint32_t> Roles;                 // per column of the header
  std::vector<size_t> Position;                // per role: its column, kNoPosition when none
  // Extra columns read from a column that has a role already (a column kept
  // that is also a covariate, say): the column and the extra column's index.
  std::vector<std::pair<size_t, size_t>> MoreRoles;
  UnitSet Units;
  TextColumn PendingUnits;  // the units of the last rows read, not yet looked up

  size_t Field = 0;        // fields of the current row so far
  uint64_t Line = 1;       // the line the parse has reached
  uint64_t RowLine = 1;    // the line on which the current row began
  bool AfterCr = false;    // the last row ended with a CR, which an LF completes

  CsvRead(const CsvColumns& columns, RecordTable& table)
      : Columns(columns), Table(table), Position(kRoleCount + columns.Extra.size(), kNoPosition) {
    Table.Columns.clear();
    for (const ColumnRequest& request : columns.Extra) Table.Columns.push_back({request.Name, {}, request.Kind, {}, {}});
  }

  bool HasUnit() const { return Columns.Unit != kNoUnitColumn; }
  // Whether the file must have the column of `role`: the unit unless there
  // is none, any other that has a name.
  bool Reads(uint32_t role) const { return role == kUnit ? HasUnit() : !Name(role).empty(); }
  uint32_t RoleCount() const { return static_cast<uint32_t>(Position.size()); }

  const std::string& Name(uint32_t role) const {
    switch (role) {
      case kUnit: return Columns.Unit;
      case kCode: return Columns.Code;
      case kObserved: return Columns.Observed;
      case kExpected: return Columns.Expected;
      default: return Table.Columns[role - kRoleCount].Name;
    }
  }

  // The column at `index` as a message names it.
  std::string ColumnName(size_t index) const {
    if (!InHeader && index < Roles.size() && Roles[index] != kIgnored) return Name(Roles[index]);
    return "column " + std::to_string(index + 1);
  }

  void Fail(CsvStatus status, uint64_t line, std::string column) {
    Result = {status, line, std::move(column)};
    Failed = true;
  }

  void HeaderField(size_t index, std::string_view text) {
    uint32_t role = kIgnored;
    for (uint32_t candidate = kUnit; candidate < RoleCount(); ++candidate) {
      if (!Reads(candidate)) continue;
      if (!SameColumnName(text, Name(candidate))) continue;
      if (Position[candidate] != kNoPosition) return Fail(CsvStatus::RepeatedColumn, RowLine, Name(candidate));
      Position[candidate] = index;
      if (candidate >= kRoleCount) Table.Columns[candidate - kRoleCount].HeaderName = text;
      if (role == kIgnored) {
        role = candidate;
      } else {  // the four have names of their own: a second role is an extra column's
        MoreRoles.emplace_back(index, candidate - kRoleCount);
      }
    }
    if (role == kIgnored && Columns.KeepUnused) {
      // A column the run does not use, kept as text under its own name.
      role = RoleCount();
      Position.push_back(index);
      Table.Columns.push_back({std::string(text), std::string(text), ColumnKind::Text, {}, {}});
    }
    Roles.push_back(role);
  }

  void DataField(size_t index, std::string_view text) {
    if (index >= Roles.size()) return Fail(CsvStatus::NotAValue, RowLine, ColumnName(index));
    switch (Roles[index]) {
      case kIgnored:
        break;
      case kUnit:
        if (!IsIdentifier(text)) return Fail(CsvStatus::NotAValue, RowLine, Columns.Unit);
        PendingUnits.Append(text);
        Table.Unit.push_back(0);  // its index comes with the block's look-ups
        break;
      case kCode:
        if (!IsIdentifier(text)) return Fail(CsvStatus::NotAValue, RowLine, Columns.Code);
        Table.CodeText.Append(text);
        break;
      case kObserved: {
        if (Columns.KeepUndefined && NotKnown(text)) {
          Table.Data1.push_back(-1);
          break;
        }
        const std::optional<ScannedInteger> count = ScanWholeInteger(text);
        if (!count) return Fail(CsvStatus::NotAValue, RowLine, Columns.Observed);
        if (!count->Fits || count->Value < 0) return Fail(CsvStatus::OutOfRange, RowLine, Columns.Observed);
        Table.Data1.push_back(count->Value);
        break;
      }
      case kExpected: {
        if (Columns.KeepUndefined && NotKnown(text)) {
          Table.Data2.push_back(std::numeric_limits<double>::quiet_NaN());
          break;
        }
        const std::optional<double> expected = ScanWholeReal(text);
        if (!expected) return Fail(CsvStatus::NotAValue, RowLine, Columns.Expected);
        const bool zero = Columns.KeepUndefined && *expected == 0.0;
        if (!(*expected > 0.0 || zero) || !std::isfinite(*expected)) {
          return Fail(CsvStatus::OutOfRange, RowLine, Columns.Expected);
        }
        Table.Data2.push_back(*expected);
        break;
      }
      default:
        ExtraField(Roles[index] - kRoleCount, text);
        break;
    }
    for (const auto& [column, extra] : MoreRoles) {
      if (column == index && !Failed) ExtraField(extra, text);
    }
  }

  void ExtraField(size_t extra, std::string_view text) {
    NamedColumn& column = Table.Columns[extra];
    switch (column.Kind) {
      case ColumnKind::Real:
      case ColumnKind::NonNegativeReal: {
        const std::optional<double> value = ScanWholeReal(text);
        if (!value) return Fail(CsvStatus::NotAValue, RowLine, column.Name);
        if (!std::isfinite(*value) || (column.Kind == ColumnKind::NonNegativeReal && *value < 0.0)) {
          return Fail(CsvStatus::OutOfRange, RowLine, column.Name);
        }
        column.Reals.push_back(*value);
        break;
      }
      case ColumnKind::Identifier:
        if (!IsIdentifier(text)) return Fail(CsvStatus::NotAValue, RowLine, column.Name);
        column.Texts.Append(text);
        break;
      case ColumnKind::Text:
        column.Texts.Append(text);
        break;
    }
  }

  // The end of a row that has fields.
  void EndRow() {
    if (InHeader) {
      for (uint32_t role = kUnit; role < RoleCount(); ++role) {
        if (Reads(role) && Position[role] == kNoPosition) {
          return Fail(CsvStatus::MissingColumn, RowLine, Name(role));
        }
      }
      InHeader = false;
      return;
    }
    // Fields come in order: the named columns at or beyond the row's end are missing.
    size_t missing = kNoPosition;
    for (uint32_t role = kUnit; role < RoleCount(); ++role) {
      if (Position[role] != kNoPosition && Position[role] >= Field) missing = std::min(missing, Position[role]);
    }
    if (missing != kNoPosition) return Fail(CsvStatus::NotAValue, RowLine, ColumnName(missing));
    if (!HasUnit()) Table.Unit.push_back(-1);
    if (Columns.KeepLines) Table.Lines.push_back(RowLine);
  }

  static void OnField(void* bytes, size_t size, void* self) {
    CsvRead& read = *static_cast<CsvRead*>(self);
    if (read.Failed) return;
    read.AfterCr = false;
    if (read.Field == 0) read.RowLine = read.Line;
    const size_t index = read.Field++;
    const std::string_view text(static_cast<const char*>(bytes), size);
    if (read.InHeader) {
      read.HeaderField(index, text);
    } else {
      read.DataField(index, text);
    }
    // Line ends inside a quoted field: only a field that is not checked, or
    // is text, can hold one without failing.
    if (!read.Failed) read.Line += CountLineEnds(text);
  }

  static void OnRowEnd(int terminator, void* self) {
    CsvRead& read = *static_cast<CsvRead*>(self);
    if (read.Failed) return;
    if (read.Field > 0) read.EndRow();
    read.Field = 0;
    if (terminator == '\r' || (terminator == '\n' && !read.AfterCr)) ++read.Line;
    read.AfterCr = terminator == '\r';
  }

  // libcsv's own failures: broken quoting (the field being read is named),
  // or memory.
  void CheckParser(csv_parser& parser) {
    const int error = csv_error(&parser);
    if (error == CSV_EPARSE) {
      if (!Failed) Fail(CsvStatus::NotAValue, Field > 0 ? RowLine : Line, ColumnName(Field));
    } else if (error != CSV_SUCCESS) {
      throw std::bad_alloc();
    }
  }

  // Looks up the units of the rows read since the last call: every row has
  // one, so they are the last rows of the table.
  void FindPendingUnits() {
    Units.FindAll(PendingUnits, Table.Unit.data() + (Table.Unit.size() - PendingUnits.Size()));
    PendingUnits.Bytes.clear();
    PendingUnits.Ends.clear();
  }

  // libcsv lengthens its field buffer by a fixed step, which for a field of
  // megabytes would copy it over and over. The bytes go in pieces no longer
  // than the step, and after each the step becomes the buffer's size, so a
  // long field's buffer doubles instead.
  void Feed(csv_parser& parser, std::string_view bytes) {
    while (!Failed && !bytes.empty()) {
      const size_t piece = std::min(bytes.size(), kFieldStep);
      if (csv_parse(&parser, bytes.data(), piece, OnField, OnRowEnd, this) != piece) CheckParser(parser);
      bytes.remove_prefix(piece);
      csv_set_blk_size(&parser, std::max(kFieldStep, csv_get_buffer_size(&parser)));
    }
    if (!Failed) FindPendingUnits();
  }

  CsvReadResult Finish(csv_parser& parser) {
    if (!Failed && csv_fini(&parser, OnField, OnRowEnd, this) != 0) CheckParser(parser);
    if (Failed) return Result;
    if (InHeader) {  // no header: its first named column is missing
      uint32_t first = kUnit;
      while (first + 1 < RoleCount() && !Reads(first)) ++first;
      return {CsvStatus::MissingColumn, 1, Name(first)};
    }
    if (HasUnit()) {
      FindPendingUnits();
      RankUnits(Units, Table);
    }
    return {};
  }
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool SameColumnName(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

CsvReadResult ParseCsv(std::string_view text, const CsvColumns& columns, RecordTable& table) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  CsvParser parser;
  CsvRead read(columns, table);
  read.Feed(parser.parser, text);
  return read.Finish(parser.parser);
}

CsvReadResult ReadCsvStream(std::FILE* file, const CsvColumns& columns, RecordTable& table, size_t blockSize) {
  CsvParser parser;
  CsvRead read(columns, table);
  std::string block(blockSize, '\0');
  // The bytes of a byte order mark are held back until the mark is whole
  // (and skipped) or broken (and parsed): a block may end inside it.
  size_t markSeen = 0;
  bool markDecided = false;
  for (;;) {
    const size_t got = std::fread(block.data(), 1, blockSize, file);
    if (got < blockSize && std::ferror(file)) return {CsvStatus::CannotRead, 0, {}};
    const bool atEnd = got < blockSize;
    std::string_view bytes(block.data(), got);
    if (!markDecided) {
      while (markSeen < kByteOrderMark.size() && !bytes.empty() && bytes[0] == kByteOrderMark[markSeen]) {
        ++markSeen;
        bytes.remove_prefix(1);
      }
      if (markSeen == kByteOrderMark.size()) {
        markDecided = true;
      } else if (!bytes.empty() || atEnd) {
        markDecided = true;
        read.Feed(parser.parser, kByteOrderMark.substr(0, markSeen));
      }
    }
    read.Feed(parser.parser, bytes);
    if (read.Failed) return read.Result;
    if (atEnd) return read.Finish(parser.parser);
  }
}

CsvReadResult ReadCsvFile(const std::string& fileName, const CsvColumns& columns, RecordTable& table) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return {CsvStatus::CannotOpen, 0, {}};
  struct stat info{};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) return {CsvStatus::CannotOpen, 0, {}};
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    // A first guess at the record count keeps the columns from regrowing.
    const size_t guess = static_cast<size_t>(info.st_size) / 24;
    table.Unit.reserve(guess);
    if (!columns.Observed.empty()) table.Data1.reserve(guess);
    if (!columns.Expected.empty()) table.Data2.reserve(guess);
    if (!columns.Code.empty()) {
      table.CodeText.Ends.reserve(guess);
      table.CodeText.Bytes.reserve(guess * 8);
    }
  }
  return ReadCsvStream(file.get(), columns, table, kCsvBlockSize);
}

}  // namespace tarnek
