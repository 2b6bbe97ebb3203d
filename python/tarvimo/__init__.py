"""False-discovery-rate control that holds under any dependence.

tarvimo decides which of m hypotheses to reject so that the expected share of
false discoveries among the rejections stays at most ``alpha``, whatever the
dependence between the tests. Every procedure takes the values in any order and
returns a boolean mask in that order.

Which procedure to use
----------------------
- Your evidence is **e-values** (likelihood ratios, betting scores, e-values
  from sequential or anytime-valid tests, products of independent e-values):
  use :func:`closed_ebh`. It rejects at least as many hypotheses as the
  e-value Benjamini-Hochberg procedure :func:`ebh`, often more, with the same
  guarantee. :func:`ebh` is the classic, a single pass after sorting.
- Your evidence is **p-values** and you cannot rule out arbitrary dependence:
  use :func:`closed_by`, which rejects at least as many as the
  Benjamini-Yekutieli procedure :func:`by` (the same decisions as statsmodels'
  ``fdr_by``), often more. :func:`bh`, Benjamini-Hochberg, is there for
  comparison: more powerful than both, it controls the false discovery rate
  only under independence or positive dependence (PRDS).
- **Exact or approximate**: the closed procedures search exactly by default,
  which takes milliseconds for 10,000 hypotheses. ``approximate=True``
  bisects above the e-BH or BY count with about log2(m) checks; it trusts a
  monotonicity that need not hold, so it may reject fewer hypotheses than the
  exact search, but what it rejects is still a set with the guarantee (a set
  that passed the check, or the e-BH or BY set). A check that passes costs
  far more than one that fails, so the bisection is usually not faster.
- :func:`is_mean_consistent` checks the closed e-BH condition for any set
  of hypotheses you name.
- :func:`adjust` gives adjusted p-values: for each hypothesis the smallest
  alpha at which a procedure rejects it: one call answers for every alpha.

Many families and truncated lists
---------------------------------
Each procedure decides many families in one call, on a thread pool in C++:
the slices along ``axis`` of an array of more dimensions, or the values
sharing a label in ``groups``. ``m`` gives the size of a family of which only
some values are kept (the omitted ones count as p = 1 or e = 0), and with
``groups`` the size of each family. A pandas Series in gives a Series out,
with its index. Ctrl-C stops a long call with KeyboardInterrupt.

Bad input (strings, booleans, ragged nesting, p-values outside [0, 1],
negative e-values, missing entries, an ``alpha`` outside (0, 1)) raises
TypeError or ValueError; a bad entry raises :class:`InvalidEntryError`, a
ValueError that names its position (and a Series' index label).
``nan_policy="omit"`` leaves missing entries (NaN, None, pandas' NA, masked)
unrejected instead. Run
``python -m tarvimo demo`` for a simulated comparison of the four procedures.
"""

from importlib import metadata

from tarvimo._adjust import adjust
from tarvimo._inputs import InvalidEntryError
from tarvimo._procedures import bh, by, closed_by, closed_ebh, ebh, is_mean_consistent

__all__ = ["ebh", "closed_ebh", "by", "closed_by", "bh", "adjust", "is_mean_consistent", "InvalidEntryError"]
__version__ = metadata.version("tarvimo")
del metadata
