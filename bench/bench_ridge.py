"""ridge_grid_search and chol_solve_L2 against the loop a numpy user writes instead."""

import numpy as np

import timing
from Quandrel._ckernels.regression._regression import chol_solve_L2, ridge_grid_search

SIZES = [(500, 10), (10000, 100)]
ALPHAS = np.logspace(-4, 2, 100)


def penalty_matrix(p):
    D = np.eye(p)
    D[0, 0] = 0.0  # the intercept column is not penalised
    return D


def numpy_single(X, y, alpha):
    """One penalty: the solve of X'X/n + alpha D and the dof from a second solve."""
    n, p = X.shape
    G = X.T @ X / n
    A = G + alpha * penalty_matrix(p)
    return np.linalg.solve(A, X.T @ y / n), np.trace(np.linalg.solve(A, G))


def numpy_grid(X, y, alphas):
    """Every penalty: the solve, the dof, the residual sum of squares; keep the best AIC."""
    n, p = X.shape
    G = X.T @ X / n
    g = X.T @ y / n
    D = penalty_matrix(p)
    best = None
    for alpha in alphas:
        A = G + alpha * D
        coef = np.linalg.solve(A, g)
        dof = np.trace(np.linalg.solve(A, G))
        r = y - X @ coef
        aic = n * np.log((r @ r) / n) + 2.0 * dof
        if best is None or aic < best[2]:
            best = (alpha, coef, aic)
    return best


def run(quick):
    rng = np.random.default_rng(0)
    grid_rows, single_rows = [], []
    for n, p in SIZES:
        X = rng.standard_normal((n, p))
        X[:, 0] = 1.0
        y = X @ rng.standard_normal(p) + 3.0 * rng.standard_normal(n)
        alpha, coef, obj, status = ridge_grid_search(X, y, ALPHAS, 1, True)
        want = numpy_grid(X, y, ALPHAS)
        assert status == 0 and alpha == want[0] and np.allclose(coef, want[1], rtol=1e-8, atol=1e-12)
        assert np.isclose(obj, want[2], rtol=1e-10)
        coef, L, dof, status = chol_solve_L2(X, y, 1.0, True)
        want = numpy_single(X, y, 1.0)
        assert status == 0 and np.allclose(coef, want[0], rtol=1e-8) and np.isclose(dof, want[1])
        rounds = 5 if quick else 15
        grid_rows += timing.by_threads(
            f"({n}, {p})",
            lambda: ridge_grid_search(X, y, ALPHAS, 1, True),
            lambda: numpy_grid(X, y, ALPHAS),
            rounds=rounds,
        )
        single_rows += timing.by_threads(
            f"({n}, {p})",
            lambda: chol_solve_L2(X, y, 1.0, True),
            lambda: numpy_single(X, y, 1.0),
            rounds=rounds,
        )
    timing.report(f"ridge_grid_search, {len(ALPHAS)} penalties, AIC", grid_rows, ["numpy loop"])
    timing.report("chol_solve_L2, one penalty", single_rows, ["numpy"])
