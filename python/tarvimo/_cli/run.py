"""``tarvimo run METHOD FILE``: one procedure on the values of a table column, reported or written back."""

import argparse
import json
import math
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

from tarvimo._adjust import adjust
from tarvimo._cli.errors import CliError
from tarvimo._cli.layout import Layout, layout_of
from tarvimo._cli.numbers import levels_by_strength, pvalues_from_log10, strongest_first
from tarvimo._cli.plotting import Curve, plot_max_level, plot_path, require_matplotlib, write_plot
from tarvimo._cli.progress import progress_bar, with_elapsed_time
from tarvimo._cli.reading import Column, read_column
from tarvimo._cli.writing import write_table
from tarvimo._inputs import InvalidEntryError
from tarvimo._procedures import by, closed_by, closed_ebh, ebh

PROCEDURES: dict[str, Callable[..., NDArray[np.bool_]]] = {
    "ebh": ebh, "closed-ebh": closed_ebh, "by": by, "closed-by": closed_by,
}
METHODS = tuple(PROCEDURES)
CLOSED_METHODS = ("closed-ebh", "closed-by")
PVALUE_METHODS = ("by", "closed-by")
DEFAULT_FLAG_COLUMN = "rejected"
REPORTED_ALPHAS = (0.01, 0.05, 0.1)  # the report also counts the rejections at these levels


def read_input(args: argparse.Namespace) -> Column:
    layout = layout_of(args.file, args.delimiter)
    bar = None

    def progress(done: int, total: int | None) -> None:  # bytes of a file, or lines from a pipe
        nonlocal bar
        if bar is None:
            bar = progress_bar("reading", total, "B" if total is not None else " lines")
        bar.update(done - bar.n)

    try:
        return read_column(args.file, layout, args.column, args.groups, args.output is not None, progress)
    finally:
        if bar is not None:
            bar.close()


def procedure_options(args: argparse.Namespace, column: Column) -> dict[str, Any]:
    """The options of the procedure's call that the command line's options and the table give."""
    options: dict[str, Any] = {"nan_policy": args.nan_policy}
    if column.groups is not None:
        options["groups"] = column.groups
    if args.m is not None:
        options["m"] = args.m
    return options


def computed[T](args: argparse.Namespace, column: Column, description: str, compute: Callable[[], T]) -> T:
    """`compute()` on the column's values, with data problems named by line and column."""
    try:
        return with_elapsed_time(description, compute)
    except InvalidEntryError as exc:
        where, found = column.where(exc.position), float(column.values[exc.position])
        if math.isnan(found):
            raise CliError(f"{where}: missing or NaN value (--nan-policy omit leaves it unrejected)") from None
        requirement = "-log10 p-values must be at least 0" if args.log10 else exc.requirement
        raise CliError(f"{where}: {requirement} (found {found!r})") from None
    except ValueError as exc:
        raise CliError(str(exc)) from None


def procedure_values(args: argparse.Namespace, column: Column) -> NDArray[np.float64]:
    return pvalues_from_log10(column.values) if args.log10 else column.values


def decided(args: argparse.Namespace, column: Column, alpha: float | None = None) -> NDArray[np.bool_]:
    """The decisions of the chosen procedure at `alpha` (default: --alpha)."""
    values = procedure_values(args, column)
    options = procedure_options(args, column)
    if args.method in CLOSED_METHODS:
        options["approximate"] = args.approximate
    procedure = PROCEDURES[args.method]
    level = args.alpha if alpha is None else alpha
    mask = computed(args, column, args.method, lambda: procedure(values, level, **options))
    return strongest_first(mask, column.values, column.groups) if args.log10 else mask


def adjusted(args: argparse.Namespace, column: Column, max_level: float) -> NDArray[np.float64]:
    """The levels of the chosen procedure's exact search: at each alpha below `max_level`, the levels at
    most alpha mark the decisions of `decided`."""
    values = procedure_values(args, column)
    options = procedure_options(args, column)
    levels = computed(
        args, column, f"{args.method} levels", lambda: adjust(values, args.method, max_level=max_level, **options)
    )
    return levels_by_strength(levels, column.values, column.groups) if args.log10 else levels


def rejections_at(args: argparse.Namespace, column: Column, mask: NDArray[np.bool_]) -> dict[float, int]:
    """The number of rejections at each of REPORTED_ALPHAS (and --alpha, whose mask is given)."""
    return {
        alpha: int(mask.sum()) if alpha == args.alpha else int(decided(args, column, alpha).sum())
        for alpha in REPORTED_ALPHAS
    }


def json_number(value: float) -> float | str:
    """JSON has no infinity; an infinite e-value is written as the string "inf"."""
    return value if math.isfinite(value) else str(value)


def summary(args: argparse.Namespace, column: Column, rejections: int) -> tuple[str, dict[str, Any]]:
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


def report(args: argparse.Namespace, column: Column, mask: NDArray[np.bool_]) -> None:
    rejected = np.flatnonzero(mask)
    numbers = column.numbering.numbers(rejected).tolist()
    values = column.values[rejected].tolist()
    first, facts = summary(args, column, len(numbers))
    counts = rejections_at(args, column, mask)
    unit = column.numbering.unit
    if args.json:
        facts["rejections_at"] = {f"{alpha:g}": count for alpha, count in counts.items()}
        facts["rejected"] = [{unit: n, "value": json_number(v)} for n, v in zip(numbers, values)]
        print(json.dumps(facts, allow_nan=False))
        return
    print(first)
    print(f"rejected at alpha {', '.join(f'{a:g}' for a in counts)}: {', '.join(map(str, counts.values()))}")
    if numbers:
        kind = "-log10 p" if args.log10 else "p-value" if args.method in PVALUE_METHODS else "e-value"
        width = max(len(unit), len(str(numbers[-1])))
        print(f"{unit.rjust(width)}  {kind}")
        sys.stdout.write("".join(f"{str(n).rjust(width)}  {v!r}\n" for n, v in zip(numbers, values)))


def added_columns(args: argparse.Namespace, column: Column) -> tuple[str, str | None]:
    """The names of the columns that --output adds, the decisions' and the levels' (with --adjusted-column),
    which the input must not have already."""
    flag: str = args.flag_column or DEFAULT_FLAG_COLUMN
    adjusted_column: str | None = args.adjusted_column
    for name, option in ((flag, "--flag-column"), (adjusted_column, "--adjusted-column")):
        if column.table is not None and name in column.table.column_names:
            raise CliError(f"the input already has a column {name!r}; name the added one with {option}")
    return flag, adjusted_column


def write_output(
    args: argparse.Namespace, column: Column, mask: NDArray[np.bool_], levels: NDArray[np.float64] | None
) -> None:
    assert column.table is not None
    flag, adjusted_column = added_columns(args, column)
    table = column.table.append_column(flag, pa.array(mask))
    if adjusted_column is not None:
        assert levels is not None
        # Text output writes each double in the shortest form that reads back to it.
        table = table.append_column(adjusted_column, pa.array(levels, type=pa.float64()))
    if args.output == "-":
        layout = column.layout
    else:
        layout = layout_of(args.output, None)
        if not layout.parquet and layout.delimiter is None:
            layout = Layout(False, column.layout.delimiter, layout.compression)
    with progress_bar("writing", table.num_rows, " rows") as bar:
        write_table(table, args.output, layout, column.header, lambda rows: bar.update(rows - bar.n))
    if args.output == "-":
        return
    first, facts = summary(args, column, int(mask.sum()))
    if args.json:
        print(json.dumps({**facts, "output": args.output, "flag_column": flag, "adjusted_column": adjusted_column}))
    else:
        added = f"the columns {flag!r} and {adjusted_column!r}" if adjusted_column else f"the column {flag!r}"
        print(f"{first}\nTable with {added} written to {args.output}")


def plot_title(args: argparse.Namespace, column: Column) -> str:
    source = "standard input" if args.file == "-" else Path(args.file).name
    present = int(np.count_nonzero(~np.isnan(column.values)))
    families = "" if column.groups is None else f" in {int(np.unique(column.groups).size):,} families"
    return f"{args.method} on {source}: {present:,} hypotheses{families}"


def run_method(args: argparse.Namespace) -> None:
    if args.plot is not None:
        require_matplotlib()
    column = read_input(args)
    added_columns(args, column)  # refused before a long computation, not after
    mask = decided(args, column)
    levels = None
    if args.adjusted_column is not None or args.plot is not None:
        levels = adjusted(args, column, 1.0 if args.adjusted_column is not None else plot_max_level(args.alpha))
    if args.output is None:
        report(args, column, mask)
    else:
        write_output(args, column, mask, levels)
    if args.plot is not None:
        assert levels is not None
        message = write_plot(plot_path(args.plot), [Curve(args.method, levels)], args.alpha, plot_title(args, column),
                             cut=True)
        # Standard output may hold the table or the JSON summary; the message then goes to standard error.
        print(message, file=sys.stderr if args.json or args.output == "-" else sys.stdout)
