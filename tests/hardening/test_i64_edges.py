"""Sizes and counts at the edge of i64: a clean exception (numpy's or the module's)
or the plain result, never a wrap-around."""

import numpy as np
import pytest

from hardening.calls import KINDS, NAMES, gram, mod, sound_args

I64_MAX, I64_MIN = 2**63 - 1, -(2**63)
HUGE = 2**40  # with a zero extent beside it the array is empty; its square overflows


@pytest.fixture
def problem(rng):
    G, g = gram(rng, 3)
    return G, g


@pytest.mark.parametrize(
    "max_iter, exc",
    [
        (I64_MAX, ValueError),  # max_iter + 1 knots would not fit an i64
        (I64_MIN, ValueError),
        (-1, ValueError),
        (I64_MAX - 1, (ValueError, MemoryError)),  # numpy refuses the path arrays
        (2**62, (ValueError, MemoryError)),
        (2**63, OverflowError),
        (I64_MIN - 1, OverflowError),
        (2**64 + 5, OverflowError),  # would wrap to 5 if truncated
    ],
)
def test_lars_max_iter_at_the_edges(problem, max_iter, exc):
    with pytest.raises(exc):
        mod.lars_lasso_gram(*problem, max_iter, 1e-10)


@pytest.mark.parametrize("max_iter", [I64_MAX, I64_MAX - 1, 2**62])
def test_iteration_limits_near_the_top_are_taken_as_given(problem, max_iter):
    """A huge limit is just a limit: the solves converge long before it."""
    G, g = problem
    assert mod.lasso_gram_cd(G, g, 0.01, max_iter, 1e-9)[1] == 0
    assert mod.elastic_net_gram_cd(G, g, 0.01, 0.01, np.zeros(3), max_iter, 1e-9)[1] == 0
    statuses = mod.elastic_net_gram_cd_path(G, g, np.array([1.0, 0.1]), 0.5, max_iter, 1e-9)[1]
    assert statuses.tolist() == [0, 0]


@pytest.mark.parametrize("max_iter", [I64_MIN, -(2**62), -1])
def test_negative_iteration_limits_run_no_sweep(problem, max_iter):
    G, g = problem
    beta0 = np.array([0.5, -0.25, 2.0])
    coef, status = mod.lasso_gram_cd(G, g, 0.01, max_iter, 1e-9)
    assert status == -2 and not coef.any()
    coef, status = mod.elastic_net_gram_cd(G, g, 0.01, 0.01, beta0, max_iter, 1e-9)
    assert status == -2 and np.array_equal(coef, beta0)


@pytest.mark.parametrize("value", [2**63, I64_MIN - 1, 10**30])
@pytest.mark.parametrize(
    "name, position", [(n, i) for n in NAMES for i, kind in enumerate(KINDS[n]) if kind == "i"]
)
def test_integers_past_i64_overflow(rng, name, position, value):
    args = list(sound_args(name, rng))
    args[position] = value
    with pytest.raises(OverflowError):
        getattr(mod, name)(*args)


@pytest.mark.parametrize("criterion", [I64_MAX, I64_MIN, -1, 0])
def test_any_criterion_in_range_scores_like_bic(rng, criterion):
    X, y = rng.standard_normal((9, 3)), rng.standard_normal(9)
    alphas = np.array([0.01, 1.0, 100.0])
    assert mod.ridge_grid_search(X, y, alphas, criterion, False)[:3:2] == mod.ridge_grid_search(
        X, y, alphas, 2, False
    )[:3:2]


@pytest.mark.parametrize("name", ["ols_chol_solve", "chol_solve_L2", "ridge_grid_search"])
def test_column_count_whose_square_overflows(name):
    """A 0-by-2**40 X asks for 2**40-square matrices: numpy refuses, no kernel runs."""
    X = np.empty((0, HUGE))
    args = {"ols_chol_solve": (X, None), "chol_solve_L2": (X, None, 1.0, False),
            "ridge_grid_search": (X, None, np.array([1.0]), 1, False)}[name]  # fmt: skip
    with pytest.raises((ValueError, MemoryError)):
        getattr(mod, name)(*args)


@pytest.mark.parametrize("name", ["ols_chol_solve", "chol_solve_L2", "ridge_grid_search"])
def test_row_count_beyond_the_response(name):
    """A 2**40-by-0 X needs 2**40 responses: refused before anything is allocated."""
    X = np.empty((HUGE, 0))
    args = {"ols_chol_solve": (X, np.ones(3)), "chol_solve_L2": (X, np.ones(3), 1.0, False),
            "ridge_grid_search": (X, np.ones(3), np.array([1.0]), 1, False)}[name]  # fmt: skip
    with pytest.raises(ValueError, match="fewer than the row count of X"):
        getattr(mod, name)(*args)


@pytest.mark.parametrize("G", [np.empty((0, HUGE)), np.empty((HUGE, 0))])
@pytest.mark.parametrize(
    "name, rest",
    [
        ("lasso_gram_cd", (None, 0.1, 10, 1e-6)),
        ("lars_lasso_gram", (None, 10, 1e-6)),
        ("elastic_net_gram_cd", (None, 0.1, 0.1, None, 10, 1e-6)),
        ("elastic_net_gram_cd_path", (None, np.array([0.1]), 0.5, 10, 1e-6)),
        ("elastic_net_active_dof", (None, 0.1, True, 0.0)),
    ],
)
def test_gram_matrix_with_one_huge_extent(G, name, rest):
    with pytest.raises(ValueError):
        getattr(mod, name)(G, *rest)


def test_path_with_huge_column_count():
    """An empty path of 2**40 columns read at no penalty: an empty (0, 2**40) result;
    at any penalty it is refused, having no knot to read."""
    beta_path = np.empty((0, HUGE))
    out = mod.lasso_path_eval(np.empty(0), beta_path, np.empty(0))
    assert out.shape == (0, HUGE) and out.dtype == np.float64
    with pytest.raises(ValueError):
        mod.lasso_path_eval(np.empty(0), beta_path, np.array([1.0]))
