"""When the closed e-BH check finds every violation: a sufficient condition, in exact arithmetic.

The check of size r at alpha (off = m - r outside values, d = fl(1 / fl(alpha r)))
searches each row i_in = i over i_out = j in 0 ... off by halving, comparing the
rounded targets t(j), t(j + 1) of two neighbours and dropping the side the larger
one points away from. With the doubles c of the running sums and A = fl(c[off + i]
- c[off]), the target without rounding is V(j) = A + c[j] - i (i + j) d; its
increments are g[j] - i d with g[j] = c[j + 1] - c[j] (exact). Three roundings
separate t(j) from V(j): |t(j) - V(j)| <= (2u + u^2) K = E with u = 2^-53 and
K = A + c[off] + i (i + off) d, every term non-negative and largest at j = off.

Rounded running sums of ascending values may let g fall by a rounding here and
there; let D be the largest fall, max of g[k] - g[l] over k < l < off (0 when g
is non-decreasing). Dropping the left side after t(mid) > t(mid + 1):
V(mid + 1) - V(mid) < 2E, so the increment at mid is below 2E. A dropped
j < mid violating has V(j) <= t(j) + E < t(mid) + E <= V(mid) + 2E, so some
increment at k in j ... mid - 1 is above -2E (were all at most -2E, V(j) -
V(mid) would be at least 2E). Every increment from k to mid is then above
-2E - D and below 2E + D, in particular those at mid - 1 and mid. Dropping the
right side after t(mid) <= t(mid + 1) is the mirror case (the increment at mid
is at least -2E; those at mid and mid + 1). So a row without two neighbouring
outside increments within 2E + D of zero (a near tie of outside e-values close
to i / (alpha r)) is searched exactly: its search finds a violation whenever
one exists. A check whose rows are all exact passes exactly when no pair
violates, and that is monotone in alpha (every rounded target is); a warm start
cannot change whether it passes.
"""

from bisect import bisect_left, bisect_right
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

TOLERANCE = 1e-12
UNIT = Fraction(1, 2**53)


def running_sums(ascending):
    """The running sums as the core adds them, one value at a time: 0, e0, e0 + e1, ..."""
    sums = [0.0]
    for value in ascending:
        sums.append(sums[-1] + float(value))
    return sums


@dataclass(frozen=True)
class Profile:
    """The running sums c of ascending e-values, their increments g (exact), the running maxima of g,
    and falls[n] = D over the first n increments: the largest g[k] - g[l], k < l < n, or 0."""

    sums: list
    steps: list
    maxima: list
    falls: list


def profile_of(ascending):
    sums = running_sums(ascending)
    steps = [Fraction(b) - Fraction(a) for a, b in zip(sums, sums[1:], strict=False)]
    maxima, falls = [], [Fraction(0)]
    for step in steps:
        maxima.append(step if not maxima or step > maxima[-1] else maxima[-1])
        falls.append(max(falls[-1], maxima[-1] - step))
    return Profile(sums, steps, maxima, falls)


def search_is_exact(profile, r, alpha):
    """Whether every row's search of the check of size r at alpha finds a violation when one exists."""
    sums, steps, maxima = profile.sums, profile.steps, profile.maxima
    m = len(sums) - 1
    off = m - r
    if r == 0 or off <= 1:
        return True  # no rows, or at most two outside positions: the search tests them all
    d = Fraction(1.0 / (alpha * r))
    fall = profile.falls[off]
    for i in range(1, r + 1):
        inside = sums[off + i] - sums[off]
        slack = (2 * UNIT + UNIT * UNIT) * (Fraction(inside) + Fraction(sums[off]) + i * (i + off) * d)
        lo, hi = i * d - 2 * slack - fall, i * d + 2 * slack + fall
        # g[j] in (lo, hi) needs maxima[j] > lo (it is at least g[j]) and maxima[j] < hi + fall
        # (g[j] is at least maxima[j] - fall); the maxima are ordered.
        first = bisect_right(maxima, lo, 0, off)
        last = bisect_left(maxima, hi + fall, 0, off)
        inside_band = [lo < steps[j] < hi for j in range(first, last)]
        if any(a and b for a, b in zip(inside_band, inside_band[1:], strict=False)):
            return False
    return True


def exhaustive_passes(sums, r, alpha):
    """The check of size r with every pair evaluated, in the core's order of operations."""
    m = len(sums) - 1
    off = m - r
    cum = np.asarray(sums)
    i = np.arange(1, r + 1)[:, None]
    j = np.arange(0, off + 1)[None, :]
    with np.errstate(invalid="ignore"):
        targets = ((cum[off + i] - cum[off]) + cum[j]) - (i * (i + j)).astype(np.float64) * (1.0 / (alpha * r))
    return not bool((targets < -TOLERANCE).any())


def exhaustive_count(sums, alpha, largest=None):
    """The largest size whose every pair passes: monotone in alpha, and at most the literal count
    (a check that passes every pair passes whatever its search), which may be given as `largest`."""
    top = len(sums) - 1 if largest is None else largest
    return next((r for r in range(top, 0, -1) if exhaustive_passes(sums, r, alpha)), 0)
