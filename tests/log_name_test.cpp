// The log file's name: every stated split of a path, and long paths uncut.
// (A path of directories with slashes, a name that ends in .log, and the
// empty name: the golden cases output_in_subdirectory, collide_log_is_out
// and empty_output_name.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "report/log_name.h"

using namespace tarnek;

TEST(LogNameTest, SplitAndDeriveTable) {
  const std::string dir = std::string(150, 'd') + "\\", name(300, 'n');
  const struct { std::string path, drive, directory, name, extension, log; } cases[] = {
      {"output.txt", "", "", "output", ".txt", "output.log"},
      {"output", "", "", "output", "", "output.log"},
      {"result.2004.txt", "", "", "result.2004", ".txt", "result.2004.log"},
      {"out.", "", "", "out", ".", "out.log"},
      {R"(c:\work\out.txt)", "c:", R"(\work\)", "out", ".txt", R"(c:\work\out.log)"},
      {R"(..\res\out.dat)", "", R"(..\res\)", "out", ".dat", R"(..\res\out.log)"},
      {R"(dir.old\out)", "", R"(dir.old\)", "out", "", R"(dir.old\out.log)"},
      {"C:out.txt", "C:", "", "out", ".txt", "C:out.log"},
      {".profile", "", "", "", ".profile", ".log"},
      {"a..b", "", "", "a.", ".b", "a..log"},
      {R"(dir\)", "", R"(dir\)", "", "", R"(dir\.log)"},
      {".", "", ".", "", "", R"(.\.log)"},
      {R"(dir\..)", "", R"(dir\..)", "", "", R"(dir\..\.log)"},
      {" out.txt", "", "", " out", ".txt", " out.log"},                  // a leading blank stays
      {"a/b.c/out", "", "a/b.c/", "out", "", "a/b.c/out.log"},           // a dot behind a forward slash
      {"dir/.", "", "dir/.", "", "", R"(dir/.\.log)"},                    // forward slashes are kept
      {dir + name + ".txt", "", dir, name, ".txt", dir + name + ".log"},  // over 300 bytes: no cut
  };
  for (const auto& c : cases) {
    const PathParts p = SplitPath(c.path);
    EXPECT_EQ(std::tuple(p.Drive, p.Directory, p.Name, p.Extension, DeriveLogFileName(c.path)),
              std::tie(c.drive, c.directory, c.name, c.extension, c.log)) << c.path;
  }
}
