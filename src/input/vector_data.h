// The vector data reader: a data file that GDAL reads as vector data
// (shapefile, GeoPackage, GeoJSON, ...), one of its layers read as the
// records, its attribute table by the rules of a CSV file's columns.
//
// The layer's fields stand for the CSV header, in the layer's order, and
// each feature for a row: its values are the texts that the vector-layer
// reader gives (vector_layer.h: integers in plain decimal, reals as the
// shortest decimal that reads back, strings as GDAL gives them, a null value
// as empty text), checked and kept by the field rules of record_fields.h.
// So the four columns are found by their names (CsvColumns, letter case
// ignored), units and codes are text printed back as read, an observed
// count must read as a whole number (a real field holding 12 gives "12"; one
// holding 12.5 fails), a null or empty value is an error, and --keep's
// columns are carried as text. An error names the feature, counted from 1 in
// the layer's order, where a CSV file's error names its line.
//
// With Shapes the features' shapes are read too (the layer must then hold
// polygons); the layer that the result leaves has them, its files, its
// CRS and its problems, but no fields (their values are in the table).
#pragma once

#include <cstdint>
#include <string>

#include "core/record_table.h"
#include "input/csv_reader.h"  // CsvColumns, CsvStatus
#include "input/vector_layer.h"

namespace tarnek {

struct VectorDataOptions {
  std::string Layer;    // the layer's name; empty: the data set's first layer
  bool Shapes = false;  // read the features' shapes as well
};

struct VectorDataResult {
  VectorReadResult Read;               // how the layer read (Status Ok when it did)
  CsvStatus Fields = CsvStatus::Ok;    // then how its fields did: Ok, OutOfRange, NotAValue, MissingColumn,
                                       // RepeatedColumn
  uint64_t Feature = 0;                // the feature of a field's error, from 1; 0 for the header's
  std::string Column;                  // the column, as CsvColumns names it (see csv_reader.h)
  bool Ok() const { return Read.Status == VectorStatus::Ok && Fields == CsvStatus::Ok; }
};

// Reads the layer of `fileName` that `options` name into `table` (and what
// else the layer holds into `layer`). Running out of memory throws
// std::bad_alloc.
VectorDataResult ReadVectorData(const std::string& fileName, const CsvColumns& columns,
                                const VectorDataOptions& options, RecordTable& table, VectorLayer& layer);

}  // namespace tarnek
