"""`tarvimo run` on real files: stray quotes, encodings, aligned tables, categorical Parquet, output formats,
family labels, hints, and the labels of the report.

Each case builds its small file in the test; the property test at the end
writes random tables and reads them back through --output.
"""

import csv
import io
import json
import lzma

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas._libs.parsers import STR_NA_VALUES

import tarvimo
from tarvimo._cli import main
from tarvimo._cli.numbers import MISSING_TOKENS

STRAY_QUOTES = 'gene\tdesc\tp\nA\t"open quote\t0.001\nB\tplain\t0.2\nC\tclose"\t0.0001\nD\tx\t0.3\n'


def run(capsys, *args):
    """The exit code, standard output and standard error of the command line run in this process."""
    try:
        code = main([str(arg) for arg in args])
    except SystemExit as exc:  # argparse's own exit
        code = exc.code
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def report(capsys, *args):
    code, out, err = run(capsys, *args, "--json")
    assert (code, err) == (0, ""), err
    return json.loads(out)


def lines_of(result):
    return [entry["line"] for entry in result["rejected"]]


class TestQuotes:
    def test_a_stray_quote_in_a_tsv_is_text_and_merges_nothing(self, tmp_path, capsys):
        (tmp_path / "t.tsv").write_text(STRAY_QUOTES)
        result = report(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p")
        assert (result["hypotheses"], lines_of(result)) == (4, [2, 4])
        run(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--output", tmp_path / "o.tsv")
        assert (tmp_path / "o.tsv").read_text().splitlines()[1:] == [
            'A\t"open quote\t0.001\ttrue',
            "B\tplain\t0.2\tfalse",
            'C\tclose"\t0.0001\ttrue',
            "D\tx\t0.3\tfalse",
        ]

    def test_a_large_annotated_tsv_keeps_every_row(self, tmp_path, capsys):
        notes = np.array(["exon"] * 100_000, dtype=object)
        notes[1_000], notes[60_000] = '"5 prime UTR', 'near 3" end'
        pvalues = np.full(100_000, 0.5)
        pvalues[[500, 30_000, 99_999]] = 1e-12
        rows = [f"g{i}\t{note}\t{p!r}" for i, (note, p) in enumerate(zip(notes.tolist(), pvalues.tolist()))]
        (tmp_path / "annot.tsv").write_text("\n".join(["gene\tannotation\tp", *rows]) + "\n")
        result = report(capsys, "run", "by", tmp_path / "annot.tsv", "--column", "p")
        assert (result["hypotheses"], lines_of(result)) == (100_000, [502, 30_002, 100_001])

    def test_a_stray_quote_in_a_csv_is_an_error_naming_its_line(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text(STRAY_QUOTES.replace("\t", ","))
        code, out, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p")
        assert (code, out) == (1, "")
        assert err.startswith("tarvimo: error: line 2: a quoted field runs past the end of the line")
        # closing on a line with another number of fields: a ragged row, still named by the quote's line
        (tmp_path / "r.csv").write_text('g,d,p\nA,x,0.1\nB,"open,0.2\nC,x,y,0.3\nD,close",0.4\n')
        assert run(capsys, "run", "by", tmp_path / "r.csv", "--column", "p")[2].startswith(
            "tarvimo: error: line 3: a quoted field runs past the end of the line"
        )
        # a merged row before a ragged one: the stray quote is what is named
        (tmp_path / "m.csv").write_text('g,d,p\nA,"open,0.1\nB,x,0.2\nC,close",0.3\nD,x,y,0.4\n')
        assert run(capsys, "run", "by", tmp_path / "m.csv", "--column", "p")[2].startswith(
            "tarvimo: error: line 2: a quoted field runs past the end of the line"
        )

    def test_multiline_fields_count_their_physical_lines(self, tmp_path, capsys):
        # a multi-line field early, a blank line, and a rejection past the reader's first 1 MiB block
        rows = ['a,"two\nlines",0.5', 'b,"three\r\nline\rends",0.5', ",,", *["c,x,0.5"] * 200_000, "d,x,1e-12"]
        (tmp_path / "t.csv").write_text("g,note,p\n" + "\n".join(rows) + "\n")
        result = report(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--multiline")
        assert (result["hypotheses"], lines_of(result)) == (200_003, [200_008])
        (tmp_path / "bad.csv").write_text('g,note,p\na,"two\nlines",0.5\nb,x,0.5,9\n')
        assert run(capsys, "run", "by", tmp_path / "bad.csv", "--column", "p", "--multiline")[2].startswith(
            "tarvimo: error: line 4 has 4 fields where the header line has 3"
        )
        (tmp_path / "x.csv").write_text('g,note,p\na,"two\nlines",0.5\nb,x,0.5x\n')
        assert run(capsys, "run", "by", tmp_path / "x.csv", "--column", "p", "--multiline")[2].startswith(
            "tarvimo: error: line 4, column 'p': '0.5x' is not a number"
        )


class TestAlignedTables:
    ASSOC = (
        " CHR         SNP         BP   A1      F_A      F_U   A2        CHISQ            P           OR \n"
        "   1   rs3094315     752566    G   0.1594   0.1394    A       0.8557        0.355        1.171 \n"
        "   1  rs12562034     768448    A  0.07812  0.07704    G      0.00568          0.94        1.015 \n"
        "\n"
        "   2   rs4475691     846808    T   0.1875   0.1019    C        9.131     2.51e-09        2.031 \n"
        "   2   rs1806509     853954    C   0.4219   0.4137    A      0.02475           NA        1.035 \n"
    )

    def test_plink_assoc_is_read_with_runs_of_blanks_as_one_delimiter(self, tmp_path, capsys):
        (tmp_path / "plink.assoc").write_text(self.ASSOC)
        result = report(
            capsys, "run", "by", tmp_path / "plink.assoc", "--column", "P", "--id-column", "SNP", "--nan-policy", "omit"
        )
        assert (result["hypotheses"], result["rejected"]) == (3, [{"line": 5, "id": "rs4475691", "value": 2.51e-09}])
        (tmp_path / "plink.tsv").write_text(self.ASSOC)  # the extension says tab; the option says otherwise
        result = report(
            capsys,
            "run",
            "by",
            tmp_path / "plink.tsv",
            "--column",
            "P",
            "--delimiter",
            "whitespace",
            "--nan-policy",
            "omit",
            "--output",
            tmp_path / "o.tsv",
        )
        assert (tmp_path / "o.tsv").read_text().splitlines()[:2] == [
            "CHR\tSNP\tBP\tA1\tF_A\tF_U\tA2\tCHISQ\tP\tOR\trejected",
            "1\trs3094315\t752566\tG\t0.1594\t0.1394\tA\t0.8557\t0.355\t1.171\tfalse",
        ]

    def test_a_single_column_named_with_spaces_stays_one_column(self, tmp_path, capsys):
        (tmp_path / "p.txt").write_text("p value\n0.001\n0.5\n")
        assert lines_of(report(capsys, "run", "by", tmp_path / "p.txt", "--column", "p value")) == [2]

    def test_a_single_column_header_with_spaces_suggests_whitespace(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text("CHR  SNP  P\n1  rs1  0.1\n")
        assert (
            "is the delimiter whitespace? say so with --delimiter"
            in run(capsys, "run", "by", tmp_path / "t.csv", "--column", "P")[2]
        )


class TestEncodings:
    def test_latin1_header_and_body(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_bytes("gène,p\nSéb,0.001\nx,0.5\n".encode("latin-1"))
        code, _, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p")
        assert (code, err) == (
            1,
            "tarvimo: error: line 1: byte 0xe8 (at byte 2 of the line) is not UTF-8 text; "
            "name the file's encoding with --encoding (for example --encoding latin-1)\n",
        )
        run(
            capsys,
            "run",
            "by",
            tmp_path / "t.csv",
            "--column",
            "p",
            "--encoding",
            "latin-1",
            "--output",
            tmp_path / "o.csv",
        )
        assert (tmp_path / "o.csv").read_text(encoding="utf-8") == "gène,p,rejected\nSéb,0.001,true\nx,0.5,false\n"
        (tmp_path / "b.csv").write_bytes("gene,p\na,0.1\n\nS\xe9b,0.2\n".encode("latin-1"))
        code, _, err = run(capsys, "run", "by", tmp_path / "b.csv", "--column", "p")
        assert (code, err.split(";")[0]) == (1, "tarvimo: error: line 4, column 'gene': byte 0xe9 is not UTF-8 text")
        assert run(capsys, "run", "by", "-", "--encoding", "klingon")[0] == 2


class TestParquetCategoricals:
    def test_categorical_families_and_values(self, tmp_path, capsys):
        frame = pd.DataFrame({"gene": pd.Categorical(["a", "b", "a", "b", "c"]), "p": [0.001, 0.2, 0.01, 0.0001, 0.5]})
        frame["ptext"] = pd.Categorical(frame["p"].astype(str))
        frame.to_parquet(tmp_path / "cat.parquet")
        expected = tarvimo.by(frame["p"].to_numpy(), groups=frame["gene"].to_numpy())
        for column in ("p", "ptext"):
            result = report(
                capsys,
                "run",
                "by",
                tmp_path / "cat.parquet",
                "--column",
                column,
                "--groups",
                "gene",
                "--id-column",
                "ptext",
            )
            assert [entry["row"] for entry in result["rejected"]] == (np.flatnonzero(expected) + 1).tolist()
            assert [entry["family"] for entry in result["rejected"]] == ["a", "a", "b"]
        frame.loc[3, "gene"] = None
        frame.to_parquet(tmp_path / "null.parquet")
        assert run(capsys, "run", "by", tmp_path / "null.parquet", "--column", "p", "--groups", "gene")[2] == (
            "tarvimo: error: row 4, column 'gene': no group label (every value needs its family)\n"
        )
        pd.DataFrame({"g": [1.0, float("nan")], "p": [0.1, 0.2]}).to_parquet(tmp_path / "nan.parquet")
        assert (
            "row 2, column 'g': no group label"
            in run(capsys, "run", "by", tmp_path / "nan.parquet", "--column", "p", "--groups", "g")[2]
        )
        run(
            capsys,
            "run",
            "by",
            tmp_path / "cat.parquet",
            "--column",
            "p",
            "--groups",
            "gene",
            "--output",
            tmp_path / "o.csv",
        )
        assert (tmp_path / "o.csv").read_text().splitlines()[1] == "a,0.001,0.001,true"


class TestOutputFormats:
    def test_an_extension_it_does_not_write_is_refused_before_reading(self, tmp_path, capsys):
        code, _, err = run(
            capsys, "run", "by", tmp_path / "missing.csv", "--column", "p", "--output", tmp_path / "o.xlsx"
        )
        assert code == 2 and "not .xlsx files" in err and not (tmp_path / "o.xlsx").exists()

    def test_xz_is_written_compressed_and_read_back(self, tmp_path, capsys):
        (tmp_path / "t.tsv").write_text("g\tp\na\t0.001\nb\t0.5\n")
        run(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--output", tmp_path / "o.tsv.xz")
        written = lzma.decompress((tmp_path / "o.tsv.xz").read_bytes())
        assert written == b"g\tp\trejected\na\t0.001\ttrue\nb\t0.5\tfalse\n"
        assert lines_of(report(capsys, "run", "by", tmp_path / "o.tsv.xz", "--column", "p")) == [2]

    def test_parquet_from_text_keeps_numbers_numeric_and_missing_null(self, tmp_path, capsys):
        (tmp_path / "t.tsv").write_text("gene\tpos\tp\tbeta\nA\t12\t0.001\tNA\nB\t7\tNA\t0.5\nNA\t9\t1e-400\t-1\n")
        run(
            capsys,
            "run",
            "by",
            tmp_path / "t.tsv",
            "--column",
            "p",
            "--nan-policy",
            "omit",
            "--output",
            tmp_path / "o.parquet",
        )
        table = pq.read_table(tmp_path / "o.parquet")
        assert [str(kind) for kind in table.schema.types] == ["string", "int64", "double", "double", "bool"]
        assert table.to_pydict() == {
            "gene": ["A", "B", None],
            "pos": [12, 7, 9],
            "p": [0.001, None, 5e-324],
            "beta": [None, 0.5, -1.0],
            "rejected": [True, False, True],
        }

    @pytest.mark.parametrize("name", ["t.csv", "t.tsv.gz", "t.parquet"])
    @pytest.mark.parametrize("levels", [[], ["--adjusted-column", "level"]])
    def test_output_naming_the_input_replaces_it_whole(self, tmp_path, capsys, name, levels):
        # Read again while written (without levels) or read whole first: either way every row comes back.
        rng = np.random.default_rng(8)
        frame = pd.DataFrame({"id": [f"r{i}" for i in range(5000)], "p": rng.uniform(size=5000) ** 4})
        path = tmp_path / name
        if name.endswith(".parquet"):
            frame.to_parquet(path)
        else:
            frame.to_csv(path, sep="\t" if ".tsv" in name else ",", index=False)
        path.chmod(0o640)
        link = tmp_path / f"link.{name}"  # the output names the input through a link
        link.symlink_to(path)
        code, _, err = run(capsys, "run", "by", path, "--column", "p", "--output", link, *levels)
        assert (code, err) == (0, ""), err
        written = pd.read_parquet(path) if name.endswith(".parquet") else pd.read_csv(path, sep=None, engine="python")
        assert written["id"].tolist() == frame["id"].tolist()
        assert written["rejected"].tolist() == tarvimo.by(frame["p"].to_numpy()).tolist()
        assert (path.stat().st_mode & 0o777, link.is_symlink()) == (0o640, True)
        assert sorted(entry.name for entry in tmp_path.iterdir()) == [f"link.{name}", name]

    def test_a_failed_write_over_the_input_leaves_it_as_it_was(self, tmp_path, capsys, monkeypatch):
        from tarvimo._cli import writing

        def failing(table, sink, *args):
            sink.write(b"half a ta")
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(writing, "write_text", failing)
        (tmp_path / "t.csv").write_text("g,p\na,0.001\nb,0.5\n")
        code, _, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--output", tmp_path / "t.csv")
        assert code == 1 and "No space left on device" in err
        assert (tmp_path / "t.csv").read_text() == "g,p\na,0.001\nb,0.5\n"
        assert [entry.name for entry in tmp_path.iterdir()] == ["t.csv"]

    def test_a_tsv_cannot_hold_a_tab_from_a_quoted_csv_cell(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text('g,p\n"a\tb",0.1\n')
        code, _, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--output", tmp_path / "o.tsv")
        assert code == 1 and "holds a tab or a line end" in err and not (tmp_path / "o.tsv").exists()


class TestFamilies:
    def test_groups_naming_the_value_column_is_refused(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text("g,p\na,0.1\n")
        for groups in ("p", "2"):
            code, _, err = run(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--groups", groups)
            assert code in (1, 2) and "--groups names the value column" in err

    def test_labels_are_trimmed_and_missing_ones_refused(self, tmp_path, capsys):
        (tmp_path / "t.csv").write_text("g,p\n 1,0.001\n1,0.04\n1 ,0.03\n2,0.5\n")
        result = report(capsys, "run", "by", tmp_path / "t.csv", "--column", "p", "--groups", "g")
        expected = tarvimo.by([0.001, 0.04, 0.03, 0.5], groups=[1, 1, 1, 2])
        assert (result["families"], lines_of(result)) == (2, (np.flatnonzero(expected) + 2).tolist())
        for label in ("NA", " n/a", "#N/A", "NULL"):
            (tmp_path / "m.csv").write_text(f"g,p\na,0.1\n\n{label},0.2\n")
            code, _, err = run(capsys, "run", "by", tmp_path / "m.csv", "--column", "p", "--groups", "g")
            assert (code, err) == (
                1,
                f"tarvimo: error: line 4, column 'g': no group label ({label.strip()!r} marks a "
                "missing value; every value needs its family)\n",
            )

    def test_the_report_names_ids_families_and_summarises_them(self, tmp_path, capsys):
        rng = np.random.default_rng(3)
        genes = rng.choice(["TP53", "APOE", "EGFR", "MYC"], 300, p=[0.4, 0.3, 0.2, 0.1])
        pvalues = rng.uniform(size=300) ** 5
        rows = [f"{g}\trs{i}\t{p!r}" for i, (g, p) in enumerate(zip(genes.tolist(), pvalues.tolist()))]
        (tmp_path / "t.tsv").write_text("\n".join(["gene\tsnp\tp", *rows]) + "\n")
        result = report(
            capsys, "run", "closed-by", tmp_path / "t.tsv", "--column", "p", "--groups", "gene", "--id-column", "snp"
        )
        expected = tarvimo.closed_by(pvalues, groups=genes)
        rejected = np.flatnonzero(expected)
        assert [(e["line"], e["id"], e["family"]) for e in result["rejected"]] == [
            (i + 2, f"rs{i}", genes[i]) for i in rejected
        ]
        sizes = {gene: int((genes == gene).sum()) for gene in set(genes)}
        largest = max(sizes, key=sizes.get)
        assert result["largest_family"] == {
            "label": largest,
            "hypotheses": sizes[largest],
            "rejections": int(expected[genes == largest].sum()),
        }
        assert result["families_with_rejections"] == len(set(genes[rejected]))
        code, out, _ = run(
            capsys, "run", "closed-by", tmp_path / "t.tsv", "--column", "p", "--groups", "gene", "--id-column", "snp"
        )
        lines = out.splitlines()
        assert lines[1].startswith(
            f"families: 4 tested, {result['families_with_rejections']} with rejections; "
            f"the largest: {largest} ({sizes[largest]} hypotheses"
        )
        assert lines[3].split() == ["line", "id", "family", "p-value"]
        assert lines[4].split() == [
            str(rejected[0] + 2),
            f"rs{rejected[0]}",
            genes[rejected[0]],
            repr(float(pvalues[rejected[0]])),
        ]


class TestHints:
    def test_evalues_that_look_like_pvalues(self, tmp_path, capsys):
        (tmp_path / "p.txt").write_text("0.001\n0.2\n0.0001\n")
        code, out, err = run(capsys, "run", "ebh", tmp_path / "p.txt")
        assert (code, out.splitlines()[0].split(":")[1]) == (0, " 0 of 3 hypotheses rejected")
        assert "if they are p-values, use by or closed-by" in err
        assert (
            "use by or closed-by"
            in run(capsys, "run", "closed-ebh", tmp_path / "p.txt", "--output", tmp_path / "o.txt")[2]
        )
        (tmp_path / "e.txt").write_text("0.5\n30\n")
        assert run(capsys, "run", "ebh", tmp_path / "e.txt")[2] == ""

    def test_log10_and_decimal_commas(self, tmp_path, capsys):
        (tmp_path / "t.tsv").write_text("LOG10P\n0.5\n400\n")
        assert run(capsys, "run", "by", tmp_path / "t.tsv", "--column", "LOG10P")[2] == (
            "tarvimo: error: line 3, column 'LOG10P': p-values must lie in [0, 1] (found 400.0); "
            "a column of -log10 p-values? say so with --log10\n"
        )
        (tmp_path / "c.txt").write_text("0,001\n0.2\n")
        assert "a decimal comma?" in run(capsys, "run", "by", tmp_path / "c.txt")[2]
        (tmp_path / "c.tsv").write_text("p\n0.2\n0,001\n")
        assert run(capsys, "run", "by", tmp_path / "c.tsv", "--column", "p")[2] == (
            "tarvimo: error: line 3, column 'p': '0,001' is not a number (a decimal comma? write the number with a "
            "decimal point)\n"
        )

    def test_m_as_a_whole_number_in_exponent_form(self, tmp_path, capsys):
        (tmp_path / "p.txt").write_text("0.001\n")
        assert report(capsys, "run", "by", tmp_path / "p.txt", "--m", "1e7")["hypotheses"] == 10_000_000
        assert report(capsys, "run", "by", tmp_path / "p.txt", "--m", "1.5e1")["hypotheses"] == 15
        assert "'1.5' is not a whole number" in run(capsys, "run", "by", tmp_path / "p.txt", "--m", "1.5")[2]

    def test_missing_markers_are_pandas_list_in_any_case(self, tmp_path, capsys):
        assert set(STR_NA_VALUES) <= set(MISSING_TOKENS)
        markers = [*sorted(STR_NA_VALUES), "na", "Null", "NONE", " N/A ", "."]
        (tmp_path / "t.tsv").write_text("p\n0.001\n" + "\n".join(markers) + "\n")
        result = report(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--nan-policy", "omit")
        assert (result["hypotheses"], result["omitted"]) == (1, len(markers) - 1)  # the empty line is skipped
        (tmp_path / "x.tsv").write_text("p\nmissing\n")
        err = run(capsys, "run", "by", tmp_path / "x.tsv", "--column", "p")[2]
        assert "'missing' is not a number (missing values: an empty cell, NA, N/A, #N/A, NaN, NULL, None" in err


CSV_CELLS = st.text(alphabet='ab ,;"\t\né\r', max_size=5)
TSV_CELLS = st.text(alphabet='ab ,;"é', max_size=5)
VALUES = st.sampled_from(["0.5", "1e-9", " 0.01 ", "NA", "1", "0"])


def tables(cells):
    rows = st.lists(st.tuples(cells, VALUES, cells), min_size=0, max_size=12)
    return rows


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=tables(CSV_CELLS))
def test_a_csv_read_and_written_back_keeps_every_row_and_cell(tmp_path_factory, capsys, rows):
    folder = tmp_path_factory.mktemp("csv")
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows([("a", "p", "b"), *rows])
    (folder / "t.csv").write_text(text.getvalue(), newline="")
    code, _, err = run(
        capsys,
        "run",
        "by",
        folder / "t.csv",
        "--column",
        "p",
        "--nan-policy",
        "omit",
        "--multiline",
        "--output",
        folder / "o.csv",
    )
    assert (code, err) == (0, "")
    written = list(csv.reader(io.StringIO((folder / "o.csv").read_text(newline=""), newline="")))
    assert [tuple(row[:3]) for row in written] == [("a", "p", "b"), *rows]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=tables(TSV_CELLS))
def test_a_tsv_read_and_written_back_keeps_every_row_and_cell(tmp_path_factory, capsys, rows):
    folder = tmp_path_factory.mktemp("tsv")
    (folder / "t.tsv").write_text("".join("\t".join(row) + "\n" for row in [("a", "p", "b"), *rows]))
    code, _, err = run(
        capsys, "run", "by", folder / "t.tsv", "--column", "p", "--nan-policy", "omit", "--output", folder / "o.tsv"
    )
    assert (code, err) == (0, "")
    written = [tuple(line.split("\t")[:3]) for line in (folder / "o.tsv").read_text().splitlines()]
    assert written == [("a", "p", "b"), *rows]


class TestFamilyTotalsAndBH:
    def table(self, tmp_path):
        rng = np.random.default_rng(8)
        genes = np.repeat(["G1", "G2", "G3"], [40, 25, 10])
        totals = {"G1": 4000, "G2": 25, "G3": 900}
        pvalues = rng.uniform(size=genes.size) ** 8
        rows = [f"{g}\t{p!r}\t{totals[g]}" for g, p in zip(genes.tolist(), pvalues.tolist())]
        (tmp_path / "cis.tsv").write_text("\n".join(["gene\tp\tn", *rows]) + "\n")
        return genes, pvalues, totals

    @pytest.mark.parametrize("method", ["by", "closed-by", "bh"])
    def test_m_column_gives_each_family_its_total(self, tmp_path, capsys, method):
        genes, pvalues, totals = self.table(tmp_path)
        result = report(
            capsys, "run", method, tmp_path / "cis.tsv", "--column", "p", "--groups", "gene", "--m-column", "n"
        )
        procedure = {"by": tarvimo.by, "closed-by": tarvimo.closed_by, "bh": tarvimo.bh}[method]
        expected = procedure(pvalues, groups=genes, m=totals)
        assert lines_of(result) == (np.flatnonzero(expected) + 2).tolist()
        assert (result["hypotheses"], result["listed"]) == (sum(totals.values()), genes.size)
        per_family = [procedure(pvalues[genes == g], m=totals[g]) for g in totals]
        assert np.concatenate(per_family).tolist() == expected.tolist()  # independent of how the call is made

    def test_m_column_problems_name_their_line(self, tmp_path, capsys):
        cases = [
            (
                "g\tp\tn\nA\t0.1\t10\nA\t0.2\t11\n",
                "line 3, column 'n': total 11 differs from 10 on line 2, "
                "column 'n' for the family 'A'; a family has one total",
            ),
            (
                "g\tp\tn\nA\t0.1\t10\nB\t0.2\t1\nB\t0.3\t1\n",
                "line 3, column 'n': total 1 for the family 'B' is smaller than the 2 rows it has",
            ),
            ("g\tp\tn\nA\t0.1\t2.5\n", "line 2, column 'n': the total of a family must be a whole number >= 1"),
            (
                "g\tp\tn\nA\t0.1\tNA\n",
                "line 2, column 'n': the total of a family must be a whole number >= 1 (found nan)",
            ),
        ]
        for content, message in cases:
            (tmp_path / "t.tsv").write_text(content)
            code, _, err = run(
                capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--groups", "g", "--m-column", "n"
            )
            assert code == 1 and err.startswith(f"tarvimo: error: {message}"), err
        assert run(capsys, "run", "by", tmp_path / "t.tsv", "--column", "p", "--m-column", "n")[0] == 2

    def test_bh_agrees_with_statsmodels(self, tmp_path, capsys):
        multitest = pytest.importorskip("statsmodels.stats.multitest")
        pvalues = np.random.default_rng(2).uniform(size=500) ** 3
        (tmp_path / "p.txt").write_text("\n".join(map(repr, pvalues.tolist())) + "\n")
        result = report(capsys, "run", "bh", tmp_path / "p.txt", "--alpha", "0.1")
        expected = multitest.multipletests(pvalues, alpha=0.1, method="fdr_bh")[0]
        assert lines_of(result) == (np.flatnonzero(expected) + 1).tolist()
