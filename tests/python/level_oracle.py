"""Levels found by bisection over the doubles with the public procedures: the
definition of `tarvimo.adjust`, brute-forced on small inputs.

The level of a hypothesis is the smallest double alpha at which the procedure
rejects it. The positive doubles are ordered as their int64 bit patterns, so a
bisection over the integers visits every double in (0, max_level). One
bisection serves all hypotheses: an interval of alphas is split only while
some hypothesis enters the mask inside it.
"""

import numpy as np
import pytest

import tarvimo
from tarvimo import _fast

PROCEDURES = {
    "by": tarvimo.by,
    "closed_by": tarvimo.closed_by,
    "ebh": tarvimo.ebh,
    "closed_ebh": tarvimo.closed_ebh,
}

requires_levels_core = pytest.mark.skipif(
    not hasattr(_fast, "levels"),
    reason="tarvimo._fast was built without the levels core (levels, row_levels, grouped_levels)",
)


def double_at(bits):
    return float(np.int64(bits).view(np.float64))


def bits_of(value):
    return int(np.float64(value).view(np.int64))


def bisected_levels(values, method, max_level=1.0, **options):
    """Each hypothesis' level under `method` called with `options`: 1.0 where no alpha below
    `max_level` rejects it, NaN where the value is NaN. Asserts that the masks grow with alpha."""
    procedure = PROCEDURES[method.replace("-", "_")]
    values = np.asarray(values, dtype=np.float64)
    levels = np.where(np.isnan(values), np.nan, 1.0)
    top = bits_of(max_level) - 1  # the largest double below max_level
    if top < 1:
        return levels

    def mask(bits):
        return np.asarray(procedure(values, double_at(bits), **options))

    def enter(low, high, below, above):
        """Levels of the hypotheses rejected at `high` but not at `low`, which lie in (low, high]."""
        new = above & ~below
        if not new.any():
            return
        if high == low + 1:
            levels[new] = double_at(high)
            return
        middle = (low + high) // 2
        inside = mask(middle)
        assert not (below & ~inside).any() and not (inside & ~above).any(), "the mask shrinks as alpha grows"
        enter(low, middle, below, inside)
        enter(middle, high, inside, above)

    enter(0, top, np.zeros(values.shape, dtype=bool), mask(top))
    return levels


def oracle_levels(values, method, total, max_level):
    """A stand-in for `_fast.levels` built on the bisection."""
    return bisected_levels(values, method, max_level, nan_policy="omit", m=total)


def oracle_row_levels(matrix, method, max_level, workers):
    return bisected_levels(matrix, method, max_level, nan_policy="omit", axis=1, workers=workers)


def oracle_grouped_levels(values, codes, families, method, max_level, workers):
    return bisected_levels(values, method, max_level, nan_policy="omit", groups=codes, workers=workers)


@pytest.fixture
def levels_core(monkeypatch):
    """The levels core of `_fast`, or the bisection in its place while the core is not built in."""
    if not hasattr(_fast, "levels"):
        monkeypatch.setattr(_fast, "levels", oracle_levels, raising=False)
        monkeypatch.setattr(_fast, "row_levels", oracle_row_levels, raising=False)
        monkeypatch.setattr(_fast, "grouped_levels", oracle_grouped_levels, raising=False)
    return _fast
