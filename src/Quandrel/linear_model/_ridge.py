"""Ridge regression on the statistics: at one penalty, or the best of a grid.

scikit-learn's Ridge minimises sum w (y - b0 - x'b)^2 + alpha |b|^2; `tall.path`
minimises (1 / (2 sw)) sum w (y - b0 - x'b)^2 + a |b|^2 / 2 (l1_ratio 0), the same
problem at a = alpha / sw, solved exactly by Cholesky on the centred statistics.
"""

from __future__ import annotations

from numbers import Integral, Real
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.utils._param_validation import Interval, StrOptions

from .. import tall
from ..tall import GramStats
from ..tall._solvers import _default_alphas, _problem, _weight_sum
from ._base import LinearModel, check_status

__all__ = ["Ridge", "RidgeIC"]


def _ridge_at(model: LinearModel, stats: GramStats, alpha: float) -> float:
    """Set coef_, intercept_ and status_ of the ridge fit at scikit-learn's alpha;
    returns its effective degrees of freedom (the intercept counted)."""
    sw = _weight_sum(stats)
    fit = tall.path(stats, [alpha / sw], 0.0, fit_intercept=model.fit_intercept)
    check_status(model, int(fit.status[0]), "the ridge solve")
    model.coef_ = fit.coef[0]
    model.intercept_ = float(fit.intercept[0])
    model.status_ = int(fit.status[0])
    return float(fit.dof[0]) + float(model.fit_intercept)


class Ridge(LinearModel):
    """Least squares with an L2 penalty, scikit-learn's ``Ridge`` objective.

    Minimises ``sum w (y - intercept - X coef)^2 + alpha |coef|^2`` (the intercept
    unpenalised), solved exactly by Cholesky on the statistics.

    Parameters
    ----------
    alpha : float, default=1.0
        The penalty, >= 0 (0 is least squares, refused when the columns are collinear).
    fit_intercept : bool, default=True
        Whether to fit an intercept.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    dof_ : float
        The effective degrees of freedom, the trace of the hat matrix (the intercept
        counted as 1).
    status_ : int
        0.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import Ridge
    >>> X = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [3.0, 3.0]])
    >>> model = Ridge(alpha=1.0).fit(X, [1.0, 2.0, 3.0, 5.0])
    >>> model.coef_.round(4), round(model.dof_, 4)
    (array([0.8539, 0.3933]), 2.4719)
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "alpha": [Interval(Real, 0, None, closed="left")],
        "fit_intercept": ["boolean"],
    }

    def __init__(self, alpha: float = 1.0, fit_intercept: bool = True) -> None:
        self.alpha = alpha
        self.fit_intercept = fit_intercept

    def _solve(self, stats: GramStats) -> None:
        self.dof_ = _ridge_at(self, stats, float(self.alpha))


def _augmented(stats: GramStats) -> GramStats:
    """The statistics of [1, X]: the constant as column 0, as ridge_grid_search sees
    the data when told that column 0 is the intercept."""
    assert (stats.sw is not None and stats.x_mean is not None and stats.y_mean is not None
            and stats.resid is not None and stats.Gc is not None and stats.cc is not None)
    k = np.shape(stats.c)[0]
    sw = float(stats.sw)
    mu = np.asarray(stats.x_mean) + np.asarray(stats.resid[:-1]) / sw
    G = np.empty((k + 1, k + 1))
    G[0, 0] = sw
    G[0, 1:] = G[1:, 0] = sw * mu
    G[1:, 1:] = stats.G
    Gc = np.zeros((k + 1, k + 1))
    Gc[1:, 1:] = stats.Gc
    return GramStats(G=G, c=np.concatenate([[sw * (stats.y_mean + stats.resid[-1] / sw)], stats.c]),
                     yy=stats.yy, n=stats.n, sw=sw, x_mean=np.concatenate([[1.0], stats.x_mean]),
                     y_mean=stats.y_mean, Gc=Gc, cc=np.concatenate([[0.0], stats.cc]),
                     yyc=stats.yyc, resid=np.concatenate([[0.0], stats.resid]))


class RidgeIC(LinearModel):
    """Ridge with its penalty chosen over a grid by AIC, BIC or the residual sum of squares.

    Every penalty of the grid is scored as the ``ridge_grid_search`` kernel scores it,
    on the data with a constant column first when fit_intercept (left unpenalised):
    with n the weights' sum (the row count unweighted), rss the weighted residual sum
    of squares and df the trace of the hat matrix, AIC = n log(rss / n) + 2 df and
    BIC = n log(rss / n) + log(n) df. The first penalty of the grid with the least
    score is kept (so a grid in increasing order prefers the smallest penalty among
    equals), and the model is then fitted at it as ``Ridge(alpha_)``.

    Parameters
    ----------
    alphas : int or array-like of shape (n_alphas,), default=100
        Penalties in scikit-learn's Ridge scale (see Ridge), >= 0; or their number,
        for a decreasing grid from the data, log-spaced over six decades from the
        largest penalty of glmnet's rule for ridge (the lasso's alpha_max at
        l1_ratio 1e-3: 1000 max|X'W(y - mean)|).
    criterion : {"aic", "bic", "rss"}, default="aic"
        The score.
    fit_intercept : bool, default=True
        Whether to fit an (unpenalised) intercept.

    Attributes
    ----------
    alpha_ : float
        The penalty kept.
    alphas_ : ndarray of shape (n_alphas,)
        The grid.
    criterion_path_ : ndarray of shape (n_alphas,)
        The score of each penalty (+inf where the penalised matrix does not factor).
    coef_ : ndarray of shape (n_features,)
    intercept_ : float
    dof_ : float
        The effective degrees of freedom at alpha_ (the intercept counted).
    status_ : int
        0.
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import RidgeIC
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((50, 3))
    >>> y = X @ [1.0, 0.5, 0.0] + rng.standard_normal(50)
    >>> model = RidgeIC(alphas=[0.1, 1.0, 10.0, 100.0], criterion="bic").fit(X, y)
    >>> model.alpha_, model.criterion_path_.argmin()
    (10.0, np.int64(2))
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "alphas": [Interval(Integral, 1, None, closed="left"), "array-like"],
        "criterion": [StrOptions({"aic", "bic", "rss"})],
        "fit_intercept": ["boolean"],
    }

    def __init__(self, alphas: int | ArrayLike = 100, criterion: str = "aic",
                 fit_intercept: bool = True) -> None:
        self.alphas = alphas
        self.criterion = criterion
        self.fit_intercept = fit_intercept

    def _grid(self, stats: GramStats) -> NDArray[np.float64]:
        """The grid in the kernel's scale, alpha / sw."""
        sw = _weight_sum(stats)
        if isinstance(self.alphas, Integral):
            problem = _problem(stats, self.fit_intercept, False)
            return np.asarray(_default_alphas(problem, 0.0, int(self.alphas), 1e-6), dtype=np.float64)
        alphas = np.asarray(self.alphas, dtype=np.float64)
        if alphas.ndim != 1 or alphas.size == 0 or not np.all(np.isfinite(alphas)) or np.any(alphas < 0):
            raise ValueError(f"alphas must be a non-empty 1-D array of finite penalties >= 0, "
                             f"got {self.alphas!r}")
        return np.asarray(alphas / sw, dtype=np.float64)

    def _solve(self, stats: GramStats) -> None:
        grid = self._grid(stats)
        sw = _weight_sum(stats)
        data = _augmented(stats) if self.fit_intercept else stats
        chosen = tall.ridge(data, grid, self.criterion, self.fit_intercept)
        self.criterion_path_ = np.array([tall.ridge(data, [a], self.criterion, self.fit_intercept).objective
                                         for a in grid.tolist()])
        self.alphas_ = grid * sw
        index = int(np.flatnonzero(grid == chosen.alpha)[0])
        self.alpha_ = float(self.alphas_[index])
        self.dof_ = _ridge_at(self, stats, self.alpha_)
