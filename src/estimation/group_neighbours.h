// The neighbour lists of one group: a table's lists restricted to the
// group's members, so that the local priors and Moran's I of a group see
// only its own regions.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/neighbours.h"

namespace tarnek {

inline constexpr uint32_t kNotMember = std::numeric_limits<uint32_t>::max();

// Every row's place in its group, for RestrictNeighbours: the groups are
// rows[start[g]] .. rows[start[g + 1] - 1], and position[rows[start[g] + k]]
// is k; a row of no group (of the `regions` rows) has kNotMember.
// Preconditions: the groups are disjoint, their rows below `regions`, each
// of fewer than 2^32 - 1 members.
std::vector<uint32_t> MemberPositions(size_t regions, std::span<const uint32_t> rows, std::span<const size_t> start);

// The lists of the group whose k-th member is row members[k] of `all`:
// member k's neighbours are those of its row that are members too, as
// member indices in ascending order (so the lists of a group whose members
// are in input order are in input order too, however the source ordered
// them); neighbours outside the group are left out (a region whose
// neighbours all lie in other groups is an island of its group).
// `position` gives each member's place, position[members[k]] = k (as
// MemberPositions gives it); a row j outside the group is told apart by
// members[position[j]] != j, whatever its entry. It is only read, so one
// table serves every group at once, on any number of threads.
NeighbourLists RestrictNeighbours(const NeighbourLists& all, std::span<const uint32_t> members,
                                  std::span<const uint32_t> position);

}  // namespace tarnek
