"""The modules' functions as data, from their function lists (tools/function_list.py):
their parameter kinds, sound argument sets, arguments that end in a failed status,
and a check of a result against its documented shape and types. NAMES are the
functions of _regression, ROUTINES those of _routines."""

import function_list
import numpy as np
from regression_stub import functions, kinds_of, result_types, stub_type

import Quandrel._ckernels.regression._regression as mod
import Quandrel._ckernels.regression._routines as routines_mod

# The module's functions in namespace order, with their parameter kinds and the types
# of their results.
ENTRIES = functions("_regression")
KINDS = {name: kinds_of(e) for name, e in ENTRIES.items()}
NAMES = list(KINDS)
RESULT_TYPES = {name: result_types(e) for name, e in ENTRIES.items()}

# The same for the routines.
ROUTINE_ENTRIES = functions("_routines")
ROUTINES = list(ROUTINE_ENTRIES)
ROUTINE_KINDS = {name: kinds_of(e) for name, e in ROUTINE_ENTRIES.items()}


def module_of(name):
    """The module of function `name` (the names of the two lists are distinct)."""
    return mod if name in KINDS else routines_mod


def listed_args(name, which="sound", rng=None):
    """The arguments of function `name`'s sound or refused call in its list entry."""
    entry = ROUTINE_ENTRIES[name] if name in ROUTINE_ENTRIES else ENTRIES[name]
    return function_list.evaluate(getattr(entry, which), function_list.problem(rng))


def check_routine_result(name, args, result):
    """Asserts that `result` has the types, the shapes and the statuses that routine
    `name`'s list entry declares for `args` (which the call accepted)."""
    entry = ROUTINE_ENTRIES[name]
    values = list(result) if len(entry.results) > 1 else [result]
    assert [stub_type(v) for v in values] == result_types(entry), values
    arrays = [v for v in values if isinstance(v, np.ndarray)]
    assert all(type(a) is np.ndarray and a.flags.c_contiguous and a.flags.writeable for a in arrays)
    assert [a.shape for a in arrays] == function_list.result_shapes(entry, args, result)
    for r, v in zip(entry.results, values):
        if r.kind == "integer":
            assert v in {int(s) for s in r.shape.split(",")}, (r.name, v)


def gram(rng, k):
    """A symmetric positive definite k-by-k Gram matrix and its cross-products."""
    X = rng.standard_normal((2 * k + 3, k))
    return X.T @ X / len(X), X.T @ rng.standard_normal(len(X)) / len(X)


def sound_args(name, rng, n=7, k=4):
    """Arguments that solve a small well-posed problem."""
    X = rng.standard_normal((n, k))
    y = rng.standard_normal(n)
    G, g = gram(rng, k)
    return {
        "ols_chol_solve": lambda: (X, y),
        "chol_solve_L2": lambda: (X, y, 0.3, True),
        "ridge_grid_search": lambda: (X, y, np.array([0.01, 0.1, 1.0]), 1, False),
        "lasso_gram_cd": lambda: (G, g, 0.05, 200, 1e-10),
        "lars_lasso_gram": lambda: (G, g, 20, 1e-12),
        "lasso_path_eval": lambda: (
            np.array([1.0, 0.5, 0.0]),
            rng.standard_normal((3, k)),
            np.array([2.0, 0.7, 0.25, -1.0]),
        ),
        "elastic_net_gram_cd": lambda: (G, g, 0.05, 0.1, np.zeros(k), 200, 1e-10),
        "elastic_net_gram_cd_path": lambda: (G, g, np.array([1.0, 0.1, 0.01]), 0.5, 200, 1e-10),
        "elastic_net_active_dof": lambda: (G, rng.standard_normal(k), 0.1, True, 1e-12),
    }[name]()


def failing_status_args(name):
    """Arguments that end in each function's failed status (the degrees of freedom
    have no status: their failed factorisation is an indefinite active block)."""
    X = np.ones((5, 3))  # three identical columns
    y = np.arange(5.0)
    G = np.array([[1.0, 2.0], [2.0, 1.0]])  # indefinite
    g = np.array([1.0, -1.0])
    return {
        "ols_chol_solve": (X, y),
        "chol_solve_L2": (X, y, 0.0, False),
        "ridge_grid_search": (X, y, np.array([0.0]), 1, False),
        "lasso_gram_cd": (G, g, 0.0, 3, 0.0),
        "lars_lasso_gram": (G, g, 1, 0.0),
        "lasso_path_eval": (np.array([1.0]), np.ones((1, 2)), np.array([np.nan])),
        "elastic_net_gram_cd": (G, g, 0.0, 0.0, np.zeros(2), 3, 0.0),
        "elastic_net_gram_cd_path": (G, g, np.array([0.0, 0.0]), 0.5, 3, 0.0),
        "elastic_net_active_dof": (G, g, 0.0, False, 0.0),
    }[name]


def misaligned(a):
    """A copy of float64 array `a` that starts one byte past an 8-byte boundary."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]
    out = raw.view(np.float64).reshape(a.shape)
    out[...] = a
    return out


def shape_of(arg, ndim):
    """The extents the module reads from an accepted array argument (None: zeros)."""
    return (0,) * ndim if arg is None else memoryview(arg).shape


def _shapes_and_statuses(name, args, values, max_iter):
    """The shapes of the arrays of a result, in order, and the statuses it may hold."""
    if name in ("ols_chol_solve", "chol_solve_L2", "ridge_grid_search"):
        p = shape_of(args[0], 2)[1]
        factor = [(p, p) if values[-1] == 0 else (0, 0)]  # empty after a failed solve
        return [(p,)] + (factor if name != "ridge_grid_search" else []), {0, -1}
    k = shape_of(args[0], 2)[0]
    if name in ("lasso_gram_cd", "elastic_net_gram_cd"):
        return [(k,)], {0, -2}
    if name == "lars_lasso_gram":
        m = len(values[0])
        assert max_iter is None or m <= max_iter + 1
        return [(m,), (m, k)], {0, -2}
    if name == "lasso_path_eval":
        return [(shape_of(args[2], 1)[0], shape_of(args[1], 2)[1])], set()
    if name == "elastic_net_gram_cd_path":
        n_alpha = shape_of(args[2], 1)[0]
        assert set(values[1].tolist()) <= {0, -2}
        return [(n_alpha, k), (n_alpha,)], set()
    return [], set()  # elastic_net_active_dof: a float


def check_result(name, args, result, max_iter=None):
    """Asserts that `result` has the module's types (those of every call of the
    function) and the documented shapes for `args` (which the call accepted).
    `max_iter` is the converted integer of lars_lasso_gram."""
    values = list(result) if type(result) is tuple else [result]
    assert [stub_type(v) for v in values] == RESULT_TYPES[name], values
    arrays = [v for v in values if isinstance(v, np.ndarray)]
    assert all(type(a) is np.ndarray and a.flags.c_contiguous and a.flags.writeable for a in arrays)
    shapes, statuses = _shapes_and_statuses(name, args, values, max_iter)
    assert [a.shape for a in arrays] == shapes, ([a.shape for a in arrays], shapes)
    assert all(v in statuses for v in values if type(v) is int), values


def call(name, args):
    return getattr(mod, name)(*args)


def same_result(a, b):
    """Bit-for-bit equality of two results (NaN payloads and signed zeros included)."""
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(map(same_result, a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b
