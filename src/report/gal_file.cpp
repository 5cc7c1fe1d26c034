// GAL text: the header, then two lines per region.
#include "report/gal_file.h"

#include "report/number_format.h"

namespace tarnek {

namespace {

bool IsGalSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void AppendLabel(std::string& out, std::string_view label) {
  if (label.empty()) {
    out += '-';
    return;
  }
  for (const char c : label) out += IsGalSpace(c) ? '_' : c;
}

}  // namespace

GalResult FormatGal(const NeighbourLists& lists, const TextColumn& codes, std::string_view layer,
                    std::string_view key, std::string& out) {
  const size_t n = lists.Regions();
  for (size_t row = 0; row < n; ++row) {
    const std::string_view code = codes.At(row);
    bool bad = code.empty();
    for (const char c : code) bad = bad || IsGalSpace(c);
    if (bad) return {false, row};
  }
  out += "0 ";
  AppendInteger(out, static_cast<int64_t>(n));
  out += ' ';
  AppendLabel(out, layer);
  out += ' ';
  AppendLabel(out, key);
  out += "\r\n";
  for (size_t row = 0; row < n; ++row) {
    const auto neighbours = lists.Of(row);
    out += codes.At(row);
    out += ' ';
    AppendInteger(out, static_cast<int64_t>(neighbours.size()));
    out += "\r\n";
    for (size_t i = 0; i < neighbours.size(); ++i) {
      if (i > 0) out += ' ';
      out += codes.At(neighbours[i]);
    }
    out += "\r\n";
  }
  return {};
}

}  // namespace tarnek
