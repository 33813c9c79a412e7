"""LogisticRegression, LogisticRegressionCV and PoissonRegressor against scikit-learn's."""

import warnings

import numpy as np
import pytest
from sklearn import linear_model as sk
from sklearn.exceptions import ConvergenceWarning
from sklearn.model_selection import StratifiedKFold

from Quandrel import tall
from Quandrel.linear_model import LogisticRegression, LogisticRegressionCV, PoissonRegressor

# scikit-learn's solvers ask joblib for the cores, which warns in the container
pytestmark = pytest.mark.filterwarnings("ignore:Could not find the number of physical cores:UserWarning")

TIGHT = {"tol": 1e-8, "max_iter": 1000}


def _binary(n=300, seed=1):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, 4))
    y = rng.random(n) < 1 / (1 + np.exp(-(X @ [1.0, -0.5, 0.0, 0.3] + 0.2)))
    return X, np.where(y, "yes", "no"), rng.random(n) + 0.5


class _Quiet:
    """A scikit-learn estimator fitted with its deprecation and setting warnings ignored."""

    def __init__(self, cls, **kw):
        self.estimator = cls(**kw)

    def fit(self, *args, **kw):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)
            warnings.simplefilter("ignore", ConvergenceWarning)
            warnings.simplefilter("ignore", UserWarning)
            return self.estimator.fit(*args, **kw)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("kw, solver", [
    ({"C": 1.0}, "newton-cholesky"),
    ({"C": 0.1, "l1_ratio": 1.0}, "saga"),
    ({"C": 0.3, "l1_ratio": 0.5}, "saga"),
    ({"C": np.inf}, "newton-cholesky"),
    ({"C": 0.5, "class_weight": "balanced"}, "newton-cholesky"),
    ({"C": 0.5, "fit_intercept": False}, "newton-cholesky"),
])
def test_logistic_agrees_with_sklearn(kw, solver, weighted):
    X, y, w = _binary()
    sw = w if weighted else None
    ours = LogisticRegression(**kw, **TIGHT).fit(X, y, sample_weight=sw)
    theirs = sk.LogisticRegression(**kw, solver=solver, tol=1e-12, max_iter=100_000).fit(X, y, sample_weight=sw)
    np.testing.assert_allclose(ours.coef_, theirs.coef_, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(ours.intercept_, theirs.intercept_, rtol=1e-6, atol=1e-9)
    assert ours.coef_.shape == (1, 4) and ours.intercept_.shape == (1,)
    np.testing.assert_array_equal(ours.classes_, theirs.classes_)
    np.testing.assert_allclose(ours.predict_proba(X), theirs.predict_proba(X), rtol=1e-6)
    np.testing.assert_allclose(ours.decision_function(X), theirs.decision_function(X), rtol=1e-6, atol=1e-9)
    np.testing.assert_array_equal(ours.predict(X), theirs.predict(X))
    assert ours.score(X, y) == theirs.score(X, y)


@pytest.mark.parametrize("penalty", ["l1", "l2", "elasticnet", None])
def test_penalty_is_read_as_sklearn_reads_it(penalty):
    X, y, _ = _binary()
    kw = {"C": 0.2, "l1_ratio": 0.3 if penalty == "elasticnet" else 0.7}  # l1_ratio ignored but by elasticnet
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ours = LogisticRegression(penalty, **kw, **TIGHT).fit(X, y)
    assert {type(w.message) for w in caught} == {FutureWarning} | ({UserWarning} if penalty != "elasticnet" else set())
    theirs = _Quiet(sk.LogisticRegression, penalty=penalty, **kw, solver="saga", tol=1e-12,
                      max_iter=100_000).fit(X, y)
    np.testing.assert_allclose(ours.coef_, theirs.coef_, rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("alpha", [0.0, 0.01, 1.0])
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_poisson_agrees_with_sklearn(alpha, fit_intercept):
    rng = np.random.default_rng(2)
    X = rng.standard_normal((300, 3))
    y = rng.poisson(np.exp(0.3 + X @ [0.2, -0.1, 0.1]))
    w = rng.random(300) + 0.5
    ours = PoissonRegressor(alpha=alpha, fit_intercept=fit_intercept, tol=1e-8).fit(X, y, sample_weight=w)
    theirs = sk.PoissonRegressor(alpha=alpha, fit_intercept=fit_intercept, solver="newton-cholesky",
                                 tol=1e-12, max_iter=10_000).fit(X, y, sample_weight=w)
    np.testing.assert_allclose(ours.coef_, theirs.coef_, rtol=1e-6, atol=1e-10)
    assert ours.intercept_ == pytest.approx(theirs.intercept_, rel=1e-6, abs=1e-10)
    np.testing.assert_allclose(ours.predict(X), theirs.predict(X), rtol=1e-8)
    assert ours.score(X, y) == pytest.approx(theirs.score(X, y), rel=1e-8)


@pytest.mark.parametrize("l1_ratios", [[0.0], [0.0, 0.5]])
def test_cv_agrees_with_sklearn(l1_ratios):
    X, y, _ = _binary()
    cv = StratifiedKFold(4)
    ours = LogisticRegressionCV(Cs=6, cv=cv, l1_ratios=l1_ratios, scoring="neg_log_loss", **TIGHT).fit(X, y)
    theirs = _Quiet(sk.LogisticRegressionCV, Cs=6, cv=cv, l1_ratios=l1_ratios, solver="saga", tol=1e-10,
                      max_iter=100_000, scoring="neg_log_loss", use_legacy_attributes=False).fit(X, y)
    # saga's intercept is inexact where every coefficient is 0 (C=1e-4, the L1 share > 0)
    np.testing.assert_allclose(ours.scores_[:, 0], theirs.scores_[:, 0], rtol=1e-8)
    assert ours.C_ == theirs.C_ and ours.l1_ratio_ == theirs.l1_ratio_
    np.testing.assert_allclose(ours.coef_, theirs.coef_, rtol=1e-6)
    assert ours.C_1se_ <= ours.C_


def test_cv_folds_and_accuracy():
    X, y, _ = _binary(400)
    ids = tall.fold_ids(0, 400, 5, 3)
    by_int = LogisticRegressionCV(Cs=4, cv=5, random_state=3).fit(X, y)
    by_ids = LogisticRegressionCV(Cs=4, cv=ids).fit(X, y)
    np.testing.assert_array_equal(by_int.scores_, by_ids.scores_)
    fold = LogisticRegression(C=float(by_ids.Cs_[2])).fit(X[ids != 1], y[ids != 1])
    assert by_ids.scores_[1, 0, 2] == fold.score(X[ids == 1], y[ids == 1])
    np.testing.assert_array_equal(by_ids.coef_, LogisticRegression(C=by_ids.C_).fit(X, y).coef_)


@pytest.mark.parametrize("make, fit, match", [
    (LogisticRegression, lambda X, y: (X, np.arange(len(y)) % 3), "Only binary classification"),
    (LogisticRegression, lambda X, y: (X, np.zeros(len(y))), "only one class"),
    (LogisticRegression, lambda X, y: (np.where(np.eye(len(y), 4, dtype=bool), np.nan, X), y), "NaN"),
    (LogisticRegressionCV, lambda X, y: (X, np.arange(len(y)) % 3), "Only binary classification"),
    (lambda: LogisticRegressionCV(cv=np.arange(60) % 3 * 2), lambda X, y: (X, y), "fold ids"),
    (PoissonRegressor, lambda X, y: (X, -np.ones(len(y))), "valid range"),
    (PoissonRegressor, lambda X, y: (X, np.zeros(len(y))), "valid range"),
])
def test_refusals(make, fit, match):
    X, y, _ = _binary(60)
    with pytest.raises(ValueError, match=match):
        make().fit(*fit(X, y))


@pytest.mark.parametrize("X, y, kw, status, match", [
    (np.array([[-2.0], [-1.0], [1.0], [2.0]]), [0, 0, 1, 1], {"C": np.inf}, -1, "separated"),
    (*_binary(100)[:2], {"max_iter": 1}, -2, "max_iter"),
])
def test_convergence_warnings(X, y, kw, status, match):
    with pytest.warns(ConvergenceWarning, match=match):
        model = LogisticRegression(**kw).fit(X, y)
    assert model.status_ == status
    if status == -1:
        np.testing.assert_array_equal(model.predict(X), y)


def test_inputs_agree():
    pd = pytest.importorskip("pandas")
    da = pytest.importorskip("dask.array")
    X, y, w = _binary(200)
    frame = pd.DataFrame(X, columns=list("abcd"))
    ref = LogisticRegression(C=0.5).fit(X, y, sample_weight=w)
    named = LogisticRegression(C=0.5).fit(frame, pd.Series(y), sample_weight=w)
    np.testing.assert_array_equal(named.coef_, ref.coef_)
    assert list(named.feature_names_in_) == list("abcd")
    lazy = LogisticRegression(C=0.5).fit(da.from_array(X, chunks=64), da.from_array(y, chunks=64),
                                         sample_weight=da.from_array(w, chunks=64))
    np.testing.assert_allclose(lazy.coef_, ref.coef_, rtol=1e-12)
    np.testing.assert_allclose(lazy.predict_proba(da.from_array(X, chunks=64)).compute(),
                               ref.predict_proba(X), rtol=1e-12)
    assert lazy.score(da.from_array(X, chunks=64), da.from_array(y, chunks=64)) == ref.score(X, y)
    counts = np.random.default_rng(0).poisson(1.0, 200)
    pois = PoissonRegressor(alpha=0.1).fit(X, counts)
    pois_lazy = PoissonRegressor(alpha=0.1).fit(da.from_array(X, chunks=64), da.from_array(counts, chunks=64))
    np.testing.assert_allclose(pois_lazy.coef_, pois.coef_, rtol=1e-12)
    assert pois_lazy.score(da.from_array(X, chunks=64), da.from_array(counts, chunks=64)) == pytest.approx(
        pois.score(X, counts), rel=1e-12)


def test_source_input(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    X, y, w = _binary(200)
    y = np.where(y == "yes", 5, 2)  # a source's target holds numbers
    frame = pd.DataFrame(X, columns=list("abcd")).assign(y=y, w=w)
    frame.to_parquet(tmp_path / "part-0.parquet")
    src = tall.source(str(tmp_path / "part-0.parquet"), list("abcd"), "y", weights="w")
    ours = LogisticRegression(C=0.5).fit(src)
    ref = LogisticRegression(C=0.5).fit(X, y, sample_weight=w)
    np.testing.assert_allclose(ours.coef_, ref.coef_, rtol=1e-12)
    np.testing.assert_array_equal(ours.classes_, [2, 5])
    assert list(ours.feature_names_in_) == list("abcd")
    np.testing.assert_allclose(ours.decision_function(src).compute(), ref.decision_function(X), rtol=1e-12)
    counts = PoissonRegressor(alpha=0.1).fit(src)  # the target's 2 and 5 as counts
    np.testing.assert_allclose(counts.coef_, PoissonRegressor(alpha=0.1).fit(X, y, sample_weight=w).coef_,
                               rtol=1e-12)


@pytest.mark.parametrize("scoring", [None, "neg_log_loss"])
def test_cv_of_tall_input(scoring):
    """Dask rows: all folds in the same scans, each fold's penalty on the all-rows scale."""
    da = pytest.importorskip("dask.array")
    X, y, w = _binary(400)
    ids = tall.fold_ids(0, 400, 4, 7)
    lazy = LogisticRegressionCV(Cs=[0.01, 1.0, 0.1], cv=4, random_state=7, scoring=scoring, **TIGHT).fit(
        da.from_array(X, chunks=128), da.from_array(y, chunks=128), sample_weight=da.from_array(w, chunks=128))
    assert lazy.scores_.shape == (4, 1, 3)
    f, c = 2, 1
    train, test = ids != f, ids == f
    fold = LogisticRegression(C=1.0 * w.sum() / w[train].sum(), **TIGHT).fit(X[train], y[train],
                                                                             sample_weight=w[train])
    if scoring is None:
        assert lazy.scores_[f, 0, c] == pytest.approx(fold.score(X[test], y[test], sample_weight=w[test]))
    else:
        from sklearn.metrics import log_loss
        expected = -log_loss(y[test], fold.predict_proba(X[test]), sample_weight=w[test])
        assert lazy.scores_[f, 0, c] == pytest.approx(expected, rel=1e-7)
    np.testing.assert_allclose(lazy.coef_, LogisticRegression(C=lazy.C_, **TIGHT).fit(X, y, sample_weight=w).coef_,
                               rtol=1e-12)


@pytest.mark.parametrize("kw, error, match", [
    ({"scoring": "roc_auc"}, ValueError, "scoring"),
    ({"refit": False}, ValueError, "refit"),
    ({"cv": StratifiedKFold(3)}, TypeError, "cv"),
])
def test_cv_of_tall_input_refusals(kw, error, match):
    da = pytest.importorskip("dask.array")
    X, y, _ = _binary(100)
    with pytest.raises(error, match=match):
        LogisticRegressionCV(Cs=2, **kw).fit(da.from_array(X, chunks=50), da.from_array(y, chunks=50))


@pytest.mark.parametrize("lazy", [False, True])
def test_cv_with_a_separated_fold(lazy):
    """A fold whose classes separate ends its path there: its later Cs are unscored."""
    X = np.r_[np.linspace(-3, -0.1, 12), np.linspace(0.1, 3, 12)][:, None]
    y = np.r_[np.zeros(12), np.ones(12)]
    y[[0, 21]] = [1, 0]  # two rows out of place, both in fold 0: the other folds separate
    ids = np.arange(24) % 3
    if lazy:
        da = pytest.importorskip("dask.array")
        X, y, ids = (da.from_array(a, chunks=12) for a in (X, y, ids))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        model = LogisticRegressionCV(Cs=[0.1, np.inf], cv=ids).fit(X, y)
    assert [f for f in range(3) if np.isnan(model.scores_[f, 0, 1])] == [0]
    assert np.all(np.isfinite(model.scores_[:, 0, 0]))
    assert model.C_ in (0.1, np.inf)
    if not lazy:
        assert np.isnan(model.coefs_paths_[0, 0, 1]).all()
