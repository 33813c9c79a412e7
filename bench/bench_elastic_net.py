"""Elastic net: the warm-started path against scikit-learn, and the active-set
degrees of freedom against numpy.

Path: elastic_net_gram_cd_path over 100 penalties (l1_ratio 0.5, G = X'X/n,
g = X'y/n, no intercept) against scikit-learn's enet_path(..., precompute=True) and
against its Gram coordinate-descent routine called in a warm-started loop over the
same grid. The comparison is at equal achieved accuracy, not equal nominal
tolerance: scikit-learn stops on a duality gap (tol 1e-4, its default), ours on the
largest applied change. Our tol starts at a tenth of scikit-learn's, scaled by the
largest coefficient of the path, and is lowered tenfold until our largest error
against a tightly converged path is no larger than the smaller of scikit-learn's
two (enet_path and the loop); the errors are printed.

Degrees of freedom: elastic_net_active_dof against
1 + trace(solve(G_A + a I, G_A)) with numpy on OpenBLAS, G_A taken from G by the
same activity test.
"""

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import enet_path
from sklearn.linear_model._cd_fast import enet_coordinate_descent_gram

import timing
from Quandrel._ckernels.regression._regression import elastic_net_active_dof, elastic_net_gram_cd_path

L1_RATIO = 0.5
N_ALPHA = 100
SK_TOL = 1e-4
MAX_ITER = 10_000


def synthetic(k, seed):
    rng = np.random.default_rng(seed)
    n = 2 * k
    # Correlated columns (a shared factor), a sparse truth, unit noise.
    X = rng.standard_normal((n, k)) + 0.5 * rng.standard_normal((n, 1))
    beta = np.where(rng.random(k) < 0.1, rng.standard_normal(k) * 3.0, 0.0)
    return X, X @ beta + rng.standard_normal(n)


def problems():
    yield "diabetes", *load_diabetes(return_X_y=True)
    yield "k = 100", *synthetic(100, 1)
    yield "k = 500", *synthetic(500, 2)


def sk_loop(G, g, yq, grid, tol):
    """scikit-learn's Gram coordinate descent, warm-started along the grid."""
    rng = np.random.RandomState(0)
    w = np.zeros(len(g))
    out = np.empty((len(grid), len(g)))
    for i, a in enumerate(grid):
        w = enet_coordinate_descent_gram(w, a * L1_RATIO, a * (1.0 - L1_RATIO), G, g, yq, MAX_ITER, tol, rng)[0]
        out[i] = w
    return out


def bench_path(quick):
    rows, notes = [], []
    for name, X, y in problems():
        n = len(X)
        G, g = X.T @ X / n, X.T @ y / n
        top = np.abs(g).max() / L1_RATIO
        grid = np.geomspace(top, top * 1e-3, N_ALPHA)
        yq = y / np.sqrt(n)  # the response on the scale of G and g (for the gap)

        ref = elastic_net_gram_cd_path(G, g, grid, L1_RATIO, 1_000_000, 1e-13 * max(1.0, np.abs(g).max()))[0]
        sk = enet_path(X, y, l1_ratio=L1_RATIO, alphas=grid, precompute=True, tol=SK_TOL, max_iter=MAX_ITER)[1].T
        loop = sk_loop(G, g, yq, grid, SK_TOL)
        err_sk = min(np.abs(sk - ref).max(), np.abs(loop - ref).max())
        tol = 0.1 * SK_TOL * np.abs(ref).max()
        while True:
            ours, statuses = elastic_net_gram_cd_path(G, g, grid, L1_RATIO, MAX_ITER, tol)
            err = np.abs(ours - ref).max()
            if err <= err_sk or tol < 1e-14:
                break
            tol /= 10
        assert (statuses == 0).all()
        notes.append(f"{name}: tol {tol:.1e}, max error ours {err:.1e}, scikit-learn {err_sk:.1e}")

        rows += timing.by_threads(
            name,
            lambda: elastic_net_gram_cd_path(G, g, grid, L1_RATIO, MAX_ITER, tol),
            lambda: enet_path(X, y, l1_ratio=L1_RATIO, alphas=grid, precompute=True, tol=SK_TOL, max_iter=MAX_ITER),
            lambda: sk_loop(G, g, yq, grid, SK_TOL),
            rounds=3 if quick else 9,
        )
    timing.report(f"elastic_net_gram_cd_path, {N_ALPHA} penalties", rows, ["enet_path", "cd_gram loop"])
    for line in notes:
        print("   ", line)


def numpy_dof(G, beta, alpha_l2, atol):
    A = np.flatnonzero(np.abs(beta) > atol)
    GA = G[np.ix_(A, A)]
    return 1.0 + np.trace(np.linalg.solve(GA + alpha_l2 * np.eye(len(A)), GA))


def bench_dof(quick):
    rows = []
    rng = np.random.default_rng(3)
    for na in (20, 50, 110):
        k = 2 * na
        X = rng.standard_normal((3 * k, k))
        G = X.T @ X / len(X)
        beta = np.zeros(k)
        beta[rng.choice(k, na, replace=False)] = rng.standard_normal(na)
        ours = elastic_net_active_dof(G, beta, 0.3, True, 1e-12)
        assert abs(ours - numpy_dof(G, beta, 0.3, 1e-12)) < 1e-10 * na
        rows += timing.by_threads(
            f"na = {na}",
            lambda: elastic_net_active_dof(G, beta, 0.3, True, 1e-12),
            lambda: numpy_dof(G, beta, 0.3, 1e-12),
            rounds=5 if quick else 15,
        )
    timing.report("elastic_net_active_dof", rows, ["numpy solve"])


def run(quick):
    bench_path(quick)
    bench_dof(quick)
