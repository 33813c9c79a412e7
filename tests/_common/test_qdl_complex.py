"""Complex arithmetic, product and LU factorisation, solve and inverse."""

import ctypes

import numpy as np
import pytest

from native import I64, P, PTR, bits, sig


class C128LU(ctypes.Structure):
    _fields_ = [
        ("lu", ctypes.c_void_p),
        ("piv", ctypes.POINTER(ctypes.c_int64)),
        ("n", ctypes.c_int64),
        ("err", ctypes.c_int64),
    ]


matmul = sig("c128_matmul", None, PTR, PTR, I64, I64, I64, PTR)
factor_inplace = sig("c128_lu_factor_inplace", I64, PTR, PTR, I64)
factor = sig("c128_lu_factor", C128LU, PTR, I64)
lu_free = sig("c128_lu_free", None, ctypes.POINTER(C128LU))
lu_solve = sig("c128_lu_solve", None, PTR, PTR, PTR, PTR, I64, I64)
solve = sig("c128_solve", I64, PTR, PTR, I64, I64, PTR)
inv = sig("c128_inv", I64, PTR, I64, PTR)

rng = np.random.default_rng(128)


def c(*shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def cnan(*shape):
    return np.full(shape, np.nan + 1j * np.nan)


# Reference arithmetic on (re, im) float arrays, written out as stated.
def mul(a, b):
    return a.real * b.real - a.imag * b.imag, a.real * b.imag + a.imag * b.real


def sub_mul(x, f, y):
    re, im = mul(f, y)
    return make(x.real - re, x.imag - im)


def make(re, im):
    out = np.empty(np.shape(re), dtype=complex)
    out.real, out.imag = re, im
    return out


def smith(a, b):
    """a / b by Smith's rule, the branch on |b.re| >= |b.im|."""
    if abs(b.real) >= abs(b.imag):
        r = b.imag / b.real
        den = b.real + r * b.imag
        return make((a.real + a.imag * r) / den, (a.imag - a.real * r) / den)
    r = b.real / b.imag
    den = b.imag + r * b.real
    return make((a.real * r + a.imag) / den, (a.imag * r - a.real) / den)


def divide(a, b):
    """c128_div through the 1-by-1 solve: X = B / U[0,0] with no other step."""
    LU, piv = np.array([[b]], dtype=complex), np.zeros(1, dtype=np.int64)
    B, X = np.array([[a]], dtype=complex), cnan(1, 1)
    lu_solve(P(LU), P(piv), P(B), P(X), 1, 1)
    return X[0, 0]


@pytest.mark.parametrize(
    "a,b,expect",
    [
        (1, 1j, -1j),
        (1 + 1j, 1 + 1j, 1 + 0j),
        (1, 1e300 + 1e300j, 5e-301 - 5e-301j),  # the plain formula would overflow
    ],
)
def test_smith_division_cases(a, b, expect):
    assert divide(a, b) == expect


def test_division_by_zero_gives_nan_components():
    with np.errstate(invalid="ignore", divide="ignore"):
        q = divide(1 + 1j, 0j)
    assert np.isnan(q.real) and np.isnan(q.imag)


def test_division_follows_the_branch_rule_bit_for_bit():
    a, b = c(40), c(40)
    b[:10] = b[:10].real * (1 + 1j)  # ties |re| == |im|
    b[10:15] = b[10:15].real  # real divisors
    b[15:20] = 1j * b[15:20].imag  # imaginary divisors
    got = np.array([divide(x, y) for x, y in zip(a, b)])
    expect = np.array([smith(x, y)[()] for x, y in zip(a, b)])
    assert np.array_equal(bits(got.view(float)), bits(expect.view(float)))


def reference_factor(A):
    A, n = A.copy(), A.shape[0]
    piv = []
    for k in range(n - 1):
        mag = A[k:, k].real * A[k:, k].real + A[k:, k].imag * A[k:, k].imag
        p = k
        for i in range(1, n - k):
            if mag[i] > mag[p - k]:
                p = k + i
        piv.append(p)
        if mag[p - k] == 0:
            return A, piv, -2
        A[[k, p]] = A[[p, k]]
        for i in range(k + 1, n):
            A[i, k] = smith(A[i, k], A[k, k])[()]
            A[i, k + 1 :] = sub_mul(A[i, k + 1 :], A[i, k], A[k, k + 1 :])
    piv.append(n - 1)
    last = A[n - 1, n - 1]
    return A, piv, -2 if last.real * last.real + last.imag * last.imag == 0 else 0


def reference_solve(LU, piv, B):
    X, n = B.copy(), B.shape[0]
    for k, p in enumerate(piv):
        X[[k, p]] = X[[p, k]]
    for i in range(1, n):
        for k in range(i):
            X[i] = sub_mul(X[i], LU[i, k], X[k])
    for i in range(n - 1, -1, -1):
        for k in range(i + 1, n):
            X[i] = sub_mul(X[i], LU[i, k], X[k])
        X[i] = [smith(x, LU[i, i])[()] for x in X[i]]
    return X


@pytest.mark.parametrize("n", [2, 5, 9, 37])
def test_factor_and_solve_follow_the_stated_order(n):
    A = c(n, n)
    LU, piv = A.copy(), np.full(n, -7, dtype=np.int64)
    assert factor_inplace(P(LU), P(piv), n) == 0
    ref, ref_piv, _ = reference_factor(A)
    assert piv.tolist() == ref_piv
    assert np.array_equal(bits(LU.view(float)), bits(ref.view(float)))
    for m in (1, 4, 11):  # one vector of four entries, and scalar remainders
        B, X = c(n, m), cnan(n, m)
        lu_solve(P(LU), P(piv), P(B), P(X), n, m)
        assert np.array_equal(bits(X.view(float)), bits(reference_solve(LU, piv, B).view(float)))


@pytest.mark.parametrize(
    "A,status,piv",
    [
        ([[1e-170]], -2, [0]),  # the squared modulus underflows to 0.0
        ([[1e-150]], 0, [0]),
        ([[0, 1], [1, 0]], 0, [1, 1]),
        ([[1, 2], [2, 4]], -2, [1, 1]),
        ([[-5, 1], [3 + 4j, 2]], 0, [0, 1]),  # equal moduli: the diagonal stays the pivot
        ([[1, 1], [-1j, 2]], 0, [0, 1]),
    ],
)
def test_pivoting_by_squared_modulus(A, status, piv):
    A = np.array(A, dtype=complex)
    got = np.full(A.shape[0], -7, dtype=np.int64)
    assert factor_inplace(P(A), P(got), A.shape[0]) == status
    assert got.tolist() == piv


def test_exchange_matrix_solves_exactly_and_identity_inverts_exactly():
    A, B, X = np.array([[0, 1], [1, 0]], dtype=complex), np.array([[2 - 1j], [3j]]), cnan(2, 1)
    assert solve(P(A), P(B), 2, 1, P(X)) == 0
    assert X.ravel().tolist() == [3j, 2 - 1j]
    eye, Ainv = np.eye(6, dtype=complex), cnan(6, 6)
    assert inv(P(eye), 6, P(Ainv)) == 0
    assert np.array_equal(bits(Ainv.view(float)), bits(eye.view(float)))


@pytest.mark.parametrize("n", [1, 3, 8, 50, 101])
def test_solve_and_inverse_agree_with_numpy(n):
    A = c(n, n) + n * np.eye(n)
    B, X, Ainv = c(n, 3), cnan(n, 3), cnan(n, n)
    assert solve(P(A), P(B), n, 3, P(X)) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
    assert inv(P(A), n, P(Ainv)) == 0
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("n,status", [(0, -1), (-2, -1), (1 << 40, -1), (2, -2)])
def test_failures_leave_outputs_untouched(n, status):
    A, B, X, Ainv = np.array([[1, 2], [2, 4]], dtype=complex), np.ones((2, 2), complex), cnan(2, 2), cnan(2, 2)
    assert solve(P(A), P(B), n, 2, P(X)) == status
    assert inv(P(A), n, P(Ainv)) == status
    assert np.isnan(X).all() and np.isnan(Ainv).all()


@pytest.mark.parametrize("n,m", [(2, -1), (-2, 2), (0, 2), (2, 0)])
def test_lu_solve_with_a_non_positive_size_writes_nothing(n, m):
    LU, piv, B, X = np.eye(2, dtype=complex), np.arange(2, dtype=np.int64), np.ones((2, 2), complex), cnan(2, 2)
    lu_solve(P(LU), P(piv), P(B), P(X), n, m)
    assert np.isnan(X).all()


def test_factor_record_lifecycle():
    A = c(4, 4)
    A0 = A.copy()
    r = factor(P(A), 4)
    assert (bool(r.lu), bool(r.piv), r.n, r.err) == (True, True, 4, 0)
    assert np.array_equal(A, A0)
    lu_free(ctypes.byref(r))
    assert (r.lu, bool(r.piv), r.n, r.err) == (None, False, 0, 0)
    lu_free(ctypes.byref(r))
    lu_free(None)
    r = factor(P(A), 0)
    assert (r.lu, bool(r.piv), r.n, r.err) == (None, False, 0, -1)


def reference_matmul(A, B):
    s = np.zeros((A.shape[0], B.shape[1]), dtype=complex)
    for k in range(A.shape[1]):
        re, im = mul(A[:, k : k + 1], B[k : k + 1, :])
        s = make(s.real + re, s.imag + im)
    return s


@pytest.mark.parametrize("m,n,p", [(1, 1, 1), (3, 5, 7), (5, 9, 16), (9, 2, 19)])
def test_matmul_sums_in_ascending_order(m, n, p):
    A, B, out = c(m, n), c(n, p), cnan(m, p)
    matmul(P(A), P(B), m, n, p, P(out))
    assert np.array_equal(bits(out.view(float)), bits(reference_matmul(A, B).view(float)))


def test_matmul_sizes():
    A, B, out = c(2, 3), c(3, 2), cnan(2, 2)
    matmul(P(A), P(B), 0, 3, 2, P(out))
    matmul(P(A), P(B), 2, 3, 0, P(out))
    assert np.isnan(out).all()
    matmul(P(A), P(B), 2, 0, 2, P(out))
    assert (bits(out.view(float)) == 0).all()  # 0+0i, both zeros positive
