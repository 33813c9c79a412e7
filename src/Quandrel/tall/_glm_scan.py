"""The scans of a GLM fit: each one reads every row once and forms, for every model
being fitted, the weighted statistics of its Newton step's quadratic model.

A model is its coefficients (b0, b) and the fold it leaves out (None: the model on all
rows). For each block of rows and each model, qdl_glm_working (through the `_routines`
module) gives the working response z and weights w * v at the model's coefficients (0
for the rows of its fold, which it scores instead) with the gradient sums of every
column, and qdl_moments_leaves the record of (x_S, z) with those weights, x_S the
columns the scan was asked for (the models' active and strong columns; the others
need only their gradients, to check that they stay out): the same record
`gram_stats` forms for (x_S, y). The blocks' records are merged in the pass's fixed
tree (`_pass`), all models at once, so the statistics are the same bits for every
chunking and kind of input; the blocks' deviances, held-out scores and gradient sums
are summed over the blocks in ascending order.
"""

from __future__ import annotations

from typing import Any, NamedTuple, cast

import numpy as np

from ._blocks import NO_ROW, Node, _strided, add
from ._folds import _hashed
from ._native import _f64, routines
from ._records import F64, I64
from ._stats import GramStats, _record, _width

# The entries of qdl_glm_working's sums (glm.h); a scan's sums continue with the
# gradient sums grad (2k entries).
DEVIANCE, BEYOND, HELD_W, HELD_DEV, HELD_MSE, HELD_CLASS, RESIDUAL, WORKING_W, SUMS = range(9)
FAMILIES = {"binomial": 0, "poisson": 1}


class Model(NamedTuple):
    """The coefficients of one model at a scan, and the fold it leaves out."""

    b0: float
    b: F64                      # (k,) float64, C-contiguous (as the kernel takes it)
    held: int | None            # the fold scored (its rows not fitted), or None
    bounds: tuple[float, float]  # (lo, hi) of the rows counted as beyond them (glm.h)


class Scanned(NamedTuple):
    """What a scan gives for each model: the statistics of (x_S, z) weighted by w * v (a
    GramStats over the scan's columns S), and the sums of glm.h over the rows followed
    by the gradient sums of all k columns (SUMS + 2k entries)."""

    stats: list[GramStats]
    sums: F64  # (models, SUMS + 2k)


# The rows a native call works on at a time (whole blocks): for several models, as many
# blocks as keep their X within BATCH_BYTES, so that every model's pass over them finds
# the rows in cache (at least one block); for one model, which reads them once, up to
# BATCH_BYTES_ONE.
BATCH_BYTES, BATCH_BYTES_ONE = 1 << 20, 1 << 26


def batches(m: int, block_rows: int, k: int, models: int) -> range:
    """The first rows of the batches of whole blocks of m rows."""
    budget = BATCH_BYTES if models > 1 else BATCH_BYTES_ONE
    step = block_rows * max(1, budget // (8 * max(k, 1) * block_rows))
    return range(0, m, step)


def block_records(X: Any, y: Any, w: Any, off: Any, ids: Any, family: str, models: list[Model],
                  cols: I64 | None, block_rows: int) -> tuple[list[Node], F64]:
    """The nodes of the blocks of block_rows rows (the last one may be shorter) of a
    batch of rows, for the models (folds 0 .. M-1 of a node stand for the models), their
    records over the columns cols (ascending; None: all), and the blocks' sums
    (blocks, M, SUMS + 2k): one native call of each kind per model for the whole batch,
    each block's values those of the block alone."""
    X, _, _ = _strided(X)
    m, k = X.shape
    blocks = -(-m // block_rows)
    Xs = X if cols is None else np.take(X, cols, axis=1)
    ks = Xs.shape[1]
    y, fam = _f64(y), FAMILIES[family]
    w = None if w is None else _f64(w)
    off = None if off is None else _f64(off)
    if ids is not None:
        ids = np.require(ids, np.int64, ["C", "A", "W"])  # arrays from other processes can be misaligned
    slots = None if blocks == 1 else np.repeat(np.arange(blocks, dtype=np.int64), block_rows)[:m]
    recs = np.empty((blocks, len(models), _width(ks + 1, False)))
    sums = np.empty((blocks, len(models), SUMS + 2 * k))
    for i, model in enumerate(models):
        held = None if ids is None else model.held
        z, ww, sums[:, i, :SUMS], sums[:, i, SUMS:] = routines.glm_working(
            X, y, w, off, None if held is None else ids, 0 if held is None else held, fam, model.b0,
            _f64(model.b), *model.bounds, block_rows)
        _, recs[:, i], _ = routines.moments_leaves(Xs, z, ww, slots, blocks, False)
    folds = np.arange(len(models), dtype=np.int64)
    counts, first = np.zeros(ks + 4, dtype=np.int64), np.full(2, NO_ROW, dtype=np.int64)
    return [Node(folds, recs[b], counts, first) for b in range(blocks)], sums


class Stack:
    """Adds the nodes of consecutive blocks as they come into the fixed tree of the pass
    (two complete nodes of equal size merged at once; at the end the stack folded from
    the right is the tree's root), and the blocks' sums in block order."""

    def __init__(self) -> None:
        self.stack: list[tuple[int, Node]] = []
        self.sums: F64 | None = None

    def push(self, node: Node, sums: F64) -> None:
        size = 1
        while self.stack and self.stack[-1][0] == size:
            node = add(self.stack.pop()[1], node)
            size *= 2
        self.stack.append((size, node))
        self.sums = sums if self.sums is None else self.sums + sums

    def result(self, ks: int) -> Scanned:
        """The scan's result, its records over ks columns."""
        root = self.stack.pop()[1]
        while self.stack:
            root = add(self.stack.pop()[1], root)
        return Scanned([_record(rec, ks + 1) for rec in root.recs], cast(F64, self.sums))


def fold_ids_of(ids: np.ndarray | None, K: int | None, seed: int, row0: int, m: int) -> np.ndarray | None:
    """The fold ids of rows row0 .. row0 + m - 1: the caller's slice, by hash, or None."""
    if ids is not None:
        return ids
    if K is not None:
        return _hashed(row0, row0 + m, K, seed)
    return None


def bse_of(stats: Any, keep: I64, k: int, fit_intercept: bool) -> F64:
    """Standard errors of the unpenalised fit from its last scan's statistics (the
    Fisher information sum w v (1, x)(1, x)' of the kept columns; dispersion 1):
    intercept first, NaN where not fitted. With an intercept, by the partitioned
    inverse: Var(b) = Gc^-1 and Var(b0) = 1 / sw + m' Gc^-1 m (m the means)."""
    out = np.full(k + 1, np.nan)
    G = stats.Gc if fit_intercept else stats.G
    G = np.ascontiguousarray(np.asarray(G)[np.ix_(keep, keep)])
    if keep.size:
        inv = np.empty_like(G)
        if _chol_inverse(G, inv) != 0:
            return out
        out[1 + keep] = np.sqrt(np.diagonal(inv))
    else:
        inv = np.zeros((0, 0))
    if fit_intercept:
        mean = np.asarray(stats.x_mean)[keep]
        out[0] = np.sqrt(1.0 / stats.sw + mean @ inv @ mean)
    return out


def _chol_inverse(A: F64, out: F64) -> int:
    """out = A^-1 by the Cholesky factor (column by column); 0, or -1 if A does not factor."""
    from ._solvers import _chol_solve

    n = A.shape[0]
    for j in range(n):
        e = np.zeros(n)
        e[j] = 1.0
        x, _, status = _chol_solve(A, e)
        if status:
            return -1
        out[:, j] = x
    return 0
