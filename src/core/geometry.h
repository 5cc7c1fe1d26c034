// The shapes of the regions: what the vector-layer reader produces and what
// contiguity and the map read.
//
// Coordinates are the layer's own (longitude/latitude in degrees for a
// geographic CRS, metres or feet for a projected one), every one finite. A
// ring lists its vertices once each, without repeating the first at the end;
// it is closed implicitly. The vector-layer reader turns outer rings
// counter-clockwise and holes clockwise, keeping each ring's first vertex;
// nothing here depends on either. A polygon is its outer
// ring and its holes; a region's shape is the polygons of its feature (one
// for a plain polygon, several for a multipolygon), in the file's order.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnek {

struct Point {
  double X = 0.0;  // easting or longitude
  double Y = 0.0;  // northing or latitude
  bool operator==(const Point&) const = default;
};

using Ring = std::vector<Point>;

struct Polygon {
  Ring Outer;
  std::vector<Ring> Holes;
};

using MultiPolygon = std::vector<Polygon>;

// The smallest axis-parallel rectangle around a set of points; empty (Min
// above Max) until a point is added.
struct Box {
  double MinX = 1.0, MinY = 1.0, MaxX = 0.0, MaxY = 0.0;

  bool Empty() const { return MinX > MaxX; }
  void Add(const Point& p) {
    if (Empty()) {
      MinX = MaxX = p.X;
      MinY = MaxY = p.Y;
      return;
    }
    if (p.X < MinX) MinX = p.X;
    if (p.X > MaxX) MaxX = p.X;
    if (p.Y < MinY) MinY = p.Y;
    if (p.Y > MaxY) MaxY = p.Y;
  }
  void Add(const Box& b) {
    if (b.Empty()) return;
    Add(Point{b.MinX, b.MinY});
    Add(Point{b.MaxX, b.MaxY});
  }
};

inline Box BoxOf(const Ring& ring) {
  Box box;
  for (const Point& p : ring) box.Add(p);
  return box;
}

inline Box BoxOf(const MultiPolygon& shape) {
  Box box;
  for (const Polygon& polygon : shape) {
    box.Add(BoxOf(polygon.Outer));
    for (const Ring& hole : polygon.Holes) box.Add(BoxOf(hole));
  }
  return box;
}

// Vertices of all rings of the shape.
inline size_t VertexCount(const MultiPolygon& shape) {
  size_t n = 0;
  for (const Polygon& polygon : shape) {
    n += polygon.Outer.size();
    for (const Ring& hole : polygon.Holes) n += hole.size();
  }
  return n;
}

}  // namespace tarnek
