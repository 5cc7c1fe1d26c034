// The funnel plot's SVG: well-formed XML (checked by xmllint, libxml2's
// parser), one mark per drawn region in the group its kind and side of the
// limits call for, each named by its title, every mark and limit inside the
// plotting area, marks on the axes where the tick labels say, groups whose
// own overall ratio overflows (a grouped file judged against each group's
// funnel: golden case plot_grouped), the ratio axis with 1 only near the
// data, the sample of large inputs, and a data file name that cannot break
// the document (its shortening: xml_text_test).
//
// The golden case plot_grouped, worked out: three units, interleaved.
// Beyond the 99.8% limits at mean m means F(y) < 0.001 or 1 - F(y) < 0.001,
// F the Poisson distribution function, by exact sums (Python 3.11, decimal
// with 60 digits): unit 1, four 100/50 and one 60/50, ratio 460/250 = 1.84,
// at mean 92 F(60) = 0.000245, beyond, and F(100) = 0.813, within; unit 2,
// five 25/50, ratio 0.5, at mean 25 F(25) = 0.553, within; unit 3, two 0/50,
// no ratio, so no limits. One region beyond its own group's limits; the
// curves and the overall line (585/600 = 0.975) are those of all records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>  // std::strtod
#include <map>
#include <limits>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/fit_settings.h"  // NoEstimate
#include "map_svg.h"  // the plotting area's rectangle, as the map's panels'
#include "report/funnel_plot.h"

using namespace tarnek;

namespace {

// The content of the group with the given id, or "(none)".
std::string Group(const std::string& svg, const std::string& id) {
  const size_t open = svg.find("<g id=\"" + id + "\"");
  if (open == std::string::npos) return "(none)";
  const size_t begin = svg.find('>', open) + 1;
  return svg.substr(begin, svg.find("</g>", begin) - begin);
}

using testdata::Count;

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

const char* const kMarkGroups[] = {"shrinkage",         "crude",         "zero-count",         "eb",
                                   "shrinkage-outside", "crude-outside", "zero-count-outside", "eb-outside"};

// The titles of the marks in the group with the given id, in order.
std::vector<std::string> Titles(const std::string& svg, const std::string& id) {
  std::vector<std::string> titles;
  const std::string marks = Group(svg, id);
  const std::regex title("<title>([^<]*)</title>");
  for (auto it = std::sregex_iterator(marks.begin(), marks.end(), title); it != std::sregex_iterator(); ++it) {
    titles.push_back((*it)[1]);
  }
  return titles;
}

// Checks what every plot must satisfy and counts its marks.
Marks CheckPlot(const std::string& svg) {
  EXPECT_TRUE(testdata::WellFormedXml(svg));
  EXPECT_LT(svg.size(), 8000000u);
  // Every mark holds one title, its only child.
  const std::regex marked("<(line|circle|polygon) [^<>]*><title>[^<>]+</title></\\1>\n");
  for (const char* id : kMarkGroups) {
    const std::string marks = Group(svg, id);
    const size_t elements = Count(marks, "<line") + Count(marks, "<circle") + Count(marks, "<polygon");
    EXPECT_EQ(static_cast<size_t>(std::distance(std::sregex_iterator(marks.begin(), marks.end(), marked),
                                                std::sregex_iterator())),
              elements)
        << "marks without a title in " << id;
    EXPECT_EQ(Count(marks, "<title>"), elements) << id;
  }
  const map_svg::Rect area = map_svg::RectOf(svg, "plot-area");
  EXPECT_GE(area.W, 0.0) << "no plotting area";
  for (const char* id : {"shrinkage", "crude", "zero-count", "eb", "shrinkage-outside", "crude-outside",
                         "zero-count-outside", "eb-outside", "limits-95", "limits-99.8"}) {
    size_t outside = 0;
    for (const auto& [x, y] : Points(Group(svg, id))) outside += !area.Holds(x, y);
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
  int32_t unit = -1;
  std::string code = {};  // a text code, given for every region or none (codes 1, 2, ...)
};

// The plot of a table and estimates made by hand: `groups` groups, the given
// EB ratios, the MLE's as the chosen prior's (none where it is NoEstimate),
// the grouping mode and the groups' members as grouping gives them.
std::string Draw(const std::vector<Region>& regions, size_t groups, const std::string& name = "data.txt") {
  RecordTable table;
  Estimates estimates;
  std::vector<double> chosen;
  estimates.Groups.resize(groups);
  for (const Region& r : regions) {
    table.Unit.push_back(r.unit);
    if (r.code.empty()) {
      table.Code.push_back(static_cast<int32_t>(table.Code.size() + 1));
    } else {
      table.CodeText.Append(r.code);
    }
    table.Data1.push_back(r.count);
    table.Data2.push_back(r.expected);
    estimates.Records.Ratio.push_back(r.count / r.expected);
    estimates.Records.EbRatioMe.push_back(r.ebMe);
    estimates.Records.EbRatioMle.push_back(r.ebMle);
    chosen.push_back(r.ebMle == NoEstimate ? std::numeric_limits<double>::quiet_NaN() : r.ebMle);
  }
  estimates.Mode = ChooseGroupMode(table);
  return DrawFunnelPlot(table, estimates, ListGroupMembers(table), chosen, "EB ratio (MLE)", name);
}

}  // namespace

TEST(FunnelPlotTest, OneMarkPerRegionWhereTheAxesSayIt) {
  // Overall ratio 118/71; only 60 counts at 20 expected lie beyond the 99.8%
  // limits (P(X > 60) = 1.0e-5 at mean 33.2, exact sums in Python).
  const double none = NoEstimate;
  const std::string svg = Draw({{10, 10, 1.0, 0.9},     // ratio 1 with EB 1: on the line at 1, at the tick "10"
                                {0, 2, 0.8, 0.7},       // count 0: a triangle, a line and a dot
                                {3, 4, none, 0.9},      // the chosen prior has none: the crude ratio alone,
                                {5, 5, none, none},     //   whatever the ME (the region table's eb is empty)
                                {60, 20, 2.5, 2.4},     // beyond the limits
                                {40, 30, 1.3, 1.3}},
                               2, "a<b>&\"c'.txt");
  EXPECT_EQ(CheckPlot(svg), (Marks{3, 4, 1, 3, 1, 1, 0, 1}));
  // The data file's name as ShownFileName makes it, escaped: the document stays well-formed.
  EXPECT_NE(svg.find("<title>Funnel plot of a&lt;b&gt;&amp;&quot;c&apos;.txt</title>"), std::string::npos);
  EXPECT_NE(svg.find(">a&lt;b&gt;&amp;&quot;c&apos;.txt: 6 regions in 2 groups</text>"), std::string::npos);
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
  // The count of 0 at the bottom edge, two curves for each limit: the
  // golden case plot_written.
  // Each mark names its region (the first circle, placed above, region 1's):
  // Data1/Data2, the ratios to four digits (40/30 = 1.333), the EB ratio of
  // the chosen prior, none for the third and fourth. One title serves every
  // mark of a region.
  using List = std::vector<std::string>;
  EXPECT_EQ(Titles(svg, "crude"), (List{"1: 10/10, crude 1, EB 1", "3: 3/4, crude 0.75, no EB ratio",
                                        "4: 5/5, crude 1, no EB ratio", "6: 40/30, crude 1.333, EB 1.3"}));
  EXPECT_EQ(Titles(svg, "zero-count"), List{"2: 0/2, crude 0, EB 0.8"});
  EXPECT_EQ(Titles(svg, "eb-outside"), List{"5: 60/20, crude 3, EB 2.5"});
}

TEST(FunnelPlotTest, TitlesShowTextCodesAsTheTablesPrintThem) {
  // Escaped, made valid, cut to 39 characters and "..." when longer than 40;
  // the expected count to four digits (123.4567), 7/123.4567 = 0.0567000.
  const double none = NoEstimate;
  std::string e40;
  for (int i = 0; i < 40; ++i) e40 += "\xC3\xA9";
  const struct {
    std::string code, title;
  } rows[] = {
      {"01825", "01825: 7/123.5, crude 0.0567, EB 0.25"},
      {"z\xFF]]>", "z\xEF\xBF\xBD]]&gt;: 7/123.5, crude 0.0567, EB 0.25"},
      {e40, e40 + ": 7/123.5, crude 0.0567, EB 0.25"},
      {std::string(45, 'x'), std::string(39, 'x') + "\xE2\x80\xA6: 7/123.5, crude 0.0567, EB 0.25"},
  };
  std::vector<Region> regions;
  std::vector<std::string> titles;
  for (const auto& row : rows) {
    regions.push_back({7, 123.4567, 0.25, 0.25, -1, row.code});
    titles.push_back(row.title);
  }
  const std::string svg = Draw(regions, 1);
  CheckPlot(svg);
  EXPECT_EQ(Titles(svg, "crude"), titles);
  // With a group per unit the unit tells two regions of one code apart; an
  // EB ratio of 0 (every count of unit 2 is 0) is one, drawn on no log axis.
  const std::string units = Draw({{7, 123.4567, none, 0.25, 1, "A"}, {0, 2, 0.0, 0.0, 2, "A"}}, 2);
  EXPECT_EQ(Titles(units, "crude"), std::vector<std::string>{"A (unit 1): 7/123.5, crude 0.0567, no EB ratio"});
  EXPECT_EQ(Titles(units, "zero-count"), std::vector<std::string>{"A (unit 2): 0/2, crude 0, EB 0"});
  EXPECT_EQ(CheckPlot(units), (Marks{0, 1, 1, 0, 0, 0, 0, 0}));
}

TEST(FunnelPlotTest, TheRatioAxisHasOneOnlyWhereTheDataComeNearIt) {
  // 1 joins the ratio axis when that at most doubles the data's span in
  // decades (at least one): the axis is then the data and 1 with 4% to spare,
  // else one decade about the data (or their span); ticks at 1, 2 and 5 times
  // the powers of ten on it. The overall ratios lie among the data. (Ratios
  // near 1, from 0.5 to 2: the golden case plot_grouped.)
  const double none = NoEstimate;
  const struct {
    const char* note;
    std::vector<Region> regions;
    bool one;
    std::vector<std::string> ticks;
  } rows[] = {
      {"rates near 0.001: 0.0005 and 0.002, the axis from 10^-3.54 to 10^-2.46",
       {{5, 10000, none, none}, {20, 10000, none, none}}, false, {"0.0005", "0.001", "0.002"}},
      {"0.01 to 0.1: 1 makes it two decades, twice one: from 10^-2.08 to 10^0.08",
       {{1, 100, none, none}, {10, 100, none, none}}, true, {"0.01", "0.02", "0.05", "0.1", "0.2", "0.5", "1"}},
      {"0.005 to 0.05: 1 would make it 2.3 decades", {{1, 200, none, none}, {10, 200, none, none}}, false,
       {"0.005", "0.01", "0.02", "0.05"}},
      {"EB ratios count as data: 0.0005 and 0.002 with EB ratios of 0.6; over 3 decades powers of ten",
       {{5, 10000, 0.6, 0.6}, {20, 10000, 0.6, 0.6}}, true, {"0.001", "0.01", "0.1", "1"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.note);
    const std::string svg = Draw(row.regions, 1);
    CheckPlot(svg);
    std::vector<std::string> ticks;
    const std::string labels = Group(svg, "tick-labels");
    const std::regex yTick("text-anchor=\"end\">([^<]*)</text>");
    for (auto it = std::sregex_iterator(labels.begin(), labels.end(), yTick); it != std::sregex_iterator(); ++it) {
      ticks.push_back((*it)[1]);
    }
    EXPECT_EQ(ticks, row.ticks);
    EXPECT_EQ(svg.find("<line id=\"ratio-one\"") != std::string::npos, row.one);
    EXPECT_EQ(svg.find(">Ratio 1</text>") != std::string::npos, row.one);
  }
}

TEST(FunnelPlotTest, LargeInputsShowASampleOfSmallestHashKeepingTheRegionsBeyondTheLimits) {
  // 30000 regions: rows 0 to 14999 at expected count 100, the others at
  // 1000, each with its expected count as its count but every hundredth
  // (row % 100 == 37), with twice it: overall ratio 16665000/16500000 = 1.01,
  // so that 200 at mean 101 and 2000 at mean 1010 lie far above the limits
  // and the others within. All 300 beyond are drawn and 19700 of the 29700
  // within: those whose row number has the smallest SplitMix64 finalizer
  // (its high 32 bits, then the row), computed here; how many of them lie in
  // the first half pins the sample (the first rows would be 14850 of them).
  const auto mix = [](uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
  };
  std::vector<Region> regions;
  std::vector<uint64_t> keys;  // of the rows within
  for (int row = 0; row < 30000; ++row) {
    const int32_t base = row < 15000 ? 100 : 1000;
    regions.push_back({row % 100 == 37 ? 2 * base : base, double(base), 1, 1});
    if (row % 100 != 37) keys.push_back((mix(uint64_t(row)) & 0xFFFFFFFF00000000u) | uint64_t(row));
  }
  std::sort(keys.begin(), keys.end());
  const size_t firstHalf = std::count_if(keys.begin(), keys.begin() + 19700, [](uint64_t k) { return uint32_t(k) < 15000; });
  const std::string svg = Draw(regions, 1);
  EXPECT_EQ(CheckPlot(svg), (Marks{19700, 19700, 0, 19700, 300, 300, 0, 300}));
  EXPECT_NE(svg.find(">Shown: a sample of 20000 of 30000 regions: 300 of 300 beyond the 99.8% limits, 19700 of "
                     "29700 within them</text>"),
            std::string::npos);
  const std::string crude = Group(svg, "crude");
  std::map<double, size_t> byX;
  for (size_t at = crude.find("<circle"); at != std::string::npos; at = crude.find("<circle", at + 1)) {
    ++byX[Attribute(crude.substr(at, crude.find('>', at) - at), "cx")];
  }
  ASSERT_EQ(byX.size(), 2u);
  EXPECT_EQ(byX.begin()->second, firstHalf);
  EXPECT_EQ(svg, Draw(regions, 1)) << "the same input gives the same bytes";

  // 16000 regions, all beyond (0 and 300 at mean 150): those capped too,
  // zeros and 300s split by the sample's hash.
  regions.assign(16000, {0, 100, 0.1, 0.1});
  for (size_t row = 1; row < regions.size(); row += 2) regions[row] = {300, 100, 2.9, 2.9};
  const std::string capped = Draw(regions, 1);
  const Marks marks = CheckPlot(capped);
  EXPECT_EQ(marks.CrudeOut + marks.ZeroCountOut, 15000u);
  EXPECT_GT(marks.ZeroCountOut, 7000u);
  EXPECT_GT(marks.CrudeOut, 7000u);
  EXPECT_EQ(marks.Crude + marks.ZeroCount, 0u);
  EXPECT_NE(capped.find(">Shown: a sample of 15000 of 16000 regions: 15000 of 16000 beyond the 99.8% limits, 0 of 0 "
                        "within them</text>"),
            std::string::npos);
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
      {"expected counts over 600 decades; an EB ratio that underflows to 0 is not drawn (its title says 0)",
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
      // log10 on the axis (up to 10^309.0 with the EB ratio of 1e289): drawn.
      // The lower ones are below 0.
      {"an overall ratio just below the overflow, 1/5.6e-309: limits at means near 1",
       {{1, 5.6e-309, 1e289, 1e289}}, {1, 1, 0, 1, 0, 0, 0, 0}, "Shown: all 1 region; 0 beyond", 1},
      {"the overall ratio overflows with 2^31-1 at 1e-300 and more",
       {{most, 1e-300, 1e300, 1e300}, {5, 1e-308, 2.0, 2.0}, {0, 1e-308, none, none}}, {2, 2, 1, 2, 0, 0, 0, 0},
       "Shown: all 3 regions" + tooLarge, -1},
      // Unit 1 alone overflows, as do all records, (2e9 + 30)/(2e-300 + 1e-308).
      // Unit 2, ratio 1.5e301, means 15: F(0) = 3.1e-7 and 1 - F(30) =
      // 0.000197 (exact sums of the Poisson distribution function in Python
      // 3.11, decimal with 60 digits).
      {"the overall ratio of all records overflows: no curves, but unit 2 keeps its limits",
       {{2000000000, 1e-308, none, none, 1}, {0, 1e-300, none, none, 2}, {30, 1e-300, none, none, 2}},
       {0, 1, 0, 0, 0, 1, 1, 0},
       "Shown: all 3 regions; 2 beyond their own group&apos;s 99.8% limits; 1 group without limits of its own: its "
       "overall ratio is too large to compute; no limits drawn: the overall ratio of all records is too large to compute",
       -1},
      // Unit 2 alone overflows: (2^31 - 1)/1e-308; of all records the ratio
      // is 2^31/(1 + 1e-308) = 2^31, whose lower limits are above 0 where the
      // mean is above 6.9 (F(0) < 0.001), upper and lower drawn.
      {"a group's own overall ratio overflows", {{1, 1, none, none, 1}, {most, 1e-308, none, none, 2}},
       {0, 2, 0, 0, 0, 0, 0, 0},
       "Shown: all 2 regions; 0 beyond their own group&apos;s 99.8% limits; 1 group without limits of its own: its "
       "overall ratio is too large to compute<",
       2},
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
  // A crude ratio beyond the largest double is named from its log10:
  // 2147483647/4.9406564584124654e-324 = 4.3466e332 and 39999/4e-305 =
  // 9.99975e308, four digits of which are 10 (exact quotients in Python).
  const std::vector<std::pair<Region, std::string>> titles = {
      {{most, tiny, 1e300, 1e300}, "1: 2147483647/4.941e-324, crude 4.347e+332, EB 1e+300"},
      {{39999, 4e-305, none, none}, "1: 39999/4e-305, crude 1e+309, no EB ratio"},
  };
  for (const auto& [region, title] : titles) {
    const std::string svg = Draw({region}, 1);
    CheckPlot(svg);
    EXPECT_EQ(Titles(svg, "crude"), std::vector<std::string>{title});
  }
}
