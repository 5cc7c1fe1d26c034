// Text for XML: every byte sequence becomes characters that XML allows, and
// the five special characters become entities. (The text elements of the
// plot and the map: their tests and golden images.)
#include <gtest/gtest.h>

#include <string>

#include "report/xml_text.h"

using namespace tarnek;

TEST(XmlTextTest, ValidCharactersAndEscapes) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    const char* note;
    std::string bytes, escaped;
    size_t characters;
  } rows[] = {
      {"the five specials", "a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;", 8},
      {"tab, LF and CR stay; other C0 controls, NUL too, are replaced", std::string("\t\n\r\x01\x1F", 5) + '\0', "\t\n\r" + r + r + r, 6},
      {"two-, three- and four-byte characters stay", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 3},
      {"a stray continuation byte and a lone lead byte", "\x80x\xC3", r + "x" + r, 3},
      {"overlong forms: each byte replaced", "\xC0\xAF\xE0\x80\xAF", r + r + r + r + r, 5},
      {"a surrogate (ED A0 80)", "\xED\xA0\x80", r + r + r, 3},
      {"above U+10FFFF (F4 90 80 80) and F5", "\xF4\x90\x80\x80\xF5", r + r + r + r + r, 5},
      {"U+FFFE and U+FFFF are no XML characters", "\xEF\xBF\xBE\xEF\xBF\xBF", r + r, 2},
      {"a sequence cut short by the end", "ab\xE2\x82", "ab" + r + r, 4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    const std::string valid = ValidXmlCharacters(row.bytes);
    std::string escaped;
    AppendXmlEscaped(escaped, valid);
    EXPECT_EQ(escaped, row.escaped);
    EXPECT_EQ(CountCharacters(valid), row.characters);
  }
}

TEST(XmlTextTest, ShownFileNames) {
  // Valid characters, a name of more than 100 characters by "..." and its last 99.
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(ShownFileName("bad\xFF\x01]]>\xC3"), "bad" + r + r + "]]>" + r);
  EXPECT_EQ(ShownFileName(std::string(150, 'd') + "/\xC3\xA9.txt"), "\xE2\x80\xA6" + std::string(93, 'd') + "/\xC3\xA9.txt");
  EXPECT_EQ(ShownFileName(std::string(100, 'd')), std::string(100, 'd'));
}
