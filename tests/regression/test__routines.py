"""The module _routines: each function is its exported routine (the same bits as the
routine called directly), checked and allocated as its list entry declares; the stub
and the docstrings are those the list makes."""

import numpy as np
import pytest
import regression_stub

import Quandrel._ckernels.regression._routines as routines
from hardening.calls import (NAMES, ROUTINE_ENTRIES, ROUTINES, check_result, check_routine_result,
                             listed_args, mod)
from native import P, fn


@pytest.mark.parametrize("name", ROUTINES)
def test_sound_and_refused_calls_of_the_list(name):
    args = listed_args(name)
    check_routine_result(name, args, getattr(routines, name)(*args))
    with pytest.raises(ValueError) as refused:
        getattr(routines, name)(*listed_args(name, "refused"))
    text = str(refused.value) + "".join(getattr(refused.value, "__notes__", []))
    assert f"{name}()" in text


@pytest.mark.parametrize("name", NAMES)
def test_sound_and_refused_calls_of_the_nine(name):
    """The calls the list of _regression gives its functions (the reference's examples of
    a sound and a refused call) do as they say."""
    args = listed_args(name)
    check_result(name, args, getattr(mod, name)(*args))
    with pytest.raises(ValueError):
        getattr(mod, name)(*listed_args(name, "refused"))


@pytest.mark.parametrize("name", ROUTINES)
def test_docstring_is_the_composed_one(name):
    assert getattr(routines, name).__doc__ == regression_stub.docstring(ROUTINE_ENTRIES[name])


@pytest.mark.parametrize("module", regression_stub.SOURCE_STUBS)
def test_stubs_are_current(module):
    """tools/regression_stub.py rewrites a stub after a change of its list."""
    assert regression_stub.SOURCE_STUBS[module].read_text() == regression_stub.stub(module)


def native_result(name, args):
    """The routine `name` called directly (ctypes) on the arguments of the module's
    call, into buffers of the module's result shapes."""
    if name == "dot":
        a, b = args
        return fn("qdl_dot")(P(a), P(b), len(a))
    if name == "chol_solve":
        G, g = args
        p = len(G)
        coef, L = np.full(p, np.nan), np.empty((p, p))
        status = fn("qdl_chol_solve")(P(G), P(g), P(coef), P(L), p)
        return coef, L, status
    A, v = (args + (None,))[:2]
    rows, cols = A.shape
    out = {"gram": np.empty((cols, cols)), "gram_rhs": np.empty(cols)}.get(name, np.empty(rows))
    call = {
        "gram": lambda: fn("qdl_gram")(P(A), P(out), rows, cols),
        "gram_rhs": lambda: fn("qdl_gram_rhs")(P(A), P(v), P(out), rows, cols),
        "matvec": lambda: fn("qdl_matvec")(P(A), P(v), P(out), rows, cols),
        "forward_subst": lambda: fn("qdl_forward_subst")(P(A), P(v), P(out), rows),
        "backward_subst_chol_t": lambda: fn("qdl_backward_subst_chol_t")(P(A), P(v), P(out), rows),
    }[name]
    call()
    return out


LINALG = ["gram", "gram_rhs", "dot", "matvec", "forward_subst", "backward_subst_chol_t", "chol_solve"]


@pytest.mark.parametrize("name", LINALG)
@pytest.mark.parametrize("seed", range(3))
def test_the_routines_bits(name, seed):
    args = listed_args(name, rng=np.random.default_rng(seed))
    got, want = getattr(routines, name)(*args), native_result(name, args)
    for g, w in zip(*((x if isinstance(x, tuple) else (x,)) for x in (got, want))):
        assert np.asarray(g).tobytes() == np.asarray(w).tobytes(), name


def test_chol_solve_failure_gives_nan_coefficients_and_the_partial_factor():
    coef, L, status = routines.chol_solve(np.array([[1.0, 2.0], [2.0, 1.0]]), np.ones(2))
    assert status == -1 and np.isnan(coef).all()
    assert L[0, 0] == 1.0 and L[0, 1] == 0.0


@pytest.mark.parametrize("layout", ["c", "f", "columns", "read-only"])
@pytest.mark.parametrize("slots, nslots", [(None, 1), ([2, 0, 2, 5, 0, 2, 2], 6)])
def test_moments_leaves_read_x_where_it_lies(layout, slots, nslots):
    """Rows or columns contiguous, every other column, read-only: the records of a
    C-contiguous copy, bit for bit; leaves only for the slots that have rows."""
    rng = np.random.default_rng(1)
    X, y = rng.standard_normal((7, 3)), rng.standard_normal(7)
    slots = None if slots is None else np.array(slots)
    want = routines.moments_leaves(X, y, None, slots, nslots, slots is None)
    view = {"c": X, "f": np.asfortranarray(X), "columns": np.repeat(X, 2, axis=1)[:, ::2],
            "read-only": X.copy()}[layout]
    view.flags.writeable = layout != "read-only"
    got = routines.moments_leaves(view, y, None, slots, nslots, slots is None)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(got, want))
    assert got[0].tolist() == ([0] if slots is None else [0, 2, 5])


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.ones((3, 2)), np.ones(3), None, np.array([0, 3, 1]), 3, False), r"slot holds a value outside"),
        ((np.ones((3, 2)), np.ones(3), None, np.array([0, 0, 0]), 0, False), r"nslots must be at least 1"),
        ((np.ones((3, 2)), np.ones(3), np.ones(2), None, 1, False), r"w has 2 entries"),
        ((np.ones((3, 2))[:, ::-1], np.ones(3), None, None, 1, False), r"strides must be non-negative"),
    ],
)
def test_moments_leaves_refusals(args, message):
    with pytest.raises(ValueError, match=message):
        routines.moments_leaves(*args)


def test_ridge_grid_search_gram_reports_a_failed_selection_as_its_status():
    alpha, coef, obj, status = routines.ridge_grid_search_gram(
        -np.eye(2), np.ones(2), 1.0, 1.0, np.array([0.0]), 1, False)
    assert (alpha, obj, status) == (0.0, np.inf, -1) and np.isnan(coef).all()
