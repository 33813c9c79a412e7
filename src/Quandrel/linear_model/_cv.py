"""Cross-validated lasso and elastic net: every fold's statistics from one pass, then
each fold's path fitted and scored on the statistics alone (`tall.cross_validate`)."""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from numbers import Integral, Real
from typing import Any, ClassVar, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils._param_validation import Interval

from .. import tall
from ..tall import FoldedStats
from ._base import is_tall
from ._coordinate import _PenalisedModel, enet_solve, problem

__all__ = ["ElasticNetCV", "LassoCV", "fold_ids_of"]


def fold_ids_of(cv: Any, X: Any, y: Any, groups: Any) -> Any:
    """What gram_stats takes as folds: K for an int (None: 5), the ids of an array, or
    the ids of a splitter's test sets (or of an iterable of (train, test) index
    pairs), which must partition the rows (each row in
    exactly one test set, and each training set the rows outside its test set)."""
    if cv is None:
        return 5
    if isinstance(cv, Integral) and not isinstance(cv, bool):
        if cv < 2:
            raise ValueError(f"cv must be at least 2 folds, got {cv}")
        return int(cv)
    if is_tall(X):  # fold ids are checked by the pass, which reads them beside the rows
        if hasattr(cv, "split") or not (hasattr(cv, "shape") or isinstance(cv, Sequence)):
            raise TypeError(f"cv: tall input takes an int or an array of fold ids aligned with "
                            f"the rows, not {type(cv).__name__}")
        return cv
    if hasattr(cv, "split"):
        return _partition(cv.split(X, y, groups), np.shape(X)[0], type(cv).__name__)
    if not isinstance(cv, np.ndarray):
        cv = list(cv)
        if cv and not np.isscalar(cv[0]):  # an iterable of (train, test) index pairs
            return _partition(cv, np.shape(X)[0], "the splits")
    ids = np.asarray(cv)
    if ids.ndim != 1 or ids.shape[0] != np.shape(X)[0]:
        raise ValueError(f"cv must be an int, a splitter or an array of fold ids aligned with the "
                         f"rows ({np.shape(X)[0]}), got {type(cv).__name__} of shape {ids.shape}")
    return ids


def _partition(splits: Any, n: int, name: str) -> NDArray[np.int64]:
    """Fold ids from (train, test) index pairs whose test sets partition the n rows."""
    ids = np.full(n, -1, dtype=np.int64)
    for f, (train, test) in enumerate(splits):
        test = np.asarray(test)
        if np.any(ids[test] != -1) or np.unique(test).size != test.size:
            raise ValueError(f"cv: the test sets of {name} overlap (split {f}): "
                             "the folds must partition the rows")
        ids[test] = f
        outside = np.ones(n, dtype=bool)
        outside[test] = False
        inside = np.zeros(n, dtype=bool)
        inside[np.asarray(train)] = True
        if not np.array_equal(inside, outside):
            raise ValueError(f"cv: split {f} of {name} does not train on every row "
                             "outside its test set: the folds must partition the rows")
    missing = np.flatnonzero(ids < 0)
    if missing.size:
        raise ValueError(f"cv: {missing.size} rows are in no test set of {name} "
                         f"(first: row {missing[0]}): the folds must partition the rows")
    return ids


class _PathCV(_PenalisedModel):
    """The cross-validation of the lasso (l1_ratio 1) or elastic-net path."""

    l1_ratio: Any
    alphas: Any
    cv: Any
    eps: float
    standardize: bool
    random_state: int
    max_iter: int
    tol: float
    _squeeze: bool

    def __init__(self, alphas: int | ArrayLike, cv: Any, eps: float, fit_intercept: bool,
                 standardize: bool, random_state: int, max_iter: int, tol: float) -> None:
        self.alphas = alphas
        self.cv = cv
        self.eps = eps
        self.fit_intercept = fit_intercept
        self.standardize = standardize
        self.random_state = random_state
        self.max_iter = max_iter
        self.tol = tol

    def _folds(self, X: Any, y: Any, groups: Any) -> Any:
        return fold_ids_of(self.cv, X, y, groups)

    def _seed(self) -> int:
        return int(self.random_state)

    def fit(self, X: ArrayLike, y: ArrayLike | None = None,
            sample_weight: ArrayLike | None = None, groups: ArrayLike | None = None) -> Self:
        """Fit the path on every fold, choose alpha (and l1_ratio), refit on all rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows.
        y : array-like of shape (n_samples,), or None for a tall.Source
            The target.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative finite weights (None: all 1).
        groups : array-like of shape (n_samples,), optional
            Group labels for a splitter that takes them (GroupKFold).

        Returns
        -------
        self : object
            The fitted estimator.

        Raises
        ------
        ValueError
            Bad data or weights, or a splitter whose test sets do not partition the rows.
        """
        self._validate_params()
        stats, _ = self._statistics(X, y, sample_weight, groups)
        self._solve(stats)
        return self

    def _solve(self, folded: Any) -> None:
        assert isinstance(folded, FoldedStats)
        total = folded.total
        pr = problem(total, self.fit_intercept, self.standardize)
        # Along the paths, coordinate descent stops on the coefficients' changes: at
        # tol / 100 of the target's spread, well inside the duality-gap rule of the refit.
        step = 1e-2 * float(self.tol) * float(np.sqrt(max(pr.yy, 0.0))) or 1e-300
        alphas = None if isinstance(self.alphas, Integral) else self.alphas
        n_alphas = int(self.alphas) if isinstance(self.alphas, Integral) else 100
        result = tall.cross_validate(folded, alphas, self.l1_ratio, fit_intercept=self.fit_intercept,
                                     standardize=self.standardize, n_alphas=n_alphas, eps=self.eps,
                                     tol=step, max_iter=self.max_iter)
        if np.any(result.status == -2):
            warnings.warn(f"{type(self).__name__}: coordinate descent stopped at max_iter on "
                          "some folds' paths before it converged; increase max_iter or tol",
                          ConvergenceWarning, stacklevel=3)
        # The penalty with the least plain mean over the folds (scikit-learn's choice).
        plain = result.mse.mean(axis=-1)
        row, index = divmod(int(np.nanargmin(plain)), plain.shape[1])
        l1 = float(result.l1_ratios[row])
        self.alpha_ = float(result.alphas[row, index])
        self.l1_ratio_ = l1
        # glmnet's one-standard-error rule on that l1_ratio, with its weighted mean.
        mean, se = result.cv_mean[row], result.cv_se[row]
        best = int(np.nanargmin(mean))
        self.alpha_1se_ = float(result.alphas[row, int(np.flatnonzero(mean <= mean[best] + se[best])[0])])
        squeeze = self._squeeze and result.l1_ratios.shape[0] == 1
        self.alphas_ = result.alphas[0] if squeeze else result.alphas
        self.mse_path_ = result.mse[0] if squeeze else result.mse
        self.cv_mean_ = result.cv_mean[0] if squeeze else result.cv_mean
        self.cv_se_ = result.cv_se[0] if squeeze else result.cv_se
        b, self.dual_gap_, status = enet_solve(pr, self.alpha_ * l1, self.alpha_ * (1.0 - l1),
                                               int(self.max_iter), float(self.tol))
        self._set(total, pr, b, status, "coordinate descent")


_CV_CONSTRAINTS: dict[str, list[Any]] = {
    "alphas": [Interval(Integral, 1, None, closed="left"), "array-like"],
    "cv": [Interval(Integral, 2, None, closed="left"), "array-like", "cv_object"],
    "eps": [Interval(Real, 0, 1, closed="neither")],
    "fit_intercept": ["boolean"],
    "standardize": ["boolean"],
    "random_state": [Interval(Integral, 0, None, closed="left")],
    "max_iter": [Interval(Integral, 1, None, closed="left")],
    "tol": [Interval(Real, 0, None, closed="left")],
}

_CV_DOC = """
    Parameters
    ----------{l1}
    alphas : int or array-like of shape (n_alphas,), default=100
        The penalties (sorted decreasing), or their number: log-spaced from
        alpha_max, the smallest penalty with every coefficient 0, down to
        eps * alpha_max (one grid per l1_ratio, from all the rows).
    cv : int, array-like of shape (n_samples,) or a scikit-learn splitter, default=5
        An int K: this project's hashed folds, row i in fold ``tall.fold_ids(i, i + 1,
        K, random_state)``, independent of the row order and of the input kind (unlike
        scikit-learn's int, a contiguous KFold); an array of fold ids 0..K-1 (glmnet's
        foldid); or a splitter whose test sets partition the rows (KFold, GroupKFold,
        StratifiedKFold; with ``cv=KFold(5)`` alpha_ and mse_path_ are scikit-learn's).
        A splitter whose test sets do not partition the rows is refused.
    eps : float, default=1e-3
        The grid's length, alpha_min / alpha_max.
    fit_intercept : bool, default=True
        Whether to fit an (unpenalised) intercept.
    standardize : bool, default=False
        Penalise the coefficients of the columns scaled to unit weighted variance
        (glmnet's standardize; coefficients are returned on the columns' scale).
    random_state : int, default=0
        The seed of the hashed folds of an int cv.
    max_iter : int, default=1000
        Most coordinate-descent sweeps per penalty.
    tol : float, default=1e-4
        The duality-gap tolerance of the final fit (as {base}); along the folds'
        paths, sweeps stop when no coefficient changes by more than tol / 100 of the
        target's standard deviation.

    Attributes
    ----------
    alpha_ : float
        The penalty with the least mean error over the folds (the plain mean, as
        scikit-learn chooses).{l1_attr}
    alphas_ : ndarray of shape {grid}
        The grid.
    mse_path_ : ndarray of shape {grid_folds}
        Each fold's weighted mean squared error of the model fitted on the other folds.
    cv_mean_, cv_se_ : ndarray of shape {grid}
        The folds' errors averaged with the folds' weight sums, and their standard
        error (glmnet's cvm and cvsd).
    alpha_1se_ : float
        glmnet's lambda.1se: the largest penalty whose cv_mean_ is at most cv_mean_ +
        cv_se_ at its minimum (on the row of l1_ratio_).
    coef_ : ndarray of shape (n_features,)
        The fit on all rows at alpha_.
    intercept_ : float
    dual_gap_ : float
    status_ : int
        0, or -2 when max_iter stopped the final fit (with a ConvergenceWarning).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
"""


class LassoCV(_PathCV):
    """The lasso with its penalty chosen by K-fold cross-validation, all folds from one pass.

    The objective is Lasso's; each fold's path is fitted on the other folds'
    statistics and scored on the fold's own, with no second pass over the rows.
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = _CV_CONSTRAINTS
    _squeeze = True
    l1_ratio = 1.0

    def __init__(self, alphas: int | ArrayLike = 100, cv: Any = 5, eps: float = 1e-3,
                 fit_intercept: bool = True, standardize: bool = False, random_state: int = 0,
                 max_iter: int = 1000, tol: float = 1e-4) -> None:
        super().__init__(alphas, cv, eps, fit_intercept, standardize, random_state, max_iter, tol)


class ElasticNetCV(_PathCV):
    """The elastic net with penalty and l1_ratio chosen by K-fold cross-validation.

    The objective is ElasticNet's; all folds come from one pass.
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        **_CV_CONSTRAINTS, "l1_ratio": [Interval(Real, 0, 1, closed="both"), "array-like"]}
    _squeeze = True

    def __init__(self, l1_ratio: float | ArrayLike = 0.5, alphas: int | ArrayLike = 100, cv: Any = 5,
                 eps: float = 1e-3, fit_intercept: bool = True, standardize: bool = False,
                 random_state: int = 0, max_iter: int = 1000, tol: float = 1e-4) -> None:
        self.l1_ratio = l1_ratio
        super().__init__(alphas, cv, eps, fit_intercept, standardize, random_state, max_iter, tol)


LassoCV.__doc__ = (LassoCV.__doc__ or "") + _CV_DOC.format(
    l1="", l1_attr="", base="Lasso", grid="(n_alphas,)", grid_folds="(n_alphas, n_folds)") + '''
    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import LassoCV
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((200, 5))
    >>> y = X @ [2.0, 0.0, -1.0, 0.0, 0.0] + rng.standard_normal(200)
    >>> model = LassoCV(cv=5).fit(X, y)
    >>> model.mse_path_.shape, model.coef_.round(1)
    ((100, 5), array([ 2.1, -0.1, -1. ,  0. ,  0.1]))
'''
ElasticNetCV.__doc__ = (ElasticNetCV.__doc__ or "") + _CV_DOC.format(
    l1='''
    l1_ratio : float or array-like of shape (n_l1_ratio,), default=0.5
        The share of the L1 term, in [0, 1]; a list is searched too.''',
    l1_attr='''
    l1_ratio_ : float
        The l1_ratio with the least mean error.''',
    base="ElasticNet", grid="(n_alphas,), or (n_l1_ratio, n_alphas) for several l1_ratios",
    grid_folds="(n_alphas, n_folds), or (n_l1_ratio, n_alphas, n_folds)") + '''
    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import ElasticNetCV
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((200, 5))
    >>> y = X @ [2.0, 0.0, -1.0, 0.0, 0.0] + rng.standard_normal(200)
    >>> model = ElasticNetCV(l1_ratio=[0.5, 1.0], cv=5).fit(X, y)
    >>> model.mse_path_.shape, model.l1_ratio_
    ((2, 100, 5), 0.5)
'''
