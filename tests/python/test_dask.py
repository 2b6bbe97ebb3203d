"""The procedures on Dask DataFrames against the in-memory calls on the whole column: one family and
many, with NaN, ties across partitions, empty partitions, families spread over partitions, on the
synchronous scheduler and on a local cluster of two worker processes; the omission bounds on their
margins, the candidate limit and the counting passes that shrink the candidates, closed e-BH's
conservative path, and bad input."""

import logging
import math
import pickle
import subprocess
import sys
from functools import partial

import dask
import numpy as np
import pandas as pd
import pytest

import tarvimo

dd = pytest.importorskip("dask.dataframe")
tdask = pytest.importorskip("tarvimo.dask")
distributed = pytest.importorskip("distributed")

ALPHA = 0.1
PROCEDURES = {
    "ebh": (tarvimo.ebh, tdask.ebh, "e"),
    "closed_ebh": (tarvimo.closed_ebh, tdask.closed_ebh, "e"),
    "closed_ebh approximate": (
        partial(tarvimo.closed_ebh, approximate=True),
        partial(tdask.closed_ebh, approximate=True),
        "e",
    ),
    "by": (tarvimo.by, tdask.by, "p"),
    "closed_by": (tarvimo.closed_by, tdask.closed_by, "p"),
    "closed_by approximate": (
        partial(tarvimo.closed_by, approximate=True),
        partial(tdask.closed_by, approximate=True),
        "p",
    ),
}
# Index boundaries of the partitions of `study` (its index is even): [21, 22) and [22, 23) hold no
# row, [100, 101) one.
CUTS = (0, 21, 22, 23, 100, 101, 300, 520, 1200)
# The closed procedures can split a tie: here only the first of the equal values is rejected.
SPLIT_TIES = {
    "closed_ebh": [6.0, 6.0, 28.0],
    "closed_by": [0.051, 0.014, 0.004, 0.051, 0.019, 0.051],
}


@pytest.fixture
def synchronous():
    # The shuffle method is named: with a cluster's client alive, dask would choose one that needs it.
    with dask.config.set({"scheduler": "sync", "dataframe.shuffle.method": "tasks"}):
        yield


@pytest.fixture(scope="module")
def cluster():
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as local,
        distributed.Client(local) as client,
    ):
        yield client


def study(seed, size=600, families=7):
    """P-values and e-values with NaN and many ties, and a family label, on an even index."""
    rng = np.random.default_rng(seed)
    p = rng.random(size) ** 4
    p[rng.integers(0, size, size // 4)] = p[3]  # ties across partitions
    p[rng.random(size) < 0.05] = np.nan
    e = np.where(np.isnan(p), np.nan, np.round(0.02 / np.maximum(p, 1e-12), 0))
    family = rng.integers(0, families, size)
    family[: size // 3] = 0  # a family larger than a partition
    return pd.DataFrame({"p": p, "e": e, "family": family}, index=pd.Index(np.arange(size) * 2, name="id"))


def partitioned(frame, cuts=CUTS):
    """The frame in partitions between the index boundaries `cuts`, some of them empty."""
    return dd.from_pandas(frame, npartitions=1).repartition(divisions=list(cuts), force=True)


def in_memory(name, frame, column, **options):
    procedure, _, _ = PROCEDURES[name]
    return pd.Series(procedure(frame[column].to_numpy(), ALPHA, **options), index=frame.index, name=column)


def on_dask(name, frame, column, **options):
    """The Dask result, computed, after checking that it keeps the frame's partitions."""
    _, procedure, _ = PROCEDURES[name]
    result = procedure(frame, column, ALPHA, **options)
    assert result.npartitions == frame.npartitions and result.divisions == frame.divisions
    return result.compute()


def test_dask_is_imported_only_when_used():
    script = "import sys, tarvimo; assert 'dask' not in sys.modules; import tarvimo.dask; assert 'dask' in sys.modules"
    subprocess.run([sys.executable, "-c", script], check=True)


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("name", PROCEDURES)
def test_one_family_equals_the_in_memory_call(name):
    column = PROCEDURES[name][2]
    for seed in range(3):
        frame = study(seed)
        expected = in_memory(name, frame, column, nan_policy="omit")
        assert expected.any()
        pd.testing.assert_series_equal(on_dask(name, partitioned(frame), column, nan_policy="omit"), expected)
    # NaN-free, the default policy; the divisions unknown.
    frame = study(5).dropna()
    dask_frame = partitioned(frame).clear_divisions()
    pd.testing.assert_series_equal(on_dask(name, dask_frame, column), in_memory(name, frame, column))


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("name", PROCEDURES)
def test_many_families_equal_the_in_memory_call(name):
    column = PROCEDURES[name][2]
    for seed in range(3):
        frame = study(seed)
        expected = in_memory(name, frame, column, nan_policy="omit", groups=frame["family"])
        result = on_dask(name, partitioned(frame), column, groups="family", nan_policy="omit")
        pd.testing.assert_series_equal(result, expected)
    # String labels and a string index travel through both shuffles.
    frame = study(7).dropna()
    frame.index = pd.Index([f"h{i}" for i in range(len(frame))], name="hypothesis")
    frame["family"] = frame["family"].map(lambda f: f"gene {f}")
    dask_frame = dd.from_pandas(frame, npartitions=4, sort=False)
    result = on_dask(name, dask_frame, column, groups="family")
    assert result.index.dtype == dask_frame.index.dtype  # dask's own string dtype
    expected = in_memory(name, frame, column, groups=frame["family"])
    pd.testing.assert_series_equal(result, expected, check_index_type=False)


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("name", ["closed_ebh", "closed_by"])
def test_split_ties_fall_on_the_earlier_rows_across_partitions(name):
    column = PROCEDURES[name][2]
    values = SPLIT_TIES[name]
    frame = pd.DataFrame({column: values, "family": 1}, index=pd.Index(np.arange(len(values)) * 2))
    expected = in_memory(name, frame, column)
    tied = frame[column] == frame[column].iloc[0]
    assert 0 < expected[tied].sum() < tied.sum()  # the tie is split
    last = 2 * len(values) - 2
    # One row in every other partition; all tied rows in one partition; two partitions.
    for cuts in (tuple(range(last + 1)), (0, last), (0, 3, last)):
        pd.testing.assert_series_equal(on_dask(name, partitioned(frame, cuts), column), expected)
        grouped = on_dask(name, partitioned(frame, cuts), column, groups="family")
        pd.testing.assert_series_equal(grouped, expected)


def test_shuffled_rows_are_decided_in_the_frame_order():
    # A shuffle may deliver a family's rows in any order; ties must still fall on the earlier rows.
    values = SPLIT_TIES["closed_by"]
    rows = pd.DataFrame({"value": values, "family": 0, "partition": [0, 0, 1, 1, 2, 2], "row": [0, 1, 0, 1, 0, 1]})
    procedure = tdask.pvalue_procedure(tarvimo.closed_by, ALPHA, "raise")
    rejected = tdask.decide_gathered(rows.iloc[::-1], procedure)
    expected = rows.loc[tarvimo.closed_by(values, ALPHA), ["partition", "row"]].assign(result=True)
    pd.testing.assert_frame_equal(rejected, expected)


@pytest.mark.usefixtures("synchronous")
def test_families_in_the_index_with_known_divisions_are_decided_without_a_shuffle():
    frame = study(11).dropna()
    by_family = dd.from_pandas(frame, npartitions=3).set_index("family").persist()
    local = by_family.compute()
    for name, (_, procedure, column) in PROCEDURES.items():
        result = procedure(by_family, column, ALPHA, groups="family")
        assert result.divisions == by_family.divisions
        assert not any("shuffle" in str(key) for key in result.__dask_graph__())
        expected = pd.Series(
            PROCEDURES[name][0](local[column].to_numpy(), ALPHA, groups=local.index), index=local.index, name=column
        )
        pd.testing.assert_series_equal(result.compute(), expected)
    # The same families without known divisions are shuffled, and come out the same.
    unknown = by_family.clear_divisions()
    expected = pd.Series(tarvimo.by(local["p"].to_numpy(), ALPHA, groups=local.index), index=local.index, name="p")
    pd.testing.assert_series_equal(tdask.by(unknown, "p", ALPHA, groups="family").compute(), expected)


@pytest.mark.usefixtures("synchronous")
def test_omission_bounds_on_their_margins():
    bound = ALPHA + 1e-10
    above = math.nextafter(bound, 1.0)
    # A p-value at the bound can be rejected, so it is gathered; one just above is left out.
    assert tarvimo.by([bound], ALPHA).all() and tarvimo.closed_by([bound, 0.01], ALPHA).all()
    for values in ([bound], [bound, 0.01], [above, 0.01, above, 0.9, bound, bound, above]):
        frame = pd.DataFrame({"p": values})
        for name in ["by", "closed_by", "closed_by approximate"]:
            dask_frame = dd.from_pandas(frame, npartitions=2)
            pd.testing.assert_series_equal(on_dask(name, dask_frame, "p"), in_memory(name, frame, "p"))
    # E-values at 1 / alpha are left out, those just above gathered; with many small ones.
    rng = np.random.default_rng(2)
    evalues = np.concatenate([rng.random(200), [1 / ALPHA, math.nextafter(1 / ALPHA, math.inf)] * 3, [400.0, 2e3]])
    frame = pd.DataFrame({"e": rng.permutation(evalues)})
    result = on_dask("ebh", dd.from_pandas(frame, npartitions=3), "e")
    pd.testing.assert_series_equal(result, in_memory("ebh", frame, "e"))


@pytest.mark.usefixtures("synchronous")
def test_candidate_limit_and_its_margin():
    frame = study(4).dropna()
    dask_frame = partitioned(frame)
    candidates = int((frame["p"] <= ALPHA + 1e-10).sum())
    approximate = partial(tdask.closed_by, approximate=True)  # its candidates cannot shrink
    result = approximate(dask_frame, "p", ALPHA, max_candidates=candidates).compute()
    pd.testing.assert_series_equal(result, in_memory("closed_by approximate", frame, "p"))
    limit = f"has {candidates:,} p-values at or below .*max_candidates = {candidates - 1}"
    with pytest.raises(ValueError, match=limit):
        approximate(dask_frame, "p", ALPHA, max_candidates=candidates - 1)
    with pytest.raises(ValueError, match=f"has {len(frame):,} e-values, all needed .*conservative=True"):
        tdask.closed_ebh(dask_frame, "e", ALPHA, max_candidates=len(frame) - 1)
    strong = int((frame["e"] > 1 / ALPHA).sum())
    tdask.closed_ebh(dask_frame, "e", ALPHA, conservative=True, max_candidates=strong)


@pytest.mark.usefixtures("synchronous")
def test_conservative_closed_ebh():
    # Exact when every e-value left out is 0.
    frame = pd.DataFrame({"e": [0.0, 45.0, 0.0, 12.0, 30.0, 0.0, 11.0, 0.0, 25.0, 0.0]})
    result = tdask.closed_ebh(dd.from_pandas(frame, npartitions=3), "e", ALPHA, conservative=True).compute()
    pd.testing.assert_series_equal(result, in_memory("closed_ebh", frame, "e"))
    # Otherwise valid: mean consistent in the whole family, between the e-BH set and the exact set.
    for seed in range(4):
        frame = study(seed).dropna()
        evalues = frame["e"].to_numpy()
        dask_frame = partitioned(frame)
        conservative = tdask.closed_ebh(dask_frame, "e", ALPHA, conservative=True).compute().to_numpy()
        exact = tarvimo.closed_ebh(evalues, ALPHA)
        assert tarvimo.is_mean_consistent(evalues, conservative, ALPHA)
        assert (tarvimo.ebh(evalues, ALPHA) <= conservative).all() and (conservative <= exact).all()


@pytest.mark.usefixtures("synchronous")
def test_missing_and_nullable_values():
    frame = pd.DataFrame({"p": pd.array([0.001, None, 0.02, 0.5, None, 0.0001], dtype="Float64"), "family": 1})
    dask_frame = dd.from_pandas(frame, npartitions=2)
    expected = tarvimo.by([0.001, math.nan, 0.02, 0.5, math.nan, 0.0001], ALPHA, nan_policy="omit")
    for groups in [None, "family"]:
        result = tdask.by(dask_frame, "p", ALPHA, groups=groups, nan_policy="omit").compute()
        assert result.to_numpy().tolist() == expected.tolist()
    values = [0.001, math.nan, 0.02, 0.5, math.nan, 0.0001]
    levels = tdask.adjust(dask_frame, "p", "by", nan_policy="omit", m=7).compute().to_numpy()
    np.testing.assert_array_equal(levels, tarvimo.adjust(values, "by", nan_policy="omit", m=7))
    for too_few in (4, 5):  # 4 values present, 6 rows: m counts the missing ones too, as in memory
        with pytest.raises(ValueError, match=f"m = {too_few} is smaller than the number of values given \\(6\\)"):
            tdask.adjust(dask_frame, "p", "by", nan_policy="omit", m=too_few)
    with pytest.raises(tarvimo.InvalidEntryError, match=r"^p\[0, 1\] \(index label 1\) = nan: NaN is refused"):
        tdask.by(dask_frame, "p", ALPHA)
    with pytest.raises(tarvimo.InvalidEntryError, match=r"^p\[(0, 1\] \(index label 1|1, 1\] \(index label 4)\) = nan"):
        tdask.by(dask_frame, "p", ALPHA, groups="family").compute()  # whichever partition fails first


@pytest.mark.usefixtures("synchronous")
def test_bad_input():
    frame = pd.DataFrame(
        {
            "p": [0.01, 0.2, 1.5, 0.3],
            "e": [1.0, -2.0, 3.0, 4.0],
            "flag": [True, False, True, True],
            "name": list("abcd"),
        },
        index=[10, 11, 12, 13],
    )
    frame["family"] = pd.array([1, 1, 2, None], dtype="Int64")
    dask_frame = dd.from_pandas(frame, npartitions=2)
    with pytest.raises(tarvimo.InvalidEntryError, match=r"^p\[1, 0\] \(index label 12\) = 1.5: p-values must lie"):
        tdask.closed_by(dask_frame, "p")
    with pytest.raises(tarvimo.InvalidEntryError, match=r"^e\[0, 1\] \(index label 11\) = -2.0: e-values must be"):
        tdask.ebh(dask_frame, "e", groups="name").compute()
    with pytest.raises(ValueError, match=r"^p\[1, 1\] \(index label 13\) has no family"):
        tdask.by(dask_frame, "p", groups="family").compute()
    calls = [
        (TypeError, "must be a Dask DataFrame", lambda: tdask.by(frame, "p")),
        (TypeError, "must be a Dask DataFrame", lambda: tdask.by(dask_frame["p"], "p")),
        (KeyError, "not a column", lambda: tdask.by(dask_frame, "q")),
        (TypeError, "real numbers, got dtype bool", lambda: tdask.by(dask_frame, "flag")),
        (TypeError, "real numbers, got dtype", lambda: tdask.ebh(dask_frame, "name")),
        (ValueError, "alpha", lambda: tdask.by(dask_frame, "p", alpha=1.0)),
        (ValueError, "nan_policy", lambda: tdask.by(dask_frame, "p", nan_policy="drop")),
        (TypeError, "approximate", lambda: tdask.closed_by(dask_frame, "p", approximate=1)),
        (TypeError, "conservative", lambda: tdask.closed_ebh(dask_frame, "e", conservative="yes")),
        (TypeError, "max_candidates", lambda: tdask.by(dask_frame, "p", max_candidates=True)),
        (ValueError, "max_candidates", lambda: tdask.by(dask_frame, "p", max_candidates=-1)),
        (ValueError, "names the column of values", lambda: tdask.by(dask_frame, "p", groups="p")),
        (KeyError, "neither a column", lambda: tdask.by(dask_frame, "p", groups="gene")),
    ]
    for error, message, call in calls:
        with pytest.raises(error, match=message):
            call()


def test_a_frame_that_changes_between_its_passes_is_refused(synchronous):
    calls = []

    def part(number):
        calls.append(number)
        return pd.DataFrame({"p": [0.001] * (1 + len(calls) // 3)})  # grows with every computation

    frame = dd.from_map(part, range(2), meta=pd.DataFrame({"p": pd.Series(dtype=float)}))
    result = tdask.by(frame, "p")
    with pytest.raises(RuntimeError, match="must give the same values each time"):
        result.compute()


@pytest.mark.parametrize("name", PROCEDURES)
def test_on_a_cluster_of_two_worker_processes(cluster, name):
    column = PROCEDURES[name][2]
    frame = study(21, size=2000, families=5)
    dask_frame = partitioned(frame, (0, 21, 22, 700, 1500, 2600, 4000))
    one = on_dask(name, dask_frame, column, nan_policy="omit")
    pd.testing.assert_series_equal(one, in_memory(name, frame, column, nan_policy="omit"))
    many = on_dask(name, dask_frame, column, groups="family", nan_policy="omit")
    pd.testing.assert_series_equal(many, in_memory(name, frame, column, groups=frame["family"], nan_policy="omit"))


def test_bad_entries_are_named_across_processes(cluster):
    frame = study(3)
    with pytest.raises(tarvimo.InvalidEntryError, match=r"p\[\d+, \d+\] \(index label \d+\) = nan") as raised:
        tdask.by(partitioned(frame), "p", groups="family").compute()
    partition, row = raised.value.index
    cuts = CUTS
    label = raised.value.label
    assert cuts[partition] <= label < cuts[partition + 1] and math.isnan(frame.loc[label, "p"])
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy)) == (type(raised.value), str(raised.value))
    assert (copy.index, copy.label) == ((partition, row), label)


def narrowing_study(seed, size, alpha, signals=0.01):
    """Null p-values, strong signals, twice as many weak ones spread over (0, 2 alpha) and ties below
    the BY line; the matching e-values."""
    rng = np.random.default_rng(seed)
    p = rng.random(size)
    kind = rng.random(size)
    p[kind < signals] = rng.random(np.count_nonzero(kind < signals)) ** 4 * alpha / 10
    weak = (kind >= signals) & (kind < 3 * signals)
    p[weak] = rng.random(np.count_nonzero(weak)) * 2 * alpha
    p[rng.integers(0, size, 40)] = alpha * 30 / (size * math.log(size))  # ties across partitions
    e = np.where(p > 0, 1 / p, np.inf) * rng.choice([0.4, 1.0], size)
    return pd.DataFrame({"p": p, "e": e})


def passes_logged(caplog, call):
    """The result of `call` and the counting passes it logged."""
    with caplog.at_level(logging.DEBUG, logger="tarvimo.dask"):
        caplog.clear()
        result = call()
    passes = [record.passes for record in caplog.records if hasattr(record, "passes")]
    return result, passes


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("name", ["by", "ebh", "closed_by"])
def test_counting_passes_shrink_the_candidates_to_the_in_memory_decision(name, caplog):
    column = PROCEDURES[name][2]
    for alpha in (1e-8, 0.05, 0.3):
        frame = narrowing_study(3, 20_000, alpha)
        dask_frame = dd.from_pandas(frame, npartitions=5)
        procedure = PROCEDURES[name][0]
        expected = pd.Series(procedure(frame[column].to_numpy(), alpha), index=frame.index, name=column)
        rejected = int(expected.sum())
        first = int((frame["p"] <= alpha + 1e-10).sum() if column == "p" else (frame["e"] > 1 / alpha).sum())
        assert 50 < rejected < first / 2
        # Room for twice the rejections (closed BY: two thirds of the first candidates): shrunk and decided.
        limit = 2 * rejected if name != "closed_by" else 2 * first // 3
        call = partial(PROCEDURES[name][1], dask_frame, column, alpha, max_candidates=limit)
        result, passes = passes_logged(caplog, call)
        assert passes and passes[0] >= 1
        pd.testing.assert_series_equal(result.compute(), expected)
        # Fewer than the rejections never fit: refused after the passes, with their count.
        with pytest.raises(ValueError, match=r"after \d+ counting passes, more than max_candidates = "):
            PROCEDURES[name][1](dask_frame, column, alpha, max_candidates=rejected - 1)
    # Within the limit, no pass runs.
    _, passes = passes_logged(caplog, partial(PROCEDURES[name][1], dask_frame, column, alpha))
    assert passes == []


@pytest.mark.usefixtures("synchronous")
def test_counting_passes_keep_ties_and_missing_values():
    # The tied p-values on the BY line and the NaN fall in several partitions; the limit forces passes.
    frame = narrowing_study(8, 6_000, ALPHA, signals=0.05)
    frame.loc[frame.sample(frac=0.05, random_state=1).index, "p"] = np.nan
    expected = in_memory("by", frame, "p", nan_policy="omit")
    dask_frame = partitioned(frame.set_axis(np.arange(len(frame)) * 2), (0, 21, 22, 5000, 5001, 12_000))
    result = tdask.by(dask_frame, "p", ALPHA, nan_policy="omit", max_candidates=int(expected.sum()) + 5)
    pd.testing.assert_series_equal(result.compute(), expected.set_axis(dask_frame.index.compute()))


@pytest.mark.parametrize("name", ["by", "closed_by"])
def test_counting_passes_on_a_cluster_of_two_worker_processes(cluster, name, caplog):
    frame = narrowing_study(5, 20_000, 0.05)
    dask_frame = dd.from_pandas(frame, npartitions=6)
    expected = pd.Series(PROCEDURES[name][0](frame["p"].to_numpy(), 0.05), index=frame.index, name="p")
    limit = 2 * int(expected.sum()) if name == "by" else 2 * int((frame["p"] <= 0.05).sum()) // 3
    result, passes = passes_logged(caplog, partial(PROCEDURES[name][1], dask_frame, "p", 0.05, max_candidates=limit))
    assert passes and passes[0] >= 1
    pd.testing.assert_series_equal(result.compute(), expected)


ADJUSTED = {"by": "p", "closed_by": "p", "bh": "p", "ebh": "e", "closed_ebh": "e"}


def adjusted_in_memory(frame, column, method, **options):
    return pd.Series(tarvimo.adjust(frame[column].to_numpy(), method, **options), index=frame.index, name=column)


def adjusted_on_dask(frame, column, method, **options):
    result = tdask.adjust(frame, column, method, **options)
    assert result.npartitions == frame.npartitions and result.divisions == frame.divisions
    return result.compute()


@pytest.mark.usefixtures("synchronous")
@pytest.mark.parametrize("method", ADJUSTED)
def test_adjust_equals_the_in_memory_levels(method):
    column = ADJUSTED[method]
    frame = study(31, size=120, families=3)
    for max_level in (1.0, ALPHA):
        options = {"nan_policy": "omit", "max_level": max_level}
        expected = adjusted_in_memory(frame, column, method, **options)
        assert (expected < max_level).any() and expected.isna().any()
        assert (expected == 1.0).any() or (method == "bh" and max_level == 1.0)  # BH's level is 1 only at p = 1
        pd.testing.assert_series_equal(adjusted_on_dask(partitioned(frame), column, method, **options), expected)
        grouped = adjusted_on_dask(partitioned(frame), column, method, groups="family", **options)
        expected = adjusted_in_memory(frame, column, method, groups=frame["family"], **options)
        pd.testing.assert_series_equal(grouped, expected)
    # Split ties over partitions: the earlier row gets the smaller level.
    if method.startswith("closed"):
        values = SPLIT_TIES[method]
        frame = pd.DataFrame({column: values, "family": 1}, index=pd.Index(np.arange(len(values)) * 2))
        expected = adjusted_in_memory(frame, column, method)
        cuts = tuple(range(2 * len(values) - 1))
        for groups in (None, "family"):
            pd.testing.assert_series_equal(
                adjusted_on_dask(partitioned(frame, cuts), column, method, groups=groups), expected
            )


@pytest.mark.usefixtures("synchronous")
def test_adjust_gathers_only_what_can_be_below_max_level():
    bound = ALPHA + 1e-10
    above = math.nextafter(bound, 1.0)
    frame = pd.DataFrame({"p": [above, 0.01, above, 0.9, bound, bound, above, 0.0]})
    dask_frame = dd.from_pandas(frame, npartitions=3)
    for method in ("by", "closed_by"):
        expected = adjusted_in_memory(frame, "p", method, max_level=ALPHA)
        pd.testing.assert_series_equal(adjusted_on_dask(dask_frame, "p", method, max_level=ALPHA), expected)
        with pytest.raises(ValueError, match="has 4 p-values at or below max_level"):
            tdask.adjust(dask_frame, "p", method, max_level=ALPHA, max_candidates=3)
    # BH's bound is wider by the relative 1e-9 that absorbs the rounding of its test.
    bound = (ALPHA + 1e-10) * (1.0 + 1e-9)
    above = math.nextafter(bound, 1.0)
    frame = pd.DataFrame({"p": [above, 0.01, above, 0.9, bound, ALPHA + 1e-10, above, 0.0]})
    dask_frame = dd.from_pandas(frame, npartitions=3)
    expected = adjusted_in_memory(frame, "p", "bh", max_level=ALPHA)
    pd.testing.assert_series_equal(adjusted_on_dask(dask_frame, "p", "bh", max_level=ALPHA), expected)
    with pytest.raises(ValueError, match=r"has 4 p-values at or below \(max_level \+ 1e-10\)\(1 \+ 1e-9\)"):
        tdask.adjust(dask_frame, "p", "bh", max_level=ALPHA, max_candidates=3)
    evalues = pd.DataFrame({"e": [1 / ALPHA, 400.0, math.nextafter(1 / ALPHA, math.inf), 0.5, math.inf, 30.0]})
    dask_frame = dd.from_pandas(evalues, npartitions=2)
    expected = adjusted_in_memory(evalues, "e", "ebh", max_level=ALPHA)
    pd.testing.assert_series_equal(adjusted_on_dask(dask_frame, "e", "ebh", max_level=ALPHA), expected)
    with pytest.raises(ValueError, match="has 4 e-values above 1 / max_level"):
        tdask.adjust(dask_frame, "e", "ebh", max_level=ALPHA, max_candidates=3)
    with pytest.raises(ValueError, match="has 6 e-values, all needed"):
        tdask.adjust(dask_frame, "e", "closed-ebh", max_level=ALPHA, max_candidates=5)


@pytest.mark.usefixtures("synchronous")
def test_adjust_refuses_bad_options_at_the_call():
    dask_frame = dd.from_pandas(pd.DataFrame({"p": [0.01, 0.2, 1.5]}), npartitions=2)
    for error, message, call in [
        (ValueError, "method must be one of", lambda: tdask.adjust(dask_frame, "p", "holm")),
        (ValueError, "max_level", lambda: tdask.adjust(dask_frame, "p", "by", max_level=2.0)),
        (ValueError, "nan_policy", lambda: tdask.adjust(dask_frame, "p", "by", nan_policy="drop")),
        (tarvimo.InvalidEntryError, r"^p\[1, 0\] \(index label 2\) = 1.5", lambda: tdask.adjust(dask_frame, "p", "by")),
    ]:
        with pytest.raises(error, match=message):
            call()


def test_adjust_on_a_cluster_of_two_worker_processes(cluster):
    frame = study(22, size=2000, families=5)
    dask_frame = partitioned(frame, (0, 21, 22, 700, 1500, 2600, 4000))
    for method, column in ADJUSTED.items():
        one = adjusted_on_dask(dask_frame, column, method, nan_policy="omit")
        pd.testing.assert_series_equal(one, adjusted_in_memory(frame, column, method, nan_policy="omit"))
        many = adjusted_on_dask(dask_frame, column, method, groups="family", nan_policy="omit")
        expected = adjusted_in_memory(frame, column, method, groups=frame["family"], nan_policy="omit")
        pd.testing.assert_series_equal(many, expected)
