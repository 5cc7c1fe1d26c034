// The funnel-and-shrinkage plot: one self-contained SVG image (no script, no
// style sheet, no external font or image) of every region's crude ratio and
// Empirical Bayes ratio against its expected count, inside exact Poisson
// control limits around the overall ratio of all records, each mark named
// for a browser to show on hover.
//
// What it draws, on logarithmic axes (x: Data2, y: the ratio):
//   - per region a hollow circle at the crude ratio Data1/Data2 (a region
//     whose count is 0 has none on a log axis: a hollow triangle at the
//     bottom edge instead), a filled dot at its EB ratio (the posterior
//     mean under the prior that --prior chose, the region table's `eb`;
//     none where that has no value, or is 0, which a log axis cannot show)
//     and a thin line from the one to the other;
//   - the 95% and 99.8% limits of the ratio (poisson_limits.h with the mean
//     overall ratio times Data2), the overall ratio, and a line at 1 where
//     1 is on the ratio axis;
//   - regions whose count lies beyond the 99.8% limits in another colour;
//   - a title with the data file's name, the number of regions and groups,
//     a line saying how many regions are shown, labelled ticks, axis titles
//     and a legend.
// The overall ratio of a set of records is the sum of their Data1 over the
// sum of their Data2. The curves are drawn about that of all records. With
// one group it also decides which regions lie beyond the limits; in a run of
// several groups each region is judged against the limits about its own
// group's overall ratio (a group without one, as every count 0, has its
// regions within), and the line under the title and the legend say so; the
// line under the title also counts the groups whose own overall ratio
// overflows a double ("; 1 group without limits of its own: its overall
// ratio is too large to compute").
//
// The ratio axis spans the drawn crude and EB ratios and the overall ratio,
// and 1 where that at most doubles their span in decades (taken as at least
// one decade): ratios near 1 show it, rates near 0.001 keep the height to
// themselves, without the line at 1 and its legend entry.
//
// Every mark of a region (its line, circle or triangle, and dot) holds a
// <title> child: "CODE: DATA1/DATA2, crude RATIO, EB RATIO" (", no EB ratio"
// where the chosen prior gives none; "EB 0" where it gives 0), and where the
// run has one group per unit "CODE (unit UNIT): ...", so that regions of two
// units with one code are told apart; numbers with four significant digits,
// the code and the unit as the tables print them (labels.h) but made valid
// and each cut to its first 39 characters and "..." where it has more than
// 40, all XML-escaped.
//
// Data at the edges of the double range: every value the plot scales by is
// finite, so every coordinate lies in the picture and every loop over an axis
// is short. The axes are logarithmic: the log10 of any valid Data2 and of any
// crude ratio is finite, within 340 decades of 1 (an axis then has at most
// nine ticks, powers of ten up to 90 decades apart). A value that is not
// finite is neither drawn nor widens an axis. The limits and the line of the
// overall ratio scale by the overall ratio; where it is not a finite number
// above 0 they are not drawn, every region of that group (with one group:
// every region) counts as within the limits, and the line under the title
// ends by saying why: "; no limits: every count is 0", or, where the
// expected counts are so small that the overall ratio of all records
// overflows a double, "; no limits: the overall ratio is too large to
// compute" ("; no limits drawn: the overall ratio of all records is too large
// to compute" with several groups). The rest of the picture is drawn all the
// same: no data makes the plot fail, nor the run.
//
// Size: at most kMaxRegionsDrawn regions are drawn, so the image stays under
// about 8 MB where codes have at most 11 characters (as every integer code);
// each further character of a text code adds its bytes to up to three titles
// of its region. With more regions, those beyond the 99.8% limits are all
// drawn (a sample of kMaxOutsideDrawn of them when there are more) and a
// sample of the others fills the rest. Samples are the rows with
// the smallest hash of the row number: the same input always gives the same
// image. Regions are drawn in input order.
//
// Structure that readers may rely on: the plotting area is the rectangle with
// id "plot-area"; the regions' marks lie inside it, in the groups with ids
// "shrinkage", "crude", "zero-count", "eb" and the same ids with "-outside"
// for the regions beyond the 99.8% limits: one <line>, <circle>, <polygon>,
// <circle> per region respectively, each with its <title>. The limits are
// <polyline>s in the groups "limits-95" and "limits-99.8".
//
// Reproducible bytes: coordinates are rounded to two decimals and every
// number is formatted without regard to the locale.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "core/record_table.h"
#include "grouping/grouping.h"

namespace tarnek {

inline constexpr size_t kMaxRegionsDrawn = 20000;
inline constexpr size_t kMaxOutsideDrawn = 15000;

// The whole SVG document for the records of `table` and their `estimates`;
// `members` are the groups' rows (ListGroupMembers), `ebRatios` holds every
// record's posterior mean under the chosen prior (NaN where it has none),
// `ebLegend` the legend's entry for it.
// `dataFileName` is shown as given; bytes that are not valid UTF-8 show as
// U+FFFD, and a name longer than 100 characters by its last 99.
std::string DrawFunnelPlot(const RecordTable& table, const Estimates& estimates, const GroupMembers& members,
                           std::span<const double> ebRatios, std::string_view ebLegend, std::string_view dataFileName);

}  // namespace tarnek
