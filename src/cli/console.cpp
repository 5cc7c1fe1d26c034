// Console messages, and the one table that gives every failure its message
// and exit code.
#include "cli/console.h"

#include "core/banner.h"
#include "core/shown_text.h"

namespace tarnek {

namespace {

// How each failure is told: its message, in which each "{}" stands for the
// next of the names the failure carries, and the exit code.
struct FailureReport {
  Failure Kind;
  std::string_view Message;
  int ExitCode;
};

constexpr FailureReport kFailureReports[] = {
    {Failure::CannotOpenData, "\n ERROR! Can't open {} file \n\n", kExitFailure},
    {Failure::CannotReadData, "\n ERROR! Can't read {} file \n\n", kExitFailure},
    {Failure::OutOfRange, "\n Error!! Wrong data found (in code-{})\n", kExitFailure},
    {Failure::NotARecord, "\n Error!! Wrong data found (around code-{})\n", kExitBadData},
    {Failure::CsvOutOfRange, "\n Error!! Wrong data found (line {}, {})\n", kExitFailure},
    {Failure::CsvNotAValue, "\n Error!! Wrong data found (line {}, {})\n", kExitBadData},
    {Failure::MissingColumn, "\n Error!! Wrong header found (line {}, no column {})\n", kExitBadData},
    {Failure::RepeatedColumn, "\n Error!! Wrong header found (line {}, column {} named twice)\n", kExitBadData},
    {Failure::BadOptionValue, "\n ERROR! Option {} takes {}, not \"{}\" \n\n", kExitFailure},
    {Failure::MissingOptionValue, "\n ERROR! Option {} needs a value: {} \n\n", kExitFailure},
    {Failure::UnneededOption, "\n ERROR! Option {} needs {} \n\n", kExitFailure},
    {Failure::ExcludedOption, "\n ERROR! Option {} cannot go with {} \n\n", kExitFailure},
    {Failure::InputCsvOutOfRange, "\n Error!! Wrong data found in {} (line {}, {})\n", kExitFailure},
    {Failure::InputCsvNotAValue, "\n Error!! Wrong data found in {} (line {}, {})\n", kExitBadData},
    {Failure::InputMissingColumn, "\n Error!! Wrong header found in {} (line {}, no column {})\n", kExitBadData},
    {Failure::InputRepeatedColumn, "\n Error!! Wrong header found in {} (line {}, column {} named twice)\n", kExitBadData},
    {Failure::StandardRepeated, "\n Error!! Wrong data found in {} (line {}, stratum as on line {})\n", kExitFailure},
    {Failure::StandardRateRepeated,
     "\n Error!! Wrong data found in {} (line {}, a second rate: without --strata the standard holds one)\n",
     kExitFailure},
    {Failure::StratumRepeated, "\n Error!! Wrong data found (line {}, region and stratum as on line {})\n", kExitFailure},
    {Failure::ColumnDiffers, "\n Error!! Wrong data found (line {}, {} not as on line {})\n", kExitFailure},
    {Failure::ObservedTotalOutOfRange, "\n Error!! Wrong data found (line {}, observed total of code {} out of range)\n",
     kExitFailure},
    {Failure::NoPopulation, "\n Error!! Wrong data found (line {}, cases in a stratum without population)\n", kExitFailure},
    {Failure::MissingStratum, "\n Error!! Wrong data found (line {}, {} missing from {})\n", kExitFailure},
    {Failure::ExpectedOutOfRange, "\n Error!! Wrong data found (line {}, expected count of code {} out of range)\n",
     kExitFailure},
    {Failure::SameFile, "\n ERROR! {} and {} are the same file \n\n", kExitFailure},
    {Failure::BadNeighbours, "\n Error!! Wrong neighbours found ({}, {})\n", kExitBadData},
    {Failure::WrongNeighbours, "\n Error!! Wrong neighbours found ({}, {})\n", kExitFailure},
    {Failure::FeatureOutOfRange, "\n Error!! Wrong data found (feature {}, {})\n", kExitFailure},
    {Failure::FeatureNotAValue, "\n Error!! Wrong data found (feature {}, {})\n", kExitBadData},
    {Failure::MissingField, "\n Error!! Wrong header found (layer {}, no field {})\n", kExitBadData},
    {Failure::RepeatedField, "\n Error!! Wrong header found (layer {}, field {} named twice)\n", kExitBadData},
    {Failure::BadVectorData, "\n Error!! Wrong vector data found ({}, {})\n", kExitBadData},
    {Failure::WrongGeometry, "\n Error!! Wrong geometry found ({}, {})\n", kExitFailure},
    {Failure::CannotCreate, "\n ERROR! Can't create {} file \n\n", kExitFailure},
    {Failure::CannotWrite, "\n ERROR! Can't write {} file \n\n", kExitFailure},
    {Failure::OutOfMemory, "\n ERROR! Not enough memory \n\n", kExitFailure},
    {Failure::NoGdalModule, "\n ERROR! Can't load the GDAL module ({}) \n\n", kExitFailure},
};

}  // namespace

void Print(std::FILE* console, std::string_view text) { std::fwrite(text.data(), 1, text.size(), console); }

void PrintLine(std::FILE* console, std::string_view label, std::string_view text) {
  Print(console, label);
  Print(console, text);
  std::fflush(console);
}

void PrintBanner(std::FILE* console) {
  Print(console, kBannerTitle);
  Print(console, "\n");
  Print(console, kBannerNotice);
  Print(console, "\n\n");
}

int Report(std::FILE* console, const RunFailure& failure) {
  int exitCode = kExitFailure;
  for (const FailureReport& report : kFailureReports) {
    if (report.Kind != failure.Kind) continue;
    std::string_view rest = report.Message;
    for (const std::string& name : failure.Names) {
      const size_t slot = rest.find("{}");
      Print(console, rest.substr(0, slot));
      Print(console, ShownText(name));  // a name from the command line or a file: no control bytes
      rest.remove_prefix(slot + 2);
    }
    Print(console, rest);
    exitCode = report.ExitCode;
  }
  std::fflush(console);
  return exitCode;
}

}  // namespace tarnek
