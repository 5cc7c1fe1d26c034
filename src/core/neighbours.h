// Which regions are neighbours of which: the lists that local smoothing and
// Moran's I read, whether they come from a neighbour file or from polygons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnek {

// One list per region, region i being row i of the table the lists were made
// for: its neighbours' rows are Rows[Start[i]] .. Rows[Start[i + 1] - 1], in
// the order their source gave them. No region is its own neighbour and none
// is listed twice in one list; a list may be empty (an island), and lists need
// not be symmetric (k-nearest neighbours are not).
struct NeighbourLists {
  std::vector<size_t> Start = {0};  // one more than there are regions
  std::vector<uint32_t> Rows;

  size_t Regions() const { return Start.size() - 1; }
  std::span<const uint32_t> Of(size_t region) const {
    return std::span<const uint32_t>(Rows).subspan(Start[region], Start[region + 1] - Start[region]);
  }
};

}  // namespace tarnek
