"""`tarvimo run` on tables: formats, compression, missing values, line numbers, --output round trips.

Most cases call the entry point in this process; the ones about standard
input and the process's exit run it in a subprocess, as a user does.
"""

import bz2
import gzip
import io
import json
import math
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.csv as pcsv
import pyarrow.parquet as pq
import pytest

import tarvimo
from tarvimo._cli import main
from tarvimo._cli.layout import Layout, TableError, inferred_delimiter, layout_of
from tarvimo._cli.numbers import SMALLEST_DOUBLE, BadNumber, numbers_from_text, pvalues_from_log10, strongest_first
from tarvimo._cli.run import PROCEDURES

GENES = ["g1", "g2", "g3", "g4", "g5", "g6"]
P_TEXT = ["0.2", "0.001", "0.04", "0.0001", "1e-400", "0.9"]
E_TEXT = ["1.5", "400", "2", "900", "inf", "0"]


def run(capsys, *args):
    """The exit code, standard output and standard error of the command line run in this process."""
    try:
        code = main([str(arg) for arg in args])
    except SystemExit as exc:  # argparse's own exit
        code = exc.code
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def subprocess_run(*args, stdin):
    return subprocess.run(
        [sys.executable, "-m", "tarvimo", "run", *args], input=stdin, capture_output=True, check=False
    )


def text_table(delimiter=","):
    header = delimiter.join(["gene", "p", "e"])
    rows = [delimiter.join(cells) for cells in zip(GENES, P_TEXT, E_TEXT, strict=True)]
    return "\n".join([header, *rows]) + "\n"


def compressed(data: bytes, codec):
    if codec == "gzip":
        return gzip.compress(data)
    if codec == "bz2":
        return bz2.compress(data)
    if codec == "zstd":
        return pa.compress(data, "zstd", asbytes=True)
    return data


def read_strings(path, delimiter):
    """A text table as strings, read by pyarrow directly."""
    with pa.input_stream(str(path), compression="detect") as stream:
        data = stream.read()
    names = data.split(b"\n", 1)[0].decode().split(delimiter)
    return pcsv.read_csv(
        io.BytesIO(data),
        parse_options=pcsv.ParseOptions(delimiter=delimiter),
        convert_options=pcsv.ConvertOptions(column_types={n: pa.string() for n in names}, strings_can_be_null=False),
    )


FORMATS = [  # file name, delimiter, compression, extra options
    ("t.csv", ",", None, []),
    ("t.tsv", "\t", None, []),
    ("t.csv.gz", ",", "gzip", []),
    ("t.tsv.bz2", "\t", "bz2", []),
    ("t.TSV.zst", "\t", "zstd", []),
    ("t.txt", "\t", None, []),  # the delimiter inferred from the header line
    ("t.dat", ";", None, ["--delimiter", ";"]),
]


@pytest.mark.parametrize(("name", "delimiter", "codec", "options"), FORMATS)
def test_output_round_trips_every_text_format(tmp_path, capsys, name, delimiter, codec, options):
    source = tmp_path / name
    source.write_bytes(compressed(text_table(delimiter).encode(), codec))
    target = tmp_path / ("out" + name[1:])
    code, out, err = run(capsys, "run", "closed-ebh", source, "--column", "e", *options, "--output", target)
    assert (code, err) == (0, "")
    assert out.splitlines()[-1] == f"Table with the column 'rejected' written to {target}"
    written = read_strings(target, delimiter)
    assert written.drop_columns(["rejected"]).equals(read_strings(source, delimiter))
    expected = tarvimo.closed_ebh([float(e) for e in E_TEXT])
    assert written.column("rejected").to_pylist() == ["true" if flag else "false" for flag in expected]


def test_parquet_in_and_out_keeps_types_and_adds_the_flag(tmp_path, capsys):
    table = pa.table({"gene": GENES, "p": [float(p) for p in P_TEXT], "n": list(range(6))})
    pq.write_table(table, tmp_path / "in.parquet")
    code, _, err = run(
        capsys,
        "run",
        "by",
        tmp_path / "in.parquet",
        "--column",
        "p",
        "--output",
        tmp_path / "out.pq",
        "--flag-column",
        "significant",
    )
    assert (code, err) == (0, "")
    written = pq.read_table(tmp_path / "out.pq")
    assert written.drop_columns(["significant"]).equals(table)
    assert written.column("significant").to_pylist() == tarvimo.by(table.column("p").to_numpy()).tolist()
    # Parquet to a compressed TSV: the typed columns become text, the row order stays
    run(capsys, "run", "by", tmp_path / "in.parquet", "--column", "p", "--output", tmp_path / "out.tsv.gz")
    assert read_strings(tmp_path / "out.tsv.gz", "\t").column("gene").to_pylist() == GENES


def test_text_is_kept_as_written_and_quoted_only_where_needed(tmp_path, capsys):
    (tmp_path / "t.csv").write_text('id,note,p\n007,"a, b",0.010\n08,NA,1e-400\n9,,0.5\n')
    run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--output", tmp_path / "o.csv")
    # a cell with the delimiter needs quotes; the others stay as they were
    assert (tmp_path / "o.csv").read_text().splitlines()[1:] == [
        '007,"a, b",0.010,true',
        "08,NA,1e-400,true",
        "9,,0.5,false",
    ]
    (tmp_path / "t.tsv").write_text("id\tp\n007\t0.010\n08\t1e-400\n")
    run(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--output", tmp_path / "o.tsv")
    assert (tmp_path / "o.tsv").read_text() == "id\tp\trejected\n007\t0.010\ttrue\n08\t1e-400\ttrue\n"


def test_output_to_standard_output_and_the_json_summary_of_a_file(tmp_path, capsys):
    (tmp_path / "t.tsv").write_text(text_table("\t"))
    code, out, _ = run(
        capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--output", tmp_path / "o.csv", "--json"
    )
    report = json.loads(out)
    assert (code, report["output"], report["rejections"], "rejected" in report) == (
        0,
        str(tmp_path / "o.csv"),
        3,
        False,
    )
    assert (tmp_path / "o.csv").read_text().splitlines()[:2] == ["gene,p,e,rejected", "g1,0.2,1.5,false"]
    result = subprocess_run("by", str(tmp_path / "t.tsv"), "--column", "p", "--output", "-", stdin=b"")
    assert result.stdout.decode() == text_table("\t").replace("\n", "\t{}\n").format(
        "rejected", "false", "true", "false", "true", "true", "false"
    )


def test_a_file_of_one_value_per_line_gets_the_flag_as_a_second_field(tmp_path, capsys):
    (tmp_path / "p.txt").write_text("0.2\n0.001\n\n0.04\n")
    run(capsys, "run", "by", tmp_path / "p.txt", "--output", tmp_path / "o.txt")
    assert (tmp_path / "o.txt").read_text() == "0.2,false\n0.001,true\n0.04,false\n"


@pytest.mark.parametrize("token", ["", "NA", "NaN", "nan", "null", ".", " NA "])
def test_missing_value_tokens_are_nan(tmp_path, capsys, token):
    (tmp_path / "t.csv").write_text(f"g,p\na,0.001\nb,{token}\nc,0.002\n")
    code, out, _ = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--nan-policy", "omit", "--json")
    assert code == 0
    assert {key: json.loads(out)[key] for key in ("hypotheses", "omitted", "rejections")} == {
        "hypotheses": 2,
        "omitted": 1,
        "rejections": 2,
    }
    code, _, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p")
    assert (code, err) == (
        1,
        "tarvimo: error: line 3, column 'p': missing or NaN value (--nan-policy omit leaves it unrejected)\n",
    )


def test_line_numbers_count_skipped_blank_lines_across_batches(tmp_path, capsys):
    # Over 2 MiB of text, so that the reader's 1 MiB blocks split it; blank
    # lines, a whitespace-only line and CRLF line ends shift the numbers.
    lines = ["0.5123456789"] * 400_000
    lines[10] = lines[11] = ""
    lines[12] = "  "
    lines[300_000] = "1e-12"
    (tmp_path / "p.txt").write_bytes(("\r\n".join(lines) + "\r\n").encode())
    code, out, _ = run(capsys, "run", "by", tmp_path / "p.txt", "--json")
    report = json.loads(out)
    assert (code, report["hypotheses"], report["rejected"]) == (0, 399_997, [{"line": 300_001, "value": 1e-12}])
    lines[350_000] = "0.5x"
    (tmp_path / "p.txt").write_text("\n".join(lines) + "\n")
    code, _, err = run(capsys, "run", "by", tmp_path / "p.txt")
    assert (code, err[:-1].split(" (missing values: ")[0]) == (1, "tarvimo: error: line 350001: '0.5x' is not a number")


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        ("p,e\n0.1,1\n0.2,x\n", ["--column", "e"], "line 3, column 'e': 'x' is not a number"),
        ("p,e\n0.1,1\n", ["--column", "3"], "no column '3' in the header line (columns: 'p', 'e')"),
        (
            "p\te\n0.1\t1\n",
            ["--column", "e", "--delimiter", ","],
            "no column 'e' in the header line (columns: 'p\\te'; is the delimiter '\\t'? say so with --delimiter)",
        ),
        (
            "p,e,p\n0.1,1,2\n",
            ["--column", "e"],
            "the column name 'p' appears twice in the header (columns 1 and 3); give every column its own name",
        ),
        (
            "p,rejected\n0.1,1\n",
            ["--column", "p", "--output", "o.csv"],
            "the input already has a column 'rejected'; name the added one with --flag-column",
        ),
        (
            "p,g\n0.1,a\n0.2,\n",
            ["--column", "p", "--groups", "g"],
            "line 3, column 'g': no group label (every value needs its family)",
        ),
        ("p,e\n0.1,1,5\n", ["--column", "p"], "line 2 has 3 fields where the header line has 2: '0.1,1,5'"),
        ("p\n", ["--column", "q"], "no column 'q' in the header line (columns: 'p')"),
        ("", ["--column", "p"], "no column 'p': the input is empty"),
        (
            b"p\n0.1\n\xff\n",
            ["--column", "p"],
            "line 3, column 'p': byte 0xff is not UTF-8 text; name the file's encoding with --encoding",
        ),
        ("p\n0.1\n", [], "line 1: 'p' is not a number (a header line? name the column: --column p)"),
        (
            "0.001,5\n0.2,7\n",
            ["--column", "1"],
            "line 1 holds the number '0.001' where the name of the column should be",
        ),
        ("0.1;0.2\n", ["--delimiter", "semicolon"], "line 1: expected one value per line, found 2 fields"),
    ],
)
def test_table_problems_are_one_line_naming_where(tmp_path, capsys, monkeypatch, content, args, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "t.csv").write_bytes(content if isinstance(content, bytes) else content.encode())
    code, out, err = run(capsys, "run", "by", "t.csv", *args)
    assert (code, out) == (1, "")
    assert err.startswith(f"tarvimo: error: {message}") and err.count("\n") == 1


def test_column_by_number_and_parquet_rows(tmp_path, capsys):
    (tmp_path / "t.csv").write_text(text_table())
    code, out, _ = run(capsys, "run", "ebh", tmp_path / "t.csv", "--column", "3", "--json")
    assert json.loads(out)["rejected"] == [
        {"line": 3, "value": 400.0},
        {"line": 5, "value": 900.0},
        {"line": 6, "value": "inf"},
    ]
    pq.write_table(pa.table({"p": ["0.1", "0.2", "bad"]}), tmp_path / "t.parquet")
    code, _, err = run(capsys, "run", "by", tmp_path / "t.parquet", "--column", "p")
    assert (code, err.split(" (missing values")[0]) == (1, "tarvimo: error: row 3, column 'p': 'bad' is not a number")
    pq.write_table(pa.table({"p": [True]}), tmp_path / "b.parquet")
    assert run(capsys, "run", "by", tmp_path / "b.parquet", "--column", "p")[2] == (
        "tarvimo: error: column 'p' holds bool values, not numbers\n"
    )


def test_numbers_below_the_smallest_double_stay_apart_from_zero(tmp_path, capsys):
    (tmp_path / "p.txt").write_text("0.5\n1e-400\n0.3\n0e5\n")
    code, out, _ = run(capsys, "run", "closed-by", tmp_path / "p.txt", "--json")
    assert json.loads(out)["rejected"] == [{"line": 2, "value": SMALLEST_DOUBLE}, {"line": 4, "value": 0.0}]
    (tmp_path / "e.txt").write_text("-1e-400\n")
    assert run(capsys, "run", "ebh", tmp_path / "e.txt")[2] == (
        "tarvimo: error: line 1: e-values must be non-negative (found -5e-324)\n"
    )


class TestLog10:
    def test_pvalues_from_log10_keep_underflowing_values_positive(self):
        strengths = np.array([0.0, 1.0, 2.5, 330.0, 1e300, math.inf, math.nan])
        assert pvalues_from_log10(strengths).tolist()[:6] == [1.0, 0.1, 10**-2.5, SMALLEST_DOUBLE, SMALLEST_DOUBLE, 0.0]

    def test_strongest_first_orders_ties_by_strength_within_each_family(self):
        strengths = np.array([500.0, 400.0, 500.0, 3.0, 600.0, 700.0, math.nan])
        mask = np.array([False, True, False, True, False, False, False])  # one rejection in each family
        groups = np.array([0, 0, 0, 1, 1, 1, 1], dtype=np.int32)
        assert strongest_first(mask, strengths, groups).tolist() == [
            True,
            False,
            False,
            False,
            False,
            True,
            False,
        ]  # equal strengths: the earlier first
        assert strongest_first(mask, strengths, None).tolist() == [False, False, False, False, True, True, False]

    def test_agrees_with_the_procedure_on_the_pvalues(self, tmp_path, capsys):
        rng = np.random.default_rng(5)
        pvalues = rng.uniform(size=500) ** 4
        (tmp_path / "t.tsv").write_text("x\n" + "\n".join(repr(float(-np.log10(p))) for p in pvalues) + "\n")
        code, out, _ = run(capsys, "run", "closed-by", tmp_path / "t.tsv", "--column", "x", "--log10", "--json")
        lines = [entry["line"] - 2 for entry in json.loads(out)["rejected"]]
        assert code == 0 and lines == np.flatnonzero(tarvimo.closed_by(pvalues)).tolist()

    def test_a_table_without_data_lines_rejects_nothing_per_family(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text("x,g\n\n")
        code, out, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "x", "--groups", "g", "--log10")
        assert (code, err) == (0, "") and out.startswith("by at alpha 0.05: 0 of 0 hypotheses rejected")


@pytest.mark.parametrize("codec", ["gzip", "bz2", "zstd", None])
def test_standard_input_is_sniffed_for_compression_and_keeps_no_bom(codec):
    data = compressed(("\ufeff" + text_table()).encode(), codec)
    result = subprocess_run("by", "-", "--column", "p", "--json", stdin=data)
    assert result.returncode == 0, result.stderr
    assert [entry["line"] for entry in json.loads(result.stdout)["rejected"]] == [3, 5, 6]


def test_parquet_on_standard_input_and_to_standard_output(tmp_path):
    sink = pa.BufferOutputStream()
    pq.write_table(pa.table({"p": [0.001, 0.5]}), sink)
    result = subprocess_run("by", "-", "--column", "p", "--output", "-", stdin=sink.getvalue().to_pybytes())
    assert result.returncode == 0, result.stderr
    assert pq.read_table(pa.BufferReader(result.stdout)).column("rejected").to_pylist() == [True, False]


def test_numbers_from_text_finds_the_first_bad_entry():
    text = pa.array(["1"] * 1000 + ["x", "y"] + ["2"] * 10)
    with pytest.raises(BadNumber) as caught:
        numbers_from_text(text)
    assert (caught.value.position, caught.value.text) == (1000, "x")
    numbers = numbers_from_text(pa.array([" 1 ", "NA", "inf", "-0", "0.0e-999", "-1E-400", "1e-400"]))
    assert numbers.to_pylist()[::2] == [1.0, math.inf, 0.0, SMALLEST_DOUBLE]
    assert math.copysign(1.0, numbers[3].as_py()) == -1.0 and numbers[5].as_py() == -SMALLEST_DOUBLE


def test_a_failed_write_leaves_an_existing_path_alone(tmp_path, capsys):
    (tmp_path / "p.txt").write_text("0.1\n")
    (tmp_path / "out.csv").mkdir()
    code, _, err = run(capsys, "run", "by", tmp_path / "p.txt", "--output", tmp_path / "out.csv")
    assert (code, err) == (1, f"tarvimo: error: cannot write {tmp_path / 'out.csv'}: Is a directory\n")
    assert (tmp_path / "out.csv").is_dir()


def test_layout_follows_the_extensions():
    assert layout_of("a.tsv.gz", None) == Layout(False, "\t", "gzip")
    assert layout_of("a.CSV.BZ2", None) == Layout(False, ",", "bz2")
    assert layout_of("a.v1.txt", "|") == Layout(False, "|", None)
    assert layout_of("-", None) == Layout(False, None, None)
    assert layout_of("a.pq", None) == Layout(parquet=True)
    with pytest.raises(TableError, match="Parquet files carry their own compression"):
        layout_of("a.parquet.gz", None)
    assert [inferred_delimiter(line) for line in ("a\tb,c", "a;b", "a;b,c", "a")] == ["\t", ";", ",", ","]


def test_broken_pipe_ends_quietly_with_the_sigpipe_status(tmp_path):
    (tmp_path / "p.txt").write_text("0.0000001\n" * 200_000)
    for extra in ([], ["--output", "-"]):
        process = subprocess.Popen(
            [sys.executable, "-m", "tarvimo", "run", "by", str(tmp_path / "p.txt"), *extra],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        assert process.stdout.readline()
        process.stdout.close()  # the reader goes away, as `| head -1` does
        assert (process.wait(timeout=60), process.stderr.read()) == (141, b"")
        process.stderr.close()


class TestFamiliesAndTruncatedLists:
    def table(self, tmp_path):
        rng = np.random.default_rng(11)
        genes = rng.choice(["BRCA1", "TP53", "APOE", "EGFR"], 400)
        pvalues, evalues = rng.uniform(size=400) ** 6, rng.exponential(size=400) ** 3
        rows = [f"{g}\t{p!r}\t{e!r}" for g, p, e in zip(genes.tolist(), pvalues.tolist(), evalues.tolist())]
        (tmp_path / "t.tsv").write_text("\n".join(["gene\tp\te", *rows]) + "\n")
        return genes, pvalues, evalues

    @pytest.mark.parametrize(("method", "column"), [("by", "p"), ("closed-by", "p"), ("ebh", "e"), ("closed-ebh", "e")])
    def test_groups_give_the_mask_of_the_api(self, tmp_path, capsys, method, column):
        genes, pvalues, evalues = self.table(tmp_path)
        code, out, err = run(
            capsys,
            "run",
            method,
            tmp_path / "t.tsv",
            "--column",
            column,
            "--groups",
            "gene",
            "--alpha",
            "0.1",
            "--output",
            tmp_path / "o.parquet",
            "--json",
        )
        assert (code, err, json.loads(out)["families"]) == (0, "", 4)
        procedure = PROCEDURES[method]
        expected = procedure(pvalues if column == "p" else evalues, 0.1, groups=genes)
        assert pq.read_table(tmp_path / "o.parquet").column("rejected").to_pylist() == expected.tolist()

    @pytest.mark.parametrize(("method", "column"), [("by", "p"), ("closed-by", "p"), ("ebh", "e"), ("closed-ebh", "e")])
    def test_m_counts_the_hypotheses_left_out(self, tmp_path, capsys, method, column):
        _, pvalues, evalues = self.table(tmp_path)
        code, out, _ = run(capsys, "run", method, tmp_path / "t.tsv", "--column", column, "--m", "5000", "--json")
        report = json.loads(out)
        assert (code, report["hypotheses"], report["listed"]) == (0, 5000, 400)
        expected = PROCEDURES[method](pvalues if column == "p" else evalues, m=5000)
        assert [entry["line"] - 2 for entry in report["rejected"]] == np.flatnonzero(expected).tolist()
        code, _, err = run(capsys, "run", method, tmp_path / "t.tsv", "--column", column, "--m", "399")
        assert code == 1 and err.startswith("tarvimo: error: ") and err.count("\n") == 1
