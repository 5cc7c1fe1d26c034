// The vector-layer reader: values as text, shapes with holes and their
// problems, the CRS and the decision for longitude/latitude, and the errors
// that the end-to-end refusals do not show. (The North Carolina shapefile's
// values are checked against ogr2ogr's export, its shapes by their contiguity
// against poly2nb.)
#include <gtest/gtest.h>

#include <cstdlib>  // std::system, mkdtemp
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "input/vector_layer.h"
#include "sample_data.h"

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

// What `read` writes to standard error (descriptor 2, which googletest
// sends to a file meanwhile).
std::string StandardErrorOf(const std::function<void()>& read) {
  ::testing::internal::CaptureStderr();
  read();
  return ::testing::internal::GetCapturedStderr();
}

std::vector<std::string> Texts(const VectorField& field) { return testdata::Texts(field.Values); }

}  // namespace

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
// no shape drawn in its place (a line among the polygons: the end-to-end
// refusals).
TEST_F(VectorLayerTest, ShapesAndTheirProblems) {
  const std::string holed = "{\"type\":\"Polygon\",\"coordinates\":[[[0,0],[3,0],[3,3],[0,3],[0,0]],"
                            "[[1,1],[1,2],[2,2],[2,1],[1,1]]]}";
  const std::string two = "{\"type\":\"MultiPolygon\",\"coordinates\":[[[[0,0],[1,0],[1,1],[0,0]]],"
                          "[[[5,5],[6,5],[6,6],[5,5]]]]}";
  const std::string file = Write("shapes.geojson", Collection({
      Feature("\"k\":\"holed\"", holed),
      Feature("\"k\":\"two\"", two),
      Feature("\"k\":\"none\"", "null"),
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
  ASSERT_EQ(layer.Shapes.size(), 8u);
  ASSERT_EQ(layer.Shapes[0].size(), 1u);
  EXPECT_EQ(layer.Shapes[0][0].Outer, (Ring{{0, 0}, {3, 0}, {3, 3}, {0, 3}}));
  EXPECT_EQ(layer.Shapes[0][0].Holes, (std::vector<Ring>{{{1, 1}, {1, 2}, {2, 2}, {2, 1}}}));
  ASSERT_EQ(layer.Shapes[1].size(), 2u);
  EXPECT_EQ(layer.Shapes[1][1].Outer, (Ring{{5, 5}, {6, 5}, {6, 6}}));
  for (size_t i = 2; i < 7; ++i) EXPECT_TRUE(layer.Shapes[i].empty()) << i;
  ASSERT_EQ(layer.Shapes[7].size(), 1u);
  EXPECT_EQ(layer.Shapes[7][0].Outer, (Ring{{0, 0}, {3, 0}, {3, 3}, {0, 3}}));  // turned round, (0, 0) first still
  EXPECT_EQ(layer.Shapes[7][0].Holes, (std::vector<Ring>{{{1, 1}, {1, 2}, {2, 2}, {2, 1}}}));
  struct Expected {
    uint64_t feature;
    const char* key;
    ShapeProblem kind;
    const char* detail;
  };
  const std::vector<Expected> expected = {
      {3, "none", ShapeProblem::NoGeometry, ""},
      {4, "bowtie", ShapeProblem::Invalid, "GEOS finds it invalid: Self-intersection at or near point 0.5 0.5"},
      {5, "open", ShapeProblem::Invalid, "a ring is not closed"},
      {6, "flat", ShapeProblem::Invalid, "a ring has fewer than 3 distinct vertices"},
      {7, "empty", ShapeProblem::NoGeometry, ""},
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
  EXPECT_EQ(layer.Shapes[3].size(), 1u);
  EXPECT_EQ(layer.Problems.size(), expected.size() - 1);
}

// Which CRS, and when coordinates count as longitude/latitude: a GeoJSON
// file is WGS 84 whatever its numbers, so metres there make a geographic
// layer drawn as planar.
TEST_F(VectorLayerTest, CoordinateSystems) {
  Write("far.geojson", Collection({Feature("\"k\":1", "{\"type\":\"Polygon\",\"coordinates\":[[[500000,4000000],"
                                                     "[501000,4000000],[501000,4001000],[500000,4000000]]]}")}));
  if (!Convert("-f GPKG projected.gpkg far.geojson -a_srs EPSG:32119") ||
      !Convert("-f GPKG local.gpkg far.geojson -a_srs 'LOCAL_CS[\"site\",UNIT[\"metre\",1]]'") ||
      !Convert("-f 'ESRI Shapefile' far.shp far.geojson")) {
    GTEST_SKIP() << "ogr2ogr (Debian gdal-bin) is not installed";
  }
  fs::remove(dir_ / "far.prj");
  for (const auto& [file, crs, name, beyond] :
       {std::tuple{"far.geojson", CrsKind::Geographic, "WGS 84", "WGS 84"}, {"projected.gpkg", CrsKind::Projected, "NAD83 / North Carolina", ""},
        {"local.gpkg", CrsKind::Other, "site", ""}, {"far.shp", CrsKind::None, "", ""}}) {
    VectorLayer layer;
    ASSERT_EQ(ReadVectorLayer(In(file), {}, layer).Status, VectorStatus::Ok) << file;
    EXPECT_EQ(std::tie(layer.Crs, layer.CrsName, layer.BeyondGeographicCrs), std::tuple(crs, name, beyond)) << file;
    EXPECT_FALSE(layer.LongitudeLatitude) << file;
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
  // Besides those that the golden cases show (a file that is no vector data,
  // a missing field or layer, a key twice with both features' numbers, a
  // layer of another geometry by its name): a directory of no data set, a
  // database without tables, one field name in two letter cases, an empty
  // key, a shapefile cut short.
  const std::string blank = Write("blank.geojson", Collection({Feature("\"k\":\"a\"", Square(0, 0)),
                                                              Feature("\"k\":null", Square(1, 0))}));
  const std::string cases = Write("cases.geojson", Collection({Feature("\"code\":\"a\",\"CODE\":\"b\"", Square(0, 0))}));
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
  const auto keyed = [](const char* key) {
    VectorReadOptions o;
    o.KeyField = key;
    return o;
  };
  const std::vector<Case> table = {
      {In("empty"), {}, VectorStatus::CannotOpen, In("empty"), 0, 0, true},  // a directory of no data set
      // An SQLite database without tables (Python's sqlite3, PRAGMA user_version = 1).
      {kEmptySqlite, {}, VectorStatus::NoLayer, kEmptySqlite},
      {cases, keyed("Code"), VectorStatus::RepeatedField, "Code"},
      {blank, keyed("k"), VectorStatus::EmptyKey, "k", 2},
      {In("cut.shp"), keyed("FIPS"), VectorStatus::CannotRead, "cut", 67, 0, true},
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

TEST_F(VectorLayerTest, FilesOfTheDataSetBeyondGdalsList) {
  // The files are empty: only their names matter. A directory on the way is
  // no file of the data set.
  for (const char* file : {"a.gpkg", "z.zip", "b.shp", "b.dbf", "b.cpg", "b.PRJ", "b.shp.xml", "b.dbf.aux.xml", "b.txt",
                           "B.SBN", "c.geojson", "c.cpg", "c.geojson.aux.xml"}) {
    Write(file, "");
  }
  fs::create_directory(dir_ / "d");
  Write("d/c.geojson", "");
  const std::string gpkg = In("a.gpkg"), zip = In("z.zip"), shp = In("b.shp");
  std::string dotted = dir_.string() + "/";
  for (int k = 0; k < 1500; ++k) dotted += "./";
  std::string many;
  for (int k = 0; k < 33000; ++k) many += "x/";
  const struct {
    std::string name;
    std::vector<std::string> files;
  } cases[] = {
      {gpkg, {gpkg}},
      {"GPKG:" + gpkg + ":roads", {gpkg}},
      {"GeoJSON:" + In("d/c.geojson"), {In("d/c.geojson")}},
      {"/vsizip/" + zip + "/inner/c.geojson", {zip}},
      {"/vsizip/{" + zip + "}/c.geojson", {zip}},
      {"/vsigzip//vsizip/" + zip + "/c.geojson.gz", {zip}},
      {"/vsisubfile/0_100," + shp, {shp}},
      {"/vsimem/c.geojson", {}},
      {In("missing.shp"), {}},
      // Whatever comes before it, a path is looked up whole; parts that name
      // directories ("//", "./") cost no look-up of their own.
      {std::string(20000, ':') + gpkg, {gpkg}},
      {"GeoJSON:" + dir_.string() + std::string(3000, '/') + "d/c.geojson",
       {dir_.string() + std::string(3000, '/') + "d/c.geojson"}},
      {"/vsizip/" + dotted + "z.zip/c.geojson", {dotted + "z.zip"}},
      {"x:" + many + ":/vsizip/" + zip + "/c.geojson", {zip}},  // parts beyond a path's length cost nothing
  };
  for (const auto& c : cases) EXPECT_EQ(FilesNamedIn(c.name), c.files) << c.name.substr(0, 80);
  // A shapefile's other parts of its name, in either case (but not B.SBN:
  // another name where case counts), and GDAL's .aux.xml beside any file.
  EXPECT_EQ(CompanionFiles({shp, In("b.dbf")}),
            (std::vector<std::string>{In("b.cpg"), In("b.shp.xml"), In("b.PRJ"), In("b.dbf.aux.xml")}));
  EXPECT_EQ(CompanionFiles({In("c.geojson")}), std::vector<std::string>{In("c.geojson.aux.xml")});
}
