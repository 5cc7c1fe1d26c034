#!/usr/bin/env python3
"""Expected values for natural_log_test.cpp: ln x correctly rounded to the
64-bit mantissa (ties to even), from Python's decimal module, whose ln is
correctly rounded at the precision set (here 200 digits, far more than the
closest case needs). Arguments and results are C++ hexadecimal long double
literals, as printf's %La writes them.

usage: python3 natural_log_cases.py 0x8.00000000007aep-3 ...   (or no
arguments for the near-1 family 1 + k 2^-63 whose ln lies near a midpoint)
"""
from decimal import Decimal, getcontext
from fractions import Fraction
import re
import sys

getcontext().prec = 200


def parse(text):
    m = re.fullmatch(r"0x([0-9a-f]+)(?:\.([0-9a-f]*))?p([+-]?\d+)L?", text.strip().lower())
    whole, frac, exp = m.group(1), m.group(2) or "", int(m.group(3))
    return Fraction(int(whole + frac, 16), 16 ** len(frac)) * Fraction(2) ** exp


def round64(f):
    """(mantissa, exponent, distance of f from the nearest midpoint in ulps)."""
    k = f.numerator.bit_length() - f.denominator.bit_length()
    if Fraction(2) ** k > f:
        k -= 1
    scaled = f / Fraction(2) ** (k - 63)  # in [2^63, 2^64)
    q, r = divmod(scaled.numerator, scaled.denominator)
    rem = Fraction(r, scaled.denominator)
    distance = abs(rem - Fraction(1, 2))
    if rem > Fraction(1, 2) or (rem == Fraction(1, 2) and q % 2):
        q += 1
    if q == 2 ** 64:
        q, k = q // 2, k + 1
    return q, k - 63, distance


def ln_rounded(x):
    if x == 1:
        return "0.0L", 0.5
    lnx = Fraction((Decimal(x.numerator) / Decimal(x.denominator)).ln())
    q, e, distance = round64(lnx)
    assert distance > Fraction(1, 10 ** 100), "too close to decide at this precision"
    return "0x%016xp%dL" % (q, e), float(distance)


def literal(x):
    k = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** k > x:
        k -= 1
    m = x / Fraction(2) ** (k - 63)
    assert m.denominator == 1
    return "0x%016xp%dL" % (m.numerator, k - 63)


args = sys.argv[1:]
if args:
    xs = [parse(a) for a in args]
else:
    xs = [1 + Fraction(k, 2 ** 63) for k in range(1, 4097)]
rows = []
for x in xs:
    y, distance = ln_rounded(x)
    rows.append((distance, literal(x), y))
if not args:
    rows.sort()
    rows = rows[:12]
for distance, x, y in rows:
    print("      {%s, %s},  // %.2e ulp from a midpoint" % (x, y, distance))
