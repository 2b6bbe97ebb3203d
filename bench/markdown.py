"""The benchmark report: machine description, targets, tables and a plot."""

import datetime
import os
import platform
from dataclasses import dataclass, replace
from importlib.metadata import PackageNotFoundError, version
from pathlib import Path

from adversarial import EVALUES, PVALUES, REFERENCE_NAME, Growth, Score, ranked
from command_line import STARTUP, TABLE_COMMAND, TEXT_COMMAND, CommandRun
from workloads import SIGNAL_SHARE, Agreement, Comparison, share_label

PACKAGES = ("tarvimo", "numpy", "pyarrow", "scipy", "statsmodels", "matplotlib")
TARGET_M = 1_000_000
RANKED_SHOWN = 8  # patterns listed per search in the search table


@dataclass(frozen=True)
class Target:
    """A bound on subject time / reference time at size m (or the largest m measured) on `data`.

    The reference is a call timed against the subject, or another subject of
    the same table at the same size and data (its time then taken from its own row).
    """

    description: str
    subject: str
    reference: str
    limit: float  # largest allowed time ratio; with `seconds`, the largest time of the subject
    speed_up: bool = False  # stated as reference / subject >= 1 / limit
    data: str = share_label(SIGNAL_SHARE)
    m: int = TARGET_M
    seconds: bool = False


def closed_by_share_target(share: float, limit: float) -> Target:
    return Target(
        f"closed_by exact, {share_label(share)}: at most {limit:g} x numpy.sort",
        "closed_by exact",
        "numpy.sort(pvalues)",
        limit,
        data=share_label(share),
    )


def thread_target(procedure: str) -> Target:
    return Target(
        f"{procedure} exact, 1,000 families: 2 threads at least 1.8 x the throughput of 1",
        f"{procedure} exact, 2 threads",
        f"{procedure} exact, 1 thread",
        1 / 1.8,
        speed_up=True,
        data="1,000 families",
        m=10_000,
    )


def overhead_target(procedure: str) -> Target:
    return Target(
        f"{procedure}, 20,000 families of 100 in one call: at most 1.5 x the bare core calls",
        f"{procedure}, 1 thread",
        f"{procedure}, bare core calls",
        1.5,
        data="20,000 families",
        m=100,
    )


TARGETS = (
    Target("tarvimo.by: at most 1/3 of the time of statsmodels fdr_by", "tarvimo.by", "statsmodels fdr_by", 1 / 3),
    Target("tarvimo.by: faster than scipy", "tarvimo.by", "scipy by", 1.0),
    Target("closed_ebh exact: at most 1.5 x numpy.sort", "closed_ebh exact", "numpy.sort(evalues)", 1.5),
    Target("closed_ebh exact, stretch: at most 1.2 x numpy.sort", "closed_ebh exact", "numpy.sort(evalues)", 1.2),
    Target("closed_ebh approximate: not slower than exact", "closed_ebh approximate", "closed_ebh exact", 1.0),
    *(closed_by_share_target(share, 10.0) for share in (0.01, SIGNAL_SHARE, 0.2)),
    closed_by_share_target(SIGNAL_SHARE, 5.0),
    Target("closed_by approximate: not slower than exact", "closed_by approximate", "closed_by exact", 1.0),
    Target(
        "closed_by exact at m = 10,000,000: under 3 s", "closed_by exact", "numpy.sort(pvalues)", 3.0,
        m=10_000_000, seconds=True,
    ),
    Target(
        "largestmeanconsistent_cpp on a list: at most 1.5 x the conversion alone",
        "largestmeanconsistent_cpp",
        "conversion of the e-value list",
        1.5,
    ),
    thread_target("closed_by"),
    thread_target("closed_ebh"),
    *(overhead_target(procedure) for procedure in ("closed_by exact", "closed_ebh exact", "by")),
)

@dataclass(frozen=True)
class CommandTarget:
    """A bound on the end-to-end time of a command line at one size."""

    description: str
    command: str
    m: int
    limit_seconds: float


COMMAND_TARGETS = (
    CommandTarget("tarvimo run by on 2,000,000 lines: at most 1 s end to end", TEXT_COMMAND, 2_000_000, 1.0),
    CommandTarget(
        "tarvimo run closed-by on a gzipped TSV of 10,000,000 rows: under 10 s", TABLE_COMMAND, 10_000_000, 10.0
    ),
)


# Where the closed searches spend their time (profiled with callgrind, whose
# instruction counts do not depend on the machine's load).
COST_NOTES = [
    "**closed_by.** The exact search tests the counts m, m - 1, ... down to the answer. A count whose check "
    "fails at the size where the previous one failed is settled in a few operations when every p-value outside "
    "that size's candidate part is cut off (one e-value decides it); that covers almost all of the m counts on "
    "realistic data. The other checks decide each size from rigorous bounds on the sums the literal loop would "
    "compute (exact groups of small ceilings, sums of 1/p and 1/p^2 for the rest, the convexity of the overlap "
    "sums), sweep a check's sizes in size order once it has not failed early, and certify whole ranges of sizes "
    "at once; every result is bit for bit that of the literal check. Callgrind at m = 1,000,000 with 10% signals: "
    "about 60 million instructions, a sixth of them the harmonic numbers (one sequential pass) and most of the "
    "rest the settled counts. The slowest pattern is the BY line x2: every e-value has its own ceiling and the "
    "passing sizes have relative margins near 1e-5, so a few hundred sizes sum their O(m) terms exactly "
    "(vectorised), and some 570,000 failing counts are certified one by one (1.4 billion instructions in all at "
    "m = 1,000,000, about 0.2 s).",
    "**closed_ebh exact against numpy.sort.** The public call checks the values, copies them (leaving out "
    "NaN), sorts the copy with numpy's vectorised sort, builds the running sum, searches and marks the mask "
    "with vector comparisons; at m = 1,000,000 the sort is about 70% of the call, the running sum (a serial "
    "chain of additions) and the copy most of the rest, the search well under a millisecond: called again and "
    "again, the call takes about 1.4 times the sort. It needs 16 MB of working memory, which numpy's own "
    "arrays do not share (numpy maps large arrays with huge pages). After a closed BY call, whose larger "
    "working memory glibc then hands back to the system, those 16 MB are fresh pages again: about 1,900 page "
    "faults, some 4 ms on this virtual machine. In the table the exact call runs soon after the closed BY "
    "calls, the approximate one right after the exact one: hence its lower figure.",
    "**Many families on two threads.** Each family's values are gathered from scattered positions and its "
    "mask written back to them, which is bound by memory latency rather than by the core, and the input "
    "checks and the factorising of the labels run before the pool on one thread; a family of 4,096 values "
    "or more is sorted by numpy. With 1,000 families of 10,000 the closed procedures reach about 1.7 to 1.9 "
    "times the throughput of one thread, the step-up procedures, whose per-family work is smallest, about 1.6.",
    "**largestmeanconsistent_cpp on a list against the conversion alone.** The exact search builds the "
    "running sum of the list once, a serial chain of additions (about 0.6 ns a value; every bit-identical "
    "search needs it), then proves runs of failing counts at once from bounds over each run and clears the "
    "rows of the checks that go further in blocks, searching only the rows the bounds leave. With 10% "
    "signals at m = 1,000,000 it makes 90 checks instead of 972,000, 10.5 million instructions in all "
    "(callgrind), 95% of them the running sum; the rest of the call converts the list.",
]


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def package_version(name: str) -> str:
    try:
        return version(name)
    except PackageNotFoundError:
        return "not installed"


def machine() -> dict[str, str]:
    return {
        "CPU": cpu_model(),
        "cores": f"{os.cpu_count()} ({len(os.sched_getaffinity(0))} usable)",
        "OS": platform.platform(),
        "Python": platform.python_version(),
        **{name: package_version(name) for name in PACKAGES},
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    }


def target_comparison(target: Target, comparisons: list[Comparison]) -> Comparison | None:
    """The comparison the target is judged on: at the target's m if measured there, else the largest m."""
    on_data = [c for c in comparisons if c.data == target.data]
    matches = [c for c in on_data if c.subject == target.subject and c.reference == target.reference]
    if not matches:  # the reference is another subject of the table
        others = {(c.m, c.reference): c for c in on_data if c.subject == target.reference}
        matches = [
            replace(c, reference=target.reference, reference_seconds=others[c.m, c.reference].subject_seconds)
            for c in on_data
            if c.subject == target.subject and (c.m, c.reference) in others
            and others[c.m, c.reference].subject_seconds is not None
        ]
    at_target = [c for c in matches if c.m == target.m]
    if target.seconds:  # a time in seconds holds at its own size only
        return (at_target or [None])[-1]
    return (at_target or sorted(matches, key=lambda c: c.m) or [None])[-1]


def target_row(target: Target, comparisons: list[Comparison]) -> list[str]:
    found = target_comparison(target, comparisons)
    if found is None or found.ratio is None or found.subject_seconds is None:
        return [target.description, "not measured", "", "not measured"]
    where = f"m = {found.m:,}, {found.data}"
    ratio = found.ratio
    if target.seconds:
        seconds = found.subject_seconds
        measured = f"{seconds:.2f} s"
        status = "met" if seconds <= target.limit else f"missed: {seconds / target.limit:.1f} times the limit"
    elif target.speed_up:
        measured, required = f"x{1 / ratio:.2f}", 1 / target.limit
        status = "met" if ratio <= target.limit else f"missed: x{1 / ratio:.2f} instead of x{required:.2f}"
    else:
        measured = f"{ratio:.2f}"
        status = (
            "met" if ratio <= target.limit else f"missed: {ratio / target.limit:.1f} times the limit {target.limit:.2f}"
        )
    return [target.description, measured, where, status]


def command_target_row(target: CommandTarget, runs: list[CommandRun]) -> list[str]:
    found = [r for r in runs if r.command == target.command and r.m == target.m and r.seconds is not None]
    if not found:
        return [target.description, "not measured", "", "not measured"]
    seconds = found[0].seconds
    assert seconds is not None
    status = "met" if seconds <= target.limit_seconds else f"missed: {seconds / target.limit_seconds:.1f} times the limit"
    return [target.description, f"{seconds:.2f} s", f"m = {target.m:,}", status]


def command_table(runs: list[CommandRun]) -> str:
    header = ["m", "command", "median (ms)", "runs", f"{STARTUP} (ms)", "peak memory (MiB)", "values (MiB)", "result"]
    rows = [
        [
            f"{r.m:,}",
            r.command,
            milliseconds(r.seconds),
            str(r.runs),
            milliseconds(r.startup_seconds),
            "" if r.peak_mib is None else f"{r.peak_mib:,.0f}",
            f"{r.values_mib:,.0f}",
            r.detail,
        ]
        for r in runs
    ]
    return table(header, rows)


def milliseconds(seconds: float | None) -> str:
    if seconds is None:
        return "skipped"
    ms = seconds * 1e3
    return f"{ms:,.0f}" if ms >= 100 else f"{ms:.3g}"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def comparison_table(comparisons: list[Comparison]) -> str:
    header = ["m", "data", "timed", "median (ms)", "runs", "against", "median (ms)", "ratio", "result"]
    rows = [
        [
            f"{c.m:,}",
            c.data,
            c.subject,
            milliseconds(c.subject_seconds),
            str(c.runs),
            c.reference,
            milliseconds(c.reference_seconds),
            "" if c.ratio is None else f"{c.ratio:.2f}",
            c.detail,
        ]
        for c in comparisons
    ]
    return table(header, rows)


def ranking_table(scores: list[Score], search: str) -> str:
    ordered = ranked(scores, search)
    reference = next(s for s in ordered if s.pattern.name == REFERENCE_NAME)
    shown = ordered[:RANKED_SHOWN]
    if reference not in shown:
        shown.append(reference)
    rows = [
        [
            str(ordered.index(s) + 1),
            s.pattern.name,
            milliseconds(s.seconds),
            f"{s.seconds / s.conversion_seconds:.1f}",
            f"{s.seconds / reference.seconds:.1f}",
            f"{s.rejections:,}",
        ]
        for s in shown
    ]
    return table(["rank", "pattern", "time (ms)", "x conversion", "x realistic", "rejections"], rows)


def growth_table(growths: list[Growth]) -> str:
    sizes = growths[0].sizes
    header = (
        ["search", "pattern"]
        + [f"m = {m:,} (ms)" for m in sizes]
        + ["exponent", "last step", "rejections at largest m"]
    )
    rows = []
    for g in growths:
        largest = [r for r in g.rejections if r is not None]
        rows.append(
            [g.pattern.search, g.pattern.name]
            + [milliseconds(t) for t in g.seconds]
            + [
                "" if g.exponent is None else f"{g.exponent:.2f}",
                "" if g.last_exponent is None else f"{g.last_exponent:.2f}",
                f"{largest[-1]:,} of {g.timed_points()[0][-1]:,}" if largest else "",
            ]
        )
    return table(header, rows)


def markdown(
    *,
    command: str,
    total_seconds: float,
    settings: dict[str, str],
    peers: list[Comparison],
    closed: list[Comparison],
    searches: list[Comparison],
    families: list[Comparison],
    command_runs: list[CommandRun],
    scores: list[Score],
    growths: list[Growth],
    agreements: list[Agreement],
    search_m: int,
    plot_name: str,
) -> str:
    all_comparisons = peers + closed + searches + families
    disagreements = [a for a in agreements if not a.equal]
    agreement_line = (
        f"All {len(agreements)} cross-checks agree (masks, counts, one thread against two)."
        if not disagreements
        else "Cross-checks that DISAGREE: " + "; ".join(f"{a.what} at m = {a.m:,}" for a in disagreements)
    )
    sections = [
        "# Benchmarks",
        f"Generated by `{command}` in {total_seconds / 60:.1f} minutes. Each figure is the median over repeated "
        "runs after one warm-up (`time.perf_counter`); the calls compared in a table take turns round by round on "
        "the same data, so their ratios are the figures to trust: absolute times depend on the machine and its load. "
        "A call whose warm-up takes 2 s or more is timed once; a size at which a call is expected to exceed the time "
        "limit (extrapolated from the smaller sizes) is skipped.",
        "Data: simulated one-sided z-tests as in `tarvimo demo`: nulls z ~ N(0, 1) and signals z ~ N(3, 1), "
        "p-values P(Z >= z) and likelihood-ratio e-values exp(3z - 4.5); alpha = "
        f"{settings['alpha']}. {agreement_line}",
        "## Machine",
        table(["", ""], [[key, value] for key, value in machine().items()]),
        "Settings: " + ", ".join(f"{key} {value}" for key, value in settings.items()) + ".",
        "## Targets",
        table(
            ["target", "measured", "where", "status"],
            [target_row(t, all_comparisons) for t in TARGETS]
            + [command_target_row(t, command_runs) for t in COMMAND_TARGETS],
        ),
        "Ratios are time over time (lower is better), except the thread targets (throughput with two threads "
        "over throughput with one) and the rows in seconds.",
        "### Where the time goes",
        *COST_NOTES,
        f"![time against m]({plot_name})",
        "## Step-up procedures against their peers",
        '`tarvimo.by` against statsmodels `multipletests(method="fdr_by")` and scipy '
        '`false_discovery_control(method="by")` (rejecting where the adjusted p-value is at most alpha), '
        "`tarvimo.ebh` against a plain numpy e-BH (sort, compare k e_(k) with m / alpha). Ratio: tarvimo's time "
        "over the peer's; the masks are checked equal.",
        comparison_table(peers),
        "## Closed procedures against sorting",
        "`closed_ebh` and `closed_by`, exact and approximate, through the public API on arrays in random order, "
        "against `numpy.sort` of the same array.",
        comparison_table(closed),
        "## Exact searches on Python lists against the conversion alone",
        "`_vardo` takes Python lists (e-values ascending, p-values largest first) and converts them element by "
        "element. The conversion alone is timed as `meanconsistent_wrapper_cpp(values, 0, alpha)`, which converts "
        "its list and returns at once.",
        comparison_table(searches),
        "## Many families in one call",
        "Families given by a label per value (`groups`), a long table in random order, decided in one call on the "
        "procedures' own thread pool with one and with two threads (`workers`), with a Python call of the public "
        "function per family, and with the bare core calls (each family's values gathered by numpy and handed to "
        "the unchecked one-family route `_fast.rejections`). Ratios: time with two threads over time with one, and "
        "one thread over the loops.",
        comparison_table(families),
        "## The command line, end to end",
        "`python -m tarvimo` in a child process on files written for it (p-values with 17 digits; the table has a "
        "gene label, a p-value and an e-value per row), output discarded, against the start-up of the same program "
        f"(`{STARTUP}`, which imports everything `run` does). Peak memory: the child's resident set at its largest; "
        "values: the float64 column read.",
        command_table(command_runs),
        "## Adversarial inputs for the exact searches",
        f"Structured patterns (values on the critical lines, ties, alternating blocks, plateaus) and randomly "
        f"drawn ones were timed at m = {search_m:,} on `_vardo.largestmeanconsistent_cpp` and "
        "`_vardo.largestcBYsignificant_cpp` (fastest of three runs), the slowest were then followed to larger m "
        "with realistic data (10% signals) as the yardstick. The e-BH line puts the k-th largest e-value at "
        "m / (k alpha), the BY line the k-th smallest p-value at k alpha / (m H_m). Exponent: slope of log time "
        "against log m over the sizes that took at least 1 ms; last step: the slope between the two largest sizes.",
        f"### Slowest patterns at m = {search_m:,}: {EVALUES}",
        ranking_table(scores, EVALUES),
        f"### Slowest patterns at m = {search_m:,}: {PVALUES}",
        ranking_table(scores, PVALUES),
        "### Growth with m",
        growth_table(growths),
    ]
    return "\n\n".join(sections) + "\n"


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
    return "-" if label.startswith(("tarvimo", "closed", "largest", "p: ", "e: ")) else "--"


def plot(path: Path, public: list[Comparison], searches: list[Comparison], growths: list[Growth]) -> None:
    """Log-log time against m: the public API, peers and sorting; the exact searches on lists."""
    from matplotlib import colormaps
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    tab20 = colormaps["tab20"].colors
    colours = tab20[::2] + tab20[1::2]  # the ten strong colours first, then their pale partners
    figure = Figure(figsize=(13.0, 7.0), layout="constrained")
    FigureCanvasAgg(figure)  # render off screen, whatever backend is configured
    left, right = figure.subplots(1, 2)
    curves = {left: list(series(public).items()), right: []}
    curves[right] += [(label, points) for label, points in series(searches).items() if label.startswith("conversion")]
    for g in growths:
        sizes, seconds = g.timed_points()
        kind = "e" if g.pattern.search == EVALUES else "p"
        curves[right].append((f"{kind}: {g.pattern.name}", list(zip(sizes, seconds, strict=True))))
    left.set_title(f"Public API and peers on realistic data ({SIGNAL_SHARE:.0%} signals)")
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
    figure.savefig(path, dpi=110)
