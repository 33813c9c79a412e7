"""Dense products, matrix-vector helpers, vector difference, dot product and the
symmetrisation."""

import numpy as np
import pytest

from native import P, bits, f64, fn

matmul = fn("qdl_matmul")
matmul_atb = fn("qdl_matmul_atb")
matmul_abt = fn("qdl_matmul_abt")
matmul_abt_plus_c = fn("qdl_matmul_abt_plus_c")
matvec = fn("qdl_matvec")
matvec_plus_vec = fn("qdl_matvec_plus_vec")
vsub = fn("qdl_vsub")
dot = fn("qdl_dot")
sym_inplace = fn("qdl_sym_inplace")

rng = np.random.default_rng(20261207)
BIG = np.finfo(np.float64).max


def literal_sum(L, R):
    """sum_k L[:, k] R[k, :] as one running sum per entry, k ascending, from 0.0."""
    s = np.zeros((L.shape[0], R.shape[1]))
    for k in range(L.shape[1]):
        s = s + L[:, k : k + 1] * R[k : k + 1, :]
    return s


# Sizes around the register tiles and the blocks of k (128 long).
@pytest.mark.parametrize(
    "n,p,m", [(1, 1, 1), (3, 5, 7), (8, 128, 24), (17, 129, 49), (31, 300, 26), (13, 513, 70)]
)
def test_products_keep_each_sum_in_ascending_order(n, p, m):
    A, Bab, Batb, Babt, C = (rng.standard_normal(s) for s in [(n, p), (p, m), (n, m), (m, p), (n, m)])
    cases = [
        (matmul, (A, Bab), f64(n, m), literal_sum(A, Bab)),
        (matmul_atb, (A, Batb), f64(p, m), literal_sum(A.T, Batb)),
        (matmul_abt, (A, Babt), f64(n, m), literal_sum(A, Babt.T)),
        (matmul_abt_plus_c, (A, Babt, C), f64(n, m), C + literal_sum(A, Babt.T)),
    ]
    for routine, args, out, expect in cases:
        routine(*map(P, args), P(out), n, p, m)
        assert np.array_equal(bits(out), bits(expect)), routine.__name__
    x = rng.standard_normal(p)
    v = f64(n)
    matvec(P(A), P(x), P(v), n, p)
    assert np.array_equal(bits(v), bits(literal_sum(A, x[:, None]).ravel()))


def test_offset_orders_differ_between_abt_plus_c_and_matvec_plus_vec():
    # 1e16 + 1 rounds back to 1e16: started at the offset the unit terms are lost,
    # added after the sum (1 + 1 = 2) they are kept.
    ones, x, big, out, v = np.ones((1, 2)), np.ones(2), np.array([1e16]), f64(1, 1), f64(1)
    matmul_abt_plus_c(P(ones), P(ones), P(big), P(out), 1, 2, 1)
    matvec_plus_vec(P(ones), P(x), P(big), P(v), 1, 2)
    assert out[0, 0] == 1e16 + 2 and v[0] == 1e16


def test_zero_sizes_and_signed_zeros():
    A, B, C, b = np.ones((2, 3)), np.ones((3, 2)), np.array([[-0.0, 1.5], [-2.0, -0.0]]), np.array([-0.0, 3.0])
    for routine in (matmul, matmul_abt, matmul_abt_plus_c):
        args = (A, B, C) if routine is matmul_abt_plus_c else (A, B)
        out = f64(2, 2)
        routine(*map(P, args), P(out), 0, 3, 2)  # n = 0 and m = 0: untouched
        routine(*map(P, args), P(out), 2, 3, 0)
        assert np.isnan(out).all()
        routine(*map(P, args), P(out), 2, 0, 2)  # p = 0: zeros, or C + 0.0 (-0.0 -> +0.0)
        expect = C + 0.0 if routine is matmul_abt_plus_c else np.zeros((2, 2))
        assert np.array_equal(bits(out), bits(expect))
    out = f64(3, 2)
    matmul_atb(P(A), P(B), P(out), 0, 3, 2)  # n = 0: the zero matrix
    assert (bits(out) == 0).all()
    v = f64(2)
    matvec_plus_vec(P(A), P(b), P(b), P(v), 2, 0)  # m = 0: b exactly, -0.0 included
    assert np.array_equal(bits(v), bits(b))


def test_vsub_in_place_and_overlapping():
    a, b = rng.standard_normal(11), rng.standard_normal(11)
    a1, b1 = a.copy(), b.copy()
    vsub(P(a1), P(b), P(a1), 11)
    vsub(P(a), P(b1), P(b1), 11)
    assert np.array_equal(bits(a1), bits(a - b)) and np.array_equal(bits(b1), bits(a - b))
    # out one element ahead of a: element by element, each step reads the value the
    # step before wrote: buf[i+1] = buf[i] - b[i].
    buf = np.concatenate([[5.0], np.zeros(11)])
    vsub(P(buf), P(b), P(buf) + 8, 11)
    assert np.array_equal(bits(buf), bits(np.subtract.accumulate(np.concatenate([[5.0], b]))))


def test_dot_is_one_running_sum():
    u, ones = np.array([1e16, 1.0, 1.0]), np.ones(3)
    assert dot(P(u), P(ones), 3) == 1e16 and dot(P(u), P(ones), 0) == 0.0


def test_sym_inplace_sums_the_pair_before_halving():
    M = rng.standard_normal((7, 7))
    M[1, 2] = M[2, 1] = 0.75 * BIG
    T = M.copy()
    sym_inplace(P(T), 7)
    with np.errstate(over="ignore"):
        avg = (M + M.T) * 0.5
    np.fill_diagonal(avg, np.diag(M))
    assert np.array_equal(bits(T), bits(avg)) and T[1, 2] == np.inf
