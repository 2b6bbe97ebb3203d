"""Inputs that make the exact searches and the closed levels slow: a search
over structured and random patterns at a small size, then the growth of the
slowest with m.

A pattern is a rule that builds m values for any m, so that its growth can be
followed. The closed e-BH search takes e-values ascending, the closed BY
search p-values largest first; the patterns are sorted that way before timing.
The levels (`tarvimo.adjust` with closed_ebh or closed_by) take the values as
the pattern builds them. Every pattern's levels are timed at two sizes a decade
apart, for an exponent each; the slowest are followed further.
"""

import math
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial

import numpy as np
from numpy.typing import NDArray

import tarvimo
from bench.timing import CapExceeded, capped, growth_exponent, measure, timed
from bench.workloads import SizeGuard, simulate
from tarvimo import _vardo

Values = NDArray[np.float64]
Builder = Callable[[int, float], Values]

SEARCH_RUNS = 3  # a candidate's score is its fastest of this many runs
REFERENCE_SHARE = 0.1  # realistic data, the yardstick for the patterns
REFERENCE_NAME = f"realistic, {REFERENCE_SHARE:.0%} signals"
MIN_FIT_SECONDS = 1e-3  # shorter times are dominated by call overhead and left out of fits
EVALUES = "closed e-BH exact search"
PVALUES = "closed BY exact search"
LEVEL_METHODS = {EVALUES: "closed_ebh", PVALUES: "closed_by"}  # the levels timed for each search's patterns
SEARCHES, LEVELS = "exact search", "levels"  # what a growth times
# A growth whose exponent (slope of log time against log m) is at most this is
# about m log m: m log m itself has a local slope of 1 + 1 / ln m, 1.07 to 1.15 over 1e3 ... 1e6,
# and the margin leaves room for caches and noise; m^1.5 is well beyond it.
ABOUT_M_LOG_M = 1.25
MIN_JUDGED_SIZES = 3  # sizes of at least MIN_FIT_SECONDS a growth needs to be judged about m log m
# A pattern's levels at the scoring sizes are stopped after this long: at m =
# 1,000 that is some 20 times the realistic data's closed BY levels, and the
# slope from the smaller size then already proves a growth beyond m log m.
LEVEL_SCORE_CAP_SECONDS = 1.0
SLOW_SCORE_SECONDS = 0.2  # a score whose first run takes this long is not run again


@dataclass(frozen=True)
class Pattern:
    search: str  # EVALUES or PVALUES
    name: str
    build: Builder  # (m, alpha) -> values in any order


@dataclass(frozen=True)
class Score:
    pattern: Pattern
    seconds: float
    conversion_seconds: float  # converting the same list alone
    rejections: int


@dataclass(frozen=True)
class LevelScore:
    """The closed levels of a pattern at two sizes, with the exact mask at alpha at the larger."""

    pattern: Pattern
    sizes: tuple[int, int]
    seconds: tuple[float | None, float | None]  # None: stopped at the cap (or not run after the smaller stopped)
    mask_seconds: float
    cap_seconds: float

    @property
    def exponent(self) -> float | None:
        """The slope between the two sizes; None when the larger was stopped or the smaller took under 1 ms."""
        small, large = self.seconds
        if small is None or large is None or small < MIN_FIT_SECONDS:
            return None
        return growth_exponent(list(self.sizes), [small, large])

    @property
    def exponent_above(self) -> float | None:
        """A lower bound of the slope when the larger size was stopped at the cap."""
        small, large = self.seconds
        if small is None or large is not None:
            return None
        return growth_exponent(list(self.sizes), [small, self.cap_seconds])


@dataclass(frozen=True)
class Growth:
    pattern: Pattern
    sizes: list[int]
    seconds: list[float | None]  # None: skipped or stopped
    rejections: list[int | None]
    timed: str = SEARCHES  # SEARCHES or LEVELS
    stopped_at: int | None = None  # the size at which the cap stopped the call; larger sizes are not run
    cap_seconds: float | None = None

    def timed_points(self) -> tuple[list[int], list[float]]:
        points = [(m, t) for m, t in zip(self.sizes, self.seconds, strict=True) if t is not None]
        return [m for m, _ in points], [t for _, t in points]

    def fit_points(self) -> tuple[list[int], list[float]]:
        """The timed sizes that took at least MIN_FIT_SECONDS."""
        points = [(m, t) for m, t in zip(*self.timed_points(), strict=True) if t >= MIN_FIT_SECONDS]
        return [m for m, _ in points], [t for _, t in points]

    @property
    def exponent(self) -> float | None:
        """Growth exponent fitted over the sizes that took at least MIN_FIT_SECONDS."""
        sizes, seconds = self.fit_points()
        if len(sizes) < 2:
            return None
        return growth_exponent(sizes, seconds)

    @property
    def exponent_above(self) -> float | None:
        """A lower bound of the slope of the step from the largest timed size into the one stopped at the cap."""
        sizes, seconds = self.timed_points()
        if self.stopped_at is None or self.cap_seconds is None or not sizes:
            return None
        return growth_exponent([sizes[-1], self.stopped_at], [seconds[-1], self.cap_seconds])

    @property
    def verdict(self) -> str:
        """Whether the growth is about m log m (exponent at most ABOUT_M_LOG_M), and over which sizes."""
        above = self.exponent_above
        if above is not None and above > ABOUT_M_LOG_M:
            return f"faster than m log m: the step to m = {self.stopped_at:,} exceeds {above:.2f}"
        sizes, _ = self.fit_points()
        span = f"m = {sizes[0]:,} ... {sizes[-1]:,}" if sizes else ""
        if self.exponent is not None and self.exponent > ABOUT_M_LOG_M:  # a steep slope shows over two sizes
            return f"faster than m log m over {span}"
        if len(sizes) < MIN_JUDGED_SIZES or self.exponent is None:
            return f"not judged: fewer than {MIN_JUDGED_SIZES} sizes of {MIN_FIT_SECONDS * 1e3:g} ms or more"
        return f"about m log m over {span}"

    @property
    def last_exponent(self) -> float | None:
        """Growth exponent between the two largest timed sizes."""
        sizes, seconds = self.timed_points()
        return growth_exponent(sizes[-2:], seconds[-2:]) if len(sizes) >= 2 else None


def ranks(m: int) -> NDArray[np.float64]:
    """1 ... m: the rank k of the k-th strongest hypothesis."""
    return np.arange(1, m + 1, dtype=np.float64)


def harmonic(m: int) -> float:
    return float(np.sum(1.0 / ranks(m)))


def block_size(m: int, block: float) -> int:
    """A block of `block` hypotheses, or of that share of m when below 1."""
    return max(1, round(block * m)) if block < 1 else int(block)


def alternating(m: int, block: float) -> NDArray[np.bool_]:
    """True on the first block of ranks, False on the next, and so on."""
    return (np.arange(m) // block_size(m, block)) % 2 == 0


def ebh_line(m: int, alpha: float) -> Values:
    """The e-BH critical line: the k-th largest e-value at m / (k alpha)."""
    return m / (ranks(m) * alpha)


def by_line(m: int, alpha: float) -> Values:
    """The BY critical line: the k-th smallest p-value at k alpha / (m H_m)."""
    return ranks(m) * alpha / (m * harmonic(m))


# E-value patterns; each gives the k-th largest e-value at position k - 1.
def e_on_line(m: int, alpha: float, scale: float) -> Values:
    return scale * ebh_line(m, alpha)


def e_tied(m: int, alpha: float, level: float) -> Values:
    return np.full(m, level / alpha)


def e_line_blocks(m: int, alpha: float, block: float, scale: float) -> Values:
    return np.where(alternating(m, block), scale * ebh_line(m, alpha), 0.0)


def e_plateau(m: int, alpha: float, share: float, level: float) -> Values:
    return np.where(ranks(m) <= share * m, level / alpha, 0.0)


def e_tied_line(m: int, alpha: float, group: int) -> Values:
    """The e-BH line with ranks rounded up to groups of ties."""
    return ebh_line(m, alpha)[np.minimum((np.arange(m) // group + 1) * group, m) - 1]


def e_noisy_line(m: int, alpha: float, scale: float, sigma: float, seed: int) -> Values:
    return scale * ebh_line(m, alpha) * np.exp(sigma * np.random.default_rng(seed).standard_normal(m))


def e_power(m: int, alpha: float, scale: float, power: float) -> Values:
    return scale * (m / ranks(m)) ** power / alpha


# P-value patterns; each gives the k-th smallest p-value at position k - 1.
def p_on_line(m: int, alpha: float, scale: float) -> Values:
    return np.minimum(1.0, scale * by_line(m, alpha))


def p_tied(m: int, alpha: float, scale: float) -> Values:
    """All p-values at `scale` times the cut-off alpha / H_m of the BY e-values."""
    return np.full(m, min(1.0, scale * alpha / harmonic(m)))


def p_line_blocks(m: int, alpha: float, block: float, scale: float) -> Values:
    return np.where(alternating(m, block), p_on_line(m, alpha, scale), 1.0)


def p_bent_line(m: int, alpha: float, scale: float, knee: float, power: float) -> Values:
    """`scale` times the BY line up to rank knee * m, bending upward as (k / (knee m))^power beyond."""
    bend = np.maximum(1.0, ranks(m) / (knee * m)) ** power
    return np.minimum(1.0, scale * by_line(m, alpha) * bend)


def p_tied_line(m: int, alpha: float, group: int) -> Values:
    return by_line(m, alpha)[np.minimum((np.arange(m) // group + 1) * group, m) - 1]


def p_noisy_line(m: int, alpha: float, scale: float, sigma: float, seed: int) -> Values:
    noise = np.exp(sigma * np.random.default_rng(seed).standard_normal(m))
    return np.minimum(1.0, scale * by_line(m, alpha) * noise)


def realistic(m: int, alpha: float, kind: str, share: float, seed: int) -> Values:
    study = simulate(m, share, seed)
    return study.evalues if kind == "evalues" else study.pvalues


def e_infinite_top(m: int, alpha: float, share: float, infinite: int, seed: int) -> Values:
    """Realistic e-values whose `infinite` largest are +inf: the running sums end there."""
    e = np.sort(realistic(m, alpha, "evalues", share, seed))
    e[m - min(infinite, m) :] = np.inf
    return e


def reference_patterns(seed: int) -> list[Pattern]:
    """Realistic data at REFERENCE_SHARE for both searches."""
    return [
        Pattern(search, REFERENCE_NAME, partial(realistic, kind=kind, share=REFERENCE_SHARE, seed=seed))
        for search, kind in ((EVALUES, "evalues"), (PVALUES, "pvalues"))
    ]


def structured_patterns(seed: int) -> list[Pattern]:
    """Values on and around the critical lines, ties, alternating blocks, realistic data."""
    patterns = [
        Pattern(EVALUES, f"on the e-BH line x{s:g}", partial(e_on_line, scale=s)) for s in (0.5, 0.99, 1.0, 1.01, 2.0)
    ]
    patterns += [
        Pattern(EVALUES, f"all tied at {c:g}/alpha", partial(e_tied, level=c)) for c in (0.5, 0.99, 1.0, 1.01, 2.0)
    ]
    patterns += [
        Pattern(EVALUES, f"blocks of {b:g} on the e-BH line x{s:g}, then 0", partial(e_line_blocks, block=b, scale=s))
        for b in (1, 10, 0.01, 0.25)
        for s in (1.0, 2.0)
    ]
    patterns += [
        Pattern(EVALUES, f"top {f:.0%} tied at {c:g}/alpha, rest 0", partial(e_plateau, share=f, level=c))
        for f in (0.1, 0.5, 0.9)
        for c in (1.0, 2.0, 4.0)
    ]
    patterns += [Pattern(EVALUES, f"e-BH line in ties of {g}", partial(e_tied_line, group=g)) for g in (2, 10, 100)]
    patterns += [
        Pattern(
            EVALUES,
            f"realistic, {REFERENCE_SHARE:.0%} signals, top {k} infinite",
            partial(e_infinite_top, share=REFERENCE_SHARE, infinite=k, seed=seed),
        )
        for k in (1, 3)
    ]
    patterns += [
        Pattern(PVALUES, f"on the BY line x{s:g}", partial(p_on_line, scale=s))
        for s in (0.5, 1.0, 1.01, 1.1, 1.5, 2.0, 4.0)
    ]
    patterns += [
        Pattern(PVALUES, f"all tied at {s:g} alpha/H_m", partial(p_tied, scale=s)) for s in (0.5, 0.99, 1.0, 1.01, 2.0)
    ]
    patterns += [
        Pattern(PVALUES, f"blocks of {b:g} on the BY line x{s:g}, then 1", partial(p_line_blocks, block=b, scale=s))
        for b in (1, 10, 0.01, 0.25)
        for s in (1.0, 1.5)
    ]
    patterns += [
        Pattern(
            PVALUES,
            f"BY line x{s:g} to rank {k:g}m, then bent by power {g:g}",
            partial(p_bent_line, scale=s, knee=k, power=g),
        )
        for s in (1.2, 2.0)
        for k in (0.3, 0.5)
        for g in (1.0, 2.0)
    ]
    patterns += [Pattern(PVALUES, f"BY line in ties of {g}", partial(p_tied_line, group=g)) for g in (2, 10, 100)]
    patterns += [
        Pattern(
            PVALUES,
            f"BY line x{s:g}, log-normal noise {sigma:g}",
            partial(p_noisy_line, scale=s, sigma=sigma, seed=seed),
        )
        for s, sigma in ((0.7, 1.1), (1.1, 0.5), (2.0, 0.2))
    ]
    patterns += [
        Pattern(search, f"realistic, {share:.0%} signals", partial(realistic, kind=kind, share=share, seed=seed))
        for search, kind in ((EVALUES, "evalues"), (PVALUES, "pvalues"))
        for share in (0.01, 0.2)
    ]
    return patterns


def random_patterns(count: int, seed: int) -> list[Pattern]:
    """`count` patterns per search with randomly drawn shapes and parameters."""
    rng = np.random.default_rng(seed)

    def log_uniform(lo: float, hi: float) -> float:
        return float(np.exp(rng.uniform(math.log(lo), math.log(hi))))

    patterns = []
    for number in range(count):
        noise_seed = seed + number
        shape = number % 4
        if shape == 0:
            s, sigma = log_uniform(0.3, 3.0), rng.uniform(0.0, 1.5)
            e = Pattern(
                EVALUES,
                f"e-BH line x{s:.3g}, log-normal noise {sigma:.2f}",
                partial(e_noisy_line, scale=s, sigma=sigma, seed=noise_seed),
            )
            s, sigma = log_uniform(0.5, 4.0), rng.uniform(0.0, 1.5)
            p = Pattern(
                PVALUES,
                f"BY line x{s:.3g}, log-normal noise {sigma:.2f}",
                partial(p_noisy_line, scale=s, sigma=sigma, seed=noise_seed),
            )
        elif shape == 1:
            s, g = log_uniform(0.3, 3.0), rng.uniform(0.2, 1.5)
            e = Pattern(EVALUES, f"{s:.3g} (m/k)^{g:.2f} / alpha", partial(e_power, scale=s, power=g))
            s, k, g = log_uniform(1.0, 3.0), rng.uniform(0.1, 0.9), rng.uniform(0.0, 3.0)
            p = Pattern(
                PVALUES,
                f"BY line x{s:.3g} to rank {k:.2f}m, then bent by power {g:.2f}",
                partial(p_bent_line, scale=s, knee=k, power=g),
            )
        elif shape == 2:
            f, c = rng.uniform(0.05, 0.95), log_uniform(0.5, 4.0)
            e = Pattern(EVALUES, f"top {f:.0%} tied at {c:.3g}/alpha, rest 0", partial(e_plateau, share=f, level=c))
            s = log_uniform(0.5, 2.0)
            p = Pattern(PVALUES, f"all tied at {s:.3g} alpha/H_m", partial(p_tied, scale=s))
        else:
            b, s = float(rng.choice([1, 2, 5, 10, 0.01, 0.1])), log_uniform(0.5, 2.0)
            e = Pattern(
                EVALUES, f"blocks of {b:g} on the e-BH line x{s:.3g}, then 0", partial(e_line_blocks, block=b, scale=s)
            )
            b, s = float(rng.choice([1, 2, 5, 10, 0.01, 0.1])), log_uniform(0.8, 2.0)
            p = Pattern(
                PVALUES, f"blocks of {b:g} on the BY line x{s:.3g}, then 1", partial(p_line_blocks, block=b, scale=s)
            )
        patterns += [e, p]
    return patterns


def search_input(pattern: Pattern, m: int, alpha: float) -> list[float]:
    """The pattern's values as a list in the order the search expects."""
    ascending = np.sort(pattern.build(m, alpha)).tolist()
    return ascending if pattern.search == EVALUES else ascending[::-1]


def exact_search(pattern: Pattern, values: list[float], alpha: float) -> Callable[[], int]:
    if pattern.search == EVALUES:
        return lambda: _vardo.largestmeanconsistent_cpp(values, alpha)
    return lambda: _vardo.largestcBYsignificant_cpp(values, alpha)


def score(pattern: Pattern, m: int, alpha: float) -> Score:
    """Fastest of SEARCH_RUNS runs of the exact search, and of converting its list alone."""
    values = search_input(pattern, m, alpha)
    runs = [timed(exact_search(pattern, values, alpha)) for _ in range(SEARCH_RUNS)]
    conversions = [timed(lambda: _vardo.meanconsistent_wrapper_cpp(values, 0, alpha))[0] for _ in range(SEARCH_RUNS)]
    return Score(pattern, min(seconds for seconds, _ in runs), min(conversions), int(runs[0][1]))


def ranked(scores: list[Score], search: str) -> list[Score]:
    """The scores of one search, slowest first."""
    return sorted((s for s in scores if s.pattern.search == search), key=lambda s: s.seconds, reverse=True)


def level_call(pattern: Pattern, values: Values) -> Callable[[], object]:
    return lambda: tarvimo.adjust(values, LEVEL_METHODS[pattern.search])


def fastest(call: Callable[[], object]) -> float:
    """The fastest of up to SEARCH_RUNS runs, one only from SLOW_SCORE_SECONDS on."""
    seconds, _ = timed(call)
    for _ in range(SEARCH_RUNS - 1 if seconds < SLOW_SCORE_SECONDS else 0):
        seconds = min(seconds, timed(call)[0])
    return seconds


def capped_fastest(call: Callable[[], object], cap_seconds: float) -> float | None:
    """The fastest time of the call, None when it runs past the cap."""
    try:
        return fastest(capped(call, cap_seconds))
    except CapExceeded:
        return None


def level_score(pattern: Pattern, sizes: tuple[int, int], alpha: float, cap_seconds: float) -> LevelScore:
    """The pattern's closed levels at both sizes (the larger not run when the smaller was stopped),
    and the exact mask at alpha at the larger."""
    small, large = (pattern.build(m, alpha) for m in sizes)
    small_seconds = capped_fastest(level_call(pattern, small), cap_seconds)
    large_seconds = None if small_seconds is None else capped_fastest(level_call(pattern, large), cap_seconds)
    method = getattr(tarvimo, LEVEL_METHODS[pattern.search])
    mask_seconds = fastest(lambda: method(large, alpha))
    return LevelScore(pattern, sizes, (small_seconds, large_seconds), mask_seconds, cap_seconds)


def growth(
    pattern: Pattern,
    sizes: list[int],
    alpha: float,
    repeats: int,
    limit_seconds: float,
    timed_here: str = SEARCHES,
    cap_seconds: float | None = None,
) -> Growth:
    """Times of the pattern's exact search (or closed levels) at growing m, skipping sizes expected to
    exceed the limit; a call stopped at the cap ends the growth."""
    guard = SizeGuard(limit_seconds)
    seconds: list[float | None] = []
    found: list[int | None] = []
    stopped_at = None
    for m in sizes:
        if stopped_at is not None or not guard.allows(pattern.name, m):
            seconds.append(None)
            found.append(None)
            continue
        if timed_here == LEVELS:
            call = level_call(pattern, pattern.build(m, alpha))
        else:
            call = exact_search(pattern, search_input(pattern, m, alpha), alpha)
        run = measure({"call": call if cap_seconds is None else capped(call, cap_seconds)}, repeats)["call"]
        if run.stopped:
            stopped_at = m
            seconds.append(None)
            found.append(None)
            continue
        guard.record(pattern.name, m, run.seconds)
        seconds.append(run.seconds)
        levels = np.asarray(run.result)  # a search returns its count, adjust the levels
        found.append(int(np.count_nonzero(levels <= alpha)) if timed_here == LEVELS else int(levels))
    return Growth(pattern, sizes, seconds, found, timed_here, stopped_at, cap_seconds)


# Patterns known to be hard for the closed BY search, followed to larger m
# whatever their rank at the scoring size.
ALWAYS_FOLLOWED = ("on the BY line x1.1", "on the BY line x2", "BY line x0.7, log-normal noise 1.1")


def all_patterns(random_count: int, seed: int) -> list[Pattern]:
    """The realistic references first, then the structured and the random patterns."""
    return reference_patterns(seed) + structured_patterns(seed) + random_patterns(random_count, seed)


def find_and_grow(
    search_m: int,
    sizes: list[int],
    random_count: int,
    top: int,
    alpha: float,
    repeats: int,
    limit_seconds: float,
    seed: int,
) -> tuple[list[Score], list[Growth]]:
    """Score every pattern at search_m, then follow the `top` slowest of each
    search, the known hard ones and the realistic reference through the sizes."""
    references = reference_patterns(seed)
    scores = [score(pattern, search_m, alpha) for pattern in all_patterns(random_count, seed)]
    chosen = list(references)
    for search in (EVALUES, PVALUES):
        chosen += [s.pattern for s in ranked(scores, search) if s.pattern not in references][:top]
    chosen += [s.pattern for s in scores if s.pattern.name in ALWAYS_FOLLOWED and s.pattern not in chosen]
    return scores, [growth(pattern, sizes, alpha, repeats, limit_seconds) for pattern in chosen]


def slowest_levels(scores: list[LevelScore], search: str) -> list[LevelScore]:
    """The level scores of one search's patterns, the stopped ones first, then by time at the larger size."""
    own = [s for s in scores if s.pattern.search == search]
    return sorted(own, key=lambda s: (s.seconds[1] is not None, -(s.seconds[1] or 0.0), -(s.seconds[0] or 0.0)))


def find_and_grow_levels(
    search_m: int,
    sizes: list[int],
    random_count: int,
    top: int,
    alpha: float,
    repeats: int,
    limit_seconds: float,
    cap_seconds: float,
    seed: int,
) -> tuple[list[LevelScore], list[Growth]]:
    """Every pattern's closed levels at search_m / 10 and search_m (an exponent each), then the
    realistic references and the `top` slowest of each search followed through the sizes."""
    references = reference_patterns(seed)
    scored = (max(1, search_m // 10), search_m)
    score_cap = min(cap_seconds, LEVEL_SCORE_CAP_SECONDS)
    scores = [level_score(pattern, scored, alpha, score_cap) for pattern in all_patterns(random_count, seed)]
    chosen = list(references)
    for search in (EVALUES, PVALUES):
        chosen += [s.pattern for s in slowest_levels(scores, search) if s.pattern not in references][:top]
    return scores, [growth(pattern, sizes, alpha, repeats, limit_seconds, LEVELS, cap_seconds) for pattern in chosen]
