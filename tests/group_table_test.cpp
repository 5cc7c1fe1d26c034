// The group table's lines: the unit (text quoted where CSV needs it), the
// log's values at full precision, the diagnostics and the chosen prior, the
// status word, and the columns that other capabilities add after them, in
// the header and on every line.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/fit_settings.h"  // NoEstimate
#include "output_capture.h"
#include "sample_data.h"
#include "report/group_table.h"

using namespace tarnek;

TEST(GroupTableTest, LinesStatusWordsAndExtraColumns) {
  const double none = std::numeric_limits<double>::quiet_NaN();
  RecordTable table;
  table.UnitText = testdata::ColumnOf({"a,b", "b", "c"});
  Estimates estimates;
  estimates.Units = {0, 2};  // unit 1 has no fit: a line between them
  GroupResult fitted{3, 2.5, 3.5, 0.5, 1.5, 0.5, 1.5, 2.0, 4.0, 1e-7, 2e-7, 8, true, FitEnd::Converged};
  GroupResult failed{1, 1.5, NoEstimate, NoEstimate, NoEstimate, NoEstimate, NoEstimate, NoEstimate, NoEstimate,
                     9999, 9999, 0, false, FitEnd::NoStart};
  estimates.Groups = {fitted, failed};
  // The diagnostics' log-likelihoods are not shown: the maximum's are.
  const std::vector<GroupDiagnostics> diagnostics = {
      {0.25, 0.5, -0.75, none, none, none, none, FitStatus::Stalled},
      {none, none, none, none, none, none, none, FitStatus::NoStart}};
  const std::vector<LikelihoodMaximum> maxima = {
      {MaximumKind::Safeguarded, 0.5, 1.0, 2.0, -10.5, -12.0, 3.0, 0.0416, true, 7},
      {MaximumKind::Boundary, none, none, 1.5, -1.5, -1.5, 0.0, 1.0, true, 3}};
  const std::vector<GroupPrior> priors = {{"safeguarded", 2.0, 1.0, 0.5, 1.0}, {"boundary", 1.5, 0.0}};
  const std::vector<ExtraGroupColumns> extra = {
      {",first", [](std::string& text, size_t g) { text += g == 0 ? ",x" : ",y"; },
       [](std::string& text, size_t k) { text += k == 0 ? ",u" : ",v"; }},
      {",second,third", [](std::string& text, size_t) { text += ",1,"; }}};
  WorkerPool pool(3);
  const std::string header = std::string(kGroupHeader) + ",first,second,third\r\n";
  EXPECT_EQ(testdata::Written([&](OutputFile& file) {
              WriteGroupTable(file, table, estimates, diagnostics, maxima, priors, std::vector<int32_t>{1}, extra, pool);
            }),
            header + "\"a,b\",3,2.5,3.5,0.5,1.5,0.5,1.5,2,4,0.25,0.5,-0.75,2,1,-10.5,-12,3,0.0416,8,1e-07,2e-07,stalled,"
                     "safeguarded,0.5,1,x,1,\r\n"
                     "b,0,,,,,,,,,,,,,,,,,,,,,,,,,u,,\r\n"
                     "c,1,1.5,,,,,,,,,,,1.5,0,-1.5,-1.5,0,1,0,9999,9999,no_start,boundary,,,y,1,\r\n");
  // One group of all records (its unit -1) and every status word: the
  // group tables of the golden cases.
}
