// A group's neighbour lists: members renumbered, neighbours in other groups
// left out, the positions storage left as it was found.
#include <gtest/gtest.h>

#include <vector>

#include "estimation/group_neighbours.h"

using namespace tarnek;

namespace {

std::vector<std::vector<uint32_t>> Rows(const NeighbourLists& lists) {
  std::vector<std::vector<uint32_t>> rows;
  for (size_t i = 0; i < lists.Regions(); ++i) rows.emplace_back(lists.Of(i).begin(), lists.Of(i).end());
  return rows;
}

TEST(GroupNeighbours, MembersAmongThemselves) {
  // Rows 0..4; the group is rows 4, 1, 3 in that order.
  NeighbourLists all;
  all.Rows = {1, 2, 4, 0, 3, 4, 1, 2, 3};
  all.Start = {0, 3, 6, 6, 8, 9};  // 0: 1 2 4; 1: 0 3 4; 2: -; 3: 1 2; 4: 3
  std::vector<uint32_t> position(5, kNotMember);
  const std::vector<uint32_t> members = {4, 1, 3};
  const NeighbourLists group = RestrictNeighbours(all, members, position);
  EXPECT_EQ(Rows(group), (std::vector<std::vector<uint32_t>>{{2}, {2, 0}, {1}}));
  EXPECT_EQ(position, std::vector<uint32_t>(5, kNotMember));
  // Row 2's only neighbours lie outside its group: it is an island there.
  const NeighbourLists alone = RestrictNeighbours(all, std::vector<uint32_t>{2, 4}, position);
  EXPECT_EQ(Rows(alone), (std::vector<std::vector<uint32_t>>{{}, {}}));
  EXPECT_EQ(RestrictNeighbours(all, {}, position).Regions(), 0u);
}

}  // namespace
