// The time text of the "-T" lines, from fixed clock readings in UTC.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "report/timestamps.h"

using namespace tarnek;

TEST(TimestampsTest, FixedReadingsInUtc) {
  const char* zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  setenv("TZ", "UTC0", 1), tzset();
  // 2026-12-05 is 20792 days after Thursday 1970-01-01, so a Saturday, and
  // 20792 * 86400 + 20:34:23 is 1796502863.
  EXPECT_EQ(FormatTimeText(1796502863), "Sat Dec 05 20:34:23 2026\n");
  EXPECT_EQ(FormatTimeText(1796502863 - 13 * 3600 - 26 * 60 - 14), "Sat Dec 05 07:08:09 2026\n");  // the hour zero-padded
  EXPECT_EQ(FormatTimeText(std::time_t(-1)), "unknown\n");  // the clock could not be read
  zone ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ"), tzset();
}
