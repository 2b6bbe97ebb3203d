"""The benchmark suite: a run at tiny sizes, its numpy e-BH reference, and
the timing and growth helpers its figures rest on."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tarvimo

import adversarial
import timing
from workloads import numpy_ebh

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
    "--search-m",
    "100",
    "--adversarial-sizes",
    "100",
    "300",
    "--random-patterns",
    "2",
    "--top",
    "1",
    "--repeats",
    "2",
]


def test_a_tiny_run_writes_the_report_the_plot_and_agreeing_figures(tmp_path):
    paths = {"--output": tmp_path / "bench.md", "--plot": tmp_path / "bench.png", "--json": tmp_path / "bench.json"}
    command = [sys.executable, str(ROOT / "bench" / "run.py"), *TINY_RUN]
    done = subprocess.run(
        command + [str(item) for pair in paths.items() for item in pair], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr

    figures = json.loads(paths["--json"].read_text())
    assert figures["agreements"] and all(a["equal"] for a in figures["agreements"])
    # by against two peers and ebh against one, at each size
    assert [(c["m"], c["subject"]) for c in figures["peers"]] == [
        (m, subject) for m in (200, 500) for subject in ("tarvimo.by", "tarvimo.by", "tarvimo.ebh")
    ]
    # four closed procedures at each size and at the one extra share
    assert len(figures["closed"]) == 4 * 3
    for comparison in figures["peers"] + figures["closed"] + figures["searches"] + figures["families"]:
        assert comparison["ratio"] == pytest.approx(comparison["subject_seconds"] / comparison["reference_seconds"])
    assert [g["pattern"]["name"] for g in figures["growths"]][:2] == [adversarial.REFERENCE_NAME] * 2

    report = paths["--output"].read_text()
    for heading in (
        "## Machine",
        "## Targets",
        "## Step-up procedures",
        "## Closed procedures",
        "## Exact searches",
        "## Many families",
        "## Adversarial inputs",
        "### Growth with m",
    ):
        assert heading in report
    assert f"All {len(figures['agreements'])} cross-checks agree" in report
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
    calls = {name: (lambda name=name: order.append(name) or len(order)) for name in ("a", "b")}
    runs = timing.measure(calls, repeats=3)
    assert order == ["a", "b"] * 4  # warm-ups, then three rounds
    assert [(runs[n].runs, runs[n].result) for n in "ab"] == [(3, 1), (3, 2)]


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
