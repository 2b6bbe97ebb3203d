"""The procedures on values in any order, returning one decision per hypothesis.

The checked values go to the core as float64 arrays, read in place and
processed without the interpreter lock; NaN marks a missing entry. A family
is a one-dimensional array, each slice along `axis` of a larger one, or the
values sharing a label in `groups`; many families are decided on a thread
pool in C++. Only the values that can matter are gathered: closed e-BH sorts
every value, closed BY only those within the omission bound, and the step-up
procedures sort nothing (each candidate's first passing rank gives the
count). The core counts the
rejections, and the mask marks that many hypotheses with the strongest
evidence, the earlier one first among equal values. The adjusted p-values of
`tarvimo.adjust` take the same route, through the core's level routines.
"""

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarvimo import _fast, _vardo
from tarvimo._inputs import (
    EVALUE_REQUIREMENT,
    PVALUE_REQUIREMENT,
    NanPolicy,
    checked_alpha,
    checked_axis,
    checked_evalues,
    checked_family_totals,
    checked_switch,
    checked_total,
    checked_values,
    checked_workers,
    family_codes,
    is_masked_array,
    labelled_like,
    subset_positions,
    unchecked_values,
)

if TYPE_CHECKING:
    import pandas as pd

# The mask in the input's order: a numpy array, or a Series with the index of a Series given.
type Decisions = NDArray[np.bool_] | pd.Series
# m: the size of one family, or with groups the total of each family (by label, or one per value).
type Totals = int | Mapping[object, int] | ArrayLike

# The core's names of the methods on e-values.
EVALUE_METHODS = ("ebh", "closed_ebh", "closed_ebh_approximate")

# Any group holding an e-value of at least m / alpha meets its requirement
# (at most m / alpha); twice that absorbs rounding in the comparison.
SURE_PASS_FACTOR = 2.0


@dataclass(frozen=True)
class Routines:
    """The core's routines that give one result per value, for one family, the rows of a matrix, or
    families by code; each takes the method and a level (alpha, or the largest level reported)."""

    family: Callable[[NDArray[np.float64], str, float, int | None, int], NDArray[Any]]  # last: the threads
    rows: Callable[[NDArray[np.float64], str, float, int], NDArray[Any]]
    grouped: Callable[
        [NDArray[np.float64], NDArray[np.intp], int, str, float, int, NDArray[np.int64] | None], NDArray[Any]
    ]  # the last argument: the total of each family, or None


def family_rejections(values: NDArray[np.float64], method: str, alpha: float, total: int | None, threads: int) -> Any:
    return _fast.rejections(values, method, alpha, total, workers=threads)


REJECTIONS = Routines(family_rejections, _fast.row_rejections, _fast.grouped_rejections)


def decide(
    method: str,
    values: NDArray[np.float64],
    level: float,
    axis: object,
    groups: object,
    m: object,
    workers: object,
    routines: Routines = REJECTIONS,
) -> NDArray[Any]:
    """The results of `method` on checked values (NaN where missing), one family or many: the mask, or
    whatever else `routines` compute."""
    if groups is not None:
        if values.ndim != 1:
            raise ValueError(f"groups label the values of one-dimensional input, got an array of shape {values.shape}")
        checked_axis(axis, 1)
        families = family_codes(groups, values.size)
        totals = None if m is None else checked_family_totals(m, families)
        threads = checked_workers(workers)
        return routines.grouped(values, families.codes, families.count, method, level, threads, totals)
    along = checked_axis(axis, values.ndim)
    if m is not None and values.ndim != 1:
        raise ValueError(
            f"m is the size of a single family or, with groups, of each family: it needs one-dimensional values, "
            f"got shape {values.shape}"
        )
    if along is None or values.ndim == 1:
        threads = checked_workers(workers)
        total = checked_total(m, values.size)
        if values.ndim == 1:
            return routines.family(values, method, level, total, threads)
        return routines.family(values.reshape(-1), method, level, total, threads).reshape(values.shape)
    moved = np.moveaxis(values, along, -1)
    rows = moved.reshape(math.prod(moved.shape[:-1]), moved.shape[-1])
    results = routines.rows(rows, method, level, checked_workers(workers))
    return np.ascontiguousarray(np.moveaxis(results.reshape(moved.shape), -1, along))


def decide_in_one_pass(
    method: str,
    given: ArrayLike,
    level: float,
    nan_policy: object,
    axis: object,
    groups: object,
    m: object,
    workers: object,
) -> NDArray[np.bool_]:
    """The mask of a step-up procedure ("by", "bh" or "ebh"), of closed BY or of closed e-BH on the values as
    the user gave them.

    One family of one-dimensional values without masked entries reaches the core unchecked, and the core's
    one pass over the values (the step-up pass, closed BY's gather, closed e-BH's copy) checks their domain
    on the way,
    instead of numpy's passes for min and max. When an entry lies outside the domain, or an argument is
    refused, the values are checked here as before: the same entry is named, and an entry outside the
    domain is named before a refused argument.
    """
    evidence = ("evalues", EVALUE_REQUIREMENT) if method in EVALUE_METHODS else ("pvalues", PVALUE_REQUIREMENT)
    name, requirement = evidence

    def checked() -> NDArray[np.float64]:
        return checked_values(given, name, requirement, nan_policy, False)[0]

    array, masked, policy = unchecked_values(given, name, nan_policy, False)
    if groups is not None or masked is not None or array.ndim != 1:
        return decide(method, checked(), level, axis, groups, m, workers)
    try:
        checked_axis(axis, 1)
        threads = checked_workers(workers)
        total = checked_total(m, array.size)
    except Exception:
        checked()  # a bad entry is named before the refused argument
        raise
    mask = _fast.rejections(array, method, level, total, policy, threads)
    if mask is None:  # an entry outside the domain, named by the check
        return decide(method, checked(), level, axis, groups, m, workers)
    return mask


def closed_method(name: str, approximate: object) -> str:
    return f"{name}_approximate" if checked_switch(approximate) else name


def ebh(
    evalues: ArrayLike,
    alpha: float = 0.05,
    *,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: Totals | None = None,
    workers: int | None = None,
) -> Decisions:
    """e-value Benjamini-Hochberg (e-BH) procedure.

    Rejects the k hypotheses with the largest e-values, where k is the largest
    count whose k-th largest e-value reaches m / (k * alpha) (within 1e-12).
    Controls the false discovery rate at `alpha` under any dependence between
    the e-values.

    Parameters
    ----------
    evalues : array_like
        E-values in any order: non-negative reals, ``+inf`` allowed (such a
        hypothesis is always rejected). NaN, None, pandas' NA and a
        numpy.ma array's masked entries are missing values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy : {"raise", "omit"}, default "raise"
        Missing entries: ``"raise"`` refuses them with ValueError;
        ``"omit"`` leaves them out of their family: never rejected, not
        counted in m.
    axis : int or None, default 0
        Input of more than one dimension is a stack of families, each slice
        along `axis` one family (as in scipy's ``false_discovery_control``);
        None flattens the input into one family.
    groups : array_like, optional
        One label per value of one-dimensional input (integers, strings, a
        pandas Series or Categorical): the values sharing a label form a
        family. Labels are matched by position; missing labels are refused.
    m : int, mapping or array_like of int, optional
        The number of hypotheses of a family given in part (one-dimensional
        input); each omitted hypothesis counts as an e-value of 0. Exact when
        every omitted e-value is at most 1 / alpha. With `groups`, the total
        of each family: a mapping from label to total (covering every label
        present), or one total per value, the same within a family. A total
        counts every entry given, NaN and masked ones included (under
        ``"omit"`` they count as omitted), and is at most 10**12.
    workers : int or None, default None
        Threads deciding many families: None for all usable cores. The
        result never depends on it.

    Returns
    -------
    numpy.ndarray of bool, or pandas.Series of bool
        New array of the input's shape, True where the hypothesis is
        rejected; for a pandas Series, a Series with its index and name.
        Within a family, among equal e-values at the boundary, the one
        earlier in the input is rejected first.

    Raises
    ------
    TypeError
        Input that is not an array-like of real numbers (strings, booleans,
        other objects), or an `alpha`, `axis`, `m` or `workers` of the wrong
        type.
    ValueError
        `alpha` outside (0, 1), a negative e-value or a missing entry (NaN,
        None, pandas' NA or masked, under ``nan_policy="raise"``): an
        InvalidEntryError naming the first such entry. Also `m` below the
        number of entries or above 10**12 (for a family with `groups`),
        a label without a total, totals that vary within a family, `groups`
        of the wrong length or with missing labels, `m` with input of more
        dimensions, `axis` out of range.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.ebh([0.5, 3.0, 25.0, 50.0], alpha=0.1)
    array([False, False,  True,  True])
    >>> tarvimo.ebh([25.0, 50.0], alpha=0.1, m=4)  # two more e-values, omitted as 0
    array([ True,  True])
    >>> tarvimo.ebh([25.0, 50.0, 30.0], alpha=0.1, groups=["a", "a", "b"], m={"a": 4, "b": 10})
    array([ True,  True, False])
    """
    level = checked_alpha(alpha)
    return labelled_like(decide_in_one_pass("ebh", evalues, level, nan_policy, axis, groups, m, workers), evalues)


def closed_ebh(
    evalues: ArrayLike,
    alpha: float = 0.05,
    *,
    approximate: bool = False,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: Totals | None = None,
    workers: int | None = None,
) -> Decisions:
    """Closed e-BH procedure.

    Rejects the r hypotheses with the largest e-values, where r is the largest
    size whose set of the r largest e-values is mean consistent: every group
    of hypotheses holding i >= 1 of the set has an average e-value of at least
    i / (r * alpha) (within 1e-12). Controls the false discovery rate at
    `alpha` under any dependence. It always rejects at least the e-BH set:
    where e-BH's tolerance admits more than the check, the larger count wins.

    Parameters
    ----------
    evalues : array_like
        E-values in any order: non-negative reals, ``+inf`` allowed. NaN,
        None, pandas' NA and a numpy.ma array's masked entries are missing
        values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    approximate : bool, default False
        False: the exact search for the largest mean-consistent r, from
        r = m down; bounds over runs of sizes and rows settle most checks
        without evaluating them, so that it costs about 1.5 times a
        ``numpy.sort`` of the values for m = 1,000,000. True: bisection
        above the e-BH count, about log2(m) checks, usually no faster;
        mean consistency is not monotone in r, so the result can be smaller
        than the exact one, but every rejected set is mean consistent or the
        e-BH set.
    nan_policy, axis, groups, workers
        As for :func:`ebh`. One family of 65,536 e-values or more is also
        sorted on two threads when `workers` is None or at least 2: its
        halves are sorted at once and merged, with the same result.
    m : int, mapping or array_like of int, optional
        As for :func:`ebh`: the omitted hypotheses count as e-values of 0.
        The result is then exact when the omitted e-values are 0; otherwise
        it is conservative and still valid, as the rejected set stays mean
        consistent whatever the omitted e-values are (they can only raise
        the sums of the groups they join).

    Returns
    -------
    numpy.ndarray of bool, or pandas.Series of bool
        As for :func:`ebh`: True where the hypothesis is rejected, a Series
        for a Series given. Within a family, among equal e-values at the
        boundary, the one earlier in the input is rejected first.

    Raises
    ------
    TypeError, ValueError
        As for :func:`ebh`; also TypeError for an `approximate` that is not
        a bool.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.closed_ebh([1.0, 2.0, 30.0, 40.0, 50.0], alpha=0.1)
    array([False, False,  True,  True,  True])
    >>> tarvimo.closed_ebh([[1.0, 30.0], [2.0, 40.0]], alpha=0.1, axis=1)  # a family per row
    array([[False,  True],
           [False,  True]])
    """
    level = checked_alpha(alpha)
    method = closed_method("closed_ebh", approximate)
    return labelled_like(decide_in_one_pass(method, evalues, level, nan_policy, axis, groups, m, workers), evalues)


def by(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: Totals | None = None,
    workers: int | None = None,
) -> Decisions:
    """Benjamini-Yekutieli (BY) step-up procedure.

    Rejects the k hypotheses with the smallest p-values, where k is the
    largest count whose k-th smallest p-value is at most k * alpha / (m * H_m),
    H_m = 1 + 1/2 + ... + 1/m (within 1e-10). Controls the false discovery
    rate at `alpha` under any dependence between the p-values; gives the same
    decisions as statsmodels' ``multipletests(method="fdr_by")``.

    Parameters
    ----------
    pvalues : array_like
        P-values in any order, each in [0, 1]. NaN, None, pandas' NA and a
        numpy.ma array's masked entries are missing values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy, axis, groups, workers
        As for :func:`ebh`: missing entries, families along an axis or by
        label, and the threads that decide them.
    m : int, mapping or array_like of int, optional
        The number of hypotheses of a family given in part, as R's
        ``p.adjust(p, n = m)``: each omitted hypothesis counts as a p-value
        of 1. Exact when every omitted p-value exceeds alpha + 1e-10;
        conservative otherwise. With `groups`, the total of each family,
        as for :func:`ebh`: a mapping from label to total or one total per
        value (a gene tested against its own number of variants).

    Returns
    -------
    numpy.ndarray of bool, or pandas.Series of bool
        As for :func:`ebh`: True where the hypothesis is rejected, a Series
        for a Series given. Within a family, among equal p-values at the
        boundary, the one earlier in the input is rejected first.

    Raises
    ------
    TypeError, ValueError
        As for :func:`ebh`, with a p-value outside [0, 1] as the entry
        outside the domain.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.by([0.04, 0.0001, 0.8, 0.002])
    array([False,  True, False,  True])
    >>> tarvimo.by([0.0001, 0.002], m=4)  # two more p-values, all above alpha
    array([ True,  True])
    """
    level = checked_alpha(alpha)
    return labelled_like(decide_in_one_pass("by", pvalues, level, nan_policy, axis, groups, m, workers), pvalues)


def bh(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: Totals | None = None,
    workers: int | None = None,
) -> Decisions:
    """Benjamini-Hochberg (BH) step-up procedure, for comparison.

    Rejects the k hypotheses with the smallest p-values, where k is the
    largest count whose k-th smallest p-value is at most k * alpha / m
    (within 1e-10): the test of :func:`by` with H_m replaced by 1. It
    controls the false discovery rate at `alpha` only when the p-values are
    independent or positively dependent (PRDS); under other dependence use
    :func:`by` or :func:`closed_by`. Its decisions are those of statsmodels'
    ``multipletests(method="fdr_bh")`` and of scipy's
    ``false_discovery_control``, except that it also rejects p-values
    within 1e-10 above a line k * alpha / m, as :func:`by` does.

    Parameters
    ----------
    pvalues : array_like
        P-values in any order, each in [0, 1]. NaN, None, pandas' NA and a
        numpy.ma array's masked entries are missing values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy, axis, groups, workers
        As for :func:`ebh`.
    m : int, mapping or array_like of int, optional
        As for :func:`by`: the omitted hypotheses count as p-values of 1.
        Exact when every omitted p-value exceeds (alpha + 1e-10)(1 + 1e-9).

    Returns
    -------
    numpy.ndarray of bool, or pandas.Series of bool
        As for :func:`ebh`: True where the hypothesis is rejected, a Series
        for a Series given. Among equal p-values at the boundary, the one
        earlier in the input is rejected first.

    Raises
    ------
    TypeError, ValueError
        As for :func:`by`.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.bh([0.03, 0.0001, 0.8, 0.002])  # BY rejects two of them
    array([ True,  True, False,  True])
    """
    level = checked_alpha(alpha)
    return labelled_like(decide_in_one_pass("bh", pvalues, level, nan_policy, axis, groups, m, workers), pvalues)


def closed_by(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    approximate: bool = False,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: Totals | None = None,
    workers: int | None = None,
) -> Decisions:
    """Closed Benjamini-Yekutieli (closed BY) procedure.

    Rejects the r hypotheses with the smallest p-values, where r is the
    largest count whose set passes the closed BY check: every subset of the
    hypotheses, tested by BY at its own size through BY e-values, carries
    enough evidence for its overlap with the set (within 1e-10). Controls the
    false discovery rate at `alpha` under any dependence. It always rejects
    at least the BY set: where BY's tolerance admits more than the check
    (p-values within 1e-10 above a BY line), the larger count wins.

    Parameters
    ----------
    pvalues : array_like
        P-values in any order, each in [0, 1]. NaN, None, pandas' NA and a
        numpy.ma array's masked entries are missing values.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    approximate : bool, default False
        False: the exact search for the largest r that passes, from r = m
        down; certified bounds decide most sizes of a check, and most
        failing counts, without running their sums, so that it costs about
        3 times a ``numpy.sort`` of the values for m = 1,000,000. True:
        bisection above the BY count, about log2(m) checks, not faster;
        passing is not monotone in r, so the result can differ from the
        exact one, but it is either the BY set or a set that passed the
        check.
    nan_policy, axis, groups, workers
        As for :func:`by`.
    m : int, mapping or array_like of int, optional
        As for :func:`by`: the omitted hypotheses count as p-values of 1.
        Exact when every omitted p-value exceeds alpha + 1e-10.

    Returns
    -------
    numpy.ndarray of bool, or pandas.Series of bool
        As for :func:`ebh`: True where the hypothesis is rejected, a Series
        for a Series given. Within a family, among equal p-values at the
        boundary, the one earlier in the input is rejected first.

    Raises
    ------
    TypeError, ValueError
        As for :func:`by`; also TypeError for an `approximate` that is not
        a bool.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.closed_by([0.08, 0.02, 0.02, 0.01])
    array([False,  True,  True,  True])
    >>> tarvimo.closed_by([0.01, 0.02, 0.5, 0.01], groups=["a", "a", "b", "b"])
    array([ True,  True, False,  True])
    """
    level = checked_alpha(alpha)
    method = closed_method("closed_by", approximate)
    return labelled_like(decide_in_one_pass(method, pvalues, level, nan_policy, axis, groups, m, workers), pvalues)


def is_mean_consistent(
    evalues: ArrayLike, subset: ArrayLike, alpha: float = 0.05, *, nan_policy: NanPolicy = "raise"
) -> bool:
    """Whether a set of hypotheses is mean consistent, the closed e-BH condition.

    A set S of size r is mean consistent at `alpha` when every group of
    hypotheses holding i >= 1 members of S has an average e-value of at least
    i / (r * alpha), within 1e-12. :func:`closed_ebh` rejects the largest
    mean-consistent set among the sets of the largest e-values; this function
    checks any set. The empty set is mean consistent.

    Parameters
    ----------
    evalues : array_like
        One-dimensional e-values of all m hypotheses, in any order:
        non-negative reals, ``+inf`` allowed.
    subset : array_like
        The set S: a boolean mask with one entry per e-value, or 0-based
        integer positions into `evalues`. Negative positions are refused (they
        do not count from the end); a repeated position counts once.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy : {"raise", "omit"}, default "raise"
        Missing e-values (NaN or masked): ``"raise"`` refuses them with
        ValueError. ``"omit"``: their hypotheses leave the family (they count
        toward neither m nor any group); a subset that names one raises
        ValueError.

    Returns
    -------
    bool

    Raises
    ------
    TypeError, ValueError
        As for :func:`ebh`; also for a `subset` that is neither integer
        positions nor a boolean mask of the right length.
    IndexError
        A position outside 0 ... m - 1.

    Notes
    -----
    A hypothesis outside S whose e-value is at least 2 m / alpha lifts every
    group it joins above that group's requirement, so it is left out before
    the check; this keeps very large or infinite e-values outside S from
    swamping the sums of the small ones.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.is_mean_consistent([1.0, 2.0, 30.0, 40.0, 50.0], [2, 3, 4], alpha=0.1)
    True
    >>> tarvimo.is_mean_consistent([1.0, 2.0, 30.0, 40.0, 50.0], [0, 4], alpha=0.1)
    False
    """
    level = checked_alpha(alpha)
    values, any_missing = checked_evalues(evalues, nan_policy, one_dimensional=True)
    missing = np.isnan(values) if any_missing else np.zeros(values.size, dtype=np.bool_)
    present = np.flatnonzero(~missing)
    positions = subset_positions(subset, values.size)
    inside = np.zeros(values.size, dtype=np.bool_)
    inside[positions] = True
    named_missing = np.flatnonzero(inside & missing)
    if named_missing.size:
        position = int(named_missing[0])
        kind = "masked" if is_masked_array(evalues) and np.ma.getmaskarray(evalues)[position] else "NaN"
        raise ValueError(f"subset names position {position}, whose e-value is {kind} and omitted")
    sure_pass = SURE_PASS_FACTOR * present.size / level
    kept = present[inside[present] | (values[present] < sure_pass)]
    return _vardo.is_subset_mean_consistent(values[kept].tolist(), np.flatnonzero(inside[kept]).tolist(), level)
