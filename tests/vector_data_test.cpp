// The vector data reader: a GeoJSON layer's attribute table read by the CSV
// columns' rules (names in any letter case, codes and units as text, counts
// that must be whole, kept columns as text), and the shapes read only when
// asked. Its field and header errors are the CSV columns' (csv_reader_test),
// each named by its feature (the end-to-end refusals of vector data).
#include <gtest/gtest.h>

#include <cstdlib>  // mkdtemp
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "input/vector_data.h"
#include "sample_data.h"

using namespace tarnek;
namespace fs = std::filesystem;

namespace {

class VectorDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarnek-vdata-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A GeoJSON file of features with these properties (JSON members), each a
  // unit square, or a point where `points`.
  std::string Layer(const std::vector<std::string>& properties, bool points = false) {
    std::string text = "{\"type\":\"FeatureCollection\",\"features\":[";
    for (size_t k = 0; k < properties.size(); ++k) {
      const std::string x = std::to_string(k);
      const std::string geometry =
          points ? "{\"type\":\"Point\",\"coordinates\":[" + x + ",0]}"
                 : "{\"type\":\"Polygon\",\"coordinates\":[[[" + x + ",0],[" + x + ".5,0],[" + x + ".5,1],[" + x + ",0]]]}";
      text += (k ? "," : "") + std::string("{\"type\":\"Feature\",\"properties\":{") + properties[k] +
              "},\"geometry\":" + geometry + "}";
    }
    const std::string path = (dir_ / "layer.geojson").string();
    std::ofstream(path, std::ios::binary) << text << "]}";
    return path;
  }

  fs::path dir_;
};

}  // namespace

TEST_F(VectorDataTest, TheAttributeTableReadsAsCsvColumns) {
  // Names in any letter case; a real field of whole numbers is a count;
  // units and codes as text, units in numeric order; --keep's column as text.
  const std::string file = Layer({R"("Region":"E06","Unit":"10","O":3,"E":1.5,"Name":"Hart")",
                                  R"("Region":"007","Unit":"9","O":4.0,"E":2,"Name":null)"});
  CsvColumns columns{"unit", "region", "o", "e"};
  columns.Extra.push_back({"name", ColumnKind::Text});
  RecordTable table;
  VectorLayer layer;
  const VectorDataResult read = ReadVectorData(file, columns, {}, table, layer);
  ASSERT_TRUE(read.Ok()) << static_cast<int>(read.Fields) << " " << read.Column;
  ASSERT_EQ(table.Size(), 2u);
  EXPECT_EQ(testdata::Texts(table.CodeText), (std::vector<std::string>{"E06", "007"}));
  EXPECT_EQ(table.Unit, (std::vector<int32_t>{1, 0}));  // 9 before 10
  EXPECT_EQ(table.Data1, (std::vector<int32_t>{3, 4}));
  EXPECT_EQ(table.Data2, (std::vector<double>{1.5, 2}));
  ASSERT_EQ(table.Columns.size(), 1u);
  EXPECT_EQ(table.Columns[0].HeaderName, "Name");
  EXPECT_EQ(testdata::Texts(table.Columns[0].Texts), (std::vector<std::string>{"Hart", ""}));  // null: empty text
  EXPECT_TRUE(layer.Shapes.empty()) << "shapes only when asked";
  EXPECT_TRUE(layer.Fields.empty());
  EXPECT_EQ(layer.Files.size(), 1u);
}

TEST_F(VectorDataTest, ShapesOnlyWhenAsked) {
  // A layer of points reads as data; its shapes are refused.
  const std::string file = Layer({R"("code":"a","observed":1,"expected":1)"}, true);
  const CsvColumns columns{"-", "code", "observed", "expected"};
  RecordTable table;
  VectorLayer layer;
  EXPECT_TRUE(ReadVectorData(file, columns, {}, table, layer).Ok());
  VectorDataOptions options;
  options.Shapes = true;
  EXPECT_EQ(ReadVectorData(file, columns, options, table, layer).Read.Status, VectorStatus::NotPolygonLayer);

  const std::string polygons = Layer({R"("code":"a","observed":1,"expected":1)"});
  ASSERT_TRUE(ReadVectorData(polygons, columns, options, table, layer).Ok());
  ASSERT_EQ(layer.Shapes.size(), 1u);
  EXPECT_EQ(layer.Shapes[0][0].Outer.size(), 3u);
  options.Layer = "nothing";
  EXPECT_EQ(ReadVectorData(polygons, columns, options, table, layer).Read.Status, VectorStatus::MissingLayer);
}
