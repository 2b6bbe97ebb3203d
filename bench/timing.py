"""Timing helpers: medians of interleaved repeated calls, and growth with m."""

import gc
import statistics
import time
from collections.abc import Callable, Mapping
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
    """Median time of a call over `runs` samples, and what the call returned."""

    seconds: float
    runs: int
    result: object


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
    """
    warm_ups = {name: timed(call) for name, call in calls.items()}
    plans = {name: planned_repeats(seconds, repeats) for name, (seconds, _) in warm_ups.items()}
    samples: dict[str, list[float]] = {name: [] for name in calls}
    names = list(calls)
    for round_number in range(max(plans.values(), default=0)):
        shift = round_number % max(len(names), 1)
        for name in names[shift:] + names[:shift]:
            if round_number < plans[name]:
                samples[name].append(timed(calls[name])[0])
    return {
        name: Measured(
            statistics.median(samples[name] or [warm_ups[name][0]]), max(len(samples[name]), 1), warm_ups[name][1]
        )
        for name in calls
    }


def growth_exponent(sizes: list[int], seconds: list[float]) -> float:
    """Slope of log(time) against log(m), least squares."""
    slope, _ = np.polyfit(np.log(sizes), np.log(seconds), 1)
    return float(slope)


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
