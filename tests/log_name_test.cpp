// The log file name: splitting the output name into drive, directory, name
// and extension, and joining them again with the extension "log".
#include "report/log_name.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnek {
namespace {

struct NameCase {
  const char* note;
  std::string path, drive, directory, name, extension, logName;
};

TEST(LogNameTest, SplitAndDeriveTable) {
  const std::string longDir = std::string(150, 'd') + "\\";
  const std::string longName(300, 'n');
  const NameCase cases[] = {
      // The fifteen worked examples.
      {"plain name", "output.txt", "", "", "output", ".txt", "output.log"},
      {"no extension: .log added", "output", "", "", "output", "", "output.log"},
      {"only the last dot starts the extension", "result.2004.txt", "", "", "result.2004", ".txt",
       "result.2004.log"},
      {"trailing dot is the extension", "out.", "", "", "out", ".", "out.log"},
      {"drive and directory", R"(c:\work\out.txt)", "c:", R"(\work\)", "out", ".txt", R"(c:\work\out.log)"},
      {"dot-dot directory", R"(..\res\out.dat)", "", R"(..\res\)", "out", ".dat", R"(..\res\out.log)"},
      {"dot in a directory name", R"(dir.old\out)", "", R"(dir.old\)", "out", "", R"(dir.old\out.log)"},
      {"forward slashes", "a/b/out.txt", "", "a/b/", "out", ".txt", "a/b/out.log"},
      {"drive without directory", "C:out.txt", "C:", "", "out", ".txt", "C:out.log"},
      {"leading dot is the extension", ".profile", "", "", "", ".profile", ".log"},
      {"double dot inside the name", "a..b", "", "", "a.", ".b", "a..log"},
      {"directory only", R"(dir\)", "", R"(dir\)", "", "", R"(dir\.log)"},
      {"a lone dot is a directory", ".", "", ".", "", "", R"(.\.log)"},
      {"final dot-dot component", R"(dir\..)", "", R"(dir\..)", "", "", R"(dir\..\.log)"},
      {"already .log", "x.log", "", "", "x", ".log", "x.log"},
      // Further cases.
      {"leading blank stays in the name", " out.txt", "", "", " out", ".txt", " out.log"},
      {"blank inside the name", "my results.txt", "", "", "my results", ".txt", "my results.log"},
      {"dot in a slash directory", "a/b.c/out", "", "a/b.c/", "out", "", "a/b.c/out.log"},
      {"mixed separators", R"(a/b\c.d)", "", R"(a/b\)", "c", ".d", R"(a/b\c.log)"},
      {"slash directory only", "x.y/", "", "x.y/", "", "", "x.y/.log"},
      {"final dot after a slash", "dir/.", "", "dir/.", "", "", "dir/.\\.log"},
      {"three dots: extension then dot-dot", "...", "", "..", "", ".", "..\\.log"},
      {"drive alone", "C:", "C:", "", "", "", "C:.log"},
      {"dot-dot right after the drive", "C:..", "C:", "..", "", "", "C:..\\.log"},
      {"only the second character is a drive colon", "a:b:c.txt", "a:", "", "b:c", ".txt", "a:b:c.log"},
      {"a colon further on is ordinary", "ab:c.txt", "", "", "ab:c", ".txt", "ab:c.log"},
      {"wildcards and quotes are ordinary", "*?\"q\".txt", "", "", "*?\"q\"", ".txt", "*?\"q\".log"},
      {"every byte is a character: 0x5C after a lead byte separates", "\xE3\x81\\x.txt", "",
       "\xE3\x81\\", "x", ".txt", "\xE3\x81\\x.log"},
      {"empty path", "", "", "", "", "", ".log"},
      {"a path over 300 bytes keeps everything", longDir + longName + ".txt", "", longDir, longName,
       ".txt", longDir + longName + ".log"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.note);
    const PathParts parts = SplitPath(c.path);
    EXPECT_EQ(parts.Drive, c.drive);
    EXPECT_EQ(parts.Directory, c.directory);
    EXPECT_EQ(parts.Name, c.name);
    EXPECT_EQ(parts.Extension, c.extension);
    EXPECT_EQ(DeriveLogFileName(c.path), c.logName);
  }
}

TEST(LogNameTest, MergeTable) {
  const struct {
    PathParts parts;
    std::string path;
  } cases[] = {
      {{"c:", R"(\work\)", "out", ".txt"}, R"(c:\work\out.txt)"},
      {{"", "", "out", "log"}, "out.log"},          // full stop added
      {{"", "", "out", ".log"}, "out.log"},         // not doubled
      {{"", "dir", "out", ""}, R"(dir\out)"},       // backslash added
      {{"", "dir/", "out", ""}, "dir/out"},         // forward slash kept
      {{"d:", "", "", ""}, "d:"},
      {{"", "", "", ""}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MergePath(c.parts), c.path);
}

}  // namespace
}  // namespace tarnek
