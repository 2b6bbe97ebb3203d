"""The four procedures on a column of a Dask DataFrame, with the in-memory answers.

Needs the extra ``pip install 'tarvimo[dask]'`` and is imported on its own
(``import tarvimo.dask``). Each function takes a Dask DataFrame and the name of
a column of p-values or e-values and returns a lazy Dask Series of booleans
with the frame's divisions and index, named after the column, True where the
hypothesis is rejected. The decisions equal those of the in-memory call on the
whole column, ties included: among equal values the one earlier in the frame
(by partition, then by row) is rejected first.

Many families (``groups=COLUMN``)
    Every family is decided by the in-memory call with ``groups`` on one
    partition, on the workers' threads without the interpreter lock. When
    `groups` names the frame's index and the divisions are known, as after
    ``frame.set_index(COLUMN)``, every family already lies within one
    partition and the partitions are decided where they are. Otherwise one
    shuffle on the family column brings each family into one partition, in
    which the rows are put back in the frame's order; a second, small shuffle
    takes the partition and row of each rejection back to its partition, where
    they are marked on the frame's index (read once more for that). A frame
    that was only shuffled with ``frame.shuffle(on=COLUMN)`` keeps no record
    of it and is shuffled again; ``set_index`` records it. Each family must
    fit in a worker's memory.

One family (no `groups`)
    The decision needs only the values that can matter and the number of
    values. A p-value above ``alpha + 1e-10`` is never rejected by BY or
    closed BY and changes none of their decisions, and an e-value at or below
    ``1 / alpha`` changes no decision of e-BH (see ``tarvimo._omitted``), so
    the call makes one pass over the frame to count the values and collect
    the others, the candidates, with their partition and row; decides on the
    client with the in-memory call and ``m``; and returns a Series that a
    second pass marks: every value stronger than the weakest rejected one,
    and the tied ones up to the last rejected row. The first pass runs when
    the function is called, the second when the result is computed, so the
    frame is computed twice (persist it if that is costly) and must give the
    same values both times.

    When the candidates are more than `max_candidates`, BY, e-BH and closed
    BY (not its approximate search) shrink them with counting passes over
    the candidates the first pass left on the workers: the number of
    rejections is at most the number N of candidates, which bounds the
    weakest rejected value (``tarvimo._omitted``, narrowed bounds), so only
    the values within that bound are candidates; they are counted again, and
    so on until they fit or stop shrinking. The decision on the client is the
    same. Closed BY shrinks only to about the p-values below ``(alpha +
    1e-10) / H_m``: the others can enter its sums. Candidates that still do
    not fit raise ValueError before they are gathered; so does closed e-BH
    with more than `max_candidates` values.

    Closed e-BH is different: every small e-value enters the sums of its
    check, and counting them as 0 (as ``m`` does) is valid but conservative.
    By default it gathers all values and is exact, within `max_candidates`;
    ``conservative=True`` gathers only the e-values above ``1 / alpha``: the
    rejected set is still mean consistent in the whole family and includes
    the e-BH set, but it can be smaller than the exact one.

Adjusted p-values (:func:`adjust`)
    The levels of :func:`tarvimo.adjust`, a float Series, by the same two
    paths. Many families are adjusted whole where they lie, and only the
    levels below 1 (and NaN) travel back. One family gathers only the values
    whose level can lie below ``max_level``: no alpha below it rejects a
    p-value above ``max_level + 1e-10`` (for BH, above ``(max_level +
    1e-10)(1 + 1e-9)``), nor, for e-BH, an e-value at or
    below ``1 / max_level`` (closed e-BH gathers every e-value, as above);
    the client computes their levels with ``m``, and the second pass writes
    them to their rows and 1.0 to the others.

A bad entry raises InvalidEntryError naming the column, the partition, the
row within the partition and the index label: ``p[3, 17] (index label 1517) =
nan: ...``. The one-family path raises at the call, the others when computed.
"""

import logging
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np
from numpy.typing import NDArray

try:
    import dask.dataframe as dd
    import pandas as pd
    from dask.base import compute, persist
    from dask.delayed import delayed
except ImportError as missing:
    raise ImportError(f"tarvimo.dask needs dask[dataframe]: pip install 'tarvimo[dask]' ({missing})") from missing

from tarvimo._adjust import PVALUE_METHODS, checked_method
from tarvimo._adjust import adjust as adjust_in_memory
from tarvimo._inputs import (
    InvalidEntryError,
    NanPolicy,
    checked_alpha,
    checked_evalues,
    checked_max_level,
    checked_nan_policy,
    checked_pvalues,
    checked_switch,
    checked_total,
    label_at,
    whole_number,
)
from tarvimo._omitted import (
    bh_pvalue_omission_bound,
    by_narrowed_bound,
    closed_by_narrowed_bound,
    ebh_narrowed_bound,
    evalue_omission_bound,
    pvalue_omission_bound,
)
from tarvimo._procedures import by as by_in_memory
from tarvimo._procedures import closed_by as closed_by_in_memory
from tarvimo._procedures import closed_ebh as closed_ebh_in_memory
from tarvimo._procedures import ebh as ebh_in_memory

__all__ = ["ebh", "closed_ebh", "by", "closed_by", "adjust", "DEFAULT_MAX_CANDIDATES"]

# About 20 bytes per candidate on the client, a few hundred MB at this size.
DEFAULT_MAX_CANDIDATES = 10_000_000

# Counting passes of one family at most: each shrinks the candidates, usually by a large factor.
MAX_NARROWING_PASSES = 50

# Internal columns of the shuffled frames.
VALUE, FAMILY, PARTITION, ROW, RESULT = "value", "family", "partition", "row", "result"

Decide = Callable[..., NDArray[Any]]  # an in-memory procedure (or adjust) with its options bound
# The narrowed cut-off from the family's size, the first pass's candidates and the candidates now.
NarrowedBound = Callable[[int, int, int], float]

logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class Narrowing:
    """How one family's candidates shrink: the first pass keeps the values at least as strong as
    `first`; a count N of candidates gives the cut-off `bound(total, first count, N)`."""

    first: float
    bound: NarrowedBound


@dataclass(frozen=True)
class Procedure:
    """An in-memory procedure, its options, and what the one-family path gathers of its values.

    `decide` gives one result per value: a rejection, or a level for adjust. Most values get `default`
    (not rejected, level 1.0), so the shuffled path sends back only the others.
    """

    decide: Decide
    pvalues: bool  # p-values, the smaller the stronger; else e-values, the larger the stronger
    policy: NanPolicy
    keeps: Callable[[NDArray[np.float64]], NDArray[np.bool_]]  # the values the decision needs
    kept: str  # what `keeps` keeps, for the message when they are too many
    narrowing: Narrowing | None = None  # None: the candidates cannot shrink
    default: bool | float = False


@dataclass(frozen=True)
class Narrowed:
    """The outcome of the counting passes: the candidates are the values at least as strong as `cutoff`."""

    cutoff: float
    candidates: int
    passes: int


@dataclass(frozen=True)
class Scan:
    """What the first pass of the one-family path takes from one partition."""

    rows: int
    valid: int  # values that are not missing: they count toward m
    error: InvalidEntryError | None  # the partition's first bad entry
    candidates: int
    values: NDArray[np.float64]  # the candidates in row order; empty when the partition alone has too many
    rows_kept: NDArray[np.int64]  # their rows


@dataclass(frozen=True)
class Placed:
    """The levels of one partition's gathered values, by row; its other values keep the default."""

    rows: NDArray[np.int64]
    levels: NDArray[np.float64]


@dataclass(frozen=True)
class Cut:
    """The rejections of one family by value: every value stronger than `value`, and the values equal
    to it up to row `row` of partition `partition`, in the frame's order."""

    value: float
    partition: int
    row: int


def column_values(column: pd.Series) -> NDArray[np.float64]:
    """A partition's column as float64, with NaN for pandas' missing values (NA)."""
    return column.to_numpy(dtype=np.float64, na_value=np.nan)


def entry_error(
    values: NDArray[np.float64], procedure: Procedure, name: str, partition: int, labels: pd.Index
) -> InvalidEntryError | None:
    """The first bad entry of a partition's values, named by partition, row and index label; None if all are good."""
    try:
        (checked_pvalues if procedure.pvalues else checked_evalues)(values, procedure.policy)
    except InvalidEntryError as error:
        at = error.position
        return InvalidEntryError(
            name, at, error.value, error.requirement, index=(partition, at), label=label_at(labels, at)
        )
    return None


def family_labels(part: pd.DataFrame, groups: object, partition: int, name: str) -> pd.Series:
    """The family of each row, from a column or the index; a missing label is refused by its place."""
    families = part[groups] if groups in part.columns else part.index.to_series()
    missing = pd.isna(families).to_numpy()
    if missing.any():
        at = int(np.argmax(missing))
        raise ValueError(
            f"{name}[{partition}, {at}] (index label {label_at(part.index, at)!r}) has no family: "
            "every value needs a family label"
        )
    return families


def checked_partition(
    part: pd.DataFrame, column: object, groups: object, procedure: Procedure, number: int
) -> tuple[pd.Series, NDArray[np.float64]]:
    """A partition's family labels and values; a bad entry or a missing label is refused by its place."""
    families = family_labels(part, groups, number, str(column))
    values = column_values(part[column])
    error = entry_error(values, procedure, str(column), number, part.index)
    if error is not None:
        raise error
    return families, values


def decide_in_place(
    part: pd.DataFrame, column: object, groups: object, procedure: Procedure, partition_info: dict[str, Any]
) -> pd.Series:
    """The results of a partition that holds its families whole."""
    families, values = checked_partition(part, column, groups, procedure, partition_info["number"])
    # One thread per call: the worker's threads decide partitions side by side.
    return pd.Series(procedure.decide(values, groups=families, workers=1), index=part.index, name=column)


def tagged(
    part: pd.DataFrame, column: object, groups: object, procedure: Procedure, partition_info: dict[str, Any]
) -> pd.DataFrame:
    """A partition's values and families with the partition and row each comes from.

    Bad entries are refused here, before the shuffle, by their place in the frame.
    """
    number = partition_info["number"]
    families, values = checked_partition(part, column, groups, procedure, number)
    return pd.DataFrame(
        {
            VALUE: values,
            FAMILY: families.array,
            PARTITION: np.full(len(part), number, dtype=np.int32),
            ROW: np.arange(len(part), dtype=np.int64),
        }
    )


def decide_gathered(part: pd.DataFrame, procedure: Procedure) -> pd.DataFrame:
    """The partition, row and result of every value of a shuffled partition, which holds its families
    whole, whose result is not the default: the rejections, or the levels other than 1.0.

    The shuffle delivers rows in no set order, so they are first put back in the frame's order:
    among equal values the earlier row is then rejected first, as in the in-memory call.
    """
    part = part.iloc[np.lexsort((part[ROW].to_numpy(), part[PARTITION].to_numpy()))]
    results = procedure.decide(part[VALUE].to_numpy(), groups=part[FAMILY], workers=1)
    different = results != procedure.default  # NaN, a missing value's level, is sent back too
    return part.loc[different, [PARTITION, ROW]].assign(**{RESULT: results[different]})


def marked_rows(index: pd.Index, decided: pd.DataFrame, column: object, default: bool | float) -> pd.Series:
    """A partition's results from the rows of those that are not the default; refuses rows beyond the
    partition."""
    rows = decided[ROW].to_numpy()
    if rows.size and rows.max() >= len(index):
        raise RuntimeError(
            f"a partition of the frame has {len(index)} rows, fewer than when its families were decided: "
            "the frame must give the same values each time it is computed (persist it)"
        )
    results = np.full(len(index), default)
    results[rows] = decided[RESULT].to_numpy()
    return pd.Series(results, index=index, name=column)


def decision_meta(frame: dd.DataFrame, column: object, default: bool | float = False) -> pd.Series:
    """The empty Series every path returns partitions like: booleans, or float levels."""
    return pd.Series(np.zeros(0, dtype=np.asarray(default).dtype), index=frame._meta.index, name=column)


def shuffled_decisions(frame: dd.DataFrame, column: object, groups: object, procedure: Procedure) -> dd.Series:
    """Families scattered over partitions: shuffled together and decided; the rejections' places are
    shuffled back and marked on the frame's own index."""
    tag_meta = pd.DataFrame(
        {
            VALUE: pd.Series(dtype=np.float64),
            FAMILY: family_labels(frame._meta, groups, 0, str(column)).array,
            PARTITION: pd.Series(dtype=np.int32),
            ROW: pd.Series(dtype=np.int64),
        }
    )
    needed = [column, groups] if groups in frame.columns else [column]
    together = frame[needed].map_partitions(tagged, column, groups, procedure, meta=tag_meta).shuffle(on=FAMILY)
    result_meta = tag_meta[[PARTITION, ROW]].assign(**{RESULT: decision_meta(frame, column, procedure.default).array})
    decided = together.map_partitions(decide_gathered, procedure, meta=result_meta)
    # The ranges [i, i + 1) of the partition number send every result back to the partition it came from.
    back = decided.set_index(PARTITION, divisions=tuple(range(frame.npartitions + 1)))
    # Of inputs with as many partitions, map_partitions keeps the divisions of the first: the frame's.
    return dd.map_partitions(
        marked_rows,
        frame.index,
        back,
        column,
        procedure.default,
        meta=decision_meta(frame, column, procedure.default),
        align_dataframes=False,
    )


def aligned_with(frame: dd.DataFrame, groups: object) -> bool:
    """Whether every family lies within one partition: the families are the index and the divisions are
    known and increasing, so that each label belongs to the range of one partition."""
    if groups in frame.columns or groups != frame.index.name or not frame.known_divisions:
        return False
    inner = frame.divisions[:-1]
    return all(a < b for a, b in zip(inner, inner[1:]))


def many_families(frame: dd.DataFrame, column: object, groups: object, procedure: Procedure) -> dd.Series:
    if groups == column:
        raise ValueError(f"groups names the column of values ({column!r}); it must name the family column")
    if groups not in frame.columns and (groups != frame.index.name or groups is None):
        raise KeyError(f"groups = {groups!r} is neither a column of the frame nor the name of its index")
    if aligned_with(frame, groups):
        return frame[[column]].map_partitions(
            decide_in_place, column, groups, procedure, meta=decision_meta(frame, column, procedure.default)
        )
    return shuffled_decisions(frame, column, groups, procedure)


def scanned(column: pd.Series, partition: int, name: str, procedure: Procedure, limit: float) -> Scan:
    """One partition's count of values and its candidates; its first bad entry is returned, not raised."""
    values = column_values(column)
    error = entry_error(values, procedure, name, partition, column.index)
    valid = int(values.size - np.count_nonzero(np.isnan(values)))
    kept = np.flatnonzero(procedure.keeps(values))
    if kept.size > limit:  # too many whatever the other partitions hold: only the count is needed
        return Scan(values.size, valid, error, kept.size, np.empty(0), np.empty(0, np.int64))
    return Scan(values.size, valid, error, kept.size, values[kept], kept.astype(np.int64))


def scan_summary(scan: Scan) -> tuple[int, int, InvalidEntryError | None, int]:
    return scan.rows, scan.valid, scan.error, scan.candidates


def within(cutoff: float, pvalues: bool, values: NDArray[np.float64]) -> NDArray[np.bool_]:
    """The values at least as strong as `cutoff`."""
    return values <= cutoff if pvalues else values >= cutoff


def count_within(scan: Scan, cutoff: float, pvalues: bool) -> int:
    return int(np.count_nonzero(within(cutoff, pvalues, scan.values)))


def scan_within(scan: Scan, cutoff: float, pvalues: bool) -> Scan:
    """The scan with only its candidates at least as strong as `cutoff`."""
    kept = within(cutoff, pvalues, scan.values)
    return Scan(scan.rows, scan.valid, scan.error, int(np.count_nonzero(kept)), scan.values[kept], scan.rows_kept[kept])


def narrowed(scans: Sequence[Any], procedure: Procedure, total: int, candidates: int, limit: int) -> Narrowed:
    """Counting passes over the scans left on the workers until at most `limit` candidates remain, the
    cut-off stops moving, or MAX_NARROWING_PASSES have run. Each cut-off holds every value the
    decision rejects (see the narrowed bounds of ``tarvimo._omitted``), so the candidates within the
    last one decide as the whole family does."""
    narrowing = procedure.narrowing
    assert narrowing is not None
    stronger = min if procedure.pvalues else max
    cutoff, first, passes = narrowing.first, candidates, 0
    while candidates > limit and passes < MAX_NARROWING_PASSES:
        bound = stronger(cutoff, narrowing.bound(total, first, candidates))
        if bound == cutoff:
            break
        cutoff, passes = bound, passes + 1
        candidates = sum(compute(*[delayed(count_within)(scan, cutoff, procedure.pvalues) for scan in scans]))
    return Narrowed(cutoff, candidates, passes)


def client_cut(procedure: Procedure, scans: Sequence[Scan], total: int) -> Cut | None:
    """The in-memory decision on the gathered candidates with m = `total`, as a cut; None when nothing
    is rejected. The candidates are in the frame's order, so ties fall as in the in-memory call."""
    values = np.concatenate([scan.values for scan in scans])
    if values.size == 0:
        return None
    mask = procedure.decide(values, m=total)
    if not mask.any():
        return None
    rejected = values[mask]
    weakest = float(rejected.max() if procedure.pvalues else rejected.min())
    last = int(np.flatnonzero(mask & (values == weakest))[-1])
    ends = np.cumsum([scan.values.size for scan in scans])
    partition = int(np.searchsorted(ends, last, side="right"))
    start = int(ends[partition - 1]) if partition else 0
    return Cut(weakest, partition, int(scans[partition].rows_kept[last - start]))


def marked(
    column: pd.Series, cut: Cut | None, pvalues: bool, rows: NDArray[np.int64], partition_info: dict[str, Any]
) -> pd.Series:
    """One partition's rejections by the cut; refuses a partition whose length changed since the scan."""
    number = partition_info["number"]
    if len(column) != rows[number]:
        raise RuntimeError(
            f"partition {number} of the frame has {len(column)} rows, but had {rows[number]} when it was "
            "scanned: the frame must give the same values each time it is computed (persist it)"
        )
    if cut is None:
        return pd.Series(np.zeros(len(column), dtype=bool), index=column.index, name=column.name)
    values = column_values(column)
    stronger = values < cut.value if pvalues else values > cut.value
    tied = values == cut.value
    if number >= cut.partition:
        tied[cut.row + 1 if number == cut.partition else 0 :] = False
    return pd.Series(stronger | tied, index=column.index, name=column.name)


def gathered(
    frame: dd.DataFrame, column: object, procedure: Procedure, limit: int, m: int | None
) -> tuple[list[Scan], list[int], int]:
    """The first pass of one family: the scans of the partitions with their candidates (shrunk by
    counting passes when they are too many and can shrink), the partitions' row counts and the number
    of hypotheses: `m`, or the number of values. Bad entries, an `m` below the number of rows and too
    many candidates are refused here."""
    name = str(column)
    parts = frame[column].to_delayed()
    # The scans stay where they ran (on the workers of a cluster) until their counts are known; those
    # that can shrink keep all their candidates there for the counting passes.
    kept_limit = limit if procedure.narrowing is None else math.inf
    scans = persist(*[delayed(scanned)(part, i, name, procedure, kept_limit) for i, part in enumerate(parts)])
    summaries = compute(*[delayed(scan_summary)(scan) for scan in scans])
    errors = [error for _, _, error, _ in summaries if error is not None]
    if errors:
        raise errors[0]
    valid = sum(valid for _, valid, _, _ in summaries)
    first = sum(count for _, _, _, count in summaries)
    total = valid if m is None else m
    # As in memory, m counts every row, missing values included (under "omit" they count as omitted).
    checked_total(total, valid if m is None else sum(rows for rows, _, _, _ in summaries))
    candidates, shrunk = first, ""
    if first > limit and procedure.narrowing is not None:
        narrow = narrowed(scans, procedure, total, first, limit)
        logger.debug(
            "one family of %d values: %d candidates, %d after %d counting passes",
            total,
            first,
            narrow.candidates,
            narrow.passes,
            extra={"candidates": first, "narrowed": narrow.candidates, "passes": narrow.passes},
        )
        candidates, shrunk = narrow.candidates, f", still {narrow.candidates:,} after {narrow.passes} counting passes"
        scans = [delayed(scan_within)(scan, narrow.cutoff, procedure.pvalues) for scan in scans]
    if candidates > limit:
        raise ValueError(
            f"one family of {total:,} hypotheses has {first:,} {procedure.kept}{shrunk}, more than max_candidates = "
            f"{limit:,}; each costs about 20 bytes on the client: raise max_candidates if they fit"
        )
    return list(compute(*scans)), [count for count, _, _, _ in summaries], total


def one_family(frame: dd.DataFrame, column: object, procedure: Procedure, limit: int, m: int | None) -> dd.Series:
    scans, counts, total = gathered(frame, column, procedure, limit, m)
    cut = client_cut(procedure, scans, total)
    # One copy of the row counts in the graph, not one per task.
    rows = delayed(np.array(counts, dtype=np.int64), pure=True)
    return frame[column].map_partitions(marked, cut, procedure.pvalues, rows, meta=decision_meta(frame, column))


def placed_levels(column: pd.Series, placed: Placed, rows: int, number: int) -> pd.Series:
    """One partition's levels: those computed for its gathered values, 1.0 for the others and NaN where
    a value is missing; refuses a partition whose length changed since the scan."""
    if len(column) != rows:
        raise RuntimeError(
            f"partition {number} of the frame has {len(column)} rows, but had {rows} when it was "
            "scanned: the frame must give the same values each time it is computed (persist it)"
        )
    levels = np.where(np.isnan(column_values(column)), np.nan, 1.0)
    levels[placed.rows] = placed.levels
    return pd.Series(levels, index=column.index, name=column.name)


def one_family_levels(
    frame: dd.DataFrame, column: object, procedure: Procedure, limit: int, m: int | None
) -> dd.Series:
    """The levels of one family: the gathered values' levels on the client with m (by default the
    values' count); the others, which no alpha below max_level rejects, get 1.0."""
    scans, counts, total = gathered(frame, column, procedure, limit, m)
    values = np.concatenate([scan.values for scan in scans])
    levels = procedure.decide(values, m=total) if values.size else values
    ends = np.cumsum([scan.values.size for scan in scans])
    parts = []
    for number, (part, scan, end) in enumerate(zip(frame[column].to_delayed(), scans, ends)):
        own = levels[end - scan.values.size : end]
        below = own < 1.0
        placed = Placed(scan.rows_kept[below], own[below])
        parts.append(delayed(placed_levels)(part, placed, counts[number], number))
    return dd.from_delayed(parts, meta=decision_meta(frame, column, 1.0), divisions=frame.divisions, verify_meta=False)


def rejections(
    frame: object,
    column: object,
    groups: object,
    procedure: Procedure,
    max_candidates: object,
    m: object,
    single: Callable[[dd.DataFrame, object, Procedure, int, int | None], dd.Series] = one_family,
) -> dd.Series:
    """The checks the procedures and adjust share, then the path for many families or for one (`single`)."""
    if not isinstance(frame, dd.DataFrame):
        raise TypeError(f"frame must be a Dask DataFrame, got {type(frame).__name__}")
    if column not in frame.columns:
        raise KeyError(f"column {column!r} is not a column of the frame (it has {list(frame.columns)})")
    dtype = frame._meta[column].dtype
    if not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype):
        raise TypeError(f"column {column!r} must hold real numbers, got dtype {dtype}")
    limit = whole_number(max_candidates, "max_candidates")
    if limit < 0:
        raise ValueError(f"max_candidates must not be negative, got {limit}")
    if groups is not None:
        if m is not None:
            raise ValueError("m gives the size of one family; with groups each family is counted whole")
        return many_families(frame, column, groups, procedure)
    total = None if m is None else whole_number(m, "m")
    return single(frame, column, procedure, limit, total)


def at_most(bound: float, values: NDArray[np.float64]) -> NDArray[np.bool_]:
    return values <= bound


def above(bound: float, values: NDArray[np.float64]) -> NDArray[np.bool_]:
    return values > bound


def present(values: NDArray[np.float64]) -> NDArray[np.bool_]:
    return ~np.isnan(values)


def by_bound(alpha: float, total: int, first: int, count: int) -> float:
    return by_narrowed_bound(alpha, total, count)


def closed_by_bound(alpha: float, total: int, first: int, count: int) -> float:
    return closed_by_narrowed_bound(alpha, total, count, total - first)


def ebh_bound(alpha: float, total: int, first: int, count: int) -> float:
    return ebh_narrowed_bound(alpha, total, count)


def pvalue_procedure(
    decide: Decide, alpha: object, nan_policy: object, narrowed_bound: Callable[..., float] | None = None
) -> Procedure:
    """A p-value procedure at level `alpha`; `narrowed_bound(alpha, total, first, count)` shrinks its
    candidates (BH would pass its own, the BY bound with H_m replaced by 1)."""
    level = checked_alpha(alpha)
    bound = pvalue_omission_bound(level)
    policy = checked_nan_policy(nan_policy)
    narrowing = None if narrowed_bound is None else Narrowing(bound, partial(narrowed_bound, level))
    return Procedure(
        partial(decide, alpha=level, nan_policy=policy),
        True,
        policy,
        partial(at_most, bound),
        f"p-values at or below alpha + 1e-10 = {bound!r}",
        narrowing,
    )


def evalue_procedure(
    decide: Decide,
    alpha: object,
    nan_policy: object,
    everything: bool,
    narrowed_bound: Callable[..., float] | None = None,
) -> Procedure:
    """An e-value procedure at level `alpha`, as `pvalue_procedure`; its first pass keeps the e-values
    above 1 / alpha, or all of them (`everything`)."""
    level = checked_alpha(alpha)
    bound = evalue_omission_bound(level)
    policy = checked_nan_policy(nan_policy)
    above_bound = f"above 1 / alpha = {bound!r}"
    keeps, kept = (
        (present, f"e-values, all needed by the exact closed e-BH (conservative=True gathers those {above_bound})")
        if everything
        else (partial(above, bound), f"e-values {above_bound}")
    )
    narrowing = (
        None
        if narrowed_bound is None
        else Narrowing(math.nextafter(bound, math.inf), partial(narrowed_bound, level))  # e >= first: e > bound
    )
    return Procedure(partial(decide, alpha=level, nan_policy=policy), False, policy, keeps, kept, narrowing)


def ebh(
    frame: dd.DataFrame,
    column: object,
    alpha: float = 0.05,
    *,
    groups: object = None,
    m: int | None = None,
    nan_policy: NanPolicy = "raise",
    max_candidates: int = DEFAULT_MAX_CANDIDATES,
) -> dd.Series:
    """e-BH on the e-values in `column` of a Dask DataFrame; the decisions of :func:`tarvimo.ebh`.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame
        The study, in any number of partitions.
    column : column label
        The column of e-values: non-negative reals, ``+inf`` allowed; NaN
        and pandas' NA are missing values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    groups : column label, optional
        A column, or the name of the index, whose labels make families:
        each family is decided on its own, as with ``tarvimo.ebh(...,
        groups=...)``. Without it the whole column is one family.
    m : int, optional
        One family only: the total number of hypotheses when the frame
        lists only some, the others counting as e-values of 0 (p-values of
        1 for the p-value procedures), as with ``tarvimo.ebh(..., m=...)``;
        at least the number of rows (missing values count as omitted), at
        most 10^12. By default the values present.
    nan_policy : {"raise", "omit"}, default "raise"
        As for :func:`tarvimo.ebh`: refuse missing values, or leave them
        unrejected and out of m.
    max_candidates : int, default 10,000,000
        One family only: the most e-values gathered on the client. More
        e-values above ``1 / alpha`` are shrunk by counting passes on the
        workers (see the module's notes); if they do not fit then, ValueError.

    Returns
    -------
    dask.dataframe.Series of bool
        Lazy, with the frame's divisions and index, named `column`: True
        where rejected.

    Raises
    ------
    TypeError, KeyError, ValueError
        A frame that is not a Dask DataFrame, an unknown or non-numeric
        column, or a bad option, at the call. A bad entry raises
        InvalidEntryError: at the call for one family, when computed for
        many.
    """
    procedure = evalue_procedure(ebh_in_memory, alpha, nan_policy, everything=False, narrowed_bound=ebh_bound)
    return rejections(frame, column, groups, procedure, max_candidates, m)


def closed_ebh(
    frame: dd.DataFrame,
    column: object,
    alpha: float = 0.05,
    *,
    groups: object = None,
    m: int | None = None,
    approximate: bool = False,
    conservative: bool = False,
    nan_policy: NanPolicy = "raise",
    max_candidates: int = DEFAULT_MAX_CANDIDATES,
) -> dd.Series:
    """Closed e-BH on the e-values in `column` of a Dask DataFrame; the decisions of :func:`tarvimo.closed_ebh`.

    Parameters
    ----------
    frame, column, alpha, groups, m, nan_policy
        As for :func:`ebh`.
    approximate : bool, default False
        As for :func:`tarvimo.closed_ebh`.
    conservative : bool, default False
        One family only. False: every e-value is gathered on the client and
        the decision is exact, for at most `max_candidates` of them. True:
        only the e-values above ``1 / alpha`` are gathered and the others
        count as 0 (as ``m`` does in the in-memory call). The rejected set
        is then still mean consistent in the whole family and holds the
        e-BH set, but it can be smaller than the exact one; it is exact
        when every e-value left out is 0.
    max_candidates : int, default 10,000,000
        One family only: the most e-values gathered on the client; more
        raise ValueError.

    Returns, Raises
        As for :func:`ebh`.
    """
    method = partial(closed_ebh_in_memory, approximate=checked_switch(approximate))
    everything = not checked_switch(conservative, "conservative")
    procedure = evalue_procedure(method, alpha, nan_policy, everything=everything)
    return rejections(frame, column, groups, procedure, max_candidates, m)


def by(
    frame: dd.DataFrame,
    column: object,
    alpha: float = 0.05,
    *,
    groups: object = None,
    m: int | None = None,
    nan_policy: NanPolicy = "raise",
    max_candidates: int = DEFAULT_MAX_CANDIDATES,
) -> dd.Series:
    """BY on the p-values in `column` of a Dask DataFrame; the decisions of :func:`tarvimo.by`.

    Parameters
    ----------
    frame, alpha, groups, m, nan_policy
        As for :func:`ebh`.
    column : column label
        The column of p-values in [0, 1]; NaN and pandas' NA are missing.
    max_candidates : int, default 10,000,000
        One family only: the most p-values gathered on the client. More
        p-values at or below ``alpha + 1e-10`` are shrunk by counting passes
        on the workers (see the module's notes); if they do not fit then,
        ValueError.

    Returns, Raises
        As for :func:`ebh`.
    """
    procedure = pvalue_procedure(by_in_memory, alpha, nan_policy, by_bound)
    return rejections(frame, column, groups, procedure, max_candidates, m)


def closed_by(
    frame: dd.DataFrame,
    column: object,
    alpha: float = 0.05,
    *,
    groups: object = None,
    m: int | None = None,
    approximate: bool = False,
    nan_policy: NanPolicy = "raise",
    max_candidates: int = DEFAULT_MAX_CANDIDATES,
) -> dd.Series:
    """Closed BY on the p-values in `column` of a Dask DataFrame; the decisions of :func:`tarvimo.closed_by`.

    Parameters
    ----------
    frame, column, alpha, groups, m, nan_policy, max_candidates
        As for :func:`by`. The counting passes shrink the candidates of the
        exact search only to about the p-values below ``(alpha + 1e-10) /
        H_m``; the approximate search gathers every p-value up to ``alpha +
        1e-10``, at most `max_candidates`.
    approximate : bool, default False
        As for :func:`tarvimo.closed_by`.

    Returns, Raises
        As for :func:`ebh`.
    """
    exact = not checked_switch(approximate)
    method = partial(closed_by_in_memory, approximate=not exact)
    # The approximate search bisects through sets beyond the narrowed candidates: it is not narrowed.
    procedure = pvalue_procedure(method, alpha, nan_policy, closed_by_bound if exact else None)
    return rejections(frame, column, groups, procedure, max_candidates, m)


def adjust(
    frame: dd.DataFrame,
    column: object,
    method: str,
    *,
    groups: object = None,
    m: int | None = None,
    max_level: float = 1.0,
    nan_policy: NanPolicy = "raise",
    max_candidates: int = DEFAULT_MAX_CANDIDATES,
) -> dd.Series:
    """Adjusted p-values of the values in `column` of a Dask DataFrame; the levels of :func:`tarvimo.adjust`.

    Parameters
    ----------
    frame, column, groups, m, nan_policy
        As for :func:`ebh` (p-values for ``"by"``, ``"closed_by"`` and ``"bh"``).
    method : {"by", "closed_by", "bh", "ebh", "closed_ebh"}
        As for :func:`tarvimo.adjust`; ``"closed-by"`` and ``"closed-ebh"``
        work too.
    max_level : float, default 1.0
        As for :func:`tarvimo.adjust`: levels at or above it are 1.0. For one
        family it also bounds what is gathered on the client: the p-values
        at or below ``max_level + 1e-10`` (no alpha below `max_level`
        rejects a larger one; ``(max_level + 1e-10)(1 + 1e-9)`` for BH),
        the e-values above ``1 / max_level`` for
        e-BH, and every e-value for closed e-BH, whose sums need the small
        ones too.
    max_candidates : int, default 10,000,000
        One family only: the most values gathered on the client; more raise
        ValueError.

    Returns
    -------
    dask.dataframe.Series of float64
        Lazy, with the frame's divisions and index, named `column`: the
        level of each hypothesis, 1.0 where no alpha below `max_level`
        rejects it, NaN for a missing value under ``nan_policy="omit"``.
        Among equal values the earlier in the frame gets the smaller level.

    Raises
    ------
    TypeError, KeyError, ValueError
        As for :func:`ebh`; also a bad `method` or `max_level`, at the call.
    """
    name = checked_method(method)
    ceiling = checked_max_level(max_level)
    policy = checked_nan_policy(nan_policy)
    decide = partial(adjust_in_memory, method=name, max_level=ceiling, nan_policy=policy)
    # Every alpha below max_level has bounds at least as wide as max_level's (rounding is monotone:
    # fl(alpha + 1e-10) <= fl(max_level + 1e-10), and so for BH's product with 1 + 1e-9; fl(1 / alpha) >=
    # fl(1 / max_level)), so a value left out changes no decision below max_level, and its own level is
    # at or above it: 1.0.
    keeps: Callable[[NDArray[np.float64]], NDArray[np.bool_]]
    if name == "bh":
        bound = bh_pvalue_omission_bound(ceiling)
        keeps, kept = partial(at_most, bound), f"p-values at or below (max_level + 1e-10)(1 + 1e-9) = {bound!r}"
    elif name in PVALUE_METHODS:
        bound = pvalue_omission_bound(ceiling)
        keeps, kept = partial(at_most, bound), f"p-values at or below max_level + 1e-10 = {bound!r}"
    elif name == "ebh":
        bound = evalue_omission_bound(ceiling)
        keeps, kept = partial(above, bound), f"e-values above 1 / max_level = {bound!r}"
    else:
        keeps, kept = present, "e-values, all needed by the levels of closed e-BH"
    procedure = Procedure(decide, name in PVALUE_METHODS, policy, keeps, kept, default=1.0)
    return rejections(frame, column, groups, procedure, max_candidates, m, one_family_levels)
