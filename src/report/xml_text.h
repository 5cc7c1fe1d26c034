// Text for XML outputs: any bytes (a file name, an identifier) made into
// characters that XML allows, and escaped for element content and
// attribute values alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnek {

// The bytes as well-formed UTF-8 of characters that XML 1.0 allows: every
// byte that does not begin a valid sequence (a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a sequence cut
// short), every control character but tab, line feed and carriage return,
// and U+FFFE and U+FFFF become U+FFFD, one for each such byte or character.
std::string ValidXmlCharacters(std::string_view bytes);

// Characters of well-formed UTF-8 text (as ValidXmlCharacters gives it).
size_t CountCharacters(std::string_view utf8);

// A file's name as an image shows it: valid characters (ValidXmlCharacters),
// and at most `characters` of them: a longer one by its end, where the
// file's own name is, after "..." (one character, U+2026).
std::string ShownFileName(std::string_view name, size_t characters = 100);

// Appends the text with & < > " ' written as entities. `text` must already
// hold only characters that XML allows (ValidXmlCharacters).
void AppendXmlEscaped(std::string& out, std::string_view text);

// Appends an SVG text element and a line feed: <text x="X" y="Y"EXTRA>TEXT</text>,
// the coordinates as given (each image has its own number format), `extra`
// further attributes with their leading blanks, `content` escaped as above.
void AppendSvgText(std::string& svg, std::string_view x, std::string_view y, std::string_view extra,
                   std::string_view content);

}  // namespace tarnek
