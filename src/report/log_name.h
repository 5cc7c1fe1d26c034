// The log file's name: the output file's name with its extension replaced by
// ".log" (or ".log" added when it has none).
//
// Paths are split as on the command line's home platform: the backslash and
// the forward slash both separate directories, and a colon as the second
// character ends a drive. Every byte is a character of its own. The whole
// path takes part, however long it is.
#pragma once

#include <string>

namespace tarnek {

struct PathParts {
  std::string Drive;      // empty, or the first character and the colon
  std::string Directory;  // ends with a separator, or with a "." or ".." component
  std::string Name;
  std::string Extension;  // empty, or the last full stop of the final component and what follows
};

// Splits a path into drive, directory, name and extension. Dots in directory
// names never start an extension; a final "." or ".." component belongs to
// the directory.
PathParts SplitPath(const std::string& path);

// Joins the parts: drive letter and colon, the directory (with a backslash
// added unless it ends with a separator), the name, and the extension (with
// a full stop added unless it begins with one).
std::string MergePath(const PathParts& parts);

// SplitPath, then MergePath with the extension "log".
std::string DeriveLogFileName(const std::string& outFileName);

}  // namespace tarnek
