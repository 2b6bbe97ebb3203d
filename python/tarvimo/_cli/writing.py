"""Writing a table back, with the decisions, in the layout that the name of the output says.

A CSV quotes a cell only where it needs it (it holds the delimiter, a quote
or a line end), so that plain cells stay plain whatever other cells hold.
Tab- and space-separated tables are never quoted: a cell they cannot hold
(a tab or a line end) is refused. Parquet written from text gets typed
columns: numbers as numbers, missing-value markers as nulls.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import bz2
import contextlib
import gzip
import io
import lzma
import os
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv

from tarvimo._cli.errors import TableError, one_line
from tarvimo._cli.layout import WHITESPACE, Compression, Layout, quotes
from tarvimo._cli.numbers import missing_markers, parsed_or_none, without_underflow
from tarvimo._cli.reading import native

WRITE_ROWS = 1 << 16  # rows written at a time
PYTHON_COMPRESSORS: dict[Compression, Callable[[BinaryIO], io.BufferedIOBase]] = {
    "gzip": lambda sink: gzip.GzipFile(fileobj=sink, mode="wb", compresslevel=6),
    "bz2": lambda sink: bz2.BZ2File(sink, mode="wb"),
    "xz": lambda sink: lzma.LZMAFile(sink, mode="wb"),
}
QUOTE = pa.scalar('"', pa.string())
NOTHING = pa.scalar("", pa.string())


@contextlib.contextmanager
def compressed(sink: BinaryIO, compression: Compression | None) -> Iterator[pa.NativeFile]:
    """A stream that writes to `sink` through the compressor named by `compression`.

    gzip goes through Python's module at gzip's own default level: pyarrow
    compresses gzip only at the slowest level, which takes minutes for a
    large table.
    """
    if compression is None:
        yield native(sink, "w")
    elif compression in PYTHON_COMPRESSORS:
        with PYTHON_COMPRESSORS[compression](sink) as file:
            yield native(file, "w")
    else:
        assert compression == "zstd"  # the one codec left to pyarrow
        stream = pa.CompressedOutputStream(native(sink, "w"), compression)
        yield stream
        stream.close()  # writes the end of the compressed stream


def holding(text: Any, characters: str) -> Any:
    """Whether each cell holds one of `characters`.

    Plain substring searches, one per character, are several times faster than one regular expression.
    """
    found = pc.match_substring(text, characters[0])
    for character in characters[1:]:
        found = pc.or_(found, pc.match_substring(text, character))
    return found


def is_text(cells: Any) -> bool:
    kind = cells.type.value_type if pa.types.is_dictionary(cells.type) else cells.type
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def plain(cells: Any, delimiter: str) -> bool:
    """Whether pyarrow's unquoted writer takes every cell of a column: none holds the delimiter, a quote or a
    line end (numbers and the like never do)."""
    if not is_text(cells):
        return True
    if pa.types.is_dictionary(cells.type):
        cells = cells.dictionary
    return not pc.any(holding(cells, delimiter + '"\r\n')).as_py()


def cell_text(cells: Any, delimiter: str, name: str) -> Any:
    """The cells as the text written for them: nulls empty, quoted where needed (CSV) or refused (TSV)."""
    if pa.types.is_dictionary(cells.type):
        cells = cells.cast(cells.type.value_type)
    text = pc.fill_null(cells.cast(pa.string()), NOTHING)
    if not is_text(cells):
        return text
    quoting = holding(text, delimiter + ('"\r\n' if quotes(delimiter) else "\r\n"))
    if not pc.any(quoting).as_py():
        return text
    if not quotes(delimiter):
        raise TableError(
            f"column {name!r} holds a tab or a line end, which a tab-separated table cannot hold; write a .csv"
        )
    quoted = pc.binary_join_element_wise(QUOTE, pc.replace_substring(text, '"', '""'), QUOTE, NOTHING)
    return pc.if_else(quoting, quoted, text)


def header_line(names: list[str], delimiter: str) -> bytes:
    cells = cell_text(pa.array(names, pa.string()), delimiter, "the header line")
    return (delimiter.join(map(str, cells.to_pylist())) + "\n").encode()


def write_lines(batch: pa.RecordBatch, stream: pa.NativeFile, delimiter: str) -> None:
    """Write the lines of `batch`, each ended by a line end.

    A batch whose cells all stand as they are goes through pyarrow's writer
    (unquoted, which formats every type as a cast to text does); one with a
    cell to quote (CSV) or a literal quote (TSV) is put together here, where
    only the cells that need it are quoted.
    """
    if all(plain(column, delimiter) for column in batch.columns):
        options = pcsv.WriteOptions(include_header=False, delimiter=delimiter, quoting_style="none")
        pcsv.write_csv(batch, stream, options)
        return
    cells = [cell_text(column, delimiter, name) for name, column in zip(batch.schema.names, batch.columns, strict=True)]
    lines: Any = pc.binary_join_element_wise(pc.binary_join_element_wise(*cells, delimiter), NOTHING, "\n")
    offsets: pa.Buffer
    data: pa.Buffer
    _, offsets, data = lines.buffers()
    bounds = np.frombuffer(offsets, np.int32)[[lines.offset, lines.offset + len(lines)]]
    stream.write(data[int(bounds[0]) : int(bounds[1])])


@dataclass(frozen=True)
class Rows:
    """A table given batch by batch (read while it is written): the names of its columns, and its batches."""

    names: list[str]
    batches: Iterable[pa.RecordBatch]
    schema: pa.Schema | None = None  # needed for Parquet, which is written with its types


def write_text(table: Rows, sink: BinaryIO, layout: Layout, header: bool, progress: Callable[[int], None]) -> None:
    delimiter = "\t" if layout.delimiter == WHITESPACE else layout.delimiter or ","
    with compressed(sink, layout.compression) as stream:
        if header:
            stream.write(header_line(table.names, delimiter))
        written = 0
        for batch in table.batches:
            if batch.num_rows:
                write_lines(batch, stream, delimiter)
            written += batch.num_rows
            progress(written)


def typed_column(text: pa.ChunkedArray[Any]) -> Any:
    """A text column as Parquet should store it: integers or doubles when every cell is one, and nulls
    where a cell marks a missing value."""
    trimmed = pc.utf8_trim_whitespace(text)
    cells: Any = pc.if_else(missing_markers(trimmed), pa.scalar(None, pa.string()), trimmed)
    if cells.null_count == len(cells):
        return cells
    with contextlib.suppress(pa.ArrowInvalid):
        return pc.cast(cells, pa.int64())
    numbers = parsed_or_none(cells.combine_chunks())
    if numbers is None:
        return cells
    return pa.chunked_array([without_underflow(cells.combine_chunks(), numbers)])


def typed_table(table: pa.Table) -> pa.Table:
    """The text columns of a table read from text, typed for Parquet (the others kept as they are)."""
    columns = [typed_column(column) if pa.types.is_string(column.type) else column for column in table.columns]
    return pa.table(columns, names=table.column_names)


def same_file(first: str | os.PathLike[str], second: str | os.PathLike[str]) -> bool:
    """Whether two paths name one file: the same file under any name (a link, another spelling of the
    path) when both exist, else the same path once resolved."""
    try:
        return os.path.samefile(first, second)
    except OSError:  # one does not exist (yet)
        return os.path.realpath(first) == os.path.realpath(second)


def replaces_source(path: str, source: str | None) -> bool:
    """Whether writing `path` overwrites `source`, the input that is read while the table is written: one
    regular file (a terminal or a pipe named twice, as /dev/stdin and /dev/stdout, is written as it is)."""
    return path != "-" and source is not None and source != "-" and os.path.isfile(path) and same_file(path, source)


def staged_file(path: str) -> tuple[str, BinaryIO]:
    """A new file beside the one `path` names (through links), with its permissions, that replaces it
    once written: opening `path` itself would empty the input it is read from."""
    target = os.path.realpath(path)
    descriptor, staged = tempfile.mkstemp(dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.")
    sink = os.fdopen(descriptor, "wb")
    try:
        os.chmod(staged, os.stat(target).st_mode & 0o7777)
    except BaseException:
        sink.close()
        Path(staged).unlink(missing_ok=True)
        raise
    return staged, sink


def write_table(
    table: pa.Table | Rows,
    path: str,
    layout: Layout,
    header: bool,
    progress: Callable[[int], None],
    source: str | None = None,
) -> None:
    """Write `table` to `path` (- is standard output) in `layout`; `progress` is told the rows written.
    Either is written from a whole table or from one given batch by batch.

    When `path` is the input file `source`, which a table given batch by batch is still read from, the
    table goes to a file beside it that replaces it once complete; a failure leaves the input as it
    was. A file left half written by a failure is removed.
    """
    written_to = path
    try:
        if path == "-":
            sink: BinaryIO = sys.stdout.buffer
        elif replaces_source(path, source):
            written_to, sink = staged_file(path)
        else:
            sink = open(path, "wb")
    except OSError as exc:
        raise TableError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with contextlib.nullcontext(sink) if path == "-" else sink:
            if layout.parquet:
                import pyarrow.parquet as pq  # only for Parquet output

                if isinstance(table, pa.Table):
                    pq.write_table(table, sink)
                else:
                    assert table.schema is not None
                    with pq.ParquetWriter(sink, table.schema) as writer:
                        written = 0
                        for batch in table.batches:
                            writer.write_batch(batch)
                            written += batch.num_rows
                            progress(written)
            else:
                if isinstance(table, pa.Table):
                    table = Rows(table.column_names, table.to_batches(max_chunksize=WRITE_ROWS))
                write_text(table, sink, layout, header, progress)
        if written_to != path:
            os.replace(written_to, os.path.realpath(path))
    except BaseException as exc:
        if path != "-":
            Path(written_to).unlink(missing_ok=True)
        if isinstance(exc, (OSError, pa.ArrowException)) and not isinstance(exc, BrokenPipeError):
            raise TableError(f"cannot write {path}: {one_line(getattr(exc, 'strerror', None) or str(exc))}") from None
        raise
