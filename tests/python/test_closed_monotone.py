"""Where the closed procedures' decisions are monotone in alpha, and where they are not.

Closed e-BH: the literal check (`_vardo`) against a check that evaluates every
pair: wherever search_exactness.search_is_exact holds they agree, so the count is
monotone there; the known counterexample (300 e-values of 10) breaks
monotonicity only at alphas where that condition fails. Also the stress count of
bench/contract.py, and closed e-BH's levels as the smallest alphas from which on a
hypothesis stays rejected.

Closed BY: the count in exact arithmetic (cby_exactness) is monotone and equals
the core's wherever no comparison of a check lies within rounding of its tie; a
near tie of reciprocal sums makes the core's decision fall as alpha grows.
"""

from fractions import Fraction

import numpy as np
import pytest
from cby_exactness import ZERO_REPLACEMENT, closed_by_count, harmonic_numbers, stable_ceiling
from hypothesis import given, settings
from hypothesis import strategies as st
from search_exactness import (
    exhaustive_count,
    exhaustive_passes,
    profile_of,
    running_sums,
    search_is_exact,
)

import tarvimo
from bench import adversarial, contract
from tarvimo import _vardo

# Values that tie and nearly tie, and values that do not.
TIE_PRONE = [0.0, 1.0, 2.5, 10.0, 10.0 * (1 + 2**-50), 20.0, 1 / 3, 7.0, 40.0]


def consecutive_doubles(top, count):
    """`count` consecutive doubles ending just below `top`, ascending."""
    out = [float(np.nextafter(top, 0.0))]
    for _ in range(count - 1):
        out.append(float(np.nextafter(out[-1], 0.0)))
    return out[::-1]


def pair_crossing(sums, r, i, j):
    """The alpha at which pair (i, j) of size r meets its requirement in real arithmetic."""
    off = len(sums) - 1 - r
    total = (sums[off + i] - sums[off]) + sums[j]
    return i * (i + j) / (r * total) if total > 0 else 0.5


@st.composite
def profiles_and_alphas(draw):
    m = draw(st.integers(2, 24))
    tie_prone = st.sampled_from(TIE_PRONE)
    spread = st.floats(0.0, 60.0, allow_nan=False)
    ascending = sorted(draw(st.lists(st.one_of(tie_prone, spread), min_size=m, max_size=m)))
    sums = running_sums(ascending)
    r = draw(st.integers(1, m))
    off = m - r
    crossing = pair_crossing(sums, r, draw(st.integers(1, r)), draw(st.integers(0, off)))
    nudge = draw(st.integers(-40, 40))
    alpha = crossing * (1 + nudge * 2**-52)
    if not 0.0 < alpha < 1.0:
        alpha = draw(st.floats(1e-6, 0.999))
    return ascending, sums, r, alpha


class TestExactSearch:
    @settings(max_examples=400, deadline=None)
    @given(profiles_and_alphas())
    def test_an_exact_search_decides_as_every_pair(self, case):
        ascending, sums, r, alpha = case
        literal = _vardo.meanconsistent_wrapper_cpp(sums, r, alpha)
        if search_is_exact(profile_of(ascending), r, alpha):
            assert literal == exhaustive_passes(sums, r, alpha)
        else:
            assert literal or not exhaustive_passes(sums, r, alpha)  # a found violation is real

    @settings(max_examples=60, deadline=None)
    @given(profiles_and_alphas())
    def test_count_is_monotone_over_doubles_where_every_check_is_exact(self, case):
        ascending, sums, _, alpha = case
        window = consecutive_doubles(min(alpha * (1 + 2**-46), 0.999), 32)
        counts = [_vardo.largestmeanconsistent_cpp(ascending, a) for a in window]
        if counts != sorted(counts):  # a fall needs some check in the window that is not exact
            profile = profile_of(ascending)
            m = len(sums) - 1
            assert not all(search_is_exact(profile, r, a) for a in window for r in range(1, m + 1))
        assert exhaustive_count(sums, window[0]) <= exhaustive_count(sums, window[-1])  # monotone whatever the rows


class TestTiedCounterexample:
    """300 tied e-values: the rounded targets of a row are flat at 1 / alpha near the value, and the count
    jumps about over consecutive doubles."""

    @pytest.mark.parametrize("value", [10.0, 3.0, 15.02])  # 15.02: running sums rounded, increments falling
    def test_monotonicity_breaks_only_where_a_search_is_not_exact(self, value):
        profile = profile_of([value] * 300)
        sums = profile.sums
        window = consecutive_doubles(1.0 / value, 120)
        counts = [_vardo.largestmeanconsistent_cpp([value] * 300, a) for a in window]
        exhaustive = [exhaustive_count(sums, a, c) for a, c in zip(window, counts, strict=True)]
        assert exhaustive == sorted(exhaustive)
        drops = sum(1 for k in range(1, len(counts)) if counts[k] < max(counts[:k]))
        assert drops >= 2
        differing = [(a, c) for a, c, x in zip(window, counts, exhaustive, strict=True) if c != x]
        assert len(differing) >= 20
        for a, c in differing:
            assert not search_is_exact(profile, c, a)

    def test_distinct_values_far_apart_are_always_exact(self):
        ascending = [float(k) ** 1.5 for k in range(1, 301)]
        profile = profile_of(ascending)
        for a in (0.01, 0.05, 0.1, 0.5):
            assert all(search_is_exact(profile, r, a) for r in range(1, 301, 29))


class TestStressCount:
    def test_no_hypothesis_is_left_unrejected_from_its_level_on(self):
        rng = np.random.default_rng(7)
        tied = contract.count_breaks(contract.StressInput("tied", np.full(300, 10.0), None), rng)
        assert tied.missed == 0
        for item in contract.family_inputs(200, 5, 11):
            found = contract.count_breaks(item, rng)
            assert (found.missed, found.early) == (0, 0), item.name

    def test_closed_by_breaks_across_a_near_tie_and_not_on_random_families(self):
        rng = np.random.default_rng(5)
        tie = contract.near_tie_input(*contract.NEAR_TIES[0])
        found = contract.count_breaks(tie, rng, "closed_by")
        assert found.tie_checked == contract.TIE_RUNS * contract.TIE_RUN_LENGTH and found.missed + found.early > 0
        for item in contract.pvalue_family_inputs(200, 5, 11):
            found = contract.count_breaks(item, rng, "closed_by")
            assert (found.missed, found.early, found.tie_checked) == (0, 0, 0)

    @pytest.mark.parametrize("m", [300])
    def test_counts_reach_every_distinct_level(self, m):
        rng = np.random.default_rng(3)
        item = contract.family_inputs(m, 1, 5)[0]
        found = contract.count_breaks(item, rng)
        assert found.levels_checked > m // 2 and found.random_checked == contract.RANDOM_ALPHAS


def next_double(alpha):
    return float(np.nextafter(alpha, np.inf))


def assert_levels_stay_rejected(values, total=None, max_level=1.0, most_doubles=4000):
    """Each hypothesis' level L: not rejected at the double below L; rejected at every double from L up to
    the first alpha where the every-pair count (exact, monotone, at most the public count) or the e-BH count
    reaches its rank, from which on it stays rejected whatever the searches do."""
    values = np.asarray(values, dtype=np.float64)
    m = len(values) if total is None else total
    levels = tarvimo.adjust(values, "closed_ebh", m=total, max_level=max_level)
    ranks = np.empty(len(values), dtype=np.int64)
    ranks[np.lexsort((np.arange(len(values)), -values))] = np.arange(1, len(values) + 1)
    sums = running_sums([0.0] * (m - len(values)) + sorted(values.tolist()))

    def rejected(alpha):
        return tarvimo.closed_ebh(values, alpha, m=total)

    def stays(alpha, rank):
        ebh = int(tarvimo.ebh(values, alpha, m=total).sum())
        return ebh >= rank or exhaustive_count(sums, alpha, len(values)) >= rank

    for level in np.unique(levels):
        group = np.flatnonzero(levels == level)
        below = float(np.nextafter(level, 0.0))
        if below > 0.0 and below < max_level:
            assert not rejected(below)[group].any(), (level, group)
        if level >= 1.0:
            continue
        alpha, rank = float(level), int(ranks[group].max())
        for _ in range(most_doubles):
            if stays(alpha, rank):
                break
            assert rejected(alpha)[group].all(), (level, alpha)
            alpha = next_double(alpha)
        else:
            raise AssertionError(f"no every-pair level within {most_doubles} doubles of {level}")
    return levels


@st.composite
def tie_prone_families(draw):
    m = draw(st.integers(2, 24))
    tie_prone = st.sampled_from(TIE_PRONE + [1.0 / 0.05, 1.0 / 0.1, 3.0])
    values = draw(st.lists(st.one_of(tie_prone, st.floats(0.0, 60.0, allow_nan=False)), min_size=m, max_size=m))
    total = draw(st.sampled_from([None, m + 1, m + 3]))
    return values, total, draw(st.sampled_from([1.0, 0.1]))


class TestStaysRejectedLevels:
    """The level of a hypothesis is the smallest double from which on closed e-BH stays rejecting it: checked
    against the public procedure over consecutive doubles, with the every-pair count as the independent
    proof that it stays so beyond the window."""

    @pytest.mark.parametrize("value", [10.0, 3.0, 15.02])
    def test_tied_values(self, value):
        levels = assert_levels_stay_rejected(np.full(300, value))
        assert np.all(np.diff(levels) >= 0.0)  # equal values: the earlier one gets the smaller level

    def test_tied_pattern_of_the_adversarial_suite(self):
        assert_levels_stay_rejected(adversarial.e_tied(300, 0.05, 2.0))
        assert_levels_stay_rejected(adversarial.e_tied(120, 0.05, 0.99), total=150)

    @settings(max_examples=150, deadline=None)
    @given(tie_prone_families())
    def test_tie_prone_families(self, case):
        values, total, max_level = case
        assert_levels_stay_rejected(values, total, max_level)


@st.composite
def tie_prone_pvalues(draw, largest=40):
    """P-values on and near the BY line of alpha = 0.05, with ties, exact zeros and ones."""
    m = draw(st.integers(2, largest))
    line = [k * 0.05 / (m * sum(1.0 / j for j in range(1, m + 1))) for k in range(1, m + 1)]
    on_line = st.sampled_from(line).map(lambda p: p * draw(st.sampled_from([0.5, 1.0, 1.0 + 2**-40, 1.01, 2.0])))
    anywhere = st.floats(0.0, 1.0, allow_nan=False)
    return draw(st.lists(st.one_of(on_line, anywhere, st.sampled_from([0.0, 1.0, line[0]])), min_size=m, max_size=m))


class TestClosedByWindows:
    """Around the levels of tie-prone inputs closed BY's decision grows over consecutive doubles: a fall
    needs reciprocal sums short of a ratio u / r by about 1e-10 alpha, which such inputs do not reach."""

    @settings(max_examples=60, deadline=None)
    @given(tie_prone_pvalues())
    def test_rejections_grow_over_consecutive_doubles_around_levels(self, p):
        levels = tarvimo.adjust(p, "closed_by")
        for level in np.unique(levels[levels < 1.0])[:6]:
            window = consecutive_doubles(min(float(level) * (1 + 2**-47), 0.999), 48)
            counts = [int(tarvimo.closed_by(p, a).sum()) for a in window if a > 0.0]
            assert counts == sorted(counts)


def stays_sorted(p):
    """Whether replacing exact zeros by 1e-12 keeps the order (no value strictly in between)."""
    return 0.0 not in p or not any(0.0 < q < ZERO_REPLACEMENT for q in p)


class TestClosedByExactness:
    """The count in exact arithmetic against the core: equal wherever the checks are certain, monotone always."""

    @settings(max_examples=40, deadline=None)
    @given(tie_prone_pvalues().filter(lambda p: len(p) <= 16 and stays_sorted(p)), st.floats(0.05, 0.9))
    def test_core_count_is_the_exact_count_where_no_check_nears_a_tie(self, p, alpha):
        window = consecutive_doubles(alpha, 6) + [alpha]
        exact = []
        for a in window:
            count, certain = closed_by_count(p, a)
            exact.append(count)
            if certain:
                assert int(tarvimo.closed_by(p, a).sum()) == count
        assert exact == sorted(exact)
        assert closed_by_count(p, 0.05)[0] <= closed_by_count(p, alpha)[0]

    @settings(max_examples=40, deadline=None)
    @given(tie_prone_pvalues(largest=23).filter(stays_sorted), st.floats(0.05, 0.999))
    def test_families_of_at_most_23_never_come_near_a_tie(self, p, alpha):
        # Ceilings up to 24 and counts up to 23 keep every reciprocal sum 1.87e-10 or more away from its
        # ratio u / r, so no comparison is left to rounding and the decision is monotone in alpha.
        for a in consecutive_doubles(alpha, 3) + [alpha]:
            count, certain = closed_by_count(p, a)
            assert certain
            assert int(tarvimo.closed_by(p, a).sum()) == count


class TestClosedByNearTie:
    """Ten p-values of a family of 100 whose ceilings at size 100 are 2, 3, 17, 39, 52, 55, 83, 89, 93, 93:
    1/2 + 1/3 + ... + 1/93 falls short of 1 by delta = 2.99e-11, so the strongest value's check at the whole
    family, I (sum 1/c) >= I - 1e-10 with I = fl(1 / alpha), ties at alpha = delta / 1e-10 = 0.29939 and is
    decided by rounding for about 4e-5 around it (every smaller size is cleared by the bound)."""

    HEAD = [0.00058, 0.00144, 0.00952, 0.0222, 0.0297, 0.0315, 0.0476, 0.0511, 0.0534, 0.0534]
    TOTAL = 100
    REJECTS = 0.299385335254046  # rejected here, not at the next double

    def test_ceilings_fall_short_of_one_by_a_near_tie(self):
        harmonic = harmonic_numbers(self.TOTAL)
        factoralpha = (self.TOTAL * harmonic[-1]) * (1.0 / self.REJECTS)
        ceilings = [stable_ceiling(q * factoralpha) for q in self.HEAD]
        assert ceilings == [2, 3, 17, 39, 52, 55, 83, 89, 93, 93]
        delta = 1 - sum(Fraction(1, c) for c in ceilings)
        assert 2.99e-11 < delta < 3e-11 and abs(float(delta) / 1e-10 - self.REJECTS) < 3e-5

    def test_rejection_falls_between_consecutive_doubles(self):
        above = float(np.nextafter(self.REJECTS, 1.0))
        assert tarvimo.closed_by(self.HEAD, self.REJECTS, m=self.TOTAL).tolist() == [True] + [False] * 9
        assert not tarvimo.closed_by(self.HEAD, above, m=self.TOTAL).any()
        assert not tarvimo.by(self.HEAD, above, m=self.TOTAL).any()
        full = sorted(self.HEAD + [1.0] * (self.TOTAL - len(self.HEAD)), reverse=True)
        assert [_vardo.largestcBYsignificant_cpp(full, a) for a in (self.REJECTS, above)] == [1, 0]
        level = tarvimo.adjust(self.HEAD, "closed_by", m=self.TOTAL)[0]
        assert level > self.REJECTS  # the contract breaks: rejected below its level

    def test_the_fall_lies_where_rounding_decides(self):
        full = self.HEAD + [1.0] * (self.TOTAL - len(self.HEAD))
        window = consecutive_doubles(self.REJECTS, 3) + [self.REJECTS, float(np.nextafter(self.REJECTS, 1.0))]
        core = [int(tarvimo.closed_by(self.HEAD, a, m=self.TOTAL).sum()) for a in window]
        exact = [closed_by_count(full, a) for a in window]
        assert core != sorted(core) and [c for c, _ in exact] == sorted(c for c, _ in exact)
        assert all(not certain for (count, certain), c in zip(exact, core, strict=True) if count != c)
        # Without the rounding bound the exact count would claim to decide as the core, and does not.
        unbounded = [closed_by_count(full, a, slack=0.0) for a in window]
        assert any(certain and count != c for (count, certain), c in zip(unbounded, core, strict=True))

    @pytest.mark.parametrize("exponent", [0, 20, 900])
    def test_a_tie_below_0_1_repeats_at_every_smaller_scale(self, exponent):
        # Below 0.05 the family decides at alpha 2^j on p 2^j: the same rounding at every scale.
        item = contract.near_tie_input(*contract.NEAR_TIES[-1])
        falls, scale = 0.0709547731232259, 2.0**-exponent
        values, alphas = item.values * scale, [falls * scale, float(np.nextafter(falls, 1.0)) * scale]
        assert [bool(tarvimo.closed_by(values, a, m=item.total)[0]) for a in alphas] == [True, False]


class TestClosedByBandEdge:
    """The last near tie (ceilings 2, 3, 12, ..., 124, short of 1 by 7.1e-12) with its values placed so that
    these ceilings hold at a band edge b = 0.05 2^-j. Below b the family decides at alpha 2^(j+1) on
    p 2^(j+1), where the check's sums pass while short by up to 1e-10 alpha 2^(j+1) (about 1e-11), from b on
    at alpha 2^j, where only up to 5e-12 passes: the decision falls at the edge in exact arithmetic, with
    every ceiling the same, until the ceiling 124 falls to 123 at b 123.5 / 123."""

    TIE = contract.NEAR_TIES[-1]

    @staticmethod
    def first_rejected(item, alpha):
        return bool(tarvimo.closed_by(item.values, alpha, m=item.total)[0])

    @pytest.mark.parametrize("edge", [0.05, 0.025, 0.05 * 2.0**-20])
    def test_rejection_falls_at_the_edge(self, edge):
        item = contract.edge_tie_input(*self.TIE, edge)
        alphas = [edge * 0.9959, edge * 0.9961, float(np.nextafter(edge, 0.0)), edge, edge * 1.004, edge * 1.0041]
        # 124 is 125 below edge 123.5 / 124 = 0.99597 edge; 123 from edge 123.5 / 123 = 1.00407 edge on
        assert [self.first_rejected(item, a) for a in alphas] == [False, True, True, False, False, True]
        assert not tarvimo.by(item.values, edge * 1.004, m=item.total).any()

    def test_the_fall_is_exact_arithmetic_not_rounding(self):
        item = contract.edge_tie_input(*self.TIE, 0.05)
        full = [*item.values, *[1.0] * (item.total - len(item.values))]
        below = float(np.nextafter(0.05, 0.0))
        # below the edge the family decides at 2 alpha on 2 p (every doubled value stays below 1)
        assert closed_by_count([2.0 * q for q in full[: len(item.values)]] + full[len(item.values) :], 2 * below) == (
            1,
            True,
        )
        assert closed_by_count(full, 0.05) == (0, True)
        # the core keeps its absolute margin below 0.05: it does not reject below the edge either
        assert _vardo.largestcBYsignificant_cpp(sorted(full, reverse=True), below) == 0

    def test_levels_are_crossings_on_either_side_of_max_level(self):
        item = contract.edge_tie_input(*self.TIE, 0.05)
        for max_level, side in ((1.0, 1), (0.05, -1)):
            level = tarvimo.adjust(item.values, "closed_by", m=item.total, max_level=max_level)[0]
            assert (level - 0.05) * side > 0
            assert self.first_rejected(item, level) and not self.first_rejected(item, float(np.nextafter(level, 0.0)))
        found = contract.count_breaks(item, np.random.default_rng(2), "closed_by")
        assert found.missed == 0 and found.early >= contract.TIE_RUNS // 2 * contract.TIE_RUN_LENGTH

    @pytest.mark.parametrize("edge", [0.05, 0.05 * 2.0**-20])
    def test_a_level_holds_at_the_edge_above_it(self, edge):
        # Mid-way in the ceilings at 0.999 times the edge, the level's search meets the crossing below the edge
        # first; there the hypothesis is rejected up to the edge and not at it, so the level is the crossing
        # above, and only with max_level at the edge the one below.
        item = contract.edge_tie_input(*self.TIE, edge, 0.999)
        below_edge = float(np.nextafter(edge, 0.0))
        assert self.first_rejected(item, below_edge) and not self.first_rejected(item, edge)
        level = tarvimo.adjust(item.values, "closed_by", m=item.total)[0]
        assert level > edge and not self.first_rejected(item, float(np.nextafter(level, 0.0)))
        assert all(self.first_rejected(item, a) for a in np.linspace(level, 4 * edge, 50))
        capped = tarvimo.adjust(item.values, "closed_by", m=item.total, max_level=edge)[0]
        assert capped < edge and self.first_rejected(item, capped)
        assert not self.first_rejected(item, float(np.nextafter(capped, 0.0)))
        found = contract.count_breaks(item, np.random.default_rng(3), "closed_by")
        assert found.missed == 0 and found.early > 0

    def test_levels_hold_at_every_edge_on_families_placed_near_one(self):
        # The near tie (the only one of the four short by less than 1e-11) placed within its ceilings at up
        # to 0.25% below an edge, with two other values: whatever crossing the search meets first, every
        # hypothesis whose level is at most an edge below max_level is rejected at that edge (before the levels
        # held at the edges, most of these left the strongest one unrejected at the edge above its level).
        rng = np.random.default_rng(1)
        checked = 0
        for edge in (0.05, 0.025):
            for shift in np.geomspace(0.9975, 0.99995, 8):
                values = np.concatenate([contract.tie_values(*self.TIE, edge * shift), rng.uniform(0.0, 0.2, 2)])
                for max_level in (1.0, 0.07):
                    levels = tarvimo.adjust(values, "closed_by", m=self.TIE[1], max_level=max_level)
                    for at in (0.0125, 0.025, 0.05):
                        if at < max_level and (levels <= at).any():
                            rejected = tarvimo.closed_by(values, at, m=self.TIE[1])
                            assert rejected[levels <= at].all(), (edge, shift, max_level, at)
                            checked += 1
        assert checked >= 16
