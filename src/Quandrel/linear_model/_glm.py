"""Binary logistic and Poisson regression, fitted by `tall.glm_path` (proximal Newton
steps, each one scan over the rows) with scikit-learn's objectives and penalty scales.

scikit-learn writes the logistic objective as ``C sum w loss + penalty(b)``; the path
minimises ``(1 / sw) sum w loss + alpha penalty(b)`` with sw the weights' sum, so one
C is the penalty ``alpha = 1 / (C sw)`` (C = inf: alpha 0). PoissonRegressor's
objective ``1 / (2 sw) sum w deviance + alpha |b|^2 / 2`` is the path's at l1_ratio 0
and the same alpha.
"""

from __future__ import annotations

import math
import warnings
from numbers import Integral, Real
from typing import Any, ClassVar, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.exceptions import ConvergenceWarning
from sklearn.metrics import accuracy_score, check_scoring, d2_tweedie_score
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.class_weight import compute_class_weight
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from .. import tall
from ._base import _data, check_size, is_tall
from ._cv import fold_ids_of

__all__ = ["LogisticRegression", "LogisticRegressionCV", "PoissonRegressor"]

# Newton steps end when the penalised objective changes by less than tol times this
# factor times the null deviance: the default tol 1e-4 stops at glm_path's own 1e-10.
TOL_SCALE = 1e-6

_PENALTIES = {"l2": 0.0, "l1": 1.0}

# glm_path's status of a fit whose coefficients run off to infinity
SEPARATION = -1

_IGNORED: dict[str, list[Any]] = {
    "solver": [StrOptions({"lbfgs", "liblinear", "newton-cg", "newton-cholesky", "sag", "saga"})],
    "intercept_scaling": [Interval(Real, 0, None, closed="neither")],
    "random_state": ["random_state"],
    "verbose": ["verbose"],
    "n_jobs": [None, Integral],
}


def _expit(eta: Any) -> Any:
    with np.errstate(over="ignore"):
        return 1.0 / (1.0 + np.exp(-eta))


def _glm_fit(model: Any, X: Any, y: Any, family: str, weights: Any, alphas: list[float],
             l1_ratio: float, folds: Any = None, **cv: Any) -> Any:
    """glm_path at the penalties given, its separation warning turned into scikit-learn's
    ConvergenceWarning (with any status other than 0)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        path = tall.glm_path(X, y, family, alphas=alphas, l1_ratio=l1_ratio, weights=weights,
                             fit_intercept=bool(model.fit_intercept),
                             tol=float(model.tol) * TOL_SCALE, max_iter=int(model.max_iter),
                             folds=folds, **cv)
    status = path.fit.status if isinstance(path, tall.GlmCrossValidation) else path.status
    separated = any("separation" in str(w.message) for w in caught)
    for w in caught:
        if "separation" not in str(w.message):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    if separated or np.any(status != 0):
        what = ("the classes are separated: the coefficients run off to infinity (raise the "
                "penalty: a smaller C)") if separated or np.any(status == -1) else (
                "the Newton steps stopped at max_iter before they converged; increase max_iter, or tol")
        warnings.warn(f"{type(model).__name__}: {what}", ConvergenceWarning, stacklevel=3)
    return path


def _tall_rows(model: Any, X: Any, y: Any, sample_weight: Any) -> tuple[Any, Any, Any]:
    """Dask input as (X, y, weights) Dask arrays, or a tall.Source as (source, None,
    None), read by glm_path itself; sets n_features_in_ and feature_names_in_."""
    assert _data is not None
    if isinstance(X, tall.Source):
        _data._check_source_call(X, y, sample_weight)
        Xf, yf, w, names = X, None, None, _data._feature_names(X.columns)
        k = len(X.columns)
    else:
        named = _data._dask_inputs(X, y, sample_weight)
        Xf, yf, w, names = named["X"], named["y"], named.get("weights"), named["names"]
        k = int(Xf.shape[1])
    if names is not None:
        model.feature_names_in_ = names
    elif hasattr(model, "feature_names_in_"):
        del model.feature_names_in_
    model.n_features_in_ = k
    return Xf, yf, w


def _source_labels(source: Any) -> tuple[NDArray[Any], float]:
    """The sorted labels of a source's target (three at most: a third is refused
    anyway) and its weights' sum, in one read of the rows."""
    labels: NDArray[Any] = np.empty(0)
    sw = 0.0
    for piece in source:
        yb = np.asarray(piece[1])
        labels = np.unique(np.concatenate([labels, np.unique(yb)])) if labels.size else np.unique(yb)
        sw += float(np.sum(piece[2])) if len(piece) > 2 else float(yb.shape[0])
        if labels.size > 2:
            break
    return labels, sw


def _scored(X: Any, y: Any, sample_weight: Any, predict: Any) -> tuple[Any, Any, Any]:
    """(y, the predictions, the weights) in memory: Dask input computed in one pass; a
    Source, which holds its own target, is refused."""
    if isinstance(X, tall.Source):
        raise TypeError("score takes in-memory or Dask rows, not a tall.Source: "
                        "use Source.to_dask()")
    if is_tall(X):
        import dask

        done = dask.compute(y, predict(X), sample_weight)
        return np.asarray(done[0]), np.asarray(done[1]), (None if done[2] is None else np.asarray(done[2]))
    return y, predict(X), sample_weight


class _Binary(ClassifierMixin, BaseEstimator):
    """The data checks, the fit's input and the predictions of the binary classifiers."""

    fit_intercept: bool
    tol: float
    max_iter: int
    class_weight: Any
    dual: bool
    coef_: NDArray[np.float64]
    intercept_: NDArray[np.float64]
    classes_: NDArray[Any]

    def _rows(self, X: Any, y: Any, sample_weight: Any) -> tuple[Any, Any, Any]:
        """(X, y as 0/1 codes of classes_, the weights with the class weights, or None);
        sets classes_, n_features_in_ and feature_names_in_."""
        if self.dual:
            raise ValueError("dual=True is the liblinear solver's dual formulation: this estimator "
                             "solves the primal only (dual=False)")
        if is_tall(X):
            if self.class_weight is not None:
                raise TypeError("class_weight: tall input takes sample_weight (or a Source's "
                                "weights), not class_weight")
            Xf, yf, w = _tall_rows(self, X, y, sample_weight)
            if yf is None:
                self.classes_, self._tall_sw = _source_labels(Xf)
            else:
                import dask.array as da

                self.classes_ = np.asarray(da.unique(yf).compute())
            self._check_classes()
            return Xf, yf, w
        X, y = validate_data(self, X, y, dtype=np.float64, ensure_min_samples=2)
        check_classification_targets(y)
        self.classes_ = np.unique(y)
        self._check_classes()
        check_size(X.shape[1])
        w = None
        if sample_weight is not None:
            w = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
        if self.class_weight is not None:
            # 'balanced' counts the classes by the sample weights, as scikit-learn 1.9 does
            cw = compute_class_weight(self.class_weight, classes=self.classes_, y=y, sample_weight=w)
            cw = cw[np.searchsorted(self.classes_, y)]
            w = cw if w is None else w * cw
        if w is not None and not np.any(w > 0):
            raise ValueError("sample_weight: every weight is zero")
        return X, (y == self.classes_[1]).astype(np.float64), w

    def _check_classes(self) -> None:
        if self.classes_.shape[0] < 2:
            raise ValueError(f"{type(self).__name__} needs samples of at least 2 classes in the "
                             f"data, but the data contain only one class: {self.classes_[0]!r}")
        if self.classes_.shape[0] > 2:
            raise ValueError(f"Only binary classification is supported. {type(self).__name__} is "
                             f"binary only: y holds {self.classes_.shape[0]} classes; wrap it in "
                             "scikit-learn's OneVsRestClassifier for more")

    def _sw(self, y: Any, w: Any) -> float:
        if y is None:  # a Source: the sum of its first read
            y, w = np.empty(0), np.asarray(self._tall_sw)
        sw = float(y.shape[0]) if w is None else float(w.sum().compute() if hasattr(w, "compute") else np.sum(w))
        if not sw > 0.0:
            raise ValueError("sample_weight: every weight is zero")
        return sw

    def _set(self, coef: NDArray[np.float64], b0: float) -> None:
        self.coef_ = np.asarray(coef, dtype=np.float64).reshape(1, -1)
        self.intercept_ = np.array([b0 if self.fit_intercept else 0.0])

    def decision_function(self, X: ArrayLike) -> Any:
        """The linear predictor: the log-odds of classes_[1].

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows.

        Returns
        -------
        scores : ndarray of shape (n_samples,), or a lazy Dask array for Dask input
            X coef_ + intercept_.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            Before fit.
        ValueError
            Another number of columns than at fit, or NaN or infinity in X.
        """
        check_is_fitted(self)
        if is_tall(X):
            assert _data is not None
            return _data.tall_predict(X, self.coef_[0], float(self.intercept_[0]))
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return X @ self.coef_[0] + self.intercept_[0]

    def predict_proba(self, X: ArrayLike) -> Any:
        """The probabilities of classes_[0] and classes_[1].

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows.

        Returns
        -------
        proba : ndarray of shape (n_samples, 2), or a lazy Dask array for Dask input
            1 - p and p, p = 1 / (1 + exp(-decision_function(X))).
        """
        eta = self.decision_function(X)
        if is_tall(X):
            return eta.map_blocks(lambda e: np.stack([1.0 - _expit(e), _expit(e)], axis=1),
                                  new_axis=1, dtype=np.float64, chunks=(eta.chunks[0], (2,)))
        p = _expit(eta)
        return np.stack([1.0 - p, p], axis=1)

    def predict_log_proba(self, X: ArrayLike) -> Any:
        """The logarithms of predict_proba(X).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows.

        Returns
        -------
        log_proba : ndarray of shape (n_samples, 2)
        """
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))

    def predict(self, X: ArrayLike) -> Any:
        """The class of each row: classes_[1] where its decision function is positive.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows.

        Returns
        -------
        labels : ndarray of shape (n_samples,), or a lazy Dask array for Dask input
        """
        eta = self.decision_function(X)
        if is_tall(X):
            classes = self.classes_
            return eta.map_blocks(lambda e: classes[(e > 0).astype(np.intp)], dtype=classes.dtype)
        return self.classes_[(eta > 0).astype(np.intp)]

    def score(self, X: ArrayLike, y: ArrayLike | None = None,
              sample_weight: ArrayLike | None = None) -> float:
        """The (weighted) share of rows whose class is predicted right.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame
            The rows (Dask rows are scored in one computation).
        y : array-like of shape (n_samples,)
            The true labels.
        sample_weight : array-like of shape (n_samples,), optional

        Returns
        -------
        score : float
            The accuracy.
        """
        y, pred, w = _scored(X, y, sample_weight, self.predict)
        return float(accuracy_score(y, pred, sample_weight=w))

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        return tags


def _l1_ratio_of(penalty: Any, l1_ratio: float | None, name: str = "l1_ratio") -> tuple[float, bool]:
    """The l1_ratio and whether the penalty is dropped (penalty=None), after scikit-learn
    1.9's reading of `penalty` and `l1_ratio`, with its warnings: a FutureWarning for
    the deprecated penalty (or l1_ratio None), a UserWarning for an l1_ratio that only
    penalty='elasticnet' reads."""
    if penalty == "deprecated":
        if l1_ratio is None:
            warnings.warn(f"'{name}=None' was deprecated in scikit-learn 1.8 and will be an error "
                          "in 1.10: use 0 <= l1_ratio <= 1", FutureWarning, stacklevel=3)
        return (0.0 if l1_ratio is None else float(l1_ratio)), False
    warnings.warn("'penalty' was deprecated in scikit-learn 1.8 and will be removed in 1.10: use "
                  "l1_ratio (0 for 'l2', 1 for 'l1') and C (np.inf for no penalty)",
                  FutureWarning, stacklevel=3)
    if penalty == "elasticnet":
        if l1_ratio is None:
            raise ValueError(f"{name} must be given, in [0, 1], with penalty='elasticnet'")
        return float(l1_ratio), False
    if l1_ratio is not None and 0 < l1_ratio < 1:
        warnings.warn(f"{name} parameter is only used when penalty is 'elasticnet'. Got "
                      f"(penalty={penalty})", UserWarning, stacklevel=3)
    if penalty is None:
        return 0.0, True
    return _PENALTIES[penalty], False


class LogisticRegression(_Binary):
    """Binary logistic regression with scikit-learn's objective, fitted by `tall.glm_path`.

    Minimises ``C sum_i w_i loss_i + l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2`` with the
    intercept unpenalised, by proximal Newton steps (glmnet's algorithm); the same data
    give scikit-learn's coefficients to its solver's precision.

    Parameters
    ----------
    penalty : {'l1', 'l2', 'elasticnet', None}, default='deprecated'
        As in scikit-learn 1.9, deprecated (a FutureWarning): 'l2' is l1_ratio 0, 'l1'
        l1_ratio 1, 'elasticnet' the given l1_ratio, None no penalty. Leave it to
        choose the penalty by C and l1_ratio.
    C : float, default=1.0
        Inverse of the penalty's strength, > 0; np.inf: no penalty.
    l1_ratio : float, default=0.0
        The share of the L1 term, in [0, 1].
    dual : bool, default=False
        Only False (the primal) is solved.
    tol : float, default=1e-4
        Newton steps end when the penalised objective changes by less than
        ``tol * 1e-6`` times the null deviance.
    fit_intercept : bool, default=True
        Whether to fit an unpenalised intercept.
    intercept_scaling : float, default=1
        Accepted for scikit-learn's signature (liblinear's); no effect.
    class_weight : dict, 'balanced' or None, default=None
        Weights of the classes, multiplying sample_weight (and in the penalty's
        scale, as in scikit-learn).
    random_state, solver, verbose, warm_start, n_jobs
        Accepted for scikit-learn's signature; the fit is always the proximal Newton
        path, deterministic, from the null model.
    max_iter : int, default=100
        Most Newton steps (each a scan over the rows).

    Attributes
    ----------
    classes_ : ndarray of shape (2,)
    coef_ : ndarray of shape (1, n_features)
    intercept_ : ndarray of shape (1,)
    status_ : int
        0, -1 separation or -2 not converged (both with a ConvergenceWarning).
    n_iter_ : ndarray of shape (1,)
        The number of scans over the rows.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import LogisticRegression
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((500, 3))
    >>> y = rng.random(500) < 1 / (1 + np.exp(-(X @ [2.0, -1.0, 0.0])))
    >>> model = LogisticRegression(C=10.0).fit(X, y)
    >>> model.coef_.round(1), model.predict_proba(X[:2]).shape, model.classes_
    (array([[ 2. , -1. , -0.1]]), (2, 2), array([False,  True]))
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "penalty": [StrOptions({"l1", "l2", "elasticnet", "deprecated"}), None],
        "C": [Interval(Real, 0, None, closed="right")],
        "l1_ratio": [Interval(Real, 0, 1, closed="both"), None],
        "dual": ["boolean"],
        "tol": [Interval(Real, 0, None, closed="left")],
        "fit_intercept": ["boolean"],
        "class_weight": [dict, StrOptions({"balanced"}), None],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "warm_start": ["boolean"],
        **_IGNORED,
    }

    def __init__(self, penalty: str | None = "deprecated", *, C: float = 1.0,
                 l1_ratio: float | None = 0.0, dual: bool = False, tol: float = 1e-4,
                 fit_intercept: bool = True, intercept_scaling: float = 1,
                 class_weight: dict[Any, float] | str | None = None, random_state: Any = None,
                 solver: str = "lbfgs", max_iter: int = 100, verbose: int = 0,
                 warm_start: bool = False, n_jobs: int | None = None) -> None:
        self.penalty = penalty
        self.C = C
        self.l1_ratio = l1_ratio
        self.dual = dual
        self.tol = tol
        self.fit_intercept = fit_intercept
        self.intercept_scaling = intercept_scaling
        self.class_weight = class_weight
        self.random_state = random_state
        self.solver = solver
        self.max_iter = max_iter
        self.verbose = verbose
        self.warm_start = warm_start
        self.n_jobs = n_jobs

    def fit(self, X: ArrayLike, y: ArrayLike | None = None,
            sample_weight: ArrayLike | None = None) -> Self:
        """Fit the model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows; NaN and infinity are refused.
        y : array-like of shape (n_samples,), or None for a tall.Source
            Two class labels.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative weights, not all zero (None: all 1).

        Returns
        -------
        self : object
            The fitted estimator.

        Raises
        ------
        ValueError
            Bad data or weights, one class or more than two.
        """
        self._validate_params()
        l1_ratio, unpenalised = _l1_ratio_of(self.penalty, self.l1_ratio)
        Xf, yf, w = self._rows(X, y, sample_weight)
        C = float(self.C)
        alpha = 0.0 if unpenalised or math.isinf(C) else 1.0 / (C * self._sw(yf, w))
        path = _glm_fit(self, Xf, yf, "binomial", w, [alpha], l1_ratio)
        self._set(path.coef[-1], float(path.intercept[-1]))
        self.status_ = int(path.status[-1])
        self.n_iter_ = np.array([path.n_passes], dtype=np.int32)
        return self


class LogisticRegressionCV(_Binary):
    """Binary logistic regression with C (and l1_ratio) chosen by K-fold cross-validation.

    Each fold's path over Cs is fitted by `tall.glm_path` on the other folds (its
    penalty scaled by their weights' sum, as scikit-learn scales it) and scored on the
    fold; the best C has the greatest mean score over the folds, and the model is
    refitted on all rows at it.

    Parameters
    ----------
    Cs : int or array-like, default=10
        The values of C, or their number: ``np.logspace(-4, 4, Cs)``.
    l1_ratios : array-like or None, default=None
        The l1_ratios searched (None: 0.0, the L2 penalty); a `penalty` of 'l1' or
        'l2' decides instead, as in scikit-learn.
    fit_intercept : bool, default=True
    cv : int, array-like of shape (n_samples,), splitter or None, default=None
        An int K (None: 5): this project's hashed folds, row i in fold
        ``tall.fold_ids(i, i + 1, K, random_state)``, independent of the row order (unlike
        scikit-learn's stratified folds); an array of fold ids 0..K-1; or a splitter
        whose test sets partition the rows (StratifiedKFold, KFold, GroupKFold).
    dual : bool, default=False
        Only False is solved.
    penalty : {'l1', 'l2', 'elasticnet'}, default='deprecated'
        As in LogisticRegression.
    scoring : str, callable or None, default=None
        A scikit-learn scorer; None is accuracy.
    tol, max_iter, class_weight, intercept_scaling
        As in LogisticRegression.
    solver, n_jobs, verbose
        Accepted for scikit-learn's signature; no effect.
    refit : bool, default=True
        Refit on all rows at the best C; False: coef_ is the mean of the folds' fits
        there, as in scikit-learn.
    random_state : int or None, default=None
        The seed of the hashed folds of an int cv (None: 0); not a RandomState.

    Attributes
    ----------
    Cs_ : ndarray of shape (n_cs,)
    l1_ratios_ : ndarray of shape (n_l1_ratios,)
    scores_ : ndarray of shape (n_folds, n_l1_ratios, n_cs)
        Each fold's score of the fit on the other folds; NaN from the C where a fold's
        classes separate on (its path ends there), left out of the means.
    coefs_paths_ : ndarray of shape (n_folds, n_l1_ratios, n_cs, 1, n_features + 1)
        Those fits (the intercept last when fitted); in-memory input only.
    C_ : float
        The C of the greatest mean score.
    l1_ratio_ : float
    n_iter_ : ndarray of shape (n_folds, n_l1_ratios, n_cs)
        The scans over the rows of each fold's path (the whole path's count at every C).
    C_1se_ : float
        The smallest C (the strongest penalty) whose mean score is within one
        standard error (over the folds) of the best, at l1_ratio_.
    coef_, intercept_, classes_, n_features_in_, feature_names_in_
        As in LogisticRegression.

    Notes
    -----
    In-memory input fits each fold separately, with scikit-learn's penalty
    1 / (C sw_train) on its training rows: any scorer, the same scores as
    scikit-learn's with the same folds. Tall input fits all folds in the same scans
    over the rows, on one grid of penalties 1 / (C sw) from all the rows (cv.glmnet's
    way), so a fold's fit at C is scikit-learn's at C sw / sw_train; coefs_paths_ is
    not kept there, and refit=False is refused.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import LogisticRegressionCV
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((500, 3))
    >>> y = rng.random(500) < 1 / (1 + np.exp(-(X @ [2.0, -1.0, 0.0])))
    >>> model = LogisticRegressionCV(Cs=5, cv=5).fit(X, y)
    >>> model.scores_.shape, float(model.C_), model.C_1se_ <= model.C_
    ((5, 1, 5), 1.0, True)
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "Cs": [Interval(Integral, 1, None, closed="left"), "array-like"],
        "l1_ratios": ["array-like", None],
        "fit_intercept": ["boolean"],
        "cv": [Interval(Integral, 2, None, closed="left"), "array-like", "cv_object"],
        "dual": ["boolean"],
        "penalty": [StrOptions({"l1", "l2", "elasticnet", "deprecated"})],
        "scoring": [str, callable, None],
        "tol": [Interval(Real, 0, None, closed="left")],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "class_weight": [dict, StrOptions({"balanced"}), None],
        "refit": ["boolean"],
        **_IGNORED,
        "random_state": [Interval(Integral, 0, None, closed="left"), None],
    }

    def __init__(self, *, Cs: int | ArrayLike = 10, l1_ratios: ArrayLike | None = None,
                 fit_intercept: bool = True, cv: Any = None, dual: bool = False,
                 penalty: str = "deprecated", scoring: Any = None, solver: str = "lbfgs",
                 tol: float = 1e-4, max_iter: int = 100,
                 class_weight: dict[Any, float] | str | None = None, n_jobs: int | None = None,
                 verbose: int = 0, refit: bool = True, intercept_scaling: float = 1.0,
                 random_state: int | None = None) -> None:
        self.Cs = Cs
        self.l1_ratios = l1_ratios
        self.fit_intercept = fit_intercept
        self.cv = cv
        self.dual = dual
        self.penalty = penalty
        self.scoring = scoring
        self.solver = solver
        self.tol = tol
        self.max_iter = max_iter
        self.class_weight = class_weight
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.refit = refit
        self.intercept_scaling = intercept_scaling
        self.random_state = random_state

    def _fold_ids(self, X: Any, y: Any, groups: Any) -> NDArray[np.int64]:
        cv = 5 if self.cv is None else self.cv
        ids = fold_ids_of(cv, X, y, groups)
        if isinstance(ids, int):
            seed = 0 if self.random_state is None else int(self.random_state)
            return tall.fold_ids(0, X.shape[0], ids, seed)
        return np.asarray(ids, dtype=np.int64)

    def _choose(self, Cs: NDArray[np.float64], l1s: NDArray[np.float64],
                scores: NDArray[np.float64]) -> tuple[int, int]:
        """Sets Cs_, l1_ratios_, scores_, C_, l1_ratio_ and C_1se_ from the folds' scores
        (NaN where a fold's fit ended at separation); returns the best (l1_ratio, C) indices."""
        K = scores.shape[0]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a C that no fold reached
            mean = np.nanmean(scores, axis=0)
            se = np.nanstd(scores, axis=0, ddof=1) / math.sqrt(K)
        if np.isnan(mean).all():
            raise ValueError("no C has a cross-validated score: every fold's fit ended at separation")
        j, i = divmod(int(np.nanargmax(mean)), Cs.shape[0])
        self.Cs_, self.l1_ratios_, self.scores_ = Cs, l1s, scores
        self.C_, self.l1_ratio_ = float(Cs[i]), float(l1s[j])
        # glmnet's one-standard-error rule, in C: the strongest penalty within one se of the best
        order = np.argsort(Cs, kind="stable")
        # (a best C scored by one fold only has no se: its bound is its mean)
        bound = mean[j, i] - (se[j, i] if np.isfinite(se[j, i]) else 0.0)
        self.C_1se_ = float(Cs[next(c for c in order if mean[j, c] >= bound)])
        return j, i

    def _refit(self, Xf: Any, yf: Any, w: Any) -> None:
        alpha = 1.0 / (self.C_ * self._sw(yf, w))
        path = _glm_fit(self, Xf, yf, "binomial", w, [alpha], self.l1_ratio_)
        self._set(path.coef[-1], float(path.intercept[-1]))
        self.status_ = int(path.status[-1])

    def _fit_tall(self, Xf: Any, yf: Any, w: Any, Cs: NDArray[np.float64],
                  l1s: NDArray[np.float64]) -> Self:
        """The folds' paths of tall input in the same scans (glm_path with folds): every
        fold's penalty is on the all-rows scale, 1 / (C sw) with sw all rows' weights
        (as cv.glmnet's folds share the whole data's grid)."""
        cv = 5 if self.cv is None else self.cv
        if not (isinstance(cv, Integral) or (yf is not None and hasattr(cv, "shape"))):
            raise TypeError("cv: tall input takes an int (a Source), or an array of fold ids "
                            f"aligned with the rows (Dask input), not {type(cv).__name__}")
        measures = {None: "class", "accuracy": "class", "neg_log_loss": "deviance"}
        if not (self.scoring is None or isinstance(self.scoring, str)) or self.scoring not in measures:
            raise ValueError(f"scoring: tall input is scored in the fitting scans, by 'accuracy' "
                             f"(None) or 'neg_log_loss' only, not {self.scoring!r}")
        if not self.refit:
            raise ValueError("refit=False averages the folds' coefficients, which tall input's "
                             "cross-validation does not keep: use refit=True")
        measure = measures[self.scoring]
        seed = 0 if self.random_state is None else int(self.random_state)
        order = np.argsort(Cs, kind="stable")  # increasing C: the penalties decreasing
        alphas = 1.0 / (Cs[order] * self._sw(yf, w))
        scores, passes = None, []
        for j, l1 in enumerate(l1s.tolist()):
            result = _glm_fit(self, Xf, yf, "binomial", w, alphas.tolist(), l1,
                              folds=cv, seed=seed, measure=measure)
            held = np.full((Cs.shape[0], result.cv.shape[1]), np.nan)
            held[: result.cv.shape[0]] = np.where(
                result.status == SEPARATION, np.nan, 1.0 - result.cv if measure == "class" else -result.cv / 2.0)
            if scores is None:
                scores = np.full((held.shape[1], l1s.shape[0], Cs.shape[0]), np.nan)
            scores[:, j, order] = held.T
            passes.append(result.n_passes)
        assert scores is not None
        self.n_iter_ = np.broadcast_to(np.asarray(passes, dtype=np.int32)[None, :, None],
                                       scores.shape).copy()
        self._choose(Cs, l1s, scores)
        self._refit(Xf, yf, w)
        return self

    def fit(self, X: ArrayLike, y: ArrayLike | None = None,
            sample_weight: ArrayLike | None = None, groups: ArrayLike | None = None) -> Self:
        """Fit each fold's path, choose C (and l1_ratio), refit on all rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows. Tall input (Dask, a Source) fits every fold in the same scans,
            takes cv an int (or fold ids beside Dask rows) and scoring None,
            'accuracy' or 'neg_log_loss', and puts every fold's penalty on the
            all-rows scale (see the class's notes).
        y : array-like of shape (n_samples,), or None for a tall.Source
            Two class labels.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative weights (None: all 1); the scorer sees them too.
        groups : array-like of shape (n_samples,), optional
            Group labels for a splitter that takes them.

        Returns
        -------
        self : object
            The fitted estimator.

        Raises
        ------
        ValueError
            Bad data or weights, one class or more than two, folds that do not
            partition the rows.
        """
        self._validate_params()
        if self.penalty in ("deprecated", "elasticnet"):
            if self.penalty == "elasticnet":
                _l1_ratio_of(self.penalty, None if self.l1_ratios is None else 0.0, "l1_ratios")
            given = [0.0] if self.l1_ratios is None else self.l1_ratios
        else:  # 'l1' or 'l2' decides, whatever l1_ratios holds (scikit-learn warns)
            if self.l1_ratios is not None:
                warnings.warn("l1_ratios parameter is only used when penalty is 'elasticnet'. Got "
                              f"(penalty={self.penalty})", UserWarning, stacklevel=2)
            given = [_l1_ratio_of(self.penalty, 0.0)[0]]
        l1s = np.atleast_1d(np.asarray(given, dtype=np.float64))
        if l1s.ndim != 1 or l1s.size == 0 or np.any((l1s < 0) | (l1s > 1)) or np.any(np.isnan(l1s)):
            raise ValueError(f"l1_ratios must hold numbers in [0, 1], got {self.l1_ratios!r}")
        Cs = (np.logspace(-4, 4, int(self.Cs)) if isinstance(self.Cs, Integral)
              else np.asarray(self.Cs, dtype=np.float64).ravel())
        if Cs.size == 0 or not np.all(Cs > 0) or np.any(np.isnan(Cs)):
            raise ValueError(f"Cs must be positive, got {self.Cs!r}")
        Xf, yf, w = self._rows(X, y, sample_weight)
        if is_tall(X):
            return self._fit_tall(Xf, yf, w, Cs, l1s)
        ids = self._fold_ids(Xf, yf, groups)
        if ids.min() < 0 or np.any(np.bincount(ids) == 0):
            raise ValueError("cv: fold ids must be 0, 1, ..., K-1, each given to at least one row")
        K = int(ids.max()) + 1
        scorer = check_scoring(self, scoring=self.scoring or "accuracy")
        labels = self.classes_[yf.astype(np.intp)]
        k = Xf.shape[1]
        n_c, n_l = Cs.shape[0], l1s.shape[0]
        scores = np.full((K, n_l, n_c), np.nan)
        paths = np.zeros((K, n_l, n_c, 1, k + int(self.fit_intercept)))
        passes = np.zeros((K, n_l, n_c), dtype=np.int32)
        probe = LogisticRegression(fit_intercept=self.fit_intercept)
        probe.classes_, probe.n_features_in_ = self.classes_, self.n_features_in_
        if hasattr(self, "feature_names_in_"):
            probe.feature_names_in_ = self.feature_names_in_
        for f in range(K):
            train, test = ids != f, ids == f
            wt = None if w is None else w[train]
            sw = self._sw(yf[train], wt)
            if not np.any(yf[train] != yf[train][0]):
                raise ValueError(f"cv: the training rows of fold {f} hold one class only")
            for j, l1 in enumerate(l1s.tolist()):
                path = _glm_fit(self, Xf[train], yf[train], "binomial", wt,
                                (1.0 / (Cs * sw)).tolist(), l1)
                coef, b0 = path.coef, path.intercept
                passes[f, j] = path.n_passes
                # a path ends at separation: that C and the later ones are unscored (NaN)
                m = int(np.count_nonzero(path.status != SEPARATION))
                paths[f, j, m:] = np.nan
                for i in range(m):
                    probe.coef_, probe.intercept_ = coef[i][None, :], np.array([b0[i]])
                    sample = None if w is None else w[test]
                    scores[f, j, i] = scorer(probe, Xf[test], labels[test], sample_weight=sample) \
                        if sample is not None else scorer(probe, Xf[test], labels[test])
                    paths[f, j, i, 0, :k] = coef[i]
                    if self.fit_intercept:
                        paths[f, j, i, 0, k] = b0[i]
        self.coefs_paths_, self.n_iter_ = paths, passes
        j, i = self._choose(Cs, l1s, scores)
        if self.refit:
            self._refit(Xf, yf, w)
        else:
            average = np.nanmean(paths[:, j, i, 0], axis=0)  # the folds not separated there
            self._set(average[:k], float(average[k]) if self.fit_intercept else 0.0)
            self.status_ = 0
        return self


class PoissonRegressor(RegressorMixin, BaseEstimator):
    """Poisson regression (log link) with scikit-learn's objective, fitted by `tall.glm_path`.

    Minimises ``1 / (2 sw) sum_i w_i deviance_i + alpha |b|^2 / 2`` with the intercept
    unpenalised, by Newton steps.

    Parameters
    ----------
    alpha : float, default=1.0
        The L2 penalty, >= 0 (0: none).
    fit_intercept : bool, default=True
    solver : {'lbfgs', 'newton-cholesky'}, default='lbfgs'
        Accepted for scikit-learn's signature; the fit is always Newton's.
    max_iter : int, default=100
        Most Newton steps (each a scan over the rows).
    tol : float, default=1e-4
        Newton steps end when the penalised objective changes by less than
        ``tol * 1e-6`` times the null deviance.
    warm_start, verbose
        Accepted for scikit-learn's signature; no effect.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    status_ : int
        0, or -1/-2 (with a ConvergenceWarning).
    n_iter_ : int
        Scans over the rows.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import PoissonRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((500, 2))
    >>> y = rng.poisson(np.exp(0.5 + X @ [0.3, -0.2]))
    >>> model = PoissonRegressor(alpha=1e-4).fit(X, y)
    >>> model.coef_.round(1), round(model.intercept_, 1)
    (array([ 0.3, -0.2]), 0.4)
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "alpha": [Interval(Real, 0.0, None, closed="left")],
        "fit_intercept": ["boolean"],
        "solver": [StrOptions({"lbfgs", "newton-cholesky"})],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0.0, None, closed="left")],
        "warm_start": ["boolean"],
        "verbose": ["verbose"],
    }

    def __init__(self, *, alpha: float = 1.0, fit_intercept: bool = True, solver: str = "lbfgs",
                 max_iter: int = 100, tol: float = 1e-4, warm_start: bool = False,
                 verbose: int = 0) -> None:
        self.alpha = alpha
        self.fit_intercept = fit_intercept
        self.solver = solver
        self.max_iter = max_iter
        self.tol = tol
        self.warm_start = warm_start
        self.verbose = verbose

    def fit(self, X: ArrayLike, y: ArrayLike | None = None,
            sample_weight: ArrayLike | None = None) -> Self:
        """Fit the model.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows; NaN and infinity are refused.
        y : array-like of shape (n_samples,), or None for a tall.Source
            Counts (numbers >= 0), not all 0.
        sample_weight : array-like of shape (n_samples,), optional
            Non-negative weights, not all zero.

        Returns
        -------
        self : object
            The fitted estimator.

        Raises
        ------
        ValueError
            Bad data or weights, a negative y, or y 0 in every row.
        """
        self._validate_params()
        if is_tall(X):
            Xf, yf, w = _tall_rows(self, X, y, sample_weight)
        else:
            Xf, yf = validate_data(self, X, y, dtype=np.float64, y_numeric=True, ensure_min_samples=1)
            check_size(Xf.shape[1])
            if np.any(yf < 0) or not np.any(yf > 0):
                raise ValueError("Some value(s) of y are out of the valid range of the Poisson "
                                 "loss: y must be >= 0 with a positive sum")
            w = None
            if sample_weight is not None:
                w = _check_sample_weight(sample_weight, Xf, dtype=np.float64, ensure_non_negative=True)
                if not np.any(w > 0):
                    raise ValueError("sample_weight: every weight is zero")
        path = _glm_fit(self, Xf, yf, "poisson", w, [float(self.alpha)], 0.0)
        self.coef_ = np.asarray(path.coef[-1], dtype=np.float64)
        self.intercept_ = float(path.intercept[-1]) if self.fit_intercept else 0.0
        self.status_ = int(path.status[-1])
        self.n_iter_ = int(path.n_passes)
        return self

    def _linear_predictor(self, X: Any) -> Any:
        check_is_fitted(self)
        if is_tall(X):
            assert _data is not None
            return _data.tall_predict(X, self.coef_, self.intercept_)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return X @ self.coef_ + self.intercept_

    def predict(self, X: ArrayLike) -> Any:
        """The expected counts exp(X coef_ + intercept_).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), a Dask array or DataFrame, or a tall.Source
            The rows.

        Returns
        -------
        y_pred : ndarray of shape (n_samples,), or a lazy Dask array for Dask input
        """
        return np.exp(self._linear_predictor(X))

    def score(self, X: ArrayLike, y: ArrayLike | None = None,
              sample_weight: ArrayLike | None = None) -> float:
        """D^2, the share of the Poisson deviance explained (scikit-learn's score).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame
            The rows (Dask rows are scored in one computation).
        y : array-like of shape (n_samples,)
            The counts.
        sample_weight : array-like of shape (n_samples,), optional

        Returns
        -------
        score : float
            1 - deviance / the deviance of the weighted mean.
        """
        y, pred, w = _scored(X, y, sample_weight, self.predict)
        return float(d2_tweedie_score(np.asarray(y, dtype=np.float64), pred, sample_weight=w, power=1))

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.positive_only = True
        return tags
