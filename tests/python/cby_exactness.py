"""The closed BY check in exact arithmetic, and where rounding can change its verdict.

Every integer the check derives from alpha moves one way as alpha grows, and is
computed here with the check's own double operations: I = fl(1 / alpha) does not
rise, so neither do fl(p fl(s H_s I)) and the ceilings c = max(1, ceil(. - 1e-10));
the cut-off fl(H_s p) > fl(alpha + 1e-10) and the bound fl(p s H_s) <= fl(min(s, r)
alpha) only let more through. Given those integers, a size's comparisons read,
divided by I,

    sum of 1/c over the terms  >=  (or <)  u / r - 1e-10 / I,

whose left side does not fall and whose right side does not rise as alpha grows:
a size that passes in exact arithmetic passes at every larger alpha. The sizes the
bound does not skip form a set that shrinks as alpha grows (the bound is monotone
in s, so the bisection's order does not matter), a check passes when all of them
do, and the count is the largest passing r or BY's count: monotone.

The double check rounds each e-value fl(I / c), its running sums, the critical
value fl(fl(u I) / r) and fl(critical - 1e-10): its two sides move together, by
rounding steps, and near a tie their difference jitters. A comparison whose
exact value lies farther than the bound E of those roundings from the tie
decides as in exact arithmetic. E covers the residue that the sum outside keeps
after subtracting every term, so it also covers entries an earlier size left in
the outside buffer: those are read only where the true remaining sum is 0, and
subtracting them can only turn a pass that rests on that residue into a fail.
A check whose walk meets no near tie before it decides, or that fails at a size
without one, decides as here (`certain`).
"""

from dataclasses import dataclass
from fractions import Fraction
from math import ceil

TOLERANCE = 1e-10
ZERO_REPLACEMENT = 1e-12
UNIT = Fraction(1, 2**53)  # unit roundoff of a double
EXACT_TOLERANCE = Fraction(TOLERANCE)


@dataclass(frozen=True)
class Verdict:
    passes: bool  # in exact arithmetic, with the check's own integers
    certain: bool  # no comparison within rounding of its tie: the double check decides alike


def harmonic_numbers(m: int) -> list[float]:
    out, total = [0.0], 0.0
    for i in range(1, m + 1):
        total += 1.0 / i
        out.append(total)
    return out


def stable_ceiling(x: float) -> int:
    return max(1, ceil(x - TOLERANCE))


def compare(lhs: Fraction, rhs: Fraction, slack: Fraction) -> tuple[bool, bool]:
    """(lhs >= rhs exactly, whether that is decided beyond slack)."""
    return lhs >= rhs, abs(lhs - rhs) > slack


def reciprocal_sums(ceilings: list[int]) -> list[Fraction]:
    """Prefix sums of 1/c, 0 where a value is cut off (ceiling 0)."""
    sums = [Fraction(0)]
    for c in ceilings:
        sums.append(sums[-1] + (Fraction(1, c) if c else 0))
    return sums


def size_verdict(p: list[float], r: int, s: int, alpha: float, harmonic: list[float], slack: float) -> Verdict:
    """One size of the check of the r smallest of p (sorted largest first); slack scales the rounding bound."""
    m = len(p)
    inv = 1.0 / alpha
    exact_inv = Fraction(inv)
    hs = harmonic[s]
    factor = s * hs
    maxu = min(s, r)
    largest_inside = p[m - r]
    if largest_inside * factor <= maxu * alpha:
        return Verdict(True, True)
    if s == 1:
        c = stable_ceiling(largest_inside * inv) if largest_inside <= alpha + TOLERANCE else 0
        inside = exact_inv / c if c else Fraction(0)
        holds, clear = compare(inside + EXACT_TOLERANCE, exact_inv / r, slack * 8 * UNIT * exact_inv)
        return Verdict(holds, clear)
    factoralpha = factor * inv

    def ceiling(q: float) -> int:
        return stable_ceiling(q * factoralpha) if q * hs <= alpha + TOLERANCE else 0

    minu = max(1, s - (m - r))
    maxv = s - minu
    outside = reciprocal_sums([ceiling(q) for q in p[:maxv]])  # outside[v]: the v largest p-values outside
    inside = reciprocal_sums([ceiling(q) for q in p[m - r : m - r + maxu]])
    total_out = exact_inv * outside[maxv]
    for u in range(minu, maxu + 1):
        sum_in = exact_inv * inside[u]
        required = exact_inv * u / r - EXACT_TOLERANCE
        breaks, clear = compare(sum_in, required, slack * (2 * u + 6) * UNIT * (sum_in + required))
        if not clear:
            return Verdict(breaks, False)
        if breaks:
            return Verdict(True, True)
        bound = slack * (2 * u + 4 * maxv + 8) * UNIT * (sum_in + total_out + required)
        holds, clear = compare(sum_in + exact_inv * outside[s - u], required, bound)
        if not holds or not clear:
            return Verdict(holds, clear)
    return Verdict(True, True)


def check_verdict(p: list[float], r: int, alpha: float, harmonic: list[float], slack: float = 1.0) -> Verdict:
    """The check of the r smallest: passes when every size does; certain when the double check must agree."""
    passes, certain = True, True
    for s in range(len(p), 0, -1):
        verdict = size_verdict(p, r, s, alpha, harmonic, slack)
        if not verdict.passes and verdict.certain:
            return verdict
        passes, certain = passes and verdict.passes, certain and verdict.certain
    return Verdict(passes, certain)


def by_count(p: list[float], alpha: float, harmonic: list[float]) -> int:
    m = len(p)
    factor = m * harmonic[m]
    return next((m - i for i, q in enumerate(p) if (q * factor) / (m - i) - alpha <= TOLERANCE), 0)


def closed_by_count(pvalues: list[float], alpha: float, slack: float = 1.0) -> tuple[int, bool]:
    """The closed BY count in exact arithmetic (larger of BY's and the largest passing r), and whether the
    core's count must equal it: every check from r = m down to the one that passes is certain. For values
    that stay sorted once zeros become 1e-12 (none in between), where the bound is monotone in s."""
    p = [q if q != 0.0 else ZERO_REPLACEMENT for q in sorted(pvalues, reverse=True)]
    harmonic = harmonic_numbers(len(p))
    floor = by_count(p, alpha, harmonic)
    certain = True
    for r in range(len(p), floor, -1):
        verdict = check_verdict(p, r, alpha, harmonic, slack)
        certain = certain and verdict.certain
        if verdict.passes:
            return r, certain
    return floor, certain
