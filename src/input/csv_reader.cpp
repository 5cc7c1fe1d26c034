// CSV data file reader. libcsv splits the bytes into fields and rows and
// calls back for each; the callbacks hand each field to the field rules
// (record_fields.h), which match the header, check it and fill the table,
// and count the lines that errors name. The units of a block's rows are
// looked up together once the block is parsed.
#include "input/csv_reader.h"

#include <csv.h>  // libcsv: csv_init, csv_parse, csv_fini, csv_free

#include <algorithm>  // std::min, std::max, std::equal
#include <memory>
#include <new>        // std::bad_alloc
#include <vector>

#include <sys/stat.h>  // fstat, to refuse a directory

#include "input/record_fields.h"

namespace tarnek {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The line ends inside a field's text: LF, CR LF or a CR alone, each once.
uint64_t CountLineEnds(std::string_view text) {
  uint64_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))) ++count;
  }
  return count;
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

// Everything the callbacks know. The field rules are RecordFields'; the
// parse adds the lines. The first failure stops the read: later callbacks of
// the same block do nothing.
struct CsvRead {
  RecordFields Fields;
  CsvReadResult Result;
  bool Failed = false;

  size_t Field = 0;        // fields of the current row so far
  uint64_t Line = 1;       // the line the parse has reached
  uint64_t RowLine = 1;    // the line on which the current row began
  bool AfterCr = false;    // the last row ended with a CR, which an LF completes

  CsvRead(const CsvColumns& columns, RecordTable& table) : Fields(columns, table) {}

  // Notes the rules' failure, at `line`.
  void CheckFields(uint64_t line) {
    if (Fields.Failed() && !Failed) {
      Result = {Fields.Status(), line, Fields.Column()};
      Failed = true;
    }
  }

  // The end of a row that has fields.
  void EndRow() {
    if (Fields.InHeader()) {
      Fields.EndHeader();
    } else {
      Fields.EndRow(Field, RowLine);
    }
    CheckFields(RowLine);
  }

  static void OnField(void* bytes, size_t size, void* self) {
    CsvRead& read = *static_cast<CsvRead*>(self);
    if (read.Failed) return;
    read.AfterCr = false;
    if (read.Field == 0) read.RowLine = read.Line;
    const size_t index = read.Field++;
    const std::string_view text(static_cast<const char*>(bytes), size);
    if (read.Fields.InHeader()) {
      read.Fields.HeaderField(index, text);
    } else {
      read.Fields.DataField(index, text);
    }
    read.CheckFields(read.RowLine);
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
      Fields.Fail(CsvStatus::NotAValue, Field);
      CheckFields(Field > 0 ? RowLine : Line);
    } else if (error != CSV_SUCCESS) {
      throw std::bad_alloc();
    }
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
    if (!Failed) Fields.FindPendingUnits();
  }

  CsvReadResult Finish(csv_parser& parser) {
    if (!Failed && csv_fini(&parser, OnField, OnRowEnd, this) != 0) CheckParser(parser);
    if (Failed) return Result;
    if (Fields.InHeader()) {  // no header: its first named column is missing
      Fields.EndHeader();
      CheckFields(1);
      return Result;
    }
    Fields.Finish();
    return {};
  }
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

char FoldLetter(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameColumnName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldLetter(x) == FoldLetter(y); });
}

std::string FoldedColumnName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldLetter(c);
  return folded;
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
