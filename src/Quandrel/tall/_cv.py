"""K-fold cross-validation of a penalty path from the statistics of each fold.

Fold f's model is fitted on `train(f)`, the merge of the other folds' statistics,
and scored on fold f's own centred statistics: the weighted sum of squared errors of
(b0, b) on the fold is, exactly,

    sum w (y - b0 - x'b)^2 = yyc - 2 b'cc + b'Gc b + sw (y_mean - b0 - x_mean'b)^2

(the cross terms vanish about the fold's exact means), so no row is read again: after
the one pass every step is k-by-k work.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from ._native import _f64, routines
from ._params import check_alphas, check_flag, check_l1_ratio
from ._progress import TextBar
from ._solvers import PathFit, _default_alphas, _fit, _path_settings, _problem
from ._stats import FoldedStats, _mean_difference

__all__ = ["cross_validate", "CrossValidation"]


@dataclasses.dataclass(frozen=True, eq=False)
class CrossValidation:
    """The cross-validated errors of a penalty path, per l1_ratio (rows), penalty and fold.

    alphas      (n_l1, n_alphas) each l1_ratio's grid, descending
    l1_ratios   (n_l1,)
    mse         (n_l1, n_alphas, K) fold f's weighted mean squared error of the model
                fitted on the other folds
    status      (n_l1, n_alphas, K) the statuses of those fits
    cv_mean     (n_l1, n_alphas) the folds' mse weighted by their weight sums
    cv_se       (n_l1, n_alphas) sqrt of the weighted variance of the folds' mse over K - 1
    l1_ratio_min, alpha_min, index_min: where cv_mean is smallest (the first l1_ratio,
                then the largest alpha, among equals)
    alpha_1se, index_1se: the largest alpha of that l1_ratio whose cv_mean is at most
                cv_mean + cv_se at the minimum
    fit         the path on all folds at l1_ratio_min over its grid (a PathFit)
    """

    alphas: np.ndarray
    l1_ratios: np.ndarray
    mse: np.ndarray
    status: np.ndarray
    cv_mean: np.ndarray
    cv_se: np.ndarray
    l1_ratio_min: float
    alpha_min: float
    index_min: int
    alpha_1se: float
    index_1se: int
    fit: PathFit


def _fold_mse(fold, train, fit, fit_intercept):
    """Fold's weighted mean squared error of each row of the fit (trained on `train`).

    Per penalty, with b the coefficients and (b0 the intercept):
      sse = ((yyc - 2 (b'cc)) + b'(Gc b)) + sw * off^2,  off = y_mean - b0 - x_mean'b,
    b'cc, b'(Gc b) and x_mean'b summed over the columns in ascending order (qdl_dot,
    qdl_matvec). With an intercept, b0 = train's y_mean - x_mean'b, so off is taken
    from the differences of the exact means, dy - dx'b, which keeps its digits for
    columns of large mean. Returns sse / sw per penalty."""
    k = np.shape(fold.c)[0]
    Gc, cc = _f64(fold.Gc), _f64(fold.cc)
    if fit_intercept:
        d = _mean_difference(fold, train)
        dx, dy = _f64(d[:k]), float(d[k])
    else:
        mu = np.append(fold.x_mean, fold.y_mean) + fold.resid / fold.sw
        dx, dy = _f64(mu[:k]), float(mu[k])
    out = np.empty(fit.coef.shape[0])
    for i, b in enumerate(fit.coef):
        b = _f64(b)
        Gb = routines.matvec(Gc, b)
        off = dy - routines.dot(dx, b)
        sse = ((fold.yyc - 2.0 * routines.dot(b, cc)) + routines.dot(b, Gb)) + fold.sw * (off * off)
        out[i] = sse / fold.sw
    return out


def _summaries(mse, weights):
    """cv_mean and cv_se over the last axis of mse: sums over the folds in ascending
    order, mean = (sum w_f mse_f) / (sum w_f), se = sqrt(((sum w_f (mse_f - mean)^2) /
    (sum w_f)) / (K - 1)) (glmnet's cvm and cvsd)."""
    K = mse.shape[-1]
    total = 0.0
    for f in range(K):
        total = total + weights[f]
    mean = np.zeros(mse.shape[:-1])
    for f in range(K):
        mean = mean + weights[f] * mse[..., f]
    mean = mean / total
    spread = np.zeros(mse.shape[:-1])
    for f in range(K):
        spread = spread + weights[f] * (mse[..., f] - mean) ** 2
    return mean, np.sqrt(spread / total / (K - 1))


def _l1_ratios(l1_ratio):
    values = np.atleast_1d(np.asarray(l1_ratio, dtype=object))
    if values.ndim != 1 or values.size == 0:
        raise ValueError(f"l1_ratio must be a number or a non-empty 1-D sequence, got {l1_ratio!r}")
    return np.array([check_l1_ratio(v, "l1_ratio" if np.ndim(l1_ratio) == 0 else f"l1_ratio[{i}]")
                     for i, v in enumerate(values)])


def cross_validate(folded, alphas=None, l1_ratio=1.0, *, fit_intercept=True, standardize=False,
                   n_alphas=100, eps=1e-3, tol=1e-10, max_iter=10000, progress=False):
    """K-fold cross-validation of `path` on the statistics of gram_stats(folds=...).

    For each l1_ratio (a number or a sequence, as ElasticNetCV takes) the grid of
    penalties is computed once from `folded.total` by path's rule (or is `alphas`,
    sorted descending) and shared by the folds, as in glmnet. For each fold f the path
    is fitted on `folded.train(f)` and scored on fold f's statistics: no second pass.
    The other settings are path's. progress: a bar on stderr, one step per fit.

    Returns a CrossValidation: per-fold errors, cv_mean and cv_se (glmnet's cvm and
    cvsd), alpha_min and alpha_1se (glmnet's lambda.min and lambda.1se, on the row of
    l1_ratio_min), and `fit`, the path on all the folds at l1_ratio_min.
    """
    if not isinstance(folded, FoldedStats):
        raise TypeError(f"folded must be the FoldedStats of gram_stats(..., folds=...), "
                        f"got {type(folded).__name__}")
    l1_ratios = _l1_ratios(l1_ratio)
    if alphas is not None:
        alphas = np.sort(check_alphas(alphas))[::-1].copy()
    _, _, fit_intercept, standardize, n_alphas, eps, max_iter, tol = _path_settings(
        None, 0.0, fit_intercept, standardize, n_alphas, eps, tol, max_iter)
    progress = check_flag(progress, "progress")
    K = folded.K
    total = folded.total
    whole = _problem(total, fit_intercept, standardize)  # the grids' and the final fit's
    grids = [alphas if alphas is not None else _default_alphas(whole, l1, n_alphas, eps)
             for l1 in l1_ratios.tolist()]
    n_a = grids[0].shape[0]
    mse = np.empty((l1_ratios.shape[0], n_a, K))
    status = np.empty((l1_ratios.shape[0], n_a, K), dtype=np.int64)
    bar = TextBar(total=K * l1_ratios.shape[0], unit="fits") if progress else None
    try:
        for f in range(K):
            train = folded.train(f)
            problem = _problem(train, fit_intercept, standardize)
            for i, l1 in enumerate(l1_ratios.tolist()):
                fit = _fit(train, problem, grids[i], l1, fit_intercept, max_iter, tol)
                mse[i, :, f] = _fold_mse(folded.folds[f], train, fit, fit_intercept)
                status[i, :, f] = fit.status
                if bar is not None:
                    bar(1)
    finally:
        if bar is not None:
            bar.close()
    cv_mean, cv_se = _summaries(mse, [s.sw for s in folded.folds])
    if np.isnan(cv_mean).all():
        raise ValueError("no penalty has a cross-validated error: every fit failed (status -1)")
    # The first minimum in the order (l1_ratio as given, alpha descending); NaN (fits
    # whose matrix did not factor) never is one.
    flat = int(np.nanargmin(cv_mean))
    row, index_min = divmod(flat, n_a)
    bound = cv_mean[row, index_min] + cv_se[row, index_min]
    index_1se = int(np.flatnonzero(cv_mean[row] <= bound)[0])
    l1_min = float(l1_ratios[row])
    fit = _fit(total, whole, grids[row], l1_min, fit_intercept, max_iter, tol)
    return CrossValidation(
        alphas=np.array(grids), l1_ratios=l1_ratios, mse=mse, status=status, cv_mean=cv_mean,
        cv_se=cv_se, l1_ratio_min=l1_min, alpha_min=float(grids[row][index_min]),
        index_min=index_min, alpha_1se=float(grids[row][index_1se]), index_1se=index_1se, fit=fit)
