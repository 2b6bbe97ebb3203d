"""Pybind11 bindings for the Tarvimo C++ routines"""

import collections.abc
import typing

def closede_bh_cpp(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex = 0.05,
    approximate: bool = False,
) -> int: ...
def largest_mean_consistent_k(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex = 0.05,
    approximate: bool = False,
) -> int: ...
def is_subset_mean_consistent(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    subset: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex = 0.05,
) -> bool: ...
def largestmeanconsistent_cpp(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def largestmeanconsistent_approximate_cpp(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def eBH_cpp(
    evalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def meanconsistent_wrapper_cpp(
    cum_e: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    r: typing.SupportsInt | typing.SupportsIndex,
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> bool: ...
def BY_cpp(
    pvalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    harmonic: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def largestcBYsignificant_cpp(
    pvalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def largestcBYsignificant_approximate_cpp(
    pvalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> int: ...
def cBY_check_cpp(
    pvalues: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    r: typing.SupportsInt | typing.SupportsIndex,
    harmonic: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex],
    warm_s: typing.SupportsInt | typing.SupportsIndex,
    alpha: typing.SupportsFloat | typing.SupportsIndex,
) -> dict[str, bool | int]: ...
