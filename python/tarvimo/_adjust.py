"""Adjusted p-values: for each hypothesis, the smallest level at which a procedure rejects it.

The values are checked as the procedures check them and go the same way to
the core (one family, the slices along an axis, or families by label), which
computes every level of a family exactly from the sorted values, without a
call per level.
"""

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tarvimo import _fast
from tarvimo._inputs import NanPolicy, checked_evalues, checked_max_level, checked_pvalues, labelled_like
from tarvimo._procedures import Routines, decide

if TYPE_CHECKING:
    import pandas as pd

# The names of the methods, as the Python API and the command line spell them, and the core's name of each.
METHODS = {
    "by": "by",
    "closed_by": "closed_by",
    "closed-by": "closed_by",
    "ebh": "ebh",
    "closed_ebh": "closed_ebh",
    "closed-ebh": "closed_ebh",
    "bh": "bh",
}
PVALUE_METHODS = ("by", "closed_by", "bh")


def family_levels(
    values: NDArray[np.float64], method: str, max_level: float, total: int | None, threads: int
) -> NDArray[np.float64]:
    # A large closed family uses a second thread: closed e-BH for its sort, closed BY for its sort and its scan.
    return _fast.levels(values, method, total, max_level, threads)


# decide passes (values, method, max_level, total, threads); the core's `levels` takes the total first. The
# other two bindings take decide's order, a total per family last.
LEVELS = Routines(family_levels, _fast.row_levels, _fast.grouped_levels)


def checked_method(method: object) -> str:
    """The core's name of a method given as the API or the command line spells it."""
    if not isinstance(method, str):
        raise TypeError(f"method must be a string, one of {', '.join(map(repr, METHODS))}; got {method!r}")
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}; got {method!r}")
    return METHODS[method]


def adjust(
    values: ArrayLike,
    method: str,
    *,
    nan_policy: NanPolicy = "raise",
    axis: int | None = 0,
    groups: ArrayLike | None = None,
    m: int | None = None,
    workers: int | None = None,
    max_level: float = 1.0,
) -> "NDArray[np.float64] | pd.Series":
    """Adjusted p-values: the level of each hypothesis under a procedure.

    The level of a hypothesis is the smallest alpha in (0, 1) at which the
    procedure, called on the same values with the same options, rejects it.
    For every double alpha with ``0 < alpha < max_level``, element for
    element::

        tarvimo.<method>(values, alpha, ...) == (tarvimo.adjust(values, method, ...) <= alpha)

    ties and the procedures' tolerances included: among equal values the
    earlier one is rejected first at every alpha, so it gets the smaller
    level. One call answers for every alpha, and a study can report the
    levels for each reader to compare with their own alpha. With closed
    e-BH on e-values that do not depend on alpha, the level may even be
    chosen after seeing the data: closure supports that, and the level of a
    hypothesis is then the number to report.

    Parameters
    ----------
    values : array_like
        P-values (``"by"``, ``"closed_by"``, ``"bh"``) in [0, 1], or e-values
        (``"ebh"``, ``"closed_ebh"``): non-negative reals, ``+inf`` allowed.
        Any order; a numpy.ma array's masked entries are missing values.
    method : {"by", "closed_by", "bh", "ebh", "closed_ebh"}
        The procedure; ``"closed-by"`` and ``"closed-ebh"``, the command
        line's spellings, work too. The closed procedures' levels are those
        of their exact searches.
    nan_policy, axis, groups, m, workers
        As for :func:`tarvimo.by`: missing entries, families along an axis
        or by label, the size of a family given in part, and the threads.
        With `m`, the omitted hypotheses count as p = 1 (e = 0), and the
        levels are those of the procedure called with the same `m`, a total
        per family (`m` with `groups`, a mapping or one total per value)
        included. One large family of a closed procedure computes its
        levels on two threads where `workers` allows; the levels do not
        depend on `workers`.
    max_level : float, default 1.0
        Levels at or above it are reported as 1.0; the relation above holds
        for every alpha below it. A smaller `max_level` lets the core stop
        early, and the Dask path gather fewer values.

    Returns
    -------
    numpy.ndarray of float64, or pandas.Series
        New array of the input's shape (a Series with the index and name of
        a Series given): the level of each hypothesis, 1.0
        where no alpha below `max_level` rejects it, NaN for a missing entry
        (under ``nan_policy="omit"``). At a level L the hypothesis is
        rejected; at the double just below L it is not.

    Raises
    ------
    TypeError, ValueError
        As for :func:`tarvimo.by` (:class:`InvalidEntryError` for a bad
        entry); also for a `method` that is not one of the five, and a
        `max_level` outside (0, 1].

    Notes
    -----
    The relation needs the decision to be monotone in alpha. The closed
    procedures' decisions are, except near ties that rounding decides (tied
    e-values for closed e-BH; reciprocal sums of closed BY's ceilings within
    about 1e-10 alpha of a ratio u / r): there the decision can fall and rise
    again over consecutive doubles. Closed BY's can also fall at the edges
    0.05 2^-j of the scaled evaluation below 0.05, where sums short of their
    ratio by 5e-12 to 1e-11 pass just below the edge and fail at it; a
    closed BY level holds at every edge above it. A closed e-BH level is then the
    smallest alpha from which on the hypothesis stays rejected (the relation
    can break only below it); a closed BY level is where the decision turns
    (rejected at it, not at the double below). See the user guide's page on
    levels.

    BY's levels agree with statsmodels' ``multipletests(method="fdr_by")``
    corrected p-values and R's ``p.adjust(method = "BY")`` within 2e-10, not
    exactly: BY rejects a p-value within 1e-10 above its line (the step-up
    test's tolerance, smaller for alpha below 0.05), so its level lies up to
    that much below ``min(1, min over ranks j >= k of p_(j) m H_m / j)``,
    and the core finds the exact double where the decision changes, where
    the formula rounds its product and quotient. BH's levels agree in the
    same way with ``multipletests(method="fdr_bh")`` and scipy's
    ``false_discovery_control(method="bh")``.

    Examples
    --------
    >>> import tarvimo
    >>> levels = tarvimo.adjust([0.04, 0.0001, 0.8, 0.002], "by")
    >>> bool(((levels <= 0.05) == tarvimo.by([0.04, 0.0001, 0.8, 0.002], 0.05)).all())
    True
    >>> tarvimo.adjust([1.0, 2.0, 30.0, 40.0, 50.0], "ebh")[0]
    np.float64(1.0)
    """
    name = checked_method(method)
    ceiling = checked_max_level(max_level)
    checked = checked_pvalues if name in PVALUE_METHODS else checked_evalues
    array, _ = checked(values, nan_policy)
    return labelled_like(decide(name, array, ceiling, axis, groups, m, workers, LEVELS), values)
