// The time text of the "-T" lines, for fixed clock readings in fixed zones.
#include "report/timestamps.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace tarnek {
namespace {

class TimestampsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
    UseZone("UTC0");
  }
  void TearDown() override {
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  // The reading of a UTC calendar time, from timegm (independent of the code under test).
  static std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
  }
  std::optional<std::string> savedTz_;
};

TEST_F(TimestampsTest, UtcTable) {
  // 2026-12-05 20:34:23 UTC by hand: 56 years since 1970 with 14 leap days give
  // 20454 days, plus 338 days into 2026: 20792 days (20792 % 7 == 2: Thursday + 2 =
  // Saturday), times 86400, plus 74063 seconds.
  ASSERT_EQ(Utc(2026, 12, 5, 20, 34, 23), static_cast<std::time_t>(1796502863));
  const struct {
    const char* note;
    std::time_t reading;
    const char* text;
  } cases[] = {
      {"the worked example", 1796502863, "Sat Dec 05 20:34:23 2026\n"},
      {"day and hour zero-padded", Utc(2026, 3, 5, 7, 8, 9), "Thu Mar 05 07:08:09 2026\n"},
      {"the epoch", 0, "Thu Jan 01 00:00:00 1970\n"},
      {"leap day", Utc(2000, 2, 29, 23, 59, 59), "Tue Feb 29 23:59:59 2000\n"},
      {"last second of 32-bit time", 2147483647, "Tue Jan 19 03:14:07 2038\n"},
      {"midnight, day 31", Utc(1999, 12, 31, 0, 0, 0), "Fri Dec 31 00:00:00 1999\n"},
      {"unreadable clock", static_cast<std::time_t>(-1), "unknown\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    EXPECT_EQ(FormatTimeText(c.reading), c.text);
    if (c.reading != static_cast<std::time_t>(-1)) {
      EXPECT_EQ(FormatTimeText(c.reading).size(), 25u);
    }
  }
}

TEST_F(TimestampsTest, LocalZoneIsUsed) {
  UseZone("JST-9");  // nine hours east of UTC: the worked example falls on the next day
  EXPECT_EQ(FormatTimeText(1796502863), "Sun Dec 06 05:34:23 2026\n");
  UseZone("EST5");
  EXPECT_EQ(FormatTimeText(1796502863), "Sat Dec 05 15:34:23 2026\n");
}

TEST_F(TimestampsTest, ReadClockIsNow) {
  const std::time_t before = std::time(nullptr);
  const std::time_t reading = ReadClock();
  const std::time_t after = std::time(nullptr);
  EXPECT_LE(before, reading);
  EXPECT_LE(reading, after);
}

}  // namespace
}  // namespace tarnek
