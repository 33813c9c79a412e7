"""The lasso functions against scikit-learn and numpy on the same Gram matrices.

- lars_lasso_gram against sklearn's lars_path_gram(..., method="lasso");
- lars_lasso_gram_update (the path with an updated Cholesky factor, from _routines)
  against lars_path_gram and lars_lasso_gram at k = 300 to 2000, one thread, and the
  crossover k from which it is faster than lars_lasso_gram;
- lasso_gram_cd against sklearn's enet_coordinate_descent_gram (the solver behind
  Lasso(precompute=G)), compared at equal achieved accuracy: sklearn stops on a
  duality gap, lasso_gram_cd on the largest applied coefficient change, so each is
  given the tolerance that reaches a target error against a tightly converged
  solution, and the errors reached are printed with the table;
- lasso_path_eval of 1000 penalties on a 200-knot, k = 200 path against numpy.interp
  column by column.
"""

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import _cd_fast, lars_path_gram
from sklearn.utils import check_random_state

import timing
from Quandrel._ckernels.regression._regression import lars_lasso_gram, lasso_gram_cd, lasso_path_eval
from Quandrel._ckernels.regression._routines import lars_lasso_gram_update


def problems(sizes):
    """(label, X, y) for the diabetes data and for correlated synthetic designs."""
    X, y = load_diabetes(return_X_y=True)
    yield "diabetes 442x10", X, y - y.mean()
    rng = np.random.default_rng(0)
    for k in sizes:
        n = 2 * k
        Z = rng.standard_normal((n, k))
        X = Z + 0.5 * rng.standard_normal((n, 1))  # a shared factor correlates the columns
        X -= X.mean(axis=0)
        beta = rng.standard_normal(k) * (rng.random(k) < 0.3)
        y = X @ beta + rng.standard_normal(n)
        yield f"{n}x{k}", X, y - y.mean()


def bench_lars(quick):
    rows = []
    for label, X, y in problems([50, 200]):
        n, k = X.shape
        G, c = X.T @ X, X.T @ y
        max_iter = 20 * k
        lam, beta, status = lars_lasso_gram(G, c, max_iter, 1e-10)
        sk_alphas, _, sk_coefs = lars_path_gram(c, G, n_samples=n, method="lasso", max_iter=max_iter)
        assert status == 0
        assert np.allclose(beta[-1], sk_coefs[:, -1], rtol=1e-6, atol=1e-8 * np.abs(beta[-1]).max())
        rows += timing.by_threads(
            f"{label} ({len(lam)}/{len(sk_alphas)} knots)",
            lambda: lars_lasso_gram(G, c, max_iter, 1e-10),
            lambda: lars_path_gram(c, G, n_samples=n, method="lasso", max_iter=max_iter),
            rounds=3 if quick else 11,
        )
    timing.report("lars_lasso_gram (knots ours/sklearn)", rows, ["sklearn lars"])


def lars_runner(path):
    """path(G, c, max_iter) -> a call of the LARS path `path` on them."""
    return lambda G, c, max_iter: lambda: path(G, c, max_iter, 1e-10)


def bench_lars_update(quick):
    """One thread: the updating path against sklearn and the eliminating path at large k
    (the eliminating one, O(k^4) a path, is not timed at k = 2000: minutes a call), then
    the crossover."""
    from threadpoolctl import threadpool_limits

    updated, eliminated = lars_runner(lars_lasso_gram_update), lars_runner(lars_lasso_gram)
    rows, goals = [], {500: 0.7, 800: 0.5, 2000: 0.5}
    sizes = [300, 500] if quick else [300, 500, 800, 2000]
    with threadpool_limits(limits=1):
        for (label, X, y), k in zip(problems(sizes), [None, *sizes], strict=True):
            if k is None:
                continue  # the diabetes data: too small to matter here
            n = len(y)
            G, c = X.T @ X, X.T @ y
            max_iter = 20 * k
            ours, elim = updated(G, c, max_iter), eliminated(G, c, max_iter)
            lam, beta, status = ours()
            _, _, sk_coefs = lars_path_gram(c, G, n_samples=n, method="lasso", max_iter=max_iter)
            assert status == 0
            assert np.allclose(beta[-1], sk_coefs[:, -1], rtol=1e-6, atol=1e-8 * np.abs(beta[-1]).max())
            baselines = [lambda G=G, c=c, n=n, m=max_iter: lars_path_gram(c, G, n_samples=n, method="lasso",
                                                                          max_iter=m)]
            if k < 2000:
                baselines.append(elim)
            rounds = 3 if quick or k >= 800 else 7
            times = timing.compare(ours, *baselines, rounds=rounds, target=0.0, settle=0.0)
            rows.append((f"{label} ({len(lam)} knots)", times + [float("nan")] * (3 - len(times))))
    timing.report("lars_lasso_gram_update, one thread", rows, ["sklearn lars", "elimination"])
    for (_, times), k in zip(rows, sizes, strict=True):
        goal = f" (goal <= {goals[k]}x)" if k in goals else ""
        print(f"    k = {k}: ours / sklearn {times[0] / times[1]:.3f}{goal}, "
              f"ours / elimination {times[0] / times[2]:.3f}")
    bench_lars_crossover(quick, updated, eliminated)


def bench_lars_crossover(quick, updated, eliminated):
    """The smallest k of a scan from which the updating path is faster than the
    eliminating one at every larger k of the scan (one thread, medians)."""
    from threadpoolctl import threadpool_limits

    sizes = [4, 8, 16, 32] if quick else [3, 4, 6, 8, 12, 16, 24, 32, 48, 64]
    rows = []
    with threadpool_limits(limits=1):
        for (label, X, y), k in zip(problems(sizes), [None, *sizes], strict=True):
            if k is None:
                continue
            G, c = X.T @ X, X.T @ y
            times = timing.compare(updated(G, c, 20 * k), eliminated(G, c, 20 * k), rounds=5 if quick else 31)
            rows.append((label, times))
    timing.report("crossover: updating against eliminating LARS path, one thread", rows, ["elimination"])
    faster = [times[0] < times[1] for _, times in rows]
    from_k = next((k for i, k in enumerate(sizes) if all(faster[i:])), None)
    print(f"    the updating path is faster from k = {from_k} on (of {sizes})")


def sk_cd(G, g, y, alpha, tol, max_iter=100000):
    rng = check_random_state(0)
    return _cd_fast.enet_coordinate_descent_gram(np.zeros(len(g)), alpha, 0.0, G, g, y, max_iter, tol, rng, 0, 0, 1)[0]


def tuned_tolerance(solve, exact, target, start):
    """The largest of start, start/10, ... whose solution is within target of exact."""
    tol = start
    while np.abs(solve(tol) - exact).max() > target and tol > 1e-30:
        tol /= 10
    return tol


def bench_cd(quick):
    rows, notes = [], []
    for label, X, y in problems([100, 500]):
        G, g = X.T @ X, X.T @ y
        alpha = 0.05 * np.abs(g).max()
        exact, status = lasso_gram_cd(G, g, alpha, 10**6, 1e-15 * np.abs(g).max())
        assert status == 0
        target = 1e-6 * np.abs(exact).max()  # the accuracy both are asked to reach
        sk_tol = tuned_tolerance(lambda t: sk_cd(G, g, y, alpha, t), exact, target, 1e-4)
        our_tol = tuned_tolerance(lambda t: lasso_gram_cd(G, g, alpha, 10**6, t)[0], exact, target,
                                  0.1 * 1e-4 * np.abs(exact).max())
        err_ours = np.abs(lasso_gram_cd(G, g, alpha, 10**6, our_tol)[0] - exact).max() / np.abs(exact).max()
        err_sk = np.abs(sk_cd(G, g, y, alpha, sk_tol) - exact).max() / np.abs(exact).max()
        rows += timing.by_threads(
            label,
            lambda: lasso_gram_cd(G, g, alpha, 10**6, our_tol),
            lambda: sk_cd(G, g, y, alpha, sk_tol),
            rounds=3 if quick else 11,
        )
        notes.append(f"{label}: nnz {np.count_nonzero(exact)}/{len(g)}; tol ours {our_tol:.1e} "
                     f"(err {err_ours:.1e}), sklearn {sk_tol:.0e} (err {err_sk:.1e}), relative to max |coef|")
    timing.report("lasso_gram_cd at equal achieved accuracy", rows, ["sklearn cd gram"])
    for line in notes:
        print("   ", line)


def bench_path_eval(quick):
    rng = np.random.default_rng(1)
    n_knots, k, n_grid = 200, 200, 1000
    lam = np.sort(rng.uniform(0, 10, n_knots))[::-1].copy()
    lam[-1] = 0.0
    beta = np.cumsum(rng.standard_normal((n_knots, k)), axis=0)
    beta[0] = 0.0
    grid = rng.uniform(-1, 11, n_grid)
    lam_up, beta_up = lam[::-1].copy(), beta[::-1].copy()

    def numpy_interp():
        return np.column_stack([np.interp(grid, lam_up, beta_up[:, j], right=0.0) for j in range(k)])

    assert np.allclose(lasso_path_eval(lam, beta, grid), numpy_interp(), rtol=1e-12, atol=1e-12)
    rows = timing.by_threads(f"{n_grid} on {n_knots}x{k}", lambda: lasso_path_eval(lam, beta, grid),
                             numpy_interp, rounds=3 if quick else 15)
    timing.report("lasso_path_eval", rows, ["np.interp/col"])


def run(quick):
    bench_lars(quick)
    bench_lars_update(quick)
    bench_cd(quick)
    bench_path_eval(quick)
