// tarnek-bench-geometry: times the three geometry steps on one layer, each
// on one core: reading it (GDAL, with the validity check), queen contiguity,
// and the map; prints each step's median wall time of several runs against
// its target of 2 s (and the median CPU time), and the figures that tell
// what was done.
//
// usage: tarnek-bench-geometry LAYER [--key FIELD] [--runs N] [--svg FILE]
//   LAYER   a vector data set, e.g. from tarnek-gen-layer (key field "code")
//   --key   the key field (default "code")
//   --runs  timed runs of each step (default 5)
//   --svg   also write the map there (to time a browser on it)
// Exit 0 whatever the figures; 1 when the layer cannot be read.
#include <algorithm>  // std::sort
#include <chrono>
#include <cstdio>
#include <cstdlib>  // std::strtoul
#include <ctime>    // clock_gettime
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "geometry/contiguity.h"
#include "input/decimal.h"  // ScanWholeReal
#include "input/vector_layer.h"
#include "report/map.h"

using namespace tarnek;

namespace {

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double Wall, Cpu;  // medians, seconds
};

template <typename F>
Timing Median(int runs, F&& step) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    step();
    cpu.push_back(CpuSeconds() - cpuStart);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

// The verdict judges the wall time; on a busy machine the CPU time tells
// what the step itself cost.
void Report(const char* step, Timing t, const std::string& figures) {
  std::printf("%-8s %8.3f s %8.3f s  %-4s  %s\n", step, t.Wall, t.Cpu, t.Wall <= 2.0 ? "PASS" : "MISS", figures.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tarnek-bench-geometry LAYER [--key FIELD] [--runs N] [--svg FILE]\n");
    return 2;
  }
  VectorReadOptions options;
  options.KeyField = "code";
  int runs = 5;
  std::string svgFile;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    if (a == "--key") options.KeyField = argv[i + 1];
    else if (a == "--runs") runs = std::max(1, static_cast<int>(std::strtoul(argv[i + 1], nullptr, 10)));
    else if (a == "--svg") svgFile = argv[i + 1];
  }
  VectorLayer layer;
  VectorReadResult read;
  const Timing reading = Median(runs, [&] { read = ReadVectorLayer(argv[1], options, layer); });
  if (read.Status != VectorStatus::Ok) {
    std::fprintf(stderr, "tarnek-bench-geometry: cannot read %s (%s): %s\n", argv[1], read.Name.c_str(),
                 read.GdalMessage.c_str());
    return 1;
  }
  size_t vertices = 0;
  for (const MultiPolygon& shape : layer.Shapes) vertices += VertexCount(shape);
  std::printf("layer %s: %zu features, %zu vertices, %zu with problems\n", layer.LayerName.c_str(), layer.Size(),
              vertices, layer.Problems.size());
  std::printf("%-8s %10s %10s  %-4s  (target: 2 s each, one core)\n", "step", "wall", "cpu", "");
  Report("read", reading, "");

  NeighbourLists queen;
  const Timing contiguity = Median(runs, [&] { queen = ContiguityNeighbours(layer.Shapes, ContiguityKind::Queen); });
  Report("queen", contiguity, std::to_string(queen.Rows.size()) + " links");

  std::vector<MapRegion> regions(layer.Size());
  const VectorField& key = layer.Fields[layer.Key];
  const VectorField* observed = layer.Field("observed");
  const VectorField* expected = layer.Field("expected");
  for (size_t i = 0; i < layer.Size(); ++i) {
    MapRegion& r = regions[i];
    r.Code = key.Values.At(i);
    if (observed != nullptr && expected != nullptr) {
      r.Observed = ScanWholeReal(observed->Values.At(i)).value_or(0.0);
      r.Expected = ScanWholeReal(expected->Values.At(i)).value_or(1.0);
      r.Ratio = r.Observed / r.Expected;
      // Smoothed towards 1 by a Gamma(10, 10) prior: values for every class.
      r.Eb = (r.Observed + 10.0) / (r.Expected + 10.0);
      r.Lower = r.Eb * 0.6;
      r.Upper = r.Eb * 1.5;
      r.PExceed = r.Eb > 1 ? 1.0 - 0.5 / r.Eb : 0.5 * r.Eb;
    }
    r.Shape = layer.Shapes[i];
  }
  MapSettings settings;
  settings.DataFileName = argv[1];
  settings.Prior = "Gamma(10, 10) prior";
  settings.LongitudeLatitude = layer.LongitudeLatitude;
  std::string svg;
  const Timing drawing = Median(runs, [&] { svg = DrawMap(regions, settings); });
  Report("map", drawing, std::to_string(svg.size()) + " bytes");
  if (!svgFile.empty()) std::ofstream(svgFile, std::ios::binary) << svg;
  return 0;
}
