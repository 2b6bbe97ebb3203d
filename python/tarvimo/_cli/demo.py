"""``tarvimo demo``: a simulated study that compares the four procedures, and
Benjamini-Hochberg beside them for reference.

Each hypothesis is a one-sided z-test of mean 0 against mean `strength`: a
null has z ~ N(0, 1), a true signal z ~ N(strength, 1). Its p-value is
P(Z >= z) and its e-value the likelihood ratio of the two normal densities,
exp(strength * z - strength**2 / 2), which has mean 1 under the null.
"""

import argparse
import math
import os
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tarvimo._adjust import adjust
from tarvimo._cli.errors import CliError
from tarvimo._cli.plotting import Curve, checked_plot_path, plot_max_level, write_plot
from tarvimo._cli.wording import counted
from tarvimo._inputs import LARGEST_GIVEN
from tarvimo._procedures import bh, by, closed_by, closed_ebh, ebh

DEFAULT_M = 10_000
DEFAULT_SIGNAL_SHARE = 0.1
DEFAULT_STRENGTH = 3.0
DEFAULT_ALPHA = 0.05
DEFAULT_SEED = 20240611
TAIL_CHUNK = 1 << 16  # z-values converted to Python floats at a time
# The peak resident memory of a demo per simulated hypothesis, with a margin: measured 44 bytes at 2e6
# hypotheses, and 165 with --plot (the levels of five procedures) at 1e6, beyond the start-up's 130 MB.
BYTES_PER_HYPOTHESIS = 64
BYTES_PER_PLOTTED_HYPOTHESIS = 192
MEMINFO = "/proc/meminfo"
TABLE_HEADER = ("method", "rejections", "true", "false", "FDP", "time (ms)")
BH_NAME = "BH*"
BH_NOTE = (
    "* BH controls the false discovery rate only under independence or positive dependence (PRDS),\n"
    "  as in this simulation; the others under any dependence."
)
# The curves of the plot: label, method of tarvimo.adjust, line style.
PLOTTED = (
    ("e-BH", "ebh", "-"),
    ("closed e-BH", "closed_ebh", "-"),
    ("BY", "by", "--"),
    ("closed BY", "closed_by", "--"),
    (BH_NAME, "bh", ":"),
)


@dataclass(frozen=True)
class Study:
    """P-values and matching e-values of simulated one-sided z-tests."""

    pvalues: NDArray[np.float64]
    evalues: NDArray[np.float64]
    is_signal: NDArray[np.bool_]


@dataclass(frozen=True)
class Outcome:
    """What one procedure rejected in a study, and how long it took."""

    method: str
    rejections: int
    true_discoveries: int
    seconds: float

    @property
    def false_discoveries(self) -> int:
        return self.rejections - self.true_discoveries

    @property
    def false_discovery_proportion(self) -> float:
        return self.false_discoveries / max(self.rejections, 1)


Procedure = Callable[[Study, float], NDArray[np.bool_]]


def upper_tail_probability(z: NDArray[np.float64]) -> NDArray[np.float64]:
    """P(Z >= z) for a standard normal Z, accurate far into the tail; a chunk at a time, so that the
    Python floats of the conversion stay few."""
    tail = np.empty_like(z)
    for start in range(0, z.size, TAIL_CHUNK):
        tail[start : start + TAIL_CHUNK] = [
            0.5 * math.erfc(x / math.sqrt(2.0)) for x in z[start : start + TAIL_CHUNK].tolist()
        ]
    return tail


def available_memory() -> int | None:
    """The bytes that a new allocation can take without swapping (MemAvailable), else the free physical
    memory; None where neither is known."""
    try:
        with open(MEMINFO) as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return None


def size_problem(hypotheses: int, plot: bool, available: int | None) -> str | None:
    """Why a study of `hypotheses` (and its `plot`) cannot be simulated here, given the `available` bytes;
    None if it can."""
    if hypotheses > LARGEST_GIVEN:
        return f"-m {hypotheses:,} is more than {LARGEST_GIVEN:,}, the most values a family can hold"
    each = BYTES_PER_PLOTTED_HYPOTHESIS if plot else BYTES_PER_HYPOTHESIS
    needed = hypotheses * each
    if available is None or needed <= available:
        return None
    return (
        f"-m {hypotheses:,} needs about {needed / 2**30:.1f} GiB of memory ({each} bytes per hypothesis"
        f"{' with --plot' if plot else ''}), more than the {available / 2**30:.1f} GiB available; "
        f"here -m is at most about {available // each:,}"
    )


def simulate_study(m: int, signal_share: float, strength: float, seed: int) -> Study:
    rng = np.random.default_rng(seed)
    is_signal = rng.permutation(m) < round(signal_share * m)
    z = rng.standard_normal(m) + strength * is_signal
    with np.errstate(over="ignore"):  # an overflowing ratio is +inf, which the e-value procedures accept
        evalues = np.exp(strength * z - strength**2 / 2.0)
    return Study(upper_tail_probability(z), evalues, is_signal)


def demo_procedures(approximate: bool) -> list[tuple[str, Procedure]]:
    closed = " (approx.)" if approximate else ""
    return [
        ("e-BH", lambda study, alpha: ebh(study.evalues, alpha)),
        (f"closed e-BH{closed}", lambda study, alpha: closed_ebh(study.evalues, alpha, approximate=approximate)),
        ("BY", lambda study, alpha: by(study.pvalues, alpha)),
        (f"closed BY{closed}", lambda study, alpha: closed_by(study.pvalues, alpha, approximate=approximate)),
        (BH_NAME, lambda study, alpha: bh(study.pvalues, alpha)),
    ]


def run_procedures(study: Study, alpha: float, approximate: bool) -> list[Outcome]:
    """Each procedure once on the study; the time includes input checks and sorting."""
    outcomes = []
    for method, procedure in demo_procedures(approximate):
        start = time.perf_counter()
        rejected = procedure(study, alpha)
        seconds = time.perf_counter() - start
        outcomes.append(Outcome(method, int(rejected.sum()), int((rejected & study.is_signal).sum()), seconds))
    return outcomes


def describe_study(study: Study, strength: float, seed: int, alpha: float) -> str:
    tests = counted(study.is_signal.size, "one-sided z-test", "one-sided z-tests")
    signals = counted(int(study.is_signal.sum()), "true signal", "true signals")
    if strength == 0.0:
        means, evalues = "mean 0, no different from the nulls", "e-values 1, the likelihood ratio of equal means"
    else:
        means = f"mean {strength:g} instead of 0"
        evalues = f"e-values exp({strength:g} z - {strength**2 / 2:g}), the likelihood ratio"
    return (
        f"Simulated study: {tests}, {signals} ({means}), seed {seed}, alpha {alpha:g}.\np-values P(Z >= z); {evalues}."
    )


def format_table(outcomes: list[Outcome]) -> str:
    rows = [TABLE_HEADER] + [
        (
            outcome.method,
            f"{outcome.rejections:,}",
            f"{outcome.true_discoveries:,}",
            f"{outcome.false_discoveries:,}",
            f"{outcome.false_discovery_proportion:.3f}",
            f"{outcome.seconds * 1e3:.1f}",
        )
        for outcome in outcomes
    ]
    widths = [max(len(row[column]) for row in rows) for column in range(len(TABLE_HEADER))]
    return "\n".join(
        "  ".join([row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])])
        for row in rows
    )


def level_curves(study: Study, alpha: float) -> list[Curve]:
    """The levels of the procedures (the closed ones' exact searches) around `alpha`."""
    ceiling = plot_max_level(alpha)
    curves = []
    for label, method, style in PLOTTED:
        values = study.evalues if method.endswith("ebh") else study.pvalues
        curves.append(Curve(label, adjust(values, method, max_level=ceiling), style))
    return curves


def run_demo(args: argparse.Namespace) -> None:
    plot = None if args.plot is None else checked_plot_path(args.plot)
    problem = size_problem(args.hypotheses, args.plot is not None, available_memory())
    if problem is not None:
        raise CliError(problem)
    study = simulate_study(args.hypotheses, args.signal_share, args.strength, args.seed)
    print(describe_study(study, args.strength, args.seed, args.alpha))
    print()
    print(format_table(run_procedures(study, args.alpha, args.approximate)))
    print(BH_NOTE, flush=True)
    if plot is not None:
        title = f"{study.is_signal.size:,} simulated z-tests with {int(study.is_signal.sum()):,} true signals"
        message = write_plot(plot, level_curves(study, args.alpha), args.alpha, title)
        exact = "\nThe plot draws the exact searches of the closed procedures." if args.approximate else ""
        print(f"{exact}\n{message}")
