#!/usr/bin/env python3
"""The posterior summaries against 40-digit references, on random cases.

usage: bench/check_posterior.py [CASES [SEED]]   (default 600 cases, seed 1)

Draws CASES deterministic cases (counts 0 .. 2^31 - 1, expected counts 1e-6 ..
1e9, prior shapes 1e-2 .. 1e6 and rates to match, levels from 1e-6 to
1 - 1e-9, thresholds near the posterior mean and far from it), has
tarnek-check-posterior (build-bench, built on demand) compute them, and
computes each value with mpmath at 40 digits: the Gamma tails with mpmath's
gammainc for shapes below 1000, and from 1000 on (where its series stop
converging) within |eta| <= 1 of the mean with Temme's expansion in exact
rationals (posterior_temme.py: truncation below 1e-30 there), beyond with the
series for P or Legendre's fraction for Q summed at 40 digits; the quantiles
as the roots of those tails (Newton steps in ln x from the program's value).
Prints the largest relative error of each value and where it lies, the cases
beyond 1e-12 (results in the subnormal range apart), and exits 1 if there is
one.
Needs python3-mpmath and python3-sympy. About a second a case.
"""
import math
import os
import random
import subprocess
import sys

from mpmath import mp, mpf, gammainc, erfc, exp, sqrt, log, pi, loggamma

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src", "estimation"))
import posterior_temme  # noqa: E402

mp.dps = 40
COEFFICIENTS, _ = posterior_temme.coefficients()
LARGE = 1000


def temme(a, x):
    """(P, Q) by Temme's expansion, each from its own erfc (no cancellation)."""
    lam = x / a
    eta = sqrt(2 * (lam - 1 - log(lam))) * (1 if lam > 1 else -1)
    s = sum(sum(mpf(c.numerator) / c.denominator * eta ** n for n, c in enumerate(ck)) / a ** k
            for k, ck in enumerate(COEFFICIENTS))
    r = exp(-a * eta ** 2 / 2) / sqrt(2 * pi * a) * s
    return erfc(-eta * sqrt(a / 2)) / 2 - r, erfc(eta * sqrt(a / 2)) / 2 + r


def far_tail(a, x):
    """The smaller tail far from the mean: the series for P below (terms
    falling at least as x/(a + 1)), Legendre's fraction for Q above (Lentz), at
    40 digits; returns (P, Q)."""
    prefix = exp(a * log(x) - x - loggamma(a + 1))
    if x < a:
        term = total = mpf(1)
        n = 0
        while term > total * mpf(10) ** -45:
            n += 1
            term *= x / (a + n)
            total += term
        p = prefix * total
        return p, 1 - p
    tiny = mpf(10) ** -300
    b = x + 1 - a
    c, d = 1 / tiny, 1 / b
    f = d
    n = 0
    while True:
        n += 1
        an = -n * (n - a)
        b += 2
        d = an * d + b
        c = b + an / c
        d = 1 / d
        f *= d * c
        if abs(d * c - 1) < mpf(10) ** -45:
            break
    q = prefix * a * f
    return 1 - q, q


def tails(a, x):
    if a < LARGE:
        return gammainc(a, 0, x, regularized=True), gammainc(a, x, mp.inf, regularized=True)
    lam = x / a
    if 2 * (lam - 1 - log(lam)) <= 1:  # |eta| <= 1
        return temme(a, x)
    return far_tail(a, x)


def upper(a, x):
    return tails(a, x)[1]


def lower(a, x):
    return tails(a, x)[0]


def quantile(a, p, start, upper_tail):
    """x with P(a, x) = p (Q(a, x) = p), by Newton steps on ln P - ln p in ln x
    (at most a factor e^2 each) from `start`, or from the mean where the tail
    at `start` is 0 or 1 to 40 digits."""
    x = mpf(start)
    lg = loggamma(a)

    def tail(x):
        return upper(a, x) if upper_tail else lower(a, x)

    if not (x > 0) or not (0 < tail(x) < 1):
        x = mpf(a)
    for _ in range(200):
        t = tail(x)
        slope = x * exp((a - 1) * log(x) - x - lg) / t * (-1 if upper_tail else 1)
        step = (log(t) - log(p)) / slope
        step = max(min(step, mpf(2)), mpf(-2))
        x = x * exp(-step)
        if abs(step) < mpf(10) ** -36:
            return x
    raise ArithmeticError("no root near %s" % start)


def cases(n, seed):
    rng = random.Random(seed)
    levels = [0.5, 0.9, 0.95, 0.99, 0.999999, 1e-6, 1 - 1e-9]
    for i in range(n):
        kind = i % 4
        y = [0, rng.randint(1, 30), rng.randint(30, 100000), rng.randint(100000, 2**31 - 1)][kind]
        e = math.exp(rng.uniform(math.log(1e-6), math.log(1e9)))
        shape = math.exp(rng.uniform(math.log(1e-2), math.log(1e6)))
        mean = math.exp(rng.uniform(math.log(0.1), math.log(10)))
        rate = shape / mean
        level = levels[i % len(levels)]
        a, r = y + shape, rate + e
        if i % 3:
            exceed = (a / r) * (1 + rng.uniform(-4, 4) / math.sqrt(a))  # near the mean
            if exceed <= 0:
                exceed = a / r / 2
        else:
            exceed = (a / r) * math.exp(rng.uniform(-2, 2))  # anywhere
        yield y, e, shape, rate, level, exceed


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 600
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    build = os.path.join(ROOT, "build-bench")
    subprocess.run(["cmake", "--build", build, "--target", "tarnek-check-posterior"], check=True,
                   stdout=subprocess.DEVNULL)
    todo = list(cases(n, seed))
    text = "".join("%d %r %r %r %r %r\n" % c for c in todo)
    out = subprocess.run([os.path.join(build, "tarnek-check-posterior")], input=text, capture_output=True,
                         text=True, check=True).stdout.split("\n")
    names = ["sd", "median", "lower", "upper", "p_exceed"]
    worst = dict.fromkeys(names, 0.0)
    where = {}
    bad = 0
    for (y, e, shape, rate, level, exceed), line in zip(todo, out):
        got = [float.fromhex(v) for v in line.split()]
        a = mpf(y) + mpf(shape)  # as the program forms them: y + s and r + E in double
        a = mpf(float(a))
        r = mpf(float(mpf(rate) + mpf(e)))
        tail = mpf((1 - level) / 2)
        x_median = quantile(a, mpf(0.5), mpf(got[1]) * r, False)
        tiny = mpf(2.2250738585072014e-308) * r
        if got[2] == 0 and lower(a, tiny) > tail:
            x_lower = None  # the quantile lies below the doubles' range: 0 is right
        else:
            x_lower = quantile(a, tail, mpf(got[2]) * r, False) if tail > 0 else None
        x_upper = quantile(a, tail, mpf(got[3]) * r, True)
        want = [sqrt(a) / r, x_median / r, x_lower / r if x_lower is not None else None, x_upper / r,
                upper(a, mpf(float(mpf(exceed) * r)))]
        for name, g, w in zip(names, got, want):
            if w is None or math.isnan(g):
                continue
            if abs(w) < mpf(2.2250738585072014e-308):
                continue  # the subnormal range
            err = float(abs(mpf(g) / w - 1))
            if err > worst[name]:
                worst[name] = err
                where[name] = "y %d e %r shape %r rate %r level %r exceed %r: %s = %s" % (
                    y, e, shape, rate, level, exceed, name, mp.nstr(w, 6))
            if err > 1e-12:
                bad += 1
                print("BEYOND 1e-12: %s %.1e  y %d e %r shape %r rate %r level %r exceed %r" %
                      (name, err, y, e, shape, rate, level, exceed))
    print("%d cases: " % n + ", ".join("%s %.1e" % (k, v) for k, v in worst.items()))
    for k in names:
        if k in where:
            print("  worst %s at %s" % (k, where[k]))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
