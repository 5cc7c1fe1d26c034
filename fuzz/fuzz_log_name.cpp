// Fuzz target: any bytes as the output file's path, for the log name.
//
// What holds for every path p, with parts = SplitPath(p):
//   1. Splitting only cuts: Drive + Directory + Name + Extension == p. Every
//      byte takes part and none is added, however long the path.
//   2. Drive is empty or two bytes ending in ':', and it is non-empty exactly
//      when the second byte of p is a colon.
//   3. Extension is empty or a full stop followed by bytes that are neither
//      full stops nor separators; Name holds no separator.
//   4. Directory is empty, ends with a separator, or ends with a "." or ".."
//      component (then Name is empty: the component belongs to the directory).
//   5. So MergePath(parts) == p exactly when Directory is empty or ends with
//      a separator; otherwise MergePath puts one backslash after the directory.
//   6. DeriveLogFileName(p) is Drive + Directory (+ that backslash) + Name +
//      ".log": it always ends with ".log", and deriving again from it gives it
//      back (the name part of a log name never looks like a "." component,
//      and its extension is ".log").
// When the input holds NUL bytes, its first four NUL-separated pieces are
// also merged as drive, directory, name and extension, and checked against
// the joining rules.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "report/log_name.h"
#include "fuzz_check.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The directory's last component (what follows its last separator).
std::string_view LastComponent(std::string_view dir) {
  size_t i = dir.size();
  while (i > 0 && !IsSeparator(dir[i - 1])) --i;
  return dir.substr(i);
}

void CheckPath(const std::string& p) {
  using namespace tarnek;
  const PathParts parts = SplitPath(p);

  CHECK(parts.Drive + parts.Directory + parts.Name + parts.Extension == p);

  CHECK(parts.Drive.empty() || (parts.Drive.size() == 2 && parts.Drive[1] == ':'));
  CHECK(parts.Drive.empty() == !(p.size() >= 2 && p[1] == ':'));

  if (!parts.Extension.empty()) {
    CHECK(parts.Extension[0] == '.');
    for (size_t i = 1; i < parts.Extension.size(); ++i) {
      CHECK(parts.Extension[i] != '.' && !IsSeparator(parts.Extension[i]));
    }
  }
  for (char c : parts.Name) CHECK(!IsSeparator(c));

  const bool dirEndsWithSeparator = !parts.Directory.empty() && IsSeparator(parts.Directory.back());
  if (!parts.Directory.empty() && !dirEndsWithSeparator) {
    const std::string_view component = LastComponent(parts.Directory);
    CHECK(component == "." || component == "..");
    CHECK(parts.Name.empty());
  }

  const std::string merged = MergePath(parts);
  if (parts.Directory.empty() || dirEndsWithSeparator) {
    CHECK(merged == p);
  } else {
    CHECK(merged == parts.Drive + parts.Directory + "\\" + parts.Name + parts.Extension);
  }

  const std::string log = DeriveLogFileName(p);
  CHECK(EndsWith(log, ".log"));
  const std::string joint = (parts.Directory.empty() || dirEndsWithSeparator) ? "" : "\\";
  CHECK(log == parts.Drive + parts.Directory + joint + parts.Name + ".log");
  CHECK(DeriveLogFileName(log) == log);
}

void CheckMerge(const std::vector<std::string>& pieces) {
  tarnek::PathParts parts;
  parts.Drive = pieces[0];
  parts.Directory = pieces[1];
  parts.Name = pieces[2];
  parts.Extension = pieces[3];
  std::string expected;
  if (!parts.Drive.empty()) expected += std::string(1, parts.Drive[0]) + ":";
  if (!parts.Directory.empty()) {
    expected += parts.Directory;
    if (!IsSeparator(parts.Directory.back())) expected += '\\';
  }
  expected += parts.Name;
  if (!parts.Extension.empty()) {
    if (parts.Extension[0] != '.') expected += '.';
    expected += parts.Extension;
  }
  CHECK(tarnek::MergePath(parts) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  CheckPath(path);

  if (path.find('\0') != std::string::npos) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (pieces.size() < 4) {
      const size_t nul = path.find('\0', start);
      if (nul == std::string::npos) {
        pieces.push_back(path.substr(start));
        break;
      }
      pieces.push_back(path.substr(start, nul - start));
      start = nul + 1;
    }
    pieces.resize(4);
    CheckMerge(pieces);
  }
  return 0;
}
