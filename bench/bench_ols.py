"""ols_chol_solve against numpy.linalg.lstsq and scipy's normal-equations path."""

import numpy as np
import scipy.linalg

import timing
from Quandrel._ckernels.regression._regression import ols_chol_solve

SIZES = [(100, 5), (1000, 20), (10000, 200), (100000, 200), (20000, 500)]


def scipy_normal_equations(X, y):
    G = X.T @ X
    g = X.T @ y
    return scipy.linalg.cho_solve(scipy.linalg.cho_factor(G, lower=True), g)


def run(quick):
    rng = np.random.default_rng(0)
    rows = []
    for n, p in SIZES[:3] if quick else SIZES:
        X = rng.standard_normal((n, p))
        y = X @ rng.standard_normal(p) + rng.standard_normal(n)
        coef = ols_chol_solve(X, y)[0]
        assert np.allclose(coef, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-8, atol=1e-10)
        rows += timing.by_threads(
            f"({n}, {p})",
            lambda: ols_chol_solve(X, y),
            lambda: np.linalg.lstsq(X, y, rcond=None),
            lambda: scipy_normal_equations(X, y),
            rounds=5 if quick else 15,
        )
    timing.report("ols_chol_solve", rows, ["lstsq", "scipy X'X+cho"])
