// The group estimator: worked examples, the ways out of the fit and the
// status words the diagnostics give them, groups without a finite result, and
// bit-for-bit identity with reference_estimator.h. (That the fit finds the
// maximum: NbRegressionTest's independent fit on every golden case.) The
// worked groups whose every value a golden case's group table and table hold
// live there only: golden group_status_words (six records converged; (1, 3)
// at the iteration limit; a rejected step; one record, no start),
// group_nonfinite_step (-A1e-300), tables_no_step (-E9999, and equal ratios:
// no start), tables_prior_me (-L0), marshall_prior (the sample) and
// covariates_by_unit (all counts 0).
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <cmath>
#include <optional>
#include <random>
#include <tuple>
#include <vector>

#include "estimation/diagnostics.h"
#include "estimation/estimator.h"
#include "reference_estimator.h"
#include "sample_data.h"

// Cases name only the settings they change, by designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace tarnek;
using testdata::Counts, testdata::Expected, testdata::Scotland;

namespace {

// Every result of a group in one list: the summary values, then Ratio,
// EbRatioMe and EbRatioMle of member 0, of member 1, and so on.
enum { Mean, Var, IA, IB, MeA, MeB, MleA, MleB, ErrA, ErrB, Fit, Iter };
int EbMe(int i) { return 13 + 3 * i; }
int EbMle(int i) { return 14 + 3 * i; }
template <class Summary, class Members>
std::vector<double> Results(const Summary& r, const Members& m) {
  std::vector<double> v = {r.MeanRatio, r.VarianceRatio, r.InitialAlpha, r.InitialBeta, r.MeAlpha, r.MeBeta, r.MleAlpha,
                           r.MleBeta, r.ErrorAlpha, r.ErrorBeta, double(r.FitSucceeded), double(r.Iterations)};
  for (int i = 0; i < r.RegionCount; ++i) v.insert(v.end(), {m.Ratio[i], m.EbRatioMe[i], m.EbRatioMle[i]});
  return v;
}

// Runs the library on a group, demands a finite value or NoEstimate in every
// result and the reference's bits, and returns the results.
std::vector<double> Estimate(const Counts& y, const Expected& e, const FitSettings& s) {
  reference::GroupWorkspace r;
  r.RegionCount = int(y.size()), r.Data1 = y, r.Data2 = e;
  reference::EstimateGroup(r, s);
  EstimatorScratch scratch;
  const GroupEstimate estimate = EstimateGroup({y, e}, s, scratch);
  const std::vector<double> got = Results(estimate.Result, estimate.Members), want = Results(r, r);
  EXPECT_EQ(got.size(), want.size());
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_TRUE(std::isfinite(got[k])) << "result " << k;
    EXPECT_EQ(std::bit_cast<uint64_t>(got[k]), std::bit_cast<uint64_t>(want[k])) << "result " << k;
  }
  return got;
}

const Counts y6 = {0, 1, 2, 3, 4, 10};
const Expected e6 = {1, 1, 1, 1, 1, 2};

}  // namespace

TEST(EstimatorTest, CasesTable) {
  // Each row's note says what it catches; the results named, and where given
  // the status word of the group table, with standard errors exactly where the
  // fit passed its test (in these groups -H is positive definite there).
  constexpr double k6 = 5e-7, kNo = NoEstimate;  // k6: stated to six decimals
  const double tenthUp = std::nextafter(0.1, 1.0), tinyVar = std::ldexp(1.5, -112);
  const auto [scotY, scotE] = Scotland();
  struct Want { int at; double value, tol = 0; };
  const struct {
    const char* note; Counts y; Expected e; FitSettings s; std::vector<Want> wants; std::optional<FitStatus> status = {};
  } cases[] = {
      {"the step reaching the limit still converges", y6, e6, {.IterationLimit = 8}, {{Fit, 1}, {Iter, 8}}},
      {"variance divides by n-1", {1, 2, 3}, {1, 1, 1}, {}, {{Var, 1}, {MeA, 2}, {MeB, 4}}},
      {"AlphaOption moves only the start", y6, e6, {.AlphaOption = 12.3},
       {{IA, 12.3}, {IB, 1.785714, k6}, {MeA, 0.714286, k6}, {EbMe(0), 1.041667, k6}, {EbMe(5), 4.342105, k6}}},
      {"AlphaOption 0, BetaOption negative: the moment estimates start", y6, e6, {.AlphaOption = 0, .BetaOption = -2},
       {{IA, 0.714286, k6}, {IB, 1.785714, k6}, {Iter, 8}}},
      {"-A1e-9 -B1e-9 on the sample: one step to a point with a huge score", scotY, scotE,
       {.AlphaOption = 1e-9, .BetaOption = 1e-9}, {{IA, 1e-9}, {IB, 1e-9}, {Fit, 1}}, FitStatus::Stalled},
      {"-E0.5 on the sample: a step too coarse passes the test short of the maximum", scotY, scotE, {.Eps = 0.5},
       {{Fit, 1}}, FitStatus::Stalled},
      {"infinite start: no fit, ME kept", y6, e6, {.AlphaOption = INFINITY},
       {{IA, kNo}, {MeA, 0.714286, k6}, {Fit, 0}, {Iter, 0}, {ErrA, 9999}, {ErrB, 9999}, {EbMle(0), kNo}}},
      {"three ratios 0.1: mean rounds up, tiny variance, finite ME", {1, 1, 1}, {10, 10, 10}, {},
       {{Mean, tenthUp}, {Var, tinyVar}, {MeA, tenthUp / tinyVar, 1e18}, {EbMe(0), 0.1, 1e-15}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.note);
    const std::vector<double> got = Estimate(c.y, c.e, c.s);
    for (const Want& w : c.wants) EXPECT_NEAR(got.at(w.at), w.value, w.tol) << "result " << w.at;
    if (!c.status) continue;
    EstimatorScratch scratch, diagnosing;
    const GroupResult r = EstimateGroup({c.y, c.e}, c.s, scratch).Result;
    const GroupDiagnostics d = DiagnoseGroup({c.y, c.e}, r, diagnosing);
    EXPECT_EQ(std::tuple(d.Status, std::isfinite(d.SeAlpha), std::isfinite(d.LogLikPoisson)),
              std::tuple(*c.status, r.FitSucceeded, true));
    EXPECT_EQ(std::isfinite(d.LogLik), r.MleAlpha != NoEstimate) << "a log-likelihood wherever there is an MLE";
  }
}

// Poisson-Gamma groups of 1 to 41 records, expected counts up to 1000 (counts
// up to a few thousand), groups of repeated counts, now and then a huge count,
// under eight kinds of settings. The last, Eps of 0 or below, cannot converge
// on a step that is not exactly zero, so the fit goes round a cycle of
// iterates (of 1 to a few hundred steps) until the limit: the fit that stops
// at the first repetition must end with the full loop's iterations, errors
// and (failed) estimates, wherever in the cycle the limit falls.
TEST(EstimatorTest, SameBitsAsReferenceOnRandomGroups) {
  std::mt19937_64 rng(20240611);
  auto uni = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  int fitted = 0;
  for (int g = 0; g < 640 && !HasFailure(); ++g) {
    const int n = g % 15 == 0 ? 1 : 2 + int(rng() % 40);
    const double shape = uni(0.5, 8), mean = uni(0.1, 2), eMax = g % 4 == 3 ? 1000 : 20;
    Counts y(n);
    Expected e(n);
    for (int i = 0; i < n; ++i) {
      e[i] = g % 5 == 1 ? 1.0 : std::exp(uni(std::log(0.05), std::log(eMax)));
      y[i] = std::poisson_distribution<int32_t>(e[i] * std::gamma_distribution<double>(shape, mean / shape)(rng))(rng);
    }
    if (g % 50 == 7 && g % 8 != 7) y[0] = 200000;  // not in a fit of hundreds of steps
    const std::vector<double> me = Estimate(y, e, {.IterationLimit = 0});  // given starts near the moment estimates
    const double a = me[MeA] > 0 ? me[MeA] * uni(0.6, 1.6) : 1, b = me[MeB] > 0 ? me[MeB] * uni(0.6, 1.6) : 1;
    const FitSettings settings[] = {{}, {.AlphaOption = a}, {.BetaOption = b}, {.AlphaOption = a, .BetaOption = b},
                                    {.IterationLimit = 1 + g % 3}, {.Eps = 0}, {.Eps = uni(1e-9, 0.1), .IterationLimit = 40},
                                    {.Eps = g % 3 ? -1.0 : 0.0, .IterationLimit = 1 + int32_t(rng() % 700)}};
    SCOPED_TRACE(g);
    fitted += Estimate(y, e, settings[g % 8])[Fit] == 1;
  }
  EXPECT_GT(fitted, 130) << fitted;  // both outcomes well represented
  EXPECT_LT(fitted, 510) << fitted;
}

// The sample's fit with Eps below 0 at limits before and in its cycle, and
// at two billion steps, out of the full loop's reach.
TEST(EstimatorTest, RepeatingFitEndsAsTheFullLoopWould) {
  const auto [scotY, scotE] = Scotland();
  for (const int32_t limit : {5, 6, 7, 1000, 1001, 12345}) Estimate(scotY, scotE, {.Eps = -1, .IterationLimit = limit});

  // Two billion steps are out of the full loop's reach, but its end is not:
  // from the full loop's own iterates, where the sample's fit starts to
  // repeat (after mu steps, every lambda steps); at the limit it stands where
  // it stood at the limit's place in the cycle.
  reference::GroupWorkspace w;
  w.RegionCount = int(scotY.size()), w.Data1 = scotY, w.Data2 = scotE;
  std::vector<std::pair<double, double>> iterates;
  reference::EstimateGroup(w, {.Eps = -1, .IterationLimit = 3000}, &iterates);
  std::map<std::pair<double, double>, int> seen;
  int mu = -1, lambda = 0;
  for (int k = 0; k < int(iterates.size()) && mu < 0; ++k) {
    if (const auto at = seen.find(iterates[k]); at != seen.end()) mu = at->second, lambda = k - at->second;
    seen.emplace(iterates[k], k);
  }
  ASSERT_GE(mu, 0) << "the sample's fit repeats within 3000 steps";
  const int32_t limit = 2000000000;
  const int32_t place = mu + 1 + lambda + int32_t((limit - (mu + 1 + lambda)) % lambda);
  reference::GroupWorkspace atPlace = w;
  reference::EstimateGroup(atPlace, {.Eps = -1, .IterationLimit = place});
  atPlace.Iterations = limit;
  EstimatorScratch scratch;
  const GroupEstimate estimate = EstimateGroup({scotY, scotE}, {.Eps = -1, .IterationLimit = limit}, scratch);
  const std::vector<double> got = Results(estimate.Result, estimate.Members), want = Results(atPlace, atPlace);
  for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(std::bit_cast<uint64_t>(got[k]), std::bit_cast<uint64_t>(want[k])) << k;
}
