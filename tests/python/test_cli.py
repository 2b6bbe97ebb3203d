"""The command line, run as a user runs it: in a subprocess."""

import io
import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarvimo
import tarvimo._cli
from tarvimo._cli import demo, plotting
from tarvimo._cli.progress import with_elapsed_time

PVALUES = "0.2\n0.001\n\n0.04\n0.0001\n0.9\n"  # line 3 is blank
CSV = "gene,p,e\na,0.2,1.5\nb,0.001,400\nc,,2\nd,0.0001,900\n"


def cli(*args, stdin=None, cwd=None, command=(sys.executable, "-m", "tarvimo")):
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True, cwd=cwd, check=False)


def test_demo_table_matches_the_procedures_on_the_simulated_study():
    result = cli("demo", "-m", "3000", "--signal-share", "0.2", "--strength", "3.5", "--seed", "4")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "3,000 one-sided z-tests, 600 true signals" in lines[0]
    assert lines[3].split() == ["method", "rejections", "true", "false", "FDP", "time", "(ms)"]
    study = demo.simulate_study(3000, 0.2, 3.5, 4)
    rows = zip(
        lines[4:9],
        ["e-BH", "closed e-BH", "BY", "closed BY", "BH*"],
        [tarvimo.ebh, tarvimo.closed_ebh, tarvimo.by, tarvimo.closed_by, tarvimo.bh],
        strict=True,
    )
    for line, name, procedure in rows:
        mask = procedure(study.evalues if "e-BH" in name else study.pvalues, 0.05)
        true, false = int((mask & study.is_signal).sum()), int((mask & ~study.is_signal).sum())
        *cells, time_ms = line.rsplit(maxsplit=5)
        assert cells == [name, str(true + false), str(true), str(false), f"{false / max(true + false, 1):.3f}"]
        assert 0.0 <= float(time_ms) < 1000.0
    assert lines[9].startswith("* BH controls the false discovery rate only under independence or positive")


def test_demo_plot_writes_a_png_and_says_where(tmp_path):
    (tmp_path / "r.png").write_bytes(b"old")
    result = cli("demo", "--approximate", "-m", "2000", "--plot", str(tmp_path / "r"))
    assert result.returncode == 0, result.stderr
    assert "closed BY (approx.)" in result.stdout
    assert result.stdout.endswith(f"written to {tmp_path / 'r.png'} (replacing the file that was there)\n")
    assert (tmp_path / "r.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.parametrize("alpha", [0.001, 0.05, 0.5, 0.99])
def test_plot_span_holds_alpha_and_its_levels_are_exact_across_it(alpha):
    low, high = plotting.plot_span(alpha)
    assert low < alpha < high < 1.0 and high < plotting.plot_max_level(alpha) <= 1.0
    assert plotting.plot_path(Path("a/b")) == Path("a/b.png") and plotting.plot_path(Path("b.svg")) == Path("b.svg")


@pytest.mark.parametrize(
    ("limits", "ticks"),
    [
        ((-0.055, 0.055), [0, 1]),  # nothing rejected: matplotlib's span of a flat curve at 0
        ((2.84, 3.16), [2, 3, 4]),  # three rejected at every alpha drawn
        ((1.95, 3.05), [1, 2, 3]),  # one step
        ((-2.5, 52.5), None),  # room for integer ticks: left as it is
    ],
)
def test_the_count_axis_of_a_flat_curve_has_whole_ticks(limits, ticks):
    from matplotlib.ticker import MaxNLocator

    bottom, top = plotting.count_limits(*limits)
    shown = [t for t in MaxNLocator(integer=True).tick_values(bottom, top).tolist() if bottom <= t <= top]
    assert all(t == int(t) and t >= 0 for t in shown) and len(shown) >= 2
    assert ((bottom, top) == limits) if ticks is None else (shown == ticks)


def test_the_alpha_axis_labels_one_two_and_five_times_a_power_of_ten():
    from matplotlib.ticker import LogLocator

    # The ticks matplotlib puts on the widest span drawn (alpha / 50 ... 6 alpha), at several alphas.
    for alpha in (0.99, 0.05, 1e-6, 3e-300):
        low, high = plotting.plot_span(alpha)
        ticks = LogLocator(subs="all").tick_values(low, high)
        labels = [plotting.alpha_label(t) for t in ticks if low <= t <= high]
        shown = [label for label in labels if label]
        assert 3 <= len(shown) <= 8, (alpha, shown)
    assert [plotting.alpha_label(x) for x in (0.02, 0.03, 0.1, 0.5, 1.0, 5e-7, 0.0)] == [
        "0.02",
        "",
        "0.1",
        "0.5",
        "1",
        "5e-07",
        "",
    ]


def test_summaries_count_one_in_the_singular():
    from tarvimo._cli.families import FamilySummary

    assert FamilySummary(3, 1, "g", 1, 1).text().endswith("the largest: g (1 hypothesis, 1 rejected)")
    assert FamilySummary(3, 1, "g", 2, 0).text().endswith("(2 hypotheses, 0 rejected)")


def test_demo_counts_in_singular_and_describes_no_signal():
    study = demo.simulate_study(1, 1.0, 0.0, 3)
    assert demo.describe_study(study, 0.0, 3, 0.05).splitlines() == [
        "Simulated study: 1 one-sided z-test, 1 true signal (mean 0, no different from the nulls), seed 3, alpha 0.05.",
        "p-values P(Z >= z); e-values 1, the likelihood ratio of equal means.",
    ]


def test_demo_plot_without_matplotlib_says_how_to_get_it(tmp_path):
    code = "import sys; sys.modules['matplotlib'] = None; from tarvimo._cli import main; sys.exit(main(sys.argv[1:]))"
    result = cli("demo", "--plot", "x.png", cwd=tmp_path, command=(sys.executable, "-c", code))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "tarvimo: error: --plot needs matplotlib: pip install 'tarvimo[plot]'\n"


def test_run_prints_the_rejected_lines(tmp_path):
    (tmp_path / "p.txt").write_text(PVALUES)
    result = cli("run", "by", "p.txt", cwd=tmp_path)
    assert result.stdout.splitlines() == [
        "by at alpha 0.05: 2 of 5 hypotheses rejected",
        "rejected at alpha 0.01, 0.05, 0.1: 2, 2, 2",
        "line  p-value",
        "   2  0.001",
        "   5  0.0001",
    ]


@pytest.mark.parametrize(
    ("args", "stdin", "expected"),
    [
        (
            ["closed-by", "-", "--alpha", "0.1", "--approximate"],
            PVALUES,
            {
                "hypotheses": 5,
                "approximate": True,
                "rejected": [{"line": 2, "value": 0.001}, {"line": 4, "value": 0.04}, {"line": 5, "value": 0.0001}],
            },
        ),
        (
            ["ebh", "data.csv", "--column", "e"],
            None,
            {"hypotheses": 4, "rejected": [{"line": 3, "value": 400.0}, {"line": 5, "value": 900.0}]},
        ),
        (
            ["closed-ebh", "data.csv", "--column", "e", "--alpha", "0.2"],
            None,
            {
                "rejections": 3,
                "rejected": [{"line": 3, "value": 400.0}, {"line": 4, "value": 2.0}, {"line": 5, "value": 900.0}],
            },
        ),
        (
            ["by", "data.csv", "--column", "p", "--nan-policy", "omit"],
            None,
            {"hypotheses": 3, "omitted": 1, "rejected": [{"line": 3, "value": 0.001}, {"line": 5, "value": 0.0001}]},
        ),
        (["ebh", "-"], "\ninf\n", {"rejections": 1, "rejected": [{"line": 2, "value": "inf"}]}),
    ],
)
def test_run_json_from_files_csv_columns_and_stdin(tmp_path, args, stdin, expected):
    (tmp_path / "data.csv").write_text(CSV)
    result = cli("run", *args, "--json", cwd=tmp_path, stdin=stdin)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["method"] == args[0] and {key: report[key] for key in expected} == expected


@pytest.mark.parametrize(
    ("args", "stdin", "code", "message"),
    [
        (["run", "by", "missing.txt"], None, 1, "cannot read missing.txt: No such file or directory"),
        (["run", "by", "-"], "0.1\n0.2x\n", 1, "line 2: '0.2x' is not a number"),
        (["run", "by", "-"], "0.1\n\n1.5\n", 1, "line 3: p-values must lie in [0, 1] (found 1.5)"),
        (["run", "ebh", "-"], "1\n-2\n", 1, "line 2: e-values must be non-negative (found -2.0)"),
        (["run", "ebh", "-"], "1\nnan\n", 1, "line 2: missing or NaN value (--nan-policy omit leaves it unrejected)"),
        (["run", "by", "-"], "0.1,0.2\n", 1, "line 1: expected one value per line, found 2 fields"),
        (
            ["run", "by", "-", "--column", "q"],
            "p,e\n0.1,1\n",
            1,
            "no column 'q' in the header line (columns: 'p', 'e')",
        ),
        (["run", "by", "-", "--column", "e"], "p,e\n0.1\n", 1, "line 2 has 1 field where the header line has 2: '0.1'"),
        (["run", "by", "-", "--approximate"], "0.1\n", 2, "--approximate applies only to closed-ebh and closed-by"),
        (["run", "by", "-", "--alpha", "1.5"], "", 2, "argument --alpha: must be a number with 0 < alpha < 1"),
        (["run", "by", "-", "--alpha", "x"], "", 2, "argument --alpha: 'x' is not a number"),
        (["run", "holm", "-"], "", 2, "argument METHOD: invalid choice: 'holm'"),
        (["run", "ebh", "-", "--log10"], "", 2, "--log10 applies only to p-values: by, closed-by and bh"),
        (["run", "by", "-", "--column", "p", "--groups", "g", "--m", "9"], "", 2, "--m gives the size of one family"),
        (["run", "by", "-", "--flag-column", "x"], "", 2, "--flag-column names the added column of --output"),
        (["run", "by", "-", "--json", "--output", "-"], "", 2, "would both write to standard output"),
        (["run", "by", "t.parquet", "--column", "p", "--delimiter", ","], None, 2, "--delimiter applies to text"),
        (["run", "by", "t.parquet"], None, 2, "a Parquet table has named columns: choose one with --column NAME"),
        (["run", "by", "t.parquet.gz", "--column", "p"], None, 2, "Parquet files carry their own compression"),
        (["run", "by", "-", "--groups", "g"], "", 2, "--groups needs a table with a header line"),
        (["run", "by", "-", "--delimiter", "ab"], "", 2, "argument --delimiter: must be one character"),
        (["run", "by", "-", "--m", "2.5"], "", 2, "argument --m: '2.5' is not a whole number"),
        (["demo", "-m", "2.5"], None, 2, "argument -m/--hypotheses: '2.5' is not a whole number"),
        (["run", "by", "-", "--nan-policy", "drop"], "", 2, "argument --nan-policy: invalid choice"),
        (["demo", "-m", "0"], None, 2, "argument -m/--hypotheses: must be a whole number >= 1, got 0"),
        (["demo", "--signal-share", "2"], None, 2, "must be a number in [0, 1], got 2"),
        (["demo", "--strength", "inf"], None, 2, "must be a finite number >= 0, got inf"),
        (["demo", "-m", "100", "--plot", "no/such/dir/x.png"], None, 1, "cannot write the plot to no/such/dir/x.png"),
        ([], None, 2, "the following arguments are required: COMMAND"),
    ],
)
def test_errors_are_one_line_without_traceback(tmp_path, args, stdin, code, message):
    result = cli(*args, stdin=stdin, cwd=tmp_path)
    assert result.returncode == code
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith("tarvimo")
    assert message in result.stderr


PAUSING_WRITER = """
import sys, time
sys.stdout.buffer.write(b"0.1,0.2\\n" + b"0.5\\n" * 600_000)
sys.stdout.buffer.flush()
time.sleep(120)
"""


def test_bad_data_ends_the_program_while_a_pipe_still_holds_more():
    # pyarrow reads ahead of the line that fails; its read then waits on the paused writer
    writer = subprocess.Popen([sys.executable, "-c", PAUSING_WRITER], stdout=subprocess.PIPE)
    try:
        result = subprocess.run(
            [sys.executable, "-m", "tarvimo", "run", "by", "-"],
            stdin=writer.stdout,
            capture_output=True,
            text=True,
            timeout=30,
            check=False,
        )
        still_writing = writer.poll() is None
    finally:
        writer.kill()
        writer.communicate()
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("tarvimo: error: line 1: expected one value per line, found 2 fields")
    assert len(result.stderr.splitlines()) == 1 and still_writing


def test_console_script_is_installed():
    result = cli("run", "ebh", "-", stdin="1e6\n", command=(str(Path(sys.executable).with_name("tarvimo")),))
    assert result.stdout.startswith("ebh at alpha 0.05: 1 of 1 hypothesis rejected")


def test_version_and_python_method_names():
    assert cli("--version").stdout == f"tarvimo {tarvimo.__version__}\n"
    result = cli("run", "closed_by", "-", "--json", stdin="0.001\n0.5\n")
    assert json.loads(result.stdout)["method"] == "closed-by"


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_elapsed_time_on_a_terminal_hands_back_results_and_errors(monkeypatch):
    monkeypatch.setattr(sys, "stderr", Terminal())
    assert with_elapsed_time("work", lambda: 42) == 42

    def fail():
        raise ValueError("bad data")

    with pytest.raises(ValueError, match="bad data"):
        with_elapsed_time("work", fail)


class TestDemoSize:
    def test_refused_past_the_available_memory_to_the_byte(self):
        fits = 1000 * demo.BYTES_PER_HYPOTHESIS
        assert demo.size_problem(1000, False, fits) is None
        assert demo.size_problem(1000, False, None) is None  # unknown memory: no guess
        message = demo.size_problem(1001, False, fits)
        assert message is not None and "-m 1,001 needs about" in message and "at most about 1,000" in message
        plotted = demo.size_problem(1000, True, fits)
        assert plotted is not None and "with --plot" in plotted
        assert demo.size_problem(1000, True, 1000 * demo.BYTES_PER_PLOTTED_HYPOTHESIS) is None

    def test_more_values_than_a_family_holds_are_refused_whatever_the_memory(self):
        message = demo.size_problem(2**31, False, 2**62)
        assert message == "-m 2,147,483,648 is more than 2,147,483,647, the most values a family can hold"
        assert demo.size_problem(2**31 - 1, False, 2**62) is None

    def test_available_memory_from_meminfo_else_the_free_pages(self, tmp_path, monkeypatch):
        meminfo = tmp_path / "meminfo"
        meminfo.write_text("MemTotal:       25000000 kB\nMemFree:  100 kB\nMemAvailable:   20000000 kB\n")
        monkeypatch.setattr(demo, "MEMINFO", str(meminfo))
        assert demo.available_memory() == 20_000_000 * 1024
        monkeypatch.setattr(demo, "MEMINFO", str(tmp_path / "absent"))
        free = demo.available_memory()
        assert free is not None and free > 0

    def test_refused_before_anything_is_simulated(self, monkeypatch, capsys):
        def never(*_):
            raise AssertionError("simulated a study too large for the memory")

        monkeypatch.setattr(demo, "simulate_study", never)
        monkeypatch.setattr(demo, "available_memory", lambda: 10**9)
        assert tarvimo._cli.main(["demo", "-m", "100000000"]) == 1
        captured = capsys.readouterr()
        assert captured.out == ""
        assert captured.err.startswith("tarvimo: error: -m 100,000,000 needs about 6.0 GiB of memory")

    def test_tail_probabilities_in_chunks_are_the_literal_ones(self, monkeypatch):
        monkeypatch.setattr(demo, "TAIL_CHUNK", 7)
        z = np.random.default_rng(5).standard_normal(30) * 10
        literal = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z.tolist()])
        np.testing.assert_array_equal(demo.upper_tail_probability(z), literal)
