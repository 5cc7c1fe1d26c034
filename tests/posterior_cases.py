#!/usr/bin/env python3
"""Prints the reference rows of PosteriorTest.EveryPathAgainstMpmath: for each
case (y, E, prior rate a, prior shape b, level, exceed) the posterior sd,
median, lower and upper quantiles and p_exceed of Gamma(y + b, a + E), at 40
digits with mpmath (its gammainc below shape 1000; from there Temme's
expansion in exact rationals near the mean and the series or the continued
fraction summed at 40 digits beyond: bench/check_posterior.py's tails). The
shape, rate and threshold are taken as the doubles the program forms. The
quantiles are roots of those tails, by bisection and Newton steps in ln x.
Run: python3 tests/posterior_cases.py (mpmath 1.3.0 printed the rows kept).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
sys.argv = sys.argv[:1]
from check_posterior import tails, quantile  # noqa: E402
from mpmath import mp, mpf, sqrt, log, exp  # noqa: E402

mp.dps = 40

# y, E, a (rate), b (shape), level, exceed; the path each one takes is named.
CASES = [
    (2, 1.0, 0.5, 1.5, 0.95, 2.5, "a = 3.5: series below and up to a + 1.6 sqrt(a), fraction above"),
    (0, 0.2, 2.0, 1.05, 0.95, 0.1, "a = 1.05, near the smallest served shape"),
    (5, 3.0, 1.0, 1.2, 0.999999, 4.0, "a = 6.2, level 0.999999: fraction for the upper tail"),
    (9, 2.0, 0.25, 4.5, 0.9, 3.2, "a = 13.5: series below, Temme above"),
    (12, 4.0, 1.5, 6.0, 1e-6, 2.0, "a = 18, level 1e-6: three quantiles at the median"),
    (40, 25.0, 2.0, 3.0, 0.95, 1.5, "a = 43: Temme on both sides"),
    (60, 30.0, 1.0, 2.0, 0.95, 0.7, "a = 62: Temme below the mean for p_exceed"),
    (150, 100.0, 0.5, 1.25, 0.999999, 3.0, "a = 151.25: the series far below, the fraction far above"),
    (3000, 2500.0, 5.0, 7.0, 0.95, 1.3, "a = 3007: p_exceed near 5e-6 by Temme"),
    (3000, 2500.0, 5.0, 7.0, 0.95, 2.0, "a = 3007: p_exceed near 1e-200, fraction"),
    (2147483647, 2147483647.0, 1.0, 1.0, 0.95, 1.0002, "a = 2^31: Temme with two terms, p_exceed near 1e-20"),
    (2147483647, 1e9, 0.5, 2.5, 0.999999, 2.0, "a = 2^31: far below the mean, p_exceed 1"),
    (0, 1e-6, 3.0, 0.4, 0.95, 0.2, "a = 0.4: Boost below the served shapes"),
]


def main():
    for y, e, rate_a, shape_b, level, exceed, what in CASES:
        a = mpf(float(mpf(y) + mpf(shape_b)))
        r = mpf(float(mpf(rate_a) + mpf(e)))
        tail = mpf((1 - level) / 2)
        start = float(a)
        values = [sqrt(a) / r,
                  quantile(a, mpf(0.5), mpf(start), False) / r,
                  quantile(a, tail, mpf(start), False) / r,
                  quantile(a, tail, mpf(start), True) / r,
                  tails(a, mpf(float(mpf(exceed) * r)))[1]]
        print("      // %s" % what)
        print("      {%d, %r, %r, %r, %r, %r, %s}," % (y, e, rate_a, shape_b, level, exceed,
                                                     ", ".join(mp.nstr(v, 20, strip_zeros=False) for v in values)))


if __name__ == "__main__":
    main()
