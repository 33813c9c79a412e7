"""Binomial lasso paths and their cross-validation by scans over the rows, against the
peers that fit in memory.

    tools/dev bench --only glm [--quick]

1. 10-fold cross-validation of a 100-penalty binomial lasso path with an intercept on
   (1,000,000 x 50) in memory (--quick: 20,000 rows), one thread everywhere:
   tall.glm_path(folds=10) against R glmnet's cv.glmnet (through Rscript where it is
   installed; timed inside R around the call) on the same fold ids and the same grid,
   converged as tightly as ours (thresh=1e-10 against our tol=1e-10), and
   scikit-learn's LogisticRegressionCV(penalty="l1", solver="saga") on the same folds
   and grid (C = 1 / (alpha n)), at its defaults (at 1,000,000 rows it takes an hour
   or more). Reported: times, ratios, scans and scans per penalty, and the agreement
   of the chosen penalties. Goals: not slower than cv.glmnet, >= 10x
   LogisticRegressionCV, <= 3 scans per penalty.
2. One scan on a cluster: (4,000,000 x 50) (--quick: 400,000) held in the memory of 2
   worker processes (one thread each); a fit at one penalty above alpha_max (the pass of
   the weighted statistics, gram_stats's, then the null model's scans), its time less
   that first pass (timed alone) per scan, against a full read of the same array,
   X.sum(). Goal: a scan at most 2x the read.
"""


import bench_tall_cv
import numpy as np
import timing
from bench_tall import example
from bench_tall_cv import median_time

from Quandrel import tall

SIZES = {True: (20_000, 50), False: (1_000_000, 50)}
CLUSTER_SIZES = {True: (400_000, 50), False: (4_000_000, 50)}
K, N_ALPHAS = 10, 100
CHUNK = 16 * 4096

# bench_tall_cv's program, fitting the binomial family converged as tightly as ours.
GLMNET = bench_tall_cv.GLMNET.replace(
    "standardize = FALSE)", 'family = "binomial", standardize = FALSE, thresh = 1e-10)')


def data(n, k, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, k)) * rng.uniform(0.5, 2.0, k) + rng.uniform(-1.0, 1.0, k)
    coef = np.where(np.arange(k) % 5 == 0, rng.uniform(-1.0, 1.0, k), 0.0)
    eta = X @ coef - X.mean(axis=0) @ coef - 0.5
    return X, (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(np.float64)


def cross_validation(quick):
    from sklearn.linear_model import LogisticRegressionCV
    from threadpoolctl import threadpool_limits

    n, k = SIZES[quick]
    X, y = data(n, k)
    ids = tall.fold_ids(0, n, K)
    splits = [(np.flatnonzero(ids != f), np.flatnonzero(ids == f)) for f in range(K)]
    with threadpool_limits(limits=1):
        t_path, path = median_time(lambda: tall.glm_path(X, y, n_alphas=N_ALPHAS), 3)
        t_ours, cv = median_time(lambda: tall.glm_path(X, y, n_alphas=N_ALPHAS, folds=ids), 1 if not quick else 3)
        grid = cv.alphas
        sk = LogisticRegressionCV(Cs=1.0 / (grid * n), cv=splits, penalty="l1", solver="saga")
        t_sk, model = median_time(lambda: sk.fit(X, y), 1)
    r = bench_tall_cv.glmnet(X, y, ids, grid, 1, GLMNET)
    per = path.n_passes / len(path.alphas)
    print(f"\n== binomial lasso, {N_ALPHAS}-penalty default grid with intercept, ({n}, {k}), one thread")
    print(f"   path alone: {timing.fmt_time(t_path)}, {path.n_passes} scans for {len(path.alphas)} "
          f"penalties (the grid ended early by the deviance rules): {per:.2f} scans per penalty (goal <= 3)")
    print(f"{'':>8} {'ours':>12} {'cv.glmnet':>12} {'ratio':>7} {'LogRegCV saga':>14} {'ratio':>7}")
    glm = f" {timing.fmt_time(r[0]):>12} {r[0] / t_ours:6.2f}x" if r else "  (R with glmnet not installed)"
    print(f"{'10-fold':>8} {timing.fmt_time(t_ours):>12}{glm} {timing.fmt_time(t_sk):>14} {t_sk / t_ours:6.2f}x")
    print(f"   ours: {cv.n_passes} scans, every fold's model in the same scans; ratios above 1: ours "
          "faster (goals: >= 1x cv.glmnet, >= 10x LogisticRegressionCV)")
    c_best = float(model.C_[0])
    print(f"   alpha_min: ours {cv.alpha_min:.6g}, LogisticRegressionCV {1.0 / (c_best * n):.6g} (by accuracy)"
          + (f", cv.glmnet {r[1]:.6g}; alpha_1se: ours {cv.alpha_1se:.6g}, cv.glmnet {r[2]:.6g}; "
             f"cv_mean from cv.glmnet's cvm {np.max(np.abs(r[3] - cv.cv_mean) / cv.cv_mean):.1e}" if r else ""))


def cluster_scan(quick):
    import dask.array as da

    n, k = CLUSTER_SIZES[quick]
    probes = example()
    with probes.local_cluster(2) as client:
        rng = da.random.default_rng(0)
        X = rng.standard_normal((n, k), chunks=(CHUNK, k))
        y = (X[:, 0] + rng.standard_normal(n, chunks=CHUNK) > 0).astype(np.float64)
        X, y = client.persist([X, y])
        top = tall.glm_path(X, y, n_alphas=1, timeout=600).alphas[0]

        def ours():
            return tall.glm_path(X, y, alphas=[2.0 * top], timeout=600)

        scans = ours().n_passes

        def plain():
            return tall.gram_stats(X, y, timeout=600)

        def read():
            return X.sum().compute()

        times = timing.compare(ours, plain, read, rounds=3 if quick else 5)
    timing.report(f"glm_path at one penalty, {scans} passes (the weighted statistics, then the null "
                  "model's scans), on 2 workers, against that first pass alone and a full read",
                  [(f"({n}, {k})", times)], ["gram_stats", "X.sum()"])
    scan = (times[0] - times[1]) / (scans - 1)
    print(f"   one GLM scan (the fit less its first pass, per scan) {scan / times[2]:.2f}x the read "
          f"(goal: at most 2x); the first pass, gram_stats's, {times[1] / times[2]:.2f}x")


def run(quick):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # LogisticRegressionCV's notices of change
        cross_validation(quick)
    cluster_scan(quick)
