// Contiguity neighbours: which regions' boundaries touch, from their
// polygons, as R spdep's poly2nb decides it.
//
// The rule. Two regions are neighbours when their boundaries share points,
// a point of one being the same as a point of the other when the two lie
// within the snap distance `snap` of each other (Euclidean, in the data's
// own units: degrees for longitude/latitude, as poly2nb takes them):
//   - queen: at least one pair of vertices, one of each region, lies within
//     the snap distance;
//   - rook: at least two such pairs, so that the regions share more than a
//     single point (often an edge, but two shared vertices of any kind
//     suffice, as in poly2nb).
// Only vertices count, not points along an edge: a corner of one region in
// the middle of the other's edge makes no contact unless the other has a
// vertex there too, as in poly2nb (well-formed tilings have one).
// The default snap is poly2nb's, sqrt of the double epsilon = 2^-26
// (about 1.49e-8).
//
// Where it differs from poly2nb, and why. Each region's vertices count once
// each: a vertex that a region repeats (the closing vertex of a ring, a
// doubled vertex, a point where two of its rings meet) is one point, where
// poly2nb counts every copy. So a single shared corner never makes rook
// neighbours here, while poly2nb on an sf object makes it so when the corner
// is the first vertex of a ring other than the region's first (its closing
// copy is kept), or is doubled in the file: then its result depends on where
// a ring starts. poly2nb on sp objects drops every ring's closing vertex and
// agrees with this rule on files without doubled vertices. For longitude and
// latitude under sf's default spherical geometry (s2), poly2nb also takes
// as candidates only regions that intersect on the sphere; here every pair
// of regions is a candidate, as poly2nb does for planar data and for data
// without a CRS (such as the North Carolina shapefile).
//
// The distance test is exact: with dx and dy the differences of the two
// vertices' coordinates (rounded to doubles, as poly2nb's are), the vertices
// are within the snap distance when |dx| <= snap, |dy| <= snap and
// dx^2 + dy^2 <= snap^2, the last decided exactly (poly2nb rounds hypot(dx,
// dy) first, which can differ only for distances within an ulp of the snap).
// So the lists are the same on every machine.
//
// Speed: vertices are sorted into a grid of cells at least twice the snap
// wide, and only vertices in the same or adjacent cells are compared: about
// n log n for n vertices, whatever the number of regions. Every pair of
// regions that meet at one point is found, so a point shared by m regions
// costs m^2 comparisons. A snap near a region's size puts crowds of vertices
// in each cell, and the comparisons grow as the square of the crowd (a snap
// of 3000 on a grid of 100,000 regions 1000 units across: some 10^10
// comparisons, 48 s and 2.3 GB before the limit below). FindContiguity
// counts the comparisons before it makes them and refuses more than its
// caller allows; memory stays near 8 bytes per pair of regions within the
// snap (one or two entries per pair) above the vertices' 32 bytes each.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>

#include "core/geometry.h"
#include "core/neighbours.h"

namespace tarnek {

enum class ContiguityKind { Queen, Rook };

inline constexpr double kDefaultSnap = 1.4901161193847656e-08;  // 2^-26 = sqrt(2^-52)

enum class ContiguityStatus {
  Ok,
  TooCrowded,  // more comparisons than allowed: no lists
};

struct Contiguity {
  ContiguityStatus Status = ContiguityStatus::Ok;
  NeighbourLists Lists;      // when Ok
  uint64_t Vertices = 0;     // the regions' distinct vertices
  uint64_t Comparisons = 0;  // the pairs of them in the same or adjacent cells
};

// The neighbour lists of `regions` (list i for regions[i]), each list in
// ascending order; the lists are symmetric. A region with an empty shape has
// no neighbours. With `limited`, TooCrowded (with the counts) where the
// comparisons would exceed ComparisonLimit(Vertices). Preconditions: every coordinate is finite (as
// the vector-layer reader gives them); `snap` is a finite number >= 0, else
// std::invalid_argument is thrown. At most 2^32 - 1 regions.
Contiguity FindContiguity(std::span<const MultiPolygon> regions, ContiguityKind kind, double snap,
                          bool limited = true);

// The comparisons a run allows for `vertices` vertices: 64 a vertex, and at
// least 2^24. Tilings with the default snap make about one a vertex (a
// vertex meets its copies in the regions that share it); a snap small
// against the regions stays far below the limit.
inline constexpr uint64_t kComparisonsPerVertex = 64, kComparisonsAlways = uint64_t{1} << 24;
uint64_t ComparisonLimit(uint64_t vertices);

// The lists alone, without a limit.
NeighbourLists ContiguityNeighbours(std::span<const MultiPolygon> regions, ContiguityKind kind,
                                    double snap = kDefaultSnap);

// True when the vertices p and q lie within `snap` of each other, as above.
bool WithinSnap(const Point& p, const Point& q, double snap);

}  // namespace tarnek
