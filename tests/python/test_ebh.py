"""eBH count, mean-consistency check and closed e-BH searches of the _vardo core."""

import itertools

import numpy as np
import pytest
from definitions import error_in_subprocess, evalue_slacks

from tarvimo import _vardo as v

TOLERANCE = 1e-12
ALPHAS = (0.05, 0.1, 0.2, 0.5)
NONMONOTONE = [0.1, 2.1, 2.7, 18.8, 30.6]  # at alpha 0.1 only r = 2 passes
WORKED_PROFILE = [0.0, 0.2, 1.2, 9.2, 29.2]  # e-values 0.2, 1, 8, 20


def running_sum(evalues):
    return list(itertools.accumulate(evalues, initial=0.0))


def random_evalues(rng, m):
    """Ascending e-values: heavy tails, plain spread, or ties and zeros on a grid."""
    kind = rng.integers(4)
    if kind == 0:
        e = rng.lognormal(0.0, 2.0, m)
    elif kind == 1:
        e = rng.pareto(1.1, m) * 5.0
    elif kind == 2:
        e = rng.choice([0.0, 1.0, 5.0, 10.0, 20.0, 50.0], m)
    else:
        e = rng.exponential(10.0, m)
    return sorted(e.tolist())


def clear_verdict(slacks, evalues):
    """Verdict of 'every slack >= -TOLERANCE', or None when a slack is too near the margin."""
    if min(abs(s) for s in slacks) < 1e-9 * (1.0 + sum(evalues)):
        return None
    return min(slacks) >= -TOLERANCE


def pair_slacks(inside, outside, r, alpha):
    """Weakest group with i_in members inside and i_out outside, minus its threshold."""
    inside, outside = sorted(inside), sorted(outside)
    return [
        sum(inside[:i_in]) + sum(outside[:i_out]) - i_in * (i_in + i_out) / (r * alpha)
        for i_in in range(1, r + 1)
        for i_out in range(len(outside) + 1)
    ]


def ebh_by_definition(evalues, alpha):
    desc = sorted(evalues, reverse=True)
    m = len(desc)
    return max((k for k in range(1, m + 1) if k * alpha * desc[k - 1] / m >= 1 + TOLERANCE), default=0)


@pytest.mark.parametrize(
    ("evalues", "alpha", "expected"),
    [
        ([], 0.1, 0),
        ([2.0], 0.5, 0),  # product exactly 1 is not enough
        ([2.1], 0.5, 1),
        ([2.0 + 1e-12], 0.5, 0),  # inside the 1e-12 margin
        ([2.0 + 4e-12], 0.5, 1),
        ([50, 0.5, 3, 25], 0.1, 4),  # scanned in the given order
        ([0.5, 3, 25, 50], 0.1, 2),
        ([0.5, 3, 10, 40], 0.1, 0),
        ([4, 4, 4], 0.5, 3),
        ([2, 2, 2], 0.5, 0),
        ([10], 0.1, 0),
        ([0.5, 3, 25, 50], 0.0, 0),
        ([1, float("inf")], 0.05, 1),
    ],
)
def test_ebh_count(evalues, alpha, expected):
    assert v.eBH_cpp(evalues, alpha) == expected


def test_ebh_matches_its_definition():
    rng = np.random.default_rng(7)
    checked = 0
    for _ in range(400):
        m = int(rng.integers(1, 50))
        evalues, alpha = random_evalues(rng, m), float(rng.choice(ALPHAS))
        if any(abs(k * alpha * e / m - 1) < 1e-9 for k, e in enumerate(reversed(evalues), 1)):
            continue
        checked += 1
        assert v.eBH_cpp(evalues, alpha) == ebh_by_definition(evalues, alpha), (evalues, alpha)
    assert checked > 300


@pytest.mark.parametrize(
    ("evalues", "alpha", "exact", "approximate"),
    [
        ([], 0.05, 0, 0),
        ([1, 2, 30, 40, 50], 0.1, 3, 3),
        ([1, 2, 30, 40, 50], 0.05, 3, 3),
        ([10, 10], 0.1, 2, 2),
        ([9.9, 10], 0.1, 0, 0),
        ([0.2, 1, 8, 20], 0.2, 2, 2),
        (NONMONOTONE, 0.1, 2, 0),
        ([100, 100, 100], 0.1, 3, 3),
        ([0, 0, 0], 0.1, 0, 0),
        ([10], 0.1, 1, 1),  # a target of exactly 0 passes, the eBH count is 0
    ],
)
def test_closed_ebh_searches(evalues, alpha, exact, approximate):
    assert v.largestmeanconsistent_cpp(evalues, alpha) == exact
    assert v.largestmeanconsistent_approximate_cpp(evalues, alpha) == approximate
    for entry in (v.closede_bh_cpp, v.largest_mean_consistent_k):
        assert entry(evalues, alpha, False) == exact
        assert entry(evalues, alpha, True) == approximate


def test_defaults_are_level_005_and_exact_search():
    evalues = [2 * e for e in NONMONOTONE]  # at 0.05 the same verdicts as NONMONOTONE at 0.1
    assert v.closede_bh_cpp(evalues) == 2
    assert v.largest_mean_consistent_k(evalues=evalues, approximate=True) == 0
    assert v.closede_bh_cpp(evalues, approximate=True) != v.closede_bh_cpp(evalues, 0.1, True)
    assert v.is_subset_mean_consistent([19.8, 20], [1]) is False
    assert v.is_subset_mean_consistent([19.8, 20], [1], 0.1) is True


@pytest.mark.parametrize(
    ("cum_e", "r", "alpha", "expected"),
    [(WORKED_PROFILE, r, 0.2, r not in (3, 4)) for r in range(7)]  # sizes above m pass: no pair to test
    + [([], 1, 0.1, True), ([], 0, 0.1, True), ([0.0, 10.0], 1, 0.1, True), ([0.0, 9.9], 1, 0.1, False)],
)
def test_mean_consistency_of_one_size(cum_e, r, alpha, expected):
    assert v.meanconsistent_wrapper_cpp(cum_e, r, alpha) is expected


@pytest.mark.parametrize(
    ("evalues", "subset", "alpha", "expected"),
    [
        ([1, 2, 30, 40, 50], [2, 3, 4], 0.1, True),
        ([1, 2, 30, 40, 50], [0, 1], 0.1, False),
        ([1, 2, 30, 40, 50], [0, 4], 0.1, False),
        ([50, 2, 40, 1, 30], [0, 2, 4], 0.1, True),
        ([10, 10], [0], 0.1, True),
        ([9.9, 10], [1], 0.1, False),
        ([1, 10], [1, 1, 1], 0.1, False),  # repeats count once, also beyond the number of e-values
        ([], [], 0.05, True),
        ([float("nan"), 1.0], [], 0.05, True),
        ([0.0, 0.0], [], -1.0, True),
        # An infinite e-value outside the subset must not hide a weak member.
        ([float("inf"), 0.001], [1], 0.05, False),
        ([float("inf"), float("inf"), 9.0, 30.0], [3, 2], 0.05, False),
        ([float("inf"), 30.0], [1], 0.05, True),
        ([float("inf"), 25.0], [0, 1], 0.05, True),
    ],
)
def test_subset_mean_consistency(evalues, subset, alpha, expected):
    assert v.is_subset_mean_consistent(evalues, subset, alpha) is expected


@pytest.mark.parametrize("alpha", [0.02, 0.05, 0.1, 0.2, 0.5])
def test_repeated_index_tests_the_same_set(alpha):
    evalues = [1, 2, 30, 40, 50]
    for repeated, distinct in (([2, 2, 3], [2, 3]), ([4, 2, 4, 3, 2], [2, 3, 4])):
        expected = v.is_subset_mean_consistent(evalues, distinct, alpha)
        assert v.is_subset_mean_consistent(evalues, repeated, alpha) is expected


def test_subset_profile_of_worked_example():
    # evalues [4, 1, 3, 2, 5] with subset [3, 0]: complement 1, 3, 5 then subset 2, 4.
    verdicts = set()
    for alpha in (0.05, 0.1, 0.2, 0.25, 0.3, 0.5, 0.75, 1.0):
        verdict = v.is_subset_mean_consistent([4, 1, 3, 2, 5], [3, 0], alpha)
        assert verdict is v.meanconsistent_wrapper_cpp([0, 1, 4, 9, 11, 15], 2, alpha)
        verdicts.add(verdict)
    assert verdicts == {True, False}


def test_checks_and_searches_match_the_definition():
    rng = np.random.default_rng(2024)
    checked = 0
    for _ in range(300):
        evalues, alpha = random_evalues(rng, int(rng.integers(1, 9))), float(rng.choice(ALPHAS))
        m, cum_e = len(evalues), running_sum(evalues)
        verdicts = [
            clear_verdict(pair_slacks(evalues[m - r :], evalues[: m - r], r, alpha), evalues) for r in range(1, m + 1)
        ]
        if None in verdicts:
            continue
        checked += 1
        for r, verdict in enumerate(verdicts, 1):
            assert v.meanconsistent_wrapper_cpp(cum_e, r, alpha) is verdict, (evalues, alpha, r)
        exact = max((r for r, verdict in enumerate(verdicts, 1) if verdict), default=0)
        assert v.largestmeanconsistent_cpp(evalues, alpha) == exact, (evalues, alpha)
        approximate = v.largestmeanconsistent_approximate_cpp(evalues, alpha)
        assert approximate == v.eBH_cpp(evalues, alpha) or verdicts[approximate - 1]
    assert checked > 150


def test_subset_check_matches_the_definition():
    rng = np.random.default_rng(99)
    checked = 0
    for _ in range(300):
        m = int(rng.integers(1, 7))
        evalues = rng.permutation(random_evalues(rng, m)).tolist()
        subset = rng.integers(0, m, int(rng.integers(1, m + 3))).tolist()  # repeats allowed
        alpha = float(rng.choice(ALPHAS))
        verdict = clear_verdict(evalue_slacks(evalues, subset, alpha), evalues)
        if verdict is None:
            continue
        checked += 1
        assert v.is_subset_mean_consistent(evalues, subset, alpha) is verdict, (evalues, subset, alpha)
    assert checked > 150


def test_bit_exact_properties():
    rng = np.random.default_rng(5)
    for _ in range(200):
        m = int(rng.integers(1, 12))
        evalues, alpha = random_evalues(rng, m), float(rng.choice(ALPHAS))
        cum_e = running_sum(evalues)
        for r in range(1, m + 1):
            last_r = list(range(m - r, m))
            assert v.is_subset_mean_consistent(evalues, last_r, alpha) is v.meanconsistent_wrapper_cpp(cum_e, r, alpha)
        subset = rng.choice(m, int(rng.integers(1, m + 1)), replace=False).tolist()
        perm = rng.permutation(m)  # new position of each old position
        moved = [0.0] * m
        for old, new in enumerate(perm):
            moved[new] = evalues[old]
        renumbered = rng.permutation([int(perm[i]) for i in subset]).tolist()
        verdict = v.is_subset_mean_consistent(evalues, subset, alpha)
        assert v.is_subset_mean_consistent(moved, renumbered, alpha) is verdict
        assert v.is_subset_mean_consistent(evalues, subset[::-1], alpha) is verdict
        for approximate in (False, True):
            found = v.closede_bh_cpp(evalues, alpha, approximate)
            assert v.largest_mean_consistent_k(evalues, alpha, approximate) == found
        approx_k, ebh = v.closede_bh_cpp(evalues, alpha, True), v.eBH_cpp(evalues, alpha)
        assert ebh <= approx_k <= v.closede_bh_cpp(evalues, alpha)
        assert approx_k == ebh or v.meanconsistent_wrapper_cpp(cum_e, approx_k, alpha)


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        ("is_subset_mean_consistent([1.0, 2.0], [2], 0.05)", "IndexError: subset index out of range"),
        ("is_subset_mean_consistent([1.0, 2.0], [-1], 0.05)", "IndexError: subset index out of range"),
        ("is_subset_mean_consistent([1.0, 2.0], [0, 5], 0.05)", "IndexError: subset index out of range"),
        ("is_subset_mean_consistent([], [0], 0.05)", "IndexError: subset index out of range"),
        ("is_subset_mean_consistent([1.0, nan], [0], 0.05)", "ValueError: "),
    ],
)
def test_bad_input(call, expected):
    assert error_in_subprocess(call).startswith(expected)


def test_negative_size_error_names_r():
    message = error_in_subprocess("meanconsistent_wrapper_cpp([0.0, 1.0], -3, 0.1)")
    assert message.startswith("ValueError: ") and " r " in message and "-3" in message
