// Fuzz target: any command line.
//
// Input layout: the first byte picks the files (see FileChoice below); the
// rest is split on NUL bytes into at most kMaxArguments arguments.
//
// The parser alone, on the arguments exactly as split:
//   - fewer than two arguments give Usage;
//   - otherwise the result is OptionError exactly when an argument from the
//     third on is no option (checked with a matcher written here), BadValue
//     when every one is an option but the last "-E" reads beyond the range
//     of a double or the last "-A" or "-B" above it, and on Ok
//     the file names are the first two arguments unchanged, Timing is 1 when
//     some option is -T (any case), and the "-L", "-E", "-A", "-B" values
//     equal those of an independent reading of the last such option
//     (digits by hand with saturation; reals by strtod on the decimal prefix).
//
// The whole run, with the file names (the two, and that of "--plot=")
// replaced by paths inside a private scratch directory so that no real file
// can be touched:
//   - the exit code is 0, 1 or 2;
//   - no temporary ".tarnek-" file is left behind;
//   - the data file is never changed;
//   - a run that stops early or fails leaves an earlier output file as it was;
//   - a run that parses and ends with 0 has written both files, the table
//     starting with its header line and the log with the banner, and
//     neither shows a NaN, nor the log an infinity; a
//     plot asked for is a whole SVG document; and the CSV tables asked for
//     ("--regions", "--groups", whose file names are moved into the scratch
//     directory too) start with their header and show neither a NaN nor an
//     infinity.
#include <algorithm>  // std::find
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>  // std::abort, std::atexit, std::strtod, mkdtemp, std::getenv
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/options.h"
#include "cli/run.h"
#include "core/banner.h"
#include "input/data_reader.h"
#include "report/group_table.h"
#include "report/log_name.h"
#include "report/outputs.h"
#include "report/region_table.h"
#include "report/result_table.h"
#include "fuzz_check.h"
#include "reference_scan.h"

namespace {

constexpr size_t kMaxArguments = 16;
constexpr size_t kMaxDataBytes = 1024;
constexpr size_t kMaxOutNameBytes = 40;
// Runs whose fit could take long (a huge "-L" with a tolerance that is never
// met) are given a missing data file instead: steps times counts stays below this.
constexpr int64_t kMaxFitWork = 2000000;

// Bits of the first input byte.
enum FileChoice : uint8_t {
  kDataExists = 1 << 0,      // write argument 0 as the data file's contents
  kDataNamedLog = 1 << 1,    // the data file is "data.log" instead of "data.txt"
  kOutKindShift = 2,         // two bits: how the output file is named
  kOutExists = 1 << 4,       // an earlier output file exists before the run
};
enum OutKind {
  kOutFromArgument = 0,  // the scratch directory plus argument 1, '/' made '_'
  kOutPlain = 1,         // "out.txt"
  kOutMissingDir = 2,    // inside a directory that does not exist
  kOutIsData = 3,        // the data file itself
};

std::string gScratchDir;
std::FILE* gConsole = nullptr;

void RemoveAllIn(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  for (const std::string& name : names) unlink((dir + "/" + name).c_str());
}

void Cleanup() {
  if (!gScratchDir.empty()) {
    RemoveAllIn(gScratchDir);
    rmdir(gScratchDir.c_str());
  }
}

void Setup() {
  if (!gScratchDir.empty()) return;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/tarnek-fuzz-options-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) FuzzFail(__FILE__, __LINE__, "cannot create a scratch directory");
  gScratchDir = pattern;
  gConsole = std::fopen("/dev/null", "w");
  if (gConsole == nullptr) FuzzFail(__FILE__, __LINE__, "cannot open /dev/null");
  std::atexit(Cleanup);
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* entry = readdir(d)) names.emplace_back(entry->d_name);
  closedir(d);
  return names;
}

bool ReadWholeFile(const std::string& name, std::string& contents) {
  struct stat info{};
  if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void WriteWholeFile(const std::string& name, std::string_view contents) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) FuzzFail(__FILE__, __LINE__, "cannot write a scratch file");
  std::fwrite(contents.data(), 1, contents.size(), f);
  if (std::fclose(f) != 0) FuzzFail(__FILE__, __LINE__, "cannot write a scratch file");
}

// ---- An independent reading of the options, for the parser's check. ----

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool IsTiming(const std::string& a) { return a.size() == 2 && a[0] == '-' && Upper(a[1]) == 'T'; }

// The option letter of `a`, or 0 when it is no option at all.
char OptionLetter(const std::string& a) {
  if (IsTiming(a)) return 'T';
  if (a.size() >= 2 && a[0] == '-') {
    const char letter = Upper(a[1]);
    if (letter == 'L' || letter == 'E' || letter == 'A' || letter == 'B') return letter;
  }
  return 0;
}

// Option values never fail: no number reads as 0, and integers saturate.
int32_t ExpectedInteger(std::string_view v) {
  ReferenceScan scan{v};
  int32_t value = 0;
  bool fits = false;
  return scan.Integer(value, fits) ? value : 0;
}

double ExpectedReal(std::string_view v) {
  ReferenceScan scan{v};
  double value = 0.0;
  return scan.Real(value) ? value : 0.0;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CheckParser(const std::vector<std::string>& args) {
  using namespace tarnek;
  RunSettings settings;
  const ParseStatus status = ParseCommandLine(args, settings).Status;
  if (args.size() < 2) {
    const bool alone = args.size() == 1;
    CHECK(status == (alone && args[0] == "--help"      ? ParseStatus::Help
                     : alone && args[0] == "--version" ? ParseStatus::Version
                                                       : ParseStatus::Usage));
    return;
  }
  // Long options ("--name=value") have strict values of their own, checked
  // by the unit tests; this oracle knows the classic letters only.
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i].starts_with("--")) return;
  }
  bool allOptions = true;
  for (size_t i = 2; i < args.size(); ++i) allOptions = allOptions && OptionLetter(args[i]) != 0;
  // The last "-E", "-A" and "-B" set the tolerance and the starts; a
  // tolerance beyond the range of a double, or a start above it, is refused
  // as a bad value (a start below it is the moment estimate's, as 0 is).
  bool inRange = true;
  for (const char letter : {'E', 'A', 'B'}) {
    double last = 0.0;
    for (size_t i = 2; i < args.size(); ++i) {
      if (OptionLetter(args[i]) == letter) last = ExpectedReal(std::string_view(args[i]).substr(2));
    }
    inRange = inRange && (std::isfinite(last) || (letter != 'E' && last < 0));
  }
  CHECK((status == ParseStatus::Ok) == (allOptions && inRange));
  CHECK((status == ParseStatus::BadValue) == (allOptions && !inRange));
  CHECK(status == ParseStatus::Ok || status == ParseStatus::OptionError || status == ParseStatus::BadValue);
  if (status != ParseStatus::Ok) return;

  CHECK(settings.DataFileName == args[0]);
  CHECK(settings.OutFileName == args[1]);
  RunSettings expected;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string_view value = std::string_view(args[i]).substr(2);
    switch (OptionLetter(args[i])) {
      case 'T': expected.Timing = 1; break;
      case 'L': expected.Fit.IterationLimit = ExpectedInteger(value); break;
      case 'E': expected.Fit.Eps = ExpectedReal(value); break;
      case 'A': expected.Fit.AlphaOption = ExpectedReal(value); break;
      case 'B': expected.Fit.BetaOption = ExpectedReal(value); break;
    }
  }
  CHECK(settings.Timing == expected.Timing);
  CHECK(settings.Fit.IterationLimit == expected.Fit.IterationLimit);
  CHECK(SameBits(settings.Fit.Eps, expected.Fit.Eps));
  CHECK(SameBits(settings.Fit.AlphaOption, expected.Fit.AlphaOption));
  CHECK(SameBits(settings.Fit.BetaOption, expected.Fit.BetaOption));
}

// ---- The whole run inside the scratch directory. ----

// Work of the fit, bounded above: each of at most IterationLimit steps
// sweeps the counts up to the largest of a group and visits every record.
int64_t FitWorkBound(const std::string& contents, int32_t iterationLimit) {
  std::string text = contents;
  tarnek::ApplyTextMode(text);
  tarnek::RecordTable table;
  if (tarnek::ParseRecords(text, table).Status != tarnek::ReadStatus::Ok) return 0;
  int64_t perStep = static_cast<int64_t>(table.Size()) + 1;
  for (int32_t count : table.Data1) perStep += count;
  const int64_t steps = iterationLimit > 0 ? iterationLimit : 0;
  if (steps != 0 && perStep > kMaxFitWork / steps) return kMaxFitWork + 1;
  return perStep * steps;
}

void CheckRun(uint8_t choice, std::vector<std::string> args) {
  using namespace tarnek;
  const std::string& dir = gScratchDir;
  const std::string dataName = dir + ((choice & kDataNamedLog) ? "/data.log" : "/data.txt");
  const std::string dataContents = args.empty() ? std::string() : args[0].substr(0, kMaxDataBytes);

  std::string outName;
  switch ((choice >> kOutKindShift) & 3) {
    case kOutFromArgument: {
      std::string name = args.size() > 1 ? args[1].substr(0, kMaxOutNameBytes) : std::string();
      for (char& c : name) {
        if (c == '/') c = '_';
      }
      outName = dir + "/" + name;
      break;
    }
    case kOutPlain: outName = dir + "/out.txt"; break;
    case kOutMissingDir: outName = dir + "/missing/out.txt"; break;
    case kOutIsData: outName = dataName; break;
  }
  if (args.size() > 0) args[0] = dataName;
  if (args.size() > 1) args[1] = outName;
  // Every output an option names goes into the scratch directory too,
  // named after the value given ('/' made '_'); an empty one stays empty, a
  // value the option refuses. A value given as the next argument is joined
  // to its option first, as the parser takes it. The last plot counts.
  for (size_t i = 2; i + 1 < args.size(); ++i) {
    for (const OutputKind& kind : kOutputKinds) {
      if (!kind.Option.empty() && args[i] == kind.Option) {
        args[i] += "=" + args[i + 1];
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i + 1));
        break;
      }
    }
  }
  std::string plotName;
  std::vector<std::string> tableNames;
  for (size_t i = 2; i < args.size(); ++i) {
    for (const OutputKind& kind : kOutputKinds) {
      const std::string option = std::string(kind.Option) + "=";
      if (kind.Option.empty() || !args[i].starts_with(option) || args[i].size() == option.size()) continue;
      std::string name = args[i].substr(option.size(), kMaxOutNameBytes);
      for (char& c : name) {
        if (c == '/') c = '_';
      }
      (kind.Option == "--plot" ? plotName : tableNames.emplace_back()) = dir + "/" + name;
      args[i] = option + dir + "/" + name;
    }
  }

  RunSettings settings;
  const bool parsed = ParseCommandLine(args, settings).Status == ParseStatus::Ok;
  bool dataExists = (choice & kDataExists) != 0;
  if (dataExists && parsed && FitWorkBound(dataContents, settings.Fit.IterationLimit) > kMaxFitWork) {
    dataExists = false;
  }
  if (dataExists) WriteWholeFile(dataName, dataContents);

  // An earlier output file, unless the output name is taken by the data
  // file or by something that is not a plain new name in the directory.
  const std::string earlier = "earlier output\r\n";
  const bool outIsDataName = outName == dataName;
  struct stat info{};
  const bool outPreexisting = stat(outName.c_str(), &info) == 0;
  bool wroteEarlier = false;
  if ((choice & kOutExists) && args.size() > 1 && !outIsDataName && !outPreexisting &&
      (choice >> kOutKindShift & 3) != kOutMissingDir) {
    std::FILE* f = std::fopen(outName.c_str(), "wb");
    if (f != nullptr) {  // names like "x\\" or ones too long simply fail
      std::fwrite(earlier.data(), 1, earlier.size(), f);
      std::fclose(f);
      wroteEarlier = true;
    }
  }

  const int code = RunTarnek(args, gConsole);
  CHECK(code == 0 || code == 1 || code == 2);

  // The only names allowed to start with ".tarnek-" are the run's own
  // final files (an output argument may be called so).
  const std::string logName = args.size() > 1 ? DeriveLogFileName(outName) : std::string();
  for (const std::string& name : ListNames(dir)) {
    if (name.rfind(".tarnek-", 0) != 0) continue;
    const std::string path = dir + "/" + name;
    CHECK(path == outName || path == logName || path == plotName ||
          std::find(tableNames.begin(), tableNames.end(), path) != tableNames.end());
  }

  if (dataExists) {
    std::string now;
    CHECK(ReadWholeFile(dataName, now));
    CHECK(now == dataContents);
  }
  if (wroteEarlier && !(parsed && code == 0)) {
    std::string now;
    CHECK(ReadWholeFile(outName, now));
    CHECK(now == earlier);
  }
  if (parsed && code == 0) {
    std::string table;
    std::string log;
    CHECK(ReadWholeFile(outName, table));
    CHECK(ReadWholeFile(logName, log));
    CHECK(table.rfind(kResultHeader, 0) == 0);
    if (!plotName.empty()) {
      std::string plot;
      CHECK(ReadWholeFile(plotName, plot));
      CHECK(plot.rfind("<?xml", 0) == 0 && plot.ends_with("</svg>\n"));
    }
    CHECK(log.rfind(std::string(kBannerTitle) + "\r\n", 0) == 0);
    // No result is ever a NaN or an infinity, nor is the tolerance (one
    // beyond the range of a double is refused); a percent value in the
    // table (100 times a ratio) may overflow, but never to a NaN.
    CHECK(table.find("NAN") == std::string::npos);
    CHECK(log.find("NAN") == std::string::npos);
    CHECK(log.find("INF") == std::string::npos);
    // The CSV tables asked for (the last of each option counts) open with
    // their header and hold no "nan" or "inf": a value without one is empty.
    std::string regionsName;
    std::string groupsName;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i].starts_with("--regions=")) regionsName = args[i].substr(10);
      if (args[i].starts_with("--groups=")) groupsName = args[i].substr(9);
    }
    using Header = std::pair<std::string, std::string_view>;
    for (const auto& [name, header] : {Header(regionsName, kRegionHeader), Header(groupsName, kGroupHeader)}) {
      if (name.empty()) continue;
      std::string csv;
      CHECK(ReadWholeFile(name, csv));
      CHECK(csv.rfind(header, 0) == 0);
      CHECK(csv.find("nan") == std::string::npos);
      CHECK(csv.find("inf") == std::string::npos);
    }
  }

  RemoveAllIn(dir);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size == 0) return 0;
  const uint8_t choice = data[0];
  std::vector<std::string> args;
  const char* p = reinterpret_cast<const char*>(data) + 1;
  const char* last = reinterpret_cast<const char*>(data) + size;
  while (p < last && args.size() < kMaxArguments) {
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(last - p)));
    const char* end = nul != nullptr ? nul : last;
    args.emplace_back(p, end);
    p = nul != nullptr ? nul + 1 : last;
  }

  CheckParser(args);
  CheckRun(choice, args);
  return 0;
}
