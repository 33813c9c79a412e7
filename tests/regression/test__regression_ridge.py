"""chol_solve_L2 and ridge_grid_search: results, shapes and types, argument
conversion and its messages, and the refusal of a response shorter than X."""

import math

import numpy as np
import pytest

from Quandrel._ckernels.regression._regression import chol_solve_L2, ridge_grid_search
from native import bits


def problem(n=40, p=5, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    X[:, 0] = 1.0
    return X, X @ rng.standard_normal(p) + 0.1 * rng.standard_normal(n)


def numpy_ridge(X, y, alpha, intercept):
    n, p = X.shape
    G = X.T @ X / n
    D = np.eye(p)
    D[0, 0] = 0.0 if intercept else 1.0
    A = G + alpha * D
    return np.linalg.solve(A, X.T @ y / n), np.trace(np.linalg.solve(A, G)), A


@pytest.mark.parametrize("alpha, intercept", [(0.0, True), (0.7, True), (0.7, False)])
def test_l2_result(alpha, intercept):
    X, y = problem()
    coef, L, dof, status = chol_solve_L2(X, y, alpha, intercept)
    want_coef, want_dof, A = numpy_ridge(X, y, alpha, intercept)
    assert (type(dof), type(status), status) == (float, int, 0)
    assert coef.dtype == L.dtype == np.float64 and coef.shape == (5,) and L.shape == (5, 5)
    np.testing.assert_allclose(coef, want_coef, rtol=1e-10)
    np.testing.assert_allclose(L @ L.T, A, rtol=1e-12, atol=1e-14)
    assert not np.triu(L, 1).any() and dof == pytest.approx(want_dof, rel=1e-12)
    if alpha == 0.0:
        assert dof == pytest.approx(5.0, rel=1e-13)


def test_l2_failure_returns_an_empty_factor():
    X, y = problem()
    X[:, 2] = X[:, 1]
    coef, L, dof, status = chol_solve_L2(X, y, 0.0, True)
    assert status == -1 and L.shape == (0, 0) and L.dtype == np.float64
    assert coef.shape == (5,) and np.isnan(coef).all() and math.isnan(dof)
    coef, L, dof, status = chol_solve_L2(X, y, 0.1, True)
    assert status == 0 and L.shape == (5, 5) and dof < 5


def test_l2_conversions():
    X, y = problem()
    ref = chol_solve_L2(X, y, 1.0, True)
    for alpha, flag in [(1, 1), (np.float64(1.0), 2.5), (1.0, [0])]:
        got = chol_solve_L2(y=y, intercept=flag, X=X, alpha=alpha)
        assert bits(got[0]).tolist() == bits(ref[0]).tolist() and got[2:] == ref[2:]
    unpen = chol_solve_L2(X, y, 1.0, False)
    for flag in (None, 0, False):
        assert bits(chol_solve_L2(X, y, 1.0, flag)[0]).tolist() == bits(unpen[0]).tolist()
    coef, L, dof, status = chol_solve_L2(None, None, 1.0, False)
    assert (coef.shape, L.shape, dof, status) == ((0,), (0, 0), 0.0, 0)


def test_grid_result_matches_the_single_solve():
    X, y = problem(60, 6, 1)
    alphas = np.array([2.0, 0.5, 0.05, 0.01])
    for criterion in (1, 2, 3):
        alpha, coef, obj, status = ridge_grid_search(X, y, alphas, criterion, True)
        assert (type(alpha), type(obj), type(status), status) == (float, float, int, 0)
        assert alpha in alphas and coef.shape == (6,) and coef.dtype == np.float64
        assert bits(coef).tolist() == bits(chol_solve_L2(X, y, alpha, True)[0]).tolist()
    rss = float(np.sum((y - X @ coef) ** 2))
    assert obj == pytest.approx(rss, rel=1e-12)  # criterion 3: the raw residual sum of squares
    by_float, by_int = ridge_grid_search(X, y, alphas, 2.0, 1), ridge_grid_search(X, y, alphas, 2, 1)
    assert by_float[::2] == by_int[::2] and bits(by_float[1]).tolist() == bits(by_int[1]).tolist()


def test_grid_lone_failure():
    X, y = problem()
    alpha, coef, obj, status = ridge_grid_search(X, y, np.array([-50.0]), 1, True)
    assert (alpha, obj, status) == (-50.0, math.inf, -1) and np.isnan(coef).all()


@pytest.mark.parametrize("alphas", [np.empty(0), None])
def test_grid_empty_alphas_give_nan_coefficients(alphas):
    X, y = problem()
    alpha, coef, obj, status = ridge_grid_search(X, y, alphas, 1, True)
    assert (alpha, obj, status) == (0.0, 0.0, 0)
    assert coef.shape == (5,) and bits(coef).tolist() == [0x7FF8000000000000] * 5


@pytest.mark.parametrize("fn, extra", [(chol_solve_L2, (1.0, True)),
                                       (ridge_grid_search, (np.ones(2), 1, True))])
@pytest.mark.parametrize("y", [None, np.ones(39), np.ones(0)])
def test_short_response_is_refused(fn, extra, y):
    X, _ = problem()
    with pytest.raises(ValueError, match=r"y has \d+ entries, fewer than the row count of X \(40\)"):
        fn(X, y, *extra)


def test_y_longer_than_n_and_no_rows():
    X, y = problem()
    longer = np.concatenate([y, [1e300]])
    assert bits(chol_solve_L2(X, longer, 0.5, 1)[0]).tolist() == bits(chol_solve_L2(X, y, 0.5, 1)[0]).tolist()
    coef, L, dof, status = chol_solve_L2(np.empty((0, 3)), None, 1.0, False)
    assert status == 0 and np.isnan(coef).all() and L.shape == (3, 3)


@pytest.mark.parametrize("call, exc, message", [
    (lambda X, y: chol_solve_L2(X, y, 1.0),
     TypeError, "chol_solve_L2() takes exactly 4 positional arguments (3 given)"),
    (lambda X, y: ridge_grid_search(X, y, np.ones(2), 1, True, 0),
     TypeError, "ridge_grid_search() takes exactly 5 positional arguments (6 given)"),
    (lambda X, y: ridge_grid_search(X, y, alphas=np.ones(2), intercept=1),
     TypeError, "ridge_grid_search() takes exactly 5 positional arguments (3 given)"),
    (lambda X, y: chol_solve_L2(X, y, 1.0, True, alpha=2.0),
     TypeError, "chol_solve_L2() got multiple values for keyword argument 'alpha'"),
    (lambda X, y: chol_solve_L2(X, y, 1.0, intercept=True, lam=2.0),
     TypeError, "chol_solve_L2() got an unexpected keyword argument 'lam'"),
    (lambda X, y: ridge_grid_search(X, y, np.ones(2, np.float32), 1, True),
     ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda X, y: ridge_grid_search(X, y, np.ones((2, 1)), 1, True),
     ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda X, y: ridge_grid_search(X, y, np.ones(2), "2", True),
     TypeError, "an integer is required"),
    (lambda X, y: chol_solve_L2(X, y, "1.0", True), TypeError, None),
    # The first bad argument in parameter order is the one reported.
    (lambda X, y: ridge_grid_search(X.astype(np.float32), y[:, None], None, "2", True),
     ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda X, y: chol_solve_L2(X, y[:, None], "x", True),
     ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_argument_errors(call, exc, message):
    X, y = problem()
    with pytest.raises(exc) as info:
        call(X, y)
    if message is not None:
        assert str(info.value) == message
