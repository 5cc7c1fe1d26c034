// Fuzz target: any bytes as the contents of a data file.
//
// Checks, for every input:
//   1. text mode cuts the input at its first Ctrl-Z byte and keeps every byte
//      before it, carriage returns too;
//   2. the parse ends Ok, OutOfRange or NotARecord (the two others belong to
//      the file system), with the four input columns of equal length and
//      every stored record inside the value ranges (Data1 >= 0, Data2 finite
//      and > 0, Unit >= -1);
//   3. NotARecord names the Code of the last accepted record, 0 when none;
//   4. nothing after a Ctrl-Z byte changes the result, and neither does white
//      space appended at the end (a number also ends at the end of the text);
//   5. the result (status, code, every stored value bit for bit) equals that
//      of a reference scan written here from the record format alone, on the
//      raw input: the data end at the first Ctrl-Z, a carriage return is white
//      space wherever it stands, and strtod converts each plain decimal Data2;
//   6. so a carriage return reads like a blank: every CR made a blank, or
//      every CR LF pair made an LF, gives the same result;
//   7. on a small table of modest counts, the estimation of every group
//      leaves no NaN or infinity in any result, only numbers or NoEstimate,
//      the log shows none either, and every table line fits the room
//      promised for it.
#include <algorithm>  // std::replace
#include <cmath>      // std::isfinite
#include <cstdint>
#include <cstdio>     // std::fprintf
#include <cstdlib>    // std::strtod
#include <cstring>    // std::memcmp
#include <string>
#include <string_view>
#include <vector>

#include "core/fit_settings.h"
#include "core/record_table.h"
#include "estimation/estimator.h"
#include "grouping/grouping.h"
#include "input/data_reader.h"
#include "report/log_report.h"
#include "report/result_table.h"
#include "check_estimation.h"
#include "fuzz_check.h"
#include "reference_scan.h"

namespace {

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameResult(const tarnek::ReadResult& ra, const tarnek::RecordTable& a,
                const tarnek::ReadResult& rb, const tarnek::RecordTable& b) {
  if (ra.Status != rb.Status || ra.ErrorCode != rb.ErrorCode) return false;
  if (a.Unit != b.Unit || a.Code != b.Code || a.Data1 != b.Data1) return false;
  if (a.Data2.size() != b.Data2.size()) return false;
  for (size_t i = 0; i < a.Data2.size(); ++i) {
    if (!SameBits(a.Data2[i], b.Data2[i])) return false;
  }
  return true;
}

// ---- The reference scan (reference_scan.h) applied to records. ----

tarnek::ReadResult ReferenceParse(std::string_view input, tarnek::RecordTable& table) {
  using tarnek::ReadStatus;
  const std::string_view text = input.substr(0, input.find('\x1A'));  // the data end at a Ctrl-Z
  ReferenceScan scan{text};
  // A field of an integer column must fit 32 bits.
  const auto integer = [&scan](int32_t& value) {
    bool fits = false;
    return scan.Integer(value, fits) && fits;
  };
  for (;;) {
    scan.SkipSpace();
    if (scan.at == text.size()) return {};
    const int32_t previous = table.Code.empty() ? 0 : table.Code.back();
    int32_t unit = 0;
    int32_t code = 0;
    int32_t data1 = 0;
    double data2 = 0.0;
    if (!integer(unit) || !integer(code) || !integer(data1) || !scan.Real(data2)) {
      return {ReadStatus::NotARecord, previous};
    }
    if (data1 < 0 || !(data2 > 0.0 && std::isfinite(data2)) || unit < -1) {
      return {ReadStatus::OutOfRange, code};
    }
    table.Unit.push_back(unit);
    table.Code.push_back(code);
    table.Data1.push_back(data1);
    table.Data2.push_back(data2);
  }
}

tarnek::ReadResult Parse(std::string text, tarnek::RecordTable& table) {
  tarnek::ApplyTextMode(text);
  return tarnek::ParseRecords(text, table);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnek;
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::string text = input;
  ApplyTextMode(text);
  CHECK(text == input.substr(0, input.find('\x1A')));

  RecordTable table;
  const ReadResult result = ParseRecords(text, table);
  CHECK(result.Status == ReadStatus::Ok || result.Status == ReadStatus::OutOfRange ||
        result.Status == ReadStatus::NotARecord);
  const size_t n = table.Size();
  CHECK(table.Code.size() == n && table.Data1.size() == n && table.Data2.size() == n);
  for (size_t i = 0; i < n; ++i) {
    CHECK(table.Data1[i] >= 0);
    CHECK(table.Data2[i] > 0.0 && std::isfinite(table.Data2[i]));
    CHECK(table.Unit[i] >= -1);
  }
  if (result.Status == ReadStatus::NotARecord) {
    CHECK(result.ErrorCode == (n == 0 ? 0 : table.Code.back()));
  }

  {
    RecordTable reference;
    const ReadResult referenceResult = ReferenceParse(input, reference);
    CHECK(SameResult(result, table, referenceResult, reference));
  }
  if (text.find('\r') != std::string::npos) {
    std::string blanks = text, lineFeeds;
    std::replace(blanks.begin(), blanks.end(), '\r', ' ');
    for (size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lineFeeds += text[i];
    }
    for (const std::string& other : {blanks, lineFeeds}) {
      RecordTable otherTable;
      const ReadResult otherResult = ParseRecords(other, otherTable);
      CHECK(SameResult(result, table, otherResult, otherTable));
    }
  }

  // Read from a stream in small blocks, the raw input (CR and Ctrl-Z still
  // in it) gives the same records as the whole text: a record, a number or
  // a CR LF pair cut by a block boundary reads as if it were whole.
  if (size > 0) {
    std::FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    CHECK(stream != nullptr);
    RecordTable streamed;
    const ReadResult streamedResult = ReadDataStream(stream, streamed, 1 + data[0] % 13);
    std::fclose(stream);
    CHECK(SameResult(result, table, streamedResult, streamed));
  }

  // Whatever follows a Ctrl-Z is never read: junk that would not read, a
  // record that would, carriage returns, a NUL, and the input once more.
  {
    std::string tail = input;
    tail += '\x1A';
    tail += std::string_view("x 1 2 3 4.5\r\n-1 -1 -1 -1\0\x1A", 26);
    tail += input;
    std::string cut = tail;
    ApplyTextMode(cut);
    CHECK(cut == text);
    RecordTable other;
    const ReadResult otherResult = Parse(tail, other);
    CHECK(SameResult(result, table, otherResult, other));
  }
  // White space after the last field changes nothing.
  {
    RecordTable other;
    const ReadResult otherResult = ParseRecords(text + " \t\n\v\f", other);
    CHECK(SameResult(result, table, otherResult, other));
  }

  if (result.Status == ReadStatus::Ok && QuickToEstimate(table)) CheckEstimation(table);
  return 0;
}
