"""Checking and converting what users hand to the procedures.

Every check names the first offending position and value, so that a user can
find the entry in their data. Booleans are refused wherever a number is
expected: numpy would silently read True as 1. Masked entries of a
numpy.ma array are missing values, like NaN.
"""

import importlib
import math
import operator
import os
import sys
import types
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, TypeGuard

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    import pandas as pd

NanPolicy = Literal["raise", "omit"]

NAN_POLICIES: tuple[NanPolicy, ...] = ("raise", "omit")
PVALUE_REQUIREMENT = "p-values must lie in [0, 1]"
EVALUE_REQUIREMENT = "e-values must be non-negative"
NAN_REQUIREMENT = "NaN is refused unless NaN entries are omitted (nan_policy='omit')"
MISSING_REQUIREMENT = (
    "None and pandas' NA are missing values, refused unless missing entries are omitted (nan_policy='omit')"
)
MASKED_REQUIREMENT = "masked entries are refused unless missing entries are omitted (nan_policy='omit')"
NUMERIC_KINDS = "iuf"  # numpy dtype kinds holding real numbers
LARGEST_FAMILY = 10**12  # the most hypotheses of one family, given and omitted together
LARGEST_GIVEN = 2**31 - 1  # the most values given for one family: the core counts them in 32 bits
LARGEST_WORKERS = 2**31 - 1  # the core counts threads in signed 32-bit integers


class InvalidEntryError(ValueError):
    """An entry outside the domain of the procedure, with its position.

    Attributes
    ----------
    position : int
        Position of the entry in the input flattened in C order: for
        one-dimensional input, its index.
    index : tuple of int
        Its index in the input, one number per dimension.
    value : float
        The entry; NaN for a masked entry.
    requirement : str
        The rule the entry breaks.
    label : object or None
        The entry's index label when the input is a pandas Series.
    masked : bool
        Whether the entry is masked (numpy.ma).
    """

    def __init__(
        self,
        name: str,
        position: int,
        value: float,
        requirement: str,
        *,
        index: tuple[int, ...] | None = None,
        label: object = None,
        masked: bool = False,
    ) -> None:
        self.position = position
        self.index = (position,) if index is None else index
        self.value = value
        self.requirement = requirement
        self.label = label
        self.masked = masked
        where = entry_name(name, self.index, label)
        super().__init__(f"{where} is masked: {requirement}" if masked else f"{where} = {value!r}: {requirement}")

    def __reduce__(self) -> tuple[object, ...]:
        # The default pickling calls __init__ with the message alone, which fails: an error raised in
        # another process (a pool or cluster worker) would not reach the caller.
        return (restored_error, (type(self), self.args, self.__dict__))


def restored_error(kind: type[BaseException], args: tuple[object, ...], attributes: dict[str, object]) -> BaseException:
    """An exception rebuilt from its arguments and attributes without calling its own __init__."""
    error = kind.__new__(kind, *args)
    BaseException.__init__(error, *args)
    error.__dict__.update(attributes)
    return error


def entry_name(name: str, index: tuple[int, ...], label: object = None) -> str:
    """How messages name an entry: ``pvalues[3]``, ``pvalues[1, 2]``, ``pvalues[3] (index label 'g4')``."""
    where = f"{name}[{', '.join(str(i) for i in index)}]"
    return where if label is None else f"{where} (index label {label!r})"


def series_labels(values: object) -> Sequence[object] | None:
    """The index of a pandas Series, whose labels name its entries in messages; None for other input."""
    if isinstance(values, (list, tuple, np.ndarray)) or getattr(values, "ndim", None) != 1:
        return None
    labels: Sequence[object] | None = getattr(values, "index", None)
    return labels


def labelled_like[Result: np.generic](result: NDArray[Result], values: object) -> "NDArray[Result] | pd.Series":
    """`result`, one entry per value, as a pandas Series with the index and name of `values` when that is a
    Series (a DataFrame's column, say); other input keeps the numpy array."""
    pandas = sys.modules.get("pandas")  # a Series cannot exist before pandas is imported
    if pandas is None or not isinstance(values, pandas.Series):
        return result
    return pandas.Series(result, index=values.index, name=values.name, copy=False)


def label_at(labels: Sequence[object] | None, position: int) -> object:
    """The index label at `position` as a Python object (20, not np.int64(20)), or None."""
    if labels is None:
        return None
    label = labels[position]
    return label.item() if isinstance(label, np.generic) else label


def named_entry(name: str, shape: tuple[int, ...], position: int, labels: Sequence[object] | None) -> str:
    index = tuple(int(i) for i in np.unravel_index(position, shape))
    return entry_name(name, index, label_at(labels, position))


def checked_alpha(alpha: object) -> float:
    """The level as a float; a finite real number with 0 < alpha < 1."""
    level = real_number(alpha, "alpha")
    if not 0.0 < level < 1.0:
        raise ValueError(f"alpha must be a finite number with 0 < alpha < 1, got {level!r}")
    return level


def checked_max_level(max_level: object) -> float:
    """The largest level reported by the adjusted p-values: a number with 0 < max_level <= 1."""
    level = real_number(max_level, "max_level")
    if not 0.0 < level <= 1.0:
        raise ValueError(f"max_level must be a number with 0 < max_level <= 1, got {level!r}")
    return level


def checked_switch(value: object, name: str = "approximate") -> bool:
    """The switch `name`; only True and False are accepted."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {value!r}")
    return bool(value)


def checked_nan_policy(nan_policy: object) -> NanPolicy:
    for policy in NAN_POLICIES:
        if isinstance(nan_policy, str) and nan_policy == policy:
            return policy
    raise ValueError(f"nan_policy must be 'raise' or 'omit', got {nan_policy!r}")


def as_array(values: ArrayLike, name: str, what: str, one_dimensional: bool) -> NDArray[np.generic]:
    """`values` as a numpy array of at least one dimension (exactly one if `one_dimensional`);
    `what` describes the expected entries."""
    shape = "a one-dimensional" if one_dimensional else "an"
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be {shape} array-like of {what}, not a string")
    try:
        array = np.asarray(values)
    except ValueError as exc:  # ragged nesting
        rectangular = "a one-dimensional" if one_dimensional else "a rectangular"
        raise ValueError(f"{name} must be {rectangular} array-like of {what}: {exc}") from None
    if array.ndim == 0:
        raise TypeError(f"{name} must be {shape} array-like of {what}, got {type(values).__name__}")
    if one_dimensional and array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got an array of shape {array.shape}")
    return array


def is_missing_marker(item: object) -> bool:
    """Whether `item` is None or pandas' NA, which stand for a missing value like NaN."""
    if item is None:
        return True
    pandas = sys.modules.get("pandas")
    return pandas is not None and item is pandas.NA


def real_or_missing(item: object, name: str) -> float:
    """`item` as a float, NaN for None and pandas' NA; other non-numbers raise TypeError naming `name`."""
    return math.nan if is_missing_marker(item) else real_number(item, name)


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


def is_nullable_numeric(values: object) -> bool:
    """Whether `values` is a one-dimensional pandas object of a numeric dtype with its own missing value
    (Int64, Float64, double[pyarrow], ...)."""
    dtype = getattr(values, "dtype", None)
    return (
        dtype is not None
        and not isinstance(dtype, np.dtype)
        and getattr(dtype, "kind", None) in tuple(NUMERIC_KINDS)
        and type(values).__module__.partition(".")[0] == "pandas"
        and getattr(values, "ndim", None) == 1
    )


def real_array(values: ArrayLike, name: str, one_dimensional: bool) -> NDArray[np.float64]:
    """The values as a float64 array (the input itself if it is one already); they must be real numbers."""
    if is_nullable_numeric(values):
        # pandas converts in one pass, its NA to NaN
        floats: NDArray[np.float64] = values.to_numpy(dtype=np.float64, na_value=np.nan)  # type: ignore[union-attr]
        return floats
    array = as_array(values, name, "real numbers", one_dimensional)
    if array.dtype.kind == "O" or isinstance(values, (list, tuple)):
        # Python objects: numpy folds a stray bool into a number and a stray
        # string into a string array, so such input is read item by item to
        # name the offender. Plain numbers keep numpy's conversion.
        if array.ndim == 1:
            items = values if isinstance(values, (list, tuple)) else array.tolist()
        else:
            items = np.asarray(values, dtype=object).ravel().tolist()
        if array.dtype.kind in NUMERIC_KINDS and not any(isinstance(item, (bool, np.bool_)) for item in items):
            return array.astype(np.float64, copy=False)
        labels = series_labels(values)
        converted = [real_or_missing(item, named_entry(name, array.shape, i, labels)) for i, item in enumerate(items)]
        return np.array(converted, dtype=np.float64).reshape(array.shape)
    if array.dtype.kind == "b":
        raise TypeError(f"{name} must hold real numbers, not booleans")
    if array.dtype.kind not in NUMERIC_KINDS:
        raise TypeError(f"{name} must hold real numbers, got an array of dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def is_masked_array(values: object) -> TypeGuard["np.ma.MaskedArray[Any, Any]"]:
    """Whether `values` is a numpy.ma array; numpy imports numpy.ma only when asked, and a masked
    array cannot exist before, so this does not import it."""
    ma = sys.modules.get("numpy.ma")
    return ma is not None and isinstance(values, ma.MaskedArray)


def unmasked(values: ArrayLike) -> tuple[ArrayLike, NDArray[np.bool_] | None]:
    """A masked array's data with NaN in its masked entries and the mask (None when nothing is masked);
    other input unchanged. Hidden values are never read."""
    if not is_masked_array(values):
        return values, None
    mask = np.ma.getmaskarray(values)
    data = np.ma.getdata(values)
    if not mask.any():
        return data, None
    if data.dtype.kind in NUMERIC_KINDS:
        return np.where(mask, np.nan, data), mask
    if data.dtype.kind == "O":
        filled = data.copy()
        filled[mask] = math.nan
        return filled, mask
    return data, mask  # booleans, strings: refused for their type


def unchecked_values(
    values: ArrayLike, name: str, nan_policy: object, one_dimensional: bool
) -> tuple[NDArray[np.float64], NDArray[np.bool_] | None, NanPolicy]:
    """What checked_values checks: the values as float64 with NaN in masked entries, the mask (None when
    nothing is masked) and the NaN policy, refusing what is not an array of real numbers."""
    policy = checked_nan_policy(nan_policy)
    data, masked = unmasked(values)
    return real_array(data, name, one_dimensional), masked, policy


def checked_values(
    values: ArrayLike,
    name: str,
    requirement: str,
    nan_policy: object,
    one_dimensional: bool,
) -> tuple[NDArray[np.float64], bool]:
    """The values as float64, NaN in missing (NaN or masked) entries, and whether any is missing.

    `requirement` names the domain: p-values in [0, 1] or non-negative
    e-values (+inf allowed). Under ``nan_policy="raise"`` a missing entry is
    refused like one outside the domain; the first offender is named.
    """
    array, masked, policy = unchecked_values(values, name, nan_policy, one_dimensional)
    pvalues = requirement == PVALUE_REQUIREMENT
    # NaN fails every comparison, so one pass of min (and max) settles the common case.
    if array.size == 0 or (array.min() >= 0.0 and (not pvalues or array.max() <= 1.0)):
        return array, False
    in_domain = (array >= 0.0) & (array <= 1.0) if pvalues else array >= 0.0
    missing = np.isnan(array)
    allowed = (in_domain | missing) if policy == "omit" else in_domain
    if not allowed.all():
        position = int(np.argmin(allowed.ravel()))
        value = float(array.flat[position])
        is_masked = masked is not None and bool(masked.flat[position])
        rule = requirement
        if is_masked:
            rule = MASKED_REQUIREMENT
        elif math.isnan(value):
            rule = MISSING_REQUIREMENT if given_as_missing_marker(values, position) else NAN_REQUIREMENT
        raise InvalidEntryError(
            name,
            position,
            value,
            rule,
            index=tuple(int(i) for i in np.unravel_index(position, array.shape)),
            label=label_at(series_labels(values), position),
            masked=is_masked,
        )
    return array, bool(missing.any())


def given_as_missing_marker(values: ArrayLike, position: int) -> bool:
    """Whether the entry at `position` (flattened) was given as None or pandas' NA rather than NaN."""
    if isinstance(values, np.ndarray) and values.dtype.kind != "O":
        return False
    if is_nullable_numeric(values):
        return True  # such a Series marks its missing entries with NA
    return is_missing_marker(np.asarray(values, dtype=object).ravel()[position])


def checked_pvalues(
    pvalues: ArrayLike, nan_policy: object, one_dimensional: bool = False
) -> tuple[NDArray[np.float64], bool]:
    """The p-values as float64 (NaN where missing) and whether any is missing."""
    return checked_values(pvalues, "pvalues", PVALUE_REQUIREMENT, nan_policy, one_dimensional)


def checked_evalues(
    evalues: ArrayLike, nan_policy: object, one_dimensional: bool = False
) -> tuple[NDArray[np.float64], bool]:
    """The e-values as float64 (NaN where missing) and whether any is missing; +inf is allowed."""
    return checked_values(evalues, "evalues", EVALUE_REQUIREMENT, nan_policy, one_dimensional)


def whole_number(item: object, name: str) -> int:
    """`item` as an int; bools and non-integers (floats too) raise TypeError naming `name`."""
    if not isinstance(item, (bool, np.bool_)):
        try:
            return operator.index(item)  # type: ignore[arg-type]  # any object with __index__
        except TypeError:
            pass
    raise TypeError(f"{name} must be an integer, got {item!r}")


def checked_axis(axis: object, ndim: int) -> int | None:
    """The axis along which families lie, in 0 ... ndim - 1, or None to flatten; negative counts from the end."""
    if axis is None:
        return None
    index = axis if type(axis) is int else whole_number(axis, "axis")
    if not -ndim <= index < ndim:
        raise np.exceptions.AxisError(index, ndim)
    return index % ndim


def checked_total(m: object, given: int) -> int | None:
    """The number of hypotheses of a family of which `given` entries are given, or None."""
    if m is None:
        return None
    total = whole_number(m, "m")
    if total < given:
        raise ValueError(
            f"m = {total} is smaller than the number of values given ({given}); m counts every hypothesis of "
            "the family, the given ones included"
        )
    if total > LARGEST_FAMILY:
        raise ValueError(f"m = {total:,} is more than {LARGEST_FAMILY:,} (10^12), the largest family supported")
    return total


def checked_workers(workers: object) -> int:
    """The number of threads: all usable cores for None, else a positive integer."""
    if workers is None:
        return os.process_cpu_count() or 1
    count = whole_number(workers, "workers")
    if count < 1:
        raise ValueError(f"workers must be at least 1 (or None for all usable cores), got {count}")
    return min(count, LARGEST_WORKERS)


def missing_labels(labels: NDArray[np.generic], uniques: NDArray[np.generic]) -> NDArray[np.bool_]:
    """Which labels are missing: NaN, NaT or None."""
    if labels.dtype.kind in "fc":
        return np.isnan(labels)
    if labels.dtype.kind in "mM":
        return np.isnat(labels)
    absent = [item is None or item != item for item in uniques.tolist()] if labels.dtype.kind == "O" else []
    if not any(absent):
        return np.zeros(labels.size, dtype=np.bool_)
    return np.isin(labels, uniques[np.array(absent, dtype=np.bool_)])


# From this many labels on, pandas' hash factorisation (linear) is worth
# importing pandas for, if it is installed; numpy sorts the labels.
PANDAS_FACTORIZE_SIZE = 1 << 16


def pandas_module(size: int) -> types.ModuleType | None:
    """pandas if it is loaded already, or worth loading for `size` labels and installed."""
    if "pandas" in sys.modules:
        return sys.modules["pandas"]
    if size < PANDAS_FACTORIZE_SIZE:
        return None
    try:
        return importlib.import_module("pandas")
    except ImportError:
        return None


@dataclass(frozen=True)
class Families:
    """The family number in 0 ... count - 1 of each value, and the label of each family number
    (None: the numbers are the labels, given as family numbers already)."""

    codes: NDArray[np.intp]
    count: int
    labels: Sequence[object] | NDArray[np.generic] | None

    def label(self, family: int) -> object:
        return family if self.labels is None else self.labels[family]


def factorized(groups: object) -> tuple[Families, NDArray[np.bool_]]:
    """The families of the labels, and which labels are missing."""
    if type(groups).__module__.partition(".")[0] != "pandas":  # not a Series, Categorical or Index
        labels = as_array(groups, "groups", "labels", one_dimensional=True)  # type: ignore[arg-type]
        if labels.dtype.kind in "US" and isinstance(groups, (list, tuple)):
            if not all(isinstance(item, (str, bytes)) for item in groups):
                # numpy would turn 1 and "1" into one label
                raise TypeError(f"groups must hold labels of one kind, got strings mixed with others: {groups[:5]!r}")
        if labels.dtype.kind in "iu" and labels.size and 0 <= int(labels.min()) and int(labels.max()) < labels.size:
            # family numbers already: the core takes them as they are (unused numbers are empty families)
            numbers = Families(labels.astype(np.intp, copy=False), int(labels.max()) + 1, None)
            return numbers, np.zeros(labels.size, dtype=np.bool_)
        groups = labels
    pandas = pandas_module(int(np.size(groups)))  # type: ignore[arg-type]
    if pandas is not None:
        codes, uniques = pandas.factorize(groups)
        return Families(np.asarray(codes, dtype=np.intp), len(uniques), uniques), np.asarray(codes) < 0
    assert isinstance(groups, np.ndarray)
    try:
        uniques, codes = np.unique(groups, return_inverse=True)
    except TypeError:  # labels that cannot be ordered: None among strings, mixed kinds
        absent = np.array([item is None or item != item for item in groups.tolist()], dtype=np.bool_)
        if absent.any():
            return Families(np.zeros(groups.size, dtype=np.intp), 1, None), absent
        raise TypeError(
            f"groups must hold labels of one kind that can be ordered (integers, strings, ...), got {groups[:5]!r}"
        ) from None
    return Families(codes.astype(np.intp, copy=False).ravel(), len(uniques), uniques), missing_labels(groups, uniques)


def family_codes(groups: object, size: int) -> Families:
    """The family of each of `size` values, from their labels.

    Labels are taken by position (a Series' index is not aligned with the values'); missing labels are refused.
    """
    if isinstance(groups, (str, bytes)):
        raise TypeError("groups must be a one-dimensional array-like of labels, not a string")
    if is_masked_array(groups):
        mask = np.ma.getmaskarray(groups)
        if mask.any():
            raise ValueError(f"groups[{int(np.argmax(mask))}] is masked: every value needs a family label")
        groups = np.ma.getdata(groups)
    families, missing = factorized(groups)
    if families.codes.size != size:
        raise ValueError(f"groups must hold one label per value ({size}), got {families.codes.size}")
    if missing.any():
        position = int(np.argmax(missing))
        label = np.asarray(groups, dtype=object).ravel()[position]
        raise ValueError(f"groups[{position}] = {label!r} is missing: every value needs a family label")
    return families


def python_label(label: object) -> object:
    """A label as messages show it: 'g1', not np.str_('g1')."""
    return label.item() if isinstance(label, np.generic) else label


def totals_by_label(m: Mapping[object, object], families: Families, sizes: NDArray[np.intp]) -> NDArray[np.int64]:
    """The total of each family from a mapping of labels to totals; 0 for a family without values."""
    totals = np.zeros(families.count, dtype=np.int64)
    for family in np.flatnonzero(sizes).tolist():
        label = families.label(family)
        try:
            item = m[label]
        except KeyError:
            raise ValueError(f"m has no total for the family {python_label(label)!r}") from None
        totals[family] = min(whole_number(item, f"m[{python_label(label)!r}]"), LARGEST_FAMILY + 1)
    return totals


def totals_by_value(m: object, families: Families) -> NDArray[np.int64]:
    """The total of each family from one total per value, which must not vary within a family; 0 for a
    family without values."""
    size = families.codes.size
    if is_masked_array(m) and np.ma.getmaskarray(m).any():
        raise ValueError("m has masked entries: every value needs the total of its family")
    array = as_array(m, "m", "whole numbers, one per value", one_dimensional=True)  # type: ignore[arg-type]
    if array.size != size:
        raise ValueError(
            f"m must hold one total per value ({size}) or map each family's label to its total, got {array.size} totals"
        )
    # as int64 without changing what the checks see: below 0 and above LARGEST_FAMILY stay so
    if array.dtype.kind == "O":
        whole = (whole_number(item, f"m[{i}]") for i, item in enumerate(array.tolist()))
        clipped = np.array([min(max(total, -1), LARGEST_FAMILY + 1) for total in whole], dtype=np.int64)
    elif array.dtype.kind in "iu" or array.size == 0:  # through float64: what is above LARGEST_FAMILY stays so
        # (an empty list of totals, for a table filtered down to no rows, is a float64 array)
        clipped = np.minimum(array.astype(np.float64), LARGEST_FAMILY + 1).astype(np.int64)
    else:
        raise TypeError(f"m must hold whole numbers (an integer dtype), got an array of dtype {array.dtype}")
    first = np.zeros(families.count, dtype=np.int64)
    first[families.codes[::-1]] = clipped[::-1]  # the last write of each family is its first value
    varying = np.flatnonzero(clipped != first[families.codes])
    if varying.size:
        position = int(varying[0])
        family = int(families.codes[position])
        start = int(np.argmax(families.codes == family))
        raise ValueError(
            f"m varies within the family {python_label(families.label(family))!r}: m[{start}] = {array[start]} "
            f"but m[{position}] = {array[position]} (one family, one total)"
        )
    return first


def checked_family_totals(m: object, families: Families) -> NDArray[np.int64]:
    """The number of hypotheses of each family, given as a mapping from label to total or as one total per
    value; each at least the number of the family's values (NaN and masked ones included) and at most
    LARGEST_FAMILY. A family without values gets 0."""
    if isinstance(m, (int, np.integer)) and not isinstance(m, (bool, np.bool_)):
        raise ValueError(
            "with groups, m gives the total of each family: a mapping from label to total, or one total per value"
        )
    sizes = np.bincount(families.codes, minlength=families.count)
    totals = totals_by_label(m, families, sizes) if isinstance(m, Mapping) else totals_by_value(m, families)
    short = np.flatnonzero(totals < sizes)
    if short.size:
        family = int(short[0])
        raise ValueError(
            f"m = {totals[family]} for the family {python_label(families.label(family))!r} is smaller than the "
            f"number of its values given ({sizes[family]}); m counts every hypothesis of the family, the given ones "
            "included"
        )
    large = np.flatnonzero(totals > LARGEST_FAMILY)
    if large.size:
        family = int(large[0])
        raise ValueError(
            f"m for the family {python_label(families.label(family))!r} is more than {LARGEST_FAMILY:,} (10^12), "
            "the largest family supported"
        )
    return totals


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
    if is_masked_array(subset) and np.ma.getmaskarray(subset).any():
        raise ValueError("subset has masked entries; name the set by positions or by a mask without masked entries")
    array = as_array(subset, "subset", "integer positions or booleans", one_dimensional=True)
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
