"""Families of ``tarvimo run --groups``: what the report says about them (how many, how many with
rejections, and the largest), and their totals (--m-column)."""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarvimo._cli.errors import TableError
from tarvimo._cli.wording import plural


@dataclass(frozen=True)
class FamilySummary:
    tested: int
    with_rejections: int
    largest: str  # the label of the family with the most hypotheses (the first such, in the input's order)
    largest_size: int
    largest_rejections: int

    def text(self) -> str:
        return (
            f"families: {self.tested} tested, {self.with_rejections} with rejections; the largest: "
            f"{self.largest} ({self.largest_size} {plural(self.largest_size, 'hypothesis', 'hypotheses')}, "
            f"{self.largest_rejections} rejected)"
        )

    def facts(self) -> dict[str, Any]:
        return {
            "families_with_rejections": self.with_rejections,
            "largest_family": {
                "label": self.largest,
                "hypotheses": self.largest_size,
                "rejections": self.largest_rejections,
            },
        }


def family_summary(labels: list[Any], sizes: NDArray[np.int64], rejections: NDArray[np.int64]) -> FamilySummary | None:
    """The summary of the families whose labels are `labels`, of `sizes` hypotheses counted (those not
    omitted as NaN) and `rejections` rejected; None when there is none."""
    if not labels:
        return None
    largest = int(np.argmax(sizes))  # codes number the families in the order they first appear
    return FamilySummary(
        len(labels),
        int(np.count_nonzero(rejections)),
        str(labels[largest]),
        int(sizes[largest]),
        int(rejections[largest]),
    )


def not_whole(where: str, total: float) -> TableError:
    return TableError(f"{where}: the total of a family must be a whole number >= 1 (found {total!r})")


def varying_total(where: str, total: float, first: float, first_where: str, label: str) -> TableError:
    return TableError(
        f"{where}: total {int(total)} differs from {int(first)} on {first_where} for the family "
        f"{label!r}; a family has one total"
    )


def short_total(where: str, total: int, label: str, size: int) -> TableError:
    return TableError(
        f"{where}: total {total} for the family {label!r} is smaller than the {size} rows it has; the total "
        "counts every hypothesis of the family"
    )


def whole_totals(totals: NDArray[np.float64]) -> NDArray[np.bool_]:
    """Whether each total is a whole number >= 1."""
    whole: NDArray[np.bool_] = np.isfinite(totals) & (totals >= 1) & (np.floor(totals) == totals)
    return whole


def family_totals(
    codes: NDArray[np.int32], totals: NDArray[np.float64], where: Callable[[int], str], label: Callable[[int], str]
) -> NDArray[np.int64]:
    """The total number of hypotheses of each value's family (--m-column), checked.

    Each total is a whole number, the same on every row of a family and at
    least the number of the family's rows; a problem names the row where it
    shows (`where` of a position) and the family (`label` of a code).
    """
    whole = whole_totals(totals)
    if not whole.all():
        position = int(np.argmin(whole))
        raise not_whole(where(position), float(totals[position]))
    _, first = np.unique(codes, return_index=True)  # codes number the families 0, 1, ... in order of appearance
    differs = totals != totals[first[codes]]
    if differs.any():
        position = int(np.argmax(differs))
        family = int(codes[position])
        start = int(first[family])
        raise varying_total(where(position), totals[position], totals[start], where(start), label(family))
    per_family = totals[first].astype(np.int64)
    sizes = np.bincount(codes, minlength=first.size)
    short = np.flatnonzero(per_family < sizes)
    if short.size:
        family = int(short[0])
        raise short_total(where(int(first[family])), int(per_family[family]), label(family), int(sizes[family]))
    return totals.astype(np.int64)
