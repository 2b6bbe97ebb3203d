"""The public procedures: definitions brute-forced on small inputs, peers, the
core's counts, ordering, input types and every kind of bad input."""

import doctest
import math
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from definitions import cby_failing_sizes, harmonic, mean_consistent, scaled_for_core
from scipy.stats import false_discovery_control
from statsmodels.stats.multitest import multipletests

import tarvimo
from tarvimo import _procedures, _vardo

PROCEDURES = [tarvimo.ebh, tarvimo.closed_ebh, tarvimo.by, tarvimo.closed_by, tarvimo.bh]
P_PROCEDURES = (tarvimo.by, tarvimo.closed_by, tarvimo.bh)
E_POOL = [0.0, 0.3, 1.0, 2.0, 4.0, 7.5, 10.0, 20.0, 40.0, 1e18, math.inf]
P_POOL = [0.0, 0.001, 0.004, 0.01, 0.02, 0.03, 0.05, 0.2, 1.0]


def cby_significant(p, chosen, alpha):
    return not cby_failing_sizes(p, chosen, alpha)


def top(values, r, largest):
    """The r strongest hypotheses; sorted() is stable, so ties go to the earlier one."""
    order = sorted(range(len(values)), key=lambda i: -values[i] if largest else values[i])
    return set(order[:r])


def random_small(rng, pool):
    m = int(rng.integers(1, 7))
    mixed = np.where(rng.random(m) < 0.5, rng.choice(pool, m), rng.random(m) * max(x for x in pool if x < 1e3))
    return [float(x) for x in mixed]


@pytest.mark.parametrize(
    ("procedure", "pool", "largest", "passes", "plain"),
    [
        (tarvimo.closed_ebh, E_POOL, True, mean_consistent, tarvimo.ebh),
        (tarvimo.closed_by, P_POOL, False, cby_significant, tarvimo.by),
    ],
    ids=["closed_ebh", "closed_by"],
)
def test_closed_procedures_against_their_definition(procedure, pool, largest, passes, plain):
    rng = np.random.default_rng(7)
    for _ in range(150):
        values = random_small(rng, pool)
        alpha = float(rng.choice([0.05, 0.1, 0.25, 0.5]))
        exact = procedure(values, alpha)
        rejected = set(np.flatnonzero(exact).tolist())
        assert rejected == top(values, len(rejected), largest)  # ties: the earlier hypothesis first
        # the set that passes the check, or the step-up set where that is larger
        assert passes(values, rejected, alpha) or (exact == plain(values, alpha)).all()
        assert not any(
            passes(values, top(values, r, largest), alpha) for r in range(len(rejected) + 1, len(values) + 1)
        )
        approximate = procedure(values, alpha, approximate=True)
        assert (
            passes(values, set(np.flatnonzero(approximate).tolist()), alpha)
            or (approximate == plain(values, alpha)).all()
        )


def test_is_mean_consistent_against_its_definition():
    rng = np.random.default_rng(11)
    for _ in range(300):
        e = random_small(rng, E_POOL)
        subset = {i for i in range(len(e)) if rng.random() < 0.5}
        alpha = float(rng.choice([0.01, 0.1, 0.25]))
        assert tarvimo.is_mean_consistent(e, sorted(subset), alpha) == mean_consistent(e, subset, alpha), (e, subset)


@pytest.mark.parametrize(
    ("evalues", "subset", "alpha"),
    [([math.inf, 0.001], [1], 0.05), ([1e308, 1e308, 0.001], [2], 0.05), ([1e18, 70.0], [1], 0.01)],
)
def test_huge_evalues_outside_the_subset_do_not_hide_a_weak_member(evalues, subset, alpha):
    assert not tarvimo.is_mean_consistent(evalues, subset, alpha)


@pytest.mark.parametrize("m", [0, 1, 2, 10, 257, 3000])
def test_counts_equal_the_core_on_sorted_input(m):
    rng = np.random.default_rng(m)
    p = np.where(rng.random(m) < 0.3, rng.random(m) * 1e-3, rng.random(m))
    e = np.exp(rng.normal(0, 2.5, m))
    p_desc, e_asc = sorted(p.tolist(), reverse=True), sorted(e.tolist())
    for alpha in (0.01, 0.05, 0.2):
        assert tarvimo.ebh(e, alpha).sum() == _vardo.eBH_cpp(e_asc, alpha) <= tarvimo.closed_ebh(e, alpha).sum()
        p_core, level = scaled_for_core(p_desc, alpha)  # below 0.05 the engine decides scaled p-values
        assert tarvimo.by(p, alpha).sum() == _vardo.BY_cpp(p_core, harmonic(m), level)
        for approximate, cby in (
            (False, _vardo.largestcBYsignificant_cpp),
            (True, _vardo.largestcBYsignificant_approximate_cpp),
        ):
            assert tarvimo.closed_ebh(e, alpha, approximate=approximate).sum() == _vardo.closede_bh_cpp(
                e_asc, alpha, approximate
            )
            assert tarvimo.closed_by(p, alpha, approximate=approximate).sum() == cby(p_core, level)


def test_by_sums_harmonic_numbers_left_to_right():
    # On this margin the count flips between H_1000 summed left to right and
    # the correctly rounded H_1000 (as math.fsum or numpy's pairwise sum give).
    m, q = 1000, 0.006679606537981222
    assert math.fsum(1.0 / i for i in range(1, m + 1)) != harmonic(m)[-1]
    assert tarvimo.by([q] * m).all()


@pytest.mark.parametrize("m", [1, 5, 60, 500])
def test_by_matches_statsmodels_and_scipy(m):
    rng = np.random.default_rng(100 + m)
    h = math.fsum(1.0 / i for i in range(1, m + 1))
    checked = 0
    for _ in range(40):
        p = np.where(rng.random(m) < 0.5, rng.random(m) * 0.02, rng.random(m))
        alpha = float(rng.choice([0.01, 0.05, 0.1, 0.3]))
        ratios = np.sort(p) * m * h / np.arange(1, m + 1)
        if np.min(np.abs(ratios - alpha)) < 1e-8:
            continue  # the tolerance of 1e-10 may decide here
        checked += 1
        mask = tarvimo.by(p, alpha)
        np.testing.assert_array_equal(mask, multipletests(p, alpha=alpha, method="fdr_by")[0])
        np.testing.assert_array_equal(mask, false_discovery_control(p, method="by") <= alpha)
    assert checked > 30


@pytest.mark.parametrize("m", [1, 5, 60, 500, 4000])
def test_bh_matches_statsmodels_scipy_and_the_literal_step_up_with_h_replaced_by_one(m):
    rng = np.random.default_rng(200 + m)
    ones = [0.0] + [1.0] * m  # the BY routine of the core with every harmonic number 1: BH
    checked = 0
    for _ in range(40):
        p = np.where(rng.random(m) < 0.5, rng.random(m) * 0.05, rng.random(m))
        alpha = float(rng.choice([0.01, 0.05, 0.1, 0.3]))
        mask = tarvimo.bh(p, alpha)
        assert mask.sum() == _vardo.BY_cpp(sorted(p.tolist(), reverse=True), ones, alpha)
        assert (mask >= tarvimo.by(p, alpha)).all()
        ratios = np.sort(p) * m / np.arange(1, m + 1)
        if np.min(np.abs(ratios - alpha)) < 1e-8:
            continue  # the tolerance of 1e-10 may decide here
        checked += 1
        np.testing.assert_array_equal(mask, multipletests(p, alpha=alpha, method="fdr_bh")[0])
        np.testing.assert_array_equal(mask, false_discovery_control(p, method="bh") <= alpha)
    assert checked > 30
    # p-values exactly on the lines, as statsmodels computes them: all rejected by both
    on_lines = rng.permutation(np.arange(1, m + 1) / m * 0.05)
    assert tarvimo.bh(on_lines).all() and multipletests(on_lines, alpha=0.05, method="fdr_bh")[0].all()


def test_bh_also_rejects_within_its_tolerance_above_a_line():
    # rank 3 of 4: the line is 3 * 0.05 / 4 = 0.0375; 2e-11 above it, (p * 4) / 3 - 0.05 is about
    # 2.7e-11, within the tolerance of 1e-10, which statsmodels and scipy do not have
    p = np.array([0.0375 + 2e-11, 0.9, 0.001, 0.02])
    assert tarvimo.bh(p).tolist() == [True, False, True, True]
    assert multipletests(p, alpha=0.05, method="fdr_bh")[0].tolist() == [False, False, True, True]
    assert (false_discovery_control(p) <= 0.05).tolist() == [False, False, True, True]
    p[0] = 0.0375 + 1e-9  # beyond the tolerance all agree
    assert tarvimo.bh(p).tolist() == [False, False, True, True]


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_a_series_gives_a_series_with_its_index_and_name(procedure):
    rng = np.random.default_rng(9)
    values = rng.random(300) ** 4 if procedure in P_PROCEDURES else rng.exponential(1.0, 300) ** 3 * 10.0
    index = pd.Index(rng.permutation(300) * 7 - 1000, name="variant")
    series = pd.Series(values, index=index, name="score")
    expected = procedure(values, 0.1)
    assert type(expected) is np.ndarray and expected.any() and not expected.all()
    assert type(procedure(values.tolist(), 0.1)) is np.ndarray
    result = procedure(series, 0.1)
    assert isinstance(result, pd.Series) and result.dtype == np.bool_ and result.name == "score"
    assert result.index.equals(series.index) and result.index.name == "variant"
    np.testing.assert_array_equal(result.to_numpy(), expected)
    # a DataFrame's column, with families from another column and an index with repeated labels:
    # the result lines up with the frame's rows
    frame = pd.DataFrame({"v": values, "gene": rng.choice(["a", "b", "c"], 300)}, index=index % 50)
    frame["rejected"] = procedure(frame["v"], 0.1, groups=frame["gene"], nan_policy="omit")
    np.testing.assert_array_equal(frame["rejected"].to_numpy(), procedure(values, 0.1, groups=frame["gene"].to_numpy()))
    # a 2-D frame stays the numpy mask of its values
    assert type(procedure(frame[["v"]], 0.1)) is np.ndarray


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_none_and_pandas_na_are_missing_values(procedure):
    strong, weak = (1e-4, 0.7) if procedure in P_PROCEDURES else (900.0, 0.5)
    given = [strong, None, weak, pd.NA, strong]
    with_nan = [strong, math.nan, weak, math.nan, strong]
    expected = procedure(with_nan, 0.1, nan_policy="omit")
    assert expected.tolist() == [True, False, False, False, True]
    nullable = pd.array([strong, None, weak, None, strong], dtype="Float64")
    for values in (
        given,
        tuple(given),
        np.array(given, dtype=object),
        pd.Series(given, dtype=object),
        pd.Series(nullable),
        pd.Series(nullable.astype("double[pyarrow]")),
    ):
        np.testing.assert_array_equal(procedure(values, 0.1, nan_policy="omit"), expected)
        with pytest.raises(tarvimo.InvalidEntryError, match=r"\[1\].* = nan: None and pandas' NA are missing") as info:
            procedure(values, 0.1)
        assert info.value.position == 1 and math.isnan(info.value.value)
    two_rows = [given, [strong] * 5]
    np.testing.assert_array_equal(procedure(two_rows, 0.1, nan_policy="omit", axis=1)[0], expected)
    with pytest.raises(tarvimo.InvalidEntryError, match=r"\[0, 1\] = nan: None"):
        procedure(two_rows, 0.1, axis=1)
    # a NaN keeps its own message; booleans stay refused in a nullable Series too
    with pytest.raises(tarvimo.InvalidEntryError, match=r"\[1\] = nan: NaN is refused"):
        procedure([strong, math.nan, None], 0.1)
    with pytest.raises(TypeError, match="True is not a real number"):
        procedure(pd.Series([True, None], dtype="boolean"), 0.1, nan_policy="omit")


def test_none_and_pandas_na_in_integer_evalues_and_is_mean_consistent():
    counts = pd.Series([1, None, 30, 40, 50], dtype="Int64")
    assert tarvimo.closed_ebh(counts, 0.1, nan_policy="omit").tolist() == [False, False, True, True, True]
    assert tarvimo.is_mean_consistent([1.0, None, 30.0, 40.0, pd.NA], [2, 3], 0.1, nan_policy="omit")
    with pytest.raises(ValueError, match="position 1, whose e-value is NaN"):
        tarvimo.is_mean_consistent([1.0, None, 30.0], [1], 0.1, nan_policy="omit")


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_permuting_the_input_permutes_the_mask(procedure):
    rng = np.random.default_rng(3)
    uniform = rng.random(400)
    values = uniform**3 if procedure in P_PROCEDURES else uniform**-2.0
    perm = rng.permutation(values.size)
    for alpha in (0.05, 0.3):
        mask = procedure(values, alpha)
        assert mask.any()
        np.testing.assert_array_equal(procedure(values[perm], alpha), mask[perm])


def test_is_mean_consistent_ignores_order_and_takes_masks():
    e = np.array([50.0, 2.0, 40.0, 1.0, 30.0])
    assert tarvimo.is_mean_consistent(e, [4, 0, 2, 2], 0.1)
    assert tarvimo.is_mean_consistent(e, e > 10, 0.1)
    assert tarvimo.is_mean_consistent(e[::-1], [0, 2, 4], 0.1)
    assert not tarvimo.is_mean_consistent(e, [0, 3], 0.1)
    assert tarvimo.is_mean_consistent(e, [], 0.1) and tarvimo.is_mean_consistent([], [])


@pytest.mark.parametrize(
    ("procedure", "values", "alpha", "approximate", "expected"),
    [
        # ties at the boundary: the hypothesis earlier in the input is rejected first
        (tarvimo.closed_ebh, [2.0, 2.0, 20.0], 0.25, False, [True, False, True]),
        (tarvimo.closed_ebh, [20.0, 2.0, 2.0], 0.25, False, [True, True, False]),
        (tarvimo.closed_by, [0.03, 0.03, 0.01, 0.01, 0.001], 0.05, False, [True, False, True, True, True]),
        (tarvimo.closed_by, [0.01, 0.03, 0.001, 0.01, 0.03], 0.05, False, [True, True, True, True, False]),
        # passing is not monotone in the size: bisection misses the exact answer
        (tarvimo.closed_ebh, [30.6, 0.1, 18.8, 2.1, 2.7], 0.1, False, [True, False, True, False, False]),
        (tarvimo.closed_ebh, [30.6, 0.1, 18.8, 2.1, 2.7], 0.1, True, [False] * 5),
        (tarvimo.closed_by, [0.01, 0.08, 0.02, 0.02], 0.05, False, [True, False, True, True]),
        (tarvimo.closed_by, [0.01, 0.08, 0.02, 0.02], 0.05, True, [False] * 4),
        # within the 1e-10 margin BY rejects and the closed BY check does not: the larger count wins
        (tarvimo.closed_by, [0.05 + 5e-11], 0.05, False, [True]),
        (tarvimo.closed_by, [0.05 + 5e-11], 0.05, True, [True]),
        (tarvimo.closed_by, [0.05 + 2e-10], 0.05, False, [False]),
        (tarvimo.ebh, [10.0, math.inf, 0.0], 0.05, False, [False, True, False]),
    ],
)
def test_known_decisions(procedure, values, alpha, approximate, expected):
    options = {"approximate": approximate} if approximate else {}
    assert procedure(values, alpha, **options).tolist() == expected


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_input_types_give_the_same_mask(procedure):
    ints = [0, 1, 1, 0, 0, 1, 0] if procedure in P_PROCEDURES else [0, 300, 1, 9, 400, 2, 500]
    floats = [0.25, 0.5, 0.0078125, 0.0009765625, 1.0, 0.5, 0.001953125]
    for values in (ints, floats):
        expected = procedure(np.array(values, dtype=np.float64), 0.1)
        for variant in (values, tuple(values), np.array(values, dtype=np.float32), pd.Series(values)):
            result = procedure(variant, 0.1)
            assert result.dtype == np.bool_ and result.tolist() == expected.tolist()
        assert procedure([Fraction(x) for x in values], Fraction(1, 10)).tolist() == expected.tolist()
    assert procedure(np.array(ints, dtype=np.uint16), 0.1).tolist() == procedure(ints, 0.1).tolist()
    empty = procedure([], 0.1)
    assert empty.dtype == np.bool_ and empty.shape == (0,)


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_nan_omit_leaves_nan_out_of_the_family(procedure):
    rng = np.random.default_rng(5)
    values = rng.random(300) * (0.1 if procedure in P_PROCEDURES else 80.0)
    missing = rng.random(300) < 0.2
    with_nan = np.where(missing, np.nan, values)
    mask = procedure(pd.Series(with_nan), 0.1, nan_policy="omit")
    assert not mask[missing].any()
    np.testing.assert_array_equal(mask[~missing], procedure(values[~missing], 0.1))
    with pytest.raises(ValueError, match=r"\[\d+\] = nan: NaN is refused"):
        procedure(with_nan, 0.1)


def test_nan_omit_in_is_mean_consistent():
    e = [1.0, math.nan, 30.0, 40.0, 50.0]
    assert tarvimo.is_mean_consistent(e, [2, 3, 4], 0.1, nan_policy="omit")
    assert not tarvimo.is_mean_consistent(e, [0, 4], 0.1, nan_policy="omit")
    with pytest.raises(ValueError, match="position 1, whose e-value is NaN"):
        tarvimo.is_mean_consistent(e, [1, 4], 0.1, nan_policy="omit")


def not_one_dimensional():
    yield 1.0


BAD_VALUES = [
    ("abc", TypeError, "not a string"),
    (b"0.1", TypeError, "not a string"),
    (0.5, TypeError, "got float"),
    (not_one_dimensional(), TypeError, "got generator"),
    ([[0.1], [0.1, 0.2]], ValueError, "rectangular array-like of real numbers"),
    ([[0.1, True]], TypeError, r"\[0, 1\] = True is not a real number"),
    ([0.1, True], TypeError, r"\[1\] = True is not a real number"),
    (np.array([True, False]), TypeError, "not booleans"),
    (["0.1"], TypeError, r"\[0\] = '0.1' is not a real number"),
    ([0.1, None], ValueError, r"\[1\] = nan: None and pandas' NA are missing values"),
    ([0.5j], TypeError, "is not a real number"),
    (np.array(["0.1"]), TypeError, "dtype <U3"),
    (np.array([1 + 0j]), TypeError, "dtype complex128"),
    ([0.1, -0.5, -1.0], ValueError, r"\[1\] = -0.5: .*-values must"),
    ([0.1, math.nan, -1.0], ValueError, r"\[1\] = nan"),
    ([0.1, -math.inf], ValueError, r"\[1\] = -inf"),
    ([0.1, 10**400], ValueError, r"\[1\] is an integer too large to convert to a float"),
]


@pytest.mark.parametrize("procedure", PROCEDURES)
@pytest.mark.parametrize(("values", "error", "message"), BAD_VALUES)
def test_bad_values_are_refused(procedure, values, error, message):
    with pytest.raises(error, match=message):
        procedure(values, 0.05)


@pytest.mark.parametrize("procedure", [*PROCEDURES, lambda e, alpha: tarvimo.is_mean_consistent(e, [0], alpha)])
@pytest.mark.parametrize(
    ("alpha", "error"),
    [
        (0, ValueError),
        (1, ValueError),
        (-0.1, ValueError),
        (1.5, ValueError),
        (math.nan, ValueError),
        (math.inf, ValueError),
        (10**400, ValueError),
        (True, TypeError),
        ("0.05", TypeError),
        (None, TypeError),
        ([0.05], TypeError),
    ],
)
def test_bad_alpha_is_refused(procedure, alpha, error):
    with pytest.raises(error, match="alpha"):
        procedure([0.5], alpha)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: tarvimo.by([0.5, 1.0, 1.0 + 1e-15]), ValueError, r"pvalues\[2\] = 1.000000000000001: p-values"),
        (lambda: tarvimo.closed_by([math.inf]), ValueError, r"pvalues\[0\] = inf: p-values must lie in \[0, 1\]"),
        (lambda: tarvimo.ebh([1.0], nan_policy="drop"), ValueError, "nan_policy must be 'raise' or 'omit'"),
        (lambda: tarvimo.closed_ebh([1.0], approximate=1), TypeError, "approximate must be True or False"),
        (lambda: tarvimo.closed_by([0.1], approximate="yes"), TypeError, "approximate must be True or False"),
        (lambda: tarvimo.closed_by([0.1], 0.05, False), TypeError, "positional"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [2]), IndexError, "position 2 is out of range for 2"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [-1]), IndexError, "negative positions are not accepted"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [1.0]), TypeError, "1.0, which is not an integer"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], np.array([1.5])), TypeError, "dtype float64"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [True, 1]), TypeError, "not a mixture"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [True]), ValueError, r"one entry per e-value \(2\), got 1"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], "1"), TypeError, "not a string"),
        (lambda: tarvimo.is_mean_consistent([1.0, 2.0], [[0]]), ValueError, "one-dimensional"),
        (lambda: tarvimo.is_mean_consistent([1.0, -2.0], [0]), ValueError, r"evalues\[1\] = -2.0"),
    ],
)
def test_bad_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_public_names_and_docstring_examples():
    assert tarvimo.__all__ == [
        "ebh",
        "closed_ebh",
        "by",
        "closed_by",
        "bh",
        "adjust",
        "is_mean_consistent",
        "InvalidEntryError",
    ]
    # nothing else public leaks into the namespace (importlib's version() once did); the optional
    # submodule tarvimo.dask appears once imported
    assert {name for name in vars(tarvimo) if not name.startswith("_")} - {"dask"} == set(tarvimo.__all__)
    assert doctest.testmod(_procedures).failed == 0


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_masked_entries_are_missing_values(procedure):
    pvalues = procedure in P_PROCEDURES
    rng = np.random.default_rng(8)
    values = rng.random(200) * 0.01 if pvalues else rng.exponential(100.0, 200)
    hidden = rng.random(200) < 0.3
    data = np.where(hidden, -7.0, values)  # hidden values outside the domain must not be read
    masked = np.ma.masked_array(data, hidden)
    mask = procedure(masked, 0.1, nan_policy="omit")
    assert type(mask) is np.ndarray and not mask[hidden].any()
    np.testing.assert_array_equal(mask[~hidden], procedure(values[~hidden], 0.1))
    np.testing.assert_array_equal(mask, procedure(np.where(hidden, np.nan, values), 0.1, nan_policy="omit"))
    first = int(np.argmax(hidden))
    with pytest.raises(tarvimo.InvalidEntryError, match=rf"\[{first}\] is masked: masked entries are refused") as info:
        procedure(masked, 0.1)
    assert info.value.masked and info.value.position == first and math.isnan(info.value.value)
    # integer data, two dimensions, a mask with nothing masked
    table = np.ma.masked_array(np.ones((3, 4), dtype=int), [[0, 1, 0, 0]] * 3)
    assert procedure(table, 0.1, nan_policy="omit", axis=1)[:, 1].sum() == 0
    np.testing.assert_array_equal(procedure(np.ma.masked_array(values), 0.1), procedure(values, 0.1))


def test_masked_evalues_in_is_mean_consistent():
    e = np.ma.masked_array([1.0, -5.0, 30.0, 40.0, 50.0], [0, 1, 0, 0, 0])
    assert tarvimo.is_mean_consistent(e, [2, 3, 4], 0.1, nan_policy="omit")
    with pytest.raises(ValueError, match="position 1, whose e-value is masked"):
        tarvimo.is_mean_consistent(e, [1, 4], 0.1, nan_policy="omit")
    with pytest.raises(tarvimo.InvalidEntryError, match=r"evalues\[1\] is masked"):
        tarvimo.is_mean_consistent(e, [2], 0.1)
    with pytest.raises(ValueError, match="subset has masked entries"):
        tarvimo.is_mean_consistent([1.0, 2.0], np.ma.masked_array([0, 1], [0, 1]))


def test_errors_about_a_series_name_its_index_label():
    p = pd.Series([0.1, 0.2, 1.5], index=["gene a", "gene b", "gene c"])
    with pytest.raises(
        tarvimo.InvalidEntryError, match=r"pvalues\[2\] \(index label 'gene c'\) = 1.5: p-values"
    ) as info:
        tarvimo.by(p)
    assert (info.value.position, info.value.index, info.value.label, info.value.value) == (2, (2,), "gene c", 1.5)
    with pytest.raises(TypeError, match=r"evalues\[1\] \(index label 20\) = 'x' is not a real number"):
        tarvimo.ebh(pd.Series([1.0, "x"], index=[10, 20], dtype=object))
    with pytest.raises(tarvimo.InvalidEntryError, match=r"pvalues\[1\] \(index label 'b'\) = nan: NaN is refused"):
        tarvimo.closed_by(pd.Series([0.1, np.nan], index=["a", "b"]))
    # a caller catches the entry error as a ValueError, too
    assert issubclass(tarvimo.InvalidEntryError, ValueError)
