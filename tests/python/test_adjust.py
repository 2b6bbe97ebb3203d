"""Adjusted p-values: the contract with the procedures on inputs crafted at their margins (at every level,
the double below it and random alphas), the bisection over the doubles on small inputs, statsmodels' BY,
e-BH's closed form, properties of the order, and the API around the core: shapes, families, m, NaN,
spellings and bad input."""

import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from definitions import harmonic
from hypothesis import given, settings
from hypothesis import strategies as st
from level_oracle import PROCEDURES, bisected_levels
from scipy.stats import false_discovery_control
from statsmodels.stats.multitest import multipletests

import tarvimo

METHODS = list(PROCEDURES)
PVALUE_METHODS = ("by", "closed_by", "bh")
LINE_ALPHAS = [0.1, 0.05, 0.02, 1e-3, 1e-7]  # the levels whose step-up lines the values are put on


def nudged(rng, value):
    """`value` moved by a few ulps, or onto the far side of a tolerance, or left alone."""
    choice = rng.integers(6)
    if choice == 0:
        return value
    if choice <= 3:
        return float(np.nextafter(value, math.inf if choice == 1 else 0.0)) if value > 0 else value
    steps = int(rng.integers(-3, 4))
    return float(value + steps * np.spacing(value)) if choice == 4 else value * (1.0 + steps * 1e-13)


def crafted_pvalues(rng, m, method="by"):
    """p-values on and around the step-up lines k alpha / (m H_m) of a level (k alpha / m for BH), with ties,
    zeros and large ones."""
    alpha = float(rng.choice(LINE_ALPHAS))
    line = alpha / m if method == "bh" else alpha / (m * harmonic(m)[m])
    values = []
    for k in range(1, m + 1):
        kind = rng.integers(10)
        if kind < 6:
            p = nudged(rng, k * line)
        elif kind == 6:
            p = k * line + 1e-10 * float(rng.choice([1.0, alpha / 0.05, 2.0]))  # on the tolerance
        elif kind == 7:
            p = 0.0
        elif kind == 8 and values:
            p = values[int(rng.integers(len(values)))]  # a tie
        else:
            p = float(rng.random())
        values.append(min(max(p, 0.0), 1.0))
    return rng.permutation(values).tolist()


def crafted_evalues(rng, m):
    """e-values on and around the e-BH lines m / (k alpha) of a level, with ties, zeros and infinities."""
    alpha = float(rng.choice(LINE_ALPHAS))
    values = []
    for k in range(1, m + 1):
        kind = rng.integers(10)
        if kind < 6:
            e = nudged(rng, m / (k * alpha))
        elif kind == 6:
            e = m / (k * alpha) * (1.0 - 1e-12 * float(rng.choice([0.5, 1.0, 2.0])))  # on the tolerance
        elif kind == 7:
            e = float(rng.choice([0.0, math.inf]))
        elif kind == 8 and values:
            e = values[int(rng.integers(len(values)))]
        else:
            e = float(rng.exponential(2.0))
        values.append(e)
    return rng.permutation(values).tolist()


def crafted(rng, method, m):
    return crafted_pvalues(rng, m, method) if method in PVALUE_METHODS else crafted_evalues(rng, m)


def probe_alphas(rng, levels, max_level):
    """Every level, the double below each, a few crafted lines and random alphas: all in (0, max_level)."""
    finite = np.unique(levels[np.isfinite(levels)])
    lines = np.array(LINE_ALPHAS)
    alphas = np.concatenate(
        [
            finite,
            np.nextafter(finite, 0.0),
            lines,
            np.nextafter(lines, 0.0),
            np.nextafter(lines, 1.0),
            10.0 ** rng.uniform(-12, 0, 12),
            rng.random(4),
            [np.nextafter(max_level, 0.0), 5e-324],
        ]
    )
    return np.unique(alphas[(alphas > 0.0) & (alphas < max_level)])


def assert_contract(rng, values, method, max_level=1.0, **options):
    """At every probe alpha, the procedure's mask equals the levels at or below alpha."""
    levels = tarvimo.adjust(values, method, max_level=max_level, **options)
    assert levels.dtype == np.float64 and levels.shape == np.shape(values)
    present = levels[~np.isnan(levels)]
    assert ((present > 0.0) & (present <= 1.0)).all()
    for alpha in probe_alphas(rng, levels, max_level).tolist():
        mask = PROCEDURES[method](values, alpha, **options)
        wrong = np.flatnonzero(mask.ravel() != (levels <= alpha).ravel())
        assert not wrong.size, (method, alpha, wrong, values, levels, options)
    return levels


class TestContract:
    @pytest.mark.parametrize("method", METHODS)
    def test_small_inputs_equal_the_bisection_over_the_doubles(self, method):
        rng = np.random.default_rng(sum(map(ord, method)))
        for trial in range(40):
            m = int(rng.integers(1, 7))
            values = crafted(rng, method, m)
            options = [{}, {"m": m + 3}, {"max_level": float(rng.choice([0.05, 1e-3, 0.5]))}][trial % 3]
            if trial % 5 == 0:
                values[int(rng.integers(m))] = math.nan
                options["nan_policy"] = "omit"
            expected = bisected_levels(values, method, **options)
            np.testing.assert_array_equal(tarvimo.adjust(values, method, **options), expected, err_msg=str(values))

    @pytest.mark.parametrize("method", METHODS)
    def test_crafted_families_at_every_level_and_the_double_below(self, method):
        rng = np.random.default_rng(3 + sum(map(ord, method)))
        for _ in range(12):
            m = int(rng.integers(2, 40))
            values = crafted(rng, method, m)
            assert_contract(rng, values, method)
            assert_contract(rng, values, method, m=m + int(rng.integers(1, 100)))
            assert_contract(rng, values, method, max_level=float(rng.choice([0.1, 0.01, 1e-6])))
            values[0] = math.nan
            assert_contract(rng, values, method, nan_policy="omit")
            labels = rng.integers(0, 3, m)
            assert_contract(rng, values, method, nan_policy="omit", groups=labels)
        matrix = np.array([crafted(rng, method, 7) for _ in range(5)])
        assert_contract(rng, matrix, method)
        assert_contract(rng, matrix, method, axis=1)
        assert_contract(rng, matrix, method, axis=None)

    @pytest.mark.parametrize("method", METHODS)
    def test_a_total_per_family_is_the_family_padded_with_null_values(self, method):
        rng = np.random.default_rng(11 + sum(map(ord, method)))
        pad = 1.0 if method in PVALUE_METHODS else 0.0
        for _ in range(4):
            sizes = rng.integers(1, 12, 4)
            labels = rng.permutation(np.repeat(np.array(["w", "x", "y", "z"]), sizes))
            values = np.empty(labels.size)
            totals = {}
            for label, size in zip("wxyz", sizes.tolist()):
                values[labels == label] = crafted(rng, method, size)
                totals[label] = size + int(rng.choice([0, 1, 5, 200]))
            levels = assert_contract(rng, values, method, groups=labels, m=totals)
            per_value = np.array([totals[label] for label in labels])
            np.testing.assert_array_equal(tarvimo.adjust(values, method, groups=labels, m=per_value), levels)
            for label in "wxyz":
                own = values[labels == label]
                padded = np.concatenate([own, np.full(totals[label] - own.size, pad)])
                np.testing.assert_array_equal(levels[labels == label], tarvimo.adjust(padded, method)[: own.size])

    @pytest.mark.parametrize("max_level", [0.3, 0.05, 1e-3])
    def test_closed_by_pvalues_beyond_max_level_change_no_level(self, max_level):
        # closed BY ranks only p-values below about max_level and counts the others as omitted
        rng = np.random.default_rng(int(1 / max_level))
        edge = max_level * (1 + 1e-6)
        near = [np.nextafter(edge, 0.0), edge, np.nextafter(edge, 1.0), max_level, np.nextafter(max_level, 0.0)]
        values = np.concatenate([rng.random(60) * max_level * 1e-2, rng.random(200), np.repeat(near, 3)])
        rng.shuffle(values)
        for options in ({}, {"m": 1000}):
            full = tarvimo.adjust(values, "closed_by", **options)
            np.testing.assert_array_equal(
                tarvimo.adjust(values, "closed_by", max_level=max_level, **options),
                np.where(full < max_level, full, 1.0),
            )
            assert_contract(rng, values, "closed_by", max_level=max_level, **options)

    @pytest.mark.parametrize("method", METHODS)
    def test_ties_give_the_earlier_hypothesis_the_smaller_level(self, method):
        values = [0.01, 0.01, 0.01, 0.5] if method in PVALUE_METHODS else [40.0, 40.0, 40.0, 1.0]
        levels = assert_contract(np.random.default_rng(1), values, method)
        assert levels[0] <= levels[1] <= levels[2]

    def test_extremes_get_the_smallest_double_or_one(self):
        assert tarvimo.adjust([0.0, 1.0], "by").tolist() == [5e-324, 1.0]
        # closed BY's tolerance rejects p = 1 a hair below alpha = 1, with p = 0 beside it
        assert tarvimo.adjust([0.0, 1.0], "closed_by").tolist() == [5e-324, 1.0 - 1e-10]
        assert_contract(np.random.default_rng(0), [0.0, 1.0], "closed_by")
        assert tarvimo.adjust([math.inf, 0.0], "closed_ebh").tolist() == [5e-324, 1.0]

    @pytest.mark.xfail(
        strict=True,
        reason="e-BH multiplies by alpha / m, which underflows to 0 at the smallest alphas: an infinite "
        "e-value is then not rejected there (ebh([inf, 0], 5e-324) rejects nothing)",
    )
    def test_an_infinite_evalue_is_rejected_by_ebh_at_every_alpha(self):
        assert tarvimo.ebh([math.inf, 0.0], 5e-324).tolist() == [True, False]
        assert tarvimo.adjust([math.inf, 0.0], "ebh").tolist() == [5e-324, 1.0]

    @pytest.mark.parametrize("method", ["ebh", "closed_ebh"])
    def test_evalues_near_the_largest_double_at_the_smallest_alphas(self, method):
        # k e overflows to inf there, and the e-BH test would pass at every alpha; the procedures do not rank
        # an e-value with e alpha 2 < 1, so 1.7e308 is rejected only from 1 / (2 e) = 2.94e-309 on
        evalues = [1.7e308, math.inf, 50.0]
        levels = assert_contract(np.random.default_rng(2), evalues, method)
        below = float(np.nextafter(levels[0], 0.0))
        assert 1.7e308 * levels[0] * 2.0 >= 1.0 > 1.7e308 * below * 2.0

    @pytest.mark.parametrize("m", [1, 2, 10, 1000])
    def test_by_levels_agree_with_statsmodels(self, m):
        rng = np.random.default_rng(m)
        pvalues = np.concatenate([rng.random(m // 2) * 1e-3, rng.random(m - m // 2)])
        pvalues[rng.random(m) < 0.1] = pvalues[0]  # ties
        expected = multipletests(pvalues, method="fdr_by")[1]
        np.testing.assert_allclose(tarvimo.adjust(pvalues, "by"), expected, rtol=0, atol=2e-10)

    @pytest.mark.parametrize("m", [1, 2, 10, 1000])
    def test_bh_levels_agree_with_statsmodels_and_scipy(self, m):
        rng = np.random.default_rng(7 + m)
        pvalues = np.concatenate([rng.random(m // 2) * 1e-3, rng.random(m - m // 2)])
        pvalues[rng.random(m) < 0.1] = pvalues[0]  # ties
        levels = tarvimo.adjust(pvalues, "bh")
        np.testing.assert_allclose(levels, multipletests(pvalues, method="fdr_bh")[1], rtol=0, atol=2e-10)
        np.testing.assert_allclose(levels, false_discovery_control(pvalues, method="bh"), rtol=0, atol=2e-10)

    @pytest.mark.parametrize("m", [1, 5, 300])
    def test_ebh_levels_agree_with_the_closed_form(self, m):
        # the level of the k-th largest e-value is min(1, min over j >= k of m / (j e_(j))), within tolerance
        rng = np.random.default_rng(m)
        evalues = np.concatenate([rng.exponential(1.0, m - m // 3), rng.pareto(0.5, m // 3) * 50])
        order = np.argsort(-evalues, kind="stable")
        ranks = np.arange(1, m + 1)
        with np.errstate(divide="ignore"):
            sorted_levels = np.minimum.accumulate((m / (ranks * evalues[order]))[::-1])[::-1]
        expected = np.empty(m)
        expected[order] = np.minimum(sorted_levels, 1.0)
        np.testing.assert_allclose(tarvimo.adjust(evalues, "ebh"), expected, rtol=1e-11)


INTERRUPTED_LEVELS = """
import signal, time
import numpy as np, tarvimo
from definitions import harmonic

def stop(signum, frame):
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, stop)
m = 4000
line = 1.1 * np.arange(1, m + 1) * 0.05 / (m * harmonic(m)[-1])  # many sizes pass the check: a slow search
large = 2**16
sorted_in_halves = 1.1 * np.arange(1, large + 1) * 0.05 / (large * harmonic(large)[-1])
for values in (line, np.tile(line, (16, 1)), sorted_in_halves[::-1].copy()):
    signal.setitimer(signal.ITIMER_REAL, 0.05)  # the single family takes about 0.6 s
    start = time.perf_counter()
    try:
        tarvimo.adjust(values, "closed_by", axis=-1, workers=2)
    except KeyboardInterrupt:
        print(round(time.perf_counter() - start, 1))
print((tarvimo.adjust([0.01, 0.02], "closed_by") <= 0.03).tolist())
"""


def test_ctrl_c_stops_a_long_call_and_leaves_the_module_working():
    done = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_LEVELS],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=Path(__file__).parent,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    *seconds, levels = done.stdout.splitlines()
    assert len(seconds) == 3 and all(float(s) < 5.0 for s in seconds), done.stdout
    assert levels == "[True, True]"


def strengths(draw_pool):
    return st.lists(st.one_of(st.sampled_from(draw_pool), st.floats(0.0, 1.0)), min_size=1, max_size=12)


@settings(max_examples=60, deadline=None)
@given(
    values=strengths([0.0, 1e-4, 1e-3, 0.004, 0.01, 0.03, 1.0]),
    pvalues=st.booleans(),
    max_level=st.sampled_from([1.0, 0.3, 0.05, 1e-3]),
)
def test_levels_follow_the_strength_and_the_closed_procedures_are_never_later(values, pvalues, max_level):
    if not pvalues:
        values = [1.0 / v if v > 0 else 0.0 for v in values]  # e-values: large is strong
    plain, closed = ("by", "closed_by") if pvalues else ("ebh", "closed_ebh")
    step_up = tarvimo.adjust(values, plain)
    closure = tarvimo.adjust(values, closed)
    order = np.argsort(np.array(values) * (1 if pvalues else -1), kind="stable")
    for levels in (step_up, closure):
        assert (np.diff(levels[order]) >= 0).all()  # stronger evidence, or earlier among equals: no later
        truncated = np.where(levels < max_level, levels, 1.0)
        np.testing.assert_array_equal(
            tarvimo.adjust(values, plain if levels is step_up else closed, max_level=max_level), truncated
        )
    assert (closure <= step_up).all()  # the closed procedure rejects the step-up set at every alpha


class TestApi:
    @pytest.mark.parametrize("method", METHODS)
    def test_families_come_out_as_their_own_calls(self, method):
        rng = np.random.default_rng(5)
        matrix = np.array([crafted(rng, method, 6) for _ in range(3)])
        rows = np.array([tarvimo.adjust(row, method) for row in matrix])
        np.testing.assert_array_equal(tarvimo.adjust(matrix, method, axis=1), rows)
        np.testing.assert_array_equal(tarvimo.adjust(matrix.T, method), rows.T)
        flat = tarvimo.adjust(matrix.ravel(), method)
        np.testing.assert_array_equal(tarvimo.adjust(matrix, method, axis=None), flat.reshape(3, 6))
        labels = np.array(["b", "a", "b", "c", "a", "b"] * 3)
        grouped = tarvimo.adjust(matrix.ravel(), method, groups=labels)
        for label in "abc":
            alone = tarvimo.adjust(matrix.ravel()[labels == label], method)
            np.testing.assert_array_equal(grouped[labels == label], alone)

    @pytest.mark.parametrize("method", METHODS)
    def test_nan_omitted_is_nan_and_leaves_the_family(self, method):
        values = crafted(np.random.default_rng(2), method, 5)
        with_nan = [values[0], math.nan, *values[1:]]
        levels = tarvimo.adjust(with_nan, method, nan_policy="omit", m=9)
        assert math.isnan(levels[1])
        np.testing.assert_array_equal(np.delete(levels, 1), tarvimo.adjust(values, method, m=9))
        masked = np.ma.masked_array(values, mask=[False, True, False, False, False])
        assert math.isnan(tarvimo.adjust(masked, method, nan_policy="omit")[1])

    def test_input_types_and_spellings_give_the_same_levels(self):
        values = [0.04, 0.0001, 0.8, 0.002]
        expected = tarvimo.adjust(np.array(values), "closed_by")
        for same in (values, tuple(values), pd.Series(values, index=list("abcd")), np.ma.masked_array(values)):
            np.testing.assert_array_equal(np.asarray(tarvimo.adjust(same, "closed_by")), expected)
        series = tarvimo.adjust(pd.Series(values, index=list("abcd"), name="p"), "closed_by")
        assert isinstance(series, pd.Series) and list(series.index) == list("abcd") and series.name == "p"
        np.testing.assert_array_equal(tarvimo.adjust(values, "closed-by"), expected)
        evalues = [40.0, 3.0]
        np.testing.assert_array_equal(tarvimo.adjust(evalues, "closed-ebh"), tarvimo.adjust(evalues, "closed_ebh"))
        array = np.array(values)
        assert tarvimo.adjust(array, "by") is not array
        assert tarvimo.adjust([], "by").dtype == np.float64 and tarvimo.adjust([], "by").shape == (0,)

    @pytest.mark.parametrize(
        ("call", "error", "message"),
        [
            (lambda: tarvimo.adjust([0.1], "holm"), ValueError, "method must be one of"),
            (lambda: tarvimo.adjust([0.1], "closed_by_approximate"), ValueError, "method must be one of"),
            (lambda: tarvimo.adjust([0.1], 3), TypeError, "method must be a string"),
            (lambda: tarvimo.adjust([0.1], "by", max_level=0.0), ValueError, "0 < max_level <= 1"),
            (lambda: tarvimo.adjust([0.1], "by", max_level=1.5), ValueError, "0 < max_level <= 1"),
            (lambda: tarvimo.adjust([0.1], "by", max_level=math.nan), ValueError, "0 < max_level <= 1"),
            (lambda: tarvimo.adjust([0.1], "by", max_level=True), TypeError, "max_level"),
            (lambda: tarvimo.adjust([0.1, 1.5], "by"), tarvimo.InvalidEntryError, r"pvalues\[1\] = 1.5"),
            (lambda: tarvimo.adjust([1.0, -2.0], "closed_ebh"), tarvimo.InvalidEntryError, r"evalues\[1\] = -2.0"),
            (lambda: tarvimo.adjust([0.1, math.nan], "by"), tarvimo.InvalidEntryError, "NaN is refused"),
            (lambda: tarvimo.adjust([0.1, 0.2], "by", m=1), ValueError, "smaller than the number"),
            (lambda: tarvimo.adjust([0.1, 0.2], "bh", m={0: 4}, groups=[0, 1]), ValueError, "family 1"),
            (lambda: tarvimo.adjust([0.1, 0.2], "by", m=[4, 1], groups=[0, 0]), ValueError, "family 0"),
            (lambda: tarvimo.adjust([[0.1]], "by", axis=2), np.exceptions.AxisError, "axis 2"),
            (lambda: tarvimo.adjust("0.1", "by"), TypeError, "not a string"),
        ],
    )
    def test_bad_input_is_refused_as_by_the_procedures(self, call, error, message):
        with pytest.raises(error, match=message):
            call()
