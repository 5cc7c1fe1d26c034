// Test data shared by the test files: the bundled sample's counts.
#pragma once

#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tarnek::testdata {

using Counts = std::vector<int32_t>;
using Expected = std::vector<double>;

// Data1 and Data2 of examples/sample.txt: lip cancer in 56 districts of Scotland.
inline std::pair<Counts, Expected> Scotland() {
  std::pair<Counts, Expected> data;
  std::ifstream in(TARNEK_SOURCE_DIR "/examples/sample.txt");
  for (double u, c, y, e; in >> u >> c >> y >> e;) data.first.push_back(int32_t(y)), data.second.push_back(e);
  EXPECT_EQ(data.first.size(), 56u);
  return data;
}

}  // namespace tarnek::testdata
