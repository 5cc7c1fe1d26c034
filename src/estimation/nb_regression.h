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
// their own scale). First the Poisson regression (b infinite), by Newton's
// method from the overall ratio; it is the maximum when
// S = sum of ((y_i - m_i)^2 - y_i) <= 0 at it (the score of 1/b there, the
// test of extra-Poisson variation): the boundary, b -> infinity, where every
// region's prior is the point at its mu_i. Otherwise Newton's method on
// (beta, log b) jointly with the observed information (damped where it is
// not positive definite), from the Poisson regression and the moment
// estimate b = sum of m_i^2 / S. Every step is halved until the likelihood
// does not fall. It ends when the Newton decrement g'(-H)^-1 g is at most
// 1e-20 of |log-likelihood| (the maximum to far below 1e-10 relative), or when
// a step that would gain at most 1e-10 of it gains nothing.
//
// Standard errors as summary(glm.nb(...)) gives them: for beta from the
// Fisher information with b fixed, X'WX with W_i = m_i/(1 + m_i/b) (m_i at
// the boundary); for b glm.nb's SE.theta, 1/sqrt of the observed information
// in b with the means fixed.
//
// Numerics. Double arithmetic; exp and log from the C library, digamma and
// trigamma of arguments beyond small counts from Boost.Math in double
// (boost_policy.h); the log-likelihood is the sum of negbin_terms.h, every
// constant included. The linear algebra is a Cholesky factorisation of
// matrices of order k + 2 written here, with a check of every pivot. Against
// MASS::glm.nb (R 4.2.2, MASS 7.3-58.2) on the North Carolina SIDS data the
// coefficients, b and the log-likelihood agree to 1e-7 relative (the
// tolerance of glm.nb), and to 1e-10 with the maximum polished in R
// (tests/check/covariates_against_mass.R, nb_regression_test). A value
// that does not exist is a NaN; every other value is finite, but the shape
// at the boundary, which is +infinity.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarnek {

// How a regression ended.
enum class RegressionEnd {
  Converged,        // at the maximum, b finite
  Boundary,         // the maximum is the Poisson regression: b infinite
  IterationLimit,   // 100 Newton steps in a stage, or no step raised the likelihood, before the maximum
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

// Storage the fit works in; a caller may keep one for every group it fits.
struct RegressionScratch {
  std::vector<double> Scaled;      // the scaled covariates, column after column
  std::vector<double> Offsets;     // log E_i
  std::vector<double> CountTerms;  // the log-likelihood's terms of the counts alone
  std::vector<double> Means[2];    // m_i at the current point and at a trial one
};

// Fits the regression to `data`, and writes every record's prior mean mu_i
// (NaN where the fit has none) to `means`, which holds as many entries as
// there are records. Preconditions: at least one record.
RegressionFit FitNegBinRegression(const RegressionData& data, std::span<double> means, RegressionScratch& scratch);

// The tests on a fit: the upper tail of the chi-square distribution with
// `df` > 0 degrees of freedom at x >= 0 (Boost.Math in double), and the
// two-sided normal probability of |Z| >= |z|, erfc(|z|/sqrt(2)); each NaN
// where its argument is not a finite number.
double ChiSquareUpperTail(double x, double df);
double TwoSidedNormalP(double z);

}  // namespace tarnek
