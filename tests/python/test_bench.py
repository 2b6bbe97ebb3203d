"""The benchmark suite: a run at tiny sizes, its numpy e-BH reference, and
the timing and growth helpers its figures rest on."""

import gzip
import json
import math
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import tarvimo
from bench import adversarial, command_line, machine, run, targets, timing, workloads
from bench.dask_family import DaskRun
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
from bench.workloads import numpy_ebh

ROOT = Path(__file__).resolve().parents[2]
TINY_RUN = [
    "--sizes",
    "200",
    "500",
    "--shares",
    "0.2",
    "--families",
    "6",
    "--family-size",
    "300",
    "--small-families",
    "40",
    "--small-family-size",
    "50",
    "--search-m",
    "100",
    "--adversarial-sizes",
    "100",
    "300",
    "--random-patterns",
    "2",
    "--top",
    "1",
    "--command-lines",
    "300",
    "--command-rows",
    "200",
    "--stream-rows",
    "400",
    "--dask-m",
    "3000",
    "--level-sizes",
    "200",
    "500",
    "--truncated-candidates",
    "500",
    "--time-cap",
    "1",
    "--repeats",
    "2",
]


def test_a_tiny_run_writes_the_report_the_plot_and_agreeing_figures(tmp_path):
    paths = {
        "--output": tmp_path / "bench.md",
        "--plot": tmp_path / "bench.png",
        "--json": tmp_path / "bench.json",
        "--cache": tmp_path / "cache",
    }
    command = [sys.executable, str(ROOT / "bench" / "run.py"), *TINY_RUN]
    done = subprocess.run(
        command + [str(item) for pair in paths.items() for item in pair], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr

    figures = json.loads(paths["--json"].read_text())
    assert figures["agreements"] and all(a["equal"] for a in figures["agreements"])
    # by against two peers and ebh against one, then each against its sort and one pass, at each size
    subjects = ("tarvimo.by", "tarvimo.by", "tarvimo.ebh", "tarvimo.by", "tarvimo.by", "tarvimo.ebh", "tarvimo.ebh")
    assert [(c["m"], c["subject"]) for c in figures["peers"]] == [(m, s) for m in (200, 500) for s in subjects]
    # four closed procedures at each size and at the one extra share
    assert len(figures["closed"]) == 4 * 3
    for comparison in figures["peers"] + figures["closed"] + figures["searches"] + figures["families"]:
        assert comparison["ratio"] == pytest.approx(comparison["subject_seconds"] / comparison["reference_seconds"])
    assert [g["pattern"]["name"] for g in figures["growths"]][:2] == [adversarial.REFERENCE_NAME] * 2
    # each command line at its size, with the start-up and the child's peak memory
    runs = figures["command_line"]
    assert [(r["command"], r["m"]) for r in runs] == [
        (command_line.TEXT_COMMAND, 300),
        (command_line.TABLE_COMMAND, 200),
        (command_line.STREAM_COMMAND, 400),
    ]
    assert all(r["seconds"] > 0 and r["startup_seconds"] > 0 and r["peak_mib"] > 10 for r in runs)
    # the gzipped tables are decompressed alone too, and stay in the cache for the next run
    assert [r["zcat_seconds"] is not None for r in runs] == [False, True, True]
    assert sorted(p.name for p in paths["--cache"].iterdir()) == [
        f"table-v{command_line.TABLE_FORMAT}-{m}-20240611.tsv.gz" for m in (200, 400)
    ]
    # every level case at each size, the levels at or below alpha equal to the mask
    assert [(c["m"], c["subject"]) for c in figures["levels"]] == [
        (m, case[0]) for m in (200, 500) for case in workloads.LEVEL_CASES
    ]
    assert sum("levels <= alpha" in a["what"] for a in figures["agreements"]) == 2 * len(workloads.LEVEL_CASES)
    # a list of 500 with m = 10^12, for every procedure, then one of signals only for the closed searches
    assert [(r["procedure"], r["data"]) for r in figures["truncated"]] == [
        *((p, workloads.TRUNCATED_DATA) for p in workloads.TRUNCATED_PROCEDURES),
        *((p, workloads.TRUNCATED_STRONG_DATA) for p in workloads.TRUNCATED_STRONG_PROCEDURES),
    ]
    # each timed, or stopped at the cap (closed e-BH's exact search on a short list of a huge m, nothing rejected)
    assert all(
        (r["seconds"] is None) == (bool(r["refusal"]) or r["stopped_at"] is not None) for r in figures["truncated"]
    )
    # every pattern's levels at two sizes; the references and one pattern per search followed
    level_scores = figures["level_scores"]
    assert len(level_scores) == len(figures["scores"]) and all(s["sizes"] == [10, 100] for s in level_scores)
    assert [g["timed"] for g in figures["level_growths"]] == [adversarial.LEVELS] * 4
    assert all(g["verdict"] for g in figures["growths"] + figures["level_growths"])
    assert figures["sort_probe"]["vectorised"] in (True, False)
    # one family on Dask past max_candidates = 30: BY decided after counting passes, the approximate
    # closed BY refused without any
    dask_runs = {r["procedure"]: r for r in figures["dask"]}
    assert dask_runs["by"]["decided"] and dask_runs["by"]["equal"] and dask_runs["by"]["passes"] >= 1
    assert not dask_runs["closed_by approximate"]["decided"] and dask_runs["closed_by approximate"]["passes"] == 0

    report = paths["--output"].read_text()
    for heading in (
        "## Machine",
        "## Targets",
        "## Step-up procedures",
        "## Closed procedures",
        "## Exact searches",
        "## Many families",
        "## Adjusted p-values",
        "## Truncated lists past 2^31",
        "## The command line, end to end",
        "## One family on Dask past the client's limit",
        "## Adversarial inputs",
        "### Growth with m",
        "## Adversarial inputs for the closed levels",
        "### Growth of the levels with m",
        "| numpy.sort | ",
    ):
        assert heading in report
    assert f"All {len(figures['agreements'])} cross-checks agree" in report
    assert "Generated by `python bench/run.py --sizes 200 500 " in report and str(tmp_path) not in report
    assert "![time against m](bench.png)" in report
    assert paths["--plot"].read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_numpy_ebh_rejects_the_textbook_set():
    # m / alpha = 40: 1 * 50 and 2 * 25 reach it, 3 * 3 does not
    assert numpy_ebh(np.array([1.0, 50.0, 25.0, 3.0]), 0.1).tolist() == [False, True, True, False]
    # a tie at the boundary is rejected whole; a product exactly m / alpha passes
    assert numpy_ebh(np.array([20.0, 20.0, 0.5, 0.5]), 0.1).tolist() == [True, True, False, False]
    assert not numpy_ebh(np.array([0.5, 2.0]), 0.5).any()
    assert numpy_ebh(np.array([np.inf, 0.0]), 0.05).tolist() == [True, False]


@pytest.mark.parametrize("m", [1, 7, 100, 5000])
def test_numpy_ebh_matches_tarvimo_off_the_boundary(m):
    rng = np.random.default_rng(m)
    for scale in (0.5, 2.0, 4.0):
        evalues = np.exp(scale * rng.standard_normal(m)) * rng.choice([1.0, 50.0], m)
        ties = np.round(evalues, 1)  # blocks of equal values
        for values in (evalues, ties):
            assert np.array_equal(numpy_ebh(values, 0.05), tarvimo.ebh(values, 0.05))


def test_measure_interleaves_the_calls_and_keeps_the_warm_up_result():
    order = []
    calls = {name: (lambda name=name: order.append(name) or len(order)) for name in ("a", "b", "c")}
    runs = timing.measure(calls, repeats=3)
    # warm-ups, then three rounds, each starting one call further on
    assert order == list("abc") + list("abc") + list("bca") + list("cab")
    assert [(runs[n].runs, runs[n].result) for n in "abc"] == [(3, 1), (3, 2), (3, 3)]


def test_measure_times_a_slow_call_once(monkeypatch):
    monkeypatch.setattr(timing, "SLOW_CALL_SECONDS", 0.0)
    order = []
    runs = timing.measure({"slow": lambda: order.append("slow")}, repeats=5)
    assert order == ["slow"] and runs["slow"].runs == 1 and runs["slow"].seconds > 0


def test_growth_helpers():
    assert timing.growth_exponent([1_000, 10_000, 100_000], [1e-3, 1e-1, 10.0]) == pytest.approx(2.0)
    assert timing.predicted_seconds([], 10**6) == 0.0
    assert timing.predicted_seconds([(1_000, 0.5)], 2_000) == pytest.approx(0.5 * 2**timing.DEFAULT_EXPONENT)
    # the last two sizes set the growth: m^1.5 here, m^2 before
    assert timing.predicted_seconds([(10, 1.0), (100, 100.0), (1_000, 100.0 * 10**1.5)], 10_000) == pytest.approx(
        100_000.0
    )
    # faster than linear growth is taken as linear
    assert timing.predicted_seconds([(10, 1.0), (100, 1.0)], 1_000) == pytest.approx(10.0)

    pattern = adversarial.reference_patterns(seed=1)[0]
    growth = adversarial.Growth(pattern, [10, 100, 1_000, 10_000], [1e-5, 1e-3, 1e-1, None], [0, 1, 2, None])
    assert growth.exponent == pytest.approx(2.0)  # the 1e-5 s size is left out, the skipped one too
    assert growth.last_exponent == pytest.approx(2.0)


def test_growth_skips_sizes_beyond_the_limit_and_patterns_suit_their_search():
    for pattern in adversarial.structured_patterns(seed=1) + adversarial.random_patterns(4, seed=1):
        values = adversarial.search_input(pattern, 50, 0.05)
        assert len(values) == 50
        if pattern.search == adversarial.EVALUES:
            assert values == sorted(values) and values[0] >= 0.0
        else:
            assert values == sorted(values, reverse=True) and 0.0 <= values[-1] and values[0] <= 1.0

    pattern = adversarial.reference_patterns(seed=1)[1]
    growth = adversarial.growth(pattern, [100, 1_000, 10_000], 0.05, repeats=1, limit_seconds=0.0)
    assert growth.seconds[0] is not None and growth.seconds[1:] == [None, None]


def test_line_patterns_sit_on_the_critical_lines():
    from statsmodels.stats.multitest import multipletests

    m, alpha = 1_000, 0.05
    # k * e_(k) = m / alpha for every k: e-BH rejects all; 1% lower, none
    assert numpy_ebh(adversarial.e_on_line(m, alpha, 1.0), alpha).all()
    assert not numpy_ebh(adversarial.e_on_line(m, alpha, 0.99), alpha).any()
    # p_(k) = k alpha / (m H_m): BY rejects all just below the line, none just above
    assert multipletests(adversarial.p_on_line(m, alpha, 0.999), alpha=alpha, method="fdr_by")[0].all()
    assert not multipletests(adversarial.p_on_line(m, alpha, 1.001), alpha=alpha, method="fdr_by")[0].any()
    for tied in (adversarial.e_tied_line(m, alpha, 10), adversarial.p_tied_line(m, alpha, 10)):
        assert np.unique(tied).size == m // 10
    assert adversarial.alternating(10, 3).tolist() == [True] * 3 + [False] * 3 + [True] * 3 + [False]
    assert np.flatnonzero(np.diff(adversarial.alternating(100, 0.25))).tolist() == [24, 49, 74]


def test_a_size_beyond_the_time_limit_is_skipped_and_its_target_not_judged():
    guard = workloads.SizeGuard(limit_seconds=0.0)
    comparisons = workloads.closed_against_sort([200, 400], [], 0.05, repeats=1, seed=1, guard=guard)
    first, second = comparisons[:4], comparisons[4:]
    assert all(c.m == 200 and c.ratio is not None for c in first)
    assert all(c.m == 400 and c.ratio is None and c.detail.startswith("skipped") for c in second)
    assert all(c.reference_seconds > 0 for c in second)  # the sort is still timed
    target = next(t for t in TARGETS if t.subject == "closed_by exact")
    assert target_row(target, comparisons)[1] == "not measured"


def comparison(m, subject, subject_seconds, reference, reference_seconds, data="10% signals"):
    return workloads.Comparison(m, data, subject, subject_seconds, reference, reference_seconds, runs=1)


def test_targets_are_judged_at_their_size_on_their_data():
    targets = {t.description: t for t in TARGETS}
    by_target = targets["tarvimo.by: at most 1/3 of the time of statsmodels fdr_by"]
    thread = targets["closed_by exact, 1,000 families: 2 threads at least 1.8 x the throughput of 1"]
    sparse = targets["closed_by exact, 1% signals: at most 10 x numpy.sort"]
    approximate = targets["closed_by approximate: not slower than exact"]
    large = targets["closed_by exact at m = 10,000,000: under 3 s"]
    comparisons = [
        comparison(100_000, "tarvimo.by", 1.0, "statsmodels fdr_by", 10.0),
        comparison(1_000_000, "tarvimo.by", 5.0, "statsmodels fdr_by", 10.0),
        comparison(1_000_000, "tarvimo.by", 1.0, "statsmodels fdr_by", 10.0, data="1% signals"),
        comparison(10_000, "closed_by exact, 2 threads", 0.5, "closed_by exact, 1 thread", 1.0, data="1,000 families"),
        comparison(10_000, "closed_by exact, 2 threads", 0.9, "closed_by exact, 1 thread", 1.0, data="9 families"),
        comparison(1_000_000, "closed_by exact", 0.3, "numpy.sort(pvalues)", 0.01, data="1% signals"),
        comparison(1_000_000, "closed_by exact", 0.02, "numpy.sort(pvalues)", 0.01),
        comparison(1_000_000, "closed_by approximate", 0.03, "numpy.sort(pvalues)", 0.01),
        comparison(10_000_000, "closed_by exact", 2.5, "numpy.sort(pvalues)", 0.1),
    ]
    assert target_row(by_target, comparisons)[1:] == [
        "0.50",
        "m = 1,000,000, 10% signals",
        "missed: 1.5 times the limit 0.33",
    ]
    assert target_row(by_target, comparisons[:1])[1:] == ["0.10", "m = 100,000, 10% signals", "met"]
    assert target_row(thread, comparisons)[1:] == ["x2.00", "m = 10,000, 1,000 families", "met"]
    assert target_row(sparse, comparisons)[1:] == [
        "30.00",
        "m = 1,000,000, 1% signals",
        "missed: 3.0 times the limit 10.00",
    ]
    # against another subject of the same table: its own time
    assert target_row(approximate, comparisons)[1:] == [
        "1.50",
        "m = 1,000,000, 10% signals",
        "missed: 1.5 times the limit 1.00",
    ]
    assert target_row(large, comparisons)[1:] == ["2.50 s", "m = 10,000,000, 10% signals", "met"]


def test_the_quoted_command_leaves_out_output_paths():
    assert run.figure_arguments(
        ["--quick", "--output", "a.md", "--plot=b.png", "--repeats", "3", "--json", "c.json"]
    ) == ["--quick", "--repeats", "3"]
    assert run.figure_arguments(["--cache", "/tmp/c", "--time-cap", "5", "--cache=d"]) == ["--time-cap", "5"]


def test_command_targets_are_judged_at_their_size():
    target = COMMAND_TARGETS[0]

    def runs(seconds):
        return [
            command_line.CommandRun(target.command, target.m, seconds, 0.3, 3, 200.0),
            command_line.CommandRun(target.command, 1_000, 0.01, 0.3, 3, 90.0),
        ]

    assert command_target_row(target, runs(0.8))[1:] == ["0.80 s", "m = 2,000,000", "met"]
    assert command_target_row(target, runs(2.5))[3] == "missed: 2.5 times the limit"
    assert command_target_row(target, runs(None)[1:])[3] == "not measured"


def test_the_dask_target_needs_the_in_memory_mask():
    target = DASK_TARGETS[0]

    def run(decided, equal):
        return [DaskRun(target.m, target.procedure, 20_000, 2, 9_000, decided, equal, 1.5, 0.05, 3)]

    assert dask_target_row(target, run(True, True))[1:] == [
        "decided after 2 counting passes, 1.50 s",
        "m = 2,000,000",
        "met",
    ]
    assert dask_target_row(target, run(True, False))[3] == "missed: not the in-memory mask"
    assert dask_target_row(target, run(False, None))[3] == "missed: refused"
    assert dask_target_row(target, [])[1] == "not measured"


def test_a_call_past_its_cap_is_stopped_and_the_others_timed():
    runs = timing.measure({"slow": timing.capped(lambda: time.sleep(5), 0.05), "fast": lambda: 7}, repeats=2)
    assert runs["slow"].stopped and runs["slow"].runs == 0 and runs["slow"].result is None
    assert math.isinf(runs["slow"].seconds)
    assert not runs["fast"].stopped and (runs["fast"].runs, runs["fast"].result) == (2, 7)
    with pytest.raises(timing.CapExceeded):  # a cap of 0 allows nothing (an interval timer of 0 never fires)
        timing.capped(lambda: 1, 0.0)()
    assert timing.capped(lambda: 3, 1.0)() == 3  # a call within its cap returns as usual


def test_the_cap_stops_the_core_as_ctrl_c_does():
    # Closed BY levels on values along the BY line take minutes at this size unless they are fast: either
    # way the capped call ends soon after its cap, and the core decides normally afterwards.
    values = adversarial.p_on_line(100_000, 0.05, 1.01)
    start = time.perf_counter()
    try:
        timing.capped(lambda: tarvimo.adjust(values, "closed_by"), 0.2)()
    except timing.CapExceeded:
        pass
    assert time.perf_counter() - start < 2.0
    assert tarvimo.closed_by(values[:100], 0.05).all()


def test_whether_the_sort_is_vectorised_is_measured_against_the_stable_sort():
    assert machine.vector_extensions("fpu avx2 avx512f avx512dq sse4_2") == "AVX2, AVX-512"
    assert machine.vector_extensions("fpu avx2 avx512f") == "AVX2, no AVX-512"  # DQ is needed too
    assert machine.vector_extensions("fpu sse2") == "no AVX2, no AVX-512"
    assert machine.vector_extensions(None).startswith("unknown")
    assert machine.SortProbe(0.010, 0.030).vectorised  # from 3 times faster on
    assert not machine.SortProbe(0.010, 0.0299).vectorised
    assert "not vectorised" in machine.sort_note(machine.SortProbe(0.05, 0.06))
    probe = machine.probe_sort()
    assert probe.default_seconds > 0 and probe.stable_seconds > 0


def test_a_stopped_subject_misses_its_target_only_when_the_cap_proves_it():
    targets_by_name = {t.description: t for t in TARGETS}
    every = targets_by_name["adjust closed_by, max_level=1: at most 20 x the exact mask at alpha"]
    quick = targets_by_name["adjust closed_by, max_level=1 at m = 10,000: under 10 ms"]

    def stopped(m, reference_seconds, cap):
        return workloads.Comparison(
            m, "10% signals", every.subject, None, every.reference, reference_seconds, 0, "", stopped_at=cap
        )

    # 10 s over a 0.05 s mask: the ratio exceeds 200, beyond the limit 20
    assert target_row(every, [stopped(10**6, 0.05, 10.0)])[1:] == [
        "> 200",
        "m = 1,000,000, 10% signals",
        "missed: stopped at the 10 s cap",
    ]
    # a cap of 10 s over a 1 s mask proves only a ratio above 10
    assert target_row(every, [stopped(10**6, 1.0, 10.0)])[3].startswith("not judged")
    assert target_row(quick, [stopped(10_000, 1e-3, 10.0)])[1:] == [
        "> 10,000 ms",
        "m = 10,000, 10% signals",
        "missed: stopped at the 10 s cap",
    ]
    met = comparison(10_000, every.subject, 0.004, every.reference, 1e-3)
    assert target_row(quick, [met])[1:] == ["4 ms", "m = 10,000, 10% signals", "met"]
    assert target_row(quick, [comparison(10_000, every.subject, 0.0125, every.reference, 1e-3)])[3] == (
        "missed: 1.2 times the limit"
    )


def test_a_target_for_a_vectorised_sort_is_judged_only_where_the_sort_is_vectorised():
    target = next(t for t in TARGETS if t.vectorised_sort)
    found = [comparison(10_000_000, "closed_by exact", 0.33, "numpy.sort(pvalues)", 0.3)]
    assert target_row(target, found, vectorised_sort=False)[1:] == [
        "330 ms (1.10 x numpy.sort(pvalues))",
        "m = 10,000,000, 10% signals",
        "not judged here: numpy's sort is not vectorised on this machine",
    ]
    assert target_row(target, found, vectorised_sort=True)[3] == "missed: 3.3 times the limit"
    fast = [comparison(10_000_000, "closed_by exact", 0.08, "numpy.sort(pvalues)", 0.1)]
    assert target_row(target, fast, vectorised_sort=True)[3] == "met"


def test_the_streamed_command_line_is_held_to_its_memory_and_to_zcat():
    target = STREAM_TARGETS[0]

    def runs(peak_mib, seconds, zcat_seconds):
        return [command_line.CommandRun(target.command, target.m, seconds, 0.3, 1, peak_mib, zcat_seconds=zcat_seconds)]

    # 200 MiB is 210 MB
    assert stream_target_row(target, runs(200.0, 8.0, 2.5))[1:] == [
        "peak 210 MB, 3.20 x zcat (8.0 s)",
        "m = 20,000,000",
        "met",
    ]
    assert stream_target_row(target, runs(300.0, 12.5, 2.5))[3] == (
        "missed: peak memory 1.05 times the limit, time 1.25 times the limit"
    )
    assert stream_target_row(target, runs(286.0, 10.0, 2.5))[3] == "met"  # 299.9 MB, exactly 4 x zcat
    assert stream_target_row(target, runs(200.0, 8.0, None))[3] == "not measured"


def test_a_truncated_list_that_is_refused_is_not_available():
    target = TRUNCATED_TARGETS[0]
    assert "m = 10^12" in target.description and targets.power_of_ten(3_000) == "3,000"

    def run(seconds=None, refusal="", stopped_at=None):
        return [
            workloads.TruncatedRun(
                target.procedure, target.candidates, target.m, seconds, 1, refusal=refusal, stopped_at=stopped_at
            )
        ]

    refused = run(refusal="ValueError: m = 1,000,000,000,000 is more than 2,147,483,647; see the docs")
    assert truncated_target_row(target, refused)[1:] == [
        "refused",
        "1,000,000 of m = 1,000,000,000,000",
        "not available: the call raises ValueError: m = 1,000,000,000,000 is more than 2,147,483,647",
    ]
    assert truncated_target_row(target, run(0.8))[1::2] == ["0.80 s", "met"]
    assert truncated_target_row(target, run(3.0))[3] == "missed: 2.0 times the limit"
    assert truncated_target_row(target, run(stopped_at=10.0))[1::2] == ["> 10 s", "missed: stopped at the 10 s cap"]
    assert truncated_target_row(target, [])[3] == "not measured"


def test_a_truncated_study_lies_within_the_omission_bounds():
    alpha, m = 0.05, 10**12
    study = workloads.truncated_study(2_000, m, seed=3)
    assert study.pvalues.shape == study.evalues.shape == (2_000,)
    assert np.count_nonzero(study.is_signal) == 20
    nulls = study.pvalues[~study.is_signal]
    assert 0 < nulls.min() and nulls.max() <= 2_000 / m  # the smallest of m uniform p-values
    assert np.median(study.pvalues[study.is_signal]) < 1e-14  # z ~ N(8, 1)
    # each candidate could matter: p within alpha + 1e-10 for BY, e above 1 / alpha for e-BH
    assert (study.pvalues <= alpha + 1e-10).all() and (study.evalues > 1 / alpha).all()
    # larger e-values go with smaller p-values
    order = np.argsort(study.pvalues)
    assert (np.diff(study.evalues[order]) <= 0).all()


def test_growth_is_judged_against_m_log_m():
    pattern = adversarial.reference_patterns(seed=1)[1]
    sizes = [1_000, 10_000, 100_000, 1_000_000]

    def growth(seconds, **stopped):
        return adversarial.Growth(pattern, sizes, seconds, [0] * len(sizes), adversarial.LEVELS, **stopped)

    assert timing.m_log_m_exponent(sizes) == pytest.approx(1.10, abs=0.005)
    m_log_m = [1e-7 * m * math.log(m) for m in sizes]  # 0.69 ms at 1e3 is left out of the fit
    assert growth(m_log_m).verdict == "about m log m over m = 10,000 ... 1,000,000"
    power = [1e-7 * m**1.5 for m in sizes]
    assert growth(power).exponent == pytest.approx(1.5)
    assert growth(power).verdict == "faster than m log m over m = 1,000 ... 1,000,000"
    assert growth([1e-3, 2e-3, None, None]).verdict.startswith("not judged: fewer than 3 sizes")
    # a steep slope shows over two sizes already
    assert growth([1e-3, 1e-1, None, None]).verdict == "faster than m log m over m = 1,000 ... 10,000"
    # stopped at 10 s at 1e5 after 0.1 s at 1e4: the step is steeper than m^2
    steep = growth([1e-2, 1e-1, None, None], stopped_at=100_000, cap_seconds=10.0)
    assert steep.exponent_above == pytest.approx(2.0)
    assert steep.verdict == "faster than m log m: the step to m = 100,000 exceeds 2.00"
    # a gentle step into the cap proves nothing; the fit over the timed sizes decides
    gentle = growth([1e-3, 1.1e-2, 1.2e-1, None], stopped_at=1_000_000, cap_seconds=1.0)
    assert gentle.verdict == "about m log m over m = 1,000 ... 100,000"

    def score(small, large):
        return adversarial.LevelScore(pattern, (100, 1_000), (small, large), 1e-4, 10.0)

    assert score(1e-3, 0.1).exponent == pytest.approx(2.0) and score(1e-3, 0.1).exponent_above is None
    assert score(1e-3, None).exponent is None and score(1e-3, None).exponent_above == pytest.approx(4.0)
    assert score(1e-4, 1e-2).exponent is None  # under 1 ms at the smaller size: overhead, not growth
    assert [
        s.seconds
        for s in adversarial.slowest_levels([score(1e-3, 0.1), score(2e-3, None), score(1e-3, 0.2)], pattern.search)
    ] == [(2e-3, None), (1e-3, 0.2), (1e-3, 0.1)]


def test_a_gzipped_table_is_written_once_into_the_cache(tmp_path, monkeypatch):
    path = command_line.cached_table(tmp_path / "cache", 50, seed=5)
    with gzip.open(path, "rt") as file:
        lines = file.read().splitlines()
    assert lines[0] == "gene\tp\te" and len(lines) == 51
    pvalues = np.array([float(line.split("\t")[1]) for line in lines[1:]])
    assert np.array_equal(pvalues, workloads.simulate(50, workloads.SIGNAL_SHARE, 5).pvalues)  # 17 digits

    def no_rewrite(*arguments):
        raise AssertionError("the cached table was written again")

    monkeypatch.setattr(command_line, "write_table", no_rewrite)
    assert command_line.cached_table(tmp_path / "cache", 50, seed=5) == path
    assert [p.name for p in (tmp_path / "cache").iterdir()] == [path.name]  # no partial file left


def test_levels_stopped_at_the_cap_are_not_run_at_larger_sizes():
    comparisons, agreements = workloads.levels_against_floors([200, 400], 0.05, repeats=1, seed=1, cap_seconds=0.0)
    assert len(comparisons) == 2 * len(workloads.LEVEL_CASES) and not agreements
    first, second = comparisons[: len(workloads.LEVEL_CASES)], comparisons[len(workloads.LEVEL_CASES) :]
    assert all(c.subject_seconds is None and c.stopped_at == 0.0 and c.reference_seconds > 0 for c in comparisons)
    assert all(c.detail == "stopped at the 0 s cap" for c in first)
    assert all(c.detail == "stopped at the 0 s cap at m = 200, not run at larger m" for c in second)
    comparisons, agreements = workloads.levels_against_floors([300], 0.05, repeats=1, seed=1, cap_seconds=60.0)
    assert all(c.subject_seconds is not None for c in comparisons)
    assert len(agreements) == len(workloads.LEVEL_CASES) and all(a.equal for a in agreements)


def test_the_command_lines_size_guard_extrapolates_linearly():
    guard = workloads.SizeGuard(limit_seconds=150.0)
    assert command_line.expected_seconds(guard, command_line.TEXT_COMMAND, 10**9) == 0.0  # nothing timed yet
    # 2.6 s at 1e5 and 3.3 s at 1e6, mostly start-up: 33 s at 1e7, where a fitted m^2.9 of the time above a
    # noisy start-up would have said 490 s and skipped the size
    guard.record(command_line.TABLE_COMMAND, 100_000, 2.6)
    guard.record(command_line.TABLE_COMMAND, 1_000_000, 3.3)
    assert command_line.expected_seconds(guard, command_line.TABLE_COMMAND, 10_000_000) == pytest.approx(33.0)
