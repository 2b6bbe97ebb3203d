"""Reading a text table in bounded memory: only the values that can matter are kept.

A p-value above the omission bound of the largest level the report uses
(--alpha, and the largest of the levels whose rejections it counts) changes
no decision of BY, BH or closed BY at any of those levels, and an e-value at
or below 1 / alpha none of e-BH; `tarvimo._omitted` proves both, for any m.
Closed e-BH keeps every e-value (as float64, with its position), unless it
is asked to be conservative: it then decides on those above 1 / alpha alone,
counting the others as 0.
Such values are counted, not kept: the procedures then decide the kept ones
as a list given in part, with m the number of values of each family, which
gives the same decisions as the whole column. Memory grows with the kept
values (and the labels of the families), not with the table.

Everything the whole column would have refused is refused the same way and
in the same order: a bad line as soon as it is read, and after the last
line, a missing family label, an unreadable or inconsistent --m-column, a
value outside the procedure's domain, each the first in the table.
"""

from __future__ import annotations  # pyarrow's array types are generic only in their stubs

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field, replace
from typing import Any, cast

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
from numpy.typing import NDArray

from tarvimo._cli.errors import TableError
from tarvimo._cli.families import not_whole, short_total, varying_total, whole_totals
from tarvimo._cli.numbers import BadNumber, not_a_number, numbers_from_array, pvalues_from_log10
from tarvimo._cli.reading import (
    Chosen,
    Column,
    Counts,
    Invalid,
    KeptNumbering,
    Numbering,
    ParquetReader,
    Piece,
    Progress,
    TextReader,
    missing_label,
    place,
    shown_text,
    trimmed_labels,
)
from tarvimo._inputs import EVALUE_REQUIREMENT, PVALUE_REQUIREMENT
from tarvimo._omitted import bh_pvalue_omission_bound, evalue_omission_bound, pvalue_omission_bound

REPORTED_ALPHAS = (0.01, 0.05, 0.1)  # the report also counts the rejections at these levels
POSITIONS_IN_32_BITS = 2**32  # columns of at most this many rows keep their values' positions in 32 bits


@dataclass(frozen=True)
class Selection:
    """Which values of a column the procedure `method` needs at `alpha` and at the reported levels."""

    method: str
    alpha: float
    log10: bool  # the values are -log10 p-values
    omit_missing: bool  # --nan-policy omit
    conservative: bool = False  # closed e-BH on the e-values above 1 / alpha alone

    @property
    def pvalues(self) -> bool:
        return not self.method.endswith("ebh")

    def procedure_values(self, read: NDArray[np.float64]) -> NDArray[np.float64]:
        return pvalues_from_log10(read) if self.log10 else read

    def kept(self, values: NDArray[np.float64]) -> NDArray[np.bool_]:
        """Whether each value (in the procedure's domain) can change a decision; NaN cannot."""
        level = max(self.alpha, *REPORTED_ALPHAS)  # the omission bounds widen with alpha
        if self.method == "closed-ebh" and not self.conservative:
            return values >= 0.0  # every e-value enters the sums of the exact check
        if self.method.endswith("ebh"):
            return values > evalue_omission_bound(level)
        bound = bh_pvalue_omission_bound(level) if self.method == "bh" else pvalue_omission_bound(level)
        return values <= bound

    def in_domain(self, values: NDArray[np.float64]) -> NDArray[np.bool_]:
        return (values >= 0.0) & (values <= 1.0) if self.pvalues else values >= 0.0


@dataclass
class Families:
    """Family codes given batch by batch, in the order the families first appear (labels equal once
    trimmed are one family), as the whole column would give them."""

    codes: dict[Any, int] = field(default_factory=dict)  # by label: text trimmed, or a Parquet column's value
    missing: tuple[int, Any] | None = None  # the first row without a label: its position and its label
    kind: pa.DataType = field(default_factory=pa.string)  # of the labels

    def coded(self, labels: pa.Array[Any], start: int) -> NDArray[np.int32]:
        if pa.types.is_dictionary(labels.type):  # a pandas Categorical stored in Parquet
            labels = labels.cast(labels.type.value_type)
        self.kind = labels.type
        distinct = pc.unique(labels)
        local = pc.index_in(labels, value_set=distinct).to_numpy(zero_copy_only=False)
        distinct, missing = trimmed_labels(distinct)
        codes = np.array([self.codes.setdefault(label, len(self.codes)) for label in distinct.to_pylist()], np.int32)
        unlabelled = missing[local]
        if self.missing is None and unlabelled.any():
            position = int(np.argmax(unlabelled))
            self.missing = (start + position, distinct[int(local[position])].as_py())
        coded: NDArray[np.int32] = codes[local]
        return coded

    def labels(self) -> pa.Array[Any]:
        return pa.array(list(self.codes), self.kind)


def grown[T: np.generic](array: NDArray[T], size: int, fill: float | bool) -> NDArray[T]:
    """`array` with room for at least `size` entries, new ones `fill`: capacity doubles, so that families
    met batch by batch cost amortized constant time each."""
    if array.size >= size:
        return array
    larger = np.full(max(size, 2 * array.size), fill, array.dtype)
    larger[: array.size] = array
    return larger


@dataclass
class Totals:
    """The --m-column checked batch by batch: the first problem of each kind, and each family's total
    (its first: position and value, by family code; capacity beyond the families met)."""

    unreadable: tuple[int, str] | None = None  # position and text of the first entry that is not a number
    not_whole: tuple[int, float] | None = None
    varying: tuple[int, float, int] | None = None  # position, total and family of the first that differs
    seen: NDArray[np.bool_] = field(default_factory=lambda: np.zeros(0, np.bool_))
    first_position: NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))
    first_total: NDArray[np.float64] = field(default_factory=lambda: np.zeros(0))

    def add(self, cells: pa.Array[Any], name: str, codes: NDArray[np.int32], start: int) -> None:
        try:
            totals = numbers_from_array(pa.chunked_array([cells]), name)
        except BadNumber as exc:
            self.unreadable = self.unreadable or (start + exc.position, exc.text)
            return
        whole = whole_totals(totals)
        if self.not_whole is None and not whole.all():
            position = int(np.argmin(whole))
            self.not_whole = (start + position, float(totals[position]))
        families, first = np.unique(codes, return_index=True)
        size = int(families[-1]) + 1 if families.size else 0
        self.seen = grown(self.seen, size, False)
        self.first_position = grown(self.first_position, size, 0)
        self.first_total = grown(self.first_total, size, math.nan)
        new = ~self.seen[families]
        self.seen[families[new]] = True
        self.first_position[families[new]] = start + first[new]
        self.first_total[families[new]] = totals[first[new]]
        differs = totals != self.first_total[codes]
        if self.varying is None and differs.any():
            position = int(np.argmax(differs))
            self.varying = (start + position, float(totals[position]), int(codes[position]))

    def checked(self, where: Callable[[int], str], labels: list[str], rows: NDArray[np.int64]) -> NDArray[np.int64]:
        """Each family's total, or the first problem in the order the whole column is checked."""
        if self.unreadable is not None:
            raise TableError(f"{where(self.unreadable[0])}: {not_a_number(self.unreadable[1])}")
        if self.not_whole is not None:
            raise not_whole(where(self.not_whole[0]), self.not_whole[1])
        if self.varying is not None:
            position, total, family = self.varying
            first = int(self.first_position[family])
            raise varying_total(where(position), total, float(self.first_total[family]), where(first), labels[family])
        totals = self.first_total[: len(labels)].astype(np.int64)
        short = np.flatnonzero(totals < rows)
        if short.size:
            family = int(short[0])
            first = int(self.first_position[family])
            raise short_total(where(first), int(totals[family]), labels[family], int(rows[family]))
        return totals


@dataclass
class Kept:
    """What the batches of a column leave behind: the kept values and the counts of all."""

    values: list[NDArray[np.float64]] = field(default_factory=list)
    positions: list[NDArray[np.uint32] | NDArray[np.intp]] = field(default_factory=list)
    groups: list[NDArray[np.int32]] = field(default_factory=list)
    ids: list[pa.Array[Any]] = field(default_factory=list)
    rows: int = 0
    missing: int = 0
    largest: float = -np.inf
    # Rows, and values that are not NaN, per family code (capacity beyond the families met).
    family_rows: NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))
    family_sizes: NDArray[np.int64] = field(default_factory=lambda: np.zeros(0, np.int64))
    invalid: tuple[int, float, str] | None = None  # position in the column, value as read, rule

    def add(
        self, piece: Piece, read: NDArray[np.float64], selection: Selection, codes: NDArray[np.int32] | None
    ) -> NDArray[np.bool_]:
        """Keeps what can matter of the values `read` (and their family `codes`); returns which it kept."""
        values = selection.procedure_values(read)
        in_domain = selection.in_domain(values)
        missing = np.isnan(values)
        allowed = in_domain | missing if selection.omit_missing else in_domain
        if self.invalid is None and not allowed.all():
            position = int(np.argmin(allowed))
            rule = PVALUE_REQUIREMENT if selection.pvalues else EVALUE_REQUIREMENT
            self.invalid = (piece.start + position, float(read[position]), rule)
        keep = selection.kept(values) & in_domain
        chosen = np.flatnonzero(keep)
        self.values.append(read[chosen])
        self.positions.append(compact_positions(piece.start + chosen, piece.start + read.size))
        self.rows += read.size
        self.missing += int(missing.sum())
        self.largest = max(self.largest, float(read[~missing].max(initial=-np.inf)))
        if codes is not None:
            self.groups.append(codes[chosen])
            self.family_rows = counted(self.family_rows, codes)
            self.family_sizes = counted(self.family_sizes, codes[~missing])
        return keep


def compact_positions(positions: NDArray[np.intp], end: int) -> NDArray[np.uint32] | NDArray[np.intp]:
    """`positions` (all below `end`) in 32 bits where they fit: the kept values' positions are much of what
    the streamed column holds."""
    return positions.astype(np.uint32) if end <= POSITIONS_IN_32_BITS else positions


def joined_positions(parts: list[NDArray[np.uint32] | NDArray[np.intp]]) -> NDArray[np.uint32] | NDArray[np.intp]:
    """The positions of `parts` as one array, in 32 bits if every part is."""
    if all(part.dtype == np.uint32 for part in parts):
        return joined(cast(list[NDArray[np.uint32]], parts), np.uint32)
    return joined(cast(list[NDArray[np.intp]], parts), np.intp)


def counted(counts: NDArray[np.int64], codes: NDArray[np.int32]) -> NDArray[np.int64]:
    """Counts per family (capacity beyond the families met) plus one for each of `codes`."""
    families, more = np.unique(codes, return_counts=True)
    counts = grown(counts, int(families[-1]) + 1 if families.size else 0, 0)
    counts[families] += more
    return counts


def joined[T: np.generic](parts: list[NDArray[T]], dtype: type[T]) -> NDArray[T]:
    """The arrays of `parts` as one, emptying the list so that each part is freed as soon as it is copied."""
    whole = np.empty(sum(part.size for part in parts), dtype)
    start = 0
    while parts:
        part = parts.pop(0)
        whole[start : start + part.size] = part
        start += part.size
    return whole


def kept_column(reader: TextReader | ParquetReader, progress: Progress, selection: Selection) -> Column:
    """The values of `reader`'s column that can change a decision of `selection`, with the counts of all."""
    chosen = reader.chosen
    kept, families, totals = Kept(), Families(), Totals()
    for piece in reader.pieces(progress):
        codes = None
        if chosen.group is not None:
            codes = families.coded(piece.batch.column(chosen.group), piece.start)
            if chosen.m is not None:
                totals.add(piece.batch.column(chosen.m), chosen.m, codes, piece.start)
        keep = kept.add(piece, piece.numbers.to_numpy(zero_copy_only=True), selection, codes)
        if chosen.id is not None:
            kept.ids.append(shown_text(piece.batch.column(chosen.id).filter(pa.array(keep))))
    numbering = reader.numbering()
    labels = families.labels() if chosen.group is not None else None
    column = Column(
        name=chosen.value,
        values=joined(kept.values, np.float64),
        numbering=KeptNumbering(numbering, joined_positions(kept.positions)),
        groups=None if labels is None else joined(kept.groups, np.int32),
        table=None,
        layout=reader.layout(),
        header=reader.header,
        families=labels,
        ids=None if chosen.id is None else pa.chunked_array(kept.ids, pa.string()),
        column_names=tuple(reader.names),
    )
    return with_counts(column, chosen, kept, families, totals, numbering)


def with_counts(
    column: Column, chosen: Chosen, kept: Kept, families: Families, totals: Totals, numbering: Numbering
) -> Column:
    """`column` with the counts of `kept`, once the problems found on the way are refused in order."""

    def where(position: int, name: str | None = None) -> str:
        return place(numbering.number(position), column, name)

    if families.missing is not None:
        position, label = families.missing
        raise missing_label(where(position, chosen.group), label)
    family_totals = None
    if chosen.m is not None:
        names = [str(label) for label in families.codes]
        rows = grown(kept.family_rows, len(names), 0)[: len(names)]
        family_totals = totals.checked(lambda position: where(position, chosen.m), names, rows)
    invalid = None
    if kept.invalid is not None:
        position, found, rule = kept.invalid
        invalid = Invalid(where(position), found, rule)
    counts = Counts(
        kept.rows,
        kept.missing,
        kept.largest,
        None if column.families is None else grown(kept.family_sizes, len(column.families), 0)[: len(column.families)],
        family_totals,
        invalid,
    )
    return replace(column, counts=counts)


def flagged_batches(
    reader: TextReader | ParquetReader, progress: Progress, rejected: NDArray[np.intp], flag: str
) -> Iterator[pa.RecordBatch]:
    """The kept lines of `reader`'s table with a column `flag`, true at the (ascending) positions `rejected`."""
    for piece in reader.pieces(progress):
        rows = piece.batch.num_rows
        marks = np.zeros(rows, np.bool_)
        low, high = np.searchsorted(rejected, [piece.start, piece.start + rows])
        marks[rejected[low:high] - piece.start] = True
        yield piece.batch.append_column(flag, pa.array(marks))
