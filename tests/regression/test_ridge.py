"""Ridge kernels through their exported symbols: worked examples, bit-for-bit
agreement with a literal transcription of the stated order, and the selection rules
of the grid search."""

import math

import numpy as np
import pytest

import literal
from native import P, bits, f64, fn

chol_solve_L2 = fn("qdl_chol_solve_L2")
fwd = fn("qdl_forward_subst")
bwd = fn("qdl_backward_subst_chol_t")
grid_search = fn("qdl_ridge_grid_search")

NAN_BITS = 0x7FF8000000000000
SENTINEL = 7.25  # pre-fill of buffers that must stay untouched


def run_l2(X, y, alpha, intercept):
    n, p = X.shape
    o = dict(coef=f64(p), L=f64(p, p), dof=f64(1), status=np.full(1, 99, np.int64),
             G=f64(p, p), G_unpen=f64(p, p), g=f64(p), col=f64(p, fill=SENTINEL))
    chol_solve_L2(P(X), P(y), n, p, alpha, intercept, *(P(o[k]) for k in o))
    return o


def run_grid(X, y, alphas, criterion, intercept):
    n, p = X.shape
    o = dict(alpha=f64(1, fill=SENTINEL), out_coef=f64(p, fill=SENTINEL), obj=f64(1, fill=SENTINEL),
             status=np.full(1, 99, np.int64), G_base=f64(p, p), G=f64(p, p), g=f64(p),
             L=f64(p, p), coef=f64(p), col=f64(p, fill=SENTINEL))
    grid_search(P(X), P(y), n, p, P(alphas), len(alphas), criterion, intercept, *(P(o[k]) for k in o))
    return o


# --- A literal transcription of the stated order, in Python floats (never fused). ---

def lit_normal_equations(X, y):
    n, p = X.shape
    G, g = [[0.0] * p for _ in range(p)], [0.0] * p
    for r in range(n):
        for a in range(p):
            for b in range(a + 1):
                G[a][b] += float(X[r, a]) * float(X[r, b])
            g[a] += float(X[r, a]) * float(y[r])
    G = [[G[max(a, b)][min(a, b)] / float(n) for b in range(p)] for a in range(p)]
    return G, [v / float(n) for v in g]


def lit_solve(L, b):
    p = len(L)
    out = list(b)
    for i in range(p):
        s = 0.0
        for j in range(i):
            s += L[i][j] * out[j]
        out[i] = (out[i] - s) / L[i][i]
    for i in reversed(range(p)):
        s = 0.0
        for j in range(i + 1, p):
            s += L[j][i] * out[j]
        out[i] = (out[i] - s) / L[i][i]
    return out


def lit_eff_dof(L, Gu):
    dof = 0.0
    for c in range(len(L)):
        col = lit_solve(L, [row[c] for row in Gu])
        dof += col[c]
    return dof, col


def lit_penalised(Gu, alpha, intercept):
    return [[v + alpha if i == j and i >= intercept else v for j, v in enumerate(row)]
            for i, row in enumerate(Gu)]


def lit_objective(criterion, rss, n, k):
    if criterion == 3:
        return rss
    if rss <= 0.0:
        return -math.inf
    nf = float(n)
    base = nf * math.log(rss / nf)
    return base + 2.0 * k if criterion == 1 else base + math.log(nf) * k


def lit_search(Gu, g, nf, rss_of, alphas, criterion, intercept):
    """The grid in the stated order on the scaled equations Gu, g, each solve scored
    with rss_of(coef): (alpha, objective, status, coef) of the one selected."""
    best = None
    for a, alpha in enumerate(alphas):
        status, L = literal.chol(lit_penalised(Gu, float(alpha), intercept))
        if status:
            coef, obj = [math.nan] * len(g), math.inf
        else:
            coef = lit_solve(L, g)
            obj = lit_objective(criterion, rss_of(coef), nf, lit_eff_dof(L, Gu)[0])
        if a == 0 or obj < best[1]:
            best = (float(alpha), obj, status, coef)
    return best


def lit_grid(X, y, alphas, criterion, intercept):
    n, p = X.shape

    def rss_of(coef):  # the residuals of the raw data, rows ascending
        rss = 0.0
        for r in range(n):
            yhat = 0.0
            for j in range(p):
                yhat += float(X[r, j]) * coef[j]
            rss += (float(y[r]) - yhat) ** 2
        return rss

    return lit_search(*lit_normal_equations(X, y), n, rss_of, alphas, criterion, intercept)


def problem(n, p, seed):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, p))
    X[:, 0] = 1.0
    return X, X @ rng.standard_normal(p) + rng.standard_normal(n)


EXAMPLE_X = np.array([[1.0, k] for k in range(1, 6)])
EXAMPLE_Y = np.array([2.0, 3.0, 5.0, 4.0, 6.0])
# Sizes around the vector widths of the column and row loops (and their tails).
SIZES = [(5, 2), (13, 7), (16, 8), (20, 9), (9, 16), (37, 19), (70, 27)]


@pytest.mark.parametrize("alpha, intercept, coef, dof", [
    (0.0, 1, (1.3, 0.9), 2.0),
    (1.0, 1, (2.2, 0.6), 5 / 3),
    (10.0, 1, (3.55, 0.15), 7 / 6),
    (1.0, 0, (0.44, 1.04), 16 / 15),
])
def test_l2_worked_example(alpha, intercept, coef, dof):
    o = run_l2(EXAMPLE_X, EXAMPLE_Y, alpha, intercept)
    assert o["status"][0] == 0
    np.testing.assert_allclose(o["coef"], coef, rtol=1e-12)
    assert o["dof"][0] == pytest.approx(dof, rel=1e-12)
    assert o["G_unpen"].tolist() == [[1.0, 3.0], [3.0, 11.0]] and o["g"].tolist() == [4.0, 13.8]
    D = np.diag([1.0 - intercept, 1.0])
    assert bits(o["G"]).tolist() == bits(o["G_unpen"] + alpha * D).tolist()


@pytest.mark.parametrize("n, p", SIZES)
@pytest.mark.parametrize("alpha, intercept", [(1e-3, 0), (0.3, 1), (2.5, 0)])
def test_l2_bit_for_bit(n, p, alpha, intercept):
    X, y = problem(n, p, n * p)
    o = run_l2(X, y, alpha, intercept)
    Gu, g = lit_normal_equations(X, y)
    G = lit_penalised(Gu, alpha, intercept)
    status, L = literal.chol(G)
    dof, col = lit_eff_dof(L, Gu)
    assert status == 0 and o["status"][0] == 0
    for got, want in [("G_unpen", Gu), ("G", G), ("g", g), ("L", L), ("coef", lit_solve(L, g)),
                      ("dof", [dof]), ("col", col)]:
        assert bits(o[got]).ravel().tolist() == bits(want).ravel().tolist(), got


def test_l2_dof_is_the_column_by_column_trace_for_every_size():
    """dof and col against the stated column solves, done one column at a time with the
    exported substitutions on the returned L and G_unpen, for every p up to 80."""
    for p in range(1, 81):
        X, y = problem(p + 9, p, p)
        o = run_l2(X, y, 0.2, p % 2)
        assert o["status"][0] == 0, p
        L, Gu = o["L"], o["G_unpen"]
        dof = 0.0
        for c in range(p):
            col = np.ascontiguousarray(Gu[:, c])
            fwd(P(L), P(col), P(col), p)
            bwd(P(L), P(col), P(col), p)
            dof = dof + col[c]
        assert bits(o["dof"]).tolist() == bits([dof]).tolist(), p
        assert bits(o["col"]).tolist() == bits(col).tolist(), p


@pytest.mark.parametrize("alpha", [0.0, -0.5])
def test_l2_failure(alpha):
    X = np.column_stack([np.ones(6), np.arange(6.0), np.arange(6.0)])
    o = run_l2(X, np.arange(6.0), alpha, 1)
    assert o["status"][0] == -1
    assert bits(o["coef"]).tolist() == [NAN_BITS] * 3 and bits(o["dof"])[0] == NAN_BITS
    assert o["col"].tolist() == [SENTINEL] * 3
    good = run_l2(X, np.arange(6.0), 0.1, 1)
    assert good["status"][0] == 0 and good["coef"][1] == pytest.approx(good["coef"][2], rel=1e-12)


def test_l2_degenerate_sizes():
    o = run_l2(np.empty((0, 3)), np.empty(0), 1.0, 0)  # every scaled Gram entry is 0/0
    assert o["status"][0] == 0 and np.isnan(o["coef"]).all() and np.isnan(o["dof"][0])
    o = run_l2(np.empty((4, 0)), np.zeros(4), 1.0, 0)
    assert o["status"][0] == 0 and o["dof"][0] == 0.0
    o = run_l2(np.array([[2.0], [3.0]]), np.array([1.0, 1.0]), 50.0, 1)  # p = 1: no penalty
    assert o["coef"][0] == pytest.approx(5 / 13) and o["dof"][0] == pytest.approx(1.0)


# alpha: (rss, dof, AIC, BIC) of the worked example to six decimals.
EXAMPLE_TABLE = {10.0: (7.525, 1.166667, 4.377298, 3.921642),
                 1.0: (2.8, 1.666667, 0.434241, -0.216696),
                 0.1: (1.918367, 1.952381, -0.885055, -1.647581),
                 0.0: (1.9, 2.0, -0.837920, -1.619044)}


@pytest.mark.parametrize("alpha", EXAMPLE_TABLE)
def test_grid_worked_table(alpha):
    rss, dof, aic, bic = EXAMPLE_TABLE[alpha]
    one = np.array([alpha])
    got = [run_grid(EXAMPLE_X, EXAMPLE_Y, one, c, 1)["obj"][0] for c in (3, 1, 2)]
    assert np.round(got, 6).tolist() == [rss, aic, bic]
    assert round(run_l2(EXAMPLE_X, EXAMPLE_Y, alpha, 1)["dof"][0], 6) == dof


@pytest.mark.parametrize("criterion, alpha, coef", [(1, 0.1, (10 / 7, 6 / 7)), (2, 0.1, (10 / 7, 6 / 7)),
                                                    (3, 0.0, (1.3, 0.9))])
def test_grid_worked_selection(criterion, alpha, coef):
    o = run_grid(EXAMPLE_X, EXAMPLE_Y, np.array([10.0, 1.0, 0.1, 0.0]), criterion, 1)
    assert o["alpha"][0] == alpha and o["status"][0] == 0
    np.testing.assert_allclose(o["out_coef"], coef, rtol=1e-12)


@pytest.mark.parametrize("n, p", SIZES)
@pytest.mark.parametrize("criterion, intercept", [(1, 1), (2, 0), (3, 1), (0, 1), (-4, 0)])
def test_grid_bit_for_bit(n, p, criterion, intercept):
    X, y = problem(n, p, 7 * n + p)
    # Two batches of penalties (8 + 3); -1e6 and -5 fail the factorisation.
    alphas = np.array([4.0, -1e6, 0.05, 1.0, 0.0, 0.02, 3.0, 0.3, -5.0, 0.08, 0.5])
    o = run_grid(X, y, alphas, criterion, intercept)
    alpha, obj, status, coef = lit_grid(X, y, alphas, criterion, intercept)
    assert (o["alpha"][0], o["status"][0]) == (alpha, status)
    assert bits(o["obj"]).tolist() == bits([obj]).tolist()
    assert bits(o["out_coef"]).tolist() == bits(coef).tolist()
    # The scratch holds the scaled normal equations and the last penalty's state.
    Gu, g = lit_normal_equations(X, y)
    G = lit_penalised(Gu, 0.5, intercept)
    _, L = literal.chol(G)
    for got, want in [("G_base", Gu), ("g", g), ("G", G), ("L", L), ("coef", lit_solve(L, g)),
                      ("col", lit_eff_dof(L, Gu)[1])]:
        assert bits(o[got]).ravel().tolist() == bits(want).ravel().tolist(), got


def test_grid_wide():
    # Beyond 256 columns the penalties are scored one at a time.
    X, y = problem(12, 260, 11)
    alphas = np.array([0.5, 0.1, -1e6, 2.0, 0.02])
    o = run_grid(X, y, alphas, 1, 1)
    best = None
    for alpha in alphas:
        single = run_l2(X, y, alpha, 1)
        if single["status"][0]:
            continue
        coef = single["coef"].tolist()
        rss = 0.0
        for r in range(12):
            yhat = 0.0
            for j in range(260):
                yhat += float(X[r, j]) * coef[j]
            rss += (float(y[r]) - yhat) ** 2
        obj = lit_objective(1, rss, 12, single["dof"][0])
        if best is None or obj < best[1]:
            best = (alpha, obj, single["coef"])
    assert o["alpha"][0] == best[0] and bits(o["obj"]).tolist() == bits([best[1]]).tolist()
    assert bits(o["out_coef"]).tolist() == bits(best[2]).tolist()
    assert bits(o["coef"]).tolist() == bits(single["coef"]).tolist()  # the last penalty's


NEG0 = -0.0


@pytest.mark.parametrize("alphas, criterion, alpha, status, obj", [
    ([-10.0], 1, -10.0, -1, math.inf),            # a lone failure is still reported
    ([-10.0, 1.0], 2, 1.0, 0, None),              # a later success replaces a first failure
    ([1.0, -10.0], 3, 1.0, 0, None),              # a later failure never replaces
    ([NEG0, 0.0], 1, NEG0, 0, None),              # equal objectives keep the earlier penalty
    ([0.0, NEG0], 3, 0.0, 0, None),
    ([math.nan, 1.0], 1, math.nan, 0, math.nan),  # a recorded NaN is never replaced
    ([1.0, math.nan, 2.0], 2, 1.0, 0, None),      # a NaN never replaces
    ([5.0, 0.5, 50.0, 0.01, 1.0], 3, 0.01, 0, None),  # LOSS: the smallest penalty wins
])
def test_grid_selection_rules(alphas, criterion, alpha, status, obj):
    X, y = problem(30, 4, 3)
    o = run_grid(X, y, np.array(alphas), criterion, 1)
    assert bits(o["alpha"]).tolist() == bits([alpha]).tolist() and o["status"][0] == status
    if obj is not None:
        assert bits(o["obj"]).tolist() == bits([obj]).tolist()
    if status:
        assert bits(o["out_coef"]).tolist() == [NAN_BITS] * 4


def test_grid_writes_nothing_for_an_empty_grid():
    X, y = problem(10, 3, 1)
    o = run_grid(X, y, np.empty(0), 1, 1)
    assert [o[k][0] for k in ("alpha", "obj", "status")] == [SENTINEL, SENTINEL, 99]
    assert o["out_coef"].tolist() == [SENTINEL] * 3


@pytest.mark.parametrize("criterion, obj", [(1, -math.inf), (2, -math.inf), (3, 0.0)])
def test_grid_perfect_fit_and_no_rows(criterion, obj):
    X = np.column_stack([np.ones(8), np.arange(8.0)])
    o = run_grid(X, X @ np.array([0.5, 2.0]), np.array([0.0, 1e-3]), criterion, 1)
    assert o["alpha"][0] == 0.0 and o["obj"][0] == obj  # exact fit: rss is 0
    o = run_grid(np.empty((0, 2)), np.empty(0), np.array([1.0, 2.0]), criterion, 0)
    assert (o["alpha"][0], o["status"][0], o["obj"][0]) == (1.0, 0, obj)
    assert np.isnan(o["out_coef"]).all()



# --- The grid from the sufficient statistics (qdl_ridge_grid_search_gram). ---

grid_gram = fn("qdl_ridge_grid_search_gram")


def run_grid_gram(G, c, yy, n, alphas, criterion, intercept):
    p = len(c)
    o = dict(alpha=f64(1, fill=SENTINEL), out_coef=f64(p, fill=SENTINEL), obj=f64(1, fill=SENTINEL))
    status = grid_gram(P(G), P(c), yy, n, p, P(alphas), len(alphas), criterion, intercept,
                       *(P(o[k]) for k in o))  # fmt: skip
    o["status"] = np.full(1, status, np.int64)
    return o


def lit_grid_gram(G, c, yy, n, alphas, criterion, intercept):
    """The grid on the statistics in the stated order: G/n and c/n divided entry by
    entry, and rss = (yy - 2 b'c) + b'(G b) with each sum ascending from 0.0."""
    p, nf = len(c), float(n)

    def rss_of(coef):
        bc = bGb = 0.0
        for i in range(p):
            bc += coef[i] * float(c[i])
        for i in range(p):
            gb = 0.0
            for j in range(p):
                gb += float(G[i, j]) * coef[j]
            bGb += coef[i] * gb
        return (yy - 2.0 * bc) + bGb

    Gs = [[float(G[a, b]) / nf for b in range(p)] for a in range(p)]
    return lit_search(Gs, [float(v) / nf for v in c], nf, rss_of, alphas, criterion, intercept)


def statistics(X, y):
    return X.T @ X, X.T @ y, float(y @ y)


@pytest.mark.parametrize("n, p", SIZES)
@pytest.mark.parametrize("criterion, intercept", [(1, 1), (2, 0), (3, 1), (0, 1)])
@pytest.mark.parametrize("weighted", [False, True])
def test_grid_gram_bit_for_bit(n, p, criterion, intercept, weighted):
    X, y = problem(n, p, 5 * n + p)
    G, c, yy = statistics(X, y)
    rows = 0.73 * n if weighted else float(n)  # a weight sum is any positive f64
    alphas = np.array([4.0, -1e6, 0.05, 1.0, 0.0, 0.02, 3.0, 0.3, -5.0, 0.08, 0.5])
    o = run_grid_gram(G, c, yy, rows, alphas, criterion, intercept)
    alpha, obj, status, coef = lit_grid_gram(G, c, yy, rows, alphas, criterion, intercept)
    assert (o["alpha"][0], o["status"][0]) == (alpha, status)
    assert bits(o["obj"]).tolist() == bits([obj]).tolist()
    assert bits(o["out_coef"]).tolist() == bits(coef).tolist()


@pytest.mark.parametrize("criterion", [1, 2, 3])
@pytest.mark.parametrize("intercept", [0, 1])
def test_grid_gram_selects_as_the_grid_on_the_data(criterion, intercept):
    """The same penalty; the objectives differ only through the residual sum of squares
    taken from the statistics (accurate to about 1e-15 of yy / rss, here 1e-11)."""
    X, y = problem(400, 8, 9)
    alphas = np.geomspace(1e-4, 10.0, 30)
    o = run_grid_gram(*statistics(X, y), 400.0, alphas, criterion, intercept)
    d = run_grid(X, y, alphas, criterion, intercept)
    assert o["alpha"][0] == d["alpha"][0] and o["status"][0] == d["status"][0] == 0
    assert o["obj"][0] == pytest.approx(d["obj"][0], rel=1e-11)
    np.testing.assert_allclose(o["out_coef"], d["out_coef"], rtol=1e-10)


@pytest.mark.parametrize("criterion", [1, 2, 3])
@pytest.mark.parametrize("weighted", [False, True])
def test_tall_ridge_is_the_grid_gram(criterion, weighted):
    """tall.ridge hands the kernel the statistics and the weights' sum, and returns its
    selection in ridge_grid_search's order (alpha, coef, objective, status)."""
    from Quandrel import tall

    X, y = problem(300, 6, 4)
    w = np.random.default_rng(5).uniform(0.5, 2.0, 300) if weighted else None
    st = tall.gram_stats(X, y, weights=w)
    alphas = np.array([2.0, 0.0, 0.1, 0.01, 0.5, 1e-3])
    r = tall.ridge(st, alphas, criterion, True)
    o = run_grid_gram(st.G, st.c, st.yy, st.sw, alphas, criterion, 1)
    assert (r.alpha, r.status) == (o["alpha"][0], o["status"][0])
    assert bits([r.objective]).tolist() == bits(o["obj"]).tolist()
    assert bits(r.coef).tolist() == bits(o["out_coef"]).tolist()


def test_grid_gram_is_the_same_on_any_number_of_threads():
    from threadpoolctl import threadpool_limits

    X, y = problem(200, 60, 2)  # 40 penalties of about p^3 each: shared among threads
    alphas = np.geomspace(1e-3, 1.0, 40)
    o = run_grid_gram(*statistics(X, y), 200.0, alphas, 1, 1)
    with threadpool_limits(1, user_api="openmp"):
        one = run_grid_gram(*statistics(X, y), 200.0, alphas, 1, 1)
    for k in ("alpha", "obj", "status", "out_coef"):
        assert o[k].tobytes() == one[k].tobytes(), k


def test_grid_gram_refuses_an_empty_grid_and_writes_nothing():
    """No penalty to select: QDL_REFUSED (-3), not a success with unwritten outputs."""
    X, y = problem(10, 3, 1)
    o = run_grid_gram(*statistics(X, y), 10.0, np.empty(0), 1, 1)
    assert [o[k][0] for k in ("alpha", "obj", "status")] == [SENTINEL, SENTINEL, -3]
    assert o["out_coef"].tolist() == [SENTINEL] * 3
