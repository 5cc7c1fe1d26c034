// tarnek_map_sample: draws the map of the North Carolina counties (SIDS
// 1974-78) for tests/map_browser_check, with EB ratios under a Gamma prior
// fitted by moments (Marshall 1991) here, as a run would give them.
//
// usage: tarnek_map_sample SIDS_SHP OUT_SVG
#include <boost/math/special_functions/gamma.hpp>  // gamma_p_inv, gamma_q

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "input/decimal.h"  // ScanWholeReal
#include "input/vector_layer.h"
#include "report/map.h"

using namespace tarnek;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tarnek_map_sample SIDS_SHP OUT_SVG\n");
    return 2;
  }
  VectorReadOptions options;
  options.KeyField = "FIPS";
  options.Fields = {"BIR74", "SID74"};
  VectorLayer layer;
  if (ReadVectorLayer(argv[1], options, layer).Status != VectorStatus::Ok) {
    std::fprintf(stderr, "tarnek_map_sample: cannot read %s\n", argv[1]);
    return 1;
  }
  const size_t n = layer.Size();
  std::vector<double> births(n), deaths(n);
  double totalBirths = 0, totalDeaths = 0;
  for (size_t i = 0; i < n; ++i) {
    births[i] = ScanWholeReal(layer.Fields[0].Values.At(i)).value_or(0.0);
    deaths[i] = ScanWholeReal(layer.Fields[1].Values.At(i)).value_or(0.0);
    totalBirths += births[i];
    totalDeaths += deaths[i];
  }
  // Expected deaths by internal standardisation; the prior's mean m and
  // variance v by Marshall's moments.
  std::vector<double> expected(n);
  for (size_t i = 0; i < n; ++i) expected[i] = births[i] * totalDeaths / totalBirths;
  const double m = 1.0, meanE = totalDeaths / static_cast<double>(n);
  double spread = 0;
  for (size_t i = 0; i < n; ++i) spread += expected[i] * (deaths[i] / expected[i] - m) * (deaths[i] / expected[i] - m);
  const double v = std::max(spread / totalDeaths - m / meanE, 1e-3);
  const double rate = m / v, shape = m * rate;
  std::vector<MapRegion> regions(n);
  for (size_t i = 0; i < n; ++i) {
    MapRegion& r = regions[i];
    r.Code = layer.Fields[layer.Key].Values.At(i);
    r.Observed = deaths[i];
    r.Expected = expected[i];
    r.Ratio = deaths[i] / expected[i];
    const double a = deaths[i] + shape, b = expected[i] + rate;
    r.Eb = a / b;
    r.Lower = boost::math::gamma_p_inv(a, 0.025) / b;
    r.Upper = boost::math::gamma_p_inv(a, 0.975) / b;
    r.PExceed = boost::math::gamma_q(a, b);
    r.Shape = std::move(layer.Shapes[i]);
  }
  MapSettings settings;
  settings.DataFileName = "sids.shp";
  settings.Prior = "Gamma prior by moments";
  settings.LongitudeLatitude = layer.LongitudeLatitude;
  std::ofstream(argv[2], std::ios::binary) << DrawMap(regions, settings);
  return 0;
}
