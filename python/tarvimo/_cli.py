"""The command line: ``tarvimo demo`` and ``tarvimo run METHOD FILE``.

Problems with the input (a missing file, a malformed value, a bad option, a
value outside the domain) end the program with a one-line message on
standard error and a non-zero exit code: 2 for bad options, 1 otherwise.
"""

import argparse
import contextlib
import csv
import importlib.util
import json
import math
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NoReturn, TextIO

import numpy as np
from numpy.typing import NDArray

from tarvimo import _demo
from tarvimo._inputs import NAN_POLICIES, InvalidEntryError, NanPolicy
from tarvimo._procedures import by, closed_by, closed_ebh, ebh

PROG = "tarvimo"
METHODS = ("ebh", "closed-ebh", "by", "closed-by")
CLOSED_METHODS = ("closed-ebh", "closed-by")


class CliError(Exception):
    """A problem reported in one line, without a traceback."""


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors are a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def parsed_number[T: (int, float)](text: str, convert: Callable[[str], T], ok: Callable[[T], bool], rule: str) -> T:
    try:
        value = convert(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
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
    return parsed_number(text, int, lambda n: n >= 1, "a whole number >= 1")


def seed(text: str) -> int:
    return parsed_number(text, int, lambda n: n >= 0, "a whole number >= 0")


def build_parser() -> Parser:
    parser = Parser(prog=PROG, description="False-discovery-rate control with e-BH, closed e-BH, BY and closed BY.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = commands.add_parser(
        "demo",
        help="compare the four procedures on a simulated study",
        description="Simulate one-sided z-tests with some true signals, run e-BH and closed e-BH on "
        "likelihood-ratio e-values and BY and closed BY on p-values, and print what each rejects.",
    )
    demo.add_argument("-m", "--hypotheses", type=positive_int, default=_demo.DEFAULT_M, metavar="M",
                      help=f"number of z-tests (default {_demo.DEFAULT_M:,})")
    demo.add_argument("--signal-share", type=share, default=_demo.DEFAULT_SIGNAL_SHARE, metavar="SHARE",
                      help=f"share of true signals (default {_demo.DEFAULT_SIGNAL_SHARE:g})")
    demo.add_argument("--strength", type=strength, default=_demo.DEFAULT_STRENGTH, metavar="MU",
                      help=f"mean of z under a true signal (default {_demo.DEFAULT_STRENGTH:g})")
    demo.add_argument("--alpha", type=level, default=_demo.DEFAULT_ALPHA,
                      help=f"target false discovery rate (default {_demo.DEFAULT_ALPHA:g})")
    demo.add_argument("--seed", type=seed, default=_demo.DEFAULT_SEED,
                      help=f"random seed (default {_demo.DEFAULT_SEED})")
    demo.add_argument("--approximate", action="store_true",
                      help="use the approximate (bisection) search for the closed procedures")
    demo.add_argument("--plot", type=Path, metavar="FILE.png",
                      help="also draw rejections against alpha into FILE.png (needs matplotlib)")
    demo.set_defaults(action=run_demo)

    run = commands.add_parser(
        "run",
        help="run one procedure on values from a file",
        description="Read p-values (by, closed-by) or e-values (ebh, closed-ebh), one per line or from a "
        "CSV column, and print the rejected hypotheses with their line numbers in the file. "
        "Blank lines are skipped; an empty CSV cell counts as NaN.",
    )
    run.add_argument("method", choices=METHODS, metavar="METHOD", help="one of " + ", ".join(METHODS))
    run.add_argument("file", metavar="FILE", help="text or CSV file; - reads standard input")
    run.add_argument("--column", metavar="NAME", help="read the CSV column with this header")
    run.add_argument("--alpha", type=level, default=0.05, help="target false discovery rate (default 0.05)")
    run.add_argument("--approximate", action="store_true",
                     help="approximate search (closed-ebh and closed-by only)")
    run.add_argument("--nan-policy", choices=NAN_POLICIES, default="raise",
                     help="raise: NaN is an error (default); omit: NaN entries are never rejected")
    run.add_argument("--json", action="store_true", help="print the result as JSON")
    run.set_defaults(action=run_method)
    return parser


def run_demo(args: argparse.Namespace) -> None:
    if args.plot is not None and importlib.util.find_spec("matplotlib") is None:
        raise CliError("--plot needs matplotlib: pip install 'tarvimo[plot]'")
    study = _demo.simulate_study(args.hypotheses, args.signal_share, args.strength, args.seed)
    print(_demo.describe_study(study, args.strength, args.seed, args.alpha))
    print()
    print(_demo.format_table(_demo.run_procedures(study, args.alpha, args.approximate)))
    if args.plot is not None:
        try:
            _demo.plot_rejections(study, args.alpha, args.approximate, args.plot)
        except (OSError, ValueError) as exc:
            raise CliError(f"cannot write the plot to {args.plot}: {exc}") from None
        print(f"\nPlot of rejections against alpha written to {args.plot}")


def number(text: str, line: int) -> float:
    """A value read from the input; an empty cell is a missing value (NaN)."""
    if not text.strip():
        return math.nan
    try:
        return float(text)
    except ValueError:
        raise CliError(f"line {line}: {text!r} is not a number") from None


def read_values(source: TextIO, column: str | None) -> tuple[list[float], list[int]]:
    """The values and the line number of each; blank lines are skipped."""
    values: list[float] = []
    lines: list[int] = []
    if column is None:
        reader = csv.reader(source)
        for row in reader:
            if not any(field.strip() for field in row):
                continue
            if len(row) != 1:
                raise CliError(f"line {reader.line_num}: expected one value per line, found {len(row)} fields "
                               "(use --column NAME for CSV input)")
            values.append(number(row[0], reader.line_num))
            lines.append(reader.line_num)
        return values, lines
    table = csv.DictReader(source)
    if table.fieldnames is None or column not in table.fieldnames:
        found = ", ".join(table.fieldnames or []) or "none"
        raise CliError(f"no column {column!r} in the header line (columns: {found})")
    for record in table:
        cell = record[column]
        if cell is None:
            raise CliError(f"line {table.line_num}: the row has no field for column {column!r}")
        values.append(number(cell, table.line_num))
        lines.append(table.line_num)
    return values, lines


def load(path: str, column: str | None) -> tuple[list[float], list[int]]:
    source = "standard input" if path == "-" else path
    try:
        # utf-8-sig also drops the byte-order mark that spreadsheet exports start with
        opened = contextlib.nullcontext(sys.stdin) if path == "-" else open(path, newline="", encoding="utf-8-sig")
        with opened as f:
            return read_values(f, column)
    except OSError as exc:
        raise CliError(f"cannot read {source}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise CliError(f"cannot read {source}: not UTF-8 text") from None
    except csv.Error as exc:
        raise CliError(f"cannot read {source}: {exc}") from None


def decide(
    method: str, values: list[float], alpha: float, approximate: bool, policy: NanPolicy
) -> NDArray[np.bool_]:
    if method == "closed-ebh":
        return closed_ebh(values, alpha, approximate=approximate, nan_policy=policy)
    if method == "closed-by":
        return closed_by(values, alpha, approximate=approximate, nan_policy=policy)
    if approximate:
        raise CliError("--approximate applies only to " + " and ".join(CLOSED_METHODS))
    return (ebh if method == "ebh" else by)(values, alpha, nan_policy=policy)


def json_number(value: float) -> float | str:
    """JSON has no infinity; an infinite e-value is written as the string "inf"."""
    return value if math.isfinite(value) else str(value)


def run_method(args: argparse.Namespace) -> None:
    values, lines = load(args.file, args.column)
    try:
        rejected = decide(args.method, values, args.alpha, args.approximate, args.nan_policy)
    except InvalidEntryError as exc:
        line = lines[exc.position]
        if math.isnan(exc.value):
            raise CliError(f"line {line}: missing or NaN value (--nan-policy omit leaves it unrejected)") from None
        raise CliError(f"line {line}: {exc.requirement} (found {exc.value!r})") from None
    rows = [(lines[i], values[i]) for i in np.flatnonzero(rejected).tolist()]
    omitted = sum(math.isnan(value) for value in values)
    if args.json:
        print(json.dumps({
            "method": args.method,
            "alpha": args.alpha,
            "approximate": args.approximate,
            "hypotheses": len(values) - omitted,
            "omitted": omitted,
            "rejections": len(rows),
            "rejected": [{"line": line, "value": json_number(value)} for line, value in rows],
        }, allow_nan=False))
        return
    note = f" ({omitted} NaN {'entry' if omitted == 1 else 'entries'} omitted)" if omitted else ""
    print(f"{args.method} at alpha {args.alpha:g}: {len(rows)} of {len(values) - omitted} hypotheses rejected{note}")
    if rows:
        kind = "p-value" if args.method in ("by", "closed-by") else "e-value"
        width = max(len("line"), len(str(rows[-1][0])))
        print(f"{'line'.rjust(width)}  {kind}")
        for line, value in rows:
            print(f"{str(line).rjust(width)}  {value!r}")


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``python -m tarvimo`` and the ``tarvimo`` script; returns the exit code."""
    args = build_parser().parse_args(argv)
    try:
        args.action(args)
    except CliError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    return 0
