// The funnel plot's SVG: well-formed XML (checked by xmllint, libxml2's
// parser), one mark per drawn region in the group its kind and side of the
// limits call for, every mark and limit inside the plotting area, marks on
// the axes where the tick labels say, the sample of large inputs, and a data
// file name that cannot break the document.
#include <gtest/gtest.h>

#include <unistd.h>  // mkstemp, close, unlink

#include <algorithm>
#include <cstdio>
#include <cstdlib>  // std::system, std::strtod
#include <fstream>
#include <map>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/fit_settings.h"  // NoEstimate
#include "report/funnel_plot.h"

using namespace tarnek;

namespace {

bool WellFormed(const std::string& svg) {
  char name[] = "/tmp/tarnek-plot-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return false;
  close(fd);
  std::ofstream(name, std::ios::binary) << svg;
  const int status = std::system(("xmllint --noout --nonet " + std::string(name)).c_str());
  unlink(name);
  return status == 0;
}

// The content of the group with the given id, or "(none)".
std::string Group(const std::string& svg, const std::string& id) {
  const size_t open = svg.find("<g id=\"" + id + "\"");
  if (open == std::string::npos) return "(none)";
  const size_t begin = svg.find('>', open) + 1;
  return svg.substr(begin, svg.find("</g>", begin) - begin);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

double Attribute(const std::string& element, const std::string& name) {
  const size_t at = element.find(" " + name + "=\"");
  return at == std::string::npos ? -1e9 : std::strtod(element.c_str() + at + name.size() + 3, nullptr);
}

// Every coordinate pair in the markup: cx,cy; x1,y1; x2,y2; and points="x,y ...".
std::vector<std::pair<double, double>> Points(const std::string& markup) {
  std::vector<std::pair<double, double>> points;
  for (size_t open = markup.find('<'); open != std::string::npos; open = markup.find('<', open + 1)) {
    const std::string element = markup.substr(open, markup.find('>', open) - open);
    for (const auto& [x, y] : {std::pair{"cx", "cy"}, std::pair{"x1", "y1"}, std::pair{"x2", "y2"}}) {
      if (element.find(std::string(" ") + x + "=") != std::string::npos) points.emplace_back(Attribute(element, x), Attribute(element, y));
    }
    const size_t list = element.find("points=\"");
    for (const char* p = list == std::string::npos ? nullptr : element.c_str() + list + 8; p != nullptr && *p != '"';) {
      char* end = nullptr;
      const double x = std::strtod(p, &end);
      const double y = std::strtod(end + 1, &end);
      points.emplace_back(x, y);
      p = *end == ' ' ? end + 1 : end;
    }
  }
  return points;
}

// The marks of a plot, counted by kind and side.
struct Marks {
  size_t Shrinkage = 0, Crude = 0, ZeroCount = 0, Eb = 0;
  size_t ShrinkageOut = 0, CrudeOut = 0, ZeroCountOut = 0, EbOut = 0;
  bool operator==(const Marks&) const = default;
};

// Checks what every plot must satisfy and counts its marks.
Marks CheckPlot(const std::string& svg) {
  EXPECT_TRUE(WellFormed(svg));
  EXPECT_LT(svg.size(), 5u << 20);
  const size_t area = svg.find("<rect id=\"plot-area\"");
  EXPECT_NE(area, std::string::npos);
  const std::string rect = svg.substr(area, svg.find('>', area) - area);
  const double left = Attribute(rect, "x"), top = Attribute(rect, "y");
  const double right = left + Attribute(rect, "width"), bottom = top + Attribute(rect, "height");
  for (const char* id : {"shrinkage", "crude", "zero-count", "eb", "shrinkage-outside", "crude-outside",
                         "zero-count-outside", "eb-outside", "limits-95", "limits-99.8"}) {
    size_t outside = 0;
    for (const auto& [x, y] : Points(Group(svg, id))) outside += !(x >= left && x <= right && y >= top && y <= bottom);
    EXPECT_EQ(outside, 0u) << "points of " << id << " outside the plotting area";
  }
  const auto count = [&](const char* id, const char* element) { return Count(Group(svg, id), element); };
  return {count("shrinkage", "<line"),          count("crude", "<circle"),
          count("zero-count", "<polygon"),      count("eb", "<circle"),
          count("shrinkage-outside", "<line"),  count("crude-outside", "<circle"),
          count("zero-count-outside", "<polygon"), count("eb-outside", "<circle")};
}

struct Region {
  int32_t count;
  double expected, ebMle, ebMe;
};

// The plot of a table and estimates made by hand: `groups` groups, the given
// EB ratios, the MLE's as the chosen prior's (none where it is NoEstimate).
std::string Draw(const std::vector<Region>& regions, size_t groups, const std::string& name = "data.txt") {
  RecordTable table;
  Estimates estimates;
  std::vector<double> chosen;
  estimates.Groups.resize(groups);
  for (const Region& r : regions) {
    table.Unit.push_back(-1);
    table.Code.push_back(static_cast<int32_t>(table.Code.size() + 1));
    table.Data1.push_back(r.count);
    table.Data2.push_back(r.expected);
    estimates.Records.Ratio.push_back(r.count / r.expected);
    estimates.Records.EbRatioMe.push_back(r.ebMe);
    estimates.Records.EbRatioMle.push_back(r.ebMle);
    chosen.push_back(r.ebMle == NoEstimate ? std::numeric_limits<double>::quiet_NaN() : r.ebMle);
  }
  return DrawFunnelPlot(table, estimates, chosen, "EB ratio (MLE; ME where it failed)", name);
}

}  // namespace

TEST(FunnelPlotTest, OneMarkPerRegionWhereTheAxesSayIt) {
  // Overall ratio 118/71; only 60 counts at 20 expected lie beyond the 99.8%
  // limits (P(X > 60) = 1.0e-5 at mean 33.2, exact sums in Python).
  const double none = NoEstimate;
  const std::string svg = Draw({{10, 10, 1.0, 0.9},     // ratio 1 with EB 1: on the line at 1, at the tick "10"
                                {0, 2, 0.8, 0.7},       // count 0: a triangle, a line and a dot
                                {3, 4, none, 0.9},      // the fit failed: the dot from the ME
                                {5, 5, none, none},     // neither: the crude ratio alone
                                {60, 20, 2.5, 2.4},     // beyond the limits
                                {40, 30, 1.3, 1.3}},
                               2);
  EXPECT_EQ(CheckPlot(svg), (Marks{4, 4, 1, 4, 1, 1, 0, 1}));
  EXPECT_NE(svg.find(">data.txt: 6 regions in 2 groups</text>"), std::string::npos);
  EXPECT_NE(svg.find(">Shown: all 6 regions; 1 beyond the 99.8% limits</text>"), std::string::npos);
  // The first crude circle and the first dot lie on the line at 1, straight above the tick "10".
  const std::string crude = Group(svg, "crude"), dot = Group(svg, "eb");
  const size_t label = svg.find(">10</text>");
  ASSERT_NE(label, std::string::npos);
  const std::string tick = svg.substr(svg.rfind("<text", label), label - svg.rfind("<text", label));
  const std::string one = svg.substr(svg.find("<line id=\"ratio-one\""), 120);
  EXPECT_EQ(Attribute(crude, "cx"), Attribute(tick, "x"));
  EXPECT_EQ(Attribute(crude, "cy"), Attribute(one, "y1"));
  EXPECT_EQ(Attribute(dot, "cy"), Attribute(one, "y1"));
  // The count of 0 sits at the bottom edge.
  const std::string zero = Group(svg, "zero-count");
  EXPECT_EQ(Points(zero).back().second, 530.0);
  EXPECT_EQ(Count(Group(svg, "limits-99.8"), "<polyline"), Count(Group(svg, "limits-95"), "<polyline"));
  EXPECT_GE(Count(Group(svg, "limits-99.8"), "<polyline"), 2u);
}

TEST(FunnelPlotTest, LargeInputsShowASampleKeepingTheRegionsBeyondTheLimits) {
  const struct {
    const char* note;
    size_t n;
    std::vector<Region> pattern;  // repeated to n regions
    std::string shown;
    Marks marks;
  } rows[] = {
      {"30000 regions, one in 100 far above its limit (200 at mean 101): all 300 kept", 30000,
       [] {
         std::vector<Region> p(100, {100, 100, 1.0, 1.0});
         p[37] = {200, 100, 1.9, 1.9};
         return p;
       }(),
       "Shown: a sample of 20000 of 30000 regions: 300 of 300 beyond the 99.8% limits, 19700 of 29700 within them",
       {19700, 19700, 0, 19700, 300, 300, 0, 300}},
      {"40000 regions, all beyond (0 and 300 at mean 150): those capped too", 40000,
       {{0, 100, 0.1, 0.1}, {300, 100, 2.9, 2.9}},
       "Shown: a sample of 15000 of 40000 regions: 15000 of 40000 beyond the 99.8% limits, 0 of 0 within them",
       {0, 0, 0, 0, 15000, 0, 0, 15000}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    std::vector<Region> regions;
    while (regions.size() < row.n) regions.push_back(row.pattern[regions.size() % row.pattern.size()]);
    const std::string svg = Draw(regions, 1);
    Marks marks = CheckPlot(svg);
    if (row.marks.CrudeOut == 0) {  // the second row: zeros and 300s split by the sample's hash
      EXPECT_EQ(marks.CrudeOut + marks.ZeroCountOut, 15000u);
      EXPECT_GT(marks.ZeroCountOut, 7000u);
      EXPECT_GT(marks.CrudeOut, 7000u);
      marks.CrudeOut = marks.ZeroCountOut = 0;
    }
    EXPECT_EQ(marks, row.marks);
    EXPECT_NE(svg.find(">" + row.shown + "</text>"), std::string::npos);
    EXPECT_EQ(svg, Draw(regions, 1)) << "the same input gives the same bytes";
  }
}

TEST(FunnelPlotTest, TheSampleIsTheRowsOfSmallestHash) {
  // 30000 regions within the limits, rows 0 to 14999 at expected count 100,
  // the others at 1000. The 20000 drawn are those whose row number has the
  // smallest SplitMix64 finalizer (its high 32 bits, then the row), computed
  // here: how many of them lie in the first half pins the sample. The first
  // 20000 rows would put all 15000 of the first half in it.
  const auto mix = [](uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
  };
  std::vector<uint64_t> keys;
  for (uint64_t row = 0; row < 30000; ++row) keys.push_back((mix(row) & 0xFFFFFFFF00000000u) | row);
  std::sort(keys.begin(), keys.end());
  const size_t firstHalf = std::count_if(keys.begin(), keys.begin() + 20000, [](uint64_t k) { return uint32_t(k) < 15000; });
  std::vector<Region> regions;
  for (int row = 0; row < 30000; ++row) regions.push_back(row < 15000 ? Region{100, 100, 1, 1} : Region{1000, 1000, 1, 1});
  const std::string crude = Group(Draw(regions, 1), "crude");
  std::map<double, size_t> byX;
  for (size_t at = crude.find("<circle"); at != std::string::npos; at = crude.find("<circle", at + 1)) {
    ++byX[Attribute(crude.substr(at, crude.find('>', at) - at), "cx")];
  }
  ASSERT_EQ(byX.size(), 2u);
  EXPECT_EQ(byX.begin()->second, firstHalf);
  EXPECT_EQ(byX.rbegin()->second, 20000 - firstHalf);
}

TEST(FunnelPlotTest, DegenerateInputsAndTheEdgesOfTheDoubleRangeStillMakeAPicture) {
  // Each in bounded time, with finite coordinates inside the area and no
  // "inf" or "nan" in the text. An overall ratio or an EB ratio that is not
  // finite made an infinite axis, whose tick loop ran forever.
  const double none = NoEstimate, inf = std::numeric_limits<double>::infinity();
  const double tiny = std::numeric_limits<double>::denorm_min();
  const int32_t most = std::numeric_limits<int32_t>::max();
  const char* const allZero = "Shown: all 2 regions; 0 beyond the 99.8% limits; no limits: every count is 0";
  const std::string tooLarge = "; 0 beyond the 99.8% limits; no limits: the overall ratio is too large to compute";
  const struct {
    const char* note;
    std::vector<Region> regions;
    Marks marks;
    std::string shown;  // a part of the line under the title
    int curves;         // polylines of the 99.8% limits; -1: no limits and no overall ratio
  } rows[] = {
      {"no record: axes around 1", {}, {}, "Shown: all 0 regions; 0 beyond", -1},
      {"every count 0: no overall ratio; triangles only", {{0, 1, 0.1, 0.1}, {0, 50, none, none}},
       {1, 0, 2, 1, 0, 0, 0, 0}, allZero, -1},
      // Overall ratio 11/1e300: the means of the first and last are 0 in
      // doubles, so any count above 0 lies above the limits there.
      {"expected counts over 600 decades; an EB ratio that underflows to 0 is not drawn",
       {{1, 1e-300, 1e-300, 1e-300}, {7, 1e300, 0.0, 0.0}, {3, 2, 1.2, 1.2}}, {0, 1, 0, 0, 2, 2, 0, 2},
       "Shown: all 3 regions; 2 beyond", 2},
      // Means 3: the lower 99.8% limit is below 0, only the upper one is drawn.
      {"EB ratios that are not finite are not drawn, whatever the ME", {{3, 2, inf, 1.2}, {3, 2, none, inf}, {3, 2, 1.2, 1.2}},
       {1, 3, 0, 1, 0, 0, 0, 0}, "Shown: all 3 regions; 0 beyond", 1},
      // Crude ratios from 1e-308 to 2^31/4.9e-324 = 4e332: the y axis spans 640
      // decades. The sum of Data2 overflows; the overall ratio is 3.2e-299.
      {"counts of 2^31-1 at the smallest and largest expected counts",
       {{most, tiny, 1e300, 1e300}, {most, 1e308, 1.0, 1.0}, {1, 1e308, 1e-308, 1e-308}, {most, 1.0, 2e9, 2e9}},
       {0, 0, 0, 0, 4, 4, 0, 4}, "Shown: all 4 regions; 4 beyond", 2},
      {"a count of 2^31-1 at its own mean: no limit curve above a mean of 1e8", {{most, 1.0, 1.0, 1.0}},
       {1, 1, 0, 1, 0, 0, 0, 0}, "Shown: all 1 region; 0 beyond", 0},
      // The upper limits of the ratio lie beyond the largest double, their
      // log10 on the axis: drawn. The lower ones are below 0.
      {"an overall ratio just below the overflow, 1/5.6e-309: limits at means near 1",
       {{1, 5.6e-309, 1e308, 1e308}}, {1, 1, 0, 1, 0, 0, 0, 0}, "Shown: all 1 region; 0 beyond", 1},
      {"the overall ratio overflows: 2/1e-308", {{2, 1e-308, none, none}}, {0, 1, 0, 0, 0, 0, 0, 0},
       "Shown: all 1 region" + tooLarge, -1},
      {"the overall ratio overflows with 2^31-1 at 1e-300 and more",
       {{most, 1e-300, 1e300, 1e300}, {5, 1e-308, 2.0, 2.0}, {0, 1e-308, none, none}}, {2, 2, 1, 2, 0, 0, 0, 0},
       "Shown: all 3 regions" + tooLarge, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    const std::string svg = Draw(row.regions, 1);
    EXPECT_EQ(CheckPlot(svg), row.marks);
    EXPECT_NE(svg.find(row.shown), std::string::npos) << svg.substr(0, 600);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("99999"), std::string::npos) << "a coordinate at the edge of the number format";
    const std::string limits = Group(svg, "limits-99.8");
    if (row.curves < 0) {
      EXPECT_EQ(limits, "(none)");
    } else {
      EXPECT_EQ(Count(limits, "<polyline"), static_cast<size_t>(row.curves));
    }
    EXPECT_EQ(svg.find("Overall ratio ") != std::string::npos, row.curves >= 0);
  }
}

TEST(FunnelPlotTest, AnyFileNameKeepsTheDocumentWellFormed) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string name, shown;
  } rows[] = {
      {"a<b>&\"c'.txt", "a&lt;b&gt;&amp;&quot;c&apos;.txt"},
      {"bad\xFF\x01]]>\xC3", "bad" + r + r + "]]&gt;" + r},
      {std::string(150, 'd') + "/\xC3\xA9.txt", "\xE2\x80\xA6" + std::string(93, 'd') + "/\xC3\xA9.txt"},  // the last 99 characters
  };
  for (const auto& row : rows) {
    const std::string svg = Draw({{3, 2, 1.2, 1.2}}, 1, row.name);
    CheckPlot(svg);
    EXPECT_NE(svg.find("<title>Funnel plot of " + row.shown + "</title>"), std::string::npos) << row.shown;
    EXPECT_NE(svg.find(">" + row.shown + ": 1 region in 1 group</text>"), std::string::npos) << row.shown;
  }
}
