"""The LARS-lasso paths where correlations tie: one checker of the lasso optimality
conditions over generated tie-heavy problems, the worked examples with their exact
paths, and a singular Gram matrix ending the path as non-convergent; each for both
routines (the active block eliminated afresh, and its Cholesky factor updated)."""

from fractions import Fraction

import numpy as np
import pytest

from lars_checks import path_faults, run_lars
from native import fn

OK, NC = 0, -2
ROUTINES = pytest.mark.parametrize("name", ["qdl_lars_lasso_gram", "qdl_lars_lasso_gram_update"])


# ---------------------------------------------------------------------------
# Generators of tie-heavy problems. Each returns (G, c) with G positive definite.
# ---------------------------------------------------------------------------
def integer_gram(rng, k):
    """G = A'A with small integer A of full column rank."""
    while True:
        A = rng.integers(-3, 4, size=(k + rng.integers(0, 4), k)).astype(np.float64)
        G = A.T @ A
        if np.linalg.matrix_rank(A) == k and np.linalg.cond(G) < 1e6:
            return G


def equal_magnitudes(rng, k, m):
    """Integer correlations of which two or more (up to all) share the largest |c_j| = m,
    the rest drawn from -m..m (so lower ties occur too)."""
    c = rng.integers(-m, m + 1, size=k).astype(np.float64)
    tied = rng.choice(k, size=rng.integers(2, k + 1), replace=False)
    c[tied] = m * rng.choice([-1.0, 1.0], size=len(tied))
    return c


def gen_start_ties(rng, k):
    """Integer A'A, integer c with equal |c_j|: ties at the first knot and (often) later."""
    return integer_gram(rng, k), equal_magnitudes(rng, k, int(rng.integers(1, 7)))


def gen_planted(rng, k, least_tied=2):
    """A tie planted inside the path: the lasso solution at an integer penalty lam0 is a
    chosen integer b (signs s on its support F), and a set T of the zero coefficients has
    |r_j| = lam0 exactly; c = r + G b is then integer, so the path passes through that knot
    with every member of T tied (|T| up to 12)."""
    G = integer_gram(rng, k)
    lam0 = int(rng.integers(2, 9))
    nF = int(rng.integers(0, k - least_tied + 1))
    idx = rng.permutation(k)
    F, T = idx[:nF], idx[nF : nF + int(rng.integers(least_tied, min(k - nF, 12) + 1))]
    b = np.zeros(k)
    b[F] = rng.integers(1, 4, size=nF) * rng.choice([-1.0, 1.0], size=nF)
    r = rng.integers(-lam0 + 1, lam0, size=k).astype(np.float64)
    r[F] = lam0 * np.sign(b[F])
    r[T] = lam0 * rng.choice([-1.0, 1.0], size=len(T))
    return G, r + G @ b


def gen_duplicates(rng, k):
    """Duplicated columns, some with the sign flipped or scaled, and a tiny ridge: the
    copies tie exactly (|c_j| equal) and stay nearly tied."""
    n_base = int(rng.integers(1, k))
    A = rng.integers(-3, 4, size=(k + 3, n_base)).astype(np.float64)
    src = np.concatenate([np.arange(n_base), rng.integers(0, n_base, size=k - n_base)])
    scale = np.concatenate([np.ones(n_base), rng.choice([-1.0, 1.0, 1.0, 2.0, -0.5], size=k - n_base)])
    X = A[:, src] * scale
    y = rng.integers(-4, 5, size=len(X)).astype(np.float64)
    G = X.T @ X
    return G + 1e-4 * np.diag(G).mean() * np.eye(k), X.T @ y


GENERATORS = {
    "start": (gen_start_ties, range(2, 9)),
    "planted": (gen_planted, range(2, 15)),  # k up to 14 for |T| up to 12
    "duplicates": (gen_duplicates, range(2, 9)),
    "wide": (lambda rng, k: gen_planted(rng, k, least_tied=11), range(11, 15)),  # by pivoting
}


def tie_problems(seed, count):
    """count problems per generator, each followed by a random permutation of itself."""
    rng = np.random.default_rng(seed)
    for name, (gen, ks) in GENERATORS.items():
        for _ in range(count):
            G, c = gen(rng, int(rng.choice(ks)))
            p = rng.permutation(len(c))
            yield name, G, c
            yield name, G[np.ix_(p, p)], c[p]


@pytest.fixture
def problem_count(request):
    return request.config.getoption("--lars-tie-problems")


@ROUTINES
def test_tie_heavy_paths_satisfy_the_lasso_conditions(problem_count, name):
    wrong, routine = {}, fn(name)
    for kind, G, c in tie_problems(2026, problem_count // (2 * len(GENERATORS))):
        faults = path_faults(G, c, *run_lars(G, c, routine))
        if faults:
            wrong.setdefault(kind, []).append((G.tolist(), c.tolist(), faults))
    assert not wrong, {kind: (len(w), w[0]) for kind, w in wrong.items()}


G1, C1 = [[35, -11, -18], [-11, 26, 5], [-18, 5, 12]], [-5, 2, 5]
G2, C2 = [[17, -12, -6], [-12, 10, 2], [-6, 2, 13]], [6, -6, 5]


def exact_solution(G, c):
    return np.linalg.solve(np.array(G, dtype=float), np.array(c, dtype=float))


@pytest.mark.parametrize(
    "G, c, lams, rows",
    [
        # Variables 0 and 2 tie at 5; entering both would drive coefficient 0 positive
        # against its negative correlation: only 2 enters.
        (G1, C1, [5, 1, Fraction(97, 161), 0],
         [[0, 0, 0], [0, 0, Fraction(1, 3)], [Fraction(20, 161), 0, Fraction(89, 161)], None]),
        # Variables 0 and 1 tie at 6 with opposite signs: only 1 enters.
        (G2, C2, [6, Fraction(31, 6), 4, 0],
         [[0, 0, 0], [0, Fraction(-1, 12), 0], [0, Fraction(-2, 9), Fraction(1, 9)], None]),
    ],
)  # fmt: skip
@ROUTINES
def test_worked_tie_paths(G, c, lams, rows, name):
    lam, beta, status = run_lars(G, c, fn(name))
    want = [exact_solution(G, c) if row is None else np.array(row, dtype=float) for row in rows]
    assert status == OK and len(lam) == len(lams)
    np.testing.assert_allclose(lam, [float(x) for x in lams], rtol=0, atol=1e-12)
    np.testing.assert_allclose(beta, np.array(want), rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "G, c, knots",
    [
        ([[1.0, 1.0], [1.0, 1.0]], [1.0, 1.0], 1),  # a column twice
        ([[1.0, -1.0], [-1.0, 1.0]], [2.0, -2.0], 1),  # and with its sign flipped
        ([[4.0, 2.0, 2.0], [2.0, 2.0, 2.0], [2.0, 2.0, 2.0]], [5.0, 3.0, 3.0], 2),  # after a first entry
        # Rank 3: the tie at 0.5 meets a singular block (this was a status 0 path whose
        # later knots were not lasso solutions).
        ([[5.0, -2.0, -1.0, -3.0], [-2.0, 2.0, 1.0, 1.0], [-1.0, 1.0, 2.0, 0.0], [-3.0, 1.0, 0.0, 2.0]],
         [4.0, -4.0, -6.0, 0.0], 3),
    ],
)  # fmt: skip
@ROUTINES
def test_singular_gram_ends_non_convergent_with_valid_knots(G, c, knots, name):
    lam, beta, status = run_lars(G, c, fn(name))
    assert status == NC and len(lam) == knots
    assert path_faults(np.array(G), np.array(c), lam, beta, OK) == ["does not end at the least-squares solution"]
