// The vector data reader: the layer through the vector-layer reader, then
// its fields through the field rules, feature by feature.
#include "input/vector_data.h"

#include "input/record_fields.h"

namespace tarnek {

namespace {

constexpr size_t kUnitBlock = size_t{1} << 16;  // rows whose units are looked up together

}  // namespace

VectorDataResult ReadVectorData(const std::string& fileName, const CsvColumns& columns,
                                const VectorDataOptions& options, RecordTable& table, VectorLayer& layer) {
  VectorDataResult result;
  VectorReadOptions read;
  read.Layer = options.Layer;
  read.Geometry = options.Shapes;
  result.Read = ReadVectorLayer(fileName, read, layer);
  if (result.Read.Status != VectorStatus::Ok) return result;

  RecordFields fields(columns, table);
  const auto failed = [&](uint64_t feature) {
    if (!fields.Failed()) return false;
    result.Fields = fields.Status();
    result.Feature = feature;
    result.Column = fields.Column();
    return true;
  };
  for (size_t i = 0; i < layer.Fields.size(); ++i) fields.HeaderField(i, layer.Fields[i].Name);
  fields.EndHeader();  // a layer without fields lacks them all, as an empty CSV file does
  if (failed(0)) return result;
  const size_t count = layer.Size(), width = layer.Fields.size();
  for (size_t row = 0; row < count; ++row) {
    for (size_t i = 0; i < width; ++i) fields.DataField(i, layer.Fields[i].Values.At(row));
    fields.EndRow(width, row + 1);  // a feature is named by its number
    if (failed(row + 1)) return result;
    if ((row + 1) % kUnitBlock == 0) fields.FindPendingUnits();
  }
  fields.Finish();
  layer.Fields.clear();
  layer.Key = VectorLayer::kNoKey;
  return result;
}

}  // namespace tarnek
