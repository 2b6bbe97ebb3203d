"""Standard input copied to a temporary file, so that a table from a pipe can be read twice.

`tarvimo run - --output FILE` decides on a first pass that keeps only the
values that can matter and writes the table back on a second: a pipe cannot
be read again, so it is first copied, as it comes, to a file in the
temporary directory (TMPDIR). The copy is removed when the command ends,
also on an error or Ctrl-C.
"""

import contextlib
import shutil
import tempfile
from collections.abc import Iterator
from typing import BinaryIO

from tarvimo._cli.errors import TableError, one_line
from tarvimo._cli.reading import PARQUET_MAGIC

COPY_BYTES = 1 << 20  # copied at a time
PREFIX = "tarvimo-stdin-"


@contextlib.contextmanager
def spooled(stream: BinaryIO) -> Iterator[str]:
    """The path of a copy of `stream` (standard input), removed on leaving.

    The copy of a Parquet file is named .parquet, so that it is read as one;
    any other copy has no extension, so that its layout is found from its
    content as standard input's is. Only the copy's own failures are named
    here, not those of the reading that follows.
    """
    try:
        head = stream.read(len(PARQUET_MAGIC))
        copy = tempfile.NamedTemporaryFile(prefix=PREFIX, suffix=".parquet" if head == PARQUET_MAGIC else "")
    except OSError as exc:  # standard input fails, or the temporary directory cannot hold a file
        raise TableError(f"cannot copy standard input to a temporary file: {one_line(str(exc))}") from None
    with copy:
        try:
            copy.write(head)
            shutil.copyfileobj(stream, copy, COPY_BYTES)
            copy.flush()
        except OSError as exc:  # a full disk, most likely
            raise TableError(f"cannot copy standard input to {copy.name}: {one_line(str(exc))}") from None
        yield copy.name
