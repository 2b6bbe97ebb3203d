"""The command line: ``tarvimo demo`` and ``tarvimo run METHOD FILE``.

Problems end the program with a one-line message on standard error and a
non-zero exit code: 2 for a bad option or combination of options, 1 for bad
data (a missing file, a malformed value, a value outside the domain). A
reader that closes the output early (``| head``) ends the program quietly
with the status of a process stopped by SIGPIPE.
"""

import argparse
import importlib.util
import json
import math
import os
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

from tarvimo import _demo, _tables
from tarvimo._inputs import NAN_POLICIES, InvalidEntryError
from tarvimo._procedures import by, closed_by, closed_ebh, ebh

PROG = "tarvimo"
PROCEDURES: dict[str, Callable[..., NDArray[np.bool_]]] = {
    "ebh": ebh, "closed-ebh": closed_ebh, "by": by, "closed-by": closed_by,
}
METHODS = tuple(PROCEDURES)
CLOSED_METHODS = ("closed-ebh", "closed-by")
PVALUE_METHODS = ("by", "closed-by")
DEFAULT_FLAG_COLUMN = "rejected"
BROKEN_PIPE_STATUS = 128 + signal.SIGPIPE  # what a shell reports for a process stopped by SIGPIPE
INTERRUPTED_STATUS = 128 + signal.SIGINT  # and for one stopped by Ctrl-C
PROGRESS_DELAY = 1.0  # seconds of work before a progress bar appears
TICK = 0.2  # seconds between updates of the elapsed time


class CliError(Exception):
    """A problem reported in one line, without a traceback."""


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
    return parsed_number(text, int, lambda n: n >= 1, "a whole number >= 1", "a whole number")


def seed(text: str) -> int:
    return parsed_number(text, int, lambda n: n >= 0, "a whole number >= 0", "a whole number")


def method_name(text: str) -> str:
    """The method as the command line spells it; the Python names with _ are accepted too."""
    return text.replace("_", "-")


def delimiter(text: str) -> str:
    named = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "space": " "}
    character = named.get(text.lower(), text)
    if len(character) != 1 or character in '"\r\n':
        raise argparse.ArgumentTypeError(f"must be one character (or tab, \\t, comma, semicolon, space), got {text!r}")
    return character


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
                      help="also draw rejections against alpha into FILE.png (.png is added to a name "
                      "without extension; needs matplotlib)")
    demo.set_defaults(action=run_demo)

    run = commands.add_parser(
        "run",
        help="run one procedure on values from a table",
        description="Read p-values (by, closed-by) or e-values (ebh, closed-ebh) from a text file of one "
        "value per line, or from a column of a CSV, TSV or Parquet table (gzip, bz2 or zstd compressed "
        "text is read by its extension, or recognised on standard input), and print the rejected "
        "hypotheses with their line numbers, or write the table back with a column of the decisions. "
        "Empty lines are skipped; empty cells and NA, NaN, nan, null and . are missing values (NaN).",
    )
    run.add_argument("method", type=method_name, choices=METHODS, metavar="METHOD",
                     help="one of " + ", ".join(METHODS) + " (closed_ebh and closed_by work too)")
    run.add_argument("file", metavar="FILE",
                     help="a .csv, .tsv or .parquet table or a text file (.gz, .bz2, .zst compressed); "
                     "- reads standard input")
    run.add_argument("--column", metavar="NAME",
                     help="the column with the values, by its header name or 1-based number; without it, "
                     "the file holds one value per line and no header line")
    run.add_argument("--delimiter", type=delimiter, metavar="CHAR",
                     help="field delimiter of a text table (default: from the extension, .csv comma and "
                     ".tsv tab; else inferred from the header line)")
    run.add_argument("--log10", action="store_true",
                     help="the column holds -log10 p-values (by and closed-by only); p-values too small "
                     "for a double keep their order")
    run.add_argument("--groups", metavar="COLUMN",
                     help="column of family labels: each family is tested on its own at alpha")
    run.add_argument("--m", type=positive_int, metavar="N",
                     help="total number of hypotheses when the table lists only some (the others count "
                     "as p = 1 or e = 0)")
    run.add_argument("--output", metavar="FILE",
                     help="write the table with a column of the decisions to FILE, in the format and "
                     "compression its extension says (- writes the input's format to standard output)")
    run.add_argument("--flag-column", metavar="NAME",
                     help=f"name of the added column of --output (default {DEFAULT_FLAG_COLUMN})")
    run.add_argument("--alpha", type=level, default=0.05, help="target false discovery rate (default 0.05)")
    run.add_argument("--approximate", action="store_true",
                     help="approximate search (closed-ebh and closed-by only)")
    run.add_argument("--nan-policy", choices=NAN_POLICIES, default="raise",
                     help="raise: NaN is an error (default); omit: NaN entries are never rejected")
    run.add_argument("--json", action="store_true", help="print the result as JSON")
    run.set_defaults(action=run_method)
    return parser


def version() -> str:
    from tarvimo import __version__

    return __version__


def option_conflict(args: argparse.Namespace) -> str | None:
    """What is wrong with a combination of `run` options, or None."""
    if args.approximate and args.method not in CLOSED_METHODS:
        return "--approximate applies only to " + " and ".join(CLOSED_METHODS)
    if args.log10 and args.method not in PVALUE_METHODS:
        return "--log10 applies only to p-values: " + " and ".join(PVALUE_METHODS)
    if args.m is not None and args.groups is not None:
        return "--m gives the size of one family; it does not combine with --groups"
    if args.flag_column is not None and args.output is None:
        return "--flag-column names the added column of --output; give --output FILE too"
    if args.json and args.output == "-":
        return "--json and --output - would both write to standard output"
    try:
        layout = _tables.layout_of(args.file, args.delimiter)
        if args.output is not None:
            _tables.layout_of(args.output, None)
    except _tables.TableError as exc:
        return str(exc)
    if layout.parquet and args.delimiter is not None:
        return "--delimiter applies to text tables, not to Parquet"
    if layout.parquet and args.column is None:
        return _tables.PARQUET_NEEDS_COLUMN
    if args.groups is not None and args.column is None:
        return "--groups needs a table with a header line: name the values with --column too"
    return None


def progress_bar(description: str, total: int | None, unit: str) -> Any:
    """A tqdm bar on standard error, shown only on a terminal once the work takes over a second."""
    from tqdm import tqdm  # only needed for long runs

    return tqdm(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr, disable=None,
                delay=PROGRESS_DELAY, leave=False, dynamic_ncols=True)


def with_elapsed_time[T](description: str, compute: Callable[[], T]) -> T:
    """`compute()`, showing the time it has taken on a terminal once that exceeds a second.

    A second thread keeps the time up to date while the core computes
    without the interpreter lock; the computation stays on the calling
    thread, where Ctrl-C reaches it.
    """
    if not sys.stderr.isatty():
        return compute()
    finished = threading.Event()
    with progress_bar(description, None, "") as bar:
        bar.bar_format = "{desc}: {elapsed}"

        def tick() -> None:
            while not finished.wait(TICK):
                bar.update(0)  # redraws the elapsed time, once the delay has passed

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            return compute()
        finally:
            finished.set()
            ticker.join()


def run_demo(args: argparse.Namespace) -> None:
    if args.plot is not None and importlib.util.find_spec("matplotlib") is None:
        raise CliError("--plot needs matplotlib: pip install 'tarvimo[plot]'")
    plot = None if args.plot is None else _demo.plot_path(args.plot)
    study = _demo.simulate_study(args.hypotheses, args.signal_share, args.strength, args.seed)
    print(_demo.describe_study(study, args.strength, args.seed, args.alpha))
    print()
    print(_demo.format_table(_demo.run_procedures(study, args.alpha, args.approximate)), flush=True)
    if plot is not None:
        existed = plot.exists()
        grid = _demo.plot_alphas(args.alpha)
        with progress_bar("plotting", grid.size * len(_demo.demo_procedures(args.approximate)), " runs") as bar:
            try:
                _demo.plot_rejections(study, args.alpha, args.approximate, plot, grid, lambda: bar.update())
            except (OSError, ValueError) as exc:
                raise CliError(f"cannot write the plot to {plot}: {exc}") from None
        print(f"\nPlot of rejections against alpha written to {plot}" + (" (replacing the file that was there)"
                                                                          if existed else ""))


def read_input(args: argparse.Namespace) -> _tables.Column:
    layout = _tables.layout_of(args.file, args.delimiter)
    bar = None

    def progress(done: int, total: int | None) -> None:  # bytes of a file, or lines from a pipe
        nonlocal bar
        if bar is None:
            bar = progress_bar("reading", total, "B" if total is not None else " lines")
        bar.update(done - bar.n)

    try:
        return _tables.read_column(args.file, layout, args.column, args.groups, args.output is not None, progress)
    finally:
        if bar is not None:
            bar.close()


def pvalues_from_log10(strengths: NDArray[np.float64]) -> NDArray[np.float64]:
    """p = 10**-x for each x = -log10 p; a p-value below the smallest double becomes that double.

    Such p-values keep their order through `strongest_first`, not through
    the doubles, which cannot tell them apart.
    """
    with np.errstate(under="ignore", over="ignore", invalid="ignore"):
        pvalues = np.power(10.0, -strengths)
    pvalues[(pvalues == 0.0) & (strengths < math.inf)] = _tables.SMALLEST_DOUBLE
    return pvalues


def strongest_first(
    mask: NDArray[np.bool_], strengths: NDArray[np.float64], groups: NDArray[np.int32] | None
) -> NDArray[np.bool_]:
    """As many rejections per family as `mask` has, given to the largest `strengths`.

    Among equal strengths the earlier hypothesis comes first, as in the
    procedures. With x = -log10 p as strengths this orders p-values that
    the doubles cannot tell apart (all those below the smallest double, and
    subnormal ones with too few digits left) by their true size; elsewhere
    it agrees with the procedures' own order.
    """
    chosen = np.zeros_like(mask)
    if groups is None:
        chosen[np.argsort(-strengths, kind="stable")[: int(mask.sum())]] = True
        return chosen
    order = np.lexsort((-strengths, groups))
    families = groups[order]
    first = np.searchsorted(families, np.arange(int(groups.max(initial=-1)) + 1))
    rank = np.arange(order.size) - first[families]
    chosen[order[rank < np.bincount(groups, weights=mask, minlength=first.size)[families]]] = True
    return chosen


def decided(args: argparse.Namespace, column: _tables.Column) -> NDArray[np.bool_]:
    """The decisions of the chosen procedure, with data problems named by line and column."""
    values = pvalues_from_log10(column.values) if args.log10 else column.values
    options: dict[str, Any] = {"nan_policy": args.nan_policy}
    if args.method in CLOSED_METHODS:
        options["approximate"] = args.approximate
    if column.groups is not None:
        options["groups"] = column.groups
    if args.m is not None:
        options["m"] = args.m
    procedure = PROCEDURES[args.method]
    try:
        mask = with_elapsed_time(args.method, lambda: procedure(values, args.alpha, **options))
    except InvalidEntryError as exc:
        where, found = column.where(exc.position), float(column.values[exc.position])
        if math.isnan(found):
            raise CliError(f"{where}: missing or NaN value (--nan-policy omit leaves it unrejected)") from None
        requirement = "-log10 p-values must be at least 0" if args.log10 else exc.requirement
        raise CliError(f"{where}: {requirement} (found {found!r})") from None
    except ValueError as exc:
        raise CliError(str(exc)) from None
    return strongest_first(mask, column.values, column.groups) if args.log10 else mask


def json_number(value: float) -> float | str:
    """JSON has no infinity; an infinite e-value is written as the string "inf"."""
    return value if math.isfinite(value) else str(value)


def summary(args: argparse.Namespace, column: _tables.Column, rejections: int) -> tuple[str, dict[str, Any]]:
    """The first line of the report, and the same facts for JSON."""
    omitted = int(np.isnan(column.values).sum())
    listed = column.values.size - omitted
    hypotheses = listed if args.m is None else args.m
    facts: dict[str, Any] = {
        "method": args.method, "alpha": args.alpha, "approximate": args.approximate,
        "hypotheses": hypotheses, "omitted": omitted, "rejections": rejections,
    }
    notes = []
    if column.groups is not None:
        facts["families"] = int(np.unique(column.groups).size)
        notes.append(f"in {facts['families']} {plural(facts['families'], 'family', 'families')}, each at this alpha")
    if args.m is not None:
        facts["listed"] = listed
        absent = "p = 1" if args.method in PVALUE_METHODS else "e = 0"
        notes.append(f"{listed} listed, the other {hypotheses - listed} counted as {absent}")
    if omitted:
        notes.append(f"{omitted} NaN {plural(omitted, 'entry', 'entries')} omitted")
    note = f" ({'; '.join(notes)})" if notes else ""
    return f"{args.method} at alpha {args.alpha:g}: {rejections} of {hypotheses} hypotheses rejected{note}", facts


def plural(count: int, one: str, many: str) -> str:
    return one if count == 1 else many


def report(args: argparse.Namespace, column: _tables.Column, mask: NDArray[np.bool_]) -> None:
    rejected = np.flatnonzero(mask)
    numbers = column.numbering.numbers(rejected).tolist()
    values = column.values[rejected].tolist()
    first, facts = summary(args, column, len(numbers))
    unit = column.numbering.unit
    if args.json:
        facts["rejected"] = [{unit: n, "value": json_number(v)} for n, v in zip(numbers, values)]
        print(json.dumps(facts, allow_nan=False))
        return
    print(first)
    if numbers:
        kind = "-log10 p" if args.log10 else "p-value" if args.method in PVALUE_METHODS else "e-value"
        width = max(len(unit), len(str(numbers[-1])))
        print(f"{unit.rjust(width)}  {kind}")
        sys.stdout.write("".join(f"{str(n).rjust(width)}  {v!r}\n" for n, v in zip(numbers, values)))


def flag_column(args: argparse.Namespace, column: _tables.Column) -> str:
    """The name of the column that --output adds, which the input must not have already."""
    flag: str = args.flag_column or DEFAULT_FLAG_COLUMN
    if column.table is not None and flag in column.table.column_names:
        raise CliError(f"the input already has a column {flag!r}; name the added one with --flag-column")
    return flag


def write_output(args: argparse.Namespace, column: _tables.Column, mask: NDArray[np.bool_]) -> None:
    assert column.table is not None
    flag = flag_column(args, column)
    table = column.table.append_column(flag, pa.array(mask))
    if args.output == "-":
        layout = column.layout
    else:
        layout = _tables.layout_of(args.output, None)
        if not layout.parquet and layout.delimiter is None:
            layout = _tables.Layout(False, column.layout.delimiter, layout.compression)
    with progress_bar("writing", table.num_rows, " rows") as bar:
        _tables.write_table(table, args.output, layout, column.header, lambda rows: bar.update(rows - bar.n))
    if args.output == "-":
        return
    first, facts = summary(args, column, int(mask.sum()))
    if args.json:
        print(json.dumps({**facts, "output": args.output, "flag_column": flag}))
    else:
        print(f"{first}\nTable with the column {flag!r} written to {args.output}")


def run_method(args: argparse.Namespace) -> None:
    column = read_input(args)
    flag_column(args, column)  # refused before a long computation, not after
    mask = decided(args, column)
    if args.output is None:
        report(args, column, mask)
    else:
        write_output(args, column, mask)


def quiet_broken_pipe() -> int:
    """Stop writing to a closed standard output without an error message at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return BROKEN_PIPE_STATUS


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on `argv` (default: the program's arguments); returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "run" and (conflict := option_conflict(args)) is not None:
        parser.error(conflict)
    try:
        args.action(args)
        sys.stdout.flush()
    except (CliError, _tables.TableError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return quiet_broken_pipe()
    except KeyboardInterrupt:
        return INTERRUPTED_STATUS
    return 0


def command() -> NoReturn:
    """Entry point of ``python -m tarvimo`` and the ``tarvimo`` script: `main`, then the end of the process.

    The process ends without finalizing the interpreter. A table reader given
    up early (bad data, Ctrl-C) leaves pyarrow's I/O thread reading the input:
    finalization would wait for its read as long as the writer of a pipe
    takes, and the thread, needing the interpreter after that, aborts the
    process from within pyarrow (SIGABRT instead of the exit status).
    """
    status = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except BrokenPipeError:
        status = quiet_broken_pipe()
    os._exit(status)
