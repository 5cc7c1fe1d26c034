// Estimation checks shared by the fuzz targets that read data files: every
// group's results are numbers or NoEstimate, never a NaN or an infinity, the
// log shows none, and every table line fits the room promised for it.
#pragma once

#include <cmath>  // std::isfinite
#include <cstdint>
#include <string>
#include <vector>

#include "core/fit_settings.h"
#include "core/record_table.h"
#include "estimation/estimator.h"
#include "grouping/grouping.h"
#include "report/log_report.h"
#include "report/result_table.h"
#include "fuzz_check.h"

// Estimation is run only on inputs it finishes quickly: the fit sweeps every
// count from 0 up to the group's largest one on each of its (at most 20)
// steps, so the sum of the counts bounds the work of all groups together.
inline constexpr size_t kMaxEstimatedRecords = 64;
inline constexpr int64_t kMaxCount = 100000;
inline constexpr int64_t kMaxCountSum = 100000;

// True when the table is small enough for CheckEstimation to finish quickly.
inline bool QuickToEstimate(const tarnek::RecordTable& table) {
  if (table.Size() > kMaxEstimatedRecords) return false;
  int64_t countSum = 0;
  for (int32_t count : table.Data1) {
    if (count > kMaxCount) return false;
    countSum += count;
  }
  return countSum <= kMaxCountSum;
}

// A result column entry: a number that the model allows (every ratio is a
// quotient of non-negative counts by positive values) or NoEstimate.
inline bool ValidResult(double x) { return x == tarnek::NoEstimate || (std::isfinite(x) && x >= 0.0); }

inline void CheckEstimation(const tarnek::RecordTable& table) {
  using namespace tarnek;
  const size_t n = table.Size();
  const FitSettings settings;
  WorkerPool pool(1);
  const Estimates estimates = EstimateAllGroups(table, settings, pool);
  const RecordRatios& ratios = estimates.Records;

  CHECK(ratios.Ratio.size() == n && ratios.EbRatioMe.size() == n && ratios.EbRatioMle.size() == n);
  for (size_t i = 0; i < n; ++i) {
    CHECK(ValidResult(ratios.Ratio[i]));
    CHECK(ValidResult(ratios.EbRatioMe[i]));
    CHECK(ValidResult(ratios.EbRatioMle[i]));
  }
  CHECK(estimates.Units.size() == estimates.Groups.size());
  size_t members = 0;
  for (const GroupResult& g : estimates.Groups) {
    members += static_cast<size_t>(g.RegionCount);
    CHECK(std::isfinite(g.MeanRatio) && std::isfinite(g.VarianceRatio));
    CHECK(std::isfinite(g.MeAlpha) && std::isfinite(g.MeBeta));
    CHECK(std::isfinite(g.InitialAlpha) && std::isfinite(g.InitialBeta));
    CHECK(std::isfinite(g.MleAlpha) && std::isfinite(g.MleBeta));
    CHECK(std::isfinite(g.ErrorAlpha) && std::isfinite(g.ErrorBeta));
    CHECK(g.Iterations >= 0 && g.Iterations <= settings.IterationLimit);
    if (!g.FitSucceeded) CHECK(g.MleAlpha == NoEstimate && g.MleBeta == NoEstimate);
  }
  CHECK(members == n);

  // Every row formats as one line of the table within the room promised for
  // it (the buffer is exactly that long, so AddressSanitizer sees any overrun).
  for (size_t i = 0; i < n; ++i) {
    std::vector<char> line(ResultLineRoom(table, i));
    const char* end = WriteResultLine(line.data(), table, ratios, i);
    const size_t length = static_cast<size_t>(end - line.data());
    CHECK(length >= 2 && length <= line.size());
    CHECK(end[-2] == '\r' && end[-1] == '\n');
  }

  // The log shows every value as a number or "***", never an infinity or a
  // NaN. A block's heading shows its unit, which may be any text.
  for (size_t g = 0; g < estimates.Groups.size(); ++g) {
    std::string block;
    AppendGroupBlock(block, table, estimates.Mode, estimates.Units[g], estimates.Groups[g], settings.Eps);
    if (estimates.Mode == GroupMode::PerUnit) block.erase(0, block.find("\r\n"));
    CHECK(block.find("INF") == std::string::npos);
    CHECK(block.find("NAN") == std::string::npos);
  }
}

