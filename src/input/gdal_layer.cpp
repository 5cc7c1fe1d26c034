// The half of the vector-layer reader that calls GDAL/OGR, built as the
// module tarnek-gdal.so (see gdal_layer.h): open, pick the layer and fields,
// then one pass over the features.
#include "input/gdal_layer.h"

#include <algorithm>  // std::find
#include <charconv>   // std::to_chars
#include <cmath>     // std::isfinite, std::isnan
#include <memory>
#include <mutex>     // std::call_once
#include <string_view>
#include <unordered_map>
#include <utility>

#include <gdal_priv.h>     // GDALAllRegister, GDALDataset, GDALOpenEx
#include <ogr_geometry.h>  // OGRGeometry, OGRPolygon, OGRMultiPolygon, OGRLinearRing
#include <ogrsf_frmts.h>   // OGRLayer, OGRFeature

namespace tarnek {

namespace {


// GDAL's messages, kept here instead of printed: installed for the read on
// this thread, removed when it ends.
struct GdalMessages {
  std::string LastFailure;  // the last error (CE_Failure or worse)
  std::string LastWarning;  // the last warning: GEOS's reason for an invalid shape comes as one

  static void CPL_STDCALL Handle(CPLErr level, CPLErrorNum, const char* message) {
    auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (self == nullptr || message == nullptr) return;
    if (level >= CE_Failure) self->LastFailure = message;
    else if (level == CE_Warning) self->LastWarning = message;
  }
};

class QuietGdal {
 public:
  explicit QuietGdal(GdalMessages& messages) { CPLPushErrorHandlerEx(&GdalMessages::Handle, &messages); }
  ~QuietGdal() { CPLPopErrorHandler(); }
  QuietGdal(const QuietGdal&) = delete;
  QuietGdal& operator=(const QuietGdal&) = delete;
};

void RegisterDrivers() {
  static std::once_flag once;
  std::call_once(once, [] { GDALAllRegister(); });
}

struct DatasetCloser {
  void operator()(GDALDataset* dataset) const { GDALClose(dataset); }
};
struct FeatureDeleter {
  void operator()(OGRFeature* feature) const { OGRFeature::DestroyFeature(feature); }
};

// The layer's fields that the names ask for, by index in its definition;
// every field without names. Status Ok, MissingField or RepeatedField.
VectorStatus ChooseFields(OGRFeatureDefn& definition, const std::vector<std::string>& names, SameNameRule sameName,
                          std::vector<int>& chosen, std::string& which) {
  chosen.clear();
  const int count = definition.GetFieldCount();
  if (names.empty()) {
    for (int i = 0; i < count; ++i) chosen.push_back(i);
    return VectorStatus::Ok;
  }
  for (const std::string& name : names) {
    int found = -1;
    for (int i = 0; i < count; ++i) {
      if (!sameName(definition.GetFieldDefn(i)->GetNameRef(), name)) continue;
      if (found >= 0) {
        which = name;
        return VectorStatus::RepeatedField;
      }
      found = i;
    }
    if (found < 0) {
      which = name;
      return VectorStatus::MissingField;
    }
    chosen.push_back(found);
  }
  return VectorStatus::Ok;
}

FieldKind KindOf(OGRFieldType type) {
  switch (type) {
    case OFTInteger:
    case OFTInteger64:
      return FieldKind::Integer;
    case OFTReal:
      return FieldKind::Real;
    case OFTString:
      return FieldKind::String;
    default:
      return FieldKind::Other;
  }
}

// The text of one value that is set and not null, as the header describes it.
std::string ValueText(OGRFeature& feature, int index, FieldKind kind) {
  char text[32];
  switch (kind) {
    case FieldKind::Integer:
      return std::string(text, std::to_chars(text, text + sizeof text, feature.GetFieldAsInteger64(index)).ptr);
    case FieldKind::Real: {
      const double value = feature.GetFieldAsDouble(index);
      if (std::isnan(value)) return "nan";
      if (!std::isfinite(value)) return value > 0 ? "inf" : "-inf";
      return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
    default:
      return feature.GetFieldAsString(index);
  }
}

// One ring, its closing vertex dropped; false with `why` when it is invalid.
bool CopyRing(const OGRLinearRing& source, Ring& ring, std::string& why) {
  const int n = source.getNumPoints();
  ring.clear();
  ring.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const Point p{source.getX(i), source.getY(i)};
    if (!std::isfinite(p.X) || !std::isfinite(p.Y)) {
      why = "a coordinate is not a finite number";
      return false;
    }
    ring.push_back(p);
  }
  if (ring.empty() || !(ring.front() == ring.back())) {
    why = "a ring is not closed";
    return false;
  }
  ring.pop_back();
  // Three distinct vertices at least: more than a point or a line.
  size_t distinct = 0;
  Point seen[2];
  for (const Point& p : ring) {
    if ((distinct > 0 && p == seen[0]) || (distinct > 1 && p == seen[1])) continue;
    if (distinct == 2) {
      distinct = 3;
      break;
    }
    seen[distinct++] = p;
  }
  if (distinct < 3) {
    why = "a ring has fewer than 3 distinct vertices";
    return false;
  }
  return true;
}

// Twice the signed area of the ring, positive when counter-clockwise; taken
// from the first vertex, so that large coordinates lose little.
double TwiceSignedArea(const Ring& ring) {
  double sum = 0.0;
  const Point& o = ring[0];
  for (size_t i = 1; i + 1 < ring.size(); ++i) {
    sum += (ring[i].X - o.X) * (ring[i + 1].Y - o.Y) - (ring[i + 1].X - o.X) * (ring[i].Y - o.Y);
  }
  return sum;
}

// Turned the other way round where it runs against `counterClockwise`, its
// first vertex kept.
void Orient(Ring& ring, bool counterClockwise) {
  const double area = TwiceSignedArea(ring);
  if (counterClockwise ? area < 0.0 : area > 0.0) std::reverse(ring.begin() + 1, ring.end());
}

bool CopyPolygon(const OGRPolygon& source, MultiPolygon& shape, std::string& why) {
  if (source.IsEmpty()) return true;  // an empty part adds nothing
  Polygon polygon;
  const OGRLinearRing* outer = source.getExteriorRing();
  if (outer == nullptr || !CopyRing(*outer, polygon.Outer, why)) return false;
  Orient(polygon.Outer, true);
  const int holes = source.getNumInteriorRings();
  polygon.Holes.resize(static_cast<size_t>(holes));
  for (int i = 0; i < holes; ++i) {
    Ring& hole = polygon.Holes[static_cast<size_t>(i)];
    if (!CopyRing(*source.getInteriorRing(i), hole, why)) return false;
    Orient(hole, false);
  }
  shape.push_back(std::move(polygon));
  return true;
}

// The feature's shape, or a problem (returned true).
bool ShapeOf(OGRGeometry* geometry, bool checkValidity, GdalMessages& messages, MultiPolygon& shape,
             ShapeProblem& kind, std::string& detail) {
  shape.clear();
  if (geometry == nullptr || geometry->IsEmpty()) {
    kind = ShapeProblem::NoGeometry;
    return true;
  }
  const OGRwkbGeometryType type = wkbFlatten(geometry->getGeometryType());
  bool ok = true;
  if (type == wkbPolygon) {
    ok = CopyPolygon(*geometry->toPolygon(), shape, detail);
  } else if (type == wkbMultiPolygon) {
    for (const OGRPolygon* part : *geometry->toMultiPolygon()) {
      if (!(ok = CopyPolygon(*part, shape, detail))) break;
    }
  } else {
    kind = ShapeProblem::NotPolygon;
    detail = OGRGeometryTypeToName(type);
    return true;
  }
  if (ok && checkValidity) {
    messages.LastWarning.clear();
    if (!geometry->IsValid()) {
      ok = false;
      detail = messages.LastWarning.empty() ? "GEOS finds it invalid" : "GEOS finds it invalid: " + messages.LastWarning;
    }
  }
  if (!ok) {
    shape.clear();
    kind = ShapeProblem::Invalid;
    return true;
  }
  return false;
}
}  // namespace

void ReadGdalLayer(const GdalLayerCall& call) {
  const std::string& fileName = *call.FileName;
  const VectorReadOptions& options = *call.Options;
  VectorLayer& layer = *call.Layer;
  VectorReadResult& result = *call.Result;
  layer = VectorLayer{};
  GdalMessages messages;
  QuietGdal quiet(messages);
  RegisterDrivers();
  result = VectorReadResult{};
  const auto fail = [&](VectorStatus status, std::string name) {
    result.Status = status;
    result.Name = std::move(name);
    result.GdalMessage = messages.LastFailure;
    layer = VectorLayer{};
  };

  std::unique_ptr<GDALDataset, DatasetCloser> dataset(GDALDataset::FromHandle(
      GDALOpenEx(fileName.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, nullptr, nullptr, nullptr)));
  if (!dataset) return fail(VectorStatus::CannotOpen, fileName);
  if (char** files = dataset->GetFileList()) {
    for (char** f = files; *f != nullptr; ++f) layer.Files.emplace_back(*f);
    CSLDestroy(files);
  }
  OGRLayer* source = nullptr;
  if (options.Layer.empty()) {
    if (dataset->GetLayerCount() == 0) return fail(VectorStatus::NoLayer, fileName);
    source = dataset->GetLayer(0);
  } else {
    source = dataset->GetLayerByName(options.Layer.c_str());
    if (source == nullptr) return fail(VectorStatus::MissingLayer, options.Layer);
  }
  layer.LayerName = source->GetName();

  OGRFeatureDefn& definition = *source->GetLayerDefn();
  std::vector<int> chosen;
  std::string which;
  if (const VectorStatus status = ChooseFields(definition, options.Fields, call.SameName, chosen, which);
      status != VectorStatus::Ok) {
    return fail(status, which);
  }
  int keyIndex = -1;
  if (!options.KeyField.empty()) {
    std::vector<int> key;
    if (const VectorStatus status = ChooseFields(definition, {options.KeyField}, call.SameName, key, which);
        status != VectorStatus::Ok) {
      return fail(status, which);
    }
    keyIndex = key[0];
    if (std::find(chosen.begin(), chosen.end(), keyIndex) == chosen.end()) chosen.push_back(keyIndex);
  }
  for (const int index : chosen) {
    OGRFieldDefn& field = *definition.GetFieldDefn(index);
    layer.Fields.push_back(VectorField{field.GetNameRef(), KindOf(field.GetType()), {}, {}});
    if (index == keyIndex) layer.Key = layer.Fields.size() - 1;
  }

  if (options.Geometry) {
    if (definition.GetGeomFieldCount() == 0) return fail(VectorStatus::NoGeometry, layer.LayerName);
    const OGRwkbGeometryType declared = wkbFlatten(source->GetGeomType());
    if (declared == wkbPoint || declared == wkbMultiPoint || declared == wkbLineString ||
        declared == wkbMultiLineString) {
      return fail(VectorStatus::NotPolygonLayer, OGRGeometryTypeToName(declared));
    }
  }
  if (const OGRSpatialReference* srs = source->GetSpatialRef()) {
    layer.Crs = srs->IsGeographic() ? CrsKind::Geographic : srs->IsProjected() ? CrsKind::Projected : CrsKind::Other;
    if (const char* name = srs->GetName()) layer.CrsName = name;
  }

  source->ResetReading();
  for (;;) {
    messages.LastFailure.clear();
    std::unique_ptr<OGRFeature, FeatureDeleter> feature(source->GetNextFeature());
    const uint64_t number = layer.Size() + 1;
    if (!messages.LastFailure.empty()) {
      result.Feature = number;
      return fail(VectorStatus::CannotRead, layer.LayerName);
    }
    if (!feature) break;
    layer.Fids.push_back(feature->GetFID());
    for (size_t i = 0; i < chosen.size(); ++i) {
      VectorField& field = layer.Fields[i];
      const bool null = !feature->IsFieldSetAndNotNull(chosen[i]);
      field.Null.push_back(null);
      field.Values.Append(null ? std::string() : ValueText(*feature, chosen[i], field.Kind));
    }
    std::string key;
    if (keyIndex >= 0) {
      const TextColumn& column = layer.Fields[layer.Key].Values;
      key = column.At(column.Size() - 1);
      if (key.empty()) {
        result.Feature = number;
        return fail(VectorStatus::EmptyKey, options.KeyField);
      }
    }
    if (options.Geometry) {
      MultiPolygon shape;
      ShapeProblem kind = ShapeProblem::NoGeometry;
      std::string detail;
      if (ShapeOf(feature->GetGeometryRef(), options.CheckValidity, messages, shape, kind, detail)) {
        layer.Problems.push_back(FeatureProblem{number, feature->GetFID(), key, kind, std::move(detail)});
      }
      layer.Shapes.push_back(std::move(shape));
    }
  }
  if (keyIndex >= 0) {
    // Views into the key column, whose bytes stay put now that it is read.
    const TextColumn& keys = layer.Fields[layer.Key].Values;
    std::unordered_map<std::string_view, uint64_t> first;  // key -> its first feature
    first.reserve(keys.Size());
    for (size_t i = 0; i < keys.Size(); ++i) {
      const auto [at, added] = first.emplace(keys.At(i), i + 1);
      if (!added) {
        result.Feature = i + 1;
        result.FirstFeature = at->second;
        return fail(VectorStatus::DuplicateKey, std::string(keys.At(i)));
      }
    }
  }
}

}  // namespace tarnek

extern "C" void tarnek_read_gdal_layer(const tarnek::GdalLayerCall* call) { tarnek::ReadGdalLayer(*call); }
