"""Solvers on the statistics: every one works on k-by-k matrices.

`lasso_path`, `enet_path`, `ridge`, `ols` and `rss` solve on the raw statistics, as
the in-memory kernels do on the data; `path` (and `ols(fit_intercept=True)`) fits
with an unpenalised intercept, weights and standardisation on the centred ones."""

from __future__ import annotations

import dataclasses
import math
import warnings
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
from numpy.typing import ArrayLike

from .._ckernels.regression import REGRESSION_RANK_DEFICIENT, _regression
from ._native import _f64, routines
from ._params import check_alphas, check_criterion, check_flag, check_int, check_l1_ratio, check_real
from ._records import F64, Unpacks, shown_names
from ._stats import FoldedStats, GramStats

__all__ = [
    "EnetPath",
    "LassoPath",
    "OLSFit",
    "PathFit",
    "RidgeFit",
    "enet_path",
    "lasso_path",
    "ols",
    "path",
    "ridge",
    "rss",
]


@dataclasses.dataclass(frozen=True, eq=False)
class LassoPath(Unpacks):
    """The knots of a LARS-lasso path: penalties, one row of coefficients per knot.
    Unpacks as ``(lam_path, beta_path, status)``."""

    _fields = ("lam_path", "beta_path", "status")
    lam_path: np.ndarray
    beta_path: np.ndarray
    status: int


@dataclasses.dataclass(frozen=True, eq=False)
class EnetPath(Unpacks):
    """An elastic-net path: one row of coefficients and one status per penalty.
    Unpacks as ``(coefs, statuses)``."""

    _fields = ("coefs", "statuses")
    coefs: np.ndarray
    statuses: np.ndarray


@dataclasses.dataclass(frozen=True, eq=False)
class RidgeFit(Unpacks):
    """The penalty a ridge grid search keeps, its coefficients and objective.
    Unpacks as ``(alpha, coef, objective, status)``."""

    _fields = ("alpha", "coef", "objective", "status")
    alpha: float
    coef: np.ndarray
    objective: float
    status: int


@dataclasses.dataclass(frozen=True, eq=False)
class OLSFit(Unpacks):
    """Least-squares coefficients, the Cholesky factor of the normal matrix, status,
    and `intercept` (0.0 without fit_intercept). Unpacks as ``(coef, L, status)``."""

    _fields = ("coef", "L", "status")
    coef: np.ndarray
    L: np.ndarray
    status: int
    intercept: float = 0.0


@dataclasses.dataclass(frozen=True, eq=False, repr=False)
class PathFit(Unpacks):
    """A penalty path with an intercept: per penalty (rows), the coefficients on the
    columns' own scale, the intercept, the degrees of freedom and the status; then the
    fraction of the deviance explained (glmnet's dev.ratio; None for the folds' own
    fits in cross-validation) and the columns' names (None unless the statistics came
    from named columns). Unpacks as ``(alphas, coef, intercept, dof, status)``; prints
    a summary (penalty, nonzero count, % deviance explained), as glmnet does."""

    _fields = ("alphas", "coef", "intercept", "dof", "status")
    alphas: np.ndarray     # (n_alphas,)
    coef: np.ndarray       # (n_alphas, k)
    intercept: np.ndarray  # (n_alphas,)
    dof: np.ndarray        # (n_alphas,)
    status: np.ndarray     # (n_alphas,) int64
    dev_ratio: np.ndarray | None = None  # (n_alphas,)
    names: tuple[Any, ...] | None = None  # (k,)

    def __repr__(self) -> str:
        n_a, k = self.coef.shape
        head = f"PathFit: {n_a} penalt{'y' if n_a == 1 else 'ies'}, {k} column{'s' * (k != 1)}"
        if self.names is not None:
            head += f" ({shown_names(self.names)})"
        rows = sorted({round(i) for i in np.linspace(0, n_a - 1, min(n_a, 9)).tolist()})
        lines = [head, f"  {'index':>5} {'alpha':>11} {'nonzero':>7} {'%dev':>7} {'status':>6}"]
        for i in rows:
            dev = "" if self.dev_ratio is None else f"{100 * self.dev_ratio[i]:.2f}"
            lines.append(f"  {i:5d} {self.alphas[i]:11.4g} {np.count_nonzero(self.coef[i]):7d} "
                         f"{dev:>7} {int(self.status[i]):6d}")
        if len(rows) < n_a:
            lines.append(f"  ({len(rows)} of {n_a} penalties shown)")
        return "\n".join(lines)


def _nonfinite_columns(stats: Any) -> tuple[list[int], bool]:
    """(columns of X, whether y) whose statistics hold a NaN or an infinity, raw or
    centred. A column with a NaN or infinity spoils its whole row of X'X and its entry
    of X'y, and y all of X'y: other entries name their columns only when these explain
    nothing (products that overflow where the squares do not)."""
    bad_y, bad_x = False, np.zeros(np.shape(stats.c)[0], dtype=bool)
    sets = [(stats.G, stats.c, stats.yy)]
    if stats.centred:
        sets.append((stats.Gc, stats.cc, stats.yyc))
        bad_x |= ~np.isfinite(stats.x_mean) | ~np.isfinite(stats.resid[:-1])
        bad_y |= not (math.isfinite(stats.y_mean) and math.isfinite(stats.resid[-1])
                      and math.isfinite(stats.sw))
    for G, c, yy in sets:
        G, c = np.asarray(G), np.asarray(c)
        bad_y |= not math.isfinite(yy)
        bad_x |= ~np.isfinite(np.diagonal(G))
    for G, c, _ in sets:
        G, c = np.asarray(G), np.asarray(c)
        rows, cols = np.nonzero(~np.isfinite(G) & ~bad_x[:, None] & ~bad_x[None, :])
        bad_x[rows] = bad_x[cols] = True
        if not bad_y:
            bad_x |= ~np.isfinite(c)
    return np.flatnonzero(bad_x).tolist(), bad_y


def _check_stats(stats: Any, centred: bool = False) -> None:
    """stats a GramStats of consistent shapes and finite entries (and with the centred
    statistics when `centred`)."""
    if not isinstance(stats, GramStats):
        hint = " (its .total, or .train(f))" if isinstance(stats, FoldedStats) else ""
        raise TypeError(f"stats must be a GramStats record{hint}, got {type(stats).__name__}")
    if stats.n < 1:
        raise ValueError("the statistics hold no rows")
    k = np.shape(stats.c)[0] if np.ndim(stats.c) == 1 else -1
    if k < 0 or np.shape(stats.G) != (k, k):
        raise ValueError(f"stats.G must be k by k and stats.c of length k, got "
                         f"{np.shape(stats.G)} and {np.shape(stats.c)}")
    if stats.centred:
        full: Any = stats  # its centred fields are all set
        shapes = (np.shape(full.Gc), np.shape(full.cc), np.shape(full.x_mean), np.shape(full.resid))
        if shapes != ((k, k), (k,), (k,), (k + 1,)):
            raise ValueError(f"the centred statistics must have the shapes of G and c, got {shapes}")
        if not full.sw > 0.0:
            raise ValueError(f"the statistics' weights must sum to a positive number, got {full.sw!r}")
    elif centred:
        raise ValueError("these statistics lack the weights' sum, the means and the centred "
                         "co-moments that a fit with an intercept or standardisation needs: "
                         "form them with gram_stats")
    columns, y = _nonfinite_columns(stats)
    if columns or y:
        where = " and ".join(
            ([f"X column{'s' if len(columns) > 1 else ''} {', '.join(map(str, columns))}"] if columns else [])
            + (["y"] if y else []))
        raise ValueError(
            f"the statistics are not finite for {where}: the data hold NaN or infinite values "
            "there, or values whose squares overflow (gram_stats with check_finite=True "
            "refuses the former)")


def _scaled(stats: GramStats) -> tuple[F64, F64]:
    """G / sw and c / sw (true divisions, as the in-memory kernels scale by n; sw, the
    sum of the weights, is n without weights)."""
    _check_stats(stats)
    sw = _weight_sum(stats)
    return stats.G / sw, stats.c / sw


def _weight_sum(stats: Any) -> float:
    return float(stats.sw if stats.centred else stats.n)


def _renamed(value: Any, old_value: Any, name: str, old_name: str, default: Any) -> Any:
    """A setting given by its name or its former name (not both), else its default."""
    if old_value is not None:
        if value is not None:
            raise TypeError(f"give {name} or its former name {old_name}, not both")
        return old_value
    return default if value is None else value


def _settings(max_iter: object, tol: object) -> tuple[int, float]:
    return check_int(max_iter, "max_iter", 1), check_real(tol, "tol", 0.0)


def rss(stats: GramStats, coef: ArrayLike, *, fit_intercept: bool = False) -> float:
    """Residual sum of squares of a coefficient vector from the statistics alone.

    The weighted sum sum w (y - b0 - x'b)^2, with b0 = 0 unless fit_intercept.
    Without fit_intercept, rss = (yy - 2 b'c) + b'Gb, with b'c and b'(Gb) summed by
    the native routines; with it, from the centred statistics,
    ((yyc - 2 b'cc) + b'Gc b) + sw (mu_y - b0 - mu_x'b)^2, mu the exact means.

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows (centred ones with fit_intercept).
    coef : array_like of shape (k,), or (k + 1,) with fit_intercept
        The coefficients; with fit_intercept the intercept first, as
        ``[fit.intercept, *fit.coef]``.
    fit_intercept : bool, default False
        Whether coef begins with an intercept.

    Returns
    -------
    float
        The residual sum of squares. The terms cancel, so its error is a few units in
        the last place of yy + 2 |b|'|c| + |b|'|G||b| (below 1e-15 of them measured),
        not of rss: about 1e-15 * yy / rss relative for centred columns. Columns of
        large mean beside an intercept make the raw terms far larger than yy: give the
        intercept with fit_intercept=True for an accurate rss. For an almost exact fit
        the value is rounding noise and can be negative.

    Raises
    ------
    TypeError
        stats is not a GramStats, or fit_intercept not a bool.
    ValueError
        coef of the wrong shape, statistics that are not finite, or (fit_intercept)
        statistics without their centred part.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> fit = tall.ols(stats, fit_intercept=True)
    >>> round(tall.rss(stats, [fit.intercept, *fit.coef], fit_intercept=True), 2)
    10.1
    """
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    _check_stats(stats, centred=fit_intercept)
    coef = _f64(coef)
    k = stats.c.shape[0]
    if fit_intercept:
        if coef.shape != (k + 1,):
            raise ValueError(f"coef must have shape ({k + 1},), the intercept first, with "
                             f"fit_intercept=True; got {coef.shape}")
        return _centred_rss(stats, float(coef[0]), _f64(coef[1:]))
    if coef.shape != (k,):
        raise ValueError(f"coef must have shape ({k},), got {coef.shape}")
    Gb = routines.matvec(_f64(stats.G), coef)
    bc = routines.dot(coef, _f64(stats.c))
    return float((stats.yy - 2.0 * bc) + routines.dot(coef, Gb))


def _centred_rss(stats: Any, b0: float, b: F64) -> float:
    """sum w (y - b0 - x'b)^2 from the centred statistics (see rss)."""
    k = b.shape[0]
    mu = np.append(stats.x_mean, stats.y_mean) + stats.resid / stats.sw
    Gb = routines.matvec(_f64(stats.Gc), b)
    off = (float(mu[k]) - b0) - routines.dot(_f64(mu[:k]), b)
    bc = routines.dot(b, _f64(stats.cc))
    return float(((stats.yyc - 2.0 * bc) + routines.dot(b, Gb)) + stats.sw * (off * off))


# From this many variables on, the path that updates the Cholesky factor of its active
# block (lars_lasso_gram_update, O(k^2) a knot) is faster than lars_lasso_gram, which
# eliminates the block afresh (O(k^3) a knot); the same knots to rounding. Below it
# both take the few microseconds of the call itself (docs/benchmarks.md).
LARS_UPDATE_FROM = 8


def lasso_path(stats: GramStats, max_iter: int, tol: float) -> LassoPath:
    """The LARS-lasso path of the kernel lars_lasso_gram on G / sw and c / sw, by its
    updating form (lars_lasso_gram_update) from LARS_UPDATE_FROM variables on.

    No intercept, as the kernel solves; penalties on the scale of the mean squared
    error (sw, the weights' sum, is n without weights).

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows.
    max_iter : int
        The most steps of the path, >= 1.
    tol : float
        The kernel's tolerance, finite and >= 0.

    Returns
    -------
    LassoPath
        ``(lam_path, beta_path, status)``: the knots' penalties, one row of
        coefficients per knot, and the kernel's status.

    Raises
    ------
    TypeError, ValueError
        A setting of the wrong type or out of range (named), statistics that are
        not finite.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> lam, beta, status = tall.lasso_path(stats, 100, 0.0)
    >>> beta[-1].round(2), status
    (array([ 1.89,  0.03, -1.02]), 0)
    """
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    solve = (routines.lars_lasso_gram_update if cs.shape[0] >= LARS_UPDATE_FROM
             else _regression.lars_lasso_gram)
    return LassoPath(*solve(Gs, cs, max_iter, tol))


def enet_path(stats: GramStats, alphas: ArrayLike, l1_ratio: float, max_iter: int = 1000,
              tol: float = 1e-10) -> EnetPath:
    """The warm-started elastic-net path of the kernel elastic_net_gram_cd_path on
    G / sw and c / sw (no intercept, as the kernel solves).

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows.
    alphas : array_like of shape (n_alphas,)
        Finite penalties >= 0, solved in the order given.
    l1_ratio : float
        The lasso's share of the penalty, in [0, 1].
    max_iter : int, default 1000
        Coordinate-descent sweeps per penalty, >= 1. (`path` and `cross_validate`
        default to 10000; this default is kept, since a path that needs more sweeps
        would change its results.)
    tol : float, default 1e-10
        The kernel's tolerance, finite and >= 0.

    Returns
    -------
    EnetPath
        ``(coefs, statuses)``: one row of coefficients and one status per penalty.

    Raises
    ------
    TypeError, ValueError
        A setting of the wrong type or out of range (named), statistics that are
        not finite.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> coefs, statuses = tall.enet_path(stats, [1.0, 0.01], 0.5)
    >>> coefs.round(2), statuses
    (array([[ 0.92,  0.  , -0.37],
           [ 1.88,  0.03, -1.01]]), array([0, 0]))
    """
    alphas, l1_ratio = check_alphas(alphas), check_l1_ratio(l1_ratio)
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    return EnetPath(*_regression.elastic_net_gram_cd_path(Gs, cs, alphas, l1_ratio, max_iter, tol))


def _chol_solve(A: F64, b: F64) -> tuple[F64, F64, int]:
    """Cholesky factor of A and the solution of A x = b by qdl_chol_solve (qdl_chol
    with no jitter, forward then transposed backward substitution, as the kernels
    solve). Returns (x, L, status); x is NaN when the factorisation fails."""
    x, L, status = routines.chol_solve(A, b)
    return x, L, REGRESSION_RANK_DEFICIENT if status != 0 else 0


def ridge(stats: GramStats, alphas: ArrayLike, criterion: str | int = "aic",
          fit_intercept: bool | None = None, *, intercept: bool | None = None) -> RidgeFit:
    """Ridge over a grid of penalties, scored and selected as the kernel
    ridge_grid_search does, from the statistics, in one native call.

    For each penalty in order, (G/sw + alpha D) coef = c/sw by Cholesky (D = I, without
    column 0 with fit_intercept), its effective degrees of freedom, and the residual
    sum of squares of `rss` in place of the residuals of the raw data; AIC and BIC
    count sw (the weights' sum, n without weights) as the number of observations. The
    first penalty is kept unless a later one has a strictly smaller objective; a
    penalty whose matrix does not factor scores +inf with status -1.

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows.
    alphas : array_like of shape (n_alphas,)
        Finite penalties >= 0.
    criterion : {'aic', 'bic', 'rss'} or {1, 2, 3}, default 'aic'
        The score (by name, or the kernel's code).
    fit_intercept : bool, default False
        Whether column 0 of the statistics is the intercept's column of ones, left
        unpenalised (the kernel's `intercept`; X must then hold that column).
    intercept : bool, optional
        The former name of fit_intercept, still accepted.

    Returns
    -------
    RidgeFit
        ``(alpha, coef, objective, status)`` in the order of ridge_grid_search. The
        objective differs from the in-memory one only through rss (see `rss`).

    Raises
    ------
    TypeError, ValueError
        A setting of the wrong type or out of range (named; a criterion other than
        those above), both fit_intercept and intercept given, statistics that are
        not finite.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> fit = tall.ridge(stats, [10.0, 1.0, 0.1], "bic")
    >>> fit.alpha, fit.status
    (0.1, 0)
    """
    fit_intercept = _renamed(fit_intercept, intercept, "fit_intercept", "intercept", False)
    alphas, criterion = check_alphas(alphas), check_criterion(criterion)
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    _check_stats(stats)
    return RidgeFit(*routines.ridge_grid_search_gram(_f64(stats.G), _f64(stats.c), float(stats.yy),
                                                     _weight_sum(stats), alphas, criterion,
                                                     int(fit_intercept)))


def ols(stats: GramStats, *, fit_intercept: bool = False) -> OLSFit:
    """Ordinary least squares from the statistics, as the kernel ols_chol_solve
    computes it on the data.

    The default fits NO intercept, like that kernel (`path` and `cross_validate` fit
    one by default): G coef = c by the Cholesky factor L of G (unscaled). With
    fit_intercept=True, Gc coef = cc (the centred, weighted statistics) and the
    intercept is y_mean - x_mean' coef: weighted least squares with an intercept.

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows (centred ones with fit_intercept).
    fit_intercept : bool, default False
        Whether to fit an intercept.

    Returns
    -------
    OLSFit
        ``(coef, L, status)``, and `.intercept` (0.0 without fit_intercept). On status
        -1 (REGRESSION_RANK_DEFICIENT: collinear columns, or a constant one beside the
        intercept) coef and the intercept are NaN and L is empty (0, 0).

    Raises
    ------
    TypeError, ValueError
        stats not a GramStats, statistics that are not finite, fit_intercept without
        centred statistics.

    Warns
    -----
    RuntimeWarning
        When the status is -1, naming it.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> fit = tall.ols(stats, fit_intercept=True)
    >>> fit.coef.round(2), round(fit.intercept, 2), fit.status
    (array([ 1.99,  0.01, -1.  ]), 1.0, 0)
    >>> coef, L, status = tall.ols(stats)  # no intercept: the kernel's model
    """
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    _check_stats(stats, centred=fit_intercept)
    G, c = (stats.Gc, stats.cc) if fit_intercept else (stats.G, stats.c)
    coef, L, status = _chol_solve(_f64(G), _f64(c))
    intercept = float(_intercepts(stats, coef[None, :])[0]) if fit_intercept else 0.0
    if status == REGRESSION_RANK_DEFICIENT:
        warnings.warn(f"tall.ols: status {status} (REGRESSION_RANK_DEFICIENT): the normal "
                      "matrix is not positive definite (collinear columns"
                      f"{', or a constant one beside the intercept' if fit_intercept else ''}); "
                      "the coefficients are NaN", RuntimeWarning, stacklevel=2)
        L = np.empty((0, 0))
    return OLSFit(coef, L, status, intercept)


def _explained(stats: Any, fit: PathFit, fit_intercept: bool) -> F64:
    """glmnet's dev.ratio of each penalty: 1 - rss / the null model's (y's weighted
    sum of squares about its mean with an intercept, about 0 without)."""
    if fit_intercept:
        null = stats.yyc
        dev = [_centred_rss(stats, float(b0), _f64(b)) for b0, b in zip(fit.intercept, fit.coef)]
    else:
        null = stats.yy
        dev = [rss(stats, b) for b in fit.coef]
    return np.array([1.0 - d / null if null > 0.0 else math.nan for d in dev])


# ---------------------------------------------------------------------------
# Fits with an intercept, weights and standardisation.
# ---------------------------------------------------------------------------
EPS = np.finfo(np.float64).eps


class _Problem(NamedTuple):
    """The penalised problem on the kept columns: minimise
    b'Ab / 2 - g'b + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)."""

    A: np.ndarray      # (kk, kk)
    g: np.ndarray      # (kk,)
    keep: np.ndarray   # (kk,) indices of the columns solved for
    scale: np.ndarray | None  # (kk,) the columns' scales (standardize), or None


def _problem(stats: Any, fit_intercept: bool, standardize: bool) -> _Problem:
    """The problem of `path` on the statistics.

    With fit_intercept, A = Gc / sw and g = cc / sw (the intercept, unpenalised, is
    then y_mean - x_mean'b); without, A = G / sw and g = c / sw (true divisions). With
    standardize, column j is scaled to unit weighted variance, s_j = sqrt(Gc_jj / sw):
    A_ij / (s_i s_j), g_j / s_j, and b_j = b'_j / s_j on return. A column whose
    weighted variance is at most (8 eps mean)^2 (rounding of a constant column) is
    constant: with an intercept or under standardize it is left out, coefficient 0."""
    _check_stats(stats, centred=fit_intercept or standardize)
    sw = _weight_sum(stats)
    A, g = (stats.Gc / sw, stats.cc / sw) if fit_intercept else (stats.G / sw, stats.c / sw)
    keep = np.arange(g.shape[0])
    scale = None
    if fit_intercept or standardize:
        variance = np.diagonal(stats.Gc) / sw
        keep = np.flatnonzero(variance > (8.0 * EPS * np.asarray(stats.x_mean)) ** 2)
        A, g = A[np.ix_(keep, keep)], g[keep]
        if standardize:
            scale = np.sqrt(variance[keep])
            A, g = A / np.outer(scale, scale), g / scale
    return _Problem(np.ascontiguousarray(A), np.ascontiguousarray(g), keep, scale)


def _default_alphas(problem: _Problem, l1_ratio: float, n_alphas: int, eps: float) -> F64:
    """alpha_max * eps ** (i / (n_alphas - 1)), i = 0 .. n_alphas - 1 (math.pow), with
    alpha_max = max |g_j| / l1_ratio, the smallest penalty that keeps every coefficient
    at 0 (for l1_ratio below 1e-3, computed at 1e-3 as glmnet does). A problem with
    alpha_max below float64's resolution (nothing to fit) gets that resolution, as
    scikit-learn's grid does."""
    top = float(np.max(np.abs(problem.g), initial=0.0)) / max(l1_ratio, 1e-3)
    resolution = float(np.finfo(np.float64).resolution)
    if top <= resolution:
        return np.full(n_alphas, resolution)
    if n_alphas == 1:
        return np.array([top])
    return np.array([top * math.pow(eps, i / (n_alphas - 1)) for i in range(n_alphas)])


def _intercepts(stats: Any, coefs: F64) -> F64:
    """y_mean - x_mean' b for each row b of coefs, the dot products by qdl_matvec
    (each summed over the columns in ascending order)."""
    out: F64 = stats.y_mean - routines.matvec(_f64(coefs), _f64(stats.x_mean))
    return out


def _solve(problem: _Problem, alphas: F64, l1_ratio: float, max_iter: int,
           tol: float) -> tuple[F64, F64, npt.NDArray[np.int64]]:
    """Coefficients (n_alphas, kk), degrees of freedom and statuses of the problem.
    l1_ratio 0: (A + alpha I) b = g by Cholesky, dof = trace((A + alpha I)^-1 A);
    otherwise the warm-started coordinate-descent path of elastic_net_gram_cd_path,
    dof the count of nonzero coefficients (lasso) or the active-set dof."""
    A, g = problem.A, problem.g
    kk, n_a = g.shape[0], alphas.shape[0]
    dof = np.zeros(n_a)
    if kk == 0:
        return np.zeros((n_a, 0)), dof, np.zeros(n_a, dtype=np.int64)
    if l1_ratio == 0.0:
        coefs, status = np.empty((n_a, kk)), np.zeros(n_a, dtype=np.int64)
        for i, alpha in enumerate(alphas.tolist()):
            penalised = A.copy()
            penalised[np.diag_indices(kk)] += alpha
            coefs[i], _, status[i] = _chol_solve(penalised, g)
            dof[i] = (math.nan if status[i] else
                      _regression.elastic_net_active_dof(A, coefs[i], alpha, False, -math.inf))
        return coefs, dof, status
    coefs, status = _regression.elastic_net_gram_cd_path(A, g, alphas, l1_ratio, max_iter, tol)
    for i, alpha in enumerate(alphas.tolist()):
        dof[i] = (np.count_nonzero(coefs[i]) if l1_ratio == 1.0 else
                  _regression.elastic_net_active_dof(A, coefs[i], alpha * (1.0 - l1_ratio), False, 0.0))
    return coefs, dof, status


def _fit(stats: GramStats, problem: _Problem, alphas: F64, l1_ratio: float, fit_intercept: bool,
         max_iter: int, tol: float) -> PathFit:
    """The PathFit of a problem of `stats` at the given (checked) settings."""
    coefs, dof, status = _solve(problem, alphas, l1_ratio, max_iter, tol)
    coef = np.zeros((alphas.shape[0], np.shape(stats.c)[0]))
    coef[:, problem.keep] = coefs if problem.scale is None else coefs / problem.scale
    intercept = _intercepts(stats, coef) if fit_intercept else np.zeros(alphas.shape[0])
    return PathFit(alphas, coef, intercept, dof, status, names=stats.names)


def _described(stats: GramStats, fit: PathFit, fit_intercept: bool) -> PathFit:
    """The fit with its fraction of deviance explained (for the fits a user sees)."""
    return dataclasses.replace(fit, dev_ratio=_explained(stats, fit, fit_intercept))


def _path_settings(alphas: Any, l1_ratio: object, fit_intercept: object, standardize: object,
                   n_alphas: object, eps: object, tol: object,
                   max_iter: object) -> tuple[F64 | None, float, bool, bool, int, float, int, float]:
    return (None if alphas is None else check_alphas(alphas), check_l1_ratio(l1_ratio),
            check_flag(fit_intercept, "fit_intercept"), check_flag(standardize, "standardize"),
            check_int(n_alphas, "n_alphas", 1), _check_eps(eps), *_settings(max_iter, tol))


def _check_eps(eps: object) -> float:
    eps = check_real(eps, "eps", 0.0, 1.0)
    if eps == 0.0:
        raise ValueError("eps must be a finite number in (0, 1], got 0.0")
    return eps


def path(stats: GramStats, alphas: ArrayLike | None = None, l1_ratio: float = 1.0, *,
         fit_intercept: bool = True, standardize: bool = False, n_alphas: int = 100,
         eps: float = 1e-3, tol: float = 1e-10, max_iter: int = 10000) -> PathFit:
    """The lasso, elastic-net or ridge path of a weighted fit with an intercept.

    Minimises, for each penalty alpha, as glmnet and scikit-learn's ElasticNet,

        (1 / (2 sw)) sum w (y - b0 - x'b)^2 + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)

    with the intercept b0 unpenalised (0 without fit_intercept), from the centred
    statistics: the solvers run on Gc / sw and cc / sw, and b0 = y_mean - x_mean'b.
    l1_ratio above 0 is solved by the warm-started coordinate descent of the kernel
    elastic_net_gram_cd_path, 0 (ridge) exactly by Cholesky. A constant column gets
    coefficient 0.

    Parameters
    ----------
    stats : GramStats
        The statistics of the rows (centred ones with fit_intercept or standardize).
    alphas : array_like of shape (n_alphas,), optional
        Finite penalties >= 0, solved in the order given. None: n_alphas penalties
        log-spaced from alpha_max, the smallest with every coefficient 0, down to
        eps * alpha_max (for l1_ratio 0, alpha_max as for 1e-3, glmnet's rule).
    l1_ratio : float, default 1.0
        The lasso's share of the penalty, in [0, 1].
    fit_intercept : bool, default True
        Whether to fit an unpenalised intercept.
    standardize : bool, default False
        Penalise the coefficients of the columns scaled to unit weighted variance and
        return them on the columns' own scale (glmnet's standardize = TRUE; y is not
        scaled: the objective above is the contract).
    n_alphas : int, default 100
        The number of penalties of the default grid.
    eps : float, default 1e-3
        The default grid's smallest penalty, relative to alpha_max, in (0, 1].
    tol : float, default 1e-10
        Coordinate descent's tolerance, finite and >= 0.
    max_iter : int, default 10000
        Coordinate-descent sweeps per penalty, >= 1.

    Returns
    -------
    PathFit
        ``(alphas, coef, intercept, dof, status)``: per penalty the coefficients, the
        intercept, the degrees of freedom (nonzero coefficients for the lasso, the
        active-set dof for the elastic net, the trace of the hat matrix for ridge, the
        intercept not counted) and the status (0; -1 ridge matrix not positive
        definite, NaN coefficients; -2 coordinate descent out of iterations); and
        `dev_ratio`, the fraction of the deviance explained, and `names`, the columns'
        names when the statistics came from a Source. Printed, it shows a summary.

    Raises
    ------
    TypeError, ValueError
        A setting of the wrong type or out of range (named), statistics that are not
        finite or lack the centred part the settings need.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((1000, 3))
    >>> y = 1.0 + X @ [2.0, 0.0, -1.0] + 0.1 * rng.standard_normal(1000)
    >>> stats = tall.gram_stats(X, y)
    >>> fit = tall.path(stats, [1.0, 0.1, 0.01])
    >>> fit.coef.round(2)
    array([[ 0.98,  0.  , -0.05],
           [ 1.89,  0.  , -0.9 ],
           [ 1.98,  0.  , -0.99]])
    >>> fit.intercept.round(2), fit.dev_ratio.round(3)
    (array([0.93, 1.  , 1.  ]), array([0.604, 0.994, 0.998]))
    """
    alphas, l1_ratio, fit_intercept, standardize, n_alphas, eps, max_iter, tol = _path_settings(
        alphas, l1_ratio, fit_intercept, standardize, n_alphas, eps, tol, max_iter)
    problem = _problem(stats, fit_intercept, standardize)
    if alphas is None:
        alphas = _default_alphas(problem, l1_ratio, n_alphas, eps)
    return _described(stats, _fit(stats, problem, alphas, l1_ratio, fit_intercept, max_iter, tol),
                      fit_intercept)
