"""Rows of a least-squares problem read from files: Parquet, Zarr, HDF5 and .npy shards.

`source(...)` looks at the files once (their footers, headers or metadata: names, types,
row counts, chunking), checks the selection of columns against them and returns a
`Source`. Nothing else is read until a pass: iterating a Source reads the rows in this
process piece by piece, in order, and `Source.to_dask()` gives Dask arrays with known
row chunks whose tasks read the files where they run. Either way `gram_stats` gets the
rows in their order in the files, so the statistics are those of the same rows held in
memory, bit for bit, whatever the row groups, chunks or shards (see `_pass`).

Each format has its reader (`_parquet`, `_arrays`); a reader is a small picklable plan
(paths, the selected columns, the units in which the rows are read) whose `batches`
yields the rows of a run of units as `_Batch`es. pyarrow, zarr and h5py are imported
by the reader that needs them, when a source of that format is made.
"""

from __future__ import annotations

import operator
import os
from typing import NamedTuple

import numpy as np

__all__ = ["Source", "source"]

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
    nullable: tuple = ()


# ---------------------------------------------------------------------------
# Batches: rows as read, before they are laid out as float64 X, y and w.
# ---------------------------------------------------------------------------
class _Batch:
    """Rows of the selection as read from a file, in one of two shapes:
    columns: a list of 1-D arrays, the selected columns in order (X's, then the
             target, then the weights), any real dtype;
    block:   a 2-D array of the file's rows and the indices of the selected columns.
    `dropped` counts the rows of the file left out of the batch (missing values)."""

    __slots__ = ("columns", "block", "index", "rows", "dropped")

    def __init__(self, rows, *, columns=None, block=None, index=None, dropped=0):
        self.columns, self.block, self.index = columns, block, index
        self.rows, self.dropped = rows, dropped

    def fill(self, X, y, w):
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


def _take_columns(block, index):
    """block[:, index], as a view when the indices are a run of consecutive columns."""
    first = index[0]
    if list(index) == list(range(first, first + len(index))):
        return block[:, first:first + len(index)]
    return block[:, index]


def _empty(rows, k, weighted, layout="C"):
    """X, y, w for `rows` rows; X's columns contiguous with layout "F" (readers of
    columns), its rows with "C"."""
    return (np.empty((rows, k), order=layout), np.empty(rows), np.empty(rows) if weighted else None)


# ---------------------------------------------------------------------------
# Paths and formats.
# ---------------------------------------------------------------------------
_MAGIC = {b"PAR1": "parquet", b"\x89HDF\r\n\x1a\n": "hdf5", b"\x93NUMPY": "npy"}
_FORMAT_NAMES = {"parquet": "Parquet", "hdf5": "HDF5", "npy": ".npy", "zarr": "Zarr"}


def _skipped(name):
    """Names a folder of data files holds beside them: Spark's _SUCCESS, hidden files."""
    return name.startswith(("_", "."))


def _file_format(path):
    """'parquet', 'hdf5' or 'npy' from the first bytes of a file."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(8)
    if size == 0:
        raise ValueError(f"{path}: the file is empty")
    for magic, fmt in _MAGIC.items():
        if head.startswith(magic):
            return fmt
    raise ValueError(f"{path}: not a Parquet, HDF5 or .npy file (it starts with {head!r})")


def _describe(paths, kind):
    """The files in messages: the one path, or how many and where."""
    if len(paths) == 1:
        return paths[0]
    folders = {os.path.dirname(p) for p in paths}
    where = f"in {folders.pop()}" if len(folders) == 1 else f"from {paths[0]} on"
    return " ".join(filter(None, (str(len(paths)), kind, "files", where)))


def _is_zarr(path):
    return any(os.path.exists(os.path.join(path, name)) for name in ("zarr.json", ".zgroup", ".zarray"))


def _resolve(path_or_paths):
    """(format, [absolute paths]) of the argument, told apart by the files themselves."""
    if isinstance(path_or_paths, (str, os.PathLike)):
        paths, listed = [path_or_paths], False
    elif isinstance(path_or_paths, (list, tuple)):
        paths, listed = list(path_or_paths), True
        if not paths:
            raise ValueError("path_or_paths is an empty list")
    else:
        raise TypeError("path_or_paths must be a path or a list of paths, "
                        f"not {type(path_or_paths).__name__}")
    for p in paths:
        if not isinstance(p, (str, os.PathLike)):
            raise TypeError(f"path_or_paths: {p!r} is not a path")
    paths = [os.path.abspath(os.path.expanduser(os.fspath(p))) for p in paths]
    for p in paths:
        if not os.path.exists(p):
            raise FileNotFoundError(f"{p}: no such file or folder")
    if not listed and os.path.isdir(paths[0]):
        folder = paths[0]
        if _is_zarr(folder):
            return "zarr", paths
        names = sorted(n for n in os.listdir(folder) if not _skipped(n))
        if not names:
            raise ValueError(f"{folder}: the folder holds no data files")
        paths = [os.path.join(folder, n) for n in names]
        for p in paths:
            if os.path.isdir(p):
                raise ValueError(f"{p}: a folder inside the data folder (partitioned data "
                                 "sets are not read: list their files instead)")
        npy = [p.endswith(".npy") for p in paths]
        if all(npy):
            return "npy", paths
        if any(npy):
            raise ValueError(f"{folder}: the folder mixes .npy files with others")
    elif any(os.path.isdir(p) for p in paths):
        bad = next(p for p in paths if os.path.isdir(p))
        raise ValueError(f"{bad}: a folder in a list of files")
    formats = [_file_format(p) for p in paths]
    if len(set(formats)) > 1:
        raise ValueError("path_or_paths mixes " + " and ".join(sorted({_FORMAT_NAMES[f] for f in formats}))
                         + " files")
    fmt = formats[0]
    if fmt == "hdf5" and len(paths) > 1:
        raise ValueError("path_or_paths: give one HDF5 file")
    return fmt, paths


# ---------------------------------------------------------------------------
# The selection of columns.
# ---------------------------------------------------------------------------
def _check_selection(columns, target, weights, offset=None):
    """columns as a list (or None) after the checks that need no file."""
    if isinstance(columns, (str, bytes)):
        raise TypeError(f"columns must be a list of column names or indices, not the string "
                        f"{columns!r} (write [{columns!r}])")
    if columns is not None:
        try:
            columns = list(columns)
        except TypeError:
            raise TypeError("columns must be a list of column names or indices, "
                            f"not {type(columns).__name__}") from None
        if not columns:
            raise ValueError("columns is empty")
    for what, label in [("target", target), ("weights", weights), ("offset", offset)] + [
            ("columns", c) for c in columns or []]:
        if label is None and what in ("weights", "offset"):
            continue
        if isinstance(label, bool) or not isinstance(label, (str, int, np.integer)):
            raise TypeError(f"{what}: {label!r} is neither a column name nor an index")
    return columns


class _Columns:
    """The columns a file offers, by name or by index (the `names`, or `width`);
    `hidden` names are left out of columns=None (a DataFrame's stored index)."""

    def __init__(self, where, *, names=None, width=None, hidden=()):
        self.where, self.names, self.width, self.hidden = where, names, width, set(hidden)

    def pick(self, columns, target, weights, offset=None):
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

    def _one(self, what, label, by_name):
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


# ---------------------------------------------------------------------------
# The source.
# ---------------------------------------------------------------------------
def _parts(units, row_bytes, chunk_bytes):
    """Runs of consecutive units, each the smallest run from its start that reaches
    chunk_bytes of float64 rows (the last may be shorter): [(first, stop)]."""
    target = max(1, chunk_bytes // row_bytes)
    parts, first, rows = [], 0, 0
    for i, unit in enumerate(units):
        rows += unit.rows
        if rows >= target:
            parts.append((first, i + 1))
            first, rows = i + 1, 0
    if first < len(units):
        parts.append((first, len(units)))
    return parts


def _read_part(reader, units, gap, kept, weighted):
    """A Dask task: (X, y, w or None) of gap + kept rows, float64: `gap` rows left for
    the previous part's last rows (see _stitch), then the `kept` rows of `units`."""
    k = len(reader.labels[0])
    X, y, w = _empty(gap + kept, k, weighted, reader.layout)
    r = gap
    for batch in reader.batches(units):
        if r + batch.rows > gap + kept:
            raise ValueError(f"{reader.where}: the files changed after source() read them "
                             "(more rows than counted)")
        batch.fill(X[r:r + batch.rows], y[r:r + batch.rows], None if w is None else w[r:r + batch.rows])
        r += batch.rows
    if r != gap + kept:
        raise ValueError(f"{reader.where}: the files changed after source() read them "
                         f"({r - gap} rows where {kept} were counted)")
    return X, y, w


def _tail(part, start):
    """A Dask task: copies of a part's rows from `start` on (they open the next chunk)."""
    return tuple(None if a is None else a[start:].copy() for a in part)


def _stitch(part, tail, stop):
    """A Dask task: a chunk, the part's rows up to `stop` with the previous part's tail
    written into the leading gap the part left for it. The gap is this task's alone
    (the tail task reads other rows), so it is written in place, and alike if the task
    is ever run again."""
    if tail is not None:
        for a, t in zip(part, tail):
            if a is not None:
                a[:len(t)] = t
    return tuple(None if a is None else a[:stop] for a in part)


class Source:
    """Rows of a least-squares problem in files, read piece by piece (see `source`).

    Attributes: `format` ('parquet', 'zarr', 'hdf5' or 'npy'), `paths` (the files in
    the order they are read, or the container), `columns`, `target` and `weights`
    (names, or column indices of a 2-D array), `n_rows` (rows in the files, before any
    dropping) and `dropped` (rows left out for missing values: known after a pass in
    this process or a call of `to_dask`, or at once when the files show there are none;
    None until then).

    Iterating yields ``(X_block, y_block)`` pieces, or ``(X_block, y_block, w_block)``
    with weights, float64 and in file order: ``gram_stats(src)`` makes the pass in this
    process, as often as wanted. `to_dask()` gives the Dask arrays for a pass on a
    cluster.
    """

    def __init__(self, fmt, paths, reader, offset=False):
        self.format, self.paths, self._reader = fmt, tuple(paths), reader
        x, t, w = reader.labels
        self._width = len(x)  # X as read: the offset column last, when there is one
        self.offset = x[-1] if offset else None
        self.columns, self.target, self.weights = tuple(x[:-1] if offset else x), t, w
        self.n_rows = reader.n_rows
        self.dropped = None if reader.may_drop else 0

    def __repr__(self):
        where = _describe(self.paths, "")
        weights = "" if self.weights is None else f", weights={self.weights!r}"
        offset = "" if self.offset is None else f", offset={self.offset!r}"
        return (f"Source({self.format}: {where}, {self.n_rows:,} rows, {len(self.columns)} columns, "
                f"target={self.target!r}{weights}{offset})")

    def __iter__(self):
        if self.offset is None:
            return self._pieces()
        k = len(self.columns)
        return ((piece[0][:, :k], *piece[1:]) for piece in self._pieces())

    def _glm_pieces(self):
        """(X, y, w or None, offset or None) pieces."""
        k = len(self.columns)
        for piece in self._pieces():
            X, y, w = piece if len(piece) == 3 else (*piece, None)
            yield X[:, :k], y, w, (X[:, k] if self.offset is not None else None)

    def _pieces(self):
        reader = self._reader
        k, weighted = self._width, self.weights is not None
        dropped = 0
        for batch in reader.batches(reader.units):
            dropped += batch.dropped
            if batch.rows:
                piece = _empty(batch.rows, k, weighted, reader.layout)
                batch.fill(*piece)
                yield piece if weighted else piece[:2]
        self.dropped = dropped

    def to_dask(self, chunk_bytes=64 << 20, block_rows=4096):
        """The rows as Dask arrays ``(X, y)``, or ``(X, y, w)`` with weights: float64,
        columns in one chunk, rows in chunks of known lengths. Each chunk is read by one
        task where it runs (the files must be reachable there under the same paths):
        the fewest whole row groups (Parquet) or runs of file chunks (about 65,536
        rows) from its start that make `chunk_bytes` of float64 output or more; X, y
        and w of a chunk come from one read. The chunks' edges are then moved down to
        multiples of `block_rows` (gram_stats' blocks; the rows of less than a block
        that cross an edge are copied to the next chunk), so that the pass moves no
        other data between tasks.

        With dropna=True, rows with missing values are left out; where the files'
        statistics do not show how many, each chunk's length is counted first, by
        tasks that read the columns that may miss values."""
        import dask.array as da
        from dask.base import tokenize
        from dask.highlevelgraph import HighLevelGraph

        for name, value in (("chunk_bytes", chunk_bytes), ("block_rows", block_rows)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{name} must be a positive int, got {value!r}")
        reader, k, weighted = self._reader, self._width, self.weights is not None
        units = reader.units
        parts = _parts(units, 8 * (k + 2), chunk_bytes)
        kept = self._kept_rows(parts)
        if self.dropped is None:
            self.dropped = self.n_rows - sum(kept)
        if not sum(kept):
            raise ValueError(f"{reader.where}: no rows left after dropping missing values")
        # Every part but the last keeps block_rows rows or more (a shorter one joins the
        # next), so that chunk i, rows E[i] .. E[i+1] - 1 with E[i] the start S[i] of
        # part i rounded down to a multiple of block_rows, is the tail of part i - 1
        # (S[i] - E[i] rows) and the head of part i.
        merged = []
        for (a, b), n in zip(parts, kept):
            if merged and merged[-1][2] < block_rows:
                merged[-1] = (merged[-1][0], b, merged[-1][2] + n)
            else:
                merged.append((a, b, n))
        starts = np.cumsum([0] + [n for _, _, n in merged]).tolist()
        edges = [s // block_rows * block_rows for s in starts[:-1]] + [starts[-1]]
        last = len(merged) - 1
        token = tokenize(reader, weighted, merged, block_rows)
        read, tail, chunk = (f"{what}-{self.format}-{token}" for what in ("read", "tail", "chunk"))
        layers = {read: {}, tail: {}, chunk: {}}
        for i, (a, b, n) in enumerate(merged):
            gap, stop = starts[i] - edges[i], edges[i + 1] - edges[i]
            layers[read][(read, i)] = (_read_part, reader, units[a:b], gap, n, weighted)
            if i < last:
                layers[tail][(tail, i)] = (_tail, (read, i), stop)
            layers[chunk][(chunk, i)] = (_stitch, (read, i), (tail, i - 1) if i else None, stop)
        deps = {read: set(), tail: {read}, chunk: {read, tail}}
        rows = tuple(np.diff(edges).tolist())
        specs = [("X", (rows, (k,))), ("y", (rows,))] + ([("w", (rows,))] if weighted else [])
        for slot, (label, chunks) in enumerate(specs):
            name = f"{label}-{self.format}-{token}"
            index = (0,) if label == "X" else ()
            layers[name] = {(name, i, *index): (operator.getitem, (chunk, i), slot) for i in range(last + 1)}
            deps[name] = {chunk}
        graph = HighLevelGraph(layers, deps)
        arrays = tuple(da.Array(graph, f"{label}-{self.format}-{token}", chunks, dtype=np.float64,
                                meta=np.empty((0,) * len(chunks), dtype=np.float64))
                       for label, chunks in specs)
        if self.offset is None:
            return arrays
        X = arrays[0]
        return (X[:, :k - 1], *arrays[1:], X[:, k - 1])

    def _kept_rows(self, parts):
        """Rows each part holds after dropping missing values."""
        reader, units = self._reader, self._reader.units
        if not reader.may_drop:
            return [sum(u.rows for u in units[a:b]) for a, b in parts]
        known = [reader.kept_rows(units[a:b]) for a, b in parts]
        unknown = [i for i, n in enumerate(known) if n is None]
        if unknown:
            import dask

            counts = dask.compute(*[dask.delayed(reader.count_kept, pure=True)(units[slice(*parts[i])])
                                    for i in unknown])
            for i, n in zip(unknown, counts):
                known[i] = n
        return known


def source(path_or_paths, columns, target, *, weights=None, offset=None, key=None, dropna=False):
    """The rows of a least-squares problem in files, for `gram_stats`.

    path_or_paths: where the rows are; the format is told from the files.
      Parquet: a file, a list of files (read in the order given), or a folder, whose
        files are read in sorted name order (names starting with '_' or '.', such as
        Spark's _SUCCESS, are skipped). Columns by name.
      Zarr (formats 2 and 3) or HDF5: a 2-D array (columns by index) or a group of 1-D
        arrays of one length (columns by name); `key` is its path inside the container,
        needed only when the container holds more than one array or group and the
        columns are not 1-D arrays at its top.
      .npy: a folder of 2-D .npy files of one width (rows split across them, read in
        sorted name order) or a list of them. Columns by index.
    columns: the columns of X, in order (names, or indices counted from 0, negative
      from the end); None takes every column but the target and the weights (and the
      index pandas stores beside a DataFrame's columns).
    target: the column of y. weights: the column of the sample weights, or None.
    offset: the column of a GLM's offset (`glm_path`), or None. The pieces and
      `to_dask` leave it out of X; `to_dask` gives its Dask array last.
    dropna: rows with a missing value (a null in Parquet; NaN is a value, not missing)
      in any selected column are refused (the default: ValueError naming the column and
      the row of the whole data, counted from 0), or with True left out, their count in
      `Source.dropped`.

    Integer, unsigned, floating and boolean columns (as 0 and 1) are converted to
    float64 piece by piece; strings, categoricals and other types are refused.
    Returns a `Source`. Everything that the files' footers, headers and metadata show
    is checked here, before any row is read: a missing column, a column that is not a
    number, nulls counted in Parquet statistics, shards of another width or cut short,
    empty or damaged files (ValueError or TypeError naming the file and the column).
    Later, a reading error names the file and the place.
    """
    columns = _check_selection(columns, target, weights, offset)
    if key is not None and not isinstance(key, str):
        raise TypeError(f"key must be a string or None, not {type(key).__name__}")
    if not isinstance(dropna, (bool, np.bool_)):
        raise TypeError(f"dropna must be True or False, not {dropna!r}")
    fmt, paths = _resolve(path_or_paths)
    if key is not None and fmt not in ("zarr", "hdf5"):
        raise ValueError(f"key names an array inside a Zarr or HDF5 container; "
                         f"{_FORMAT_NAMES[fmt]} files have none")
    if fmt == "parquet":
        from ._parquet import ParquetReader as Reader
    else:
        from ._arrays import ArrayReader as Reader
    reader = Reader(fmt, paths, key, lambda offered: offered.pick(columns, target, weights, offset),
                    bool(dropna))
    if reader.n_rows == 0:
        raise ValueError(f"{reader.where}: no rows")
    return Source(fmt, paths, reader, offset is not None)


def _unit_rows(n, step):
    """[(start, stop)] cutting n rows into runs of `step` rows."""
    return [(a, min(a + step, n)) for a in range(0, n, step)]


def _piece_step(chunk_rows):
    """Rows per read of an array chunked by chunk_rows rows (0: not chunked): whole
    chunks, about _PIECE_ROWS at a time."""
    if not chunk_rows:
        return _PIECE_ROWS
    return chunk_rows * max(1, _PIECE_ROWS // chunk_rows)

