// The map of the regions: one self-contained SVG image (no script, no style
// sheet, no external font, image or link) with two panels side by side that
// draw the same regions, each filled by a class of one value:
//   1. the EB ratio, in classes on a diverging scale centred on 1 (as
//      expected): ColorBrewer's RdBu (colour-blind safe), blues below 1, reds
//      above it, the class that holds 1 inside it a neutral grey;
//   2. the posterior probability that the ratio exceeds the threshold, in
//      the classes 0-0.2, 0.2-0.8, 0.8-0.95, 0.95-1 on ColorBrewer's
//      sequential Purples.
// A region without a value for a panel (no data for its feature, or a
// missing value) is hatched grey there. Legends give every class with its
// number of regions, "No data" included. The title gives the data file's
// name and the prior, the line under it the numbers of regions, those
// without a crude ratio (a feature without data, or a row without a defined
// ratio that --undefined=skip kept) counted as without data; a caption
// under the panels names the projection.
//
// Classes. A value v falls in the class of the cut points it reaches: class
// k (from 0) holds the values with exactly k cut points <= v, so each class
// holds its lower bound (the default ratio classes: below 0.5, 0.5 to 0.67,
// ..., 2 and above). The ratio scale takes 1 to 10 cut points, increasing,
// finite and above 0 (ValidRatioBreaks); a class holds 1 inside it, or 1 is a
// cut point; 1 to 5 classes lie wholly below 1 and 1 to 5 wholly above. The
// colours are those of ColorBrewer's RdBu scheme of 2m + 1 classes (m the
// larger side's number; 2m without a neutral class where 1 is a cut point),
// from the middle outwards: the default's 4 + 1 + 4 classes are RdBu's nine.
//
// Geometry. Coordinates pass through the projection of geometry/projection.h
// (equal-area for longitude/latitude, as they are for planar data), north
// up, the extent of all regions fitted into each panel with its aspect
// kept. Each ring is simplified to within half a pixel (vertices within
// 0.1 pixel of the last kept one dropped, then Douglas-Peucker within 0.4
// pixel) and its coordinates rounded to 0.1 pixel; a hole or part that
// collapses to less than a triangle is left out, and a region of which no
// ring remains is drawn as a 1-pixel square at the middle of its largest part,
// so no region is lost at any size. Paths fill by the even-odd rule, so
// holes stay open and the parts of a multipolygon all fill; outlines are thin
// grey lines, thinner the smaller the regions.
//
// Structure that readers may rely on: the panels' map areas are the
// rectangles with ids "panel-ratio" and "panel-exceed"; the regions are drawn
// in the group "regions", which scales by 0.1: path coordinates are in
// tenths of a pixel, integers, the first of each region absolute, the rest
// relative ("M x y l dx dy ... z m dx dy l ... z"). The legends are the
// groups "legend-ratio" and "legend-exceed", one <rect> and one <text> per
// class, "No data" last, each text ending in the class's count as "(n)". A
// region with an empty shape counts in the legends but is not drawn.
//   - Up to kMaxTitledRegions regions with shapes, every region is one <g>
//     (in input order) holding a <title> (what a browser shows on hover, in
//     four lines: the code; observed and expected counts and the crude ratio;
//     the EB ratio and its interval; the probability; "n/a" for a value that
//     is missing) and two <path>s, the
//     first in the ratio panel, the second in the other, each with its fill.
//   - Above it the map takes its compact form, so that it stays small and
//     quick to draw: per panel one <path> per class (ids "ratio-K",
//     "exceed-K", K the class from 0, and "ratio-no-data", "exceed-no-data"),
//     holding its regions' rings in input order, and one more per class for
//     the regions drawn as squares ("...-marks", filled by the nonzero rule,
//     so that overlapping squares do not cancel); no outlines, no titles; a
//     second caption line says so.
//
// Size and speed (measured on jittered grids of 12 vertices a region in
// headless Chromium 156 without a GPU on two cores, less its start of about
// 1 s): 20,000 regions in the full form make 5.4 MB and draw in about 2 s;
// 100,000 in the compact form make 5.3 MB and draw in 1 to 1.4 s. The full
// form costs 250 to 270 bytes a region (its title about 120, its two paths
// about 50 each at 2 to 4 pixels across), so 100,000 regions in it would
// make 25 MB and take some 9 s to draw.
//
// Reproducible bytes: numbers are formatted without regard to the locale.
// The projection's sines and cosines may differ in their last bits between
// C libraries; the rounding to 0.1 pixel hides that.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/geometry.h"

namespace tarnek {

struct MapRegion {
  static constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();
  static constexpr double kBeyond = std::numeric_limits<double>::infinity();
  std::string Code;            // as the outputs print it
  double Observed = kMissing;  // NaN for a feature without data, or a count that is not known
  double Expected = kMissing;  // NaN for a feature without data, or an expected count that is not known
  double Ratio = kMissing;     // crude ratio observed / expected; NaN where the data give none, kBeyond
                               // beyond the range of a double (both shown as "n/a")
  double Eb = kMissing;        // EB ratio, the first panel's value
  double Lower = kMissing;     // its interval
  double Upper = kMissing;
  double PExceed = kMissing;   // P(ratio > threshold), the second panel's value
  MultiPolygon Shape;
};

// Above this many regions with shapes the map takes its compact form (see
// above).
inline constexpr size_t kMaxTitledRegions = 20000;

inline const std::vector<double> kDefaultRatioBreaks = {0.5, 0.67, 0.8, 0.9, 1.1, 1.25, 1.5, 2.0};

struct MapSettings {
  std::string DataFileName;    // shown as given (invalid UTF-8 as U+FFFD, the last 99 characters of a longer name)
  std::string Prior;           // how the title names the prior, e.g. "MLE prior"
  std::string Interval = "95% interval";  // how the titles name the interval
  double Threshold = 1.0;      // the ratio that PExceed is about
  std::vector<double> Breaks = kDefaultRatioBreaks;  // ValidRatioBreaks
  bool LongitudeLatitude = false;  // coordinates are degrees (VectorLayer::LongitudeLatitude)
  // The name of a geographic CRS whose layer has coordinates beyond
  // longitude and latitude (VectorLayer::BeyondGeographicCrs): drawn as
  // planar, as the caption says. Empty otherwise.
  std::string BeyondGeographicCrs;
};

// True for cut points that the ratio scale accepts (see above).
bool ValidRatioBreaks(std::span<const double> breaks);

// The class of each value: the ratio classes (0 .. breaks) and the
// probability classes (0 .. 3); -1 for a NaN.
int RatioClass(double ratio, std::span<const double> breaks);
int ExceedClass(double probability);

// The whole SVG document. Preconditions: ValidRatioBreaks(settings.Breaks);
// every coordinate finite.
std::string DrawMap(std::span<const MapRegion> regions, const MapSettings& settings);

}  // namespace tarnek
