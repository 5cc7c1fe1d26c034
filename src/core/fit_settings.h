// What the estimator is told by the command line, and how a result that does
// not exist is written.
#pragma once

#include <cstdint>

namespace tarnek {

// The settings of the Newton-Raphson fit, read-only once the command line
// has been parsed.
struct FitSettings {
  double Eps = 0.00001;         // error tolerance: both steps at most Eps means converged
  int32_t IterationLimit = 20;  // at most this many Newton-Raphson steps
  double AlphaOption = -1.0;    // starting Alpha when > 0, else the moment estimate
  double BetaOption = -1.0;     // starting Beta when > 0, else the moment estimate
};

// Marks a result that does not exist (a failed fit, a group without moment
// estimates). Readers test it by exact comparison; the reports print "***".
inline constexpr double NoEstimate = -9999.0;

}  // namespace tarnek
