"""The elastic-net functions of the module: argument checks, result shapes and
positions, the lasso special case, and agreement with scikit-learn's enet_path on
the diabetes data."""

import numpy as np
import pytest

from Quandrel._ckernels.regression._regression import (
    elastic_net_active_dof,
    elastic_net_gram_cd,
    elastic_net_gram_cd_path,
    lasso_gram_cd,
)


def problem(k, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((3 * k, k))
    y = X @ np.where(rng.random(k) < 0.5, rng.standard_normal(k), 0.0) + rng.standard_normal(3 * k)
    G = X.T @ X / len(X)
    return np.tril(G) + np.tril(G, -1).T, X.T @ y / len(X)


G5, g5 = problem(5)


def cd(G=G5, g=g5, beta0=np.zeros(5)):
    return elastic_net_gram_cd(G, g, 0.1, 0.1, beta0, 100, 1e-9)


def path(G=G5, g=g5):
    return elastic_net_gram_cd_path(G, g, np.array([1.0, 0.1]), 0.5, 100, 1e-9)


def dof(G=G5, beta=np.ones(5)):
    return elastic_net_active_dof(G, beta, 0.1, True, 0.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cd(G=np.zeros((5, 4))), "G has 5 rows and 4 columns, not a square matrix"),
        (lambda: path(G=np.eye(5, 6)), "G has 5 rows and 6 columns, not a square matrix"),
        (lambda: dof(G=np.ones((5, 3))), "G has 5 rows and 3 columns, not a square matrix"),
        (lambda: cd(g=np.zeros(4)), "g has 4 entries, fewer than the row count of G [(]5[)]"),
        (lambda: path(g=None), "g has 0 entries, fewer than the row count of G"),
        (lambda: cd(beta0=np.zeros(4)), "beta0 has 4 entries, fewer than the row count of G"),
        (lambda: cd(beta0=None), "beta0 has 0 entries"),
        (lambda: dof(beta=np.ones(4)), "beta has 4 entries, fewer than the row count of G"),
        (lambda: dof(beta=None), "beta has 0 entries"),
    ],
)
def test_refused_before_the_kernel_reads_past_a_buffer(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_empty_problem():
    coef, status = elastic_net_gram_cd(None, None, 0.1, 0.1, None, 100, 1e-6)
    assert coef.shape == (0,) and coef.dtype == np.float64 and status == 0
    coefs, statuses = elastic_net_gram_cd_path(G5, g5, np.zeros(0), 0.5, 100, 1e-9)
    assert coefs.shape == (0, 5) and statuses.shape == (0,) and statuses.dtype == np.int64
    assert elastic_net_active_dof(None, None, 0.1, True, 0.0) == 1.0


def test_rows_and_statuses_follow_grid_positions():
    up = elastic_net_gram_cd_path(G5, g5, np.array([0.01, 0.1, 1.0]), 0.5, 3, 1e-12)
    down = elastic_net_gram_cd_path(G5, g5, np.array([1.0, 0.1, 0.01]), 0.5, 3, 1e-12)
    assert np.array_equal(up[0], down[0][::-1]) and np.array_equal(up[1], down[1][::-1])
    assert -2 in up[1]  # 3 sweeps are not enough everywhere: stored, and the walk went on
    # Large penalties first: row 2 of the ascending grid is the first, cold, solve.
    assert np.array_equal(up[0][2], elastic_net_gram_cd(G5, g5, 0.5, 0.5, np.zeros(5), 3, 1e-12)[0])


@pytest.mark.parametrize("intercept, ic", [(True, 1.0), (2.5, 1.0), ([0], 1.0), (False, 0.0), (None, 0.0), ([], 0.0)])
def test_intercept_flag(intercept, ic):
    two = np.array([[2.0, 1.0], [1.0, 2.0]])
    assert elastic_net_active_dof(two, np.ones(2), 1.0, intercept, 0.0) == pytest.approx(ic + 1.25, rel=1e-15)
    assert elastic_net_active_dof(two, np.zeros(2), 1.0, intercept, 0.0) == ic


def lasso_sweep(G, g, alpha, max_iter, tol):
    """The lasso coordinate-descent sweep from zero, transcribed step by step."""
    k = len(G)
    G, g = G.tolist(), g.tolist()
    coef, Gcoef = [0.0] * k, [0.0] * k
    for _ in range(max_iter):
        max_delta = 0.0
        for j in range(k):
            Gjj = G[j][j]
            if Gjj <= 0.0:
                continue
            z = (g[j] - Gcoef[j]) + coef[j] * Gjj
            new = (z - alpha if z > alpha else z + alpha if z < -alpha else 0.0) / Gjj
            delta = new - coef[j]
            if abs(delta) > tol:
                for i in range(k):
                    Gcoef[i] = Gcoef[i] + delta * G[i][j]
                coef[j] = new
                max_delta = max(max_delta, abs(delta))
        if max_delta < tol:
            return np.array(coef), 0
    return np.array(coef), -2


LASSO_CASES = [(0.02, 500), (0.2, 500), (0.02, 3), (10.0, 1)]


def lasso_problem():
    G, g = problem(20, 5)
    G[3, 3] = 0.0  # a skipped coordinate
    return G, g


@pytest.mark.parametrize("alpha, max_iter", LASSO_CASES)
def test_without_ridge_term_is_the_lasso_sweep(alpha, max_iter):
    G, g = lasso_problem()
    coef, status = elastic_net_gram_cd(G, g, alpha, 0.0, np.zeros(20), max_iter, 1e-11)
    ref, ref_status = lasso_sweep(G, g, alpha, max_iter, 1e-11)
    assert status == ref_status
    assert np.array_equal(coef.view(np.uint64), ref.view(np.uint64))


@pytest.mark.parametrize("alpha, max_iter", LASSO_CASES)
def test_without_ridge_term_equals_lasso_gram_cd(alpha, max_iter):
    G, g = lasso_problem()
    lasso = lasso_gram_cd(G, g, alpha, max_iter, 1e-11)
    coef, status = elastic_net_gram_cd(G, g, alpha, 0.0, np.zeros(20), max_iter, 1e-11)
    assert status == lasso[1]
    assert np.array_equal(coef.view(np.uint64), lasso[0].view(np.uint64))


def test_diabetes_path_agrees_with_scikit_learn():
    from sklearn.datasets import load_diabetes
    from sklearn.linear_model import enet_path

    X, y = load_diabetes(return_X_y=True)
    n = len(X)
    G, g = X.T @ X / n, X.T @ y / n
    top = np.abs(g).max() / 0.5  # every coefficient is zero from here up
    grid = np.geomspace(top, top * 1e-3, 40)
    _, ref, _ = enet_path(X, y, l1_ratio=0.5, alphas=grid, precompute=True, tol=1e-12, max_iter=100_000)
    coefs, statuses = elastic_net_gram_cd_path(G, g, grid, 0.5, 100_000, 1e-10)
    assert (statuses == 0).all()
    assert np.abs(coefs[0]).max() == 0.0
    np.testing.assert_allclose(coefs, ref.T, rtol=0, atol=1e-8)
    # The ascending grid gives the same rows at the same positions.
    up = elastic_net_gram_cd_path(G, g, grid[::-1].copy(), 0.5, 100_000, 1e-10)[0]
    np.testing.assert_allclose(up[::-1], ref.T, rtol=0, atol=1e-8)
