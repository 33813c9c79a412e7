"""Solvers on the statistics: every one works on k-by-k matrices."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np

from .. import REGRESSION_CRIT_AIC, REGRESSION_CRIT_LOSS, REGRESSION_RANK_DEFICIENT, _regression
from ._native import _call, _f64
from ._params import check_alphas, check_criterion, check_flag, check_int, check_l1_ratio, check_real
from ._stats import GramStats

__all__ = ["lasso_path", "enet_path", "ridge", "ols", "rss",
           "LassoPath", "EnetPath", "RidgeFit", "OLSFit"]


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


class OLSFit(NamedTuple):
    """Least-squares coefficients, the Cholesky factor of the normal matrix, status."""

    coef: np.ndarray
    L: np.ndarray
    status: int


def _nonfinite_columns(stats):
    """(columns of X, whether y) whose statistics hold a NaN or an infinity. A column
    with a NaN or infinity spoils its whole row of X'X and its entry of X'y, and so
    does y all of X'y: other entries name their columns only when these explain
    nothing (products that overflow where the squares do not)."""
    G, c = np.asarray(stats.G), np.asarray(stats.c)
    bad_y = not math.isfinite(stats.yy)
    bad_x = ~np.isfinite(np.diagonal(G))
    rows, cols = np.nonzero(~np.isfinite(G) & ~bad_x[:, None] & ~bad_x[None, :])
    bad_x[rows] = bad_x[cols] = True
    if not bad_y:
        bad_x |= ~np.isfinite(c)
    return np.flatnonzero(bad_x).tolist(), bad_y


def _check_stats(stats):
    if not isinstance(stats, GramStats):
        raise TypeError(f"stats must be a GramStats record, got {type(stats).__name__}")
    if stats.n < 1:
        raise ValueError("the statistics hold no rows")
    k = np.shape(stats.c)[0] if np.ndim(stats.c) == 1 else -1
    if k < 0 or np.shape(stats.G) != (k, k):
        raise ValueError(f"stats.G must be k by k and stats.c of length k, got "
                         f"{np.shape(stats.G)} and {np.shape(stats.c)}")
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
    """G / n and c / n (true divisions, as the in-memory kernels scale)."""
    _check_stats(stats)
    nf = float(stats.n)
    return stats.G / nf, stats.c / nf


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
    Gb = np.empty(k)
    _call("qdl_matvec", _f64(stats.G), coef, Gb, k, k)
    bc = _call("qdl_dot", coef, _f64(stats.c), k)
    return (stats.yy - 2.0 * bc) + _call("qdl_dot", coef, Gb, k)


def lasso_path(stats, max_iter, tol):
    """The LARS-lasso path of lars_lasso_gram on G / n and c / n (penalties on the
    scale of the mean squared error). max_iter: an int >= 1, tol: a finite number
    >= 0. Returns ``LassoPath(lam_path, beta_path, status)``."""
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    return LassoPath(*_regression.lars_lasso_gram(Gs, cs, max_iter, tol))


def enet_path(stats, alphas, l1_ratio, max_iter=1000, tol=1e-10):
    """The warm-started elastic-net path of elastic_net_gram_cd_path on G / n and
    c / n. alphas: finite penalties >= 0; l1_ratio in [0, 1]. Returns
    ``EnetPath(coefs, statuses)``, one row and one status per penalty."""
    alphas, l1_ratio = check_alphas(alphas), check_l1_ratio(l1_ratio)
    max_iter, tol = _settings(max_iter, tol)
    Gs, cs = _scaled(stats)
    return EnetPath(*_regression.elastic_net_gram_cd_path(Gs, cs, alphas, l1_ratio, max_iter, tol))


def _chol_solve(A, b):
    """Cholesky factor of A and the solution of A x = b by qdl_chol_solve (qdl_chol
    with no jitter, forward then transposed backward substitution, as the kernels
    solve). Returns (x, L, status); x is NaN when the factorisation fails."""
    p = b.shape[0]
    L, x = np.empty((p, p)), np.empty(p)
    if _call("qdl_chol_solve", A, b, x, L, p) != 0:
        return np.full(p, np.nan), L, REGRESSION_RANK_DEFICIENT
    return x, L, 0


def _effective_dof(L, G):
    """trace((L L')^-1 G), one column solve at a time, diagonal summed ascending."""
    p = G.shape[0]
    dof, col = 0.0, np.empty(p)
    for j in range(p):
        col[:] = G[:, j]
        _call("qdl_forward_subst", L, col, col, p)
        _call("qdl_backward_subst_chol_t", L, col, col, p)
        dof = dof + col[j]
    return dof


def _objective(criterion, value, n, dof):
    if criterion == REGRESSION_CRIT_LOSS:
        return value
    if value <= 0.0:
        return -math.inf
    nf = float(n)
    base = nf * math.log(value / nf)
    return base + 2.0 * dof if criterion == REGRESSION_CRIT_AIC else base + math.log(nf) * dof


def ridge(stats, alphas, criterion, intercept):
    """Ridge over a grid of penalties, scored and selected as ridge_grid_search does,
    from the statistics: for each penalty in order, (G/n + alpha D) coef = c/n by
    Cholesky (D = I, without the intercept column 0 when `intercept`), its effective
    degrees of freedom, and rss(stats, coef) in place of the residuals of the raw data.
    criterion: 'aic', 'bic' or 'rss', or their codes 1, 2, 3; alphas: finite
    penalties >= 0; intercept: True or False. The first penalty is kept unless a
    later one has a strictly smaller objective; a penalty whose matrix does not factor
    scores +inf with status -1 and NaN coefficients.

    Returns ``RidgeFit(alpha, coef, objective, status)``, in the order of
    ridge_grid_search. The objective differs from the in-memory one only through rss
    (see its accuracy there)."""
    alphas, criterion = check_alphas(alphas), check_criterion(criterion)
    intercept = check_flag(intercept, "intercept")
    Gs, cs = _scaled(stats)
    p = cs.shape[0]
    first = 1 if intercept else 0
    best = None
    for alpha in alphas.tolist():
        A = Gs.copy()
        diag = np.arange(first, p)
        A[diag, diag] += alpha
        coef, L, status = _chol_solve(A, cs)
        if status == REGRESSION_RANK_DEFICIENT:
            obj = math.inf
        else:
            obj = _objective(criterion, rss(stats, coef), stats.n, _effective_dof(L, Gs))
        if best is None or obj < best.objective:
            best = RidgeFit(alpha, coef, float(obj), status)
    return best


def ols(stats):
    """Ordinary least squares from the statistics, as ols_chol_solve computes it on
    the data: G coef = c by the Cholesky factor L of G (unscaled). Returns
    ``OLSFit(coef, L, status)``; on status -1 coef is NaN and L empty (0, 0)."""
    _check_stats(stats)
    coef, L, status = _chol_solve(_f64(stats.G), _f64(stats.c))
    return OLSFit(coef, (np.empty((0, 0)) if status == REGRESSION_RANK_DEFICIENT else L), status)
