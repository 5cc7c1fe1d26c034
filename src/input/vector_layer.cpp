// The vector-layer reader: the GDAL module loaded on the first read, the
// read through it, and the decisions made from the shapes it gives.
#include "input/vector_layer.h"

#include <dlfcn.h>     // dlopen, dlsym, dlerror
#include <limits.h>    // PATH_MAX
#include <sys/stat.h>  // stat
#include <unistd.h>    // access, readlink

#include <algorithm>  // std::find, std::none_of
#include <mutex>      // std::call_once
#include <string_view>
#include <vector>

#include "input/csv_reader.h"  // SameColumnName
#include "input/gdal_layer.h"

#if defined(__SANITIZE_THREAD__)
// GDAL's driver registration takes two of its mutexes in both orders, on
// one thread and once: ThreadSanitizer reports a lock-order inversion inside
// GDAL. No thread of this system ever registers drivers beside another.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libgdal.so\n"; }
#endif

namespace tarnek {

namespace {

using ReadGdalLayer = void (*)(const GdalLayerCall*);

struct GdalModule {
  ReadGdalLayer Read = nullptr;
  std::string Failure;  // why it could not be loaded, where it could not
};

// The directory of the running program, with its final '/'; empty where
// /proc does not tell it.
std::string ProgramDirectory() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return {};
  path.resize(static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1);
}

// Where the module is looked for, in this order: beside the program (the
// build tree), in the installed library directory beside its bin directory,
// and where this build put it (for the test programs, which run from a
// directory below). The first file there is the module: one that does not
// load is reported as it is, not passed over for another.
GdalModule LoadGdalModule() {
  GdalModule module;
  const std::string directory = ProgramDirectory();
  std::vector<std::string> places;
  if (!directory.empty()) {
    places.push_back(directory + "tarnek-gdal.so");
    places.push_back(directory + "../" TARNEK_LIBDIR "/tarnek/tarnek-gdal.so");
  }
  places.push_back(TARNEK_GDAL_MODULE_BUILT);
  for (const std::string& place : places) {
    if (access(place.c_str(), F_OK) != 0) continue;
    void* handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* entry = handle != nullptr ? dlsym(handle, "tarnek_read_gdal_layer") : nullptr;
    if (entry != nullptr) {
      module.Read = reinterpret_cast<ReadGdalLayer>(entry);
    } else {
      const char* why = dlerror();
      module.Failure = why != nullptr ? why : place + ": not a module of this program";
    }
    return module;
  }
  module.Failure = "no tarnek-gdal.so beside the program nor in ../" TARNEK_LIBDIR "/tarnek";
  return module;
}

const GdalModule& Module() {
  static std::once_flag once;
  static GdalModule module;
  std::call_once(once, [] { module = LoadGdalModule(); });
  return module;
}

// Where the shapes' coordinates lie: whether there is any, and whether one
// lies beyond [-180, 180] x [-90, 90].
struct Coordinates {
  bool Any = false, Beyond = false;
};
Coordinates CoordinatesOf(const std::vector<MultiPolygon>& shapes) {
  Coordinates found;
  for (const MultiPolygon& shape : shapes) {
    const Box box = BoxOf(shape);
    if (box.Empty()) continue;
    found.Any = true;
    if (box.MinX < -180.0 || box.MaxX > 180.0 || box.MinY < -90.0 || box.MaxY > 90.0) found.Beyond = true;
  }
  return found;
}

}  // namespace

const VectorField* VectorLayer::Field(const std::string& name) const {
  for (const VectorField& field : Fields) {
    if (SameColumnName(field.Name, name)) return &field;
  }
  return nullptr;
}

namespace {

// Adds `path` to `found` when it names an existing regular file that
// neither list holds yet.
void AddIfFile(const std::string& path, const std::vector<std::string>& known, std::vector<std::string>& found) {
  struct stat info{};
  if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      std::find(known.begin(), known.end(), path) == known.end() &&
      std::find(found.begin(), found.end(), path) == found.end()) {
    found.push_back(path);
  }
}

}  // namespace

std::vector<std::string> FilesNamedIn(std::string_view name) {
  std::vector<std::string> files;
  const auto look = [&](std::string_view path) {
    if (!path.empty() && path.size() < PATH_MAX) AddIfFile(std::string(path), {}, files);
  };
  // The fields: name[starts[k], ends[k]).
  std::vector<size_t> starts = {0}, ends;
  for (size_t i = name.find_first_of(":,={}"); i != std::string_view::npos; i = name.find_first_of(":,={}", i + 1)) {
    ends.push_back(i);
    starts.push_back(i + 1);
  }
  ends.push_back(name.size());
  std::vector<std::string_view> stretches;
  for (size_t first = 0; first < starts.size(); ++first) {
    for (size_t last = first; last < starts.size() && last < first + 3; ++last) {
      std::string_view stretch = name.substr(starts[first], ends[last] - starts[first]);
      while (stretch.starts_with("/vsi")) {  // "/vsizip/", "/vsigzip//vsizip/"
        const size_t slash = stretch.find('/', 1);
        stretch = slash == std::string_view::npos ? std::string_view() : stretch.substr(slash + 1);
      }
      stretches.push_back(stretch);
    }
  }
  // Every stretch whole first, then the leading parts of each, up to a
  // bound: those that end in a blank or "." part, or "..", are directories.
  for (const std::string_view stretch : stretches) look(stretch);
  int lookups = 65536;
  for (const std::string_view stretch : stretches) {
    size_t part = 0;  // where the part before `slash` begins
    for (size_t slash = stretch.find('/'); slash != std::string_view::npos && slash < PATH_MAX && lookups > 0;
         part = slash + 1, slash = stretch.find('/', part)) {
      const std::string_view last = stretch.substr(part, slash - part);
      if (last.empty() || last == "." || last == "..") continue;
      --lookups;
      look(stretch.substr(0, slash));
    }
  }
  return files;
}

std::vector<std::string> CompanionFiles(const std::vector<std::string>& files) {
  static constexpr std::string_view kShapefileParts[] = {"shp", "shx", "dbf"};
  static constexpr std::string_view kCompanions[] = {
      "cpg", "prj", "qix", "sbn", "sbx", "qpj", "fbn", "fbx", "ain", "aih", "atx", "ixs", "mxs", "shp.xml",
      "CPG", "PRJ", "QIX", "SBN", "SBX", "QPJ", "FBN", "FBX", "AIN", "AIH", "ATX", "IXS", "MXS", "SHP.XML"};
  std::vector<std::string> found;
  for (const std::string& file : files) {
    AddIfFile(file + ".aux.xml", files, found);
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos || file.find('/', dot) != std::string::npos) continue;
    // The extension in either letter case, as column names compare.
    const std::string_view extension = std::string_view(file).substr(dot + 1);
    if (std::none_of(std::begin(kShapefileParts), std::end(kShapefileParts),
                     [&](std::string_view part) { return SameColumnName(extension, part); })) {
      continue;
    }
    for (const std::string_view companion : kCompanions) {
      AddIfFile(file.substr(0, dot + 1) + std::string(companion), files, found);
    }
  }
  return found;
}

VectorReadResult ReadVectorLayer(const std::string& fileName, const VectorReadOptions& options, VectorLayer& layer) {
  VectorReadResult result;
  const GdalModule& module = Module();
  if (module.Read == nullptr) {
    layer = VectorLayer{};
    result.Status = VectorStatus::NoModule;
    result.Name = module.Failure;
    return result;
  }
  const GdalLayerCall call{&fileName, &options, &SameColumnName, &layer, &result};
  module.Read(&call);
  if (result.Status != VectorStatus::Ok) return result;
  for (std::string& file : FilesNamedIn(fileName)) {
    if (std::find(layer.Files.begin(), layer.Files.end(), file) == layer.Files.end()) layer.Files.push_back(std::move(file));
  }
  for (std::string& file : CompanionFiles(layer.Files)) layer.Files.push_back(std::move(file));
  const Coordinates coordinates = CoordinatesOf(layer.Shapes);  // none without the shapes
  if (layer.Crs == CrsKind::Geographic) {
    layer.LongitudeLatitude = !coordinates.Beyond;
    if (coordinates.Beyond) layer.BeyondGeographicCrs = layer.CrsName;
  } else {
    layer.LongitudeLatitude = layer.Crs == CrsKind::None && coordinates.Any && !coordinates.Beyond;
  }
  return result;
}

}  // namespace tarnek
