"""`glm_path`: the checks of its input and settings, the scans over the kinds of input,
and the cross-validated summaries."""

from __future__ import annotations

import numpy as np

from ._glm import GlmCrossValidation, GlmPath, fit_models
from ._glm_scan import HELD_CLASS, HELD_DEV, HELD_MSE, HELD_W, Stack, block_records, fold_ids_of
from ._params import check_alphas, check_flag, check_int, check_l1_ratio, check_real
from ._pass import _check_shapes, _folds_argument, gram_stats
from ._solvers import _check_eps
from ._stats import FoldedStats

__all__ = ["glm_path", "GlmPath", "GlmCrossValidation"]

MEASURES = {"deviance": HELD_DEV, "mse": HELD_MSE, "class": HELD_CLASS}


def _show(v):
    return repr(v.item() if isinstance(v, np.generic) else v)


def _first(mask):
    return int(np.flatnonzero(mask)[0])


def _response(y, family, name="y", row0=0):
    """y as float64: binomial 0/1 (booleans, 0 and 1, or two labels in sorted order),
    Poisson >= 0. Refusals name the column and the first row at fault."""
    y = np.asarray(y)
    if family == "poisson":
        if y.dtype.kind not in "biuf":
            raise TypeError(f"{name} must hold counts (numbers >= 0), not {y.dtype}")
        y = y.astype(np.float64)
        bad = y < 0
        if bad.any():
            r = _first(bad)
            raise ValueError(f"{name} must be >= 0 for the Poisson family: row {row0 + r} holds {_show(y[r])}")
        return y
    if y.dtype.kind == "b":
        return y.astype(np.float64)
    if y.dtype.kind == "c":
        raise TypeError(f"{name} must hold two class labels, not {y.dtype}")
    if y.dtype.kind == "f":
        bad = np.isnan(y)
        if bad.any():
            raise ValueError(f"{name} holds NaN (the first at row {row0 + _first(bad)}): a class "
                             "label is needed in every row")
        between = (y > 0) & (y < 1)
        if between.any():
            r = _first(between)
            raise ValueError(f"{name} must hold two class labels (0 and 1, booleans, or two "
                             f"distinct values), not proportions: row {row0 + r} holds {_show(y[r])}")
    labels, first_rows, codes = np.unique(y, return_index=True, return_inverse=True)
    if labels.size > 2:
        # The first row holding a label other than the first two seen.
        seen = np.sort(first_rows)[:2]
        allowed = codes[seen]
        r = _first(~np.isin(codes, allowed))
        raise ValueError(f"{name} must hold two class labels for the binomial family: row "
                         f"{row0 + r} holds a third, {_show(y[r])} (after {_show(y[seen[0]])} and {_show(y[seen[1]])})")
    if labels.size < 2:
        raise ValueError(f"{name} holds one class only ({_show(labels[0])}): the binomial family needs two")
    return codes.astype(np.float64).reshape(y.shape)


class _InMemory:
    """numpy input: X, y (the response as fitted), weights, offset and fold ids in
    memory (or memory-mapped), cut into blocks of block_rows."""

    def __init__(self, X, y, w, off, ids, K, seed, block_rows):
        self.X, self.y, self.w, self.off, self.ids = X, y, w, off, ids
        self.K, self.seed, self.block_rows = K, seed, block_rows

    def scan(self, family, models):
        stack = Stack()
        br, n = self.block_rows, self.X.shape[0]
        for r0 in range(0, n, br):
            rows = slice(r0, r0 + br)
            m = min(br, n - r0)
            ids = fold_ids_of(None if self.ids is None else self.ids[rows], self.K, self.seed, r0, m)
            stack.push(*block_records(self.X[rows], self.y[rows],
                                      None if self.w is None else self.w[rows],
                                      None if self.off is None else self.off[rows], ids, family, models))
        return stack.result(self.X.shape[1])


def _aligned(a, name, n):
    if a is None:
        return None
    a = np.asarray(a)
    if a.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got {a.ndim}-D")
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {a.dtype}")
    if a.shape[0] != n:
        raise ValueError(f"X has {n} rows but {name} has {a.shape[0]}")
    return a


def _summaries(cv, weights):
    """cv.glmnet's cvm and cvsd over the folds (columns), the folds weighted by their
    weight sums; a fold without a value at a penalty (its fit ended) is left out."""
    mask = ~np.isnan(cv)
    w = np.where(mask, weights[None, :], 0.0)
    values = np.where(mask, cv, 0.0)
    total = w.sum(axis=1)
    mean = (w * values).sum(axis=1) / total
    spread = (w * (values - mean[:, None]) ** 2).sum(axis=1) / total
    count = mask.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return mean, np.sqrt(spread / (count - 1))


def glm_path(X, y=None, family="binomial", alphas=None, l1_ratio=1.0, *, weights=None, offset=None,
             fit_intercept=True, standardize=False, n_alphas=100, eps=None, tol=1e-10, max_iter=100,
             block_rows=4096, folds=None, seed=0, measure="deviance", check_finite=True,
             progress=False, timeout=None):
    """Binomial (logit) or Poisson (log) regression with an elastic-net penalty over a
    path of penalties, and its K-fold cross-validation, in scans over the rows.

    Minimises for each penalty, as glmnet does,

        -(1 / sw) sum w loglik(b0 + x'b + offset) + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)

    with the intercept b0 unpenalised (0 without fit_intercept) and sw the weights' sum.

    Parameters
    ----------
    X, y : arrays
        The rows (X 2-D, y 1-D). Binomial y: 0 and 1, booleans, or two distinct labels
        (mapped to 0 and 1 in sorted order); Poisson y: numbers >= 0.
    family : {"binomial", "poisson"}
    alphas : sequence of float, optional
        Penalties >= 0, each one fitted in the order given. None: `n_alphas`
        penalties log-spaced from alpha_max (the smallest with every coefficient 0,
        from the null model's gradient; for l1_ratio below 1e-3 computed at 1e-3)
        down to `eps` times it, the path ending early by glmnet's rules (deviance
        ratio above 0.999, or rising by less than 1e-5, from the fifth penalty on).
    l1_ratio : float in [0, 1]
    weights : array, optional
        Frequency weights >= 0, used as given: deviances are weighted sums.
    offset : array, optional
        Added to the linear predictor (for Poisson, the log of the exposure).
    fit_intercept, standardize : bool
        As in `path`: standardize penalises the coefficients of the columns scaled to
        unit weighted variance and reports them on the columns' own scale.
    n_alphas : int
    eps : float, optional
        1e-4 when the rows outnumber the columns, else 1e-2 (None).
    tol : float
        A penalty's Newton steps end when the penalised objective (in deviance units)
        changes by less than tol times the null deviance.
    max_iter : int
        Newton steps (scans) per penalty.
    block_rows : int
        Rows per block: the results are the same bits for every chunking.
    folds : int or array, optional
        K >= 2 (folds by hash of the row number and `seed`) or fold ids: returns a
        GlmCrossValidation, every fold's model fitted in the same scans as the
        all-rows model, on its grid.
    measure : {"deviance", "mse", "class"}
        cv.glmnet's held-out measures ("class" for binomial only).
    check_finite, progress, timeout
        As in `gram_stats`.

    Returns
    -------
    GlmPath or GlmCrossValidation
        `status` per penalty: 0 OK, -1 separation (the path ends there, with a
        RuntimeWarning), -2 not converged in max_iter steps.

    Examples
    --------
    >>> import numpy as np
    >>> from Quandrel import tall
    >>> rng = np.random.default_rng(0)
    >>> X = rng.standard_normal((2000, 3))
    >>> y = (rng.random(2000) < 1 / (1 + np.exp(-(X @ [1.0, -0.5, 0.0])))).astype(float)
    >>> fit = tall.glm_path(X, y, "binomial", alphas=[0.0], block_rows=500)
    >>> np.round(fit.coef[0], 1)
    array([ 1. , -0.5,  0. ])
    """
    if family not in ("binomial", "poisson"):
        raise ValueError(f"family must be 'binomial' or 'poisson', got {family!r}")
    alphas = None if alphas is None else check_alphas(alphas)
    l1_ratio = check_l1_ratio(l1_ratio)
    fit_intercept = check_flag(fit_intercept, "fit_intercept")
    standardize = check_flag(standardize, "standardize")
    n_alphas = check_int(n_alphas, "n_alphas", 1)
    eps = None if eps is None else _check_eps(eps)
    tol = check_real(tol, "tol", 0.0)
    max_iter = check_int(max_iter, "max_iter", 1)
    block_rows = check_int(block_rows, "block_rows", 1)
    check_finite = check_flag(check_finite, "check_finite")
    progress = check_flag(progress, "progress")
    if measure not in MEASURES or (measure == "class" and family != "binomial"):
        raise ValueError(f"measure must be 'deviance', 'mse'{' or class' * (family == 'binomial')}"
                         f" for the {family} family, got {measure!r}")
    K, ids = _folds_argument(folds)
    if y is None:
        raise TypeError("y is None: give the response as an array")
    X, y = np.asarray(X), np.asarray(y)
    w, off = _aligned(weights, "weights", X.shape[0]), _aligned(offset, "offset", X.shape[0])
    ids = _aligned(ids, "folds", X.shape[0])
    _check_shapes(X, y if y.dtype.kind in "biuf" else np.zeros(y.shape), {})
    if off is not None:
        off = off.astype(np.float64)
        bad = ~np.isfinite(off)
        if bad.any():
            raise ValueError(f"offset must be finite: row {_first(bad)} holds {_show(off[_first(bad)])}")
    yf = _response(y, family)
    plain = gram_stats(X, yf, block_rows, progress, weights=w, folds=folds, seed=seed,
                       check_finite=check_finite, timeout=timeout)
    plains = [plain] if not isinstance(plain, FoldedStats) else (
        [plain.total] + [plain.train(f) for f in range(plain.K)])
    total = plains[0]
    if family == "poisson" and not total.y_mean > 0.0:
        raise ValueError("y is 0 in every row with weight: the Poisson family needs a positive count")
    if family == "binomial" and not 0.0 < total.y_mean < 1.0:
        raise ValueError("y holds one class only among the rows with weight: the binomial family needs two")
    if eps is None:
        eps = 1e-4 if total.n > X.shape[1] else 1e-2
    data = _InMemory(X, yf, w, off, ids, K if folds is not None else None, seed, block_rows)
    path, held, fold_status, passes = fit_models(
        lambda models: data.scan(family, models), plains, family, alphas, l1_ratio, fit_intercept,
        standardize, n_alphas, eps, tol, max_iter, off is not None)
    path = path._replace(n_passes=passes + 1)
    if folds is None:
        return path
    cv = held[:, :, MEASURES[measure]] / held[:, :, HELD_W]
    cv_mean, cv_se = _summaries(cv, np.array([s.sw for s in plain.folds]))
    if np.isnan(cv_mean).all():
        raise ValueError("no penalty has a cross-validated measure: every fold's fit ended")
    index_min = int(np.nanargmin(cv_mean))
    bound = cv_mean[index_min] + cv_se[index_min]
    index_1se = int(np.flatnonzero(cv_mean <= bound)[0])
    return GlmCrossValidation(path.alphas, measure, cv, cv_mean, cv_se, float(path.alphas[index_min]),
                              float(path.alphas[index_1se]), index_min, index_1se, path,
                              path.n_passes, fold_status)

