// Albers equal-area conic and Lambert cylindrical equal-area on the unit
// sphere (Snyder 1987), and their captions.
#include "geometry/projection.h"

#include <algorithm>  // std::max
#include <charconv>   // std::to_chars
#include <cmath>      // std::sin, std::cos, std::sqrt, std::fabs

namespace tarnek {

namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

// Below this |n| the cone is all but a cylinder and the conic's formulas
// lose precision (rho grows as 1/n): the cylinder is used, within about 1e-6
// of the cone's shape.
constexpr double kSmallestCone = 1e-6;

std::string Degrees(double phi) {
  char text[32];
  const double magnitude = std::fabs(phi) < 0.005 ? 0.0 : std::fabs(phi);
  std::string out(text, std::to_chars(text, text + sizeof text, magnitude, std::chars_format::fixed, 2).ptr);
  out += "\xC2\xB0";  // the degree sign
  if (magnitude != 0.0) out += phi > 0 ? " N" : " S";
  return out;
}

}  // namespace

Projection ProjectionFor(const Box& extent, bool longitudeLatitude) {
  Projection projection;
  if (!longitudeLatitude || extent.Empty()) return projection;
  const double south = std::max(extent.MinY, -90.0), north = std::min(extent.MaxY, 90.0);
  const double range = north - south;
  projection.Lambda0 = (extent.MinX + extent.MaxX) / 2.0 * kRadiansPerDegree;
  projection.Phi1 = south + range / 6.0;
  projection.Phi2 = north - range / 6.0;
  projection.SinPhi1 = std::sin(projection.Phi1 * kRadiansPerDegree);
  projection.CosPhi1 = std::cos(projection.Phi1 * kRadiansPerDegree);
  projection.N = (projection.SinPhi1 + std::sin(projection.Phi2 * kRadiansPerDegree)) / 2.0;
  if (std::fabs(projection.N) < kSmallestCone) {
    projection.Kind = ProjectionKind::CylindricalEqualArea;
    projection.N = 0.0;
  } else {
    projection.Kind = ProjectionKind::AlbersEqualArea;
    projection.C = projection.CosPhi1 * projection.CosPhi1 + 2.0 * projection.N * projection.SinPhi1;
  }
  return projection;
}

Point Project(const Projection& projection, const Point& p) {
  switch (projection.Kind) {
    case ProjectionKind::Planar:
      return p;
    case ProjectionKind::CylindricalEqualArea:
      return {(p.X * kRadiansPerDegree - projection.Lambda0) * projection.CosPhi1,
              std::sin(p.Y * kRadiansPerDegree) / projection.CosPhi1};
    case ProjectionKind::AlbersEqualArea:
      break;
  }
  // C - 2 n sin phi is (1 - sin phi1)(1 - sin phi2) at the north pole and
  // (1 + sin phi1)(1 + sin phi2) at the south pole, linear in sin phi in
  // between: never below 0 but for rounding.
  const double radicand = projection.C - 2.0 * projection.N * std::sin(p.Y * kRadiansPerDegree);
  const double rho = std::sqrt(std::max(radicand, 0.0)) / projection.N;
  const double theta = projection.N * (p.X * kRadiansPerDegree - projection.Lambda0);
  return {rho * std::sin(theta), -rho * std::cos(theta)};
}

std::string DescribeProjection(const Projection& projection) {
  switch (projection.Kind) {
    case ProjectionKind::Planar:
      return "Planar coordinates of the layer, drawn as they are";
    case ProjectionKind::CylindricalEqualArea:
      return "Lambert cylindrical equal-area projection, standard parallels " + Degrees(projection.Phi1) +
             " and " + Degrees(-projection.Phi1);
    case ProjectionKind::AlbersEqualArea:
      break;
  }
  return "Albers equal-area conic projection, standard parallels " + Degrees(projection.Phi1) + " and " +
         Degrees(projection.Phi2);
}

}  // namespace tarnek
