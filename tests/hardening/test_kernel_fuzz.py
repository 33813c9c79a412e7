"""Random sizes and hostile values through the regression kernels and the Cholesky
routines they rest on (the harness is described in hardening/fuzzing.py)."""

import ctypes

import numpy as np
import pytest

from hardening.fuzzing import FILL, Arena, fuzz, gram, scalar, size, values
from native import fn

# ---------------------------------------------------------------------------
# The kernels: each runner takes an Arena and a case, calls once, returns outputs.
# ---------------------------------------------------------------------------
ols = fn("qdl_ols_chol_solve")
ridge = fn("qdl_chol_solve_L2")  # fmt: skip
grid = fn("qdl_ridge_grid_search")  # fmt: skip
grid_gram = fn("qdl_ridge_grid_search_gram")
lasso = fn("qdl_lasso_gram_cd")
lars = fn("qdl_lars_lasso_gram")
path_eval = fn("qdl_lasso_path_eval")
en = fn("qdl_en_gram_cd")
en_path = fn("qdl_en_gram_cd_path")  # fmt: skip
en_dof = fn("qdl_en_active_dof")
chol = fn("qdl_chol")
fwd = fn("qdl_forward_subst")
bwd = fn("qdl_backward_subst_chol_t")
gram_xx = fn("qdl_gram")
gram_rhs = fn("qdl_gram_rhs")
chol_solve = fn("qdl_chol_solve")
chol_inv = fn("qdl_chol_inv")
logdet = fn("qdl_logdet_from_chol")
zero_mat = fn("qdl_zero_mat")
moments = fn("qdl_moments_leaves")
moments_merge = fn("qdl_moments_merge")


def run_ols(a, c):
    n, p = c["n"], c["p"]
    X, y = a.inp(c["X"]), a.inp(c["y"])
    coef, L, G, g = a.out(p), a.out(p * p), a.out(p * p), a.out(p)
    status = a.out_i64(1)
    ols(a.ptr(X), a.ptr(y), n, p, a.ptr(coef), a.ptr(L), a.ptr(status), a.ptr(G), a.ptr(g))
    return [coef, L, G, g, status]


def run_ridge(a, c):
    n, p = c["n"], c["p"]
    X, y = a.inp(c["X"]), a.inp(c["y"])
    coef, L, G, Gu, g, col = (a.out(m) for m in (p, p * p, p * p, p * p, p, p))
    dof, status = a.out(1), a.out_i64(1)
    ridge(a.ptr(X), a.ptr(y), n, p, c["alpha"], c["flag"], a.ptr(coef), a.ptr(L), a.ptr(dof),
          a.ptr(status), a.ptr(G), a.ptr(Gu), a.ptr(g), a.ptr(col))  # fmt: skip
    return [coef, L, G, Gu, g, col, dof, status]


def run_grid(a, c):
    n, p = c["n"], c["p"]
    X, y, alphas = a.inp(c["X"]), a.inp(c["y"]), a.inp(c["alphas"])
    out_coef, Gb, G, g, L, coef, col = (a.out(m) for m in (p, p * p, p * p, p, p * p, p, p))
    oa, oo, os_ = a.out(1), a.out(1), a.out_i64(1)
    grid(a.ptr(X), a.ptr(y), n, p, a.ptr(alphas), alphas.size, c["crit"], c["flag"], a.ptr(oa),
         a.ptr(out_coef), a.ptr(oo), a.ptr(os_), a.ptr(Gb), a.ptr(G), a.ptr(g), a.ptr(L),
         a.ptr(coef), a.ptr(col))  # fmt: skip
    return [out_coef, Gb, G, g, L, coef, col, oa, oo, os_]


def run_grid_gram(a, c):
    k = c["k"]
    G, g, alphas = a.inp(c["G"]), a.inp(c["g"]), a.inp(c["alphas"])
    out_coef, oa, oo = a.out(k), a.out(1), a.out(1)
    status = grid_gram(a.ptr(G), a.ptr(g), c["alpha"], c["alpha2"], k, a.ptr(alphas), alphas.size,
                       c["crit"], c["flag"], a.ptr(oa), a.ptr(out_coef), a.ptr(oo))  # fmt: skip
    assert status in (0, -1) if alphas.size else status == -3
    return [out_coef, oa, oo, status]


def run_lasso(a, c):
    k = c["k"]
    G, g = a.inp(c["G"]), a.inp(c["g"])
    coef, Gcoef = a.out(k), a.out(k)
    s = lasso(a.ptr(G), a.ptr(g), k, c["alpha"], c["iters"], c["tol"], a.ptr(coef), a.ptr(Gcoef))
    assert s in (0, -2)
    return [coef, Gcoef, s]


def run_lars(a, c):
    k, max_iter = c["k"], c["iters"]
    room = max(1, max_iter + 1)
    G, cv = a.inp(c["G"]), a.inp(c["g"])
    lam, beta, knots = a.out(room), a.out(room * k), a.out_i64(1)
    s = lars(a.ptr(G), a.ptr(cv), k, max_iter, c["tol"], a.ptr(lam), a.ptr(beta), a.ptr(knots))
    m = int(knots[0])
    assert s in (0, -2) and 1 <= m <= room
    # Rows past the knot count are untouched.
    assert (lam[m:].view(np.uint64) == FILL.view(np.uint64)).all()
    assert (beta[m * k :].view(np.uint64) == FILL.view(np.uint64)).all()
    return [lam, beta, knots, s]


def run_path_eval(a, c):
    k, n_knots = c["k"], c["knots"]
    lam_path = a.inp(-np.sort(-c["lam_path"])) if c["sorted"] else a.inp(c["lam_path"])
    beta_path, lam_grid = a.inp(c["beta_path"]), a.inp(c["lam_grid"])
    out = a.out(lam_grid.size * k)
    # No path: the kernel may read neither lam_path nor beta_path, so both are null.
    lp, bp = (a.ptr(lam_path), a.ptr(beta_path)) if n_knots else (None, None)
    path_eval(lp, bp, n_knots, k, a.ptr(lam_grid), lam_grid.size, a.ptr(out))
    return [out]


def run_en(a, c):
    k = c["k"]
    G, g, beta0 = a.inp(c["G"]), a.inp(c["g"]), a.inp(c["beta0"])
    coef, Gcoef = a.out(k), a.out(k)
    s = en(a.ptr(G), a.ptr(g), k, c["alpha"], c["alpha2"], a.ptr(beta0), c["iters"], c["tol"],
           a.ptr(coef), a.ptr(Gcoef))  # fmt: skip
    assert s in (0, -2)
    return [coef, Gcoef, s]


def run_en_path(a, c):
    k = c["k"]
    G, g, alphas = a.inp(c["G"]), a.inp(c["g"]), a.inp(c["alphas"])
    na = alphas.size
    coefs, statuses, Gcoef, beta = a.out(na * k), a.out_i64(na), a.out(k), a.out(k)
    en_path(a.ptr(G), a.ptr(g), k, a.ptr(alphas), na, c["ratio"], c["iters"], c["tol"],
            a.ptr(coefs), a.ptr(statuses), a.ptr(Gcoef), a.ptr(beta))  # fmt: skip
    assert set(statuses.tolist()) <= {0, -2}
    return [coefs, statuses, Gcoef, beta]


def run_en_dof(a, c):
    k = c["k"]
    G, beta = a.inp(c["G"]), a.inp(c["beta0"])
    dof = en_dof(a.ptr(G), a.ptr(beta), k, c["alpha2"], c["flag"], c["atol"])
    return [dof]


def run_cholesky_toolkit(a, c):
    """The foundation routines the kernels rest on, on the same hostile matrices."""
    k, n = c["k"], c["n"]
    G, g, X, y = a.inp(c["G"]), a.inp(c["g"]), a.inp(c["Xk"]), a.inp(c["y"])
    L, x1, x2, coef, Ls, Pinv, Li, XX, Xg, Z = (
        a.out(m) for m in (k * k, k, k, k, k * k, k * k, k * k, k * k, k, k * k)
    )
    s1 = chol(a.ptr(G), c["alpha"], a.ptr(L), k)
    fwd(a.ptr(L), a.ptr(g), a.ptr(x1), k)
    bwd(a.ptr(L), a.ptr(x1), a.ptr(x2), k)
    s2 = chol_solve(a.ptr(G), a.ptr(g), a.ptr(coef), a.ptr(Ls), k)
    s3 = chol_inv(a.ptr(G), a.ptr(Pinv), a.ptr(Li), k)
    gram_xx(a.ptr(X), a.ptr(XX), n, k)
    gram_rhs(a.ptr(X), a.ptr(y), a.ptr(Xg), n, k)
    zero_mat(a.ptr(Z), k, k)
    ld = logdet(a.ptr(L), k)
    assert s1 in (0, -1) and s2 in (0, -1) and s3 in (0, -1)
    return [L, x1, x2, coef, Ls, Pinv, Li, XX, Xg, Z, s1, s2, s3, ld]


def run_moments(a, c):
    """The leaves of a block, X's rows or its columns contiguous, slots (some out of
    range) or none; then the records merged pairwise."""
    n, k, raw = c["n"], c["k"], c["flag"] == 1
    p = k + 1
    X, y, w = a.inp(c["Xk"]), a.inp(c["y"]), a.inp(c["w"])
    slots = a.inp_i64(c["slots"]) if c["nslots"] else None
    nslots = max(c["nslots"], 1)
    rs, cs = (1, n) if c["sorted"] else (k, 1)
    wide = 2 + 2 * p + 2 * p * p if raw else 2 + 2 * p + p * p
    most = min(n, nslots) if slots is not None else min(n, 1)
    leaf_slot, out, counts = a.out_i64(most), a.out(most * wide), a.out_i64(p)
    leaves = a.out_i64(1)
    status = moments(a.ptr(X), rs, cs, a.ptr(y), a.ptr(w) if c["weighted"] else None,
                     None if slots is None else a.ptr(slots), n, k, nslots, int(raw),
                     a.ptr(leaf_slot), a.ptr(out), a.ptr(counts), a.ptr(leaves))  # fmt: skip
    assert status in (0, -3)  # refused: a slot out of range
    F = int(leaves[0]) if status == 0 else 0
    assert 0 <= F <= most
    half = F // 2
    merged = a.out(half * wide)
    if half:
        assert moments_merge(a.ptr(out), out.ctypes.data + 8 * half * wide, a.ptr(merged), half, p,
                             int(raw)) == 0
    return [status, leaf_slot, out, counts, merged]


def make_case(rng):
    n, p, k = size(rng), size(rng), size(rng)
    if rng.random() < 0.05:
        p = 257  # past the ridge grid search's batched path
        n = int(rng.integers(0, 4))
    knots = int(rng.integers(0, 6))
    return {
        "n": n, "p": p, "k": k, "knots": knots,
        "X": values(rng, (n, p)), "y": values(rng, n), "Xk": values(rng, (n, k)),
        "alphas": np.array([scalar(rng) for _ in range(rng.integers(0, 12))]),
        "alpha": scalar(rng), "alpha2": scalar(rng), "ratio": scalar(rng),
        "atol": float(rng.choice([0.0, 1e-8, np.nan, -1.0, 0.5])),
        "flag": int(rng.choice([0, 1, -3])), "crit": int(rng.choice([1, 2, 3, 0, -9])),
        "G": gram(rng, k), "g": values(rng, k), "beta0": values(rng, k, special=0.2),
        "iters": int(rng.choice([-1, 0, 1, 2, 5, 30, 3 * k + 2])),
        "tol": float(rng.choice([1e-10, 0.0, -1.0, np.nan, np.inf, 1e-3])),
        "lam_path": values(rng, knots), "sorted": bool(rng.random() < 0.7),
        "beta_path": values(rng, (knots, k)),
        "lam_grid": np.concatenate([values(rng, int(rng.integers(0, 6))), [np.nan, 0.0]]),
        "w": np.abs(values(rng, n, special=0.2)), "weighted": bool(rng.random() < 0.5),
        "nslots": int(rng.integers(0, 5)),
        "slots": rng.integers(-1 if rng.random() < 0.1 else 0, 5, n),
    }  # fmt: skip


RUNNERS = {
    "ols_chol_solve": run_ols,
    "chol_solve_L2": run_ridge,
    "ridge_grid_search": run_grid,
    "ridge_grid_search_gram": run_grid_gram,
    "lasso_gram_cd": run_lasso,
    "lars_lasso_gram": run_lars,
    "lasso_path_eval": run_path_eval,
    "en_gram_cd": run_en,
    "en_gram_cd_path": run_en_path,
    "en_active_dof": run_en_dof,
    "cholesky_toolkit": run_cholesky_toolkit,
    "moments": run_moments,
}


@pytest.mark.parametrize("name", RUNNERS)
def test_fuzz(name, rng):
    fuzz(RUNNERS[name], make_case, rng)


def test_lars_never_writes_past_max_iter_plus_one(rng):
    """Paths that want many knots (tol below zero never ends early), capped by a
    max_iter of 0 to 4: the count and the untouched rows are checked by the runner."""
    for _ in range(200):
        k = int(rng.integers(1, 12))
        c = {"k": k, "G": gram(rng, k), "g": values(rng, k, special=0.0),
             "iters": int(rng.integers(-2, 5)), "tol": -1.0}  # fmt: skip
        for guarded in (True, False):
            a = Arena(guarded)
            run_lars(a, c)
            a.check()


def test_null_pointers_for_empty_sizes():
    """Every size zero: each kernel runs with null pointers and writes only scalars."""
    st = ctypes.c_int64(5)
    d = ctypes.c_double(7.0)
    ols(None, None, 0, 0, None, None, ctypes.byref(st), None, None)
    assert st.value == 0
    assert lasso(None, None, 0, 0.1, 10, 1e-6, None, None) == 0
    assert en(None, None, 0, 0.1, 0.1, None, 10, 1e-6, None, None) == 0
    en_path(None, None, 0, None, 0, 0.5, 10, 1e-6, None, None, None, None)
    path_eval(None, None, 0, 0, None, 0, None)
    assert en_dof(None, None, 0, 0.1, 1, 0.0) == 1.0
    ridge(None, None, 0, 0, 0.1, 1, None, None, ctypes.byref(d), ctypes.byref(st), None, None,
          None, None)  # fmt: skip
    assert (d.value, st.value) == (0.0, 0)


def test_guards_catch_a_write_past_the_end():
    """The harness itself: one value written past a buffer is reported."""
    a = Arena(guarded=True)
    out = a.out(6)
    zero_mat(a.ptr(out), 1, 7)
    with pytest.raises(AssertionError, match="guard"):
        a.check()
