"""When the closed e-BH check finds every violation: a sufficient condition, in exact arithmetic.

The check of size r at alpha (off = m - r outside values, d = fl(1 / fl(alpha r)))
searches each row i_in = i over i_out = j in 0 ... off by halving, comparing the
rounded targets t(j), t(j + 1) of two neighbours and dropping the side the larger
one points away from. With the doubles c of the running sums and A = fl(c[off + i]
- c[off]), the target without rounding is V(j) = A + c[j] - i (i + j) d; its
increments are g[j] - i d with g[j] = c[j + 1] - c[j] (exact). Three roundings
separate t(j) from V(j): |t(j) - V(j)| <= (2u + u^2) K = E with u = 2^-53 and
K = A + c[off] + i (i + off) d, every term non-negative and largest at j = off.

When g is non-decreasing on 0 ... off - 1, V is convex, and a violation
t(j) < -1e-12 on a dropped side needs two neighbouring increments within 2E of
zero. Dropping the left side after t(mid) > t(mid + 1): V(mid + 1) - V(mid) < 2E.
A dropped j < mid violating has V(j) < t(j) + E < t(mid) + E <= V(mid) + 2E,
which convexity allows only if the increment at mid - 1 is at least -2E; it is
at most the one at mid, so both lie in [-2E, 2E). Dropping the right side after
t(mid) <= t(mid + 1) is the mirror case (increments at mid and mid + 1). So a row
without two neighbouring outside increments within 2E of zero (a near tie of
outside e-values close to i / (alpha r)) is searched exactly: its search finds a
violation whenever one exists. A check whose rows are all exact passes exactly
when no pair violates, and that is monotone in alpha (every rounded target is).
"""

from bisect import bisect_left, bisect_right
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


def increments(sums):
    """g[j] = c[j + 1] - c[j], exact."""
    return [Fraction(b) - Fraction(a) for a, b in zip(sums, sums[1:], strict=False)]


def convex_up_to(steps):
    """The largest n such that steps[0 : n] is non-decreasing."""
    for j in range(1, len(steps)):
        if steps[j] < steps[j - 1]:
            return j
    return len(steps)


def search_is_exact(sums, steps, convex, r, alpha):
    """Whether every row's search of the check of size r at alpha finds a violation when one exists.
    `steps` = increments(sums), `convex` = convex_up_to(steps)."""
    m = len(sums) - 1
    off = m - r
    if r == 0 or off <= 1:
        return True  # at most two outside positions: the search tests them all
    if convex < off:
        return False
    d = Fraction(1.0 / (alpha * r))
    outside = steps[:off]
    for i in range(1, r + 1):
        inside = sums[off + i] - sums[off]
        slack = (2 * UNIT + UNIT * UNIT) * (Fraction(inside) + Fraction(sums[off]) + i * (i + off) * d)
        centre = i * d
        near = bisect_right(outside, centre + 2 * slack) - bisect_left(outside, centre - 2 * slack)
        if near >= 2:
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
