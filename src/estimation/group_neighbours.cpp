// A group's neighbour lists: the lists of its members' rows, each neighbour
// kept where the positions say it is a member, then put in order.
#include "estimation/group_neighbours.h"

#include <algorithm>  // std::sort, std::is_sorted

namespace tarnek {

std::vector<uint32_t> MemberPositions(size_t regions, std::span<const uint32_t> rows, std::span<const size_t> start) {
  std::vector<uint32_t> position(regions, kNotMember);
  for (size_t g = 0; g + 1 < start.size(); ++g) {
    for (size_t k = start[g]; k < start[g + 1]; ++k) position[rows[k]] = static_cast<uint32_t>(k - start[g]);
  }
  return position;
}

NeighbourLists RestrictNeighbours(const NeighbourLists& all, std::span<const uint32_t> members,
                                  std::span<const uint32_t> position) {
  NeighbourLists lists;
  lists.Start.reserve(members.size() + 1);
  for (const uint32_t row : members) {
    const size_t first = lists.Rows.size();
    for (const uint32_t neighbour : all.Of(row)) {
      const uint32_t k = position[neighbour];
      if (k < members.size() && members[k] == neighbour) lists.Rows.push_back(k);
    }
    const auto list = lists.Rows.begin() + static_cast<std::ptrdiff_t>(first);
    if (!std::is_sorted(list, lists.Rows.end())) std::sort(list, lists.Rows.end());
    lists.Start.push_back(lists.Rows.size());
  }
  return lists;
}

}  // namespace tarnek
