// tarnek-check-posterior: the posterior summaries of the cases on standard
// input, for bench/check_posterior.py to compare with mpmath. Not part of the
// test suite.
//
// Input lines: "y e prior_shape prior_rate level exceed" (decimal or hex
// floats); output lines: "sd median lower upper p_exceed" in hex floats.
#include <cstdio>
#include <cstdlib>

#include "estimation/posterior.h"

int main() {
  long y = 0;
  double e = 0, shape = 0, rate = 0, level = 0, exceed = 0;
  while (std::scanf("%ld %lf %lf %lf %lf %lf", &y, &e, &shape, &rate, &level, &exceed) == 6) {
    const tarnek::PosteriorSummary s = tarnek::SummarizePosterior(static_cast<int32_t>(y), e, tarnek::GammaPriorOf(shape, rate),
                                                                  {.Level = level, .Exceed = exceed});
    std::printf("%a %a %a %a %a\n", s.Sd, s.Median, s.Lower, s.Upper, s.PExceed);
  }
  return 0;
}
