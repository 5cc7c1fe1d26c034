// Test data and checks shared by the test files: the bundled sample's counts,
// closeness to an independent value, and text columns and neighbour lists
// written out and read back.
#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/neighbours.h"
#include "core/record_table.h"

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

// The rows of neighbour lists, one vector of neighbour rows per region.
inline std::vector<std::vector<uint32_t>> RowsOf(const NeighbourLists& lists) {
  std::vector<std::vector<uint32_t>> rows;
  for (size_t i = 0; i < lists.Regions(); ++i) rows.emplace_back(lists.Of(i).begin(), lists.Of(i).end());
  return rows;
}

// A text column of the given texts, and the texts of a column.
inline TextColumn ColumnOf(const std::vector<std::string>& texts) {
  TextColumn column;
  for (const std::string& text : texts) column.Append(text);
  return column;
}
inline std::vector<std::string> Texts(const TextColumn& column) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < column.Size(); ++i) texts.emplace_back(column.At(i));
  return texts;
}

}  // namespace tarnek::testdata
