"""The comparisons on realistic simulated data: the step-up procedures against
their peers, the closed procedures against numpy.sort, the exact searches
against the conversion of their input, and many families in one call."""

from collections.abc import Callable
from dataclasses import dataclass, field
from functools import partial

import numpy as np
from numpy.typing import NDArray
from scipy.stats import false_discovery_control, norm
from statsmodels.stats.multitest import multipletests

import tarvimo
from bench.timing import capped, measure, predicted_seconds
from tarvimo import _fast, _vardo
from tarvimo._cli.demo import Study, simulate_study

SIGNAL_SHARE = 0.1  # the share of true signals in the main tables
SIGNAL_STRENGTH = 3.0  # mean of a signal's z statistic, as in `tarvimo demo`

Mask = NDArray[np.bool_]


@dataclass(frozen=True)
class Comparison:
    """Median time of one call against a reference call on the same data."""

    m: int
    data: str
    subject: str
    subject_seconds: float | None  # None: skipped, see detail
    reference: str
    reference_seconds: float
    runs: int  # samples behind the subject's median
    detail: str = ""
    stopped_at: float | None = None  # the time cap at which the subject was stopped (subject_seconds None)

    @property
    def ratio(self) -> float | None:
        """Subject time over reference time."""
        return None if self.subject_seconds is None else self.subject_seconds / self.reference_seconds


@dataclass(frozen=True)
class Agreement:
    """Whether two routes to the same decisions agreed."""

    m: int
    what: str
    equal: bool


@dataclass
class SizeGuard:
    """Skips a call at a size where its extrapolated time exceeds the limit."""

    limit_seconds: float
    history: dict[str, list[tuple[int, float]]] = field(default_factory=dict)

    def expected(self, label: str, m: int) -> float:
        return predicted_seconds(self.history.get(label, []), m)

    def allows(self, label: str, m: int) -> bool:
        return self.expected(label, m) <= self.limit_seconds

    def record(self, label: str, m: int, seconds: float) -> None:
        self.history.setdefault(label, []).append((m, seconds))


def simulate(m: int, signal_share: float, seed: int) -> Study:
    """One-sided z-tests: p-values P(Z >= z) and likelihood-ratio e-values."""
    return simulate_study(m, signal_share, SIGNAL_STRENGTH, seed)


def share_label(signal_share: float) -> str:
    return f"{signal_share:.0%} signals"


def numpy_ebh(evalues: NDArray[np.float64], alpha: float) -> Mask:
    """Textbook e-BH: reject the k largest e-values for the largest k with k * e_(k) >= m / alpha."""
    m = evalues.size
    descending = -np.sort(-evalues)
    passing = np.flatnonzero(np.arange(1, m + 1) * descending >= m / alpha)
    if passing.size == 0:
        return np.zeros(m, dtype=np.bool_)
    return evalues >= descending[passing[-1]]


def rejections(mask: object) -> str:
    return f"{int(np.count_nonzero(mask)):,} rejections"


# The floor of a step-up procedure: one vectorised pass over the values.
ONE_PASS_P = "one pass (numpy.count_nonzero(p <= alpha))"
ONE_PASS_E = "one pass (numpy.count_nonzero(e >= 1 / alpha))"


def step_up_against_peers(
    sizes: list[int], alpha: float, repeats: int, seed: int
) -> tuple[list[Comparison], list[Agreement]]:
    """tarvimo.by against statsmodels and scipy, tarvimo.ebh against numpy e-BH."""
    comparisons, agreements = [], []
    for m in sizes:
        study = simulate(m, SIGNAL_SHARE, seed)
        p, e = study.pvalues, study.evalues
        runs = measure(
            {
                "tarvimo.by": lambda: tarvimo.by(p, alpha),
                "statsmodels fdr_by": lambda: multipletests(p, alpha=alpha, method="fdr_by")[0],
                "scipy by": lambda: false_discovery_control(p, method="by") <= alpha,
                "tarvimo.ebh": lambda: tarvimo.ebh(e, alpha),
                "numpy e-BH": lambda: numpy_ebh(e, alpha),
                "numpy.sort(pvalues)": lambda: np.sort(p),
                "numpy.sort(evalues)": lambda: np.sort(e),
                ONE_PASS_P: lambda: np.count_nonzero(p <= alpha),
                ONE_PASS_E: lambda: np.count_nonzero(e >= 1 / alpha),
            },
            repeats,
        )
        data = share_label(SIGNAL_SHARE)
        peers = (("tarvimo.by", "statsmodels fdr_by"), ("tarvimo.by", "scipy by"), ("tarvimo.ebh", "numpy e-BH"))
        floors = (
            ("tarvimo.by", "numpy.sort(pvalues)"),
            ("tarvimo.by", ONE_PASS_P),
            ("tarvimo.ebh", "numpy.sort(evalues)"),
            ("tarvimo.ebh", ONE_PASS_E),
        )
        for subject, reference in peers + floors:
            mine, theirs = runs[subject], runs[reference]
            comparisons.append(
                Comparison(
                    m, data, subject, mine.seconds, reference, theirs.seconds, mine.runs, rejections(mine.result)
                )
            )
        for subject, reference in peers:
            agreements.append(
                Agreement(m, f"{subject} = {reference}", np.array_equal(runs[subject].result, runs[reference].result))
            )
    return comparisons, agreements


CLOSED_PROCEDURES: dict[str, tuple[str, Callable[[NDArray[np.float64], float], Mask]]] = {
    "closed_ebh exact": ("evalues", lambda values, alpha: tarvimo.closed_ebh(values, alpha)),
    "closed_ebh approximate": ("evalues", lambda values, alpha: tarvimo.closed_ebh(values, alpha, approximate=True)),
    "closed_by exact": ("pvalues", lambda values, alpha: tarvimo.closed_by(values, alpha)),
    "closed_by approximate": ("pvalues", lambda values, alpha: tarvimo.closed_by(values, alpha, approximate=True)),
}


def closed_against_sort(
    sizes: list[int], sweep_shares: list[float], alpha: float, repeats: int, seed: int, guard: SizeGuard
) -> list[Comparison]:
    """The closed procedures against numpy.sort of the same array.

    Every size at the main signal share; the other shares at the
    second-largest size (the largest when there is one size only).
    """
    sweep_m = sizes[-2] if len(sizes) > 1 else sizes[-1]
    cases = [(m, SIGNAL_SHARE) for m in sizes] + [(sweep_m, share) for share in sweep_shares]
    comparisons = []
    for m, share in cases:
        study = simulate(m, share, seed)
        arrays = {"evalues": study.evalues, "pvalues": study.pvalues}
        sorts = {"evalues": "numpy.sort(evalues)", "pvalues": "numpy.sort(pvalues)"}
        calls: dict[str, Callable[[], object]] = {
            sorts[kind]: (lambda values=values: np.sort(values)) for kind, values in arrays.items()
        }
        skipped = {}
        for label, (kind, procedure) in CLOSED_PROCEDURES.items():
            guard_label = f"{label} {share}"
            if guard.allows(guard_label, m):
                calls[label] = lambda procedure=procedure, values=arrays[kind]: procedure(values, alpha)
            else:
                skipped[label] = guard.expected(guard_label, m)
        runs = measure(calls, repeats)
        for label, (kind, _) in CLOSED_PROCEDURES.items():
            reference = runs[sorts[kind]]
            if label in skipped:
                comparisons.append(
                    Comparison(
                        m,
                        share_label(share),
                        label,
                        None,
                        sorts[kind],
                        reference.seconds,
                        0,
                        f"skipped: about {skipped[label]:.0f} s expected",
                    )
                )
                continue
            run = runs[label]
            guard.record(f"{label} {share}", m, run.seconds)
            comparisons.append(
                Comparison(
                    m,
                    share_label(share),
                    label,
                    run.seconds,
                    sorts[kind],
                    reference.seconds,
                    run.runs,
                    rejections(run.result),
                )
            )
    return comparisons


def searches_against_conversion(
    sizes: list[int], alpha: float, repeats: int, seed: int, guard: SizeGuard
) -> tuple[list[Comparison], list[Agreement]]:
    """_vardo's exact searches on Python lists against converting the list alone.

    The conversion-only call is meanconsistent_wrapper_cpp(values, 0, alpha),
    which converts its list and returns at once for r = 0.
    """
    comparisons, agreements = [], []
    for m in sizes:
        study = simulate(m, SIGNAL_SHARE, seed)
        ascending_e = np.sort(study.evalues).tolist()
        descending_p = np.sort(study.pvalues)[::-1].tolist()
        searches = {
            "largestmeanconsistent_cpp": (ascending_e, "conversion of the e-value list"),
            "largestcBYsignificant_cpp": (descending_p, "conversion of the p-value list"),
        }
        calls: dict[str, Callable[[], object]] = {
            "conversion of the e-value list": lambda: _vardo.meanconsistent_wrapper_cpp(ascending_e, 0, alpha),
            "conversion of the p-value list": lambda: _vardo.meanconsistent_wrapper_cpp(descending_p, 0, alpha),
            "largestmeanconsistent_cpp": lambda: _vardo.largestmeanconsistent_cpp(ascending_e, alpha),
        }
        if guard.allows("largestcBYsignificant_cpp", m):
            calls["largestcBYsignificant_cpp"] = lambda: _vardo.largestcBYsignificant_cpp(descending_p, alpha)
        runs = measure(calls, repeats)
        for search, (_, conversion) in searches.items():
            reference = runs[conversion]
            if search not in runs:
                expected = guard.expected(search, m)
                comparisons.append(
                    Comparison(
                        m,
                        share_label(SIGNAL_SHARE),
                        search,
                        None,
                        conversion,
                        reference.seconds,
                        0,
                        f"skipped: about {expected:.0f} s expected",
                    )
                )
                continue
            guard.record(search, m, runs[search].seconds)
            comparisons.append(
                Comparison(
                    m,
                    share_label(SIGNAL_SHARE),
                    search,
                    runs[search].seconds,
                    conversion,
                    reference.seconds,
                    runs[search].runs,
                    f"{runs[search].result:,} rejections",
                )
            )
        public = int(np.count_nonzero(tarvimo.closed_ebh(study.evalues, alpha)))
        agreements.append(
            Agreement(
                m, "largestmeanconsistent_cpp = tarvimo.closed_ebh", runs["largestmeanconsistent_cpp"].result == public
            )
        )
    return comparisons, agreements


def many_families(
    families: int, size: int, alpha: float, repeats: int, seed: int
) -> tuple[list[Comparison], list[Agreement]]:
    """Families given by a label per value, a long table in random order: the procedures' own
    thread pool with one and with two threads, and one with a Python call per family."""
    study = simulate(families * size, SIGNAL_SHARE, seed)
    order = np.random.default_rng(seed).permutation(families * size)
    labels = np.repeat(np.arange(families), size)[order]
    tables = {"pvalues": study.pvalues[order], "evalues": study.evalues[order]}
    members = np.split(np.argsort(labels, kind="stable"), np.arange(1, families) * size)
    procedures: dict[str, tuple[str, Callable[..., Mask], str]] = {
        "closed_by exact": ("pvalues", tarvimo.closed_by, "closed_by"),
        "closed_ebh exact": ("evalues", tarvimo.closed_ebh, "closed_ebh"),
        "by": ("pvalues", tarvimo.by, "by"),
    }

    def call_per_family(procedure: Callable[..., Mask], values: NDArray[np.float64]) -> Mask:
        mask = np.zeros(values.size, dtype=np.bool_)
        for positions in members:
            mask[positions] = procedure(values[positions], alpha)
        return mask

    def core_call_per_family(method: str, values: NDArray[np.float64]) -> Mask:
        """The bare core calls: each family's values gathered and handed to the one-family route, unchecked."""
        mask = np.zeros(values.size, dtype=np.bool_)
        for positions in members:
            mask[positions] = _fast.rejections(values[positions], method, alpha)
        return mask

    comparisons, agreements = [], []
    data = f"{families:,} families"
    for label, (kind, procedure, method) in procedures.items():
        values = tables[kind]
        runs = measure(
            {
                "1 thread": lambda: procedure(values, alpha, groups=labels, workers=1),
                "2 threads": lambda: procedure(values, alpha, groups=labels, workers=2),
                "a call per family": lambda: call_per_family(procedure, values),
                "bare core calls": lambda: core_call_per_family(method, values),
            },
            repeats,
        )
        one, two, loop, bare = runs["1 thread"], runs["2 threads"], runs["a call per family"], runs["bare core calls"]
        comparisons.append(
            Comparison(
                size,
                data,
                f"{label}, 2 threads",
                two.seconds,
                f"{label}, 1 thread",
                one.seconds,
                two.runs,
                f"throughput x{one.seconds / two.seconds:.2f} with 2 threads",
            )
        )
        comparisons.append(
            Comparison(
                size,
                data,
                f"{label}, 1 thread",
                one.seconds,
                f"{label}, a call per family",
                loop.seconds,
                one.runs,
                rejections(one.result),
            )
        )
        comparisons.append(
            Comparison(
                size,
                data,
                f"{label}, 1 thread",
                one.seconds,
                f"{label}, bare core calls",
                bare.seconds,
                one.runs,
                rejections(one.result),
            )
        )
        agreements.append(
            Agreement(size, f"{label}: 1 thread = 2 threads ({data})", np.array_equal(one.result, two.result))
        )
        agreements.append(
            Agreement(size, f"{label}: groups = a call per family ({data})", np.array_equal(one.result, loop.result))
        )
    return comparisons, agreements


# tarvimo.adjust: (subject, reference, method, max_level). BY and e-BH levels against sorting the values;
# the closed levels against the exact mask at alpha, with every level and with those below 0.1 only.
LEVEL_CASES = (
    ("adjust by", "numpy.sort(pvalues)", "by", 1.0),
    ("adjust ebh", "numpy.sort(evalues)", "ebh", 1.0),
    *(
        (f"adjust {method}, max_level={max_level:g}", f"{method} exact", method, max_level)
        for method in ("closed_by", "closed_ebh")
        for max_level in (1.0, 0.1)
    ),
)
LEVEL_EVIDENCE = {"by": "pvalues", "closed_by": "pvalues", "ebh": "evalues", "closed_ebh": "evalues"}


def stopped_comparison(
    m: int, subject: str, reference: str, reference_seconds: float, cap: float, at: int
) -> Comparison:
    where = "" if at == m else f" at m = {at:,}, not run at larger m"
    return Comparison(
        m,
        share_label(SIGNAL_SHARE),
        subject,
        None,
        reference,
        reference_seconds,
        0,
        f"stopped at the {cap:g} s cap{where}",
        cap,
    )


def levels_against_floors(
    sizes: list[int], alpha: float, repeats: int, seed: int, cap_seconds: float
) -> tuple[list[Comparison], list[Agreement]]:
    """tarvimo.adjust at each size: BY and e-BH levels against numpy.sort, the closed levels
    against the exact mask at alpha; the levels at or below alpha checked against that mask.

    Every call runs under the cap; a subject stopped at one size is not run at
    the larger ones, where it can only take longer.
    """
    comparisons, agreements = [], []
    stopped: dict[str, int] = {}  # subject -> the size at which it was stopped
    for m in sizes:
        study = simulate(m, SIGNAL_SHARE, seed)
        arrays = {"pvalues": study.pvalues, "evalues": study.evalues}
        calls: dict[str, Callable[[], object]] = {
            f"numpy.sort({kind})": partial(np.sort, values) for kind, values in arrays.items()
        }
        for method in ("closed_by", "closed_ebh"):
            calls[f"{method} exact"] = partial(getattr(tarvimo, method), arrays[LEVEL_EVIDENCE[method]], alpha)
        for subject, _, method, max_level in LEVEL_CASES:
            if subject not in stopped:
                values = arrays[LEVEL_EVIDENCE[method]]
                call = partial(tarvimo.adjust, values, method, max_level=max_level)
                calls[subject] = capped(call, cap_seconds)
        runs = measure(calls, repeats)
        for subject, reference, method, max_level in LEVEL_CASES:
            reference_seconds = runs[reference].seconds
            if subject in stopped or runs[subject].stopped:
                at = stopped.setdefault(subject, m)
                comparisons.append(stopped_comparison(m, subject, reference, reference_seconds, cap_seconds, at))
                continue
            run = runs[subject]
            levels = np.asarray(run.result)
            comparisons.append(
                Comparison(
                    m,
                    share_label(SIGNAL_SHARE),
                    subject,
                    run.seconds,
                    reference,
                    reference_seconds,
                    run.runs,
                    f"{int(np.count_nonzero(levels <= alpha)):,} levels at or below alpha",
                )
            )
            if alpha < max_level:  # the levels answer for every alpha below max_level
                mask = getattr(tarvimo, method)(arrays[LEVEL_EVIDENCE[method]], alpha)
                agreements.append(
                    Agreement(
                        m, f"{subject}: levels <= alpha = tarvimo.{method}", np.array_equal(levels <= alpha, mask)
                    )
                )
    return comparisons, agreements


TRUNCATED_PROCEDURES = ("by", "bh", "ebh", "closed_by", "closed_ebh")
TRUNCATED_SIGNAL_SHARE = 0.01  # of the candidates
TRUNCATED_DATA = "1% signals"
# The closed searches again on a list of signals only: every e-value strong, where the
# exact closed e-BH scan once walked about alpha times their sum counts one at a time.
TRUNCATED_STRONG_DATA = "signals only"
TRUNCATED_STRONG_PROCEDURES = ("closed_by", "closed_ebh")
TRUNCATED_SIGNAL_STRENGTH = 8.0  # mean z of a signal: strong enough to stand out among 10^12 tests


@dataclass(frozen=True)
class TruncatedRun:
    """One procedure on a truncated list: `candidates` values given of a family of `m`."""

    procedure: str
    candidates: int
    m: int
    seconds: float | None  # None: refused or stopped, see refusal and stopped_at
    runs: int
    refusal: str = ""  # the error the call raised
    stopped_at: float | None = None
    detail: str = ""
    data: str = TRUNCATED_DATA


def truncated_study(candidates: int, m: int, seed: int, signal_share: float = TRUNCATED_SIGNAL_SHARE) -> Study:
    """The `candidates` strongest of m one-sided z-tests, in random order.

    The null p-values among them are the smallest of m uniform ones, which lie
    about uniformly below candidates / m; the signals have z ~ N(8, 1).
    E-values are likelihood ratios as in `simulate`.
    """
    rng = np.random.default_rng(seed)
    is_signal = rng.permutation(candidates) < round(signal_share * candidates)
    signals = int(np.count_nonzero(is_signal))
    z = np.empty(candidates)
    z[~is_signal] = norm.isf(rng.uniform(0.0, (candidates - signals) / m, candidates - signals))
    z[is_signal] = rng.normal(TRUNCATED_SIGNAL_STRENGTH, 1.0, signals)
    return Study(norm.sf(z), np.exp(SIGNAL_STRENGTH * z - SIGNAL_STRENGTH**2 / 2), is_signal)


def truncated_lists(
    candidates: int, m: int, alpha: float, repeats: int, seed: int, cap_seconds: float
) -> list[TruncatedRun]:
    """Each procedure on the same truncated list of `candidates` values with the family's size m given,
    then the closed searches on a list of signals only."""
    plans = [
        (truncated_study(candidates, m, seed), TRUNCATED_DATA, TRUNCATED_PROCEDURES),
        (truncated_study(candidates, m, seed, signal_share=1.0), TRUNCATED_STRONG_DATA, TRUNCATED_STRONG_PROCEDURES),
    ]
    results = []
    for study, data, procedures in plans:
        for procedure in procedures:
            values = study.evalues if procedure in ("ebh", "closed_ebh") else study.pvalues
            call = capped(partial(getattr(tarvimo, procedure), values, alpha, m=m), cap_seconds)
            run_of = partial(TruncatedRun, procedure, candidates, m, data=data)
            try:
                run = measure({procedure: call}, repeats)[procedure]
            except (ValueError, OverflowError) as refused:
                results.append(run_of(None, 0, f"{type(refused).__name__}: {refused}"))
                continue
            if run.stopped:
                results.append(run_of(None, 0, stopped_at=cap_seconds))
                continue
            results.append(run_of(run.seconds, run.runs, detail=rejections(run.result)))
    return results
