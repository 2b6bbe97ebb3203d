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
  1e-10 for every 32-bit r. Any other candidate set sees the same e-values
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
"""

BY_TOLERANCE = 1e-10  # the margin of the BY step-up test and of the closed BY cut-off
BH_BOUND_MARGIN = 1e-9  # relative: absorbs the rounding of (v * m) / m in the BH test


def pvalue_omission_bound(alpha: float) -> float:
    """Omitted p-values above this bound never change BY or closed BY at level `alpha`, for any m."""
    return alpha + BY_TOLERANCE


def bh_pvalue_omission_bound(alpha: float) -> float:
    """Omitted p-values above this bound never change BH at level `alpha`, for any m."""
    return (alpha + BY_TOLERANCE) * (1.0 + BH_BOUND_MARGIN)


def evalue_omission_bound(alpha: float) -> float:
    """Omitted e-values at or below this bound never change e-BH at level `alpha`, for any m."""
    return 1.0 / alpha
