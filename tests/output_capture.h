// What a writer puts into an OutputFile, read back: the file is made in a
// temporary directory, committed and read.
#pragma once

#include <cstdlib>  // mkdtemp
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "files/output_file.h"

namespace tarnek::testdata {

inline std::string Written(const std::function<void(OutputFile&)>& write) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnek-out-XXXXXX").string();
  const std::filesystem::path dir = mkdtemp(pattern.data());
  const std::string name = (dir / "out").string();
  std::string bytes;
  {
    OutputFile file;
    if (CreateOutput(file, name) == OutputStatus::Ok) {
      write(file);
      OutputFile* files[] = {&file};
      if (FinishOutputs(files, 1, false) == nullptr && CommitOutputs(files, 1) == nullptr) {
        std::ostringstream read;
        read << std::ifstream(name, std::ios::binary).rdbuf();
        bytes = read.str();
      }
    }
  }
  std::filesystem::remove_all(dir);
  return bytes;
}

}  // namespace tarnek::testdata
