"""`tarvimo run` keeping only the values that can matter, against the route that reads every value.

The tables span many batches (the batch size is shrunk), with ties and
missing values across batch boundaries and problems late in the file.
"""

import gzip
import io
import json
import math
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest

from tarvimo._cli import main, reading, run
from tarvimo._cli.arguments import build_parser
from tarvimo._cli.candidates import POSITIONS_IN_32_BITS, Selection, compact_positions, joined_positions
from tarvimo._cli.layout import layout_of
from tarvimo._cli.program import INTERRUPTED_STATUS, TERMINATED_STATUS
from tarvimo._omitted import bh_pvalue_omission_bound, pvalue_omission_bound

SMALL_BLOCK = 1 << 10  # a batch of about 60 rows of the tables below
ROWS = 3000


@pytest.fixture(autouse=True)
def small_batches(monkeypatch):
    monkeypatch.setattr(reading, "BLOCK_BYTES", SMALL_BLOCK)


def run_both(capsys, monkeypatch, *args):
    """The exit code, output and error of the streamed route, and of the route that reads every value."""
    results = []
    for whole in (False, True):
        with monkeypatch.context() as patch:
            if whole:
                patch.setattr(run, "streamed", lambda _: False)
            code = main([str(arg) for arg in args])
        captured = capsys.readouterr()
        results.append((code, captured.out, captured.err))
    return results


def study_rows(seed=7, rows=ROWS, markers=True):
    """p-values, e-values and families: signals, ties on and near the bounds, NaN markers."""
    rng = np.random.default_rng(seed)
    p = rng.uniform(size=rows)
    p[rng.random(rows) < 0.15] *= 1e-4
    p[100:400] = 0.004  # one tie spanning several batches
    p[700:760] = pvalue_omission_bound(0.1)  # the kept bound itself
    p[760:800] = np.nextafter(pvalue_omission_bound(0.1), 1.0)  # just beyond it
    p[800:820] = bh_pvalue_omission_bound(0.1)
    p[820:830] = 0.05 + 1e-10
    e = np.where(p > 0, 1.0 / np.maximum(p, 1e-300), np.inf) * rng.uniform(0.2, 1.0, rows)
    e[900:1000] = 10.0  # exactly 1 / 0.1
    e[1000:1100] = 20.0  # exactly 1 / 0.05
    cells = [[repr(float(a)) for a in p], [repr(float(b)) for b in e]]
    for column in cells:
        for row in (5, 61, 62, 1500, 2999) if markers else ():
            column[row] = "NA"
    families = [f"fam{int(k)}" for k in rng.integers(0, 7, rows)]
    return cells[0], cells[1], families


def write_table(path, rows=ROWS, extra=None, markers=True):
    p, e, families = study_rows(rows=rows, markers=markers)
    lines = ["id,family,p,e,m"]
    totals = {name: 4000 + int(name[3:]) * 10 for name in set(families)}
    for i in range(rows):
        lines.append(f"r{i},{families[i]},{p[i]},{e[i]},{totals[families[i]]}")
    if extra is not None:
        row, text = extra
        lines[row] = text
    path.write_text("\n".join(lines) + "\n")
    return path


METHODS = ["by", "bh", "closed-by", "ebh", "closed-ebh"]
OPTIONS = [
    [],
    ["--json"],
    ["--alpha", "0.2"],
    ["--alpha", "0.001"],
    ["--m", "20000"],
    ["--id-column", "id"],
    ["--groups", "family", "--id-column", "id"],
    ["--groups", "family", "--m-column", "m", "--json"],
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("options", OPTIONS, ids=" ".join)
def test_streamed_report_is_the_whole_columns(tmp_path, capsys, monkeypatch, method, options):
    table = write_table(tmp_path / "t.csv")
    column = "e" if method.endswith("ebh") else "p"
    streamed, whole = run_both(
        capsys, monkeypatch, "run", method, table, "--column", column, "--nan-policy", "omit", *options
    )
    assert streamed == whole
    assert streamed[0] == 0 and "rejected" in streamed[1]


@pytest.mark.parametrize("method", ["closed-by", "closed-ebh"])
def test_streamed_approximate_search(tmp_path, capsys, monkeypatch, method):
    table = write_table(tmp_path / "t.csv")
    column = "e" if method.endswith("ebh") else "p"
    args = ["run", method, table, "--column", column, "--nan-policy", "omit", "--approximate"]
    streamed, whole = run_both(capsys, monkeypatch, *args)
    assert streamed == whole


def test_streamed_log10_and_headerless_gzip(tmp_path, capsys, monkeypatch):
    p, _, _ = study_rows()
    strengths = ["NA" if text == "NA" else repr(-math.log10(float(text))) for text in p]
    strengths[10] = "400"  # below the smallest double as a p-value
    strengths[11] = "400.5"
    (tmp_path / "x.csv").write_text("x\n" + "\n".join(strengths) + "\n")
    streamed, whole = run_both(
        capsys, monkeypatch, "run", "by", tmp_path / "x.csv", "--column", "x", "--log10", "--nan-policy", "omit"
    )
    assert streamed == whole
    (tmp_path / "p.txt.gz").write_bytes(gzip.compress(("\n".join(p) + "\n\n  \n").encode()))
    args = ["run", "closed-by", tmp_path / "p.txt.gz", "--nan-policy", "omit"]
    streamed, whole = run_both(capsys, monkeypatch, *args)
    assert streamed == whole and streamed[0] == 0


def test_streamed_keeps_only_values_within_the_bound(tmp_path):
    p, _, _ = study_rows()
    table = write_table(tmp_path / "t.csv")
    args = build_parser().parse_args(["run", "by", str(table), "--column", "p", "--nan-policy", "omit"])
    column = run.read_input(args)
    given = np.array([math.nan if text == "NA" else float(text) for text in p])
    kept = given <= pvalue_omission_bound(0.1)
    assert column.counts is not None and column.counts.rows == ROWS and column.counts.missing == 5
    np.testing.assert_array_equal(column.values, given[kept])
    lines = column.numbering.numbers(np.arange(column.values.size))
    np.testing.assert_array_equal(lines, np.flatnonzero(kept) + 2)  # the header is line 1


@pytest.mark.parametrize(
    ("method", "alpha", "kept", "dropped"),
    [
        ("by", 0.05, pvalue_omission_bound(0.1), np.nextafter(pvalue_omission_bound(0.1), 1.0)),
        ("by", 0.3, pvalue_omission_bound(0.3), np.nextafter(pvalue_omission_bound(0.3), 1.0)),
        ("bh", 0.05, bh_pvalue_omission_bound(0.1), np.nextafter(bh_pvalue_omission_bound(0.1), 1.0)),
        ("ebh", 0.05, np.nextafter(10.0, 11.0), 10.0),
        ("ebh", 0.5, np.nextafter(2.0, 3.0), 2.0),
    ],
)
def test_kept_values_end_at_the_omission_bound_of_the_largest_level(method, alpha, kept, dropped):
    selection = Selection(method, alpha, log10=False, omit_missing=True)
    np.testing.assert_array_equal(selection.kept(np.array([kept, dropped, math.nan])), [True, False, False])


OMIT = ["--nan-policy", "omit"]
GROUPED = ["--column", "p", "--groups", "family", "--m-column", "m", *OMIT]
LATE_PROBLEMS = [  # the row replacing line 2901, the method and options, and what the error says
    ("r2899,fam1,abc,1,4010", "by", ["--column", "p", *OMIT], "line 2901, column 'p': 'abc' is not a number"),
    ("r2899,fam1,1.5,1,4010", "by", ["--column", "p", *OMIT], "line 2901, column 'p': p-values must lie in [0, 1]"),
    ("r2899,fam1,1.5,1,4010", "bh", ["--column", "p", *OMIT], "(found 1.5); a column of -log10 p-values?"),
    ("r2899,fam1,0.5,-1,4010", "ebh", ["--column", "e", *OMIT], "line 2901, column 'e': e-values must be"),
    ("r2899,fam1,NaN,1,4010", "by", ["--column", "p"], "line 2901, column 'p': missing or NaN value"),
    ("r2899,fam1,0.1,1,4010,extra", "by", ["--column", "p", *OMIT], "line 2901 has 6 fields"),
    ("r2899,NA,0.1,1,4010", "by", ["--column", "p", "--groups", "family", *OMIT], "line 2901, column 'family'"),
    ("r2899,fam1,0.1,1,4011", "by", GROUPED, "line 2901, column 'm': total 4011 differs from 4010"),
    ("r2899,fam1,0.1,1,x", "by", GROUPED, "line 2901, column 'm': 'x' is not a number"),
    ("r2899,fam1,0.1,1,4010.5", "by", GROUPED, "line 2901, column 'm': the total of a family must be a whole"),
    ("r2899,fam1,0.1,1,4010", "by", ["--column", "p", "--m", "2999", *OMIT], "m = 2999 is smaller than the"),
    ("r2899,fam1,-0.5,1,4010", "by", ["--column", "p", "--log10", *OMIT], "-log10 p-values must be at least 0"),
]


@pytest.mark.parametrize(("row", "method", "options", "message"), LATE_PROBLEMS, ids=[p[3] for p in LATE_PROBLEMS])
def test_problem_late_in_the_file_is_named_as_the_whole_column_names_it(
    tmp_path, capsys, monkeypatch, row, method, options, message
):
    table = write_table(tmp_path / "t.csv", extra=(2900, row), markers=False)
    streamed, whole = run_both(capsys, monkeypatch, "run", method, table, *options)
    assert streamed == whole
    code, out, err = streamed
    assert code == 1 and out == "" and message in err


def test_problems_keep_their_order_a_bad_number_after_a_missing_label(tmp_path, capsys, monkeypatch):
    table = write_table(tmp_path / "t.csv", extra=(50, "r49,,0.1,1,4010"))
    with open(table, "a") as file:
        file.write("r3000,fam1,oops,1,4010\n")
    streamed, whole = run_both(capsys, monkeypatch, "run", "by", table, "--column", "p", "--groups", "family")
    assert streamed == whole and "line 3002, column 'p': 'oops' is not a number" in streamed[2]


def test_short_family_total_is_refused_at_the_familys_first_line(tmp_path, capsys, monkeypatch):
    lines = ["family,p,m"] + [f"f{i % 3},0.0{i % 9 + 1},{1000 if i % 3 else 5}" for i in range(200)]
    (tmp_path / "t.csv").write_text("\n".join(lines) + "\n")
    args = ["run", "by", tmp_path / "t.csv", "--column", "p", "--groups", "family", "--m-column", "m"]
    streamed, whole = run_both(capsys, monkeypatch, *args)
    assert streamed == whole
    assert "line 2, column 'm': total 5 for the family 'f0' is smaller than the 67 rows it has" in streamed[2]


def test_streamed_standard_input_matches_the_file(tmp_path):
    rng = np.random.default_rng(3)
    p = rng.uniform(size=200_000) ** 3  # several default batches
    data = "p\n" + "\n".join(map(repr, p.tolist())) + "\n"
    (tmp_path / "t.csv").write_text(data)
    args = [sys.executable, "-m", "tarvimo", "run", "by", "--column", "p"]
    from_pipe = subprocess.run([*args, "-"], input=data.encode(), capture_output=True, check=True)
    from_file = subprocess.run([*args, str(tmp_path / "t.csv")], capture_output=True, check=True)
    assert from_pipe.stdout == from_file.stdout
    assert from_pipe.stdout.startswith(b"by at alpha 0.05: ")


def test_layout_of_a_streamed_file_is_inferred_as_before(tmp_path, capsys, monkeypatch):
    p, _, _ = study_rows()
    (tmp_path / "t.tsv").write_text("p\tq\n" + "\n".join(f"{x}\t1" for x in p) + "\n")
    assert layout_of(str(tmp_path / "t.tsv"), None).delimiter == "\t"
    streamed, whole = run_both(
        capsys, monkeypatch, "run", "bh", tmp_path / "t.tsv", "--column", "p", "--nan-policy", "omit"
    )
    assert streamed == whole


@pytest.mark.parametrize("output", [[], ["--json"]], ids=["text", "json"])
def test_report_written_in_parts_is_the_report_written_at_once(tmp_path, capsys, monkeypatch, output):
    table = write_table(tmp_path / "t.csv")
    args = ["run", "by", table, "--column", "p", "--nan-policy", "omit", "--groups", "family", "--id-column", "id"]
    monkeypatch.setattr(run, "REPORT_ROWS", 7)  # parts that end inside a family and between label widths
    streamed, whole = run_both(capsys, monkeypatch, *args, *output)
    monkeypatch.setattr(run, "REPORT_ROWS", 1 << 30)
    _, at_once = run_both(capsys, monkeypatch, *args, *output)
    assert streamed == whole == at_once
    if output:
        assert len(json.loads(streamed[1])["rejected"]) > 7


@pytest.mark.parametrize("late", [None, "r2999,f0,0.001,1,9"], ids=["consistent", "varying total late"])
def test_many_families_met_batch_by_batch(tmp_path, capsys, monkeypatch, late):
    rng = np.random.default_rng(11)
    rows = ["id,family,p,e,m"]
    for i in range(ROWS):  # each family's rows lie far apart, in different batches
        family = i % 1500
        rows.append(f"r{i},f{family},{rng.uniform() ** 4!r},1,{family % 5 + 2}")
    if late is not None:
        rows[-1] = late
    (tmp_path / "t.csv").write_text("\n".join(rows) + "\n")
    args = ["run", "by", tmp_path / "t.csv", "--column", "p", "--groups", "family", "--m-column", "m", "--json"]
    streamed, whole = run_both(capsys, monkeypatch, *args)
    assert streamed == whole
    if late is None:
        facts = json.loads(streamed[1])
        assert facts["families"] == 1500 and facts["hypotheses"] == sum(f % 5 + 2 for f in range(1500))
    else:
        assert "line 3001, column 'm': total 9 differs from 2 on line 2, column 'm' for the family 'f0'" in streamed[2]


def run_both_written(capsys, monkeypatch, tmp_path, output, *args):
    """As `run_both`, with the bytes each route writes to `output` (None: nothing written)."""
    results = []
    for whole in (False, True):
        target = tmp_path / ("whole-" + output if whole else output)
        with monkeypatch.context() as patch:
            if whole:
                patch.setattr(run, "streamed", lambda _: False)
            code = main([str(arg) for arg in (*args, "--output", target)])
        captured = capsys.readouterr()
        written = target.read_bytes() if target.exists() else None
        if written is not None and output.endswith(".gz"):  # the header holds the name and the time
            written = gzip.decompress(written)
        results.append((code, captured.out.replace(str(target), "OUT"), captured.err, written))
    return results


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("output", ["out.csv", "out.tsv.gz", "out.txt"])
def test_streamed_output_is_the_whole_columns(tmp_path, capsys, monkeypatch, method, output):
    table = write_table(tmp_path / "t.csv")
    column = "e" if method.endswith("ebh") else "p"
    args = ["run", method, table, "--column", column, "--nan-policy", "omit", "--groups", "family"]
    streamed, whole = run_both_written(capsys, monkeypatch, tmp_path, output, *args)
    assert streamed == whole and streamed[0] == 0 and streamed[3]


def test_streamed_output_keeps_quotes_blank_lines_and_multiline_fields(tmp_path, capsys, monkeypatch):
    p, _, _ = study_rows(markers=False)
    lines = ["note,p"]
    for i, text in enumerate(p):
        note = '"a, quoted ""note""\nover two lines"' if i % 97 == 0 else f"n{i}"
        lines.append(f"{note},{text}")
        if i % 50 == 0:
            lines.append(",")  # a line of empty fields: skipped, and gone from the output
    (tmp_path / "t.csv").write_text("\n".join(lines) + "\n")
    args = ["run", "by", tmp_path / "t.csv", "--column", "p", "--multiline", "--flag-column", "by_rejected"]
    streamed, whole = run_both_written(capsys, monkeypatch, tmp_path, "out.csv", *args)
    assert streamed == whole and streamed[0] == 0
    assert b'"a, quoted ""note""\nover two lines"' in streamed[3]


def test_streamed_output_to_standard_output(tmp_path, capsys, monkeypatch):
    table = write_table(tmp_path / "t.csv")
    args = ["run", "bh", table, "--column", "p", "--nan-policy", "omit", "--output", "-"]
    streamed, whole = run_both(capsys, monkeypatch, *args)
    assert streamed == whole and streamed[1].startswith("id,family,p,e,m,rejected\n")
    assert streamed[1].count("\n") == ROWS + 1


@pytest.mark.parametrize("row", ["r2899,fam1,abc,1,4010", "r2899,fam1,1.5,1,4010"])
def test_problem_late_in_the_file_writes_nothing(tmp_path, capsys, monkeypatch, row):
    table = write_table(tmp_path / "t.csv", extra=(2900, row))
    args = ["run", "by", table, "--column", "p", "--nan-policy", "omit"]
    streamed, whole = run_both_written(capsys, monkeypatch, tmp_path, "out.csv", *args)
    assert streamed == whole
    assert streamed[0] == 1 and streamed[3] is None and "line 2901, column 'p'" in streamed[2]


def test_an_existing_column_named_like_the_flag_is_refused_before_reading_twice(tmp_path, capsys, monkeypatch):
    table = write_table(tmp_path / "t.csv")
    args = ["run", "by", table, "--column", "p", "--nan-policy", "omit", "--flag-column", "m"]
    streamed, whole = run_both_written(capsys, monkeypatch, tmp_path, "out.csv", *args)
    assert streamed == whole and streamed[0] == 1 and streamed[3] is None
    assert "the input already has a column 'm'" in streamed[2]


def test_kept_positions_are_32_bits_only_while_every_one_fits():
    small = compact_positions(np.array([0, 5, POSITIONS_IN_32_BITS - 1], np.intp), POSITIONS_IN_32_BITS)
    beyond = compact_positions(np.array([POSITIONS_IN_32_BITS, POSITIONS_IN_32_BITS + 7], np.intp), 2**33)
    assert small.dtype == np.uint32 and beyond.dtype == np.intp
    assert joined_positions([small.copy(), small.copy()]).dtype == np.uint32
    whole = joined_positions([small, beyond])
    assert whole.dtype == np.intp
    assert whole.tolist() == [0, 5, POSITIONS_IN_32_BITS - 1, POSITIONS_IN_32_BITS, POSITIONS_IN_32_BITS + 7]


@pytest.fixture
def spool_directory(tmp_path, monkeypatch):
    """The temporary directory of the copies of standard input, to see what is left in it."""
    directory = tmp_path / "spool"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    return directory


def run_piped(capsys, monkeypatch, data, *args):
    """The exit code, output and error of the command line reading `data` (bytes) from standard input."""
    with monkeypatch.context() as patch:
        patch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
        code = main([str(arg) for arg in args])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_standard_input_with_output_is_copied_and_read_twice(
    tmp_path, capsys, monkeypatch, spool_directory, method, compress
):
    table = write_table(tmp_path / "t.csv")
    column = "e" if method.endswith("ebh") else "p"
    args = ["--column", column, "--nan-policy", "omit", "--groups", "family", "--output"]
    main([str(arg) for arg in ("run", method, table, *args, tmp_path / "from-file.csv")])
    from_file = capsys.readouterr().out.replace(str(tmp_path / "from-file.csv"), "OUT")
    data = table.read_bytes()
    copies = []  # the copy is a file while the table is read twice, and then removed
    with monkeypatch.context() as patch:
        patch.setattr(run, "read_input", lambda args: copies.append(Path(args.file).exists()) or read_input(args))
        piped = run_piped(
            capsys,
            monkeypatch,
            gzip.compress(data) if compress else data,
            "run",
            method,
            "-",
            *args,
            tmp_path / "piped.csv",
        )
    assert piped == (0, from_file.replace("OUT", str(tmp_path / "piped.csv")), "")
    assert (tmp_path / "piped.csv").read_bytes() == (tmp_path / "from-file.csv").read_bytes()
    assert copies == [True] and list(spool_directory.iterdir()) == []


read_input = run.read_input


def test_standard_input_copy_is_removed_after_a_late_error_and_ctrl_c(tmp_path, capsys, monkeypatch, spool_directory):
    data = write_table(tmp_path / "t.csv", extra=(2900, "r2899,fam1,abc,1,4010")).read_bytes()
    out = tmp_path / "out.csv"
    code, _, err = run_piped(capsys, monkeypatch, data, "run", "by", "-", "--column", "p", *OMIT, "--output", out)
    assert code == 1 and "line 2901, column 'p': 'abc' is not a number" in err
    assert not out.exists() and list(spool_directory.iterdir()) == []

    def interrupted(reader, progress, rejected, flag):  # Ctrl-C while the table is written back
        raise KeyboardInterrupt

    monkeypatch.setattr(run, "flagged_batches", interrupted)
    data = write_table(tmp_path / "t.csv").read_bytes()
    code, _, _ = run_piped(capsys, monkeypatch, data, "run", "by", "-", "--column", "p", *OMIT, "--output", out)
    assert code == INTERRUPTED_STATUS and list(spool_directory.iterdir()) == []


def test_sigterm_while_standard_input_is_copied_removes_the_copy(tmp_path):
    """A job killed by SIGTERM (a scheduler's time limit) leaves no copy of its input behind."""
    spool = tmp_path / "spool"
    spool.mkdir()
    out = tmp_path / "out.csv"
    command = [sys.executable, "-m", "tarvimo", "run", "by", "-", "--column", "p", "--output", str(out)]
    child = subprocess.Popen(
        command, stdin=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, "TMPDIR": str(spool)}
    )
    child.stdin.write(b"p\n" + b"0.5\n" * 1000)
    child.stdin.flush()  # the pipe stays open: the copy waits for more
    deadline = time.monotonic() + 60
    while not any(spool.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert any(spool.iterdir()), "the copy of standard input never appeared"
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=60)
    assert child.returncode == TERMINATED_STATUS and err == b""
    assert list(spool.iterdir()) == [] and not out.exists()


def test_standard_input_names_itself_in_messages_and_the_plot_title(tmp_path, capsys, monkeypatch, spool_directory):
    code, _, err = run_piped(capsys, monkeypatch, b"\x1f\x8bnot gzip", "run", "by", "-", "--output", tmp_path / "o.csv")
    assert code == 1 and err.startswith("tarvimo: error: cannot read standard input: ")
    args = build_parser().parse_args(["run", "by", "-"])
    args.input_name = "standard input"
    args.file = str(spool_directory / "tarvimo-stdin-x")
    assert run.plot_title(args, run.Column("p", np.zeros(0), None, None, None, None, False)).startswith(
        "by on standard input: "
    )


def test_parquet_on_standard_input_with_output(tmp_path, capsys, monkeypatch, spool_directory):
    pq = pytest.importorskip("pyarrow.parquet")
    import pyarrow as pa

    p, e, families = study_rows(markers=False)
    table = pa.table({"family": families, "p": [float(x) for x in p], "e": [float(x) for x in e]})
    pq.write_table(table, tmp_path / "t.parquet", row_group_size=500)
    args = ["--column", "p", "--groups", "family", "--output"]
    main([str(arg) for arg in ("run", "by", tmp_path / "t.parquet", *args, tmp_path / "from-file.parquet")])
    capsys.readouterr()
    data = (tmp_path / "t.parquet").read_bytes()
    code, _, err = run_piped(capsys, monkeypatch, data, "run", "by", "-", *args, tmp_path / "piped.parquet")
    assert (code, err) == (0, "")
    assert pq.read_table(tmp_path / "piped.parquet").equals(pq.read_table(tmp_path / "from-file.parquet"))
    assert list(spool_directory.iterdir()) == []


def conservative_oracle(values, alpha, families=None):
    """Closed e-BH kept to the e-values above 1 / alpha, as the Dask front end decides it, family by family."""
    dd = pytest.importorskip("dask.dataframe")
    import pandas as pd

    from tarvimo import dask as tarvimo_dask

    families = np.zeros(values.size, np.int64) if families is None else families
    mask = np.zeros(values.size, np.bool_)
    for family in np.unique(families):
        members = np.flatnonzero(families == family)
        frame = dd.from_pandas(pd.DataFrame({"e": values[members]}), npartitions=3)
        decided = tarvimo_dask.closed_ebh(frame, "e", alpha, conservative=True, nan_policy="omit")
        mask[members] = decided.compute().to_numpy()
    return mask


@pytest.mark.parametrize("alpha", [0.05, 0.2, 0.001])
@pytest.mark.parametrize("grouped", [False, True], ids=["one family", "families"])
def test_conservative_closed_ebh_is_the_dask_one_and_holds_ebh(tmp_path, capsys, monkeypatch, alpha, grouped):
    table = write_table(tmp_path / "t.csv")
    _, e, families = study_rows()
    values = np.array([math.nan if text == "NA" else float(text) for text in e])
    codes = np.unique(families, return_inverse=True)[1] if grouped else None
    grouping = ["--groups", "family"] if grouped else []
    args = ["run", "closed-ebh", table, "--column", "e", *OMIT, *grouping, "--alpha", alpha, "--json"]
    streamed, whole = run_both(capsys, monkeypatch, *args, "--conservative")
    assert streamed == whole and streamed[0] == 0
    rejected = [entry["line"] - 2 for entry in json.loads(streamed[1])["rejected"]]
    np.testing.assert_array_equal(rejected, np.flatnonzero(conservative_oracle(values, alpha, codes)))
    main([*map(str, args), "--output", str(tmp_path / "cons.csv"), "--conservative"])
    main([*map(str, args[:-1]), "--output", str(tmp_path / "ebh.csv")])  # e-BH on the same table
    capsys.readouterr()
    flags = [line.rsplit(",", 1)[1] for line in (tmp_path / "cons.csv").read_text().splitlines()[1:]]
    assert np.flatnonzero(np.array(flags) == "true").tolist() == rejected
    exact = json.loads(run_both(capsys, monkeypatch, *args)[0][1])["rejections"]
    assert len(rejected) <= exact or grouped  # here smaller or equal; a family's share need not be


def test_conservative_is_exact_when_every_value_left_out_is_zero(tmp_path, capsys, monkeypatch):
    _, e, _ = study_rows(markers=False)
    values = np.array([float(text) for text in e])
    values[values <= 20.0] = 0.0
    (tmp_path / "t.txt").write_text("\n".join(map(repr, values.tolist())) + "\n")
    exact = run_both(capsys, monkeypatch, "run", "closed-ebh", tmp_path / "t.txt")[0]
    conservative = run_both(capsys, monkeypatch, "run", "closed-ebh", tmp_path / "t.txt", "--conservative")
    assert conservative[0] == conservative[1]
    assert conservative[0][1].splitlines()[0] == exact[1].splitlines()[0]


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["by", "--conservative"], "--conservative applies only to closed-ebh"),
        (["closed-ebh", "--conservative", "--plot", "x.png"], "do not combine with --conservative"),
    ],
)
def test_conservative_option_conflicts(tmp_path, capsys, options, message):
    (tmp_path / "t.txt").write_text("1\n")
    with pytest.raises(SystemExit) as stop:
        main(["run", options[0], str(tmp_path / "t.txt"), *options[1:]])
    assert stop.value.code == 2 and message in capsys.readouterr().err


def test_closed_ebh_keeps_its_e_values_as_float64_with_32_bit_positions(tmp_path):
    table = write_table(tmp_path / "t.csv")
    args = build_parser().parse_args(["run", "closed-ebh", str(table), "--column", "e", *OMIT, "--output", "o.csv"])
    column = run.read_input(args)
    assert column.table is None and column.values.dtype == np.float64 and column.values.size == ROWS - 5
    assert column.numbering.positions.dtype == np.uint32


def write_parquet(path, late=None, labels="text"):
    """The study as Parquet in row groups of 500 rows, with nulls for the missing values; `late` replaces
    the p-value column by text with that entry at row 2901."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    p, e, families = study_rows()
    number = [None if text == "NA" else float(text) for text in p]
    p_column = pa.array(number, pa.float64())
    if late is not None:
        p_column = pa.array(["" if text == "NA" else text for text in p[:2899]] + [late] + p[2900:], pa.string())
    family = {
        "text": pa.array(families, pa.string()),
        "integer": pa.array([int(name[3:]) for name in families], pa.int32()),
        "categorical": pa.array(families, pa.string()).dictionary_encode(),
    }[labels]
    totals = pa.array([4000 + int(name[3:]) * 10 for name in families], pa.int64())
    e_column = pa.array([None if text == "NA" else float(text) for text in e], pa.float64())
    table = pa.table(
        {"id": [f"r{i}" for i in range(ROWS)], "family": family, "p": p_column, "e": e_column, "m": totals}
    )
    pq.write_table(table, path, row_group_size=500)
    return path


@pytest.fixture
def small_parquet_batches(monkeypatch):
    monkeypatch.setattr(reading, "PARQUET_BATCH_ROWS", 70)  # batches that end inside row groups and ties


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("labels", ["text", "integer", "categorical"])
def test_streamed_parquet_report_is_the_whole_columns(
    tmp_path, capsys, monkeypatch, small_parquet_batches, method, labels
):
    table = write_parquet(tmp_path / "t.parquet", labels=labels)
    column = "e" if method.endswith("ebh") else "p"
    for options in (
        ["--json"],
        ["--groups", "family", "--id-column", "id"],
        ["--groups", "family", "--m-column", "m", "--json"],
    ):
        streamed, whole = run_both(capsys, monkeypatch, "run", method, table, "--column", column, *OMIT, *options)
        assert streamed == whole and streamed[0] == 0


@pytest.mark.parametrize("output", ["out.parquet", "out.csv"])
@pytest.mark.parametrize("method", ["by", "closed-ebh"])
def test_streamed_parquet_output_is_the_whole_tables(
    tmp_path, capsys, monkeypatch, small_parquet_batches, output, method
):
    import pyarrow.parquet as pq

    table = write_parquet(tmp_path / "t.parquet", labels="categorical")
    column = "e" if method.endswith("ebh") else "p"
    args = ["run", method, table, "--column", column, *OMIT, "--groups", "family"]
    read_rows = []
    monkeypatch.setattr(reading.ParquetReader, "batches", counted_batches(reading.ParquetReader.batches, read_rows))
    streamed, whole = run_both_written(capsys, monkeypatch, tmp_path, output, *args)
    if output.endswith(".parquet"):
        written = [pq.read_table(tmp_path / name) for name in (output, "whole-" + output)]
        assert written[0].equals(written[1]) and written[0].schema.metadata == written[1].schema.metadata
        streamed, whole = streamed[:3], whole[:3]
    assert streamed == whole and streamed[0] == 0
    assert max(read_rows) <= 70  # every pass read batch by batch


def counted_batches(batches, sizes):
    def counting(self):
        for batch in batches(self):
            sizes.append(batch.num_rows)
            yield batch

    return counting


@pytest.mark.parametrize(
    ("late", "message"),
    [("abc", "row 2900, column 'p': 'abc' is not a number"), ("1.5", "row 2900, column 'p': p-values must lie")],
)
def test_streamed_parquet_problem_late_is_named_and_nothing_written(
    tmp_path, capsys, monkeypatch, small_parquet_batches, late, message
):
    table = write_parquet(tmp_path / "t.parquet", late=late)
    streamed, whole = run_both_written(
        capsys, monkeypatch, tmp_path, "out.parquet", "run", "by", table, "--column", "p", *OMIT
    )
    assert streamed == whole and streamed[0] == 1 and streamed[3] is None and message in streamed[2]


@pytest.mark.parametrize("piped", [False, True], ids=["file", "standard input"])
def test_empty_input_with_output_writes_an_empty_table(tmp_path, capsys, monkeypatch, spool_directory, piped):
    (tmp_path / "empty.txt").write_bytes(b"")
    out = tmp_path / "out.csv"
    if piped:
        result = run_piped(capsys, monkeypatch, b"", "run", "by", "-", "--output", out)
    else:
        result = (main(["run", "by", str(tmp_path / "empty.txt"), "--output", str(out)]), *capsys.readouterr())
    assert result[0] == 0 and result[1].startswith("by at alpha 0.05: 0 of 0 hypotheses rejected")
    assert out.read_bytes() == b"" and list(spool_directory.iterdir()) == []


PANDAS_CHECK = """
import sys
from tarvimo.__main__ import pyarrow_without_pandas
pyarrow_without_pandas()
from tarvimo._cli import main
code = main(sys.argv[1:])
print(code, "pandas" in sys.modules)
import pandas, pyarrow  # pandas itself still loads; pyarrow takes a Series as numpy, as without pandas
print(pyarrow.array(pandas.Series([1.5, None])).to_pylist())
"""


def test_the_program_runs_without_loading_pandas(tmp_path):
    table = write_table(tmp_path / "t.csv")
    args = ["run", "closed-ebh", str(table), "--column", "e", *OMIT, "--groups", "family", "--output", "o.parquet"]
    done = subprocess.run([sys.executable, "-c", PANDAS_CHECK, *args], capture_output=True, text=True, cwd=tmp_path)
    assert done.stdout.splitlines()[-2:] == ["0 False", "[1.5, nan]"], done.stderr
