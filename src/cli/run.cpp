// The run sequence: banner, options, file names, data, estimation with the
// log, result table, and the commit of both files. Every early end returns
// its exit code with nothing created; the output files appear only when both
// are complete.
#include "cli/run.h"

#include <new>  // std::bad_alloc
#include <string_view>

#include "cli/options.h"
#include "estimation/estimator.h"
#include "grouping/grouping.h"
#include "input/data_reader.h"
#include "report/log_name.h"
#include "report/log_report.h"
#include "report/number_format.h"
#include "report/output_file.h"
#include "report/result_table.h"
#include "report/timestamps.h"

namespace tarnek {

namespace {

void Print(std::FILE* console, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), console);
}

// "<before><name><after>", flushed at once so that a long run shows it.
void PrintWithName(std::FILE* console, std::string_view before, const std::string& name,
                   std::string_view after) {
  Print(console, before);
  Print(console, name);
  Print(console, after);
  std::fflush(console);
}

int ReportOutputFailure(std::FILE* console, OutputStatus status, const std::string& name) {
  PrintWithName(console,
                status == OutputStatus::CannotCreate ? "\n ERROR! Can't create " : "\n ERROR! Can't write ",
                name, " file \n\n");
  return kExitFailure;
}

// Two of the run's files that would be the same file: the output would
// overwrite the data, or the log and the table would overwrite each other.
bool ReportCollision(std::FILE* console, const std::string& a, const std::string& b) {
  if (!SameFile(a, b)) return false;
  Print(console, "\n ERROR! ");
  Print(console, a);
  Print(console, " and ");
  Print(console, b);
  Print(console, " are the same file \n\n");
  std::fflush(console);
  return true;
}

// The run sequence proper; RunTarnek adds the answer to running out of memory.
int RunSequence(const std::vector<std::string>& arguments, std::FILE* console) {
  // 1. Banner.
  Print(console, kBannerTitle);
  Print(console, "\n");
  Print(console, kBannerNotice);
  Print(console, "\n\n");

  // 2-4. Usage text or options.
  RunSettings settings;
  switch (ParseCommandLine(arguments, settings)) {
    case ParseStatus::Usage:
      Print(console, kUsageText);
      std::fflush(console);
      return kExitOk;
    case ParseStatus::OptionError:
      Print(console, "Option Error!\n");
      std::fflush(console);
      return kExitOk;
    case ParseStatus::Ok:
      break;
  }

  // 5-6. File names.
  PrintWithName(console, " DataFileName: ", settings.DataFileName, "\n");
  PrintWithName(console, " OutFileName : ", settings.OutFileName, "\n");
  const std::string logFileName = DeriveLogFileName(settings.OutFileName);
  PrintWithName(console, " LogFileName : ", logFileName, "\n");
  if (ReportCollision(console, settings.OutFileName, logFileName) ||
      ReportCollision(console, settings.DataFileName, settings.OutFileName) ||
      ReportCollision(console, settings.DataFileName, logFileName)) {
    return kExitFailure;
  }

  // 7-8. Data file.
  RecordTable table;
  const ReadResult read = ReadDataFile(settings.DataFileName, table);
  switch (read.Status) {
    case ReadStatus::Ok:
      break;
    case ReadStatus::CannotOpen:
      PrintWithName(console, "\n ERROR! Can't open ", settings.DataFileName, " file \n\n");
      return kExitFailure;
    case ReadStatus::CannotRead:
      PrintWithName(console, "\n ERROR! Can't read ", settings.DataFileName, " file \n\n");
      return kExitFailure;
    case ReadStatus::OutOfRange:
      PrintWithName(console, "\n Error!! Wrong data found (in code-", FormatInteger(read.ErrorCode), ")\n");
      return kExitFailure;
    case ReadStatus::NotARecord:
      PrintWithName(console, "\n Error!! Wrong data found (around code-", FormatInteger(read.ErrorCode), ")\n");
      return kExitBadData;
  }

  // 9. Start time.
  if (settings.Timing == 1) PrintWithName(console, "\n start: ", FormatTimeText(ReadClock()), "");

  // 10-11. Log and estimation.
  OutputFile log;
  if (const OutputStatus status = OpenLog(log, logFileName); status != OutputStatus::Ok) {
    return ReportOutputFailure(console, status, logFileName);
  }
  GroupWorkspace workspace;
  EstimateAllGroups(table, settings, workspace, log);

  // 12. End time.
  if (settings.Timing == 1) PrintWithName(console, " end:   ", FormatTimeText(ReadClock()), "");

  // 13. Result table.
  OutputFile out;
  if (const OutputStatus status = WriteResultTable(out, settings.OutFileName, table);
      status != OutputStatus::Ok) {
    return ReportOutputFailure(console, status, settings.OutFileName);
  }

  // 14. Close the log, then the table; only then do both take their names.
  if (const OutputStatus status = CloseLog(log); status != OutputStatus::Ok) {
    return ReportOutputFailure(console, status, logFileName);
  }
  if (const OutputStatus status = CloseResultTable(out); status != OutputStatus::Ok) {
    return ReportOutputFailure(console, status, settings.OutFileName);
  }
  OutputFile* const outputs[] = {&log, &out};
  if (const OutputFile* failed = CommitOutputs(outputs, 2)) {
    return ReportOutputFailure(console, OutputStatus::CannotWrite, failed->Name);
  }
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
    Print(console, "\n ERROR! Not enough memory \n\n");
    std::fflush(console);
    return kExitFailure;
  }
}

}  // namespace tarnek
