// The one entry point of tarnek-gdal.so, the module that holds every call
// into GDAL/OGR: ReadVectorLayer (vector_layer.h) loads it on its first
// call, so that a run without vector data never loads GDAL and the hundred
// or so libraries it links (about 40 ms and 30 MB at every start).
//
// tarnek_read_gdal_layer does what ReadVectorLayer promises, but for the
// decision LongitudeLatitude, which the caller makes from the shapes. The
// module is built by the same compiler from the same headers as the
// program: the objects pass between the two as they are.
#pragma once

#include <string>
#include <string_view>

#include "input/vector_layer.h"

namespace tarnek {

using SameNameRule = bool (*)(std::string_view, std::string_view);

struct GdalLayerCall {
  const std::string* FileName;
  const VectorReadOptions* Options;
  SameNameRule SameName;  // whether a field's name is the one asked for
  VectorLayer* Layer;     // overwritten; empty after an error
  VectorReadResult* Result;
};

}  // namespace tarnek

// Running out of memory throws std::bad_alloc through it.
extern "C" void tarnek_read_gdal_layer(const tarnek::GdalLayerCall* call);
