// The vector-layer reader: the North Carolina shapefile read field by field
// and shape by shape, the same data as GeoPackage and GeoJSON (made with
// GDAL's ogr2ogr) read alike, values as text, shapes with holes and their
// problems, the CRS and the decision for longitude/latitude, and every error.
#include <gtest/gtest.h>

#include <unistd.h>  // dup, dup2, close, unlink

#include <cstdio>   // std::fflush
#include <cstdlib>  // std::system, mkdtemp, mkstemp
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "input/vector_layer.h"

using namespace tarnek;
namespace fs = std::filesystem;

namespace {

const std::string kNc = TARNEK_SOURCE_DIR "/tests/data/nc_sids/sids.shp";
const std::string kEmptySqlite = TARNEK_SOURCE_DIR "/tests/data/empty.sqlite";

class VectorLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tarnek-vector-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // ogr2ogr ARGS into the directory; false where gdal-bin is missing.
  bool Convert(const std::string& args) {
    if (std::system("command -v ogr2ogr >/dev/null 2>&1") != 0) return false;
    const std::string command = "cd '" + dir_.string() + "' && ogr2ogr " + args + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return true;
  }
  std::string In(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// A GeoJSON FeatureCollection of the given features.
std::string Collection(const std::vector<std::string>& features) {
  std::string text = "{\"type\":\"FeatureCollection\",\"features\":[";
  for (size_t i = 0; i < features.size(); ++i) text += (i ? "," : "") + features[i];
  return text + "]}";
}
std::string Feature(const std::string& properties, const std::string& geometry) {
  return "{\"type\":\"Feature\",\"properties\":{" + properties + "},\"geometry\":" + geometry + "}";
}
std::string Square(int x, int y) {
  const auto p = [](int a, int b) { return "[" + std::to_string(a) + "," + std::to_string(b) + "]"; };
  return "{\"type\":\"Polygon\",\"coordinates\":[[" + p(x, y) + "," + p(x + 1, y) + "," + p(x + 1, y + 1) + "," +
         p(x, y + 1) + "," + p(x, y) + "]]}";
}

// What `read` writes to standard error (which goes to a file meanwhile).
std::string StandardErrorOf(const std::function<void()>& read) {
  char name[] = "/tmp/tarnek-stderr-XXXXXX";
  const int file = mkstemp(name);
  if (file < 0) return "(no file)";
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(file, 2);
  read();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(file);
  std::ifstream in(name, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(name);
  return text;
}

std::vector<std::string> Texts(const VectorField& field) {
  std::vector<std::string> out;
  for (size_t i = 0; i < field.Values.Size(); ++i) out.emplace_back(field.Values.At(i));
  return out;
}

}  // namespace

// The values against ogrinfo's listing of sids.shp (GDAL 3.6.2) and the
// file's README; vertex counts against the .shp records' point counts less
// their closing points.
TEST_F(VectorLayerTest, NorthCarolinaShapefile) {
  VectorLayer layer;
  VectorReadOptions options;
  options.KeyField = "fips";  // the field is FIPS: names match without regard to case
  const VectorReadResult result = ReadVectorLayer(kNc, options, layer);
  ASSERT_EQ(result.Status, VectorStatus::Ok) << result.GdalMessage;
  EXPECT_EQ(layer.LayerName, "sids");
  EXPECT_EQ(layer.Files.size(), 3u);  // .shp, .shx, .dbf: no .prj
  EXPECT_EQ(layer.Crs, CrsKind::None);
  EXPECT_TRUE(layer.LongitudeLatitude);
  ASSERT_EQ(layer.Size(), 100u);
  ASSERT_EQ(layer.Fields.size(), 22u);
  EXPECT_EQ(layer.Fields[layer.Key].Name, "FIPS");
  const auto value = [&](const char* name, size_t row) { return std::string(layer.Field(name)->Values.At(row)); };
  EXPECT_EQ(value("NAME", 0), "Ashe");
  EXPECT_EQ(value("FIPS", 0), "37009");
  EXPECT_EQ(value("FIPSNO", 0), "37009");  // a real field of whole numbers
  EXPECT_EQ(value("CNTY_ID", 0), "1825");
  EXPECT_EQ(value("AREA", 0), "0.114");
  EXPECT_EQ(value("BIR74", 0), "1091");
  EXPECT_EQ(value("CRESS_ID", 0), "5");  // an integer field
  EXPECT_EQ(value("NAME", 99), "Brunswick");
  EXPECT_EQ(layer.Field("FIPSNO")->Kind, FieldKind::Real);
  EXPECT_EQ(layer.Field("CRESS_ID")->Kind, FieldKind::Integer);
  EXPECT_EQ(layer.Field("NAME")->Kind, FieldKind::String);
  EXPECT_TRUE(layer.Problems.empty());
  // Ashe: one ring of 27 points (the first record of the .shp file, read
  // with Python struct); Currituck (row 3): three parts (ogrinfo).
  ASSERT_EQ(layer.Shapes[0].size(), 1u);
  EXPECT_EQ(layer.Shapes[0][0].Outer.size(), 26u);
  EXPECT_EQ(layer.Shapes[0][0].Outer[0], (Point{-81.4727554321289, 36.23435592651367}));
  EXPECT_EQ(value("NAME", 3), "Currituck");
  EXPECT_EQ(layer.Shapes[3].size(), 3u);
}

// Shapefile, GeoPackage and GeoJSON (17 significant digits, so that GDAL
// writes every double exactly) give the same fields, values, kinds and
// shapes. Only the CRS differs: a GeoPackage without a CRS has GDAL's
// "Undefined geographic SRS", and GeoJSON is WGS 84 by definition; all three
// are drawn as longitude/latitude.
TEST_F(VectorLayerTest, SameDataInThreeFormats) {
  if (!Convert("-f GPKG nc.gpkg '" + kNc + "'") ||
      !Convert("-f GeoJSON -lco SIGNIFICANT_FIGURES=17 -lco RFC7946=NO nc.geojson '" + kNc + "'")) {
    GTEST_SKIP() << "ogr2ogr (Debian gdal-bin) is not installed";
  }
  VectorReadOptions options;
  options.KeyField = "FIPS";
  VectorLayer shp, gpkg, json;
  ASSERT_EQ(ReadVectorLayer(kNc, options, shp).Status, VectorStatus::Ok);
  ASSERT_EQ(ReadVectorLayer(In("nc.gpkg"), options, gpkg).Status, VectorStatus::Ok);
  ASSERT_EQ(ReadVectorLayer(In("nc.geojson"), options, json).Status, VectorStatus::Ok);
  EXPECT_EQ(gpkg.Crs, CrsKind::Geographic);
  EXPECT_EQ(json.Crs, CrsKind::Geographic);
  for (const VectorLayer* other : {&gpkg, &json}) {
    EXPECT_EQ(other->LayerName, "sids");
    EXPECT_TRUE(other->LongitudeLatitude);
    EXPECT_TRUE(other->Problems.empty());
    ASSERT_EQ(other->Fields.size(), shp.Fields.size());
    for (size_t f = 0; f < shp.Fields.size(); ++f) {
      EXPECT_EQ(other->Fields[f].Name, shp.Fields[f].Name);
      EXPECT_EQ(other->Fields[f].Kind, shp.Fields[f].Kind) << shp.Fields[f].Name;
      EXPECT_EQ(Texts(other->Fields[f]), Texts(shp.Fields[f])) << shp.Fields[f].Name;
      EXPECT_EQ(other->Fields[f].Null, shp.Fields[f].Null) << shp.Fields[f].Name;
    }
    ASSERT_EQ(other->Shapes.size(), shp.Shapes.size());
    for (size_t i = 0; i < shp.Shapes.size(); ++i) {
      ASSERT_EQ(other->Shapes[i].size(), shp.Shapes[i].size()) << i;
      for (size_t k = 0; k < shp.Shapes[i].size(); ++k) {
        EXPECT_EQ(other->Shapes[i][k].Outer, shp.Shapes[i][k].Outer) << i;
        EXPECT_EQ(other->Shapes[i][k].Holes, shp.Shapes[i][k].Holes) << i;
      }
    }
  }
}

// Text as a user sees it: integers beyond 2^53 exactly, reals in their
// shortest exact form (fixed where that is shorter), strings byte for byte
// with their blanks, dates in GDAL's form, nulls empty and marked.
TEST_F(VectorLayerTest, ValuesAsText) {
  const std::string file = Write("values.geojson", Collection({
      Feature("\"n\":9007199254740993,\"r\":0.1,\"t\":\"  sp\\u00e4ced \",\"d\":\"2020-01-01\"", Square(0, 0)),
      Feature("\"n\":-2,\"r\":1e-7,\"t\":null", Square(1, 0)),
      Feature("\"n\":3,\"r\":1.2345678901234568e20,\"t\":\"\"", Square(2, 0)),
      Feature("\"n\":4,\"r\":-0.0", Square(3, 0)),
  }));
  VectorLayer layer;
  ASSERT_EQ(ReadVectorLayer(file, {}, layer).Status, VectorStatus::Ok);
  ASSERT_EQ(layer.Fields.size(), 4u);
  EXPECT_EQ(Texts(layer.Fields[0]), (std::vector<std::string>{"9007199254740993", "-2", "3", "4"}));
  EXPECT_EQ(Texts(layer.Fields[1]), (std::vector<std::string>{"0.1", "1e-07", "123456789012345683968", "-0"}));
  EXPECT_EQ(Texts(layer.Fields[2]), (std::vector<std::string>{"  sp\xC3\xA4" "ced ", "", "", ""}));
  EXPECT_EQ(layer.Fields[2].Null, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(Texts(layer.Fields[3]), (std::vector<std::string>{"2020/01/01", "", "", ""}));
  EXPECT_EQ(layer.Fields[3].Kind, FieldKind::Other);
  // Only the fields asked for, in the order asked, and the key field after them.
  VectorReadOptions some;
  some.Fields = {"T", "r"};
  some.KeyField = "N";
  ASSERT_EQ(ReadVectorLayer(file, some, layer).Status, VectorStatus::Ok);
  ASSERT_EQ(layer.Fields.size(), 3u);
  EXPECT_EQ(layer.Fields[0].Name, "t");
  EXPECT_EQ(layer.Fields[1].Name, "r");
  EXPECT_EQ(layer.Fields[2].Name, "n");
  EXPECT_EQ(layer.Key, 2u);
}

// Holes and parts kept, closing vertices dropped, rings turned to one
// orientation; every other shape a problem named by feature, id and key, with
// no shape drawn in its place.
TEST_F(VectorLayerTest, ShapesAndTheirProblems) {
  const std::string holed = "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[3,0],[3,3],[0,3],[0,0]],"
                            "[[1,1],[1,2],[2,2],[2,1],[1,1]]]}";
  const std::string two = "{\"type\":\"MultiPolygon\",\"coordinates\":[[[[0,0],[1,0],[1,1],[0,0]]],"
                          "[[[5,5],[6,5],[6,6],[5,5]]]]}";
  const std::string file = Write("shapes.geojson", Collection({
      Feature("\"k\":\"holed\"", holed),
      Feature("\"k\":\"two\"", two),
      Feature("\"k\":\"none\"", "null"),
      Feature("\"k\":\"line\"", "{\"type\":\"LineString\",\"coordinates\":[[0,0],[1,1]]}"),
      Feature("\"k\":\"bowtie\"", "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[1,1],[1,0],[0,1],[0,0]]]}"),
      Feature("\"k\":\"open\"", "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[1,0],[1,1],[0,1]]]}"),
      Feature("\"k\":\"flat\"", "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[1,1],[0,0],[0,0]]]}"),
      Feature("\"k\":\"empty\"", "{\"type\":\"Polygon\",\"coordinates\":[]}"),
      // Outer ring clockwise, hole counter-clockwise, as a shapefile has them the other way.
      Feature("\"k\":\"turned\"", "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[0,3],[3,3],[3,0],[0,0]],"
                                  "[[1,1],[2,1],[2,2],[1,2],[1,1]]]}"),
  }));
  VectorReadOptions options;
  options.KeyField = "k";
  VectorLayer layer;
  // GEOS's and GDAL's warnings (the self-intersection, the ring left open)
  // stay off the console.
  EXPECT_EQ(StandardErrorOf([&] { ASSERT_EQ(ReadVectorLayer(file, options, layer).Status, VectorStatus::Ok); }), "");
  ASSERT_EQ(layer.Shapes.size(), 9u);
  ASSERT_EQ(layer.Shapes[0].size(), 1u);
  EXPECT_EQ(layer.Shapes[0][0].Outer, (Ring{{0, 0}, {3, 0}, {3, 3}, {0, 3}}));
  EXPECT_EQ(layer.Shapes[0][0].Holes, (std::vector<Ring>{{{1, 1}, {1, 2}, {2, 2}, {2, 1}}}));
  ASSERT_EQ(layer.Shapes[1].size(), 2u);
  EXPECT_EQ(layer.Shapes[1][1].Outer, (Ring{{5, 5}, {6, 5}, {6, 6}}));
  for (size_t i = 2; i < 8; ++i) EXPECT_TRUE(layer.Shapes[i].empty()) << i;
  ASSERT_EQ(layer.Shapes[8].size(), 1u);
  EXPECT_EQ(layer.Shapes[8][0].Outer, (Ring{{0, 0}, {3, 0}, {3, 3}, {0, 3}}));  // turned round, (0, 0) first still
  EXPECT_EQ(layer.Shapes[8][0].Holes, (std::vector<Ring>{{{1, 1}, {1, 2}, {2, 2}, {2, 1}}}));
  struct Expected {
    uint64_t feature;
    const char* key;
    ShapeProblem kind;
    const char* detail;
  };
  const std::vector<Expected> expected = {
      {3, "none", ShapeProblem::NoGeometry, ""},
      {4, "line", ShapeProblem::NotPolygon, "Line String"},
      {5, "bowtie", ShapeProblem::Invalid, "GEOS finds it invalid: Self-intersection at or near point 0.5 0.5"},
      {6, "open", ShapeProblem::Invalid, "a ring is not closed"},
      {7, "flat", ShapeProblem::Invalid, "a ring has fewer than 3 distinct vertices"},
      {8, "empty", ShapeProblem::NoGeometry, ""},
  };
  ASSERT_EQ(layer.Problems.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const FeatureProblem& p = layer.Problems[i];
    EXPECT_EQ(p.Feature, expected[i].feature);
    EXPECT_EQ(p.Fid, static_cast<int64_t>(expected[i].feature - 1));
    EXPECT_EQ(p.Key, expected[i].key);
    EXPECT_EQ(p.Kind, expected[i].kind) << p.Key;
    EXPECT_EQ(p.Detail, expected[i].detail) << p.Key;
  }
  // Without the GEOS check the bowtie is drawn as it is.
  options.CheckValidity = false;
  ASSERT_EQ(ReadVectorLayer(file, options, layer).Status, VectorStatus::Ok);
  EXPECT_EQ(layer.Shapes[4].size(), 1u);
  EXPECT_EQ(layer.Problems.size(), expected.size() - 1);
}

// Which CRS, and when coordinates count as longitude/latitude.
TEST_F(VectorLayerTest, CoordinateSystems) {
  const std::string far = Write("far.geojson", Collection({Feature("\"k\":1", "{\"type\":\"Polygon\",\"coordinates\":"
                                                                               "[[[500000,4000000],[501000,4000000],"
                                                                               "[501000,4001000],[500000,4000000]]]}")}));
  VectorLayer layer;
  ASSERT_EQ(ReadVectorLayer(far, {}, layer).Status, VectorStatus::Ok);
  EXPECT_EQ(layer.Crs, CrsKind::Geographic);  // GeoJSON is WGS 84, whatever its numbers
  EXPECT_EQ(layer.CrsName, "WGS 84");
  EXPECT_TRUE(layer.LongitudeLatitude);
  if (!Convert("-f GPKG projected.gpkg far.geojson -a_srs EPSG:32119") ||
      !Convert("-f GPKG local.gpkg far.geojson -a_srs 'LOCAL_CS[\"site\",UNIT[\"metre\",1]]'") ||
      !Convert("-f 'ESRI Shapefile' far.shp far.geojson")) {
    GTEST_SKIP() << "ogr2ogr (Debian gdal-bin) is not installed";
  }
  fs::remove(dir_ / "far.prj");
  struct Case {
    const char* file;
    CrsKind crs;
    const char* name;
  };
  for (const Case& c : {Case{"projected.gpkg", CrsKind::Projected, "NAD83 / North Carolina"},
                        Case{"local.gpkg", CrsKind::Other, "site"}, Case{"far.shp", CrsKind::None, ""}}) {
    ASSERT_EQ(ReadVectorLayer(In(c.file), {}, layer).Status, VectorStatus::Ok) << c.file;
    EXPECT_EQ(layer.Crs, c.crs) << c.file;
    EXPECT_EQ(layer.CrsName, c.name) << c.file;
    EXPECT_FALSE(layer.LongitudeLatitude) << c.file;
  }
}

// Attributes alone: a CSV file through GDAL has no geometry column.
TEST_F(VectorLayerTest, AttributesWithoutGeometry) {
  const std::string csv = Write("d.csv", "code,observed,expected\n01,2,3.5\n2,0,1\n");
  VectorLayer layer;
  VectorReadResult result = ReadVectorLayer(csv, {}, layer);
  EXPECT_EQ(result.Status, VectorStatus::NoGeometry);
  EXPECT_EQ(result.Name, "d");
  VectorReadOptions attributes;
  attributes.Geometry = false;
  attributes.KeyField = "code";
  ASSERT_EQ(ReadVectorLayer(csv, attributes, layer).Status, VectorStatus::Ok);
  EXPECT_EQ(Texts(layer.Fields[0]), (std::vector<std::string>{"01", "2"}));
  EXPECT_TRUE(layer.Shapes.empty());
}

TEST_F(VectorLayerTest, Errors) {
  const std::string points = Write("points.geojson", Collection({Feature("\"k\":1", "{\"type\":\"Point\",\"coordinates\":[1,2]}")}));
  const std::string lines = Write("lines.geojson", Collection({Feature(
      "\"k\":1", "{\"type\":\"MultiLineString\",\"coordinates\":[[[1,2],[3,4]]]}")}));
  const std::string twice = Write("twice.geojson", Collection({Feature("\"k\":\"a\"", Square(0, 0)),
                                                                Feature("\"k\":\"b\"", Square(1, 0)),
                                                                Feature("\"k\":\"a\"", Square(2, 0))}));
  const std::string twiceInteger = Write("twice-integer.geojson", Collection({Feature("\"k\":7", Square(0, 0)),
                                                                              Feature("\"k\":7", Square(1, 0))}));
  const std::string blank = Write("blank.geojson", Collection({Feature("\"k\":\"a\"", Square(0, 0)),
                                                              Feature("\"k\":null", Square(1, 0))}));
  const std::string cases = Write("cases.geojson", Collection({Feature("\"code\":\"a\",\"CODE\":\"b\"", Square(0, 0))}));
  const std::string notData = Write("not-data.txt", "this is not a vector data set\n");
  fs::create_directory(dir_ / "empty");
  // A shapefile cut short in its 67th record.
  fs::copy_file(TARNEK_SOURCE_DIR "/tests/data/nc_sids/sids.dbf", dir_ / "cut.dbf");
  fs::copy_file(TARNEK_SOURCE_DIR "/tests/data/nc_sids/sids.shx", dir_ / "cut.shx");
  fs::copy_file(kNc, dir_ / "cut.shp");
  fs::permissions(dir_ / "cut.shp", fs::perms::owner_read | fs::perms::owner_write);
  fs::resize_file(dir_ / "cut.shp", 30000);

  struct Case {
    std::string file;
    VectorReadOptions options;
    VectorStatus status;
    std::string name;
    uint64_t feature = 0, first = 0;
    bool gdalMessage = false;
  };
  const auto with = [](std::string layer, std::string key, std::vector<std::string> fields = {}) {
    VectorReadOptions o;
    o.Layer = std::move(layer);
    o.KeyField = std::move(key);
    o.Fields = std::move(fields);
    return o;
  };
  const std::vector<Case> table = {
      {In("missing.shp"), {}, VectorStatus::CannotOpen, In("missing.shp"), 0, 0, true},
      {notData, {}, VectorStatus::CannotOpen, notData, 0, 0, true},
      {In("empty"), {}, VectorStatus::CannotOpen, In("empty"), 0, 0, true},  // a directory of no data set
      // An SQLite database without tables (Python's sqlite3, PRAGMA user_version = 1).
      {kEmptySqlite, {}, VectorStatus::NoLayer, kEmptySqlite},
      {kNc, with("counties", ""), VectorStatus::MissingLayer, "counties"},
      {kNc, with("", "CODE"), VectorStatus::MissingField, "CODE"},
      {kNc, with("", "FIPS", {"NAME", "BIRTHS"}), VectorStatus::MissingField, "BIRTHS"},
      {cases, with("", "Code"), VectorStatus::RepeatedField, "Code"},
      {points, {}, VectorStatus::NotPolygonLayer, "Point"},
      {lines, {}, VectorStatus::NotPolygonLayer, "Multi Line String"},
      {twice, with("", "k"), VectorStatus::DuplicateKey, "a", 3, 1},
      {twiceInteger, with("", "k"), VectorStatus::DuplicateKey, "7", 2, 1},
      {blank, with("", "k"), VectorStatus::EmptyKey, "k", 2},
      {In("cut.shp"), with("", "FIPS"), VectorStatus::CannotRead, "cut", 67, 0, true},
  };
  for (const Case& c : table) {
    VectorLayer layer;
    VectorReadResult result;
    // GDAL's own messages stay off the console.
    EXPECT_EQ(StandardErrorOf([&] { result = ReadVectorLayer(c.file, c.options, layer); }), "") << c.file;
    EXPECT_EQ(result.Status, c.status) << c.file;
    EXPECT_EQ(result.Name, c.name) << c.file;
    EXPECT_EQ(result.Feature, c.feature) << c.file;
    EXPECT_EQ(result.FirstFeature, c.first) << c.file;
    EXPECT_EQ(!result.GdalMessage.empty(), c.gdalMessage) << c.file << ": " << result.GdalMessage;
    EXPECT_EQ(layer.Size(), 0u) << c.file;  // nothing half read
  }
}
