"""The elastic-net kernels through their exported symbols: the coordinate-descent
sweep and the path walk bit for bit against literal transcriptions, and the
active-set degrees of freedom against the same steps run on the exported Cholesky
routines."""

import numpy as np
import pytest

from native import P, bits, f64, fn

en_gram_cd = fn("qdl_en_gram_cd")
en_path = fn("qdl_en_gram_cd_path")
en_dof = fn("qdl_en_active_dof")
lasso_cd = fn("qdl_lasso_gram_cd")
chol = fn("qdl_chol")
fwd = fn("qdl_forward_subst")
bwd = fn("qdl_backward_subst_chol_t")

OK, NON_CONVERGENT = 0, -2


def soft(z, gamma):
    if z > gamma:
        return z - gamma
    if z < -gamma:
        return z + gamma
    return 0.0


def en_reference(G, g, a1, a2, beta0, max_iter, tol):
    """The warm-started sweep, one Python float operation per stated step."""
    k = len(G)
    G, g = G.tolist(), g.tolist()
    coef = [float(v) for v in beta0[:k]]
    Gcoef = []
    for i in range(k):
        acc = 0.0
        for j in range(k):
            acc = acc + G[i][j] * coef[j]
        Gcoef.append(acc + coef[i] * a2)
    status = NON_CONVERGENT
    for _ in range(max_iter):
        max_delta = 0.0
        for j in range(k):
            diag = G[j][j] + a2
            if diag <= 0.0:
                continue
            z = (g[j] - Gcoef[j]) + coef[j] * diag
            new = soft(z, a1) / diag
            delta = new - coef[j]
            if abs(delta) > tol:
                for i in range(k):
                    Gcoef[i] = Gcoef[i] + delta * G[i][j]
                Gcoef[j] = Gcoef[j] + a2 * delta
                coef[j] = new
                max_delta = max(max_delta, abs(delta))
        if max_delta < tol:
            status = OK
            break
    return np.array(coef), np.array(Gcoef), status


def run_cd(G, g, a1, a2, beta0, max_iter, tol):
    k = len(G)
    coef, Gcoef = f64(k), f64(k)
    status = en_gram_cd(P(G), P(g), k, a1, a2, P(beta0), max_iter, tol, P(coef), P(Gcoef))
    return coef, Gcoef, status


def same(a, b):
    """Bit for bit, with any NaN matching any NaN (payloads are the hardware's)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    both_nan = np.isnan(a) & np.isnan(b)
    return a.shape == b.shape and bool(np.all((bits(a) == bits(b)) | both_nan))


def spd(k, seed, n=None):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n or 2 * k, k))
    y = X @ np.where(rng.random(k) < 0.4, rng.standard_normal(k), 0.0) + rng.standard_normal(len(X))
    G = X.T @ X / len(X)
    G = np.tril(G) + np.tril(G, -1).T  # exactly symmetric
    return G, X.T @ y / len(X)


def cd_cases():
    G, g = spd(37, 1)  # 37 = 32 + 5: every width of the row update
    rng = np.random.default_rng(2)
    warm = np.where(rng.random(37) < 0.5, rng.standard_normal(37), 0.0)
    asym = G + np.triu(rng.standard_normal((37, 37)) * 1e-3, 1)
    odd_diag = np.diag([2.0, 0.0, -1.0, np.nan, 1.0])
    return {
        "symmetric zero start": (G, g, 0.05, 0.1, np.zeros(37), 200, 1e-10),
        "symmetric warm start": (G, g, 0.02, 0.3, warm, 200, 1e-9),
        "not symmetric": (asym, g, 0.05, 0.1, warm, 200, 1e-9),
        "skipped diagonals": (odd_diag, np.ones(5), 0.1, 0.5, np.ones(5), 4, 1e-12),
        "non-positive after ridge": (np.eye(3) * 0.5, np.ones(3), 0.0, -0.5, np.ones(3), 3, 1e-12),
        "pure ridge": (G, g, 0.0, 0.3, np.zeros(37), 500, 1e-12),
        "tol zero never converges": (G[:9, :9].copy(), g[:9].copy(), 0.01, 0.1, np.zeros(9), 7, 0.0),
        "no sweep": (G, g, 0.05, 0.1, warm, 0, 1e-9),
        "empty": (np.zeros((0, 0)), np.zeros(0), 0.1, 0.1, np.zeros(0), 3, 1e-9),
    }


@pytest.mark.parametrize("case", list(cd_cases()))
def test_cd_matches_transcription_bit_for_bit(case):
    G, g, a1, a2, beta0, max_iter, tol = cd_cases()[case]
    before = beta0.copy()
    coef, Gcoef, status = run_cd(G, g, a1, a2, beta0, max_iter, tol)
    ref_coef, ref_Gcoef, ref_status = en_reference(G, g, a1, a2, beta0, max_iter, tol)
    assert status == ref_status
    assert same(coef, ref_coef) and same(Gcoef, ref_Gcoef)
    assert same(beta0, before)


def test_without_the_l2_term_is_the_lasso_on_many_problems():
    """From zeros with alpha_l2 = 0 the elastic-net sweep is the lasso sweep, bit for bit,
    over sizes of every width of the row update and G symmetric or not."""
    rng = np.random.default_rng(20)
    for trial in range(300):
        k = int(rng.integers(1, 41))
        G, g = spd(k, trial)
        if trial % 3 == 0:
            G[rng.integers(k), rng.integers(k)] += 1e-3
        alpha = float(rng.uniform(0.0, 1.0) * np.abs(g).max())
        max_iter, tol = int(rng.integers(0, 30)), float(10.0 ** -rng.uniform(6, 12))
        coef, Gcoef, status = run_cd(G, g, alpha, 0.0, np.zeros(k), max_iter, tol)
        lasso_coef, lasso_Gcoef = f64(k), f64(k)
        lasso_status = lasso_cd(P(G), P(g), k, alpha, max_iter, tol, P(lasso_coef), P(lasso_Gcoef))
        assert status == lasso_status and same(coef, lasso_coef) and same(Gcoef, lasso_Gcoef), trial


@pytest.mark.parametrize("i, j", [(2, 5), (3, 20), (3, 35), (33, 36), (36, 36)])  # G is 37 x 37
@pytest.mark.parametrize("kind", ["one-sided change", "inf pair"])
@pytest.mark.parametrize("max_iter", [0, 3])  # 0: the product G beta0 alone
def test_one_odd_entry_anywhere_keeps_the_stated_result(i, j, kind, max_iter):
    """A single asymmetric or non-finite entry, wherever it sits in G, still gives the
    stated sums (G[:,j] and G[j,:] differ, or inf * 0 is NaN)."""
    G, g = spd(37, 10)
    beta0 = np.random.default_rng(11).standard_normal(37)
    if kind == "inf pair":
        G[i, j] = G[j, i] = np.inf
        beta0[i] = 0.0  # inf * 0 is NaN: row i may not be passed over
    elif i != j:
        G[i, j] += 1e-3
    else:
        G[0, j] = -G[0, j]
    coef, Gcoef, status = run_cd(G, g, 0.01, 0.1, beta0, max_iter, 1e-12)
    ref_coef, ref_Gcoef, ref_status = en_reference(G, g, 0.01, 0.1, beta0, max_iter, 1e-12)
    assert status == ref_status and same(coef, ref_coef) and same(Gcoef, ref_Gcoef)


@pytest.mark.parametrize("max_iter, status", [(1, NON_CONVERGENT), (2, OK), (50, OK)])
def test_identity_example(max_iter, status):
    coef, Gcoef, st = run_cd(np.eye(2), np.array([3.0, 0.2]), 0.5, 1.0, np.zeros(2), max_iter, 1e-12)
    assert st == status
    assert coef.tolist() == [1.25, 0.0] and Gcoef.tolist() == [2.5, 0.0]


# --- path --------------------------------------------------------------------


def run_path(G, g, grid, l1_ratio, max_iter, tol):
    k, n = len(G), len(grid)
    coefs, statuses = f64(n, k), np.full(n, 99, dtype=np.int64)
    Gcoef, beta = f64(k), f64(k)
    en_path(P(G), P(g), k, P(grid), n, l1_ratio, max_iter, tol, P(coefs), P(statuses), P(Gcoef), P(beta))
    return coefs, statuses, Gcoef, beta


@pytest.mark.parametrize(
    "grid, order",
    [
        ([0.01, 0.1, 1.0], [2, 1, 0]),
        ([1.0, 0.1, 0.01], [0, 1, 2]),
        ([0.3, 1.0, 0.3], [0, 1, 2]),  # equal ends: the given order
        ([0.05, 1.0, 0.2], [2, 1, 0]),  # only the ends are compared
        ([0.4], [0]),
    ],
)
@pytest.mark.parametrize("max_iter", [2, 1000])  # 2: some points do not converge
def test_path_is_a_chain_of_warm_started_solves(grid, order, max_iter):
    G, g = spd(11, 6)
    grid = np.array(grid)
    l1_ratio, tol = 0.7, 1e-10
    coefs, statuses, Gcoef, beta = run_path(G, g, grid, l1_ratio, max_iter, tol)
    start = np.zeros(11)
    for idx in order:
        a = grid[idx]
        coef, Gc, st = run_cd(G, g, a * l1_ratio, a * (1.0 - l1_ratio), start, max_iter, tol)
        assert statuses[idx] == st and same(coefs[idx], coef)
        start = coef
    assert same(beta, start) and same(Gcoef, Gc)
    if max_iter == 2:
        assert NON_CONVERGENT in statuses


def test_empty_grid_only_zeroes_the_start():
    G, g = spd(4, 8)
    coefs, statuses, Gcoef, beta = run_path(G, g, np.zeros(0), 0.5, 10, 1e-9)
    assert beta.tolist() == [0.0] * 4 and np.isnan(Gcoef).all()


# --- active-set degrees of freedom ---------------------------------------------


def dof_reference(G, beta, alpha_l2, intercept, atol):
    """The stated steps, with the exported factorisation and substitutions."""
    ic = 1.0 if intercept else 0.0
    active = [j for j in range(len(beta)) if abs(beta[j]) > atol]
    na = len(active)
    if na == 0:
        return ic
    GA = G[np.ix_(active, active)].copy()
    pen = GA + 0.0
    pen[np.diag_indices(na)] += alpha_l2
    L = f64(na, na)
    if chol(P(pen), 0.0, P(L), na) != 0:
        return ic + na
    dof = 0.0
    for c in range(na):
        col = GA[:, c].copy()
        fwd(P(L), P(col), P(col), na)
        bwd(P(L), P(col), P(col), na)
        dof = dof + col[c]
    return ic + dof


@pytest.mark.parametrize("alpha_l2", [0.0, 0.37])
def test_dof_matches_steps_bit_for_bit(alpha_l2):
    # Every active-set size up to 80: any number of whole vectors and every tail width.
    for na in range(1, 81):
        rng = np.random.default_rng(na)
        k = na + 6
        G, _ = spd(k, na, n=3 * k)
        beta = rng.standard_normal(k)
        beta[rng.choice(k, 6, replace=False)] = rng.choice([0.0, 1e-9, -1e-9, np.nan], 6)
        got = en_dof(P(G), P(beta), k, alpha_l2, 0, 1e-9)
        assert same(got, dof_reference(G, beta, alpha_l2, 0, 1e-9)), na


TWO = np.array([[2.0, 1.0], [1.0, 2.0]])
DUP = np.array([[1.0, 1.0, 0.0], [1.0, 1.0, 0.0], [0.0, 0.0, 3.0]])
DIAG = np.diag([1.0, 3.0, 4.0])


@pytest.mark.parametrize(
    "G, beta, alpha_l2, intercept, atol, expected",
    [
        (TWO, [1.0, 1.0], 1.0, 1, 0.0, 2.25),  # 1 + 3/4 + 1/2
        (np.eye(3), [1.0, 0.0, -2.0], 1.0, 0, 0.0, 1.0),
        (DIAG, [1.0, 1.0, 1.0], 2.0, 0, 0.5, 1 / 3 + 3 / 5 + 4 / 6),
        (DIAG, [1.0, 1.0, 1.0], 0.0, 0, 0.5, 3.0),
        (TWO, [0.5, -0.5], 1.0, 1, 0.5, 1.0),  # |beta| equal to atol is not active
        (TWO, [np.nan, 0.0], 1.0, 0, 0.0, 0.0),  # NaN is never active
        (np.zeros((0, 0)), [], 1.0, 1, 0.0, 1.0),
        (DUP, [1.0, 1.0, 1.0], 0.0, 1, 0.0, 4.0),  # singular block: ic + na
        (TWO, [1.0, 1.0], -5.0, 0, 0.0, 2.0),  # indefinite after the ridge term
        (TWO, [1.0, 1.0], 1.0, 5, 0.0, 2.25),  # any non-zero intercept counts once
    ],
)
def test_dof_examples(G, beta, alpha_l2, intercept, atol, expected):
    beta = np.array(beta, dtype=np.float64)
    got = en_dof(P(G), P(beta) if len(beta) else None, len(G), alpha_l2, intercept, atol)
    assert got == pytest.approx(expected, rel=1e-14, abs=0)
