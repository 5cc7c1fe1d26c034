// Time text built by hand from localtime_r, so that it never depends on the
// locale.
#include "report/timestamps.h"

#include <cstdio>  // std::snprintf

namespace tarnek {

std::time_t ReadClock() { return std::time(nullptr); }

std::string FormatTimeText(std::time_t reading) {
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local{};
  if (reading == static_cast<std::time_t>(-1) || localtime_r(&reading, &local) == nullptr ||
      local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) {
    return "unknown\n";
  }
  char text[96];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %4lld\n", kWeekdays[local.tm_wday],
                kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec > 59 ? 59 : local.tm_sec, static_cast<long long>(local.tm_year) + 1900);
  return text;
}

}  // namespace tarnek
