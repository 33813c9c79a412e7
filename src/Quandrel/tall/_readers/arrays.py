"""Arrays in files: Zarr (formats 2 and 3) and HDF5 arrays or groups of 1-D arrays, and
folders of 2-D .npy shards, read in runs of whole chunks (see `_sources`).

A 2-D array (or shard) is read as blocks of its rows and its columns chosen by index;
a group as the chosen 1-D arrays, cut at the same rows. These formats have no missing
values but NaN, which dropna=True leaves out as pandas' dropna does.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ._base import _Batch, _Columns, _describe, _piece_step, _Unit, _unit_rows

__all__ = ["ArrayReader"]

_REAL = "biuf"  # booleans, integers, unsigned integers, floats


def _module(fmt: str) -> Any:
    name, what = {"zarr": ("zarr", "Zarr stores"), "hdf5": ("h5py", "HDF5 files")}[fmt]
    try:
        return __import__(name)
    except ImportError as exc:
        raise ImportError(f"reading {what} needs {name} (pip install {name})") from exc


def _check_dtype(dtype: np.dtype[Any], where: str) -> None:
    if dtype.kind not in _REAL or dtype.fields is not None:
        raise TypeError(f"{where} holds {dtype}, not real numbers")


# ---------------------------------------------------------------------------
# .npy shards.
# ---------------------------------------------------------------------------
def _npy_header(path: str) -> tuple[tuple[int, ...], bool, np.dtype[Any], int]:
    """(shape, fortran_order, dtype, offset of the data) of a .npy file."""
    fmt = np.lib.format
    try:
        with open(path, "rb") as f:
            version = fmt.read_magic(f)
            read = fmt.read_array_header_1_0 if version[0] == 1 else fmt.read_array_header_2_0
            shape, fortran, dtype = read(f)
            return shape, fortran, dtype, f.tell()
    except (ValueError, OSError, SyntaxError) as exc:
        raise ValueError(f"{path}: not a readable .npy file, truncated or damaged ({exc})") from None


def _read_exact(f: Any, out: npt.NDArray[Any], path: str, what: str) -> None:
    view = memoryview(out).cast("B")
    got = f.readinto(view)
    if got != len(view):
        raise ValueError(f"{path}: cut short while reading {what} (the file changed after source() read it)")


# ---------------------------------------------------------------------------
# Zarr and HDF5 containers.
# ---------------------------------------------------------------------------
class _Container:
    """Zarr or HDF5 through one interface: arrays, groups and their members."""

    def __init__(self, fmt: str, path: str) -> None:
        self.fmt, self.path = fmt, path
        self.lib = _module(fmt)
        try:
            if fmt == "zarr":
                self.root = self.lib.open(store=path, mode="r")
            else:
                self.root = self.lib.File(path, "r")
        except Exception as exc:  # each library has its own errors for damaged files
            raise ValueError(f"{path}: not a readable {'Zarr store' if fmt == 'zarr' else 'HDF5 file'}, "
                             f"truncated or damaged ({type(exc).__name__}: {exc})") from None

    def close(self) -> None:
        if self.fmt == "hdf5":
            self.root.close()

    def is_array(self, obj: object) -> bool:
        return isinstance(obj, self.lib.Array if self.fmt == "zarr" else self.lib.Dataset)

    def members(self, group: Any) -> list[tuple[str, Any]]:
        """[(name, object)] of a group, in name order."""
        return sorted(group.members() if self.fmt == "zarr" else group.items(), key=lambda m: m[0])

    def get(self, key: str) -> Any:
        obj = self.root
        if key:
            if self.is_array(obj):
                raise ValueError(f"key: {self.path} is one array, with no members to name")
            try:
                obj = self.root[key]
            except KeyError:
                raise ValueError(f"key: no array or group {key!r} in {self.path}") from None
        return obj

    @staticmethod
    def chunk_rows(array: Any) -> int:
        """Rows per stored piece along the first axis: a chunk, or a shard of chunks
        (Zarr 3); 0 for HDF5's contiguous datasets, stored in one piece."""
        chunks = getattr(array, "shards", None) or array.chunks
        return int(chunks[0]) if chunks else 0


def _locate(box: _Container, key: str | None) -> str:
    """The key of the 2-D array or group of 1-D arrays to read: `key`, or the one
    choice the container offers (itself, if it holds 1-D arrays at its top)."""
    if key is not None or box.is_array(box.root):
        return key or ""
    members = box.members(box.root)
    choices = [name for name, obj in members if not box.is_array(obj) or obj.ndim != 1]
    if any(box.is_array(obj) and obj.ndim == 1 for _, obj in members):
        choices.append("")
    if len(choices) == 1:
        return choices[0]
    shown = ", ".join(repr(c) if c else "its 1-D arrays" for c in choices) or "nothing"
    raise ValueError(f"{box.path} holds {shown}: name the array or group to read with key=")


class ArrayReader:
    """The plan of a pass over .npy shards, or over a Zarr or HDF5 array or group."""

    def __init__(self, fmt: str, paths: Sequence[str], key: str | None, pick: Callable[[Any], Any],
                 dropna: bool) -> None:
        self.fmt, self.paths, self.key = fmt, list(paths), key
        self.units: list[_Unit] = []
        self.read: Any = None  # the columns (or arrays) read, by index or name
        self.dtypes: list[np.dtype[Any]] = []  # of the arrays read: with dropna, floating ones may drop rows
        if fmt == "npy":
            self._plan_npy(pick)
        else:
            box = _Container(fmt, self.paths[0])
            try:
                self._plan_container(box, key, pick)
            finally:
                box.close()
        self.n_rows = sum(u.rows for u in self.units)
        self.may_drop = dropna and any(np.dtype(t).kind == "f" for t in self.dtypes)

    @property
    def layout(self) -> Literal["C", "F"]:
        """The rows' X with contiguous columns ("F") where the files hand columns (groups
        of 1-D arrays, column-major shards), with contiguous rows ("C") otherwise."""
        if self.fmt == "npy":
            return "F" if all(fortran for _, fortran, _, _ in self.shards) else "C"
        return "F" if self.group else "C"

    # -- planning -------------------------------------------------------------
    def _plan_npy(self, pick: Callable[[Any], Any]) -> None:
        self.where = _describe(self.paths, ".npy")
        self.shards = []
        width, row0 = None, 0
        for i, path in enumerate(self.paths):
            shape, fortran, dtype, offset = _npy_header(path)
            if len(shape) != 2:
                raise ValueError(f"{path}: a {len(shape)}-D array; shards must be 2-D")
            _check_dtype(dtype, path)
            if width is None:
                width = shape[1]
            elif shape[1] != width:
                raise ValueError(f"{path}: {shape[1]} columns, but {self.paths[0]} has {width}")
            size, need = os.path.getsize(path), offset + shape[0] * shape[1] * dtype.itemsize
            if size < need:
                raise ValueError(f"{path}: cut short: {size} bytes where its header needs {need}")
            self.shards.append((shape, fortran, dtype, offset))
            self.dtypes.append(dtype)
            for a, b in _unit_rows(shape[0], _piece_step(0)):
                self.units.append(_Unit(i, a, row0 + a, b - a, b - a))
            row0 += shape[0]
        self._pick_by_index(pick, width or 0)

    def _plan_container(self, box: _Container, key: str | None, pick: Callable[[Any], Any]) -> None:
        self.key = _locate(box, key)
        obj = box.get(self.key)
        self.where = f"{self.paths[0]}" + (f" [{self.key}]" if self.key else "")
        if box.is_array(obj):
            if obj.ndim != 2:
                raise ValueError(f"{self.where}: a {obj.ndim}-D array; give a 2-D array "
                                 "or a group of 1-D arrays")
            _check_dtype(obj.dtype, self.where)
            self.dtypes.append(obj.dtype)
            self.group = False
            self._pick_by_index(pick, obj.shape[1])
            n, step = obj.shape[0], _piece_step(box.chunk_rows(obj))
        else:
            names = [name for name, m in box.members(obj) if box.is_array(m) and m.ndim == 1]
            self.labels = pick(_Columns(self.where, names=names))
            self.group = True
            self.read = [*self.labels[0], *(c for c in self.labels[1:] if c is not None)]
            arrays = [obj[name] for name in self.read]
            n = arrays[0].shape[0]
            for name, a in zip(self.read, arrays):
                _check_dtype(a.dtype, f"{self.where}: column {name!r}")
                self.dtypes.append(a.dtype)
                if a.shape[0] != n:
                    raise ValueError(f"{self.where}: column {name!r} has {a.shape[0]} rows, "
                                     f"column {self.read[0]!r} {n}")
            step = _piece_step(max(box.chunk_rows(a) for a in arrays))
        self.units = [_Unit(0, a, a, b - a, b - a) for a, b in _unit_rows(n, step)]

    def _pick_by_index(self, pick: Callable[[Any], Any], width: int) -> None:
        self.labels = pick(_Columns(self.where, width=width))
        chosen = [*self.labels[0], *(c for c in self.labels[1:] if c is not None)]
        # Columns are read in increasing order (as HDF5 requires), then put in place.
        self.read = sorted(set(chosen))
        self.index = [self.read.index(c) for c in chosen]
        if self.read == list(range(width)):
            self.read = slice(None)

    # -- reading --------------------------------------------------------------
    def batches(self, units: Sequence[_Unit]) -> Iterator[_Batch]:
        """The rows of the units in order, one batch per unit (rows holding NaN left
        out with dropna)."""
        for batch in self._npy_batches(units) if self.fmt == "npy" else self._box_batches(units):
            if self.may_drop:
                batch.drop_nan()
            yield batch

    def place(self, unit: _Unit) -> str:
        """The file (or the array in its container) of a unit, in messages."""
        return self.paths[unit.file] if self.fmt == "npy" else self.where

    def _box_batches(self, units: Sequence[_Unit]) -> Iterator[_Batch]:
        box = _Container(self.fmt, self.paths[0])
        try:
            obj = box.get(self.key or "")
            arrays: list[Any] = [obj[name] for name in self.read] if self.group else []
            for u in units:
                rows = slice(u.loc, u.loc + u.rows)
                try:
                    if self.group:
                        batch = _Batch(u.rows, columns=[a[rows] for a in arrays])
                    else:
                        block = obj[rows] if isinstance(self.read, slice) else obj[rows, self.read]
                        batch = _Batch(u.rows, block=block, index=self.index)
                except Exception as exc:
                    raise ValueError(f"{self.where}: rows {u.loc} to {u.loc + u.rows - 1} could not "
                                     f"be read ({type(exc).__name__}: {exc})") from None
                yield batch
        finally:
            box.close()

    def _npy_batches(self, units: Sequence[_Unit]) -> Iterator[_Batch]:
        f: Any = None  # the open shard, and its index
        opened = None
        try:
            for u in units:
                path = self.paths[u.file]
                if u.file != opened:
                    if f is not None:
                        f.close()
                    # Closed on the next shard or at the end (finally below).
                    f, opened = open(path, "rb"), u.file  # noqa: SIM115
                shape, fortran, dtype, offset = self.shards[u.file]
                n, width = shape
                what = f"rows {u.loc} to {u.loc + u.rows - 1}"
                if not fortran:
                    block = np.empty((u.rows, width), dtype=dtype)
                    f.seek(offset + u.loc * width * dtype.itemsize)
                    _read_exact(f, block, path, what)
                    read = self.read if isinstance(self.read, list) else range(width)
                    yield _Batch(u.rows, block=block, index=[read[j] for j in self.index])
                    continue
                # Column-major shards: each column is a run of n values.
                read = self.read if isinstance(self.read, list) else range(width)
                columns = []
                for c in read:
                    col = np.empty(u.rows, dtype=dtype)
                    f.seek(offset + (c * n + u.loc) * dtype.itemsize)
                    _read_exact(f, col, path, what)
                    columns.append(col)
                yield _Batch(u.rows, columns=[columns[j] for j in self.index])
        finally:
            if f is not None:
                f.close()

    def kept_rows(self, units: Sequence[_Unit]) -> int | None:
        """Rows the units keep: all of them, unless NaN may drop some (then None)."""
        return None if self.may_drop else sum(u.rows for u in units)

    def count_kept(self, units: Sequence[_Unit]) -> int:
        """Rows the units keep, reading them when NaN may drop some."""
        if not self.may_drop:
            return sum(u.rows for u in units)
        return sum(batch.rows for batch in self.batches(units))
