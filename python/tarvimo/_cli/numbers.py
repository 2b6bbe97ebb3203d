"""Numbers from the text of a table column, and p-values from -log10 p-values.

A number too small for a double reads as the smallest double of its sign,
not as zero, and so does a p-value whose -log10 is too large; `strongest_first`
orders such p-values, which the doubles cannot tell apart, by their true size.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import math
import re
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
from numpy.typing import NDArray

from tarvimo._cli.errors import TableError

# Missing values as pandas reads them by default, and '.' (VCF, PLINK), in any case; white space
# around them is ignored.
MISSING_TOKENS = (
    "",
    "NA",
    "N/A",
    "n/a",
    "#N/A",
    "#N/A N/A",
    "#NA",
    "<NA>",
    "NaN",
    "-NaN",
    "nan",
    "-nan",
    "NULL",
    "null",
    "None",
    "1.#IND",
    "-1.#IND",
    "1.#QNAN",
    "-1.#QNAN",
    ".",
)
MISSING = pa.array(sorted({token.lower() for token in MISSING_TOKENS}), pa.string())
MISSING_SHOWN = "an empty cell, NA, N/A, #N/A, NaN, NULL, None, . (in any case) and the rest of pandas' list"
DECIMAL_COMMA = re.compile(r"^\s*[-+]?[0-9]*,[0-9]+([eE][-+]?[0-9]+)?\s*$")
ZERO = pa.scalar(0.0, pa.float64())
TRUE = pa.scalar(True, pa.bool_())
SMALLEST_DOUBLE = math.ulp(0.0)  # the smallest positive double, about 4.9e-324
SMALLEST = pa.scalar(SMALLEST_DOUBLE, pa.float64())
NEGATIVE_SMALLEST = pa.scalar(-SMALLEST_DOUBLE, pa.float64())
NONZERO_MANTISSA = "^[^eE]*[1-9]"  # a non-zero digit before any exponent
NEGATIVE = "^\\s*-"


class BadNumber(Exception):
    """A text that is not a number, at a position of the array being converted."""

    def __init__(self, position: int, text: str) -> None:
        super().__init__(position, text)
        self.position = position
        self.text = text


def parsed_or_none(text: pa.Array[Any]) -> pa.Array[Any] | None:
    try:
        return pc.cast(text, pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return None


def first_unparsed(text: pa.Array[Any]) -> int:
    """The position of the first entry that does not convert to a number (one must fail)."""
    start, stop = 0, len(text)
    while stop - start > 1:  # halve the range, keeping the half that holds the first failure
        middle = (start + stop) // 2
        if parsed_or_none(text.slice(start, middle - start)) is None:
            stop = middle
        else:
            start = middle
    return start


def plain_numbers(text: pa.Array[Any]) -> pa.Array[Any] | None:
    """Text converted to float64 when every entry is a number as it stands, else None."""
    numbers = parsed_or_none(text)
    return None if numbers is None else without_underflow(text, numbers)


def numbers_from_text(text: pa.Array[Any]) -> pa.Array[Any]:
    """Text converted to float64; the missing-value tokens (as NaN) and surrounding white space allowed.

    Raises BadNumber for the first entry that is not a number.
    """
    numbers = plain_numbers(text)
    if numbers is not None:
        return numbers
    candidate = pc.utf8_trim_whitespace(text)
    candidate = pc.if_else(missing_markers(candidate), pa.scalar(None, pa.string()), candidate)
    numbers = parsed_or_none(candidate)
    if numbers is not None:
        return without_underflow(text, numbers.fill_null(math.nan))
    position = first_unparsed(candidate)
    raise BadNumber(position, text[position].as_py())


def missing_markers(trimmed: Any) -> Any:
    """Whether each text (an array or a chunked array), without surrounding white space, marks a missing
    value; nulls count too."""
    return pc.or_(pc.is_null(trimmed), pc.is_in(pc.utf8_lower(trimmed), value_set=MISSING))


def not_a_number(text: str) -> str:
    """Why `text` is not read as a number, with what would be read instead."""
    if DECIMAL_COMMA.match(text):
        return f"{text!r} is not a number (a decimal comma? write the number with a decimal point)"
    return f"{text!r} is not a number (missing values: {MISSING_SHOWN})"


def without_underflow(text: pa.Array[Any], numbers: pa.Array[Any]) -> pa.Array[Any]:
    """`numbers`, where a number too small for a double is the smallest double of its sign, not zero.

    A p-value such as 1e-400 thus stays below every other positive p-value
    and apart from an exact 0, which closed BY counts as 1e-12.
    """
    zero = pc.equal(numbers, ZERO)
    if not pc.any(zero).as_py():
        return numbers
    underflow = pc.and_(zero, pc.match_substring_regex(text, NONZERO_MANTISSA))
    if not pc.any(underflow).as_py():
        return numbers
    tiny = pc.if_else(pc.match_substring_regex(text, NEGATIVE), NEGATIVE_SMALLEST, SMALLEST)
    result: pa.Array[Any] = pc.if_else(underflow, tiny, numbers)
    return result


def one_array(parts: list[pa.Array[Any]]) -> NDArray[np.float64]:
    """The float64 arrays `parts`, which hold no nulls, as one numpy array."""
    return np.concatenate([part.to_numpy(zero_copy_only=True) for part in parts]) if parts else np.zeros(0)


def numbers_from_array(values: pa.ChunkedArray[Any], name: str) -> NDArray[np.float64]:
    """A typed (Parquet) column as float64, nulls as NaN; text columns are parsed.

    Raises BadNumber, with the position in the whole column, for text that is not a number.
    """
    if pa.types.is_dictionary(values.type):  # a pandas Categorical, or a dictionary-encoded Parquet column
        values = values.cast(values.type.value_type)
    kind = values.type
    text = pa.types.is_string(kind) or pa.types.is_large_string(kind)
    if not (text or pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind)):
        raise TableError(f"column {name!r} holds {kind} values, not numbers")
    parts, done = [], 0
    for chunk in values.chunks:
        try:
            parts.append((numbers_from_text(chunk) if text else pc.cast(chunk, pa.float64())).fill_null(math.nan))
        except BadNumber as exc:
            raise BadNumber(done + exc.position, exc.text) from None
        done += len(chunk)
    return one_array(parts)


def pvalues_from_log10(strengths: NDArray[np.float64]) -> NDArray[np.float64]:
    """p = 10**-x for each x = -log10 p; a p-value below the smallest double becomes that double.

    Such p-values keep their order through `strongest_first`, not through
    the doubles, which cannot tell them apart.
    """
    with np.errstate(under="ignore", over="ignore", invalid="ignore"):
        pvalues = np.power(10.0, -strengths)
    pvalues[(pvalues == 0.0) & (strengths < math.inf)] = SMALLEST_DOUBLE
    return pvalues


def strongest_first(
    mask: NDArray[np.bool_], strengths: NDArray[np.float64], groups: NDArray[np.int32] | None
) -> NDArray[np.bool_]:
    """As many rejections per family as `mask` has, given to the largest `strengths`.

    Among equal strengths the earlier hypothesis comes first, as in the
    procedures. With x = -log10 p as strengths this orders p-values that
    the doubles cannot tell apart (all those below the smallest double, and
    subnormal ones with too few digits left) by their true size; elsewhere
    it agrees with the procedures' own order.
    """
    chosen = np.zeros_like(mask)
    if groups is None:
        chosen[np.argsort(-strengths, kind="stable")[: int(mask.sum())]] = True
        return chosen
    order = np.lexsort((-strengths, groups))
    families = groups[order]
    first = np.searchsorted(families, np.arange(int(groups.max(initial=-1)) + 1))
    rank = np.arange(order.size) - first[families]
    chosen[order[rank < np.bincount(groups, weights=mask, minlength=first.size)[families]]] = True
    return chosen


def levels_by_strength(
    levels: NDArray[np.float64], strengths: NDArray[np.float64], groups: NDArray[np.int32] | None
) -> NDArray[np.float64]:
    """The levels of each family handed out again in the order of `strengths`: the k-th largest
    strength gets the k-th smallest level, NaN staying with NaN.

    At every alpha the levels at most alpha then mark the rejections of
    `strongest_first`: as many per family as the levels do, given to the
    largest strengths (equal ones in input order, as both sorts are stable).
    """
    families = np.zeros(levels.size, dtype=np.int32) if groups is None else groups
    handed = np.empty_like(levels)
    handed[np.lexsort((-strengths, families))] = levels[np.lexsort((levels, families))]
    return handed
