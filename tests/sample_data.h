// Test data and checks shared by the test files: the bundled sample's counts,
// and closeness to an independent value.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/neighbours.h"

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

// |got - want| <= tolerance * |want|; a NaN `want` (a value that must not
// exist) asks for a NaN.
inline ::testing::AssertionResult Near(double got, long double want, double tolerance) {
  const long double error = std::fabs(got - want);
  if (std::isnan(want) ? std::isnan(got) : error <= tolerance * std::fabs(want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got << " vs " << static_cast<double>(want) << ", relative error "
                                       << static_cast<double>(error / std::fabs(want));
}

// Neighbour lists written out, one vector of neighbour rows per region.
inline NeighbourLists ListsOf(const std::vector<std::vector<uint32_t>>& rows) {
  NeighbourLists lists;
  for (const auto& row : rows) {
    lists.Rows.insert(lists.Rows.end(), row.begin(), row.end());
    lists.Start.push_back(lists.Rows.size());
  }
  return lists;
}

}  // namespace tarnek::testdata
