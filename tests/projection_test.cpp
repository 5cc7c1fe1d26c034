// Map projections against PROJ, the choice of projection from the extent,
// and the captions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "geometry/projection.h"

using namespace tarnek;

namespace {

Box Extent(double west, double south, double east, double north) {
  Box box;
  box.Add(Point{west, south});
  box.Add(Point{east, north});
  return box;
}

struct Reference {
  Point lonLat;
  Point proj;  // PROJ's x, y
};

// PROJ's y is measured from the parallel lat_0 = 0, ours from the cone's
// apex (Albers) or from the equator (cylindrical): the offset is one constant
// per projection, so y is compared as the difference from the first point.
void ExpectAsProj(const Projection& projection, const std::vector<Reference>& references) {
  const Point first = Project(projection, references[0].lonLat);
  for (const Reference& r : references) {
    const Point ours = Project(projection, r.lonLat);
    EXPECT_NEAR(ours.X, r.proj.X, 1e-12) << r.lonLat.X << " " << r.lonLat.Y;
    EXPECT_NEAR(ours.Y - first.Y, r.proj.Y - references[0].proj.Y, 1e-12) << r.lonLat.X << " " << r.lonLat.Y;
  }
}

}  // namespace

// The North Carolina counties' extent: an Albers cone. Reference values from
// PROJ 9.1.1:
//   proj -f "%.17g" +proj=aea +R=1 +lat_1=34.333268166666663
//     +lat_2=36.138372833333335 +lon_0=-79.890415500000017 +lat_0=0
TEST(Projection, AlbersAsProj) {
  const Projection p = ProjectionFor(Extent(-84.323853, 33.881992, -75.456978, 36.589649), true);
  ASSERT_EQ(p.Kind, ProjectionKind::AlbersEqualArea);
  EXPECT_DOUBLE_EQ(p.Phi1, 33.881992 + (36.589649 - 33.881992) / 6);
  EXPECT_DOUBLE_EQ(p.Phi2, 36.589649 - (36.589649 - 33.881992) / 6);
  ExpectAsProj(p, {{{-84.323853, 33.881992}, {-0.064226787489300136, 0.56321447159102922}},
                   {{-75.456978, 36.589649}, {0.06211797828037232, 0.6104263934798102}},
                   {{-80, 35}, {-0.0015665377662189806, 0.58129480368932462}},
                   {{-80, 90}, {-0.00080890559652058711, 1.2679720492604523}},
                   {{-80, -90}, {-0.0030158397074677799, -0.73227490047700527}}});
  EXPECT_EQ(DescribeProjection(p), "Albers equal-area conic projection, standard parallels 34.33\xC2\xB0 N and 36.14\xC2\xB0 N");
}

// South of the equator the cone opens the other way (n < 0); north stays up.
//   proj -f "%.17g" +proj=aea +R=1 +lat_1=-39.166666666666664
//     +lat_2=-15.833333333333332 +lon_0=147.5 +lat_0=0
TEST(Projection, AlbersSouthAsProj) {
  const Projection p = ProjectionFor(Extent(140, -45, 155, -10), true);
  ASSERT_EQ(p.Kind, ProjectionKind::AlbersEqualArea);
  ExpectAsProj(p, {{{140, -45}, {-0.095491975440246388, -0.78301039696447261}},
                   {{150, -20}, {0.040531456800300042, -0.34042914854542028}}});
  EXPECT_EQ(DescribeProjection(p), "Albers equal-area conic projection, standard parallels 39.17\xC2\xB0 S and 15.83\xC2\xB0 S");
}

// Symmetric about the equator: the cylinder.
//   proj -f "%.17g" +proj=cea +R=1 +lat_ts=-26.666666666666664 +lon_0=0
TEST(Projection, CylinderAsProj) {
  const Projection p = ProjectionFor(Extent(-30, -40, 30, 40), true);
  ASSERT_EQ(p.Kind, ProjectionKind::CylindricalEqualArea);
  ExpectAsProj(p, {{{-30, -40}, {-0.4679049563080136, -0.71929737196473675}},
                   {{10, 20}, {0.15596831876933789, 0.3827301375226056}}});
  EXPECT_NEAR(Project(p, {0, 0}).Y, 0.0, 1e-15);  // y is the cylinder's own
  EXPECT_EQ(DescribeProjection(p),
            "Lambert cylindrical equal-area projection, standard parallels 26.67\xC2\xB0 S and 26.67\xC2\xB0 N");
}

TEST(Projection, PlanarIsTheIdentity) {
  const Projection p = ProjectionFor(Extent(500000, 4000000, 501000, 4001000), false);
  EXPECT_EQ(p.Kind, ProjectionKind::Planar);
  EXPECT_EQ(Project(p, {500123.25, 4000456.5}), (Point{500123.25, 4000456.5}));
  EXPECT_EQ(DescribeProjection(p), "Planar coordinates of the layer, drawn as they are");
  EXPECT_EQ(ProjectionFor(Box{}, true).Kind, ProjectionKind::Planar);  // no extent: nothing to project
}
