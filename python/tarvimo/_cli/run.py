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
from tarvimo._cli.candidates import REPORTED_ALPHAS, Selection, flagged_batches, kept_column
from tarvimo._cli.errors import CliError
from tarvimo._cli.families import family_summary, family_totals
from tarvimo._cli.layout import Layout, layout_of
from tarvimo._cli.numbers import levels_by_strength, pvalues_from_log10, strongest_first
from tarvimo._cli.plotting import Curve, checked_plot_path, plot_max_level, plot_path, write_plot
from tarvimo._cli.progress import progress_bar, with_elapsed_time
from tarvimo._cli.reading import Column, Counts, KeptNumbering, ParquetReader, Request, TextReader, read_column
from tarvimo._cli.spool import spooled
from tarvimo._cli.wording import plural
from tarvimo._cli.writing import Rows, typed_table, write_table
from tarvimo._inputs import InvalidEntryError, checked_evalues, checked_total
from tarvimo._omitted import evalue_omission_bound
from tarvimo._procedures import bh, by, closed_by, closed_ebh, ebh

PROCEDURES: dict[str, Callable[..., NDArray[np.bool_]]] = {
    "ebh": ebh,
    "closed-ebh": closed_ebh,
    "by": by,
    "closed-by": closed_by,
    "bh": bh,
}
METHODS = tuple(PROCEDURES)
CLOSED_METHODS = ("closed-ebh", "closed-by")
PVALUE_METHODS = ("by", "closed-by", "bh")
DEFAULT_FLAG_COLUMN = "rejected"
REPORT_ROWS = 1 << 16  # rejected hypotheses formatted at a time


def streamed(args: argparse.Namespace) -> bool:
    """Whether the table is read keeping only the values that can matter (and, with --output, read again
    to be written back with the decisions; standard input is first copied to a file, see `spooled`).

    The levels (--plot, --adjusted-column) need every value, and a text table written as Parquet is
    typed column by column from the whole table.
    """
    if args.plot is not None or args.adjusted_column is not None:
        return False
    if args.output is None or args.output == "-" or not layout_of(args.output, None).parquet:
        return True
    return args.file == "-" or layout_of(args.file, args.delimiter).parquet  # Parquet (standard input: maybe)


def read_input(args: argparse.Namespace) -> Column:
    """The chosen column: every value, or (see `streamed`) only those that can matter, with the counts."""
    layout = layout_of(args.file, args.delimiter)
    bar = None

    def progress(done: int, total: int | None) -> None:  # bytes of a file, or lines from a pipe
        nonlocal bar
        if bar is None:
            bar = progress_bar("reading", total, "B" if total is not None else " lines")
        bar.update(done - bar.n)

    try:
        request = Request(
            args.column,
            args.groups,
            args.id_column,
            args.m_column,
            args.output is not None and not streamed(args),
            args.encoding,
            args.multiline,
        )
        if not streamed(args):
            return read_column(args.file, layout, request, progress, name=args.input_name)
        selection = Selection(args.method, args.alpha, args.log10, args.nan_policy == "omit", args.conservative)
        return read_column(
            args.file,
            layout,
            request,
            progress,
            lambda reader, told: kept_column(reader, told, selection),
            args.input_name,
        )
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
    if column.totals is not None:
        options["m"] = totals_of(column)
    if column.counts is not None:
        options["m"] = kept_totals(args, column, column.counts)
    return options


def kept_totals(args: argparse.Namespace, column: Column, counts: Counts) -> int | NDArray[np.int64]:
    """The m of a column that keeps only the values that can matter: that of each kept value's family."""
    if column.groups is None:
        return counts.rows - counts.missing if args.m is None else args.m
    per_family = counts.family_totals if counts.family_totals is not None else counts.family_sizes
    assert per_family is not None
    return per_family[column.groups]


def whole_column_checks(args: argparse.Namespace, counts: Counts) -> None:
    """What the procedure would refuse in the whole column, of which only some values are kept."""
    if counts.invalid is not None:
        raise CliError(entry_problem(args, counts.invalid.where, counts.invalid.found, counts.invalid.requirement))
    if args.m is not None:
        checked_total(args.m, counts.rows)


def entry_problem(args: argparse.Namespace, where: str, found: float, requirement: str) -> str:
    """The message for the value `found` at `where`, outside the procedure's domain (or NaN, if refused)."""
    if math.isnan(found):
        return f"{where}: missing or NaN value (--nan-policy omit leaves it unrejected)"
    requirement = "-log10 p-values must be at least 0" if args.log10 else requirement
    hint = (
        "; a column of -log10 p-values? say so with --log10"
        if args.method in PVALUE_METHODS and not args.log10 and found > 1.0
        else ""
    )
    return f"{where}: {requirement} (found {found!r}){hint}"


def computed[T](args: argparse.Namespace, column: Column, description: str, compute: Callable[[], T]) -> T:
    """`compute()` on the column's values, with data problems named by line and column."""
    try:
        return with_elapsed_time(description, compute)
    except InvalidEntryError as exc:
        found = float(column.values[exc.position])
        raise CliError(entry_problem(args, column.where(exc.position), found, exc.requirement)) from None
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

    def decide() -> NDArray[np.bool_]:
        if column.counts is not None:
            whole_column_checks(args, column.counts)
        if args.conservative:
            return conservative_decisions(args, column, values, level, options)
        return procedure(values, level, **options)

    mask = computed(args, column, args.method, decide)
    return strongest_first(mask, column.values, column.groups) if args.log10 else mask


def conservative_decisions(
    args: argparse.Namespace, column: Column, values: NDArray[np.float64], alpha: float, options: dict[str, Any]
) -> NDArray[np.bool_]:
    """Closed e-BH on the e-values above 1 / alpha alone, the others of each family counted as 0 through m
    (a list given in part), as ``tarvimo.dask.closed_ebh(conservative=True)`` decides: mean consistent in
    the whole family, holding e-BH's set, possibly smaller than the exact one."""
    if column.counts is None:
        checked_evalues(values, args.nan_policy)  # what the whole column would refuse, first
    totals = kept_totals(args, column, counts_of(column))
    kept = np.flatnonzero(values > evalue_omission_bound(alpha))
    options = {**options, "m": totals if isinstance(totals, int) else totals[kept]}
    if column.groups is not None:
        options["groups"] = column.groups[kept]
    mask = np.zeros(values.size, np.bool_)
    mask[kept] = closed_ebh(values[kept], alpha, **options)
    return mask


def totals_of(column: Column) -> NDArray[np.int64]:
    """The checked --m-column of `column`: one total per value, the same within each family."""
    assert column.groups is not None and column.totals is not None and column.families is not None
    families = column.families
    return family_totals(
        column.groups,
        column.totals,
        lambda position: column.where(position, column.totals_name),
        lambda code: str(families[code].as_py()),
    )


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


def summary(args: argparse.Namespace, column: Column, mask: NDArray[np.bool_]) -> tuple[str, dict[str, Any]]:
    """The first lines of the report, and the same facts for JSON."""
    rejections = int(mask.sum())
    counts = counts_of(column)
    omitted = counts.missing
    listed = counts.rows - omitted
    hypotheses = listed if args.m is None else args.m
    if counts.family_totals is not None:
        hypotheses = int(counts.family_totals.sum())
    facts: dict[str, Any] = {
        "method": args.method,
        "alpha": args.alpha,
        "approximate": args.approximate,
        "hypotheses": hypotheses,
        "omitted": omitted,
        "rejections": rejections,
    }
    notes = []
    if column.families is not None:
        facts["families"] = len(column.families)
        notes.append(f"in {facts['families']} {plural(facts['families'], 'family', 'families')}, each at this alpha")
    if args.m is not None or counts.family_totals is not None:
        facts["listed"] = listed
        absent = "p = 1" if args.method in PVALUE_METHODS else "e = 0"
        notes.append(f"{listed} listed, the other {hypotheses - listed} counted as {absent}")
    if omitted:
        notes.append(f"{omitted} NaN {plural(omitted, 'entry', 'entries')} omitted")
    note = f" ({'; '.join(notes)})" if notes else ""
    counted = f"{hypotheses} {plural(hypotheses, 'hypothesis', 'hypotheses')}"
    first = f"{args.method} at alpha {args.alpha:g}: {rejections} of {counted} rejected{note}"
    if column.groups is not None and column.families is not None and counts.family_sizes is not None:
        rejected = np.bincount(column.groups, weights=mask, minlength=len(column.families)).astype(np.int64)
        families = family_summary(column.families.to_pylist(), counts.family_sizes, rejected)
        if families is not None:
            first += "\n" + families.text()
            facts.update(families.facts())
    return first, facts


def counts_of(column: Column) -> Counts:
    """The counts of the column's values, which it holds all of unless it keeps them (`Column.counts`)."""
    if column.counts is not None:
        return column.counts
    missing = np.isnan(column.values)
    sizes = None
    if column.groups is not None and column.families is not None:
        sizes = np.bincount(column.groups, weights=~missing, minlength=len(column.families)).astype(np.int64)
    totals = None
    if column.totals is not None and column.groups is not None:
        totals = totals_of(column)[np.unique(column.groups, return_index=True)[1]]
    given = column.values[~missing]
    largest = float(given.max(initial=-np.inf))
    return Counts(column.values.size, int(missing.sum()), largest, sizes, totals, None)


def labels_of(column: Column, rejected: NDArray[np.intp], name: str | None) -> dict[str, list[Any]]:
    """The id (--id-column) and family (--groups) of the rejected hypotheses, by the name of their column."""
    labels: dict[str, list[Any]] = {}
    if column.ids is not None and name is not None:
        labels[name] = column.ids.take(rejected).to_pylist()
    if column.groups is not None and column.families is not None:
        labels["family"] = column.families.take(column.groups[rejected]).to_pylist()
    return labels


def report(args: argparse.Namespace, column: Column, mask: NDArray[np.bool_]) -> None:
    """The summary and the rejected hypotheses, written REPORT_ROWS at a time: millions of rejections
    would take far more memory as Python objects all at once than as the values they come from."""
    counts = rejections_at(args, column, mask)  # before the rejections' positions: less memory at once
    rejected = np.flatnonzero(mask)
    parts = [rejected[start : start + REPORT_ROWS] for start in range(0, rejected.size, REPORT_ROWS)]
    name = args.id_column and "id"
    first, facts = summary(args, column, mask)
    unit = column.numbering.unit
    if args.json:
        facts["rejections_at"] = {f"{alpha:g}": count for alpha, count in counts.items()}
        head = json.dumps({**facts, "rejected": []}, allow_nan=False)
        sys.stdout.write(head.removesuffix("]}"))
        for index, part in enumerate(parts):
            labels = labels_of(column, part, name)
            numbers, values = column.numbering.numbers(part).tolist(), column.values[part].tolist()
            entries = [
                {unit: n, **{key: labels[key][i] for key in labels}, "value": json_number(v)}
                for i, (n, v) in enumerate(zip(numbers, values))
            ]
            sys.stdout.write((", " if index else "") + json.dumps(entries, allow_nan=False)[1:-1])
        sys.stdout.write("]}\n")
        return
    print(first)
    print(f"rejected at alpha {', '.join(f'{a:g}' for a in counts)}: {', '.join(map(str, counts.values()))}")
    if not parts:
        return
    kind = "-log10 p" if args.log10 else "p-value" if args.method in PVALUE_METHODS else "e-value"
    width = max(len(unit), len(str(column.numbering.number(int(rejected[-1])))))
    widths = {key: len(key) for key in labels_of(column, rejected[:0], name)}
    for part in parts:
        for key, cells in shown_labels(column, part, name).items():
            widths[key] = max(widths[key], *map(len, cells))
    print("  ".join([unit.rjust(width), *(key.ljust(widths[key]) for key in widths), kind]))
    line = "  ".join([f"{{:>{width}}}", *(f"{{:<{widths[key]}}}" for key in widths), "{!r}"]) + "\n"
    for part in parts:
        numbers, values = column.numbering.numbers(part).tolist(), column.values[part].tolist()
        texts = shown_labels(column, part, name).values()
        sys.stdout.write("".join(map(line.format, numbers, *texts, values)))


def shown_labels(column: Column, rejected: NDArray[np.intp], name: str | None) -> dict[str, list[str]]:
    """The labels of `labels_of` as the text report shows them."""
    labels = labels_of(column, rejected, name)
    return {key: ["" if text is None else str(text) for text in cells] for key, cells in labels.items()}


def evidence_hint(counts: Counts) -> None:
    """A note on standard error when e-values that reject nothing all lie in [0, 1], as p-values do."""
    if counts.rows > counts.missing and counts.largest <= 1.0:
        print(
            "tarvimo: note: every value lies in [0, 1], where no e-value is evidence; if they are p-values, "
            "use by or closed-by",
            file=sys.stderr,
        )


def added_columns(args: argparse.Namespace, column: Column) -> tuple[str, str | None]:
    """The names of the columns that --output adds, the decisions' and the levels' (with --adjusted-column),
    which the input must not have already."""
    flag: str = args.flag_column or DEFAULT_FLAG_COLUMN
    adjusted_column: str | None = args.adjusted_column
    if args.output is None:
        return flag, adjusted_column
    names = column.column_names if column.table is None else column.table.column_names
    for name, option in ((flag, "--flag-column"), (adjusted_column, "--adjusted-column")):
        if name in names:
            raise CliError(f"the input already has a column {name!r}; name the added one with {option}")
    return flag, adjusted_column


def write_output(
    args: argparse.Namespace, column: Column, mask: NDArray[np.bool_], levels: NDArray[np.float64] | None
) -> None:
    flag, adjusted_column = added_columns(args, column)
    if args.output == "-":
        layout = column.layout
    else:
        layout = layout_of(args.output, None)
        if not layout.parquet and layout.delimiter is None:
            layout = Layout(False, column.layout.delimiter, layout.compression)
    if column.counts is not None:
        write_flagged(args, column, mask, flag, layout)
    else:
        assert column.table is not None
        table = column.table.append_column(flag, pa.array(mask))
        if adjusted_column is not None:
            assert levels is not None
            # Text output writes each double in the shortest form that reads back to it.
            table = table.append_column(adjusted_column, pa.array(levels, type=pa.float64()))
        if layout.parquet and not column.layout.parquet:
            table = typed_table(table)
        with progress_bar("writing", table.num_rows, " rows") as bar:
            write_table(table, args.output, layout, column.header, lambda rows: bar.update(rows - bar.n), args.file)
    if args.output == "-":
        return
    first, facts = summary(args, column, mask)
    if args.json:
        print(json.dumps({**facts, "output": args.output, "flag_column": flag, "adjusted_column": adjusted_column}))
    else:
        added = f"the columns {flag!r} and {adjusted_column!r}" if adjusted_column else f"the column {flag!r}"
        print(f"{first}\nTable with {added} written to {args.output}")


def write_flagged(args: argparse.Namespace, column: Column, mask: NDArray[np.bool_], flag: str, layout: Layout) -> None:
    """The input read a second time, written to --output batch by batch with the decisions of `mask` on the
    kept values of `column`; the first pass has refused every problem of the input."""
    assert column.counts is not None and isinstance(column.numbering, KeptNumbering)
    rejected = column.numbering.positions[mask].astype(np.intp)
    request = Request(args.column, keep_table=True, encoding=args.encoding, multiline=args.multiline)
    names = [*column.column_names, flag]
    with progress_bar("writing", column.counts.rows, " rows") as bar:

        def rewrite(reader: TextReader | ParquetReader, progress: Callable[[int], None]) -> Column:
            schema = reader.schema.append(pa.field(flag, pa.bool_())) if isinstance(reader, ParquetReader) else None
            rows = Rows(names, flagged_batches(reader, progress, rejected, flag), schema)
            write_table(
                rows, args.output, layout, column.header, lambda written: bar.update(written - bar.n), args.file
            )
            return column

        source = layout_of(args.file, args.delimiter)
        read_column(args.file, source, request, lambda *_: None, rewrite, args.input_name)


def plot_title(args: argparse.Namespace, column: Column) -> str:
    source = args.input_name or ("standard input" if args.file == "-" else Path(args.file).name)
    present = int(np.count_nonzero(~np.isnan(column.values)))
    families = "" if column.groups is None else f" in {int(np.unique(column.groups).size):,} families"
    return f"{args.method} on {source}: {present:,} {plural(present, 'hypothesis', 'hypotheses')}{families}"


def run_method(args: argparse.Namespace) -> None:
    if args.plot is not None:
        checked_plot_path(args.plot)  # refused before the table is read
    if args.file == "-" and args.output is not None and streamed(args):
        with spooled(sys.stdin.buffer) as path:
            decide_and_tell(argparse.Namespace(**{**vars(args), "file": path, "input_name": "standard input"}))
    else:
        decide_and_tell(args)


def decide_and_tell(args: argparse.Namespace) -> None:
    """Reads the input, decides, and reports or writes the table back (and draws the plot)."""
    column = read_input(args)
    added_columns(args, column)  # refused before a long computation, not after
    mask = decided(args, column)
    if args.method not in PVALUE_METHODS and not mask.any():
        evidence_hint(counts_of(column))
    levels = None
    if args.adjusted_column is not None or args.plot is not None:
        levels = adjusted(args, column, 1.0 if args.adjusted_column is not None else plot_max_level(args.alpha))
    if args.output is None:
        report(args, column, mask)
    else:
        write_output(args, column, mask, levels)
    if args.plot is not None:
        assert levels is not None
        message = write_plot(
            plot_path(args.plot), [Curve(args.method, levels)], args.alpha, plot_title(args, column), cut=True
        )
        # Standard output may hold the table or the JSON summary; the message then goes to standard error.
        print(message, file=sys.stderr if args.json or args.output == "-" else sys.stdout)
