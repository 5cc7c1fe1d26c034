// The regions' shapes: features matched to records by key (text codes byte
// for byte, integer codes by value), features without data kept apart, and
// every error with what its message says; the layer taken as the data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/region_shapes.h"

using namespace tarnek;

namespace {

// A unit square at (x, 0).
MultiPolygon Square(double x) { return {Polygon{{{x, 0}, {x + 1, 0}, {x + 1, 1}, {x, 1}}, {}}}; }

// A layer of one feature per key, feature k the square at k, with a key field.
VectorLayer LayerOf(const std::vector<std::string>& keys) {
  VectorLayer layer;
  layer.LayerName = "counties";
  layer.Fields.push_back(VectorField{"FIPS", FieldKind::String, {}, {}});
  layer.Key = 0;
  for (size_t k = 0; k < keys.size(); ++k) {
    layer.Fields[0].Values.Append(keys[k]);
    layer.Fields[0].Null.push_back(false);
    layer.Fids.push_back(static_cast<int64_t>(k));
    layer.Shapes.push_back(Square(static_cast<double>(k)));
  }
  return layer;
}

RecordTable TextCodes(const std::vector<std::string>& codes) {
  RecordTable table;
  for (const std::string& code : codes) {
    table.CodeText.Append(code);
    table.Unit.push_back(-1);
  }
  return table;
}

RecordTable IntegerCodes(const std::vector<int32_t>& codes) {
  RecordTable table;
  table.Code = codes;
  table.Unit.assign(codes.size(), -1);
  return table;
}

// Which feature's square each record got (-1: none).
std::vector<double> FeaturesOf(const std::vector<MultiPolygon>& shapes) {
  std::vector<double> out;
  for (const MultiPolygon& shape : shapes) out.push_back(shape.empty() ? -1 : shape[0].Outer[0].X);
  return out;
}

}  // namespace

TEST(RegionShapesTest, TextCodesMatchByteForByte) {
  VectorLayer layer = LayerOf({"37009", "037005", "37171", "37053"});
  layer.Shapes[1].clear();  // no geometry: its region has no shape
  layer.Problems.push_back(FeatureProblem{2, 1, "037005", ShapeProblem::NoGeometry, ""});
  RegionShapes shapes;
  const ShapeError error = MatchShapes(layer, TextCodes({"37171", "037005", "37009"}), shapes);
  ASSERT_EQ(error.Status, ShapeStatus::Ok) << DescribeShapeError(error);
  EXPECT_EQ(FeaturesOf(shapes.Records), (std::vector<double>{2, -1, 0}));
  ASSERT_EQ(shapes.WithoutShape.size(), 1u);
  EXPECT_EQ(shapes.WithoutShape[0].Key, "037005");
  ASSERT_EQ(shapes.OtherKeys.Size(), 1u);  // 37053 has no data
  EXPECT_EQ(shapes.OtherKeys.At(0), "37053");
  EXPECT_EQ(FeaturesOf(shapes.Others), (std::vector<double>{3}));
  EXPECT_EQ(std::tie(shapes.Layer, shapes.Key), std::tie("counties", "FIPS"));
}

TEST(RegionShapesTest, IntegerCodesMatchByValue) {
  // Leading zeros and a plus sign read as the integer; a key that is no
  // 32-bit integer ("1.0", "99999999999", "x") matches no record.
  VectorLayer layer = LayerOf({"+7", "0012", "1.0", "99999999999", "x", "-3"});
  RegionShapes shapes;
  const ShapeError error = MatchShapes(layer, IntegerCodes({12, -3, 7}), shapes);
  ASSERT_EQ(error.Status, ShapeStatus::Ok) << DescribeShapeError(error);
  EXPECT_EQ(FeaturesOf(shapes.Records), (std::vector<double>{1, 5, 0}));
  EXPECT_EQ(FeaturesOf(shapes.Others), (std::vector<double>{2, 3, 4}));
}

TEST(RegionShapesTest, ErrorsAndWhatTheySay) {
  // A line or a shape that crosses itself among the polygons, a key twice and
  // a region without a feature: the end-to-end refusals.
  const struct {
    const char* note;
    VectorLayer layer;
    RecordTable table;
    std::string says;
  } cases[] = {
      {"a code twice in the data", LayerOf({"1", "2", "3"}), TextCodes({"1", "2", "1"}),
       "records 1 and 3 have the code 1: a region has one shape"},
      {"two keys of one value", LayerOf({"5", "6", "05"}), IntegerCodes({5, 6}),
       "keys 5 (feature 1) and 05 (feature 3) match one code"},
  };
  for (auto c : cases) {
    RegionShapes shapes;
    const ShapeError error = MatchShapes(c.layer, c.table, shapes);
    EXPECT_NE(error.Status, ShapeStatus::Ok) << c.note;
    EXPECT_EQ(DescribeShapeError(error), c.says) << c.note;
  }
}

TEST(RegionShapesTest, TheDataLayerIsItsOwnShapes) {
  // A feature without geometry leaves its region without a shape, and is
  // listed; the layer's facts go with the shapes.
  VectorLayer layer = LayerOf({"a", "b", "c"});
  layer.Shapes[1].clear();
  layer.Problems.push_back(FeatureProblem{2, 1, "b", ShapeProblem::NoGeometry, ""});
  layer.BeyondGeographicCrs = "WGS 84";
  RegionShapes shapes;
  ASSERT_EQ(TakeShapes(layer, shapes).Status, ShapeStatus::Ok);
  EXPECT_EQ(FeaturesOf(shapes.Records), (std::vector<double>{0, -1, 2}));
  EXPECT_EQ(shapes.BeyondGeographicCrs, "WGS 84");
  ASSERT_EQ(shapes.WithoutShape.size(), 1u);
  EXPECT_EQ(std::tie(shapes.WithoutShape[0].Feature, shapes.WithoutShape[0].Key), std::tuple(2u, "b"));
  EXPECT_EQ(shapes.OtherKeys.Size(), 0u);

  VectorLayer point = LayerOf({"a", "b"});
  point.Problems.push_back(FeatureProblem{2, 1, "b", ShapeProblem::NotPolygon, "Point"});
  EXPECT_EQ(DescribeShapeError(TakeShapes(point, shapes)), "feature 2 (b): a Point, not a polygon");
}
