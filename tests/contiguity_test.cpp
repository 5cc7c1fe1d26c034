// Contiguity neighbours: hand-derived tilings (edges, corners, holes,
// islands, near misses within and beyond the snap distance), the exact
// distance test, the grid of cells against a plain comparison of every pair,
// and the North Carolina counties link for link against R spdep's poly2nb.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "geometry/contiguity.h"
#include "input/vector_layer.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

Ring Box4(double x0, double y0, double x1, double y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }
MultiPolygon Square(double x0, double y0, double x1, double y1) { return {Polygon{Box4(x0, y0, x1, y1), {}}}; }

bool Touch(const std::vector<MultiPolygon>& two, ContiguityKind kind, double snap = kDefaultSnap) {
  const NeighbourLists lists = ContiguityNeighbours(two, kind, snap);
  EXPECT_EQ(lists.Of(0).size(), lists.Of(1).size());  // symmetric
  return lists.Of(0).size() == 1;
}

}  // namespace

// Two regions, region 0 the unit square unless the case says otherwise.
// Distances at the snap itself: WithinSnapIsExact; other snaps than the
// default: CellsFindWhatEveryPairFinds.
TEST(Contiguity, PairsOfRegions) {
  const double s = kDefaultSnap;
  const MultiPolygon unit = Square(0, 0, 1, 1);
  // A U open to the top: [0,3] x [0,2] without (1,2) x (1,2], as one ring.
  const MultiPolygon u = {Polygon{{{0, 0}, {3, 0}, {3, 2}, {2, 2}, {2, 1}, {1, 1}, {1, 2}, {0, 2}}, {}}};
  // A square with a hole [1,2] x [1,2].
  const MultiPolygon holed = {Polygon{Box4(0, 0, 3, 3), {Box4(1, 1, 2, 2)}}};
  struct Case {
    const char* what;
    std::vector<MultiPolygon> regions;
    bool queen, rook;
    double snap = kDefaultSnap;
  };
  const std::vector<Case> cases = {
      {"an edge", {unit, Square(1, 0, 2, 1)}, true, true},
      {"one corner", {unit, Square(1, 1, 2, 2)}, true, false},
      // poly2nb on sf objects counts the closing copy of a later ring's first
      // vertex and makes this a rook contact (tests/check/poly2nb_check.R).
      {"one corner, first vertex of a second part",
       {unit, {Polygon{Box4(5, 5, 6, 6), {}}, Polygon{Box4(1, 1, 2, 2), {}}}}, true, false},
      // poly2nb counts both copies here, on sf and sp objects alike (R 4.2.2,
      // spdep 1.2.7, sf 1.0.9, sp 1.6.0: card() 1 1 for queen = FALSE).
      {"one corner, doubled in its ring", {unit, {Polygon{{{1, 1}, {1, 1}, {2, 1}, {2, 2}, {1, 2}}, {}}}}, true, false},
      {"two corners and no edge", {u, {Polygon{{{1, 1}, {2, 1}, {2, 2}, {1.5, 3}, {1, 2}}, {}}}}, true, true},
      {"a corner on an edge without a vertex there", {Square(0, 0, 2, 1), Square(1, 1, 3, 2)}, false, false},
      {"near miss within the snap", {unit, Square(1 + 0.5 * s, 0, 2, 1)}, true, true},
      {"near miss beyond the snap", {unit, Square(1 + 2 * s, 0, 2, 1)}, false, false},
      // Each vertex 0.8 snap away in x and in y: 1.13 snap in all.
      {"within the snap in x and y, beyond it in all", {unit, Square(1 + 0.8 * s, 0.8 * s, 2, 1 + 0.8 * s)}, false, false},
      {"no snap: only equal vertices", {unit, Square(1, 0, 2, 1)}, true, true, 0.0},
      {"no snap, a gap of one ulp", {unit, Square(std::nextafter(1.0, 2.0), 0, 2, 1)}, false, false, 0.0},
      {"an island in the hole", {holed, Square(1.2, 1.2, 1.8, 1.8)}, false, false},
      {"an island that fills the hole", {holed, Square(1, 1, 2, 2)}, true, true},
      {"an empty shape", {unit, {}}, false, false},
      {"large coordinates (UTM)", {Square(500000, 4000000, 501000, 4001000), Square(501000, 4000000, 502000, 4001000)},
       true, true},
      {"coordinates near the double limit", {Square(-1e300, 0, 0, 1), Square(0, 0, 1e300, 1)}, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Touch(c.regions, ContiguityKind::Queen, c.snap), c.queen) << c.what;
    EXPECT_EQ(Touch(c.regions, ContiguityKind::Rook, c.snap), c.rook) << c.what;
  }
}

TEST(Contiguity, WithinSnapIsExact) {
  struct Case {
    Point p, q;
    double snap;
    bool within;
  };
  const double third = 1.0 / 3.0;
  const std::vector<Case> cases = {
      {{0, 0}, {3, 4}, 5, true},
      {{0, 0}, {3, std::nextafter(4.0, 5.0)}, 5, false},
      // (3 + 2^-51)^2 + (4 - 2^-51)^2 = 25 - 2^-51 * 2 + 2^-101: just below.
      {{0, 0}, {std::nextafter(3.0, 4.0), std::nextafter(4.0, 3.0)}, 5, true},
      {{1, 1}, {1, 1}, 0, true},
      {{1, 1}, {1, std::nextafter(1.0, 2.0)}, 0, false},
      {{0, 0}, {third, third}, third * std::sqrt(2.0) * (1 + 1e-15), true},
      {{0, 0}, {third, third}, third * std::sqrt(2.0) * (1 - 1e-15), false},
      // Far from 1, where the squares would underflow or overflow unscaled.
      {{0, 0}, {std::ldexp(3, -1060), std::ldexp(4, -1060)}, std::ldexp(5, -1060), true},
      {{0, 0}, {std::ldexp(3, 1000), std::ldexp(4, 1000)}, std::ldexp(5, 1000), true},
      {{0, 0}, {std::ldexp(3, 1000), std::nextafter(std::ldexp(4, 1000), 1e308)}, std::ldexp(5, 1000), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WithinSnap(c.p, c.q, c.snap), c.within) << c.q.X << " " << c.q.Y << " snap " << c.snap;
  }
}

TEST(Contiguity, SnapsThatAreNoDistanceOrBringCrowdsTogether) {
  const std::vector<MultiPolygon> one = {Square(0, 0, 1, 1)};
  for (const double snap : {-1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(ContiguityNeighbours(one, ContiguityKind::Queen, snap), std::invalid_argument);
  }
  // 500 squares in a row and a snap that spans them all: every pair of the
  // 2000 vertices is compared, 1,999,000 (below the least limit, 2^24), and
  // the contacts, kept two a pair of regions as they grow, make every region
  // the others' neighbour.
  std::vector<MultiPolygon> row;
  for (int k = 0; k < 500; ++k) row.push_back(Square(2 * k, 0, 2 * k + 1, 1));
  const Contiguity all = FindContiguity(row, ContiguityKind::Rook, 1e4);
  ASSERT_EQ(all.Status, ContiguityStatus::Ok);
  EXPECT_EQ(std::tie(all.Vertices, all.Comparisons), std::tuple(2000u, 1999000u));
  for (size_t i = 0; i < 500; ++i) ASSERT_EQ(all.Lists.Of(i).size(), 499u) << i;
  // Beyond the limit the snap is refused: the end-to-end refusals (6400
  // vertices, 20,476,800 pairs).
  EXPECT_EQ(FindContiguity(row, ContiguityKind::Queen, kDefaultSnap).Comparisons, 0u);  // no two vertices a cell
}

// A jittered grid whose regions each move every vertex by their own offset
// of up to 1.5 snap (so that some shared vertices meet within the snap and
// some do not), on coordinates that put many vertices next to the borders
// of the cells: the lists equal those of a plain test of every pair of
// regions and every pair of their distinct vertices.
TEST(Contiguity, CellsFindWhatEveryPairFinds) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (const double snap : {kDefaultSnap, 0.01, 0.25}) {
    const int n = 14;
    std::vector<MultiPolygon> regions;
    for (int row = 0; row < n; ++row) {
      for (int column = 0; column < n; ++column) {
        Ring ring;
        // Corners on multiples of 4 snap: cells are 2 snap wide, so every
        // corner lies on a cell border before it moves.
        for (const auto& [cx, cy] : {std::pair{column, row}, {column + 1, row}, {column + 1, row + 1}, {column, row + 1}}) {
          ring.push_back({(4.0 * cx + 0.75 * unit(random)) * snap, (4.0 * cy + 0.75 * unit(random)) * snap});
        }
        regions.push_back({Polygon{ring, {}}});
      }
    }
    for (const ContiguityKind kind : {ContiguityKind::Queen, ContiguityKind::Rook}) {
      std::vector<std::vector<uint32_t>> expected(regions.size());
      for (size_t a = 0; a < regions.size(); ++a) {
        for (size_t b = 0; b < regions.size(); ++b) {
          if (a == b) continue;
          int contacts = 0;
          for (const Point& p : regions[a][0].Outer) {
            for (const Point& q : regions[b][0].Outer) contacts += WithinSnap(p, q, snap);
          }
          if (contacts >= (kind == ContiguityKind::Queen ? 1 : 2)) expected[a].push_back(static_cast<uint32_t>(b));
        }
      }
      const auto found = testdata::RowsOf(ContiguityNeighbours(regions, kind, snap));
      EXPECT_EQ(found, expected) << "snap " << snap;
      size_t links = 0;
      for (const auto& list : found) links += list.size();
      EXPECT_GT(links, 0u);
    }
  }
}

// The North Carolina counties (tests/data/nc_sids) against the lists that R
// spdep 1.2.7's poly2nb printed for them (tests/check/poly2nb_check.R wrote
// tests/data/nc_sids/poly2nb-queen.txt and poly2nb-rook.txt; their comment
// lines name the versions and the call): 490 queen links, 462 rook links.
TEST(Contiguity, NorthCarolinaAsPoly2nb) {
  const std::string dir = TARNEK_SOURCE_DIR "/tests/data/nc_sids/";
  VectorLayer layer;
  VectorReadOptions options;
  options.KeyField = "FIPS";
  ASSERT_EQ(ReadVectorLayer(dir + "sids.shp", options, layer).Status, VectorStatus::Ok);
  const TextColumn& fips = layer.Fields[layer.Key].Values;
  for (const auto& [kind, file, links] : {std::tuple{ContiguityKind::Queen, "poly2nb-queen.txt", 490u},
                                          std::tuple{ContiguityKind::Rook, "poly2nb-rook.txt", 462u}}) {
    const NeighbourLists lists = ContiguityNeighbours(layer.Shapes, kind);
    EXPECT_EQ(lists.Rows.size(), links) << file;
    std::string ours;  // in poly2nb's listing: "37009: 37005 37189 37193"
    for (size_t region = 0; region < lists.Regions(); ++region) {
      ours.append(fips.At(region)).append(":");
      for (const uint32_t n : lists.Of(region)) ours.append(" ").append(fips.At(n));
      ours += '\n';
    }
    std::ifstream in(dir + file);
    std::string theirs;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#') theirs += line + '\n';
    }
    EXPECT_EQ(ours, theirs) << file;
  }
}
