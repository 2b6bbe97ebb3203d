"""What the report of ``tarvimo run --groups`` says about the families: how many, how many with
rejections, and the largest."""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray


@dataclass(frozen=True)
class FamilySummary:
    tested: int
    with_rejections: int
    largest: str  # the label of the family with the most hypotheses (the first such, in the input's order)
    largest_size: int
    largest_rejections: int

    def text(self) -> str:
        return (f"families: {self.tested} tested, {self.with_rejections} with rejections; the largest: "
                f"{self.largest} ({self.largest_size} hypotheses, {self.largest_rejections} rejected)")

    def facts(self) -> dict[str, Any]:
        return {"families_with_rejections": self.with_rejections,
                "largest_family": {"label": self.largest, "hypotheses": self.largest_size,
                                   "rejections": self.largest_rejections}}


def family_summary(codes: NDArray[np.int32], labels: list[Any], mask: NDArray[np.bool_],
                   counted: NDArray[np.bool_]) -> FamilySummary | None:
    """The summary of the families given by `codes` (their labels in `labels`), of the hypotheses
    `counted` (those not omitted as NaN); None when there is none."""
    if codes.size == 0:
        return None
    sizes = np.bincount(codes, weights=counted, minlength=len(labels)).astype(np.int64)
    rejections = np.bincount(codes, weights=mask, minlength=len(labels)).astype(np.int64)
    largest = int(np.argmax(sizes))  # codes number the families in the order they first appear
    return FamilySummary(len(labels), int(np.count_nonzero(rejections)), str(labels[largest]),
                         int(sizes[largest]), int(rejections[largest]))
