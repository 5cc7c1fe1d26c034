// The region table's lines: identifiers quoted where CSV needs it, every
// number the shortest text that reads back, a value that does not exist an
// empty field (NoEstimate among the ratios, NaN among the posterior values),
// and the three columns after p_exceed.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/fit_settings.h"  // NoEstimate
#include "output_capture.h"
#include "sample_data.h"
#include "report/region_table.h"

using namespace tarnek;

TEST(RegionTableTest, HeaderLinesAndEmptyFields) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  RecordTable table;
  table.Unit = {0, 1};
  table.UnitText = testdata::ColumnOf({"North, East", "W"});
  table.CodeText = testdata::ColumnOf({"01001", "say \"x\""});
  table.Data1 = {3, 0};
  table.Data2 = {2.5, 0.1};
  const RecordRatios ratios{{1.2, 0.0}, {1.1, 0.25}, {NoEstimate, 0.5}};
  PosteriorTable p;
  p.Sd = {none, 0.0};
  p.Median = {none, 0.5};
  p.Lower = {none, 0.5};
  p.Upper = {none, 0.5};
  p.PExceed = {none, 0.0};
  p.PriorMean = {none, 0.5};
  p.PriorSd = {none, 0.0};
  p.Eb = {none, 0.5};
  WorkerPool pool(2);
  EXPECT_EQ(testdata::Written([&](OutputFile& file) { WriteRegionTable(file, table, {}, ratios, p, {}, pool); }),
            std::string(kRegionHeader) +
                "\"North, East\",01001,3,2.5,1.2,1.1,,,,,,,,,\r\n"
                "W,\"say \"\"x\"\"\",0,0.1,0,0.25,0.5,0,0.5,0.5,0.5,0,0.5,0,0.5\r\n");
  // The header's bytes: the region tables of the golden cases.
}
