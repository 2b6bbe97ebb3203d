"""Plots of the number of rejections against alpha, for ``--plot`` of ``tarvimo demo`` and ``tarvimo run``.

The curves are drawn from the levels of `tarvimo.adjust`: at alpha, a
procedure rejects exactly the hypotheses whose level is at most alpha, so the
number of rejections is a step function that rises at each level, drawn
exactly without calling the procedure on a grid of alphas.
"""

import importlib.util
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from tarvimo._cli.errors import CliError

PLOT_SUFFIX = ".png"
PLOT_SPAN_BELOW = 50.0  # the axis runs from alpha / 50 ...
PLOT_SPAN_ABOVE = 6.0  # ... to 6 alpha, or halfway from alpha to 1 when that is smaller
LEGEND_COLUMNS = 3  # a legend of more entries than this is laid out in rows of 3


@dataclass(frozen=True)
class Curve:
    """The levels of one procedure, drawn as the number of rejections against alpha."""

    label: str
    levels: NDArray[np.float64]
    style: str = "-"


def plot_path(path: Path) -> Path:
    """Where the plot goes: `path`, with .png added when it has no extension (as matplotlib does)."""
    return path if path.suffix else path.with_name(path.name + PLOT_SUFFIX)


def require_matplotlib() -> None:
    if importlib.util.find_spec("matplotlib") is None:
        raise CliError("--plot needs matplotlib: pip install 'tarvimo[plot]'")


def checked_plot_path(path: Path) -> Path:
    """Where the plot goes (see `plot_path`), refused before any work is done when matplotlib cannot write
    it there: a format it does not know, or a directory that does not exist."""
    require_matplotlib()
    from matplotlib.backend_bases import FigureCanvasBase  # optional dependency, only for --plot

    target = plot_path(path)
    formats = FigureCanvasBase.get_supported_filetypes()
    if target.suffix[1:].lower() not in formats:
        raise CliError(
            f"cannot write the plot to {target}: matplotlib writes no {target.suffix} files "
            f"(it writes {', '.join(sorted(formats))})"
        )
    if not target.parent.is_dir():
        raise CliError(f"cannot write the plot to {target}: there is no directory {target.parent}")
    return target


def plot_span(alpha: float) -> tuple[float, float]:
    """The range of alphas drawn around `alpha`, which lies inside it."""
    return alpha / PLOT_SPAN_BELOW, min(PLOT_SPAN_ABOVE * alpha, (1.0 + alpha) / 2.0)


def plot_max_level(alpha: float) -> float:
    """The `max_level` of the levels drawn: just above the span, so that every level in it is exact."""
    return float(np.nextafter(plot_span(alpha)[1], 1.0))


def rejection_steps(
    levels: NDArray[np.float64], low: float, high: float
) -> tuple[NDArray[np.float64], NDArray[np.intp]]:
    """The corners of the step function alpha -> number of levels at most alpha, on [low, high]."""
    ordered = np.sort(levels[~np.isnan(levels)])
    alphas = np.concatenate([[low], ordered[(ordered > low) & (ordered < high)], [high]])
    return alphas, np.searchsorted(ordered, alphas, side="right")


def count_limits(bottom: float, top: float) -> tuple[float, float]:
    """The limits of the axis of counts, from matplotlib's: a flat curve gets a span of ±5% around its
    count, where no other integer lies and the ticks would be fractions (-0.045 rejections); it gets
    the counts one below and one above instead (none below 0)."""
    if top - bottom >= 2.0:
        return bottom, top
    count = round((bottom + top) / 2.0)
    return max(count - 1, 0) - 0.05, count + 1.05


def rejections_at(levels: NDArray[np.float64], alpha: float) -> int:
    return int(np.count_nonzero(levels <= alpha))


def alpha_label(alpha: float, _position: object = None) -> str:
    """The label of a tick of the alpha axis: plain (0.02, not 2 x 10^-2), at 1, 2 and 5 times a power
    of ten only, so that the two and a half decades drawn carry at most eight labels, which do not run
    into each other (matplotlib labels every minor tick where a single power of ten is in view)."""
    if not alpha > 0.0:
        return ""
    mantissa = alpha / 10.0 ** math.floor(math.log10(alpha))
    nearest = round(mantissa)
    return f"{alpha:g}" if nearest in (1, 2, 5, 10) and abs(mantissa - nearest) < 1e-6 * nearest else ""


def draw_rejections(path: Path, curves: list[Curve], alpha: float, title: str, cut: bool) -> None:
    """Draw each curve's rejections against alpha, with a line at `alpha`, into `path`.

    `cut`: also mark where alpha cuts each curve, at the largest level at most alpha.
    """
    from matplotlib.figure import Figure  # optional dependency, only for --plot
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    low, high = plot_span(alpha)
    figure = Figure(figsize=(7.0, 5.2), layout="constrained")
    axes = figure.subplots()
    for curve in curves:
        alphas, counts = rejection_steps(curve.levels, low, high)
        axes.step(alphas, counts, curve.style, where="post", label=curve.label)
        rejected = curve.levels[curve.levels <= alpha]
        if cut and rejected.size:
            weakest = float(rejected.max())
            axes.plot(
                [max(weakest, low)],
                [rejected.size],
                "o",
                color="black",
                label=f"{rejected.size:,} rejected at alpha {alpha:g}; the weakest has level {weakest:.3g}",
            )
    axes.axvline(alpha, color="grey", linestyle=":", label=f"alpha = {alpha:g}")
    axes.set_xscale("log")
    axes.set_xlim(low, high)
    axes.xaxis.set_major_formatter(FuncFormatter(alpha_label))
    axes.xaxis.set_minor_formatter(FuncFormatter(alpha_label))
    axes.set_xlabel("alpha (target false discovery rate)")
    axes.set_ylabel("rejections")
    axes.set_ylim(*count_limits(*axes.get_ylim()))
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))  # counts: no ticks at 2.5
    axes.set_title(title)
    # Below the axes: a rising step curve can fill any corner of them.
    entries = len(axes.get_legend_handles_labels()[1])
    figure.legend(loc="outside lower center", ncols=LEGEND_COLUMNS if entries > LEGEND_COLUMNS else 1)
    figure.savefig(path, dpi=120)


def write_plot(path: Path, curves: list[Curve], alpha: float, title: str, cut: bool = False) -> str:
    """Draw the plot into `path`; the message that says where it went."""
    existed = path.exists()
    try:
        draw_rejections(path, curves, alpha, title, cut)
    except (OSError, ValueError) as exc:
        raise CliError(f"cannot write the plot to {path}: {exc}") from None
    return f"Plot of rejections against alpha written to {path}" + (
        " (replacing the file that was there)" if existed else ""
    )
