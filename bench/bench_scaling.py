"""The parallel kernels at 2 threads against themselves at 1, the thread counts
alternated within every round (timing.scaling): ols_chol_solve (the Gram and X'y pass),
ridge_grid_search and chol_solve_L2 through the module, qdl_ndtri_as241_into through
its exported symbol. The native Gram and products are in the C++ harness's own
scaling table (--only native). Then the same calls at 2 threads right after a numpy
product that ran on OpenBLAS's threads, against the same calls alone (timing.after_blas)."""

import numpy as np

import timing
from bench_native import ndtri_into
from Quandrel._ckernels.regression._regression import (
    chol_solve_L2,
    ols_chol_solve,
    ridge_grid_search,
)


def run(quick):
    rounds = 5 if quick else 15
    rng = np.random.default_rng(0)
    calls = []
    for n, p in [(10000, 200)] if quick else [(10000, 200), (100000, 200), (20000, 500)]:
        X = rng.standard_normal((n, p))
        y = rng.standard_normal(n)
        calls.append((f"ols_chol_solve ({n}, {p})", lambda X=X, y=y: ols_chol_solve(X, y)))

    X = rng.standard_normal((10000, 100))
    X[:, 0] = 1.0
    y = rng.standard_normal(10000)
    alphas = np.logspace(-4, 2, 100)
    calls.append(("ridge_grid_search x100", lambda: ridge_grid_search(X, y, alphas, 1, True)))
    calls.append(("chol_solve_L2 (10000, 100)", lambda: chol_solve_L2(X, y, 0.1, True)))

    ndtri = ndtri_into()
    q = rng.random(2 * 10**6)
    out = np.empty_like(q)
    calls.append(("qdl_ndtri_as241_into 2e6", lambda: ndtri(q.ctypes.data, q.size, out.ctypes.data)))

    rows = [(label, timing.scaling(fn, rounds)) for label, fn in calls]
    timing.report_scaling("scaling: the same call at each thread count, alternated", rows)

    # OpenBLAS's idle workers keep spinning for a while after a call and share the
    # cores with ours.
    A = rng.standard_normal((400, 400))
    rows = [(label, timing.after_blas(fn, lambda: A @ A, rounds=rounds)) for label, fn in calls]
    timing.report_after_blas("2 threads right after a numpy product on OpenBLAS's threads", rows)
