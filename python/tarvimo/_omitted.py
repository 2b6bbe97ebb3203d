"""Bounds beyond which an omitted hypothesis cannot change a decision.

A family given in part (``m`` larger than the number of values) counts each
omitted hypothesis as p = 1 or e = 0. That is exact whenever the omitted
values lie beyond these bounds, whatever m is; a pipeline may drop such
values before the call and pass m instead.

P-values. Let B = alpha + 1e-10 as a double sum and v > B an omitted value.
- BY: the step-up test at rank k <= m is ((v * m H_m) / k) - alpha <= 1e-10.
  Its left side grows with v and falls with k, so v passes at some rank only
  if it passes at k = m, where the quotient is v H_m up to rounding. For
  m = 1 it is exactly v - alpha, and v >= next double above B makes it
  exceed 1e-10 (v - alpha is at least 1e-10 plus half an ulp of B, and the
  subtraction rounds monotonically); for m >= 2, H_m >= 1.5 gives a margin
  of v / 2 > 5e-11, far above the rounding. A value that passes at no rank
  changes no count: larger values pass at no rank either, and smaller ones
  keep their ranks. So v and 1 give the same count.
- Closed BY: with H_s >= H_1 = 1, v * H_s >= v > B at every size s, so v is
  beyond the cut-off (p H_s > alpha + 1e-10) and its BY e-value is 0, as that
  of p = 1. A candidate set holding v fails at size 1: its largest p-value
  is beyond alpha + 1e-10, so its e-value is 0 and 1 / (alpha r) exceeds
  1e-10 for every 32-bit r (counts are: a family of more than 2^31 - 1
  hypotheses never takes a candidate set with an omitted value inside, and
  its given values number below 2^31). Any other candidate set sees the same e-values
  at every size, and the outside walk stops at the same cut-off position
  (values at least v sit at the front either way). Every check, exact or
  bisected, returns the same.
B is tight: at B the BY e-value at size 1 is 1 / (2 alpha), enough for
closed BY to reject such a hypothesis with m = 2; BY with m = 1 rejects the
double below B at every level, and B itself at some (0.1, say).

BH, the same test with H_m replaced by 1: ((v * m) / k) - alpha <= 1e-10.
Here the quotient at k = m need not be v: the two roundings can take it an
ulp below, and a v just above B can pass. A v above C = B (1 + 1e-9) (as a
double product) fails at every rank: the quotient is at least v (1 - 2^-52),
above B by more than alpha 1e-9 / 2, far more than B exceeds alpha + 1e-10
by rounding, and the subtraction rounds monotonically. So v and 1 give the
same count, as for BY.

E-values. An omitted e-value w <= 1 / alpha (the double) never meets the
e-BH test (k w) (alpha / m) >= 1 + 1e-12 at any rank k <= m: the product is
at most w alpha (1 + 3 2^-53) < 1 + 1e-12; by the argument for BY, w and 0
give the same count. Closed e-BH with omitted e-values counted as 0 is not
exact unless they are 0, but what it rejects stays mean consistent in the
full family: omitted e-values only raise the sums of the groups they join.

Narrowed bounds. When a count N of the family's values is known to be at
least the number of rejections, the rejected values lie within a bound that
falls with N, and the values beyond it can be omitted as well. A threshold t
with N(t) = #{values at least as strong as t} then gives N(t) >= the count
again, so counting passes shrink the candidates until they fit. Notation: u =
2^-53, tau = 1e-10, B = fl(alpha + tau), H~_n the core's H_n (summed left to
right: H~_n >= H_n (1 - 2.4e-7) for n < 2^31; beyond, the double nearest to H_n)
and H_n > ln n + gamma. Below
alpha 0.05 the core may decide at alpha 2^j on p 2^j (exact scalings): that
is the test at alpha with the margin tau 2^-j <= tau, so every bound below,
proved with tau, holds at either scale. ROUNDING_SLACK (1e-6 relative) covers
H~ and every rounding of the core's expressions and of these formulas.
- BY: the test at rank k, fl(fl(fl(p F) / k) - alpha) <= tau with F =
  fl(m H~_m), grows with p and falls with k. If N >= k* (the BY count),
  p_(k*) passes at rank N too, so fl(p F) / N <= alpha + tau (1 + 2u) up to
  the roundings: p_(k*) <= (alpha + tau) N / (m H_m) (1 + 5u) / (1 - 2.4e-7)
  <= by_narrowed_bound(alpha, m, N). Omitting the values above such a bound
  t (as p = 1) keeps p_(1) ... p_(N(t)), which hold p_(k*), and only raises
  the others: no rank passes that did not, and k* still does; the count and
  the k* values it marks are the same. BH, the same test with H_m replaced
  by 1, has the same bound with H_m = 1 (no summed H, the same roundings).
- e-BH, the mirror: fl(fl(k e) fl(alpha / m)) >= 1 + 1e-12 grows with e and
  k, so N >= k* gives e_(k*) >= m / (alpha N) (1 + u)^-3 >=
  ebh_narrowed_bound(alpha, m, N), and e-values below it can be omitted as 0.
- Closed BY (exact search; the core takes the larger of the closed and the BY
  count): let Z = #{p > B}, whose BY e-values are 0 at every size. (1) A set
  R of the r smallest p-values that passes the check has p_(r) <= B (its size
  1 check, or a sufficient bound at a larger size), so the Z values lie
  outside it, and its check at size s0 = Z + 1 with one value inside (the
  largest, p_(r)) and the Z largest outside (sum 0) passes: either the
  sufficient bound fl(p_(r) fl(s H~_s)) <= fl(min(s, r) alpha) held at some s
  >= s0 (which skips the sizes below it), or the e-value of p_(r), fl(I /
  c) with I = fl(1 / alpha) and c = max(1, ceil(fl(p_(r) fl(fl(s0 H~_s0)
  I)) - tau)), reaches fl(fl(I / r) - tau). That needs c <= r / (1 - d)
  with d = tau alpha' r (1 + 2u) + 3u < 0.22 (alpha' < 1 the level decided
  at, at most max(alpha, 0.1); r < 2^31), so p_(r) <= alpha r (1 + tau) /
  ((1 - d) s0 H~_s0) up to 4 roundings. This grows with r: N >= r gives
  p_(r) <= closed part of closed_by_narrowed_bound. (2) Omitting values is
  no longer free: a value in (t, B] may add its e-value to the sums of the
  sets it stays outside of. It enters a sum only among the v weakest outside
  values, v > Z, so at sizes s >= Z + 2, where fl(p H~_s) > B once p > B (1 +
  1e-6) / H_(Z+2): cut off, e-value 0, as for p = 1. With t at least that,
  every set of the N(t) smallest values sees the same e-values, the same
  nonzero ones in the same order, at every size: its check (the answer and
  the failing size) is unchanged; a larger set now holds a 1 and fails. So
  the largest passing set is the same, and with the BY bound the count too.
  The closed bound is therefore the largest of the BY bound, the bound of
  (1), and B (1 + 1e-6) / H_(Z+2): narrowing gains about the factor H_m over
  B, and no more with this argument. The approximate search bisects through
  sets larger than N(t), whose checks can differ once values are omitted: it
  is not narrowed.
"""

import math

BY_TOLERANCE = 1e-10  # the margin of the BY step-up test and of the closed BY cut-off
BH_BOUND_MARGIN = 1e-9  # relative: absorbs the rounding of (v * m) / m in the BH test
ROUNDING_SLACK = 1e-6  # relative: the error of the core's H_n and of every rounding in the narrowed bounds
EULER_GAMMA = 0.5772156649015329
CHECKED_LEVEL = 0.1  # the closed BY check runs at alpha itself or at a scaled alpha below this


def pvalue_omission_bound(alpha: float) -> float:
    """Omitted p-values above this bound never change BY or closed BY at level `alpha`, for any m."""
    return alpha + BY_TOLERANCE


def bh_pvalue_omission_bound(alpha: float) -> float:
    """Omitted p-values above this bound never change BH at level `alpha`, for any m."""
    return (alpha + BY_TOLERANCE) * (1.0 + BH_BOUND_MARGIN)


def evalue_omission_bound(alpha: float) -> float:
    """Omitted e-values at or below this bound never change e-BH at level `alpha`, for any m."""
    return 1.0 / alpha


def harmonic_lower_bound(n: int) -> float:
    """A lower bound of H_n for n >= 1: H_n - ln n falls to Euler's gamma."""
    return math.log(n) + EULER_GAMMA


def by_narrowed_bound(alpha: float, total: int, count: int) -> float:
    """With `count` at least the BY count of a family of `total`, no rejected p-value exceeds this bound."""
    return (alpha + BY_TOLERANCE) * count / (total * harmonic_lower_bound(total)) * (1.0 + ROUNDING_SLACK)


def ebh_narrowed_bound(alpha: float, total: int, count: int) -> float:
    """With `count` at least the e-BH count of a family of `total`, every rejected e-value is at least this."""
    return total / (alpha * count) * (1.0 - ROUNDING_SLACK)


def closed_by_narrowed_bound(alpha: float, total: int, count: int, beyond: int) -> float:
    """With `count` at least the closed BY count (exact search) and the BY count of a family of `total`
    of which `beyond` p-values exceed the omission bound, p-values above this bound can be omitted."""
    size = beyond + 1
    rounding = 1.01 * BY_TOLERANCE * max(alpha, CHECKED_LEVEL) * count + 1e-12
    closed = alpha * count / ((1.0 - rounding) * size * harmonic_lower_bound(size)) * (1.0 + ROUNDING_SLACK)
    unseen = pvalue_omission_bound(alpha) * (1.0 + ROUNDING_SLACK) / harmonic_lower_bound(beyond + 2)
    return max(by_narrowed_bound(alpha, total, count), closed, unseen)
