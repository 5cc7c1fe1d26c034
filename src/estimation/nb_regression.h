// Poisson-Gamma regression: the prior of every region from its covariates,
// fitted to one group of records by maximum likelihood.
//
// The model: record i has count y_i, Poisson with mean E_i theta_i; theta_i
// follows a Gamma distribution with shape b and rate b/mu_i, and
// log mu_i = x_i' beta, x_i being 1 (the intercept) and the record's k
// covariates. So E[theta_i] = mu_i, Var[theta_i] = mu_i^2/b, and y_i is
// negative binomial (NB2) with mean m_i = E_i mu_i and size b: the model of
// MASS::glm.nb(y ~ x + offset(log(E))), b being its theta. Without
// covariates it is the estimator's model, b = Beta and mu = Beta/Alpha.
//
// The fit. Covariates are centred and scaled within the group (reported on
// their own scale). First the separation check: where some direction d of
// the coefficients has x_i' d = 0 for every record with a count and
// x_i' d <= 0 for every one without (not all 0), the likelihood rises along
// d for ever and has no maximum (IterationLimit); without one it has a
// maximum, at b finite or at the boundary (an exact test: the null space of
// the rows with counts, and the edges of the cone it leaves the others).
// Then the Poisson regression (b infinite), by Newton's method from the
// overall ratio. Then Newton's method on (beta, log b) jointly with the
// observed information, from the best of these points: the given start
// (RegressionStart: its b with the Poisson regression's coefficients, and
// with its intercept and every slope 0, the maximum of the model without
// covariates, so that the fit never ends below that model); where
// S = sum of ((y_i - m_i)^2 - y_i) at the Poisson fit is above 0 (but for a
// started fit without covariates), the moment estimate b = sum of m_i^2 / S;
// where S <= 0 and none of these lies above the Poisson regression, the
// profile likelihood (the coefficients fitted to b by Newton's method) at
// b = 4^6, 4^5, ... 4^-2. Where the likelihood is not concave the
// coefficients take their Newton step with b fixed and log b a step of at
// most 1 along its score. Every step is halved until the likelihood does not
// fall. The maximum so found is the fit where its likelihood exceeds the
// Poisson regression's; otherwise the Poisson regression is: the boundary,
// b -> infinity, where every region's prior is the point at its mu_i.
// (Where S > 0 the likelihood rises from the boundary into finite b, so
// that a maximum there exists; where S <= 0 it falls at first, but may rise
// again to a higher maximum, which the profile's scan finds unless it is
// narrower in log b than the scan's steps. Against an independent
// maximisation of the profile likelihood on 1,000 random groups, to 1e-9
// relative: nb_regression_test.) A stage ends when the Newton
// decrement g'(-H)^-1 g is at most 1e-26 of |log-likelihood| where the
// likelihood is concave, which puts it at the maximum far below 1e-10
// relative; from 2e-10 on, steps are no longer halved, since they gain less
// than the likelihood's rounding error.
//
// Standard errors as summary(glm.nb(...)) gives them: for beta from the
// Fisher information with b fixed, X'WX with W_i = m_i/(1 + m_i/b) (m_i at
// the boundary); for b glm.nb's SE.theta, 1/sqrt of the observed information
// in b with the means fixed.
//
// Numerics. Double arithmetic; exp and log from the C library, digamma and
// trigamma of arguments beyond small counts from Boost.Math in double
// (boost_policy.h); the log-likelihood is the sum of negbin_terms.h, every
// constant included (in the Poisson stage y log m - m less log y!, where its
// rounding stays below 1e-14 of it). The linear algebra is a Cholesky
// factorisation of matrices of order k + 2 written here, with a check of
// every pivot. Against MASS::glm.nb (R 4.2.2, MASS 7.3-58.2) on the North
// Carolina SIDS data the coefficients, b, the standard errors and the
// log-likelihood agree to 1e-7 relative (the tolerance of glm.nb), and to
// 1e-10 with the maximum polished in R (tests/check/covariates_against_mass.R,
// nb_regression_test). (glm.nb takes SE.theta one Newton step of theta before
// its end, which elsewhere leaves it off by up to about 1e-5.) A value that
// does not exist is a NaN; every other value is finite, but the shape at the
// boundary, which is +infinity.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace tarnek {

// How a regression ended.
enum class RegressionEnd {
  Converged,        // at the maximum, b finite
  Boundary,         // the maximum is the Poisson regression: b infinite
  IterationLimit,   // no maximum: the covariates separate the zero counts (the header), or none reached:
                    // 100 Newton steps in a stage, or no step raised the likelihood
  NotIdentifiable,  // fewer records than coefficients, a covariate constant within the group, or
                    // covariates collinear (a pivot of their scaled cross products below 1e-11)
  NoCounts,         // every count is 0: the means have no maximum above 0
};

// A group's records for the regression, in one order throughout.
struct RegressionData {
  std::span<const int32_t> Counts;    // y, >= 0
  std::span<const double> Expected;   // E, finite and > 0
  std::span<const std::span<const double>> Covariates;  // k columns of finite values, each as many as Counts
};

// The fit. Estimate and StandardError hold the intercept and then one
// coefficient per covariate, on the covariate's own scale; NaN where the fit
// has none (every end but Converged and Boundary).
struct RegressionFit {
  RegressionEnd End = RegressionEnd::NotIdentifiable;
  std::vector<double> Estimate;
  std::vector<double> StandardError;
  double Shape;    // b; +infinity at the boundary
  double ShapeSe;  // NaN at the boundary, or where the information in b is not positive
  double LogLik;   // sum of log NegBin(y_i | m_i, b) (log Poisson at the boundary), every constant included
  int32_t Iterations = 0;  // Newton steps, both stages
};

// Where a fit may start: a shape above 0 starts b in the second stage
// instead of the moment estimate; with it, a finite intercept (every slope
// 0) too. The fit without covariates has its maximum near the estimator's;
// the fit with them starts from the maximum of the one without, and so
// ends no lower. NaN: not given.
struct RegressionStart {
  double Intercept = std::numeric_limits<double>::quiet_NaN();
  double Shape = std::numeric_limits<double>::quiet_NaN();
};

// Storage the fit works in; a caller may keep one for every group it fits,
// so that nothing is allocated group after group.
struct RegressionWork;
struct RegressionScratch {
  RegressionScratch();
  ~RegressionScratch();
  RegressionScratch(RegressionScratch&&) noexcept;
  RegressionScratch& operator=(RegressionScratch&&) noexcept;
  std::unique_ptr<RegressionWork> Work;
};

// Fits the regression to `data`, and writes every record's prior mean mu_i
// (NaN where the fit has none) to `means`, which holds as many entries as
// there are records. `start` changes the way, not the maximum.
// Preconditions: at least one record.
RegressionFit FitNegBinRegression(const RegressionData& data, std::span<double> means, RegressionScratch& scratch,
                                  const RegressionStart& start = {});

// The tests on a fit: the upper tail of the chi-square distribution with
// `df` > 0 degrees of freedom at x >= 0 (Boost.Math in double), and the
// two-sided normal probability of |Z| >= |z|, erfc(|z|/sqrt(2)); each NaN
// where its argument is not a finite number.
double ChiSquareUpperTail(double x, double df);
double TwoSidedNormalP(double z);

}  // namespace tarnek
