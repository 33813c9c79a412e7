"""The statistics of one block of rows: its leaves, one per fold, and their sums.

A block (rows r0 .. r0 + block_rows - 1 of the whole data, the last one shorter) is
split by fold into leaves, each holding the block's rows of one fold in ascending row
order (with no folds, the block is one leaf). One native call, qdl_moments_leaves,
forms the records of all the leaves of a block (see moments.h for every operation):
each leaf's rows z = (x, y), p = k + 1 columns, are packed row by row into scratch
and every sum is ONE running sum over the leaf's rows in ascending order, from 0.0
(the bits of qdl_gram, qdl_gram_rhs and qdl_dot on the leaf's rows), the rest
elementwise IEEE operations:

    sw    = sum w              the row count (weighted: qdl_dot(w, 1))
    mean  = (sum w z) / sw     qdl_gram_rhs(z, w), one division per entry
    resid = sum w (z - mean)   qdl_gram_rhs(z - mean, w)
    M     = sum w (z - mean)(z - mean)' - resid resid' / sw
                               qdl_gram on z - mean (weighted: sqrt(w) (z - mean))

so M is the co-moment about the exact mean, mean + resid / sw (mean and resid are
then rounded again). No leaf sums the raw statistics R = sum w z z' by rows: every
record forms them from its centred statistics (`_stats._record`), weighted or not,
folded or not, so each block forms one Gram matrix. X is read where it lies, rows or
columns contiguous (as files' readers hand columns), without a copy.

A block's node is its folds and their records, with the counts of what the checks
after the pass refuse: NaN and infinite values per column of z (counted only in the
columns whose entry of the diagonal of M is not finite: a column's centred sum of
squares is finite exactly when the column holds none and its squares do not
overflow; a leaf without weight is counted in full), weights that are NaN, infinite
or negative, and fold ids that are not whole numbers in [0, n). Nodes add fold by
fold (`add`).
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ._folds import _hashed, clean_ids
from ._native import _f64, routines
from ._stats import _merge

# Entries of a node's `counts` after the p columns' NaN and infinite values.
W_NONFINITE, W_NEGATIVE, BAD_IDS = 0, 1, 2
NO_ROW = 1 << 62  # `first` of a node with no bad weight or id


class Plan(NamedTuple):
    """What every block needs to know: rows per block, the number of blocks and of rows
    (0 when not known in advance: iterables), and the folds by hash (K, seed; K None
    for no folds or for the caller's ids)."""

    block_rows: int
    nb: int
    n: int
    K: int | None
    seed: int


class Node(NamedTuple):
    folds: np.ndarray    # int64 (F,): the folds with rows here, ascending (0 alone without folds)
    recs: np.ndarray     # float64 (F, width): their records (`_stats`), row f for folds[f]
    counts: np.ndarray   # int64, p + 3: NaN/inf per column of z, then W_NONFINITE, W_NEGATIVE, BAD_IDS
    first: np.ndarray    # int64, 2: first row of a bad weight, of a bad fold id (NO_ROW: none)


def add(left: Node, right: Node) -> Node:
    """The node of left's rows followed by right's: each fold's records merged (a fold
    on one side only is that side's record, unchanged), counts added."""
    p = left.counts.shape[0] - 3
    a, b = left.recs, right.recs
    folds = left.folds
    if folds.shape != right.folds.shape or not np.array_equal(folds, right.folds):
        # Both sides on all folds of either, a fold missing on one side as a record of
        # no rows.
        folds = np.union1d(left.folds, right.folds)
        a, b = (np.zeros((folds.size, a.shape[1])) for _ in range(2))
        a[np.searchsorted(folds, left.folds)] = left.recs
        b[np.searchsorted(folds, right.folds)] = right.recs
    return Node(folds, _merge(a, b, p), left.counts + right.counts, np.minimum(left.first, right.first))


def _strided(X: Any) -> tuple[npt.NDArray[np.float64], int, int]:
    """X (m, k) as float64 with its row and column strides in elements: as it is when
    it is float64, aligned and its strides are whole elements >= 0 (rows or columns
    contiguous, or slices of either), else a C-contiguous copy."""
    X = np.asarray(X)
    if X.dtype != np.float64 or not X.flags.aligned or any(s < 0 or s % 8 for s in X.strides):
        X = np.require(X, np.float64, ["C", "A"])
    return X, X.strides[0] // 8, X.strides[1] // 8


# Fold ids up to this many times the block's rows are leaf slots as they are; larger
# ones are numbered among the block's own first.
_SLOTS_PER_ROW = 2


def block(X: Any, y: Any, w: Any, ids: Any, row0: int, plan: Plan) -> Node:
    """The node of one block: X (m, k), y (m,), w (m,) or None, ids (m,) the caller's
    fold ids or None (the folds are then those of plan.K by hash, or none), row0 the
    block's first global row."""
    X = _strided(X)[0]  # the routine reads it with its strides
    m, k = X.shape
    p = k + 1
    counts = np.zeros(p + 3, dtype=np.int64)
    first = np.full(2, NO_ROW, dtype=np.int64)
    if w is not None:
        w = _f64(w)
        if not (w.min() >= 0.0 and w.max() < np.inf):  # NaN, infinite or negative weights
            nonfinite, negative = ~np.isfinite(w), w < 0.0
            bad = nonfinite | negative
            counts[p + W_NONFINITE] = np.count_nonzero(nonfinite)
            counts[p + W_NEGATIVE] = np.count_nonzero(negative)
            first[0] = row0 + int(np.argmax(bad))
            w = np.where(bad, 0.0, w)  # refused after the pass; the pass goes on
    if ids is not None:
        ids, count, at = clean_ids(ids, plan.n)
        if count:
            counts[p + BAD_IDS], first[1] = count, row0 + at
    elif plan.K is not None:
        ids = _hashed(row0, row0 + m, plan.K, plan.seed)
    names, nslots = None, 1
    if ids is not None:
        nslots = plan.K if plan.K is not None else int(ids.max()) + 1
        if nslots > _SLOTS_PER_ROW * m + 64:
            names, ids = np.unique(ids, return_inverse=True)
            nslots = names.size
        ids = np.require(ids, np.int64, ["C", "A", "W"])
    y = _f64(y)
    folds, out, nonfinite = routines.moments_leaves(X, y, w, ids, nslots, False)
    counts[:p] = nonfinite
    folds = folds if names is None else names[folds]
    # Fewer leaves than allocated come as the first rows: a copy frees the rest.
    return Node(folds, out if out.base is None else out.copy(), counts, first)
