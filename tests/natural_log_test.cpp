// NaturalLog: ln x correctly rounded to the 64-bit mantissa.
//
// Expected values come from outside the module: libquadmath's logq (accurate
// to about 2^-112, independent of the fast path), rounded to long double,
// wherever logq is not within its own accuracy of a midpoint; and, for the
// arguments closest to a rounding boundary, from Python's decimal module
// (natural_log_cases.py, which rounds a 200-digit ln exactly; its values in
// tests/data/natural_log_cases.txt).
#include <gtest/gtest.h>
#include <quadmath.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "estimation/natural_log.h"

using tarnek::NaturalLog;
namespace nl = tarnek::natural_log_internal;

namespace {

using Quad = __float128;

long double FromBits(uint64_t mantissa, unsigned signExponent) {
  long double x = 0.0L;
  const auto se = static_cast<uint16_t>(signExponent);
  std::memcpy(&x, &mantissa, 8);
  std::memcpy(reinterpret_cast<char*>(&x) + 8, &se, 2);
  return x;
}

bool SameBits(long double a, long double b) { return std::memcmp(&a, &b, 10) == 0; }

// logq(x) rounded to long double; `ambiguous` when logq lies within 2^-40 ulp
// of a midpoint, where its own error could decide the rounding.
long double LogqRounded(long double x, bool& ambiguous) {
  const Quad q = logq(static_cast<Quad>(x));
  const long double y = static_cast<long double>(q);
  const Quad d = q - static_cast<Quad>(y);
  const long double neighbour = std::nextafter(y, d >= 0 ? HUGE_VALL : -HUGE_VALL);
  const Quad ulp = fabsq(static_cast<Quad>(neighbour) - static_cast<Quad>(y));
  ambiguous = q != 0 && fabsq(ulp / 2 - fabsq(d)) < ulp * static_cast<Quad>(0x1p-40);
  return y;
}

// Checks `log` (NaturalLog by default) against logq on every argument;
// returns how many were skipped as ambiguous.
int ExpectLikeLogq(const std::vector<long double>& xs, long double (*log)(long double) = NaturalLog) {
  int skipped = 0;
  for (long double x : xs) {
    bool ambiguous = false;
    const long double want = LogqRounded(x, ambiguous);
    skipped += ambiguous;
    EXPECT_TRUE(ambiguous || SameBits(log(x), want)) << std::hexfloat << "x=" << x << " got " << log(x) << " want " << want;
  }
  return skipped;
}

// tests/data/natural_log_cases.txt: arguments x whose ln lies close to a
// midpoint, and easy ones, with ln x correctly rounded by
// natural_log_cases.py; both as hexadecimal 0x<64-bit mantissa>p<exponent>,
// read exactly.
std::vector<std::pair<long double, long double>> DecimalCases() {
  const auto hex = [](const std::string& t) {
    const size_t p = t.find('p');
    return std::ldexp(static_cast<long double>(std::stoull(t.substr(2, p - 2), nullptr, 16)), std::stoi(t.substr(p + 1)));
  };
  std::vector<std::pair<long double, long double>> cases;
  std::ifstream in(TARNEK_SOURCE_DIR "/tests/data/natural_log_cases.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string x, ln;
    fields >> x >> ln;
    cases.emplace_back(hex(x), hex(ln));
  }
  EXPECT_EQ(cases.size(), 31u);
  return cases;
}

}  // namespace

// One row per special argument; notes say what a wrong result would reveal.
TEST(NaturalLogTest, OutsideTheDomainAndEnds) {
  const long double nan = std::numeric_limits<long double>::quiet_NaN();
  const long double inf = std::numeric_limits<long double>::infinity();
  const struct {
    const char* note;
    long double x;
    int want;  // 0: +0 exactly, 1: NaN, 2: +inf
  } cases[] = {
      {"ln 1 is +0, not -0 or a tiny value", 1.0L, 0},
      {"just below 1", std::nextafter(1.0L, 0.0L), 1},
      {"one half", 0.5L, 1},
      {"+0", 0.0L, 1},
      {"-0: the sign bit must not slip through the exponent test", -0.0L, 1},
      {"-1", -1.0L, 1},
      {"-2: a negative with the exponent of the domain", -2.0L, 1},
      {"-inf", -inf, 1},
      {"NaN", nan, 1},
      {"smallest subnormal", std::numeric_limits<long double>::denorm_min(), 1},
      {"unnormal: exponent of 2, integer bit clear", FromBits(uint64_t{1} << 62, 16384), 1},
      {"pseudo-denormal: exponent 0, integer bit set", FromBits(uint64_t{1} << 63, 0), 1},
      {"pseudo-infinity: exponent all ones, integer bit clear", FromBits(0, 32767), 1},
      {"+inf", inf, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    for (const long double got : {NaturalLog(c.x), nl::AccurateLog(c.x)}) {
      const bool right = c.want == 0 ? SameBits(got, 0.0L) : c.want == 1 ? std::isnan(got) : got == inf;
      EXPECT_TRUE(right) << std::hexfloat << got;
    }
  }
}

// Against logq: every power of two 2^0 .. 2^16383 and its neighbours (the
// exponent, the exactness of e * ln2-high, the ulp below a power-of-two
// result being half the one above, the largest exponents); both sides of
// every boundary between table entries at several exponents (an index off by
// one or a wrong R_j gives |z| beyond the bound there); and 10^5 random
// arguments, half the fit's E/a + 1 (E in 1e-6 .. 1e9, a in 1e-8 .. 1e8,
// log-uniform, as doubles), half any mantissa with any exponent.
TEST(NaturalLogTest, PowersOfTwoTableBoundariesAndRandomArgumentsLikeLogq) {
  std::vector<long double> xs{LDBL_MAX};
  for (unsigned e = 0; e <= 16383; ++e) {
    const long double p = FromBits(uint64_t{1} << 63, 16383 + e);
    xs.insert(xs.end(), {p, std::nextafter(p, HUGE_VALL)});
    if (e > 0) xs.push_back(std::nextafter(p, 0.0L));
  }
  for (unsigned e : {0u, 1u, 2u, 63u, 1000u, 16383u}) {
    for (uint64_t i = 1; i <= 512; ++i) {
      // m = 1 + (2i - 1)/1024: the first mantissa of entry i
      const long double boundary = FromBits((uint64_t{1} << 63) + ((2 * i - 1) << 53), 16383 + e);
      xs.insert(xs.end(), {boundary, std::nextafter(boundary, 0.0L), std::nextafter(boundary, HUGE_VALL)});
    }
  }
  EXPECT_LE(ExpectLikeLogq(xs), 4);
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  xs.clear();
  for (int i = 0; i < 50000; ++i) {
    const double e = std::exp(std::log(1e-6) + unit(rng) * (std::log(1e9) - std::log(1e-6)));
    const double a = std::exp(std::log(1e-8) + unit(rng) * (std::log(1e8) - std::log(1e-8)));
    xs.push_back(static_cast<long double>(e) / a + 1.0L);
    xs.push_back(FromBits(rng() | (uint64_t{1} << 63), 16383 + rng() % 16384));
  }
  EXPECT_LE(ExpectLikeLogq(xs), 5);
}

// The rounding test on made-up pairs hi + lo around the midpoints of 1.5
// (ulp 2^-63) and of 2 (ulp 2^-62 above, 2^-63 below); its allowance is
// d = 2^-81 hi. Rows within d of a midpoint must stay open.
TEST(NaturalLogTest, RoundingTest) {
  const struct {
    const char* note;
    long double hi, lo;
    bool decided;
    long double result;
  } cases[] = {
      {"lo = 0", 1.5L, 0.0L, true, 1.5L},
      {"2^-82 below the midpoint: within d, open", 1.5L, 0x1p-64L - 0x1p-82L, false, 0},
      {"2^-82 above the midpoint: within d, open", 1.5L, 0x1p-64L + 0x1p-82L, false, 0},
      {"2^-78 below the midpoint: beyond d, rounds down", 1.5L, 0x1p-64L - 0x1p-78L, true, 1.5L},
      {"2^-78 above the midpoint: beyond d, rounds up", 1.5L, 0x1p-64L + 0x1p-78L, true, 1.5L + 0x1p-63L},
      {"below 1.5 likewise", 1.5L, -0x1p-64L + 0x1p-82L, false, 0},
      {"2 + lo, near the midpoint below (2^-64 under 2): open", 2.0L, -0x1p-64L + 0x1p-82L, false, 0},
      {"2 + lo, beyond d above the midpoint below: 2", 2.0L, -0x1p-64L + 0x1p-76L, true, 2.0L},
      {"2 + lo, beyond d under the midpoint below: 2 - 2^-63", 2.0L, -0x1p-64L - 0x1p-76L, true, 2.0L - 0x1p-63L},
      {"2 - 2^-63 + 2^-76 is near no midpoint below 2 (the ulp there is 2^-63)", 2.0L, -0x1p-63L + 0x1p-76L, true,
       2.0L - 0x1p-63L},
      {"2 + lo, near the midpoint above (2^-63 over 2): open", 2.0L, 0x1p-63L - 0x1p-82L, false, 0},
      {"2 + 2^-64 is near no midpoint above 2 (the ulp there is 2^-62)", 2.0L, 0x1p-64L, true, 2.0L},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    long double result = 0;
    EXPECT_EQ(nl::RoundingDecided(c.hi, c.lo, result), c.decided);
    EXPECT_TRUE(!c.decided || SameBits(result, c.result)) << std::hexfloat << result;
  }
}

// The rounding test must send the hard cases to the accurate path, which
// must get them right (a test that accepts too much returns the wrong
// neighbour); the accurate path alone, from several starting precisions (128
// bits must double for the hardest ones), against the decimal values and
// against logq on random arguments of the fit's kind.
TEST(NaturalLogTest, HardCasesAndTheAccuratePathAlone) {
  for (const auto& [x, ln] : DecimalCases()) {
    EXPECT_TRUE(SameBits(NaturalLog(x), ln)) << std::hexfloat << "x=" << x;
    for (int bits : {128, 192, 1024}) {
      EXPECT_TRUE(SameBits(nl::AccurateLog(x, bits), ln)) << std::hexfloat << "x=" << x << " bits " << bits;
    }
  }
  std::mt19937_64 rng(12);
  std::vector<long double> xs;
  for (int i = 0; i < 300; ++i) xs.push_back(FromBits(rng() | (uint64_t{1} << 63), 16383 + rng() % 40));
  EXPECT_LE(ExpectLikeLogq(xs, [](long double x) { return nl::AccurateLog(x); }), 1);
}

// Every table entry against logq: Tail_j = -ln(R_j / 2^20) within 2^-104
// (the error bound assumes 2^-100), TailHi its rounding to double, and the
// facts the fast path's exact sums rely on.
TEST(NaturalLogTest, TableEntries) {
  ASSERT_EQ(nl::kTableSize, 513);
  for (int j = 0; j < nl::kTableSize; ++j) {
    SCOPED_TRACE(j);
    const nl::TableEntry& t = nl::kTable[j];
    const Quad tail = -logq(static_cast<Quad>(t.R) / 1048576);
    const Quad stored = static_cast<Quad>(t.TailHi) + static_cast<Quad>(t.TailLo);
    EXPECT_LE(fabsq(stored - tail), fabsq(tail) * static_cast<Quad>(0x1p-104)) << "TailHi + TailLo";
    EXPECT_EQ(t.TailHi, static_cast<double>(tail)) << "TailHi is not -ln r rounded";
    // |z| < 2^-10 over the entry's interval [1 + (2j - 1)/1024, 1 + (2j + 1)/1024):
    // |R (1024 + 2j -+ 1) - 2^30| <= 2^20, in integers (open above).
    const int64_t r = t.R, low = r * (1024 + 2 * j - 1) - (int64_t{1} << 30),
                  high = r * (1024 + 2 * j + 1) - (int64_t{1} << 30);
    EXPECT_TRUE(j == 0 || std::llabs(low) <= int64_t{1} << 20) << low;
    EXPECT_TRUE(j == 512 || std::llabs(high) <= int64_t{1} << 20) << high;
    // Fast2Sum(TailHi, s) needs TailHi >= 2^-10 > |s| for j > 0.
    EXPECT_TRUE(j == 0 || t.TailHi >= 0x1p-10);
  }
  EXPECT_EQ(nl::kTable[0].R, 1u << 20);  // r_0 = 1: exact near x = 1
  EXPECT_EQ(nl::kTable[0].TailHi, 0.0);
  EXPECT_EQ(nl::kTable[0].TailLo, 0.0);
  EXPECT_EQ(nl::kTable[512].R, 1u << 19);  // r_512 = 1/2
}

// The constants: ln 2 split with a 39-bit high part, and 1/3 split.
TEST(NaturalLogTest, Constants) {
  const Quad ln2 = logq(static_cast<Quad>(2));
  EXPECT_LE(fabsq(static_cast<Quad>(nl::kLn2Hi) + static_cast<Quad>(nl::kLn2Lo) - ln2), static_cast<Quad>(0x1p-93));
  const double scaled = nl::kLn2Hi * 0x1p39;
  EXPECT_EQ(scaled, std::floor(scaled)) << "ln2-high has more than 39 bits: e * ln2-high is not exact in double";
  EXPECT_EQ(16383.0 * nl::kLn2Hi, static_cast<double>(16383 * static_cast<Quad>(nl::kLn2Hi)));
  const Quad third = static_cast<Quad>(1) / 3;
  EXPECT_EQ(nl::kC3Hi, static_cast<double>(third));
  EXPECT_LE(fabsq(static_cast<Quad>(nl::kC3Hi) + static_cast<Quad>(nl::kC3Lo) - third), static_cast<Quad>(0x1p-109));
  EXPECT_EQ(nl::kC3HiScaled, std::ldexp(nl::kC3Hi, -216));
}
