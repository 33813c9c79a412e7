"""Complex division, product and LU factorisation, solve and inverse."""

import numpy as np
import pytest

from native import P, bits, fn

matmul = fn("c128_matmul")
factor_inplace = fn("c128_lu_factor_inplace")
lu_solve = fn("c128_lu_solve")
solve = fn("c128_solve")
inv = fn("c128_inv")

rng = np.random.default_rng(128)


def c(*shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def cnan(*shape):
    return np.full(shape, complex(np.nan, np.nan))


def same(x, y):
    return np.array_equal(bits(np.asarray(x).view(float)), bits(np.asarray(y).view(float)))


# Reference arithmetic written out as stated, on numpy complex arrays.
def make(re, im):
    out = np.empty(np.shape(re), dtype=complex)
    out.real, out.imag = re, im
    return out


def mul(f, y):
    return make(f.real * y.real - f.imag * y.imag, f.real * y.imag + f.imag * y.real)


def sub_mul(x, f, y):  # x - f*y, the product formed first
    prod = mul(f, y)
    return make(x.real - prod.real, x.imag - prod.imag)


def smith(a, b):
    if abs(b.real) >= abs(b.imag):
        r = b.imag / b.real
        den = b.real + r * b.imag
        return make((a.real + a.imag * r) / den, (a.imag - a.real * r) / den)
    r = b.real / b.imag
    den = b.imag + r * b.real
    return make((a.real * r + a.imag) / den, (a.imag * r - a.real) / den)


def divide(a, b):
    """c128_div(a, b) through the 1-by-1 solve, which is X = B / U[0,0] and nothing else."""
    LU, piv, B, X = np.array([b], dtype=complex), np.zeros(1, dtype=np.int64), np.array([a], dtype=complex), cnan(1)
    with np.errstate(all="ignore"):
        lu_solve(P(LU), P(piv), P(B), P(X), 1, 1)
    return X[0]


@pytest.mark.parametrize(
    "a,b,expect",
    [
        (1, 1j, -1j),
        (1 + 1j, 1 + 1j, 1 + 0j),
        (1, 1e300 + 1e300j, 5e-301 - 5e-301j),  # the plain formula would overflow
        (1 + 1j, 0j, complex(np.nan, np.nan)),
    ],
)
def test_smith_division(a, b, expect):
    q = divide(a, b)
    assert q == expect if not np.isnan(expect) else np.isnan(q.real) and np.isnan(q.imag)


def test_division_follows_the_branch_rule_bit_for_bit():
    a, b = c(40), c(40)
    b[:10] = b[:10].real * (1 + 1j)  # ties |re| == |im|
    b[10:20] = b[10:20].real  # real divisors, then imaginary ones
    b[20:30] = 1j * b[20:30].imag
    assert same([divide(x, y) for x, y in zip(a, b)], [smith(x, y)[()] for x, y in zip(a, b)])


def reference_factor(A):
    A, n, piv = A.copy(), A.shape[0], []
    for k in range(n - 1):
        mag = A[k:, k].real * A[k:, k].real + A[k:, k].imag * A[k:, k].imag
        p = k + int(np.argmax(mag))
        piv.append(p)
        A[[k, p]] = A[[p, k]]
        for i in range(k + 1, n):
            A[i, k] = smith(A[i, k], A[k, k])[()]
            A[i, k + 1 :] = sub_mul(A[i, k + 1 :], A[i, k], A[k, k + 1 :])
    return A, piv + [n - 1]


def reference_solve(LU, piv, B):
    X, n = B.copy(), B.shape[0]
    for k, p in enumerate(piv):
        X[[k, p]] = X[[p, k]]
    for i in range(n):
        for k in range(i):
            X[i] = sub_mul(X[i], LU[i, k], X[k])
    for i in range(n - 1, -1, -1):
        for k in range(i + 1, n):
            X[i] = sub_mul(X[i], LU[i, k], X[k])
        X[i] = [smith(x, LU[i, i])[()] for x in X[i]]
    return X


@pytest.mark.parametrize("n", [2, 9, 37])
def test_factor_and_solve_follow_the_stated_order(n):
    A = c(n, n)
    LU, piv = A.copy(), np.full(n, -7, dtype=np.int64)
    assert factor_inplace(P(LU), P(piv), n) == 0
    ref, ref_piv = reference_factor(A)
    assert piv.tolist() == ref_piv and same(LU, ref)
    for m in (1, 11):  # vectors of four entries and a scalar remainder
        B, X = c(n, m), cnan(n, m)
        lu_solve(P(LU), P(piv), P(B), P(X), n, m)
        assert same(X, reference_solve(LU, piv, B))


@pytest.mark.parametrize(
    "A,status,piv",
    [
        ([[1e-170]], -2, [0]),  # the squared modulus underflows to 0.0
        ([[1e-150]], 0, [0]),
        ([[0, 1], [1, 0]], 0, [1, 1]),
        ([[1, 2], [2, 4]], -2, [1, 1]),
        ([[-5, 1], [3 + 4j, 2]], 0, [0, 1]),  # equal moduli: the diagonal stays the pivot
    ],
)
def test_pivoting_by_squared_modulus(A, status, piv):
    A = np.array(A, dtype=complex)
    got = np.full(A.shape[0], -7, dtype=np.int64)
    assert factor_inplace(P(A), P(got), A.shape[0]) == status and got.tolist() == piv


@pytest.mark.parametrize("n", [1, 8, 101])
def test_solve_and_inverse_agree_with_numpy(n):
    A = c(n, n) + n * np.eye(n)
    B, X, Ainv, eye = c(n, 3), cnan(n, 3), cnan(n, n), np.eye(n, dtype=complex)
    assert solve(P(A), P(B), n, 3, P(X)) == 0 and inv(P(A), n, P(Ainv)) == 0
    np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)
    assert inv(P(eye), n, P(Ainv)) == 0 and same(Ainv, eye)


@pytest.mark.parametrize("n,m,status", [(2, 2, -2), (0, 2, -1), (-2, 2, -1), (1 << 40, 2, -1)])
def test_failures_write_nothing(n, m, status):
    S, B, X, Ainv = np.array([[1, 2], [2, 4]], dtype=complex), np.ones((2, 2), complex), cnan(2, 2), cnan(2, 2)
    assert solve(P(S), P(B), n, m, P(X)) == status and inv(P(S), n, P(Ainv)) == status
    piv = np.arange(2, dtype=np.int64)
    lu_solve(P(S), P(piv), P(B), P(X), 2, -1)  # a negative size: nothing
    lu_solve(P(S), P(piv), P(B), P(X), -2, 2)
    assert np.isnan(X).all() and np.isnan(Ainv).all()


@pytest.mark.parametrize("m,n,p", [(1, 1, 1), (5, 9, 16), (9, 2, 19)])
def test_matmul_sums_in_ascending_order(m, n, p):
    A, B, out = c(m, n), c(n, p), cnan(m, p)
    matmul(P(A), P(B), m, n, p, P(out))
    expect = np.zeros((m, p), dtype=complex)
    for k in range(n):  # s = s + A[i,k] B[k,j], the product formed first
        prod = mul(A[:, k : k + 1], B[k : k + 1, :])
        expect = make(expect.real + prod.real, expect.imag + prod.imag)
    assert same(out, expect)
    matmul(P(A), P(B), m, 0, p, P(out))  # n = 0: 0+0i everywhere
    assert (bits(out.view(float)) == 0).all()
    out = cnan(m, p)
    matmul(P(A), P(B), 0, n, p, P(out))
    matmul(P(A), P(B), m, n, 0, P(out))
    assert np.isnan(out).all()
