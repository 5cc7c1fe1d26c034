// Map projections for drawing: longitude/latitude made planar so that areas
// keep their proportions, and planar coordinates kept as they are.
//
// For longitude and latitude (degrees) the projection is chosen from the
// extent of the regions:
//   - the Albers equal-area conic projection on the unit sphere, centred on
//     the middle longitude of the extent, its standard parallels at one sixth
//     and five sixths of the extent's latitude range (the usual rule for a
//     region's map: scale error under about 1% over a range of 10 degrees,
//     and areas exact everywhere);
//   - the Lambert cylindrical equal-area projection with the standard
//     parallels +-phi1, the limit of the former where the two standard
//     parallels lie symmetric about the equator (their sines cancel), which
//     the conic's formulas cannot reach.
// Formulas (Snyder, Map Projections: A Working Manual, 1987, eq. 14-1 to
// 14-4 and 10-1, 10-2), for longitude lambda and latitude phi in radians:
//   n = (sin phi1 + sin phi2) / 2,  C = cos^2 phi1 + 2 n sin phi1,
//   rho = sqrt(C - 2 n sin phi) / n,  theta = n (lambda - lambda0),
//   x = rho sin theta,  y = -rho cos theta   (y grows northwards);
//   cylindrical: x = (lambda - lambda0) cos phi1,  y = sin phi / cos phi1.
// Longitudes are taken as they are (a range that crosses the antimeridian
// is drawn as the long way round). Accuracy: double arithmetic with the C
// library's sin, cos and sqrt, within 1e-12 of PROJ's own results on the
// unit sphere (checked in the test against PROJ 9.1's +proj=aea +R=1 and
// +proj=cea +R=1); drawing rounds coordinates to 0.1 pixel, which hides the
// last bits that differ between C libraries.
#pragma once

#include <string>

#include "core/geometry.h"

namespace tarnek {

enum class ProjectionKind { Planar, AlbersEqualArea, CylindricalEqualArea };

struct Projection {
  ProjectionKind Kind = ProjectionKind::Planar;
  double Lambda0 = 0.0;  // central meridian, radians
  double Phi1 = 0.0, Phi2 = 0.0;  // standard parallels, degrees (for captions)
  double SinPhi1 = 0.0, CosPhi1 = 1.0, N = 0.0, C = 0.0;
};

// The projection for regions within `extent`: longitude/latitude when
// `longitudeLatitude`, else planar (the identity).
Projection ProjectionFor(const Box& extent, bool longitudeLatitude);

// The planar point of `p` (degrees for longitude/latitude).
Point Project(const Projection& projection, const Point& p);

// A short English description for a map's caption, such as "Albers
// equal-area conic projection, standard parallels 34.33° N and 36.14° N".
std::string DescribeProjection(const Projection& projection);

}  // namespace tarnek
