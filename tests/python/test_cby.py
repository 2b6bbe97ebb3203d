"""BY step-up count, the closed BY check of one count, and the searches for the largest count."""

import time

import numpy as np
import pytest
from definitions import cby_failing_sizes, error_in_subprocess, harmonic
from statsmodels.stats.multitest import multipletests

from tarvimo import _vardo

ALPHA = 0.05
MARGIN = 1e-6
H1 = [0.0, 1.0]
H4 = [0.0, 1.0, 1.5, 1.8333333333333333, 2.083333333333333]
P4 = [0.08, 0.02, 0.02, 0.01]  # largest first; counts 1, 2 and 4 fail, 3 passes


def off_margin(p, alpha):
    m = len(p)
    h = np.array(harmonic(m))[1:, None]
    scaled = np.asarray(p)[None, :] * np.arange(1, m + 1)[:, None] * h / alpha
    near_integer = np.abs(scaled - np.round(scaled)) < MARGIN
    near_cutoff = np.abs(np.asarray(p)[None, :] * h - alpha) < MARGIN
    return not (near_integer.any() or near_cutoff.any())


def random_pvalues(rng, max_m):
    """Largest-first p-values drawn from a small pool (ties) weighted towards small values."""
    pool = np.concatenate([rng.uniform(0, 0.02, 3), rng.uniform(0, 0.1, 2), rng.uniform(0, 1, 1)])
    while True:
        p = sorted(rng.choice(pool, int(rng.integers(1, max_m + 1))).tolist(), reverse=True)
        if off_margin(p, ALPHA):
            return p


@pytest.mark.parametrize(
    ("p", "expected"),
    [
        ([], 0),
        ([0.05 + 5e-11], 1),
        ([0.05 + 2e-10], 0),
        ([0.05], 1),
        (P4, 0),
        ([0.5, 0.004, 0.001], 2),
        ([0.011, 0.011, 0.011], 3),
        ([0.001, 0.5, 0.5], 3),  # ranks follow positions: sorting is the caller's duty
    ],
)
def test_by_count(p, expected):
    assert _vardo.BY_cpp(p, harmonic(len(p)), ALPHA) == expected
    assert _vardo.BY_cpp(p, harmonic(len(p) + 5), ALPHA) == expected  # only H_m is read


def test_by_count_agrees_with_statsmodels():
    rng = np.random.default_rng(7)
    for _ in range(300):
        m = int(rng.integers(1, 40))
        p = np.sort(rng.beta(0.3, 4.0, m))[::-1]
        k = np.arange(m, 0, -1)
        if np.any(np.abs(p * m * harmonic(m)[m] / k - ALPHA) < MARGIN):
            continue
        expected = int(multipletests(p[::-1], ALPHA, method="fdr_by")[0].sum())
        assert _vardo.BY_cpp(p.tolist(), harmonic(m), ALPHA) == expected, p


@pytest.mark.parametrize(
    ("p", "r", "warm_s", "res", "at_s"),
    [
        (P4, 3, 0, True, 0),
        (P4, 3, 3, True, 0),
        (P4, 4, 0, False, 1),
        (P4, 4, 3, False, 3),
        (P4, 2, 0, False, 3),
        (P4, 2, 3, False, 3),
        (P4, 1, 3, False, 3),
        ([0.04], 1, 0, True, 0),
        ([0.05 + 1e-12], 1, 0, True, 0),
        ([0.05 + 5e-11], 1, 0, False, 1),
        ([0.06], 1, 0, False, 1),
    ],
)
def test_cby_check_worked_examples(p, r, warm_s, res, at_s):
    assert _vardo.cBY_check_cpp(p, r, harmonic(len(p)), warm_s, ALPHA) == {"res": res, "at_s": at_s}


@pytest.mark.parametrize(("p", "harmonic_numbers", "warm_s"), [([], [], 0), (P4, [], 9), ([0.9], H1, -3)])
def test_cby_check_of_count_zero_passes_whatever_the_input(p, harmonic_numbers, warm_s):
    assert _vardo.cBY_check_cpp(p, 0, harmonic_numbers, warm_s, ALPHA) == {"res": True, "at_s": 0}


@pytest.mark.parametrize(
    ("p", "alpha", "exact", "approximate"),
    [
        ([], ALPHA, 0, 0),
        ([0.01, 0.001], 0.0, 0, 0),
        ([0.01, 0.001], -0.1, 0, 0),
        ([0.0] * 5, ALPHA, 5, 5),
        ([0.3, 0.0, 0.0], ALPHA, 2, 2),
        (P4, ALPHA, 3, 0),
        ([0.05 + 5e-11], ALPHA, 0, 1),
    ],
)
def test_search_examples(p, alpha, exact, approximate):
    assert _vardo.largestcBYsignificant_cpp(p, alpha) == exact
    assert _vardo.largestcBYsignificant_approximate_cpp(p, alpha) == approximate


@pytest.mark.parametrize("seed", range(6))
def test_check_and_searches_agree_with_subset_enumeration(seed):
    rng = np.random.default_rng(seed)
    for _ in range(50):
        p = random_pvalues(rng, max_m=9)
        m, h = len(p), harmonic(len(p))
        passing = []
        for r in range(m + 1):
            failing = cby_failing_sizes(p, range(m - r, m), ALPHA)
            passing.append(not failing)
            for warm_s in range(m + 1):
                check = _vardo.cBY_check_cpp(p, r, h, warm_s, ALPHA)
                assert check["res"] == (not failing), (p, r, warm_s)
                assert check["at_s"] in (failing or {0}), (p, r, warm_s, failing)
        exact = max(r for r in range(m + 1) if passing[r])
        by = _vardo.BY_cpp(p, h, ALPHA)
        approximate = _vardo.largestcBYsignificant_approximate_cpp(p, ALPHA)
        assert _vardo.largestcBYsignificant_cpp(p, ALPHA) == exact, p
        assert by <= exact and approximate >= by, p
        if all(passing[: exact + 1]):
            assert approximate == exact, p


@pytest.mark.parametrize(("scale", "count"), [(1.1, 100_000), (2.0, 44_688)])
def test_searches_on_the_by_line_give_the_literal_counts_quickly(scale, count):
    """P-values on the BY line times 1.1 or 2 made the literal searches take
    seconds at this size (their m^2 walks); the counts are theirs."""
    m = 100_000
    h_m = float(np.sum(1.0 / np.arange(1, m + 1)))
    p = np.minimum(1.0, scale * np.arange(1, m + 1) * ALPHA / (m * h_m))[::-1].tolist()
    start = time.perf_counter()
    assert _vardo.largestcBYsignificant_cpp(p, ALPHA) == count
    assert _vardo.largestcBYsignificant_approximate_cpp(p, ALPHA) == count
    assert time.perf_counter() - start < 5.0


BAD_CALLS = [
    (f"BY_cpp({P4}, {H4[:4]}, 0.05)", "harmonic", "5"),
    ("BY_cpp([0.01], [], 0.05)", "harmonic", "2"),
    (f"cBY_check_cpp({P4}, -1, {H4}, 0, 0.05)", "r", "0 ... 4"),
    (f"cBY_check_cpp({P4}, 5, {H4}, 0, 0.05)", "r", "0 ... 4"),
    ("cBY_check_cpp([], 1, [0.0], 0, 0.05)", "r", "0 ... 0"),
    (f"cBY_check_cpp({P4}, 2, {H4}, -1, 0.05)", "warm_s", "0 ... 4"),
    (f"cBY_check_cpp({P4}, 2, {H4}, 5, 0.05)", "warm_s", "0 ... 4"),
    (f"cBY_check_cpp({P4}, 2, {H4[:4]}, 0, 0.05)", "harmonic", "5"),
    (f"cBY_check_cpp({P4}, 4, [], 0, 0.05)", "harmonic", "5"),
]


@pytest.mark.parametrize(("call", "argument", "bound"), BAD_CALLS)
def test_out_of_range_arguments_raise_value_error(call, argument, bound):
    message = error_in_subprocess(call)
    assert message.startswith(f"ValueError: {argument} ") and bound in message, message
