"""Families of ``tarvimo run --groups``: what the report says about them (how many, how many with
rejections, and the largest), and their totals (--m-column)."""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarvimo._cli.errors import TableError


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
            f"{self.largest} ({self.largest_size} hypotheses, {self.largest_rejections} rejected)"
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


def family_summary(
    codes: NDArray[np.int32], labels: list[Any], mask: NDArray[np.bool_], counted: NDArray[np.bool_]
) -> FamilySummary | None:
    """The summary of the families given by `codes` (their labels in `labels`), of the hypotheses
    `counted` (those not omitted as NaN); None when there is none."""
    if codes.size == 0:
        return None
    sizes = np.bincount(codes, weights=counted, minlength=len(labels)).astype(np.int64)
    rejections = np.bincount(codes, weights=mask, minlength=len(labels)).astype(np.int64)
    largest = int(np.argmax(sizes))  # codes number the families in the order they first appear
    return FamilySummary(
        len(labels),
        int(np.count_nonzero(rejections)),
        str(labels[largest]),
        int(sizes[largest]),
        int(rejections[largest]),
    )


def family_totals(
    codes: NDArray[np.int32], totals: NDArray[np.float64], where: Callable[[int], str], label: Callable[[int], str]
) -> NDArray[np.int64]:
    """The total number of hypotheses of each value's family (--m-column), checked.

    Each total is a whole number, the same on every row of a family and at
    least the number of the family's rows; a problem names the row where it
    shows (`where` of a position) and the family (`label` of a code).
    """
    whole = np.isfinite(totals) & (totals >= 1) & (np.floor(totals) == totals)
    if not whole.all():
        position = int(np.argmin(whole))
        raise TableError(
            f"{where(position)}: the total of a family must be a whole number >= 1 (found {float(totals[position])!r})"
        )
    _, first = np.unique(codes, return_index=True)  # codes number the families 0, 1, ... in order of appearance
    differs = totals != totals[first[codes]]
    if differs.any():
        position = int(np.argmax(differs))
        family = int(codes[position])
        raise TableError(
            f"{where(position)}: total {int(totals[position])} differs from "
            f"{int(totals[first[family]])} on {where(int(first[family]))} for the family "
            f"{label(family)!r}; a family has one total"
        )
    per_family = totals[first].astype(np.int64)
    sizes = np.bincount(codes, minlength=first.size)
    short = np.flatnonzero(per_family < sizes)
    if short.size:
        family = int(short[0])
        raise TableError(
            f"{where(int(first[family]))}: total {per_family[family]} for the family "
            f"{label(family)!r} is smaller than the {sizes[family]} rows it has; the total counts every "
            "hypothesis of the family"
        )
    return totals.astype(np.int64)
