"""Peak resident memory of a statistics pass over one large Parquet file, in this
process and on each worker of a two-worker LocalCluster (not run by bench/run.py:
it writes and reads --gib GiB, several minutes).

    tools/dev shell python bench/sources_memory.py [--gib 12] [--cols 50] [--dir DIR]

The file (cols + 1 float64 columns, row groups of 131,072 rows) is written row group by
row group into DIR (default: the system's temporary folder) and removed at the end.
The in-process pass runs in a fresh interpreter, which reports its peak resident memory
(VmHWM) after the imports and after the pass; the workers' peaks are reset before the
pass and read after it.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

ROW_GROUP = 1 << 17

IN_PROCESS = """
import sys, time
from Quandrel import tall
import pyarrow  # the reader's import, outside the measured pass
def hwm():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
src = tall.source(sys.argv[1], None, "y")
before = hwm()
t0 = time.perf_counter()
stats = tall.gram_stats(src)
print(before, hwm(), time.perf_counter() - t0, stats.n)
"""


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def write(path, rows, cols):
    import pyarrow as pa
    import pyarrow.parquet as pq

    names = [f"x{j}" for j in range(cols)] + ["y"]
    schema = pa.schema([(n, pa.float64()) for n in names])
    rng = np.random.default_rng(0)
    with pq.ParquetWriter(path, schema, write_page_checksum=True) as writer:
        for r in range(0, rows, ROW_GROUP):
            m = min(ROW_GROUP, rows - r)
            data = rng.standard_normal((cols + 1, m))  # one contiguous row per column
            writer.write_table(pa.table(dict(zip(names, data))), row_group_size=ROW_GROUP)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--gib", type=float, default=12.0, help="size of the float64 data")
    ap.add_argument("--cols", type=int, default=50)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    from Quandrel import tall

    rows = int(args.gib * 2**30 / (8 * (args.cols + 1)))
    folder = tempfile.mkdtemp(prefix="sources-memory-", dir=args.dir)
    path = os.path.join(folder, "big.parquet")
    try:
        t0 = time.perf_counter()
        write(path, rows, args.cols)
        size = os.path.getsize(path)
        print(f"wrote {rows:,} rows x {args.cols + 1} float64 columns: {size / 2**30:.2f} GiB on disk "
              f"({rows * 8 * (args.cols + 1) / 2**30:.2f} GiB of data), {time.perf_counter() - t0:.0f} s")
        out = subprocess.run([sys.executable, "-c", IN_PROCESS, path], capture_output=True, text=True,
                             check=True).stdout.split()
        before, after, seconds, n = int(out[0]), int(out[1]), float(out[2]), int(out[3])
        assert n == rows
        print(f"in this process: peak {after / 2**20:.0f} MiB ({before / 2**20:.0f} MiB after the "
              f"imports, so the pass adds {(after - before) / 2**20:.0f} MiB), {seconds:.0f} s")
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            src = tall.source(path, None, "y")
            X, y = src.to_dask()
            client.run(lambda: __import__("pyarrow.parquet"))
            client.run(reset_peak)
            base = client.run(peak)
            t0 = time.perf_counter()
            stats = tall.gram_stats(X, y)
            seconds = time.perf_counter() - t0
            peaks = client.run(peak)
            assert stats.n == rows
            print(f"2 workers, chunks of up to {max(X.chunks[0]):,} rows "
                  f"({max(X.chunks[0]) * 8 * (args.cols + 2) / 2**20:.0f} MiB): {seconds:.0f} s")
            for worker in sorted(peaks):
                print(f"  worker {worker}: peak {peaks[worker] / 2**20:.0f} MiB "
                      f"({base[worker] / 2**20:.0f} MiB before the pass)")
    finally:
        if os.path.exists(path):
            os.remove(path)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
