// The run sequence: banner, options, file names, the same-file checks, the
// data, estimation, what the outputs need, the outputs, and the commit of all
// of them. Every early end returns its exit code with nothing created; the
// output files take their names only when every one of them is complete.
#include "cli/run.h"

#include <algorithm>  // std::min
#include <new>        // std::bad_alloc
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>  // std::move

#include "cli/console.h"
#include "cli/inputs.h"
#include "cli/options.h"
#include "core/parallel.h"
#include "core/record_table.h"
#include "core/shown_text.h"
#include "files/output_file.h"
#include "estimation/standardisation.h"
#include "grouping/grouping.h"
#include "grouping/prior_methods.h"
#include "input/csv_reader.h"
#include "input/data_reader.h"
#include "input/region_shapes.h"
#include "input/vector_data.h"
#include "report/log_name.h"
#include "report/number_format.h"
#include "report/outputs.h"
#include "report/run_products.h"
#include "report/timestamps.h"

namespace tarnek {

namespace {

// ---------------------------------------------------------------------------
// The command line

void PrintFileNames(std::FILE* console, const RunSettings& settings, const std::string& logFileName) {
  PrintLine(console, " DataFileName: ", ShownText(settings.DataFileName) + "\n");
  PrintLine(console, " OutFileName : ", ShownText(settings.OutFileName) + "\n");
  PrintLine(console, " LogFileName : ", ShownText(logFileName) + "\n");
}

// The usage text and "Option Error!" end the run with exit code 0; a value
// that a long option does not accept is a failure.
int ReportParse(std::FILE* console, const ParseResult& parse) {
  if (parse.Status == ParseStatus::BadValue) {
    return Report(console, RunFailure{Failure::BadOptionValue, {parse.Option, parse.Accepts, parse.Value}});
  }
  if (parse.Status == ParseStatus::MissingValue) {
    return Report(console, RunFailure{Failure::MissingOptionValue, {parse.Option, parse.Accepts}});
  }
  if (parse.Status == ParseStatus::Unneeded) {
    return Report(console, RunFailure{Failure::UnneededOption, {parse.Option, parse.Accepts}});
  }
  if (parse.Status == ParseStatus::Excluded) {
    return Report(console, RunFailure{Failure::ExcludedOption, {parse.Option, parse.Accepts}});
  }
  switch (parse.Status) {
    case ParseStatus::Usage: PrintLine(console, kUsageText, ""); break;
    case ParseStatus::Help: PrintLine(console, kUsageText, LongOptionsText()); break;
    case ParseStatus::Version: PrintLine(console, kVersionText, ""); break;
    default: PrintLine(console, "Option Error!\n", ""); break;
  }
  return kExitOk;
}

// ---------------------------------------------------------------------------
// The run's files

// One output of the run: its row and its file's name.
struct RunOutput {
  const OutputKind* Kind;
  std::string Name;
};

// The run's outputs in the order of kOutputKinds: the log and the result
// table, and those that options asked for.
std::vector<RunOutput> ListOutputs(const RunSettings& settings, const std::string& logFileName) {
  std::vector<RunOutput> outputs;
  for (const OutputKind& kind : kOutputKinds) {
    if (&kind == &LogOutput()) {
      outputs.push_back({&kind, logFileName});
    } else if (&kind == &ResultTableOutput()) {
      outputs.push_back({&kind, settings.OutFileName});
    } else if (const std::string_view file = settings.OutputFile(kind.Option); !file.empty()) {
      outputs.push_back({&kind, std::string(file)});
    }
  }
  return outputs;
}

// The files the run reads, as the command line names them: the data file,
// then those of kInputKinds given (a value that is one of a row's Kinds
// names no file). The other files of a vector data set join the checks once
// it is read.
std::vector<std::string> ListInputs(const RunSettings& settings) {
  std::vector<std::string> inputs = {settings.DataFileName};
  for (const InputKind& kind : kInputKinds) {
    const std::string_view file = settings.InputFile(kind.Option);
    if (!file.empty() && !IsInputKind(kind, file)) inputs.emplace_back(file);
  }
  return inputs;
}

// Whether a part of the run draws on the regions' shapes: an output that
// needs them, or an input made from them (contiguity).
bool UsesShapes(const RunSettings& settings) {
  for (const OutputKind& kind : kOutputKinds) {
    if (kind.NeedsOption == "--geometry" && !settings.OutputFile(kind.Option).empty()) return true;
  }
  for (const InputKind& kind : kInputKinds) {
    if (kind.KindsNeed == "--geometry" && IsInputKind(kind, settings.InputFile(kind.Option))) return true;
  }
  return false;
}

// Reads every input of kInputKinds that was given into `products`: those of
// the rows as read (`ofRows`), or the others.
std::optional<RunFailure> ReadInputs(const RunSettings& settings, RunProducts& products, bool ofRows) {
  for (const InputKind& kind : kInputKinds) {
    if (kind.OfRows != ofRows) continue;
    if (const std::string_view file = settings.InputFile(kind.Option); !file.empty()) {
      if (auto failure = kind.Read(std::string(file), products)) return failure;
    }
  }
  return std::nullopt;
}

// Two of the run's files that are one file: an output would overwrite
// another, or an input. The outputs are compared among themselves first
// (the later one named first), then each input with each output.
std::optional<RunFailure> CheckCollisions(const std::vector<std::string>& inputs, const std::vector<RunOutput>& outputs) {
  // Outputs may share a file that takes them in turn (/dev/null, a pipe
  // through /dev/stdout): each is written through it, and nothing replaced.
  for (size_t later = 1; later < outputs.size(); ++later) {
    for (size_t earlier = 0; earlier < later; ++earlier) {
      if (SameFile(outputs[later].Name, outputs[earlier].Name) && !TakesOutputsInTurn(outputs[later].Name)) {
        return RunFailure{Failure::SameFile, {outputs[later].Name, outputs[earlier].Name}};
      }
    }
  }
  for (const std::string& input : inputs) {
    for (const RunOutput& output : outputs) {
      if (SameFile(input, output.Name)) return RunFailure{Failure::SameFile, {input, output.Name}};
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The data

std::optional<RunFailure> ReadPlainData(const std::string& fileName, bool keepUndefined, RecordTable& table,
                                        WorkerPool& pool) {
  const ReadResult read = ReadDataFile(fileName, table, pool, keepUndefined);
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

std::optional<RunFailure> ReadCsvData(const std::string& fileName, const CsvColumns& columns, RecordTable& table) {
  return CsvFailure(fileName, ReadCsvFile(fileName, columns, table), false);
}

// The CSV columns the run reads: those the options name, what a
// standardisation reads, and the rules for rows without a defined ratio.
CsvColumns ColumnsRead(const RunSettings& settings) {
  CsvColumns columns = settings.Columns;
  columns.KeepUndefined = settings.KeepUndefined;
  columns.KeepLines = columns.KeepLines || settings.KeepUndefined;  // for the console's line
  if (settings.Standardisation.Active()) RequestStandardisationColumns(settings.Standardisation, columns);
  return columns;
}

// The data through GDAL: its attribute table as records, and with `shapes`
// its features' shapes, left in `layer` with the data set's files.
std::optional<RunFailure> ReadVectorDataFile(const RunSettings& settings, bool shapes, RecordTable& table,
                                             VectorLayer& layer) {
  const std::string& file = settings.DataFileName;
  VectorDataOptions options;
  options.Layer = settings.InputFile("--geometry").empty() ? settings.GeometryLayer : std::string();
  options.Shapes = shapes;
  const VectorDataResult read = ReadVectorData(file, ColumnsRead(settings), options, table, layer);
  if (read.Read.Status != VectorStatus::Ok) return LayerFailure(file, read.Read, options.Layer);
  const std::string feature = FormatInteger(static_cast<int64_t>(read.Feature));
  switch (read.Fields) {
    case CsvStatus::Ok: return std::nullopt;
    case CsvStatus::OutOfRange: return RunFailure{Failure::FeatureOutOfRange, {feature, read.Column}};
    case CsvStatus::MissingColumn: return RunFailure{Failure::MissingField, {layer.LayerName, read.Column}};
    case CsvStatus::RepeatedColumn: return RunFailure{Failure::RepeatedField, {layer.LayerName, read.Column}};
    default: return RunFailure{Failure::FeatureNotAValue, {feature, read.Column}};
  }
}

// The shapes come from the data set itself: --vector without --geometry, in
// a run that uses them.
bool ShapesFromData(const RunSettings& settings) {
  return settings.Vector && settings.InputFile("--geometry").empty() && UsesShapes(settings);
}

std::optional<RunFailure> ReadData(const RunSettings& settings, RecordTable& table, VectorLayer& layer,
                                   WorkerPool& pool) {
  if (settings.Vector) return ReadVectorDataFile(settings, ShapesFromData(settings), table, layer);
  if (settings.Csv) return ReadCsvData(settings.DataFileName, ColumnsRead(settings), table);
  return ReadPlainData(settings.DataFileName, settings.KeepUndefined, table, pool);
}

// With --population: the rows as read become one record per region, its
// expected count computed (standardisation.h).
std::optional<RunFailure> StandardiseData(const RunProducts& products, RecordTable& table) {
  const StandardisationSettings& settings = products.Standardisation;
  if (!settings.Active()) return std::nullopt;
  const StandardRates* standard = products.Standard.FileName.empty() ? nullptr : &products.Standard;
  RecordTable regions;
  const StandardiseResult result = Standardise(table, settings, standard, regions);
  const auto line = [](uint64_t n) { return FormatInteger(static_cast<int64_t>(n)); };
  switch (result.Status) {
    case StandardiseStatus::Ok:
      table = std::move(regions);
      return std::nullopt;
    case StandardiseStatus::StandardRepeated:
      // Without strata every row of the standard is the one stratum.
      if (settings.Strata.empty()) return RunFailure{Failure::StandardRateRepeated, {standard->FileName, line(result.Line)}};
      return RunFailure{Failure::StandardRepeated, {standard->FileName, line(result.Line), line(result.OtherLine)}};
    case StandardiseStatus::StratumRepeated:
      return RunFailure{Failure::StratumRepeated, {line(result.Line), line(result.OtherLine)}};
    case StandardiseStatus::ColumnDiffers:
      return RunFailure{Failure::ColumnDiffers, {line(result.Line), result.Name, line(result.OtherLine)}};
    case StandardiseStatus::ObservedTotalOutOfRange:
      return RunFailure{Failure::ObservedTotalOutOfRange, {line(result.Line), result.Name}};
    case StandardiseStatus::NoPopulation:
      return RunFailure{Failure::NoPopulation, {line(result.Line)}};
    case StandardiseStatus::MissingStratum:
      return RunFailure{Failure::MissingStratum, {line(result.Line),
                                                  settings.Strata.empty() ? "rate" : "stratum " + result.Name,
                                                  standard->FileName}};
    case StandardiseStatus::ExpectedOutOfRange:
      return RunFailure{Failure::ExpectedOutOfRange, {line(result.Line), result.Name}};
  }
  return std::nullopt;
}

// The data set's own shapes, for --vector without --geometry: feature k is
// record k. A problem names the feature by its record's code.
std::optional<RunFailure> TakeDataShapes(const RunSettings& settings, VectorLayer& layer, RunProducts& products) {
  for (FeatureProblem& problem : layer.Problems) problem.Key = products.Table.CodeText.At(problem.Feature - 1);
  const ShapeError error = TakeShapes(layer, products.Shapes);
  if (error.Status != ShapeStatus::Ok) return ShapeFailure(settings.DataFileName, error);
  products.Shapes.Key = settings.Columns.Code;
  products.HasShapes = true;
  return std::nullopt;
}

// The columns that --keep carries into the region table: those it names, in
// its order, or with --keep=all those the reader kept because nothing else
// uses them, in the order of the header (it leaves unread those named as a
// column of the region table, which would name two columns alike).
std::vector<const NamedColumn*> KeptColumns(const RunSettings& settings, const RecordTable& table) {
  std::vector<const NamedColumn*> kept;
  std::unordered_map<std::string_view, const NamedColumn*> text;  // the first Text column of each name
  for (const NamedColumn& column : table.Columns) {
    if (column.Kind == ColumnKind::Text) text.emplace(column.Name, &column);
  }
  for (const std::string& name : settings.Keep) {
    const auto found = text.find(name);
    kept.push_back(found == text.end() ? nullptr : found->second);
  }
  if (settings.KeepAll) {
    for (const NamedColumn& column : table.Columns) {
      if (column.Kind == ColumnKind::Text) kept.push_back(&column);
    }
  }
  return kept;
}

// "3 rows without a defined ratio, first at line 7": with --undefined=skip,
// how many rows the estimates leave out (the line of a CSV file, the
// feature of a vector layer, or the record of a plain file), where there
// are any.
void PrintUndefinedRows(std::FILE* console, const RecordTable& table, const RunSettings& settings) {
  size_t count = 0;
  size_t first = 0;
  for (size_t row = table.Size(); row-- > 0;) {
    if (table.Defined(row)) continue;
    ++count;
    first = row;
  }
  if (count == 0) return;
  const bool numbered = (settings.Csv || settings.Vector) && !table.Lines.empty();
  const std::string where = std::string(settings.Vector ? "feature " : numbered ? "line " : "record ") +
                            FormatInteger(static_cast<int64_t>(numbered ? table.Lines[first] : first + 1));
  PrintLine(console, " ", FormatInteger(static_cast<int64_t>(count)) + (count == 1 ? " row" : " rows") +
                              " without a defined ratio, first at " + where + "\n");
}

// "2 features without a shape (...): 3 (37009), 17 (37119)": the features
// whose geometry is missing or empty, by number and key, the first ten of
// them; their regions are left off the map and have no contiguity
// neighbours.
void PrintShapeless(std::FILE* console, const RegionShapes& shapes) {
  const std::vector<FeatureProblem>& features = shapes.WithoutShape;
  if (features.empty()) return;
  constexpr size_t kShown = 10;
  std::string line = Plural(features.size(), "feature", "features") +
                     " without a shape (left off the map, no contiguity neighbours): ";
  for (size_t k = 0; k < std::min(features.size(), kShown); ++k) {
    line += (k > 0 ? ", " : "") + FormatInteger(static_cast<int64_t>(features[k].Feature)) + " (" +
            ShownText(features[k].Key) + ")";
  }
  if (features.size() > kShown) line += ", ...";
  PrintLine(console, " ", line + "\n");
}

// ---------------------------------------------------------------------------
// The outputs

// Creates the output's file (a temporary stand-in) and fills it.
std::optional<RunFailure> Produce(OutputFile& file, const RunOutput& output, const RunProducts& products) {
  if (CreateOutput(file, output.Name) != OutputStatus::Ok) return RunFailure{Failure::CannotCreate, {output.Name}};
  output.Kind->Write(file, products);
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
  // A directory that could not be synced once the files are in place ends
  // the run before they are.
  if (const OutputFile* failed = sync ? UnopenableDirectory(all.data(), count) : nullptr) {
    return RunFailure{Failure::CannotWrite, {failed->Name}};
  }
  if (const OutputFile* failed = CommitOutputs(all.data(), count)) return RunFailure{Failure::CannotWrite, {failed->Name}};
  if (const OutputFile* failed = sync ? SyncDirectories(all.data(), count) : nullptr) {
    return RunFailure{Failure::CannotWrite, {failed->Name}};
  }
  return std::nullopt;
}

// Produces the outputs whose Timed is `timed`, in order.
std::optional<RunFailure> ProduceAll(std::vector<OutputFile>& files, const std::vector<RunOutput>& outputs, bool timed,
                                     const RunProducts& products) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].Kind->Timed != timed) continue;
    if (auto failure = Produce(files[i], outputs[i], products)) return failure;
  }
  return std::nullopt;
}

// What the outputs need beyond the estimates, all together.
unsigned NeedsOf(const std::vector<RunOutput>& outputs) {
  unsigned needs = 0;
  for (const RunOutput& output : outputs) needs |= output.Kind->Needs;
  return needs;
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
  if (const auto failure = CheckCollisions(ListInputs(settings), outputs)) return Report(console, *failure);

  // The data as read; with --population, after the inputs, one record per region.
  WorkerPool pool(settings.Threads > 0 ? settings.Threads : AvailableCores());
  RecordTable table;
  VectorLayer dataLayer;  // --vector: the data set's files, and its shapes where the run needs them
  if (const auto failure = ReadData(settings, table, dataLayer, pool)) return Report(console, *failure);
  RunProducts products(table, pool);
  products.DataFileName = settings.DataFileName;
  products.Eps = settings.Fit.Eps;
  products.Posterior = settings.Posterior;
  products.Prior = FindPriorMethod(settings.Prior);
  products.Standardisation = settings.Standardisation;
  products.Standardisation.KeepUndefined = settings.KeepUndefined;
  products.GeometryLayer = settings.GeometryLayer;
  products.GeometryKey = settings.GeometryKey.empty() ? settings.Columns.Code : settings.GeometryKey;
  products.Snap = settings.Snap;
  products.MapBreaks = settings.MapBreaks;
  products.FilesRead = dataLayer.Files;
  if (const auto failure = ReadInputs(settings, products, true)) return Report(console, *failure);
  if (const auto failure = StandardiseData(products, table)) return Report(console, *failure);
  if (ShapesFromData(settings)) {
    if (const auto failure = TakeDataShapes(settings, dataLayer, products)) return Report(console, *failure);
  }
  if (const auto failure = ReadInputs(settings, products, false)) return Report(console, *failure);
  if (const auto failure = CheckCollisions(products.FilesRead, outputs)) return Report(console, *failure);
  products.Kept = KeptColumns(settings, table);
  products.CovariateNames = settings.Covariates;
  products.KeepUndefined = settings.KeepUndefined;
  if (products.HasShapes) PrintShapeless(console, products.Shapes);
  PrintUndefinedRows(console, table, settings);

  // The timed stretch: every group's estimation and the timed outputs (the log).
  if (settings.Timing == 1) PrintLine(console, "\n start: ", FormatTimeText(ReadClock()));
  products.Results = EstimateAllGroups(table, settings.Fit, pool);
  std::vector<OutputFile> files(outputs.size());
  if (const auto failure = ProduceAll(files, outputs, true, products)) return Report(console, *failure);
  if (settings.Timing == 1) PrintLine(console, " end:   ", FormatTimeText(ReadClock()));

  ComputeNeeds(NeedsOf(outputs), products);
  if (const auto failure = ProduceAll(files, outputs, false, products)) return Report(console, *failure);
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
