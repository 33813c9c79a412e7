"""The library's main job on real data: least squares on scikit-learn's diabetes set.

Run with `tools/dev demo`.
"""

import time

import numpy as np
from sklearn.datasets import load_diabetes

from Quandrel._ckernels.regression._regression import ols_chol_solve


def best_of(fn, repeat=200):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    data = load_diabetes()
    X = np.column_stack([np.ones(len(data.target)), data.data])  # intercept column first
    y = data.target.astype(np.float64)
    names = ["intercept", *data.feature_names]
    n, p = X.shape
    print(f"diabetes: n = {n} observations, p = {p} coefficients (with intercept)\n")

    coef, L, status = ols_chol_solve(X, y)
    ref = np.linalg.lstsq(X, y, rcond=None)[0]
    print("OLS via the Cholesky normal equations (ols_chol_solve) beside numpy.linalg.lstsq")
    print(f"{'':>10} {'ols_chol_solve':>16} {'lstsq':>16} {'difference':>12}")
    for name, a, b in zip(names, coef, ref):
        print(f"{name:>10} {a:16.6f} {b:16.6f} {a - b:12.2e}")
    print(f"status {status}; factor L of X'X is {L.shape[0]} x {L.shape[1]}")
    t_ours = best_of(lambda: ols_chol_solve(X, y))
    t_ref = best_of(lambda: np.linalg.lstsq(X, y, rcond=None))
    print(f"time: {t_ours * 1e6:.1f} us against {t_ref * 1e6:.1f} us for lstsq")


if __name__ == "__main__":
    main()
