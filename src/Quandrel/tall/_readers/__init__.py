"""The readers of files, one per format, over one base (`_base`): Parquet
(`parquet`, with pyarrow) and arrays (`arrays`: Zarr, HDF5 and .npy shards). A
format's library is imported by its reader, when a source of that format is made."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


def open_reader(fmt: str, paths: list[str], key: str | None, pick: Callable[[Any], Any],
                dropna: bool, every: bool = False) -> Any:
    """The reader of the files `paths` of format `fmt` ('parquet', 'zarr', 'hdf5' or
    'npy'): the columns chosen by `pick` (see `_base._Columns.pick`), `every` when
    they were not named (columns=None)."""
    if fmt == "parquet":
        from .parquet import ParquetReader

        return ParquetReader(fmt, paths, key, pick, dropna, every=every)
    from .arrays import ArrayReader

    return ArrayReader(fmt, paths, key, pick, dropna)
