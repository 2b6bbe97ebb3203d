"""Timing helpers: medians of interleaved repeated calls, and growth with m."""

import gc
import math
import signal
import statistics
import time
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass

import numpy as np

# A call whose warm-up takes this long is timed once: its warm-up is the
# sample, since caches and allocator state no longer matter at that scale.
SLOW_CALL_SECONDS = 2.0
# Repeats beyond the warm-up stop once they would take about this long.
REPEAT_BUDGET_SECONDS = 20.0
# Growth assumed before two sizes have been timed.
DEFAULT_EXPONENT = 2.0


@dataclass(frozen=True)
class Measured:
    """Median time of a call over `runs` samples, and what the call returned.

    A call stopped at its time cap (see `capped`) has `stopped` set, no runs,
    no result and infinite seconds: its caller knows the cap it set.
    """

    seconds: float
    runs: int
    result: object
    stopped: bool = False


class CapExceeded(Exception):
    """A call ran past its time cap and was stopped."""


def raise_cap_exceeded(signum: int, frame: object) -> None:
    raise CapExceeded


@contextmanager
def time_cap(seconds: float) -> Iterator[None]:
    """Raises CapExceeded in the block once `seconds` have passed (at once when not positive).

    The alarm's handler runs at the next check for signals: between two
    bytecodes, or where tarvimo's core checks for Ctrl-C while its threads
    work, which then stops them as Ctrl-C does. Main thread only.
    """
    if seconds <= 0:  # an interval timer of 0 would never fire
        raise CapExceeded
    previous = signal.signal(signal.SIGALRM, raise_cap_exceeded)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def capped(call: Callable[[], object], seconds: float) -> Callable[[], object]:
    """The call under a time cap: it raises CapExceeded once it runs past `seconds`."""

    def run() -> object:
        with time_cap(seconds):
            return call()

    return run


def timed(call: Callable[[], object]) -> tuple[float, object]:
    """Seconds taken by one call, with the garbage collector held off (as timeit does)."""
    gc.disable()
    try:
        start = time.perf_counter()
        result = call()
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def planned_repeats(warm_up_seconds: float, repeats: int) -> int:
    if warm_up_seconds >= SLOW_CALL_SECONDS:
        return 0
    return min(repeats, max(1, int(REPEAT_BUDGET_SECONDS / max(warm_up_seconds, 1e-9))))


def measure(calls: Mapping[str, Callable[[], object]], repeats: int) -> dict[str, Measured]:
    """Median times of the calls after one warm-up each.

    The calls take turns round by round, so that a slow phase of a busy
    machine weighs on all of them alike and their ratios stay fair. Each
    round starts one call further on: a call that runs right after another
    has freed much memory may find it returned to the system and pay for
    fresh pages, and the rotation keeps that from falling on the same call
    every time.

    A call that raises CapExceeded (see `capped`), in its warm-up or a later
    round, is left out of the later rounds and reported as stopped.
    """
    warm_ups: dict[str, tuple[float, object]] = {}
    stopped: set[str] = set()
    for name, call in calls.items():
        try:
            warm_ups[name] = timed(call)
        except CapExceeded:
            stopped.add(name)
    plans = {name: planned_repeats(seconds, repeats) for name, (seconds, _) in warm_ups.items()}
    samples: dict[str, list[float]] = {name: [] for name in warm_ups}
    names = list(warm_ups)
    for round_number in range(max(plans.values(), default=0)):
        shift = round_number % max(len(names), 1)
        for name in names[shift:] + names[:shift]:
            if round_number < plans[name] and name not in stopped:
                try:
                    samples[name].append(timed(calls[name])[0])
                except CapExceeded:
                    stopped.add(name)

    def summary(name: str) -> Measured:
        if name in stopped:
            return Measured(math.inf, 0, None, stopped=True)
        seconds = statistics.median(samples[name] or [warm_ups[name][0]])
        return Measured(seconds, max(len(samples[name]), 1), warm_ups[name][1])

    return {name: summary(name) for name in calls}


def growth_exponent(sizes: list[int], seconds: list[float]) -> float:
    """Slope of log(time) against log(m), least squares."""
    slope, _ = np.polyfit(np.log(sizes), np.log(seconds), 1)
    return float(slope)


def m_log_m_exponent(sizes: list[int]) -> float:
    """The growth exponent of m log m itself over the same sizes: a little above 1 (1.10 over 1e3 ... 1e6)."""
    return growth_exponent(sizes, [m * np.log(m) for m in sizes])


def predicted_seconds(history: list[tuple[int, float]], m: int) -> float:
    """Time of a call at size m extrapolated from the sizes timed so far.

    Uses the growth between the last two sizes (at least linear), or
    DEFAULT_EXPONENT after a single size; 0 when nothing was timed yet.
    """
    if not history:
        return 0.0
    last_m, last_seconds = history[-1]
    exponent = DEFAULT_EXPONENT
    if len(history) >= 2:
        exponent = max(1.0, growth_exponent([size for size, _ in history[-2:]], [t for _, t in history[-2:]]))
    return last_seconds * (m / last_m) ** exponent
