"""How a table is stored, as the name of its file says: Parquet, or text with a delimiter and a compression."""

from dataclasses import dataclass
from pathlib import Path
from typing import Literal

from tarvimo._cli.errors import TableError

Compression = Literal["gzip", "bz2", "zstd", "xz"]
COMPRESSION_SUFFIXES: dict[str, Compression] = {
    ".gz": "gzip",
    ".bz2": "bz2",
    ".zst": "zstd",
    ".zstd": "zstd",
    ".xz": "xz",
}
PARQUET_SUFFIXES = (".parquet", ".pq")
PARQUET_NEEDS_COLUMN = "a Parquet table has named columns: choose one with --column NAME"
DELIMITER_SUFFIXES = {".csv": ",", ".tsv": "\t", ".tab": "\t"}
WHITESPACE = "whitespace"  # the delimiter of aligned tables (PLINK's): any run of spaces and tabs
QUOTING_DELIMITERS = (",", ";", "|")  # genomics tools quote nothing in tab- or space-separated files
# Formats that are not text tables, nor compressions of them: a name ending so is refused, not
# read as text or written as text under a name that says otherwise.
FOREIGN_SUFFIXES = frozenset(
    {
        ".xlsx",
        ".xlsm",
        ".xlsb",
        ".xls",
        ".ods",
        ".json",
        ".jsonl",
        ".ndjson",
        ".feather",
        ".arrow",
        ".ipc",
        ".orc",
        ".avro",
        ".h5",
        ".hdf5",
        ".hdf",
        ".sav",
        ".dta",
        ".sas7bdat",
        ".rds",
        ".rda",
        ".rdata",
        ".pkl",
        ".pickle",
        ".npy",
        ".npz",
        ".zip",
        ".7z",
        ".rar",
        ".tar",
        ".tgz",
        ".lz4",
        ".lzma",
        ".z",
        ".br",
        ".sqlite",
        ".db",
        ".html",
        ".xml",
        ".pdf",
    }
)


@dataclass(frozen=True)
class Layout:
    """How a table is stored: Parquet, or text with a delimiter and a compression."""

    parquet: bool
    delimiter: str | None = None  # None: inferred from the header line; WHITESPACE: runs of spaces and tabs
    compression: Compression | None = None  # None: none, or sniffed on input


def quotes(delimiter: str) -> bool:
    """Whether a text table with this delimiter quotes its fields (RFC 4180), or takes quotes literally."""
    return delimiter not in ("\t", " ", WHITESPACE)


def layout_of(path: str, delimiter: str | None) -> Layout:
    """The layout that the name of a file says; `delimiter` overrides the extension's."""
    suffixes = [suffix.lower() for suffix in Path(path).suffixes[-2:]] if path != "-" else []
    compression = COMPRESSION_SUFFIXES.get(suffixes[-1]) if suffixes else None
    if compression is not None:
        suffixes.pop()
    kind = suffixes[-1] if suffixes else ""
    if kind in FOREIGN_SUFFIXES:
        raise TableError(
            f"{path}: tarvimo reads and writes CSV, TSV and other text tables (optionally .gz, .bz2, "
            f".zst or .xz compressed) and Parquet, not {kind} files"
        )
    if kind in PARQUET_SUFFIXES:
        if compression is not None:
            raise TableError(f"{path}: Parquet files carry their own compression; name the file {kind}")
        return Layout(parquet=True)
    return Layout(False, delimiter or DELIMITER_SUFFIXES.get(kind), compression)


def inferred_delimiter(first_line: str, header: bool = True) -> str:
    """The delimiter of a text table whose name does not say it.

    A tab, else ';' without ',', else ','; a header line with none of these
    but with spaces between its names is whitespace-aligned (PLINK's tables).
    A file of one value per line has no header line to tell, and keeps ','.
    """
    if "\t" in first_line:
        return "\t"
    if ";" in first_line and "," not in first_line:
        return ";"
    if header and "," not in first_line and " " in first_line.strip():
        return WHITESPACE
    return ","
