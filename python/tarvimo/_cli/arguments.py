"""The options of ``tarvimo demo`` and ``tarvimo run``, and the combinations of them that are refused."""

import argparse
import codecs
import math
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

from tarvimo._cli import demo as _demo
from tarvimo._cli.errors import TableError
from tarvimo._cli.layout import PARQUET_NEEDS_COLUMN, WHITESPACE, layout_of
from tarvimo._cli.plotting import plot_path
from tarvimo._cli.run import CLOSED_METHODS, DEFAULT_FLAG_COLUMN, METHODS, PVALUE_METHODS, run_method
from tarvimo._cli.writing import same_file
from tarvimo._inputs import NAN_POLICIES

PROG = "tarvimo"


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def parsed_number[T: (int, float)](
    text: str, convert: Callable[[str], T], ok: Callable[[T], bool], rule: str, kind: str = "a number"
) -> T:
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {kind}") from None
    if not ok(value):
        raise argparse.ArgumentTypeError(f"must be {rule}, got {text}")
    return value


def level(text: str) -> float:
    return parsed_number(text, float, lambda x: 0.0 < x < 1.0, "a number with 0 < alpha < 1")


def share(text: str) -> float:
    return parsed_number(text, float, lambda x: 0.0 <= x <= 1.0, "a number in [0, 1]")


def strength(text: str) -> float:
    return parsed_number(text, float, lambda x: 0.0 <= x < math.inf, "a finite number >= 0")


def positive_int(text: str) -> int:
    return parsed_number(text, whole_number, lambda n: n >= 1, "a whole number >= 1", "a whole number")


def whole_number(text: str) -> int:
    """An integer written as one (12), or as a number with no fraction (1e7, 2.0)."""
    try:
        return int(text)
    except ValueError:
        number = float(text)
        if not number.is_integer():
            raise ValueError(text) from None
        return int(number)


def seed(text: str) -> int:
    return parsed_number(text, int, lambda n: n >= 0, "a whole number >= 0", "a whole number")


def method_name(text: str) -> str:
    """The method as the command line spells it; the Python names with _ are accepted too."""
    return text.replace("_", "-")


def delimiter(text: str) -> str:
    named = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "space": " ", WHITESPACE: WHITESPACE}
    character = named.get(text.lower(), text)
    if character != WHITESPACE and (len(character) != 1 or character in '"\r\n'):
        raise argparse.ArgumentTypeError(
            f"must be one character (or tab, \\t, comma, semicolon, space, whitespace), got {text!r}"
        )
    return character


def encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r} (try utf-8, latin-1, cp1252)") from None


def build_parser() -> Parser:
    parser = Parser(prog=PROG, description="False-discovery-rate control with e-BH, closed e-BH, BY and closed BY.")
    parser.add_argument("--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo",
        help="compare the four procedures on a simulated study",
        description="Simulate one-sided z-tests with some true signals, run e-BH and closed e-BH on "
        "likelihood-ratio e-values and BY and closed BY on p-values, and print what each rejects.",
    )
    demo.add_argument(
        "-m",
        "--hypotheses",
        type=positive_int,
        default=_demo.DEFAULT_M,
        metavar="M",
        help=f"number of z-tests (default {_demo.DEFAULT_M:,})",
    )
    demo.add_argument(
        "--signal-share",
        type=share,
        default=_demo.DEFAULT_SIGNAL_SHARE,
        metavar="SHARE",
        help=f"share of true signals (default {_demo.DEFAULT_SIGNAL_SHARE:g})",
    )
    demo.add_argument(
        "--strength",
        type=strength,
        default=_demo.DEFAULT_STRENGTH,
        metavar="MU",
        help=f"mean of z under a true signal (default {_demo.DEFAULT_STRENGTH:g})",
    )
    demo.add_argument(
        "--alpha",
        type=level,
        default=_demo.DEFAULT_ALPHA,
        help=f"target false discovery rate (default {_demo.DEFAULT_ALPHA:g})",
    )
    demo.add_argument(
        "--seed", type=seed, default=_demo.DEFAULT_SEED, help=f"random seed (default {_demo.DEFAULT_SEED})"
    )
    demo.add_argument(
        "--approximate", action="store_true", help="use the approximate (bisection) search for the closed procedures"
    )
    demo.add_argument(
        "--plot",
        type=Path,
        metavar="FILE.png",
        help="also draw rejections against alpha into FILE.png (.png is added to a name "
        "without extension; needs matplotlib)",
    )
    demo.set_defaults(action=_demo.run_demo)

    run = commands.add_parser(
        "run",
        help="run one procedure on values from a table",
        description="Read p-values (by, closed-by, and bh for comparison) or e-values (ebh, closed-ebh) from a "
        "text file of one value per line, or from a column of a CSV, TSV, whitespace-aligned or Parquet table "
        "(gzip, bz2, zstd or xz compressed text is read by its extension, or recognised on standard input), and "
        "print the rejected "
        "hypotheses with their line numbers, or write the table back with a column of the decisions. "
        "Empty lines are skipped; empty cells, NA, N/A, #N/A, NaN, NULL, None and . (in any case; pandas' "
        "list of markers) are missing values (NaN).",
    )
    run.add_argument(
        "method",
        type=method_name,
        choices=METHODS,
        metavar="METHOD",
        help="one of " + ", ".join(METHODS) + " (closed_ebh and closed_by work too); bh, "
        "Benjamini-Hochberg, controls the FDR only for independent or positively dependent p-values",
    )
    run.add_argument(
        "file",
        metavar="FILE",
        help="a .csv, .tsv or .parquet table or a text file (.gz, .bz2, .zst, .xz compressed); - reads standard input",
    )
    run.add_argument(
        "--column",
        metavar="NAME",
        help="the column with the values, by its header name or 1-based number; without it, "
        "the file holds one value per line and no header line",
    )
    run.add_argument(
        "--delimiter",
        type=delimiter,
        metavar="CHAR",
        help="field delimiter of a text table: a character, or tab, comma, semicolon, space, or "
        "whitespace for any run of spaces and tabs (PLINK's aligned tables). Default: from the "
        "extension, .csv comma and .tsv tab; else inferred from the header line. Tab- and "
        "space-separated files take quotes literally; other delimiters quote as CSV does",
    )
    run.add_argument(
        "--multiline",
        action="store_true",
        help="a quoted CSV field may span lines (without it, a quote left open at the end of a "
        "line is an error naming the line)",
    )
    run.add_argument(
        "--encoding",
        type=encoding,
        default="utf-8",
        help="text encoding of the input, such as latin-1 or cp1252 (default utf-8); text output is UTF-8",
    )
    run.add_argument(
        "--log10",
        action="store_true",
        help="the column holds -log10 p-values (by, closed-by and bh only); p-values too small "
        "for a double keep their order",
    )
    run.add_argument(
        "--groups",
        metavar="COLUMN",
        help="column of family labels: each family is tested on its own at alpha (labels are "
        "trimmed of white space; a missing label is refused)",
    )
    run.add_argument(
        "--m",
        type=positive_int,
        metavar="N",
        help="total number of hypotheses when the table lists only some (the others count "
        "as p = 1 or e = 0); 1e7 is read as 10000000",
    )
    run.add_argument(
        "--m-column",
        metavar="NAME",
        help="with --groups: column of the total number of hypotheses of each row's family, the same "
        "on every row of a family (per-gene truncated lists, such as tensorQTL's cis output)",
    )
    run.add_argument(
        "--id-column",
        metavar="NAME",
        help="column that names each hypothesis (a SNP, a gene): shown with the rejected ones",
    )
    run.add_argument(
        "--output",
        metavar="FILE",
        help="write the table with a column of the decisions to FILE, in the format and "
        "compression its extension says (- writes the input's format to standard output)",
    )
    run.add_argument(
        "--flag-column", metavar="NAME", help=f"name of the added column of --output (default {DEFAULT_FLAG_COLUMN})"
    )
    run.add_argument(
        "--adjusted-column",
        metavar="NAME",
        help="also add a column NAME of the adjusted p-values to the table of --output: each "
        "hypothesis' level, the smallest alpha at which METHOD rejects it (exact searches only)",
    )
    run.add_argument(
        "--plot",
        type=Path,
        metavar="FILE.png",
        help="also draw the number of rejections against alpha into FILE.png, exactly from the "
        "levels, with the cut at --alpha (exact searches only; needs matplotlib)",
    )
    run.add_argument("--alpha", type=level, default=0.05, help="target false discovery rate (default 0.05)")
    run.add_argument("--approximate", action="store_true", help="approximate search (closed-ebh and closed-by only)")
    run.add_argument(
        "--conservative",
        action="store_true",
        help="closed-ebh only: keep only the e-values above 1 / alpha and count the others as 0, as --m counts "
        "the unlisted ones; memory grows with those e-values, not with the table. The rejected set is "
        "still mean consistent and holds e-BH's, but it can be smaller than the exact one (equal when "
        "every e-value left out is 0)",
    )
    run.add_argument(
        "--nan-policy",
        choices=NAN_POLICIES,
        default="raise",
        help="raise: NaN is an error (default); omit: NaN entries are never rejected",
    )
    run.add_argument("--json", action="store_true", help="print the result as JSON")
    run.set_defaults(action=run_method, input_name=None)  # input_name: how messages name a copied input
    return parser


def version() -> str:
    from tarvimo import __version__

    return __version__


def option_conflict(args: argparse.Namespace) -> str | None:
    """What is wrong with a combination of `run` options, or None."""
    if args.approximate and args.method not in CLOSED_METHODS:
        return "--approximate applies only to " + " and ".join(CLOSED_METHODS)
    if args.log10 and args.method not in PVALUE_METHODS:
        return "--log10 applies only to p-values: " + ", ".join(PVALUE_METHODS[:-1]) + " and " + PVALUE_METHODS[-1]
    if args.m is not None and args.groups is not None:
        return "--m gives the size of one family; it does not combine with --groups (--m-column gives one per family)"
    if args.m_column is not None and args.groups is None:
        return "--m-column gives the total of each family: name the families with --groups (one family: --m N)"
    for name, option in ((args.flag_column, "--flag-column"), (args.adjusted_column, "--adjusted-column")):
        if name is not None and not name.strip():
            return f"{option} needs a name: the added column would have none"
    if args.flag_column is not None and args.output is None:
        return "--flag-column names the added column of --output; give --output FILE too"
    if args.json and args.output == "-":
        return "--json and --output - would both write to standard output"
    if args.adjusted_column is not None and args.output is None:
        return "--adjusted-column names an added column of --output; give --output FILE too"
    if args.adjusted_column is not None and args.adjusted_column == (args.flag_column or DEFAULT_FLAG_COLUMN):
        return f"--adjusted-column and the decisions' column are both named {args.adjusted_column!r}"
    if args.conservative and args.method != "closed-ebh":
        return "--conservative applies only to closed-ebh"
    if args.conservative and (args.adjusted_column is not None or args.plot is not None):
        return "--adjusted-column and --plot give the exact search's levels; they do not combine with --conservative"
    if args.approximate and (args.adjusted_column is not None or args.plot is not None):
        return "--adjusted-column and --plot give the exact searches' levels; they do not combine with --approximate"
    if args.plot is not None:
        for other, what in ((args.output, "--output"), (args.file, "the input")):
            if other not in (None, "-") and same_file(plot_path(args.plot), other):
                return f"--plot names the same file as {what} ({other}), which the plot would replace"
    try:
        layout = layout_of(args.file, args.delimiter)
        if args.output is not None:
            layout_of(args.output, None)
    except TableError as exc:
        return str(exc)
    if layout.parquet and args.delimiter is not None:
        return "--delimiter applies to text tables, not to Parquet"
    if layout.parquet and args.column is None:
        return PARQUET_NEEDS_COLUMN
    if args.groups is not None and args.column is None:
        return "--groups needs a table with a header line: name the values with --column too"
    return None
