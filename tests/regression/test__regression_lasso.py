"""lasso_gram_cd, lars_lasso_gram and lasso_path_eval from Python: results, trimming,
argument checks, and the LARS knots of the diabetes data confirmed by coordinate descent."""

import numpy as np
import pytest
from sklearn.datasets import load_diabetes

from Quandrel._ckernels.regression._regression import lars_lasso_gram, lasso_gram_cd, lasso_path_eval

OK, NC = 0, -2
I3, C3 = np.eye(3), np.array([3.0, -2.0, 1.0])


@pytest.fixture(scope="module")
def diabetes():
    X, y = load_diabetes(return_X_y=True)
    y = y - y.mean()
    return X.T @ X, X.T @ y


def test_diabetes_knots_solve_the_lasso_at_their_penalties(diabetes):
    G, c = diabetes
    lam, beta, status = lars_lasso_gram(G, c, 100, 1e-10)
    assert status == OK and len(lam) == 13 and lam[0] == np.abs(c).max() and lam[-1] == 0.0
    assert (np.diff(lam) <= 0).all()
    for knot_lam, row in zip(lam, beta):
        coef, st = lasso_gram_cd(G, c, knot_lam, 10**6, 1e-11)
        assert st == OK
        np.testing.assert_allclose(coef, row, rtol=0, atol=1e-11 * max(1.0, np.abs(row).max()))
    np.testing.assert_allclose(beta[-1], np.linalg.solve(G, c), rtol=1e-10)
    # Between knots the path is read off linearly; at a knot it is that knot's row.
    np.testing.assert_array_equal(lasso_path_eval(lam, beta, lam), np.vstack([np.zeros(10), beta[1:]]))


def test_lars_path_is_trimmed_to_the_knots():
    lam, beta, status = lars_lasso_gram(I3, C3, 10, 1e-10)
    assert status == OK
    np.testing.assert_allclose(lam, [3, 2, 1, 0], atol=1e-12)
    np.testing.assert_allclose(beta, [[0, 0, 0], [1, 0, 0], [2, -1, 0], [3, -2, 1]], atol=1e-12)
    assert lam.dtype == beta.dtype == np.float64 and lam.flags.writeable and beta.flags.writeable
    assert lam.flags.c_contiguous and beta.flags.c_contiguous
    # Each call's path is its own: writing one leaves the next call's untouched.
    lam[:], beta[:] = np.nan, np.nan
    again = lars_lasso_gram(I3, C3, 10, 1e-10)
    assert not np.shares_memory(again[0], lam) and not np.isnan(again[1]).any()


@pytest.mark.parametrize(
    "max_iter, tol, knots, status", [(2.9, 1e-10, 3, NC), (0, 1e-10, 1, NC), (0, 3.0, 1, OK)]
)
def test_lars_max_iter(max_iter, tol, knots, status):
    lam, beta, st = lars_lasso_gram(I3, C3, max_iter, tol)
    assert (len(lam), beta.shape, st) == (knots, (knots, 3), status)
    assert lam[0] == 3.0 and (beta[0] == 0).all()


@pytest.mark.parametrize("G", [None, np.empty((0, 0))])
def test_empty_problems(G):
    coef, status = lasso_gram_cd(G, None, 0.5, 3, 1e-8)
    assert coef.shape == (0,) and coef.dtype == np.float64 and status == OK
    lam, beta, status = lars_lasso_gram(G, None, 3, 1e-8)
    assert lam.tolist() == [0.0] and beta.shape == (1, 0) and status == OK
    out = lasso_path_eval(np.array([1.0]), np.empty((1, 4)), None)
    assert isinstance(out, np.ndarray) and out.shape == (0, 4)


def test_cd_without_sweeps_returns_zeros():
    coef, status = lasso_gram_cd(I3, C3, 0.5, 0, 1e-8)
    assert coef.tolist() == [0.0, 0.0, 0.0] and status == NC


V2, V3, M23 = np.ones(2), np.ones(3), np.ones((2, 3))


@pytest.mark.parametrize(
    "fn, args, message",
    [
        (lasso_gram_cd, (M23.T.copy(), V3, 0.1, 5, 1e-8), r"G has 2 columns, fewer than the row count of G \(3\)"),
        (lasso_gram_cd, (M23, V3, 0.1, 5, 1e-8), r"G has 2 rows, fewer than the column count of G \(3\)"),
        (lasso_gram_cd, (I3, V2, 0.1, 5, 1e-8), r"g has 2 entries, fewer than the row count of G \(3\)"),
        (lasso_gram_cd, (I3, None, 0.1, 5, 1e-8), r"g has 0 entries"),
        (lars_lasso_gram, (M23, V3, 5, 1e-8), r"G has 2 rows, fewer than the column count of G \(3\)"),
        (lars_lasso_gram, (I3, V2, 5, 1e-8), r"c has 2 entries, fewer than the row count of G \(3\)"),
        (lars_lasso_gram, (I3, V3, -1, 1e-8), r"max_iter must be between 0 and 9223372036854775806 \(got -1\)"),
        (lars_lasso_gram, (I3, V3, -5, 1e-8), r"max_iter must be .* \(got -5\)"),
        (lars_lasso_gram, (I3, V3, 2**63 - 1, 1e-8), r"max_iter must be .* \(got 9223372036854775807\)"),
        (lasso_path_eval, (V3, M23, V2), r"beta_path has 2 rows, fewer than the length of lam_path \(3\)"),
        (lasso_path_eval, (np.empty(0), np.empty((0, 3)), V2), r"lam_path has 0 entries"),
        (lasso_path_eval, (None, None, V2), r"lam_path has 0 entries"),
    ],
)
def test_inconsistent_extents_are_refused(fn, args, message):
    with pytest.raises(ValueError, match=rf"^{fn.__name__}\(\): {message}"):
        fn(*args)


def test_argument_count():
    with pytest.raises(TypeError, match=r"lasso_gram_cd\(\) takes exactly 5 positional arguments \(4 given\)"):
        lasso_gram_cd(I3, C3, 0.5, 3)
