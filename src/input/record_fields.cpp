// The field rules of the named-column readers. The units of a block's rows
// are looked up together in a hash of the distinct texts, which are ranked
// when the whole file has been read.
#include "input/record_fields.h"

#include <algorithm>  // std::sort, std::find_if
#include <cmath>
#include <limits>
#include <cstring>    // std::memcmp, std::memcpy
#include <functional>  // std::hash
#include <optional>

#include "input/decimal.h"

namespace tarnek {

namespace {

// A field that says its value is not known: empty, or NA (as R writes it).
bool NotKnown(std::string_view text) { return text.empty() || text == "NA"; }

// What a column of the file is to the reader: one of the four, or extra
// column Role - kRoleCount, or nothing.
enum Role : uint32_t { kIgnored, kUnit, kCode, kObserved, kExpected, kRoleCount };

constexpr size_t kNoPosition = SIZE_MAX;

// A unit or code: not empty, and no byte that would break a line or a
// column of a tab-separated output.
bool IsIdentifier(std::string_view text) {
  return !text.empty() &&
         std::find_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }) == text.end();
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

// A slot keeps the hash and a short text itself, so that finding a unit
// mostly reads one slot; units are looked up a block of rows at a time,
// each slot fetched ahead of its turn, since in a shuffled file every
// look-up lands elsewhere.
struct UnitSlot {
  uint64_t Hash = 0;
  uint32_t Entry = 0;  // index + 1, 0 when the slot is free
  uint8_t Length = 0;  // length of Inline, or kLongText when the text is longer
  char Inline[19] = {};
};
static_assert(sizeof(UnitSlot) == 32);
constexpr uint8_t kLongText = 0xFF;
constexpr size_t kLookAhead = 16;

}  // namespace

// The distinct units in the order they first appear, found again by a hash
// of their text (open addressing, at most half the slots in use).
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

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------
// The rules

RecordFields::RecordFields(const CsvColumns& columns, RecordTable& table)
    : columns_(columns), table_(table), position_(kRoleCount + columns.Extra.size(), kNoPosition),
      units_(std::make_unique<UnitSet>()) {
  table_.Columns.clear();
  for (const ColumnRequest& request : columns.Extra) table_.Columns.push_back({request.Name, {}, request.Kind, {}, {}});
  for (uint32_t role = kUnit; role < RoleCount(); ++role) {
    if (Reads(role)) rolesByName_[FoldedColumnName(Name(role))].push_back(role);
  }
}

RecordFields::~RecordFields() = default;

bool RecordFields::HasUnit() const { return columns_.Unit != kNoUnitColumn; }

// Whether the file must have the column of `role`: the unit unless there is
// none, any other that has a name.
bool RecordFields::Reads(uint32_t role) const { return role == kUnit ? HasUnit() : !Name(role).empty(); }
uint32_t RecordFields::RoleCount() const { return static_cast<uint32_t>(position_.size()); }

const std::string& RecordFields::Name(uint32_t role) const {
  switch (role) {
    case kUnit: return columns_.Unit;
    case kCode: return columns_.Code;
    case kObserved: return columns_.Observed;
    case kExpected: return columns_.Expected;
    default: return table_.Columns[role - kRoleCount].Name;
  }
}

std::string RecordFields::ColumnName(size_t index) const {
  if (!inHeader_ && index < roles_.size() && roles_[index] != kIgnored) return Name(roles_[index]);
  return "column " + std::to_string(index + 1);
}

void RecordFields::FailNamed(CsvStatus status, const std::string& column) {
  status_ = status;
  column_ = column;
  failed_ = true;
}

void RecordFields::Fail(CsvStatus status, size_t index) {
  if (!failed_) FailNamed(status, ColumnName(index));
}

void RecordFields::HeaderField(size_t index, std::string_view text) {
  if (failed_) return;
  uint32_t role = kIgnored;
  std::string folded = FoldedColumnName(text);
  // Only names that some role reads are in the index: the others of a wide
  // header add nothing to it.
  if (const auto named = rolesByName_.find(folded); named != rolesByName_.end()) {
    for (const uint32_t candidate : named->second) {
      if (position_[candidate] != kNoPosition) return FailNamed(CsvStatus::RepeatedColumn, Name(candidate));
      position_[candidate] = index;
      if (candidate >= kRoleCount) table_.Columns[candidate - kRoleCount].HeaderName = text;
      if (role == kIgnored) {
        role = candidate;
      } else {  // the four have names of their own: a second role is an extra column's
        moreRoles_.emplace_back(index, candidate - kRoleCount);
      }
    }
  }
  if (role == kIgnored && columns_.KeepUnused && !(columns_.LeftUnread != nullptr && columns_.LeftUnread(text))) {
    // A column the run does not use, kept as text under its own name.
    role = RoleCount();
    position_.push_back(index);
    table_.Columns.push_back({std::string(text), std::string(text), ColumnKind::Text, {}, {}});
    if (Reads(role)) rolesByName_[std::move(folded)].push_back(role);  // a second column of that name repeats it
  }
  roles_.push_back(role);
}

void RecordFields::EndHeader() {
  if (failed_) return;
  for (uint32_t role = kUnit; role < RoleCount(); ++role) {
    if (Reads(role) && position_[role] == kNoPosition) {
      return FailNamed(CsvStatus::MissingColumn, Name(role));
    }
  }
  inHeader_ = false;
}

void RecordFields::DataField(size_t index, std::string_view text) {
  if (failed_) return;
  if (index >= roles_.size()) return Fail(CsvStatus::NotAValue, index);
  switch (roles_[index]) {
    case kIgnored:
      break;
    case kUnit:
      if (!IsIdentifier(text)) return FailNamed(CsvStatus::NotAValue, columns_.Unit);
      pendingUnits_.Append(text);
      table_.Unit.push_back(0);  // its index comes with the block's look-ups
      break;
    case kCode:
      if (!IsIdentifier(text)) return FailNamed(CsvStatus::NotAValue, columns_.Code);
      table_.CodeText.Append(text);
      break;
    case kObserved: {
      if (columns_.KeepUndefined && NotKnown(text)) {
        table_.Data1.push_back(-1);
        break;
      }
      const std::optional<ScannedInteger> count = ScanWholeInteger(text);
      if (!count) return FailNamed(CsvStatus::NotAValue, columns_.Observed);
      if (!count->Fits || count->Value < 0) return FailNamed(CsvStatus::OutOfRange, columns_.Observed);
      table_.Data1.push_back(count->Value);
      break;
    }
    case kExpected: {
      if (columns_.KeepUndefined && NotKnown(text)) {
        table_.Data2.push_back(std::numeric_limits<double>::quiet_NaN());
        break;
      }
      const std::optional<double> expected = ScanWholeReal(text);
      if (!expected) return FailNamed(CsvStatus::NotAValue, columns_.Expected);
      const bool zero = columns_.KeepUndefined && *expected == 0.0;
      if (!(*expected > 0.0 || zero) || !std::isfinite(*expected)) {
        return FailNamed(CsvStatus::OutOfRange, columns_.Expected);
      }
      table_.Data2.push_back(*expected + 0.0);  // "-0", a row without a ratio, is kept as 0
      break;
    }
    default:
      ExtraField(roles_[index] - kRoleCount, text);
      break;
  }
  for (const auto& [column, extra] : moreRoles_) {
    if (column == index && !failed_) ExtraField(extra, text);
  }
}

void RecordFields::ExtraField(size_t extra, std::string_view text) {
  NamedColumn& column = table_.Columns[extra];
  switch (column.Kind) {
    case ColumnKind::Real:
    case ColumnKind::NonNegativeReal: {
      if (column.Kind == ColumnKind::Real && columns_.KeepUndefined && NotKnown(text)) {
        // Read only where the row turns out to have no defined ratio (EndRow).
        if (unknownReal_ == kNoUnknownReal) unknownReal_ = extra;
        column.Reals.push_back(std::numeric_limits<double>::quiet_NaN());
        break;
      }
      const std::optional<double> value = ScanWholeReal(text);
      if (!value) return FailNamed(CsvStatus::NotAValue, column.Name);
      if (!std::isfinite(*value) || (column.Kind == ColumnKind::NonNegativeReal && *value < 0.0)) {
        return FailNamed(CsvStatus::OutOfRange, column.Name);
      }
      column.Reals.push_back(*value);
      break;
    }
    case ColumnKind::Identifier:
      if (!IsIdentifier(text)) return FailNamed(CsvStatus::NotAValue, column.Name);
      column.Texts.Append(text);
      break;
    case ColumnKind::Text:
      column.Texts.Append(text);
      break;
  }
}

void RecordFields::EndRow(size_t fields, uint64_t line) {
  if (failed_) return;
  // Fields come in order: the named columns at or beyond the row's end are missing.
  size_t missing = kNoPosition;
  for (uint32_t role = kUnit; role < RoleCount(); ++role) {
    if (position_[role] != kNoPosition && position_[role] >= fields) missing = std::min(missing, position_[role]);
  }
  if (missing != kNoPosition) return Fail(CsvStatus::NotAValue, missing);
  if (unknownReal_ != kNoUnknownReal) {
    const bool undefined = (Reads(kObserved) && table_.Data1.back() < 0) || (Reads(kExpected) && !(table_.Data2.back() > 0.0));
    if (!undefined) return FailNamed(CsvStatus::NotAValue, table_.Columns[unknownReal_].Name);
    unknownReal_ = kNoUnknownReal;
  }
  if (!HasUnit()) table_.Unit.push_back(-1);
  if (columns_.KeepLines) table_.Lines.push_back(line);
}

void RecordFields::FindPendingUnits() {
  // Every row has a unit, so the pending ones are those of the table's last rows.
  units_->FindAll(pendingUnits_, table_.Unit.data() + (table_.Unit.size() - pendingUnits_.Size()));
  pendingUnits_.Bytes.clear();
  pendingUnits_.Ends.clear();
}

void RecordFields::Finish() {
  if (failed_ || !HasUnit()) return;
  FindPendingUnits();
  RankUnits(*units_, table_);
}

}  // namespace tarnek
