// A text read from an input or given on the command line, as a console
// message shows it.
#pragma once

#include <string>
#include <string_view>

namespace tarnek {

// `text` with every byte below 0x20 and 0x7F as "?", so that a code or id
// read from a file cannot break the message's line or move the terminal.
inline std::string ShownText(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return shown;
}

}  // namespace tarnek
