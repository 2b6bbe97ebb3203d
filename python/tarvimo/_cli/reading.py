"""Reading the values of a table column, with the line or row of each.

Text tables (CSV, TSV, any one-character delimiter, optionally gzip, bz2 or
zstd compressed) and Parquet files go through pyarrow. Text is read as
strings, batch by batch: the value column is converted to numbers, with
the usual missing-value tokens read as NaN, and every other column is kept as
the text it was, so that a table written back holds exactly what was read.

Each value keeps the number of its line in the file (the header is line 1)
or, for Parquet, its row, so that problems and rejections can be named where
the user finds them. Lines whose fields are all empty are skipped.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import contextlib
import io
import os
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
from tarvimo._cli.layout import PARQUET_NEEDS_COLUMN, Compression, Layout, inferred_delimiter
from tarvimo._cli.numbers import (
    BadNumber,
    numbers_from_array,
    numbers_from_text,
    one_array,
    parsed_or_none,
    plain_numbers,
)

EMPTY = pa.scalar("", pa.string())
COMPRESSION_MAGIC: dict[bytes, Compression] = {b"\x1f\x8b": "gzip", b"BZh": "bz2", b"\x28\xb5\x2f\xfd": "zstd"}
PARQUET_MAGIC = b"PAR1"
HEADERLESS_COLUMN = "value"  # the name of the one column of a file without a header line
HEAD_BYTES = 1 << 16  # read at a time until the first line is complete

Progress = Callable[[int], None]  # told the number of lines read, after each batch


@dataclass(frozen=True)
class Numbering:
    """Maps the position of a value to its line (or row) number in the input.

    `first` is the number of the first data line; `skipped` holds the
    ascending positions, among all data lines, of the lines that were skipped.
    """

    unit: Literal["line", "row"]
    first: int
    skipped: NDArray[np.intp]

    def numbers(self, positions: NDArray[np.intp]) -> NDArray[np.intp]:
        # The k-th kept line is preceded by the skipped lines s_j with s_j - j <= k.
        shifted = self.skipped - np.arange(self.skipped.size)
        return self.first + positions + np.searchsorted(shifted, positions, side="right")

    def number(self, position: int) -> int:
        return int(self.numbers(np.array([position]))[0])


@dataclass(frozen=True)
class Column:
    """The values read from the chosen column, with what belongs to them."""

    name: str
    values: NDArray[np.float64]
    numbering: Numbering
    groups: NDArray[np.int32] | None  # a family code per value (from --groups), else None
    table: pa.Table | None  # every column of the kept lines, as read, when asked for
    layout: Layout
    header: bool  # False: a text file of one value per line, without a header line

    def where(self, position: int, column: str | None = None) -> str:
        """Where the entry at `position` of the value column (or of `column`) is, as a user finds it."""
        place = f"{self.numbering.unit} {self.numbering.number(position)}"
        return f"{place}, column {(column or self.name)!r}" if self.header else place


def duplicate_check(names: list[str]) -> None:
    seen: dict[str, int] = {}
    for position, name in enumerate(names, start=1):
        if name in seen:
            raise TableError(f"the column name {name!r} appears twice in the header (columns {seen[name]} and "
                             f"{position}); give every column its own name")
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
        hint = f"; is the delimiter {other!r}? say so with --delimiter"
    message = f"no column {wanted!r} in the header line (columns: {found}{hint})"
    raise TableError(message if option == "--column" else f"{option}: {message}")


def label_codes(labels: pa.ChunkedArray[Any] | pa.Array[Any]) -> NDArray[np.int32]:
    """A small integer per distinct label, the same for equal labels."""
    return pc.index_in(labels, value_set=pc.unique(labels)).to_numpy(zero_copy_only=False).astype(np.int32)


class PrefixedStream(io.RawIOBase):
    """A stream that returns `prefix` and then what `rest` returns."""

    def __init__(self, prefix: bytes, rest: BinaryIO | pa.NativeFile) -> None:
        super().__init__()
        self.prefix = memoryview(prefix)
        self.rest = rest

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
        return len(data)


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
    line = head.split(b"\n", 1)[0].removeprefix(b"\xef\xbb\xbf").rstrip(b"\r")
    return line.decode("utf-8", errors="replace")


def header_names(head: bytes, delimiter: str) -> list[str]:
    """The column names in the first line, as pyarrow's CSV parser reads them."""
    header = head.split(b"\n", 1)[0] + b"\n"
    return pcsv.read_csv(io.BytesIO(header), parse_options=pcsv.ParseOptions(delimiter=delimiter)).column_names


def blank(text: pa.Array[Any] | pa.ChunkedArray[Any]) -> pa.BooleanArray:
    """Whether each field is empty or white space only."""
    return pc.or_(pc.equal(text, EMPTY), pc.utf8_is_space(text))


class TextReader:
    """Reads a text table batch by batch, keeping what the caller asked for."""

    def __init__(self, stream: BinaryIO, layout: Layout, head: bytes, value_column: str | None,
                 group_column: str | None, keep_table: bool) -> None:
        self.delimiter = layout.delimiter or inferred_delimiter(decoded_line(head))
        self.header = value_column is not None
        self.names = header_names(head, self.delimiter) if self.header else [HEADERLESS_COLUMN]
        duplicate_check(self.names)
        self.value = HEADERLESS_COLUMN if value_column is None else resolved_column(value_column, self.names,
                                                                                   "--column")
        self.group = None if group_column is None else resolved_column(group_column, self.names, "--groups")
        if self.header and parsed_or_none(pa.array([self.value], pa.string())) is not None:
            # A number where the header should be: the first line is data, which would be lost as a header.
            raise TableError(f"line 1 holds the number {self.value!r} where the name of the column should be: "
                             "--column reads a table whose first line names its columns")
        self.keep_table = keep_table
        self.stream = stream
        self.first = 2 if self.header else 1  # number of the first data line
        self.ragged: pcsv.InvalidRow | None = None

    def refuse_ragged(self, row: pcsv.InvalidRow) -> Literal["skip", "error"]:
        self.ragged = row
        return "error"

    def ragged_message(self) -> str:
        assert self.ragged is not None
        row = self.ragged
        where = f"line {row.number}" if row.number is not None else "a line"
        if not self.header:
            return (f"{where}: expected one value per line, found {row.actual_columns} fields "
                    "(use --column NAME for a table with a header line)")
        fields = f"{row.actual_columns} field{'' if row.actual_columns == 1 else 's'}"
        return f"{where} has {fields} where the header line has {row.expected_columns}: {row.text[:80]!r}"

    def batches(self) -> Iterator[pa.RecordBatch]:
        try:
            yield from pcsv.open_csv(
                self.stream,
                read_options=pcsv.ReadOptions(use_threads=False,
                                              column_names=None if self.header else [HEADERLESS_COLUMN]),
                parse_options=pcsv.ParseOptions(delimiter=self.delimiter, ignore_empty_lines=False,
                                                invalid_row_handler=self.refuse_ragged),
                convert_options=pcsv.ConvertOptions(column_types={name: pa.string() for name in self.names},
                                                    strings_can_be_null=False, quoted_strings_can_be_null=False),
            )
        except pa.ArrowInvalid:
            if self.ragged is not None:
                raise TableError(self.ragged_message()) from None
            raise

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
            return TableError(f"line {line}, column {self.value!r}: {text!r} is not a number")
        hint = f" (a header line? name the column: --column {text.strip()})" if line == 1 else ""
        return TableError(f"line {line}: {text!r} is not a number{hint}")

    def read(self, progress: Progress) -> Column:
        values: list[pa.Array[Any]] = []  # float64 without nulls, kept in pyarrow's pool until the end
        labels: list[pa.Array[Any]] = []
        kept: list[pa.RecordBatch] = []
        skipped: list[NDArray[np.intp]] = []
        lines = 0  # data lines read so far, kept or skipped
        for batch in self.batches():
            numbers = plain_numbers(batch.column(self.value))
            if numbers is None:  # missing values, blank lines or bad text: the careful way
                dropped = self.skipped_lines(batch)
                if dropped.size:
                    skipped.append(dropped + lines)
                    keep = np.ones(batch.num_rows, dtype=np.bool_)
                    keep[dropped] = False
                    batch = batch.filter(pa.array(keep))
                    lines += dropped.size
                try:
                    numbers = numbers_from_text(batch.column(self.value))
                except BadNumber as exc:
                    position = sum(len(part) for part in values) + exc.position
                    raise self.bad_number(self.numbering(skipped).number(position), exc.text) from None
            lines += batch.num_rows
            values.append(numbers)
            if self.group is not None:
                labels.append(batch.column(self.group))
            if self.keep_table:
                kept.append(batch)
            del batch, numbers
            pa.default_memory_pool().release_unused()  # keeps the memory of the text batches from piling up
            progress(lines)
        column = Column(
            name=self.value,
            values=one_array(values),
            numbering=self.numbering(skipped),
            groups=None,
            table=None,
            layout=Layout(False, self.delimiter),
            header=self.header,
        )
        del values
        pa.default_memory_pool().release_unused()  # the batches' numbers, now copied into one array
        if self.keep_table:
            column = replace(column, table=pa.Table.from_batches(kept, pa.schema([(n, pa.string()) for n in self.names])))
        if self.group is not None:
            column = with_groups(column, pa.chunked_array(labels, pa.string()), self.group)
        return column

    def numbering(self, skipped: list[NDArray[np.intp]]) -> Numbering:
        return Numbering("line", self.first, np.concatenate(skipped) if skipped else np.zeros(0, np.intp))


def with_groups(column: Column, labels: pa.ChunkedArray[Any], name: str) -> Column:
    """`column` with the family codes of `labels`; a missing label is refused."""
    missing = pc.is_null(labels)
    if pa.types.is_string(labels.type) or pa.types.is_large_string(labels.type):
        missing = pc.or_(missing, blank(labels))
    if pc.any(missing).as_py():
        position = int(np.argmax(missing.to_numpy(zero_copy_only=False)))
        raise TableError(f"{column.where(position, name)}: no group label (every value needs its family)")
    return replace(column, groups=label_codes(labels))


def parquet_column(source: BinaryIO | pa.Buffer, value_column: str | None, group_column: str | None,
                   keep_table: bool) -> Column:
    import pyarrow.parquet as pq  # only for Parquet input

    file = pq.ParquetFile(pa.BufferReader(source) if isinstance(source, pa.Buffer) else source)
    names = file.schema_arrow.names
    duplicate_check(names)
    if value_column is None:
        raise TableError(PARQUET_NEEDS_COLUMN)
    value = resolved_column(value_column, names, "--column")
    group = None if group_column is None else resolved_column(group_column, names, "--groups")
    table = file.read(columns=None if keep_table else list(dict.fromkeys(filter(None, (value, group)))))
    try:
        values = numbers_from_array(table.column(value), value)
    except BadNumber as exc:
        raise TableError(f"row {exc.position + 1}, column {value!r}: {exc.text!r} is not a number") from None
    column = Column(value, values, Numbering("row", 1, np.zeros(0, np.intp)), None,
                    table if keep_table else None, Layout(parquet=True), header=True)
    return column if group is None else with_groups(column, table.column(group), group)


def sniffed_compression(raw: BinaryIO) -> Compression | None:
    magic = raw.peek(4)[:4] if isinstance(raw, io.BufferedReader) else b""
    return next((codec for start, codec in COMPRESSION_MAGIC.items() if magic.startswith(start)), None)


def text_column(raw: BinaryIO, layout: Layout, value_column: str | None, group_column: str | None,
                keep_table: bool, progress: Progress) -> Column:
    compression = layout.compression or sniffed_compression(raw)
    stream: BinaryIO | pa.NativeFile = raw
    if compression is not None:
        stream = pa.CompressedInputStream(native(raw, "r"), compression)
    head = first_line(stream)
    if compression is None and head.startswith(PARQUET_MAGIC):  # Parquet on standard input
        return parquet_column(pa.py_buffer(head + raw.read()), value_column, group_column, keep_table)
    if not head:
        if value_column is not None:
            raise TableError(f"no column {value_column!r}: the input is empty")
        empty = pa.table({HEADERLESS_COLUMN: pa.array([], pa.string())})
        return Column(HEADERLESS_COLUMN, np.zeros(0), Numbering("line", 1, np.zeros(0, np.intp)), None,
                      empty if keep_table else None, Layout(False, layout.delimiter or ","), header=False)
    reader = TextReader(io.BufferedReader(PrefixedStream(head, stream)), layout, head, value_column, group_column, keep_table)
    return reader.read(progress)


def read_column(path: str, layout: Layout, value_column: str | None, group_column: str | None,
                keep_table: bool, progress: Callable[[int, int | None], None]) -> Column:
    """The values of the chosen column of the table at `path` (- is standard input).

    `value_column` None reads a text file of one value per line without a
    header line. After each batch of text, `progress` is told the bytes read
    so far and their total or, from a pipe, the lines read and None.
    """
    source = "standard input" if path == "-" else path
    try:
        if layout.parquet:
            with open(path, "rb") as file:
                return parquet_column(file, value_column, group_column, keep_table)
        with contextlib.nullcontext(sys.stdin.buffer) if path == "-" else open(path, "rb") as raw:
            size = os.fstat(raw.fileno()).st_size
            seekable = raw.seekable()
            return text_column(raw, layout, value_column, group_column, keep_table,
                               lambda lines: progress(raw.tell(), size) if seekable else progress(lines, None))
    except pa.ArrowInvalid as exc:
        if "invalid UTF8" in str(exc):
            raise TableError(f"cannot read {source}: not UTF-8 text") from None
        raise TableError(f"cannot read {source}: {one_line(str(exc))}") from None
    except OSError as exc:  # also failed decompression, which pyarrow reports as OSError
        raise TableError(f"cannot read {source}: {one_line(exc.strerror or str(exc))}") from None
