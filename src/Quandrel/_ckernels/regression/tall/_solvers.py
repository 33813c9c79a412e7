"""Solvers on the statistics: every one works on k-by-k matrices."""

from __future__ import annotations

import math

import numpy as np

from .. import _regression
from ._native import _call, _f64
from ._stats import GramStats

__all__ = ["lasso_path", "enet_path", "ridge", "ols", "rss"]

RANK_DEFICIENT = -1
AIC, BIC, LOSS = 1, 2, 3


def _check_stats(stats):
    if not isinstance(stats, GramStats):
        raise TypeError(f"stats must be a GramStats record, got {type(stats).__name__}")
    if stats.n < 1:
        raise ValueError("the statistics hold no rows")
    k = np.shape(stats.c)[0] if np.ndim(stats.c) == 1 else -1
    if k < 0 or np.shape(stats.G) != (k, k):
        raise ValueError(f"stats.G must be k by k and stats.c of length k, got "
                         f"{np.shape(stats.G)} and {np.shape(stats.c)}")


def _scaled(stats):
    """G / n and c / n (true divisions, as the in-memory kernels scale)."""
    _check_stats(stats)
    nf = float(stats.n)
    return stats.G / nf, stats.c / nf


def _grid(alphas):
    alphas = _f64(alphas)
    if alphas.ndim != 1 or alphas.size == 0:
        raise ValueError("alphas must be a non-empty 1-D sequence of penalties")
    return alphas


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
    scale of the mean squared error). Returns ``(lam_path, beta_path, status)``."""
    Gs, cs = _scaled(stats)
    return _regression.lars_lasso_gram(Gs, cs, max_iter, tol)


def enet_path(stats, alphas, l1_ratio, max_iter=1000, tol=1e-10):
    """The warm-started elastic-net path of elastic_net_gram_cd_path on G / n and
    c / n. Returns ``(coefs, statuses)``, one row and one status per penalty."""
    Gs, cs = _scaled(stats)
    return _regression.elastic_net_gram_cd_path(Gs, cs, _grid(alphas), l1_ratio, max_iter, tol)


def _chol_solve(A, b):
    """Cholesky factor of A and the solution of A x = b, as the native kernels do
    (qdl_chol with no jitter, forward then transposed backward substitution).
    Returns (x, L, status); x is NaN when the factorisation fails."""
    p = b.shape[0]
    L = np.empty((p, p))
    if _call("qdl_chol", A, 0.0, L, p) != 0:
        return np.full(p, np.nan), L, RANK_DEFICIENT
    x = np.empty(p)
    _call("qdl_forward_subst", L, b, x, p)
    _call("qdl_backward_subst_chol_t", L, x, x, p)
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
    if criterion == LOSS:
        return value
    if value <= 0.0:
        return -math.inf
    nf = float(n)
    base = nf * math.log(value / nf)
    return base + 2.0 * dof if criterion == AIC else base + math.log(nf) * dof


def ridge(stats, alphas, criterion, intercept):
    """Ridge over a grid of penalties, scored and selected as ridge_grid_search does,
    from the statistics: for each penalty in order, (G/n + alpha D) coef = c/n by
    Cholesky (D = I, without the intercept column 0 when `intercept`), its effective
    degrees of freedom, and rss(stats, coef) in place of the residuals of the raw data;
    criterion 1 (AIC), 3 (the residual sum of squares), any other BIC. The first
    penalty is kept unless a later one has a strictly smaller objective; a penalty
    whose matrix does not factor scores +inf with status -1 and NaN coefficients.

    Returns ``(coef, alpha, objective, status)``. The objective differs from the
    in-memory one only through rss (see its accuracy there)."""
    Gs, cs = _scaled(stats)
    alphas = _grid(alphas)
    p = cs.shape[0]
    first = 1 if intercept else 0
    best = None
    for alpha in alphas.tolist():
        A = Gs.copy()
        diag = np.arange(first, p)
        A[diag, diag] += alpha
        coef, L, status = _chol_solve(A, cs)
        if status == RANK_DEFICIENT:
            obj = math.inf
        else:
            obj = _objective(criterion, rss(stats, coef), stats.n, _effective_dof(L, Gs))
        if best is None or obj < best[2]:
            best = (coef, alpha, float(obj), status)
    return best


def ols(stats):
    """Ordinary least squares from the statistics, as ols_chol_solve computes it on
    the data: G coef = c by the Cholesky factor L of G (unscaled). Returns
    ``(coef, L, status)``; on status -1 coef is NaN and L empty (0, 0)."""
    _check_stats(stats)
    coef, L, status = _chol_solve(_f64(stats.G), _f64(stats.c))
    return coef, (np.empty((0, 0)) if status == RANK_DEFICIENT else L), status
