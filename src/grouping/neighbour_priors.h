// The local priors of the neighbourhood (estimation/local_prior.h): every
// region gets a prior of its own from itself and its neighbours within its
// group ("local", about the neighbourhood's mean, as GeoDa, PySAL's esda and
// spdep's EBlocal(geoda = TRUE); "local-own-means", about each neighbour's
// own mean, as spdep's EBlocal). Neighbours in another group are ignored: a
// region whose neighbours all lie elsewhere is an island of its group, and
// is estimated by its own ratio. The group table shows no single prior for
// such a group.
#pragma once

#include <vector>

#include "estimation/eb_moran.h"
#include "grouping/prior_set.h"

namespace tarnek {

void FillNeighbourhoodPriors(const MethodInput& input, PriorSet& out);
void FillOwnMeansPriors(const MethodInput& input, PriorSet& out);

// Every group's EB Moran's I (estimation/eb_moran.h) over its own lists,
// in the order of the groups; one group of all records has its permutations
// shared out over the pool instead. The same on any number of threads.
std::vector<EbMoranResult> GroupMoranTests(const RecordTable& table, const GroupMembers& members,
                                           const NeighbourLists& neighbours, WorkerPool& pool);

// Every record's count of neighbours within its group (0 for an island).
std::vector<uint32_t> NeighboursWithinGroups(const RecordTable& table, const GroupMembers& members,
                                             const NeighbourLists& neighbours, WorkerPool& pool);

}  // namespace tarnek
