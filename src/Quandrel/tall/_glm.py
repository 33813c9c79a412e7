"""Binomial and Poisson regression on tall data: elastic-net penalty paths by proximal
Newton steps, each step one scan over the rows (`_glm_scan`), and their K-fold
cross-validation with every fold's model advancing in the same scans.

For each penalty alpha, warm-started from the last, the fit minimises

    -(1 / sw) sum w loglik(b0 + x'b + offset) + alpha (l1_ratio |b|_1 + (1 - l1_ratio) |b|^2 / 2)

(Friedman, Hastie and Tibshirani, "Regularization paths for generalized linear models
via coordinate descent", Journal of Statistical Software 33, 2010): a scan at the
current coefficients forms the weighted statistics of the working response, the
elastic-net kernel solves that quadratic model on the statistics, and the scan at the
solution both checks convergence (the penalised objective's change, in units of the
null deviance) and forms the next step's statistics. A step that would raise the
objective is halved.

The statistics are formed over the columns that can be nonzero only: each model's
nonzero coefficients and its strong set (Tibshirani et al., "Strong rules for
discarding predictors in lasso-type problems", JRSS B 74, 2012: the columns whose
gradient is at least l1_ratio (2 alpha' - alpha), alpha' the next penalty), the
union over the models in the scan. Every scan also forms every column's gradient, so
a fit is converged only when no column left out has a gradient above l1_ratio alpha
(the lasso's optimality condition); a column that has is added, with a scan at the
same coefficients when the statistics lack it.
"""

from __future__ import annotations

import dataclasses
import math
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from .._ckernels.regression import _regression
from ._glm_scan import BEYOND, DEVIANCE, HELD_CLASS, RESIDUAL, SUMS, WORKING_W, Model, Scanned, bse_of
from ._records import F64, I64, Unpacks
from ._solvers import _chol_solve, _default_alphas, _intercepts, _Problem, _problem
from ._stats import GramStats

# Statuses per penalty.
OK, SEPARATION, NOT_CONVERGED = 0, -1, -2

# glmnet's controls of the default grid's early end: the deviance ratio's ceiling and
# its least change, checked from the fifth penalty on.
DEVMAX, FDEV, FIRST_CHECKED = 0.999, 1e-5, 4

# The inner coordinate descent: sweeps, and the largest change of a standardised
# coefficient that ends them.
CD_MAX_ITER, CD_TOL = 100_000, 1e-13

# A step is halved at most this many times before the penalty is given up.
MAX_HALVINGS = 30

# Rows whose fitted probability is within 3e-7 of 0 or 1 (binomial), or whose rate is
# below 1e-6 of the null model's (Poisson), count as beyond the fit's bounds.
BINOMIAL_ETA_BOUND = 15.0
POISSON_RATIO_MIN = 1e-6

# A converged fit with rows beyond the bounds whose last step still moved a
# standardised coefficient by more than this is running off to infinity.
RUNAWAY_STEP = 1e-3

# A column left out of the statistics violates the optimality condition when its
# gradient exceeds l1_ratio alpha by more than this share (rounding of the gradient).
KKT_SLACK = 1e-9

# A penalised fit is converged at coefficients whose Newton step would change the
# objective by less than tol times the null deviance and move no standardised
# coefficient (nor the intercept) by more than this share of sqrt(tol): the step is
# then not taken (nor its scan run). An unpenalised fit always takes its last step.
STEP_SHARE = 0.1


@dataclasses.dataclass(frozen=True, eq=False)
class GlmPath(Unpacks):
    """A GLM's penalty path: per penalty (rows) the coefficients on the columns' own
    scale, the intercept, the deviance, the degrees of freedom, the standard errors of
    an unpenalised fit and the status. Unpacks as the tuple of all its fields, in
    order."""

    _fields = ("alphas", "coef", "intercept", "deviance", "null_deviance", "dev_ratio", "dof", "bse",
               "n_passes", "status")
    alphas: np.ndarray         # (n,)
    coef: np.ndarray           # (n, k)
    intercept: np.ndarray      # (n,)
    deviance: np.ndarray       # (n,) sum w d at the fit
    null_deviance: float       # the deviance of the null model
    dev_ratio: np.ndarray      # (n,) 1 - deviance / null_deviance
    dof: np.ndarray            # (n,)
    bse: np.ndarray            # (n, k + 1) intercept first; NaN rows for penalised fits
    n_passes: int              # scans over the rows
    status: np.ndarray         # (n,) int64: 0 OK, -1 separation, -2 not converged


@dataclasses.dataclass(frozen=True, eq=False)
class GlmCrossValidation(Unpacks):
    """K-fold cross-validation of a GLM's penalty path (glmnet's cv.glmnet). Unpacks as
    the tuple of all its fields, in order."""

    _fields = ("alphas", "measure", "cv", "cv_mean", "cv_se", "alpha_min", "alpha_1se", "index_min",
               "index_1se", "fit", "n_passes", "status")
    alphas: np.ndarray     # (n,) the all-rows path's grid
    measure: str
    cv: np.ndarray         # (n, K) fold f's weighted mean held-out measure
    cv_mean: np.ndarray    # (n,) weighted by the folds' weight sums
    cv_se: np.ndarray      # (n,)
    alpha_min: float
    alpha_1se: float
    index_min: int
    index_1se: int
    fit: GlmPath           # the path on all rows
    n_passes: int
    status: np.ndarray     # (n, K) the fold models' statuses


class _State:
    """One model's fit in progress: the rows outside fold `held` (all rows: None)."""

    def __init__(self, held: int | None, plain: Any, fit_intercept: bool, standardize: bool) -> None:
        self.held, self.plain = held, plain
        self.sw = float(plain.sw)
        problem = _problem(plain, fit_intercept, standardize)
        self.keep: np.ndarray = problem.keep
        self.scale: np.ndarray = np.ones(self.keep.shape[0]) if problem.scale is None else problem.scale
        self.k = k = np.shape(plain.c)[0]
        self.fit_intercept = fit_intercept
        self.b0, self.b = 0.0, np.zeros(k)
        # Set by the first scan (and `bounds` before it): the statistics of the working
        # response over the columns `cols` (ascending; b is 0 outside them), the sums of
        # glm.h and every column's gradient at (b0, b). The deviance is NaN until then.
        self.stats: Any  # a centred GramStats
        self.cols: I64 = np.zeros(0, dtype=np.int64)
        self.sums: F64
        self.grad: F64 = np.zeros(k)
        # The columns the next scan must hold for this model beyond its nonzero and
        # strong ones (optimality violators), and whether that scan is at the same
        # coefficients (the statistics lack a violator).
        self.extra: I64 = np.zeros(0, dtype=np.int64)
        self.rescan = False
        self.bounds: tuple[float, float]
        self.dev = math.nan
        self.obj = math.nan
        self.null_dev = math.nan
        self.active = True
        self.proposal: tuple[float, F64] | None = None  # a halved step awaiting its scan
        self.move = 0.0
        # Per penalty: the status, the halvings of the pending step and the steps taken.
        self.status, self.halvings, self.iters = OK, 0, 0

    def scaled(self, b: F64) -> F64:
        out: F64 = b[self.keep] * self.scale
        return out

    def penalty(self, b: F64, alpha: float, l1_ratio: float) -> float:
        s = self.scaled(b)
        l1 = float(np.sum(np.abs(s)))
        l2 = float(np.sum(s * s))
        return 2.0 * self.sw * alpha * (l1_ratio * l1 + (1.0 - l1_ratio) * l2 / 2.0)

    def accept(self, stats: Any, sums: F64, cols: I64) -> None:
        """The statistics, sums and gradient of a scan at the current coefficients."""
        self.stats, self.sums, self.cols = stats, sums, cols
        k = self.k
        u = sums[SUMS:SUMS + k]
        if self.fit_intercept:
            residual, working_w = float(sums[RESIDUAL]), float(sums[WORKING_W])
            u = u - sums[SUMS + k:] * (residual / working_w if working_w > 0.0 else 0.0)
        self.grad = u / self.sw

    def scaled_grad(self) -> F64:
        """The gradient of the kept columns, scaled (as the kernel sees it)."""
        out: F64 = self.grad[self.keep] / self.scale
        return out

    def violators(self, a1: float, outside: I64) -> I64:
        """The kept columns not in `outside` whose gradient breaks the optimality
        condition at a1 = alpha l1_ratio (every one for a1 = 0: a ridge fit has none
        at 0)."""
        cols: I64 = self.keep if a1 == 0.0 else self.keep[np.abs(self.scaled_grad()) > a1 * (1.0 + KKT_SLACK)]
        return np.setdiff1d(cols, outside, assume_unique=True)

    def wanted(self, b: F64, threshold: float | None) -> I64:
        """The columns the next scan's statistics must hold for this model at the
        proposal b: its nonzero ones (and the current coefficients'), those whose
        scaled gradient reaches threshold (every column for None), and the extra."""
        if threshold is None:
            return np.arange(self.k)
        strong = self.keep[np.abs(self.scaled_grad()) >= threshold]
        cols: I64 = np.union1d(np.union1d(np.flatnonzero(b), np.flatnonzero(self.b)),
                               np.union1d(strong, self.extra))
        return cols

    def _inner(self) -> tuple[I64, I64]:
        """The positions within `cols` of the kept columns, and their indices in keep."""
        at = np.searchsorted(self.keep, self.cols)
        held = at < self.keep.shape[0]
        held[held] = self.keep[at[held]] == self.cols[held]
        return np.flatnonzero(held), at[held]

    def quadratic(self, fit_intercept: bool) -> tuple[F64, F64]:
        """A and g of the Newton step's quadratic model, on the kept, scaled columns of
        the statistics."""
        S = self.stats
        A, g = (S.Gc / self.sw, S.cc / self.sw) if fit_intercept else (S.G / self.sw, S.c / self.sw)
        pos, at = self._inner()
        scale = self.scale[at]
        A, g = np.asarray(A)[np.ix_(pos, pos)], np.asarray(g)[pos]
        A, g = A / np.outer(scale, scale), g / scale
        return np.ascontiguousarray(A), np.ascontiguousarray(g)

    def step(self, alpha: float, l1_ratio: float, fit_intercept: bool) -> tuple[float, F64]:
        """The minimiser (b0, b) of the quadratic model at the current statistics (b 0
        outside their columns)."""
        A, g = self.quadratic(fit_intercept)
        _, at = self._inner()
        kk = g.shape[0]
        a1, a2 = alpha * l1_ratio, alpha * (1.0 - l1_ratio)
        coef: F64 | None = None
        if kk and a1 == 0.0:
            penalised = A.copy()
            penalised[np.diag_indices(kk)] += a2
            coef, _, status = _chol_solve(penalised, g)
            if status:
                coef = None
        if coef is None and kk:
            warm = np.ascontiguousarray(self.scaled(self.b)[at])
            coef, _ = _regression.elastic_net_gram_cd(A, g, a1, a2, warm, CD_MAX_ITER, CD_TOL)
        b = np.zeros_like(self.b)
        if kk:
            b[self.keep[at]] = coef / self.scale[at]
        b0 = float(_intercepts(self.stats, b[self.cols][None, :])[0]) if fit_intercept else 0.0
        return b0, b


    def step_size(self, prop: tuple[float, F64]) -> float:
        """The largest change of the intercept or a standardised coefficient from the
        current coefficients to prop."""
        return max(abs(prop[0] - self.b0), float(np.max(np.abs(self.scaled(prop[1]) - self.scaled(self.b)),
                                                       initial=0.0)))

    def predicted_decrease(self, prop: tuple[float, F64], alpha: float, l1_ratio: float,
                           fit_intercept: bool) -> float:
        """How much the quadratic model of the penalised objective (in deviance units)
        falls from the current coefficients to prop: the Newton decrement's measure of
        what a step can still gain. The model is the weighted least squares of the
        working response, 2 sw (s'As / 2 - g's + penalty) with the intercept's term
        sw_v (z_mean - x_mean'b - b0)^2 / 2 beside it (sw_v the working weights' sum)."""
        A, g = self.quadratic(fit_intercept)
        _, at = self._inner()
        a1, a2 = alpha * l1_ratio, alpha * (1.0 - l1_ratio)
        S = self.stats

        def model(b0: float, b: F64) -> float:
            s = self.scaled(b)[at]
            value = float(0.5 * (s @ A @ s) - g @ s + a1 * np.sum(np.abs(s)) + 0.5 * a2 * (s @ s))
            if fit_intercept:
                r = float(S.y_mean) - float(np.asarray(S.x_mean) @ b[self.cols]) - b0
                value += float(S.sw) / (2.0 * self.sw) * r * r
            return value

        return 2.0 * self.sw * (model(self.b0, self.b) - model(*prop))


def _bounds(family: str, b0_null: float) -> tuple[float, float]:
    if family == "binomial":
        return (-BINOMIAL_ETA_BOUND, BINOMIAL_ETA_BOUND)
    return (b0_null + math.log(POISSON_RATIO_MIN), math.inf)


def _dof(st: _State, alpha: float, l1_ratio: float, fit_intercept: bool) -> float:
    A, _ = st.quadratic(fit_intercept)
    s = st.scaled(st.b)[st._inner()[1]]
    if l1_ratio == 1.0:
        return float(np.count_nonzero(s))
    if not s.size:
        return 0.0
    s = np.ascontiguousarray(s)
    if l1_ratio == 0.0:
        return _regression.elastic_net_active_dof(A, s, alpha, False, -math.inf)
    return _regression.elastic_net_active_dof(A, s, alpha * (1.0 - l1_ratio), False, 0.0)


def fit_models(scan: Callable[[list[Model], I64 | None], Scanned], plains: list[GramStats], means: list[float],
               family: str, alphas: F64 | None, l1_ratio: float, fit_intercept: bool, standardize: bool,
               n_alphas: int, eps: float, tol: float, max_iter: int,
               offset: bool) -> tuple[GlmPath, F64 | None, I64, int]:
    """The path of the all-rows model (plains[0], the statistics of x and y by the
    weights; means[0] the weighted mean of the fitted y) and of each fold's (plains[1:]),
    advancing together. scan(models, cols) runs one scan, its statistics over the
    columns cols (None: all). Returns (GlmPath, held-out sums (n, K, SUMS) or None,
    fold statuses (n, K), scans)."""
    states = [_State(f - 1 if f else None, plain, fit_intercept, standardize)
              for f, plain in enumerate(plains)]
    passes = 0
    k = np.shape(plains[0].c)[0]
    everything = np.arange(k)

    def run(targets: list[_State], proposals: list[tuple[float, F64]],
            wanted: list[I64]) -> tuple[I64, list[tuple[Any, F64]]]:
        """One scan for the targets at the proposals, its statistics over the union of
        the columns wanted (all k when that is every column)."""
        nonlocal passes
        passes += 1
        cols: I64 = np.zeros(0, dtype=np.int64)
        for want in wanted:
            cols = np.union1d(cols, want).astype(np.int64)
        full = cols.shape[0] == k
        res = scan([Model(b0, b, st.held, st.bounds) for st, (b0, b) in zip(targets, proposals, strict=True)],
                   None if full else cols)
        return everything if full else cols, [(res.stats[i], res.sums[i]) for i in range(len(targets))]

    # The null models: the intercept alone (IRLS on it), or eta = offset.
    for st, mean in zip(states, means, strict=True):
        if fit_intercept:
            st.b0 = math.log(mean / (1.0 - mean)) if family == "binomial" else math.log(mean)
        st.bounds = _bounds(family, st.b0)
    pending = list(states)
    nothing = np.zeros(0, dtype=np.int64)
    for _ in range(max_iter):
        cols, out = run(pending, [(st.b0, st.b) for st in pending], [nothing] * len(pending))
        nxt = []
        for st, (stats, sums) in zip(pending, out, strict=True):
            previous, st.dev = st.dev, float(sums[DEVIANCE])
            st.accept(stats, sums, cols)
            # (previous is NaN at the first scan: never within tol)
            if not (fit_intercept and offset) or abs(previous - st.dev) < tol * st.dev:
                continue
            st.b0 = float(stats.y_mean)  # the working response's weighted mean
            nxt.append(st)
        pending = nxt
        if not pending:
            break
    for st in states:
        st.null_dev = st.dev
        st.bounds = _bounds(family, st.b0)
    whole = states[0]
    default_grid = alphas is None
    top = _default_alphas(_Problem(np.zeros((0, 0)), whole.scaled_grad(), whole.keep, whole.scale),
                          l1_ratio, 1, 1.0)[0]
    if alphas is None:
        alphas = _default_alphas(_Problem(np.zeros((0, 0)), whole.scaled_grad(), whole.keep, whole.scale),
                                 l1_ratio, n_alphas, eps)
    n = alphas.shape[0]
    K = len(states) - 1
    coef, intercept = np.zeros((n, k)), np.zeros(n)
    deviance, dof, status = np.full(n, np.nan), np.zeros(n), np.zeros(n, dtype=np.int64)
    bse = np.full((n, k + 1), np.nan)
    held = np.full((n, K, HELD_CLASS + 1), np.nan)
    fold_status = np.full((n, K), OK, dtype=np.int64)
    end = n
    previous_alpha = top
    for i, alpha in enumerate(alphas.tolist()):
        active = [st for st in states if st.active]
        for st in states[1:]:
            if not st.active:  # separated at an earlier penalty: no longer fitted
                fold_status[i, st.held] = SEPARATION
        a1 = alpha * l1_ratio
        # The strong rule's threshold for this penalty and the next (the statistics of
        # a penalty's last scan serve the next one's first step); None: every column.
        after = float(alphas[i + 1]) if i + 1 < n else alpha
        threshold = None if a1 == 0.0 else max(
            l1_ratio * min(2.0 * alpha - previous_alpha, 2.0 * after - alpha), 0.0)
        previous_alpha = alpha
        for st in active:
            st.obj = st.dev + st.penalty(st.b, alpha, l1_ratio)
            st.status, st.move, st.proposal, st.halvings, st.iters = OK, 0.0, None, 0, 0
            st.extra, st.rescan = nothing, False
        pending = list(active)
        while pending:
            targets: list[_State] = []
            proposals: list[tuple[float, F64]] = []
            done: list[_State] = []
            for st in pending:
                if st.rescan:  # the same coefficients, the statistics widened
                    targets.append(st)
                    proposals.append((st.b0, st.b))
                    continue
                halved = st.proposal is not None
                prop = st.proposal if st.proposal is not None else st.step(alpha, l1_ratio, fit_intercept)
                if (prop[0] == st.b0 and np.array_equal(prop[1], st.b)) or (
                        alpha > 0.0 and not halved and st.step_size(prop) <= STEP_SHARE * math.sqrt(tol) and
                        st.predicted_decrease(prop, alpha, l1_ratio, fit_intercept) < tol * st.null_dev):
                    # The step would gain less than the tolerance (or nothing): the
                    # current coefficients, whose statistics are those of the last scan,
                    # are optimal, unless a column left out of them should enter. (An
                    # unpenalised fit takes its last step, for its standard errors.)
                    missing = st.violators(a1, st.cols)
                    if not missing.size:
                        done.append(st)
                        continue
                    st.extra, st.rescan = np.union1d(st.extra, missing), True
                    prop = (st.b0, st.b)  # the scan at the same coefficients
                targets.append(st)
                proposals.append(prop)
            cols, out = run(targets, proposals, [st.wanted(b, threshold) for st, (_, b) in
                                                 zip(targets, proposals, strict=True)]) if targets else (nothing, [])
            for st, (b0, b), (stats, sums) in zip(targets, proposals, out, strict=True):
                if st.rescan:
                    st.rescan = False
                    st.accept(stats, sums, cols)
                    continue
                dev = float(sums[DEVIANCE])
                obj = dev + st.penalty(b, alpha, l1_ratio)
                change = obj - st.obj
                converged = abs(change) < tol * st.null_dev
                if not converged and not (obj < st.obj):  # an increase, or not finite
                    st.halvings += 1
                    st.proposal = ((st.b0 + b0) / 2.0, (st.b + b) / 2.0)
                    if st.halvings > MAX_HALVINGS:
                        st.status = NOT_CONVERGED
                        done.append(st)
                    continue
                st.move = max(abs(b0 - st.b0), float(np.max(np.abs(st.scaled(b) - st.scaled(st.b)), initial=0.0)))
                solved = st.cols
                st.b0, st.b, st.dev, st.obj = b0, b, dev, obj
                st.accept(stats, sums, cols)
                st.proposal, st.halvings = None, 0
                st.iters += 1
                if converged:
                    # Optimal only when no column left out of the step breaks the
                    # optimality condition; one that does enters (a scan at these
                    # coefficients first when the statistics lack it).
                    missing = st.violators(a1, solved)
                    if missing.size:
                        converged = False
                        st.extra = np.union1d(st.extra, missing)
                        st.rescan = bool(np.setdiff1d(missing, cols).size)
                if converged:
                    done.append(st)
                elif st.iters >= max_iter:
                    st.status = NOT_CONVERGED
                    done.append(st)
            pending = [st for st in pending if st not in done]
        for st in active:
            if st.sums[BEYOND] > 0 and (st.status == NOT_CONVERGED or st.move > RUNAWAY_STEP):
                st.status = SEPARATION
            if st.held is not None:
                f = st.held
                held[i, f] = st.sums[:HELD_CLASS + 1]
                fold_status[i, f] = st.status
                if st.status == SEPARATION:
                    st.active = False
        coef[i], intercept[i], deviance[i], status[i] = whole.b, whole.b0, whole.dev, whole.status
        dof[i] = _dof(whole, alpha, l1_ratio, fit_intercept)
        if alpha == 0.0:
            bse[i] = bse_of(whole.stats, whole.keep, k, fit_intercept)
        if whole.status == SEPARATION:
            warnings.warn(f"separation at penalty {i} (alpha={alpha!r}): the coefficients run off to "
                          "infinity (fitted values numerically 0 or 1, or a Poisson mean 0); the path "
                          "ends there", RuntimeWarning, stacklevel=3)
            end = i + 1
            break
        ratio = 1.0 - deviance[: i + 1] / whole.null_dev
        if default_grid and i >= FIRST_CHECKED and (
                ratio[i] > DEVMAX or ratio[i] - ratio[i - 1] < FDEV):
            end = i + 1
            break
    path = GlmPath(alphas[:end].copy(), coef[:end], intercept[:end], deviance[:end], whole.null_dev,
                   1.0 - deviance[:end] / whole.null_dev, dof[:end], bse[:end], passes, status[:end])
    return path, held[:end] if K else None, fold_status[:end], passes
