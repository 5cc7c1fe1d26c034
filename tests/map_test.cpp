// The map's SVG: well-formed (xmllint), one group with a title and two paths
// per region, every path inside its panel, fills and legend counts from the
// classes of the values (derived by hand), the colour schemes for other cut
// points, holes and parts, sub-pixel regions kept as marks, simplification
// within half a pixel, "no data", titles, reproducible bytes, the compact
// form of large maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "map_svg.h"
#include "svg_check.h"
#include "report/map.h"

using namespace tarnek;
using namespace tarnek::map_svg;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

MultiPolygon Square(double x0, double y0, double x1, double y1) {
  return {Polygon{{{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}, {}}};
}

MapRegion Region(const std::string& code, double eb, double p, MultiPolygon shape) {
  MapRegion r;
  r.Code = code;
  r.Observed = 10;
  r.Expected = 10;
  r.Ratio = 1;
  r.Eb = eb;
  r.Lower = eb / 2;
  r.Upper = eb * 2;
  r.PExceed = p;
  r.Shape = std::move(shape);
  return r;
}

}  // namespace

TEST(Map, Classes) {
  const std::vector<double>& b = kDefaultRatioBreaks;
  struct Case {
    double value;
    int ratio, exceed;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{0.4999, 0, 1}, Case{0.5, 1, 1}, Case{0.67, 2, 1}, Case{0.9, 4, 2},
                        Case{1, 4, 3}, Case{1.0999, 4, 3}, Case{1.1, 5, 3}, Case{2, 8, 3}, Case{1e300, 8, 3},
                        Case{0.2, 0, 1}, Case{0.8, 3, 2}, Case{0.95, 4, 3}, Case{kNaN, -1, -1}}) {
    EXPECT_EQ(RatioClass(c.value, b), c.ratio) << c.value;
    EXPECT_EQ(ExceedClass(c.value), c.exceed) << c.value;
  }
  struct Breaks {
    std::vector<double> breaks;
    bool valid;
  };
  for (const Breaks& c : std::vector<Breaks>{{kDefaultRatioBreaks, true},
                                             {{0.2, 0.3, 0.4, 0.5, 0.6, 1.5, 2, 3, 4, 5}, true},   // 5 and 5
                                             {{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 1.5}, false},        // 6 below
                                             {{0.2, 0.3, 0.4, 0.5, 1, 1.5, 2, 3, 4, 5}, false},   // 5 below, 6 above
                                             {{}, false},
                                             {{0.5, 0.5, 2}, false},
                                             {{0, 2}, false},
                                             {{0.5, kNaN}, false},
                                             {{0.5, std::numeric_limits<double>::infinity()}, false}}) {
    EXPECT_EQ(ValidRatioBreaks(c.breaks), c.valid) << c.breaks.size();
  }
}

// Nine regions, one per ratio class, their probabilities over the four
// classes, and a tenth without data: fills and counts by hand.
TEST(Map, FillsAndCounts) {
  const double ratios[] = {0.3, 0.55, 0.7, 0.85, 1.0, 1.2, 1.3, 1.7, 2.5};
  const double probabilities[] = {0.1, 0.1, 0.1, 0.5, 0.5, 0.9, 0.96, 0.96, 1.0};
  const int exceedClass[] = {0, 0, 0, 1, 1, 2, 3, 3, 3};
  std::vector<MapRegion> regions;
  for (int i = 0; i < 9; ++i) {
    regions.push_back(Region("r" + std::to_string(i), ratios[i], probabilities[i], Square(i % 3, i / 3, i % 3 + 1, i / 3 + 1)));
  }
  MapRegion none;
  none.Code = "none";
  none.Shape = Square(3, 0, 4, 1);
  regions.push_back(none);
  MapSettings settings;
  settings.DataFileName = "data.csv";
  settings.Prior = "MLE prior";
  const std::string svg = DrawMap(regions, settings);
  ASSERT_TRUE(testdata::WellFormedXml(svg));
  const std::vector<DrawnRegion> drawn = Regions(svg);
  ASSERT_EQ(drawn.size(), 10u);  // each with two paths (Regions), its title and "no data" as the end-to-end map shows
  ExpectInsidePanels(svg, drawn);
  const std::vector<std::pair<std::string, std::string>> ratioLegend = {
      {"#2166ac", "&lt; 0.5 (1)"},         {"#4393c3", "0.5 \xE2\x80\x93 0.67 (1)"}, {"#92c5de", "0.67 \xE2\x80\x93 0.8 (1)"},
      {"#d1e5f0", "0.8 \xE2\x80\x93 0.9 (1)"}, {"#f7f7f7", "0.9 \xE2\x80\x93 1.1 (1)"},  {"#fddbc7", "1.1 \xE2\x80\x93 1.25 (1)"},
      {"#f4a582", "1.25 \xE2\x80\x93 1.5 (1)"}, {"#d6604d", "1.5 \xE2\x80\x93 2 (1)"},   {"#b2182b", "\xE2\x89\xA5 2 (1)"},
      {"url(#no-data-legend)", "No data (1)"}};
  EXPECT_EQ(Legend(svg, "legend-ratio"), ratioLegend);
  const std::vector<std::pair<std::string, std::string>> exceedLegend = {
      {"#f2f0f7", "&lt; 0.2 (3)"}, {"#cbc9e2", "0.2 \xE2\x80\x93 0.8 (2)"}, {"#9e9ac8", "0.8 \xE2\x80\x93 0.95 (1)"},
      {"#6a51a3", "\xE2\x89\xA5 0.95 (3)"}, {"url(#no-data-legend)", "No data (1)"}};
  EXPECT_EQ(Legend(svg, "legend-exceed"), exceedLegend);
  // RdBu's nine from blue to red, Purples' four; the legends' patterns are
  // finer than the regions'.
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(drawn[i].Fill[0], i < 9 ? ratioLegend[i].first : "url(#no-data)") << i;
    EXPECT_EQ(drawn[i].Fill[1], i < 9 ? exceedLegend[exceedClass[i]].first : "url(#no-data)") << i;
  }
  EXPECT_NE(svg.find(">data.csv: EB ratios, MLE prior</text>"), std::string::npos);
  EXPECT_EQ(svg, DrawMap(regions, settings));  // the same bytes again
  // Self-contained: no script, no style sheet, no link, no reference but to
  // its own patterns.
  for (const char* outside : {"<script", "<style", "href", "url(http", "@import"}) {
    EXPECT_EQ(svg.find(outside), std::string::npos) << outside;
  }
  EXPECT_EQ(Count(svg, "url("), Count(svg, "url(#no-data)") + Count(svg, "url(#no-data-legend)"));
}

// Colours for other cut points: RdBu of 2m + 1 classes from the middle out,
// 2m where 1 is a cut point (ColorBrewer's tables, by hand).
TEST(Map, SchemesForOtherCutPoints) {
  struct Case {
    std::vector<double> breaks;
    std::vector<std::string> colours;
  };
  const std::vector<Case> cases = {
      {{1}, {"#67a9cf", "#ef8a62"}},
      {{0.5, 2}, {"#67a9cf", "#f7f7f7", "#ef8a62"}},
      {{0.5, 0.8, 1, 1.25, 2}, {"#2166ac", "#67a9cf", "#d1e5f0", "#fddbc7", "#ef8a62", "#b2182b"}},
      {{0.9, 1.1, 1.5, 2}, {"#d1e5f0", "#f7f7f7", "#fddbc7", "#ef8a62", "#b2182b"}},  // RdBu 7's middle blue and 3 reds
      {{0.2, 0.3, 0.4, 0.5, 0.6, 1.5, 2, 3, 4, 5},
       {"#053061", "#2166ac", "#4393c3", "#92c5de", "#d1e5f0", "#f7f7f7", "#fddbc7", "#f4a582", "#d6604d", "#b2182b",
        "#67001f"}},
  };
  for (const Case& c : cases) {
    MapSettings settings;
    settings.Breaks = c.breaks;
    const std::string svg = DrawMap(std::vector<MapRegion>{Region("a", 1, 0.5, Square(0, 0, 1, 1))}, settings);
    std::vector<std::string> colours;
    for (const auto& [fill, label] : Legend(svg, "legend-ratio")) colours.push_back(fill);
    colours.pop_back();  // "No data"
    EXPECT_EQ(colours, c.colours) << c.breaks.size();
  }
}

// Holes stay open (even-odd) and every part is drawn; a region far smaller
// than a pixel becomes a 1-pixel square; wobbles below half a pixel go.
TEST(Map, ShapesAndSizes) {
  // The extent is 552 x 552, the panel's inner size: one unit is one pixel.
  MultiPolygon holed = {Polygon{{{0, 0}, {200, 0}, {200, 200}, {0, 200}}, {{{50, 50}, {50, 150}, {150, 150}, {150, 50}}}},
                        Polygon{{{300, 0}, {400, 0}, {400, 100}}, {}}};
  MultiPolygon wobbly;  // a square of side 200 with 400 vertices per side, moved by up to 0.2 pixel
  Ring ring;
  for (int side = 0; side < 4; ++side) {
    for (int i = 0; i < 400; ++i) {
      const double t = i / 2.0, w = 0.2 * std::sin(i * 1.7);
      const double x[] = {t, 200 + w, 200 - t, w}, y[] = {w, t, 200 + w, 200 - t};
      ring.push_back({300 + x[side], 300 + y[side]});
    }
  }
  wobbly.push_back(Polygon{ring, {}});
  const std::vector<MapRegion> regions = {Region("holed", 1, 0.5, holed), Region("wobbly", 1, 0.5, wobbly),
                                          Region("speck", 1, 0.5, Square(100, 300, 100.001, 300.001)),
                                          Region("corner", 1, 0.5, Square(551, 551, 552, 552))};
  const std::string svg = DrawMap(regions, MapSettings{});
  ASSERT_TRUE(testdata::WellFormedXml(svg));
  EXPECT_NE(svg.find("<g id=\"regions\" transform=\"scale(0.1)\" fill-rule=\"evenodd\""), std::string::npos);
  const std::vector<DrawnRegion> drawn = Regions(svg);
  ASSERT_EQ(drawn.size(), 4u);
  ExpectInsidePanels(svg, drawn);
  EXPECT_EQ(Parse(drawn[0].D[0]).size(), 3u);  // outer, hole, second part
  const auto wobblyPath = Parse(drawn[1].D[0]);
  ASSERT_EQ(wobblyPath.size(), 1u);
  EXPECT_LE(wobblyPath[0].size(), 8u);  // its corners, little more
  // Every vertex of the ring within half a pixel (and the 0.05 of rounding)
  // of the drawn outline; the panel's inner corner is at (34, 92).
  const auto distance = [](double px, double py, std::pair<double, double> a, std::pair<double, double> b) {
    const double vx = b.first - a.first, vy = b.second - a.second;
    const double t = std::clamp(((px - a.first) * vx + (py - a.second) * vy) / (vx * vx + vy * vy), 0.0, 1.0);
    return std::hypot(px - a.first - t * vx, py - a.second - t * vy);
  };
  const Rect panel = RectOf(svg, "panel-ratio");
  for (const Point& p : ring) {
    const double px = panel.X + 4 + p.X, py = panel.Y + 4 + (552 - p.Y);
    double nearest = 1e9;
    const Subpath& s = wobblyPath[0];
    for (size_t i = 0; i < s.size(); ++i) nearest = std::min(nearest, distance(px, py, s[i], s[(i + 1) % s.size()]));
    EXPECT_LE(nearest, 0.5 + 0.0708) << p.X << "," << p.Y;
  }
  EXPECT_NE(drawn[2].D[0].find("l10 0 0 10-10 0z"), std::string::npos) << drawn[2].D[0];  // the mark
  const auto speck = Parse(drawn[2].D[0]);
  EXPECT_NEAR(speck[0][0].first + 0.5, panel.X + 4 + 100, 0.06);
  EXPECT_NEAR(speck[0][0].second + 0.5, panel.Y + 4 + 552 - 300, 0.06);
}

// Extents at the ends of the double range, and of a single point: every
// region still inside its panels.
TEST(Map, ExtremeExtents) {
  const double big = std::numeric_limits<double>::max();
  for (const auto& shapes : std::vector<std::vector<MultiPolygon>>{
           {Square(-big, -big, -big / 2, -big / 2), Square(big / 2, big / 2, big, big)},
           {Square(0, 0, 1e-300, 1e-300), Square(2e-300, 0, 3e-300, 1e-300)},
           {MultiPolygon{Polygon{{{5, 5}, {5, 5}, {5, 5}}, {}}}}}) {
    std::vector<MapRegion> regions;
    for (const MultiPolygon& shape : shapes) regions.push_back(Region("r", 1, 0.5, shape));
    const std::string svg = DrawMap(regions, MapSettings{});
    ASSERT_TRUE(testdata::WellFormedXml(svg));
    const std::vector<DrawnRegion> drawn = Regions(svg);
    ASSERT_EQ(drawn.size(), shapes.size());
    ExpectInsidePanels(svg, drawn);
  }
}

TEST(Map, TitlesAndNames) {
  MapRegion r = Region("37<&>", 1.0512, 0.6234, Square(0, 0, 1, 1));
  r.Observed = 12;
  r.Expected = 10.2345;
  r.Ratio = 12 / 10.2345;
  r.Lower = 0.81234;
  r.Upper = 1.30111;
  MapRegion sure = Region("sure", 3, 0.99996, Square(1, 0, 2, 1)), unlikely = Region("unlikely", 3, 0.0004, Square(3, 0, 4, 1));
  sure.Observed = 123456789;
  MapSettings settings;
  settings.DataFileName = "d\xFF<&>.csv";
  settings.Threshold = 1.5;
  settings.Interval = "90% interval";
  const std::string svg = DrawMap(std::vector<MapRegion>{r, sure, unlikely}, settings);
  ASSERT_TRUE(testdata::WellFormedXml(svg));
  std::vector<std::string> titles;
  for (const DrawnRegion& drawn : Regions(svg)) titles.push_back(drawn.Title);
  EXPECT_EQ(titles, (std::vector<std::string>{
                        "37&lt;&amp;&gt;\nobserved 12, expected 10.23, ratio 1.173\nEB ratio 1.051, 90% interval 0.8123 to "
                        "1.301\nP(ratio &gt; 1.5) = 0.623",
                        "sure\nobserved 123456789, expected 10, ratio 1\nEB ratio 3, 90% interval 1.5 to 6\nP(ratio &gt; 1.5) &gt; 0.999",
                        "unlikely\nobserved 10, expected 10, ratio 1\nEB ratio 3, 90% interval 1.5 to 6\nP(ratio &gt; 1.5) &lt; 0.001"}));
  EXPECT_NE(svg.find("<title>Map of d\xEF\xBF\xBD&lt;&amp;&gt;.csv</title>"), std::string::npos);
  EXPECT_NE(svg.find(">Probability that the ratio exceeds 1.5</text>"), std::string::npos);
}

// Beyond kMaxTitledRegions the regions of one class are one path per panel,
// without outlines or titles; every region is still one subpath (or more).
TEST(Map, CompactFormOfLargeMaps) {
  const int columns = 150, rows = static_cast<int>(kMaxTitledRegions / columns) + 1;
  std::vector<MapRegion> regions;
  std::map<int, size_t> expected;  // ratio class -> regions
  for (int i = 0; i < columns * rows; ++i) {
    const double eb = 0.3 + (i % 9) * 0.25;
    regions.push_back(Region(std::to_string(i), eb, (i % 4) * 0.3, Square(i % columns, i / columns, i % columns + 1, i / columns + 1)));
    ++expected[RatioClass(eb, kDefaultRatioBreaks)];
  }
  regions[5].Eb = kNaN;
  --expected[RatioClass(0.3 + 5 * 0.25, kDefaultRatioBreaks)];
  const std::string svg = DrawMap(regions, MapSettings{});
  ASSERT_TRUE(testdata::WellFormedXml(svg));
  EXPECT_EQ(Count(svg, "<g><title>"), 0u);
  EXPECT_NE(svg.find("<g id=\"regions\" transform=\"scale(0.1)\" fill-rule=\"evenodd\" stroke=\"none\">"), std::string::npos);
  const Rect panels[2] = {RectOf(svg, "panel-ratio"), RectOf(svg, "panel-exceed")};
  size_t subpaths[2] = {0, 0};
  for (size_t at = svg.find("<path id=\""); at != std::string::npos; at = svg.find("<path id=\"", at + 1)) {
    const std::string id = AttributeAt(svg, at, "id");
    const int panel = id.rfind("ratio-", 0) == 0 ? 0 : 1;
    const auto parsed = Parse(AttributeAt(svg, at, "d"));
    subpaths[panel] += parsed.size();
    for (const Subpath& s : parsed) {
      for (const auto& [x, y] : s) ASSERT_TRUE(panels[panel].Holds(x, y)) << id;
    }
    if (id == "ratio-no-data") {
      EXPECT_EQ(parsed.size(), 1u);
    } else if (panel == 0) {
      EXPECT_EQ(parsed.size(), expected[std::stoi(id.substr(6))]) << id;
    }
  }
  EXPECT_EQ(subpaths[0], regions.size());
  EXPECT_EQ(subpaths[1], regions.size());
  EXPECT_NE(svg.find("More than 20000 regions: drawn without outlines"), std::string::npos);
}

