// GAL files: the header, two lines per region, CR LF, an island's empty
// line, names with blanks made one word, codes that cannot be ids, and the
// lists read back by the neighbour file reader.
#include <gtest/gtest.h>

#include <string>

#include "input/neighbour_file.h"
#include "report/gal_file.h"
#include "sample_data.h"

using namespace tarnek;

namespace {

// Region 0 touches 1 and 2, region 3 is an island.
NeighbourLists Lists() { return testdata::ListsOf({{1, 2}, {0}, {0}, {}}); }

}  // namespace

TEST(GalFile, GeoDaForm) {
  const TextColumn codes = testdata::ColumnOf({"37001", "37033", "A-7", "99"});
  std::string out = "kept";
  ASSERT_TRUE(FormatGal(Lists(), codes, "sids", "FIPS", out).Ok);
  EXPECT_EQ(out,
            "kept0 4 sids FIPS\r\n"
            "37001 2\r\n37033 A-7\r\n"
            "37033 1\r\n37001\r\n"
            "A-7 1\r\n37001\r\n"
            "99 0\r\n\r\n");
  // The neighbour file reader reads the lists back.
  const NeighbourFileResult read = ParseNeighbours(out.substr(4), codes);
  ASSERT_EQ(read.Error.Status, NeighbourFileStatus::Ok);
  EXPECT_EQ(testdata::RowsOf(read.Lists), testdata::RowsOf(Lists()));
}

TEST(GalFile, NamesAndCodes) {
  std::string out;
  ASSERT_TRUE(FormatGal(NeighbourLists{}, TextColumn{}, "my layer", "", out).Ok);
  EXPECT_EQ(out, "0 0 my_layer -\r\n");
  for (const char* bad : {"", "a b", "a\tb", "a\r", "\nb"}) {
    out.clear();
    const GalResult result = FormatGal(Lists(), testdata::ColumnOf({"1", "2", bad, "4"}), "l", "k", out);
    EXPECT_FALSE(result.Ok) << bad;
    EXPECT_EQ(result.Row, 2u) << bad;
    EXPECT_EQ(out, "") << bad;
  }
}
