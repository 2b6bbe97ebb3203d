"""The machine the figures were measured on: its CPU and vector extensions, whether numpy's sort
is vectorised on it, and the packages."""

import datetime
import os
import platform
from collections.abc import Callable
from dataclasses import dataclass
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

import numpy as np

from bench.timing import timed

PACKAGES = ("tarvimo", "numpy", "pyarrow", "scipy", "statsmodels", "matplotlib")
CPUINFO = Path("/proc/cpuinfo")
AVX512_FLAGS = frozenset({"avx512f", "avx512dq"})  # what AVX-512 kernels for float64 need at the least
SORT_PROBE_VALUES = 1_000_000
SORT_PROBE_RUNS = 5
# numpy's default sort against its stable sort (a scalar merge sort for floats)
# on random doubles: a scalar quicksort is about as fast as the merge sort, a
# vectorised one (x86-simd-sort, AVX2 or AVX-512) several times faster.
VECTORISED_SORT_SPEED_UP = 3.0


def cpuinfo_field(name: str) -> str | None:
    """The value of the first `name : value` line of /proc/cpuinfo, None where there is none."""
    try:
        lines = CPUINFO.read_text().splitlines()
    except OSError:
        return None
    for line in lines:
        key, _, value = line.partition(":")
        if key.strip() == name:
            return value.strip()
    return None


def cpu_model() -> str:
    return cpuinfo_field("model name") or platform.processor() or "unknown"


def vector_extensions(flags: str | None) -> str:
    """AVX2 and AVX-512 (F and DQ) as present or absent in the CPU flags."""
    if flags is None:
        return "unknown (no /proc/cpuinfo)"
    present = set(flags.split())
    avx512 = "AVX-512" if AVX512_FLAGS <= present else "no AVX-512"
    return f"{'AVX2' if 'avx2' in present else 'no AVX2'}, {avx512}"


@dataclass(frozen=True)
class SortProbe:
    """numpy's default sort against its stable sort on the same random doubles, fastest of a few runs each."""

    default_seconds: float
    stable_seconds: float

    @property
    def speed_up(self) -> float:
        return self.stable_seconds / self.default_seconds

    @property
    def vectorised(self) -> bool:
        return self.speed_up >= VECTORISED_SORT_SPEED_UP


def probe_sort(seed: int = 0) -> SortProbe:
    values = np.random.default_rng(seed).random(SORT_PROBE_VALUES)

    def fastest(call: Callable[[], object]) -> float:
        return min(timed(call)[0] for _ in range(SORT_PROBE_RUNS))

    return SortProbe(fastest(lambda: np.sort(values)), fastest(lambda: np.sort(values, kind="stable")))


def sort_note(probe: SortProbe) -> str:
    """Whether numpy's sort is vectorised, as the report states it next to the CPU."""
    verdict = "vectorised" if probe.vectorised else "not vectorised"
    return (
        f"{verdict}: at {SORT_PROBE_VALUES:,} random doubles the default sort takes {probe.default_seconds * 1e3:.1f} "
        f"ms, the scalar stable sort {probe.stable_seconds * 1e3:.1f} ms ({probe.speed_up:.1f} x; "
        f"vectorised from {VECTORISED_SORT_SPEED_UP:g} x on)"
    )


def package_version(name: str) -> str:
    try:
        return version(name)
    except PackageNotFoundError:
        return "not installed"


def machine(probe: SortProbe) -> dict[str, str]:
    return {
        "CPU": cpu_model(),
        "vector extensions": vector_extensions(cpuinfo_field("flags")),
        "numpy.sort": sort_note(probe),
        "cores": f"{os.cpu_count()} ({len(os.sched_getaffinity(0))} usable)",
        "OS": platform.platform(),
        "Python": platform.python_version(),
        **{name: package_version(name) for name in PACKAGES},
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }
