// The regions' shapes: the features' problems, then the match of keys and
// codes through one hash table of the codes.
#include "input/region_shapes.h"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "input/decimal.h"  // ScanWholeInteger

namespace tarnek {

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// The first problem that is an error: a feature without geometry only
// leaves its region without a shape.
ShapeError ProblemError(const VectorLayer& layer) {
  for (const FeatureProblem& problem : layer.Problems) {
    if (problem.Kind == ShapeProblem::NoGeometry) continue;
    ShapeError error;
    error.Status = problem.Kind == ShapeProblem::NotPolygon ? ShapeStatus::NotPolygon : ShapeStatus::Invalid;
    error.Feature = problem.Feature;
    error.Key = problem.Key;
    error.Detail = problem.Detail;
    return error;
  }
  return {};
}

// What the shapes take from the layer beside the shapes themselves.
void TakeLayerFacts(const VectorLayer& layer, RegionShapes& shapes) {
  shapes.LongitudeLatitude = layer.LongitudeLatitude;
  shapes.BeyondGeographicCrs = layer.BeyondGeographicCrs;
  shapes.Layer = layer.LayerName;
  for (const FeatureProblem& problem : layer.Problems) {
    if (problem.Kind == ShapeProblem::NoGeometry) shapes.WithoutShape.push_back(problem);
  }
}

// A key as plain data's integer code: the value of a decimal integer text
// that fits 32 bits, or nothing.
std::optional<int32_t> IntegerKey(std::string_view key) {
  const std::optional<ScannedInteger> scanned = ScanWholeInteger(key);
  if (!scanned || !scanned->Fits) return std::nullopt;
  return scanned->Value;
}

// A record's code as the outputs print it.
std::string CodeOf(const RecordTable& table, size_t row) {
  return table.CodeText.Empty() ? std::to_string(table.Code[row]) : std::string(table.CodeText.At(row));
}

// The row of each record's code in `rows` (codeOf(row) its key there), or
// the first code that repeats.
template <typename Map, typename Code>
std::optional<ShapeError> IndexCodes(const RecordTable& table, Code codeOf, Map& rows) {
  rows.reserve(table.Size());
  for (size_t row = 0; row < table.Size(); ++row) {
    const auto [at, added] = rows.emplace(codeOf(row), row);
    if (added) continue;
    ShapeError error;
    error.Status = ShapeStatus::RepeatedCode;
    error.Key = CodeOf(table, row);
    error.OtherRecord = at->second + 1;
    error.Record = row + 1;
    return error;
  }
  return std::nullopt;
}

}  // namespace

ShapeError TakeShapes(VectorLayer& layer, RegionShapes& shapes) {
  shapes = RegionShapes{};
  if (ShapeError error = ProblemError(layer); error.Status != ShapeStatus::Ok) return error;
  shapes.Records = std::move(layer.Shapes);
  TakeLayerFacts(layer, shapes);
  return {};
}

ShapeError MatchShapes(VectorLayer& layer, const RecordTable& table, RegionShapes& shapes) {
  shapes = RegionShapes{};
  if (ShapeError error = ProblemError(layer); error.Status != ShapeStatus::Ok) return error;
  const size_t records = table.Size();
  const TextColumn& keys = layer.Fields[layer.Key].Values;

  // The record of each feature, or kNone.
  std::vector<uint64_t> recordOf(layer.Size(), kNone);
  const bool textCodes = !table.CodeText.Empty() || records == 0;
  if (textCodes) {
    std::unordered_map<std::string_view, uint64_t> rows;
    const auto code = [&](size_t row) { return table.CodeText.At(row); };
    if (auto error = IndexCodes(table, code, rows)) return *error;
    for (size_t k = 0; k < keys.Size(); ++k) {
      if (const auto at = rows.find(keys.At(k)); at != rows.end()) recordOf[k] = at->second;
    }
  } else {
    std::unordered_map<int32_t, uint64_t> rows;
    const auto code = [&](size_t row) { return table.Code[row]; };
    if (auto error = IndexCodes(table, code, rows)) return *error;
    for (size_t k = 0; k < keys.Size(); ++k) {
      const std::optional<int32_t> value = IntegerKey(keys.At(k));
      if (!value) continue;
      if (const auto at = rows.find(*value); at != rows.end()) recordOf[k] = at->second;
    }
  }

  // The feature of each record: one at most, and one at least.
  std::vector<uint64_t> featureOf(records, kNone);
  for (size_t k = 0; k < recordOf.size(); ++k) {
    if (recordOf[k] == kNone) continue;
    uint64_t& feature = featureOf[recordOf[k]];
    if (feature != kNone) {
      ShapeError error;
      error.Status = ShapeStatus::RepeatedKey;
      error.OtherFeature = feature + 1;
      error.OtherKey = keys.At(feature);
      error.Feature = k + 1;
      error.Key = keys.At(k);
      error.Record = recordOf[k] + 1;
      return error;
    }
    feature = k;
  }
  for (size_t row = 0; row < records; ++row) {
    if (featureOf[row] != kNone) continue;
    ShapeError error;
    error.Status = ShapeStatus::MissingFeature;
    error.Record = row + 1;
    error.Key = CodeOf(table, row);
    return error;
  }

  shapes.Records.resize(records);
  for (size_t row = 0; row < records; ++row) shapes.Records[row] = std::move(layer.Shapes[featureOf[row]]);
  for (size_t k = 0; k < recordOf.size(); ++k) {
    if (recordOf[k] != kNone) continue;
    shapes.OtherKeys.Append(keys.At(k));
    shapes.Others.push_back(std::move(layer.Shapes[k]));
  }
  TakeLayerFacts(layer, shapes);
  shapes.Key = layer.Fields[layer.Key].Name;
  return {};
}

std::string DescribeShapeError(const ShapeError& e) {
  const auto feature = [](uint64_t number, const std::string& key) {
    return "feature " + std::to_string(number) + (key.empty() ? "" : " (" + key + ")");
  };
  switch (e.Status) {
    case ShapeStatus::Ok:
      return {};
    case ShapeStatus::NotPolygon:
      return feature(e.Feature, e.Key) + ": a " + e.Detail + ", not a polygon";
    case ShapeStatus::Invalid:
      return feature(e.Feature, e.Key) + ": " + e.Detail;
    case ShapeStatus::RepeatedCode:
      return "records " + std::to_string(e.OtherRecord) + " and " + std::to_string(e.Record) + " have the code " + e.Key +
             ": a region has one shape";
    case ShapeStatus::RepeatedKey:
      return e.OtherKey == e.Key ? "features " + std::to_string(e.OtherFeature) + " and " + std::to_string(e.Feature) +
                                       " have the key " + e.Key
                                 : "keys " + e.OtherKey + " (feature " + std::to_string(e.OtherFeature) + ") and " +
                                       e.Key + " (feature " + std::to_string(e.Feature) + ") match one code";
    case ShapeStatus::MissingFeature:
      return "no feature has the key " + e.Key + " (record " + std::to_string(e.Record) + ")";
  }
  return {};
}

std::string DescribeLayerError(const VectorReadResult& read, const std::string& layer) {
  const std::string gdal = read.GdalMessage.empty() ? "" : ": " + read.GdalMessage;
  switch (read.Status) {
    case VectorStatus::Ok:
      return {};
    case VectorStatus::CannotOpen:
      return "not a vector data set that GDAL reads" + gdal;  // GDAL tells why: "Unable to open sids.shx ..."
    case VectorStatus::NoLayer:
      return "no layer";
    case VectorStatus::MissingLayer:
      return "no layer named " + read.Name;
    case VectorStatus::MissingField:
      return (layer.empty() ? "" : "layer " + layer + ": ") + "no field " + read.Name;
    case VectorStatus::RepeatedField:
      return (layer.empty() ? "" : "layer " + layer + ": ") + "two fields named " + read.Name;
    case VectorStatus::NotPolygonLayer:
      return (layer.empty() ? "the layer" : "layer " + layer) + " holds " + read.Name + " geometries, not polygons";
    case VectorStatus::NoGeometry:
      return "layer " + read.Name + " has no geometry";
    case VectorStatus::CannotRead:
      return "GDAL cannot read feature " + std::to_string(read.Feature) + " of layer " + read.Name + gdal;
    case VectorStatus::EmptyKey:
      return "feature " + std::to_string(read.Feature) + " has no key (" + read.Name + " is empty)";
    case VectorStatus::DuplicateKey:
      return "features " + std::to_string(read.FirstFeature) + " and " + std::to_string(read.Feature) +
             " have the key " + read.Name;
    case VectorStatus::NoModule:
      return "the GDAL module cannot be loaded: " + read.Name;
  }
  return {};
}

}  // namespace tarnek
