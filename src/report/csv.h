// CSV fields as RFC 4180 writes them, for the run's CSV tables: fields
// separated by commas, a field in double quotes only where it holds a comma,
// a double quote, a CR or an LF, or begins or ends with a blank or a tab
// (its double quotes then doubled). Numbers never depend on the locale.
#pragma once

#include <string>
#include <string_view>

namespace tarnek {

// Appends `text` as one field, quoted where it must be.
void AppendCsvText(std::string& out, std::string_view text);

// Appends the shortest decimal that reads back as the same double, the bytes
// std::to_chars writes, or nothing (an empty field) for a NaN or an infinity.
void AppendCsvNumber(std::string& out, double value);

// Like AppendCsvNumber, and nothing also for NoEstimate.
void AppendCsvEstimate(std::string& out, double value);

}  // namespace tarnek
