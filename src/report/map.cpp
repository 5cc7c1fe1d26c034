// Map drawing: classes and colours, the layout from the projected extent,
// each region's rings projected, simplified and rounded into one path per
// panel, then the SVG text.
#include "report/map.h"

#include <algorithm>  // std::min, std::max, std::upper_bound, std::clamp
#include <charconv>   // std::to_chars
#include <cmath>      // std::isnan, std::isfinite, std::llround, std::sqrt, std::fabs
#include <cstdint>
#include <limits>
#include <string_view>
#include <tuple>

#include "geometry/projection.h"
#include "report/number_format.h"
#include "report/xml_text.h"

namespace tarnek {

namespace {

// ---------------------------------------------------------------------------
// Classes and colours

constexpr double kExceedBreaks[] = {0.2, 0.8, 0.95};

// ColorBrewer's RdBu (Cynthia Brewer, colorbrewer2.org), red to blue, for 3
// to 11 classes.
constexpr const char* kRdBu[12][11] = {
    {},
    {},
    {},
    {"#ef8a62", "#f7f7f7", "#67a9cf"},
    {"#ca0020", "#f4a582", "#92c5de", "#0571b0"},
    {"#ca0020", "#f4a582", "#f7f7f7", "#92c5de", "#0571b0"},
    {"#b2182b", "#ef8a62", "#fddbc7", "#d1e5f0", "#67a9cf", "#2166ac"},
    {"#b2182b", "#ef8a62", "#fddbc7", "#f7f7f7", "#d1e5f0", "#67a9cf", "#2166ac"},
    {"#b2182b", "#d6604d", "#f4a582", "#fddbc7", "#d1e5f0", "#92c5de", "#4393c3", "#2166ac"},
    {"#b2182b", "#d6604d", "#f4a582", "#fddbc7", "#f7f7f7", "#d1e5f0", "#92c5de", "#4393c3", "#2166ac"},
    {"#67001f", "#b2182b", "#d6604d", "#f4a582", "#fddbc7", "#d1e5f0", "#92c5de", "#4393c3", "#2166ac", "#053061"},
    {"#67001f", "#b2182b", "#d6604d", "#f4a582", "#fddbc7", "#f7f7f7", "#d1e5f0", "#92c5de", "#4393c3", "#2166ac",
     "#053061"},
};
// ColorBrewer's Purples, 4 classes.
constexpr const char* kPurples[4] = {"#f2f0f7", "#cbc9e2", "#9e9ac8", "#6a51a3"};

constexpr const char* kBackground = "#ffffff";
constexpr const char* kOutline = "#636363";
constexpr const char* kFrame = "#bdbdbd";
constexpr const char* kHatchBack = "#e0e0e0";
constexpr const char* kHatchLine = "#8c8c8c";

// The classes' colours, lowest class first.
struct Scale {
  std::vector<const char*> Colours;
  std::vector<std::string> Labels;
};

// Classes wholly below 1 (upper bound <= 1), wholly above (lower bound >= 1),
// and whether one holds 1 inside it.
struct Sides {
  size_t Below = 0, Above = 0;
  bool Neutral = false;
};

Sides SidesOf(std::span<const double> breaks) {
  Sides sides;
  for (const double b : breaks) {
    if (b <= 1.0) ++sides.Below;
    if (b >= 1.0) ++sides.Above;
  }
  sides.Neutral = sides.Below + sides.Above == breaks.size();  // no cut point at 1
  return sides;
}

std::string ShortNumber(double v, int digits) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::general, digits).ptr);
}

std::string Shortest(double v) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::vector<std::string> ClassLabels(std::span<const double> breaks) {
  std::vector<std::string> labels;
  labels.push_back("< " + Shortest(breaks.front()));
  for (size_t i = 1; i < breaks.size(); ++i) labels.push_back(Shortest(breaks[i - 1]) + " \xE2\x80\x93 " + Shortest(breaks[i]));
  labels.push_back("\xE2\x89\xA5 " + Shortest(breaks.back()));  // >=
  return labels;
}

Scale RatioScale(std::span<const double> breaks) {
  const Sides sides = SidesOf(breaks);
  const size_t m = std::max(sides.Below, sides.Above);
  Scale scale;
  scale.Labels = ClassLabels(breaks);
  // The scheme of 2m + 1 classes, its middle the neutral one; where 1 is a
  // cut point, 2m classes (for m = 1 the three-class scheme without its middle).
  const size_t size = sides.Neutral || m == 1 ? 2 * m + 1 : 2 * m;
  const char* const* scheme = kRdBu[size];
  // Reds are scheme[0 .. half - 1], the darkest first; blues follow the
  // middle (odd sizes) or start at it (even ones), the darkest last.
  const size_t half = size / 2, firstBlue = size % 2 == 1 ? half + 1 : half;
  for (size_t k = 0; k < sides.Below; ++k) scale.Colours.push_back(scheme[firstBlue + (sides.Below - 1 - k)]);
  if (sides.Neutral) scale.Colours.push_back(scheme[half]);
  for (size_t k = 0; k < sides.Above; ++k) scale.Colours.push_back(scheme[half - 1 - k]);
  return scale;
}

Scale ExceedScale() {
  Scale scale;
  scale.Colours.assign(std::begin(kPurples), std::end(kPurples));
  scale.Labels = ClassLabels(kExceedBreaks);
  return scale;
}

// ---------------------------------------------------------------------------
// Text

void AppendValue(std::string& out, double v, int digits) {
  if (!std::isfinite(v)) {
    out += "n/a";
    return;
  }
  char text[64];
  out.append(text, std::to_chars(text, text + sizeof text, v, std::chars_format::general, digits).ptr);
}

// A probability after its "P(...) ": "= 0.623", "< 0.001", "> 0.999", "= n/a".
void AppendProbability(std::string& out, double p) {
  if (std::isnan(p)) {
    out += "= n/a";
  } else if (p < 0.0005) {
    out += "< 0.001";
  } else if (p >= 0.9995) {
    out += "> 0.999";
  } else {
    out += "= ";
    char text[16];
    out.append(text, std::to_chars(text, text + sizeof text, p, std::chars_format::fixed, 3).ptr);
  }
}

// What a browser shows over a region, as plain text (not yet escaped), in
// four lines.
void AppendRegionTitle(std::string& text, const MapRegion& r, const std::string& interval, const std::string& threshold) {
  text += ValidXmlCharacters(r.Code);
  if (std::isnan(r.Observed) && std::isnan(r.Expected)) {
    text += "\nno data";
    return;
  }
  text += "\nobserved ";
  AppendValue(text, r.Observed, 17);  // a count, in full
  text += ", expected ";
  AppendValue(text, r.Expected, 4);
  text += ", ratio ";
  AppendValue(text, r.Ratio, 4);
  text += "\nEB ratio ";
  AppendValue(text, r.Eb, 4);
  text += ", ";
  text += interval;
  text += ' ';
  AppendValue(text, r.Lower, 4);
  text += " to ";
  AppendValue(text, r.Upper, 4);
  text += "\nP(ratio > ";
  text += threshold;
  text += ") ";
  AppendProbability(text, r.PExceed);
}

void Attribute(std::string& svg, const char* name, double v) {
  svg += ' ';
  svg += name;
  svg += "=\"";
  svg += ShortNumber(v, 7);
  svg += '"';
}

void Text(std::string& svg, double x, double y, std::string_view extra, std::string_view content) {
  AppendSvgText(svg, ShortNumber(x, 7), ShortNumber(y, 7), extra, content);
}

void Rect(std::string& svg, std::string_view id, double x, double y, double w, double h, std::string_view extra) {
  svg += "<rect";
  if (!id.empty()) {
    svg += " id=\"";
    svg += id;
    svg += '"';
  }
  Attribute(svg, "x", x);
  Attribute(svg, "y", y);
  Attribute(svg, "width", w);
  Attribute(svg, "height", h);
  svg += extra;
  svg += "/>\n";
}

// ---------------------------------------------------------------------------
// Layout, in pixels

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kPanelWidth = 560;
constexpr double kMaxPanelHeight = 560;
constexpr double kMinPanelHeight = 120;
constexpr double kPad = 4;  // between a panel's edge and its regions
constexpr double kLeft = 30, kGap = 40;
constexpr double kWidth = kLeft + kPanelWidth + kGap + kPanelWidth + kLeft;
constexpr double kPanelTop = 88;
constexpr double kLegendRow = 20, kLegendColumn = 280;

// Differences of coordinates are taken of their halves, which cannot
// overflow: an extent from -1e308 to 1e308 still fits the panel.
struct Layout {
  Projection Map;
  Box Extent;              // projected
  double HalfScale = 1.0;  // pixels per half a projected unit
  double OriginX = 0, OriginY = 0;  // pixel of the extent's (MinX, MaxY) in the first panel
  double PanelHeight = kMinPanelHeight;
  double Offset = kPanelWidth + kGap;  // from the first panel to the second

  double X(double x) const { return OriginX + (x / 2 - Extent.MinX / 2) * HalfScale; }
  double Y(double y) const { return OriginY + (Extent.MaxY / 2 - y / 2) * HalfScale; }
};

Layout Lay(std::span<const MapRegion> regions, bool longitudeLatitude) {
  Layout layout;
  Box degrees;
  for (const MapRegion& r : regions) degrees.Add(BoxOf(r.Shape));
  layout.Map = ProjectionFor(degrees, longitudeLatitude);
  for (const MapRegion& r : regions) {
    for (const Polygon& polygon : r.Shape) {
      for (const Point& p : polygon.Outer) layout.Extent.Add(Project(layout.Map, p));
      for (const Ring& hole : polygon.Holes) {
        for (const Point& p : hole) layout.Extent.Add(Project(layout.Map, p));
      }
    }
  }
  const double innerWidth = kPanelWidth - 2 * kPad, innerHeight = kMaxPanelHeight - 2 * kPad;
  if (layout.Extent.Empty()) layout.Extent.Add(Point{0, 0});
  const double halfDx = layout.Extent.MaxX / 2 - layout.Extent.MinX / 2;
  const double halfDy = layout.Extent.MaxY / 2 - layout.Extent.MinY / 2;
  if (halfDx > 0 || halfDy > 0) {
    layout.HalfScale = std::min(halfDx > 0 ? innerWidth / halfDx : kInfinity, halfDy > 0 ? innerHeight / halfDy : kInfinity);
  }
  // An extent of a point, or one so small that the scale overflows: drawn
  // at one pixel per half unit, around the middle.
  if (!std::isfinite(layout.HalfScale)) layout.HalfScale = 1.0;
  const double width = halfDx * layout.HalfScale, height = halfDy * layout.HalfScale;  // pixels
  layout.PanelHeight = std::max(kMinPanelHeight, height + 2 * kPad);
  layout.OriginX = kLeft + (kPanelWidth - width) / 2;
  layout.OriginY = kPanelTop + (layout.PanelHeight - height) / 2;
  return layout;
}

// ---------------------------------------------------------------------------
// Rings: pixels, simplified, in tenths of a pixel

struct PixelPoint {
  double X, Y;
};
struct Tenths {
  int64_t X, Y;
  bool operator==(const Tenths&) const = default;
};

double DistanceSquared(const PixelPoint& a, const PixelPoint& b) {
  return (a.X - b.X) * (a.X - b.X) + (a.Y - b.Y) * (a.Y - b.Y);
}

// The squared distance from p to the segment a-b.
double SegmentDistanceSquared(const PixelPoint& p, const PixelPoint& a, const PixelPoint& b) {
  const double vx = b.X - a.X, vy = b.Y - a.Y;
  const double length = vx * vx + vy * vy;
  double t = length > 0 ? ((p.X - a.X) * vx + (p.Y - a.Y) * vy) / length : 0.0;
  t = std::clamp(t, 0.0, 1.0);
  const PixelPoint q{a.X + t * vx, a.Y + t * vy};
  return DistanceSquared(p, q);
}

constexpr double kRadialTolerance = 0.1;  // pixels
constexpr double kLineTolerance = 0.4;    // pixels; the two add up to half a pixel

// The ring simplified and rounded, or empty when it collapses below a
// triangle of non-zero area. `scratch` and `keep` are reused.
void Simplify(const std::vector<PixelPoint>& ring, std::vector<PixelPoint>& scratch, std::vector<char>& keep,
              std::vector<Tenths>& out) {
  out.clear();
  // Vertices within 0.1 pixel of the last kept one go: each then lies within
  // 0.1 pixel of the path.
  scratch.clear();
  for (const PixelPoint& p : ring) {
    if (scratch.empty() || DistanceSquared(p, scratch.back()) >= kRadialTolerance * kRadialTolerance) scratch.push_back(p);
  }
  while (scratch.size() > 1 && DistanceSquared(scratch.back(), scratch.front()) < kRadialTolerance * kRadialTolerance) {
    scratch.pop_back();
  }
  const size_t n = scratch.size();
  if (n < 3) return;
  // Douglas-Peucker on the closed ring: anchored at the first vertex and the
  // one farthest from it, each chain split at its farthest vertex while that
  // lies more than 0.4 pixel from the chord.
  keep.assign(n + 1, 0);
  size_t far = 0;
  double farthest = -1;
  for (size_t i = 1; i < n; ++i) {
    const double d = DistanceSquared(scratch[i], scratch[0]);
    if (d > farthest) {
      farthest = d;
      far = i;
    }
  }
  keep[0] = keep[far] = keep[n] = 1;
  const auto at = [&](size_t i) -> const PixelPoint& { return scratch[i == n ? 0 : i]; };
  std::vector<std::pair<size_t, size_t>> stack = {{0, far}, {far, n}};
  while (!stack.empty()) {
    const auto [a, b] = stack.back();
    stack.pop_back();
    double worst = kLineTolerance * kLineTolerance;
    size_t split = 0;
    for (size_t i = a + 1; i < b; ++i) {
      const double d = SegmentDistanceSquared(scratch[i], at(a), at(b));
      if (d > worst) {
        worst = d;
        split = i;
      }
    }
    if (split == 0) continue;
    keep[split] = 1;
    stack.emplace_back(a, split);
    stack.emplace_back(split, b);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!keep[i]) continue;
    const Tenths t{std::llround(scratch[i].X * 10.0), std::llround(scratch[i].Y * 10.0)};
    if (out.empty() || !(out.back() == t)) out.push_back(t);
  }
  while (out.size() > 1 && out.back() == out.front()) out.pop_back();
  // Twice the signed area; 0 for a ring that is only a line.
  int64_t area = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const Tenths& p = out[i];
    const Tenths& q = out[(i + 1) % out.size()];
    area += p.X * q.Y - q.X * p.Y;
  }
  if (out.size() < 3 || area == 0) out.clear();
}

// Appends v, with a blank before it unless it is negative (its sign then
// separates it) or it opens a command.
char* PutNumber(char* p, int64_t v, bool separate) {
  if (separate && v >= 0) *p++ = ' ';
  return WriteInteger(p, v);
}

// One region's path data for the first panel: its rings in tenths of a
// pixel, the first point absolute, the rest relative. `firstX` is where the
// first point's x begins in `d`, so that the second panel's path differs
// only there.
struct RegionPath {
  std::string D;
  size_t FirstX = 0, FirstXLength = 0;
  int64_t X0 = 0;
  bool Mark = false;  // drawn as a 1-pixel square
};

void AppendRing(RegionPath& path, const std::vector<Tenths>& ring, Tenths& current) {
  char buffer[2 * (kMaxIntegerLength + 2) + 4];
  char* p = buffer;
  if (path.D.empty()) {
    *p++ = 'M';
    path.FirstX = 1;
    char* const x = p;
    p = WriteInteger(p, ring[0].X);
    path.FirstXLength = static_cast<size_t>(p - x);
    path.X0 = ring[0].X;
    p = PutNumber(p, ring[0].Y, true);
  } else {
    *p++ = 'm';
    p = PutNumber(p, ring[0].X - current.X, false);
    p = PutNumber(p, ring[0].Y - current.Y, true);
  }
  *p++ = 'l';
  path.D.append(buffer, p);
  for (size_t i = 1; i < ring.size(); ++i) {
    p = buffer;
    p = PutNumber(p, ring[i].X - ring[i - 1].X, i > 1);
    p = PutNumber(p, ring[i].Y - ring[i - 1].Y, true);
    path.D.append(buffer, p);
  }
  path.D += 'z';
  current = ring[0];  // after "z" the current point is the ring's start
}

// The tools of PathOf, kept from region to region.
struct Workspace {
  std::vector<PixelPoint> Pixels, Scratch;
  std::vector<char> Keep;
  std::vector<Tenths> Ring;
};

// The region's path in the first panel: every ring that does not collapse,
// or, where none remains, a 1-pixel square at the middle of its largest
// part (by the area of its box).
void PathOf(const MultiPolygon& shape, const Layout& layout, Workspace& w, RegionPath& path) {
  path = RegionPath{};
  Tenths current{0, 0};
  Box largest;
  double largestArea = -1;
  for (const Polygon& polygon : shape) {
    for (size_t k = 0; k <= polygon.Holes.size(); ++k) {
      const Ring& source = k == 0 ? polygon.Outer : polygon.Holes[k - 1];
      w.Pixels.clear();
      Box box;
      for (const Point& p : source) {
        const Point q = Project(layout.Map, p);
        w.Pixels.push_back({layout.X(q.X), layout.Y(q.Y)});
        box.Add(Point{w.Pixels.back().X, w.Pixels.back().Y});
      }
      if (k == 0 && !box.Empty()) {
        const double area = (box.MaxX - box.MinX) * (box.MaxY - box.MinY);
        if (area > largestArea) {
          largestArea = area;
          largest = box;
        }
      }
      Simplify(w.Pixels, w.Scratch, w.Keep, w.Ring);
      if (w.Ring.empty()) {
        if (k == 0) break;  // the holes of a part that collapsed go with it
        continue;
      }
      AppendRing(path, w.Ring, current);
    }
  }
  if (!path.D.empty()) return;
  const Tenths corner{std::llround((largest.MinX + largest.MaxX) * 5.0) - 5,
                      std::llround((largest.MinY + largest.MaxY) * 5.0) - 5};
  w.Ring = {corner, {corner.X + 10, corner.Y}, {corner.X + 10, corner.Y + 10}, {corner.X, corner.Y + 10}};
  AppendRing(path, w.Ring, current);
  path.Mark = true;
}

// The path moved to the second panel: only its first x differs.
void AppendShifted(std::string& out, const RegionPath& path, int64_t offset) {
  char x[kMaxIntegerLength];
  out += 'M';
  out.append(x, WriteInteger(x, path.X0 + offset));
  out.append(path.D, path.FirstX + path.FirstXLength);
}

// Ratio and probability: the class's colour, or the hatch of "no data".
std::string FillOf(int cls, const Scale& scale) {
  return cls < 0 ? std::string("url(#no-data)") : std::string(scale.Colours[static_cast<size_t>(cls)]);
}

struct Counts {
  std::vector<size_t> PerClass;
  size_t Missing = 0;
};

void DrawLegend(std::string& svg, std::string_view id, const Scale& scale, const Counts& counts, double x, double y) {
  svg += "<g id=\"";
  svg += id;
  svg += "\">\n";
  const size_t entries = scale.Colours.size() + 1;
  const size_t rows = (entries + 1) / 2;
  for (size_t i = 0; i < entries; ++i) {
    const double ex = x + static_cast<double>(i / rows) * kLegendColumn;
    const double ey = y + static_cast<double>(i % rows) * kLegendRow;
    const bool missing = i + 1 == entries;
    const std::string fill = missing ? "url(#no-data-legend)" : scale.Colours[i];
    Rect(svg, "", ex, ey, 18, 12, " fill=\"" + fill + "\" stroke=\"" + kOutline + "\" stroke-width=\"0.5\"");
    const size_t count = missing ? counts.Missing : counts.PerClass[i];
    const std::string label = (missing ? std::string("No data") : scale.Labels[i]) + " (" +
                              FormatInteger(static_cast<int64_t>(count)) + ")";
    Text(svg, ex + 26, ey + 10.5, "", label);
  }
  svg += "</g>\n";
}

void DrawPatterns(std::string& svg) {
  // The same hatch twice: in the regions' tenths of a pixel, and in pixels.
  for (const auto& [id, unit] : {std::pair{"no-data", 10.0}, std::pair{"no-data-legend", 1.0}}) {
    svg += "<pattern id=\"";
    svg += id;
    svg += "\" patternUnits=\"userSpaceOnUse\"";
    Attribute(svg, "width", 5 * unit);
    Attribute(svg, "height", 5 * unit);
    svg += ">";
    Rect(svg, "", 0, 0, 5 * unit, 5 * unit, std::string(" fill=\"") + kHatchBack + "\"");
    svg += "<path d=\"M0 " + ShortNumber(5 * unit, 7) + "L" + ShortNumber(5 * unit, 7) + " 0\" stroke=\"" + kHatchLine +
           "\"";
    Attribute(svg, "stroke-width", unit);
    svg += "/></pattern>\n";
  }
}

}  // namespace

bool ValidRatioBreaks(std::span<const double> breaks) {
  if (breaks.empty() || breaks.size() > 10) return false;
  for (size_t i = 0; i < breaks.size(); ++i) {
    if (!(breaks[i] > 0.0 && std::isfinite(breaks[i]))) return false;
    if (i > 0 && !(breaks[i] > breaks[i - 1])) return false;
  }
  const Sides sides = SidesOf(breaks);
  return sides.Below >= 1 && sides.Above >= 1 && sides.Below <= 5 && sides.Above <= 5;
}

int RatioClass(double ratio, std::span<const double> breaks) {
  if (std::isnan(ratio)) return -1;
  return static_cast<int>(std::upper_bound(breaks.begin(), breaks.end(), ratio) - breaks.begin());
}

int ExceedClass(double probability) { return RatioClass(probability, kExceedBreaks); }

std::string DrawMap(std::span<const MapRegion> regions, const MapSettings& settings) {
  const Scale ratioScale = RatioScale(settings.Breaks);
  const Scale exceedScale = ExceedScale();
  const Layout layout = Lay(regions, settings.LongitudeLatitude);

  Counts ratioCounts{std::vector<size_t>(ratioScale.Colours.size(), 0), 0};
  Counts exceedCounts{std::vector<size_t>(exceedScale.Colours.size(), 0), 0};
  size_t withoutData = 0, drawn = 0;
  for (const MapRegion& r : regions) {
    const int a = RatioClass(r.Eb, settings.Breaks), b = ExceedClass(r.PExceed);
    (a < 0 ? ratioCounts.Missing : ratioCounts.PerClass[static_cast<size_t>(a)]) += 1;
    (b < 0 ? exceedCounts.Missing : exceedCounts.PerClass[static_cast<size_t>(b)]) += 1;
    if (std::isnan(r.Ratio)) ++withoutData;  // a feature without data, or a row without a defined ratio
    if (!r.Shape.empty()) ++drawn;
  }
  const bool compact = drawn > kMaxTitledRegions;

  const double legendTop = kPanelTop + layout.PanelHeight + 20;
  const size_t legendRows = (ratioScale.Colours.size() + 2) / 2;
  const double captionY = legendTop + static_cast<double>(legendRows) * kLegendRow + 14;
  const double height = captionY + (compact ? 32 : 16);
  const double secondLeft = kLeft + layout.Offset;

  std::string svg;
  svg.reserve(8192 + (compact ? 60 : 220) * regions.size());
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\"";
  Attribute(svg, "width", kWidth);
  Attribute(svg, "height", height);
  svg += " viewBox=\"0 0 " + ShortNumber(kWidth, 7) + " " + ShortNumber(height, 7) +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  const std::string name = ShownFileName(settings.DataFileName);
  svg += "<title>Map of ";
  AppendXmlEscaped(svg, name);
  svg += "</title>\n<defs>\n";
  DrawPatterns(svg);
  svg += "</defs>\n";
  Rect(svg, "", 0, 0, kWidth, height, std::string(" fill=\"") + kBackground + "\"");

  const std::string prior = ValidXmlCharacters(settings.Prior);
  Text(svg, kWidth / 2, 28, " text-anchor=\"middle\" font-size=\"16\"",
       name + ": EB ratios" + (prior.empty() ? "" : ", " + prior));
  std::string counts = Plural(regions.size(), "region", "regions");
  counts += withoutData == 0 ? (regions.size() == 1 ? ", with data" : ", all with data")
                             : ": " + FormatInteger(static_cast<int64_t>(regions.size() - withoutData)) +
                                   " with data, " + FormatInteger(static_cast<int64_t>(withoutData)) +
                                   " without (hatched)";
  if (drawn < regions.size()) counts += "; " + FormatInteger(static_cast<int64_t>(regions.size() - drawn)) + " without a shape";
  Text(svg, kWidth / 2, 48, " text-anchor=\"middle\"", counts);
  const std::string threshold = Shortest(settings.Threshold);
  Text(svg, kLeft, kPanelTop - 10, " font-size=\"14\"", "EB ratio (1 = as expected)");
  Text(svg, secondLeft, kPanelTop - 10, " font-size=\"14\"", "Probability that the ratio exceeds " + threshold);
  const std::string frame = std::string(" fill=\"none\" stroke=\"") + kFrame + "\"";
  Rect(svg, "panel-ratio", kLeft, kPanelTop, kPanelWidth, layout.PanelHeight, frame);
  Rect(svg, "panel-exceed", secondLeft, kPanelTop, kPanelWidth, layout.PanelHeight, frame);

  svg += "<g id=\"regions\" transform=\"scale(0.1)\" fill-rule=\"evenodd\"";
  if (compact) {
    svg += " stroke=\"none\">\n";
  } else {
    // Outlines thinner the smaller the regions: a 40th of a typical
    // region's side, from 0.1 to 0.5 pixel.
    const double typical = std::sqrt(kPanelWidth * layout.PanelHeight / static_cast<double>(std::max<size_t>(drawn, 1)));
    const double outline = std::clamp(typical / 40.0, 0.1, 0.5);
    svg += " stroke=\"";
    svg += kOutline;
    svg += "\" stroke-width=\"" + ShortNumber(outline * 10.0, 2) + "\" stroke-linejoin=\"round\">\n";
  }

  const std::string interval = ValidXmlCharacters(settings.Interval);
  const int64_t offset = std::llround(layout.Offset * 10.0);
  Workspace workspace;
  RegionPath path;
  std::string title;
  // The compact form's paths: per panel and class (the last for "no data"),
  // the regions' rings and, apart, the marks of regions drawn as squares.
  std::vector<std::string> ratioPaths(2 * (ratioScale.Colours.size() + 1)),
      exceedPaths(2 * (exceedScale.Colours.size() + 1));
  for (const MapRegion& r : regions) {
    if (r.Shape.empty()) continue;
    PathOf(r.Shape, layout, workspace, path);
    const int a = RatioClass(r.Eb, settings.Breaks), b = ExceedClass(r.PExceed);
    if (compact) {
      const size_t ka = a < 0 ? ratioScale.Colours.size() : static_cast<size_t>(a);
      const size_t kb = b < 0 ? exceedScale.Colours.size() : static_cast<size_t>(b);
      ratioPaths[2 * ka + (path.Mark ? 1 : 0)] += path.D;
      AppendShifted(exceedPaths[2 * kb + (path.Mark ? 1 : 0)], path, offset);
      continue;
    }
    svg += "<g><title>";
    title.clear();
    AppendRegionTitle(title, r, interval, threshold);
    AppendXmlEscaped(svg, title);
    svg += "</title><path d=\"";
    svg += path.D;
    svg += "\" fill=\"";
    svg += FillOf(a, ratioScale);
    svg += "\"/><path d=\"";
    AppendShifted(svg, path, offset);
    svg += "\" fill=\"";
    svg += FillOf(b, exceedScale);
    svg += "\"/></g>\n";
  }
  if (compact) {
    for (const auto& [paths, scale, panel] : {std::tuple{&ratioPaths, &ratioScale, "ratio"},
                                              std::tuple{&exceedPaths, &exceedScale, "exceed"}}) {
      for (size_t k = 0; k < paths->size(); ++k) {
        const std::string& d = (*paths)[k];
        if (d.empty()) continue;
        const size_t cls = k / 2;
        const bool missing = cls == scale->Colours.size();
        svg += "<path id=\"";
        svg += panel;
        svg += '-';
        svg += missing ? std::string("no-data") : FormatInteger(static_cast<int64_t>(cls));
        if (k % 2 == 1) svg += "-marks\" fill-rule=\"nonzero";  // marks of one class may overlap
        svg += "\" d=\"";
        svg += d;
        svg += "\" fill=\"";
        svg += FillOf(missing ? -1 : static_cast<int>(cls), *scale);
        svg += "\"/>\n";
      }
    }
  }
  svg += "</g>\n";

  DrawLegend(svg, "legend-ratio", ratioScale, ratioCounts, kLeft, legendTop);
  DrawLegend(svg, "legend-exceed", exceedScale, exceedCounts, secondLeft, legendTop);
  const std::string caption = " font-size=\"11\" fill=\"#525252\"";
  std::string projection = DescribeProjection(layout.Map);
  if (!settings.BeyondGeographicCrs.empty()) {
    projection += " (its CRS, " + ValidXmlCharacters(settings.BeyondGeographicCrs) +
                  ", is geographic, but its coordinates reach beyond longitude and latitude)";
  }
  Text(svg, kLeft, captionY, caption, projection + ". Classes hold their lower bounds.");
  if (compact) {
    Text(svg, kLeft, captionY + 16, caption,
         "More than " + FormatInteger(static_cast<int64_t>(kMaxTitledRegions)) +
             " regions: drawn without outlines and without the values on hover (the region table has them).");
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnek
