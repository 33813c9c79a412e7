"""Random sizes and hostile values through the exported foundation library: real and
complex LU factorisation, solve and inverse, the dense products and the quantile
(the harness is described in hardening/fuzzing.py); and the routines that allocate
give every allocation back."""

import ctypes

import numpy as np
import pytest

from hardening.fuzzing import fuzz, size, values
from hardening.heap import malloc_in_use
from native import fn


lu_inplace = fn("qdl_lu_factor_inplace")
lu_factor = fn("qdl_lu_factor")
lu_free = fn("qdl_lu_free")
lu_solve = fn("qdl_lu_solve")
solve = fn("qdl_solve")
inv = fn("qdl_inv")
z_matmul = fn("c128_matmul")
z_inplace = fn("c128_lu_factor_inplace")
z_factor = fn("c128_lu_factor")
z_free = fn("c128_lu_free")
z_lu_solve = fn("c128_lu_solve")
z_solve = fn("c128_solve")
z_inv = fn("c128_inv")
matmul = fn("qdl_matmul")
matmul_atb = fn("qdl_matmul_atb")
matmul_abt = fn("qdl_matmul_abt")
matmul_abt_c = fn("qdl_matmul_abt_plus_c")
matvec = fn("qdl_matvec")
matvec_b = fn("qdl_matvec_plus_vec")
vsub = fn("qdl_vsub")
dot = fn("qdl_dot")
sort = fn("qdl_sort_f64")
median = fn("qdl_median_f64")
sym = fn("qdl_sym_inplace")
ndtri_into = fn("qdl_ndtri_as241_into")

# The factorisations operate on one family each: (in place, copy, free, solve with
# factors, one-call solve, inverse, doubles per element).
FAMILIES = {
    "real": (lu_inplace, lu_factor, lu_free, lu_solve, solve, inv, 1),
    "complex": (z_inplace, z_factor, z_free, z_lu_solve, z_solve, z_inv, 2),
}


def square(rng, n, w):
    """An n-by-n matrix of w doubles per element: regular, singular or hostile."""
    kind = rng.integers(4)
    A = rng.standard_normal((n, n * w))
    if kind == 1 and n > 1:
        A[:, :w] = 0.0  # a zero column: singular at step 0
    elif kind == 2 and n > 1:
        A[-1] = A[0]  # a repeated row: singular at the last step (or by rounding)
    elif kind == 3:
        A = values(rng, (n, n * w), special=0.3)
    return A


def make_case(rng):
    n, m, p = size(rng), size(rng), size(rng)
    return {"n": n, "m": m, "p": p, "seed": int(rng.integers(2**63))}


def lu_runner(family):
    inplace, factor, free, lu_solve_, solve_, inv_, w = FAMILIES[family]

    def run(a, c):
        n, m = c["n"], c["m"]
        rng = np.random.default_rng(c["seed"])
        A = a.inp(square(rng, n, w))
        B = a.inp(values(rng, (n, m * w)))
        F, piv = a.inout(A), a.out_i64(n)
        s1 = inplace(a.ptr(F), a.ptr(piv), n)
        assert s1 in ((0, -2) if n > 0 else (-1,))
        X = a.out(n * m * w)
        if s1 == 0:  # the factors are complete: solve with them
            lu_solve_(a.ptr(F), a.ptr(piv), a.ptr(B), a.ptr(X), n, m)
            assert ((0 <= piv) & (piv < n)).all()
        rec = factor(a.ptr(A), n)
        s2 = rec.err
        assert s2 == s1 and (rec.lu is None) == (rec.piv is None) == (n <= 0)
        free(ctypes.byref(rec))
        free(ctypes.byref(rec))  # a reset record frees again without effect
        assert (rec.lu, rec.piv, rec.n, rec.err) == (None, None, 0, 0)
        X2, Ainv = a.out(n * m * w), a.out(n * n * w)
        s3 = solve_(a.ptr(A), a.ptr(B), n, m, a.ptr(X2))
        s4 = inv_(a.ptr(A), n, a.ptr(Ainv))
        assert s3 == s4 == s1
        return [F, piv, X, X2, Ainv, s1]

    return run


def run_z_matmul(a, c):
    m, n, p = c["n"], c["m"], c["p"]
    rng = np.random.default_rng(c["seed"])
    A, B = a.inp(values(rng, (m, 2 * n))), a.inp(values(rng, (n, 2 * p)))
    out = a.out(2 * m * p)
    z_matmul(a.ptr(A), a.ptr(B), m, n, p, a.ptr(out))
    return [out]


def run_products(a, c):
    n, p, m = c["n"], c["p"], c["m"]
    rng = np.random.default_rng(c["seed"])
    A, B, Bt = a.inp(values(rng, (n, p))), a.inp(values(rng, (p, m))), a.inp(values(rng, (m, p)))
    An, C = a.inp(values(rng, (n, m))), a.inp(values(rng, (n, m)))
    x, b, v = a.inp(values(rng, p)), a.inp(values(rng, n)), a.inp(values(rng, n))
    o1, o2, o3, o4 = a.out(n * m), a.out(p * m), a.out(n * m), a.out(n * m)
    o5, o6, o7 = a.out(n), a.out(n), a.out(n)
    matmul(a.ptr(A), a.ptr(B), a.ptr(o1), n, p, m)
    matmul_atb(a.ptr(A), a.ptr(An), a.ptr(o2), n, p, m)
    matmul_abt(a.ptr(A), a.ptr(Bt), a.ptr(o3), n, p, m)
    matmul_abt_c(a.ptr(A), a.ptr(Bt), a.ptr(C), a.ptr(o4), n, p, m)
    matvec(a.ptr(A), a.ptr(x), a.ptr(o5), n, p)
    matvec_b(a.ptr(A), a.ptr(x), a.ptr(b), a.ptr(o6), n, p)
    vsub(a.ptr(b), a.ptr(v), a.ptr(o7), n)
    d = dot(a.ptr(b), a.ptr(v), n)
    S = a.inout(values(rng, n))
    med = median(a.ptr(S), n)
    T = a.inout(values(rng, n))
    sort(a.ptr(T), n)
    P = a.inout(values(rng, (n, n)))
    sym(a.ptr(P), n)
    q = a.inp(np.concatenate([rng.random(n), values(rng, 4)]))
    oq = a.out(q.size)
    ndtri_into(a.ptr(q), q.size, a.ptr(oq))
    for arr in (S, T):  # a NaN compares equal to everything: no order to check then
        assert np.isnan(arr).any() or (arr[1:] >= arr[:-1]).all()
    return [o1, o2, o3, o4, o5, o6, o7, d, S, med, T, P, oq]


RUNNERS = {
    "lu real": lu_runner("real"),
    "lu complex": lu_runner("complex"),
    "c128_matmul": run_z_matmul,
    "products": run_products,
}


@pytest.mark.parametrize("name", RUNNERS)
def test_fuzz(name, rng):
    fuzz(RUNNERS[name], make_case, rng)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("n", [0, -1, -(2**63), 2**31, 2**40, 2**62])
def test_sizes_that_cannot_be_allocated_are_refused(family, n):
    """Non-positive sizes, and n*n elements whose byte count overflows, give -1
    without touching anything (null pointers stand in for the buffers)."""
    inplace, factor, _, lu_solve_, solve_, inv_, _ = FAMILIES[family]
    assert inplace(None, None, n) == -1
    rec = factor(None, n)
    assert (rec.lu, rec.piv, rec.err) == (None, None, -1)
    assert solve_(None, None, n, 3, None) == -1
    assert inv_(None, n, None) == -1
    if n <= 0:
        lu_solve_(None, None, None, None, n, 3)  # writes nothing


@pytest.mark.parametrize("family", FAMILIES)
def test_non_positive_right_hand_sides_write_nothing(family, rng):
    _, _, _, lu_solve_, solve_, _, w = FAMILIES[family]
    A = np.eye(3 * w)[:3].copy() if w == 1 else np.kron(np.eye(3), [1.0, 0.0])
    piv = np.arange(3, dtype=np.int64)
    for m in (0, -1, -(2**63)):
        lu_solve_(A.ctypes.data, piv.ctypes.data, None, None, 3, m)
        assert solve_(A.ctypes.data, None, 3, m, None) == 0


def _allocating_calls():
    """Calls of every routine that allocates, on their success and failure paths."""
    from hardening.test_kernel_fuzz import en_dof, lars, lars_update

    rng = np.random.default_rng(5)
    k = 6
    M = rng.standard_normal((k, k))
    G = M @ M.T
    sing = G.copy()
    sing[:, 0] = 0.0
    Z = np.ascontiguousarray(np.stack([G, M], axis=-1))  # complex, row-major pairs
    zsing = np.zeros_like(Z)
    c = rng.standard_normal(k)
    lam, beta, knots = np.empty(31), np.empty(31 * k), np.empty(1, dtype=np.int64)
    X, B, Xinv = np.empty(k * 3 * 2), np.empty(k * 3 * 2), np.empty(k * k * 2)
    P = lambda a: a.ctypes.data  # noqa: E731

    def run():
        for path in (lars, lars_update):
            path(P(G), P(c), k, 30, 0.0, P(lam), P(beta), P(knots))
            path(P(-G), P(c), k, 30, 0.0, P(lam), P(beta), P(knots))  # indefinite: stops early
        en_dof(P(G), P(c), k, 0.1, 1, 0.0)
        en_dof(P(-G), P(c), k, 0.0, 1, 0.0)  # failed factorisation
        for fam, A, S in (("real", G, sing), ("complex", Z, zsing)):
            _, factor, free, _, solve_, inv_, _ = FAMILIES[fam]
            for M_ in (A, S):
                rec = factor(P(M_), k)
                free(ctypes.byref(rec))
                solve_(P(M_), P(B), k, 3, P(X))
                inv_(P(M_), k, P(Xinv))

    return run


def test_allocations_are_released():
    """Many calls of LARS, the degrees of freedom and the LU routines on every path
    leave the C heap as it was."""
    run = _allocating_calls()
    for _ in range(100):
        run()
    heap = malloc_in_use()
    if heap is None:
        pytest.skip("no allocator statistics under this build")
    for _ in range(5000):
        run()
    assert malloc_in_use() - heap < 16 * 1024
