"""Cross-validation from the statistics of one pass, against the peers that refit.

    tools/dev bench --only tall_cv [--quick]

1. 10-fold cross-validation of a 100-penalty lasso path with an intercept on
   (1,000,000 x 50) in memory (--quick: 100,000 rows): tall.gram_stats(folds=10) then
   tall.cross_validate, against scikit-learn's LassoCV and R glmnet's cv.glmnet (run
   through Rscript where it is installed, the data passed in a binary file) on the
   same folds (fold_ids) and the same grid. Everything on one thread: OpenMP and
   OpenBLAS limited to one, LassoCV with n_jobs=None, glmnet single-threaded as it is;
   the peers at their default tolerances, ours at its own (tol=1e-10). cv.glmnet is
   timed inside R around the call (reading the file excluded), with
   standardize = FALSE to fit what we fit. Targets: >= 20x LassoCV, >= 5x cv.glmnet.
   Agreement: the chosen alphas and the largest difference of the per-fold errors.
2. The pass on a cluster: gram_stats with 10 folds and weights on a Dask array held in
   the memory of 2 worker processes (one thread each), against a plain full read of
   the same array, X.sum(), and, for scale, Dask's one Gram matrix X.T @ X. Target: at
   most 2x the read (ratio >= 0.5).
"""

import os
import shutil
import statistics
import subprocess
import tempfile
import time

import numpy as np

import timing
from bench_tall import example
from Quandrel import tall

SIZES = {True: (100_000, 50), False: (1_000_000, 50)}
K, N_ALPHAS = 10, 100
CHUNK = 16 * 4096

GLMNET = """
args <- commandArgs(TRUE)
con <- file(args[1], "rb")
dims <- readBin(con, "integer", 4)
n <- dims[1]; k <- dims[2]
X <- matrix(readBin(con, "double", n * k), n, k, byrow = TRUE)
y <- readBin(con, "double", n)
foldid <- readBin(con, "integer", n) + 1L
lambda <- readBin(con, "double", dims[3])
close(con)
suppressMessages(library(glmnet))
times <- numeric(dims[4])
for (r in seq_len(dims[4])) {
  times[r] <- system.time(
    fit <- cv.glmnet(X, y, foldid = foldid, lambda = lambda, standardize = FALSE)
  )[["elapsed"]]
}
out <- file(args[2], "wb")
writeBin(c(times, fit$lambda.min, fit$lambda.1se, fit$cvm), out)
close(out)
"""


def data(n, k, seed=0):
    """X with columns of different means and scales, a sparse truth and an intercept."""
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, k)) * rng.uniform(0.5, 2.0, k) + rng.uniform(-5.0, 5.0, k)
    coef = np.where(np.arange(k) % 5 == 0, rng.uniform(-2.0, 2.0, k), 0.0)
    return X, X @ coef + 1.0 + 2.0 * rng.standard_normal(n)


def median_time(fn, rounds):
    times, result = [], None
    for _ in range(rounds):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def glmnet(X, y, ids, grid, rounds, script=GLMNET):
    """cv.glmnet's median time (s), lambda.min, lambda.1se and cvm, or None without R
    (script: the R program, GLMNET or one that reads and writes as it does)."""
    if shutil.which("Rscript") is None or subprocess.run(
            ["Rscript", "-e", "library(glmnet)"], capture_output=True).returncode != 0:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "in.bin"), "wb") as f:
            np.array([*X.shape, grid.size, rounds], dtype=np.int32).tofile(f)
            X.tofile(f), y.tofile(f)
            ids.astype(np.int32).tofile(f)
            grid.tofile(f)
        with open(os.path.join(tmp, "cv.R"), "w") as f:
            f.write(script)
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        subprocess.run(["Rscript", os.path.join(tmp, "cv.R"), os.path.join(tmp, "in.bin"),
                        os.path.join(tmp, "out.bin")], check=True, env=env)
        out = np.fromfile(os.path.join(tmp, "out.bin"))
    return statistics.median(out[:rounds]), out[rounds], out[rounds + 1], out[rounds + 2:]


def cross_validation(quick):
    from sklearn.linear_model import LassoCV
    from threadpoolctl import threadpool_limits

    n, k = SIZES[quick]
    X, y = data(n, k)
    ids = tall.fold_ids(0, n, K)
    splits = [(np.flatnonzero(ids != f), np.flatnonzero(ids == f)) for f in range(K)]

    def ours():
        return tall.cross_validate(tall.gram_stats(X, y, folds=K), n_alphas=N_ALPHAS)

    with threadpool_limits(limits=1):
        t_ours, cv = median_time(ours, 3 if quick else 5)
        grid = cv.alphas[0]
        t_sk, model = median_time(lambda: LassoCV(alphas=grid, cv=splits).fit(X, y), 3 if quick else 1)
    r = glmnet(X, y, ids, grid, 3 if quick else 1)
    size = f"({n}, {k})"
    print(f"\n== 10-fold cross-validation of a {N_ALPHAS}-penalty lasso path with intercept, one thread")
    print(f"{'size':>16} {'ours':>12} {'LassoCV':>12} {'ratio':>7} {'cv.glmnet':>12} {'ratio':>7}")
    glm = f" {timing.fmt_time(r[0]):>12} {r[0] / t_ours:6.1f}x" if r else "  (R with glmnet not installed)"
    print(f"{size:>16} {timing.fmt_time(t_ours):>12} {timing.fmt_time(t_sk):>12} {t_sk / t_ours:6.1f}x{glm}")
    print("   (targets: >= 20x LassoCV, >= 5x cv.glmnet; ours = gram_stats(folds=10) + cross_validate)")
    sk_mse = model.mse_path_
    print(f"   alpha_min: ours {cv.alpha_min:.6g}, LassoCV {model.alpha_:.6g}"
          + (f", cv.glmnet {r[1]:.6g}; alpha_1se: ours {cv.alpha_1se:.6g}, cv.glmnet {r[2]:.6g}" if r else ""))
    print(f"   per-fold errors: largest relative difference from LassoCV's "
          f"{np.max(np.abs(sk_mse - cv.mse[0]) / cv.mse[0]):.1e}"
          + (f"; cv_mean from cv.glmnet's cvm {np.max(np.abs(r[3] - cv.cv_mean[0]) / cv.cv_mean[0]):.1e}" if r else ""))


def cluster_pass(quick):
    import dask.array as da

    n, k = SIZES[quick]
    probes = example()
    with probes.local_cluster(2) as client:
        rng = da.random.default_rng(0)
        X = rng.standard_normal((n, k), chunks=(CHUNK, k))
        y = X[:, 0] + rng.standard_normal(n, chunks=CHUNK)
        w = rng.uniform(0.5, 2.0, n, chunks=CHUNK)
        X, y, w = client.persist([X, y, w])

        def ours():
            return tall.gram_stats(X, y, weights=w, folds=K, timeout=600)

        def read():
            return X.sum().compute()

        def gram():
            return (X.T @ X).compute()

        times = timing.compare(ours, read, gram, rounds=3 if quick else 7)
        del X, y, w
    timing.report("gram_stats(folds=10, weights) on 2 workers against a full read, data in worker memory",
                  [(f"({n}, {k})", times)], ["X.sum()", "X.T @ X"])
    print(f"   (target: ratio >= 0.50 against the read, i.e. at most 2x its time; Dask's X.T @ X, "
          f"one Gram matrix, for scale; chunks of {CHUNK} rows)")


def run(quick):
    cross_validation(quick)
    cluster_pass(quick)
