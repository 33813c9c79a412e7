"""Solvers on the statistics: every one works on k-by-k matrices.

`lasso_path`, `enet_path`, `ridge`, `ols` and `rss` solve on the raw statistics, as
the in-memory kernels do on the data; `path` (and `ols(fit_intercept=True)`) fits
with an unpenalised intercept, weights and standardisation on the centred ones."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np

from .._ckernels.regression import REGRESSION_CRIT_AIC, REGRESSION_CRIT_LOSS, REGRESSION_RANK_DEFICIENT, _regression
from ._native import _f64, routines
from ._params import check_alphas, check_criterion, check_flag, check_int, check_l1_ratio, check_real
from ._stats import FoldedStats, GramStats

__all__ = ["lasso_path", "enet_path", "ridge", "ols", "rss", "path",
           "LassoPath", "EnetPath", "RidgeFit", "OLSFit", "PathFit"]


class LassoPath(NamedTuple):
    """The knots of a LARS-lasso path: penalties, one row of coefficients per knot."""

    lam_path: np.ndarray
    beta_path: np.ndarray
    status: int


class EnetPath(NamedTuple):
    """An elastic-net path: one row of coefficients and one status per penalty."""

    coefs: np.ndarray
    statuses: np.ndarray


class RidgeFit(NamedTuple):
    """The penalty a ridge grid search keeps, its coefficients and objective."""

    alpha: float
    coef: np.ndarray
    objective: float
    status: int


class _OLSTuple(NamedTuple):
    coef: np.ndarray
    L: np.ndarray
    status: int


class OLSFit(_OLSTuple):
    """Least-squares coefficients, the Cholesky factor of the normal matrix, status;
    and `intercept` (0.0 without fit_intercept), outside the tuple, which unpacks as
    (coef, L, status)."""

    intercept = 0.0

    @classmethod
    def _with(cls, coef, L, status, intercept):
        fit = cls(coef, L, status)
        fit.intercept = intercept
        return fit


class PathFit(NamedTuple):
    """A penalty path with an intercept: per penalty (rows), the coefficients on the
    columns' own scale, the intercept, the degrees of freedom and the status."""

    alphas: np.ndarray     # (n_alphas,)
    coef: np.ndarray       # (n_alphas, k)
    intercept: np.ndarray  # (n_alphas,)
    dof: np.ndarray        # (n_alphas,)
    status: np.ndarray     # (n_alphas,) int64


def _nonfinite_columns(stats):
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
    for G, c, yy in sets:
        G, c = np.asarray(G), np.asarray(c)
        rows, cols = np.nonzero(~np.isfinite(G) & ~bad_x[:, None] & ~bad_x[None, :])
        bad_x[rows] = bad_x[cols] = True
        if not bad_y:
            bad_x |= ~np.isfinite(c)
    return np.flatnonzero(bad_x).tolist(), bad_y


def _check_stats(stats, centred=False):
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
        shapes = (np.shape(stats.Gc), np.shape(stats.cc), np.shape(stats.x_mean), np.shape(stats.resid))
        if shapes != ((k, k), (k,), (k,), (k + 1,)):
            raise ValueError(f"the centred statistics must have the shapes of G and c, got {shapes}")
        if not stats.sw > 0.0:
            raise ValueError(f"the statistics' weights must sum to a positive number, got {stats.sw!r}")
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


def _scaled(stats):
    """G / sw and c / sw (true divisions, as the in-memory kernels scale by n; sw, the
    sum of the weights, is n without weights)."""
    _check_stats(stats)
    sw = _weight_sum(stats)
    return stats.G / sw, stats.c / sw


def _weight_sum(stats):
    return float(stats.sw if stats.centred else stats.n)


def _settings(max_iter, tol):
    return check_int(max_iter, "max_iter", 1), check_real(tol, "tol", 0.0)


def rss(stats, coef):
    """Residual sum of squares of coef from the statistics alone:
    rss = (yy - 2 b'c) + b'Gb, with b'c and b'(Gb) summed by the native routines.

    Accuracy: the terms cancel, so the error is a few units in the last place of the
    terms, yy + 2 |b|'|c| + |b|'|G||b|, not of rss: below 1e-15 of them in our
    measurements against the residuals summed from the raw data (1e-14 is tested).
    For centred columns the terms are about yy, so the relative error is about
    1e-15 * yy / rss: 1e-15 for a noisy fit, 1e-9 when rss is 1e-6 of yy. Columns of
    large mean beside an intercept make the terms far larger than yy (by (mean /
    spread)^2): centre them for an accurate rss. For an almost exact fit the value
    is rounding noise and can be negative (AIC and BIC then give -inf, as for an
    exact fit)."""
    _check_stats(stats)
    coef = _f64(coef)
    k = stats.c.shape[0]
    if coef.shape != (k,):
        raise ValueError(f"coef must have shape ({k},), got {coef.shape}")
    Gb = routines.matvec(_f64(stats.G), coef)
    bc = routines.dot(coef, _f64(stats.c))
    return (stats.yy - 2.0 * bc) + routines.dot(coef, Gb)


def lasso_path(stats, max_iter, tol):
    """The LARS-lasso path of lars_lasso_gram on G / sw and c / sw (penalties on the
    scale of the mean squared error; sw = n without weights). max_iter: an int >= 1, tol: a finite number
    >= 0. Returns ``LassoPath(lam_path, beta_path, status)``."""
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    return LassoPath(*_regression.lars_lasso_gram(Gs, cs, max_iter, tol))


def enet_path(stats, alphas, l1_ratio, max_iter=1000, tol=1e-10):
    """The warm-started elastic-net path of elastic_net_gram_cd_path on G / sw and
    c / sw. alphas: finite penalties >= 0; l1_ratio in [0, 1]. Returns
    ``EnetPath(coefs, statuses)``, one row and one status per penalty."""
    alphas, l1_ratio = check_alphas(alphas), check_l1_ratio(l1_ratio)
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    return EnetPath(*_regression.elastic_net_gram_cd_path(Gs, cs, alphas, l1_ratio, max_iter, tol))


def _chol_solve(A, b):
    """Cholesky factor of A and the solution of A x = b by qdl_chol_solve (qdl_chol
    with no jitter, forward then transposed backward substitution, as the kernels
    solve). Returns (x, L, status); x is NaN when the factorisation fails."""
    x, L, status = routines.chol_solve(A, b)
    return x, L, REGRESSION_RANK_DEFICIENT if status != 0 else 0


def ridge(stats, alphas, criterion, intercept):
    """Ridge over a grid of penalties, scored and selected as ridge_grid_search does,
    from the statistics, in one native call (qdl_ridge_grid_search_gram): for each
    penalty in order, (G/sw + alpha D) coef = c/sw by Cholesky (D = I, without the
    intercept column 0 when `intercept`), its effective degrees of freedom, and the
    residual sum of squares of `rss` in place of the residuals of the raw data; AIC and
    BIC count sw (the weights' sum, n without weights) as the number of observations.
    criterion: 'aic', 'bic' or 'rss', or their codes 1, 2, 3; alphas: finite
    penalties >= 0; intercept: True or False. The first penalty is kept unless a
    later one has a strictly smaller objective; a penalty whose matrix does not factor
    scores +inf with status -1 and NaN coefficients.

    Returns ``RidgeFit(alpha, coef, objective, status)``, in the order of
    ridge_grid_search. The objective differs from the in-memory one only through rss
    (see its accuracy there)."""
    alphas, criterion = check_alphas(alphas), check_criterion(criterion)
    intercept = check_flag(intercept, "intercept")
    _check_stats(stats)
    return RidgeFit(*routines.ridge_grid_search_gram(_f64(stats.G), _f64(stats.c), float(stats.yy),
                                                     _weight_sum(stats), alphas, criterion, intercept))


def ols(stats, *, fit_intercept=False):
    """Ordinary least squares from the statistics, as ols_chol_solve computes it on
    the data: G coef = c by the Cholesky factor L of G (unscaled). With
    fit_intercept, Gc coef = cc (the centred, weighted statistics) and the intercept
    y_mean - x_mean' coef. Returns ``OLSFit(coef, L, status)`` with `.intercept`; on
    status -1 coef (and the intercept) are NaN and L empty (0, 0)."""
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    _check_stats(stats, centred=fit_intercept)
    G, c = (stats.Gc, stats.cc) if fit_intercept else (stats.G, stats.c)
    coef, L, status = _chol_solve(_f64(G), _f64(c))
    intercept = float(_intercepts(stats, coef[None, :])[0]) if fit_intercept else 0.0
    return OLSFit._with(coef, (np.empty((0, 0)) if status == REGRESSION_RANK_DEFICIENT else L),
                        status, intercept)


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
    scale: np.ndarray  # (kk,) the columns' scales (standardize), or None


def _problem(stats, fit_intercept, standardize):
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


def _default_alphas(problem, l1_ratio, n_alphas, eps):
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


def _intercepts(stats, coefs):
    """y_mean - x_mean' b for each row b of coefs, the dot products by qdl_matvec
    (each summed over the columns in ascending order)."""
    return stats.y_mean - routines.matvec(_f64(coefs), _f64(stats.x_mean))


def _solve(problem, alphas, l1_ratio, max_iter, tol):
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


def _fit(stats, problem, alphas, l1_ratio, fit_intercept, max_iter, tol):
    """The PathFit of a problem of `stats` at the given (checked) settings."""
    coefs, dof, status = _solve(problem, alphas, l1_ratio, max_iter, tol)
    coef = np.zeros((alphas.shape[0], np.shape(stats.c)[0]))
    coef[:, problem.keep] = coefs if problem.scale is None else coefs / problem.scale
    intercept = _intercepts(stats, coef) if fit_intercept else np.zeros(alphas.shape[0])
    return PathFit(alphas, coef, intercept, dof, status)


def _path_settings(alphas, l1_ratio, fit_intercept, standardize, n_alphas, eps, tol, max_iter):
    return (None if alphas is None else check_alphas(alphas), check_l1_ratio(l1_ratio),
            check_flag(fit_intercept, "fit_intercept"), check_flag(standardize, "standardize"),
            check_int(n_alphas, "n_alphas", 1), _check_eps(eps), *_settings(max_iter, tol))


def _check_eps(eps):
    eps = check_real(eps, "eps", 0.0, 1.0)
    if eps == 0.0:
        raise ValueError("eps must be a finite number in (0, 1], got 0.0")
    return eps


def path(stats, alphas=None, l1_ratio=1.0, *, fit_intercept=True, standardize=False,
         n_alphas=100, eps=1e-3, tol=1e-10, max_iter=10000):
    """The lasso, elastic-net or ridge path of a weighted fit with an intercept.

    Minimises, for each penalty alpha, as glmnet and scikit-learn's ElasticNet,

        (1 / (2 sw)) sum w (y - b0 - x'b)^2 + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)

    with the intercept b0 unpenalised (fit_intercept; 0 without), from the centred
    statistics: the solvers run on Gc / sw and cc / sw, and b0 = y_mean - x_mean'b.
    standardize penalises the coefficients of the columns scaled to unit weighted
    variance and returns them on the columns' own scale (glmnet's standardize = TRUE,
    but y is not scaled: the objective above is the contract). A constant column gets
    coefficient 0.

    l1_ratio in [0, 1]: 1 the lasso and above 0 the elastic net, by the warm-started
    coordinate descent of elastic_net_gram_cd_path (tol, max_iter as there); 0 ridge,
    solved exactly by Cholesky. alphas: finite penalties >= 0, solved in the given
    order; None: n_alphas penalties log-spaced from alpha_max, the smallest penalty
    with every coefficient 0, down to eps * alpha_max (for l1_ratio = 0, alpha_max is
    computed as for l1_ratio = 1e-3, glmnet's rule).

    Returns ``PathFit(alphas, coef, intercept, dof, status)``: dof is the count of
    nonzero coefficients for the lasso, the active-set dof (elastic_net_active_dof)
    for the elastic net, the trace of the ridge hat matrix for ridge, the intercept not
    counted; status per penalty 0, -1 (ridge matrix not positive definite: NaN
    coefficients) or -2 (coordinate descent out of iterations).
    """
    alphas, l1_ratio, fit_intercept, standardize, n_alphas, eps, max_iter, tol = _path_settings(
        alphas, l1_ratio, fit_intercept, standardize, n_alphas, eps, tol, max_iter)
    problem = _problem(stats, fit_intercept, standardize)
    if alphas is None:
        alphas = _default_alphas(problem, l1_ratio, n_alphas, eps)
    return _fit(stats, problem, alphas, l1_ratio, fit_intercept, max_iter, tol)
