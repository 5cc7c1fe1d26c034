// A group's neighbour lists: members renumbered, in their order whatever the
// order of the source's lists, and the rows of other groups left out however
// their positions read.
#include <gtest/gtest.h>

#include <vector>

#include "estimation/group_neighbours.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

using Lists = std::vector<std::vector<uint32_t>>;

Lists Rows(const NeighbourLists& lists) {
  Lists rows;
  for (size_t i = 0; i < lists.Regions(); ++i) rows.emplace_back(lists.Of(i).begin(), lists.Of(i).end());
  return rows;
}

TEST(GroupNeighbours, MembersAmongThemselves) {
  // Rows 0..6 in the groups {4, 1, 3} and {0, 2, 5}; row 6 in none. Row 0
  // is member 0 of its group as row 4 is of the other: that position does
  // not make it a member there.
  const NeighbourLists all = testdata::ListsOf({{5, 2, 4, 1}, {4, 3, 0}, {}, {1, 2}, {3, 1}, {0}, {0}});
  const std::vector<uint32_t> rows = {4, 1, 3, 0, 2, 5};
  const std::vector<uint32_t> position = MemberPositions(7, rows, std::vector<size_t>{0, 3, 6});
  EXPECT_EQ(position, (std::vector<uint32_t>{0, 1, 1, 2, 0, 2, kNotMember}));
  const std::span<const uint32_t> first(rows.data(), 3), second(rows.data() + 3, 3);
  EXPECT_EQ(Rows(RestrictNeighbours(all, first, position)), (Lists{{1, 2}, {0, 2}, {1}}));
  EXPECT_EQ(Rows(RestrictNeighbours(all, second, position)), (Lists{{1, 2}, {}, {0}}));
  EXPECT_EQ(RestrictNeighbours(all, {}, position).Regions(), 0u);
}

}  // namespace
