// Reading back the map's SVG in tests: well-formed by xmllint, the panels'
// rectangles, the regions' paths (in the map's own path form) and groups of
// the full form, the legends' entries.
#pragma once

#include <gtest/gtest.h>

#include "svg_check.h"

#include <cstdlib>  // std::strtod, std::strtol
#include <cstring>  // std::strchr
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tarnek::map_svg {

inline bool WellFormed(const std::string& svg) { return testdata::WellFormedXml(svg); }
using testdata::Count;

// The value of an attribute of the element that starts at `at`.
inline std::string AttributeAt(const std::string& svg, size_t at, const std::string& name) {
  const size_t end = svg.find('>', at);
  const size_t a = svg.find(" " + name + "=\"", at);
  if (a == std::string::npos || a > end) return "";
  const size_t begin = a + name.size() + 3;
  return svg.substr(begin, svg.find('"', begin) - begin);
}

struct Rect {
  double X, Y, W, H;
  bool Holds(double x, double y) const { return x >= X && x <= X + W && y >= Y && y <= Y + H; }
};

inline Rect RectOf(const std::string& svg, const std::string& id) {
  const size_t at = svg.find("<rect id=\"" + id + "\"");
  if (at == std::string::npos) return {0, 0, -1, -1};
  const auto v = [&](const char* name) { return std::strtod(AttributeAt(svg, at, name).c_str(), nullptr); };
  return {v("x"), v("y"), v("width"), v("height")};
}

// The subpaths of a path in this map's form (M x y, then l and m with
// relative pairs, z), in pixels.
using Subpath = std::vector<std::pair<double, double>>;
inline std::vector<Subpath> Parse(const std::string& d) {
  std::vector<Subpath> out;
  char command = 0;
  long x = 0, y = 0, startX = 0, startY = 0;
  std::vector<long> pair;
  for (const char* p = d.c_str(); *p != '\0';) {
    if (std::strchr("Mmlz ", *p) != nullptr) {
      if (*p != 'z' && *p != ' ') command = *p;
      ++p;
      continue;
    }
    char* end = nullptr;
    pair.push_back(std::strtol(p, &end, 10));
    p = end;
    if (pair.size() < 2) continue;
    if (command == 'l') {
      x += pair[0];
      y += pair[1];
      out.back().emplace_back(x / 10.0, y / 10.0);
    } else {  // M, or m from the start of the last subpath: further pairs draw lines
      x = startX = (command == 'M' ? 0 : startX) + pair[0];
      y = startY = (command == 'M' ? 0 : startY) + pair[1];
      out.push_back({{x / 10.0, y / 10.0}});
      command = 'l';
    }
    pair.clear();
  }
  return out;
}

struct DrawnRegion {
  std::string Title;
  std::string D[2], Fill[2];
};

// The regions' groups of the full form, in order.
inline std::vector<DrawnRegion> Regions(const std::string& svg) {
  std::vector<DrawnRegion> out;
  for (size_t at = svg.find("<g><title>"); at != std::string::npos; at = svg.find("<g><title>", at + 1)) {
    DrawnRegion r;
    const size_t t = at + 10;
    r.Title = svg.substr(t, svg.find("</title>", t) - t);
    size_t p = svg.find("<path", t);
    for (int k = 0; k < 2; ++k) {
      r.D[k] = AttributeAt(svg, p, "d");
      r.Fill[k] = AttributeAt(svg, p, "fill");
      p = svg.find("<path", p + 1);
    }
    EXPECT_EQ(svg.find("</g>", t), svg.find("\"/></g>", t) + 3) << "two paths, then the group's end";
    out.push_back(r);
  }
  return out;
}

// The legend's entries: fill and label.
inline std::vector<std::pair<std::string, std::string>> Legend(const std::string& svg, const std::string& id) {
  std::vector<std::pair<std::string, std::string>> out;
  const size_t begin = svg.find("<g id=\"" + id + "\">"), end = svg.find("</g>", begin);
  for (size_t at = svg.find("<rect", begin); at < end; at = svg.find("<rect", at + 1)) {
    const size_t text = svg.find('>', svg.find("<text", at)) + 1;
    out.emplace_back(AttributeAt(svg, at, "fill"), svg.substr(text, svg.find("</text>", text) - text));
  }
  return out;
}

// Every point of every region's two paths inside its own panel.
inline void ExpectInsidePanels(const std::string& svg, const std::vector<DrawnRegion>& regions) {
  const Rect panels[2] = {RectOf(svg, "panel-ratio"), RectOf(svg, "panel-exceed")};
  for (const DrawnRegion& r : regions) {
    for (int k = 0; k < 2; ++k) {
      const auto subpaths = Parse(r.D[k]);
      EXPECT_FALSE(subpaths.empty()) << r.Title;
      for (const Subpath& s : subpaths) {
        for (const auto& [x, y] : s) EXPECT_TRUE(panels[k].Holds(x, y)) << r.Title << " panel " << k << ": " << x << "," << y;
      }
    }
  }
}

}  // namespace tarnek::map_svg
