"""Fits with an intercept, weights and standardisation on tall statistics (tall.path,
tall.ols(fit_intercept=True)) and their K-fold cross-validation (tall.cross_validate),
against scikit-learn and, where R and glmnet are installed, glmnet."""

import pathlib
import shutil
import subprocess

import numpy as np
import pytest
from native import bits
from sklearn.linear_model import ElasticNet, ElasticNetCV, Lasso, LassoCV, LinearRegression, Ridge

from Quandrel import tall


def problem(rng, n, k, mean=0.0):
    """Columns of different scales around `mean`, a sparse truth, an intercept of 3."""
    X = mean + rng.standard_normal((n, k)) * rng.uniform(0.5, 3.0, k)
    coef = np.where(np.arange(k) % 3 == 0, rng.uniform(-2, 2, k), 0.0)
    return X, X @ coef + 3.0 + rng.standard_normal(n)


def peer(l1_ratio, alpha, sw, tol):
    """scikit-learn's estimator of the same objective: ElasticNet and Lasso share it;
    Ridge minimises ||y - Xb||^2_W + a |b|^2, so a = alpha * sw."""
    if l1_ratio == 0.0:
        return Ridge(alpha=alpha * sw, solver="cholesky")
    if l1_ratio == 1.0:
        return Lasso(alpha=alpha, tol=tol, max_iter=100_000)
    return ElasticNet(alpha=alpha, l1_ratio=l1_ratio, tol=tol, max_iter=100_000)


@pytest.mark.parametrize("l1_ratio", [1.0, 0.5, 0.0])
@pytest.mark.parametrize("weighted", [False, True])
def test_path_matches_scikit_learn_with_intercept_and_weights(rng, l1_ratio, weighted):
    """The default grid (20 penalties) with an intercept, columns of mean 1e3: every
    coefficient and intercept within 1e-9 (relative to the largest) of scikit-learn's
    at a tight tolerance; the first penalty is the smallest with every coefficient
    zero (lasso and elastic net)."""
    X, y = problem(rng, 4000, 7, mean=1e3)
    w = rng.uniform(0.0, 2.0, len(y)) if weighted else None
    stats = tall.gram_stats(X, y, 1000, weights=w)
    fit = tall.path(stats, l1_ratio=l1_ratio, n_alphas=20, tol=1e-13)
    assert fit.alphas.shape == (20,) and np.all(fit.status == 0)
    assert fit.alphas[-1] == pytest.approx(1e-3 * fit.alphas[0], rel=1e-15)
    for alpha, coef, intercept in zip(fit.alphas, fit.coef, fit.intercept):
        model = peer(l1_ratio, alpha, stats.sw, 1e-13).fit(X, y, sample_weight=w)
        scale = max(1.0, np.abs(model.coef_).max())
        assert np.abs(coef - model.coef_).max() < 1e-9 * scale
        assert abs(intercept - model.intercept_) < 1e-9 * scale * 1e3
    if l1_ratio > 0.0:
        assert not fit.coef[0].any() and fit.coef[1].any()
        assert fit.dof[0] == 0
    if l1_ratio == 1.0:
        assert np.array_equal(fit.dof, np.count_nonzero(fit.coef, axis=1))
    else:  # the trace of the ridge hat matrix grows as the penalty falls
        assert np.all((0 < fit.dof[1:]) & (fit.dof[1:] <= np.count_nonzero(fit.coef[1:], axis=1)))
        assert l1_ratio or np.all(np.diff(fit.dof) > 0)


def test_path_without_intercept_is_enet_path_and_ols_with_intercept_matches(rng):
    """Unweighted, fit_intercept=False on the raw statistics gives enet_path's bits;
    ols(fit_intercept=True) is weighted least squares with an intercept, and path's
    ridge at alpha 0 the same fit."""
    X, y = problem(rng, 3000, 5, mean=50.0)
    stats = tall.gram_stats(X, y, 512)
    alphas = np.geomspace(1.0, 1e-3, 15)
    for l1_ratio in (1.0, 0.3):
        fit = tall.path(stats, alphas, l1_ratio, fit_intercept=False, tol=1e-10, max_iter=1000)
        want = tall.enet_path(stats, alphas, l1_ratio)
        assert np.array_equal(bits(fit.coef), bits(want.coefs)) and not fit.intercept.any()
    w = rng.uniform(0.1, 2.0, len(y))
    weighted = tall.gram_stats(X, y, 512, weights=w)
    ols = tall.ols(weighted, fit_intercept=True)
    model = LinearRegression().fit(X, y, sample_weight=w)
    np.testing.assert_allclose(ols.coef, model.coef_, rtol=1e-11)
    assert ols.intercept == pytest.approx(model.intercept_, rel=1e-11) and ols.status == 0
    coef, L, status = ols  # still a triple
    ridge = tall.path(weighted, [0.0], 0.0)
    np.testing.assert_allclose(ridge.coef[0], ols.coef, rtol=1e-12)
    assert tall.ols(stats).intercept == 0.0


@pytest.mark.filterwarnings("ignore::Quandrel.tall.GridEdgeWarning")
def test_standardize_and_constant_columns(rng, capsys):
    """standardize: the penalised problem of the columns scaled to unit weighted
    variance (the same fit as scaling the columns first), coefficients on the
    columns' scale; a constant column gets 0 with or without standardize, and so does
    one constant on a fold's training part, in cross-validation, without error."""
    X, y = problem(rng, 3000, 5)
    w = rng.uniform(0.5, 1.5, len(y))
    stats = tall.gram_stats(X, y, weights=w)
    sd = np.sqrt(np.diagonal(stats.Gc) / stats.sw)
    scaled = tall.path(tall.gram_stats(X / sd, y, weights=w), l1_ratio=0.5, n_alphas=10, tol=1e-13)
    fit = tall.path(stats, scaled.alphas, 0.5, standardize=True, tol=1e-13)
    np.testing.assert_allclose(fit.coef, scaled.coef / sd, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(fit.intercept, scaled.intercept, rtol=1e-9)
    X[:, 2] = 7.1  # constant
    ids = np.arange(len(y)) % 3
    X[ids != 0, 4] = 0.3  # constant but on fold 0
    folded = tall.gram_stats(X, y, weights=w, folds=ids)
    for standardize in (False, True):
        fit = tall.path(folded.total, l1_ratio=0.5, n_alphas=10, standardize=standardize)
        assert not fit.coef[:, 2].any() and fit.coef[-1, 4] != 0.0
        cv = tall.cross_validate(folded, l1_ratio=[0.5, 0.0], n_alphas=10, standardize=standardize,
                                 progress=True)
        assert np.isfinite(cv.mse).all() and not cv.fit.coef[:, 2].any()
    assert "100.0% 6 fits" in capsys.readouterr().err


def splits_of(ids, K):
    return [(np.flatnonzero(ids != f), np.flatnonzero(ids == f)) for f in range(K)]


@pytest.mark.parametrize("weighted", [False, True])
def test_cross_validation_matches_scikit_learn_on_the_same_splits(rng, weighted):
    """Per-fold errors of LassoCV and ElasticNetCV (given the folds of fold_ids and
    the same grid) within 1e-9 relative; the same chosen alpha and l1_ratio; cv_mean
    and cv_se are glmnet's cvm and cvsd (folds weighted by their weight sums); the 1se
    alpha is the largest within one se of the minimum; fit is the path on all rows."""
    X, y = problem(rng, 6000, 8, mean=20.0)
    w = rng.uniform(0.2, 2.0, len(y)) if weighted else None
    K = 5
    folded = tall.gram_stats(X, y, 1000, weights=w, folds=K, seed=4)
    splits = splits_of(tall.fold_ids(0, len(y), K, 4), K)
    lasso = tall.cross_validate(folded, n_alphas=30, tol=1e-13)
    model = LassoCV(alphas=lasso.alphas[0], cv=splits, tol=1e-13, max_iter=100_000).fit(X, y, sample_weight=w)
    np.testing.assert_allclose(lasso.mse[0], model.mse_path_, rtol=1e-9)
    # scikit-learn chooses by the plain mean over folds, glmnet (cv_mean) by the mean
    # weighted by the folds' weight sums.
    assert lasso.alphas[0][np.argmin(lasso.mse[0].mean(axis=1))] == model.alpha_
    grid = np.geomspace(1.0, 1e-3, 12)
    enet = tall.cross_validate(folded, grid[::-1], [0.2, 0.8], tol=1e-13)  # sorted descending
    model = ElasticNetCV(l1_ratio=[0.2, 0.8], alphas=grid, cv=splits, tol=1e-13,
                         max_iter=100_000).fit(X, y, sample_weight=w)
    np.testing.assert_allclose(enet.mse, model.mse_path_, rtol=1e-9)
    row, col = np.unravel_index(np.argmin(enet.mse.mean(axis=2)), enet.mse.shape[:2])
    assert (enet.alphas[row][col], enet.l1_ratios[row]) == (model.alpha_, model.l1_ratio_)
    for cv in (lasso, enet):
        fold_w = np.array([s.sw for s in folded.folds])
        mean = np.average(cv.mse, axis=-1, weights=fold_w)
        np.testing.assert_allclose(cv.cv_mean, mean, rtol=1e-14)
        var = np.average((cv.mse - mean[..., None]) ** 2, axis=-1, weights=fold_w)
        np.testing.assert_allclose(cv.cv_se, np.sqrt(var / (K - 1)), rtol=1e-12)
        row = list(cv.l1_ratios).index(cv.l1_ratio_min)
        within = cv.cv_mean[row] <= cv.cv_mean[row, cv.index_min] + cv.cv_se[row, cv.index_min]
        assert cv.index_1se == np.flatnonzero(within)[0] <= cv.index_min
        assert cv.alpha_1se == cv.alphas[row, cv.index_1se] >= cv.alpha_min
        want = tall.path(folded.total, cv.alphas[row], cv.l1_ratio_min, tol=1e-13)
        assert np.array_equal(cv.fit.coef, want.coef)


BAD = [
    (lambda s, f: tall.path(s, l1_ratio=1.5), ValueError, "l1_ratio must be a finite number in"),
    (lambda s, f: tall.path(s, [-1.0]), ValueError, "alphas must be finite and >= 0"),
    (lambda s, f: tall.path(s, n_alphas=0), ValueError, "n_alphas must be an int >= 1"),
    (lambda s, f: tall.path(s, eps=0.0), ValueError, "eps must be a finite number in .0, 1."),
    (lambda s, f: tall.path(s, fit_intercept="yes"), TypeError, "fit_intercept must be True or False"),
    (lambda s, f: tall.path(s, max_iter=0), ValueError, "max_iter must be an int >= 1"),
    (lambda s, f: tall.path(tall.GramStats(s.G, s.c, s.yy, s.n)), ValueError, "lack the weights' sum"),
    (lambda s, f: tall.ols(tall.GramStats(s.G, s.c, s.yy, s.n), fit_intercept=True), ValueError, "lack"),
    (lambda s, f: tall.cross_validate(s), TypeError, "folded must be the FoldedStats"),
    (lambda s, f: tall.path(f), TypeError, r"GramStats record \(its .total, or .train\(f\)\)"),
    (lambda s, f: tall.cross_validate(f, l1_ratio=[0.5, 2.0]), ValueError, r"l1_ratio\[1\] must be"),
    (lambda s, f: tall.cross_validate(f, l1_ratio=[]), ValueError, "non-empty"),
    (lambda s, f: f.train(3), ValueError, r"fold index in \[0, 2\]"),
]


@pytest.mark.parametrize("call, error, message", BAD)
def test_bad_settings_are_refused(call, error, message):
    X, y = problem(np.random.default_rng(0), 30, 2)
    with pytest.raises(error, match=message):
        call(tall.gram_stats(X, y), tall.gram_stats(X, y, folds=3))


# ---------------------------------------------------------------------------
# glmnet, through Rscript, where it is installed.
# ---------------------------------------------------------------------------
GLMNET = """
args <- commandArgs(TRUE)
con <- file(args[1], "rb")
dims <- readBin(con, "integer", 3)
X <- matrix(readBin(con, "double", dims[1] * dims[2]), dims[1], dims[2], byrow = TRUE)
y <- readBin(con, "double", dims[1]); w <- readBin(con, "double", dims[1])
lambda <- readBin(con, "double", dims[3]); alpha <- readBin(con, "double", 1)
close(con)
suppressMessages(library(glmnet))
fit <- glmnet(X, y, weights = w, alpha = alpha, lambda = lambda, standardize = TRUE,
              thresh = 1e-20, maxit = 10000000)
out <- file(args[2], "wb")
writeBin(as.double(as.matrix(fit$beta)), out)
writeBin(as.double(fit$a0), out)
close(out)
"""


def glmnet_available():
    if shutil.which("Rscript") is None:
        return False
    probe = subprocess.run(["Rscript", "-e", "library(glmnet)"], capture_output=True, timeout=60)
    return probe.returncode == 0


@pytest.mark.skipif(not glmnet_available(), reason="R with glmnet is not installed")
@pytest.mark.parametrize("l1_ratio", [1.0, 0.5])
def test_standardize_matches_glmnet(rng, tmp_path, l1_ratio):
    """glmnet(standardize = TRUE) with weights on the same penalties, converged tightly:
    coefficients and intercepts within 1e-10 of the largest coefficient. glmnet also scales y to unit variance, which
    changes its elastic-net penalty, so y is given unit weighted variance here."""
    X, y = problem(rng, 2000, 6, mean=10.0)
    w = rng.uniform(0.5, 2.0, len(y))
    stats = tall.gram_stats(X, y, weights=w)
    y = (y - stats.y_mean) / np.sqrt(stats.yyc / stats.sw) + 1.0
    stats = tall.gram_stats(X, y, weights=w)
    fit = tall.path(stats, l1_ratio=l1_ratio, standardize=True, n_alphas=15, tol=1e-14, max_iter=100_000)
    with open(tmp_path / "in.bin", "wb") as f:
        np.array([*X.shape, 15], dtype=np.int32).tofile(f)
        for a in (X, y, w, fit.alphas, np.array([l1_ratio])):
            np.ascontiguousarray(a, dtype=np.float64).tofile(f)
    (tmp_path / "fit.R").write_text(GLMNET)
    subprocess.run(["Rscript", str(tmp_path / "fit.R"), str(tmp_path / "in.bin"), str(tmp_path / "out.bin")],
                   check=True, capture_output=True, timeout=120)
    out = np.fromfile(tmp_path / "out.bin")
    coef, intercept = out[:15 * 6].reshape(15, 6), out[15 * 6:]
    scale = np.abs(fit.coef).max()
    assert np.abs(fit.coef - coef).max() < 1e-10 * scale
    assert np.abs(fit.intercept - intercept).max() < 1e-10 * max(scale, 1.0) * 10


@pytest.mark.parametrize("noise, alphas, message", [
    (0.01, None, r"the smallest penalty of the grid \(.*\): .* a smaller eps \(now 0.001\) extends"),
    (0.01, np.geomspace(1.0, 0.1, 5), r"the smallest penalty .* give alphas that reach lower"),
    (None, None, r"the largest penalty of the grid \(.*\), where every coefficient is 0"),
    (None, np.geomspace(1e-2, 1e-4, 5), r"the largest penalty .* give alphas that reach higher"),
    (1.0, None, None),
])
def test_cross_validate_flags_a_choice_at_an_end_of_the_grid(rng, noise, alphas, message):
    """A nearly exact fit chooses the smallest penalty; data whose slope changes sign
    from fold to fold (noise None: every training part predicts its fold the wrong
    way) the largest. GridEdgeWarning says which end and what to change; an inside
    choice is silent."""
    X = rng.standard_normal((4000, 6))
    ids = np.arange(4000) % 4
    if noise is None:
        y = X[:, 0] * np.where(ids % 2, -1.0, 1.0) + 0.1 * rng.standard_normal(4000)
    else:
        y = X @ np.array([0.5, 0, 0, 0.2, 0, 0]) + noise * rng.standard_normal(4000)
    folded = tall.gram_stats(X, y, folds=ids)
    if message is None:
        cv = tall.cross_validate(folded)  # warnings are errors here
        assert 0 < cv.index_min < 99
        return
    with pytest.warns(tall.GridEdgeWarning, match=message):
        tall.cross_validate(folded, alphas)


def test_ols_warns_of_a_rank_deficient_status_and_rss_takes_an_intercept(rng):
    """ols keeps its default (no intercept) and warns, naming the status, when its
    matrix does not factor; rss(fit_intercept=True) takes [intercept, *coef] and gives
    the residuals' weighted sum of squares, even for columns of large mean."""
    X, y = problem(rng, 2000, 4, mean=1e6)
    w = rng.uniform(0.5, 2.0, len(y))
    stats = tall.gram_stats(X, y, weights=w)
    fit = tall.ols(stats, fit_intercept=True)
    want = np.sum(w * (y - fit.intercept - X @ fit.coef) ** 2)
    got = tall.rss(stats, np.r_[fit.intercept, fit.coef], fit_intercept=True)
    assert got == pytest.approx(want, rel=1e-9)
    with pytest.raises(ValueError, match=r"coef must have shape \(5,\), the intercept first"):
        tall.rss(stats, fit.coef, fit_intercept=True)
    collinear = tall.gram_stats(np.column_stack([X[:, 0], X[:, 0]]), y)
    for kw in ({}, {"fit_intercept": True}):
        with pytest.warns(RuntimeWarning, match=r"tall.ols: status -1 \(REGRESSION_RANK_DEFICIENT\)"):
            coef, L, status = tall.ols(collinear, **kw)
        assert status == -1 and np.isnan(coef).all() and L.shape == (0, 0)


def test_fits_from_named_columns_carry_the_names_and_print_a_summary(tmp_path, rng):
    """Statistics from a Source carry its column names to path and cross_validate,
    whose results print glmnet's summary, not whole arrays; dev_ratio is glmnet's
    fraction of deviance explained."""
    dask = pytest.importorskip("dask")
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    X, y = problem(rng, 3000, 4)
    pq.write_table(pa.table({"carat": X[:, 0], "depth": X[:, 1], "table": X[:, 2], "x": X[:, 3], "price": y}),
                   tmp_path / "d.parquet")
    src = tall.source(tmp_path / "d.parquet", None, "price")
    folded = tall.gram_stats(src, folds=5)
    assert folded.total.names == folded.train(1).names == ("carat", "depth", "table", "x")
    with dask.config.set(scheduler="sync"):  # through the source's Dask arrays as well
        assert tall.gram_stats(*src.to_dask()).names == folded.total.names
    assert folded.total.fingerprint() == tall.gram_stats(X, y, folds=5).total.fingerprint()
    cv = tall.cross_validate(folded, n_alphas=20, eps=1e-5)
    assert cv.names == cv.fit.names == ("carat", "depth", "table", "x")
    text = repr(cv)
    assert "5 folds, 20 penalties, l1_ratio 1 (the lasso); columns carat, depth, table, x" in text
    assert text.count("\n") == 3 and f"{cv.alpha_min:11.4g} {cv.index_min:5d}" in text
    fit = tall.path(folded.total, [1e-3, 0.0], 0.0)
    text = repr(fit)
    assert text.startswith("PathFit: 2 penalties, 4 columns (carat, depth, table, x)") and "%dev" in text
    r2 = LinearRegression().fit(X, y).score(X, y)
    assert fit.dev_ratio[1] == pytest.approx(r2, rel=1e-12) and fit.dev_ratio[0] < fit.dev_ratio[1]
