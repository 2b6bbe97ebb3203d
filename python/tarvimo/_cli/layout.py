"""How a table is stored, as the name of its file says: Parquet, or text with a delimiter and a compression."""

from dataclasses import dataclass
from pathlib import Path
from typing import Literal

from tarvimo._cli.errors import TableError

Compression = Literal["gzip", "bz2", "zstd"]
COMPRESSION_SUFFIXES: dict[str, Compression] = {".gz": "gzip", ".bz2": "bz2", ".zst": "zstd", ".zstd": "zstd"}
PARQUET_SUFFIXES = (".parquet", ".pq")
PARQUET_NEEDS_COLUMN = "a Parquet table has named columns: choose one with --column NAME"
DELIMITER_SUFFIXES = {".csv": ",", ".tsv": "\t", ".tab": "\t"}


@dataclass(frozen=True)
class Layout:
    """How a table is stored: Parquet, or text with a delimiter and a compression."""

    parquet: bool
    delimiter: str | None = None  # None: inferred from the header line
    compression: Compression | None = None  # None: none, or sniffed on input


def layout_of(path: str, delimiter: str | None) -> Layout:
    """The layout that the name of a file says; `delimiter` overrides the extension's."""
    suffixes = [suffix.lower() for suffix in Path(path).suffixes[-2:]] if path != "-" else []
    compression = COMPRESSION_SUFFIXES.get(suffixes[-1]) if suffixes else None
    if compression is not None:
        suffixes.pop()
    kind = suffixes[-1] if suffixes else ""
    if kind in PARQUET_SUFFIXES:
        if compression is not None:
            raise TableError(f"{path}: Parquet files carry their own compression; name the file {kind}")
        return Layout(parquet=True)
    return Layout(False, delimiter or DELIMITER_SUFFIXES.get(kind), compression)


def inferred_delimiter(first_line: str) -> str:
    """The delimiter of a text table whose name does not say it: a tab, else ';' without ',', else ','."""
    if "\t" in first_line:
        return "\t"
    if ";" in first_line and "," not in first_line:
        return ";"
    return ","
