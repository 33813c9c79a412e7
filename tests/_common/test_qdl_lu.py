"""Real LU factorisation with partial pivoting, solve and inverse."""

import ctypes

import numpy as np
import pytest

from native import I64, P, PTR, bits, f64, sig


class F64LU(ctypes.Structure):
    _fields_ = [
        ("lu", ctypes.POINTER(ctypes.c_double)),
        ("piv", ctypes.POINTER(ctypes.c_int64)),
        ("n", ctypes.c_int64),
        ("err", ctypes.c_int64),
    ]


factor_inplace = sig("qdl_lu_factor_inplace", I64, PTR, PTR, I64)
factor = sig("qdl_lu_factor", F64LU, PTR, I64)
lu_free = sig("qdl_lu_free", None, ctypes.POINTER(F64LU))
lu_solve = sig("qdl_lu_solve", None, PTR, PTR, PTR, PTR, I64, I64)
solve = sig("qdl_solve", I64, PTR, PTR, I64, I64, PTR)
inv = sig("qdl_inv", I64, PTR, I64, PTR)

rng = np.random.default_rng(6)
UNSET = -7


def reference_factor(A):
    """The elimination as stated, one step at a time: (LU, pivots written, status)."""
    A, n = A.copy(), A.shape[0]
    piv = []
    for k in range(n - 1):
        col = np.abs(A[k:, k])
        p = k
        for i in range(1, n - k):  # only a strictly larger magnitude moves the choice
            if col[i] > col[p - k]:
                p = k + i
        piv.append(p)
        if col[p - k] == 0:
            return A, piv, -2
        A[[k, p]] = A[[p, k]]
        inv_akk = 1.0 / A[k, k]
        A[k + 1 :, k] = inv_akk * A[k + 1 :, k]
        A[k + 1 :, k + 1 :] = A[k + 1 :, k + 1 :] - A[k + 1 :, k : k + 1] * A[k, k + 1 :]
    piv.append(n - 1)
    return A, piv, -2 if A[n - 1, n - 1] == 0 else 0


def reference_solve(LU, piv, B):
    X, n = B.copy(), B.shape[0]
    for k, p in enumerate(piv):
        X[[k, p]] = X[[p, k]]
    for i in range(1, n):
        for k in range(i):
            X[i] = X[i] - LU[i, k] * X[k]
    for i in range(n - 1, -1, -1):
        for k in range(i + 1, n):
            X[i] = X[i] - LU[i, k] * X[k]
        X[i] = X[i] * (1.0 / LU[i, i])
    return X


def run_factor_inplace(A):
    A = A.copy()
    piv = np.full(A.shape[0], UNSET, dtype=np.int64)
    status = factor_inplace(P(A), P(piv), A.shape[0])
    return A, piv, status


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
    A = np.array(A)
    LU, got_piv, got = run_factor_inplace(A)
    assert got == status and got_piv.tolist() == piv


@pytest.mark.parametrize("n", [2, 3, 5, 8, 9, 17, 40])
def test_factor_and_solve_follow_the_stated_order(n):
    A = rng.standard_normal((n, n))
    A[:, 1] *= 1e-3  # exchanges at most steps
    LU, piv, status = run_factor_inplace(A)
    ref, ref_piv, ref_status = reference_factor(A)
    assert status == ref_status == 0 and piv.tolist() == ref_piv
    assert np.array_equal(bits(LU), bits(ref))
    for m in (1, 3, 8, 13, 37):  # vector widths and scalar remainders
        B, X = rng.standard_normal((n, m)), f64(n, m)
        lu_solve(P(LU), P(piv), P(B), P(X), n, m)
        assert np.array_equal(bits(X), bits(reference_solve(LU, piv, B)))


def test_singular_at_a_middle_step_writes_what_it_reached():
    A = np.array([[2.0, 1.0, 1.0, 3.0], [4.0, 2.0, 5.0, 1.0], [6.0, 3.0, 1.0, 2.0], [1.0, 0.5, 2.0, 9.0]])
    LU, piv, status = run_factor_inplace(A)
    ref, ref_piv, ref_status = reference_factor(A)
    assert status == ref_status == -2 and ref_piv == [2, 1]
    assert piv.tolist() == [2, 1, UNSET, UNSET]
    assert np.array_equal(bits(LU), bits(ref))  # as after step 0, no exchange at step 1


def test_singular_in_a_later_block_of_steps():
    # Rows 21.. are zero in the first 21 columns and in column 21 itself: steps 0..20
    # run (through more than one block of columns), step 21 finds a zero column.
    n = 45
    A = rng.standard_normal((n, n))
    A[21:, :22] = 0.0
    LU, piv, status = run_factor_inplace(A)
    ref, ref_piv, ref_status = reference_factor(A)
    assert status == ref_status == -2 and len(ref_piv) == 22
    assert piv[:22].tolist() == ref_piv and (piv[22:] == UNSET).all()
    assert np.array_equal(bits(LU), bits(ref))


def test_bad_arguments_write_nothing():
    A, piv = f64(2, 2, fill=1.0), np.full(2, UNSET, dtype=np.int64)
    assert factor_inplace(None, P(piv), 2) == -1
    assert factor_inplace(P(A), None, 2) == -1
    assert factor_inplace(P(A), P(piv), 0) == -1
    assert (piv == UNSET).all() and (A == 1.0).all()


def record(r):
    return (bool(r.lu), bool(r.piv), r.n, r.err)


def test_factor_record_lifecycle():
    A = rng.standard_normal((6, 6))
    A0 = A.copy()
    r = factor(P(A), 6)
    assert record(r) == (True, True, 6, 0)
    assert np.array_equal(A, A0)  # the input is copied, never changed
    LU = np.ctypeslib.as_array(r.lu, shape=(6, 6)).copy()
    assert np.array_equal(bits(LU), bits(reference_factor(A)[0]))
    lu_free(ctypes.byref(r))
    assert record(r) == (False, False, 0, 0)
    lu_free(ctypes.byref(r))  # freeing a reset record again does nothing
    lu_free(None)
    S = np.array([[1.0, 2.0], [2.0, 4.0]])
    s = factor(P(S), 2)  # singular: the buffers are still handed back
    assert record(s) == (True, True, 2, -2)
    lu_free(ctypes.byref(s))


@pytest.mark.parametrize("n", [0, -3, 1 << 40])  # the last one overflows n*n
def test_factor_refuses_without_allocating(n):
    A = f64(2, 2, fill=1.0)
    assert record(factor(P(A), n)) == (False, False, n, -1)
    assert record(factor(None, 2)) == (False, False, 2, -1)


@pytest.mark.parametrize("n,m", [(3, -1), (-2, 3), (-2, -2), (0, 3), (3, 0)])
def test_lu_solve_with_a_non_positive_size_writes_nothing(n, m):
    LU, piv = np.eye(3), np.arange(3, dtype=np.int64)
    B, X = np.ones((3, 3)), f64(3, 3)
    lu_solve(P(LU), P(piv), P(B), P(X), n, m)
    assert np.isnan(X).all()


@pytest.mark.parametrize("n", [1, 4, 50, 120])
def test_solve_and_inverse_agree_with_numpy(n):
    A = rng.standard_normal((n, n)) + n * np.eye(n)
    B, X, Ainv = rng.standard_normal((n, 2)), f64(n, 2), f64(n, n)
    assert solve(P(A), P(B), n, 2, P(X)) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
    assert inv(P(A), n, P(Ainv)) == 0
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)
    # The inverse is the solve against the identity, bit for bit.
    X, eye = f64(n, n), np.eye(n)
    solve(P(A), P(eye), n, n, P(X))
    assert np.array_equal(bits(X), bits(Ainv))


def test_exchange_matrix_solves_exactly_and_identity_inverts_exactly():
    A, B, X = np.array([[0.0, 1.0], [1.0, 0.0]]), np.array([[3.0], [-2.5]]), f64(2, 1)
    assert solve(P(A), P(B), 2, 1, P(X)) == 0
    assert X.ravel().tolist() == [-2.5, 3.0]
    Ainv, eye = f64(5, 5), np.eye(5)
    assert inv(P(eye), 5, P(Ainv)) == 0
    assert np.array_equal(bits(Ainv), bits(np.eye(5)))


@pytest.mark.parametrize(
    "A,n,status",
    [
        (np.array([[1.0, 2.0], [2.0, 4.0]]), 2, -2),
        (np.ones((2, 2)), 0, -1),
        (np.ones((2, 2)), -4, -1),
        (np.ones((2, 2)), 1 << 40, -1),  # n*n overflows: refused, not a short buffer
    ],
)
def test_failures_leave_outputs_untouched(A, n, status):
    X, Ainv, B = f64(2, 2), f64(2, 2), np.ones((2, 2))
    assert solve(P(A), P(B), n, 2, P(X)) == status
    assert inv(P(A), n, P(Ainv)) == status
    assert np.isnan(X).all() and np.isnan(Ainv).all()


def test_solve_with_no_right_hand_side_only_factors():
    X, B = f64(2, 1), np.ones((2, 1))
    S, eye = np.array([[1.0, 2.0], [2.0, 4.0]]), np.eye(2)
    assert solve(P(S), P(B), 2, 0, P(X)) == -2
    assert solve(P(eye), P(B), 2, 0, P(X)) == 0
    assert np.isnan(X).all()
