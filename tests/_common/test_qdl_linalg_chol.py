"""The Cholesky core: factorisation, substitutions, Gram products, solve, inverse."""

import math

import numpy as np
import pytest

import literal
from native import P, bits, f64, fn

zero_mat = fn("qdl_zero_mat")
chol = fn("qdl_chol")
fwd = fn("qdl_forward_subst")
bwd = fn("qdl_backward_subst_chol_t")
gram = fn("qdl_gram")
gram_rhs = fn("qdl_gram_rhs")
chol_solve = fn("qdl_chol_solve")
chol_inv = fn("qdl_chol_inv")
logdet = fn("qdl_logdet_from_chol")

EPS = 2.0**-52


def factor(S, jitter=0.0):
    n = S.shape[0]
    L = f64(n, n)
    return chol(P(S), jitter, P(L), n), L


def literal_gram(X, p):
    n = len(X)
    G = [[0.0] * p for _ in range(p)]
    for r in range(n):
        for a in range(p):
            for b in range(a + 1):
                G[a][b] = G[a][b] + X[r][a] * X[r][b]
    for a in range(1, p):
        for b in range(a):
            G[b][a] = G[a][b]
    return G


def spd(rng, n, cond=10.0):
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    return (Q * np.linspace(1.0, cond, n)) @ Q.T


class TestChol:
    @pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 13, 31])
    @pytest.mark.parametrize("jitter", [0.0, 1e-3, -1.0])
    def test_matches_row_order_bit_for_bit(self, rng, n, jitter):
        S = spd(rng, n)
        status, L = factor(S, jitter)
        ref_status, ref = literal.chol(S.tolist(), jitter)
        assert status == ref_status == 0
        assert np.array_equal(bits(L), bits(ref))

    def test_worked_example_and_logdet(self):
        status, L = factor(np.array([[4.0, 2.0], [2.0, 3.0]]))
        assert status == 0
        np.testing.assert_allclose(L, [[2.0, 0.0], [1.0, math.sqrt(2.0)]], rtol=1e-15)
        assert logdet(P(L), 2) == pytest.approx(math.log(8.0), rel=1e-15)

    @pytest.mark.parametrize(
        "S, jitter, status",
        [
            ([[5.0]], 0.0, 0),
            ([[0.0]], 0.0, -1),
            ([[-1.0]], 0.0, -1),
            ([[0.0, 0.0], [0.0, 0.0]], 0.0, -1),
            ([[0.0, 0.0], [0.0, 0.0]], 1e-8, 0),
            ([[1.0, 1.0], [1.0, 1.0]], 0.0, -1),
        ],
    )
    def test_pivot_rule(self, S, jitter, status):
        got, L = factor(np.array(S), jitter)
        assert got == status
        if S == [[0.0, 0.0], [0.0, 0.0]] and status == 0:
            assert np.array_equal(np.diag(L), [math.sqrt(1e-8)] * 2)

    @pytest.mark.parametrize("ulps, status", [(4, 0), (2, -1)])
    def test_pivot_against_tolerance(self, ulps, status):
        # The second pivot of ((1, 1), (1, 1 + u)) is u; the tolerance is (2 * (1 + u)) * eps,
        # just above 2 eps: a remainder of 4 eps passes, one of 2 eps fails.
        u = ulps * EPS
        assert factor(np.array([[1.0, 1.0], [1.0, 1.0 + u]]))[0] == status

    def test_failure_leaves_partial_factor_and_zero_rows(self, rng):
        S = spd(rng, 6)
        S[3, 3] = -5.0
        status, L = factor(S)
        ref_status, ref = literal.chol(S.tolist())
        assert status == ref_status == -1
        assert np.array_equal(bits(L), bits(np.array(ref)))
        assert not L[4:].any() and not np.triu(L, 1).any()

    def test_upper_triangle_is_never_read(self, rng):
        S = spd(rng, 7)
        T = S.copy()
        T[np.triu_indices(7, 1)] = np.nan
        assert np.array_equal(bits(factor(S)[1]), bits(factor(T)[1]))

    def test_nan_diagonal_is_accepted(self):
        status, L = factor(np.array([[np.nan, 0.0], [0.0, 1.0]]))
        assert status == 0 and np.isnan(L[0, 0])

    def test_n_zero_writes_nothing(self):
        L = f64(1)
        assert chol(P(f64(1)), 0.0, P(L), 0) == 0 and np.isnan(L[0])
        assert logdet(None, 0) == 0.0


class TestSubstitution:
    @pytest.mark.parametrize("routine", [fwd, bwd])
    def test_in_place_equals_separate(self, rng, routine):
        n = 9
        _, L = factor(spd(rng, n))
        b = rng.standard_normal(n)
        out = f64(n)
        routine(P(L), P(b), P(out), n)
        inplace = b.copy()
        routine(P(L), P(inplace), P(inplace), n)
        assert np.array_equal(bits(out), bits(inplace))
        A = L if routine is fwd else L.T
        np.testing.assert_allclose(A @ out, b, rtol=1e-12, atol=1e-12)


class TestGram:
    @pytest.mark.parametrize("n", [0, 1, 7, 130, 300])
    @pytest.mark.parametrize("p", [1, 3, 4, 5, 7, 8, 9, 16, 17, 25, 40, 50, 61, 100])
    @pytest.mark.parametrize("special", [False, True])
    def test_bit_for_bit_and_symmetric(self, rng, n, p, special):
        X = rng.standard_normal((n, p)) * 10.0 ** rng.integers(-3, 4, size=(n, p))
        if special and n:  # an infinity or NaN spoils its own row and column only
            X[rng.integers(n, size=3), rng.integers(p, size=3)] = [np.inf, -np.inf, np.nan]
        G = f64(p, p)
        gram(P(X), P(G), n, p)
        want = np.array(literal_gram(X.tolist(), p))
        # A NaN where the literal loop has one, of either sign: of two NaN operands a
        # sum or product returns one, and the compiler may order them either way (the
        # baseline build's two-operand instructions do); every other entry bit for bit.
        nan = np.isnan(want)
        assert np.array_equal(np.isnan(G), nan) and np.array_equal(bits(G[~nan]), bits(want[~nan]))
        assert np.array_equal(bits(G), bits(G.T))

    @pytest.mark.parametrize("p", [6, 8, 13])
    def test_rhs_order(self, rng, p):
        X = rng.standard_normal((50, p))
        y = rng.standard_normal(50)
        g = f64(p)
        gram_rhs(P(X), P(y), P(g), 50, p)
        ref = [0.0] * p
        for r in range(50):
            for a in range(p):
                ref[a] = ref[a] + X[r, a] * y[r]
        assert np.array_equal(bits(g), bits(ref))

    def test_p_zero_writes_nothing(self):
        g = f64(1)
        gram_rhs(P(f64(3)), P(f64(3)), P(g), 3, 0)
        gram(P(f64(3)), P(g), 3, 0)
        assert np.isnan(g[0])


class TestSolveInverse:
    def test_solve(self, rng):
        G = spd(rng, 12, cond=1e3)
        g = rng.standard_normal(12)
        coef, L = f64(12), f64(12, 12)
        assert chol_solve(P(G), P(g), P(coef), P(L), 12) == 0
        np.testing.assert_allclose(coef, np.linalg.solve(G, g), rtol=1e-10)

    def test_failed_solve_leaves_coef(self):
        coef = f64(2, fill=7.0)
        assert chol_solve(P(np.ones((2, 2))), P(np.ones(2)), P(coef), P(f64(2, 2)), 2) == -1
        assert np.array_equal(coef, [7.0, 7.0])

    def test_inverse_of_diagonal(self):
        Pinv = f64(3, 3)
        assert chol_inv(P(np.diag([2.0, 4.0, 0.5])), P(Pinv), P(f64(3, 3)), 3) == 0
        assert Pinv[0, 0] == 0.49999999999999994
        np.testing.assert_allclose(np.diag(Pinv), [0.5, 0.25, 2.0], rtol=1e-15)
        assert not (Pinv - np.diag(np.diag(Pinv))).any()

    def test_inverse(self, rng):
        G = spd(rng, 10, cond=100.0)
        Pinv = f64(10, 10)
        assert chol_inv(P(G), P(Pinv), P(f64(10, 10)), 10) == 0
        np.testing.assert_allclose(Pinv @ G, np.eye(10), atol=1e-12)

    @pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 17, 40])
    def test_inverse_is_the_column_solves_bit_for_bit(self, rng, n):
        """Column j: L z = e_j (sums from 0.0, t ascending), then L' x = z (t > i
        ascending), each entry (rhs - s) / L[i,i]."""
        G = spd(rng, n, cond=1e3)
        Pinv = f64(n, n)
        assert chol_inv(P(G), P(Pinv), P(f64(n, n)), n) == 0
        L = literal.chol(G.tolist())[1]
        want = [[0.0] * n for _ in range(n)]
        for j in range(n):
            x = [0.0] * n
            for i in range(n):
                s = 0.0
                for t in range(i):
                    s = s + L[i][t] * x[t]
                x[i] = ((1.0 if i == j else 0.0) - s) / L[i][i]
            for i in reversed(range(n)):
                s = 0.0
                for t in range(i + 1, n):
                    s = s + L[t][i] * x[t]
                x[i] = (x[i] - s) / L[i][i]
            for i in range(n):
                want[i][j] = x[i]
        assert np.array_equal(bits(Pinv), bits(want))

    @pytest.mark.parametrize("routine", ["solve", "inv"])
    def test_failure_or_empty_leaves_output(self, routine):
        out = f64(4, fill=3.0)
        if routine == "solve":
            assert chol_solve(P(np.zeros((2, 2))), P(np.ones(2)), P(out), P(f64(2, 2)), 2) == -1
        else:
            assert chol_inv(P(np.zeros((2, 2))), P(out), P(f64(2, 2)), 2) == -1
            assert chol_inv(None, P(out), None, 0) == 0
        assert (out == 3.0).all()

    def test_zero_mat(self):
        out = f64(6)
        zero_mat(P(out), 2, 3)
        assert not out.any()
        out = f64(2)
        zero_mat(P(out), 0, 5)
        zero_mat(P(out), -1, -3)
        assert np.isnan(out).all()
