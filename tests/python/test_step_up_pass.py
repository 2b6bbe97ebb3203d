"""by, bh, ebh, closed BY and closed e-BH on one family check the domain in the core's one pass (closed BY's
in its gather, closed e-BH's in its copy): the same errors as the Python check (entry, message, precedence over
refused arguments) and the same masks as the route of many families, which decides each family on the literal
route."""

from functools import partial

import numpy as np
import pandas as pd
import pytest

import tarvimo
from tarvimo import _fast
from tarvimo._inputs import checked_evalues, checked_pvalues

NAN, INF = float("nan"), float("inf")
PROCEDURES = [
    ("by", tarvimo.by, checked_pvalues),
    ("bh", tarvimo.bh, checked_pvalues),
    ("ebh", tarvimo.ebh, checked_evalues),
    ("closed_by", tarvimo.closed_by, checked_pvalues),
    ("closed_by_approximate", partial(tarvimo.closed_by, approximate=True), checked_pvalues),
    ("closed_ebh", tarvimo.closed_ebh, checked_evalues),
    ("closed_ebh_approximate", partial(tarvimo.closed_ebh, approximate=True), checked_evalues),
]
EVALUE_METHODS = ("ebh", "closed_ebh", "closed_ebh_approximate")

# Several offenders at once: the first in input order is named, whatever its kind.
BAD_FAMILIES = [
    [0.1, NAN, -1.0],
    [0.1, -1.0, NAN],
    [0.5, 1.5, -0.5, NAN],
    [0.2, -INF, 0.3],
    [0.2, INF, 0.3],
    [NAN, NAN, 2.0],
    [0.3] * 9 + [-1e-300] + [0.3] * 7,
    [0.3] * 1030 + [NAN, 7.0],
    [None, 0.5, -3.0],
    [0.0, -0.0, 1.0, 1.0000000000000002],
]


def refusal(call):
    with pytest.raises(Exception) as info:
        call()
    error = info.value
    return type(error), str(error), getattr(error, "position", None), getattr(error, "index", None)


@pytest.mark.parametrize(("method", "procedure", "check"), PROCEDURES)
@pytest.mark.parametrize("policy", ["raise", "omit"])
def test_entries_outside_the_domain_are_named_as_by_the_python_check(method, procedure, check, policy):
    refused = 0
    for family in BAD_FAMILIES:
        for given in (
            family,
            np.array(family, dtype=float),
            pd.Series(family, index=[f"g{i}" for i in range(len(family))]),
        ):
            try:
                check(given, policy)
            except Exception:
                assert refusal(lambda: procedure(given, nan_policy=policy)) == refusal(lambda: check(given, policy))
                refused += 1
            else:
                expected = _fast.row_rejections(check(given, policy)[0][None, :], method, 0.05, 1)[0]
                assert np.array_equal(np.asarray(procedure(given, nan_policy=policy)), expected)
    assert refused >= 15


@pytest.mark.parametrize(("method", "procedure", "check"), PROCEDURES)
def test_an_entry_outside_the_domain_is_named_before_a_refused_argument(method, procedure, check):
    bad = np.array([0.01, -2.0, 0.5])
    entry = refusal(lambda: check(bad, "raise"))
    for arguments in ({"m": 2}, {"m": 2.5}, {"m": 10**13}, {"axis": 3}, {"workers": 0}, {"workers": "two"}):
        assert refusal(lambda: procedure(bad, **arguments)) == entry, arguments
    good = np.array([0.01, 0.02, 0.5]) if method not in EVALUE_METHODS else np.array([100.0, 2.0, 0.5])
    with pytest.raises(ValueError, match="smaller than the number of values given"):
        procedure(good, m=2)
    with pytest.raises(TypeError, match="m must be an integer"):
        procedure(good, m=2.5)


def margin_family(rng, method, n, alpha):
    """Values on the step-up lines of random ranks, a double either side, ties and NaN."""
    if method in EVALUE_METHODS:
        on = n / (rng.integers(1, n // 3 + 2, n) * alpha)
    else:
        harmonic = float(np.sum(1.0 / np.arange(1, n + 1))) if method != "bh" else 1.0
        on = rng.integers(1, n // 3 + 2, n) * (alpha + 1e-10) / (n * harmonic)
    kind = rng.integers(0, 5, n)
    values = np.where(kind == 0, np.nextafter(on, 0.0), np.where(kind == 1, np.nextafter(on, INF), on))
    values[kind == 2] = values[0]
    values[kind == 3] = rng.uniform(0.0, 1.0, np.count_nonzero(kind == 3))
    values[rng.uniform(size=n) < 0.05] = NAN
    return np.minimum(values, 1.0) if method not in EVALUE_METHODS else values


@pytest.mark.parametrize(("method", "procedure", "check"), PROCEDURES)
def test_masks_equal_the_literal_route_on_the_margin(method, procedure, check):
    """Margin values, ties, NaN omitted, given totals and scaled levels; one family of 70,000 runs on the
    core's thread."""
    rng = np.random.default_rng(5)
    for n, alpha, m in [
        (50, 0.05, None),
        (999, 0.01, None),
        (2000, 0.05, 2100),
        (70_000, 0.2, None),
        (333, 0.003, 400),
    ]:
        values = margin_family(rng, method, n, alpha)
        present = values[~np.isnan(values)]
        got = procedure(values, alpha, nan_policy="omit", m=m)
        codes = np.zeros(n, dtype=np.intp)
        totals = None if m is None else np.array([m], dtype=np.int64)
        expected = _fast.grouped_rejections(values, codes, 1, method, alpha, 1, totals)
        assert np.array_equal(got, expected), (n, alpha, m)
        assert 0 < np.count_nonzero(got) < present.size


@pytest.mark.parametrize("method", ["closed_ebh", "closed_ebh_approximate"])
def test_closed_ebh_sorted_on_two_threads_gives_the_literal_masks(method):
    """From 65,536 entries on, one closed e-BH family is sorted in two halves on two threads and merged: the
    masks of one thread, two, and the literal route agree on margin values with zeros of both signs, infinities
    and ties falling across the halves, NaN omitted unevenly between them, and given totals."""
    rng = np.random.default_rng(8)
    procedure = partial(tarvimo.closed_ebh, approximate=method.endswith("approximate"))
    for n, alpha, m in [(65_535, 0.05, None), (65_536, 0.05, None), (80_001, 0.2, 90_000), (131_075, 0.01, None)]:
        values = margin_family(rng, method, n, alpha)
        values[rng.integers(0, n, n // 50)] = rng.choice([0.0, -0.0, INF], n // 50)
        values[: n // 3][rng.uniform(size=n // 3) < 0.1] = NAN  # more missing in the first half
        codes = np.zeros(n, dtype=np.intp)
        totals = None if m is None else np.array([m], dtype=np.int64)
        expected = _fast.grouped_rejections(values, codes, 1, method, alpha, 1, totals)
        for workers in (1, 2, None):
            got = procedure(values, alpha, nan_policy="omit", m=m, workers=workers)
            assert np.array_equal(got, expected), (n, alpha, m, workers)
        assert 0 < np.count_nonzero(expected) < n
