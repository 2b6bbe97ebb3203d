"""The procedures on values in any order, returning one decision per hypothesis.

The checked values go to the core as float64 arrays, read in place and
processed without the interpreter lock. The closed procedures sort every
value; the step-up procedures sort only the values that can be rejected at
all. The core counts the rejections, and the mask marks that many hypotheses
with the strongest evidence, the earlier one first among equal values.
"""

from collections.abc import Callable

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarvimo import _fast, _vardo
from tarvimo._inputs import (
    NanPolicy,
    checked_alpha,
    checked_evalues,
    checked_pvalues,
    checked_switch,
    subset_positions,
)

# Any group holding an e-value of at least m / alpha meets its requirement
# (at most m / alpha); twice that absorbs rounding in the comparison.
SURE_PASS_FACTOR = 2.0

Decide = Callable[[NDArray[np.float64]], NDArray[np.bool_]]


def decide_present(values: NDArray[np.float64], missing: NDArray[np.bool_] | None, decide: Decide) -> NDArray[np.bool_]:
    """`decide` on the entries that are not NaN; NaN entries are never rejected."""
    if missing is None:
        return decide(values)
    present = ~missing
    mask = np.zeros(values.size, dtype=np.bool_)
    mask[present] = decide(values[present])
    return mask


def ebh(evalues: ArrayLike, alpha: float = 0.05, *, nan_policy: NanPolicy = "raise") -> NDArray[np.bool_]:
    """e-value Benjamini-Hochberg (e-BH) procedure.

    Rejects the k hypotheses with the largest e-values, where k is the largest
    count whose k-th largest e-value reaches m / (k * alpha). Controls the
    false discovery rate at `alpha` under any dependence between the e-values.

    Parameters
    ----------
    evalues : array_like
        One-dimensional e-values in any order: non-negative reals, ``+inf``
        allowed (such a hypothesis is always rejected).
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy : {"raise", "omit"}, default "raise"
        ``"raise"``: a NaN entry raises ValueError. ``"omit"``: NaN entries
        are never rejected and do not count toward m.

    Returns
    -------
    numpy.ndarray of bool
        New array in the input's order, True where the hypothesis is rejected.
        Among equal e-values at the boundary, the one earlier in the input is
        rejected first.

    Raises
    ------
    TypeError
        Input that is not a one-dimensional array-like of real numbers
        (strings, booleans, other objects), or an `alpha` that is not a number.
    ValueError
        `alpha` outside (0, 1), a negative e-value or NaN (under
        ``nan_policy="raise"``); the message names the first such position.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.ebh([0.5, 3.0, 25.0, 50.0], alpha=0.1)
    array([False, False,  True,  True])
    """
    level = checked_alpha(alpha)
    values, missing = checked_evalues(evalues, nan_policy)
    return decide_present(values, missing, lambda e: _fast.ebh_rejections(e, level))


def closed_ebh(
    evalues: ArrayLike, alpha: float = 0.05, *, approximate: bool = False, nan_policy: NanPolicy = "raise"
) -> NDArray[np.bool_]:
    """Closed e-BH procedure.

    Rejects the r hypotheses with the largest e-values, where r is the largest
    size whose set of the r largest e-values is mean consistent: every group
    of hypotheses holding i >= 1 of the set has an average e-value of at least
    i / (r * alpha) (within 1e-12). Controls the false discovery rate at
    `alpha` under any dependence, and rejects at least as many hypotheses as
    :func:`ebh` (the e-BH set is always mean consistent).

    Parameters
    ----------
    evalues : array_like
        One-dimensional e-values in any order: non-negative reals, ``+inf``
        allowed.
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    approximate : bool, default False
        False: exact search, trying r = m, m - 1, ... (about a millisecond
        for m = 10,000). True: bisection above the e-BH count, about log2(m)
        checks, usually no faster, since a passing check costs far more than
        a failing one; mean consistency is not monotone in r, so the result
        can be smaller than the exact one, but every rejected set is mean
        consistent or the e-BH set.
    nan_policy : {"raise", "omit"}, default "raise"
        ``"raise"``: a NaN entry raises ValueError. ``"omit"``: NaN entries
        are never rejected and do not count toward m.

    Returns
    -------
    numpy.ndarray of bool
        New array in the input's order, True where the hypothesis is rejected.
        Among equal e-values at the boundary, the one earlier in the input is
        rejected first.

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
    """
    level = checked_alpha(alpha)
    approximate = checked_switch(approximate)
    values, missing = checked_evalues(evalues, nan_policy)
    return decide_present(
        values, missing, lambda e: _fast.closed_ebh_rejections(e, level, approximate)
    )


def by(pvalues: ArrayLike, alpha: float = 0.05, *, nan_policy: NanPolicy = "raise") -> NDArray[np.bool_]:
    """Benjamini-Yekutieli (BY) step-up procedure.

    Rejects the k hypotheses with the smallest p-values, where k is the
    largest count whose k-th smallest p-value is at most k * alpha / (m * H_m),
    H_m = 1 + 1/2 + ... + 1/m (within 1e-10). Controls the false discovery
    rate at `alpha` under any dependence between the p-values; gives the same
    decisions as statsmodels' ``multipletests(method="fdr_by")``.

    Parameters
    ----------
    pvalues : array_like
        One-dimensional p-values in any order, each in [0, 1].
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    nan_policy : {"raise", "omit"}, default "raise"
        ``"raise"``: a NaN entry raises ValueError. ``"omit"``: NaN entries
        are never rejected and do not count toward m.

    Returns
    -------
    numpy.ndarray of bool
        New array in the input's order, True where the hypothesis is rejected.
        Among equal p-values at the boundary, the one earlier in the input is
        rejected first.

    Raises
    ------
    TypeError
        Input that is not a one-dimensional array-like of real numbers
        (strings, booleans, other objects), or an `alpha` that is not a number.
    ValueError
        `alpha` outside (0, 1), a p-value outside [0, 1] or NaN (under
        ``nan_policy="raise"``); the message names the first such position.

    Examples
    --------
    >>> import tarvimo
    >>> tarvimo.by([0.04, 0.0001, 0.8, 0.002])
    array([False,  True, False,  True])
    """
    level = checked_alpha(alpha)
    values, missing = checked_pvalues(pvalues, nan_policy)
    return decide_present(values, missing, lambda p: _fast.by_rejections(p, level))


def closed_by(
    pvalues: ArrayLike, alpha: float = 0.05, *, approximate: bool = False, nan_policy: NanPolicy = "raise"
) -> NDArray[np.bool_]:
    """Closed Benjamini-Yekutieli (closed BY) procedure.

    Rejects the r hypotheses with the smallest p-values, where r is the
    largest count whose set passes the closed BY check: every subset of the
    hypotheses, tested by BY at its own size through BY e-values, carries
    enough evidence for its overlap with the set (within 1e-10). Controls the
    false discovery rate at `alpha` under any dependence; usually rejects at
    least as many hypotheses as :func:`by`.

    Parameters
    ----------
    pvalues : array_like
        One-dimensional p-values in any order, each in [0, 1].
    alpha : float, default 0.05
        Level, a finite number with ``0 < alpha < 1``.
    approximate : bool, default False
        False: exact search, checking r = m, m - 1, ... (a few milliseconds
        for m = 10,000; the check that passes costs about m times the
        number of rejections, seconds for m = 1,000,000). True: bisection
        above the BY count, about log2(m) checks, usually slower, since
        several of them pass; passing is not monotone in r, so the result
        can differ from the exact one, but it is either the BY set or a set
        that passed the check.
    nan_policy : {"raise", "omit"}, default "raise"
        ``"raise"``: a NaN entry raises ValueError. ``"omit"``: NaN entries
        are never rejected and do not count toward m.

    Returns
    -------
    numpy.ndarray of bool
        New array in the input's order, True where the hypothesis is rejected.
        Among equal p-values at the boundary, the one earlier in the input is
        rejected first.

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
    """
    level = checked_alpha(alpha)
    approximate = checked_switch(approximate)
    values, missing = checked_pvalues(pvalues, nan_policy)
    return decide_present(
        values, missing, lambda p: _fast.closed_by_rejections(p, level, approximate)
    )


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
        ``"raise"``: a NaN e-value raises ValueError. ``"omit"``: hypotheses
        with a NaN e-value leave the family (they count toward neither m nor
        any group); a subset that names one raises ValueError.

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
    values, missing = checked_evalues(evalues, nan_policy)
    present = np.arange(values.size) if missing is None else np.flatnonzero(~missing)
    positions = subset_positions(subset, values.size)
    inside = np.zeros(values.size, dtype=np.bool_)
    inside[positions] = True
    named_nan = np.flatnonzero(inside & np.isnan(values))
    if named_nan.size:
        raise ValueError(f"subset names position {int(named_nan[0])}, whose e-value is NaN and omitted")
    sure_pass = SURE_PASS_FACTOR * present.size / level
    kept = present[inside[present] | (values[present] < sure_pass)]
    return _vardo.is_subset_mean_consistent(values[kept].tolist(), np.flatnonzero(inside[kept]).tolist(), level)
