"""Checking and converting what users hand to the procedures.

Every check names the first offending position and value, so that a user can
find the entry in their data. Booleans are refused wherever a number is
expected: numpy would silently read True as 1.
"""

import math
import operator
from typing import Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

NanPolicy = Literal["raise", "omit"]

NAN_POLICIES: tuple[NanPolicy, ...] = ("raise", "omit")
PVALUE_REQUIREMENT = "p-values must lie in [0, 1]"
EVALUE_REQUIREMENT = "e-values must be non-negative"
NAN_REQUIREMENT = "NaN is refused unless NaN entries are omitted (nan_policy='omit')"
NUMERIC_KINDS = "iuf"  # numpy dtype kinds holding real numbers


class InvalidEntryError(ValueError):
    """An entry outside the domain of the procedure, with its position."""

    def __init__(self, name: str, position: int, value: float, requirement: str) -> None:
        super().__init__(f"{name}[{position}] = {value!r}: {requirement}")
        self.position = position
        self.value = value
        self.requirement = requirement


def checked_alpha(alpha: object) -> float:
    """The level as a float; a finite real number with 0 < alpha < 1."""
    level = real_number(alpha, "alpha")
    if not 0.0 < level < 1.0:
        raise ValueError(f"alpha must be a finite number with 0 < alpha < 1, got {level!r}")
    return level


def checked_switch(approximate: object) -> bool:
    """The `approximate` switch; only True and False are accepted."""
    if not isinstance(approximate, (bool, np.bool_)):
        raise TypeError(f"approximate must be True or False, got {approximate!r}")
    return bool(approximate)


def checked_nan_policy(nan_policy: object) -> NanPolicy:
    for policy in NAN_POLICIES:
        if isinstance(nan_policy, str) and nan_policy == policy:
            return policy
    raise ValueError(f"nan_policy must be 'raise' or 'omit', got {nan_policy!r}")


def one_dimensional(values: ArrayLike, name: str, what: str) -> NDArray[np.generic]:
    """`values` as a one-dimensional numpy array; `what` describes the expected entries."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a one-dimensional array-like of {what}, not a string")
    try:
        array = np.asarray(values)
    except ValueError as exc:  # ragged nesting
        raise ValueError(f"{name} must be a one-dimensional array-like of {what}: {exc}") from None
    if array.ndim == 0:
        raise TypeError(f"{name} must be a one-dimensional array-like of {what}, got {type(values).__name__}")
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got an array of shape {array.shape}")
    return array


def real_number(item: object, name: str) -> float:
    """`item` as a float; bools, strings and non-numbers raise TypeError naming `name`."""
    if not isinstance(item, (bool, np.bool_, str, bytes)):
        try:
            return float(item)  # type: ignore[arg-type]  # any object with __float__ or __index__
        except OverflowError:  # an int beyond the largest float
            raise ValueError(f"{name} is an integer too large to convert to a float") from None
        except (TypeError, ValueError):
            pass
    raise TypeError(f"{name} = {item!r} is not a real number")


def real_array(values: ArrayLike, name: str) -> NDArray[np.float64]:
    """The values as a float64 array (the input itself if it is one already); they must be real numbers."""
    array = one_dimensional(values, name, "real numbers")
    if array.dtype.kind == "O" or isinstance(values, (list, tuple)):
        # Python objects: numpy folds a stray bool into a number and a stray
        # string into a string array, so such input is read item by item to
        # name the offender. Plain numbers keep numpy's conversion.
        items = values if isinstance(values, (list, tuple)) else array.tolist()
        if array.dtype.kind in NUMERIC_KINDS and not any(isinstance(item, (bool, np.bool_)) for item in items):
            return array.astype(np.float64, copy=False)
        return np.array([real_number(item, f"{name}[{i}]") for i, item in enumerate(items)], dtype=np.float64)
    if array.dtype.kind == "b":
        raise TypeError(f"{name} must hold real numbers, not booleans")
    if array.dtype.kind not in NUMERIC_KINDS:
        raise TypeError(f"{name} must hold real numbers, got an array of dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def first_invalid(values: NDArray[np.float64], valid: NDArray[np.bool_], name: str, requirement: str) -> None:
    """Raise InvalidEntryError at the first position where `valid` is False."""
    if valid.all():
        return
    position = int(np.argmin(valid))
    value = float(values[position])
    raise InvalidEntryError(name, position, value, NAN_REQUIREMENT if math.isnan(value) else requirement)


def missing_entries(
    values: NDArray[np.float64], in_domain: NDArray[np.bool_], name: str, requirement: str, nan_policy: NanPolicy
) -> NDArray[np.bool_] | None:
    """Mask of the NaN entries, which are omitted, or None when there are none."""
    missing = np.isnan(values)
    allowed = in_domain | missing if nan_policy == "omit" else in_domain
    first_invalid(values, allowed, name, requirement)
    return missing if missing.any() else None


def checked_pvalues(pvalues: ArrayLike, nan_policy: object) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None]:
    """The p-values as float64 and the mask of NaN entries (None when there are none)."""
    policy = checked_nan_policy(nan_policy)
    values = real_array(pvalues, "pvalues")
    # NaN fails both comparisons, so one pass of min and max settles the common case.
    if values.size == 0 or (values.min() >= 0.0 and values.max() <= 1.0):
        return values, None
    in_domain = (values >= 0.0) & (values <= 1.0)
    return values, missing_entries(values, in_domain, "pvalues", PVALUE_REQUIREMENT, policy)


def checked_evalues(evalues: ArrayLike, nan_policy: object) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None]:
    """The e-values as float64 and the mask of NaN entries (None when there are none); +inf is allowed."""
    policy = checked_nan_policy(nan_policy)
    values = real_array(evalues, "evalues")
    if values.size == 0 or values.min() >= 0.0:
        return values, None
    return values, missing_entries(values, values >= 0.0, "evalues", EVALUE_REQUIREMENT, policy)


def position(item: object, m: int) -> int:
    if isinstance(item, (bool, np.bool_)):
        raise TypeError("subset must be either integer positions or a boolean mask, not a mixture")
    try:
        index = operator.index(item)  # type: ignore[arg-type]  # refuses floats
    except TypeError:
        raise TypeError(f"subset holds {item!r}, which is not an integer position") from None
    if not 0 <= index < m:
        raise IndexError(
            f"subset position {index} is out of range for {m} e-values "
            f"(positions run from 0 to {m - 1}; negative positions are not accepted)"
        )
    return index


def subset_positions(subset: ArrayLike, m: int) -> NDArray[np.intp]:
    """The distinct positions named by `subset`, ascending.

    `subset` is either a boolean mask with one entry per e-value or a sequence
    of 0-based integer positions; a repeated position counts once.
    """
    array = one_dimensional(subset, "subset", "integer positions or booleans")
    if array.dtype.kind == "b":
        if array.size != m:
            raise ValueError(f"a boolean subset mask needs one entry per e-value ({m}), got {array.size}")
        return np.flatnonzero(array)
    if isinstance(subset, (list, tuple)):
        items: list[object] | tuple[object, ...] = subset
    elif array.size == 0 or array.dtype.kind in "iuO":
        items = array.tolist()
    else:
        raise TypeError(f"subset must hold integer positions or booleans, got an array of dtype {array.dtype}")
    return np.unique(np.array([position(item, m) for item in items], dtype=np.intp))
