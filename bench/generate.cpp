// tarnek-gen: writes the benchmark data files, "Unit Code Data1 Data2" one
// record per line, from a seed; with --csv the same records as CSV with the
// header "unit,code,observed,expected", and with --covariates N (CSV only) N
// more columns x1 .. xN on which the ratios depend. The same workload and
// seed give the same bytes on every machine. One workload, grid-gal, is the
// neighbour file (GAL) of the million records instead.
//
// Reproducibility. std::mt19937_64 is fixed bit for bit by the C++ standard,
// but the std::*_distribution classes and the libm functions are not (their
// algorithms and last-bit rounding differ between libraries). So every sampler
// here is written out, and the only floating-point operations used are
// + - * / and sqrt, which IEEE 754 rounds exactly, plus frexp/ldexp, which are
// exact; log and exp are evaluated by short series below. Numbers are printed
// with std::to_chars, which is exact and ignores the locale.
//
// The model is the one tarnek estimates: record i has an expected count E(i)
// (Data2) and an observed count (Data1) that is Poisson with mean theta(i) * E(i),
// where theta(i) is drawn from a Gamma distribution. Every record draws its own
// theta: a group whose records share one theta has no spread of ratios beyond
// the Poisson noise, and its maximum-likelihood fit runs off to infinity.
#include <charconv>  // std::to_chars
#include <cmath>     // std::frexp, std::ldexp, std::sqrt, std::nearbyint
#include <cstdint>
#include <cstdio>    // std::fopen, std::fwrite, std::fprintf
#include <cstdlib>   // std::strtoull
#include <random>    // std::mt19937_64 (the engine only)
#include <string>
#include <string_view>
#include <utility>   // std::swap
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Elementary functions from + - * / only, accurate to a few ulp, identical on
// every IEEE machine (the build turns off contraction into fused multiply-add).

constexpr double kLn2Hi = 6.93147180369123816490e-01;  // ln 2, upper bits (exact * k)
constexpr double kLn2Lo = 1.90821492927058770002e-10;  // ln 2 - kLn2Hi
constexpr double kLn2 = 6.93147180559945309417e-01;
constexpr double kSqrtHalf = 7.07106781186547524401e-01;

// Natural logarithm of x > 0: x = m * 2^e with m in [sqrt(1/2), sqrt(2)),
// log m = 2 atanh(s), s = (m-1)/(m+1), |s| < 0.172, series to s^23.
double Log(double x) {
  int e = 0;
  double m = std::frexp(x, &e);  // m in [0.5, 1)
  if (m < kSqrtHalf) {
    m *= 2.0;
    e -= 1;
  }
  const double s = (m - 1.0) / (m + 1.0);
  const double s2 = s * s;
  double sum = 0.0;
  for (int k = 23; k >= 3; k -= 2) sum = (sum + 1.0 / k) * s2;
  return e * kLn2 + 2.0 * s * (1.0 + sum);
}

// e^x for x in [-700, 700]: x = k ln 2 + r with |r| <= ln2/2, Taylor to r^14.
double Exp(double x) {
  const double k = std::nearbyint(x / kLn2);
  const double r = (x - k * kLn2Hi) - k * kLn2Lo;
  double sum = 1.0;
  for (int j = 14; j >= 1; --j) sum = 1.0 + sum * r / j;
  return std::ldexp(sum, static_cast<int>(k));
}

// ---------------------------------------------------------------------------
// Samplers on one engine. Every draw consumes engine outputs in a fixed order.

class Sampler {
 public:
  explicit Sampler(uint64_t seed) : engine_(seed) {}

  // Uniform in the open interval (0, 1), 53 random bits.
  double Uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) * 0x1.0p-53; }

  double Uniform(double low, double high) { return low + (high - low) * Uniform(); }

  // Uniform integer in [0, bound), bound >= 1, without modulo bias (rejection).
  uint64_t Below(uint64_t bound) {
    const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    for (;;) {
      const uint64_t x = engine_();
      if (x < limit) return x % bound;
    }
  }

  // Standard normal, Marsaglia's polar method (one value per accepted pair).
  double Normal() {
    for (;;) {
      const double u = 2.0 * Uniform() - 1.0;
      const double v = 2.0 * Uniform() - 1.0;
      const double s = u * u + v * v;
      if (s >= 1.0 || s == 0.0) continue;
      return u * std::sqrt(-2.0 * Log(s) / s);
    }
  }

  // Gamma with the given shape (>= 1) and mean 1, Marsaglia and Tsang (2000).
  double GammaMeanOne(double shape) {
    const double d = shape - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
      const double x = Normal();
      double v = 1.0 + c * x;
      if (v <= 0.0) continue;
      v = v * v * v;
      const double u = Uniform();
      const double x2 = x * x;
      if (u < 1.0 - 0.0331 * x2 * x2 || Log(u) < 0.5 * x2 + d * (1.0 - v + Log(v))) {
        return d * v / shape;
      }
    }
  }

  // Poisson with the given mean: sequential inversion up to mean 100, above
  // that the normal approximation, rounded and kept at 0 or more.
  int64_t Poisson(double mean) {
    if (mean <= 0.0) return 0;
    if (mean > 100.0) {
      const double x = std::nearbyint(mean + std::sqrt(mean) * Normal());
      return x < 0.0 ? 0 : static_cast<int64_t>(x);
    }
    const double u = Uniform();
    double p = Exp(-mean);
    double cumulative = p;
    int64_t k = 0;
    // The cap ends the search when rounding keeps the sum just below u.
    const int64_t cap = static_cast<int64_t>(mean + 40.0 * std::sqrt(mean)) + 40;
    while (u > cumulative && k < cap) {
      ++k;
      p = p * mean / static_cast<double>(k);
      cumulative += p;
    }
    return k;
  }

  template <typename T>
  void Shuffle(std::vector<T>& items) {  // Fisher-Yates
    for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[Below(i)]);
  }

 private:
  std::mt19937_64 engine_;
};

// ---------------------------------------------------------------------------
// Output: records are formatted into one buffer and written in large blocks.

class RecordWriter {
 public:
  RecordWriter(std::FILE* file, bool csv, int covariates) : file_(file), separator_(csv ? ',' : ' ') {
    buffer_.reserve(kFlushAt + 128);
    if (csv) buffer_ += "unit,code,observed,expected";
    for (int j = 1; j <= covariates; ++j) buffer_ += ",x" + std::to_string(j);
    if (csv) buffer_ += '\n';
  }

  // Every record's unit is written as -1: one group of all records.
  void AsOneGroup() { oneGroup_ = true; }

  // A record; `covariates` (3 decimals each) as many as the header names.
  void Record(int64_t unit, int64_t code, int64_t data1, double data2, const std::vector<double>& covariates = {}) {
    Put(oneGroup_ ? -1 : unit);
    buffer_ += separator_;
    Put(code);
    buffer_ += separator_;
    Put(data1);
    buffer_ += separator_;
    char text[400];  // room for any double in fixed notation
    const auto fixed = std::chars_format::fixed;
    buffer_.append(text, std::to_chars(text, text + sizeof text, data2, fixed, 4).ptr);
    for (const double x : covariates) {
      buffer_ += separator_;
      buffer_.append(text, std::to_chars(text, text + sizeof text, x, fixed, 3).ptr);
    }
    buffer_ += '\n';
    if (buffer_.size() >= kFlushAt) Flush();
  }

  // False when a write failed.
  bool Flush() {
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) ok_ = false;
    buffer_.clear();
    return ok_;
  }

 private:
  bool oneGroup_ = false;
  void Put(int64_t value) {
    char text[24];
    buffer_.append(text, std::to_chars(text, text + sizeof text, value).ptr);
  }

  static constexpr size_t kFlushAt = 1 << 20;
  std::FILE* file_;
  char separator_;
  std::string buffer_;
  bool ok_ = true;
};

// Rounds E to the printed 4 decimals and keeps it above 0, so that the value
// tarnek reads is the one the counts were drawn from.
double PrintedExpected(double e) {
  const double rounded = std::nearbyint(e * 10000.0) / 10000.0;
  return rounded < 0.0001 ? 0.0001 : rounded;
}

// ---------------------------------------------------------------------------
// Workloads.

// One group (every Unit -1) of `records` records with expected counts around
// 30 and thetas drawn around 1 (Gamma with shape 10 and mean 1).
void OneGroupAround30(Sampler& rng, RecordWriter& out, int64_t records) {
  for (int64_t code = 1; code <= records; ++code) {
    const double e = PrintedExpected(rng.Uniform(20.0, 40.0));
    out.Record(-1, code, rng.Poisson(rng.GammaMeanOne(10.0) * e), e);
  }
}

// `units` units (Unit 0 .. units-1) of about records/units records each, the
// units' records mixed in shuffled order. Expected counts log-uniform in
// [1, 100]. Every unit has its own level, Gamma with shape 4 and mean 1, and
// the thetas of its records are Gamma with shape 4 around that level: each
// unit follows the Poisson-Gamma model with Beta 4 and Alpha 4 / level.
// With `covariates` > 0 every record also draws that many covariates,
// uniform in [-1, 1] with 3 decimals, and its theta's mean is the level times
// exp(0.5 x1 - 0.3 x2 + 0.5 x3 - 0.3 x4 ...): each unit then follows the
// regression model with shape 4.
void ManyUnits(Sampler& rng, RecordWriter& out, size_t records, size_t units, int covariates) {
  // Group sizes: start even, then move single records between random units,
  // keeping every unit between 2 and twice the mean size.
  const size_t mean = records / units;
  std::vector<size_t> size(units, mean);
  for (size_t u = 0; u < records - mean * units; ++u) size[u] += 1;
  for (size_t move = 0; move < records / 2; ++move) {
    const size_t from = rng.Below(units);
    const size_t to = rng.Below(units);
    if (from != to && size[from] > 2 && size[to] < 2 * mean) {
      --size[from];
      ++size[to];
    }
  }
  std::vector<double> level(units);
  for (double& l : level) l = rng.GammaMeanOne(4.0);

  std::vector<int32_t> order;
  order.reserve(records);
  for (size_t u = 0; u < units; ++u) order.insert(order.end(), size[u], static_cast<int32_t>(u));
  rng.Shuffle(order);

  const double logHigh = Log(100.0);
  int64_t code = 0;
  std::vector<double> x(static_cast<size_t>(covariates));
  for (const int32_t unit : order) {
    const double e = PrintedExpected(Exp(rng.Uniform(0.0, logHigh)));
    double theta = level[static_cast<size_t>(unit)] * rng.GammaMeanOne(4.0);
    double predictor = 0.0;
    for (size_t j = 0; j < x.size(); ++j) {
      x[j] = std::nearbyint(rng.Uniform(-1000.0, 1000.0)) / 1000.0;
      predictor += (j % 2 == 0 ? 0.5 : -0.3) * x[j];
    }
    if (covariates > 0) theta *= Exp(predictor);
    out.Record(unit, ++code, rng.Poisson(theta * e), e, x);
  }
}

// One group of `records` records with large expected counts (uniform in
// 50,000 .. 500,000) and thetas drawn close to 1 (Gamma, shape 400): the
// observed counts sum to about 1.1e9.
void LargeCounts(Sampler& rng, RecordWriter& out, int64_t records) {
  for (int64_t code = 1; code <= records; ++code) {
    const double e = PrintedExpected(rng.Uniform(50000.0, 500000.0));
    const double theta = rng.GammaMeanOne(400.0);
    out.Record(-1, code, rng.Poisson(theta * e), e);
  }
}

// Eight units of the six counts near 10^9 of bench/run's count6 (each a fit
// of about a tenth of a second), next to each other, then 10,000 units of
// ten small records (about a microsecond each): the dear fits must not all
// fall to one thread. Nothing in it is drawn: the seed plays no part.
void HeavyUnits(RecordWriter& out) {
  constexpr struct { int64_t count; double expected; } kHeavy[] = {
      {1000000000, 900000000}, {999999937, 1000000000}, {1000000007, 1100000000},
      {987654321, 950000000},  {1012345678, 1000000000}, {999000000, 1020000000}};
  int64_t code = 0;
  for (int64_t unit = 0; unit < 8; ++unit) {
    for (const auto& r : kHeavy) out.Record(unit, ++code, r.count, r.expected);
  }
  for (int64_t i = 0; i < 100000; ++i) out.Record(100 + i / 10, ++code, i % 5, 3.5);
}

// Long form, as registries extract cases and populations: `regions` regions
// in `units` units (region r in unit r mod units), one row per region, age
// group (`ages` of them) and sex, all rows shuffled, under the header
// "unit,code,age,sex,observed,pop". One row in 50 has population 0 (and no
// cases); the other populations are whole numbers from 20 to 2,000; the
// rate of age group a is 0.0004 x 1.3^a per person, the same for both
// sexes, and each region's counts are Poisson with mean theta x population x
// rate, theta drawn once per region (Gamma, shape 4, mean 1): expected counts
// around 30 per region.
void LongForm(Sampler& rng, std::FILE* file, bool& ok, size_t regions, size_t units, int ages) {
  struct Row {
    uint32_t region;
    uint16_t age;
    uint8_t sex;
  };
  std::vector<Row> rows;
  rows.reserve(regions * static_cast<size_t>(ages) * 2);
  for (uint32_t r = 0; r < regions; ++r) {
    for (uint16_t a = 0; a < ages; ++a) {
      for (uint8_t sex = 0; sex < 2; ++sex) {
        rows.push_back({r, a, sex});
      }
    }
  }
  rng.Shuffle(rows);
  std::vector<double> theta(regions);
  for (double& t : theta) t = rng.GammaMeanOne(4.0);
  std::vector<double> rate(static_cast<size_t>(ages));
  for (size_t a = 0; a < rate.size(); ++a) rate[a] = a == 0 ? 0.0004 : rate[a - 1] * 1.3;

  std::string buffer = "unit,code,age,sex,observed,pop\n";
  char text[24];
  const auto put = [&](uint64_t value, char after) {
    buffer.append(text, std::to_chars(text, text + sizeof text, value).ptr);
    buffer += after;
  };
  for (const Row& row : rows) {
    const uint64_t population = rng.Below(50) == 0 ? 0 : 20 + rng.Below(1981);
    put(row.region % units, ',');
    put(100000 + row.region, ',');
    put(row.age, ',');
    buffer += row.sex == 0 ? "f," : "m,";
    put(static_cast<uint64_t>(rng.Poisson(theta[row.region] * static_cast<double>(population) * rate[row.age])), ',');
    put(population, '\n');
    if (buffer.size() >= (1u << 20)) {
      ok = std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size() && ok;
      buffer.clear();
    }
  }
  ok = std::fwrite(buffer.data(), 1, buffer.size(), file) == buffer.size() && ok;
}

// The neighbour file of the million records: codes 1 .. 1,000,000 are the
// cells of a 1000 x 1000 grid, row by row, each with its queen neighbours
// (the up to 8 cells around it: 8 inside, 5 on an edge, 3 in a corner), as
// a GAL file. Nothing in it is drawn: the seed plays no part.
void GridGal(std::FILE* file, bool& ok) {
  constexpr int64_t kSide = 1000;
  std::string buffer = "0 1000000 grid code\n";
  auto put = [&buffer](int64_t value) {
    char text[24];
    buffer.append(text, std::to_chars(text, text + sizeof text, value).ptr);
  };
  for (int64_t row = 0; row < kSide; ++row) {
    for (int64_t column = 0; column < kSide; ++column) {
      int64_t neighbours[8];
      int count = 0;
      for (int64_t dr = -1; dr <= 1; ++dr) {
        for (int64_t dc = -1; dc <= 1; ++dc) {
          const int64_t r = row + dr, c = column + dc;
          if ((dr != 0 || dc != 0) && r >= 0 && r < kSide && c >= 0 && c < kSide) neighbours[count++] = r * kSide + c + 1;
        }
      }
      put(row * kSide + column + 1);
      buffer += ' ';
      put(count);
      buffer += '\n';
      for (int k = 0; k < count; ++k) {
        if (k > 0) buffer += ' ';
        put(neighbours[k]);
      }
      buffer += '\n';
      if (buffer.size() >= (1 << 20)) {
        if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) ok = false;
        buffer.clear();
      }
    }
  }
  if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) ok = false;
}

// A CSV file of few rows and many columns: code, observed and expected,
// then `columns` more (c1, c2, ...), each row's fields the row's number. For
// the reading of a wide header, every column of which --keep=all keeps.
// Nothing in it is drawn: the seed plays no part.
void WideTable(std::FILE* file, bool& ok, int64_t columns, int64_t rows) {
  std::string buffer = "code,observed,expected";
  for (int64_t c = 1; c <= columns; ++c) buffer += ",c" + std::to_string(c);
  buffer += '\n';
  for (int64_t r = 1; r <= rows; ++r) {
    const std::string field = std::to_string(r);
    buffer += field + ',' + field + ",1.5";
    for (int64_t c = 1; c <= columns; ++c) buffer += ',' + field;
    buffer += '\n';
  }
  if (std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) ok = false;
}

struct Workload {
  const char* name;
  const char* description;
  uint64_t salt;  // mixed into the seed so that workloads do not share draws
  bool neighbours = false;  // a neighbour file, not records
};

constexpr Workload kWorkloads[] = {
    {"max4000", "4,000 records, one group, counts around 30", 0x6d61783430303031ull},
    {"units", "200,000 records in 20,000 units, shuffled", 0x756e697473303031ull},
    {"million", "1,000,000 records in 100,000 units, shuffled", 0x6d696c6c696f6e31ull},
    {"counts", "4,000 records, one group, counts summing to about 1e9", 0x636f756e74733031ull},
    {"million-one", "the million records as one group (unit -1)", 0x6d696c6c696f6e31ull},
    {"grid-gal", "GAL neighbours of codes 1..1,000,000 on a 1000 x 1000 grid", 0, true},
    {"long", "CSV in long form: 50,000 regions in 1,000 units x 10 ages x 2 sexes, 1,000,000 rows",
     0x6c6f6e6766726d31ull},
    {"wide", "CSV of 10 rows and 100,003 columns (code, observed, expected, c1 .. c100000)", 0},
    {"heavy", "8 units of counts near 1e9 side by side, then 10,000 units of small counts", 0},
};

void Generate(std::string_view name, Sampler& rng, RecordWriter& out, int covariates) {
  if (name == "max4000") OneGroupAround30(rng, out, 4000);
  if (name == "units") ManyUnits(rng, out, 200000, 20000, covariates);
  if (name == "million") ManyUnits(rng, out, 1000000, 100000, covariates);
  if (name == "million-one") {
    out.AsOneGroup();
    ManyUnits(rng, out, 1000000, 100000, covariates);
  }
  if (name == "counts") LargeCounts(rng, out, 4000);
  if (name == "heavy") HeavyUnits(out);
}

void PrintUsage(std::FILE* to) {
  std::fprintf(to, "usage: tarnek-gen WORKLOAD [--seed N] [--out FILE] [--csv [--covariates N]]\n\n"
                   "Writes a tarnek data file (\"Unit Code Data1 Data2\" per line) to FILE or\n"
                   "standard output; with --csv the same records as CSV under the header\n"
                   "unit,code,observed,expected (the long form is always CSV, see below), and\n"
                   "with --covariates N (units and million only) N columns x1 .. xN more, on\n"
                   "which the counts depend. The same WORKLOAD and seed (default 1) give the\n"
                   "same bytes on every machine. grid-gal writes a neighbour file (GAL) for the\n"
                   "million records instead (--csv and --seed do nothing); long and wide\n"
                   "are always CSV.\n\n"
                   "workloads:\n");
  for (const Workload& w : kWorkloads) std::fprintf(to, "  %-8s %s\n", w.name, w.description);
}

}  // namespace

int main(int argc, char** argv) {
  const Workload* workload = nullptr;
  uint64_t seed = 1;
  const char* outName = nullptr;
  bool csv = false;
  int covariates = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    }
    if (arg == "--csv") {
      csv = true;
      continue;
    }
    if ((arg == "--seed" || arg == "--out" || arg == "--covariates") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--out") {
        outName = value;
        continue;
      }
      if (arg == "--covariates") {
        const std::string_view count = value;
        if (count.size() != 1 || count[0] < '1' || count[0] > '9') {
          std::fprintf(stderr, "tarnek-gen: --covariates takes 1 to 9, not '%s'\n", value);
          return 2;
        }
        covariates = count[0] - '0';
        continue;
      }
      char* end = nullptr;
      seed = std::strtoull(value, &end, 10);
      if (*value == '\0' || *value == '-' || *end != '\0') {
        std::fprintf(stderr, "tarnek-gen: bad seed '%s'\n", value);
        return 2;
      }
      continue;
    }
    const Workload* match = nullptr;
    for (const Workload& w : kWorkloads) {
      if (arg == w.name) match = &w;
    }
    if (match == nullptr || workload != nullptr) {
      std::fprintf(stderr, "tarnek-gen: unexpected argument '%s'\n\n", argv[i]);
      PrintUsage(stderr);
      return 2;
    }
    workload = match;
  }
  if (workload == nullptr) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string_view name = workload->name;
  if (covariates > 0 && (!csv || (name != "units" && name != "million"))) {
    std::fprintf(stderr, "tarnek-gen: --covariates needs --csv and the workload units or million\n");
    return 2;
  }

  std::FILE* file = outName != nullptr ? std::fopen(outName, "wb") : stdout;
  if (file == nullptr) {
    std::fprintf(stderr, "tarnek-gen: cannot create '%s'\n", outName);
    return 1;
  }
  bool ok = true;
  if (workload->neighbours) {
    GridGal(file, ok);
  } else if (name == "wide") {
    WideTable(file, ok, 100000, 10);
  } else if (name == "long") {
    Sampler rng(seed ^ workload->salt);
    LongForm(rng, file, ok, 50000, 1000, 10);
  } else {
    Sampler rng(seed ^ workload->salt);
    RecordWriter out(file, csv, covariates);
    Generate(workload->name, rng, out, covariates);
    ok = out.Flush();
  }
  if (std::fflush(file) != 0) ok = false;
  if (outName != nullptr && std::fclose(file) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "tarnek-gen: cannot write '%s'\n",
                 outName != nullptr ? outName : "standard output");
    return 1;
  }
  return 0;
}
