// The regions' shapes: each record's polygons, from the features of a
// vector layer, and the features that no record has.
//
// Two ways to them:
//   - TakeShapes: the layer is the data (--vector): feature k is record k.
//   - MatchShapes: the layer is another file (--geometry), its features
//     matched to the records by a key field. The key is compared with each
//     record's code: as text, byte for byte, where the data keep their codes
//     as text (CSV and vector data); as an integer where the data's codes
//     are integers (plain data): a key that reads as a decimal integer
//     (optional sign, digits, leading zeros allowed: "037009" is 37009)
//     matches the code of that value, any other key matches none.
//
// What holds afterwards, and the error where it does not:
//   - every feature is a polygon or a multipolygon, or has no geometry: a
//     feature of another type (NotPolygon) or with an invalid shape
//     (Invalid) is an error, so that nothing is drawn wrongly or left out
//     without a word; a feature without geometry (or an empty one) leaves
//     its region without a shape: not drawn on a map (which counts it), with
//     no contiguity neighbours; such features are listed in WithoutShape,
//     by number and key, for the run to report;
//   - (MatchShapes) every record's code is unique (RepeatedCode), no two
//     features match one record (RepeatedKey: the same key twice, or two
//     keys of one integer value), and every record has a feature
//     (MissingFeature). A feature that matches no record is a region without
//     data: kept in Others, drawn as "no data".
// The first error in this order is reported: the features' problems in the
// layer's order, the records' codes, the features' keys, the records'
// features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/record_table.h"
#include "input/vector_layer.h"

namespace tarnek {

struct RegionShapes {
  std::vector<MultiPolygon> Records;  // per record: its feature's shape, empty when it has none
  TextColumn OtherKeys;               // the features that no record matches: their keys, in the layer's order
  std::vector<MultiPolygon> Others;   // and their shapes
  bool LongitudeLatitude = false;     // VectorLayer::LongitudeLatitude
  std::string BeyondGeographicCrs;    // VectorLayer::BeyondGeographicCrs
  std::vector<FeatureProblem> WithoutShape;  // the features without geometry (or an empty one), in the layer's order
  std::string Layer;                  // the layer's name
  std::string Key;                    // the key field's name, as the layer spells it (MatchShapes)
};

enum class ShapeStatus {
  Ok,
  NotPolygon,      // feature Feature (key Key) is of another type; Detail: the type, as OGR names it
  Invalid,         // feature Feature (key Key) has an invalid shape; Detail: why
  RepeatedCode,    // records Record and OtherRecord have the code Key
  RepeatedKey,     // features OtherFeature and Feature (keys OtherKey and Key) match one record, Record
  MissingFeature,  // record Record, code Key, has no feature
};

struct ShapeError {
  ShapeStatus Status = ShapeStatus::Ok;
  std::string Key;        // the feature's key, or the record's code as the outputs print it
  std::string OtherKey;   // RepeatedKey: the first feature's key
  std::string Detail;
  uint64_t Feature = 0, OtherFeature = 0;  // counted from 1 in the layer's order
  uint64_t Record = 0, OtherRecord = 0;    // counted from 1 in the data's order
};

// Feature k's shape becomes record k's. Precondition: the layer has as many
// features as the table has records, read with their shapes.
ShapeError TakeShapes(VectorLayer& layer, RegionShapes& shapes);

// Matches the features of `layer` to the records of `table` by the layer's
// key field. Precondition: the layer was read with its shapes and a key.
ShapeError MatchShapes(VectorLayer& layer, const RecordTable& table, RegionShapes& shapes);

// What an error says, after its file's name: "feature 12 (37009): a ring
// is not closed", "no feature has the key 37009 (record 5)".
std::string DescribeShapeError(const ShapeError& error);

// What a vector layer's read error says, after the file's name ("no layer
// named counties", "layer sids: no field FIPS"); `layer` is the layer's name
// where one was asked for.
std::string DescribeLayerError(const VectorReadResult& read, const std::string& layer);

}  // namespace tarnek
