// A group's neighbour lists: mark the members' positions, copy the lists
// that point at members, clear the marks.
#include "estimation/group_neighbours.h"

namespace tarnek {

NeighbourLists RestrictNeighbours(const NeighbourLists& all, std::span<const uint32_t> members,
                                  std::span<uint32_t> position) {
  for (size_t k = 0; k < members.size(); ++k) position[members[k]] = static_cast<uint32_t>(k);
  NeighbourLists lists;
  lists.Start.reserve(members.size() + 1);
  for (const uint32_t row : members) {
    for (const uint32_t neighbour : all.Of(row)) {
      if (position[neighbour] != kNotMember) lists.Rows.push_back(position[neighbour]);
    }
    lists.Start.push_back(lists.Rows.size());
  }
  for (const uint32_t row : members) position[row] = kNotMember;
  return lists;
}

}  // namespace tarnek
