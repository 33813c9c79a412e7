"""What every reader of files shares: the units in which rows are read, the batches
they are read as, the columns a file offers, and the search for a value the pass
refused.

A reader (`parquet.ParquetReader`, `arrays.ArrayReader`) is a small picklable plan of
a pass: its `paths`, `where` (the files in messages), `labels` (X's columns, the
target's, the weights' or None), `names` or the selected columns, `units` (the reads,
in order, each a `Unit`), `layout`, `n_rows` and `may_drop`; `batches(units)` yields
the rows of a run of units as `Batch`es (rows with missing values, or NaN under
dropna, left out), `kept_rows(units)` and `count_kept(units)` the rows they keep, and
`place(unit)` names a unit's file.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Iterable, Sequence
from typing import Any, Literal, NamedTuple

import numpy as np

# Rows per piece of an in-process pass and per read of a chunked array: a piece of 50
# float64 columns is 26 MiB. The chunks of `to_dask` gather whole units.
_PIECE_ROWS = 1 << 16
# Rows per tile when columns are laid side by side into rows: the tile of the output
# stays in the core's cache while every column is written into it.
_TILE_ROWS = 1024


class _Unit(NamedTuple):
    """The rows a reader reads at once: rows row0 .. row0 + rows - 1 of the whole data,
    in file `file` (an index into the reader's paths) at `loc` (a row group, or the
    first row in an array). `kept` is the number of rows left after dropping missing
    values, when the file's statistics show it, else None; `nullable` the positions in
    the selection of the columns that may miss values."""

    file: int
    loc: int
    row0: int
    rows: int
    kept: int | None
    nullable: tuple[int, ...] = ()


# ---------------------------------------------------------------------------
# Batches: rows as read, before they are laid out as float64 X, y and w.
# ---------------------------------------------------------------------------
class _Batch:
    """Rows of the selection as read from a file, in one of two shapes:
    columns: a list of 1-D arrays, the selected columns in order (X's, then the
             target, then the weights), any real dtype;
    block:   a 2-D array of the file's rows and the indices of the selected columns.
    `dropped` counts the rows of the file left out of the batch (missing values)."""

    __slots__ = ("block", "columns", "dropped", "index", "rows")

    def __init__(self, rows: int, *, columns: list[Any] | None = None, block: Any = None,
                 index: list[int] | None = None, dropped: int = 0) -> None:
        self.columns: Any = columns
        self.block: Any = block
        self.index: Any = index
        self.rows, self.dropped = rows, dropped

    def fill(self, X: Any, y: Any, w: Any) -> None:
        """X (m, k), y (m,), w (m,) or None: the batch's rows as float64."""
        k = X.shape[1]
        if self.block is not None:
            X[...] = _take_columns(self.block, self.index[:k])
            y[...] = self.block[:, self.index[k]]
            if w is not None:
                w[...] = self.block[:, self.index[k + 1]]
            return
        # X[r, j] = columns[j][r]; the cast (integers, booleans as 0/1, narrower floats)
        # is exact or rounds to nearest, element by element. Into columns laid out one
        # after the other (the readers of columns ask for them: the pass reads them
        # where they lie), one copy per column; into rows, in tiles of rows.
        cols = self.columns
        if X.strides[0] == X.itemsize:
            for j in range(k):
                X[:, j] = cols[j]
        else:
            for r in range(0, self.rows, _TILE_ROWS):
                tile = X[r:r + _TILE_ROWS]
                for j in range(k):
                    tile[:, j] = cols[j][r:r + _TILE_ROWS]
        y[...] = cols[k]
        if w is not None:
            w[...] = cols[k + 1]


    def drop_nan(self) -> int:
        """Leaves out the rows holding a NaN in a selected column (as pandas' dropna
        does); returns their count."""
        cols = (self.columns if self.block is None
                else [self.block[:, j] for j in sorted(set(self.index))])
        nan: Any = None
        for c in cols:
            if c.dtype.kind == "f":
                nan = np.isnan(c) if nan is None else nan | np.isnan(c)
        count = 0 if nan is None else int(np.count_nonzero(nan))
        if count:
            keep = ~nan
            if self.block is not None:
                self.block = self.block[keep]
            else:
                self.columns = [c[keep] for c in self.columns]
            self.rows -= count
            self.dropped += count
        return count


def _take_columns(block: Any, index: Sequence[int]) -> Any:
    """block[:, index], as a view when the indices are a run of consecutive columns."""
    first = index[0]
    if list(index) == list(range(first, first + len(index))):
        return block[:, first:first + len(index)]
    return block[:, index]


def _empty(rows: int, k: int, weighted: bool, layout: Literal["C", "F"] = "C") -> tuple[Any, Any, Any]:
    """X, y, w for `rows` rows; X's columns contiguous with layout "F" (readers of
    columns), its rows with "C"."""
    return (np.empty((rows, k), order=layout), np.empty(rows), np.empty(rows) if weighted else None)


def _describe(paths: Sequence[str], kind: str) -> str:
    """The files in messages: the one path, or how many and where."""
    if len(paths) == 1:
        return paths[0]
    folders = {os.path.dirname(p) for p in paths}
    where = f"in {folders.pop()}" if len(folders) == 1 else f"from {paths[0]} on"
    return " ".join(filter(None, (str(len(paths)), kind, "files", where)))


class _Columns:
    """The columns a file offers, by name or by index (the `names`, or `width`);
    `hidden` names are left out of columns=None (a DataFrame's stored index)."""

    def __init__(self, where: str, *, names: list[str] | None = None, width: int | None = None,
                 hidden: Iterable[str] = ()) -> None:
        self.where, self.hidden = where, set(hidden)
        self.names: Any = names
        self.width: Any = width

    def pick(self, columns: list[Any] | None, target: Any, weights: Any,
             offset: Any = None) -> tuple[list[Any], Any, Any]:
        """(labels of X's columns, the target's, the weights' or None) as the user
        means them, checked against the file: names for tables and groups, indices
        (negative from the end) for 2-D arrays. An offset column is read as X's last."""
        by_name = self.names is not None
        chosen = [("target", target)] + ([("weights", weights)] if weights is not None else [])
        if offset is not None:
            chosen.append(("offset", offset))
        if columns is None:
            taken = {self._one(what, label, by_name) for what, label in chosen}
            all_labels = self.names if by_name else range(self.width)
            columns = [c for c in all_labels if c not in taken and c not in self.hidden]
            if not columns:
                raise ValueError(f"columns: {self.where} has no column besides the target and weights")
        labels = [self._one("columns", c, by_name) for c in columns]
        seen = set()
        for c in labels:
            if c in seen:
                raise ValueError(f"columns: {c!r} is listed twice")
            seen.add(c)
        picked = [self._one(what, label, by_name) for what, label in chosen]
        for (what, _), c in zip(chosen, picked):
            if c in seen:
                raise ValueError(f"{what}: {c!r} is also among the columns")
            seen.add(c)
        if offset is not None:
            labels.append(picked[-1])
        return labels, picked[0], picked[1] if weights is not None else None

    def _one(self, what: str, label: Any, by_name: bool) -> Any:
        if by_name:
            if not isinstance(label, str):
                raise TypeError(f"{what}: {self.where} has named columns: give names, not {label!r}")
            if label not in self.names:
                shown = ", ".join(self.names[:20]) + (", ..." if len(self.names) > 20 else "")
                raise ValueError(f"{what}: no column {label!r} in {self.where} (it has: {shown})")
            return label
        if isinstance(label, str):
            raise TypeError(f"{what}: {self.where} is a 2-D array: give column indices, not {label!r}")
        index = operator.index(label)
        if not -self.width <= index < self.width:
            raise ValueError(f"{what}: column {index} is out of range for {self.where} "
                             f"of {self.width} columns")
        return index % self.width


def first_nonfinite(reader: Any, positions: Sequence[int]) -> tuple[str, int, int] | None:
    """(where, position, row) of the first NaN or infinite value in the selected columns
    at `positions` (X's columns by position, then len(X's columns) for the target):
    the file (or array), the column's position and the row, counted from 0 over all
    the files (over the rows kept, when rows are dropped); None if there is none. It
    reads the files again: only a pass that found such values asks."""
    k, weighted = len(reader.labels[0]), reader.labels[2] is not None
    row = 0
    for unit in reader.units:
        for batch in reader.batches([unit]):
            X, y, w = _empty(batch.rows, k, weighted, reader.layout)
            batch.fill(X, y, w)
            found = [(int(np.argmin(ok)), j) for j in positions
                     for ok in [np.isfinite(X[:, j] if j < k else y)] if not ok.all()]
            if found:
                r, j = min(found)
                return reader.place(unit), j, row + r
            row += batch.rows
    return None


def _unit_rows(n: int, step: int) -> list[tuple[int, int]]:
    """[(start, stop)] cutting n rows into runs of `step` rows."""
    return [(a, min(a + step, n)) for a in range(0, n, step)]


def _piece_step(chunk_rows: int) -> int:
    """Rows per read of an array chunked by chunk_rows rows (0: not chunked): whole
    chunks, about _PIECE_ROWS at a time."""
    if not chunk_rows:
        return _PIECE_ROWS
    return chunk_rows * max(1, _PIECE_ROWS // chunk_rows)
