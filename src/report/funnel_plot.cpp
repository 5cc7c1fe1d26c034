// Funnel plot drawing: the regions beyond the limits, the regions drawn, the
// axes, the limit curves, then the SVG text from back to front.
//
// Positions are computed in doubles with std::log10 and std::pow, whose last
// bits may differ between libraries; the two decimals kept of each
// coordinate hide that.
#include "report/funnel_plot.h"

#include <algorithm>  // std::min, std::max, std::minmax_element, std::nth_element, std::sort
#include <charconv>   // std::to_chars
#include <cmath>      // std::log10, std::pow, std::floor, std::ceil, std::isfinite, std::isnan, std::ldexp, std::llround
#include <cstdint>
#include <cstring>    // std::memcpy
#include <limits>
#include <utility>  // std::pair, std::move
#include <vector>

#include "estimation/poisson_limits.h"
#include "report/labels.h"
#include "report/number_format.h"
#include "report/xml_text.h"

namespace tarnek {

namespace {

// The canvas and the plotting area, in pixels.
constexpr double kWidth = 1040, kHeight = 620;
constexpr double kLeft = 80, kTop = 60, kRight = 720, kBottom = 530;
constexpr double kLegendLeft = 740;

constexpr double kTail95 = 0.025;    // each side of the 95% limits
constexpr double kTail998 = 0.001;   // each side of the 99.8% limits
constexpr int kCurveSteps = 320;     // limit samples across the area: one every 2 pixels
constexpr int kEdgeSteps = 40;       // bisections for the point where a limit leaves the area
constexpr int32_t kCachedCounts = 1024;  // counts below this share one inversion per count
constexpr size_t kMaxCodeCharacters = 40;  // of a code in a region's title

constexpr double kLog10Of2 = 0.30102999566398120;
constexpr double kLog10Of5 = 0.69897000433601886;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Colours: regions within the limits in blues, those beyond them in reds.
struct Palette {
  const char* Line;
  const char* Crude;
  const char* Eb;
};
constexpr Palette kWithin{"#9fb4d3", "#3b6ba5", "#1d3f72"};
constexpr Palette kBeyond{"#e8a29a", "#c0392b", "#8e2418"};
constexpr const char* kLimitColour = "#404040";
constexpr const char* kOverallColour = "#2e8b57";
constexpr const char* kGridColour = "#e5e5e5";

// ---------------------------------------------------------------------------
// Which regions: beyond the 99.8% limits, and drawn

// Sum of Data1 over sum of Data2 of the rows rowAt(0) to rowAt(size - 1),
// in this order, or NaN when there is no count at all. The sum of Data2 may
// leave the double range: it is then taken scaled by 2^-64. The ratio is at
// least 2^-1056, hence above 0 (up to 2^32 rows, each Data2 at most the
// largest double), but it overflows to infinity where the sum of Data2 is
// below the sum of Data1 over the largest double.
template <class RowAt>
double OverallRatio(const RecordTable& table, size_t size, RowAt rowAt) {
  uint64_t counts = 0;  // fewer than 2^32 rows of counts below 2^31
  double expected = 0.0;
  for (size_t i = 0; i < size; ++i) {
    counts += static_cast<uint64_t>(table.Data1[rowAt(i)]);
    expected += table.Data2[rowAt(i)];
  }
  if (counts == 0) return kNaN;
  if (std::isfinite(expected)) return static_cast<double>(counts) / expected;
  double scaled = 0.0;
  for (size_t i = 0; i < size; ++i) scaled += std::ldexp(table.Data2[rowAt(i)], -64);
  return std::ldexp(static_cast<double>(counts), -64) / scaled;
}

// The ratio that limits scale by: a finite number above 0, or NaN (no limits).
double LimitScale(double ratio) { return ratio > 0.0 && std::isfinite(ratio) ? ratio : kNaN; }

// The rows, in input order, whose count lies beyond the 99.8% limits at its
// mean, and the others. Rows are below 2^32, as in grouping.
struct Split {
  std::vector<uint32_t> Beyond, Within;
  size_t TooLarge = 0;  // groups whose own overall ratio overflows a double: no limits of their own
};

// Each group's rows judged against the limits about the group's own overall
// ratio (with one group: that of all records); a group without one (every
// count 0, or a ratio that overflows) has its rows within.
Split SplitByLimits(const RecordTable& table, const GroupMembers& members) {
  std::vector<uint8_t> beyond(table.Size(), 0);
  // Bounds of the counts below kCachedCounts, computed when first met; -1: not yet.
  std::vector<CountBounds> bounds;
  Split split;
  for (size_t g = 0; g + 1 < members.Start.size(); ++g) {
    const uint32_t* rows = members.Rows.data() + members.Start[g];
    const size_t size = members.Start[g + 1] - members.Start[g];
    const double ratio = OverallRatio(table, size, [rows](size_t i) { return rows[i]; });
    split.TooLarge += std::isinf(ratio);
    const double overall = LimitScale(ratio);
    if (std::isnan(overall)) continue;  // no limits
    for (size_t i = 0; i < size; ++i) {
      const uint32_t row = rows[i];
      const int32_t count = table.Data1[row];
      const double mean = overall * table.Data2[row];
      if (count >= kCachedCounts) {
        beyond[row] = SideOfLimits(count, mean, kTail998) != LimitSide::Inside;
      } else {
        const size_t k = static_cast<size_t>(count);
        if (k >= bounds.size()) bounds.resize(k + 1, CountBounds{-1.0, -1.0});
        if (bounds[k].LowAbove == -1.0) bounds[k] = CountBoundsOf(count, kTail998);
        beyond[row] = mean > bounds[k].LowAbove || mean < bounds[k].HighBelow;
      }
    }
  }
  for (size_t row = 0; row < table.Size(); ++row) {
    if (!table.Defined(row)) continue;  // not drawn
    (beyond[row] ? split.Beyond : split.Within).push_back(static_cast<uint32_t>(row));
  }
  return split;
}

// A 64-bit mix of the row number (the finalizer of SplitMix64).
uint64_t Scramble(uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// `keep` of the rows (all when there are no more), those whose scrambled
// number is smallest, ascending. Rows are below 2^32, as in grouping.
std::vector<uint32_t> Sample(const std::vector<uint32_t>& rows, size_t keep) {
  if (rows.size() <= keep) return rows;
  std::vector<uint64_t> keys(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) keys[i] = (Scramble(rows[i]) & 0xFFFFFFFF00000000u) | rows[i];
  std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(keep), keys.end());
  std::vector<uint32_t> kept(keep);
  for (size_t i = 0; i < keep; ++i) kept[i] = static_cast<uint32_t>(keys[i]);
  std::sort(kept.begin(), kept.end());
  return kept;
}

struct Drawn {
  uint32_t Row;
  bool Beyond;  // beyond the 99.8% limits
};

struct Selection {
  std::vector<Drawn> Regions;  // in input order
  size_t BeyondDrawn = 0;
};

Selection SelectRegions(const Split& split) {
  const std::vector<uint32_t> beyond = Sample(split.Beyond, kMaxOutsideDrawn);
  const std::vector<uint32_t> within = Sample(split.Within, kMaxRegionsDrawn - beyond.size());
  Selection s;
  s.BeyondDrawn = beyond.size();
  s.Regions.reserve(beyond.size() + within.size());
  for (size_t i = 0, j = 0; i < beyond.size() || j < within.size();) {
    if (j == within.size() || (i < beyond.size() && beyond[i] < within[j])) {
      s.Regions.push_back({beyond[i++], true});
    } else {
      s.Regions.push_back({within[j++], false});
    }
  }
  return s;
}

// ---------------------------------------------------------------------------
// Axes: ranges in log10 of the value, and their ticks

// The log10 of a positive finite double lies in [-323.4, 308.3], that of a
// count below 2^31 over one in (-308.3, 332.7): an axis never needs more than
// this many decades either side of 1.
constexpr double kMaxDecades = 400;

struct Axis {
  double Lo = 0.0, Hi = 1.0;       // log10 of the values at the ends, within +-kMaxDecades * 1.04
  double PixelLo = 0.0, PixelHi = 1.0;  // where the ends are drawn

  double Pixel(double v) const { return PixelLo + (v - Lo) / (Hi - Lo) * (PixelHi - PixelLo); }
};

// At least one decade wide, with 4% to spare on either side. Ends that are
// not finite or beyond kMaxDecades (never from valid records) show nothing:
// the axis is then around 1, so that every loop over it stays short.
Axis MakeAxis(double lo, double hi, double pixelLo, double pixelHi) {
  if (!(lo <= hi && lo >= -kMaxDecades && hi <= kMaxDecades)) lo = hi = 0.0;  // nothing to show: around 1
  if (hi - lo < 1.0) {
    const double middle = (lo + hi) / 2.0;
    lo = middle - 0.5;
    hi = middle + 0.5;
  }
  const double spare = (hi - lo) * 0.04;
  return Axis{lo - spare, hi + spare, pixelLo, pixelHi};
}

// The text of m times 10^k: plain decimals from 0.0001 to 900000, else "me-k".
std::string TickLabel(int m, int k) {
  const char digit = static_cast<char>('0' + m);
  if (k >= 0 && k <= 5) return digit + std::string(static_cast<size_t>(k), '0');
  if (k < 0 && k >= -4) return "0." + std::string(static_cast<size_t>(-k - 1), '0') + digit;
  return digit + std::string("e") + FormatInteger(k);
}

struct Tick {
  double Position;  // log10 of the value
  std::string Label;
};

// 1, 2 and 5 times the powers of ten over up to three decades; over more,
// powers of ten at most eight steps apart.
std::vector<Tick> Ticks(const Axis& axis) {
  std::vector<Tick> ticks;
  const double span = axis.Hi - axis.Lo;
  if (span <= 3.0) {
    for (int k = static_cast<int>(std::floor(axis.Lo)); k <= static_cast<int>(std::ceil(axis.Hi)); ++k) {
      for (const auto& [m, offset] : {std::pair{1, 0.0}, std::pair{2, kLog10Of2}, std::pair{5, kLog10Of5}}) {
        const double v = k + offset;
        if (v >= axis.Lo && v <= axis.Hi) ticks.push_back({v, TickLabel(m, k)});
      }
    }
    return ticks;
  }
  const int step = static_cast<int>(std::ceil(span / 8.0));
  for (int k = static_cast<int>(std::ceil(axis.Lo / step)) * step; k <= axis.Hi; k += step) {
    ticks.push_back({static_cast<double>(k), TickLabel(1, k)});
  }
  return ticks;
}

// ---------------------------------------------------------------------------
// The marks of the drawn regions

struct Mark {
  double X;      // pixels
  double Crude;  // pixels: the crude ratio, or the bottom edge for a count of 0
  double Eb;     // pixels, NaN when the region has no EB ratio to draw (none, or 0)
  bool Zero;     // the count is 0
  bool Beyond;   // beyond the 99.8% limits
  std::string Title;  // what a browser shows on hover, escaped
};

// The log10 of an EB ratio where a log axis can show it (a finite number
// above 0), else NaN.
double DrawnLog(double eb) { return eb > 0.0 && std::isfinite(eb) ? std::log10(eb) : kNaN; }

// ---------------------------------------------------------------------------
// SVG text

// Marks are formatted into a small buffer each and appended whole: the
// drawing of 20000 regions is mostly this.

// Room for one number: coordinates are kept within +-99999.99.
constexpr size_t kMaxNumberLength = 9;
// Room for one mark's element: its text and up to six numbers.
constexpr size_t kMaxMarkLength = 64 + 6 * kMaxNumberLength;

char* Put(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// A coordinate in hundredths, rounded half away from zero (one IEEE
// multiplication: the same on every machine), trailing zeros dropped.
char* PutNumber(char* p, double v) {
  v = v >= -99999.99 ? std::min(v, 99999.99) : -99999.99;  // a NaN too
  int64_t hundredths = std::llround(v * 100.0);
  if (hundredths < 0) {
    *p++ = '-';
    hundredths = -hundredths;
  }
  p = WriteInteger(p, hundredths / 100);
  const int fraction = static_cast<int>(hundredths % 100);
  if (fraction != 0) {
    *p++ = '.';
    *p++ = static_cast<char>('0' + fraction / 10);
    if (fraction % 10 != 0) *p++ = static_cast<char>('0' + fraction % 10);
  }
  return p;
}

void AppendNumber(std::string& svg, double v) {
  char text[kMaxNumberLength];
  svg.append(text, PutNumber(text, v));
}

void Attribute(std::string& svg, const char* name, double v) {
  svg += ' ';
  svg += name;
  svg += "=\"";
  AppendNumber(svg, v);
  svg += '"';
}

void Attribute(std::string& svg, const char* name, std::string_view v) {
  svg += ' ';
  svg += name;
  svg += "=\"";
  svg += v;
  svg += '"';
}

// The end of an element whose attributes end at `p` in `text`: empty, or
// with a <title> child holding `title` (escaped already).
void EndElement(std::string& svg, char* text, char* p, std::string_view element, std::string_view title) {
  if (title.empty()) {
    svg.append(text, Put(p, "\"/>\n"));
    return;
  }
  svg.append(text, Put(p, "\"><title>"));
  svg += title;
  svg += "</title></";
  svg += element;
  svg += ">\n";
}

void Line(std::string& svg, double x1, double y1, double x2, double y2, std::string_view title = {}) {
  char text[kMaxMarkLength];
  char* p = PutNumber(Put(text, "<line x1=\""), x1);
  p = PutNumber(Put(p, "\" y1=\""), y1);
  p = PutNumber(Put(p, "\" x2=\""), x2);
  p = PutNumber(Put(p, "\" y2=\""), y2);
  EndElement(svg, text, p, "line", title);
}

void Circle(std::string& svg, double x, double y, double r, std::string_view title = {}) {
  char text[kMaxMarkLength];
  char* p = PutNumber(Put(text, "<circle cx=\""), x);
  p = PutNumber(Put(p, "\" cy=\""), y);
  p = PutNumber(Put(p, "\" r=\""), r);
  EndElement(svg, text, p, "circle", title);
}

// A hollow triangle pointing down at (x, y).
void Triangle(std::string& svg, double x, double y, std::string_view title = {}) {
  char text[kMaxMarkLength];
  char* p = PutNumber(Put(text, "<polygon points=\""), x - 3.5);
  p = PutNumber(Put(p, ","), y - 6.0);
  p = PutNumber(Put(p, " "), x + 3.5);
  p = PutNumber(Put(p, ","), y - 6.0);
  p = PutNumber(Put(p, " "), x);
  p = PutNumber(Put(p, ","), y);
  EndElement(svg, text, p, "polygon", title);
}

// <text> at (x, y); `extra` holds further attributes; `content` is escaped.
void Text(std::string& svg, double x, double y, std::string_view extra, std::string_view content) {
  std::string xText, yText;
  AppendNumber(xText, x);
  AppendNumber(yText, y);
  AppendSvgText(svg, xText, yText, extra, content);
}

void OpenGroup(std::string& svg, std::string_view id, std::string_view attributes) {
  svg += "<g";
  if (!id.empty()) Attribute(svg, "id", id);
  svg += attributes;
  svg += ">\n";
}

void CloseGroup(std::string& svg) { svg += "</g>\n"; }

// Style attributes of a group of marks.
std::string Stroke(const char* colour, std::string_view more = "") {
  return std::string(" fill=\"none\" stroke=\"") + colour + "\"" + std::string(more);
}
std::string Fill(const char* colour) { return std::string(" fill=\"") + colour + "\""; }

// A finite number in the legend or a title: four significant digits.
std::string ShortNumber(double v) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::general, 4).ptr);
}

// The crude ratio count/expected as ShortNumber gives it; where the quotient
// overflows a double (a count over an expected count near the smallest),
// its mantissa and exponent from its log10, in the same form.
std::string CrudeText(int32_t count, double expected) {
  const double ratio = count / expected;
  if (std::isfinite(ratio)) return ShortNumber(ratio);
  const double log = std::log10(static_cast<double>(count)) - std::log10(expected);  // above 308
  double exponent = std::floor(log);
  std::string mantissa = ShortNumber(std::pow(10.0, log - exponent));
  if (mantissa == "10") {  // 9.9995 and above round up
    mantissa = "1";
    exponent += 1.0;
  }
  return mantissa + "e+" + FormatInteger(static_cast<int64_t>(exponent));
}

// The first `count` characters of well-formed UTF-8 text.
std::string_view FirstCharacters(std::string_view utf8, size_t count) {
  size_t end = 0;
  for (size_t n = 0; n < count && end < utf8.size(); ++n) {
    ++end;
    while (end < utf8.size() && (static_cast<uint8_t>(utf8[end]) & 0xC0) == 0x80) ++end;
  }
  return utf8.substr(0, end);
}

// An identifier as a title shows it, escaped: valid characters, at most
// kMaxCodeCharacters of them (a longer one by its first ones and "...").
void AppendShownIdentifier(std::string& title, std::string text) {
  text = ValidXmlCharacters(text);
  if (CountCharacters(text) > kMaxCodeCharacters) {
    text = std::string(FirstCharacters(text, kMaxCodeCharacters - 1)) + "\xE2\x80\xA6";
  }
  AppendXmlEscaped(title, text);
}

// A region's title, escaped: its code as the tables print it, with its unit
// where the run has one group per unit (AppendShownIdentifier), then
// Data1/Data2, the crude ratio and the EB ratio under the chosen prior:
// "D17 (unit 3): 12/10.5, crude 1.143, EB 1.05", or ", no EB ratio" at the
// end where it has none (`eb` NaN; never infinite).
std::string TitleOf(const RecordTable& table, size_t row, double eb, bool withUnit) {
  std::string text;
  AppendCode(text, table, row);
  std::string title;
  AppendShownIdentifier(title, std::move(text));
  if (withUnit) {
    text.clear();
    AppendUnit(text, table, table.Unit[row]);
    title += " (unit ";
    AppendShownIdentifier(title, std::move(text));
    title += ')';
  }
  const int32_t count = table.Data1[row];
  title += ": ";
  AppendInteger(title, count);
  title += '/';
  title += ShortNumber(table.Data2[row]);
  title += ", crude ";
  title += count == 0 ? std::string("0") : CrudeText(count, table.Data2[row]);
  title += std::isfinite(eb) ? ", EB " + ShortNumber(eb) : std::string(", no EB ratio");
  return title;
}

// ---------------------------------------------------------------------------
// The parts of the picture


void DrawFrameAndTicks(std::string& svg, const Axis& x, const Axis& y) {
  const std::vector<Tick> xTicks = Ticks(x), yTicks = Ticks(y);
  OpenGroup(svg, "grid", Stroke(kGridColour));
  for (const Tick& t : xTicks) Line(svg, x.Pixel(t.Position), kTop, x.Pixel(t.Position), kBottom);
  for (const Tick& t : yTicks) Line(svg, kLeft, y.Pixel(t.Position), kRight, y.Pixel(t.Position));
  CloseGroup(svg);
  OpenGroup(svg, "ticks", " stroke=\"#000000\"");
  for (const Tick& t : xTicks) Line(svg, x.Pixel(t.Position), kBottom, x.Pixel(t.Position), kBottom + 5);
  for (const Tick& t : yTicks) Line(svg, kLeft - 5, y.Pixel(t.Position), kLeft, y.Pixel(t.Position));
  CloseGroup(svg);
  OpenGroup(svg, "tick-labels", " font-size=\"11\"");
  for (const Tick& t : xTicks) Text(svg, x.Pixel(t.Position), kBottom + 18, " text-anchor=\"middle\"", t.Label);
  for (const Tick& t : yTicks) Text(svg, kLeft - 8, y.Pixel(t.Position) + 4, " text-anchor=\"end\"", t.Label);
  CloseGroup(svg);
  Text(svg, (kLeft + kRight) / 2, kBottom + 42, " text-anchor=\"middle\"",
       "Expected count (Data2), logarithmic scale");
  Text(svg, 0, 0, " transform=\"translate(24 295) rotate(-90)\" text-anchor=\"middle\"",
       "Ratio Data1/Data2 (1 = as expected), logarithmic scale");
}

// One limit curve as polylines over the stretches where it lies inside the
// area. Where it leaves the area (or has no value), the edge is found by
// bisection between the samples on either side.
void DrawLimit(std::string& svg, const Axis& x, const Axis& y, double overall, double tail, bool upper) {
  const auto value = [&](double u) {  // log10 of the ratio limit at Data2 = 10^u, or NaN
    const double expected = std::pow(10.0, u);
    const double mean = overall * expected;
    const double limit = upper ? UpperPoissonLimit(mean, tail) : LowerPoissonLimit(mean, tail);
    if (!(limit > 0.0)) return kNaN;
    // Next to an overall ratio near the largest double the quotient may
    // overflow where its log10 is still on the axis.
    const double ratio = limit / expected;
    return std::isfinite(ratio) ? std::log10(ratio) : std::log10(limit) - u;
  };
  const auto inside = [&](double v) { return v >= y.Lo && v <= y.Hi; };
  std::vector<std::pair<double, double>> points;  // (u, v)
  const auto flush = [&] {
    if (points.size() >= 2) {
      svg += "<polyline points=\"";
      for (size_t i = 0; i < points.size(); ++i) {
        if (i > 0) svg += ' ';
        AppendNumber(svg, x.Pixel(points[i].first));
        svg += ',';
        AppendNumber(svg, y.Pixel(points[i].second));
      }
      svg += "\"/>\n";
    }
    points.clear();
  };
  double previousU = x.Lo;
  bool previousInside = false;
  for (int i = 0; i <= kCurveSteps; ++i) {
    const double u = x.Lo + (x.Hi - x.Lo) * i / kCurveSteps;
    const double v = value(u);
    const bool in = inside(v);
    if (i > 0 && in != previousInside) {
      double a = previousU, b = u;  // a on the side of the previous sample
      for (int step = 0; step < kEdgeSteps; ++step) {
        const double middle = (a + b) / 2;
        (inside(value(middle)) == previousInside ? a : b) = middle;
      }
      const double edge = previousInside ? a : b;
      points.emplace_back(edge, value(edge));
      if (previousInside) flush();
    }
    if (in) points.emplace_back(u, v);
    previousU = u;
    previousInside = in;
  }
  flush();
}

void DrawLimits(std::string& svg, const Axis& x, const Axis& y, double overall) {
  OpenGroup(svg, "limits-95", Stroke(kLimitColour, " stroke-width=\"1.2\" stroke-dasharray=\"6 4\""));
  DrawLimit(svg, x, y, overall, kTail95, false);
  DrawLimit(svg, x, y, overall, kTail95, true);
  CloseGroup(svg);
  OpenGroup(svg, "limits-99.8", Stroke(kLimitColour, " stroke-width=\"1.2\""));
  DrawLimit(svg, x, y, overall, kTail998, false);
  DrawLimit(svg, x, y, overall, kTail998, true);
  CloseGroup(svg);
}

// The marks of the regions within the limits, then of those beyond them,
// each kind in a group of its own: lines under circles under dots.
void DrawRegions(std::string& svg, const std::vector<Mark>& marks) {
  for (const bool beyond : {false, true}) {
    const Palette& colour = beyond ? kBeyond : kWithin;
    const std::string suffix = beyond ? "-outside" : "";
    OpenGroup(svg, "shrinkage" + suffix, Stroke(colour.Line, " stroke-width=\"0.8\""));
    for (const Mark& m : marks) {
      if (m.Beyond == beyond && !std::isnan(m.Eb)) Line(svg, m.X, m.Crude, m.X, m.Eb, m.Title);
    }
    CloseGroup(svg);
    OpenGroup(svg, "crude" + suffix, Stroke(colour.Crude, " pointer-events=\"visible\""));
    for (const Mark& m : marks) {
      if (m.Beyond == beyond && !m.Zero) Circle(svg, m.X, m.Crude, 3.0, m.Title);
    }
    CloseGroup(svg);
    OpenGroup(svg, "zero-count" + suffix, Stroke(colour.Crude, " pointer-events=\"visible\""));
    for (const Mark& m : marks) {
      if (m.Beyond == beyond && m.Zero) Triangle(svg, m.X, m.Crude, m.Title);
    }
    CloseGroup(svg);
    OpenGroup(svg, "eb" + suffix, Fill(colour.Eb));
    for (const Mark& m : marks) {
      if (m.Beyond == beyond && !std::isnan(m.Eb)) Circle(svg, m.X, m.Eb, 2.0, m.Title);
    }
    CloseGroup(svg);
  }
}

// The legend; in a run of several groups the red marks are those beyond
// their own group's limits, and the curves those of all records.
void DrawLegend(std::string& svg, double overall, std::string_view ebLegend, bool grouped, bool one) {
  OpenGroup(svg, "legend", "");
  const double cx = kLegendLeft + 10;
  double cy = kTop + 10;
  // One row: the symbol drawn at (cx, cy) in a group of the given style, and its label.
  const auto row = [&](const std::string& style, auto&& symbol, const std::string& label) {
    OpenGroup(svg, "", style);
    symbol();
    CloseGroup(svg);
    Text(svg, cx + 18, cy + 4, "", label);
    cy += 22;
  };
  row(Stroke(kWithin.Crude), [&] { Circle(svg, cx, cy, 3.0); }, "Crude ratio Data1/Data2");
  row(Fill(kWithin.Eb), [&] { Circle(svg, cx, cy, 2.0); }, std::string(ebLegend));
  row(Stroke(kWithin.Line), [&] { Line(svg, cx, cy - 8, cx, cy + 8); }, "Shrinkage: crude ratio to EB ratio");
  row(Stroke(kWithin.Crude), [&] { Triangle(svg, cx, cy + 3); }, "Count 0 (at the bottom edge)");
  row(Stroke(kBeyond.Crude), [&] { Circle(svg, cx, cy, 3.0); },
      grouped ? "Beyond its own group's 99.8% limits" : "Beyond the 99.8% limits");
  const std::string ofAll = grouped ? ", all records" : "";
  row(Stroke(kLimitColour, " stroke-dasharray=\"6 4\""), [&] { Line(svg, cx - 10, cy, cx + 10, cy); },
      "95% limits" + ofAll + " (exact Poisson)");
  row(Stroke(kLimitColour), [&] { Line(svg, cx - 10, cy, cx + 10, cy); }, "99.8% limits" + ofAll + " (exact Poisson)");
  if (overall > 0.0) {
    row(Stroke(kOverallColour), [&] { Line(svg, cx - 10, cy, cx + 10, cy); },
        (grouped ? "Overall ratio of all records " : "Overall ratio ") + ShortNumber(overall));
  }
  if (one) row(Stroke("#000000"), [&] { Line(svg, cx - 10, cy, cx + 10, cy); }, "Ratio 1");
  CloseGroup(svg);
}

// Where everything goes: the axes and the drawn regions' marks. The x axis
// spans every record's Data2; the y axis every drawn ratio and the overall
// ratio, and 1 where that at most doubles their span in decades (taken as at
// least one decade, as an axis is): rates far below 1 keep the height to
// themselves. Without any such ratio the axis is around 1.
struct Layout {
  Axis X, Y;
  std::vector<Mark> Marks;
  bool One = false;  // 1 lies on the y axis
};

// The ends of the y axis, in log10 of the ratio, for data from lo to hi
// (lo > hi: none).
std::pair<double, double> RatioRange(double lo, double hi) {
  if (lo > hi) return {0.0, 0.0};
  const double withOne = std::max(hi, 0.0) - std::min(lo, 0.0);
  if (withOne <= 2.0 * std::max(hi - lo, 1.0)) return {std::min(lo, 0.0), std::max(hi, 0.0)};
  return {lo, hi};
}

Layout Lay(const RecordTable& table, std::span<const double> chosen, bool withUnit, const Selection& selection,
           double overall) {
  Layout layout;
  double xLo = std::numeric_limits<double>::infinity(), xHi = 0.0;
  for (size_t row = 0; row < table.Size(); ++row) {
    if (!table.Defined(row)) continue;
    xLo = std::min(xLo, table.Data2[row]);
    xHi = std::max(xHi, table.Data2[row]);
  }
  if (xHi > 0.0) {
    layout.X = MakeAxis(std::log10(xLo), std::log10(xHi), kLeft, kRight);
  } else {
    layout.X = MakeAxis(0.0, 1.0, kLeft, kRight);
  }
  // First in log10 of the values, then in pixels once the y axis is known.
  double yLo = std::numeric_limits<double>::infinity(), yHi = -yLo;
  const auto widen = [&](double v) {
    if (!std::isfinite(v)) return;
    yLo = std::min(yLo, v);
    yHi = std::max(yHi, v);
  };
  if (overall > 0.0) widen(std::log10(overall));
  for (const Drawn& d : selection.Regions) {
    const double lx = std::log10(table.Data2[d.Row]);
    const int32_t count = table.Data1[d.Row];
    const double crude = count > 0 ? std::log10(static_cast<double>(count)) - lx : kNaN;
    const double eb = DrawnLog(chosen[d.Row]);
    widen(crude);
    widen(eb);
    layout.Marks.push_back({lx, crude, eb, count == 0, d.Beyond, TitleOf(table, d.Row, chosen[d.Row], withUnit)});
  }
  const auto [lo, hi] = RatioRange(yLo, yHi);
  layout.Y = MakeAxis(lo, hi, kBottom, kTop);
  layout.One = layout.Y.Lo <= 0.0 && 0.0 <= layout.Y.Hi;
  for (Mark& m : layout.Marks) {
    m.X = layout.X.Pixel(m.X);
    m.Crude = m.Zero ? kBottom : layout.Y.Pixel(m.Crude);
    m.Eb = std::isnan(m.Eb) ? kNaN : layout.Y.Pixel(m.Eb);
  }
  return layout;
}

// The line under the title: how many regions are drawn, and beyond the
// limits (in a run of several groups: their own group's); `ratio` is the
// overall ratio of all records, drawn or not.
std::string ShownLine(size_t n, const Split& split, const Selection& selection, double ratio, bool grouped) {
  const auto number = [](size_t k) { return FormatInteger(static_cast<int64_t>(k)); };
  const std::string limits = grouped ? " beyond their own group's 99.8% limits" : " beyond the 99.8% limits";
  const size_t drawn = selection.Regions.size();
  std::string line;
  if (drawn == n) {
    line = "Shown: all " + Plural(n, "region", "regions") + "; " + number(split.Beyond.size()) + limits;
  } else {
    line = "Shown: a sample of " + number(drawn) + " of " + Plural(n, "region", "regions") + ": " +
           number(selection.BeyondDrawn) + " of " + number(split.Beyond.size()) + limits + ", " +
           number(drawn - selection.BeyondDrawn) + " of " + number(split.Within.size()) + " within them";
  }
  if (n > 0 && std::isnan(ratio)) line += "; no limits: every count is 0";
  if (grouped && split.TooLarge > 0) {
    line += "; " + Plural(split.TooLarge, "group", "groups") +
            (split.TooLarge == 1 ? " without limits of its own: its overall ratio is"
                                 : " without limits of their own: their overall ratios are") +
            " too large to compute";
  }
  if (std::isinf(ratio)) {
    line += grouped ? "; no limits drawn: the overall ratio of all records is too large to compute"
                    : "; no limits: the overall ratio is too large to compute";
  }
  return line;
}

// A horizontal line across the plotting area at log10 value v.
void Level(std::string& svg, std::string_view id, const char* colour, const Axis& y, double v) {
  svg += "<line";
  Attribute(svg, "id", id);
  Attribute(svg, "stroke", colour);
  Attribute(svg, "x1", kLeft);
  Attribute(svg, "y1", y.Pixel(v));
  Attribute(svg, "x2", kRight);
  Attribute(svg, "y2", y.Pixel(v));
  svg += "/>\n";
}

}  // namespace

std::string DrawFunnelPlot(const RecordTable& table, const Estimates& estimates, const GroupMembers& members,
                           std::span<const double> ebRatios, std::string_view ebLegend, std::string_view dataFileName) {
  // The regions with a defined ratio, in input order: the others (kept with
  // --undefined=skip) are not drawn, and the note under the title counts them.
  std::vector<uint32_t> defined;
  for (size_t row = 0; row < table.Size(); ++row) {
    if (table.Defined(row)) defined.push_back(static_cast<uint32_t>(row));
  }
  const size_t n = defined.size();
  const double ratio = OverallRatio(table, n, [&](size_t i) { return defined[i]; });
  // The limits and the overall line scale by the overall ratio: they are
  // drawn where it is a finite number above 0; NaN: no limits.
  const double overall = LimitScale(ratio);
  const bool grouped = members.Start.size() > 2;
  const Split split = SplitByLimits(table, members);
  const Selection selection = SelectRegions(split);
  const Layout layout = Lay(table, ebRatios, estimates.Mode == GroupMode::PerUnit, selection, overall);

  std::string svg;
  svg.reserve(8192 + 320 * layout.Marks.size());
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\"";
  Attribute(svg, "width", kWidth);
  Attribute(svg, "height", kHeight);
  svg += " viewBox=\"0 0 ";
  AppendNumber(svg, kWidth);
  svg += ' ';
  AppendNumber(svg, kHeight);
  svg += "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  const std::string name = ShownFileName(dataFileName);
  svg += "<title>Funnel plot of ";
  AppendXmlEscaped(svg, name);
  svg += "</title>\n";
  svg += "<rect";
  Attribute(svg, "width", kWidth);
  Attribute(svg, "height", kHeight);
  svg += " fill=\"#ffffff\"/>\n";
  Text(svg, kWidth / 2, 26, " text-anchor=\"middle\" font-size=\"16\"",
       name + ": " + Plural(n, "region", "regions") + " in " + Plural(estimates.Groups.size(), "group", "groups"));
  std::string shown = ShownLine(n, split, selection, ratio, grouped);
  if (n < table.Size()) shown += "; " + Plural(table.Size() - n, "row", "rows") + " without a defined ratio";
  Text(svg, kWidth / 2, 46, " text-anchor=\"middle\"", shown);
  DrawFrameAndTicks(svg, layout.X, layout.Y);
  DrawRegions(svg, layout.Marks);
  // The reference lines over the marks, which may cover the area.
  if (layout.One) Level(svg, "ratio-one", "#000000", layout.Y, 0.0);
  if (overall > 0.0) {
    Level(svg, "overall-ratio", kOverallColour, layout.Y, std::log10(overall));
    DrawLimits(svg, layout.X, layout.Y, overall);
  }
  svg += "<rect id=\"plot-area\"";
  Attribute(svg, "x", kLeft);
  Attribute(svg, "y", kTop);
  Attribute(svg, "width", kRight - kLeft);
  Attribute(svg, "height", kBottom - kTop);
  svg += " fill=\"none\" stroke=\"#000000\"/>\n";
  DrawLegend(svg, overall, ebLegend, grouped, layout.One);
  svg += "</svg>\n";
  return svg;
}

}  // namespace tarnek
