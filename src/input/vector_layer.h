// The vector-layer reader: one layer of any vector data set that GDAL/OGR
// reads (shapefile, GeoPackage, GeoJSON, FlatGeobuf, ...), its attributes as
// text and its features' polygons.
//
// What a read gives, feature by feature in the layer's order (feature k,
// counted from 1, is row k-1 of every column):
//   - its attribute values, one text column per field, each value the text a
//     user sees in the file: an integer field in plain decimal; a real field
//     as the shortest decimal that reads back as the same double (the form
//     of the CSV tables; "nan", "inf", "-inf" for values that are not finite
//     numbers, which no number reader of this system accepts); a string
//     byte for byte as GDAL gives it (in UTF-8 where the driver knows the
//     file's encoding, as a shapefile's .cpg file or code page byte tells
//     it); any other type (dates, lists) in GDAL's own text form. A null or
//     unset value is empty text, and marked in the field's Null column;
//   - its shape (core/geometry.h): a polygon or a multipolygon, its holes
//     kept, each ring without its closing vertex, outer rings turned
//     counter-clockwise and holes clockwise (as RFC 7946 wants them; a
//     shapefile stores them the other way round) with their first vertex
//     kept, so that every format gives the same rings; Z and M dropped,
//     parts that are empty left out.
// A feature whose geometry is missing or empty, of another type (a line, a
// point, a curve, a collection), or invalid gets an empty shape and a
// FeatureProblem that names it by number and key: nothing is drawn silently
// in its place, and the caller decides whether that ends the run. Invalid
// means: a ring of fewer than 3 distinct vertices, a ring that is not closed,
// a coordinate that is not a finite number, or, with CheckValidity, a shape
// that GEOS (through OGR) finds invalid (rings that cross or touch
// themselves, holes outside their polygon), with GEOS's reason.
//
// The coordinate reference system: Geographic for a geographic CRS
// (longitude, latitude in degrees: GDAL gives every driver's data with the
// longitude first), Projected for a projected one, Other for the rest (a
// local or geocentric CRS: planar coordinates all the same), None for a
// layer without a CRS. LongitudeLatitude is the decision that drawing uses:
// true for Geographic and None when every coordinate of every shape lies
// within [-180, 180] x [-90, 90] (as a shapefile without its .prj file
// usually holds); false otherwise. A geographic layer whose coordinates
// reach beyond that range (GDAL calls a GeoJSON file without a "crs" member
// WGS 84, whatever its numbers: metres of a projected CRS, often) is drawn
// as planar, and BeyondGeographicCrs names its CRS for the map's caption.
//
// Errors end the read: the data set cannot be opened (not a file GDAL reads
// as vector data), it has no layer, the named layer is missing, a named
// field is missing or two fields match one name, the layer's declared
// geometry type is points or lines, or GDAL fails while reading features,
// or GDAL's module (gdal_layer.h, loaded on the first read) cannot be loaded.
// With a key field, a feature whose key is null or empty, and a key that two
// features share, end the read as well. Every error names what it is about
// (the file, layer, field, geometry type or key) and keeps GDAL's own message
// where GDAL gave one. GDAL's messages never reach the console.
//
// Field names are matched as the CSV reader matches column names: without
// regard to ASCII letter case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry.h"
#include "core/record_table.h"  // TextColumn

namespace tarnek {

struct VectorReadOptions {
  std::string Layer;                // the layer's name; empty: the data set's first layer
  std::string KeyField;             // the field that names the features; empty: none
  std::vector<std::string> Fields;  // the fields to keep, in this order (the key field after them if they lack it);
                                    // empty: every field, in the layer's order
  bool Geometry = true;             // read the shapes (false: attributes only)
  bool CheckValidity = true;        // test each shape with GEOS as well
};

enum class FieldKind { Integer, Real, String, Other };

struct VectorField {
  std::string Name;  // as the layer spells it
  FieldKind Kind = FieldKind::String;
  TextColumn Values;       // one text per feature
  std::vector<bool> Null;  // per feature: the value is null or unset (its text is empty)
};

enum class CrsKind { None, Geographic, Projected, Other };

enum class ShapeProblem {
  NoGeometry,  // the feature has no geometry, or an empty one
  NotPolygon,  // a point, line, curve or collection; Detail: its type, as OGR names it ("Line String")
  Invalid,     // Detail: what is wrong
};

struct FeatureProblem {
  uint64_t Feature = 0;  // counted from 1 in the layer's order
  int64_t Fid = 0;       // GDAL's feature id
  std::string Key;       // the key's text, or empty without a key field
  ShapeProblem Kind = ShapeProblem::NoGeometry;
  std::string Detail;
};

struct VectorLayer {
  std::string LayerName;
  // The data set's files as GDAL lists them (a shapefile's .shp, .dbf,
  // .shx, ...), then those its name reaches through GDAL's own syntax
  // (FilesNamedIn) and those that belong with a listed file though GDAL
  // may leave them out (CompanionFiles), for the same-file checks.
  std::vector<std::string> Files;
  CrsKind Crs = CrsKind::None;
  std::string CrsName;             // the CRS's name, empty for None
  bool LongitudeLatitude = false;  // see above
  std::string BeyondGeographicCrs; // CrsName where the CRS is Geographic but LongitudeLatitude false; else empty
  std::vector<VectorField> Fields;
  size_t Key = kNoKey;                // index in Fields of the key field (there whenever one was named)
  std::vector<int64_t> Fids;          // per feature
  std::vector<MultiPolygon> Shapes;   // per feature, when the geometry was read
  std::vector<FeatureProblem> Problems;  // in feature order

  static constexpr size_t kNoKey = static_cast<size_t>(-1);
  size_t Size() const { return Fids.size(); }
  // The field of that name (without regard to ASCII case), or nullptr.
  const VectorField* Field(const std::string& name) const;
};

enum class VectorStatus {
  Ok,
  CannotOpen,      // Name: the file
  NoLayer,         // the data set holds no layer; Name: the file
  MissingLayer,    // Name: the layer
  MissingField,    // Name: the field (the key field included)
  RepeatedField,   // two fields match the name; Name: the name
  NotPolygonLayer, // the layer holds points or lines; Name: the type, as OGR names it ("Point")
  NoGeometry,      // the shapes were asked for but the layer has no geometry column; Name: the layer
  CannotRead,      // GDAL failed on a feature; Name: the layer, Feature: which
  EmptyKey,        // a feature's key is null or empty; Feature: which
  DuplicateKey,    // Name: the key, Feature: its second feature, FirstFeature: its first
  NoModule,        // the GDAL module (gdal_layer.h) cannot be loaded; Name: why, as the loader says
};

struct VectorReadResult {
  VectorStatus Status = VectorStatus::Ok;
  std::string Name;
  uint64_t Feature = 0;       // counted from 1
  uint64_t FirstFeature = 0;  // DuplicateKey only
  std::string GdalMessage;    // GDAL's last error message, or empty
};

// The existing files (not directories) that a data set's name reaches
// where GDAL reads it as more than a path, so that no output can take their
// place: a driver's prefix or a layer after a colon ("GPKG:a.gpkg:roads",
// "GeoJSON:a.geojson"), a virtual file system's path into an archive or a
// compressed file ("/vsizip/a.zip/b.geojson", "/vsizip/{a.zip}/b.geojson",
// "/vsigzip/b.gz", nested ones), a file after its options ("/vsisubfile/
// 0_100,a.shp"). Each stretch of the name between the separators : , = { }
// (up to three fields with the separators between them) is taken without
// its leading /vsi.../ prefixes: first each whole (about three look-ups a
// field), then each of its leading parts that ends before a '/' (but for a
// blank part, "." and "..", which name directories, and parts too long to
// be a path), at most 65536 of those, whatever the name. A plain
// path gives itself where it exists. Names that GDAL would not read so cost
// needless look-ups, and a field that happens to name an existing file (a
// layer "roads" beside a file "roads") joins the checks as well.
std::vector<std::string> FilesNamedIn(std::string_view name);

// The existing files that belong with the files of a data set, though GDAL
// may not list them: beside a shapefile's .shp, .shx or .dbf, its other
// parts of the same name (.cpg, the encoding GDAL reads; .prj; the indexes
// .qix, .sbn, .sbx and the like), in lower or upper case, and its metadata
// (.shp.xml); beside any file, GDAL's own .aux.xml. None of `files` itself.
std::vector<std::string> CompanionFiles(const std::vector<std::string>& files);

// Reads the layer of `fileName` that `options` name into `layer` (which is
// overwritten; left empty after an error). Running out of memory throws
// std::bad_alloc.
VectorReadResult ReadVectorLayer(const std::string& fileName, const VectorReadOptions& options, VectorLayer& layer);

}  // namespace tarnek
