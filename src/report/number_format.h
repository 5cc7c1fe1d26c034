// Number formatting for the log, the result table and the console.
//
// "%d": plain signed decimal. "%lf": fixed point with exactly six digits
// after the point, the binary value rounded exactly, ties to even (0.0078125
// gives 0.007812), no leading blanks or zeros, a minus sign for negative
// values (including those that round to zero, and -0.0). Infinities print
// as "+INF" and "-INF", NaNs as "+NAN" and "-NAN" by their sign bit. The
// output never depends on the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnek {

// Room that WriteFixed may need: the largest double has 309 integer digits.
inline constexpr size_t kMaxFixedLength = 320;
// Room that WriteInteger may need.
inline constexpr size_t kMaxIntegerLength = 20;

// Write the text at `p` and return the end of what they wrote.
char* WriteFixed(char* p, double value);      // "%lf"
char* WriteInteger(char* p, int64_t value);   // "%d"

void AppendFixed(std::string& out, double value);
void AppendInteger(std::string& out, int64_t value);
std::string FormatFixed(double value);
std::string FormatInteger(int64_t value);

// A count with its noun, as the images' notes say it: "1 region", "3 regions".
std::string Plural(size_t n, const char* one, const char* many);

}  // namespace tarnek
