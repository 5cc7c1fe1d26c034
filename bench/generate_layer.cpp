// tarnek-gen-layer: writes a benchmark vector layer with GDAL, a jittered
// grid of polygons that tile a longitude/latitude box, with the attributes
// of a data file.
//
// usage: tarnek-gen-layer OUT [--columns C] [--rows R] [--seed N] [--no-crs] [--data FILE]
//   OUT        the data set; GDAL's driver follows the extension: .shp
//              (ESRI Shapefile), .gpkg (GeoPackage), .geojson (GeoJSON),
//              .fgb (FlatGeobuf)
//   --columns  cells across (default 400), --rows cells down (default 250):
//              100,000 polygons by default
//   --seed     jitter and counts (default 1)
//   --no-crs   write no CRS (else WGS 84, EPSG:4326)
//   --data     also write the features' attributes as a plain data file,
//              "-1 code observed expected" a line, in the layer's order
//
// The grid spans longitudes -10 to 10 and latitudes 40 to 52.5 (cells of
// 0.05 degrees by default). Each cell is one polygon of 12 vertices: its 4
// corners and 2 points along each edge, every one moved by up to 15% of a
// cell in each direction. A vertex is moved the same way in every cell that
// has it, so the polygons still tile the box: a cell's queen neighbours are
// the up to 8 cells around it, its rook neighbours the up to 4 that share an
// edge. Attributes: code (integer, 1 .. n row by row from the south-west),
// observed (integer, 0 .. 30) and expected (real, 5 .. 25, four decimals),
// from the seed's SplitMix64 sequence: the same bytes on every machine.
#include <cmath>    // std::floor
#include <cstdint>
#include <cstdio>
#include <cstdlib>  // std::strtoul
#include <fstream>
#include <string>
#include <string_view>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

namespace {

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// A number in [-0.5, 0.5) from a key.
double Jitter(uint64_t seed, uint64_t key) { return static_cast<double>(Mix(seed ^ Mix(key)) >> 11) * 0x1p-53 - 0.5; }

const char* DriverFor(std::string_view path) {
  const auto ends = [&](std::string_view suffix) {
    return path.size() >= suffix.size() && path.substr(path.size() - suffix.size()) == suffix;
  };
  if (ends(".shp")) return "ESRI Shapefile";
  if (ends(".gpkg")) return "GPKG";
  if (ends(".geojson") || ends(".json")) return "GeoJSON";
  if (ends(".fgb")) return "FlatGeobuf";
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarnek-gen-layer OUT [--columns C] [--rows R] [--seed N] [--no-crs] [--data FILE]\n");
    return 2;
  }
  const std::string out = argv[1];
  uint64_t columns = 400, rows = 250, seed = 1;
  bool crs = true;
  std::string dataFile;
  for (int i = 2; i < argc; ++i) {
    const std::string_view a = argv[i];
    const auto value = [&] { return i + 1 < argc ? std::strtoul(argv[++i], nullptr, 10) : 0ul; };
    if (a == "--columns") columns = value();
    else if (a == "--rows") rows = value();
    else if (a == "--seed") seed = value();
    else if (a == "--no-crs") crs = false;
    else if (a == "--data" && i + 1 < argc) dataFile = argv[++i];
    else {
      std::fprintf(stderr, "tarnek-gen-layer: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  const char* driverName = DriverFor(out);
  if (driverName == nullptr || columns == 0 || rows == 0) {
    std::fprintf(stderr, "tarnek-gen-layer: OUT must end in .shp, .gpkg, .geojson or .fgb; the grid must not be empty\n");
    return 2;
  }
  GDALAllRegister();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName);
  GDALDataset* dataset = driver == nullptr ? nullptr : driver->Create(out.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  if (dataset == nullptr) {
    std::fprintf(stderr, "tarnek-gen-layer: cannot create %s: %s\n", out.c_str(), CPLGetLastErrorMsg());
    return 1;
  }
  OGRSpatialReference wgs84;
  wgs84.SetWellKnownGeogCS("WGS84");
  wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  OGRLayer* layer = dataset->CreateLayer("grid", crs ? &wgs84 : nullptr, wkbPolygon, nullptr);
  OGRFieldDefn code("code", OFTInteger), observed("observed", OFTInteger), expected("expected", OFTReal);
  expected.SetWidth(12);
  expected.SetPrecision(4);
  if (layer == nullptr || layer->CreateField(&code) != OGRERR_NONE || layer->CreateField(&observed) != OGRERR_NONE ||
      layer->CreateField(&expected) != OGRERR_NONE) {
    std::fprintf(stderr, "tarnek-gen-layer: cannot create the layer: %s\n", CPLGetLastErrorMsg());
    return 1;
  }

  const double west = -10.0, south = 40.0, width = 20.0 / static_cast<double>(columns);
  const double height = 12.5 / static_cast<double>(rows);
  constexpr double kMove = 0.3;  // of a cell: each coordinate moves by up to +-15%
  // The points of the grid in thirds of a cell: (tx, ty) lies at tx / 3
  // cells east and ty / 3 cells north of the south-west corner, then moved.
  // A point on the box's edge keeps that coordinate, so the box stays whole.
  const uint64_t spanX = 3 * columns, spanY = 3 * rows;
  const auto point = [&](uint64_t tx, uint64_t ty) {
    const uint64_t key = ty * (spanX + 1) + tx;
    const double jx = tx == 0 || tx == spanX ? 0.0 : kMove * Jitter(seed, 2 * key);
    const double jy = ty == 0 || ty == spanY ? 0.0 : kMove * Jitter(seed, 2 * key + 1);
    return OGRPoint(west + (static_cast<double>(tx) / 3.0 + jx) * width, south + (static_cast<double>(ty) / 3.0 + jy) * height);
  };
  std::ofstream data;
  if (!dataFile.empty()) {
    data.open(dataFile, std::ios::binary);
    if (!data) {
      std::fprintf(stderr, "tarnek-gen-layer: cannot create %s\n", dataFile.c_str());
      return 1;
    }
  }
  dataset->StartTransaction();
  uint64_t number = 0;
  for (uint64_t j = 0; j < rows; ++j) {
    for (uint64_t i = 0; i < columns; ++i) {
      ++number;
      OGRLinearRing ring;
      const uint64_t x = 3 * i, y = 3 * j;
      // Counter-clockwise from the south-west corner: corners and the two
      // points of thirds along each edge (interior points of an edge move
      // along and across it alike; the tiling stays one because both cells
      // take the same point).
      const uint64_t path[12][2] = {{x, y},         {x + 1, y},     {x + 2, y},     {x + 3, y},
                                    {x + 3, y + 1}, {x + 3, y + 2}, {x + 3, y + 3}, {x + 2, y + 3},
                                    {x + 1, y + 3}, {x, y + 3},     {x, y + 2},     {x, y + 1}};
      for (const auto& p : path) {
        const OGRPoint q = point(p[0], p[1]);
        ring.addPoint(q.getX(), q.getY());
      }
      ring.closeRings();
      OGRPolygon polygon;
      polygon.addRing(&ring);
      OGRFeature* feature = OGRFeature::CreateFeature(layer->GetLayerDefn());
      feature->SetField("code", static_cast<int>(number));
      const uint64_t draw = Mix(seed * 0x100000001B3u + number);
      feature->SetField("observed", static_cast<int>(draw % 31));
      const double tenThousandths = std::floor(static_cast<double>(draw >> 32) / 4294967296.0 * 200000.0);
      feature->SetField("expected", 5.0 + tenThousandths / 10000.0);
      if (data.is_open()) {
        // The expected count in its four decimals, exactly as the layer's field shows it.
        const auto whole = static_cast<unsigned long long>(tenThousandths);
        char line[96];
        std::snprintf(line, sizeof line, "-1 %llu %d %llu.%04llu\n", static_cast<unsigned long long>(number),
                      static_cast<int>(draw % 31), 5 + whole / 10000, whole % 10000);
        data << line;
      }
      feature->SetGeometry(&polygon);
      if (layer->CreateFeature(feature) != OGRERR_NONE) {
        std::fprintf(stderr, "tarnek-gen-layer: cannot write feature %llu: %s\n", static_cast<unsigned long long>(number),
                     CPLGetLastErrorMsg());
        return 1;
      }
      OGRFeature::DestroyFeature(feature);
    }
  }
  dataset->CommitTransaction();
  GDALClose(dataset);
  if (data.is_open()) {
    data.close();
    if (!data) {
      std::fprintf(stderr, "tarnek-gen-layer: cannot write %s\n", dataFile.c_str());
      return 1;
    }
  }
  return 0;
}
