"""Families given in part (m) against explicit padding, the bounds beyond which
an omitted value changes nothing (on their margins), the narrowed bounds that
a count of candidates gives, the closed procedures' dominance over the step-up
ones, and the limits of m."""

import math
import os
import subprocess
import sys
from functools import partial

import numpy as np
import pandas as pd
import pytest
from definitions import harmonic, mean_consistent, scaled_for_core

import tarvimo
from tarvimo import _vardo
from tarvimo._omitted import (
    bh_pvalue_omission_bound,
    by_narrowed_bound,
    closed_by_narrowed_bound,
    ebh_narrowed_bound,
    evalue_omission_bound,
    pvalue_omission_bound,
)

# (procedure, the value an omitted hypothesis stands in as, p-values?)
PROCEDURES = {
    "ebh": (tarvimo.ebh, 0.0, False),
    "closed_ebh": (tarvimo.closed_ebh, 0.0, False),
    "closed_ebh approximate": (partial(tarvimo.closed_ebh, approximate=True), 0.0, False),
    "by": (tarvimo.by, 1.0, True),
    "closed_by": (tarvimo.closed_by, 1.0, True),
    "closed_by approximate": (partial(tarvimo.closed_by, approximate=True), 1.0, True),
    "bh": (tarvimo.bh, 1.0, True),
}
P_PROCEDURES = [name for name, (_, _, pvalues) in PROCEDURES.items() if pvalues]
ALPHAS = [1e-6, 0.01, 0.05, 0.3, 0.9]


def given_values(rng, pvalues, n):
    if pvalues:
        return np.where(rng.random(n) < 0.4, rng.random(n) * 1e-3, rng.random(n) * 0.999)
    return np.where(rng.random(n) < 0.4, rng.exponential(200.0, n), rng.exponential(1.0, n)) + 1e-3


def explicitly(procedure, given, omitted, alpha, **options):
    """The mask of the given values when the omitted ones are handed over too (after them)."""
    return procedure(np.concatenate([given, omitted]), alpha, **options)[: len(given)]


@pytest.mark.parametrize("name", PROCEDURES)
def test_m_counts_omitted_hypotheses_like_explicit_padding(name):
    procedure, pad, pvalues = PROCEDURES[name]
    rng = np.random.default_rng(len(name))
    for n in (0, 1, 2, 7, 60, 400):
        for extra in (0, 1, 5, 300, 5000):
            alpha = float(rng.choice(ALPHAS))
            given = given_values(rng, pvalues, n)
            expected = explicitly(procedure, given, np.full(extra, pad), alpha)
            np.testing.assert_array_equal(procedure(given, alpha, m=n + extra), expected, err_msg=f"{n} {extra}")
            # NaN and masked entries count among the m as omitted hypotheses
            missing = rng.random(n) < 0.2
            with_nan = np.where(missing, np.nan, given)
            expected = explicitly(procedure, np.where(missing, pad, given), np.full(extra, pad), alpha)
            for values in (with_nan, np.ma.masked_array(given, missing)):
                mask = procedure(values, alpha, nan_policy="omit", m=n + extra)
                assert not mask[missing].any()
                np.testing.assert_array_equal(mask, expected & ~missing)


@pytest.mark.parametrize("name", PROCEDURES)
def test_a_total_per_family_counts_omitted_hypotheses_like_explicit_padding_of_each_family(name):
    procedure, pad, pvalues = PROCEDURES[name]
    rng = np.random.default_rng(40 + len(name))
    rejected = 0
    for size, families in ((1, 1), (12, 3), (300, 8), (2000, 150)):
        alpha = float(rng.choice(ALPHAS))
        given = given_values(rng, pvalues, size)
        missing = rng.random(size) < 0.1
        with_nan = np.where(missing, np.nan, given)
        labels = np.array([f"gene {k}" for k in rng.integers(0, families, size)], dtype=object)
        names, sizes = np.unique(labels, return_counts=True)
        extras = rng.choice([0, 1, 6, 400], names.size)
        totals = dict(zip(names.tolist(), (sizes + extras).tolist(), strict=True))
        # the omitted hypotheses handed over as p = 1 or e = 0 in their families (missing entries as
        # omitted ones), and no m
        padding = np.repeat(names, extras)
        expected = procedure(
            np.concatenate([np.where(missing, pad, given), np.full(padding.size, pad)]),
            alpha,
            groups=np.concatenate([labels, padding]),
        )[:size]
        rejected += int(expected.sum())
        per_value = np.array([totals[label] for label in labels])
        for m in (totals, per_value, per_value.tolist(), pd.Series(per_value, index=per_value[::-1])):
            mask = procedure(with_nan, alpha, nan_policy="omit", groups=labels, m=m, workers=2)
            np.testing.assert_array_equal(mask, expected & ~missing, err_msg=f"{size} {families}")
        # the same as one call with a scalar m per family
        for label in names[:5]:
            members = labels == label
            one = procedure(with_nan[members], alpha, nan_policy="omit", m=totals[label])
            np.testing.assert_array_equal(mask[members], one)
    assert rejected > 0


def test_totals_per_family_follow_the_labels_given():
    p = [0.001, 0.02, 0.001, 0.02]
    # family numbers as labels, an unused one without a total; pandas labels; totals beyond a family's
    # values only for the families present
    assert tarvimo.by(p, groups=[0, 0, 2, 2], m={0: 2, 2: 5000}).tolist() == [True, True, False, False]
    labels = ["x", "x", "y", "y"]
    for groups in (pd.Series(labels), pd.Categorical(labels), np.array(labels), labels):
        mask = tarvimo.by(p, groups=groups, m={"y": 5000, "x": 2, "unused": 1})
        assert mask.tolist() == [True, True, False, False]
    assert tarvimo.by(p, groups=[7.5, 7.5, 1.5, 1.5], m={7.5: 2, 1.5: 2}).all()
    assert tarvimo.by(p, groups=[7, 7, 9, 9], m=np.array([2, 2, 5000, 5000], dtype=np.uint16)).tolist() == [
        True,
        True,
        False,
        False,
    ]


@pytest.mark.parametrize("name", P_PROCEDURES)
def test_omitted_pvalues_above_the_bound_change_nothing(name):
    procedure, _, _ = PROCEDURES[name]
    rng = np.random.default_rng(20 + len(name))
    for alpha in [*ALPHAS, *rng.random(5).tolist(), 1 - 1e-9]:
        bound = bh_pvalue_omission_bound(alpha) if name == "bh" else pvalue_omission_bound(alpha)
        just_above = math.nextafter(bound, math.inf)
        if just_above > 1.0:
            continue  # no p-value lies beyond
        for n, extra in ((0, 1), (1, 1), (1, 2), (3, 4), (30, 10), (200, 50)):
            # given values crowd the margin: at and below the bound, on the BY lines
            given = rng.choice([bound, math.nextafter(bound, 0.0), alpha, alpha / 3, 1e-9, rng.random() * alpha], n)
            true_omitted = np.where(rng.random(extra) < 0.5, just_above, rng.uniform(just_above, 1.0, extra))
            true_omitted[0] = just_above
            expected = explicitly(procedure, given, true_omitted, alpha)
            np.testing.assert_array_equal(procedure(given, alpha, m=n + extra), expected, err_msg=f"{alpha} {n}")


@pytest.mark.parametrize("alpha", [0.01, 0.05, 0.1, 0.3])
def test_the_pvalue_bound_is_tight(alpha):
    bound = pvalue_omission_bound(alpha)
    below, above = math.nextafter(bound, 0.0), math.nextafter(bound, 1.0)
    if alpha < 0.05:
        # Below 0.05 the engine decides at alpha 2^j on p 2^j, where the margin
        # is 1e-10 2^-j: the bound stays safe, but is no longer tight.
        assert tarvimo.by([below, bound, above], alpha).tolist() == [False, False, False]
        assert tarvimo.closed_by([1e-6, above], alpha).tolist() == [True, False]
        assert tarvimo.closed_by([1e-6], alpha, m=2).tolist() == [True]
        return
    # BY, m = 1: the double below the bound always passes, the bound itself
    # for some levels (0.01, 0.1), depending on how alpha + 1e-10 rounds.
    assert tarvimo.by([below], alpha).tolist() == [True]
    assert tarvimo.by([bound], alpha).tolist() == [((bound * 1.0) / 1.0) - alpha <= 1e-10]
    assert tarvimo.by([above], alpha).tolist() == [False]
    # Closed BY: at the bound an omitted hypothesis would join the rejected set.
    assert tarvimo.closed_by([1e-6, bound], alpha).tolist() == [True, True]
    assert tarvimo.closed_by([1e-6, above], alpha).tolist() == [True, False]
    assert tarvimo.closed_by([1e-6], alpha, m=2).tolist() == [True]


@pytest.mark.parametrize("alpha", [*ALPHAS, 0.123, 1 - 1e-9])
def test_omitted_evalues_up_to_the_bound_change_nothing(alpha):
    rng = np.random.default_rng(int(alpha * 1e6))
    bound = evalue_omission_bound(alpha)
    for n, extra in ((0, 1), (1, 1), (3, 4), (30, 10), (200, 50), (5, 3000)):
        k = np.arange(1, n + extra + 1)
        given = rng.choice((n + extra) / (k * alpha) * rng.choice([1 - 1e-12, 1.0, 1 + 1e-12, 1 + 2e-12], k.size), n)
        true_omitted = np.where(rng.random(extra) < 0.5, bound, rng.uniform(0.0, bound, extra))
        expected = explicitly(tarvimo.ebh, given, true_omitted, alpha)
        np.testing.assert_array_equal(tarvimo.ebh(given, alpha, m=n + extra), expected)
    # Tight up to e-BH's margin of 1e-12: a little above, the omitted hypothesis is rejected itself.
    assert tarvimo.ebh([bound * (1 + 3e-12)], alpha).tolist() == [True]


def narrowing_families(rng, alpha, pvalues):
    """Families on the step-up lines (nudged within the margins), with strong signals, with many values
    between the narrowed and the omission bound, and with ties, at several sizes."""
    for m in (1, 2, 9, 120, 1500):
        k = np.arange(1, m + 1)
        if pvalues:
            line = k * alpha / (m * harmonic(m)[-1]) * (1 + rng.choice([-1e-9, 0.0, 1e-9, 1e-7], m))
            yield np.clip(line + rng.choice([-1e-10, 0.0, 5e-11, 1e-10, 2e-10], m), 0.0, 1.0)
            strong = rng.random(m) < 0.3
            yield np.where(strong, rng.random(m) * alpha / m, rng.uniform(0.0, min(2 * alpha, 1.0), m))
            yield np.round(np.where(strong, rng.random(m) ** 3 * alpha, rng.random(m)), 4)
            # Closed BY's edge: r - 1 tiny p-values and one whose e-value at size Z + 1 just reaches
            # 1 / (alpha r), with the Z others beyond the omission bound.
            z, r = m // 3, max(1, m // 10)
            edge = alpha * r / ((z + 1) * harmonic(z + 1)[-1]) * rng.choice([1 - 1e-9, 1.0, 1 + 1e-9])
            yield rng.permutation(np.concatenate([np.full(z, 0.95), np.full(r - 1, 1e-12), [edge], np.ones(m - z - r)]))
        else:
            yield m / (k * alpha) * (1 + rng.choice([-1e-12, 0.0, 1e-12, 2e-12, 1e-9], m))
            yield np.where(rng.random(m) < 0.3, rng.exponential(m / alpha, m), rng.exponential(2 / alpha, m))


NARROWED = {  # the procedure, its narrowed bound (alpha, m, count, values beyond the omission bound), p-values?
    "by": (tarvimo.by, lambda alpha, m, n, _: by_narrowed_bound(alpha, m, n), True),
    "ebh": (tarvimo.ebh, lambda alpha, m, n, _: ebh_narrowed_bound(alpha, m, n), False),
    "closed_by": (tarvimo.closed_by, closed_by_narrowed_bound, True),
}


@pytest.mark.parametrize("name", NARROWED)
def test_values_beyond_a_narrowed_bound_change_nothing(name):
    procedure, narrowed_bound, pvalues = NARROWED[name]
    rng = np.random.default_rng(len(name) + 40)
    for alpha in (1e-8, 0.01, 0.05, 0.2, 0.9):
        for values in narrowing_families(rng, alpha, pvalues):
            m = values.size
            expected = procedure(values, alpha)
            count = int(expected.sum())
            beyond = int(np.count_nonzero(values > pvalue_omission_bound(alpha))) if pvalues else 0
            # Any count at least the number of rejections, down to that number itself.
            for n in {max(count, 1), count + 1, 2 * count + 3, m}:
                bound = narrowed_bound(alpha, m, min(n, m), beyond)
                within = values <= bound if pvalues else values >= bound
                assert within[expected].all(), (alpha, m, n)
                mask = np.zeros(m, dtype=bool)
                mask[within] = procedure(values[within], alpha, m=m)
                np.testing.assert_array_equal(mask, expected, err_msg=f"alpha {alpha}, m {m}, n {n}")


def test_narrowed_bounds_shrink_the_candidates():
    # Uniform null p-values: the BY bound at N leaves about alpha N / H_m of them, the closed BY bound
    # about (alpha + 1e-10) m / H_m, both far fewer than the alpha m below the omission bound.
    m, alpha = 10**6, 0.05
    assert by_narrowed_bound(alpha, m, m) == pytest.approx(alpha / (math.log(m) + 0.5772), rel=1e-5)
    assert by_narrowed_bound(alpha, m, 1000) == pytest.approx(1000 * alpha / (m * harmonic(m)[-1]), rel=2e-6)
    beyond = int(0.95 * m)
    assert closed_by_narrowed_bound(alpha, m, 10, beyond) == pytest.approx(
        pvalue_omission_bound(alpha) / (math.log(beyond + 2) + 0.5772), rel=1e-5
    )
    assert ebh_narrowed_bound(alpha, m, 100) == pytest.approx(m / (alpha * 100), rel=1e-5)


def test_closed_ebh_with_omitted_evalues_rejects_a_mean_consistent_set_of_the_full_family():
    rng = np.random.default_rng(4)
    for _ in range(300):
        n, extra = int(rng.integers(1, 5)), int(rng.integers(1, 4))
        alpha = float(rng.choice([0.1, 0.25, 0.5]))
        given = rng.choice([0.0, 1.0, 2.0, 5.0, 10.0, 20.0, 40.0], n) * rng.choice([1.0, 1.3], n)
        omitted = rng.choice([0.0, 0.5, 3.0, 30.0], extra)
        rejected = np.flatnonzero(tarvimo.closed_ebh(given, alpha, m=n + extra)).tolist()
        assert (
            mean_consistent([*given, *omitted], rejected, alpha)
            or rejected == np.flatnonzero(tarvimo.ebh(given, alpha, m=n + extra)).tolist()
        ), (given, omitted, alpha)


def test_closed_by_rejects_the_by_set_on_the_margin():
    # 333 p-values just above the BY line at rank 333 (within BY's 1e-10):
    # BY rejects them; the closed BY check alone does not.
    m = 1000
    p = np.full(m, 0.9)
    p[:333] = 333 * 0.05 / (m * harmonic(m)[-1]) * (1 + 1e-11)
    assert _vardo.largestcBYsignificant_cpp(sorted(p.tolist(), reverse=True), 0.05) == 0
    assert tarvimo.by(p).sum() == 333
    np.testing.assert_array_equal(tarvimo.closed_by(p), tarvimo.by(p))
    np.testing.assert_array_equal(tarvimo.closed_by(p, m=5000), tarvimo.by(p, m=5000))


@pytest.mark.parametrize("alpha", [1e-6, 0.05, 0.5])
def test_closed_procedures_take_the_larger_count_on_nudged_lines(alpha):
    rng = np.random.default_rng(int(alpha * 1e7))
    for m in (1, 2, 5, 40, 300):
        k = np.arange(1, m + 1)
        nudges = rng.choice([-1e-10, -1e-11, 0.0, 1e-11, 5e-11, 2e-10], m)
        p = np.clip(k * alpha / (m * harmonic(m)[-1]) + nudges, 0.0, 1.0)
        e = m / (k * alpha) * (1 + rng.choice([-1e-12, 0.0, 1e-12, 2e-12], m))
        # below 0.05 the engine decides on scaled p-values at a scaled level
        descending, level = scaled_for_core(sorted(p.tolist(), reverse=True), alpha)
        ascending = sorted(e.tolist())
        by_count = _vardo.BY_cpp(descending, harmonic(m), level)
        ebh_count = _vardo.eBH_cpp(ascending, alpha)
        for approximate in (False, True):
            closed_by = tarvimo.closed_by(p, alpha, approximate=approximate)
            search = _vardo.largestcBYsignificant_approximate_cpp if approximate else _vardo.largestcBYsignificant_cpp
            assert closed_by.sum() == max(by_count, search(descending, level))
            assert (closed_by >= tarvimo.by(p, alpha)).all()
            closed_ebh = tarvimo.closed_ebh(e, alpha, approximate=approximate)
            assert closed_ebh.sum() == max(ebh_count, _vardo.closede_bh_cpp(ascending, alpha, approximate))
            assert (closed_ebh >= tarvimo.ebh(e, alpha)).all()


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (
            lambda: tarvimo.by([0.1, 0.2, 0.3], m=2),
            ValueError,
            r"m = 2 is smaller than the number of values given \(3\)",
        ),
        (lambda: tarvimo.by([0.1, np.nan], nan_policy="omit", m=1), ValueError, r"given \(2\)"),
        (lambda: tarvimo.ebh([1.0], m=10**12 + 1), ValueError, r"more than 1,000,000,000,000 \(10\^12\), the largest"),
        (lambda: tarvimo.ebh([1.0], m=-1), ValueError, "smaller than the number of values"),
        (lambda: tarvimo.by([0.1], m=True), TypeError, "m must be an integer"),
        (lambda: tarvimo.by([0.1], m=1e9), TypeError, "m must be an integer"),
        (lambda: tarvimo.by([0.1], m="10"), TypeError, "m must be an integer"),
        # a total per family
        (lambda: tarvimo.by([0.1, 0.2], groups=["a", "b"], m={"a": 3}), ValueError, "m has no total for the family 'b"),
        (
            lambda: tarvimo.by([0.1, 0.2, 0.3], groups=["a", "b", "b"], m={"a": 1, "b": 1}),
            ValueError,
            r"m = 1 for the family 'b' is smaller than the number of its values given \(2\)",
        ),
        (
            lambda: tarvimo.by([0.1, np.nan], groups=["a", "a"], m={"a": 1}, nan_policy="omit"),
            ValueError,
            r"given \(2\)",
        ),
        (
            lambda: tarvimo.ebh([1.0, 2.0], groups=[5, 6], m={5: 1, 6: 10**12 + 1}),
            ValueError,
            "m for the family 6 is more than 1,000,000,000,000",
        ),
        (
            lambda: tarvimo.ebh([1.0, 2.0], groups=[5, 6], m=[1, 10**30]),
            ValueError,
            "m for the family 6 is more than 1,000,000,000,000",
        ),
        (lambda: tarvimo.by([0.1], groups=["a"], m={"a": 2.0}), TypeError, r"m\['a'\] must be an integer"),
        (lambda: tarvimo.by([0.1], groups=["a"], m={"a": True}), TypeError, r"m\['a'\] must be an integer"),
        (
            lambda: tarvimo.by([0.1, 0.2, 0.3], groups=["a", "b", "a"], m=[5, 6, 7]),
            ValueError,
            r"m varies within the family 'a': m\[0\] = 5 but m\[2\] = 7",
        ),
        (
            lambda: tarvimo.by([0.1, 0.2, 0.3], groups=["a", "b", "a"], m=[5, 6]),
            ValueError,
            r"one total per value \(3\) or map each family's label to its total, got 2",
        ),
        (lambda: tarvimo.by([0.1, 0.2], groups=["a", "a"], m=np.array([5.0, 5.0])), TypeError, "dtype float64"),
        (lambda: tarvimo.by([0.1, 0.2], groups=["a", "a"], m=[5, None]), TypeError, r"m\[1\] must be an integer, got"),
        (lambda: tarvimo.by([0.1, 0.2], groups=["a", "a"], m=np.ma.masked_equal([5, 6], 6)), ValueError, "masked"),
        (lambda: tarvimo.by([0.1, 0.2], groups=["a", "a"], m=5), ValueError, "with groups, m gives the total of each"),
    ],
)
def test_bad_totals_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_m_takes_numpy_integers():
    assert tarvimo.by([1e-12], m=np.int64(10)).tolist() == [True]
    assert tarvimo.closed_ebh([1e12], m=np.uint32(3)).tolist() == [True]


@pytest.mark.parametrize("method", ["by", "closed_by", "closed_ebh"])
def test_no_values_take_an_empty_list_of_totals(method):
    # A table filtered down to no rows gives empty lists: no family, nothing to decide.
    assert getattr(tarvimo, method)([], groups=[], m=[]).shape == (0,)
    assert tarvimo.adjust([], method, groups=[], m=[]).shape == (0,)
    with pytest.raises(TypeError, match="dtype float64"):  # totals that are not whole numbers are still refused
        tarvimo.adjust([0.1], method, groups=["a"], m=[5.0])


TRUNCATED = """
import resource, numpy as np, tarvimo
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
rng = np.random.default_rng(1)
p = rng.random(100_000) * 1e-4
e = 1.0 / p
print([int(f(v, m=10**9).sum()) for f, v in
       ((tarvimo.by, p), (tarvimo.closed_by, p), (tarvimo.ebh, e), (tarvimo.closed_ebh, e))])
"""


@pytest.mark.skipif(
    bool(os.environ.get("TARVIMO_SANITIZED")),
    reason="AddressSanitizer's shadow memory does not fit an address-space limit",
)
def test_a_truncated_list_does_not_build_its_padding():
    # 10^5 p-values of a billion: the padding alone would take 8 GB.
    done = subprocess.run([sys.executable, "-c", TRUNCATED], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]


def literal_mask(values, count, pvalues):
    """The `count` strongest values, the earlier first among equals."""
    order = np.argsort(values if pvalues else -values, kind="stable")
    mask = np.zeros(len(values), dtype=bool)
    mask[order[:count]] = True
    return mask


def on_the_margins(rng, pvalues, m, alpha):
    """Values on the step-up thresholds of random ranks, a double either side, ties, and far values."""
    ranks = rng.integers(1, m // 3, m).astype(float)  # dense enough that counts stop inside
    on = ranks * (alpha + 1e-10) / (m * harmonic(m)[m]) if pvalues else m / (ranks * alpha)
    values = np.select(
        [rng.random(m) < 0.25, rng.random(m) < 0.33, rng.random(m) < 0.1],
        [np.nextafter(on, 0.0), np.nextafter(on, 2.0 * on), on[0]],
        on,
    )
    far = rng.random(m) < 0.5
    return np.where(far, rng.random(m) if pvalues else on / 50.0, np.minimum(values, 1.0) if pvalues else values)


@pytest.mark.parametrize("alpha", [0.05, 0.3, 0.05 / 1024])
@pytest.mark.parametrize("pvalues", [True, False])
def test_step_up_counts_without_a_sort_match_the_literal_scan_on_the_margins(pvalues, alpha):
    rng = np.random.default_rng(29)
    m = 3000
    for _ in range(5):
        values = on_the_margins(rng, pvalues, m, alpha)
        descending = sorted(values, reverse=pvalues)
        count = _vardo.BY_cpp(descending, harmonic(m), alpha) if pvalues else _vardo.eBH_cpp(descending, alpha)
        got = (tarvimo.by if pvalues else tarvimo.ebh)(values, alpha)
        assert 0 < count < m
        assert np.array_equal(got, literal_mask(values, count, pvalues))


@pytest.mark.parametrize("approximate", [False, True])
def test_closed_by_without_the_values_beyond_the_omission_bound_matches_the_literal_search(approximate):
    # p-values at alpha + 1e-10, a double either side, and some that closed BY rejects.
    rng = np.random.default_rng(31)
    alpha = 0.05
    bound = pvalue_omission_bound(alpha)
    search = _vardo.largestcBYsignificant_approximate_cpp if approximate else _vardo.largestcBYsignificant_cpp
    for _ in range(4):
        values = rng.choice([bound, np.nextafter(bound, 1.0), np.nextafter(bound, 0.0), 0.5], 400)
        values[:30] = rng.random(30) * 1e-3
        count = max(
            search(sorted(values, reverse=True), alpha),
            _vardo.BY_cpp(sorted(values, reverse=True), harmonic(400), alpha),
        )
        got = tarvimo.closed_by(values, alpha, approximate=approximate)
        assert np.array_equal(got, literal_mask(values, count, True))
