// tarnek-read-time: how long reading the data takes, apart from the rest of
// a run: a plain CSV file read as `--csv` reads it, against a long-form file
// read and standardised as `--csv --population=pop --strata=age,sex` does
// (internal standardisation by group). Each round reads both once, the
// order alternating, into fresh tables, as a run does; prints the median
// wall time and CPU time (user + system: the steadier on a busy machine) of
// each, and the ratio of the wall times.
//
// usage: tarnek-read-time PLAIN.csv LONG.csv [ROUNDS]   (default 5 rounds)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>  // std::clock
#include <string>
#include <vector>

#include "estimation/standardisation.h"
#include "input/csv_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

// A reading of both clocks; Since gives the wall and CPU seconds since it.
struct Stamp {
  Clock::time_point Wall = Clock::now();
  std::clock_t Cpu = std::clock();
  void Since(double& wall, double& cpu) const {
    wall = std::chrono::duration<double>(Clock::now() - Wall).count();
    cpu = static_cast<double>(std::clock() - Cpu) / CLOCKS_PER_SEC;
  }
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Seconds to read `file`; false when the read fails.
bool ReadPlain(const std::string& file, double& seconds, double& cpu, size_t& rows) {
  const Stamp start;
  tarnek::RecordTable table;
  const bool ok = tarnek::ReadCsvFile(file, tarnek::CsvColumns{}, table).Status == tarnek::CsvStatus::Ok;
  start.Since(seconds, cpu);
  rows = table.Size();
  return ok;
}

bool ReadLong(const std::string& file, double& seconds, double& cpu, size_t& rows, size_t& regions) {
  const tarnek::StandardisationSettings settings{"pop", {"age", "sex"}};
  const Stamp start;
  tarnek::CsvColumns columns;
  tarnek::RequestStandardisationColumns(settings, columns);
  tarnek::RecordTable table, standardised;
  bool ok = tarnek::ReadCsvFile(file, columns, table).Status == tarnek::CsvStatus::Ok;
  ok = ok && tarnek::Standardise(table, settings, nullptr, standardised).Status == tarnek::StandardiseStatus::Ok;
  start.Since(seconds, cpu);
  rows = table.Size();
  regions = standardised.Size();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: tarnek-read-time PLAIN.csv LONG.csv [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc == 4 ? std::atoi(argv[3]) : 5;
  if (rounds < 1) {
    std::fprintf(stderr, "tarnek-read-time: ROUNDS must be 1 or more\n");
    return 2;
  }
  std::vector<double> plain, standardised, plainCpu, standardisedCpu;
  size_t plainRows = 0, longRows = 0, regions = 0;
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms the page cache
    double p = 0, s = 0, pc = 0, sc = 0;
    const bool ok = round % 2 ? ReadPlain(argv[1], p, pc, plainRows) && ReadLong(argv[2], s, sc, longRows, regions)
                              : ReadLong(argv[2], s, sc, longRows, regions) && ReadPlain(argv[1], p, pc, plainRows);
    if (!ok) {
      std::fprintf(stderr, "tarnek-read-time: %s or %s does not read\n", argv[1], argv[2]);
      return 1;
    }
    if (round == 0) continue;
    plain.push_back(p);
    standardised.push_back(s);
    plainCpu.push_back(pc);
    standardisedCpu.push_back(sc);
  }
  const double a = Median(plain), b = Median(standardised);
  std::printf("plain CSV read:             %zu rows, median %.4f s, cpu %.4f s\n", plainRows, a, Median(plainCpu));
  std::printf("long form read+standardise: %zu rows, %zu regions, median %.4f s, cpu %.4f s\n", longRows, regions, b,
              Median(standardisedCpu));
  std::printf("cpu ratio: %.2f\n", Median(standardisedCpu) / Median(plainCpu));
  std::printf("ratio: %.2f\n", b / a);
  return 0;
}
