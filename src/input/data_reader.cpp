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

void ApplyTextMode(std::string& text) {
  if (const void* ctrlZ = std::memchr(text.data(), 0x1A, text.size())) {
    text.resize(static_cast<size_t>(static_cast<const char*>(ctrlZ) - text.data()));
  }
  if (std::memchr(text.data(), '\r', text.size()) != nullptr) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  }
}

ReadResult ParseRecords(std::string_view text, RecordTable& table) {
  const char* p = text.data();
  const char* last = p + text.size();
  // A generous first guess keeps the columns from regrowing on typical files.
  const size_t guess = text.size() / 16;
  table.Unit.reserve(guess);
  table.Code.reserve(guess);
  table.Data1.reserve(guess);
  table.Data2.reserve(guess);

  for (;;) {
    p = SkipFieldSpace(p, last);
    if (p == last) return {};  // end of input before a record: reading is complete

    const int32_t previousCode = table.Code.empty() ? 0 : table.Code.back();
    const ReadResult notARecord{ReadStatus::NotARecord, previousCode};

    ScannedInteger unit = ScanInteger(p, last);
    if (!unit.HasDigits || !unit.Fits) return notARecord;
    ScannedInteger code = ScanInteger(SkipFieldSpace(unit.End, last), last);
    if (!code.HasDigits || !code.Fits) return notARecord;
    ScannedInteger data1 = ScanInteger(SkipFieldSpace(code.End, last), last);
    if (!data1.HasDigits || !data1.Fits) return notARecord;
    ScannedReal data2 = ScanReal(SkipFieldSpace(data1.End, last), last);
    if (!data2.HasDigits) return notARecord;
    p = data2.End;

    // The tests in their order; the first failed one decides, all give the same message.
    const bool data2Valid = data2.Value > 0.0 && std::isfinite(data2.Value);
    if (data1.Value < 0 || !data2Valid || unit.Value < -1) {
      return {ReadStatus::OutOfRange, code.Value};
    }
    table.Unit.push_back(unit.Value);
    table.Code.push_back(code.Value);
    table.Data1.push_back(data1.Value);
    table.Data2.push_back(data2.Value);
  }
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

ReadResult ReadDataFile(const std::string& fileName, RecordTable& table) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return {ReadStatus::CannotOpen, 0};
  struct stat info{};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
    return {ReadStatus::CannotOpen, 0};
  }

  std::string text;
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    text.reserve(static_cast<size_t>(info.st_size));
  }
  char chunk[1 << 16];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    text.append(chunk, got);
  }
  if (std::ferror(file.get())) return {ReadStatus::CannotRead, 0};
  file.reset();

  ApplyTextMode(text);
  return ParseRecords(text, table);
}

}  // namespace tarnek
