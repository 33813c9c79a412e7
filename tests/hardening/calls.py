"""The nine module functions as data: their parameter kinds as the module converts
them, sound argument sets, arguments that end in a failed status, and a check of a
result against its documented shape and types."""

import inspect
import re

import numpy as np

import Quandrel._ckernels.regression._regression as mod


class _Kind(Exception):
    """Raised by the probe with the kind of the parameter that converted it."""


class _Probe:
    """An argument that each kind of parameter converts by a different protocol:
    float() for a float, int() for an integer, truth for a flag, the buffer for an
    array. The buffer is 0-D, so an array parameter refuses it by naming the number
    of dimensions it wants: 1 for a vector, 2 for a matrix."""

    def __float__(self):
        raise _Kind("f")

    def __int__(self):
        raise _Kind("i")

    def __bool__(self):
        raise _Kind("b")

    def __buffer__(self, flags):
        return memoryview(np.zeros(()))


ACCEPTED = {"m": None, "v": None, "f": 0.0, "i": 0, "b": False}  # a value of each kind
WANTS_DIMS = re.compile(r"Buffer has wrong number of dimensions \(expected (\d), got 0\)")


def kinds_of(fn):
    """The kinds of the parameters of module function `fn` in order, as a string of
    m (matrix), v (vector), f (float), i (integer), b (flag): each parameter in turn
    gets the probe, after values of the kinds found so far (arguments are converted
    in order and the first refusal ends the call)."""
    n = len(inspect.signature(fn).parameters)
    kinds = ""
    while len(kinds) < n:
        args = [ACCEPTED[k] for k in kinds] + [_Probe()] + [None] * (n - len(kinds) - 1)
        try:
            fn(*args)
        except _Kind as e:
            kinds += e.args[0]
        except ValueError as e:
            kinds += "vm"[int(WANTS_DIMS.fullmatch(str(e))[1]) - 1]
        else:
            raise AssertionError(f"{fn.__name__} accepted the probe as argument {len(kinds)}")
    return kinds


# The module's functions in namespace order, with their parameter kinds.
KINDS = {k: kinds_of(v) for k, v in vars(mod).items() if callable(v) and not k.startswith("_")}
NAMES = list(KINDS)


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


def shape_of(arg, ndim):
    """The extents the module reads from an accepted array argument (None: zeros)."""
    return (0,) * ndim if arg is None else memoryview(arg).shape


def _array(a, shape, dtype=np.float64):
    assert type(a) is np.ndarray, type(a)
    assert a.dtype == dtype and a.shape == shape, (a.dtype, a.shape, shape)
    assert a.flags.c_contiguous and a.flags.writeable


def _status(s, allowed):
    assert type(s) is int and s in allowed, s


def check_result(name, args, result, max_iter=None):
    """Asserts that `result` has the documented types and shapes for `args` (which
    the call accepted). `max_iter` is the converted integer of lars_lasso_gram."""
    if name in ("ols_chol_solve", "chol_solve_L2", "ridge_grid_search"):
        n, p = shape_of(args[0], 2)
    else:
        k = shape_of(args[0], 2)[0]
    if name == "ols_chol_solve":
        coef, L, status = result
        _status(status, {0, -1})
        _array(coef, (p,))
        _array(L, (p, p) if status == 0 else (0, 0))
    elif name == "chol_solve_L2":
        coef, L, dof, status = result
        _status(status, {0, -1})
        _array(coef, (p,))
        _array(L, (p, p) if status == 0 else (0, 0))
        assert type(dof) is float
    elif name == "ridge_grid_search":
        alpha, coef, obj, status = result
        _status(status, {0, -1})
        _array(coef, (p,))
        assert type(alpha) is float and type(obj) is float
    elif name in ("lasso_gram_cd", "elastic_net_gram_cd"):
        coef, status = result
        _status(status, {0, -2})
        _array(coef, (k,))
    elif name == "lars_lasso_gram":
        lam, beta, status = result
        _status(status, {0, -2})
        m = len(lam)
        assert 0 <= m and (max_iter is None or m <= max_iter + 1)
        assert type(lam) is np.ndarray and lam.dtype == np.float64 and lam.shape == (m,)
        assert type(beta) is np.ndarray and beta.dtype == np.float64 and beta.shape == (m, k)
        assert lam.flags.c_contiguous and beta.flags.c_contiguous
    elif name == "lasso_path_eval":
        k = shape_of(args[1], 2)[1]
        _array(result, (shape_of(args[2], 1)[0], k))
    elif name == "elastic_net_gram_cd_path":
        coefs, statuses = result
        n_alpha = shape_of(args[2], 1)[0]
        _array(coefs, (n_alpha, k))
        _array(statuses, (n_alpha,), np.int64)
        assert set(statuses.tolist()) <= {0, -2}
    else:
        assert type(result) is float


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
