"""From a folder of Parquet files to a cross-validated lasso, and its predictions written
back to Parquet beside each row's key.

The folder (`--data`) holds the rows as a job upstream leaves them: a key column `id`,
the features `x0`, `x1`, ... and the target `y`, in several files (made here, from a
seed, when the folder holds none). On a local cluster of worker processes:

1. `tall.source` reads the files' footers; `LassoCV(cv=10).fit(source)` makes one pass
   over the rows on the workers for the statistics of ten folds (a row's fold is a
   hash of its number) and cross-validates the lasso path from them;
2. `score(source)` is a second pass, for the R^2 on all rows;
3. each worker reads one file at a time again and writes the file of the same name in
   `--out`: the key and the prediction, with page checksums. `predict(source)` gives
   the same predictions as a lazy Dask array, of which the first rows are compared.

    tools/dev shell python examples/lasso_cv_parquet.py [--rows N] [--cols K]
        [--workers W] [--data FOLDER] [--out FOLDER]

The work sits under ``if __name__ == "__main__":``: the cluster's worker processes are
fresh interpreters (started by spawn, distributed's default; CPython 3.14's own default
on Linux is forkserver, and neither forks), and each one imports this file as its main
module first; without the guard, each of them would start a cluster of its own in turn.
"""

import argparse
import logging
import pathlib
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from Quandrel import tall
from Quandrel.linear_model import LassoCV

ROWS_PER_FILE = 100_000


def write_rows(folder, rows, cols, seed=0):
    """The rows as Parquet files part-00000.parquet, ...: key `id`, features x0 .. and
    y = 2 + X coef + noise with one column in four of effect. Returns the coefficients."""
    rng = np.random.default_rng(seed)
    coef = np.where(np.arange(cols) % 4 == 0, rng.uniform(-3.0, 3.0, cols), 0.0)
    folder.mkdir(parents=True, exist_ok=True)
    for i, start in enumerate(range(0, rows, ROWS_PER_FILE)):
        n = min(ROWS_PER_FILE, rows - start)
        X = rng.standard_normal((n, cols)) * 2.0 + 1.0
        y = 2.0 + X @ coef + rng.standard_normal(n) * 3.0
        table = pa.table({"id": np.arange(start, start + n, dtype=np.int64),
                          **{f"x{j}": X[:, j] for j in range(cols)}, "y": y})
        pq.write_table(table, folder / f"part-{i:05d}.parquet", write_page_checksum=True)
    return coef


def write_predictions(model, features, source, target):
    """A task: the key and the prediction of every row of the file `source`, written to
    the file `target`. Returns the number of rows."""
    table = pq.read_table(source, columns=["id", *features])
    predicted = model.predict(table.select(features).to_pandas())
    pq.write_table(pa.table({"id": table["id"], "y_pred": predicted}), target,
                   write_page_checksum=True)
    return table.num_rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=1_000_000, help="rows to write when the folder is empty")
    ap.add_argument("--cols", type=int, default=20, help="feature columns to write")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    ap.add_argument("--data", default="out/lasso_rows", help="the folder of Parquet files")
    ap.add_argument("--out", default="out/lasso_predictions", help="the folder of the predictions")
    args = ap.parse_args(argv)

    data, out = pathlib.Path(args.data).resolve(), pathlib.Path(args.out).resolve()
    files = sorted(data.glob("*.parquet"))
    if not files:
        write_rows(data, args.rows, args.cols)
        files = sorted(data.glob("*.parquet"))
    names = pq.read_schema(files[0]).names
    features = [name for name in names if name not in ("id", "y")]

    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as client:
        source = tall.source(data, features, "y")
        t0 = time.perf_counter()
        model = LassoCV(cv=10).fit(source)
        t1 = time.perf_counter()
        print(f"{source.n_rows:,} rows of {len(features)} features from {len(files)} Parquet files; "
              f"LassoCV(cv=10) in {t1 - t0:.2f} s")
        print(f"alpha_ {model.alpha_:.4g} (the largest within one standard error: "
              f"{model.alpha_1se_:.4g}); {np.count_nonzero(model.coef_)} of {len(features)} "
              f"coefficients nonzero, intercept {model.intercept_:.4f}")
        print("coefficients: " + ", ".join(f"{name} {c:.4g}" for name, c in zip(features, model.coef_, strict=True)
                                           if c != 0.0))
        t0 = time.perf_counter()
        r2 = model.score(source)
        print(f"R^2 on all rows {r2:.4f} (one pass, {time.perf_counter() - t0:.2f} s)")

        out.mkdir(parents=True, exist_ok=True)
        for old in out.glob("*.parquet"):
            old.unlink()
        t0 = time.perf_counter()
        tasks = client.map(write_predictions, [model] * len(files), [features] * len(files),
                           [str(f) for f in files], [str(out / f.name) for f in files], pure=False)
        written = sum(client.gather(tasks))
        print(f"{written:,} predictions written to {out} beside their id in "
              f"{time.perf_counter() - t0:.2f} s")
        lazy = model.predict(source)  # a Dask array in the source's row chunks, not computed
        head = lazy[:5].compute()
    back = pq.read_table(out / files[0].name).slice(0, 5)
    print("first rows:", ", ".join(f"id {i} {p:.4f}" for i, p in zip(back["id"].to_pylist(),
                                                                       back["y_pred"].to_pylist(), strict=True)))
    print("the same as predict(source):", bool(np.allclose(head, back["y_pred"].to_numpy(),
                                                            rtol=1e-13, atol=0.0)))


if __name__ == "__main__":
    main()
