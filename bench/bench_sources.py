"""The statistics pass over a folder of Parquet files (tall.source(...).to_dask() into
tall.gram_stats) against a plain read of the same files, on the same two-worker
LocalCluster (one thread each): one task per row group that reads it with pyarrow and
sums each column. The files are written first, piece by piece, into a temporary folder
(removed at the end), as 8 files of row groups of 131,072 rows; the page cache holds
them for both sides after a first untimed pass."""

import os
import shutil
import tempfile

import numpy as np

import timing
from Quandrel import tall

SIZES = {True: (400_000, 50), False: (4_000_000, 50)}
FILES = 8
ROW_GROUP = 1 << 17


def write_folder(folder, n, k):
    """n rows of x0 .. x{k-1} standard normal and y, in FILES Parquet files."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    names = [f"x{j}" for j in range(k)] + ["y"]
    schema = pa.schema([(name, pa.float64()) for name in names])
    edges = np.linspace(0, n, FILES + 1).astype(int)
    rng = np.random.default_rng(0)
    for i, (a, b) in enumerate(zip(edges, edges[1:])):
        with pq.ParquetWriter(os.path.join(folder, f"part-{i:05d}.parquet"), schema,
                             write_page_checksum=True) as writer:
            # One row group generated and written at a time.
            for r in range(a, b, ROW_GROUP):
                m = min(ROW_GROUP, b - r)
                data = rng.standard_normal((k + 1, m))  # a contiguous row per column
                data[k] += np.linspace(-1.0, 1.0, k) @ data[:k]
                writer.write_table(pa.table(dict(zip(names, data))), row_group_size=ROW_GROUP)
    return names


def read_and_sum(path, group, names):
    """The baseline's task: one row group read with pyarrow, every column summed."""
    import pyarrow.parquet as pq

    pf = pq.ParquetFile(path)
    try:
        table = pf.read_row_group(group, columns=names)
    finally:
        pf.close()
    return sum(float(np.sum(c.to_numpy())) for c in table.columns)


def run(quick):
    import dask
    import pyarrow.parquet as pq
    from dask.distributed import Client, LocalCluster

    n, k = SIZES[quick]
    folder = tempfile.mkdtemp(prefix="bench-sources-")
    try:
        names = write_folder(folder, n, k)
        files = sorted(os.path.join(folder, f) for f in os.listdir(folder))
        groups = [(f, g) for f in files for g in range(pq.ParquetFile(f).num_row_groups)]
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster):
            src = tall.source(folder, names[:-1], "y")

            def ours():
                return tall.gram_stats(*src.to_dask(), timeout=600)

            def plain():
                return dask.compute(sum(dask.delayed(read_and_sum)(f, g, names) for f, g in groups))

            stats = ours()  # X standard normal: X'X / n is about the identity
            assert stats.n == n and np.abs(stats.G / n - np.eye(k)).max() < 10 / np.sqrt(n)
            size = f"({n}, {k})"
            times = timing.compare(ours, plain, rounds=3 if quick else 7)
            Xd, _ = src.to_dask()
        timing.report("gram_stats from a Parquet folder on 2 workers", [(size, times)],
                      ["read and sum"])
        print(f"   time / plain read: {times[0] / times[1]:.2f}x (target: at most 1.5x); "
              f"{len(groups)} row groups of {ROW_GROUP} rows in {FILES} files, "
              f"{len(Xd.chunks[0])} chunks of up to {max(Xd.chunks[0])} rows")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
