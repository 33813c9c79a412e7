"""Ordinary (and weighted) least squares with the inference tables of statsmodels.

The coefficients solve the normal equations of the statistics by Cholesky. Columns
that are combinations of earlier ones are aliased, as R's ``lm`` does: a
sequential Cholesky over the columns in order keeps column j only when its pivot,
the part of its squared norm that the kept columns before it do not explain, is
above ALIAS_TOL of its own squared norm (Gc_jj with an intercept, G_jj without).

The covariance of the parameters is formed once at fit (statsmodels'
``RegressionResults`` habit) and every table derives from it:

    nonrobust  sigma^2 B^-1,                       sigma^2 = ssr / df_resid
    HC0        B^-1 (sum w_i^2 e_i^2 x_i x_i') B^-1  (White 1980)
    HC1        HC0 n / df_resid                    (MacKinnon and White 1985)

with B = X'WX over the kept columns, the constant first when there is an intercept.
With an intercept, B^-1 comes from the centred block A = Gc (the kept columns) and
the exact means m: [[1/sw + m'A^-1 m, -(A^-1 m)'], [-A^-1 m, A^-1]].
"""

from __future__ import annotations

import math
import warnings
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray
from scipy import linalg, special
from sklearn.utils._param_validation import StrOptions
from sklearn.utils.validation import check_is_fitted

from ..tall import GramStats
from ..tall._solvers import _chol_solve, _intercepts
from ._base import LinearModel, Rows, check_status

__all__ = ["LinearRegression"]

ALIAS_TOL = 1e-10
Float = NDArray[np.float64]


def kept_columns(G: Float, c: Float) -> tuple[NDArray[np.intp], Float, Float, int]:
    """The columns of the Gram matrix G that are not combinations of earlier ones:
    column j is kept when G_jj - v'v > ALIAS_TOL G_jj, v = L^-1 G[kept, j] with L the
    Cholesky factor of the kept block (the sequential Cholesky without pivoting).
    Returns (kept, b, L, status): the solution of G[kept, kept] b = c[kept] and its
    factor, by the native Cholesky."""
    k = G.shape[0]
    if k == 0:
        return np.zeros(0, dtype=np.intp), np.zeros(0), np.zeros((0, 0)), 0
    diag = np.diagonal(G)
    b, full, status = _chol_solve(G, c)
    if status == 0 and np.all(np.diagonal(full) ** 2 > ALIAS_TOL * diag):
        return np.arange(k), b, full, status
    L = np.empty((k, k))
    keep: list[int] = []
    for j in range(k):
        if keep:
            v = linalg.solve_triangular(L[:len(keep), :len(keep)], G[keep, j], lower=True)
            pivot = diag[j] - float(v @ v)
        else:
            v, pivot = np.zeros(0), float(diag[j])
        if diag[j] > 0.0 and pivot > ALIAS_TOL * diag[j]:
            r = len(keep)
            L[r, :r] = v
            L[r, r] = math.sqrt(pivot)
            keep.append(j)
    kept = np.array(keep, dtype=np.intp)
    b, L, status = _chol_solve(np.ascontiguousarray(G[np.ix_(kept, kept)]), np.ascontiguousarray(c[kept]))
    return kept, b, L, status


class LinearRegression(LinearModel):
    """Least squares, weighted by sample_weight, with statsmodels' inference tables.

    Minimises sum w_i (y_i - intercept - x_i'coef)^2 through the Cholesky
    factorisation of the normal equations (of the centred statistics with an
    intercept). A column that is a combination of earlier columns (the
    dummy-variable trap) is aliased as R's lm does: its coefficient is 0, its
    entries in the inference tables NaN, and it is named in a warning and in
    ``aliased_``.

    Parameters
    ----------
    fit_intercept : bool, default=True
        Whether to fit an intercept (unpenalised, the constant first in the tables,
        as statsmodels' ``add_constant``).
    cov_type : {"nonrobust", "HC0", "HC1"}, default="nonrobust"
        The covariance of the parameters: sigma^2 (X'WX)^-1, or White's
        heteroscedasticity-robust sandwich (HC1 scaled by n / df_resid). The
        robust ones need the residuals of every row: for Dask input or a
        tall.Source, a second pass over the rows at fit.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features,)
        The coefficients (0 for aliased columns).
    intercept_ : float
        The intercept (0.0 without fit_intercept).
    aliased_ : ndarray of shape (n_aliased,)
        Indices of the aliased columns.
    params_ : ndarray of shape (n_params,)
        The intercept (with fit_intercept), then coef_: the order of every table.
    cov_params_ : ndarray of shape (n_params, n_params)
        The covariance of params_ (NaN in the rows and columns of aliased columns).
    bse_, tvalues_, pvalues_ : ndarray of shape (n_params,)
        Standard errors, t statistics and two-sided p-values (of Student's t on
        df_resid_ degrees of freedom; of the normal under HC0 and HC1, as statsmodels).
    rsquared_, rsquared_adj_ : float
        R^2 (about the weighted mean with an intercept, about 0 without) and adjusted R^2.
    fvalue_, f_pvalue_ : float
        The F statistic of all slopes being 0 (a Wald test under HC0/HC1), its p-value.
    df_model_, df_resid_ : float
        Rank minus the constant, and rows minus rank.
    sigma_ : float
        sqrt(ssr / df_resid), the residual standard error.
    ssr_ : float
        The weighted residual sum of squares.
    status_ : int
        0.
    n_features_in_ : int
        Number of columns seen at fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, for input with string column names.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel.linear_model import LinearRegression
    >>> X = np.array([[1.0, 0.0], [2.0, 1.0], [3.0, 0.0], [4.0, 1.0], [5.0, 0.0]])
    >>> y = np.array([1.1, 2.9, 3.1, 4.9, 5.2])
    >>> model = LinearRegression().fit(X, y)
    >>> model.coef_.round(3), round(model.intercept_, 3)
    (array([1.02 , 0.767]), 0.073)
    >>> model.summary().round(3).loc[:, ["coef", "std err"]]
            coef  std err
    const  0.073    0.041
    x0     1.020    0.012
    x1     0.767    0.033
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "fit_intercept": ["boolean"],
        "cov_type": [StrOptions({"nonrobust", "HC0", "HC1"})],
    }

    def __init__(self, fit_intercept: bool = True, cov_type: str = "nonrobust") -> None:
        self.fit_intercept = fit_intercept
        self.cov_type = cov_type

    def _solve(self, stats: GramStats) -> None:
        k = int(np.shape(stats.c)[0])
        G, c = (stats.Gc, stats.cc) if self.fit_intercept else (stats.G, stats.c)
        assert G is not None and c is not None
        G = np.ascontiguousarray(G, dtype=np.float64)
        keep, b, L, status = kept_columns(G, np.ascontiguousarray(c, dtype=np.float64))
        check_status(self, status, "the Cholesky factorisation")
        coef = np.zeros(k)
        A = G if keep.shape[0] == k else G[np.ix_(keep, keep)]
        coef[keep] = b
        self.coef_ = coef
        self.intercept_ = float(_intercepts(stats, coef[None, :])[0]) if self.fit_intercept else 0.0
        self.status_ = 0
        aliased = np.ones(k, dtype=bool)
        aliased[keep] = False
        self.aliased_ = np.flatnonzero(aliased)
        if self.aliased_.size:
            names = self._names()[int(self.fit_intercept):]
            warnings.warn(f"{self.aliased_.size} column(s) aliased (a combination of earlier "
                          f"columns; coefficient 0): {', '.join(names[j] for j in self.aliased_)}",
                          UserWarning, stacklevel=3)
        self._keep = keep
        self._inference(stats, A, L, b)

    def _names(self) -> list[str]:
        names = getattr(self, "feature_names_in_", None)
        columns = ([str(v) for v in names] if names is not None
                   else [f"x{j}" for j in range(self.n_features_in_)])
        return (["const"] if self.fit_intercept else []) + columns

    def _positions(self) -> NDArray[np.intp]:
        """Positions in params_ of the kept parameters (the constant first)."""
        shift = int(self.fit_intercept)
        return np.concatenate([np.arange(shift), self._keep + shift]).astype(np.intp)

    def _bread(self, stats: GramStats, L: Float) -> Float:
        """B^-1 over the kept parameters (see the module's docstring)."""
        r = self._keep.shape[0]
        Linv = np.linalg.inv(L) if r else np.zeros((0, 0))
        Ainv = Linv.T @ Linv  # A^-1 = L^-T L^-1
        if not self.fit_intercept:
            return np.asarray(Ainv, dtype=np.float64)
        assert stats.sw is not None and stats.x_mean is not None and stats.resid is not None
        m = (np.asarray(stats.x_mean) + np.asarray(stats.resid[:-1]) / stats.sw)[self._keep]
        Am = Ainv @ m
        B = np.empty((r + 1, r + 1))
        B[0, 0] = 1.0 / stats.sw + float(m @ Am)
        B[0, 1:] = B[1:, 0] = -Am
        B[1:, 1:] = Ainv
        return B

    def _inference(self, stats: GramStats, A: Float, L: Float, b: Float) -> None:
        keep = self._keep
        if self.fit_intercept:
            assert stats.yyc is not None and stats.cc is not None
            cc = np.asarray(stats.cc)[keep]
            ssr = (stats.yyc - 2.0 * float(b @ cc)) + float(b @ (A @ b))
            tss = float(stats.yyc)
        else:
            c = np.asarray(stats.c)[keep]
            ssr = (stats.yy - 2.0 * float(b @ c)) + float(b @ (A @ b))
            tss = float(stats.yy)
        ssr = max(ssr, 0.0)
        rank = keep.shape[0] + int(self.fit_intercept)
        self.ssr_ = ssr
        self.df_model_ = float(rank - int(self.fit_intercept))
        self.df_resid_ = float(stats.n - rank)
        self.nobs_ = int(stats.n)
        self.params_ = np.concatenate([[self.intercept_] if self.fit_intercept else [], self.coef_])
        self.rsquared_ = 1.0 - ssr / tss if tss > 0 else math.nan
        self.rsquared_adj_ = (1.0 - (stats.n - int(self.fit_intercept)) / self.df_resid_ * (1.0 - self.rsquared_)
                              if self.df_resid_ > 0 else math.nan)
        self.sigma_ = math.sqrt(ssr / self.df_resid_) if self.df_resid_ > 0 else math.nan
        self._bread_kept = self._bread(stats, L)
        if self.cov_type == "nonrobust":
            self._set_covariance(self.sigma_ ** 2 * self._bread_kept, tss - ssr)
        else:
            self._tss = tss

    def _after_fit(self, rows: Rows | None, X: Any, y: Any, sample_weight: Any) -> None:
        if self.cov_type == "nonrobust":
            return
        if rows is None:
            from ._base import _data
            assert _data is not None
            meat = np.asarray(_data.tall_hc_meat(X, y, sample_weight, self.coef_,
                                                 self.intercept_ if self.fit_intercept else None))
        else:
            Xa, ya, w = rows
            e = ya - (Xa @ self.coef_ + self.intercept_)
            r = e if w is None else w * e
            Z = Xa * r[:, None]
            if self.fit_intercept:
                Z = np.column_stack([r, Z])
            meat = Z.T @ Z
        pos = self._positions()
        meat = meat[np.ix_(pos, pos)]
        cov = self._bread_kept @ meat @ self._bread_kept
        if self.cov_type == "HC1":
            cov = cov * (self.nobs_ / self.df_resid_)
        self._set_covariance(cov, self._tss - self.ssr_)

    def _set_covariance(self, cov: Float, ess: float) -> None:
        """Every table from the covariance of the kept parameters."""
        pos = self._positions()
        n_params = self.params_.shape[0]
        full = np.full((n_params, n_params), np.nan)
        full[np.ix_(pos, pos)] = cov
        self.cov_params_ = full
        self.bse_ = np.sqrt(np.diagonal(full))
        with np.errstate(divide="ignore", invalid="ignore"):
            self.tvalues_ = self.params_ / self.bse_
        self.pvalues_ = 2.0 * self._tail(np.abs(self.tvalues_))
        q = self.df_model_
        if q <= 0 or self.df_resid_ <= 0:
            self.fvalue_ = self.f_pvalue_ = math.nan
            return
        if self.cov_type == "nonrobust":
            with np.errstate(divide="ignore", invalid="ignore"):  # an exact fit: inf
                self.fvalue_ = float(np.float64(ess / q) / np.float64(self.ssr_ / self.df_resid_))
        else:  # the Wald test that every slope is 0, under the robust covariance
            s = pos[int(self.fit_intercept):]
            bs = self.params_[s]
            try:
                self.fvalue_ = float(bs @ linalg.solve(full[np.ix_(s, s)], bs, assume_a="sym") / q)
            except np.linalg.LinAlgError:  # no residual (an exact fit): no robust test
                self.fvalue_ = math.nan
        self.f_pvalue_ = float(special.fdtrc(q, self.df_resid_, self.fvalue_))

    def _tail(self, t: Float) -> Float:
        """P(T > t) for the t statistics' distribution: Student's t on df_resid
        degrees of freedom, the normal under a robust covariance (statsmodels' use_t
        default)."""
        if self.cov_type == "nonrobust":
            return np.asarray(special.stdtr(self.df_resid_, -t), dtype=np.float64)
        return np.asarray(special.ndtr(-t), dtype=np.float64)

    def _quantile(self, p: float) -> float:
        """The p quantile of the t statistics' distribution (see _tail)."""
        if self.cov_type == "nonrobust":
            return float(special.stdtrit(self.df_resid_, p))
        return float(special.ndtri(p))

    def conf_int(self, alpha: float = 0.05) -> NDArray[np.float64]:
        """Confidence intervals of the parameters (the intercept first).

        Parameters
        ----------
        alpha : float, default=0.05
            1 - the confidence level, in (0, 1).

        Returns
        -------
        intervals : ndarray of shape (n_params, 2)
            params_ -/+ q bse_, q the 1 - alpha/2 quantile of t on df_resid_ (of the
            normal under HC0 and HC1); NaN for aliased columns.

        Raises
        ------
        ValueError
            alpha outside (0, 1).
        """
        check_is_fitted(self)
        if not (isinstance(alpha, (int, float, np.floating)) and 0.0 < alpha < 1.0):
            raise ValueError(f"alpha must be a number in (0, 1), got {alpha!r}")
        q = self._quantile(1.0 - alpha / 2.0)
        return np.column_stack([self.params_ - q * self.bse_, self.params_ + q * self.bse_])

    def summary(self, alpha: float = 0.05) -> Any:
        """The coefficient table: one row per parameter (the intercept first).

        Parameters
        ----------
        alpha : float, default=0.05
            1 - the level of the confidence interval.

        Returns
        -------
        table : pandas.DataFrame, or a dict of columns when pandas is not installed
            Columns coef, std err, t, P>|t| and the interval's bounds (by default
            [0.025 and 0.975]), indexed by the feature names ("const" for the
            intercept); NaN but coef for aliased columns.
        """
        check_is_fitted(self)
        ci = self.conf_int(alpha)
        columns = {"coef": self.params_, "std err": self.bse_, "t": self.tvalues_,
                   "P>|t|": self.pvalues_, f"[{alpha / 2:g}": ci[:, 0], f"{1 - alpha / 2:g}]": ci[:, 1]}
        try:
            import pandas as pd
        except ImportError:  # pragma: no cover - pandas is optional
            return {"index": self._names(), **columns}
        return pd.DataFrame(columns, index=self._names())
