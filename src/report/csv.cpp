// CSV fields. A double's shortest round-trip form has at most 24 characters
// ("-2.2250738585072014e-308").
#include "report/csv.h"

#include <charconv>  // std::to_chars
#include <cmath>     // std::isfinite

#include "core/fit_settings.h"  // NoEstimate

namespace tarnek {

void AppendCsvText(std::string& out, std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void AppendCsvNumber(std::string& out, double value) {
  if (!std::isfinite(value)) return;
  char buf[32];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void AppendCsvEstimate(std::string& out, double value) {
  if (value != NoEstimate) AppendCsvNumber(out, value);
}

}  // namespace tarnek
