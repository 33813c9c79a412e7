"""Real LU factorisation with partial pivoting, solve and inverse."""

import ctypes

import numpy as np
import pytest

from native import P, bits, f64, fn


factor_inplace = fn("qdl_lu_factor_inplace")
factor = fn("qdl_lu_factor")
lu_free = fn("qdl_lu_free")
lu_solve = fn("qdl_lu_solve")
solve = fn("qdl_solve")
inv = fn("qdl_inv")

rng = np.random.default_rng(6)
UNSET = -7


def reference_factor(A):
    """The elimination as stated, one step at a time: (LU, pivots written, status)."""
    A, n, piv = A.copy(), A.shape[0], []
    for k in range(n - 1):
        col = np.abs(A[k:, k])
        p = k + int(np.argmax(col))  # the first of equal maxima; no NaN in these tests
        piv.append(p)
        if col[p - k] == 0:
            return A, piv, -2
        A[[k, p]] = A[[p, k]]
        A[k + 1 :, k] = (1.0 / A[k, k]) * A[k + 1 :, k]
        A[k + 1 :, k + 1 :] = A[k + 1 :, k + 1 :] - A[k + 1 :, k : k + 1] * A[k, k + 1 :]
    return A, piv + [n - 1], -2 if A[-1, -1] == 0 else 0


def reference_solve(LU, piv, B):
    X, n = B.copy(), B.shape[0]
    for k, p in enumerate(piv):
        X[[k, p]] = X[[p, k]]
    for i in range(n):
        for k in range(i):
            X[i] = X[i] - LU[i, k] * X[k]
    for i in range(n - 1, -1, -1):
        for k in range(i + 1, n):
            X[i] = X[i] - LU[i, k] * X[k]
        X[i] = X[i] * (1.0 / LU[i, i])
    return X


def run_factor_inplace(A):
    A, piv = A.copy(), np.full(A.shape[0], UNSET, dtype=np.int64)
    return A, piv, factor_inplace(P(A), P(piv), A.shape[0])


@pytest.mark.parametrize(
    "A,status,piv",
    [
        ([[0.0, 1.0], [1.0, 0.0]], 0, [1, 1]),  # one exchange at step 0
        ([[1.0, 2.0], [2.0, 4.0]], -2, [1, 1]),  # row 1 chosen, last diagonal exactly 0
        ([[0.0, 0.0], [0.0, 1.0]], -2, [0, UNSET]),  # zero column at step 0, no exchange
        ([[1.0, 0.0], [-1.0, 1.0]], 0, [0, 1]),  # tied magnitudes: the top row stays
        ([[0.0]], -2, [0]),
        ([[5.0]], 0, [0]),
        ([[1e-300, 1.0], [0.0, 1.0]], 0, [0, 1]),  # any nonzero pivot is accepted
        ([[np.nan, 1.0], [3.0, 1.0]], 0, [0, 1]),  # a NaN is never chosen over it
    ],
)
def test_pivoting_and_singularity(A, status, piv):
    _, got_piv, got = run_factor_inplace(np.array(A))
    assert got == status and got_piv.tolist() == piv


@pytest.mark.parametrize("n", [3, 9, 40])
def test_factor_and_solve_follow_the_stated_order(n):
    A = rng.standard_normal((n, n))
    A[:, 1] *= 1e-3  # exchanges at most steps
    LU, piv, status = run_factor_inplace(A)
    ref, ref_piv, _ = reference_factor(A)
    assert status == 0 and piv.tolist() == ref_piv
    assert np.array_equal(bits(LU), bits(ref))
    for m in (1, 13, 37):  # vector widths and scalar remainders
        B, X = rng.standard_normal((n, m)), f64(n, m)
        lu_solve(P(LU), P(piv), P(B), P(X), n, m)
        assert np.array_equal(bits(X), bits(reference_solve(LU, piv, B)))


def test_singular_step_after_the_first_block_of_steps():
    # Rows 21.. are zero in the first 22 columns: steps 0..20 run, across more than
    # one block of columns, and step 21 finds a zero column. A is as after step 20.
    A = rng.standard_normal((45, 45))
    A[21:, :22] = 0.0
    LU, piv, status = run_factor_inplace(A)
    ref, ref_piv, _ = reference_factor(A)
    assert status == -2 and len(ref_piv) == 22
    assert piv[:22].tolist() == ref_piv and (piv[22:] == UNSET).all()
    assert np.array_equal(bits(LU), bits(ref))


def test_factor_record_lifecycle():
    A = rng.standard_normal((6, 6))
    A0, S = A.copy(), np.array([[1.0, 2.0], [2.0, 4.0]])
    r = factor(P(A), 6)
    assert (bool(r.lu), bool(r.piv), r.n, r.err) == (True, True, 6, 0) and np.array_equal(A, A0)
    lu_free(ctypes.byref(r))
    assert (r.lu, r.piv, r.n, r.err) == (None, None, 0, 0)
    lu_free(ctypes.byref(r))  # freeing a reset record again does nothing
    lu_free(None)
    s = factor(P(S), 2)  # singular: the buffers are still handed back
    assert (bool(s.lu), bool(s.piv), s.err) == (True, True, -2)
    lu_free(ctypes.byref(s))
    for n in (0, -3, 1 << 40):  # the last one overflows n*n: refused, no short buffer
        r = factor(P(A), n)
        assert (r.lu, r.piv, r.n, r.err) == (None, None, n, -1)


@pytest.mark.parametrize("n,m", [(3, -1), (-2, 3), (0, 3), (3, 0)])
def test_lu_solve_with_a_non_positive_size_writes_nothing(n, m):
    LU, piv, B, X = np.eye(3), np.arange(3, dtype=np.int64), np.ones((3, 3)), f64(3, 3)
    lu_solve(P(LU), P(piv), P(B), P(X), n, m)
    assert np.isnan(X).all()


@pytest.mark.parametrize("n", [1, 50, 120])
def test_solve_and_inverse_agree_with_numpy(n):
    A = rng.standard_normal((n, n)) + n * np.eye(n)
    B, X, Ainv, eye = rng.standard_normal((n, 2)), f64(n, 2), f64(n, n), np.eye(n)
    assert solve(P(A), P(B), n, 2, P(X)) == 0 and inv(P(A), n, P(Ainv)) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)
    assert inv(P(eye), n, P(Ainv)) == 0 and np.array_equal(bits(Ainv), bits(eye))


@pytest.mark.parametrize("n,m,status", [(2, 2, -2), (2, 0, -2), (0, 2, -1), (-4, 2, -1), (1 << 40, 2, -1)])
def test_failures_leave_outputs_untouched(n, m, status):
    S, B, X, Ainv = np.array([[1.0, 2.0], [2.0, 4.0]]), np.ones((2, 2)), f64(2, 2), f64(2, 2)
    assert solve(P(S), P(B), n, m, P(X)) == status and inv(P(S), n, P(Ainv)) == status
    assert np.isnan(X).all() and np.isnan(Ainv).all()
