"""The lasso and the elastic net at one penalty: coordinate descent and LARS.

On the centred statistics (with an intercept) the problem of scikit-learn's
ElasticNet, (1 / (2 sw)) sum w (y - b0 - x'b)^2 + alpha (l1_ratio |b|_1 +
(1 - l1_ratio) |b|^2 / 2), is b'Ab / 2 - g'b + yy / 2 + alpha_l1 |b|_1 + alpha_l2
|b|^2 / 2 with A = Gc / sw, g = cc / sw and yy = yyc / sw (tall.path's problem).
"""

from __future__ import annotations

import math
from numbers import Integral, Real
from typing import Any, ClassVar, NamedTuple

import numpy as np
from numpy.typing import NDArray
from sklearn.utils._param_validation import Interval

from .._ckernels.regression import _regression, _routines
from ..tall import GramStats
from ..tall._solvers import LARS_UPDATE_FROM, _intercepts, _problem, _weight_sum
from ._base import LinearModel, check_status

__all__ = ["ElasticNet", "Lasso", "LassoLars", "duality_gap", "lars_path"]

Float = NDArray[np.float64]


class Problem(NamedTuple):
    A: Float       # (kk, kk) the kept columns' Gram matrix over sw
    g: Float       # (kk,)
    yy: float      # the target's (centred) sum of squares over sw
    keep: NDArray[np.intp]
    scale: Float | None  # the kept columns' scales under standardize


def problem(stats: GramStats, fit_intercept: bool, standardize: bool = False) -> Problem:
    """The problem on the statistics (a constant column left out with an intercept;
    the columns scaled to unit variance under standardize, as tall.path does)."""
    p = _problem(stats, fit_intercept, standardize)
    yy = (stats.yyc if fit_intercept else stats.yy)
    assert yy is not None
    return Problem(p.A, p.g, float(yy) / _weight_sum(stats), p.keep, p.scale)


def duality_gap(pr: Problem, b: Float, alpha_l1: float, alpha_l2: float) -> float:
    """The duality gap of b, as scikit-learn's Gram coordinate descent measures it
    (Friedman, Hastie and Tibshirani 2010 give the dual; the residual r = y - Xb
    enters through r'r = yy - 2 g'b + b'Ab and X'r = g - Ab):

        XtA = g - Ab - alpha_l2 b,  const = min(1, alpha_l1 / max|XtA|)
        gap = (r'r (1 + const^2)) / 2 + alpha_l1 |b|_1 - const (yy - g'b)
              + alpha_l2 (1 + const^2) |b|^2 / 2
    """
    Ab = pr.A @ b
    gb = float(pr.g @ b)
    rr = max((pr.yy - 2.0 * gb) + float(b @ Ab), 0.0)
    xta = pr.g - Ab - alpha_l2 * b
    dual_norm = float(np.max(np.abs(xta), initial=0.0))
    const = alpha_l1 / dual_norm if dual_norm > alpha_l1 else 1.0
    gap = 0.5 * rr * (1.0 + const * const) if dual_norm > alpha_l1 else rr
    return (gap + alpha_l1 * float(np.abs(b).sum()) - const * (pr.yy - gb)
            + 0.5 * alpha_l2 * (1.0 + const * const) * float(b @ b))


def enet_solve(pr: Problem, alpha_l1: float, alpha_l2: float, max_iter: int,
               tol: float) -> tuple[Float, float, int]:
    """Coordinate descent (elastic_net_gram_cd) until the duality gap is at most
    tol * yy, scikit-learn's stopping rule: the kernel stops on the coordinates'
    changes, so it is rerun, warm-started, with a change tolerance 100 times smaller
    until the gap is small enough. Returns (b, gap, status): status -2 when a run
    used max_iter sweeps."""
    b = np.zeros(pr.g.shape[0])
    if not b.size or pr.yy <= 0.0:  # nothing to fit: y is 0 (its mean, with an intercept)
        return b, 0.0, 0
    step = tol * math.sqrt(max(pr.yy, 0.0))
    while True:
        b, status = _regression.elastic_net_gram_cd(pr.A, pr.g, alpha_l1, alpha_l2, b, max_iter, step)
        gap = duality_gap(pr, b, alpha_l1, alpha_l2)
        if status != 0 or gap <= tol * pr.yy or step < 1e-300:
            return b, gap, int(status)
        step /= 100.0


class _PenalisedModel(LinearModel):
    """The coefficients of a problem solved on the kept columns, and the intercept."""

    def _set(self, stats: GramStats, pr: Problem, b: Float, status: int, what: str) -> None:
        coef = np.zeros(int(np.shape(stats.c)[0]))
        coef[pr.keep] = b if pr.scale is None else b / pr.scale
        self.coef_ = coef
        self.intercept_ = float(_intercepts(stats, coef[None, :])[0]) if self.fit_intercept else 0.0
        self.status_ = status
        check_status(self, status, what)


class ElasticNet(_PenalisedModel):
    """The elastic net, scikit-learn's ``ElasticNet`` objective, by coordinate descent.

    Minimises ``(1 / (2 sum w)) sum w (y - intercept - X coef)^2 + alpha (l1_ratio
    |coef|_1 + (1 - l1_ratio) |coef|^2 / 2)`` on the statistics, until the duality gap
    is at most ``tol`` times the target's weighted sum of squares over the weights'
    sum (scikit-learn's rule).

    Parameters
    ----------
    alpha : float, default=1.0
        The penalty, >= 0.
    l1_ratio : float, default=0.5
        The share of the L1 term, in [0, 1].
    fit_intercept : bool, default=True
        Whether to fit an (unpenalised) intercept.
    max_iter : int, default=1000
        Most sweeps over the coordinates in one run of the solver.
    tol : float, default=1e-4
        The duality-gap tolerance.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    dual_gap_ : float
        The duality gap reached.
    status_ : int
        0, or -2 when max_iter stopped the solver (with a ConvergenceWarning).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import ElasticNet
    >>> X = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [3.0, 3.0]])
    >>> model = ElasticNet(alpha=0.1, l1_ratio=0.5, tol=1e-10).fit(X, [1.0, 2.0, 3.0, 5.0])
    >>> model.coef_.round(4), round(model.intercept_, 4)
    (array([1.0015, 0.3121]), 0.8577)
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "alpha": [Interval(Real, 0, None, closed="left")],
        "l1_ratio": [Interval(Real, 0, 1, closed="both")],
        "fit_intercept": ["boolean"],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
        "tol": [Interval(Real, 0, None, closed="left")],
    }

    def __init__(self, alpha: float = 1.0, l1_ratio: float = 0.5, fit_intercept: bool = True,
                 max_iter: int = 1000, tol: float = 1e-4) -> None:
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter
        self.tol = tol

    def _solve(self, stats: GramStats) -> None:
        pr = problem(stats, self.fit_intercept)
        l1 = float(self.l1_ratio)
        b, self.dual_gap_, status = enet_solve(pr, float(self.alpha) * l1, float(self.alpha) * (1.0 - l1),
                                               int(self.max_iter), float(self.tol))
        self._set(stats, pr, b, status, "coordinate descent")


class Lasso(ElasticNet):
    """The lasso, scikit-learn's ``Lasso`` objective, by coordinate descent.

    Minimises ``(1 / (2 sum w)) sum w (y - intercept - X coef)^2 + alpha |coef|_1``
    (ElasticNet at l1_ratio 1).

    Parameters
    ----------
    alpha : float, default=1.0
        The penalty, >= 0.
    fit_intercept : bool, default=True
        Whether to fit an (unpenalised) intercept.
    max_iter : int, default=1000
        Most sweeps over the coordinates in one run of the solver.
    tol : float, default=1e-4
        The duality-gap tolerance (see ElasticNet).

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    dual_gap_ : float
    status_ : int
        0, or -2 when max_iter stopped the solver (with a ConvergenceWarning).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import Lasso
    >>> X = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [3.0, 3.0]])
    >>> Lasso(alpha=0.5, tol=1e-10).fit(X, [1.0, 2.0, 3.0, 5.0]).coef_.round(4)
    array([0.8696, 0.0435])
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        k: v for k, v in ElasticNet._parameter_constraints.items() if k != "l1_ratio"}

    def __init__(self, alpha: float = 1.0, fit_intercept: bool = True, max_iter: int = 1000,
                 tol: float = 1e-4) -> None:
        super().__init__(alpha=alpha, l1_ratio=1.0, fit_intercept=fit_intercept, max_iter=max_iter, tol=tol)


def lars_path(A: Float, g: Float, max_iter: int, alpha: float) -> tuple[Float, Float, int]:
    """The LARS-lasso path of b'Ab / 2 - g'b + lam |b|_1 from lam = max|g| down to
    alpha (or max_iter steps): (knot penalties, knot coefficients, status). The one
    place the path's routine is chosen: from LARS_UPDATE_FROM columns on, the path
    that updates the Cholesky factor of its active block (O(k^2) a knot, the same knots
    to rounding), as tall.lasso_path chooses."""
    solve = _routines.lars_lasso_gram_update if g.shape[0] >= LARS_UPDATE_FROM else _regression.lars_lasso_gram
    lam, beta, status = solve(A, g, max_iter, alpha)
    return lam, beta, int(status)


class LassoLars(_PenalisedModel):
    """The lasso by the LARS homotopy, read at alpha: scikit-learn's ``LassoLars``.

    The objective is Lasso's; the path of the LARS algorithm with the lasso
    modification (Efron, Hastie, Johnstone and Tibshirani 2004) is followed from the
    largest penalty down to alpha and read there (linear between the knots).

    Parameters
    ----------
    alpha : float, default=1.0
        The penalty, >= 0.
    fit_intercept : bool, default=True
        Whether to fit an (unpenalised) intercept.
    max_iter : int, default=500
        Most steps of the homotopy.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    alphas_ : ndarray of shape (n_knots,)
        The penalties of the path's knots, decreasing.
    coef_path_ : ndarray of shape (n_features, n_knots)
        The coefficients at the knots.
    n_iter_ : int
        The steps of the homotopy taken (at least 1).
    status_ : int
        0, or -2 when max_iter steps ended the path above alpha, or an active set was
        singular (with a ConvergenceWarning).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import LassoLars
    >>> X = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [3.0, 3.0]])
    >>> LassoLars(alpha=0.5).fit(X, [1.0, 2.0, 3.0, 5.0]).coef_.round(4)
    array([0.8696, 0.0435])
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "alpha": [Interval(Real, 0, None, closed="left")],
        "fit_intercept": ["boolean"],
        "max_iter": [Interval(Integral, 1, None, closed="left")],
    }

    def __init__(self, alpha: float = 1.0, fit_intercept: bool = True, max_iter: int = 500) -> None:
        self.alpha = alpha
        self.fit_intercept = fit_intercept
        self.max_iter = max_iter

    def _solve(self, stats: GramStats) -> None:
        pr = problem(stats, self.fit_intercept)
        alpha = float(self.alpha)
        k = int(np.shape(stats.c)[0])
        if pr.g.size == 0:
            lam, beta, status = np.zeros(1), np.zeros((1, 0)), 0
        else:
            lam, beta, status = lars_path(pr.A, pr.g, int(self.max_iter), alpha)
        b = _regression.lasso_path_eval(lam, beta, np.array([alpha]))[0]
        if status == -2 and lam[-1] <= alpha:
            status = 0  # the path reached alpha before it stopped
        path = np.zeros((k, lam.shape[0]))
        path[pr.keep] = beta.T
        self.alphas_, self.coef_path_ = lam, path
        self.n_iter_ = max(int(lam.shape[0]) - 1, 1)
        self._set(stats, pr, b, status, "the LARS path")
