// Tests of the group estimator: worked examples, the ways out of the fit,
// groups without a finite result, an independent check of the maximum, and
// bit-for-bit identity with the plain reference in reference_estimator.h.
#include <gtest/gtest.h>

#include <bit>      // std::bit_cast
#include <cmath>    // std::isfinite, lgammal, logl, expl
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "estimation/estimator.h"
#include "reference_estimator.h"

namespace {

using tarnek::GroupWorkspace;
using tarnek::NoEstimate;
using tarnek::RunSettings;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kExact = 0.0;
constexpr double kSixDecimals = 5e-7;
constexpr int kEvery = -1;  // a Want on every entry of a per-record array

RunSettings Settings(double eps = 0.00001, int32_t limit = 20, double alpha = -1.0, double beta = -1.0) {
  RunSettings s;
  s.Eps = eps;
  s.IterationLimit = limit;
  s.AlphaOption = alpha;
  s.BetaOption = beta;
  return s;
}

GroupWorkspace Filled(const std::vector<int32_t>& data1, const std::vector<double>& data2) {
  GroupWorkspace ws;
  ws.RegionCount = static_cast<int32_t>(data1.size());
  ws.Data1 = data1;
  ws.Data2 = data2;
  return ws;
}

GroupWorkspace RunLibrary(const std::vector<int32_t>& data1, const std::vector<double>& data2,
                          const RunSettings& settings) {
  GroupWorkspace ws = Filled(data1, data2);
  tarnek::EstimateGroup(ws, settings);
  return ws;
}

GroupWorkspace RunReference(const std::vector<int32_t>& data1, const std::vector<double>& data2,
                            const RunSettings& settings) {
  GroupWorkspace ws = Filled(data1, data2);
  tarnek::reference::EstimateGroup(ws, settings);
  return ws;
}

enum class F { Mean, Var, InitA, InitB, MeA, MeB, MleA, MleB, ErrA, ErrB, Fit, Iter, Ratio, EbMe, EbMle };

double Value(const GroupWorkspace& ws, F field, int i) {
  switch (field) {
    case F::Mean: return ws.MeanRatio;
    case F::Var: return ws.VarianceRatio;
    case F::InitA: return ws.InitialAlpha;
    case F::InitB: return ws.InitialBeta;
    case F::MeA: return ws.MeAlpha;
    case F::MeB: return ws.MeBeta;
    case F::MleA: return ws.MleAlpha;
    case F::MleB: return ws.MleBeta;
    case F::ErrA: return ws.ErrorAlpha;
    case F::ErrB: return ws.ErrorBeta;
    case F::Fit: return ws.FitSucceeded;
    case F::Iter: return ws.Iterations;
    case F::Ratio: return ws.Ratio.at(i);
    case F::EbMe: return ws.EbRatioMe.at(i);
    case F::EbMle: return ws.EbRatioMle.at(i);
  }
  return 0;
}

const char* const kFieldNames[] = {"MeanRatio", "VarianceRatio", "InitialAlpha", "InitialBeta",
                                   "MeAlpha",   "MeBeta",        "MleAlpha",     "MleBeta",
                                   "ErrorAlpha", "ErrorBeta",    "FitSucceeded", "Iterations",
                                   "Ratio",     "EbRatioMe",     "EbRatioMle"};

struct Want {
  F field;
  int index;  // entry of a per-record array, or kEvery; ignored for summary fields
  double value;
  double tolerance;  // kExact demands the very value
};

void CheckWants(const GroupWorkspace& ws, const std::vector<Want>& wants) {
  for (const Want& w : wants) {
    const bool perRecord = w.field == F::Ratio || w.field == F::EbMe || w.field == F::EbMle;
    const int first = perRecord && w.index == kEvery ? 0 : w.index;
    const int last = perRecord && w.index == kEvery ? ws.RegionCount - 1 : w.index;
    for (int i = first; i <= last; ++i) {
      const double got = Value(ws, w.field, i);
      SCOPED_TRACE(std::string(kFieldNames[static_cast<int>(w.field)]) + "[" + std::to_string(i) + "]");
      if (w.tolerance == kExact)
        EXPECT_EQ(got, w.value);
      else
        EXPECT_NEAR(got, w.value, w.tolerance);
    }
  }
}

// No result field may hold a NaN or an infinity; ErrorAlpha/ErrorBeta are always numbers.
void ExpectAllFinite(const GroupWorkspace& ws) {
  for (int f = 0; f <= static_cast<int>(F::EbMle); ++f) {
    const bool perRecord = f >= static_cast<int>(F::Ratio);
    for (int i = 0; i < (perRecord ? ws.RegionCount : 1); ++i)
      EXPECT_TRUE(std::isfinite(Value(ws, static_cast<F>(f), i))) << kFieldNames[f] << "[" << i << "]";
  }
  EXPECT_NE(ws.ErrorAlpha, NoEstimate);
  EXPECT_TRUE(ws.FitSucceeded == 0 || ws.FitSucceeded == 1);
  if (ws.FitSucceeded == 1) {
    EXPECT_GT(ws.MleAlpha, 0.0);
    EXPECT_GT(ws.MleBeta, 0.0);
  } else {
    EXPECT_EQ(ws.MleAlpha, NoEstimate);
    EXPECT_EQ(ws.MleBeta, NoEstimate);
  }
}

// Every field, bit pattern for bit pattern.
void ExpectSameBits(const GroupWorkspace& got, const GroupWorkspace& want) {
  ASSERT_EQ(got.RegionCount, want.RegionCount);
  ASSERT_GE(got.Ratio.size(), static_cast<size_t>(got.RegionCount));
  ASSERT_GE(got.EbRatioMe.size(), static_cast<size_t>(got.RegionCount));
  ASSERT_GE(got.EbRatioMle.size(), static_cast<size_t>(got.RegionCount));
  for (int f = 0; f <= static_cast<int>(F::EbMle); ++f) {
    const bool perRecord = f >= static_cast<int>(F::Ratio);
    for (int i = 0; i < (perRecord ? got.RegionCount : 1); ++i) {
      const double g = Value(got, static_cast<F>(f), i), w = Value(want, static_cast<F>(f), i);
      EXPECT_EQ(std::bit_cast<uint64_t>(g), std::bit_cast<uint64_t>(w))
          << kFieldNames[f] << "[" << i << "]: library " << g << ", reference " << w;
    }
  }
}

struct Case {
  const char* note;  // the fault the case catches
  std::vector<int32_t> data1;
  std::vector<double> data2;
  RunSettings settings;
  std::vector<Want> wants;
};

const std::vector<int32_t> kSixCounts = {0, 1, 2, 3, 4, 10};
const std::vector<double> kSixExpected = {1, 1, 1, 1, 1, 2};

std::vector<Want> FitRefused(int iterations = 0) {
  return {{F::Fit, 0, 0, kExact},         {F::Iter, 0, double(iterations), kExact},
          {F::MleA, 0, NoEstimate, kExact}, {F::MleB, 0, NoEstimate, kExact},
          {F::EbMle, kEvery, NoEstimate, kExact}};
}

std::vector<Want> Join(std::vector<Want> a, const std::vector<Want>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    const GroupWorkspace ws = RunLibrary(c.data1, c.data2, c.settings);
    CheckWants(ws, c.wants);
    ExpectAllFinite(ws);
    ExpectSameBits(ws, RunReference(c.data1, c.data2, c.settings));
  }
}

TEST(EstimatorTest, WorkedExamples) {
  const std::vector<Want> stepsFromSix = {
      {F::InitA, 0, 0.714286, kSixDecimals}, {F::InitB, 0, 1.785714, kSixDecimals},
      {F::MleA, 0, 1.849112, kSixDecimals},  {F::MleB, 0, 4.965473, kSixDecimals},
      {F::Fit, 0, 1, kExact}};
  RunCases({
      {"two records: mean/variance/ME exact, fit runs into the limit, ME ratios exact",
       {1, 3}, {1.0, 1.0}, Settings(),
       Join({{F::Ratio, 0, 1.0, kExact}, {F::Ratio, 1, 3.0, kExact}, {F::Mean, 0, 2.0, kExact},
             {F::Var, 0, 2.0, kExact}, {F::MeA, 0, 1.0, kExact}, {F::MeB, 0, 2.0, kExact},
             {F::InitA, 0, 1.0, kExact}, {F::InitB, 0, 2.0, kExact},
             {F::ErrA, 0, 1250.05, 0.01}, {F::ErrB, 0, 2500.11, 0.01},
             {F::EbMe, 0, 1.5, kExact}, {F::EbMe, 1, 2.5, kExact}},
            FitRefused(20))},
      {"six records converge in eight steps; EB ratios from both parameter sets",
       kSixCounts, kSixExpected, Settings(),
       Join(stepsFromSix,
            {{F::Mean, 0, 2.5, kExact}, {F::Var, 0, 3.5, kExact}, {F::Iter, 0, 8, kExact},
             {F::ErrA, 0, 6.362e-9, 1e-12}, {F::ErrB, 0, 1.7996e-8, 1e-12},
             {F::EbMe, 0, 1.041667, kSixDecimals}, {F::EbMe, 5, 4.342105, kSixDecimals},
             {F::EbMle, 0, 1.742814, kSixDecimals}, {F::EbMle, 5, 3.888032, kSixDecimals}})},
      {"first step makes both parameters negative: rejected with its signs, not counted",
       {5, 0, 6}, {1, 4, 2}, Settings(),
       Join({{F::InitA, 0, 0.421053, kSixDecimals}, {F::InitB, 0, 1.122807, kSixDecimals},
             {F::ErrA, 0, -1.531257, kSixDecimals}, {F::ErrB, 0, -3.977427, kSixDecimals},
             {F::EbMe, 1, 1.122807 / (0.421053 + 4), 1e-6}},
            FitRefused(0))},
      {"variance divides by n-1, not n", {1, 2, 3}, {1, 1, 1}, Settings(),
       {{F::Mean, 0, 2.0, kExact}, {F::Var, 0, 1.0, kExact}, {F::MeA, 0, 2.0, kExact},
        {F::MeB, 0, 4.0, kExact}}},
      {"AlphaOption moves only the start; ME and ME ratios stay", kSixCounts, kSixExpected,
       Settings(0.00001, 20, 12.3),
       {{F::InitA, 0, 12.3, kExact}, {F::InitB, 0, 1.785714, kSixDecimals},
        {F::MeA, 0, 0.714286, kSixDecimals}, {F::MeB, 0, 1.785714, kSixDecimals},
        {F::EbMe, 0, 1.041667, kSixDecimals}, {F::EbMe, 5, 4.342105, kSixDecimals}}},
      {"BetaOption alone; AlphaOption 0 is not an option value", kSixCounts, kSixExpected,
       Settings(0.00001, 20, 0.0, 2.5),
       {{F::InitA, 0, 0.714286, kSixDecimals}, {F::InitB, 0, 2.5, kExact}}},
      {"negative AlphaOption means the moment estimate", kSixCounts, kSixExpected,
       Settings(0.00001, 20, -3.0),
       Join(stepsFromSix, {{F::Iter, 0, 8, kExact}})},
  });
}

TEST(EstimatorTest, OptionsNeverChangeMomentRatios) {
  const GroupWorkspace plain = RunLibrary(kSixCounts, kSixExpected, Settings());
  for (const RunSettings& s : {Settings(0.00001, 20, 12.3), Settings(0.00001, 20, 12.3, 40.0),
                               Settings(0.00001, 0, -1.0, 0.5)}) {
    const GroupWorkspace moved = RunLibrary(kSixCounts, kSixExpected, s);
    EXPECT_EQ(std::bit_cast<uint64_t>(moved.MeAlpha), std::bit_cast<uint64_t>(plain.MeAlpha));
    EXPECT_EQ(std::bit_cast<uint64_t>(moved.MeBeta), std::bit_cast<uint64_t>(plain.MeBeta));
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(std::bit_cast<uint64_t>(moved.EbRatioMe[i]), std::bit_cast<uint64_t>(plain.EbRatioMe[i]));
  }
}

TEST(EstimatorTest, WaysOutOfTheFit) {
  const std::vector<Want> noStep = {{F::ErrA, 0, 9999.0, kExact}, {F::ErrB, 0, 9999.0, kExact}};
  const std::vector<Want> startKept = {
      {F::Fit, 0, 1, kExact},          {F::Iter, 0, 0, kExact},
      {F::MleA, 0, 0.714286, kSixDecimals}, {F::MleB, 0, 1.785714, kSixDecimals},
      {F::ErrA, 0, 9999.0, kExact},    {F::ErrB, 0, 9999.0, kExact},
      {F::EbMle, 0, 1.785714 / 1.714286, 1e-6}};
  RunCases({
      {"IterationLimit 0: no step, limit reached", kSixCounts, kSixExpected, Settings(0.00001, 0),
       Join(noStep, FitRefused(0))},
      {"negative IterationLimit acts like 0", kSixCounts, kSixExpected, Settings(0.00001, -5),
       Join(noStep, FitRefused(0))},
      {"Eps 9999: the first test is strict, so no step", kSixCounts, kSixExpected, Settings(9999.0),
       startKept},
      {"Eps above 9999 with limit 0: convergence is tested before the limit", kSixCounts, kSixExpected,
       Settings(1e6, 0), startKept},
      {"infinite Eps", kSixCounts, kSixExpected, Settings(kInf), startKept},
      {"Eps just below 9999 takes steps", kSixCounts, kSixExpected, Settings(9998.999),
       {{F::Iter, 0, 1, kExact}, {F::Fit, 0, 1, kExact}, {F::ErrA, 0, 0.261088, kSixDecimals},
        {F::ErrB, 0, 0.736532, kSixDecimals}}},
      {"the step reaching the limit may still converge", kSixCounts, kSixExpected, Settings(0.00001, 8),
       {{F::Iter, 0, 8, kExact}, {F::Fit, 0, 1, kExact}, {F::MleA, 0, 1.849112, kSixDecimals}}},
      {"one step short of convergence", kSixCounts, kSixExpected, Settings(0.00001, 7),
       Join({{F::ErrA, 0, 7.138129e-5, 1e-10}, {F::ErrB, 0, 2.016922e-4, 1e-9}}, FitRefused(7))},
      {"both steps must be within Eps: 6.4e-9 is, 1.8e-8 is not", kSixCounts, kSixExpected,
       Settings(1e-8), {{F::Iter, 0, 9, kExact}, {F::Fit, 0, 1, kExact}}},
      {"Eps between the two step sizes of step 7", kSixCounts, kSixExpected, Settings(1e-4),
       {{F::Iter, 0, 8, kExact}, {F::Fit, 0, 1, kExact}}},
      {"negative Eps never converges and ends by the limit", kSixCounts, kSixExpected,
       Settings(-1.0), FitRefused(20)},
      {"Eps 0: steps of about 1e-14 are not 0, so even 100 steps end by the limit", kSixCounts,
       kSixExpected, Settings(0.0, 100),
       Join({{F::ErrA, 0, 0.0, 1e-12}, {F::ErrB, 0, 0.0, 1e-12}}, FitRefused(100))},
      {"Eps 0 on a diverging fit", {1, 3}, {1, 1}, Settings(0.0), FitRefused(20)},
  });
}

TEST(EstimatorTest, GroupsWithoutFiniteResults) {
  const std::vector<Want> noMoments = Join(
      {{F::MeA, 0, NoEstimate, kExact}, {F::MeB, 0, NoEstimate, kExact},
       {F::InitA, 0, NoEstimate, kExact}, {F::InitB, 0, NoEstimate, kExact},
       {F::ErrA, 0, 9999.0, kExact}, {F::ErrB, 0, 9999.0, kExact},
       {F::EbMe, kEvery, NoEstimate, kExact}},
      FitRefused(0));
  const double tenth = 0.1;
  RunCases({
      {"one record: no variance; ratio and mean are still numbers", {3}, {2.0}, Settings(),
       Join({{F::Ratio, 0, 1.5, kExact}, {F::Mean, 0, 1.5, kExact}, {F::Var, 0, NoEstimate, kExact}},
            noMoments)},
      {"all ratios 1: variance 0 is a number, the moment estimates are not", {1, 1, 1}, {1, 1, 1},
       Settings(), Join({{F::Mean, 0, 1.0, kExact}, {F::Var, 0, 0.0, kExact}}, noMoments)},
      {"all counts 0: ME would be 0/0", {0, 0, 0}, {1, 2, 3}, Settings(),
       Join({{F::Ratio, kEvery, 0.0, kExact}, {F::Mean, 0, 0.0, kExact}, {F::Var, 0, 0.0, kExact}},
            noMoments)},
      {"three ratios 0.1: the mean rounds up, tiny variance, huge but finite ME", {1, 1, 1},
       {10, 10, 10}, Settings(),
       {{F::Ratio, kEvery, tenth, kExact}, {F::Mean, 0, std::nextafter(tenth, 1.0), kExact},
        {F::Var, 0, std::ldexp(1.5, -112), kExact},
        {F::MeA, 0, std::nextafter(tenth, 1.0) / std::ldexp(1.5, -112), 1e18},
        {F::EbMe, kEvery, tenth, 1e-12}, {F::Fit, 0, 0, kExact}}},
      {"a ratio beyond the double range: it and everything from it is NoEstimate", {5, 1},
       {1e-310, 1}, Settings(),
       Join({{F::Ratio, 0, NoEstimate, kExact}, {F::Ratio, 1, 1.0, kExact},
             {F::Mean, 0, NoEstimate, kExact}, {F::Var, 0, NoEstimate, kExact}},
            noMoments)},
      {"squares beyond the double range: variance NoEstimate, mean a number", {1, 0}, {1e-308, 1},
       Settings(),
       Join({{F::Mean, 0, 0.5e308, 1e293}, {F::Var, 0, NoEstimate, kExact}}, noMoments)},
      {"squares below the double range: variance 0", {1, 2}, {1e300, 1e300}, Settings(),
       Join({{F::Mean, 0, 1.5e-300, 1e-314}, {F::Var, 0, 0.0, kExact}}, noMoments)},
      {"infinite AlphaOption: no start, no fit; ME kept", kSixCounts, kSixExpected,
       Settings(0.00001, 20, kInf),
       Join({{F::InitA, 0, NoEstimate, kExact}, {F::InitB, 0, 1.785714, kSixDecimals},
             {F::MeA, 0, 0.714286, kSixDecimals}, {F::ErrA, 0, 9999.0, kExact},
             {F::ErrB, 0, 9999.0, kExact}, {F::EbMe, 5, 4.342105, kSixDecimals}},
            FitRefused(0))},
      {"infinite BetaOption", kSixCounts, kSixExpected, Settings(0.00001, 20, -1.0, kInf),
       Join({{F::InitA, 0, 0.714286, kSixDecimals}, {F::InitB, 0, NoEstimate, kExact},
             {F::ErrA, 0, 9999.0, kExact}},
            FitRefused(0))},
      {"tiny start: the second derivative leaves the range, errors keep 9999", kSixCounts,
       kSixExpected, Settings(0.00001, 20, 1e-300),
       Join({{F::InitA, 0, 1e-300, kExact}, {F::ErrA, 0, 9999.0, kExact}, {F::ErrB, 0, 9999.0, kExact},
             {F::EbMe, 0, 1.041667, kSixDecimals}},
            FitRefused(0))},
      {"one record with both starts given: the fit runs without ME", {3}, {2.0},
       Settings(0.00001, 20, 2.0, 3.0),
       {{F::InitA, 0, 2.0, kExact}, {F::InitB, 0, 3.0, kExact}, {F::MeA, 0, NoEstimate, kExact},
        {F::EbMe, 0, NoEstimate, kExact}}},
  });
}

std::vector<std::vector<double>> ReadScotland() {
  std::ifstream in(TARNEK_SOURCE_DIR "/examples/sample.txt");
  std::vector<std::vector<double>> rows;
  double unit, code, count, expected;
  while (in >> unit >> code >> count >> expected) rows.push_back({unit, code, count, expected});
  return rows;
}

// The negative-binomial log-likelihood, through lgamma and in long double.
long double LogLikelihood(const std::vector<int32_t>& y, const std::vector<double>& e, long double a,
                          long double b) {
  long double sum = 0;
  for (size_t i = 0; i < y.size(); ++i)
    sum += lgammal(b + y[i]) - lgammal(b) + b * logl(a) - (b + y[i]) * logl(a + e[i]);
  return sum;
}

// Nelder-Mead on (log a, log b): a method that shares nothing with Newton-Raphson.
std::pair<double, double> MaximizeByNelderMead(const std::vector<int32_t>& y, const std::vector<double>& e,
                                               double a0, double b0) {
  struct Vertex { long double u, v, f; };
  auto cost = [&](long double u, long double v) { return -LogLikelihood(y, e, expl(u), expl(v)); };
  long double u0 = logl(a0), v0 = logl(b0);
  for (int restart = 0; restart < 3; ++restart) {
    Vertex s[3] = {{u0, v0, 0}, {u0 + 0.2L, v0, 0}, {u0, v0 + 0.2L, 0}};
    for (Vertex& p : s) p.f = cost(p.u, p.v);
    for (int iter = 0; iter < 5000; ++iter) {
      std::sort(std::begin(s), std::end(s), [](const Vertex& p, const Vertex& q) { return p.f < q.f; });
      if (std::fabs(s[2].u - s[0].u) + std::fabs(s[2].v - s[0].v) +
              std::fabs(s[1].u - s[0].u) + std::fabs(s[1].v - s[0].v) < 1e-14L)
        break;
      const long double cu = (s[0].u + s[1].u) / 2, cv = (s[0].v + s[1].v) / 2;
      auto at = [&](long double t) {
        Vertex p{cu + t * (s[2].u - cu), cv + t * (s[2].v - cv), 0};
        p.f = cost(p.u, p.v);
        return p;
      };
      const Vertex r = at(-1);
      if (r.f < s[0].f) {
        const Vertex x = at(-2);
        s[2] = x.f < r.f ? x : r;
      } else if (r.f < s[1].f) {
        s[2] = r;
      } else {
        const Vertex c = r.f < s[2].f ? at(-0.5L) : at(0.5L);
        if (c.f < std::min(r.f, s[2].f)) {
          s[2] = c;
        } else {
          for (int k = 1; k < 3; ++k) {
            s[k].u = (s[k].u + s[0].u) / 2;
            s[k].v = (s[k].v + s[0].v) / 2;
            s[k].f = cost(s[k].u, s[k].v);
          }
        }
      }
    }
    u0 = s[0].u;
    v0 = s[0].v;
  }
  return {static_cast<double>(expl(u0)), static_cast<double>(expl(v0))};
}

TEST(EstimatorTest, ScotlandDataAsOneGroup) {
  const auto rows = ReadScotland();
  ASSERT_EQ(rows.size(), 56u);
  std::vector<int32_t> y;
  std::vector<double> e;
  for (const auto& r : rows) {
    y.push_back(static_cast<int32_t>(r[2]));
    e.push_back(r[3]);
  }
  RunCases({{"Scotland lip cancer data", y, e, Settings(),
             {{F::Mean, 0, 1.522366, kSixDecimals}, {F::Var, 0, 1.711996, kSixDecimals},
              {F::MeA, 0, 0.889235, kSixDecimals}, {F::MeB, 0, 1.353741, kSixDecimals},
              {F::Fit, 0, 1, kExact}, {F::Iter, 0, 5, kExact},
              {F::MleA, 0, 1.321667, kSixDecimals}, {F::MleB, 0, 1.879490, kSixDecimals}}}});
}

TEST(EstimatorTest, FittedValuesMaximizeTheLikelihood) {
  const auto rows = ReadScotland();
  std::vector<int32_t> y;
  std::vector<double> e;
  for (const auto& r : rows) {
    y.push_back(static_cast<int32_t>(r[2]));
    e.push_back(r[3]);
  }
  struct Data { const char* note; std::vector<int32_t> y; std::vector<double> e; };
  for (const Data& d : {Data{"Scotland", y, e}, Data{"six records", kSixCounts, kSixExpected}}) {
    SCOPED_TRACE(d.note);
    const GroupWorkspace ws = RunLibrary(d.y, d.e, Settings());
    ASSERT_EQ(ws.FitSucceeded, 1);
    const auto [a, b] = MaximizeByNelderMead(d.y, d.e, ws.MeAlpha, ws.MeBeta);
    EXPECT_NEAR(ws.MleAlpha, a, 1e-5);
    EXPECT_NEAR(ws.MleBeta, b, 1e-5);
  }
}

// Random groups of every shape the estimator meets; each result bit must
// match the reference.
TEST(EstimatorTest, SameBitsAsReferenceOnRandomGroups) {
  std::mt19937_64 rng(20240611);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  auto integer = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto expected = [&] {  // 0.01 to 1000, log-uniform; sometimes with one decimal as in real files
    const double v = std::exp(uniform(std::log(0.01), std::log(1000.0)));
    return integer(0, 2) == 0 && v >= 0.1 ? std::round(v * 10) / 10 : v;
  };
  int converged = 0, failed = 0;
  constexpr int kGroups = 400;
  for (int g = 0; g < kGroups; ++g) {
    const int shape = g % 8;
    int n = shape == 2 ? 1 : integer(2, shape == 6 ? 6 : 40);
    if (shape == 5 && g % 80 != 5) n = integer(2, 12);  // the huge count only now and then
    std::vector<int32_t> y(n);
    std::vector<double> e(n);
    const double theta = std::gamma_distribution<double>(uniform(0.5, 8), 1)(rng) / 2;
    for (int i = 0; i < n; ++i) {
      e[i] = expected();
      switch (shape) {
        case 0: y[i] = integer(0, 20); break;
        case 1: case 2: case 7: {
          const double mean = std::min(3000.0, std::gamma_distribution<double>(theta * 4, 0.25)(rng) * e[i]);
          y[i] = std::poisson_distribution<int32_t>(mean + 1e-9)(rng);
          break;
        }
        case 3: y[i] = 0; break;
        case 4: y[i] = std::vector<int32_t>{0, 3, 3, 7, 7, 7}[integer(0, 5)]; break;
        case 5: y[i] = i == n / 2 && g % 80 == 5 ? 200000 : integer(0, 9); break;
        case 6: y[i] = integer(0, 4000); break;
      }
    }
    // Given starts near the moment estimates, so that such fits converge too.
    const GroupWorkspace moments = RunReference(y, e, Settings(0.00001, 0));
    auto near = [&](double me) { return me > 0 ? me * uniform(0.6, 1.6) : uniform(0.01, 10); };
    RunSettings s;
    switch (g % 7) {
      case 1: s = Settings(0.00001, 20, near(moments.MeAlpha)); break;
      case 2: s = Settings(0.00001, 20, -1.0, near(moments.MeBeta)); break;
      case 3: s = Settings(0.00001, 20, near(moments.MeAlpha), near(moments.MeBeta)); break;
      case 4: s = Settings(0.00001, integer(1, 3)); break;
      case 5: s = Settings(0.0); break;
      case 6: s = Settings(uniform(1e-9, 0.1), integer(5, 40)); break;
      default: s = Settings(); break;
    }
    SCOPED_TRACE("group " + std::to_string(g) + ", shape " + std::to_string(shape));
    const GroupWorkspace ws = RunLibrary(y, e, s);
    ExpectAllFinite(ws);
    ExpectSameBits(ws, RunReference(y, e, s));
    (ws.FitSucceeded == 1 ? converged : failed) += 1;
    if (HasFailure()) break;
  }
  // Both outcomes must be well represented, or the comparison proves little.
  EXPECT_GT(converged, kGroups / 5);
  EXPECT_GT(failed, kGroups / 5);
}

TEST(EstimatorTest, WorkspaceReusedAcrossGroups) {
  // One workspace, a large group then a small one: nothing of the first may
  // leak into the results of the second.
  GroupWorkspace ws = Filled(std::vector<int32_t>(50, 4), std::vector<double>(50, 2.5));
  ws.Data1[7] = 30;
  tarnek::EstimateGroup(ws, Settings());
  ws.RegionCount = 6;
  ws.Data1.assign(kSixCounts.begin(), kSixCounts.end());
  ws.Data2.assign(kSixExpected.begin(), kSixExpected.end());
  tarnek::EstimateGroup(ws, Settings());
  ExpectSameBits(ws, RunReference(kSixCounts, kSixExpected, Settings()));
}

}  // namespace
