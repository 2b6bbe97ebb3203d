"""Levels from the core (_fast.levels, row_levels, grouped_levels): each entry's
level L is the smallest double alpha at which the public procedure rejects it,
so the procedure's mask at alpha equals levels <= alpha, checked at every level,
at the double below it and at random alphas down to 1e-300; and the scaled
evaluation of the p-value procedures below alpha = 0.05."""

import math

import numpy as np
import pytest
from definitions import harmonic
from hypothesis import given, settings
from hypothesis import strategies as st
from statsmodels.stats.multitest import multipletests

import tarvimo
from tarvimo import _fast, _vardo

PROCEDURES = {
    "by": tarvimo.by,
    "closed_by": tarvimo.closed_by,
    "ebh": tarvimo.ebh,
    "closed_ebh": tarvimo.closed_ebh,
    "bh": tarvimo.bh,
}
PVALUE_METHODS = ("by", "closed_by", "bh")
EVALUE_METHODS = ("ebh", "closed_ebh")


def below(x):
    return float(np.nextafter(x, 0.0))


def probe_alphas(levels, rng, max_level=1.0):
    """Every level below max_level, the double below each, and random alphas over (0, max_level)."""
    finite = [float(x) for x in np.ravel(levels) if 0.0 < x < max_level]
    alphas = set(finite) | {below(x) for x in finite if below(x) > 0.0}
    alphas |= {float(max_level * 10.0 ** -rng.uniform(0.0, 300.0)) for _ in range(6)}
    alphas |= {below(max_level), 0.05, below(0.05), 0.025, below(0.025)}
    return sorted(a for a in alphas if 0.0 < a < max_level)


def crafted_pvalues(rng, m):
    """Uniform nulls with signals, BY lines nudged by ulps, ties and zeros."""
    k = np.arange(1, m + 1)
    hm = harmonic(m)[-1]
    alpha = 10.0 ** rng.uniform(-8.0, -0.5)
    line = k * alpha / (m * hm) * rng.choice([0.5, 1.0, 1.0, 2.0], m)
    yield rng.permutation(line * (1.0 + rng.integers(-3, 4, m) * 2.0**-52))
    signals = rng.random(m)
    signals[: m // 3] *= 10.0 ** rng.uniform(-14.0, -2.0, m // 3)
    yield rng.permutation(signals)
    yield rng.choice([0.0, 1e-300, 1e-12, 1e-5, 1e-3, 0.01, 0.5, 1.0], m)


def crafted_evalues(rng, m):
    """e-BH lines nudged by ulps, ties, zeros and infinite e-values."""
    k = np.arange(1, m + 1)
    alpha = 10.0 ** rng.uniform(-6.0, -0.5)
    line = m / (k * alpha) * rng.choice([0.5, 1.0, 1.0, 2.0], m)
    yield rng.permutation(line * (1.0 + rng.integers(-3, 4, m) * 2.0**-52))
    yield rng.exponential(1.0, m) ** 4
    yield rng.choice([0.0, 1.0, 10.0, 20.0, 1e3, np.inf], m)


def crafted(method, rng, m):
    return crafted_pvalues(rng, m) if method in PVALUE_METHODS else crafted_evalues(rng, m)


@pytest.mark.parametrize("method", list(PROCEDURES))
def test_mask_equals_levels_at_or_below_alpha(method):
    rng = np.random.default_rng(7)
    procedure = PROCEDURES[method]
    for m in (1, 2, 3, 8, 30):
        for values in crafted(method, rng, m):
            levels = _fast.levels(values, method)
            assert levels.dtype == np.float64 and levels.shape == values.shape
            assert np.all((levels > 0.0) & (levels <= 1.0))
            for alpha in probe_alphas(levels, rng):
                np.testing.assert_array_equal(
                    procedure(values, alpha), levels <= alpha, err_msg=f"{values!r} {alpha!r}"
                )


@pytest.mark.parametrize("method", list(PROCEDURES))
def test_max_level_omit_and_truncated_families(method):
    rng = np.random.default_rng(11)
    procedure = PROCEDURES[method]
    for values in crafted(method, rng, 12):
        values = values.copy()
        values[[2, 5]] = np.nan
        total = 20
        for max_level in (1.0, 0.2, 0.05, 1e-6):
            levels = _fast.levels(values, method, total, max_level)
            assert np.isnan(levels[[2, 5]]).all()
            present = ~np.isnan(values)
            assert np.all((levels[present] < max_level) | (levels[present] == 1.0))
            for alpha in probe_alphas(levels[present], rng, max_level):
                mask = procedure(values, alpha, nan_policy="omit", m=total)
                np.testing.assert_array_equal(mask, present & (levels <= alpha), err_msg=f"{values!r} {alpha!r}")


@pytest.mark.parametrize("method", list(PROCEDURES))
def test_row_and_grouped_levels_match_one_family_each(method):
    rng = np.random.default_rng(3)
    rows = np.array([list(next(iter(crafted(method, rng, 9)))) for _ in range(5)])
    rows[1, 4] = np.nan
    by_row = _fast.row_levels(rows, method, 0.5, 2)
    for i, row in enumerate(rows):
        np.testing.assert_array_equal(by_row[i], _fast.levels(row, method, None, 0.5))
    flat = rows.ravel()
    codes = np.repeat(np.arange(5), 9)[rng.permutation(45)]
    grouped = _fast.grouped_levels(flat, codes, 5, method, 1.0, 2)
    totals = np.array([9, 12, 30, 9, 10])
    truncated = _fast.grouped_levels(flat, codes, 5, method, 0.5, 2, totals)
    for f in range(5):
        np.testing.assert_array_equal(grouped[codes == f], _fast.levels(flat[codes == f], method))
        np.testing.assert_array_equal(truncated[codes == f], _fast.levels(flat[codes == f], method, totals[f], 0.5))


def test_ties_get_the_earlier_entry_first():
    # Closed procedures may stop inside a run of equal values: the earlier
    # entry is rejected first, so its level is never above the later one's.
    rng = np.random.default_rng(5)
    for method in PROCEDURES:
        for _ in range(30):
            base = next(iter(crafted(method, rng, 6)))
            values = np.repeat(base, 3)
            levels = _fast.levels(values, method)
            for value in np.unique(values):
                tied = levels[values == value]
                assert np.all(np.diff(tied) >= 0.0)


def test_by_levels_match_statsmodels_within_the_margin():
    # statsmodels' fdr_by corrected p-values are min(1, cummin(p m H_m / k)).
    # A level is the smallest alpha at which BY rejects, which the core's
    # margin of 1e-10 (on the scaled alpha, below 0.05) puts at most 1e-10 below.
    rng = np.random.default_rng(1)
    for m in (1, 10, 1000):
        for values in (rng.random(m) ** 6, 10.0 ** rng.uniform(-320.0, 0.0, m), rng.choice([0.0, 1e-8, 0.3], m)):
            levels = _fast.levels(values, "by")
            corrected = multipletests(values, method="fdr_by")[1]
            assert np.max(np.abs(levels - corrected)) <= 2e-10
            assert np.all(levels <= np.nextafter(corrected, 2.0))


def test_by_decisions_match_statsmodels_down_to_tiny_alphas():
    p = np.array([1e-11, 3e-11, 0.5, 0.9])
    for alpha in (1e-300, 1e-100, 1e-20, 1e-11, 5e-11):
        expected = multipletests(p, alpha, method="fdr_by")[0]
        np.testing.assert_array_equal(tarvimo.by(p, alpha), expected)
        assert not tarvimo.closed_by(p, alpha)[0]
    rng = np.random.default_rng(2)
    for _ in range(20):
        p = 10.0 ** rng.uniform(-310.0, 0.0, 50)
        p[rng.random(50) < 0.1] = 0.0
        for alpha in 10.0 ** rng.uniform(-300.0, -1.0, 10):
            np.testing.assert_array_equal(tarvimo.by(p, alpha), multipletests(p, alpha, method="fdr_by")[0])
    # A GWAS hit keeps its own level instead of the smallest one.
    levels = _fast.levels(np.array([1e-30, 0.5, 0.7, 0.9]), "by")
    assert levels[0] == pytest.approx(1e-30 * 4 * harmonic(4)[-1], rel=1e-9)


def test_ebh_levels_follow_the_closed_form():
    # Rank k passes from m (1 + 1e-12) / (k e) on; the level of rank k is the
    # smallest of these from k on.
    rng = np.random.default_rng(4)
    for m in (1, 5, 200):
        e = rng.exponential(1.0, m) ** 5 * 10.0
        order = np.argsort(-e, kind="stable")
        ranks = np.arange(1, m + 1)
        thresholds = m * (1.0 + 1e-12) / (ranks * e[order])
        expected = np.minimum.accumulate(thresholds[::-1])[::-1]
        expected = np.where(expected < 1.0, expected, 1.0)
        levels = _fast.levels(e, "ebh")[order]
        np.testing.assert_allclose(levels, expected, rtol=1e-14)
    # An infinite e-value is rejected from the first alpha at which alpha / m
    # is not 0 (infinity times 0 is NaN); a zero never is.
    assert _fast.levels(np.array([np.inf, 0.0]), "ebh").tolist() == [2 * 2.0**-1074, 1.0]


def bisected_level(procedure, values, index, max_level=1.0):
    """The smallest double alpha in (0, max_level) rejecting values[index], by bisection on the bits."""
    lo = np.float64(0.0).view(np.int64)  # rejected nowhere at or below: alpha 0 is outside (0, 1)
    hi = np.float64(max_level).view(np.int64)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        alpha = float(np.int64(mid).view(np.float64))
        if procedure(values, alpha)[index]:
            hi = mid
        else:
            lo = mid
    level = float(np.int64(hi).view(np.float64))
    return level if level < max_level else 1.0


@pytest.mark.parametrize("method", ["closed_by", "closed_ebh"])
def test_closed_levels_match_a_bisection_with_the_procedure(method):
    rng = np.random.default_rng(9)
    procedure = PROCEDURES[method]
    for m in (2, 5, 9):
        for values in crafted(method, rng, m):
            levels = _fast.levels(values, method)
            assert [bisected_level(procedure, values, i) for i in range(m)] == levels.tolist()


def test_scaling_leaves_decisions_at_005_and_above_to_the_core():
    rng = np.random.default_rng(6)
    for m in (1, 7, 60):
        p = np.sort(rng.random(m) ** 5)[::-1]
        h = harmonic(m)
        for alpha in (0.05, 0.07, 0.2, 0.9):
            assert tarvimo.by(p, alpha).sum() == _vardo.BY_cpp(p.tolist(), h, alpha)
            assert tarvimo.closed_by(p, alpha).sum() == max(
                _vardo.BY_cpp(p.tolist(), h, alpha), _vardo.largestcBYsignificant_cpp(p.tolist(), alpha)
            )


def test_scaled_evaluation_at_small_alpha_is_the_core_at_the_scaled_level():
    # Below 0.05 the procedures decide at alpha 2^j and p 2^j, alpha 2^j in [0.05, 0.1).
    rng = np.random.default_rng(8)
    for alpha in (0.049, 0.03, 1e-5, 1e-200, 5e-324):
        j = 0
        while math.ldexp(alpha, j) < 0.05:
            j += 1
        scaled_alpha = math.ldexp(alpha, j)
        assert 0.05 <= scaled_alpha < 0.1
        p = np.sort(np.minimum(alpha * rng.random(12) ** 3 * rng.choice([0.1, 1.0, 100.0], 12), 1.0))[::-1]
        scaled = np.minimum(np.ldexp(p, j), 1.0)
        h = harmonic(12)
        assert tarvimo.by(p, alpha).sum() == _vardo.BY_cpp(scaled.tolist(), h, scaled_alpha)
        assert tarvimo.closed_by(p, alpha).sum() == max(
            _vardo.BY_cpp(scaled.tolist(), h, scaled_alpha),
            _vardo.largestcBYsignificant_cpp(scaled.tolist(), scaled_alpha),
        )


unit_values = st.floats(min_value=0.0, max_value=1.0, allow_nan=False)
levels_strategy = st.floats(min_value=5e-324, max_value=1.0, exclude_max=True)


@settings(max_examples=300, deadline=None)
@given(
    st.lists(unit_values, min_size=1, max_size=12),
    st.lists(levels_strategy, min_size=2, max_size=6),
    st.sampled_from(list(PROCEDURES)),
)
def test_masks_grow_with_alpha(values, alphas, method):
    values = np.array(values)
    if method in EVALUE_METHODS:
        with np.errstate(divide="ignore", over="ignore"):
            values = 1.0 / values
    # band edges of the scaled evaluation and the doubles around them
    alphas = sorted({*alphas, 0.05, below(0.05), 0.025, below(0.025)})
    masks = [PROCEDURES[method](values, alpha) for alpha in alphas]
    for smaller, larger in zip(masks, masks[1:], strict=False):
        assert np.all(larger[smaller])


@pytest.mark.parametrize(
    "call",
    [
        lambda: _fast.levels(np.array([0.1]), "closed_by_approximate"),
        lambda: _fast.levels(np.array([0.1]), "bonferroni"),
        lambda: _fast.levels(np.array([0.1]), "by", None, 0.0),
        lambda: _fast.levels(np.array([0.1]), "by", None, 1.5),
        lambda: _fast.levels(np.array([0.1]), "by", None, float("nan")),
        lambda: _fast.levels(np.array([0.1, 0.2]), "by", 1),
        lambda: _fast.levels(np.array([0.1]), "by", -1),
        lambda: _fast.row_levels(np.array([0.1]), "by", 1.0, 1),
        lambda: _fast.grouped_levels(np.array([0.1, 0.2]), np.array([0, 2]), 2, "by", 1.0, 1),
    ],
)
def test_bad_arguments_are_refused(call):
    with pytest.raises(ValueError):
        call()


def test_large_closed_ebh_family_ranks_only_its_levels():
    # From 2^16 entries with two workers, a closed e-BH family sorts its values
    # on two threads and ranks only the entries with a level below max_level:
    # the levels must be those of ranking every entry on one thread, NaN, the
    # sign of zeros, ties across the last level below max_level and a given
    # total included, and the mask at alpha must be levels <= alpha.
    rng = np.random.default_rng(12)
    m = 2**16 + 37
    e = rng.exponential(1.0, m)
    signals = rng.random(m) < 0.1
    e[signals] *= 10.0 ** rng.uniform(1.0, 6.0, np.count_nonzero(signals))
    e[rng.random(m) < 0.02] = 0.0
    e[rng.random(m) < 0.02] = -0.0
    e[rng.integers(0, m, 3)] = np.inf
    e[rng.random(m) < 0.02] = np.nan
    one = _fast.levels(e, "closed_ebh", None, 0.1, 1)
    # Copies of the weakest value with a level below 0.05 straddle that cut.
    last = np.flatnonzero(one < 0.05)
    tied = e.copy()
    cut = e[last[np.argmax(one[last])]]
    tied[rng.choice(np.flatnonzero(~(one < 0.05) & ~np.isnan(e)), 400, replace=False)] = cut
    straddled = _fast.levels(tied, "closed_ebh", None, 0.05, 1)[tied == cut] < 0.05
    assert 0 < np.count_nonzero(straddled) < straddled.size
    # A family of 3,000 present entries (tied e-values, where the levels are
    # settled as the smallest alphas from which on each stays rejected) among NaN.
    sparse = np.full(m, np.nan)
    line = 3000 / (np.arange(1, 3001) * 0.05)
    sparse[rng.choice(m, 3000, replace=False)] = np.where(
        rng.random(3000) < 0.2, -0.0, line[(np.arange(3000) // 10) * 10]
    )
    for values in (e, tied, sparse, np.full(m, 21.0), np.zeros(m)):
        for total in (None, m + 5000):
            for max_level in (1.0, 0.1, 0.05, 0.01, 1e-9):
                expected = _fast.levels(values, "closed_ebh", total, max_level, 1)
                got = _fast.levels(values, "closed_ebh", total, max_level, 2)
                np.testing.assert_array_equal(got, expected)
                assert np.array_equal(np.isnan(got), np.isnan(values))
    levels = tarvimo.adjust(tied, "closed_ebh", nan_policy="omit", max_level=0.1, workers=2)
    assert 0 < np.count_nonzero(levels < 0.1) < m
    for alpha in (0.05, below(0.05), 0.01):
        np.testing.assert_array_equal(tarvimo.closed_ebh(tied, alpha, nan_policy="omit"), levels <= alpha)


def test_large_closed_by_family_ranks_only_its_levels():
    # From 2^16 entries with two workers, a closed BY family sorts its
    # candidates in two halves on two threads and ranks only the entries with
    # a level below max_level: the levels must be those of ranking every
    # candidate on one thread, NaN, signed zeros, ties across the halves and
    # a given total included (ties across the last level below max_level:
    # tests/cpp/families/test_closed_by_levels.cpp). A study with a few exact
    # zeros is left out: its levels take minutes on either route.
    rng = np.random.default_rng(13)
    m = 2**16 + 37
    z = rng.normal(size=m) + np.where(rng.random(m) < 0.1, 3.5, 0.0)
    p = 0.5 * np.array([math.erfc(x / math.sqrt(2.0)) for x in z])
    p[rng.random(m) < 0.02] = np.nan
    one = _fast.levels(p, "closed_by", None, 0.1, 1)
    tied = p.copy()
    last = np.flatnonzero(one < 0.05)
    cut = p[last[np.argmax(one[last])]]
    tied[rng.choice(np.flatnonzero(~(one < 0.05) & ~np.isnan(p)), 400, replace=False)] = cut
    # Few distinct values, each in both halves; zeros of both signs.
    steps = np.round(p * 200.0) / 200.0
    steps[(steps == 0.0) & (rng.random(m) < 0.5)] = -0.0
    for values in (p, tied, steps, np.full(m, 0.004), np.zeros(m), np.full(m, np.nan)):
        for total in (None, m + 5000):
            for max_level in (1.0, 0.1, 1e-3):
                expected = _fast.levels(values, "closed_by", total, max_level, 1)
                got = _fast.levels(values, "closed_by", total, max_level, 2)
                np.testing.assert_array_equal(got, expected)
    levels = tarvimo.adjust(tied, "closed_by", nan_policy="omit", max_level=0.1, workers=2)
    assert 0 < np.count_nonzero(levels < 0.1) < m
    for alpha in (0.05, below(0.05), 0.01):
        np.testing.assert_array_equal(tarvimo.closed_by(tied, alpha, nan_policy="omit"), levels <= alpha)
