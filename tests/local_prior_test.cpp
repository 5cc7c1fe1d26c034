// Local priors: hand-derived small neighbourhoods (an island, a pair, a
// chain, zero counts, a truncated variance, values beyond the double range)
// and every North Carolina county against R spdep's EBlocal.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "estimation/local_prior.h"
#include "estimation/posterior.h"
#include "input/data_reader.h"
#include "input/decimal.h"
#include "input/neighbour_file.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::ListsOf;

namespace {

enum Kind { kGamma, kPoint, kNone };
struct Expected {
  Kind kind;
  double m = 0.0;  // the prior's mean (point or Gamma)
  double v = 0.0;  // the Gamma's variance
};

constexpr double kTiny = 1e-310;  // a subnormal E: y / E overflows

void ExpectPriors(const std::vector<RegionPrior>& priors, const std::vector<Expected>& expected) {
  ASSERT_EQ(priors.size(), expected.size());
  for (size_t i = 0; i < priors.size(); ++i) {
    SCOPED_TRACE("region " + std::to_string(i));
    const RegionPrior& p = priors[i];
    const Expected& x = expected[i];
    EXPECT_EQ(std::pair(HasPrior(p), IsPointPrior(p)), std::pair(x.kind != kNone, x.kind == kPoint));
    if (x.kind == kPoint) {
      EXPECT_EQ(p.Mean, x.m);
    }
    if (x.kind != kGamma || !HasPrior(p) || IsPointPrior(p)) continue;
    EXPECT_TRUE(testdata::Near(p.Mean, x.m, 1e-14));
    EXPECT_TRUE(testdata::Near(p.Shape / (p.Rate * p.Rate), x.v, 1e-13));
    EXPECT_TRUE(testdata::Near(p.Shape, x.m * x.m / x.v, 1e-13));
  }
}

TEST(LocalPrior, HandDerivedCases) {
  // Worked by hand from the formulas of local_prior.h (E = 1 unless said).
  const struct {
    const char* note;
    std::vector<int32_t> y;
    std::vector<double> e;
    std::vector<std::vector<uint32_t>> lists;
    std::vector<Expected> local, ownMeans;  // per region, for each kind
  } cases[] = {
      {"an island: the point at its own ratio", {3}, {2}, {{}}, {{kPoint, 1.5}}, {{kPoint, 1.5}}},
      // m = 5 for both; C = 25 + 25; v = 50/2 - 5/1 = 20: shape 25/20, rate 5/20.
      {"a pair", {0, 10}, {1, 1}, {{1}, {0}}, {{kGamma, 5, 20}, {kGamma, 5, 20}}, {{kGamma, 5, 20}, {kGamma, 5, 20}}},
      // m = 2; C = 1 + 1; v = 2/2 - 2/1 < 0.
      {"a pair whose variance is cut to 0", {1, 3}, {1, 1}, {{1}, {0}}, {{kPoint, 2}, {kPoint, 2}},
       {{kPoint, 2}, {kPoint, 2}}},
      // m = 5, 10, 15. About m_i: C = 50, 200, 50, v = 20, 200/3 - 10, 10.
      // About own means: C = 25, 50, 25, v = 7.5, 50/3 - 10, 12.5 - 15 < 0.
      {"a chain of three", {0, 10, 20}, {1, 1, 1}, {{1}, {0, 2}, {1}},
       {{kGamma, 5, 20}, {kGamma, 10, 200.0 / 3 - 10}, {kGamma, 15, 10}},
       {{kGamma, 5, 7.5}, {kGamma, 10, 50.0 / 3 - 10}, {kPoint, 15}}},
      // N(0) = {0, 1}: y 4 + 0, E 2 + 2: m = 1, Ebar = 2; C = 2 (2 - 1)^2 + 2 (0 - 1)^2 = 4; v = 4/4 - 1/2.
      // The list of 1 is empty: an island, although 0 lists it, so m_1 = 0 and
      // about own means C_0 = 2 (2 - 1)^2 + 2 (0 - 0)^2: v = 2/4 - 1/2 = 0.
      {"asymmetric lists", {4, 0}, {2, 2}, {{1}, {}}, {{kGamma, 1, 0.5}, {kPoint, 0}}, {{kPoint, 1}, {kPoint, 0}}},
      {"all counts 0: the point 0", {0, 0, 0}, {1, 2, 3}, {{1, 2}, {0}, {0}},
       {{kPoint, 0}, {kPoint, 0}, {kPoint, 0}}, {{kPoint, 0}, {kPoint, 0}, {kPoint, 0}}},
      // m = 0, 10/3, 5. About m_i: C_1 = 600/9, C_2 = 50. About own means:
      // C_0 = (0 - 10/3)^2 > 0 but m_0 = 0, still the point 0; C_1 = 100/9 + 0 + 25 = C_2.
      {"a neighbourhood of zero counts beside one that is not", {0, 0, 10}, {1, 1, 1}, {{1}, {0, 2}, {1}},
       {{kPoint, 0}, {kGamma, 10.0 / 3, 200.0 / 9 - 10.0 / 3}, {kGamma, 5, 25 - 5}},
       {{kPoint, 0}, {kGamma, 10.0 / 3, 325.0 / 27 - 10.0 / 3}, {kGamma, 5, 325.0 / 18 - 5}}},
      {"a ratio beyond the double range: no prior where it counts", {1, 1, 1}, {kTiny, 1, 1}, {{1}, {0}, {}},
       {{kNone}, {kNone}, {kPoint, 1}}, {{kNone}, {kNone}, {kPoint, 1}}},
  };
  LocalPriorScratch scratch;  // one for every case, as a caller keeps it
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const GroupData group{c.y, c.e};
    const NeighbourLists lists = ListsOf(c.lists);
    std::vector<RegionPrior> priors(c.y.size());
    FillLocalPriors(LocalPriorKind::NeighbourhoodMean, group, lists, priors, scratch);
    ExpectPriors(priors, c.local);
    FillLocalPriors(LocalPriorKind::OwnMeans, group, lists, priors, scratch);
    ExpectPriors(priors, c.ownMeans);
  }
}

// ---------------------------------------------------------------------------
// North Carolina SIDS, 1974-78: y = SID74, E = BIR74 (births: the rates are
// per birth), ncCC89.gal. tests/data/nc_sids/sids74.txt was extracted from
// sids.dbf once with
//   Rscript -e 'd <- foreign::read.dbf("sids.dbf"); write.table(data.frame(-1,
//     d$FIPSNO, d$SID74, d$BIR74), "sids74.txt", row.names = FALSE, col.names = FALSE)'
// and spdep_reference.txt there is the output of
//   tests/check/neighbours_against_spdep.R sids.dbf
// (R 4.2.2, spdep 1.2.7): per county EBlocal's estimate, m.i and a.i for
// geoda = TRUE and FALSE, the calls named in its comment lines.

const std::filesystem::path kNc = std::filesystem::path(TARNEK_SOURCE_DIR) / "tests" / "data" / "nc_sids";

struct SpdepLocal {
  double estGeoda, m, aGeoda, estOwn, aOwn;  // NaN where spdep printed NaN
};

double ReferenceNumber(const std::string& text) {
  const std::optional<double> value = ScanWholeReal(text);
  return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

std::map<std::string, SpdepLocal> ReadSpdepLocal() {
  std::ifstream in(kNc / "spdep_reference.txt");
  std::map<std::string, SpdepLocal> reference;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string tag, code, a, b, c, d, e;
    fields >> tag >> code >> a >> b >> c >> d >> e;
    if (tag == "eblocal") {
      reference[code] = {ReferenceNumber(a), ReferenceNumber(b), ReferenceNumber(c), ReferenceNumber(d),
                         ReferenceNumber(e)};
    }
  }
  return reference;
}

TEST(LocalPrior, NorthCarolinaAgainstSpdep) {
  RecordTable table;
  ASSERT_EQ(ReadDataFile((kNc / "sids74.txt").string(), table).Status, ReadStatus::Ok);
  const TextColumn codes = RecordCodeTexts(table);
  const NeighbourFileResult read = ReadNeighbourFile((kNc / "ncCC89.gal").string(), codes);
  ASSERT_EQ(read.Error.Status, NeighbourFileStatus::Ok);
  const std::map<std::string, SpdepLocal> reference = ReadSpdepLocal();
  ASSERT_EQ(reference.size(), 100u);

  const GroupData group{table.Data1, table.Data2};
  LocalPriorScratch scratch;
  std::vector<RegionPrior> local(100), own(100);
  FillLocalPriors(LocalPriorKind::NeighbourhoodMean, group, read.Lists, local, scratch);
  FillLocalPriors(LocalPriorKind::OwnMeans, group, read.Lists, own, scratch);

  int gammas = 0, nans = 0;
  auto expectEstimate = [&](const RegionPrior& prior, size_t i, double spdep, double a) {
    const double eb = PosteriorMean(table.Data1[i], table.Data2[i], prior);  // the EB estimate
    if (std::isnan(spdep)) {
      // spdep's 0/0 where the neighbourhood has no count (both islands here).
      ++nans;
      EXPECT_TRUE(IsPointPrior(prior));
      EXPECT_EQ(eb, 0.0);
      return;
    }
    EXPECT_NEAR(eb, spdep, 1e-12 * spdep) << codes.At(i);
    EXPECT_EQ(IsPointPrior(prior), a == 0.0) << codes.At(i);
    if (a > 0.0) {
      ++gammas;
      const double v = prior.Shape / (prior.Rate * prior.Rate);
      EXPECT_NEAR(v, a, 1e-12 * a) << codes.At(i);
    }
  };
  for (size_t i = 0; i < 100; ++i) {
    const SpdepLocal& r = reference.at(std::string(codes.At(i)));
    EXPECT_NEAR(local[i].Mean, r.m, 1e-12 * r.m) << codes.At(i);
    expectEstimate(local[i], i, r.estGeoda, r.aGeoda);
    expectEstimate(own[i], i, r.estOwn, r.aOwn);
  }
  EXPECT_EQ(gammas, 35 + 27);  // counties whose variance spdep did not cut to 0
  EXPECT_EQ(nans, 4);
}

}  // namespace
