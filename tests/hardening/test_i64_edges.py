"""Sizes and counts at the edge of i64: a clean exception (numpy's or the module's)
or the plain result, never a wrap-around."""

import numpy as np
import pytest

import native
from hardening.calls import KINDS, ROUTINE_KINDS, gram, listed_args, mod, routines_mod, sound_args

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
    "name, position",
    [(n, i) for kinds in (KINDS, ROUTINE_KINDS) for n in kinds for i, kind in enumerate(kinds[n])
     if kind == "i"],
)
def test_integers_past_i64_overflow(rng, name, position, value):
    routine = name in ROUTINE_KINDS
    args = list(listed_args(name, rng=rng) if routine else sound_args(name, rng))
    args[position] = value
    with pytest.raises(OverflowError):
        getattr(routines_mod if routine else mod, name)(*args)


@pytest.mark.parametrize("args", [(I64_MIN, 3, 5, I64_MAX), (I64_MAX, 3, 5, I64_MIN), (-1, 2, 1, -1)])
def test_fold_ids_take_any_i64_start_and_seed(args):
    """Row numbers and the seed are read modulo 2**64: the extremes hash, not refuse."""
    ids = routines_mod.fold_ids(*args)
    assert ids.shape == (args[1],) and ((0 <= ids) & (ids < args[2])).all()


@pytest.mark.parametrize("n", [2**62, I64_MAX])
def test_fold_ids_of_impossible_counts_are_refused_by_numpy(n):
    with pytest.raises((ValueError, MemoryError)):
        routines_mod.fold_ids(0, n, 3, 0)


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


# ---------------------------------------------------------------------------
# The exported routines at sizes whose buffers cannot exist (a byte count beyond
# 2**63): each refuses before touching a buffer, with its failure value, instead of
# wrapping n*n or n*m into a small count and running over tiny buffers.
# ---------------------------------------------------------------------------

NAN = "nan"
# Result of a refusal: a status, NAN, None (nothing to return), or "record" (an LU
# record with err -1 and nothing allocated). A status argument is set to -1.
REFUSAL = {
    "qdl_zero_mat": None, "qdl_chol": -1, "qdl_forward_subst": None,
    "qdl_backward_subst_chol_t": None, "qdl_gram": None, "qdl_gram_rhs": None,
    "qdl_chol_solve": -1, "qdl_chol_inv": -1, "qdl_logdet_from_chol": NAN,
    "qdl_matmul": None, "qdl_matmul_atb": None, "qdl_matmul_abt": None,
    "qdl_matmul_abt_plus_c": None, "qdl_matvec": None, "qdl_matvec_plus_vec": None,
    "qdl_vsub": None, "qdl_dot": NAN, "qdl_sym_inplace": None, "qdl_sort_f64": None,
    "qdl_median_f64": NAN, "qdl_lu_factor_inplace": -1, "qdl_lu_factor": "record",
    "qdl_lu_solve": None, "qdl_solve": -1, "qdl_inv": -1, "c128_matmul": None,
    "c128_lu_factor_inplace": -1, "c128_lu_factor": "record", "c128_lu_solve": None,
    "c128_solve": -1, "c128_inv": -1, "qdl_ndtri_as241_into": None,
    "qdl_ols_chol_solve": None, "qdl_chol_solve_L2": None,
    "qdl_ridge_grid_search": None, "qdl_ridge_grid_search_gram": -3,
    "qdl_lasso_gram_cd": -2, "qdl_lasso_path_eval": None,
    "qdl_en_gram_cd": -2, "qdl_en_gram_cd_path": None, "qdl_en_active_dof": NAN,
    "qdl_moments_leaves": -3, "qdl_moments_merge": -3, "qdl_fold_ids": -3,
    "qdl_glm_working": -3,
    "qdl_lars_lasso_gram": -2, "qdl_lars_lasso_gram_update": -4,
}  # fmt: skip
# The exported routines that take no size (scalar functions, releases of a record).
NO_SIZES = {"qdl_ndtri_as241", "qdl_erfinv", "qdl_erfinv_from_as241", "qdl_lu_free", "c128_lu_free"}
# Outputs that a refusal sets to 0 (the count of what was written).
ZEROED = {"n_knots"}
# Integer arguments that are not sizes (flags, criteria, iteration limits, a first row,
# a fold count and a seed, and strides, which are checked through the extent of their
# array): kept at 1.
NOT_SIZES = {"intercept", "criterion", "max_iter", "raw", "row_stride", "col_stride", "start",
             "folds", "seed", "held", "family", "block_rows"}
STATUS = {"status", "out_status"}
# Routines whose buffers grow only linearly in their one size.
LINEAR = {"qdl_vsub", "qdl_dot", "qdl_sort_f64", "qdl_median_f64", "qdl_ndtri_as241_into",
          "qdl_fold_ids", "qdl_glm_working"}


def _refusal_cases():
    squares = [2**31, 2**32 + 1, 2**62, I64_MAX]  # each squared is beyond 2**63 bytes
    for name in REFUSAL:
        nsizes = sum(t is native.I64 and p not in NOT_SIZES
                     for t, p in zip(native.PROTOTYPES[name][1], native.PARAMETERS[name]))
        for s in squares[2:] if name in LINEAR else squares:
            yield name, s, None  # every size huge
        if nsizes > 1:
            for one in range(nsizes):  # one size huge, the others 1
                yield name, 2**62, one


@pytest.mark.parametrize("name, huge, only", list(_refusal_cases()))
def test_native_routine_refuses_sizes_that_cannot_exist(name, huge, only):
    routine = native.fn(name)
    argtypes = routine.argtypes
    buffers, args, size_index = [], [], 0
    params = native.PARAMETERS[name]
    for i, t in enumerate(argtypes):
        if t is native.I64:
            if params[i] in NOT_SIZES:
                args.append(1)
            else:
                args.append(huge if only in (None, size_index) else 1)
                size_index += 1
        elif t is native.F64:
            args.append(0.5)
        else:  # a tiny buffer, pre-filled so that any write shows
            buffers.append((i, native.f64(4)))
            args.append(native.P(buffers[-1][1]))
    result = routine(*args)
    expected = REFUSAL[name]
    if expected == "record":
        assert (result.lu, result.piv, result.err) == (None, None, -1)
    elif expected == NAN:
        assert np.isnan(result)
    else:
        assert result == expected
    for i, buf in buffers:
        if params[i] in STATUS:
            assert buf.view(np.int64)[0] == -1 and np.isnan(buf[1:]).all()
        elif params[i] in ZEROED:
            assert buf.view(np.int64)[0] == 0 and np.isnan(buf[1:]).all()
        else:
            assert np.isnan(buf).all(), (name, i)


def test_every_export_is_in_the_refusal_table():
    """An exported routine left out of REFUSAL would go untested at impossible sizes."""
    assert set(REFUSAL) | NO_SIZES == set(native.DECLARED)
    assert not set(REFUSAL) & NO_SIZES
