"""Rejection masks from float64 arrays, computed without the interpreter lock"""

from typing import overload

import numpy as np
from numpy.typing import NDArray

# method: "ebh", "closed_ebh", "closed_ebh_approximate", "by", "closed_by", "closed_by_approximate" or "bh"
# workers: the threads closed e-BH may sort a large family on (two at most)
@overload
def rejections(
    values: NDArray[np.float64],
    method: str,
    alpha: float,
    total: int | None = None,
    missing: None = None,
    workers: int = 1,
) -> NDArray[np.bool_]: ...

# missing: "raise" or "omit"; the values are then checked, None when one is outside the domain
@overload
def rejections(
    values: NDArray[np.float64], method: str, alpha: float, total: int | None, missing: str, workers: int = 1
) -> NDArray[np.bool_] | None: ...
def row_rejections(values: NDArray[np.float64], method: str, alpha: float, workers: int) -> NDArray[np.bool_]: ...
def grouped_rejections(
    values: NDArray[np.float64],
    codes: NDArray[np.intp],
    families: int,
    method: str,
    alpha: float,
    workers: int,
    totals: NDArray[np.int64] | None = None,
) -> NDArray[np.bool_]: ...

# levels: method "ebh", "closed_ebh", "by", "closed_by" or "bh" (the exact searches only)
def levels(
    values: NDArray[np.float64], method: str, total: int | None = None, max_level: float = 1.0, workers: int = 1
) -> NDArray[np.float64]: ...
def row_levels(values: NDArray[np.float64], method: str, max_level: float, workers: int) -> NDArray[np.float64]: ...
def grouped_levels(
    values: NDArray[np.float64],
    codes: NDArray[np.intp],
    families: int,
    method: str,
    max_level: float,
    workers: int,
    totals: NDArray[np.int64] | None = None,
) -> NDArray[np.float64]: ...
