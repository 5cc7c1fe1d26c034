// The console: the banner, the lines of a run, and how every failure of a
// run is told, with its exit code.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tarnek {

// Exit codes of the process.
inline constexpr int kExitOk = 0;      // normal end, usage text, or "Option Error!"
inline constexpr int kExitFailure = 1; // a file cannot be opened, created or written, a value is out of range, or memory runs out
inline constexpr int kExitBadData = 2; // the data file holds text that does not read as a record

enum class Failure {
  CannotOpenData,
  CannotReadData,
  OutOfRange,      // a record holds a value out of range
  NotARecord,      // text that does not read as a record
  CsvOutOfRange,   // a CSV field's value is out of range
  CsvNotAValue,    // a CSV field that does not read, a row with too few or too many fields
  MissingColumn,   // the CSV header lacks a named column
  RepeatedColumn,  // the CSV header holds a named column twice
  BadOptionValue,  // a long option's value is not accepted
  MissingOptionValue,  // a long option that takes a value is the last argument, without "="
  UnneededOption,  // a long option given without the one it needs
  ExcludedOption,  // a long option given with one it cannot go with
  InputCsvOutOfRange,   // an input file's CSV field out of range (the file, line and column)
  InputCsvNotAValue,    // an input file's CSV field that does not read
  InputMissingColumn,   // an input file's CSV header lacks a named column
  InputRepeatedColumn,  // an input file's CSV header holds a named column twice
  StandardRepeated,     // the standard holds a stratum twice (the file, the line, the earlier line)
  StandardRateRepeated,  // without strata, the standard holds a second rate row (the file, its line)
  StratumRepeated,      // a row repeats the region and stratum of an earlier row (the line, the earlier line)
  ColumnDiffers,        // a row's value differs from its region's first row (the line, the column, that line)
  ObservedTotalOutOfRange,  // a region's observed total beyond 32 bits (its first line, its code)
  NoPopulation,         // cases in a stratum without population (the line)
  MissingStratum,       // a stratum of the data that the standard lacks (the line, the stratum, the file)
  ExpectedOutOfRange,   // a region's computed expected count is 0 or beyond the double range (its first line, its code)
  SameFile,        // two of the run's files are one file
  BadNeighbours,   // a neighbour file holds text that does not read as one
  WrongNeighbours, // a neighbour file that reads does not fit the data (an unknown id, a missing entry, ...)
  FeatureOutOfRange,  // vector data: a feature's field out of range
  FeatureNotAValue,   // vector data: a feature's field that does not read
  MissingField,       // vector data: the layer lacks a named column
  RepeatedField,      // vector data: the layer holds a named column twice
  BadVectorData,      // a vector data set that does not read as the run needs it (no layer, no such field,
                      // points, an invalid shape, ...)
  WrongGeometry,      // shapes that do not fit the data (a region without a feature, a key twice, ...)
  CannotCreate,
  CannotWrite,
  OutOfMemory,
  NoGdalModule,  // the module that reads vector data cannot be loaded; Names: why
};

// A failure of the run and the names its message shows, in order.
struct RunFailure {
  Failure Kind;
  std::vector<std::string> Names;
};

// Prints the failure's message on `console` and returns its exit code.
int Report(std::FILE* console, const RunFailure& failure);

void Print(std::FILE* console, std::string_view text);

// "<label><text>", flushed at once so that a long run shows it.
void PrintLine(std::FILE* console, std::string_view label, std::string_view text);

// The banner's three lines.
void PrintBanner(std::FILE* console);

}  // namespace tarnek
