"""``tarvimo demo``: a simulated study that compares the four procedures, and
Benjamini-Hochberg beside them for reference.

Each hypothesis is a one-sided z-test of mean 0 against mean `strength`: a
null has z ~ N(0, 1), a true signal z ~ N(strength, 1). Its p-value is
P(Z >= z) and its e-value the likelihood ratio of the two normal densities,
exp(strength * z - strength**2 / 2), which has mean 1 under the null.
"""

import argparse
import importlib.util
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from tarvimo._cli.errors import CliError
from tarvimo._cli.progress import progress_bar
from tarvimo._procedures import bh, by, closed_by, closed_ebh, ebh

DEFAULT_M = 10_000
DEFAULT_SIGNAL_SHARE = 0.1
DEFAULT_STRENGTH = 3.0
DEFAULT_ALPHA = 0.05
DEFAULT_SEED = 20240611
PLOT_POINTS = 25
PLOT_SPAN_BELOW = 50.0  # the grid of levels runs from alpha / 50 ...
PLOT_SPAN_ABOVE = 6.0  # ... to 6 alpha, or halfway from alpha to 1 when that is smaller
PLOT_SUFFIX = ".png"
TABLE_HEADER = ("method", "rejections", "true", "false", "FDP", "time (ms)")
BH_NAME = "BH*"
BH_NOTE = (
    "* BH controls the false discovery rate only under independence or positive dependence (PRDS),\n"
    "  as in this simulation; the others under any dependence."
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
    """P(Z >= z) for a standard normal Z, accurate far into the tail."""
    return np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z.tolist()], dtype=np.float64)


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


def counted(count: int, one: str, many: str) -> str:
    return f"{count:,} {one if count == 1 else many}"


def describe_study(study: Study, strength: float, seed: int, alpha: float) -> str:
    tests = counted(study.is_signal.size, "one-sided z-test", "one-sided z-tests")
    signals = counted(int(study.is_signal.sum()), "true signal", "true signals")
    if strength == 0.0:
        means, evalues = "mean 0, no different from the nulls", "e-values 1, the likelihood ratio of equal means"
    else:
        means = f"mean {strength:g} instead of 0"
        evalues = f"e-values exp({strength:g} z - {strength**2 / 2:g}), the likelihood ratio"
    return (
        f"Simulated study: {tests}, {signals} ({means}), seed {seed}, alpha {alpha:g}.\n"
        f"p-values P(Z >= z); {evalues}."
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


def plot_path(path: Path) -> Path:
    """Where the plot goes: `path`, with .png added when it has no extension (as matplotlib does)."""
    return path if path.suffix else path.with_name(path.name + PLOT_SUFFIX)


def plot_alphas(alpha: float) -> NDArray[np.float64]:
    """A geometric grid of levels around `alpha`, which is one of them."""
    high = min(PLOT_SPAN_ABOVE * alpha, (1.0 + alpha) / 2.0)
    return np.union1d(np.geomspace(alpha / PLOT_SPAN_BELOW, high, PLOT_POINTS), [alpha])


def plot_rejections(
    study: Study, alpha: float, approximate: bool, path: Path, alphas: NDArray[np.float64], tick: Callable[[], object]
) -> None:
    """Draw the number of rejections against the levels `alphas` for each procedure into `path`.

    `tick` is called after each run of a procedure.
    """
    from matplotlib.figure import Figure  # optional dependency, only for --plot

    figure = Figure(figsize=(7.0, 4.5), layout="constrained")
    axes = figure.subplots()
    for (method, procedure), style in zip(demo_procedures(approximate), ("-", "-", "--", "--", ":")):
        counts = []
        for level in alphas.tolist():
            counts.append(int(procedure(study, level).sum()))
            tick()
        axes.plot(alphas, counts, style, marker="o", markersize=3, label=method)
    axes.axvline(alpha, color="grey", linestyle=":", label=f"alpha = {alpha:g}")
    axes.set_xscale("log")
    axes.set_xlabel("alpha (target false discovery rate)")
    axes.set_ylabel("rejections")
    axes.set_title(
        f"{study.is_signal.size:,} simulated z-tests with {int(study.is_signal.sum()):,} true signals"
    )
    axes.legend(loc="upper left")
    figure.savefig(path, dpi=120)


def run_demo(args: argparse.Namespace) -> None:
    if args.plot is not None and importlib.util.find_spec("matplotlib") is None:
        raise CliError("--plot needs matplotlib: pip install 'tarvimo[plot]'")
    plot = None if args.plot is None else plot_path(args.plot)
    study = simulate_study(args.hypotheses, args.signal_share, args.strength, args.seed)
    print(describe_study(study, args.strength, args.seed, args.alpha))
    print()
    print(format_table(run_procedures(study, args.alpha, args.approximate)))
    print(BH_NOTE, flush=True)
    if plot is not None:
        existed = plot.exists()
        grid = plot_alphas(args.alpha)
        with progress_bar("plotting", grid.size * len(demo_procedures(args.approximate)), " runs") as bar:
            try:
                plot_rejections(study, args.alpha, args.approximate, plot, grid, lambda: bar.update())
            except (OSError, ValueError) as exc:
                raise CliError(f"cannot write the plot to {plot}: {exc}") from None
        print(f"\nPlot of rejections against alpha written to {plot}" + (" (replacing the file that was there)"
                                                                          if existed else ""))
