// The coefficient table's lines: per group the intercept, every covariate by
// its name (quoted where CSV needs it) and the shape; z and p beside the
// coefficients, not the shape; empty fields for values that do not exist.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "output_capture.h"
#include "sample_data.h"
#include "report/coefficient_table.h"

using namespace tarnek;

TEST(CoefficientTableTest, TermsOfEveryGroupAndEmptyFields) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  RecordTable table;
  table.UnitText = testdata::ColumnOf({"North, East", "W", "Z"});
  Estimates estimates;
  estimates.Units = {0, 1, 2};
  estimates.Groups.resize(3);
  CovariateFits fits;
  fits.Names = {"AFF", "x,y"};
  fits.Groups.resize(3);
  // z = -1.5/0.75 = -2 and z = 4: p = erfc(|z|/sqrt 2), to 40 digits by mpmath
  // 0.04550026389635841440 and 6.334248366623984251e-05, to 1e-14 (the C
  // library's erfc); every other field by its bytes.
  fits.Groups[0].Full = {RegressionEnd::Converged, {-1.5, 0.25, 3.0}, {0.75, 0.125, 0.75}, 2.5, 0.5, -10.0, 7};
  fits.Groups[1].Full = {RegressionEnd::Boundary, {0.5, 0.0, -1e-300}, {0.25, 1e300, 0.5}, infinity, none, -3.0, 3};
  fits.Groups[2].Full = {RegressionEnd::NotIdentifiable, {none, none, none}, {none, none, none}, none, none, none, 0};
  WorkerPool pool(2);
  std::string want =
      "unit,term,estimate,se,z,p\r\n"
      "\"North, East\",(intercept),-1.5,0.75,-2,{p2}\r\n"
      "\"North, East\",AFF,0.25,0.125,2,{p2}\r\n"
      "\"North, East\",\"x,y\",3,0.75,4,{p4}\r\n"
      "\"North, East\",shape,2.5,0.5,,\r\n"
      "W,(intercept),0.5,0.25,2,{p2}\r\n"
      "W,AFF,0,1e+300,0,1\r\n"
      "W,\"x,y\",-1e-300,0.5,-2e-300,1\r\n"
      "W,shape,,,,\r\n"
      "Z,(intercept),,,,\r\n"
      "Z,AFF,,,,\r\n"
      "Z,\"x,y\",,,,\r\n"
      "Z,shape,,,,\r\n";
  std::string got =
      testdata::Written([&](OutputFile& file) { WriteCoefficientTable(file, table, estimates, fits, pool); });
  for (const auto& [slot, line, p] : {std::tuple{"{p2}", "(intercept),-1.5,0.75,-2,", 0.04550026389635841440L},
                                      {"{p4}", "\"x,y\",3,0.75,4,", 6.334248366623984251e-05L}}) {
    const size_t at = got.find(line) + std::string(line).size();
    const size_t end = got.find("\r\n", at);
    EXPECT_TRUE(testdata::Near(std::stod(got.substr(at, end - at)), p, 1e-14)) << slot;
    for (size_t put; (put = want.find(slot)) != std::string::npos;) want.replace(put, 4, got.substr(at, end - at));
  }
  EXPECT_EQ(got, want);
  // One group of all records, its unit -1: the North Carolina table that
  // the end-to-end test finds in doc/priors.md.
}
