"""Rows of a least-squares problem read from files: Parquet, Zarr, HDF5 and .npy shards.

`source(...)` looks at the files once (their footers, headers or metadata: names, types,
row counts, chunking), checks the selection of columns against them and returns a
`Source`. Nothing else is read until a pass: iterating a Source reads the rows in this
process piece by piece, in order, and `Source.to_dask()` gives Dask arrays with known
row chunks whose tasks read the files where they run. Either way `gram_stats` gets the
rows in their order in the files, so the statistics are those of the same rows held in
memory, bit for bit, whatever the row groups, chunks or shards (see `_pass`).

Each format has its reader (`_readers`: `parquet`, `arrays`, over `_readers._base`); a
reader is a small picklable plan (paths, the selected columns, the units in which the
rows are read) whose `batches` yields the rows of a run of units as batches. pyarrow,
zarr and h5py are imported by the reader that needs them, when a source of that format
is made.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from ._readers import open_reader
from ._readers._base import _describe, _empty, _Unit

__all__ = ["Source", "source"]

# ---------------------------------------------------------------------------
# Paths and formats.
# ---------------------------------------------------------------------------
_MAGIC = {b"PAR1": "parquet", b"\x89HDF\r\n\x1a\n": "hdf5", b"\x93NUMPY": "npy"}
_FORMAT_NAMES = {"parquet": "Parquet", "hdf5": "HDF5", "npy": ".npy", "zarr": "Zarr"}


def _skipped(name: str) -> bool:
    """Names a folder of data files holds beside them: Spark's _SUCCESS, hidden files."""
    return name.startswith(("_", "."))


def _file_format(path: str) -> str:
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


def _is_zarr(path: str) -> bool:
    return any(os.path.exists(os.path.join(path, name)) for name in ("zarr.json", ".zgroup", ".zarray"))


def _resolve(path_or_paths: Any) -> tuple[str, list[str]]:
    """(format, [absolute paths]) of the argument, told apart by the files themselves."""
    paths: list[Any]
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
def _check_selection(columns: Any, target: Any, weights: Any, offset: Any = None) -> Any:
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


# ---------------------------------------------------------------------------
# The source.
# ---------------------------------------------------------------------------
def _parts(units: Sequence[_Unit], row_bytes: int, chunk_bytes: int) -> list[tuple[int, int]]:
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


def _read_part(reader: Any, units: Sequence[_Unit], gap: int, kept: int, weighted: bool) -> tuple[Any, ...]:
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


def _tail(part: tuple[Any, ...], start: int) -> tuple[Any, ...]:
    """A Dask task: copies of a part's rows from `start` on (they open the next chunk)."""
    return tuple(None if a is None else a[start:].copy() for a in part)


def _stitch(part: tuple[Any, ...], tail: tuple[Any, ...] | None, stop: int) -> tuple[Any, ...]:
    """A Dask task: a chunk, the part's rows up to `stop` with the previous part's tail
    written into the leading gap the part left for it. The gap is this task's alone
    (the tail task reads other rows), so it is written in place, and alike if the task
    is ever run again."""
    if tail is not None:
        for a, t in zip(part, tail):
            if a is not None:
                a[:len(t)] = t
    return tuple(None if a is None else a[:stop] for a in part)


# The Sources of the arrays `to_dask` made, by the names of their X and y (the last
# few), so that a pass over them can name the columns and files of what it refuses.
_BY_DASK_NAME: dict[tuple[str, str], Source] = {}
_KEEP_SOURCES = 64


def source_of(X: object, y: object) -> Source | None:
    """The Source whose `to_dask` made the Dask arrays X and y, or None."""
    x_name, y_name = getattr(X, "name", None), getattr(y, "name", None)
    if isinstance(x_name, str) and isinstance(y_name, str):
        return _BY_DASK_NAME.get((x_name, y_name))
    return None


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

    def __init__(self, fmt: str, paths: Sequence[str], reader: Any, offset: bool = False) -> None:
        self.format, self.paths, self._reader = fmt, tuple(paths), reader
        x, t, w = reader.labels
        self._width = len(x)  # X as read: the offset column last, when there is one
        self.offset = x[-1] if offset else None
        self.columns, self.target, self.weights = tuple(x[:-1] if offset else x), t, w
        self.n_rows = reader.n_rows
        self.dropped = None if reader.may_drop else 0

    def __repr__(self) -> str:
        where = _describe(self.paths, "")
        weights = "" if self.weights is None else f", weights={self.weights!r}"
        offset = "" if self.offset is None else f", offset={self.offset!r}"
        return (f"Source({self.format}: {where}, {self.n_rows:,} rows, {len(self.columns)} columns, "
                f"target={self.target!r}{weights}{offset})")

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        if self.offset is None:
            return self._pieces()
        k = len(self.columns)
        return ((piece[0][:, :k], *piece[1:]) for piece in self._pieces())

    def _glm_pieces(self) -> Iterator[tuple[Any, ...]]:
        """(X, y, w or None, offset or None) pieces."""
        k = len(self.columns)
        for piece in self._pieces():
            X, y, w = piece if len(piece) == 3 else (*piece, None)
            yield X[:, :k], y, w, (X[:, k] if self.offset is not None else None)

    def _pieces(self) -> Iterator[tuple[Any, ...]]:
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

    def to_dask(self, chunk_bytes: int = 64 << 20, block_rows: int = 4096) -> tuple[Any, ...]:
        """The rows as Dask arrays ``(X, y)``, or ``(X, y, w)`` with weights.

        float64, columns in one chunk, rows in chunks of known lengths. Each chunk is
        read by one task where it runs (the files must be reachable there under the
        same paths): the fewest whole row groups (Parquet) or runs of file chunks
        (about 65,536 rows) from its start that make `chunk_bytes` of float64 output
        or more; X, y and w of a chunk come from one read. The chunks' edges are then
        moved down to multiples of `block_rows` (gram_stats' blocks; the rows of less
        than a block that cross an edge are copied to the next chunk), so that the pass
        moves no other data between tasks.

        Parameters
        ----------
        chunk_bytes : int, default 64 MiB
            The least float64 output of a chunk, >= 1.
        block_rows : int, default 4096
            gram_stats' block_rows, >= 1.

        Returns
        -------
        tuple of dask.array.Array
            ``(X, y)`` or ``(X, y, w)``. With dropna=True, where the files' statistics
            do not show how many rows each chunk keeps (always, with NaN to drop),
            each chunk's length is counted first, by tasks that read the columns.

        Raises
        ------
        ValueError
            chunk_bytes or block_rows not a positive int; no rows left after dropping.

        Examples
        --------
        >>> import numpy as np, os, tempfile
        >>> from Quandrel import tall
        >>> folder = tempfile.mkdtemp()
        >>> for i in range(2):  # two shards of 5,000 rows
        ...     np.save(os.path.join(folder, f"s{i}.npy"), np.ones((5000, 3)))
        >>> X, y = tall.source(folder, [0, 1], 2).to_dask(chunk_bytes=1)
        >>> X.shape, X.chunks[0]
        ((10000, 2), (4096, 5904))
        """
        import dask
        import dask.array as da
        from dask.base import tokenize

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
        merged: list[tuple[int, int, int]] = []
        for (a, b), n in zip(parts, kept):
            if merged and merged[-1][2] < block_rows:
                merged[-1] = (merged[-1][0], b, merged[-1][2] + n)
            else:
                merged.append((a, b, n))
        starts = np.cumsum([0] + [n for _, _, n in merged]).tolist()
        edges = [s // block_rows * block_rows for s in starts[:-1]] + [starts[-1]]
        last = len(merged) - 1
        # Per chunk, from Dask's public collections: a task reads the part, another
        # copies its rows past the chunk's end (the next chunk's head), a third writes
        # the previous part's tail into the gap the read left and is the chunk; X, y and
        # w are its three arrays, joined along the rows (no copy: the chunks are theirs).
        token = tokenize(reader, weighted, merged, block_rows)

        def task(func: Callable[..., Any], what: str, i: int, *args: Any) -> Any:
            return dask.delayed(func, pure=True)(*args, dask_key_name=f"{what}-{self.format}-{token}-{i}")

        chunks, tail = [], None
        for i, (a, b, n) in enumerate(merged):
            gap, stop = starts[i] - edges[i], edges[i + 1] - edges[i]
            read = task(_read_part, "read", i, reader, units[a:b], gap, n, weighted)
            chunks.append((task(_stitch, "chunk", i, read, tail, stop), stop))
            tail = task(_tail, "tail", i, read, stop) if i < last else None
        arrays = tuple(
            da.concatenate([da.from_delayed(chunk[slot], (stop, k)[:2 - bool(slot)], dtype=np.float64,
                                            meta=np.empty((0, 0)[:2 - bool(slot)], dtype=np.float64))
                            for chunk, stop in chunks], axis=0)
            for slot in range(3 if weighted else 2))
        key = (arrays[0].name, arrays[1].name)
        _BY_DASK_NAME.pop(key, None)
        _BY_DASK_NAME[key] = self
        while len(_BY_DASK_NAME) > _KEEP_SOURCES:
            del _BY_DASK_NAME[next(iter(_BY_DASK_NAME))]
        if self.offset is None:
            return arrays
        X = arrays[0]
        return (X[:, :k - 1], *arrays[1:], X[:, k - 1])

    def _kept_rows(self, parts: Sequence[tuple[int, int]]) -> list[int]:
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


def source(path_or_paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
           columns: Sequence[str | int] | None, target: str | int, *,
           weights: str | int | None = None, offset: str | int | None = None,
           key: str | None = None, dropna: bool = False) -> Source:
    """The rows of a least-squares problem in files, for `gram_stats`.

    The files are looked at once (their footers, headers or metadata); nothing else is
    read until a pass. Integer, unsigned, floating and boolean columns (as 0 and 1) are
    converted to float64 piece by piece; strings, categoricals and other types are
    refused.

    Parameters
    ----------
    path_or_paths : path or list of paths
        Where the rows are; the format is told from the files. Parquet: a file, a list
        of files (read in the order given), or a folder, whose files are read in
        sorted name order (names starting with '_' or '.', such as Spark's _SUCCESS,
        are skipped); columns by name. Zarr (formats 2 and 3) or HDF5: a 2-D array
        (columns by index) or a group of 1-D arrays of one length (columns by name).
        .npy: a folder or list of 2-D .npy shards of one width (columns by index).
    columns : list of str or int, or None
        The columns of X, in order (names, or indices counted from 0, negative from
        the end). None takes every column of the first file but the target and the
        weights (and the index pandas stores beside a DataFrame's columns); a later
        Parquet file holding a column the first lacks is then refused.
    target : str or int
        The column of y.
    weights : str or int, optional
        The column of the sample weights.
    offset : str or int, optional
        The column of a GLM's offset (`glm_path`), or None. The pieces and `to_dask`
        leave it out of X; `to_dask` gives its Dask array last.
    key : str, optional
        The path of the array or group inside a Zarr or HDF5 container, needed only
        when it holds more than one.
    dropna : bool, default False
        Rows with a missing value (a null in Parquet) in a selected column are refused
        (ValueError naming the column and the row of the whole data, counted from 0);
        with True they are left out, and so are rows holding a NaN in a selected
        column (as pandas' dropna does), their count in `Source.dropped`. Without it a
        NaN is a value, which gram_stats refuses naming the column, the file and the
        first row.

    Returns
    -------
    Source
        The plan of the passes over the files.

    Raises
    ------
    TypeError, ValueError
        Naming the file and the column, for everything the footers, headers and
        metadata show: a missing column, a column that is not a number, nulls counted
        in Parquet statistics, shards of another width or cut short, empty or damaged
        files. Later, a reading error (a Parquet page that does not match its
        checksum, data that do not decode) names the file and the place.
    FileNotFoundError
        A path that does not exist.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, pyarrow as pa, pyarrow.parquet as pq
    >>> from Quandrel import tall
    >>> folder = tempfile.TemporaryDirectory()
    >>> rng = np.random.default_rng(0)
    >>> cols = {"carat": rng.uniform(0.2, 3, 5000), "depth": rng.normal(60, 2, 5000)}
    >>> cols["price"] = 4.0 * cols["carat"] + rng.standard_normal(5000)
    >>> path = os.path.join(folder.name, "part-0.parquet")
    >>> pq.write_table(pa.table(cols), path, row_group_size=1000, write_page_checksum=True)
    >>> src = tall.source(path, ["carat", "depth"], "price")
    >>> src  # doctest: +ELLIPSIS
    Source(parquet: ...part-0.parquet, 5,000 rows, 2 columns, target='price')
    >>> tall.ols(tall.gram_stats(src), fit_intercept=True).coef.round(1)
    array([4., 0.])
    >>> folder.cleanup()
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
    reader = open_reader(fmt, paths, key, lambda offered: offered.pick(columns, target, weights, offset),
                         bool(dropna), every=columns is None)
    if reader.n_rows == 0:
        raise ValueError(f"{reader.where}: no rows")
    return Source(fmt, paths, reader, offset is not None)


