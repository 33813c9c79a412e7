"""Dense products, matrix-vector helpers, vector difference, dot product, sort and median."""

import numpy as np
import pytest

from native import F64, I64, P, PTR, bits, f64, sig

matmul = sig("qdl_matmul", None, PTR, PTR, PTR, I64, I64, I64)
matmul_atb = sig("qdl_matmul_atb", None, PTR, PTR, PTR, I64, I64, I64)
matmul_abt = sig("qdl_matmul_abt", None, PTR, PTR, PTR, I64, I64, I64)
matmul_abt_plus_c = sig("qdl_matmul_abt_plus_c", None, PTR, PTR, PTR, PTR, I64, I64, I64)
matvec = sig("qdl_matvec", None, PTR, PTR, PTR, I64, I64)
matvec_plus_vec = sig("qdl_matvec_plus_vec", None, PTR, PTR, PTR, PTR, I64, I64)
vsub = sig("qdl_vsub", None, PTR, PTR, PTR, I64)
dot = sig("qdl_dot", F64, PTR, PTR, I64)
sym_inplace = sig("qdl_sym_inplace", None, PTR, I64)
sort_f64 = sig("qdl_sort_f64", None, PTR, I64)
median_f64 = sig("qdl_median_f64", F64, PTR, I64)

rng = np.random.default_rng(20261207)
BIG = np.finfo(np.float64).max


def literal_sum(L, R, start=None):
    """sum_k L[:, k] R[k, :] as one running sum per entry, k ascending, from 0.0."""
    s = np.zeros((L.shape[0], R.shape[1]))
    for k in range(L.shape[1]):
        s = s + L[:, k : k + 1] * R[k : k + 1, :]
    return s


# (routine, A shape, B shape, reference) with n, p, m taken from the shapes.
SHAPES = {
    "ab": (matmul, lambda n, p, m: ((n, p), (p, m)), lambda A, B: literal_sum(A, B)),
    "atb": (matmul_atb, lambda n, p, m: ((n, p), (n, m)), lambda A, B: literal_sum(A.T, B)),
    "abt": (matmul_abt, lambda n, p, m: ((n, p), (m, p)), lambda A, B: literal_sum(A, B.T)),
}
# Sizes around the register tiles and the k blocks (the block of k is 128 long).
SIZES = [(1, 1, 1), (3, 5, 7), (9, 17, 25), (8, 128, 24), (17, 129, 49), (31, 300, 26)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("n,p,m", SIZES)
def test_products_keep_each_sum_in_ascending_order(shape, n, p, m):
    fn, shapes, ref = SHAPES[shape]
    sa, sb = shapes(n, p, m)
    A, B = rng.standard_normal(sa), rng.standard_normal(sb)
    out = f64(p, m) if shape == "atb" else f64(n, m)
    fn(P(A), P(B), P(out), n, p, m)
    assert np.array_equal(bits(out), bits(ref(A, B)))


@pytest.mark.parametrize("n,p,m", SIZES[1:4])
def test_abt_plus_c_adds_the_offset_after_the_sum(n, p, m):
    A, B, C = rng.standard_normal((n, p)), rng.standard_normal((m, p)), rng.standard_normal((n, m))
    out = f64(n, m)
    matmul_abt_plus_c(P(A), P(B), P(C), P(out), n, p, m)
    assert np.array_equal(bits(out), bits(C + literal_sum(A, B.T)))


def test_offset_orders_differ_between_abt_plus_c_and_matvec_plus_vec():
    # 1e16 + 1 rounds back to 1e16: started at the offset the two unit terms are lost,
    # added after the sum (1 + 1 = 2) they are kept.
    ones = np.ones((1, 2))
    big = np.array([[1e16]])
    out = f64(1, 1)
    matmul_abt_plus_c(P(ones), P(ones), P(big), P(out), 1, 2, 1)
    assert out[0, 0] == 1e16 + 2
    vout, x, b = f64(1), np.ones(2), big.ravel()
    matvec_plus_vec(P(ones), P(x), P(b), P(vout), 1, 2)
    assert vout[0] == 1e16


@pytest.mark.parametrize("n,m", [(1, 1), (3, 7), (9, 0), (13, 40)])
def test_matvec_forms(n, m):
    A, x, b = rng.standard_normal((n, m)), rng.standard_normal(m), rng.standard_normal(n)
    out = f64(n)
    matvec(P(A), P(x), P(out), n, m)
    assert np.array_equal(bits(out), bits(literal_sum(A, x[:, None]).ravel()))
    matvec_plus_vec(P(A), P(x), P(b), P(out), n, m)
    expect = b.copy()
    for j in range(m):
        expect = expect + A[:, j] * x[j]
    assert np.array_equal(bits(out), bits(expect))


def test_zero_sizes():
    A, B = np.ones((2, 3)), np.ones((3, 2))
    for fn in (matmul, matmul_abt):
        out = f64(2, 2)
        fn(P(A), P(B), P(out), 0, 3, 2)  # n = 0: untouched
        fn(P(A), P(B), P(out), 2, 3, 0)  # m = 0: untouched
        assert np.isnan(out).all()
        fn(P(A), P(B), P(out), 2, 0, 2)  # p = 0: zeros
        assert np.array_equal(bits(out), bits(np.zeros((2, 2))))
    out = f64(3, 2)
    matmul_atb(P(A), P(B), P(out), 0, 3, 2)  # n = 0: the zero matrix
    assert np.array_equal(bits(out), bits(np.zeros((3, 2))))
    # p = 0: C + 0.0, which turns -0.0 into +0.0.
    C = np.array([[-0.0, 1.5], [-2.0, -0.0]])
    out = f64(2, 2)
    matmul_abt_plus_c(P(A), P(B), P(C), P(out), 2, 0, 2)
    assert np.array_equal(bits(out), bits(np.array([[0.0, 1.5], [-2.0, 0.0]])))
    # m = 0: out is b exactly, -0.0 included; n = 0: untouched.
    b, v = np.array([-0.0, 3.0]), f64(2)
    matvec_plus_vec(P(A), P(b), P(b), P(v), 2, 0)
    assert np.array_equal(bits(v), bits(b))
    v = f64(2)
    matvec(P(A), P(b), P(v), 0, 3)
    matvec_plus_vec(P(A), P(b), P(b), P(v), 0, 3)
    assert np.isnan(v).all()
    matvec(P(A), P(b), P(v), 2, 0)
    assert np.array_equal(bits(v), bits(np.zeros(2)))


def addr(a, offset):
    return a.ctypes.data + offset * a.itemsize


def test_vsub_distinct_in_place_and_overlapping():
    a, b = rng.standard_normal(11), rng.standard_normal(11)
    out = f64(11)
    vsub(P(a), P(b), P(out), 11)
    assert np.array_equal(bits(out), bits(a - b))
    a1, b1 = a.copy(), b.copy()
    vsub(P(a1), P(b), P(a1), 11)  # out == a
    vsub(P(a), P(b1), P(b1), 11)  # out == b
    assert np.array_equal(bits(a1), bits(a - b)) and np.array_equal(bits(b1), bits(a - b))
    # out one element ahead of a: element by element, out[i] = a[i] - b[i] reads the
    # value written at step i-1, so every entry is buf[0] minus a prefix sum of b.
    buf = np.concatenate([[5.0], np.zeros(11)])
    vsub(addr(buf, 0), P(b), addr(buf, 1), 11)
    expect = [5.0]
    for i in range(11):
        expect.append(expect[-1] - b[i])
    assert np.array_equal(bits(buf), bits(np.array(expect)))


def test_dot_is_one_running_sum():
    u, ones = np.array([1e16, 1.0, 1.0]), np.ones(3)
    assert dot(P(u), P(ones), 3) == 1e16
    a, b = rng.standard_normal(37), rng.standard_normal(37)
    s = 0.0
    for u, v in zip(a, b):
        s = s + u * v
    assert dot(P(a), P(b), 37) == s
    assert dot(P(a), P(b), 0) == 0.0 and dot(P(a), P(b), -2) == 0.0


def test_sym_inplace():
    S = rng.standard_normal((6, 6))
    S = S + S.T
    T = S.copy()
    sym_inplace(P(T), 6)
    assert np.array_equal(bits(T), bits(S))  # already symmetric: unchanged
    M = rng.standard_normal((7, 7))
    M[1, 2] = M[2, 1] = 0.75 * BIG  # the pair is summed before halving: infinite
    T = M.copy()
    sym_inplace(P(T), 7)
    with np.errstate(over="ignore"):
        avg = (M + M.T) * 0.5
    np.fill_diagonal(avg, np.diag(M))
    assert np.array_equal(bits(T), bits(avg))
    assert T[1, 2] == np.inf and T[2, 1] == np.inf


@pytest.mark.parametrize(
    "values,median,after",
    [
        ([3.0, 1.0, 2.0], 2.0, [1.0, 2.0, 3.0]),
        ([4.0, 1.0, 3.0, 2.0], 2.5, [1.0, 2.0, 3.0, 4.0]),
        ([7.5], 7.5, [7.5]),
        ([BIG, BIG], np.inf, [BIG, BIG]),  # the middle pair is summed before halving
    ],
)
def test_median_sorts_in_place(values, median, after):
    arr = np.array(values)
    with np.errstate(over="ignore"):
        assert median_f64(P(arr), arr.size) == median
    assert arr.tolist() == after


def test_median_of_nothing_is_the_quiet_nan():
    arr = np.array([2.0, 1.0])
    r = np.array([median_f64(P(arr), 0), median_f64(P(arr), -1)])
    assert (bits(r) == 0x7FF8000000000000).all()
    assert arr.tolist() == [2.0, 1.0]


@pytest.mark.parametrize("n", [2, 10, 101, 1000])
def test_sort_and_median_match_numpy(n):
    x = rng.standard_normal(n)
    x[::7] = 0.0
    x[1::11] = -0.0
    arr = x.copy()
    assert median_f64(P(arr), n) == np.median(x)
    assert np.array_equal(arr, np.sort(x))  # -0.0 and 0.0 compare equal
    arr = x.copy()
    sort_f64(P(arr), n)
    assert np.array_equal(arr, np.sort(x))
