"""The command line's levels: --adjusted-column read back to the same doubles in text and Parquet, with
families, NaN and -log10 p-values; the counts at three levels in the report; --plot of `run` and of the
demo drawn from the levels; and the options that do not combine."""

import json
import math

import numpy as np
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest
from test_run_tables import run

import tarvimo
from tarvimo._cli.numbers import levels_by_strength, pvalues_from_log10, strongest_first
from tarvimo._cli.plotting import plot_max_level, plot_span, rejection_steps
from tarvimo._cli.run import PROCEDURES

PNG = b"\x89PNG\r\n\x1a\n"
METHODS = [("by", "p"), ("closed-by", "p"), ("bh", "p"), ("ebh", "e"), ("closed-ebh", "e")]


def write_study(path, rng, size=60):
    """A TSV of genes, p-values and e-values, with ties and one missing p-value and e-value."""
    genes = rng.choice(["BRCA1", "TP53", "APOE"], size)
    pvalues, evalues = rng.uniform(size=size) ** 5, rng.exponential(size=size) ** 3 * 20
    pvalues[::7], evalues[::7] = pvalues[3], evalues[3]
    pvalues[5] = evalues[5] = math.nan
    rows = [f"{g}\t{p!r}\t{e!r}" for g, p, e in zip(genes.tolist(), pvalues.tolist(), evalues.tolist())]
    path.write_text("\n".join(["gene\tp\te", *rows]).replace("nan", "NA") + "\n")
    return genes, pvalues, evalues


class TestAdjustedColumn:
    @pytest.mark.parametrize(("method", "column"), METHODS)
    @pytest.mark.parametrize("output", ["o.csv", "o.parquet"])
    def test_levels_read_back_to_the_doubles_of_the_api(self, tmp_path, capsys, method, column, output):
        genes, pvalues, evalues = write_study(tmp_path / "t.tsv", np.random.default_rng(4))
        values = pvalues if column == "p" else evalues
        code, out, err = run(
            capsys,
            "run",
            method,
            tmp_path / "t.tsv",
            "--column",
            column,
            "--groups",
            "gene",
            "--nan-policy",
            "omit",
            "--output",
            tmp_path / output,
            "--adjusted-column",
            "level",
        )
        assert (code, err) == (0, "")
        assert out.endswith(f"Table with the columns 'rejected' and 'level' written to {tmp_path / output}\n")
        table = pq.read_table(tmp_path / output) if output.endswith("parquet") else pcsv.read_csv(tmp_path / output)
        expected = tarvimo.adjust(values, method, groups=genes, nan_policy="omit")
        np.testing.assert_array_equal(table.column("level").to_numpy(), expected)
        assert table.column("rejected").to_pylist() == (expected <= 0.05).tolist()

    @pytest.mark.parametrize("method", ["closed-by", "bh"])
    def test_levels_with_a_total_per_family_from_m_column(self, tmp_path, capsys, method):
        genes, pvalues, _ = write_study(tmp_path / "t.tsv", np.random.default_rng(12))
        totals = {"BRCA1": 90, "TP53": 400, "APOE": 5000}
        lines = (tmp_path / "t.tsv").read_text().splitlines()
        rows = [f"{line}\t{totals[gene]}" for line, gene in zip(lines[1:], genes.tolist())]
        (tmp_path / "t.tsv").write_text("\n".join([f"{lines[0]}\tn", *rows]) + "\n")
        code, _, err = run(
            capsys,
            "run",
            method,
            tmp_path / "t.tsv",
            "--column",
            "p",
            "--groups",
            "gene",
            "--m-column",
            "n",
            "--nan-policy",
            "omit",
            "--output",
            tmp_path / "o.parquet",
            "--adjusted-column",
            "level",
        )
        assert (code, err) == (0, "")
        table = pq.read_table(tmp_path / "o.parquet")
        expected = tarvimo.adjust(pvalues, method, groups=genes, m=totals, nan_policy="omit")
        np.testing.assert_array_equal(table.column("level").to_numpy(), expected)
        assert table.column("rejected").to_pylist() == (expected <= 0.05).tolist()

    def test_log10_levels_are_those_of_the_pvalues_handed_out_by_strength(self, tmp_path, capsys):
        strengths = np.array([400.0, 500.0, 2.0, 0.5, 500.0, 1.3, 3.0])  # 400 and 500: p below the smallest double
        (tmp_path / "t.tsv").write_text("x\n" + "\n".join(map(repr, strengths.tolist())) + "\n")
        code, _, err = run(
            capsys,
            "run",
            "closed-by",
            tmp_path / "t.tsv",
            "--column",
            "x",
            "--log10",
            "--output",
            tmp_path / "o.parquet",
            "--adjusted-column",
            "level",
        )
        assert (code, err) == (0, "")
        table = pq.read_table(tmp_path / "o.parquet")
        levels = tarvimo.adjust(pvalues_from_log10(strengths), "closed_by")
        np.testing.assert_array_equal(table.column("level").to_numpy(), levels_by_strength(levels, strengths, None))
        assert table.column("rejected").to_pylist() == (table.column("level").to_numpy() <= 0.05).tolist()

    def test_handing_out_levels_by_strength_marks_the_strongest_at_every_alpha(self):
        rng = np.random.default_rng(9)
        for _ in range(50):
            size = int(rng.integers(1, 30))
            strengths = rng.choice([0.5, 1.0, 2.0, 3.0, math.inf], size) + rng.integers(0, 2, size)
            levels = rng.choice([0.001, 0.01, 0.05, 0.2, 1.0], size)
            groups = rng.integers(0, 3, size).astype(np.int32) if rng.random() < 0.5 else None
            if rng.random() < 0.5:
                levels[0] = strengths[0] = math.nan
            handed = levels_by_strength(levels, strengths, groups)
            for alpha in (0.001, 0.02, 0.05, 0.5, 0.999):
                np.testing.assert_array_equal(handed <= alpha, strongest_first(levels <= alpha, strengths, groups))
            assert np.isnan(handed).tolist() == np.isnan(levels).tolist()


@pytest.mark.parametrize(("method", "column"), METHODS)
def test_report_counts_the_rejections_at_three_levels(tmp_path, capsys, method, column):
    _, pvalues, evalues = write_study(tmp_path / "t.tsv", np.random.default_rng(5))
    values = pvalues if column == "p" else evalues
    counts = [int(PROCEDURES[method](values, alpha, nan_policy="omit").sum()) for alpha in (0.01, 0.05, 0.1)]
    common = ("run", method, tmp_path / "t.tsv", "--column", column, "--nan-policy", "omit")
    code, out, _ = run(capsys, *common)
    assert code == 0 and out.splitlines()[1] == f"rejected at alpha 0.01, 0.05, 0.1: {', '.join(map(str, counts))}"
    code, out, _ = run(capsys, *common, "--json", "--alpha", "0.02")
    assert json.loads(out)["rejections_at"] == {"0.01": counts[0], "0.05": counts[1], "0.1": counts[2]}


def test_run_plot_writes_a_png_and_the_steps_are_the_counts(tmp_path, capsys):
    _, pvalues, _ = write_study(tmp_path / "t.tsv", np.random.default_rng(6))
    code, out, err = run(
        capsys,
        "run",
        "closed-by",
        tmp_path / "t.tsv",
        "--column",
        "p",
        "--nan-policy",
        "omit",
        "--plot",
        tmp_path / "levels",
    )
    assert (code, err) == (0, "")
    assert out.endswith(f"Plot of rejections against alpha written to {tmp_path / 'levels.png'}\n")
    assert (tmp_path / "levels.png").read_bytes().startswith(PNG)
    # The corners of the curve are the procedure's counts, at its levels and between them.
    alpha = 0.05
    levels = tarvimo.adjust(pvalues, "closed_by", nan_policy="omit", max_level=plot_max_level(alpha))
    corners, counts = rejection_steps(levels, *plot_span(alpha))
    assert corners[0] == alpha / 50 and corners[-1] == plot_span(alpha)[1] and (np.diff(counts) >= 0).all()
    for corner, count in zip(corners.tolist(), counts.tolist()):
        assert tarvimo.closed_by(pvalues, corner, nan_policy="omit").sum() == count


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--adjusted-column", "level"], "--adjusted-column names an added column of --output"),
        (["--output", "o.csv", "--adjusted-column", "rejected"], "both named 'rejected'"),
        (["--output", "o.csv", "--adjusted-column", "q", "--flag-column", "q"], "both named 'q'"),
        (["--approximate", "--output", "o.csv", "--adjusted-column", "level"], "do not combine with --approximate"),
        (["--approximate", "--plot", "x.png"], "do not combine with --approximate"),
        (["--output", "o.csv", "--adjusted-column", ""], "--adjusted-column needs a name"),
        (["--output", "o.csv", "--flag-column", " "], "--flag-column needs a name"),
    ],
)
def test_options_that_do_not_combine(tmp_path, capsys, options, message):
    (tmp_path / "t.csv").write_text("p\n0.01\n")
    code, _, err = run(capsys, "run", "closed-by", tmp_path / "t.csv", "--column", "p", *options)
    assert code == 2 and message in err and err.count("\n") == 1


@pytest.mark.parametrize(
    ("plot", "output", "message"),
    [
        ("t.csv", [], "--plot names the same file as the input"),
        ("./o.png", ["--output", "o.png"], "--plot names the same file as --output"),
        ("o", ["--output", "o.png"], "--plot names the same file as --output"),  # .png is added to it
        ("o.txt", ["--output", "o.csv"], "matplotlib writes no .txt files (it writes "),
        ("missing/o.png", ["--output", "o.csv"], "there is no directory"),
    ],
)
def test_a_plot_that_cannot_be_written_is_refused_before_the_table_is_read(
    tmp_path, capsys, monkeypatch, plot, output, message
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.csv").write_text("p\n0.01\n")
    code, _, err = run(capsys, "run", "by", "t.csv", "--column", "p", "--plot", plot, *output)
    assert code in (1, 2) and message in err and err.count("\n") == 1
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["t.csv"]
    assert (tmp_path / "t.csv").read_text() == "p\n0.01\n"


def test_a_demo_plot_into_a_missing_directory_is_refused_before_the_study(tmp_path, capsys):
    code, out, err = run(capsys, "demo", "-m", "100", "--plot", tmp_path / "missing" / "d.png")
    assert (code, out) == (1, "") and "there is no directory" in err


def test_an_adjusted_column_the_input_has_already_is_refused(tmp_path, capsys):
    (tmp_path / "t.csv").write_text("p,level\n0.01,1\n")
    code, _, err = run(
        capsys,
        "run",
        "by",
        tmp_path / "t.csv",
        "--column",
        "p",
        "--output",
        tmp_path / "o.csv",
        "--adjusted-column",
        "level",
    )
    assert code == 1 and "already has a column 'level'; name the added one with --adjusted-column" in err


def test_demo_plot_draws_the_levels_of_the_procedures(tmp_path, capsys):
    code, out, err = run(capsys, "demo", "-m", "2000", "--approximate", "--plot", tmp_path / "d.png")
    assert (code, err) == (0, "")
    assert "The plot draws the exact searches of the closed procedures." in out
    assert (tmp_path / "d.png").read_bytes().startswith(PNG)
