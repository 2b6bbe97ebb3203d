"""Reading the values of a table column, with the line or row of each.

Text tables (CSV, TSV, any one-character delimiter, whitespace-aligned
tables such as PLINK's, optionally gzip, bz2, zstd or xz compressed) and
Parquet files go through pyarrow. Text is read batch by batch: the value
column is converted to numbers, with the usual missing-value markers read as
NaN, and every other column is kept as the text it was, so that a table
written back holds exactly what was read.

Quotes follow the delimiter: a CSV (and a table separated by ';' or any other
character) quotes fields as RFC 4180 says, but a quoted field may span lines
only under `multiline`, so that a stray quote is an error naming its line
rather than rows merged in silence; tab- and space-separated tables take
quotes literally, as the genomics tools that write them do.

Each value keeps the number of its physical line in the file (the header is
line 1) or, for Parquet, its row, so that problems and rejections can be
named where the user finds them. Lines whose fields are all empty are skipped.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import contextlib
import io
import lzma
import os
import re
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from typing import IO, Any, BinaryIO, Literal, cast

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv
from numpy.typing import NDArray

from tarvimo._cli.errors import TableError, one_line
from tarvimo._cli.layout import PARQUET_NEEDS_COLUMN, WHITESPACE, Compression, Layout, inferred_delimiter, quotes
from tarvimo._cli.numbers import (
    DECIMAL_COMMA,
    TRUE,
    BadNumber,
    missing_markers,
    not_a_number,
    numbers_from_array,
    numbers_from_text,
    one_array,
    parsed_or_none,
    plain_numbers,
)
from tarvimo._cli.wording import plural

EMPTY = pa.scalar("", pa.string())
COMPRESSION_MAGIC: dict[bytes, Compression] = {
    b"\x1f\x8b": "gzip",
    b"BZh": "bz2",
    b"\x28\xb5\x2f\xfd": "zstd",
    b"\xfd7zXZ\x00": "xz",
}
PARQUET_MAGIC = b"PAR1"
HEADERLESS_COLUMN = "value"  # the name of the one column of a file without a header line
HEAD_BYTES = 1 << 16  # read at a time until the first line is complete
BLOCK_BYTES = 1 << 20  # text parsed into one batch of rows
PARQUET_BATCH_ROWS = 1 << 16  # rows of a Parquet file read into one batch
SPACE, TAB, LINE_FEED = ord(" "), ord("\t"), ord("\n")
LINE_ENDS = np.array([LINE_FEED, ord("\r")], np.uint8)
ENCODING_HINT = "name the file's encoding with --encoding (for example --encoding latin-1)"

Progress = Callable[[int], None]  # told the number of lines read, after each batch


@dataclass(frozen=True)
class Request:
    """What to read from a table: the columns by name (or number), and how."""

    value_column: str | None  # None: a text file of one value per line, without a header line
    group_column: str | None = None
    id_column: str | None = None
    m_column: str | None = None  # the total number of hypotheses of each value's family
    keep_table: bool = False
    encoding: str = "utf-8"
    multiline: bool = False  # a quoted CSV field may span lines


@dataclass(frozen=True)
class Numbering:
    """Maps the position of a value to its line (or row) number in the input.

    `first` is the number of the first data line; `shifts` holds, ascending,
    one entry per line that is not the first line of a kept value (a skipped
    line, or a further line of a quoted field): the position of the first
    value after it.
    """

    unit: Literal["line", "row"]
    first: int
    shifts: NDArray[np.intp]

    def numbers(self, positions: NDArray[np.intp]) -> NDArray[np.intp]:
        return self.first + positions + np.searchsorted(self.shifts, positions, side="right")

    def number(self, position: int) -> int:
        return int(self.numbers(np.array([position]))[0])


@dataclass(frozen=True)
class KeptNumbering:
    """The numbering of some of a column's values: those at `positions` of the whole column."""

    whole: Numbering
    positions: NDArray[np.uint32] | NDArray[np.intp]  # 32 bits where the column allows

    @property
    def unit(self) -> Literal["line", "row"]:
        return self.whole.unit

    def numbers(self, positions: NDArray[np.intp]) -> NDArray[np.intp]:
        return self.whole.numbers(self.positions[positions].astype(np.intp))

    def number(self, position: int) -> int:
        return self.whole.number(int(self.positions[position]))


@dataclass(frozen=True)
class Invalid:
    """The first value outside the procedure's domain (or NaN, if refused): where, what, which rule."""

    where: str  # the line (or row) and column, as messages name it
    found: float  # as read (a -log10 p-value under --log10)
    requirement: str


@dataclass(frozen=True)
class Counts:
    """What a column that keeps only some values knows of all of them."""

    rows: int  # values read, NaN included
    missing: int  # NaN among them
    largest: float  # the largest value that is not NaN; -inf if none
    family_sizes: NDArray[np.int64] | None  # the values of each family that are not NaN
    family_totals: NDArray[np.int64] | None  # each family's --m-column, checked
    invalid: Invalid | None  # the first value the procedure refuses, kept as a value of the column


@dataclass(frozen=True)
class Column:
    """The values read from the chosen column, with what belongs to them."""

    name: str
    values: NDArray[np.float64]
    numbering: Numbering | KeptNumbering
    groups: NDArray[np.int32] | None  # a family code per value (from --groups), else None
    table: pa.Table | None  # every column of the kept lines, as read, when asked for
    layout: Layout
    header: bool  # False: a text file of one value per line, without a header line
    families: pa.Array[Any] | None = None  # the label of each family code
    ids: pa.ChunkedArray[Any] | None = None  # the --id-column of each value, as text
    totals: NDArray[np.float64] | None = None  # the --m-column of each value, NaN where missing
    totals_name: str | None = None
    counts: Counts | None = None  # None: `values` holds every value; else only those that can matter
    column_names: tuple[str, ...] = ()  # of the table, when `table` is not kept

    def where(self, position: int, column: str | None = None) -> str:
        """Where the entry at `position` of the value column (or of `column`) is, as a user finds it."""
        return place(self.numbering.number(position), self, column)


def place(number: int, column: Column, name: str | None = None) -> str:
    """The line (or row) `number` of `column`'s values (or of its column `name`), as messages name it."""
    where = f"{column.numbering.unit} {number}"
    return f"{where}, column {(name or column.name)!r}" if column.header else where


@dataclass(frozen=True)
class Piece:
    """The kept lines of one batch of a text table: every column as text, and the values as numbers."""

    batch: pa.RecordBatch
    numbers: pa.Array[Any]  # float64 without nulls, NaN for the missing-value markers
    start: int  # the position of its first value in the whole column


def duplicate_check(names: list[str]) -> None:
    seen: dict[str, int] = {}
    for position, name in enumerate(names, start=1):
        if name in seen:
            raise TableError(
                f"the column name {name!r} appears twice in the header (columns {seen[name]} and "
                f"{position}); give every column its own name"
            )
        seen[name] = position


def resolved_column(wanted: str, names: list[str], option: str) -> str:
    """The column that `wanted` names: a header name, or else a 1-based column number."""
    if wanted in names:
        return wanted
    if wanted.isdecimal() and 1 <= int(wanted) <= len(names):
        return names[int(wanted) - 1]
    found = ", ".join(repr(name) for name in names) or "none"
    hint = ""
    if len(names) == 1 and (other := next((c for c in "\t;| " if c in names[0]), None)) is not None:
        named = "whitespace" if other == " " else repr(other)
        hint = f"; is the delimiter {named}? say so with --delimiter"
    message = f"no column {wanted!r} in the header line (columns: {found}{hint})"
    raise TableError(message if option == "--column" else f"{option}: {message}")


@dataclass(frozen=True)
class Chosen:
    """The columns a request names, resolved against the header."""

    value: str
    group: str | None
    id: str | None
    m: str | None


def chosen_columns(request: Request, names: list[str], value: str) -> Chosen:
    """The group and id columns of `request` among `names`; families must not be the values themselves."""
    group = None if request.group_column is None else resolved_column(request.group_column, names, "--groups")
    if group == value:
        raise TableError(
            f"--groups names the value column {value!r}: every value would be a family of its own; "
            "name the column of family labels"
        )
    ident = None if request.id_column is None else resolved_column(request.id_column, names, "--id-column")
    totals = None if request.m_column is None else resolved_column(request.m_column, names, "--m-column")
    if totals is not None and totals in (value, group):
        role = "values" if totals == value else "families"
        raise TableError(
            f"--m-column names the column {totals!r} of the {role}; name the column of the families' totals"
        )
    return Chosen(value, group, ident, totals)


class PrefixedStream(io.RawIOBase):
    """A stream that returns `prefix` and then what `rest` returns, noting whether a quote went by."""

    def __init__(self, prefix: bytes, rest: BinaryIO | pa.NativeFile) -> None:
        super().__init__()
        self.prefix = memoryview(prefix)
        self.rest = rest
        self.quote_seen = b'"' in prefix

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        if self.prefix:
            size = min(len(buffer), len(self.prefix))
            buffer[:size] = self.prefix[:size]
            self.prefix = self.prefix[size:]
            return size
        data = self.rest.read(len(buffer))
        buffer[: len(data)] = data
        self.quote_seen = self.quote_seen or b'"' in data
        return len(data)


class CollapsedBlanks(io.RawIOBase):
    """A whitespace-aligned table as a tab-separated one: whole lines of `source`, blanks collapsed.

    Line ends are kept, so line numbers do not change.
    """

    def __init__(self, source: BinaryIO) -> None:
        super().__init__()
        self.source = source
        self.pending = b""  # the part of the last block after its last line end
        self.ready = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        while not self.ready:
            block = self.source.read(HEAD_BYTES * 16)
            if not block and not self.pending:
                return 0
            data = self.pending + block
            cut = data.rfind(b"\n") + 1 if block else len(data)
            self.pending = data[cut:]
            self.ready = memoryview(collapsed_blanks(data[:cut]))
        size = min(len(buffer), len(self.ready))
        buffer[:size] = self.ready[:size]
        self.ready = self.ready[size:]
        return size


def collapsed_blanks(lines: bytes) -> bytes:
    """Whole lines with each run of spaces and tabs inside a line one tab, and those at its ends removed."""
    data = np.frombuffer(lines, np.uint8)
    blank = (data == SPACE) | (data == TAB)
    if not blank.any():
        return lines
    follows_blank = np.concatenate(([False], blank[:-1]))
    precedes_blank = np.concatenate((blank[1:], [False]))
    starts = np.flatnonzero(blank & ~follows_blank)  # the first blank of each run
    ends = np.flatnonzero(blank & ~precedes_blank)  # and its last
    before = np.where(starts > 0, data[np.maximum(starts - 1, 0)], LINE_FEED)
    after = np.where(ends + 1 < data.size, data[np.minimum(ends + 1, data.size - 1)], LINE_FEED)
    inner = ~np.isin(before, LINE_ENDS) & ~np.isin(after, LINE_ENDS)
    keep = ~blank
    keep[starts[inner]] = True
    kept = data[keep]
    kept[blank[keep]] = TAB
    collapsed: bytes = kept.tobytes()
    return collapsed


def native(file: IO[bytes] | io.IOBase, mode: Literal["r", "w"]) -> pa.PythonFile:
    """A pyarrow stream over a Python binary file."""
    return pa.PythonFile(cast(io.IOBase, file), mode=mode)


def first_line(stream: BinaryIO | pa.NativeFile) -> bytes:
    """The bytes read from `stream` up to and including the first line end (or all, if none)."""
    head = b""
    while b"\n" not in head:
        more = stream.read(HEAD_BYTES)
        if not more:
            break
        head += more
    return head


def decoded_line(head: bytes) -> str:
    """The first line of `head` as text, without a byte-order mark; a byte that is not UTF-8 is refused."""
    line = head.split(b"\n", 1)[0].removeprefix(b"\xef\xbb\xbf").rstrip(b"\r")
    try:
        return line.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise TableError(
            f"line 1: byte 0x{line[exc.start]:02x} (at byte {exc.start + 1} of the line) is not "
            f"UTF-8 text; {ENCODING_HINT}"
        ) from None


def header_names(head: bytes, delimiter: str) -> list[str]:
    """The column names in the first line, as the parser reads the lines after it."""
    line = decoded_line(head)
    if delimiter == WHITESPACE:
        return line.split()
    options = pcsv.ParseOptions(delimiter=delimiter, quote_char='"' if quotes(delimiter) else False)
    return pcsv.read_csv(io.BytesIO(line.encode() + b"\n"), parse_options=options).column_names


def blank(text: pa.Array[Any] | pa.ChunkedArray[Any]) -> pa.BooleanArray:
    """Whether each field is empty or white space only."""
    return pc.or_(pc.equal(text, EMPTY), pc.utf8_is_space(text))


def first_invalid_utf8(cells: pa.Array[Any]) -> int:
    """The position of the first cell that is not UTF-8 (one must be)."""
    start, stop = 0, len(cells)
    while stop - start > 1:  # halve the range, keeping the half that holds the first failure
        middle = (start + stop) // 2
        try:
            cells.slice(start, middle - start).cast(pa.string())
            start = middle
        except pa.ArrowInvalid:
            stop = middle
    return start


def line_ends(batch: pa.RecordBatch) -> NDArray[np.intp]:
    """The number of line ends (\\n, \\r\\n or \\r) inside the fields of each row: quoted fields that span lines.

    Counted with plain substring searches, several times faster than a regular expression.
    """
    counts = np.zeros(batch.num_rows, np.intp)
    columns: list[Any] = batch.columns  # binary, which the stubs of the substring functions leave out
    for column in columns:
        for end, sign in (("\n", 1), ("\r", 1), ("\r\n", -1)):
            found = pc.count_substring(column, end)
            if not pc.max(found).as_py():
                if end == "\r":
                    break  # no lone \r, and no \r\n either
                continue
            counts += sign * found.to_numpy(zero_copy_only=False)
    return counts


class TextReader:
    """Reads a text table batch by batch, keeping what the caller asked for."""

    def __init__(self, stream: PrefixedStream, layout: Layout, head: bytes, request: Request) -> None:
        self.header = request.value_column is not None
        self.delimiter = layout.delimiter or inferred_delimiter(decoded_line(head), self.header)
        if layout.delimiter is None and decoded_line(head).strip() == request.value_column:
            self.delimiter = ","  # a table of one column whose name has spaces, not an aligned table
        self.quoting = quotes(self.delimiter)
        self.multiline = request.multiline and self.quoting
        self.names = header_names(head, self.delimiter) if self.header else [HEADERLESS_COLUMN]
        duplicate_check(self.names)
        value = (
            HEADERLESS_COLUMN
            if request.value_column is None
            else resolved_column(request.value_column, self.names, "--column")
        )
        self.chosen = chosen_columns(request, self.names, value)
        if self.header and parsed_or_none(pa.array([value], pa.string())) is not None:
            # A number where the header should be: the first line is data, which would be lost as a header.
            raise TableError(
                f"line 1 holds the number {value!r} where the name of the column should be: "
                "--column reads a table whose first line names its columns"
            )
        self.keep_table = request.keep_table
        self.watch = stream
        self.stream: BinaryIO = io.BufferedReader(
            CollapsedBlanks(io.BufferedReader(stream)) if self.delimiter == WHITESPACE else stream
        )
        self.first = 2 if self.header else 1  # number of the first data line
        self.ragged: pcsv.InvalidRow | None = None
        self.records = 0  # the rows that pyarrow has given so far, skipped ones included
        self.lines = 0  # the data lines they span
        self.shifts: list[NDArray[np.intp]] = []  # of `Numbering`, batch by batch

    @property
    def value(self) -> str:
        return self.chosen.value

    def refuse_ragged(self, row: pcsv.InvalidRow) -> Literal["skip", "error"]:
        # Skipped, and refused once the rows before it are in: their line ends give its line.
        if self.ragged is None:
            self.ragged = row
        return "skip"

    def ragged_error(self, lines: int) -> TableError:
        """The error for the ragged row, which comes after rows that span `lines` data lines."""
        assert self.ragged is not None
        row = self.ragged
        line = self.first + lines
        if self.quoting and not self.multiline and ("\n" in row.text or "\r" in row.text):
            return self.stray_quote(line)
        if not self.header:
            return TableError(
                f"line {line}: expected one value per line, found {row.actual_columns} fields "
                f"(use --column NAME for a table with a header line{decimal_comma_hint(row.text)})"
            )
        fields = f"{row.actual_columns} {plural(row.actual_columns, 'field', 'fields')}"
        hint = (
            " (a decimal comma? write numbers with a decimal point)"
            if (self.delimiter == "," and re.search("[0-9],[0-9]", row.text))
            else ""
        )
        return TableError(
            f"line {line} has {fields} where the header line has {row.expected_columns}: {row.text[:80]!r}{hint}"
        )

    def stray_quote(self, line: int) -> TableError:
        return TableError(
            f"line {line}: a quoted field runs past the end of the line (a stray quote?); a CSV "
            "quotes whole fields, and reads fields that span lines with --multiline; "
            "a file that does not quote is read with --delimiter tab or whitespace"
        )

    def raw_batches(self) -> Iterator[pa.RecordBatch]:
        try:
            yield from pcsv.open_csv(
                self.stream,
                read_options=pcsv.ReadOptions(
                    use_threads=False,
                    block_size=BLOCK_BYTES,
                    column_names=None if self.header else [HEADERLESS_COLUMN],
                ),
                parse_options=pcsv.ParseOptions(
                    delimiter="\t" if self.delimiter == WHITESPACE else self.delimiter,
                    quote_char='"' if self.quoting else False,
                    newlines_in_values=self.multiline,
                    ignore_empty_lines=False,
                    invalid_row_handler=self.refuse_ragged,
                ),
                convert_options=pcsv.ConvertOptions(
                    column_types={name: pa.binary() for name in self.names},
                    strings_can_be_null=False,
                    quoted_strings_can_be_null=False,
                ),
            )
        except pa.ArrowInvalid:
            if self.ragged is not None:
                raise self.ragged_error(self.lines) from None
            raise

    def batches(self) -> Iterator[tuple[pa.RecordBatch, NDArray[np.intp] | None]]:
        """The batches as text, each with the line ends inside the fields of its rows (None: there are none).

        The whole batch is checked: a byte that is not UTF-8 and a ragged row
        are refused, naming their line.
        """
        for raw in self.raw_batches():
            ends = line_ends(raw) if self.quoting and self.watch.quote_seen else None
            if ends is not None and not ends.any():
                ends = None
            ragged_at = self.ragged_position(raw.num_rows)
            if ends is not None and not self.multiline:
                spanning = int(np.argmax(ends > 0))
                if ragged_at is None or spanning < ragged_at:
                    raise self.stray_quote(self.first + self.lines + spanning)
            if ragged_at is not None:
                spanned = ragged_at + (int(ends[:ragged_at].sum()) if ends is not None else 0)
                raise self.ragged_error(self.lines + spanned)
            batch = self.as_text(raw, ends)
            self.records += raw.num_rows
            self.lines += raw.num_rows + (int(ends.sum()) if ends is not None else 0)
            yield batch, ends
        if self.ragged is not None:
            raise self.ragged_error(self.lines)

    def ragged_position(self, rows: int) -> int | None:
        """Where the ragged row, if any, lies among the `rows` rows of the batch just read; None: not there.

        The row is left out of the batch, so the rows before it are those at lower positions.
        """
        if self.ragged is None:
            return None
        if self.ragged.number is None:
            return 0
        position = self.ragged.number - self.first - self.records
        return max(position, 0) if position <= rows else None

    def as_text(self, raw: pa.RecordBatch, ends: NDArray[np.intp] | None) -> pa.RecordBatch:
        columns = []
        for name, cells in zip(self.names, raw.columns, strict=True):
            try:
                columns.append(cells.cast(pa.string()))
            except pa.ArrowInvalid:
                position = first_invalid_utf8(cells)
                data = cells[position].as_py()
                byte = data[cast(UnicodeDecodeError, utf8_failure(data)).start]
                line = self.first + self.lines + position + (int(ends[:position].sum()) if ends is not None else 0)
                where = f"line {line}, column {name!r}" if self.header else f"line {line}"
                raise TableError(f"{where}: byte 0x{byte:02x} is not UTF-8 text; {ENCODING_HINT}") from None
        return pa.RecordBatch.from_arrays(columns, names=self.names)

    def skipped_lines(self, batch: pa.RecordBatch) -> NDArray[np.intp]:
        """The positions in `batch` of the lines whose fields are all empty."""
        empty = blank(batch.column(self.value))
        if not pc.any(empty).as_py():
            return np.zeros(0, np.intp)
        for name in self.names:
            if name != self.value:
                empty = pc.and_(empty, blank(batch.column(name)))
        return np.flatnonzero(empty.to_numpy(zero_copy_only=False))

    def bad_number(self, line: int, text: str) -> TableError:
        if self.header:
            return TableError(f"line {line}, column {self.value!r}: {not_a_number(text)}")
        if line == 1 and not DECIMAL_OR_NUMBER.match(text):
            return TableError(
                f"line {line}: {text!r} is not a number (a header line? name the column: --column {text.strip()})"
            )
        return TableError(f"line {line}: {not_a_number(text)}")

    def pieces(self, progress: Progress) -> Iterator[Piece]:
        """The kept lines batch by batch, with their values as numbers; a bad number is refused by its line.

        Once they are all read, `numbering()` numbers the values of every piece.
        """
        count = 0  # values kept so far
        for batch, ends in self.batches():
            numbers = plain_numbers(batch.column(self.value))
            dropped = np.zeros(0, np.intp)
            if numbers is None:  # missing values, blank lines or bad text: the careful way
                dropped = self.skipped_lines(batch)
                if dropped.size:
                    keep = np.ones(batch.num_rows, dtype=np.bool_)
                    keep[dropped] = False
                    batch = batch.filter(pa.array(keep))
            if dropped.size or ends is not None:
                self.shifts.append(line_shifts(dropped, ends, batch.num_rows + dropped.size) + count)
            if numbers is None:
                try:
                    numbers = numbers_from_text(batch.column(self.value))
                except BadNumber as exc:
                    raise self.bad_number(self.numbering().number(count + exc.position), exc.text) from None
            yield Piece(batch, numbers, count)
            count += batch.num_rows
            del batch, numbers
            pa.default_memory_pool().release_unused()  # keeps the memory of the text batches from piling up
            progress(self.lines)

    def read(self, progress: Progress) -> Column:
        values: list[pa.Array[Any]] = []  # float64 without nulls, kept in pyarrow's pool until the end
        labels: list[pa.Array[Any]] = []
        ids: list[pa.Array[Any]] = []
        totals: list[pa.Array[Any]] = []
        kept: list[pa.RecordBatch] = []
        for piece in self.pieces(progress):
            values.append(piece.numbers)
            if self.chosen.group is not None:
                labels.append(piece.batch.column(self.chosen.group))
            if self.chosen.id is not None:
                ids.append(piece.batch.column(self.chosen.id))
            if self.chosen.m is not None:
                totals.append(piece.batch.column(self.chosen.m))
            if self.keep_table:
                kept.append(piece.batch)
        column = Column(
            name=self.value,
            values=one_array(values),
            numbering=self.numbering(),
            groups=None,
            table=None,
            layout=self.layout(),
            header=self.header,
            ids=None if self.chosen.id is None else pa.chunked_array(ids, pa.string()),
        )
        del values
        pa.default_memory_pool().release_unused()  # the batches' numbers, now copied into one array
        if self.keep_table:
            schema = pa.schema([(name, pa.string()) for name in self.names])
            column = replace(column, table=pa.Table.from_batches(kept, schema))
        if self.chosen.group is not None:
            column = with_groups(column, pa.chunked_array(labels, pa.string()), self.chosen.group)
        if self.chosen.m is not None:
            column = with_totals(column, pa.chunked_array(totals, pa.string()), self.chosen.m)
        return column

    def layout(self) -> Layout:
        return Layout(False, self.delimiter)

    def numbering(self) -> Numbering:
        """The numbering of the values read so far."""
        return Numbering("line", self.first, np.concatenate(self.shifts) if self.shifts else np.zeros(0, np.intp))


DECIMAL_OR_NUMBER = re.compile(r"^\s*[-+]?[0-9]*[.,]?[0-9]")


def decimal_comma_hint(text: str) -> str:
    return "; a decimal comma? write numbers with a decimal point" if DECIMAL_COMMA.match(text) else ""


def utf8_failure(data: bytes) -> UnicodeDecodeError | None:
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        return exc
    return None


def line_shifts(dropped: NDArray[np.intp], ends: NDArray[np.intp] | None, rows: int) -> NDArray[np.intp]:
    """The shifts (see `Numbering`) of a batch of `rows` rows, counted from its first kept value.

    Each dropped row and each line end inside a row adds a line before the
    first kept value after that row: the number of kept rows up to it.
    """
    extra = np.zeros(rows, np.intp) if ends is None else ends.copy()
    extra[dropped] += 1
    kept = np.ones(rows, np.intp)
    kept[dropped] = 0
    return np.repeat(np.cumsum(kept), extra)


def with_groups(column: Column, labels: pa.ChunkedArray[Any], name: str) -> Column:
    """`column` with a family code per value from `labels`, trimmed like values; a missing label is refused.

    Codes number the families in the order they first appear. Labels are
    trimmed and checked once per distinct text, not once per row.
    """
    if pa.types.is_dictionary(labels.type):  # a pandas Categorical
        labels = labels.cast(labels.type.value_type)
    distinct = cast("pa.Array[Any]", pc.unique(labels))  # a null, if any, is one of them and gets a code
    codes = pc.index_in(labels, value_set=distinct).to_numpy(zero_copy_only=False).astype(np.int32)
    text = pa.types.is_string(distinct.type) or pa.types.is_large_string(distinct.type)
    distinct, missing_codes = trimmed_labels(distinct)
    if missing_codes.any():
        position = int(np.argmax(missing_codes[codes]))
        raise missing_label(column.where(position, name), distinct[int(codes[position])].as_py())
    families = distinct
    if text:  # labels equal once trimmed are one family
        families = pc.unique(distinct)
        codes = pc.index_in(distinct, value_set=families).to_numpy(zero_copy_only=False).astype(np.int32)[codes]
    return replace(column, groups=codes, families=families)


def trimmed_labels(distinct: pa.Array[Any]) -> tuple[pa.Array[Any], NDArray[np.bool_]]:
    """Distinct family labels, text trimmed, and which of them mark a missing label (a missing-value
    marker in text, NaN in floats, a null in any column)."""
    if pa.types.is_string(distinct.type) or pa.types.is_large_string(distinct.type):
        distinct = pc.utf8_trim_whitespace(distinct)
        missing = missing_markers(distinct)
    elif pa.types.is_floating(distinct.type):
        missing = pc.fill_null(pc.is_nan(distinct), TRUE)
    else:
        missing = pc.is_null(distinct)
    return distinct, missing.to_numpy(zero_copy_only=False)


def missing_label(where: str, label: str | None) -> TableError:
    marker = f"{label!r} marks a missing value; " if label not in (None, "") else ""
    return TableError(f"{where}: no group label ({marker}every value needs its family)")


def with_totals(column: Column, text: pa.ChunkedArray[Any], name: str) -> Column:
    """`column` with the numbers of its --m-column (checked against the families later)."""
    try:
        totals = numbers_from_array(text, name)
    except BadNumber as exc:
        raise TableError(f"{column.where(exc.position, name)}: {not_a_number(exc.text)}") from None
    return replace(column, totals=totals, totals_name=name)


class ParquetReader:
    """Reads a Parquet file batch by batch: only the columns a request names, or every column (to write
    the table back), as `TextReader` reads a text table."""

    def __init__(self, source: BinaryIO | pa.Buffer, request: Request, every_column: bool = False) -> None:
        import pyarrow.parquet as pq  # only for Parquet input

        self.file = pq.ParquetFile(pa.BufferReader(source) if isinstance(source, pa.Buffer) else source)
        self.names: list[str] = self.file.schema_arrow.names
        duplicate_check(self.names)
        if request.value_column is None:
            raise TableError(PARQUET_NEEDS_COLUMN)
        self.chosen = chosen_columns(request, self.names, resolved_column(request.value_column, self.names, "--column"))
        wanted = (self.chosen.value, self.chosen.group, self.chosen.id, self.chosen.m)
        self.columns = None if every_column else list(dict.fromkeys(filter(None, wanted)))
        self.header = True

    @property
    def schema(self) -> pa.Schema:
        return self.file.schema_arrow

    def layout(self) -> Layout:
        return Layout(parquet=True)

    def numbering(self) -> Numbering:
        return Numbering("row", 1, np.zeros(0, np.intp))

    def batches(self) -> Iterator[pa.RecordBatch]:
        yield from self.file.iter_batches(batch_size=PARQUET_BATCH_ROWS, columns=self.columns, use_threads=False)

    def pieces(self, progress: Progress) -> Iterator[Piece]:
        """The rows batch by batch, with their values as numbers; a value that is not a number is refused
        by its row."""
        start = 0
        for batch in self.batches():
            try:
                numbers = numbers_from_array(pa.chunked_array([batch.column(self.chosen.value)]), self.chosen.value)
            except BadNumber as exc:
                raise parquet_bad_number(start + exc.position, self.chosen.value, exc.text) from None
            yield Piece(batch, pa.array(numbers), start)
            start += batch.num_rows
            del batch, numbers
            pa.default_memory_pool().release_unused()
            progress(start)

    def read(self, progress: Progress) -> Column:
        """Every value of the column (and of the columns a request names), read batch by batch."""
        chosen = self.chosen
        batches, numbers = [], []
        for piece in self.pieces(progress):
            batches.append(piece.batch)
            numbers.append(piece.numbers)
        schema = self.schema if self.columns is None else pa.schema([self.schema.field(name) for name in self.columns])
        table = pa.Table.from_batches(batches, schema)
        values = one_array(numbers)
        del batches, numbers
        column = Column(
            chosen.value,
            values,
            self.numbering(),
            None,
            table if self.columns is None else None,
            self.layout(),
            header=True,
            ids=None if chosen.id is None else shown_text(table.column(chosen.id)),
        )
        if chosen.m is not None:
            column = with_totals(column, table.column(chosen.m), chosen.m)
        return column if chosen.group is None else with_groups(column, table.column(chosen.group), chosen.group)


def parquet_bad_number(position: int, name: str, text: str) -> TableError:
    return TableError(f"row {position + 1}, column {name!r}: {not_a_number(text)}")


def shown_text[Cells: (pa.Array[Any], pa.ChunkedArray[Any])](cells: Cells) -> Cells:
    """A column (or a part of one) of any type as the text that a report shows."""
    if pa.types.is_dictionary(cells.type):
        cells = cells.cast(cells.type.value_type)
    return cells.cast(pa.string())


def sniffed_compression(raw: BinaryIO) -> Compression | None:
    magic = raw.peek(6)[:6] if isinstance(raw, io.BufferedReader) else b""
    return next((codec for start, codec in COMPRESSION_MAGIC.items() if magic.startswith(start)), None)


def decompressed(raw: BinaryIO, compression: Compression | None) -> BinaryIO | pa.NativeFile:
    if compression is None:
        return raw
    if compression == "xz":  # not among pyarrow's codecs
        return cast(BinaryIO, lzma.LZMAFile(raw))
    return pa.CompressedInputStream(native(raw, "r"), compression)


def transcoded(stream: BinaryIO | pa.NativeFile | io.RawIOBase, encoding: str) -> BinaryIO | pa.NativeFile:
    """`stream` as UTF-8, from text in `encoding`."""
    native_stream = stream if isinstance(stream, pa.NativeFile) else native(stream, "r")
    return pa.transcoding_input_stream(native_stream, encoding, "utf-8")


Gather = Callable[["TextReader | ParquetReader", Progress], Column]  # what a table's reader yields: the column


def text_column(raw: BinaryIO, layout: Layout, request: Request, progress: Progress, gather: Gather) -> Column:
    compression = layout.compression or sniffed_compression(raw)
    stream = decompressed(raw, compression)
    head = first_line(stream)
    if compression is None and head.startswith(PARQUET_MAGIC):  # Parquet on standard input
        return gather(ParquetReader(pa.py_buffer(head + raw.read()), request, request.keep_table), lambda _: None)
    if request.encoding != "utf-8" and head:
        stream = transcoded(PrefixedStream(head, stream), request.encoding)
        head = first_line(stream)
    if not head:
        if request.value_column is not None:
            raise TableError(f"no column {request.value_column!r}: the input is empty")
        # The empty table is kept on every route: written back, it is a file with the added column alone.
        empty = pa.table({HEADERLESS_COLUMN: pa.array([], pa.string())})
        return Column(
            HEADERLESS_COLUMN,
            np.zeros(0),
            Numbering("line", 1, np.zeros(0, np.intp)),
            None,
            empty,
            Layout(False, layout.delimiter or ","),
            header=False,
        )
    reader = TextReader(PrefixedStream(head, stream), layout, head, request)
    return gather(reader, progress)


def read_column(
    path: str,
    layout: Layout,
    request: Request,
    progress: Callable[[int, int | None], None],
    gather: Gather = lambda reader, progress: reader.read(progress),
    name: str | None = None,
) -> Column:
    """The values of the chosen column of the table at `path` (- is standard input), which messages call
    `name` (default: the path).

    The column is what `gather` makes of the table's reader (default: every
    value); an empty input gives every value.

    After each batch of text, `progress` is told the bytes read so far and
    their total or, from a pipe, the lines read and None.
    """
    source = name or ("standard input" if path == "-" else path)
    try:
        if layout.parquet:
            with open(path, "rb") as file:
                return gather(ParquetReader(file, request, request.keep_table), lambda _: None)
        with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as raw:
            size = os.fstat(raw.fileno()).st_size
            seekable = raw.seekable()
            return text_column(
                raw,
                layout,
                request,
                lambda lines: progress(raw.tell(), size) if seekable else progress(lines, None),
                gather,
            )
    except BrokenPipeError:  # from a `gather` that writes to standard output
        raise
    except pa.ArrowInvalid as exc:
        if "invalid UTF8" in str(exc):
            raise TableError(f"cannot read {source}: not UTF-8 text; {ENCODING_HINT}") from None
        raise TableError(f"cannot read {source}: {one_line(str(exc))}") from None
    except (OSError, lzma.LZMAError, EOFError) as exc:  # also failed decompression
        raise TableError(f"cannot read {source}: {one_line(getattr(exc, 'strerror', None) or str(exc))}") from None
