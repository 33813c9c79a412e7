"""Tall input of the estimators: Dask arrays and DataFrames, and rows in files (`tall.Source`).

The estimators fit from the statistics of one pass over the rows (`tall.gram_stats`),
whatever holds them. In-memory input is passed over in this process by the estimators
themselves; this module serves the rest:

- a Dask array or DataFrame: the pass runs where Dask computes, on the active
  `distributed` client when there is one (as `tall.gram_stats` does). A DataFrame's
  partitions are counted first (one small task per partition, all in one computation:
  the pass needs every row's global number, since the folds and the blocks of the
  fixed summation tree depend on it), then its columns are read as float64;
- a `tall.Source` with y None: the source's target and weights. With an active
  `distributed` client (or fold ids given as an array) its rows are read by the
  workers (`Source.to_dask`), otherwise in this process, piece by piece; either way
  the statistics are the same bits as those of the same rows in memory.

Nothing here imports Dask unless the input is a Dask object (or a Source read on a
cluster), and nothing imports scikit-learn.
"""

from __future__ import annotations

import importlib
import math
import numbers
import re
import sys
from collections.abc import Iterator
from typing import Any

import numpy as np

from ..tall import FoldedStats, GramStats, Source, gram_stats
from ..tall._dask import _default_client

__all__ = ["MAX_FEATURES", "MAX_STATISTICS_BYTES", "check_statistics_size", "is_tall", "tall_hc_meat",
           "tall_predict", "tall_score", "tall_statistics"]

# The statistics hold p-by-p matrices of float64: past 1 GiB for one of them the data
# are not tall, and the solvers' k-by-k work (a Cholesky factor is p^3 / 3 operations)
# would dwarf the pass.
MAX_STATISTICS_BYTES = 1 << 30
MAX_FEATURES = math.isqrt(MAX_STATISTICS_BYTES // 8)  # 11,585


def check_statistics_size(p: int) -> None:
    """Refuse p columns whose p-by-p statistics would pass MAX_STATISTICS_BYTES.

    Raises
    ------
    ValueError
        Naming p, the size of the matrix and the limit.
    """
    size = 8 * p * p
    if size > MAX_STATISTICS_BYTES:
        raise ValueError(
            f"X has {p:,} columns: its statistics (a {p:,} x {p:,} matrix of float64, "
            f"{size / (1 << 30):.2f} GiB) pass the limit of 1 GiB; these estimators are for "
            f"tall data, at most {MAX_FEATURES:,} columns")


# ---------------------------------------------------------------------------
# Kinds of input. Dask's modules are looked up, never imported: an object can only be
# a Dask collection if Dask is already loaded.
# ---------------------------------------------------------------------------
def _module(name: str) -> Any:
    """A Dask module, imported when tall input needs it (untyped to the checkers)."""
    return importlib.import_module(name)


def _is_dask_array(a: object) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(a, da.Array)


def _is_dask_frame(a: object) -> bool:
    """A Dask DataFrame or Series."""
    dd = sys.modules.get("dask.dataframe")
    return dd is not None and isinstance(a, (dd.DataFrame, dd.Series))


def _is_dask(a: object) -> bool:
    return _is_dask_array(a) or _is_dask_frame(a)


def is_tall(X: object) -> bool:
    """Whether X is tall input: a Dask array, DataFrame or Series, or a `tall.Source`."""
    return isinstance(X, Source) or _is_dask(X)


# ---------------------------------------------------------------------------
# Dask input as Dask arrays of known row chunks.
# ---------------------------------------------------------------------------
def _feature_names(labels: Any) -> np.ndarray | None:
    """Column labels as scikit-learn takes them: an object array when all are strings,
    None when none is; mixed labels are refused, as scikit-learn refuses them."""
    labels = list(labels)
    kinds = {type(c).__name__ for c in labels}
    if all(isinstance(c, str) for c in labels):
        return np.asarray(labels, dtype=object)
    if any(isinstance(c, str) for c in labels):
        raise TypeError(f"feature names are only supported when every column name is a string; "
                        f"X's column names are of types {sorted(kinds)}: convert them with "
                        "X.columns = X.columns.astype(str)")
    return None


def _check_numeric_frame(frame: Any, name: str) -> None:
    """A Dask DataFrame's (or Series') columns hold numbers (booleans as 0 and 1)."""
    dtypes = frame.dtypes if frame.ndim == 2 else {frame.name: frame.dtype}
    for column, dtype in dict(dtypes).items():
        if getattr(dtype, "kind", "O") not in "biuf":
            what = f"column {column!r} of {name}" if frame.ndim == 2 else name
            raise TypeError(f"{what} must hold real numbers, not {dtype}")


def _row_count(block: Any) -> int:
    return len(block)


def _partition_lengths(frames: list[Any]) -> list[tuple[int, ...]]:
    """The rows of each partition of each frame, counted in one computation (frames
    derived from one another share their reading tasks)."""
    dask = _module("dask")
    counts = [[dask.delayed(_row_count, pure=True)(part) for part in f.to_delayed()] for f in frames]
    flat = dask.compute(*[c for per_frame in counts for c in per_frame])
    out, at = [], 0
    for per_frame in counts:
        out.append(tuple(int(n) for n in flat[at:at + len(per_frame)]))
        at += len(per_frame)
    return out


def _to_arrays(named: dict[str, Any]) -> dict[str, Any]:
    """{name: value} with Dask DataFrames and Series replaced by float64 Dask arrays of
    known row chunks (their partitions counted together), other values unchanged."""
    frames = {name: a for name, a in named.items() if _is_dask_frame(a)}
    if not frames:
        return named
    for name, frame in frames.items():
        _check_numeric_frame(frame, name)
    lengths = _partition_lengths(list(frames.values()))
    out = dict(named)
    for (name, frame), rows in zip(frames.items(), lengths, strict=True):
        out[name] = frame.astype(np.float64).to_dask_array(lengths=list(rows))
    return out


def _align(named: dict[str, Any]) -> dict[str, Any]:
    """Dask arrays aligned with X given in other row chunks are rechunked to X's
    (gram_stats needs them alike); lengths that differ are left to its checks."""
    X = named["X"]
    if not _is_dask_array(X) or any(math.isnan(r) for r in X.shape):
        return named
    out = dict(named)
    for name, a in named.items():
        if (name != "X" and _is_dask_array(a) and a.ndim >= 1 and a.shape[0] == X.shape[0]
                and a.chunks[0] != X.chunks[0]):
            out[name] = a.rechunk({0: X.chunks[0]})
    return out


def _dask_inputs(X: Any, y: Any, sample_weight: Any, folds: Any = None) -> dict[str, Any]:
    """{'X', 'y', 'weights', 'folds'} as Dask or numpy arrays for gram_stats, with
    feature names in 'names' (None without them) and p checked."""
    if _is_dask_frame(X) and X.ndim == 1:
        raise ValueError("X is a Dask Series: X must be 2-D (a DataFrame, or "
                         "series.to_frame() for one column)")
    if y is None:
        raise TypeError("y is None: only a tall.Source carries its target; give y for Dask input")
    if _is_dask_frame(y) and y.ndim == 2:
        raise ValueError("y must be 1-D: a Dask Series or array, not a DataFrame")
    names = _feature_names(X.columns) if _is_dask_frame(X) else None
    if X.ndim != 2:
        raise ValueError(f"X must be 2-D, got {X.ndim}-D")
    check_statistics_size(X.shape[1])
    if _is_dask_array(X) and math.isnan(X.shape[0]):
        raise ValueError("X has unknown chunk sizes: call X.compute_chunk_sizes() first")
    if X.shape[1] == 0:
        raise ValueError("X has no columns: at least one is required")
    named = {"X": X, "y": y, "weights": sample_weight, "folds": folds}
    named = _align(_to_arrays({k: v for k, v in named.items() if v is not None}))
    if _is_dask_array(named["X"]) and len(named["X"].chunks[1]) > 1:
        named["X"] = named["X"].rechunk({1: -1})
    named["names"] = names
    return named


# ---------------------------------------------------------------------------
# Folds.
# ---------------------------------------------------------------------------
def _fold_argument(folds: Any) -> Any:
    """folds=K (an int >= 2, checked by gram_stats), or fold ids aligned with the rows
    (numpy, Dask, or anything np.asarray takes). Splitters are refused: their test
    sets are row indices of an array held in memory."""
    if folds is None or (isinstance(folds, numbers.Integral) and not isinstance(folds, bool)):
        return folds
    if hasattr(folds, "split") and not _is_dask(folds):
        raise TypeError(
            f"cv={type(folds).__name__}(...): a scikit-learn splitter chooses rows of an array "
            "in memory; for Dask or tall.Source input give cv an int (the hashed folds) or an "
            "array of fold ids aligned with the rows")
    return folds


# ---------------------------------------------------------------------------
# The pass, with the messages of gram_stats in the estimators' words.
# ---------------------------------------------------------------------------
def _in_words(error: Exception, weights: str | None) -> Exception:
    """The error of gram_stats as the estimators' user sees it: the weights by the name
    the user gave them, and no word of gram_stats' check_finite."""
    message = re.sub(r";? ?check_finite=False lets them into the statistics.*$", "", str(error))
    if weights is not None:
        message = re.sub(r"\bweights\b", weights, message)
    return type(error)(message)


def _gram_stats(*args: Any, weights_name: str | None = "sample_weight", **kwargs: Any) -> Any:
    try:
        return gram_stats(*args, **kwargs)
    except (ValueError, TypeError) as error:
        raise _in_words(error, weights_name) from None


def _read_on_cluster(source: Source, folds: Any) -> bool:
    """Whether a source's rows are read by Dask tasks rather than in this process: with
    an active distributed client, or fold ids that Dask aligns with the rows."""
    return _default_client() is not None or (folds is not None and not isinstance(folds, numbers.Integral))


def _source_arrays(source: Source) -> tuple[Any, Any, Any]:
    X, y, *w = source.to_dask()
    return X, y, (w[0] if w else None)


def _check_source_call(source: Source, y: Any, sample_weight: Any) -> None:
    if y is not None:
        raise TypeError("y must be None when X is a tall.Source: the source's target column "
                        f"({source.target!r}) is y")
    if sample_weight is not None:
        raise TypeError("sample_weight must be None when X is a tall.Source: give the weights' "
                        "column to tall.source(..., weights=...)")


# Unweighted rows are passed with unit weights: the pass forms the raw sums X'X, X'y
# beside the centred co-moments only for unweighted rows without folds, and the
# estimators need the centred ones alone (or the raw sums formed from them, as weighted
# passes form them), so unit weights spare one of the two Gram matrices of every
# block: about half the pass. The estimators pass in-memory rows the same way, so that
# every kind of input gives the same bits.
def _or_unit(weights: Any, X: Any) -> Any:
    """The weights, or unit weights aligned with X (a Dask array of known row chunks)."""
    if weights is not None:
        return weights
    return _module("dask.array").ones(X.shape[0], chunks=(X.chunks[0],))


def _unit_weighted(source: Source) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    for Xb, yb in source:
        yield Xb, yb, np.ones(yb.shape[0])


def tall_statistics(X: Any, y: Any, sample_weight: Any, *, folds: Any = None,
                    seed: int = 0) -> tuple[GramStats | FoldedStats, np.ndarray | None]:
    """The statistics of tall input, and its feature names.

    Parameters
    ----------
    X : Dask array or DataFrame, or tall.Source
        The rows (a Source with y and sample_weight None: its target and weights).
    y : Dask array or Series, numpy array, or None
        The target, aligned with X's rows.
    sample_weight : Dask or numpy array, or None
        Non-negative weights aligned with the rows.
    folds : int, array of fold ids, or None
        K for the hashed folds of `tall.gram_stats`, or fold ids 0 .. K-1 aligned with
        the rows (numpy or Dask).
    seed : int
        The seed of the hashed folds.

    Returns
    -------
    stats : GramStats or FoldedStats
        The same bits as `tall.gram_stats` of the same rows in memory.
    feature_names : ndarray of str or None
        A DataFrame's column names, or a Source's when they are names.

    Raises
    ------
    ValueError, TypeError
        For more columns than MAX_FEATURES, a splitter as folds, shapes or chunks that
        do not match, non-numeric columns, and the refusals of `tall.gram_stats`
        (NaN or infinity, negative weights, ...).
    """
    folds = _fold_argument(folds)
    if isinstance(X, Source):
        _check_source_call(X, y, sample_weight)
        check_statistics_size(len(X.columns))
        names = _feature_names(X.columns) if all(isinstance(c, str) for c in X.columns) else None
        if not _read_on_cluster(X, folds):
            pieces = X if X.weights is not None else _unit_weighted(X)
            return _gram_stats(pieces, folds=folds, seed=seed, weights_name=None), names
        Xd, yd, wd = _source_arrays(X)
        named = _align(_to_arrays({"X": Xd, "y": yd, "folds": folds} if folds is not None
                                  else {"X": Xd, "y": yd}))
        stats = _gram_stats(named["X"], named["y"], weights=_or_unit(wd, named["X"]),
                            folds=named.get("folds", folds), seed=seed, weights_name=None)
        return stats, names
    named = _dask_inputs(X, y, sample_weight, folds)
    stats = _gram_stats(named["X"], named["y"], weights=_or_unit(named.get("weights"), named["X"]),
                        folds=named.get("folds"), seed=seed)
    return stats, named["names"]


# ---------------------------------------------------------------------------
# Predictions and the passes over residuals.
# ---------------------------------------------------------------------------
def _predict_block(block: np.ndarray, coef: np.ndarray, intercept: float) -> np.ndarray:
    """X_block @ coef + intercept, refused when not finite: a NaN or infinity in a
    row of X always reaches its prediction (0 * NaN is NaN), so the block's output
    shows what a check of its input would, at a p-th of the cost."""
    out: np.ndarray = np.asarray(block, dtype=np.float64) @ coef + intercept
    if not np.isfinite(out).all():
        raise ValueError("X holds NaN or infinity (or values so large that a prediction "
                         "overflows): the prediction of a row is not finite")
    return out


def _coefficients(coef: Any, intercept: float | None, p: Any) -> tuple[np.ndarray, float]:
    coef = np.asarray(coef, dtype=np.float64)
    if not math.isnan(p) and p != coef.shape[0]:
        raise ValueError(f"X has {p} features, but the model was fitted with {coef.shape[0]} features")
    return coef, 0.0 if intercept is None else float(intercept)


def _predict_array(Xd: Any, coef: np.ndarray, intercept: float, purpose: str = "predict") -> Any:
    """The predictions' Dask array. Its tasks are named by `purpose` too: a graph that
    uses them (the residuals of a pass) is optimised otherwise than the predictions
    alone, and a scheduler handed two tasks of one name with different contents
    warns, and may deadlock."""
    from dask.base import tokenize

    if len(Xd.chunks[1]) > 1:
        Xd = Xd.rechunk({1: -1})
    return Xd.map_blocks(_predict_block, coef, intercept, drop_axis=1, dtype=np.float64,
                         meta=np.empty((0,), dtype=np.float64),
                         name=f"{purpose}-{tokenize(Xd, coef, intercept)}")


def tall_predict(X: Any, coef: Any, intercept: float | None) -> Any:
    """Lazy predictions ``X @ coef + intercept`` of tall input: nothing is computed.

    Parameters
    ----------
    X : Dask array or DataFrame, or tall.Source
        The rows; a Source gives them in its row chunks (`Source.to_dask`, which
        counts the rows of each chunk first when dropna=True and the files do not
        show how many rows miss values: the one computation made here).
    coef : array of shape (n_features,)
    intercept : float or None

    Returns
    -------
    dask.array.Array
        One float64 per row, in X's row chunks (of unknown sizes for a DataFrame, whose
        partitions are not counted). A row holding NaN or infinity makes the
        computation fail with a ValueError.

    Raises
    ------
    ValueError, TypeError
        X not 2-D, not numeric, or of another width than coef.
    """
    if isinstance(X, Source):
        Xd = X.to_dask()[0]
    elif _is_dask_frame(X):
        if X.ndim == 1:
            raise ValueError("X is a Dask Series: X must be 2-D (a DataFrame, or "
                             "series.to_frame() for one column)")
        _check_numeric_frame(X, "X")
        Xd = X.astype(np.float64).to_dask_array()
    else:
        Xd = X
        if Xd.ndim != 2:
            raise ValueError(f"X must be 2-D, got {Xd.ndim}-D")
        if Xd.dtype.kind not in "biuf":
            raise TypeError(f"X must hold real numbers, not {Xd.dtype}")
    coef, b0 = _coefficients(coef, intercept, Xd.shape[1])
    return _predict_array(Xd, coef, b0)


def _residual_pieces(source: Source, coef: np.ndarray, intercept: float,
                     make: Any) -> Iterator[tuple[np.ndarray, ...]]:
    """make(X_block, y_block, w_block or None, e_block) for the source's pieces, read
    in this process."""
    for piece in source:
        Xb, yb, *wb = piece
        yield make(Xb, yb, wb[0] if wb else None, yb - _predict_block(Xb, coef, intercept))


def _residual_pass(X: Any, y: Any, sample_weight: Any, coef: Any, intercept: float | None,
                   make: Any, weights_name: str | None = "sample_weight", **kwargs: Any) -> Any:
    """gram_stats of make(X, y, w, e) (X, y, w and the residuals e = y - X coef - b, as
    Dask arrays or, for a source read here, block by block)."""
    if isinstance(X, Source):
        _check_source_call(X, y, sample_weight)
        coef, b0 = _coefficients(coef, intercept, len(X.columns))
        if not _read_on_cluster(X, None):
            pieces = _residual_pieces(X, coef, b0, make)
            return _gram_stats(pieces, None, weights_name=None, **kwargs)
        Xd, yd, wd = _source_arrays(X)
    else:
        named = _dask_inputs(X, y, sample_weight)
        Xd, yd, wd = named["X"], named["y"], named.get("weights")
        coef, b0 = _coefficients(coef, intercept, Xd.shape[1])
    da = _module("dask.array")
    if not _is_dask_array(yd):
        yd = da.from_array(np.asarray(yd, dtype=np.float64), chunks=(Xd.chunks[0],))
    if wd is not None and not _is_dask_array(wd):
        wd = da.from_array(np.asarray(wd, dtype=np.float64), chunks=(Xd.chunks[0],))
    if yd.shape[0] != Xd.shape[0]:
        raise ValueError(f"X has {Xd.shape[0]} rows but y has {yd.shape[0]}")
    e = yd.astype(np.float64) - _predict_array(Xd, coef, b0, make.__name__.strip("_"))
    Xm, ym, *wm = make(Xd, yd, wd, e)
    if isinstance(X, Source):
        weights_name = None
    return _gram_stats(Xm, ym, weights=wm[0] if wm else None, weights_name=weights_name, **kwargs)


def _score_rows(X: Any, y: Any, w: Any, e: Any) -> tuple[Any, ...]:
    # The residual as the one column of X: G = sum w e^2, and yyc = sum w (y - y_mean)^2
    # about the exact weighted mean.
    return (e[:, None], y) if w is None else (e[:, None], y, w)


def tall_score(X: Any, y: Any, sample_weight: Any, coef: Any, intercept: float | None) -> float:
    """The weighted R^2 of ``X @ coef + intercept`` on tall input, in one pass.

    ``1 - sum w (y - y_hat)^2 / sum w (y - y_w)^2``, y_w the weighted mean of y, as
    scikit-learn's `r2_score` (1.0 for a perfect fit of a constant y, 0.0 for an
    imperfect one). The denominator is the pass's centred sum, about the exact mean.

    Raises
    ------
    ValueError
        NaN or infinity in X, y or sample_weight, negative weights, shapes that differ.
    """
    stats = _residual_pass(X, y, sample_weight, coef, intercept, _score_rows, check_finite=False)
    sse, sst = float(stats.G[0, 0]), float(stats.yyc)
    if not (math.isfinite(sse) and math.isfinite(sst)):
        raise ValueError("y holds NaN or infinity (or values whose squares overflow)")
    if sst == 0.0:
        return 1.0 if sse == 0.0 else 0.0
    return 1.0 - sse / sst


def _meat_rows(X: Any, y: Any, w: Any, e: Any) -> tuple[Any, ...]:
    # The weights of the pass are (w e)^2: G = sum w^2 e^2 x x', sw and the means give
    # the intercept's row.
    v = e * e if w is None else (w * e) ** 2
    return X, y, v


def tall_hc_meat(X: Any, y: Any, sample_weight: Any, coef: Any,
                 intercept: float | None) -> np.ndarray:
    """``sum w_i^2 e_i^2 x_i x_i'`` over the rows of tall input (the middle of the
    heteroscedasticity-robust covariances HC0 and HC1), e the residuals of ``X @ coef
    + intercept``: a second pass after the fit.

    With an intercept (intercept not None), x_i is the row with a 1 in front: the
    result is (p + 1, p + 1), the intercept's row and column first, as statsmodels'
    ``add_constant``. Otherwise (p, p).

    Raises
    ------
    ValueError
        NaN or infinity in X, y or sample_weight (or residuals whose squares overflow).
    """
    try:
        stats = _residual_pass(X, y, sample_weight, coef, intercept, _meat_rows, weights_name=None)
    except ValueError as error:
        text = str(error)
        if "weights are all zero" in text:  # an exact fit: every residual is 0
            p = (len(X.columns) if isinstance(X, Source) else X.shape[1]) + (intercept is not None)
            return np.zeros((p, p))
        if "weights must be finite" in text:
            raise ValueError("the squared weighted residuals are not finite: NaN or infinity "
                             "in y or sample_weight, or residuals whose squares overflow") from None
        raise
    if intercept is None:
        return np.array(stats.G)
    k = stats.G.shape[0]
    meat = np.empty((k + 1, k + 1))
    meat[0, 0] = stats.sw
    # sum v x = sw mu, mu the exact weighted means (the x_mean rounded, and what the
    # rounding left), as the pass forms G = Gc + sw mu mu'.
    meat[0, 1:] = meat[1:, 0] = stats.sw * stats.x_mean + stats.resid[:k]
    meat[1:, 1:] = stats.G
    return meat
