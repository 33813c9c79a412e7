"""The estimators against scikit-learn's and statsmodels' of the same name, and what
they refuse."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest
import sklearn.linear_model as sk
import statsmodels.api as sm
from sklearn.base import clone
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.model_selection import GridSearchCV, GroupKFold, KFold, ShuffleSplit, StratifiedKFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

import Quandrel.linear_model as ql
from Quandrel import tall


def _data(n=300, k=6, seed=0, noise=1.0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, k)) + np.arange(k)
    y = X @ rng.standard_normal(k) + 3.0 + noise * rng.standard_normal(n)
    return X, y, rng.uniform(0.5, 2.0, n)


def _rel(a, b):
    return np.max(np.abs(np.asarray(a) - b)) / max(np.max(np.abs(b)), 1e-300)


TIGHT = {"tol": 1e-12, "max_iter": 100_000}
PAIRS = [
    ("LinearRegression", {}, {}),
    ("LinearRegression", {"fit_intercept": False}, {"fit_intercept": False}),
    ("Ridge", {"alpha": 3.0}, {"alpha": 3.0}),
    ("Ridge", {"alpha": 3.0, "fit_intercept": False}, {"alpha": 3.0, "fit_intercept": False}),
    ("Lasso", {"alpha": 0.1, **TIGHT}, {"alpha": 0.1, **TIGHT}),
    ("Lasso", {"alpha": 0.1, "fit_intercept": False, **TIGHT}, {"alpha": 0.1, "fit_intercept": False, **TIGHT}),
    ("ElasticNet", {"alpha": 0.1, "l1_ratio": 0.3, **TIGHT}, {"alpha": 0.1, "l1_ratio": 0.3, **TIGHT}),
    ("LassoLars", {"alpha": 0.05}, {"alpha": 0.05}),
]


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("name, ours, theirs", PAIRS)
def test_same_model_as_scikit_learn(name, ours, theirs, weighted):
    X, y, w = _data()
    sw = w if weighted else None
    if name == "LassoLars" and weighted:
        pytest.skip("scikit-learn's LassoLars takes no weights")
    a = getattr(ql, name)(**ours).fit(X, y, sample_weight=sw)
    b = getattr(sk, name)(**theirs).fit(X, y, sample_weight=sw) if sw is not None else \
        getattr(sk, name)(**theirs).fit(X, y)
    assert _rel(a.coef_, b.coef_) < 1e-8
    assert abs(a.intercept_ - b.intercept_) <= 1e-8 * max(1.0, abs(b.intercept_))
    assert a.status_ == 0
    np.testing.assert_allclose(a.predict(X[:7]), b.predict(X[:7]), rtol=1e-9)
    assert a.score(X, y, sample_weight=sw) == pytest.approx(b.score(X, y, sample_weight=sw), rel=1e-10)


def test_lasso_lars_reads_the_path_at_alpha():
    """Between the knots and beyond the path's end, the lasso's own solution."""
    X, y, _ = _data(k=8)
    for alpha in [1e-4, 0.03, 0.5, 100.0]:
        lars = ql.LassoLars(alpha=alpha).fit(X, y)
        cd = sk.Lasso(alpha=alpha, **TIGHT).fit(X, y)
        assert np.max(np.abs(lars.coef_ - cd.coef_)) < 1e-8 * max(1.0, np.max(np.abs(cd.coef_)))


@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC1"])
@pytest.mark.parametrize("weighted", [False, True], ids=["OLS", "WLS"])
@pytest.mark.parametrize("fit_intercept", [True, False], ids=["const", "noconst"])
def test_inference_is_statsmodels(cov_type, weighted, fit_intercept):
    X, y, w = _data(n=120, k=4, noise=2.0)
    model = ql.LinearRegression(fit_intercept=fit_intercept, cov_type=cov_type).fit(
        X, y, sample_weight=w if weighted else None)
    exog = sm.add_constant(X) if fit_intercept else X
    ref = (sm.WLS(y, exog, weights=w) if weighted else sm.OLS(y, exog)).fit(cov_type=cov_type)
    for ours, theirs in [("params_", "params"), ("bse_", "bse"), ("tvalues_", "tvalues"),
                         ("pvalues_", "pvalues"), ("cov_params_", "cov_params"), ("rsquared_", "rsquared"),
                         ("rsquared_adj_", "rsquared_adj"), ("fvalue_", "fvalue"),
                         ("f_pvalue_", "f_pvalue"), ("df_resid_", "df_resid"), ("df_model_", "df_model")]:
        value = getattr(ref, theirs)
        value = value() if callable(value) else value
        assert _rel(getattr(model, ours), value) < 1e-10, ours
    assert model.sigma_ == pytest.approx(np.sqrt(ref.scale), rel=1e-10)
    assert _rel(model.conf_int(0.1), ref.conf_int(0.1)) < 1e-10
    table = model.summary()
    assert list(table.columns) == ["coef", "std err", "t", "P>|t|", "[0.025", "0.975]"]
    assert list(table.index) == (["const"] if fit_intercept else []) + ["x0", "x1", "x2", "x3"]


def test_aliased_columns_as_lm():
    """The dummy-variable trap: the last dummy is a combination of the intercept and
    the others; it is aliased and the rest equal the fit without it."""
    X, y, _ = _data(n=200, k=3)
    group = np.arange(200) % 3
    dummies = (group[:, None] == np.arange(3)).astype(float)
    frame = pd.DataFrame(np.column_stack([X, dummies, X[:, 0] - 2 * X[:, 1]]),
                         columns=["a", "b", "c", "g0", "g1", "g2", "a_2b"])
    with pytest.warns(UserWarning, match=r"2 column\(s\) aliased.*g2, a_2b"):
        model = ql.LinearRegression().fit(frame, y)
    np.testing.assert_array_equal(model.aliased_, [5, 6])
    full = ql.LinearRegression().fit(frame.iloc[:, :5], y)
    np.testing.assert_allclose(model.coef_[:5], full.coef_, rtol=1e-9)
    assert model.coef_[5] == model.coef_[6] == 0.0
    table = model.summary()
    assert table.loc["g2", "coef"] == 0.0 and table.loc[["g2", "a_2b"]].iloc[:, 1:].isna().all().all()
    assert table.drop(["g2", "a_2b"]).notna().all().all()
    np.testing.assert_allclose(model.predict(frame), full.predict(frame.iloc[:, :5]), rtol=1e-9)


def _cv_pair(cls_name, cv, weighted, **kw):
    X, y, w = _data(noise=3.0)
    sw = w if weighted else None
    ours = getattr(ql, cls_name)(cv=cv, **kw, **TIGHT).fit(X, y, sample_weight=sw)
    theirs = getattr(sk, cls_name)(cv=cv, **kw, **TIGHT).fit(X, y, sample_weight=sw)
    return ours, theirs


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("name, kw", [("LassoCV", {}), ("ElasticNetCV", {"l1_ratio": [0.1, 0.5, 1.0]}),
                                      ("ElasticNetCV", {"l1_ratio": 0.5})])
def test_cross_validation_is_scikit_learns_on_its_splits(name, kw, weighted):
    ours, theirs = _cv_pair(name, KFold(5), weighted, **kw)
    assert ours.alpha_ == pytest.approx(theirs.alpha_, rel=1e-12)
    assert ours.mse_path_.shape == theirs.mse_path_.shape
    assert ours.alphas_.shape == theirs.alphas_.shape
    assert _rel(ours.mse_path_, theirs.mse_path_) < 1e-9
    assert _rel(ours.coef_, theirs.coef_) < 1e-8
    if "l1_ratio" in kw:
        assert ours.l1_ratio_ == theirs.l1_ratio_
    # glmnet's summaries: the folds weighted by their weight sums, the 1-SE rule
    assert ours.cv_mean_.shape == ours.cv_se_.shape == ours.alphas_.shape
    assert ours.alpha_1se_ >= ours.alpha_


def test_cv_forms():
    """An int is the hashed folds of random_state; fold ids and splitters as given;
    splitters whose test sets do not partition the rows are refused."""
    X, y, _ = _data()
    hashed = ql.LassoCV(cv=4, random_state=3).fit(X, y)
    ids = tall.fold_ids(0, X.shape[0], 4, seed=3)
    np.testing.assert_array_equal(ql.LassoCV(cv=ids).fit(X, y).mse_path_, hashed.mse_path_)
    assert not np.array_equal(ql.LassoCV(cv=4, random_state=4).fit(X, y).mse_path_, hashed.mse_path_)
    groups = np.arange(X.shape[0]) % 7
    assert ql.LassoCV(cv=GroupKFold(3)).fit(X, y, groups=groups).mse_path_.shape == (100, 3)
    assert ql.LassoCV(cv=StratifiedKFold(3), alphas=5).fit(X, (y > 3).astype(float)).mse_path_.shape == (5, 3)
    assert ql.LassoCV(cv=list(KFold(3).split(X))).fit(X, y).mse_path_.shape == (100, 3)
    with pytest.raises(ValueError, match="partition the rows"):
        ql.LassoCV(cv=ShuffleSplit(3, random_state=0)).fit(X, y)
    with pytest.raises(ValueError, match="partition the rows"):
        ql.LassoCV(cv=[(np.arange(100, 300), np.arange(100))]).fit(X, y)


def test_ridge_ic_scores_are_the_kernels():
    from Quandrel._ckernels.regression._regression import ridge_grid_search

    X, y, _ = _data()
    Xa = np.column_stack([np.ones(X.shape[0]), X])
    alphas = np.array([0.1, 1.0, 10.0, 100.0, 1000.0])
    for criterion, code in [("aic", 1), ("bic", 2), ("rss", 3)]:
        model = ql.RidgeIC(alphas=alphas * X.shape[0], criterion=criterion).fit(X, y)
        kernel = [ridge_grid_search(Xa, y, np.array([a]), code, True)[2] for a in alphas]
        np.testing.assert_allclose(model.criterion_path_, kernel, rtol=1e-11)
        assert model.alpha_ == alphas[np.argmin(kernel)] * X.shape[0]
        ridge = ql.Ridge(alpha=model.alpha_).fit(X, y)
        np.testing.assert_array_equal(model.coef_, ridge.coef_)
        assert model.dof_ == ridge.dof_
    grid = ql.RidgeIC(alphas=20).fit(X, y)
    assert grid.alphas_.shape == (20,) and np.all(np.diff(grid.alphas_) < 0)


def test_ridge_dof_is_the_trace_of_the_hat_matrix():
    X, y, _ = _data(k=4)
    Xc = X - X.mean(axis=0)
    H = Xc @ np.linalg.solve(Xc.T @ Xc + 5.0 * np.eye(4), Xc.T)
    assert ql.Ridge(alpha=5.0).fit(X, y).dof_ == pytest.approx(np.trace(H) + 1.0, rel=1e-12)


ALL = [ql.LinearRegression(), ql.Ridge(), ql.RidgeIC(alphas=5), ql.Lasso(alpha=0.01), ql.ElasticNet(alpha=0.01),
       ql.LassoLars(alpha=0.01), ql.LassoCV(alphas=5, cv=3), ql.ElasticNetCV(alphas=5, cv=3)]


@pytest.mark.parametrize("model", ALL, ids=lambda m: type(m).__name__)
def test_bad_input_is_named(model):
    X, y, w = _data(n=60, k=3)
    with pytest.raises(NotFittedError):
        clone(model).predict(X)
    for what, args in [("X", (np.where(np.arange(60)[:, None] == 5, np.nan, X), y)),
                       ("X", (np.where(np.arange(60)[:, None] == 5, np.inf, X), y)),
                       ("y", (X, np.where(np.arange(60) == 5, np.nan, y)))]:
        with pytest.raises(ValueError, match=f"{what} contains NaN"):
            clone(model).fit(*args)
    for bad in [np.where(np.arange(60) == 3, -1.0, w), np.where(np.arange(60) == 3, np.nan, w)]:
        with pytest.raises(ValueError, match="sample_weight"):
            clone(model).fit(X, y, sample_weight=bad)
    fitted = clone(model).fit(X, y)
    with pytest.raises(ValueError, match="3 features"):
        fitted.predict(X[:, :2])
    with pytest.raises(ValueError, match="NaN"):
        fitted.predict(np.where(np.arange(60)[:, None] == 5, np.nan, X))


@pytest.mark.parametrize("model", ALL, ids=lambda m: type(m).__name__)
def test_in_the_ecosystem(model):
    """Pickling, pandas names, Pipeline and GridSearchCV; the same statistics give the
    same bits however the rows arrive."""
    X, y, w = _data(n=80, k=3)
    frame = pd.DataFrame(X, columns=["u", "v", "w"])
    fitted = clone(model).fit(frame, y, sample_weight=w)
    np.testing.assert_array_equal(fitted.feature_names_in_, ["u", "v", "w"])
    again = pickle.loads(pickle.dumps(fitted))
    np.testing.assert_array_equal(again.predict(frame), fitted.predict(frame))
    np.testing.assert_array_equal(clone(model).fit(X.tolist(), list(y), sample_weight=w).coef_, fitted.coef_)
    pipe = make_pipeline(StandardScaler(), clone(model)).fit(X, y)
    assert pipe.score(X, y) > 0.5
    key = next(iter(k for k in ("alpha", "fit_intercept") if k in model.get_params()))
    values = [0.01, 0.1] if key == "alpha" else [True, False]
    assert GridSearchCV(clone(model), {key: values}, cv=3).fit(X, y).best_params_[key] in values


def test_convergence_warning_and_status():
    X, y, _ = _data(k=8)
    with pytest.warns(ConvergenceWarning):
        model = ql.Lasso(alpha=1e-4, max_iter=1, tol=1e-14).fit(X, y)
    assert model.status_ == -2
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert ql.Lasso(alpha=1e-4).fit(X, y).status_ == 0
        for model in [ql.Lasso(), ql.ElasticNet(), ql.LassoLars(), ql.LassoCV(alphas=5, cv=3)]:
            flat = model.fit(X, np.full(X.shape[0], 2.5))  # nothing to fit: no warning
            assert np.all(flat.coef_ == 0.0) and flat.intercept_ == pytest.approx(2.5, rel=1e-15)


def test_in_memory_fits_import_no_dask():
    import subprocess
    import sys

    code = ("import sys, numpy as np\n"
            "from Quandrel.linear_model import LassoCV, LinearRegression\n"
            "X = np.random.default_rng(0).standard_normal((50, 3)); y = X[:, 0] + np.sin(X[:, 1])\n"
            "LinearRegression(cov_type='HC1').fit(X, y).predict(X); LassoCV(cv=3).fit(X, y).score(X, y)\n"
            "assert not [m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')]\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


@pytest.mark.parametrize("cov_type", ["nonrobust", "HC0", "HC1"])
def test_exact_fit_tables(cov_type):
    """No residual: zero standard errors, and an F statistic of inf (nonrobust) or
    NaN (robust: its covariance is 0), never an exception."""
    X, _, _ = _data(n=30, k=3)
    with np.errstate(divide="ignore", invalid="ignore"):
        model = ql.LinearRegression(cov_type=cov_type).fit(X, 2.0 + X @ [1.0, 2.0, 3.0])
    np.testing.assert_allclose(model.coef_, [1.0, 2.0, 3.0], rtol=1e-12)
    assert np.all(model.bse_ < 1e-6)
    assert model.fvalue_ > 1e12 or np.isnan(model.fvalue_)
