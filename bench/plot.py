"""The benchmark plot: log-log time against m."""

from pathlib import Path

from bench.adversarial import EVALUES, LEVELS, Growth
from bench.workloads import SIGNAL_SHARE, Comparison, share_label


def series(comparisons: list[Comparison]) -> dict[str, list[tuple[int, float]]]:
    """Time against m for every call timed at the main signal share."""
    points: dict[str, dict[int, float]] = {}
    for c in comparisons:
        if c.data != share_label(SIGNAL_SHARE):
            continue
        points.setdefault(c.reference, {})[c.m] = c.reference_seconds
        if c.subject_seconds is not None:
            points.setdefault(c.subject, {})[c.m] = c.subject_seconds
    return {label: sorted(by_m.items()) for label, by_m in points.items()}


def line_style(label: str) -> str:
    """Dotted for the yardsticks (sorting, list conversion), dashed for the peers, solid for tarvimo."""
    if label.startswith(("numpy.sort", "conversion")):
        return ":"
    return "-" if label.startswith(("tarvimo", "closed", "largest", "adjust", "levels", "p: ", "e: ")) else "--"


def growth_curves(growths: list[Growth], prefix: str = "") -> list[tuple[str, list[tuple[int, float]]]]:
    curves = []
    for g in growths:
        sizes, seconds = g.timed_points()
        kind = "e" if g.pattern.search == EVALUES else "p"
        curves.append((f"{prefix}{kind}: {g.pattern.name}", list(zip(sizes, seconds, strict=True))))
    return curves


def plot(
    path: Path, public: list[Comparison], levels: list[Comparison], searches: list[Comparison], growths: list[Growth]
) -> None:
    """Log-log time against m: the public API, peers and sorting; the levels, on realistic data and on the
    slowest patterns; the exact searches on lists."""
    from matplotlib import colormaps
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    tab20 = colormaps["tab20"].colors
    colours = tab20[::2] + tab20[1::2]  # the ten strong colours first, then their pale partners
    figure = Figure(figsize=(19.0, 7.5), layout="constrained")
    FigureCanvasAgg(figure)  # render off screen, whatever backend is configured
    left, middle, right = figure.subplots(1, 3)
    level_growths = [g for g in growths if g.timed == LEVELS]
    search_growths = [g for g in growths if g.timed != LEVELS]
    curves = {
        left: list(series(public).items()),
        middle: list(series(levels).items()) + growth_curves(level_growths, "levels "),
        right: [(label, points) for label, points in series(searches).items() if label.startswith("conversion")]
        + growth_curves(search_growths),
    }
    left.set_title(f"Public API and peers on realistic data ({SIGNAL_SHARE:.0%} signals)")
    middle.set_title("tarvimo.adjust: realistic data, and the slowest patterns")
    right.set_title("Exact searches of _vardo on lists (e: closed e-BH, p: closed BY)")
    for axes, labelled in curves.items():
        for number, (label, points) in enumerate(labelled):
            axes.plot(
                [m for m, _ in points],
                [t for _, t in points],
                line_style(label),
                marker="o",
                markersize=3,
                color=colours[number % len(colours)],
                label=label,
            )
        axes.set_xscale("log")
        axes.set_yscale("log")
        axes.set_xlabel("m (hypotheses)")
        axes.set_ylabel("median time (s)")
        axes.grid(True, which="major", alpha=0.3)
        axes.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2)
    figure.savefig(path, dpi=100)
