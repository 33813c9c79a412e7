"""The estimators of Quandrel.linear_model against scikit-learn's of the same name.

    tools/dev bench --only estimators [--quick]

Everything on one thread (OpenMP and OpenBLAS limited to one; scikit-learn's CV with
n_jobs=None), medians of alternate runs in one process, the ratio scikit-learn / ours
(above 1: ours faster), beside the goal:

1. LinearRegression.fit (200,000 x 100): at most half scikit-learn's time (ratio >= 2).
2. Lasso.fit (200,000 x 100) at alpha = alpha_max / 20, scikit-learn at its default
   tol: ratio >= 3, at a duality gap of ours no larger than scikit-learn's (both
   printed, relative to |y - mean(y)|^2 as scikit-learn's tol is; ours is refitted at
   tighter tols until it is, and timed there). On independent columns (a few
   sweeps of coordinate descent reach the gap) and on columns of pairwise
   correlation 0.5 (glmnet's timings' design: more sweeps). Ours is about the one
   pass over the rows, whatever the sweeps (they run on the 100 x 100 statistics).
3. LassoCV(cv=5) (200,000 x 50), 100 penalties: ratio >= 20.
4. ElasticNetCV(l1_ratio=[.1, .5, .9, 1], cv=5) on the same rows: ratio >= 20.
5. predict (1,000,000 x 100) against numpy's X @ coef + b: at most 1.2 times its time
   (ratio >= 0.83).
6. fit on (100 x 5), where the checks of the input are most of the time: no slower
   (ratio >= 1).

--quick: a tenth of the rows, fewer rounds (a smoke run; the goals are for the full sizes).
"""

import statistics
import time

import numpy as np
import sklearn.linear_model as sk
import timing
from bench_tall_cv import data  # columns of unlike means and scales, a sparse truth

import Quandrel.linear_model as ql

L1_RATIOS = [0.1, 0.5, 0.9, 1.0]


def median_times(fns, rounds):
    """Median seconds of one call of each of fns, called alternately `rounds` times."""
    samples = [[] for _ in fns]
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            samples[k].append(time.perf_counter() - t0)
    return [statistics.median(s) for s in samples]


def duality_gap(X, y, coef, alpha):
    """The lasso's duality gap with an unpenalised intercept, relative to
    |y - mean(y)|^2: scikit-learn's dual point and scaling (its tol bounds this)."""
    Xc, yc = X - X.mean(axis=0), y - y.mean()
    n = len(y)
    r = yc - Xc @ coef
    dual_norm = np.abs(Xc.T @ r).max()
    r2 = r @ r
    a = alpha * n
    const = min(1.0, a / dual_norm) if dual_norm > 0 else 1.0
    gap = 0.5 * r2 * (1.0 + const**2) + a * np.abs(coef).sum() - const * (r @ yc)
    return gap / (yc @ yc)


def correlated(n, k, rho, seed=0):
    """Columns of equal pairwise correlation rho (a common factor, as in the timings of
    Friedman, Hastie and Tibshirani, "Regularization paths for generalized linear
    models via coordinate descent", J. Stat. Softw. 33, 2010), coefficients
    (-1)^j exp(-2 j / 20) on one column in five, noise for a signal-to-noise ratio of 3."""
    rng = np.random.default_rng(seed)
    X = np.sqrt(1.0 - rho) * rng.standard_normal((n, k)) + np.sqrt(rho) * rng.standard_normal((n, 1))
    j = np.arange(k)
    coef = np.where(j % 5 == 0, (-1.0) ** j * np.exp(-2.0 * j / 20.0), 0.0)
    signal = X @ coef
    return X, signal + 1.0 + rng.standard_normal(n) * signal.std() / 3.0


def lasso_row(X, y, rounds):
    """(times, gaps): Lasso at alpha_max / 20, ours at the tol whose gap is no larger
    than scikit-learn's."""
    Xc, yc = X - X.mean(axis=0), y - y.mean()
    alpha = np.abs(Xc.T @ yc).max() / len(y) / 20
    theirs = sk.Lasso(alpha=alpha).fit(X, y)
    target = duality_gap(X, y, theirs.coef_, alpha)
    for tol in (1e-4, 1e-5, 1e-6, 1e-7, 1e-8):
        ours = ql.Lasso(alpha=alpha, tol=tol).fit(X, y)
        gap = duality_gap(X, y, ours.coef_, alpha)
        if gap <= target:
            break
    times = median_times([lambda: ql.Lasso(alpha=alpha, tol=tol).fit(X, y),
                          lambda: sk.Lasso(alpha=alpha).fit(X, y)], rounds)
    print(f"   Lasso alpha {alpha:.4g}, {theirs.n_iter_} sweeps of scikit-learn's: duality gap "
          f"ours {gap:.2e} (tol {tol:g}), "
          f"scikit-learn's {target:.2e}; {np.count_nonzero(ours.coef_)} nonzero of "
          f"{X.shape[1]}, coefficients within {np.abs(ours.coef_ - theirs.coef_).max():.1e}")
    return times


def cv_rows(X, y, rounds):
    """LassoCV and ElasticNetCV, ours and scikit-learn's, and what each chose."""
    rows = []
    for label, ours, theirs in [
            ("LassoCV", lambda: ql.LassoCV(cv=5).fit(X, y), lambda: sk.LassoCV(cv=5).fit(X, y)),
            ("ElasticNetCV", lambda: ql.ElasticNetCV(l1_ratio=L1_RATIOS, cv=5).fit(X, y),
             lambda: sk.ElasticNetCV(l1_ratio=L1_RATIOS, cv=5).fit(X, y))]:
        a, b = ours(), theirs()
        print(f"   {label}: alpha_ ours {a.alpha_:.4g}, scikit-learn's {b.alpha_:.4g} (its folds "
              f"are contiguous, ours hashed); l1_ratio_ {getattr(a, 'l1_ratio_', 1.0)}, "
              f"{getattr(b, 'l1_ratio_', 1.0)}")
        # scikit-learn's CV takes seconds: one run each was made above, `rounds` here.
        rows.append((f"{label} {X.shape[0]:,}x{X.shape[1]}", median_times([ours, theirs], rounds)))
    return rows


def predict_row(n, k, rounds):
    X, y = data(n, k, seed=2)
    model = ql.LinearRegression().fit(X[:10_000], y[:10_000])
    coef, b = model.coef_.copy(), model.intercept_
    np.testing.assert_allclose(model.predict(X), X @ coef + b, rtol=1e-12, atol=1e-9)
    return timing.compare(lambda: model.predict(X), lambda: X @ coef + b, rounds=rounds)


def run(quick):
    from threadpoolctl import threadpool_limits

    scale = 10 if quick else 1
    rounds, cv_rounds = (3, 1) if quick else (7, 3)
    rows = []
    with threadpool_limits(limits=1):
        print("\n== estimators, one thread: fit and predict (ratio: scikit-learn / ours)")
        X, y = data(200_000 // scale, 100)
        rows.append((f"OLS fit {len(y):,}x100", timing.compare(
            lambda: ql.LinearRegression().fit(X, y), lambda: sk.LinearRegression().fit(X, y),
            rounds=rounds)))
        rows.append((f"Lasso fit {len(y):,}x100", lasso_row(X, y, rounds)))
        rows.append((f"Lasso rho=.5 {len(y):,}x100", lasso_row(*correlated(len(y), 100, 0.5), rounds)))
        rows += cv_rows(*data(200_000 // scale, 50, seed=1), cv_rounds)
        rows.append((f"predict {1_000_000 // scale:,}x100", predict_row(1_000_000 // scale, 100, rounds)))
        Xs, ys = data(100, 5, seed=3)
        for label, ours, theirs in [
                ("OLS fit 100x5", ql.LinearRegression, sk.LinearRegression),
                ("Lasso fit 100x5", lambda: ql.Lasso(alpha=0.1), lambda: sk.Lasso(alpha=0.1))]:
            rows.append((label, timing.compare(lambda ours=ours: ours().fit(Xs, ys),
                                               lambda theirs=theirs: theirs().fit(Xs, ys),
                                               rounds=15 // (1 + quick))))
    goals = [2.0, 3.0, 3.0, 20.0, 20.0, 1 / 1.2, 1.0, 1.0]
    timing.report("estimators (one thread; the baseline: scikit-learn, numpy for predict)", rows,
                  ["baseline"])
    print("\n   goal (ratio at least): " + ", ".join(
        f"{label.split(' ')[0]} {g:.2f}{'' if times[1] / times[0] >= g else ' MISSED'}"
        for (label, times), g in zip(rows, goals, strict=True)))
