"""The estimators' common base: the statistics first, then a solve on them alone.

`fit` obtains the sufficient statistics of the rows (`tall.gram_stats`: in this
process for in-memory input, on the cluster for tall input) and hands them to the
estimator's `_solve`, which sees nothing else; so every kind of input with the same
rows gives the same coefficients. Prediction and scoring read the rows again.
"""

from __future__ import annotations

import importlib
import warnings
from types import ModuleType
from typing import Any, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from .. import tall
from ..tall import FoldedStats, GramStats

__all__ = ["LinearModel"]

Stats = GramStats | FoldedStats
Rows = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]

_data: ModuleType | None
try:  # the tall input kinds (Dask collections, tall.Source) and their passes
    _data = importlib.import_module(f"{__package__}._data")
except ModuleNotFoundError as exc:  # pragma: no cover - only while the tall inputs are absent
    if exc.name != f"{__package__}._data":
        raise
    _data = None


def is_tall(X: object) -> bool:
    """Whether X is tall input (a Dask array or DataFrame, or a tall.Source)."""
    return _data is not None and bool(_data.is_tall(X))


def check_size(p: int) -> None:
    """Refuse statistics too large to hold (the limit of every input kind)."""
    if _data is not None:
        _data.check_statistics_size(p)


def check_status(estimator: object, status: int, what: str) -> None:
    """ConvergenceWarning when a solver stopped short (status -2), ValueError when a
    factorisation failed (status -1): a failed fit is never returned as a fit."""
    if status == -2:
        warnings.warn(f"{type(estimator).__name__}: {what} stopped at max_iter before it "
                      "converged; increase max_iter, or tol", ConvergenceWarning, stacklevel=3)
    elif status == -1:
        raise ValueError(f"{type(estimator).__name__}: {what} failed, its matrix is not "
                         "positive definite (collinear columns and no penalty to resolve them)")


class LinearModel(RegressorMixin, BaseEstimator):
    """A linear model y = X coef_ + intercept_ fitted from the sufficient statistics.

    Subclasses implement `_solve(stats)`, setting `coef_`, `intercept_` and `status_`
    from the statistics alone; `_folds(X, y, groups)` returns what `gram_stats` takes
    as `folds` (None: no folds).
    """

    fit_intercept: bool

    def _folds(self, X: Any, y: Any, groups: Any) -> Any:
        return None

    def _seed(self) -> int:
        return 0

    def _statistics(self, X: Any, y: Any, sample_weight: Any, groups: Any = None) -> tuple[Stats, Rows | None]:
        """The statistics of the rows (per fold when the estimator asks for folds),
        after checking the data as scikit-learn does, and for in-memory input the
        checked rows (X, y, weights or None); sets n_features_in_ (and
        feature_names_in_ for named columns)."""
        if is_tall(X):
            assert _data is not None
            folds = self._folds(X, y, groups)
            stats, names = _data.tall_statistics(X, y, sample_weight, folds=folds, seed=self._seed())
            total = stats.total if isinstance(stats, FoldedStats) else stats
            self.n_features_in_ = int(np.shape(total.c)[0])
            if names is not None:
                self.feature_names_in_ = np.asarray(names, dtype=object)
            elif hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
            return stats, None
        # NaN and infinity in X are counted by the pass, which names their columns.
        X, y = validate_data(self, X, y, dtype=np.float64, y_numeric=True, multi_output=False,
                             ensure_all_finite=False, ensure_min_samples=2)
        if not np.isfinite(y).all():
            raise ValueError("Input y contains NaN or infinity.")
        check_size(X.shape[1])
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64,
                                           ensure_non_negative=True)
            if not np.any(weights > 0):
                raise ValueError("sample_weight: every weight is zero")
        folds = self._folds(X, y, groups)
        try:
            stats = tall.gram_stats(X, y, weights=weights, folds=folds, seed=self._seed())
        except ValueError as exc:
            if "NaN or infinity in" in str(exc):
                raise ValueError(f"Input X contains NaN or infinity: {exc}") from None
            raise
        return stats, (X, y, weights)

    def fit(self, X: ArrayLike, y: ArrayLike | None = None,
            sample_weight: ArrayLike | None = None) -> Self:
        """Fit the model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows. Non-finite values are refused.
        y : array-like of shape (n_samples,), or None for a tall.Source
            The target.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative finite weights, not all zero (None: all 1).

        Returns
        -------
        self : object
            The fitted estimator.

        Raises
        ------
        ValueError
            Data with NaN or infinity, negative weights, inconsistent lengths, or a
            failed solve.
        """
        self._validate_params()
        stats, rows = self._statistics(X, y, sample_weight)
        self._solve(stats)
        self._after_fit(rows, X, y, sample_weight)
        return self

    def _solve(self, stats: Any) -> None:
        raise NotImplementedError

    def _after_fit(self, rows: Rows | None, X: Any, y: Any, sample_weight: Any) -> None:
        """A second look at the rows, for the statistics that need one (HC covariances):
        `rows` the checked in-memory rows, None for tall input (then X, y, sample_weight
        as given)."""

    def _check_predict_input(self, X: Any) -> NDArray[np.float64]:
        check_is_fitted(self)
        return validate_data(self, X, dtype=np.float64, reset=False,  # type: ignore[no-any-return]
                             ensure_all_finite=False)

    def predict(self, X: ArrayLike) -> Any:
        """Predict the target of the rows X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows, with the columns of the fit.

        Returns
        -------
        y_pred : ndarray of shape (n_samples,), or a lazy Dask array for tall input
            X coef_ + intercept_.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            Before fit.
        ValueError
            A different number of columns than at fit, or NaN or infinity in X.
        """
        if is_tall(X):
            check_is_fitted(self)
            assert _data is not None
            return _data.tall_predict(X, self.coef_, self.intercept_)
        X = self._check_predict_input(X)
        with np.errstate(all="ignore"):
            pred = X @ self.coef_ + self.intercept_
        # A NaN or infinity in X shows in its rows' predictions (0 * inf is NaN), so
        # only then is X searched, and refused when it holds one.
        if not np.isfinite(pred).all() and not np.isfinite(X).all():
            raise ValueError("Input X contains NaN or infinity.")
        return pred

    def score(self, X: ArrayLike, y: ArrayLike | None = None,
              sample_weight: ArrayLike | None = None) -> float:
        """The coefficient of determination R^2 of the predictions (weighted by sample_weight).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows (tall input is scored in one pass).
        y : array-like of shape (n_samples,), or None for a tall.Source
            The true target.
        sample_weight : array-like of shape (n_samples,), optional
            Weights.

        Returns
        -------
        score : float
            1 - sum w (y - y_pred)^2 / sum w (y - mean_w(y))^2.
        """
        if is_tall(X):
            check_is_fitted(self)
            assert _data is not None
            return float(_data.tall_score(X, y, sample_weight, self.coef_, self.intercept_))
        return float(super().score(X, y, sample_weight))

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        return tags
