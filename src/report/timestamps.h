// Run timestamps for the "-T" option: the local date and time, on the
// console only, just before the estimation starts and just after it ends.
#pragma once

#include <ctime>
#include <string>

namespace tarnek {

// Returns the current calendar time in whole seconds, or (time_t)-1 when the
// clock cannot be read.
std::time_t ReadClock();

// The local date and time of `reading` as "Www Mmm DD HH:MM:SS YYYY\n"
// (day and hour zero-padded), or "unknown\n" when the clock could not be read
// or the reading cannot be converted to a local date.
std::string FormatTimeText(std::time_t reading);

}  // namespace tarnek
