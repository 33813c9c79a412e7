"""The statistics pass of tall.gram_stats against Dask's own X.T @ X and X.T @ y, on the
same two-worker LocalCluster (one thread each) and the same data held in the workers'
memory; and the peak memory each pass adds to a worker when the data are generated on
the workers during the pass (first, on fresh workers)."""

import importlib.util
import pathlib

import numpy as np

import timing
from Quandrel import tall

SIZES = {True: [(300_000, 50)], False: [(4_000_000, 50)]}
CHUNK = 16 * 4096  # rows per chunk: whole blocks of gram_stats' default 4096 rows


def example():
    """The example's worker memory probes (loaded by path, so shipped by value)."""
    path = pathlib.Path(__file__).resolve().parents[1] / "examples" / "tall_lasso.py"
    spec = importlib.util.spec_from_file_location("tall_lasso", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def added_memory(client, probes, fn):
    """Peak resident memory fn adds to each worker (bytes, the largest of them)."""
    client.run(probes.reset_peak_memory)
    before = client.run(probes.peak_memory)
    fn()
    after = client.run(probes.peak_memory)
    return max(after[w] - before[w] for w in after)


def run(quick):
    import dask
    import dask.array as da

    probes = example()
    rows = []
    memory = []
    with probes.local_cluster(2) as client:
        for n, k in SIZES[quick]:
            rng = da.random.default_rng(0)
            X = rng.standard_normal((n, k), chunks=(CHUNK, k))
            y = X[:, 0] + rng.standard_normal(n, chunks=CHUNK)

            def ours():
                return tall.gram_stats(X, y, timeout=600)

            def theirs():
                return dask.compute(X.T @ X, X.T @ y)

            size = f"({n}, {k})"
            # Twice over: a fresh worker's first pass also grows its allocator's pools
            # (whichever pass comes first looks larger); the second round is reported.
            for _ in range(2):
                added = (added_memory(client, probes, ours), added_memory(client, probes, theirs))
            memory.append((size, *added))
            X, y = client.persist([X, y])
            stats, (G, c) = ours(), theirs()
            assert np.allclose(stats.G, G, rtol=1e-12, atol=1e-9 * n)
            assert np.allclose(stats.c, c, rtol=1e-12, atol=1e-9 * n)
            rows.append((size, timing.compare(ours, theirs, rounds=3 if quick else 7)))
            del X, y
    timing.report("gram_stats on 2 workers, data in worker memory", rows, ["dask X.T@X, X.T@y"])
    print(f"   (target: ratio >= 0.80, i.e. at most 1.25x Dask's time, set when the pass formed X'X alone;"
          f" it now forms the centred Gram matrix of each block and its raw sums from it; chunks of {CHUNK} rows)")
    print(f"\n== peak memory a streamed pass adds to a worker (chunk {CHUNK * 50 * 8 / 2**20:.0f} MiB at 50 columns)")
    for size, a, b in memory:
        print(f"{size:>16}   gram_stats {a / 2**20:7.1f} MiB   dask {b / 2**20:7.1f} MiB")
