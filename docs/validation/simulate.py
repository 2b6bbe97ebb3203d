"""The validation study of the documentation: empirical FDR and power of the four procedures, and of BH.

Each replication simulates m one-sided z-tests, a share of them true signals
(z has mean `strength` instead of 0), under one of three dependence
structures between the test statistics:

- independent: z ~ N(mu, I);
- equicorrelated: every pair correlated `rho` (one shared normal factor);
- blocks: blocks of `block` consecutive tests, correlation `block_rho` ** |i - j|
  within a block (an AR(1) chain, as linkage disequilibrium decays along the
  genome) and none across blocks.

The p-values are P(Z >= z) and the e-values the likelihood ratios
exp(strength * z - strength**2 / 2), which have mean 1 under the null. The
replications of one cell are the rows of one matrix, each row its own family
(``axis=1``), and every level is run on the same data, so the procedures are
compared on common random numbers.

The per-replication counts are cached in ``build/docs-cache`` under a hash of
the settings and the versions of tarvimo and numpy; the figures and tables are
drawn from them on every build. The study fails (raises) if an empirical FDR
exceeds alpha by more than two Monte Carlo standard errors, or if a closed
procedure rejects less than its step-up counterpart in some replication.
``python docs/validation/simulate.py OUTPUT --quick`` runs a small version.
"""

import argparse
import hashlib
import json
import math
import os
import platform
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray
from scipy.special import ndtr

import tarvimo

DEPENDENCES = ("independent", "equicorrelated", "blocks")
DEPENDENCE_TITLES = {
    "independent": "independent",
    "equicorrelated": "equicorrelated",
    "blocks": "blocks (LD-like)",
}
# BH is the reference: valid here, since every structure simulated is positively dependent (PRDS).
PROCEDURES = {
    "BY": tarvimo.by,
    "closed BY": tarvimo.closed_by,
    "e-BH": tarvimo.ebh,
    "closed e-BH": tarvimo.closed_ebh,
    "BH (PRDS only)": tarvimo.bh,
}
STEP_UP_OF = {"closed BY": "BY", "closed e-BH": "e-BH"}
USES_PVALUES = {"BY", "closed BY", "BH (PRDS only)"}
STYLES = {
    "BY": dict(color="tab:blue", linestyle="--", marker="o"),
    "closed BY": dict(color="tab:blue", linestyle="-", marker="s"),
    "e-BH": dict(color="tab:orange", linestyle="--", marker="o"),
    "closed e-BH": dict(color="tab:orange", linestyle="-", marker="s"),
    "BH (PRDS only)": dict(color="tab:gray", linestyle=":", marker="^"),
}
MONTE_CARLO_MARGIN = 2.0  # standard errors of the mean FDP allowed above alpha
CHOICE_LEVEL = 0.1  # the level of the figure on the page that helps choose a procedure


@dataclass(frozen=True)
class Settings:
    m: int = 1_000
    replications: int = 1_000
    shares: tuple[float, ...] = (0.05, 0.2, 0.5)
    levels: tuple[float, ...] = (0.05, 0.1, 0.2)
    strength: float = 3.0
    rho: float = 0.5
    block: int = 50
    block_rho: float = 0.9
    seed: int = 20261209


QUICK = Settings(m=200, replications=40, shares=(0.05, 0.5), levels=(0.05, 0.2))


@dataclass(frozen=True)
class Cell:
    """The per-replication outcome of one procedure at one level on one simulated design."""

    rejections: NDArray[np.int64]
    false_rejections: NDArray[np.int64]
    signals: int

    @property
    def fdp(self) -> NDArray[np.float64]:
        return self.false_rejections / np.maximum(self.rejections, 1)

    @property
    def power(self) -> NDArray[np.float64]:
        return (self.rejections - self.false_rejections) / max(self.signals, 1)


def mean_and_error(values: NDArray[np.float64]) -> tuple[float, float]:
    """The mean and its Monte Carlo standard error."""
    return float(values.mean()), float(values.std(ddof=1) / math.sqrt(values.size))


def noise(dependence: str, settings: Settings, rng: np.random.Generator) -> NDArray[np.float64]:
    """Standard normal statistics with the dependence named, one replication per row."""
    shape = (settings.replications, settings.m)
    if dependence == "independent":
        return rng.standard_normal(shape)
    if dependence == "equicorrelated":
        shared = rng.standard_normal((settings.replications, 1))
        return math.sqrt(settings.rho) * shared + math.sqrt(1.0 - settings.rho) * rng.standard_normal(shape)
    if dependence == "blocks":
        steps = rng.standard_normal((settings.replications, settings.m // settings.block, settings.block))
        chain = np.empty_like(steps)
        chain[..., 0] = steps[..., 0]
        innovation = math.sqrt(1.0 - settings.block_rho**2)
        for i in range(1, settings.block):
            chain[..., i] = settings.block_rho * chain[..., i - 1] + innovation * steps[..., i]
        return chain.reshape(shape)
    raise ValueError(f"unknown dependence {dependence!r}")


def simulated_cells(settings: Settings) -> dict[str, Cell]:
    """Every cell of the study, keyed 'dependence|share|level|procedure'."""
    rng = np.random.default_rng(settings.seed)
    cells = {}
    for dependence in DEPENDENCES:
        for share in settings.shares:
            signals = round(share * settings.m)
            ordered = np.tile(np.arange(settings.m) < signals, (settings.replications, 1))
            is_signal = rng.permuted(ordered, axis=1)
            z = noise(dependence, settings, rng) + settings.strength * is_signal
            pvalues = ndtr(-z)
            evalues = np.exp(settings.strength * z - settings.strength**2 / 2)
            for level in settings.levels:
                masks = {
                    name: procedure(pvalues if name in USES_PVALUES else evalues, level, axis=1)
                    for name, procedure in PROCEDURES.items()
                }
                for closed, step_up in STEP_UP_OF.items():
                    missed = masks[step_up] & ~masks[closed]
                    if missed.any():
                        raise AssertionError(
                            f"{closed} left out a rejection of {step_up}: {dependence}, {share}, {level}"
                        )
                for name, mask in masks.items():
                    cells[f"{dependence}|{share}|{level}|{name}"] = Cell(
                        mask.sum(axis=1), (mask & ~is_signal).sum(axis=1), signals
                    )
    return cells


def cache_key(settings: Settings) -> str:
    identity = {
        "settings": asdict(settings),
        "procedures": list(PROCEDURES),
        "dependences": DEPENDENCES,
        "tarvimo": tarvimo.__version__,
        "numpy": np.__version__,
    }
    return hashlib.sha256(json.dumps(identity, sort_keys=True).encode()).hexdigest()[:16]


def processor() -> str:
    """The CPU's model name and the number of cores usable, for the record of a run."""
    try:
        names = [line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")]
    except OSError:
        names = []
    return f"{names[0] if names else platform.processor() or 'unknown CPU'}, {len(os.sched_getaffinity(0))} cores"


def cached_cells(settings: Settings, cache: Path) -> tuple[dict[str, Cell], str]:
    """The cells from the cache, or simulated and cached, with a note of how long the simulation took and where."""
    path = cache / f"validation-{cache_key(settings)}.npz"
    if not path.exists():
        started = time.perf_counter()
        cells = simulated_cells(settings)
        note = f"simulated in {time.perf_counter() - started:.0f} s on {processor()}"
        cache.mkdir(parents=True, exist_ok=True)
        arrays: dict[str, object] = {"note": np.array(note)}
        for key, cell in cells.items():
            arrays.update({f"{key}|r": cell.rejections, f"{key}|v": cell.false_rejections, f"{key}|k": cell.signals})
        np.savez_compressed(path, **arrays)
    with np.load(path) as stored:
        cells = {key: Cell(stored[f"{key}|r"], stored[f"{key}|v"], int(stored[f"{key}|k"])) for key in keys(settings)}
        return cells, str(stored["note"])


def keys(settings: Settings) -> list[str]:
    return [
        f"{dependence}|{share}|{level}|{name}"
        for dependence in DEPENDENCES
        for share in settings.shares
        for level in settings.levels
        for name in PROCEDURES
    ]


def fdr_violations(cells: dict[str, Cell]) -> list[str]:
    """The cells whose empirical FDR exceeds alpha by more than the Monte Carlo margin."""
    found = []
    for key, cell in cells.items():
        level = float(key.split("|")[2])
        fdr, error = mean_and_error(cell.fdp)
        if fdr > level + MONTE_CARLO_MARGIN * error:
            found.append(f"{key}: FDR {fdr:.4f} ± {error:.4f} above alpha {level}")
    return found


def percent(share: float) -> str:
    return f"{100 * share:g}%"


def estimate(values: NDArray[np.float64]) -> str:
    mean, error = mean_and_error(values)
    return f"{mean:.4f} ± {error:.4f}"


def markdown_table(header: list[str], rows: list[list[str]], text_columns: int = 1) -> str:
    """A Markdown table whose first `text_columns` columns are aligned left and the numbers right."""
    alignment = ["---" if i < text_columns else "---:" for i in range(len(header))]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(alignment) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def measure_table(cells: dict[str, Cell], settings: Settings, dependence: str, measure: str) -> str:
    """FDR or power (mean ± Monte Carlo standard error) of each procedure, a row per signal share and level."""
    rows = []
    for share in settings.shares:
        for level in settings.levels:
            row = [percent(share), f"{level:g}"]
            for name in PROCEDURES:
                cell = cells[f"{dependence}|{share}|{level}|{name}"]
                row.append(estimate(cell.fdp if measure == "fdr" else cell.power))
            rows.append(row)
    return markdown_table(["signals", "alpha", *PROCEDURES], rows)


def gain_table(cells: dict[str, Cell], settings: Settings) -> str:
    """How often, and by how much on average, each closed procedure rejects more than its step-up counterpart."""
    rows = []
    for dependence in DEPENDENCES:
        for closed, step_up in STEP_UP_OF.items():
            more, extra = [], []
            for share in settings.shares:
                for level in settings.levels:
                    base = cells[f"{dependence}|{share}|{level}|{step_up}"].rejections
                    gained = cells[f"{dependence}|{share}|{level}|{closed}"].rejections - base
                    more.append(np.mean(gained > 0))
                    extra.append(np.mean(gained))
            rows.append(
                [
                    DEPENDENCE_TITLES[dependence],
                    f"{closed} vs {step_up}",
                    f"{100 * min(more):.0f}% to {100 * max(more):.0f}%",
                    f"{min(extra):.1f} to {max(extra):.1f}",
                ]
            )
    header = ["dependence", "closed vs step-up", "more rejections in", "extra rejections"]
    return markdown_table(header, rows, text_columns=2)


def settings_text(settings: Settings, note: str) -> str:
    return (
        f"m = {settings.m:,} hypotheses, {settings.replications:,} replications per cell, "
        f"signal shares {', '.join(percent(s) for s in settings.shares)}, "
        f"levels alpha = {', '.join(f'{a:g}' for a in settings.levels)}, "
        f"signal strength {settings.strength:g}, equicorrelation rho = {settings.rho:g}, "
        f"blocks of {settings.block} with correlation {settings.block_rho:g}^|i-j|, seed {settings.seed} "
        f"({note}; tarvimo {tarvimo.__version__}, numpy {np.__version__}).\n"
    )


def draw_grid(cells: dict[str, Cell], settings: Settings, measure: str, path: Path) -> None:
    """FDR or power against the signal share, a panel per dependence (rows) and level (columns), ±2 SE bars."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows, columns = len(DEPENDENCES), len(settings.levels)
    figure, axes = plt.subplots(rows, columns, figsize=(3.4 * columns, 2.8 * rows), squeeze=False, sharex=True)
    shares = np.array(settings.shares)
    for i, dependence in enumerate(DEPENDENCES):
        for j, level in enumerate(settings.levels):
            axis = axes[i, j]
            for name in PROCEDURES:
                points = [cells[f"{dependence}|{share}|{level}|{name}"] for share in settings.shares]
                values = [mean_and_error(c.fdp if measure == "fdr" else c.power) for c in points]
                axis.errorbar(
                    100 * shares,
                    [v for v, _ in values],
                    yerr=[MONTE_CARLO_MARGIN * e for _, e in values],
                    label=name,
                    capsize=3,
                    markersize=4,
                    **STYLES[name],
                )
            if measure == "fdr":
                axis.axhline(level, color="black", linewidth=1, linestyle=":", label="alpha")
                axis.set_ylim(0, 1.25 * level)
            else:
                axis.set_ylim(0, 1)
            axis.set_title(f"{DEPENDENCE_TITLES[dependence]}, alpha = {level:g}", fontsize=10)
            axis.grid(alpha=0.3)
            if i == rows - 1:
                axis.set_xlabel("true signals (% of m)")
            if j == 0:
                axis.set_ylabel("empirical FDR" if measure == "fdr" else "power")
    handles, labels = axes[0, 0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    what = "False discovery rate" if measure == "fdr" else "Power (share of true signals rejected)"
    figure.suptitle(f"{what}, mean over {settings.replications:,} replications of m = {settings.m:,}, ±2 SE")
    figure.tight_layout(rect=(0, 0.05, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def draw_choice(cells: dict[str, Cell], settings: Settings, path: Path) -> None:
    """Power against the signal share at one level, a panel per dependence: the figure that helps choose."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    level = CHOICE_LEVEL if CHOICE_LEVEL in settings.levels else settings.levels[-1]
    figure, axes = plt.subplots(1, len(DEPENDENCES), figsize=(10, 3.8), sharey=True)
    shares = np.array(settings.shares)
    for axis, dependence in zip(axes, DEPENDENCES):
        for name in PROCEDURES:
            values = [mean_and_error(cells[f"{dependence}|{share}|{level}|{name}"].power) for share in settings.shares]
            axis.errorbar(
                100 * shares,
                [v for v, _ in values],
                yerr=[2 * e for _, e in values],
                label=name,
                capsize=3,
                **STYLES[name],
            )
        axis.set_title(DEPENDENCE_TITLES[dependence], fontsize=10)
        axis.set_xlabel("true signals (% of m)")
        axis.grid(alpha=0.3)
    axes[0].set_ylabel(f"power at alpha = {level:g}")
    axes[0].set_ylim(0, 1)
    handles, labels = axes[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    figure.suptitle(f"Power of the procedures, m = {settings.m:,}, signals of strength {settings.strength:g}")
    figure.tight_layout(rect=(0, 0.08, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def write_study(output: Path, cache: Path, settings: Settings = Settings()) -> None:
    """Simulate (or read from the cache) and write the figures and tables into `output`."""
    cells, note = cached_cells(settings, cache)
    violations = fdr_violations(cells)
    if violations:
        raise AssertionError("empirical FDR above alpha:\n" + "\n".join(violations))
    output.mkdir(parents=True, exist_ok=True)
    (output / "settings.md").write_text(settings_text(settings, note))
    (output / "gains.md").write_text(gain_table(cells, settings))
    for measure, title in (("fdr", "FDR"), ("power", "Power")):
        sections = [
            f"### {title}, {DEPENDENCE_TITLES[dependence]}\n\n{measure_table(cells, settings, dependence, measure)}"
            for dependence in DEPENDENCES
        ]
        (output / f"{measure}-tables.md").write_text("\n".join(sections))
    draw_grid(cells, settings, "fdr", output / "fdr.png")
    draw_grid(cells, settings, "power", output / "power.png")
    draw_choice(cells, settings, output / "choice.png")


def main(arguments: list[str]) -> None:
    parser = argparse.ArgumentParser(description="Run the validation study and write its figures and tables.")
    parser.add_argument("output", type=Path, help="folder for the figures and tables")
    parser.add_argument("--cache", type=Path, default=Path("build/docs-cache"), help="folder of the cached results")
    parser.add_argument("--quick", action="store_true", help="a small version, for a quick look")
    options = parser.parse_args(arguments)
    write_study(options.output, options.cache, QUICK if options.quick else Settings())


if __name__ == "__main__":
    main(sys.argv[1:])
