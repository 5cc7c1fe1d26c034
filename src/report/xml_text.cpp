// UTF-8 checked byte by byte against the table of well-formed sequences
// (Unicode, chapter 3, table 3-7).
#include "report/xml_text.h"

#include <cstdint>

namespace tarnek {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed sequence at the start of `s`, or 0.
size_t SequenceLength(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Characters that XML 1.0 does not allow even as references.
bool Forbidden(std::string_view character) {
  if (character.size() == 1) {
    const char c = character[0];
    return static_cast<uint8_t>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r';
  }
  return character == "\xEF\xBF\xBE" || character == "\xEF\xBF\xBF";  // U+FFFE, U+FFFF
}

}  // namespace

std::string ValidXmlCharacters(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t length = SequenceLength(bytes);
    const std::string_view character = bytes.substr(0, length > 0 ? length : 1);
    if (length == 0 || Forbidden(character)) {
      out += kReplacement;
    } else {
      out += character;
    }
    bytes.remove_prefix(character.size());
  }
  return out;
}

size_t CountCharacters(std::string_view utf8) {
  size_t count = 0;
  for (const char c : utf8) count += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return count;
}

std::string ShownFileName(std::string_view fileName, size_t characters) {
  std::string name = ValidXmlCharacters(fileName);
  size_t excess = CountCharacters(name);
  if (excess <= characters) return name;
  excess -= characters - 1;
  size_t cut = 0;
  while (excess > 0) {  // skip whole characters
    ++cut;
    while (cut < name.size() && (static_cast<uint8_t>(name[cut]) & 0xC0) == 0x80) ++cut;
    --excess;
  }
  return "\xE2\x80\xA6" + name.substr(cut);
}

void AppendXmlEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
}

void AppendSvgText(std::string& svg, std::string_view x, std::string_view y, std::string_view extra,
                   std::string_view content) {
  svg += "<text x=\"";
  svg += x;
  svg += "\" y=\"";
  svg += y;
  svg += '"';
  svg += extra;
  svg += '>';
  AppendXmlEscaped(svg, content);
  svg += "</text>\n";
}

}  // namespace tarnek
