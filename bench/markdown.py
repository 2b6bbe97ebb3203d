"""The benchmark report in markdown: the machine, the targets, the tables and where the time goes."""

from bench.adversarial import (
    ABOUT_M_LOG_M,
    EVALUES,
    LEVEL_METHODS,
    LEVEL_SCORE_CAP_SECONDS,
    LEVELS,
    MIN_JUDGED_SIZES,
    PVALUES,
    REFERENCE_NAME,
    Growth,
    LevelScore,
    Score,
    ranked,
    slowest_levels,
)
from bench.command_line import STARTUP, ZCAT, CommandRun
from bench.dask_family import LIMIT_SHARE, PARTITIONS, DaskRun
from bench.machine import SortProbe, cpu_model, machine
from bench.targets import (
    COMMAND_TARGETS,
    DASK_TARGETS,
    STREAM_TARGETS,
    TARGETS,
    TRUNCATED_TARGETS,
    command_target_row,
    dask_target_row,
    stream_target_row,
    target_row,
    truncated_target_row,
)
from bench.timing import m_log_m_exponent
from bench.workloads import Agreement, Comparison, TruncatedRun

RANKED_SHOWN = 8  # patterns listed per search in the search table


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


def command_table(runs: list[CommandRun]) -> str:
    header = [
        "m",
        "command",
        "median (ms)",
        "runs",
        f"{STARTUP} (ms)",
        f"{ZCAT} (ms)",
        "x zcat",
        "peak memory (MiB)",
        "values (MiB)",
        "result",
    ]
    rows = [
        [
            f"{r.m:,}",
            r.command,
            milliseconds(r.seconds),
            str(r.runs),
            milliseconds(r.startup_seconds),
            "" if r.zcat_seconds is None else milliseconds(r.zcat_seconds),
            "" if r.zcat_ratio is None else f"{r.zcat_ratio:.2f}",
            "" if r.peak_mib is None else f"{r.peak_mib:,.0f}",
            f"{r.values_mib:,.0f}",
            r.detail,
        ]
        for r in runs
    ]
    return table(header, rows)


def truncated_table(runs: list[TruncatedRun]) -> str:
    header = ["procedure", "data", "candidates", "m", "median (ms)", "runs", "result"]
    rows = [
        [
            f"tarvimo.{r.procedure}",
            r.data,
            f"{r.candidates:,}",
            f"{r.m:,}",
            "refused" if r.refusal else (f"> {r.stopped_at:g} s" if r.seconds is None else milliseconds(r.seconds)),
            str(r.runs),
            r.refusal or r.detail,
        ]
        for r in runs
    ]
    return table(header, rows)


def dask_table(runs: list[DaskRun]) -> str:
    header = [
        "m",
        "procedure",
        "max_candidates",
        "passes",
        "candidates after",
        "decided",
        "same as in memory",
        "dask (ms)",
        "runs",
        "in memory (ms)",
        "ratio",
        "result",
    ]
    rows = [
        [
            f"{r.m:,}",
            r.procedure,
            f"{r.max_candidates:,}",
            str(r.passes),
            "" if r.candidates is None else f"{r.candidates:,}",
            "yes" if r.decided else "no",
            "" if r.equal is None else ("yes" if r.equal else "NO"),
            milliseconds(r.seconds),
            str(r.runs),
            milliseconds(r.in_memory_seconds),
            f"{r.ratio:.1f}",
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
            f"> {c.stopped_at * 1e3:,.0f}" if c.stopped_at is not None else milliseconds(c.subject_seconds),
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


def growth_subject(g: Growth) -> str:
    if g.timed == LEVELS:
        return f"adjust {LEVEL_METHODS[g.pattern.search]}"
    return g.pattern.search


def growth_time(seconds: float | None, m: int, g: Growth) -> str:
    if m == g.stopped_at:
        return f"> {g.cap_seconds:g} s"
    return milliseconds(seconds)


def growth_table(growths: list[Growth]) -> str:
    sizes = growths[0].sizes
    header = (
        ["timed", "pattern"]
        + [f"m = {m:,} (ms)" for m in sizes]
        + ["exponent", "last step", "growth", "rejections at largest m"]
    )
    rows = []
    for g in growths:
        largest = [r for r in g.rejections if r is not None]
        rows.append(
            [growth_subject(g), g.pattern.name]
            + [growth_time(t, m, g) for m, t in zip(g.sizes, g.seconds, strict=True)]
            + [
                "" if g.exponent is None else f"{g.exponent:.2f}",
                "" if g.last_exponent is None else f"{g.last_exponent:.2f}",
                g.verdict,
                f"{largest[-1]:,} of {g.timed_points()[0][-1]:,}" if largest else "",
            ]
        )
    return table(header, rows)


def level_exponent_text(score: LevelScore) -> str:
    if score.exponent is not None:
        return f"{score.exponent:.2f}"
    if score.exponent_above is not None:
        return f"> {score.exponent_above:.2f}"
    return ""


def level_ranking_table(scores: list[LevelScore], search: str) -> str:
    """The slowest patterns' closed levels at the larger scored size, with the realistic reference."""
    ordered = slowest_levels(scores, search)
    reference = next(s for s in ordered if s.pattern.name == REFERENCE_NAME)
    shown = ordered[:RANKED_SHOWN]
    if reference not in shown:
        shown.append(reference)
    small_m, large_m = scores[0].sizes
    rows = [
        [
            str(ordered.index(s) + 1),
            s.pattern.name,
            "stopped" if s.seconds[0] is None else milliseconds(s.seconds[0]),
            f"> {s.cap_seconds:g} s" if s.seconds[1] is None else milliseconds(s.seconds[1]),
            "" if s.seconds[1] is None else f"{s.seconds[1] / s.mask_seconds:.0f}",
            level_exponent_text(s),
        ]
        for s in shown
    ]
    header = ["rank", "pattern", f"m = {small_m:,} (ms)", f"m = {large_m:,} (ms)", "x mask", "exponent"]
    return table(header, rows)


def level_exponent_summary(scores: list[LevelScore]) -> str:
    """How many patterns' levels grow faster than about m log m between the two scored sizes."""
    small_m, large_m = scores[0].sizes
    stopped = [s for s in scores if s.seconds[1] is None]
    exponents = [s.exponent for s in scores if s.exponent is not None]
    beyond = [e for e in exponents if e > ABOUT_M_LOG_M]
    spread = f"; exponents {min(exponents):.2f} to {max(exponents):.2f}" if exponents else ""
    return (
        f"Every pattern's closed levels at m = {small_m:,} and {large_m:,}, an exponent each (m log m alone grows "
        f"with exponent {m_log_m_exponent([small_m, large_m]):.2f} there): {len(exponents)} of {len(scores)} "
        f"patterns timed at both sizes from 1 ms on{spread}; {len(beyond)} of them above {ABOUT_M_LOG_M:g}; "
        f"{len(stopped)} stopped at the cap (or not run) at m = {large_m:,}."
    )


def markdown(
    *,
    command: str,
    total_seconds: float,
    settings: dict[str, str],
    peers: list[Comparison],
    closed: list[Comparison],
    searches: list[Comparison],
    families: list[Comparison],
    levels: list[Comparison],
    command_runs: list[CommandRun],
    dask_runs: list[DaskRun],
    truncated_runs: list[TruncatedRun],
    scores: list[Score],
    growths: list[Growth],
    level_scores: list[LevelScore],
    level_growths: list[Growth],
    agreements: list[Agreement],
    search_m: int,
    plot_name: str,
    probe: SortProbe,
) -> str:
    all_comparisons = peers + closed + searches + families + levels
    cap = settings["time cap"]
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
        f"limit (extrapolated from the smaller sizes) is skipped. Where a time cap applies ({cap}: the levels, the "
        "truncated lists), a call that runs past it is stopped and reported as `> cap`, and its larger sizes are "
        "not run.",
        "Data: simulated one-sided z-tests as in `tarvimo demo`: nulls z ~ N(0, 1) and signals z ~ N(3, 1), "
        "p-values P(Z >= z) and likelihood-ratio e-values exp(3z - 4.5); alpha = "
        f"{settings['alpha']}. {agreement_line}",
        "## Machine",
        table(["", ""], [[key, value] for key, value in machine(probe).items()]),
        "Settings: " + ", ".join(f"{key} {value}" for key, value in settings.items()) + ".",
        "## Targets",
        f"Every row was measured on this machine: {cpu_model()}, numpy's sort "
        f"{'vectorised' if probe.vectorised else 'not vectorised'} (see Machine).",
        table(
            ["target", "measured", "where", "status"],
            [target_row(t, all_comparisons, probe.vectorised) for t in TARGETS]
            + [command_target_row(t, command_runs) for t in COMMAND_TARGETS]
            + [stream_target_row(t, command_runs) for t in STREAM_TARGETS]
            + [dask_target_row(t, dask_runs) for t in DASK_TARGETS]
            + [truncated_target_row(t, truncated_runs) for t in TRUNCATED_TARGETS],
        ),
        "Ratios are time over time (lower is better), except the thread targets (throughput with two threads "
        "over throughput with one) and the rows in seconds. A row for a machine with a vectorised sort is judged "
        "only where numpy's default sort is vectorised (measured against its scalar stable sort, see Machine). "
        "Where a call raises (a size the package does not take yet), the row says so: not available.",
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
        "## Adjusted p-values",
        "`tarvimo.adjust` on the same data: the BY and e-BH levels against `numpy.sort` of the values, the closed "
        "levels (with every level, `max_level=1`, and with the levels below 0.1 only) against the exact mask of "
        "the same procedure at alpha. The levels at or below alpha are checked equal to that mask. Each call runs "
        f"under the {cap} cap.",
        comparison_table(levels),
        "## Truncated lists past 2^31",
        "Each procedure on the strongest of a family of m one-sided z-tests given as a truncated list with `m`: "
        "the null p-values among them the smallest of m uniform ones, 1% of them signals with z ~ N(8, 1), "
        "e-values exp(3z - 4.5); the closed procedures also on a list of signals only, where every e-value is "
        "strong. A call that raises is reported with its message.",
        truncated_table(truncated_runs),
        "## The command line, end to end",
        "`python -m tarvimo` in a child process on files written for it (p-values with 17 digits; the table has a "
        "gene label, a p-value and an e-value per row), output discarded, against the start-up of the same program "
        f"(`{STARTUP}`, which imports everything `run` does) and, for a gzipped table, against decompressing it "
        f"alone (`{ZCAT}`, timed in turns with the command). Peak memory: the child's resident set at its largest "
        "(its own high-water mark, read before it exits); values: the float64 column read. The gzipped tables are "
        "written once into a cache directory and reused.",
        command_table(command_runs),
        "## One family on Dask past the client's limit",
        f"`tarvimo.dask` on one family in {PARTITIONS} partitions (persisted) on a `distributed.LocalCluster` of two "
        f"worker processes of one thread, with `max_candidates` = {LIMIT_SHARE:.0%} of m, fewer than the values "
        "within the omission bound: counting passes on the workers shrink the candidates until they fit (closed BY "
        "only to about the p-values below (alpha + 1e-10) / H_m; approximate closed BY not at all). Timed: the call "
        "and the computation of the mask (or the call until it refuses), against the in-memory call on the same "
        "array; the masks are checked equal.",
        dask_table(dask_runs),
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
        f"Growth: about m log m where the exponent is at most {ABOUT_M_LOG_M:g} over at least {MIN_JUDGED_SIZES} "
        "sizes of 1 ms or more (m log m itself grows with exponent 1 + 1 / ln m, 1.07 to 1.15 over 1e3 ... 1e6); "
        "faster where it is above over two sizes or more, or where a size stopped at the cap proves a steeper "
        "step. Times under 1 ms are left out: call overhead, not growth.",
        "## Adversarial inputs for the closed levels",
        "The same patterns, their closed levels (`tarvimo.adjust` with closed_ebh for the e-value patterns, "
        "closed_by for the p-value ones, `max_level=1`) on the values as the pattern builds them, each call under "
        f"the {cap} cap ({LEVEL_SCORE_CAP_SECONDS:g} s at the two scoring sizes). x mask: the levels' time over "
        "the exact mask at alpha on the same values.",
        level_exponent_summary(level_scores),
        f"### Slowest patterns' levels: {EVALUES} patterns, closed_ebh",
        level_ranking_table(level_scores, EVALUES),
        f"### Slowest patterns' levels: {PVALUES} patterns, closed_by",
        level_ranking_table(level_scores, PVALUES),
        "### Growth of the levels with m",
        growth_table(level_growths),
    ]
    return "\n\n".join(sections) + "\n"
