"""The lasso kernels through their exported symbols. Bit-level checks compare with
plain-Python transcriptions of the stated operation order (Python floats are IEEE
doubles and nothing is fused), which the vectorised kernels must reproduce exactly."""

import math

import numpy as np
import pytest

from native import P, bits, f64, fn

cd = fn("qdl_lasso_gram_cd")
lars = fn("qdl_lars_lasso_gram")
path_eval = fn("qdl_lasso_path_eval")
OK, NC = 0, -2
SIX_G, SIX_C = [[2.0, -2.0, 1.0], [-2.0, 3.0, -2.0], [1.0, -2.0, 2.0]], [3.0, 11.0, -10.0]


def arr(x):
    return np.ascontiguousarray(x, dtype=np.float64)


def run_cd(G, g, alpha, max_iter, tol):
    G, g = arr(G), arr(g)
    coef, Gcoef = f64(len(g)), f64(len(g))
    return coef, Gcoef, cd(P(G), P(g), len(g), alpha, max_iter, tol, P(coef), P(Gcoef))


def run_lars(G, c, max_iter, tol=1e-10, routine=lars):
    """The path trimmed to its knots; a spare row beyond max_iter + 1 must stay unwritten."""
    G, c = arr(G), arr(c)
    room = max(1, max_iter + 1)
    lam, beta, n = f64(room + 1), f64(room + 1, len(c)), np.array([-7], dtype=np.int64)
    status = routine(P(G), P(c), len(c), max_iter, tol, P(lam), P(beta), P(n))
    n = int(n[0])
    assert 1 <= n <= room and np.isnan(lam[n:]).all() and np.isnan(beta[n:]).all()
    return lam[:n], beta[:n], status


def run_eval(lam_path, beta_path, grid):
    lam_path, beta_path, grid = arr(lam_path), arr(beta_path), arr(grid)
    out = f64(len(grid), beta_path.shape[1])
    path_eval(P(lam_path), P(beta_path), len(lam_path), beta_path.shape[1], P(grid), len(grid), P(out))
    return out


def cd_reference(G, g, alpha, max_iter, tol):
    k = len(g)
    coef, Gc = [0.0] * k, [0.0] * k
    for _ in range(max_iter):
        max_delta = 0.0
        for j in (j for j in range(k) if G[j][j] > 0.0):
            z = (g[j] - Gc[j]) + coef[j] * G[j][j]
            new = (z - alpha if z > alpha else z + alpha if z < -alpha else 0.0) / G[j][j]
            delta = new - coef[j]
            if abs(delta) > tol:
                Gc = [Gc[i] + delta * G[i][j] for i in range(k)]
                coef[j], max_delta = new, max(max_delta, abs(delta))
        if max_delta < tol:
            return coef, Gc, OK
    return coef, Gc, NC


def solve_small(A, b):
    n, A, b = len(b), [row[:] for row in A], b[:]
    for col in range(n):
        m = max(range(col, n), key=lambda row: (abs(A[row][col]), -row))  # the first largest
        A[col], A[m], b[col], b[m] = A[m], A[col], b[m], b[col]
        for row in range(col + 1, n):
            f = A[row][col] / A[col][col]
            b[row] = b[row] - f * b[col]
            A[row][col:] = [A[row][c] - f * A[col][c] for c in range(col, n)]
    x = [0.0] * n
    for i in reversed(range(n)):
        x[i] = b[i]
        for j in range(i + 1, n):
            x[i] = x[i] - A[i][j] * x[j]
        x[i] = x[i] / A[i][i]
    return x


def lars_literal(G, c, max_iter, tol):
    """The homotopy with the strict crossing test t > 0 (no tie handling)."""
    k = len(c)
    beta, signs, active, r = [0.0] * k, [0.0] * k, [False] * k, list(c)
    lam = max([0.0] + [abs(x) for x in r])
    lams, rows, drop = [lam], [[0.0] * k], False
    for _ in range(max_iter if lam > tol else 0):
        cand = [j for j in range(k) if not active[j]]
        if not drop and cand:
            j = max(cand, key=lambda j: (abs(r[j]), -j))
            lam, active[j], signs[j] = abs(r[j]), True, 1.0 if r[j] > 0 else -1.0
        act = [j for j in range(k) if active[j]]
        w = solve_small([[G[a][b] for b in act] for a in act], [signs[a] for a in act])
        sw = 0.0
        for a, wa in zip(act, w):
            sw = sw + signs[a] * wa
        if not 0 < sw < math.inf:
            return lams, rows, NC
        A = 1.0 / math.sqrt(sw)
        d = [0.0] * k
        for a, wa in zip(act, w):
            d[a] = A * wa
        Gd = [0.0] * k
        for j in range(k):
            for a in act:
                Gd[j] = Gd[j] + G[j][a] * d[a]
        step, drop_var = lam / A, -1
        for j in (j for j in range(k) if not active[j]):
            for den, num in ((A - Gd[j], lam - r[j]), (A + Gd[j], lam + r[j])):
                if den > 1e-14 and 0 < num / den < step:
                    step = num / den
        for j in act:
            if d[j] != 0.0 and 0 < -beta[j] / d[j] < step:
                step, drop_var = -beta[j] / d[j], j
        beta = [beta[j] + step * d[j] for j in range(k)]
        r = [r[j] - step * Gd[j] for j in range(k)]
        lam = lam - step * A
        lam = 0.0 if -tol < lam < 0 else lam
        drop = drop_var >= 0
        if drop:
            active[drop_var], beta[drop_var] = False, 0.0
        lams.append(lam)
        rows.append(beta[:])
        if lam <= tol:
            return lams, rows, OK
    return lams, rows, OK if lam <= tol else NC


def assert_lasso_optimal(G, c, lam_path, beta_path, atol=1e-12):
    """Every knot's row solves the lasso at its penalty: r = c - G b has r[j] = sign(b[j]) lam
    where b[j] != 0 and |r[j]| <= lam elsewhere."""
    for lam, b in zip(lam_path, beta_path):
        r, on = arr(c) - arr(G) @ b, b != 0
        np.testing.assert_allclose(r[on], np.sign(b[on]) * lam, atol=atol)
        assert (np.abs(r[~on]) <= lam + atol).all()


def random_problem(k, symmetric=True):
    rng = np.random.default_rng(k)
    X = rng.standard_normal((2 * k + 20, k))
    G, c = X.T @ X / len(X), X.T @ (X @ rng.standard_normal(k) + rng.standard_normal(len(X))) / len(X)
    if not symmetric:  # then columns must be read as columns
        G[0, 1] += 0.01
    return G, c


# ---------------------------------------------------------------------------
# Coordinate descent
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("k", [2, 7, 19, 37])  # 37 = 32 + 5: every width of the row update
@pytest.mark.parametrize("symmetric", [True, False])
@pytest.mark.parametrize("max_iter, tol", [(3, 1e-9), (500, 1e-11), (50, 0.0)])
def test_cd_matches_the_stated_sweeps_bit_for_bit(k, symmetric, max_iter, tol):
    G, g = random_problem(k, symmetric)
    alpha = 0.3 * np.abs(g).max()
    coef, Gcoef, status = run_cd(G, g, alpha, max_iter, tol)
    ref_coef, ref_Gc, ref_status = cd_reference(G.tolist(), g.tolist(), alpha, max_iter, tol)
    assert status == ref_status
    assert (bits(coef) == bits(ref_coef)).all() and (bits(Gcoef) == bits(ref_Gc)).all()
    np.testing.assert_allclose(Gcoef, G @ coef, atol=1e-12)


@pytest.mark.parametrize(
    "G, g, alpha, max_iter, tol, coef, status",
    [
        (np.eye(2), [3.0, 0.2], 0.5, 2, 1e-12, [2.5, 0.0], OK),
        (np.eye(2), [3.0, 0.2], 0.5, 1, 1e-12, [2.5, 0.0], NC),
        (np.eye(2), [3.0, 0.2], 0.5, 0, 1e-12, [0.0, 0.0], NC),
        (np.eye(2), [3.0, 0.2], 0.5, 4, 0.0, [2.5, 0.0], NC),  # tol <= 0 never converges
        (np.eye(2), [3.0, -0.2], 5.0, 1, 1e-12, [0.0, 0.0], OK),  # alpha >= max |g|
        (np.eye(2), [1e-3, 2e-3], 0.0, 1, 1e-2, [0.0, 0.0], OK),  # every change within tol
        ([[-1.0, 0.0], [0.0, 1.0]], [5.0, 2.0], 0.5, 3, 1e-12, [0.0, 1.5], OK),
        ([[math.nan, 0.0], [0.0, 1.0]], [5.0, 2.0], 0.5, 3, 1e-12, [0.0, 1.5], OK),
    ],
)
def test_cd_cases(G, g, alpha, max_iter, tol, coef, status):
    got, _, st = run_cd(G, g, alpha, max_iter, tol)
    assert st == status and (bits(got) == bits(coef)).all()


@pytest.mark.parametrize("tol, status", [(1e-12, OK), (0.0, NC)])
def test_cd_empty_problem(tol, status):
    assert cd(None, None, 0, 0.5, 3, tol, None, None) == status


# ---------------------------------------------------------------------------
# LARS-lasso path
# ---------------------------------------------------------------------------
T, I3, C3 = 1e-10, np.eye(3), [3.0, -2.0, 1.0]
SIX_ROWS = [[0, 0, 0], [0, 1, 0], [0, 1, -1], [3, 4, 0], [13, 12, 0], [18, 19, 5]]


@pytest.mark.parametrize(
    "G, c, max_iter, tol, lams, rows, status",
    [
        (I3, C3, 10, T, [3, 2, 1, 0], [[0, 0, 0], [1, 0, 0], [2, -1, 0], [3, -2, 1]], OK),
        (I3, C3, 2, T, [3, 2, 1], [[0, 0, 0], [1, 0, 0], [2, -1, 0]], NC),
        ([[1.0, 1.0], [1.0, 1.0]], [1.0, 0.5], 10, T, [1, 0.25], [[0, 0], [0.75, 0]], NC),  # singular
        (SIX_G, SIX_C, 10, T, [11, 8, 6, 5, 1, 0], SIX_ROWS, OK),
        (SIX_G, SIX_C, 4, T, [11, 8, 6, 5, 1], SIX_ROWS[:5], NC),
        ([[4.0]], [-2.0], 5, T, [2, 0], [[0], [-0.5]], OK),
        (np.eye(2), [0.0, 0.0], 5, T, [0], [[0, 0]], OK),
        (np.eye(2), [1.0, 0.5], 5, 1.0, [1], [[0, 0]], OK),
        (np.eye(2), [1.0, 0.5], 0, T, [1], [[0, 0]], NC),
        (np.eye(2), [math.nan, math.nan], 5, T, [0], [[0, 0]], OK),  # nothing can enter
    ],
)
@pytest.mark.parametrize("name", ["qdl_lars_lasso_gram", "qdl_lars_lasso_gram_update"])
def test_lars_paths(G, c, max_iter, tol, lams, rows, status, name):
    lam, beta, st = run_lars(G, c, max_iter, tol, fn(name))
    assert st == status
    np.testing.assert_allclose(lam, lams, atol=1e-12)
    np.testing.assert_allclose(beta, rows, atol=1e-12)


@pytest.mark.parametrize("tol, last", [(1e-10, 0.0), (1e-17, -4.440892098500626e-16)])
def test_overshoot_below_zero_snaps_to_zero_within_tol(tol, last):
    lam, _, status = run_lars([[5.0]], [17 / 7], 5, tol)
    assert status == OK and bits(lam[-1]) == bits(last)


@pytest.mark.parametrize("name", ["qdl_lars_lasso_gram", "qdl_lars_lasso_gram_update"])
def test_lars_empty_problem(name):
    lam, n = f64(1), np.array([-7], dtype=np.int64)
    assert fn(name)(None, None, 0, 3, 0.0, P(lam), None, P(n)) == OK and n[0] == 1 and lam[0] == 0.0


@pytest.mark.parametrize("k", [2**62, 2**63 - 1, 2**40, 2**31])  # 2**62: k*(k+7) overflowed
@pytest.mark.parametrize("name, status", [("qdl_lars_lasso_gram", NC), ("qdl_lars_lasso_gram_update", -4)])
def test_lars_unobtainable_storage_is_reported_without_knots(k, name, status):
    lam, n = f64(1), np.array([-7], dtype=np.int64)
    assert fn(name)(None, None, k, 5, T, P(lam), None, P(n)) == status and n[0] == 0 and math.isnan(lam[0])


@pytest.mark.parametrize("k", [0, 3, 8, 19, 45])  # 0: the six-knot path with a removal
@pytest.mark.parametrize("symmetric", [True, False])
def test_untied_paths_are_the_literal_homotopy_bit_for_bit(k, symmetric):
    G, c = (arr(SIX_G), arr(SIX_C)) if k == 0 else random_problem(k)
    G[0, 1] += 0.0 if symmetric else 0.01
    lam, beta, status = run_lars(G, c, 3 * len(c))
    ref_lam, ref_rows, ref_status = lars_literal(G.tolist(), c.tolist(), 3 * len(c), T)
    assert status == ref_status
    assert (bits(lam) == bits(ref_lam)).all() and (bits(beta) == bits(ref_rows)).all()
    if symmetric:
        assert status == OK and len(lam) > len(c)
        assert_lasso_optimal(G, c, lam, beta, atol=1e-10)


@pytest.mark.parametrize(
    "G, c, lams",
    [
        (np.eye(2), [1.0, -1.0], [1, 0]),  # opposite signs: was (1, 0) at penalty 0
        (np.eye(2), [2.0, 2.0], [2, 0]),
        (I3, [1.0, -1.0, 1.0], [1, 0]),  # three tied enter together, at one knot
        (I3, [3.0, 2.0, -2.0], [3, 2, 0]),  # a tie reached along the path
        ([[2.0, 0.5, 0.0], [0.5, 1.0, 0.2], [0.0, 0.2, 1.5]], [-1.0, 1.0, 0.25], None),
    ],
)
def test_tied_correlations_all_enter(G, c, lams):
    lam, beta, status = run_lars(G, c, 20)
    assert status == OK
    if lams is not None:
        np.testing.assert_allclose(lam, lams, atol=1e-12)
    assert_lasso_optimal(G, c, lam, beta)
    np.testing.assert_allclose(beta[-1], np.linalg.solve(G, c), atol=1e-12)


def test_the_variable_that_left_is_not_readmitted_at_once():
    lam, beta, status = run_lars(SIX_G, SIX_C, 20)
    left = [i for i in range(1, len(lam)) if ((beta[i - 1] != 0) & (bits(beta[i]) == 0)).any()]
    assert status == OK and left and left[-1] < len(lam) - 1
    assert all(lam[i + 1] < lam[i] for i in left)


# ---------------------------------------------------------------------------
# Path evaluation
# ---------------------------------------------------------------------------
@pytest.mark.parametrize(
    "lam_path, rows, grid, want",
    [
        ([3.0, 2.0, 1.0, 0.0], [[0, 0, 0], [1, 0, 0], [2, -1, 0], [3, -2, 1]], [3.5, 2.5, 1.0, 0.25, -1.0, 3.0],
         [[0, 0, 0], [0.5, 0, 0], [2, -1, 0], [2.75, -1.75, 0.75], [3, -2, 1], [0, 0, 0]]),
        ([3.0, 2.0, 2.0, 2.0, 1.0], [[9], [1], [2], [3], [4]], [2.0, 1.5], [[3], [3.5]]),  # last of the tied
        ([2.0], [[5.0, 6.0]], [3.0, 2.0, 1.0], [[0, 0], [0, 0], [5, 6]]),
    ],
)
def test_eval_cases(lam_path, rows, grid, want):
    assert (run_eval(lam_path, rows, grid) == arr(want)).all()


def test_eval_is_the_stated_interpolation_bit_for_bit():
    rng = np.random.default_rng(5)
    lam_path, B = np.sort(rng.uniform(0, 4, 30))[::-1].copy(), rng.standard_normal((30, 21))
    grid = np.append(rng.uniform(-1, 5, 200), math.nan)
    lo = np.clip(np.searchsorted(-lam_path, -grid, side="right") - 1, 0, 28)
    t = ((grid - lam_path[lo]) / (lam_path[lo + 1] - lam_path[lo]))[:, None]
    want = B[lo] + t * (B[lo + 1] - B[lo])
    want[grid >= lam_path[0]], want[grid <= lam_path[-1]] = 0.0, B[-1]
    out = run_eval(lam_path, B, grid)
    assert (bits(out) == bits(want)).all()  # the NaN penalty's row included
    perm = rng.permutation(len(grid))
    assert (bits(run_eval(lam_path, B, grid[perm])) == bits(out[perm])).all()


def test_eval_without_knots_or_grid_reads_nothing():
    out = f64(2, 3)
    path_eval(None, None, 0, 3, P(arr([1.0, 2.0])), 2, P(out))  # no path: zero rows
    assert (out == 0).all()
    path_eval(None, None, 0, 3, None, 0, None)
