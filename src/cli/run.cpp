// The run sequence: banner, options, file names, data, estimation, the
// outputs, and the commit of all of them. Every early end returns its exit
// code with nothing created; the output files take their names only when
// every one of them is complete.
#include "cli/run.h"

#include <new>  // std::bad_alloc
#include <optional>
#include <string_view>
#include <utility>  // std::pair

#include "cli/options.h"
#include "core/banner.h"
#include "core/parallel.h"
#include "core/record_table.h"
#include "grouping/grouping.h"
#include "input/csv_reader.h"
#include "input/data_reader.h"
#include "report/funnel_plot.h"
#include "report/log_name.h"
#include "report/group_table.h"
#include "report/log_report.h"
#include "report/number_format.h"
#include "report/output_file.h"
#include "report/region_table.h"
#include "report/result_table.h"
#include "report/timestamps.h"

namespace tarnek {

namespace {

// ---------------------------------------------------------------------------
// Failures

enum class Failure {
  CannotOpenData,
  CannotReadData,
  OutOfRange,  // a record holds a value out of range
  NotARecord,  // text that does not read as a record
  CsvOutOfRange,   // a CSV field's value is out of range
  CsvNotAValue,    // a CSV field that does not read, a row with too few or too many fields
  MissingColumn,   // the CSV header lacks a named column
  RepeatedColumn,  // the CSV header holds a named column twice
  BadOptionValue,  // a long option's value is not accepted
  UnneededOption,  // a long option given without the one it needs
  SameFile,        // two of the run's files are one file
  CannotCreate,
  CannotWrite,
  OutOfMemory,
};

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
    {Failure::UnneededOption, "\n ERROR! Option {} needs {} \n\n", kExitFailure},
    {Failure::SameFile, "\n ERROR! {} and {} are the same file \n\n", kExitFailure},
    {Failure::CannotCreate, "\n ERROR! Can't create {} file \n\n", kExitFailure},
    {Failure::CannotWrite, "\n ERROR! Can't write {} file \n\n", kExitFailure},
    {Failure::OutOfMemory, "\n ERROR! Not enough memory \n\n", kExitFailure},
};

// A failure of the run and the names its message shows.
struct RunFailure {
  Failure Kind;
  std::vector<std::string> Names;
};

void Print(std::FILE* console, std::string_view text) { std::fwrite(text.data(), 1, text.size(), console); }

// Prints the failure's message and returns its exit code.
int Report(std::FILE* console, const RunFailure& failure) {
  int exitCode = kExitFailure;
  for (const FailureReport& report : kFailureReports) {
    if (report.Kind != failure.Kind) continue;
    std::string_view rest = report.Message;
    for (const std::string& name : failure.Names) {
      const size_t slot = rest.find("{}");
      Print(console, rest.substr(0, slot));
      Print(console, name);
      rest.remove_prefix(slot + 2);
    }
    Print(console, rest);
    exitCode = report.ExitCode;
  }
  std::fflush(console);
  return exitCode;
}

// ---------------------------------------------------------------------------
// Console lines

void PrintBanner(std::FILE* console) {
  Print(console, kBannerTitle);
  Print(console, "\n");
  Print(console, kBannerNotice);
  Print(console, "\n\n");
}

// "<label><text>", flushed at once so that a long run shows it.
void PrintLine(std::FILE* console, std::string_view label, std::string_view text) {
  Print(console, label);
  Print(console, text);
  std::fflush(console);
}

void PrintFileNames(std::FILE* console, const RunSettings& settings, const std::string& logFileName) {
  PrintLine(console, " DataFileName: ", settings.DataFileName + "\n");
  PrintLine(console, " OutFileName : ", settings.OutFileName + "\n");
  PrintLine(console, " LogFileName : ", logFileName + "\n");
}

// The usage text and "Option Error!" end the run with exit code 0; a value
// that a long option does not accept is a failure.
int ReportParse(std::FILE* console, const ParseResult& parse) {
  if (parse.Status == ParseStatus::BadValue) {
    return Report(console, RunFailure{Failure::BadOptionValue, {parse.Option, parse.Accepts, parse.Value}});
  }
  if (parse.Status == ParseStatus::Unneeded) {
    return Report(console, RunFailure{Failure::UnneededOption, {parse.Option, parse.Accepts}});
  }
  PrintLine(console, parse.Status == ParseStatus::Usage ? kUsageText : "Option Error!\n", "");
  return kExitOk;
}

// ---------------------------------------------------------------------------
// The data

std::optional<RunFailure> ReadPlainData(const std::string& fileName, RecordTable& table) {
  const ReadResult read = ReadDataFile(fileName, table);
  switch (read.Status) {
    case ReadStatus::Ok:
      return std::nullopt;
    case ReadStatus::CannotOpen:
      return RunFailure{Failure::CannotOpenData, {fileName}};
    case ReadStatus::CannotRead:
      return RunFailure{Failure::CannotReadData, {fileName}};
    case ReadStatus::OutOfRange:
      return RunFailure{Failure::OutOfRange, {FormatInteger(read.ErrorCode)}};
    case ReadStatus::NotARecord:
      return RunFailure{Failure::NotARecord, {FormatInteger(read.ErrorCode)}};
  }
  return std::nullopt;
}

// The CSV failures that name a line and a column.
constexpr std::pair<CsvStatus, Failure> kCsvFailures[] = {
    {CsvStatus::OutOfRange, Failure::CsvOutOfRange},
    {CsvStatus::NotAValue, Failure::CsvNotAValue},
    {CsvStatus::MissingColumn, Failure::MissingColumn},
    {CsvStatus::RepeatedColumn, Failure::RepeatedColumn},
};

std::optional<RunFailure> ReadCsvData(const std::string& fileName, const CsvColumns& columns, RecordTable& table) {
  const CsvReadResult read = ReadCsvFile(fileName, columns, table);
  if (read.Status == CsvStatus::CannotOpen) return RunFailure{Failure::CannotOpenData, {fileName}};
  if (read.Status == CsvStatus::CannotRead) return RunFailure{Failure::CannotReadData, {fileName}};
  for (const auto& [status, failure] : kCsvFailures) {
    if (read.Status == status) return RunFailure{failure, {FormatInteger(static_cast<int64_t>(read.Line)), read.Column}};
  }
  return std::nullopt;
}

std::optional<RunFailure> ReadData(const RunSettings& settings, RecordTable& table) {
  if (settings.Csv) return ReadCsvData(settings.DataFileName, settings.Columns, table);
  return ReadPlainData(settings.DataFileName, table);
}

// ---------------------------------------------------------------------------
// The outputs

// What the writers of the outputs read.
struct RunData {
  const RunSettings& Settings;
  const RecordTable& Table;
  const Estimates& Results;
  WorkerPool& Pool;  // for the outputs that format or compute on several threads
};

// One output file of the run: its name and what fills it.
struct RunOutput {
  std::string Name;
  void (*Write)(OutputFile& file, const RunData& data);
};

void WriteLogFile(OutputFile& file, const RunData& data) {
  WriteLog(file, data.Table, data.Results, data.Settings.Fit.Eps, data.Pool);
}

void WriteTableFile(OutputFile& file, const RunData& data) {
  WriteResultTable(file, data.Table, data.Results.Records, data.Pool);
}

void WritePlotFile(OutputFile& file, const RunData& data) {
  WriteOutput(file, DrawFunnelPlot(data.Table, data.Results, data.Settings.DataFileName));
}

// What the CSV tables need beyond the estimates is found here, so only for a
// run that asks for them.
void WriteRegionsFile(OutputFile& file, const RunData& data) {
  WriteRegionTable(file, data.Table, data.Results, RecordGroups(data.Table), data.Settings.Tables.Posterior,
                   data.Pool);
}

void WriteGroupsFile(OutputFile& file, const RunData& data) {
  const PosteriorSettings& posterior = data.Settings.Tables.Posterior;
  WriteGroupTable(file, data.Table, data.Results,
                  DiagnoseAllGroups(data.Table, data.Results, posterior.Prior, data.Pool), data.Pool);
}

// The run's outputs in the order in which they are written and closed: the
// log, which the timed stretch covers, first; then the result table, and the
// CSV tables and the plot that were asked for.
std::vector<RunOutput> ListOutputs(const RunSettings& settings, const std::string& logFileName) {
  std::vector<RunOutput> outputs = {{logFileName, WriteLogFile}, {settings.OutFileName, WriteTableFile}};
  if (!settings.Tables.RegionsFileName.empty()) outputs.push_back({settings.Tables.RegionsFileName, WriteRegionsFile});
  if (!settings.Tables.GroupsFileName.empty()) outputs.push_back({settings.Tables.GroupsFileName, WriteGroupsFile});
  if (!settings.PlotFileName.empty()) outputs.push_back({settings.PlotFileName, WritePlotFile});
  return outputs;
}

// Two of the run's files that are one file: an output would overwrite
// another, or the data. The outputs are compared among themselves first
// (the later one named first), then each with the data file.
std::optional<RunFailure> CheckCollisions(const std::string& dataFileName, const std::vector<RunOutput>& outputs) {
  for (size_t later = 1; later < outputs.size(); ++later) {
    for (size_t earlier = 0; earlier < later; ++earlier) {
      if (SameFile(outputs[later].Name, outputs[earlier].Name)) {
        return RunFailure{Failure::SameFile, {outputs[later].Name, outputs[earlier].Name}};
      }
    }
  }
  for (const RunOutput& output : outputs) {
    if (SameFile(dataFileName, output.Name)) return RunFailure{Failure::SameFile, {dataFileName, output.Name}};
  }
  return std::nullopt;
}

// Creates the output's file (a temporary stand-in) and fills it.
std::optional<RunFailure> Produce(OutputFile& file, const RunOutput& output, const RunData& data) {
  if (CreateOutput(file, output.Name) != OutputStatus::Ok) return RunFailure{Failure::CannotCreate, {output.Name}};
  output.Write(file, data);
  return std::nullopt;
}

// Closes every output in order, then lets all take their names at once.
// A write failure names the file that failed first. With `sync`, the files
// and then their new names reach stable storage.
std::optional<RunFailure> Commit(std::vector<OutputFile>& files, bool sync) {
  std::vector<OutputFile*> all;
  for (OutputFile& file : files) all.push_back(&file);
  const int count = static_cast<int>(all.size());
  if (const OutputFile* failed = FinishOutputs(all.data(), count, sync)) {
    return RunFailure{Failure::CannotWrite, {failed->Name}};
  }
  if (const OutputFile* failed = CommitOutputs(all.data(), count)) return RunFailure{Failure::CannotWrite, {failed->Name}};
  if (const OutputFile* failed = sync ? SyncDirectories(all.data(), count) : nullptr) {
    return RunFailure{Failure::CannotWrite, {failed->Name}};
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------

// The run sequence proper; RunTarnek adds the answer to running out of memory.
int RunSequence(const std::vector<std::string>& arguments, std::FILE* console) {
  PrintBanner(console);
  RunSettings settings;
  if (const ParseResult parse = ParseCommandLine(arguments, settings); parse.Status != ParseStatus::Ok) {
    return ReportParse(console, parse);
  }
  const std::string logFileName = DeriveLogFileName(settings.OutFileName);
  PrintFileNames(console, settings, logFileName);
  const std::vector<RunOutput> outputs = ListOutputs(settings, logFileName);
  if (const auto failure = CheckCollisions(settings.DataFileName, outputs)) return Report(console, *failure);

  RecordTable table;
  if (const auto failure = ReadData(settings, table)) return Report(console, *failure);

  // The timed stretch: every group's estimation and the log.
  if (settings.Timing == 1) PrintLine(console, "\n start: ", FormatTimeText(ReadClock()));
  WorkerPool pool(settings.Threads > 0 ? settings.Threads : AvailableCores());
  const Estimates estimates = EstimateAllGroups(table, settings.Fit, pool);
  const RunData data{settings, table, estimates, pool};
  std::vector<OutputFile> files(outputs.size());
  if (const auto failure = Produce(files[0], outputs[0], data)) return Report(console, *failure);
  if (settings.Timing == 1) PrintLine(console, " end:   ", FormatTimeText(ReadClock()));

  for (size_t i = 1; i < outputs.size(); ++i) {
    if (const auto failure = Produce(files[i], outputs[i], data)) return Report(console, *failure);
  }
  if (const auto failure = Commit(files, settings.Sync)) return Report(console, *failure);
  std::fflush(console);
  return kExitOk;
}

}  // namespace

int RunTarnek(const std::vector<std::string>& arguments, std::FILE* console) {
  try {
    return RunSequence(arguments, console);
  } catch (const std::bad_alloc&) {
    // A data file too large for memory: the output files, still temporary,
    // have been removed on the way out.
    return Report(console, RunFailure{Failure::OutOfMemory, {}});
  }
}

}  // namespace tarnek
