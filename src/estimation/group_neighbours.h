// The neighbour lists of one group: a table's lists restricted to the
// group's members, so that the local priors and Moran's I of a group see
// only its own regions.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include "core/neighbours.h"

namespace tarnek {

inline constexpr uint32_t kNotMember = std::numeric_limits<uint32_t>::max();

// The lists of the group whose k-th member is row members[k] of `all`:
// member k's neighbours are those of its row that are members too, as
// member indices, in the order of its row's list; neighbours outside the
// group are left out (a region whose neighbours all lie in other groups is
// an island of its group). `position` is storage of all.Regions() entries,
// each kNotMember on entry, and so again on return. Preconditions: the
// members are distinct rows of `all`, fewer than 2^32 - 1.
NeighbourLists RestrictNeighbours(const NeighbourLists& all, std::span<const uint32_t> members,
                                  std::span<uint32_t> position);

}  // namespace tarnek
