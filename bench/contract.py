"""How often closed e-BH's levels break the contract on the stress inputs.

The contract, per hypothesis and double alpha below max_level:
``tarvimo.closed_ebh(values, alpha) == (tarvimo.adjust(values, "closed_ebh") <= alpha)``.
A level is the smallest double from which on the hypothesis stays rejected, so
from its level on a hypothesis is always rejected; below it the contract can
still break where the decision is not monotone in alpha (tied e-values, whose
rows of rounded targets are flat): the hypothesis is rejected at some alpha
below its level, but not at every alpha between. No level can avoid those. For
every e-value pattern of the adversarial suite, random families, families with
zeros, with infinite e-values and truncated lists (`m`), this counts, at every
distinct level, at the double just below each and at random alphas, the
(hypothesis, alpha) pairs not rejected although alpha is at or above the level
(none may exist) and those rejected below their level (the unavoidable ones).

python bench/contract.py            # m = 300 and 2,000
python bench/contract.py --sizes 300
"""

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
if not __package__:  # run as a script: import bench as a package from the checkout's root
    sys.path[0] = str(ROOT)

import tarvimo  # noqa: E402
from bench import adversarial  # noqa: E402

DESIGN_ALPHA = 0.05  # the alpha the patterns are built around
RANDOM_ALPHAS = 200  # per input: half uniform on (0, 1), half log-uniform on (1e-6, 1)


@dataclass(frozen=True)
class Breaks:
    """Contract breaks of one input over the alphas probed: (hypothesis, alpha) pairs not rejected at or
    above their level (`missed`, must be 0) and rejected below it (`early`, where the decision is not
    monotone)."""

    name: str
    m: int
    levels_checked: int
    random_checked: int
    missed: int
    early: int


@dataclass(frozen=True)
class StressInput:
    name: str
    values: np.ndarray
    total: int | None  # the family's size when the list is truncated


def mismatches(values: np.ndarray, levels: np.ndarray, alpha: float, total: int | None) -> tuple[int, int]:
    """Hypotheses not rejected at alpha although their level is at most alpha, and those rejected below it."""
    mask = tarvimo.closed_ebh(values, alpha, m=total)
    reached = levels <= alpha
    return int(np.count_nonzero(reached & ~mask)), int(np.count_nonzero(mask & ~reached))


def count_breaks(item: StressInput, rng: np.random.Generator) -> Breaks:
    levels = tarvimo.adjust(item.values, "closed_ebh", m=item.total)
    distinct = np.unique(levels[levels < 1.0])
    below = np.nextafter(distinct, 0.0)
    randoms = np.concatenate(
        [rng.uniform(0.0, 1.0, RANDOM_ALPHAS // 2), np.exp(rng.uniform(np.log(1e-6), 0.0, RANDOM_ALPHAS // 2))]
    )
    randoms = randoms[(randoms > 0.0) & (randoms < 1.0)]
    alphas = np.concatenate([distinct, below[below > 0.0], randoms])
    found = np.array([mismatches(item.values, levels, alpha, item.total) for alpha in alphas]).reshape(-1, 2)
    missed, early = found.sum(axis=0)
    return Breaks(
        item.name,
        len(item.values) if item.total is None else item.total,
        len(distinct),
        len(randoms),
        int(missed),
        int(early),
    )


def pattern_inputs(m: int, random_count: int, seed: int) -> list[StressInput]:
    """Every e-value pattern of the adversarial suite at m, built around DESIGN_ALPHA."""
    patterns = adversarial.all_patterns(random_count, seed)
    return [
        StressInput(f"{p.name} (pattern)", p.build(m, DESIGN_ALPHA), None)
        for p in patterns
        if p.search == adversarial.EVALUES
    ]


def family_inputs(m: int, count: int, seed: int) -> list[StressInput]:
    """Random families: log-normal e-values, a share of exact zeros, tied values drawn from a few,
    infinite e-values, and a truncated list of half the family."""
    rng = np.random.default_rng(seed)
    inputs = []
    for number in range(count):
        e = np.exp(rng.normal(0.0, 2.0, m)) * rng.uniform(1.0, 40.0)
        kind = number % 5
        if kind == 1:
            e[rng.random(m) < 0.3] = 0.0
        elif kind == 2:
            e = rng.choice(np.round(np.exp(rng.normal(2.0, 1.5, 4)), 1), m)
        elif kind == 3:
            e[rng.choice(m, 3, replace=False)] = np.inf
        names = ("log-normal", "30% zeros", "ties of 4 values", "3 infinite", "half given, m")
        values, total = (e[: m // 2], m) if kind == 4 else (e, None)
        inputs.append(StressInput(f"{names[kind]} (family {number})", values, total))
    return inputs


def tied_inputs(m: int) -> list[StressInput]:
    """All e-values tied: at 10 (the known counterexample at m = 300), at 3 and at 15.02 (sums not exact)."""
    return [StressInput(f"all tied at {c:g}", np.full(m, c), None) for c in (10.0, 3.0, 15.02)]


def table(rows: list[Breaks]) -> str:
    lines = [
        "| input | m | levels | random alphas | not rejected from the level on | rejected below the level |",
        "|---|---|---|---|---|---|",
    ]
    lines += [f"| {b.name} | {b.m} | {b.levels_checked} | {b.random_checked} | {b.missed} | {b.early} |" for b in rows]
    return "\n".join(lines)


def totals(rows: list[Breaks]) -> str:
    broken = [b for b in rows if b.missed or b.early]
    return (
        f"{len(rows)} inputs, {sum(b.levels_checked for b in rows)} distinct levels (each probed at the level and "
        f"the double below), {sum(b.random_checked for b in rows)} random alphas; breaks: "
        f"{sum(b.missed for b in rows)} not rejected from the level on, {sum(b.early for b in rows)} rejected below "
        f"the level, in {len(broken)} inputs: {', '.join(b.name for b in broken) or 'none'}"
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 2000], metavar="M")
    parser.add_argument("--random-patterns", type=int, default=20, metavar="N", help="random patterns (default 20)")
    parser.add_argument("--families", type=int, default=20, metavar="N", help="random families per size (default 20)")
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(args.seed)
    rows = []
    for m in args.sizes:
        inputs = pattern_inputs(m, args.random_patterns, args.seed) + family_inputs(m, args.families, args.seed + m)
        rows += [count_breaks(item, rng) for item in inputs + tied_inputs(m)]
    print(table(rows))
    print()
    print(totals(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
