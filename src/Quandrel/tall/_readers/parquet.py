"""Parquet files, read with pyarrow row group by row group (see `_sources`)."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from ._base import _PIECE_ROWS, _Batch, _Columns, _describe, _Unit

__all__ = ["ParquetReader"]


def _arrow() -> tuple[Any, Any]:
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError as exc:
        raise ImportError("reading Parquet files needs pyarrow (pip install pyarrow)") from exc
    return pyarrow, pyarrow.parquet


def _refusal(t: Any) -> str | None:
    """Why a column of arrow type t cannot be a number of the problem, or None."""
    pa, _ = _arrow()
    if pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t) or pa.types.is_null(t):
        return None
    if pa.types.is_dictionary(t):
        return "is categorical: encode it as numbers first (for example one 0/1 column per category)"
    if pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t):
        return "holds strings: encode it as numbers first"
    return f"has type {t}, not a number"


def _missing(path: str, name: str, row: int) -> ValueError:
    return ValueError(f"{path}: column {name!r} has a missing value at row {row} (rows counted "
                      "from 0 over all the files); leave such rows out with dropna=True")


def _unreadable(path: str, group: int, exc: Exception) -> ValueError:
    """The error of a row group that could not be read: a page whose checksum does not
    match, or data that do not decode."""
    text = str(exc)
    if "checksum" in text.lower() or "crc" in text.lower():
        return ValueError(f"{path}: row group {group} is damaged: a page does not match its "
                          f"checksum ({text})")
    return ValueError(f"{path}: row group {group} could not be read, truncated or damaged ({text})")


class ParquetReader:
    """The plan of a pass over Parquet files: their paths, the selected columns by name
    and one unit per non-empty row group."""

    layout = "F"  # the rows' X with contiguous columns, as the files hold them

    def __init__(self, fmt: str, paths: Sequence[str], key: str | None, pick: Callable[[Any], Any],
                 dropna: bool, every: bool = False) -> None:
        """`every`: the columns were not named (columns=None), so every file must offer
        the first file's columns and no other."""
        pa_types = _arrow()[0].types
        self.paths, self.dropna = list(paths), dropna
        self.where = _describe(paths, "Parquet")
        self.units = []
        counted = []  # units whose statistics count missing values
        row0 = 0
        for i, path in enumerate(self.paths):
            pf = self._open(path)
            try:
                schema, md = pf.schema_arrow, pf.metadata
            finally:
                pf.close()
            if i == 0:
                index = (schema.pandas_metadata or {}).get("index_columns", [])
                hidden = [c for c in index if isinstance(c, str)]  # a RangeIndex is not stored
                self.labels = pick(_Columns(path, names=list(schema.names), hidden=hidden))
                self.names = [*self.labels[0], *(n for n in self.labels[1:] if n is not None)]
                first = set(schema.names) - set(hidden)
            elif every:
                # columns=None takes the first file's columns: a column that only later
                # files hold would be left out without a word.
                extra = [n for n in schema.names if n not in first and n not in hidden]
                if extra:
                    raise ValueError(f"{path}: column {extra[0]!r} is not in {self.paths[0]}, the "
                                     "first file (columns=None takes its columns): name the "
                                     "columns, or give the files the same columns")
            leaf = {md.schema.column(c).path: c for c in range(md.num_columns)}
            for name in self.names:
                if name not in schema.names:
                    raise ValueError(f"{path}: no column {name!r} in this file, though "
                                     f"{self.paths[0]} has it")
                if schema.names.count(name) > 1:
                    raise ValueError(f"{path}: two columns are named {name!r}")
                why = _refusal(schema.field(name).type)
                if why is not None:
                    raise TypeError(f"{path}: column {name!r} {why}")
            for g in range(md.num_row_groups):
                rg = md.row_group(g)
                if rg.num_rows == 0:
                    continue
                nulls = [self._null_count(rg, leaf.get(name)) for name in self.names]
                nullable = tuple(j for j, n in enumerate(nulls) if n != 0)
                if not nullable:
                    kept = rg.num_rows
                elif len(nullable) == 1 and nulls[nullable[0]] is not None:
                    kept = rg.num_rows - nulls[nullable[0]]
                else:
                    kept = None
                self.units.append(_Unit(i, g, row0, rg.num_rows, kept, nullable))
                if any(nulls):
                    counted.append(self.units[-1])
                row0 += rg.num_rows
        self.n_rows = row0
        # With dropna, rows holding a NaN in a floating column go too: the statistics
        # do not count NaN, so how many rows such columns keep is known only once read.
        self.nan_columns = dropna and any(pa_types.is_floating(schema.field(n).type) for n in self.names)
        self.may_drop = dropna and (self.nan_columns or any(u.nullable for u in self.units))
        if not dropna:
            # The first missing value the statistics count is named now, before any
            # pass (those columns of that row group are read).
            for unit in counted:
                for item in self._arrow_batches([unit], [self.names[j] for j in unit.nullable]):
                    self._check_nulls(item)

    @staticmethod
    def _open(path: str) -> Any:
        pa, pq = _arrow()
        try:
            # Pages written with a checksum are verified as they are read; pages
            # written without one cannot be, and are read as they are.
            return pq.ParquetFile(path, page_checksum_verification=True)
        except (OSError, pa.ArrowException) as exc:
            raise ValueError(f"{path}: not a readable Parquet file, truncated or damaged ({exc})") from None

    @staticmethod
    def _null_count(rg: Any, c: int | None) -> int | None:
        """Nulls of leaf column c in row group rg by its statistics; None if unknown."""
        if c is None:
            return None
        stats = rg.column(c).statistics
        if stats is None or not stats.has_null_count:
            return None
        return int(stats.null_count)

    def _arrow_batches(self, units: Sequence[_Unit],
                       names: list[str] | None = None) -> Iterator[tuple[Any, _Unit, int]]:
        """(arrow record batch, unit, first row of the batch in the whole data)."""
        pa = _arrow()[0]
        names = self.names if names is None else names
        opened: int | None = None
        pf: Any = None  # the open file's reader
        try:
            for unit in units:
                if unit.file != opened:
                    if pf is not None:
                        pf.close()
                    pf, opened = self._open(self.paths[unit.file]), unit.file
                row = unit.row0
                try:
                    batches = pf.iter_batches(batch_size=_PIECE_ROWS, row_groups=[unit.loc], columns=names)
                    for batch in batches:
                        yield batch, unit, row
                        row += batch.num_rows
                except (OSError, pa.ArrowException) as exc:
                    raise _unreadable(self.paths[unit.file], unit.loc, exc) from None
                if row != unit.row0 + unit.rows:
                    raise ValueError(f"{self.paths[unit.file]}: row group {unit.loc} holds "
                                     f"{row - unit.row0} rows, the footer said {unit.rows}")
        finally:
            if pf is not None:
                pf.close()

    @staticmethod
    def _valid(batch: Any, names: Sequence[str]) -> Any:
        """Rows of the batch with no missing value in the named columns (a bool array),
        or None if there are none."""
        valid = None
        for name in names:
            col = batch.column(name)
            if col.null_count:
                v = col.is_valid().to_numpy(zero_copy_only=False)
                valid = v if valid is None else valid & v
        return valid

    def _check_nulls(self, item: tuple[Any, _Unit, int]) -> None:
        """Refuses the batch's first missing value, naming its column and row."""
        batch, unit, row0 = item
        first = None
        for j in unit.nullable:
            col = batch.column(self.names[j])
            if col.null_count:
                r = int(np.argmin(col.is_valid().to_numpy(zero_copy_only=False)))
                if first is None or r < first[0]:
                    first = (r, self.names[j])
        if first is not None:
            raise _missing(self.paths[unit.file], first[1], row0 + first[0])

    def batches(self, units: Sequence[_Unit]) -> Iterator[_Batch]:
        """The rows of the units in order, as batches of columns, at most _PIECE_ROWS
        rows each; rows with missing values left out (dropna) or refused."""
        for batch, unit, row0 in self._arrow_batches(units):
            dropped = 0
            if unit.nullable:
                if not self.dropna:
                    self._check_nulls((batch, unit, row0))
                else:
                    valid = self._valid(batch, [self.names[j] for j in unit.nullable])
                    if valid is not None:
                        batch = batch.filter(valid)
                        dropped = len(valid) - batch.num_rows
            columns = [batch.column(name).to_numpy(zero_copy_only=False) for name in self.names]
            out = _Batch(batch.num_rows, columns=columns, dropped=dropped)
            if self.nan_columns:
                out.drop_nan()
            yield out

    def place(self, unit: _Unit) -> str:
        """The file of a unit, in messages."""
        return self.paths[unit.file]

    def kept_rows(self, units: Sequence[_Unit]) -> int | None:
        """Rows the units keep after dropping, when their statistics show it, else None."""
        if self.nan_columns:
            return None
        kept = [u.kept if self.dropna else u.rows for u in units]
        return None if None in kept else sum(n for n in kept if n is not None)

    def count_kept(self, units: Sequence[_Unit]) -> int:
        """Rows the units keep after dropping, reading the columns that may miss values."""
        if self.nan_columns:
            return sum(batch.rows for batch in self.batches(units))
        kept = 0
        for unit in units:
            if unit.kept is not None:
                kept += unit.kept
                continue
            names = [self.names[j] for j in unit.nullable]
            for batch, _, _ in self._arrow_batches([unit], names):
                valid = self._valid(batch, names)
                kept += batch.num_rows if valid is None else int(np.count_nonzero(valid))
        return kept
