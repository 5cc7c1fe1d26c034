// Splitting and joining paths by walking them backwards, one character at a
// time, from the last character to the start.
#include "report/log_name.h"

namespace tarnek {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A colon is a drive's colon only as the path's second character.
bool IsDriveColon(const std::string& path, long i) { return i == 1 && path[1] == ':'; }

}  // namespace

PathParts SplitPath(const std::string& path) {
  PathParts parts;
  bool nameTaken = false;
  bool extensionTaken = false;
  // The work string is path[0, end): each cut moves what lies after it into a component.
  long end = static_cast<long>(path.size());

  // i == -1 stands for the start, one step before the first character.
  for (long i = end - 1;; --i) {
    if (i < 0 || IsDriveColon(path, i)) {
      std::string rest = path.substr(static_cast<size_t>(i + 1), static_cast<size_t>(end - (i + 1)));
      if (nameTaken) {
        parts.Directory = std::move(rest);
      } else {
        parts.Name = std::move(rest);
      }
      if (i >= 0) parts.Drive = path.substr(0, 2);
      break;
    }
    const char c = path[static_cast<size_t>(i)];
    if (c == '.' && !nameTaken) {
      if (i == end - 1) {
        // A "." or ".." component: the full stop (with one more before it)
        // stands right after the start, a separator or the drive's colon.
        long before = i - 1;
        if (before >= 0 && path[static_cast<size_t>(before)] == '.') --before;
        if (before < 0 || IsSeparator(path[static_cast<size_t>(before)]) || IsDriveColon(path, before)) {
          nameTaken = true;
          continue;
        }
      }
      if (!extensionTaken) {
        parts.Extension = path.substr(static_cast<size_t>(i), static_cast<size_t>(end - i));
        end = i;
        extensionTaken = true;
      }
    } else if (IsSeparator(c) && !nameTaken) {
      parts.Name = path.substr(static_cast<size_t>(i + 1), static_cast<size_t>(end - (i + 1)));
      end = i + 1;
      nameTaken = true;
    }
  }
  return parts;
}

std::string MergePath(const PathParts& parts) {
  std::string path;
  if (!parts.Drive.empty()) {
    path += parts.Drive[0];
    path += ':';
  }
  if (!parts.Directory.empty()) {
    path += parts.Directory;
    if (!IsSeparator(parts.Directory.back())) path += '\\';
  }
  path += parts.Name;
  if (!parts.Extension.empty()) {
    if (parts.Extension[0] != '.') path += '.';
    path += parts.Extension;
  }
  return path;
}

std::string DeriveLogFileName(const std::string& outFileName) {
  PathParts parts = SplitPath(outFileName);
  parts.Extension = "log";
  return MergePath(parts);
}

}  // namespace tarnek
