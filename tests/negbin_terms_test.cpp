// The log-likelihood terms against independent computations: log NegBin and
// log Poisson from long double log-Gamma where no large values cancel, and
// the series of bd0 by Horner's rule against its loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "estimation/negbin_terms.h"
#include "sample_data.h"

using namespace tarnek;
using testdata::Near;

TEST(NegBinTermsTest, LogPmfsAsLogGammaGivesThem) {
  // Counts and sizes below 1e4: log Gamma in long double (64-bit mantissa)
  // loses nothing that matters at 1e-13 there.
  for (const int32_t y : {0, 1, 2, 7, 10, 33, 250, 4000}) {
    for (const double m : {0.01, 0.9, 3.5, 41.0, 900.0}) {
      const long double poisson = y * std::log(static_cast<long double>(m)) - m - std::lgamma(y + 1.0L);
      EXPECT_TRUE(Near(PoissonLogPmf(y, m, CountTerm(y)), poisson, 1e-13)) << y << " " << m;
      for (const double b : {0.05, 1.0, 2.5, 17.0, 300.0, 5000.0}) {
        const long double q = static_cast<long double>(b) + m;
        const long double negBin = std::lgamma(y + static_cast<long double>(b)) - std::lgamma(static_cast<long double>(b)) -
                                   std::lgamma(y + 1.0L) + b * std::log(b / q) + y * std::log(m / q);
        EXPECT_TRUE(Near(NegBinLogPmf(y, m, b, CountTerm(y), StirlingRemainder(b)), negBin, 1e-12))
            << y << " " << m << " " << b;
      }
    }
  }
}

TEST(NegBinTermsTest, HornersSeriesIsTheLoopsToAFewUlps) {
  // Ratios x/m across the series' range (|x - m| < 0.1 (x + m)) and beyond it.
  for (const double m : {1e-6, 0.37, 1.0, 12.5, 1e5, 2147483647.0}) {
    for (const double ratio : {1.0, 1.0 + 1e-12, 1.0 + 3e-8, 0.9999, 1.003, 1.05, 0.84, 1.2, 1.22, 3.0, 0.01}) {
      const double x = m * ratio;
      const double loop = Bd0(x, m);
      EXPECT_LE(std::fabs(Bd0Horner(x, m) - loop), 8e-16 * loop + 1e-300) << x << " " << m;
    }
  }
}
