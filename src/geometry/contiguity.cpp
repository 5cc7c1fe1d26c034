// Contiguity by a grid of vertices: every region's distinct vertices sorted
// by cell, the pairs of vertices of different regions in the same or
// adjacent cells tested, the pairs of regions counted.
#include "geometry/contiguity.h"

#include <algorithm>  // std::sort, std::unique, std::max
#include <cmath>      // std::fabs, std::floor, std::ilogb, std::ldexp, std::isfinite
#include <cstdint>
#include <limits>
#include <vector>

namespace tarnek {

namespace {

// a * b = hi + lo exactly (Veltkamp's split and Dekker's product: + - *
// only, exact as long as nothing overflows or underflows; the build never
// contracts them into fused multiply-adds).
void TwoProduct(double a, double b, double& hi, double& lo) {
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  hi = a * b;
  double t = kSplit * a;
  const double ah = t - (t - a), al = a - ah;
  t = kSplit * b;
  const double bh = t - (t - b), bl = b - bh;
  lo = ((ah * bh - hi) + ah * bl + al * bh) + al * bl;
}

// a + b = sum + error exactly (Knuth's two-sum).
void TwoSum(double a, double b, double& sum, double& error) {
  sum = a + b;
  const double bv = sum - a, av = sum - bv;
  error = (a - av) + (b - bv);
}

}  // namespace

bool WithinSnap(const Point& p, const Point& q, double snap) {
  double dx = p.X - q.X, dy = p.Y - q.Y;
  if (std::fabs(dx) > snap || std::fabs(dy) > snap) return false;
  if (snap == 0.0) return true;  // dx = dy = 0
  // Scaled so that the snap lies in [1, 2): the squares below neither
  // overflow nor (but for differences below 2^-500 of the snap, too small
  // to change the outcome unless it is a tie) underflow.
  const int scale = -std::ilogb(snap);
  dx = std::ldexp(dx, scale);
  dy = std::ldexp(dy, scale);
  const double s = std::ldexp(snap, scale);
  // The sign of s^2 - dx^2 - dy^2 from an expansion of its six exact parts
  // (Shewchuk's grow-expansion: the components stay non-overlapping, in
  // increasing magnitude, so the largest non-zero one gives the sign).
  double parts[6];
  TwoProduct(s, s, parts[1], parts[0]);
  double terms[4];
  TwoProduct(dx, dx, terms[1], terms[0]);
  TwoProduct(dy, dy, terms[3], terms[2]);
  int size = 2;
  for (const double term : terms) {
    double carry = -term;
    for (int i = 0; i < size; ++i) TwoSum(carry, parts[i], carry, parts[i]);
    parts[size++] = carry;
  }
  for (int i = size - 1; i >= 0; --i) {
    if (parts[i] != 0.0) return parts[i] > 0.0;
  }
  return true;  // exactly at the snap distance
}

namespace {

struct Vertex {
  int64_t CellX, CellY;
  Point At;
  uint32_t Region;
};

bool CellBefore(const Vertex& a, int64_t x, int64_t y) { return a.CellX < x || (a.CellX == x && a.CellY < y); }

// The side of the grid's cells: at least twice the snap, so that two
// vertices within the snap lie in the same or adjacent cells even after the
// quotients are rounded, and at least 2^-50 of the largest coordinate, so
// that the quotients stay below 2^50 in magnitude and round by at most 1/8.
double CellSide(double snap, double largest) {
  return std::max({2.0 * snap, std::ldexp(largest, -50), std::numeric_limits<double>::min()});
}

// Keeps at most `needed` entries of each pair of regions, in ascending order:
// all that the count of contacts needs.
void Compact(std::vector<uint64_t>& contacts, size_t needed) {
  std::sort(contacts.begin(), contacts.end());
  size_t kept = 0;
  for (size_t i = 0; i < contacts.size();) {
    size_t j = i;
    while (j < contacts.size() && contacts[j] == contacts[i]) ++j;
    for (size_t k = 0; k < std::min(j - i, needed); ++k) contacts[kept++] = contacts[i];
    i = j;
  }
  contacts.resize(kept);
}

}  // namespace

uint64_t ComparisonLimit(uint64_t vertices) {
  return std::max(kComparisonsPerVertex * vertices, kComparisonsAlways);  // no overflow below 2^58 vertices
}

Contiguity FindContiguity(std::span<const MultiPolygon> regions, ContiguityKind kind, double snap, bool limited) {
  if (!(snap >= 0.0 && std::isfinite(snap))) throw std::invalid_argument("the snap distance must be a finite number >= 0");
  const size_t n = regions.size();
  Contiguity result;

  // Every region's vertices, each distinct point once.
  std::vector<Vertex> vertices;
  double largest = 0.0;
  for (size_t r = 0; r < n; ++r) {
    const auto add = [&](const Ring& ring) {
      for (const Point& p : ring) {
        vertices.push_back({0, 0, p, static_cast<uint32_t>(r)});
        largest = std::max({largest, std::fabs(p.X), std::fabs(p.Y)});
      }
    };
    for (const Polygon& polygon : regions[r]) {
      add(polygon.Outer);
      for (const Ring& hole : polygon.Holes) add(hole);
    }
  }
  const double side = CellSide(snap, largest);
  for (Vertex& v : vertices) {
    v.CellX = static_cast<int64_t>(std::floor(v.At.X / side));
    v.CellY = static_cast<int64_t>(std::floor(v.At.Y / side));
  }
  std::sort(vertices.begin(), vertices.end(), [](const Vertex& a, const Vertex& b) {
    if (a.CellX != b.CellX) return a.CellX < b.CellX;
    if (a.CellY != b.CellY) return a.CellY < b.CellY;
    if (a.Region != b.Region) return a.Region < b.Region;
    if (a.At.X != b.At.X) return a.At.X < b.At.X;
    return a.At.Y < b.At.Y;
  });
  vertices.erase(std::unique(vertices.begin(), vertices.end(),
                             [](const Vertex& a, const Vertex& b) { return a.Region == b.Region && a.At == b.At; }),
                 vertices.end());
  const size_t m = vertices.size();
  result.Vertices = m;

  // Calls visit(begin, end, j0, j1) for every cell [begin, end) and each
  // stretch [j0, j1) of vertices in the cells it is compared with: its own
  // (j0 = begin: the pairs within it), the cell above, the three to the right.
  const auto forEachCell = [&](const auto& visit) {
    size_t next = 0;  // the first vertex of a cell at or after (x + 1, y - 1): only moves forward
    for (size_t begin = 0; begin < m;) {
      const int64_t x = vertices[begin].CellX, y = vertices[begin].CellY;
      size_t end = begin;
      while (end < m && vertices[end].CellX == x && vertices[end].CellY == y) ++end;
      visit(begin, end, begin, end);
      size_t j = end;
      while (j < m && vertices[j].CellX == x && vertices[j].CellY == y + 1) ++j;
      visit(begin, end, end, j);
      if (x < std::numeric_limits<int64_t>::max()) {
        next = std::max(next, end);
        while (next < m && CellBefore(vertices[next], x + 1, y - 1)) ++next;
        j = next;
        while (j < m && vertices[j].CellX == x + 1 && vertices[j].CellY <= y + 1) ++j;
        visit(begin, end, next, j);
      }
      begin = end;
    }
  };

  // The cost first: a snap so large that cells hold crowds of vertices
  // makes the comparisons grow as the square of the crowd.
  forEachCell([&](size_t begin, size_t end, size_t j0, size_t j1) {
    const uint64_t here = end - begin;
    result.Comparisons += j0 == begin ? here * (here - 1) / 2 : here * (j1 - j0);
  });
  if (limited && result.Comparisons > ComparisonLimit(m)) {
    result.Status = ContiguityStatus::TooCrowded;
    return result;
  }

  // Pairs of regions, one entry per pair of their vertices within the snap
  // ((lower row << 32) | higher row), at most `needed` of each kept once
  // the entries grow many, so that memory follows the pairs of regions.
  const size_t needed = kind == ContiguityKind::Queen ? 1 : 2;
  std::vector<uint64_t> contacts;
  size_t compactAt = size_t{1} << 20;
  const auto test = [&](const Vertex& a, const Vertex& b) {
    if (a.Region == b.Region || !WithinSnap(a.At, b.At, snap)) return;
    const uint64_t low = std::min(a.Region, b.Region), high = std::max(a.Region, b.Region);
    contacts.push_back(low << 32 | high);
    if (contacts.size() >= compactAt) {
      Compact(contacts, needed);
      compactAt = std::max(compactAt, 2 * contacts.size());
    }
  };
  forEachCell([&](size_t begin, size_t end, size_t j0, size_t j1) {
    for (size_t i = begin; i < end; ++i) {
      for (size_t j = j0 == begin ? i + 1 : j0; j < j1; ++j) test(vertices[i], vertices[j]);
    }
  });

  // The pairs with enough contacts, in ascending order.
  Compact(contacts, needed);
  std::vector<uint64_t> pairs;
  for (size_t i = 0; i < contacts.size();) {
    size_t j = i;
    while (j < contacts.size() && contacts[j] == contacts[i]) ++j;
    if (j - i >= needed) pairs.push_back(contacts[i]);
    i = j;
  }

  // Both directions of every pair. A list takes first its lower rows (from
  // the pairs (low, it), in ascending order of low), then its higher ones
  // (from (it, high), ascending): it comes out sorted.
  NeighbourLists& lists = result.Lists;
  lists.Start.assign(n + 1, 0);
  for (const uint64_t pair : pairs) {
    ++lists.Start[(pair >> 32) + 1];
    ++lists.Start[(pair & 0xFFFFFFFFu) + 1];
  }
  for (size_t i = 0; i < n; ++i) lists.Start[i + 1] += lists.Start[i];
  lists.Rows.resize(lists.Start[n]);
  std::vector<size_t> fill(lists.Start.begin(), lists.Start.end() - 1);
  for (const uint64_t pair : pairs) {
    const uint32_t low = static_cast<uint32_t>(pair >> 32), high = static_cast<uint32_t>(pair & 0xFFFFFFFFu);
    lists.Rows[fill[low]++] = high;
    lists.Rows[fill[high]++] = low;
  }
  return result;
}

NeighbourLists ContiguityNeighbours(std::span<const MultiPolygon> regions, ContiguityKind kind, double snap) {
  return FindContiguity(regions, kind, snap, false).Lists;
}

}  // namespace tarnek
