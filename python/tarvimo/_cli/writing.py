"""Writing a table back, with the decisions, in the layout that the name of the output says.

Text is quoted only where a cell needs it, so that plain tables stay plain.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import bz2
import contextlib
import gzip
import io
import re
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import BinaryIO, Literal

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv

from tarvimo._cli.errors import TableError, one_line
from tarvimo._cli.layout import Compression, Layout
from tarvimo._cli.reading import native

WRITE_ROWS = 1 << 16  # rows written at a time
PYTHON_COMPRESSORS: dict[Compression, Callable[[BinaryIO], io.BufferedIOBase]] = {
    "gzip": lambda sink: gzip.GzipFile(fileobj=sink, mode="wb", compresslevel=6),
    "bz2": lambda sink: bz2.BZ2File(sink, mode="wb"),
}


def needs_quotes(table: pa.Table, delimiter: str) -> bool:
    """Whether a name or a text cell holds the delimiter, a quote or a line end."""
    special = re.compile("[" + re.escape(delimiter + '"\r\n') + "]")
    if any(special.search(name) for name in table.column_names):
        return True
    return any(
        pc.any(pc.match_substring_regex(column, special.pattern)).as_py()
        for column in table.columns
        if pa.types.is_string(column.type) or pa.types.is_large_string(column.type)
    )


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
        stream = pa.CompressedOutputStream(native(sink, "w"), compression)
        yield stream
        stream.close()  # writes the end of the compressed stream


def write_text(table: pa.Table, sink: BinaryIO, layout: Layout, header: bool, progress: Callable[[int], None]) -> None:
    delimiter = layout.delimiter or ","
    quoting: Literal["needed", "none"] = "needed" if needs_quotes(table, delimiter) else "none"
    options = pcsv.WriteOptions(include_header=header, delimiter=delimiter, quoting_style=quoting,
                                quoting_header=quoting)  # type: ignore[call-arg]  # in pyarrow, not yet in its stubs
    with compressed(sink, layout.compression) as stream, pcsv.CSVWriter(
        stream, table.schema, write_options=options  # type: ignore[arg-type]  # any pyarrow stream will do
    ) as writer:
        written = 0
        for batch in table.to_batches(max_chunksize=WRITE_ROWS):
            writer.write_batch(batch)
            written += batch.num_rows
            progress(written)


def write_table(table: pa.Table, path: str, layout: Layout, header: bool, progress: Callable[[int], None]) -> None:
    """Write `table` to `path` (- is standard output) in `layout`; `progress` is told the rows written.

    Text is quoted only where a cell needs it, so that plain tables stay
    plain. A file left half written by a failure is removed.
    """
    try:
        sink = sys.stdout.buffer if path == "-" else open(path, "wb")
    except OSError as exc:
        raise TableError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with contextlib.nullcontext(sink) if path == "-" else sink:
            if layout.parquet:
                import pyarrow.parquet as pq  # only for Parquet output

                pq.write_table(table, sink)
            else:
                write_text(table, sink, layout, header, progress)
    except BaseException as exc:
        if path != "-":
            Path(path).unlink(missing_ok=True)
        if isinstance(exc, (OSError, pa.ArrowException)) and not isinstance(exc, BrokenPipeError):
            raise TableError(f"cannot write {path}: {one_line(getattr(exc, 'strerror', None) or str(exc))}") from None
        raise
