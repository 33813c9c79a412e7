"""Binomial and Poisson paths and their cross-validation on tall data (tall.glm_path),
against glmnet (through Rscript, where it is installed) and statsmodels."""

import dataclasses
import itertools
import shutil
import subprocess

import numpy as np
import pytest
import statsmodels.api as sm

from Quandrel import tall


def problem(rng, family, n=600, k=5):
    """Columns of different scales and means, frequency weights 1-3, an offset."""
    X = rng.standard_normal((n, k)) * rng.uniform(0.5, 3.0, k) + rng.uniform(-1, 1, k)
    w = rng.integers(1, 4, n).astype(float)
    off = rng.normal(0.0, 0.3, n)
    eta = 0.3 + X @ (rng.uniform(-0.6, 0.6, k) / np.std(X, axis=0)) + off
    if family == "binomial":
        y = (rng.random(n) < 1.0 / (1.0 + np.exp(-eta))).astype(float)
    else:
        y = rng.poisson(np.exp(eta)).astype(float)
    return X, y, w, off


# ---------------------------------------------------------------------------
# glmnet, through Rscript, where it is installed.
# ---------------------------------------------------------------------------
GLMNET = """
args <- commandArgs(TRUE)
suppressMessages(library(glmnet))
rd <- function(name) scan(file.path(args[1], name), quiet = TRUE)
X <- as.matrix(read.csv(file.path(args[1], "X.csv"), header = FALSE))
y <- rd("y.csv"); w <- rd("w.csv"); o <- rd("o.csv"); l <- rd("l.csv"); foldid <- rd("f.csv")
fam <- args[2]; measure <- args[3]
fit <- glmnet(X, y, family = fam, weights = w, offset = o, lambda = l, standardize = TRUE,
              thresh = 1e-20, maxit = 1e7)
write.table(as.matrix(coef(fit)), file.path(args[1], "coef.csv"), sep = ",",
            row.names = FALSE, col.names = FALSE)
cv <- cv.glmnet(X, y, family = fam, weights = w, offset = o, lambda = l, foldid = foldid,
                type.measure = measure, standardize = TRUE, thresh = 1e-20, maxit = 1e7)
write.table(cbind(cv$cvm, cv$cvsd), file.path(args[1], "cv.csv"), sep = ",",
            row.names = FALSE, col.names = FALSE)
"""


def glmnet_available():
    if shutil.which("Rscript") is None:
        return False
    probe = subprocess.run(["Rscript", "-e", "library(glmnet)"], capture_output=True, timeout=60)
    return probe.returncode == 0


def glmnet(tmp_path, family, measure, X, y, w, off, alphas, foldid):
    for name, a in (("y", y), ("w", w), ("o", off), ("l", alphas), ("f", foldid + 1)):
        np.savetxt(tmp_path / f"{name}.csv", a, fmt="%.17g")
    np.savetxt(tmp_path / "X.csv", X, delimiter=",", fmt="%.17g")
    (tmp_path / "fit.R").write_text(GLMNET)
    subprocess.run(["Rscript", str(tmp_path / "fit.R"), str(tmp_path), family, measure],
                   check=True, capture_output=True, timeout=300)
    coef = np.loadtxt(tmp_path / "coef.csv", delimiter=",", ndmin=2).T
    return coef, np.loadtxt(tmp_path / "cv.csv", delimiter=",", ndmin=2)


@pytest.mark.skipif(not glmnet_available(), reason="R with glmnet is not installed")
@pytest.mark.parametrize("family, measure", [("binomial", "deviance"), ("binomial", "class"),
                                             ("poisson", "mse")])
def test_path_and_cv_match_glmnet(rng, tmp_path, family, measure):
    """With weights, an offset and standardize, on the default grid (ended early by
    glmnet's rules): the intercepts and coefficients within 1e-7 relative of glmnet's
    on the same penalties, and cv.glmnet's cvm and cvsd on the same fold ids."""
    X, y, w, off = problem(rng, family)
    foldid = rng.integers(0, 5, len(y))
    cv = tall.glm_path(X, y, family, weights=w, offset=off, standardize=True, n_alphas=30,
                       tol=1e-14, folds=foldid, measure=measure, block_rows=128)
    fit = cv.fit
    assert np.all(fit.status == 0) and np.all(cv.status == 0)
    ref, ref_cv = glmnet(tmp_path, family, measure, X, y, w, off, fit.alphas, foldid)
    ours = np.column_stack([fit.intercept, fit.coef])
    assert np.allclose(ours, ref, rtol=1e-7, atol=1e-12)
    assert np.allclose(cv.cv_mean, ref_cv[:, 0], rtol=1e-7, atol=0)
    assert np.allclose(cv.cv_se, ref_cv[:, 1], rtol=1e-6, atol=1e-12)
    assert cv.cv.shape == (len(fit.alphas), 5)


# ---------------------------------------------------------------------------
# Optimality at every penalty of generated problems: the scans form statistics over
# the nonzero and strong columns only (and a fit may end without its last, small step),
# so every coefficient, in or out, must meet the elastic net's conditions.
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("seed", range(24))
def test_every_penalty_meets_the_optimality_conditions(seed):
    rng = np.random.default_rng(seed)
    family = ("binomial", "poisson")[seed % 2]
    l1_ratio = (1.0, 0.5, 0.05)[seed % 3]
    standardize, fit_intercept = seed % 4 < 2, seed % 5 != 0
    k = int(rng.integers(3, 30))
    X, y, w, off = problem(rng, family, n=800, k=k)
    X[:, k // 2:] += 0.7 * X[:, : k - k // 2]  # correlated pairs
    fit = tall.glm_path(X, y, family, weights=w, offset=off, l1_ratio=l1_ratio, standardize=standardize,
                        fit_intercept=fit_intercept, n_alphas=25, tol=1e-14, block_rows=97)
    assert np.all(fit.status == 0) and len(fit.alphas) >= 5
    sw = w.sum()
    scale = np.sqrt(w @ (X - w @ X / sw) ** 2 / sw) if standardize else np.ones(k)
    for alpha, b0, b in zip(fit.alphas, fit.intercept, fit.coef, strict=True):
        eta = b0 + X @ b + off
        mu = 1.0 / (1.0 + np.exp(-eta)) if family == "binomial" else np.exp(eta)
        residual = w * (y - mu) / sw
        g = (X.T @ residual) / scale  # minus the loss's gradient in standardised coefficients
        s = b * scale
        a1, a2 = alpha * l1_ratio, alpha * (1.0 - l1_ratio)
        on = s != 0.0
        # Fitted coefficients to the convergence's accuracy; those left out exactly.
        assert not fit_intercept or abs(residual.sum()) < 1e-6
        assert np.allclose(g[on] - a2 * s[on], a1 * np.sign(s[on]), rtol=0, atol=1e-6)
        assert np.all(np.abs(g[~on]) <= a1 + 1e-10), (seed, alpha)


# ---------------------------------------------------------------------------
# The unpenalised fit against statsmodels.
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("family", ["binomial", "poisson"])
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_unpenalised_fit_matches_statsmodels(rng, family, fit_intercept):
    """alpha 0: params, bse, deviance and null deviance of statsmodels' GLM with
    frequency weights and an offset, to 1e-8 relative; bse rows NaN for the penalised
    fit beside it."""
    X, y, w, off = problem(rng, family, n=3000)
    fit = tall.glm_path(X, y, family, alphas=[0.01, 0.0], weights=w, offset=off,
                        fit_intercept=fit_intercept, tol=1e-14, block_rows=700)
    fam = sm.families.Binomial() if family == "binomial" else sm.families.Poisson()
    design = sm.add_constant(X) if fit_intercept else X
    ref = sm.GLM(y, design, family=fam, freq_weights=w, offset=off).fit(tol=1e-14)
    params = np.r_[fit.intercept[1], fit.coef[1]] if fit_intercept else fit.coef[1]
    bse = fit.bse[1] if fit_intercept else fit.bse[1, 1:]
    assert np.allclose(params, ref.params, rtol=1e-8, atol=1e-12)
    assert np.allclose(bse, ref.bse, rtol=1e-8, atol=0)
    assert fit.deviance[1] == pytest.approx(ref.deviance, rel=1e-10)
    if fit_intercept:  # without, the null model here is eta = offset
        assert fit.null_deviance == pytest.approx(ref.null_deviance, rel=1e-10)
    assert np.isnan(fit.bse[0]).all() and np.isnan(fit.bse[1, 0]) != fit_intercept


# ---------------------------------------------------------------------------
# The default grid and its early end.
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("family", ["binomial", "poisson"])
@pytest.mark.parametrize("l1_ratio", [1.0, 0.5, 1e-4])
def test_default_grid(rng, family, l1_ratio):
    """alpha_max is the smallest penalty with every coefficient 0 (for l1_ratio below
    1e-3, computed at 1e-3); the grid falls log-linearly to 1e-4 of it and ends at the
    first penalty from the fifth on where the deviance ratio passes 0.999 or rises by
    less than 1e-5, and not before."""
    X, y, w, _ = problem(rng, family, n=2000, k=8)
    fit = tall.glm_path(X, y, family, l1_ratio=l1_ratio, weights=w, n_alphas=40)
    a = fit.alphas
    assert np.allclose(np.diff(np.log(a)), np.log(1e-4) / 39)
    if l1_ratio >= 1e-3:
        assert not fit.coef[0].any() and fit.coef[1].any()
    top = tall.glm_path(X, y, family, alphas=[a[0] * max(l1_ratio, 1e-3) / 1e-3], l1_ratio=1e-3, weights=w)
    assert not top.coef.any()
    r = fit.dev_ratio
    stop = [i for i in range(4, len(r)) if r[i] > 0.999 or r[i] - r[i - 1] < 1e-5]
    assert len(a) == (stop[0] + 1 if stop else 40)
    assert fit.n_passes <= 3 * len(a) + 3
    given = tall.glm_path(X, y, family, alphas=a[:3].tolist() + [a[-1] / 10] * 3, l1_ratio=l1_ratio, weights=w)
    assert len(given.alphas) == 6  # given penalties: every one fitted


# ---------------------------------------------------------------------------
# Same bits for every chunking of the same blocks; separation; refusals.
# ---------------------------------------------------------------------------
def test_same_bits_for_every_row_order_of_blocks(rng):
    """The scans' statistics are the pass's fixed tree: memory-mapped, sliced
    column-major and contiguous inputs give the same bits; folds by hash and the same
    ids given explicitly give the same cross-validation."""
    X, y, w, off = problem(rng, "binomial", n=1500)
    a = tall.glm_path(X, y, weights=w, offset=off, folds=4, block_rows=256, n_alphas=10)
    b = tall.glm_path(np.asfortranarray(X), y, weights=w, offset=off,
                      folds=tall.fold_ids(0, len(y), 4), block_rows=256, n_alphas=10)
    for u, v in ((a.fit.coef, b.fit.coef), (a.fit.intercept, b.fit.intercept), (a.cv, b.cv),
                 (a.fit.deviance, b.fit.deviance)):
        assert np.array_equal(u, v)
    assert a.n_passes == b.n_passes


@pytest.mark.parametrize("family", ["binomial", "poisson"])
def test_separation_ends_the_path_with_a_warning(rng, family):
    X = rng.standard_normal((400, 2))
    if family == "binomial":
        y = (X[:, 0] > 0).astype(float)
    else:  # no counts where the indicator x0 is 1: their mean runs to 0
        X[:, 0] = X[:, 0] < -0.5
        y = np.where(X[:, 0] == 1.0, 0.0, rng.poisson(3.0, 400))
    with pytest.warns(RuntimeWarning, match="separation"):
        fit = tall.glm_path(X, y, family, alphas=[0.05, 0.0, 0.0])
    assert len(fit.alphas) == 2 and fit.status.tolist() == [0, -1]
    assert np.isfinite(fit.coef).all() and np.isfinite(fit.intercept).all()


@pytest.mark.parametrize("family, y, message", [
    ("binomial", [0, 1, 2, 1], "row 2 holds a third, 2"),
    ("binomial", ["a", "b", "b", "c"], "row 3 holds a third"),
    ("binomial", [0, 0.5, 1, 1], "not proportions: row 1"),
    ("binomial", [1, 1, 1, 1], "one class only"),
    ("poisson", [0, 3, -1, 2], "y must be >= 0 for the Poisson family: row 2"),
    ("poisson", [0, 0, 0, 0], "positive count"),
])
def test_refusals_name_the_column_and_row(family, y, message):
    X = np.arange(8.0).reshape(4, 2) ** 2
    with pytest.raises(ValueError, match=message):
        tall.glm_path(X, np.array(y), family, alphas=[0.0])


def test_two_labels_are_mapped_in_sorted_order(rng):
    X, y, _, _ = problem(rng, "binomial", n=500)
    a = tall.glm_path(X, y, alphas=[0.01])
    b = tall.glm_path(X, np.where(y > 0, "yes", "no"), alphas=[0.01])
    c = tall.glm_path(X, y > 0, alphas=[0.01])
    assert np.array_equal(a.coef, b.coef) and np.array_equal(a.coef, c.coef)


@pytest.mark.parametrize("kwargs, error", [
    ({"family": "gamma"}, "family must be"),
    ({"family": "poisson", "measure": "class"}, "measure must be"),
    ({"offset": [np.nan] * 4}, "offset must be finite: row 0"),
    ({"offset": [0.0] * 3}, "offset has 3"),
])
def test_bad_settings(kwargs, error):
    X = np.arange(8.0).reshape(4, 2) ** 2
    with pytest.raises(ValueError, match=error):
        tall.glm_path(X, np.array([0.0, 1.0, 1.0, 0.0]), **kwargs)


# ---------------------------------------------------------------------------
# Every kind of input: the same bits.
# ---------------------------------------------------------------------------
N_KINDS, BLOCK = 2300, 256


@pytest.fixture(scope="module")
def kinds_data():
    rng = np.random.default_rng(29)
    X, y, w, off = problem(rng, "poisson", n=N_KINDS, k=4)
    labels = np.where(problem(rng, "binomial", n=N_KINDS, k=4)[1] > 0, "yes", "no")
    return X, y, labels, w, off


def fit_kind(kind, family, X, y, w, off, tmp_path):
    common = {"folds": 3, "block_rows": BLOCK, "n_alphas": 12}
    cuts = [0, 300, 301, 1100, 1999, N_KINDS]
    pieces = [(X[a:b], y[a:b], w[a:b], off[a:b]) for a, b in itertools.pairwise(cuts)]
    if kind == "numpy":
        return tall.glm_path(X, y, family, weights=w, offset=off, **common)
    if kind == "pieces":
        return tall.glm_path(pieces, None, family, **common)
    if kind == "callable":
        return tall.glm_path(lambda: iter(pieces), None, family, **common)
    if kind == "dask":
        da = pytest.importorskip("dask.array")
        return tall.glm_path(da.from_array(X, chunks=(700, -1)), da.from_array(y, chunks=700), family,
                             weights=w, offset=da.from_array(off, chunks=700), **common)
    pd = pytest.importorskip("pandas")
    pq = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    frame = pd.DataFrame(X, columns=[f"x{j}" for j in range(X.shape[1])]).assign(y=y, w=w, o=off)
    for i, (a, b) in enumerate(itertools.pairwise([0, 1000, N_KINDS])):
        pq.write_table(pa.Table.from_pandas(frame.iloc[a:b], preserve_index=False),
                       tmp_path / f"part{i}.parquet", row_group_size=333)
    src = tall.source(str(tmp_path), None, "y", weights="w", offset="o")
    assert src.columns == ("x0", "x1", "x2", "x3") and src.offset == "o"
    if kind == "source":
        return tall.glm_path(src, None, family, **common)
    Xd, yd, wd, od = src.to_dask(block_rows=BLOCK)
    return tall.glm_path(Xd, yd, family, weights=wd, offset=od, **common)


@pytest.mark.parametrize("family", ["poisson", "binomial"])
@pytest.mark.parametrize("kind", ["pieces", "callable", "dask", "source", "source-dask"])
def test_every_kind_of_input_gives_the_same_bits(kinds_data, tmp_path, family, kind):
    X, y, labels, w, off = kinds_data
    if family == "binomial":
        if kind.startswith("source"):
            pytest.skip("files hold numbers")
        y = labels
    ref = fit_kind("numpy", family, X, y, w, off, tmp_path)
    got = fit_kind(kind, family, X, y, w, off, tmp_path)
    for field in ("coef", "intercept", "deviance", "dof"):
        assert np.array_equal(getattr(got.fit, field), getattr(ref.fit, field))
    assert np.array_equal(got.cv, ref.cv) and got.n_passes == ref.n_passes


def test_an_iterator_is_refused():
    X = np.ones((4, 2))
    with pytest.raises(TypeError, match="read once"):
        tall.glm_path(iter([(X, np.array([0, 1, 0, 1]))]), None)


def test_two_worker_processes_give_the_same_bits(kinds_data):
    """On a cluster of two worker processes, X persisted there."""
    distributed = pytest.importorskip("distributed")
    import dask.array as da

    X, y, _, w, off = kinds_data
    common = {"weights": w, "offset": off, "folds": 3, "block_rows": BLOCK, "n_alphas": 4}
    ref = tall.glm_path(X, y, "poisson", **common)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as lc, distributed.Client(lc) as client:
        Xd = client.persist(da.from_array(X, chunks=(500, -1)))
        got = tall.glm_path(Xd, da.from_array(y, chunks=500), "poisson", timeout=120, **common)
    assert np.array_equal(got.fit.coef, ref.fit.coef) and np.array_equal(got.cv, ref.cv)


@pytest.mark.parametrize("folds", [None, 3])
def test_results_unpack_by_field_and_are_set_once(rng, folds):
    """Both results unpack as the tuple of every field, in the order of `_fields` (as
    the named tuples they were), and no field can be set after the fit."""
    X, y, w, _ = problem(rng, "binomial", n=300, k=2)
    res = tall.glm_path(X, y, weights=w, alphas=[0.05, 0.0], folds=folds)
    assert type(res) is (tall.GlmPath if folds is None else tall.GlmCrossValidation)
    fields = [f.name for f in dataclasses.fields(res)]
    assert list(res._fields) == fields and len(res) == len(fields)
    for name, value in zip(fields, res, strict=True):
        assert value is getattr(res, name)
    assert res._asdict().keys() == set(fields)
    if folds is not None:
        _, measure, *_, fit, n_passes, status = res
        assert measure == "deviance" and fit is res.fit and n_passes == fit.n_passes
        assert status.shape == (len(fit.alphas), 3)
    with pytest.raises(dataclasses.FrozenInstanceError):
        res.alphas = np.zeros(2)
