"""Tall input of the estimators (Dask arrays and DataFrames, tall.Source): the
statistics are the bits of the same rows in memory, in this process and on a
two-worker cluster; predictions are lazy; the score and the HC meat of one pass agree
with the formulas on the rows; bad input is refused naming what is wrong."""

import warnings

import numpy as np
import pytest
from clusters import two_workers

from Quandrel import tall
from Quandrel.linear_model import _data

da = pytest.importorskip("dask.array")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
with warnings.catch_warnings():  # the legacy implementation announces its deprecation
    warnings.simplefilter("ignore", FutureWarning)
    dd = pytest.importorskip("dask.dataframe")

N, P = 20_011, 4
NAMES = [f"x{j}" for j in range(P)]
COEF, B0 = np.array([1.0, -2.0, 0.0, 0.5]), 3.0


@pytest.fixture(scope="module")
def rows():
    rng = np.random.default_rng(7)
    X = rng.standard_normal((N, P)) * [1.0, 2.0, 0.5, 3.0] + [4.0, -1.0, 0.0, 10.0]
    y = X @ COEF + B0 + rng.standard_normal(N) * (1.0 + np.abs(X[:, 0]))
    w = rng.uniform(0.0, 2.0, N)
    return X, y, w


@pytest.fixture(scope="module")
def folder(tmp_path_factory, rows):
    """The rows as three Parquet files of row groups of 3,000 rows."""
    X, y, w = rows
    path = tmp_path_factory.mktemp("rows")
    table = pa.table({**{n: X[:, j] for j, n in enumerate(NAMES)}, "y": y, "w": w})
    for i, (a, b) in enumerate([(0, 7000), (7000, 15000), (15000, N)]):
        pq.write_table(table.slice(a, b - a), path / f"part-{i}.parquet", row_group_size=3000,
                       write_page_checksum=True)
    return str(path)


def kinds(rows, folder):
    """(name, X, y, sample_weight) of the same rows in every tall kind."""
    X, y, w = rows
    frame = pd.DataFrame(X, columns=NAMES).assign(y=y, w=w)
    ddf = dd.from_pandas(frame, npartitions=7)
    return [
        ("dask array", da.from_array(X, chunks=(3001, 2)), da.from_array(y, chunks=5000), w),
        ("dask frame", ddf[NAMES], ddf["y"], ddf["w"]),
        ("source", tall.source(folder, NAMES, "y", weights="w"), None, None),
    ]


def meat(X, y, w, coef, b0):
    """sum w^2 e^2 x x' on the rows, the intercept's column first when b0 is not None."""
    e = y - X @ coef - (b0 or 0.0)
    A = X if b0 is None else np.column_stack([np.ones(len(y)), X])
    return (A * ((w * e) ** 2)[:, None]).T @ A


def check_kinds(rows, folder, fold_kinds=(None, 5, "ids", "dask ids")):
    """Every tall kind gives the in-memory statistics' bits (with folds by hash and by
    ids), the feature names, the predictions, the weighted R^2 and the HC meat."""
    from sklearn.metrics import r2_score

    X, y, w = rows
    ids = tall.fold_ids(0, N, 4, seed=9)
    for name, Xt, yt, wt in kinds(rows, folder):
        names = None if name == "dask array" else NAMES
        for folds in [{"ids": ids, "dask ids": da.from_array(ids, chunks=4000)}.get(f, f)
                      for f in fold_kinds]:
            ref = tall.gram_stats(X, y, weights=w, folds=folds if np.ndim(folds) == 0 else ids,
                                  seed=3)
            stats, got_names = _data.tall_statistics(Xt, yt, wt, folds=folds, seed=3)
            assert stats.fingerprint() == ref.fingerprint(), (name, folds)
            assert got_names is None if names is None else got_names.tolist() == names
        pred = _data.tall_predict(Xt, COEF, B0)
        assert isinstance(pred, da.Array)
        np.testing.assert_allclose(pred.compute(), X @ COEF + B0, rtol=1e-14, atol=1e-13)
        score = _data.tall_score(Xt, yt, wt, COEF, B0)
        assert score == pytest.approx(r2_score(y, X @ COEF + B0, sample_weight=w), rel=1e-13)
        for b0 in (B0, None):
            ref = meat(X, y, w, COEF, b0)
            got = _data.tall_hc_meat(Xt, yt, wt, COEF, b0)
            assert np.abs(got - ref).max() <= 1e-13 * np.abs(ref).max(), (name, b0)


def test_kinds_in_this_process(rows, folder):
    """Dask's local scheduler, and a source read here piece by piece; unweighted rows
    are passed with unit weights."""
    check_kinds(rows, folder)
    X, y, _ = rows
    ref = tall.gram_stats(X, y, weights=np.ones(N), folds=5).fingerprint()
    for Xt, yt in [(da.from_array(X, chunks=6000), y), (tall.source(folder, NAMES, "y"), None)]:
        assert _data.tall_statistics(Xt, yt, None, folds=5)[0].fingerprint() == ref


def test_predictions_are_lazy():
    """tall_predict builds a graph; no task runs until it is computed."""
    import dask

    ran = []

    def piece(i):
        ran.append(i)
        return np.full((10, 2), float(i))

    X = da.concatenate([da.from_delayed(dask.delayed(piece)(i), (10, 2), dtype=np.float64)
                        for i in range(3)])
    pred = _data.tall_predict(X, [1.0, 1.0], 0.5)
    assert ran == [] and pred.shape == (30,)
    assert pred.compute(scheduler="sync").tolist() == [0.5] * 10 + [2.5] * 10 + [4.5] * 10


def test_an_exact_fit_has_a_zero_meat(rows):
    X = rows[0][:100]
    assert not _data.tall_hc_meat(da.from_array(X, chunks=30), X @ COEF + B0, None, COEF, B0).any()


def test_the_size_limit():
    _data.check_statistics_size(_data.MAX_FEATURES)
    with pytest.raises(ValueError, match=r"X has 11,586 columns.*limit of 1 GiB.*at most 11,585"):
        _data.check_statistics_size(11_586)
    # Refused before any row is read (the array would need 88 GiB).
    with pytest.raises(ValueError, match="X has 12,000 columns"):
        _data.tall_statistics(da.zeros((1_000_000, 12_000), chunks=(1000, 12_000)), da.zeros(1_000_000),
                              None)


def _nan_at(a, i, j=None):
    a = a.copy()
    a[i if j is None else (i, j)] = np.nan
    return a


@pytest.mark.parametrize("call, error, match", [
    (lambda X, y, w, src: _data.tall_statistics(src, y, None), TypeError, "y must be None when X is a tall.Source"),
    (lambda X, y, w, src: _data.tall_statistics(src, None, w), TypeError, "sample_weight must be None"),
    (lambda X, y, w, src: _data.tall_statistics(da.from_array(X), None, None), TypeError, "y is None"),
    (lambda X, y, w, src: _data.tall_statistics(da.from_array(X[:, 0]), y, None), ValueError, "X must be 2-D"),
    (lambda X, y, w, src: _data.tall_statistics(dd.from_pandas(pd.Series(y), npartitions=2), y, None),
     ValueError, "X is a Dask Series"),
    (lambda X, y, w, src: _data.tall_statistics(da.from_array(X), y, -w), ValueError,
     "sample_weight must be finite and >= 0"),
    (lambda X, y, w, src: _data.tall_statistics(da.from_array(X), y[:-1], None), ValueError,
     "rows but y has"),
    (lambda X, y, w, src: _data.tall_statistics(da.from_array(_nan_at(X, 5, 2)), y, None), ValueError,
     r"NaN or infinity in X column 2 \(1 value\)$"),
    (lambda X, y, w, src: _data.tall_statistics(src, None, None, folds=__import__("sklearn.model_selection")
                                                .model_selection.KFold(5)), TypeError,
     r"cv=KFold\(\.\.\.\): a scikit-learn splitter"),
    (lambda X, y, w, src: _data.tall_statistics(
        dd.from_pandas(pd.DataFrame({"a": X[:, 0], "b": ["s"] * N}), npartitions=2), y, None),
     TypeError, "column 'b' of X must hold real numbers"),
    (lambda X, y, w, src: _data.tall_statistics(
        dd.from_pandas(pd.DataFrame({"a": X[:, 0], 1: X[:, 1]}), npartitions=2), y, None),
     TypeError, "feature names are only supported"),
    (lambda X, y, w, src: _data.tall_predict(src, COEF[:3], 0.0), ValueError,
     "X has 4 features, but the model was fitted with 3"),
    (lambda X, y, w, src: _data.tall_predict(da.from_array(_nan_at(X, 7, 1), chunks=5000), COEF, 0.0).compute(),
     ValueError, "X holds NaN or infinity"),
    (lambda X, y, w, src: _data.tall_score(da.from_array(X), _nan_at(y, 3), None, COEF, 0.0),
     ValueError, "y holds NaN or infinity"),
    (lambda X, y, w, src: _data.tall_hc_meat(da.from_array(X), y, _nan_at(w, 3), COEF, 0.0),
     ValueError, "squared weighted residuals are not finite"),
])
def test_refusals(rows, folder, call, error, match):
    X, y, w = rows
    with pytest.raises(error, match=match):
        call(X, y, w, tall.source(folder, NAMES, "y", weights="w"))


def test_is_tall(rows, folder):
    X = rows[0]
    assert not any(map(_data.is_tall, [X, X.tolist(), pd.DataFrame(X)]))
    assert all(map(_data.is_tall, [da.from_array(X), dd.from_pandas(pd.DataFrame(X), npartitions=2),
                                   tall.source(folder, NAMES, "y")]))


# ---------------------------------------------------------------------------
# On a cluster of two worker processes.
# ---------------------------------------------------------------------------
@pytest.fixture(scope="module")
def cluster():
    """Two worker processes; a watchdog ends the run with a traceback if they hang."""
    with two_workers() as client:
        yield client


def test_kinds_on_a_cluster(cluster, rows, folder):
    """The same on the workers: the source's rows read there (Source.to_dask)."""
    from distributed import get_task_stream

    with get_task_stream(cluster) as ts:
        check_kinds(rows, folder, ("dask ids",))
    assert any("read-parquet" in str(t["key"]) for t in ts.data)


# Every estimator takes its statistics from the same call (LinearModel._statistics):
# these three cover the second pass (HC1) and both kinds of folds.
ESTIMATORS = [("LinearRegression", dict(cov_type="HC1")), ("LassoCV", dict(cv=5, random_state=4)),
              ("ElasticNetCV", dict(l1_ratio=[0.5, 1.0], cv=tall.fold_ids(0, N, 3)))]


def test_the_estimators_agree_across_kinds(cluster, rows, folder):
    """Each estimator fitted on the rows in memory (pandas) and on every tall kind: the
    same coefficients (to 1e-12 relative; the statistics are the same bits), the same
    robust standard errors, scores and predictions."""
    import Quandrel.linear_model as lm

    X, y, w = rows
    frame = pd.DataFrame(X, columns=NAMES)
    for name, params in ESTIMATORS:
        ref = getattr(lm, name)(**params).fit(frame, y, sample_weight=w)
        for kind, Xt, yt, wt in kinds(rows, folder):
            got = getattr(lm, name)(**params).fit(Xt, yt, sample_weight=wt)
            np.testing.assert_allclose(got.coef_, ref.coef_, rtol=1e-12, atol=1e-12 * np.abs(ref.coef_).max(),
                                       err_msg=f"{name} on {kind}")
            assert got.intercept_ == pytest.approx(ref.intercept_, rel=1e-12), (name, kind)
            if name == "LinearRegression":
                np.testing.assert_allclose(got.bse_, ref.bse_, rtol=1e-10)
            if kind != "dask array":
                assert got.feature_names_in_.tolist() == NAMES
    # The last model, scored and predicted on every kind.
    for kind, Xt, yt, wt in kinds(rows, folder):
        assert got.score(Xt, yt, sample_weight=wt) == pytest.approx(
            ref.score(frame, y, sample_weight=w), rel=1e-12), kind
        np.testing.assert_allclose(got.predict(Xt).compute(), ref.predict(frame), rtol=1e-12, atol=1e-12)


def test_splitters_are_refused_on_tall_input(rows, folder):
    from sklearn.model_selection import KFold

    from Quandrel.linear_model import LassoCV

    X, y, _ = rows
    for Xt, yt in [(da.from_array(X), da.from_array(y)), (tall.source(folder, NAMES, "y"), None)]:
        with pytest.raises(TypeError, match="cv: tall input takes an int or an array of fold ids"):
            LassoCV(cv=KFold(5)).fit(Xt, yt)
