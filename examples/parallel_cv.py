"""10-fold cross-validation of a ridge penalty grid, folds run in threads.

The kernels run without the interpreter lock, so threads calling them run on all
cores. Run with `tools/dev shell python examples/parallel_cv.py`: it prints the wall time
at 1, 2 and 4 Python threads, with the kernels' own threads at their default and limited
to one.
"""

import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from sklearn.datasets import load_diabetes

from Quandrel._ckernels.regression._regression import chol_solve_L2


def diabetes_scaled_up(rows=100_000, seed=0):
    """The diabetes rows repeated to `rows`, with noise, and an intercept column."""
    data = load_diabetes()
    rng = np.random.default_rng(seed)
    pick = rng.integers(0, len(data.target), rows)
    X = data.data[pick] + rng.normal(0.0, 0.01, (rows, data.data.shape[1]))
    y = data.target[pick] + rng.normal(0.0, 10.0, rows)
    return np.column_stack([np.ones(rows), X]), y


def fold_errors(X, y, test, alphas):
    """Validation mean squared error of each penalty, fitted on the other folds."""
    train = np.ones(len(y), dtype=bool)
    train[test] = False
    Xt, yt = X[train], y[train]  # fresh C-contiguous copies
    coefs = np.array([chol_solve_L2(Xt, yt, a, True)[0] for a in alphas])
    resid = y[test][:, None] - X[test] @ coefs.T
    return (resid**2).mean(axis=0)


def cross_validate(X, y, alphas, workers, folds=10):
    """Mean validation error per penalty over `folds` folds, `workers` threads."""
    parts = np.array_split(np.arange(len(y)), folds)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        errors = list(pool.map(lambda test: fold_errors(X, y, test, alphas), parts))
    return np.mean(errors, axis=0)


def timed(X, y, alphas, workers, repeats=3):
    """Median wall time of a threaded cross-validation, and its result."""
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        cv = cross_validate(X, y, alphas, workers)
        times.append(time.perf_counter() - t0)
    return sorted(times)[len(times) // 2], cv


def main():
    from threadpoolctl import threadpool_limits

    X, y = diabetes_scaled_up()
    alphas = np.geomspace(1e-6, 1.0, 100)
    print("Python threads   kernel threads: default   limited to 1")
    base = None
    for workers in (1, 2, 4):
        t_default, cv = timed(X, y, alphas, workers)
        with threadpool_limits(1):
            t_one, cv_one = timed(X, y, alphas, workers)
        assert np.array_equal(cv, cv_one)  # the thread count never changes a bit
        base = base or t_default
        print(f"{workers:>14}   {t_default:>14.2f} s ({base / t_default:.2f}x)"
              f"   {t_one:>8.2f} s ({base / t_one:.2f}x)")
    print(f"best alpha {alphas[cv.argmin()]:.2e}")


if __name__ == "__main__":
    main()
