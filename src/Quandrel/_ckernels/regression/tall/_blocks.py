"""The statistics of one block of rows: its leaves, one per fold, and their sums.

A block (rows r0 .. r0 + block_rows - 1 of the whole data, the last one shorter) is
split by fold into leaves, each holding the block's rows of one fold in ascending row
order (with no folds, the block is one leaf). A leaf's statistics come from the
library's fixed-order native routines over z = (x, y), p = k + 1 columns: every sum
below is ONE running sum over the leaf's rows in ascending order, from 0.0
(qdl_gram, qdl_gram_rhs and qdl_dot), the rest elementwise IEEE operations:

    sw    = sum w              the row count (weighted: qdl_dot(w, 1))
    mean  = (sum w z) / sw     qdl_gram_rhs(z, w), one division per entry
    resid = sum w (z - mean)   qdl_gram_rhs(z - mean, w)
    M     = sum w (z - mean)(z - mean)' - resid resid' / sw
                               qdl_gram on z - mean (weighted: sqrt(w) (z - mean))

so M is the co-moment about the exact mean, mean + resid / sw (mean and resid are
then rounded again, `_stats._renorm`); sum w z is summed as qdl_gram_rhs(x, w) and
qdl_dot(y, w). A leaf without weights or folds (a whole block) also sums the raw
statistics as they have always been summed, G = qdl_gram(x), c = qdl_gram_rhs(x, y),
yy = qdl_dot(y, y), held as R = sum z z'; the leaves of weighted or folded data leave
R out (None), and their records form it from the centred statistics
(`_stats._record`), which saves one Gram matrix per block.

A block's node is its leaves by fold id, with the counts of what the checks after
the pass refuse: NaN and infinite values per column of z (counted only in the
columns whose entry of the diagonal of R, or of M, is not finite: a column's sum of
squares is finite exactly when the column holds none and its squares do not
overflow; a leaf without weight is counted in full), weights that are NaN, infinite
or negative, and fold ids that are not whole numbers in [0, n). Nodes add fold by
fold (`add`).
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from ._folds import _hashed, clean_ids
from ._native import _f64, _native
from ._stats import _merge, _Part, _renorm

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
    parts: dict          # fold id -> _Part (0 alone without folds)
    counts: np.ndarray   # int64, p + 3: NaN/inf per column of z, then W_NONFINITE, W_NEGATIVE, BAD_IDS
    first: np.ndarray    # int64, 2: first row of a bad weight, of a bad fold id (NO_ROW: none)


def add(left, right):
    """The node of left's rows followed by right's: each fold's parts merged (a fold
    on one side only is that side's part, unchanged), counts added."""
    parts = dict(left.parts)
    for f, part in right.parts.items():
        parts[f] = _merge(parts[f], part) if f in parts else part
    return Node(parts, left.counts + right.counts, np.minimum(left.first, right.first))


def _address(a):
    return a.ctypes.data


def leaves(X, y, w, edges, raw):
    """The (_Part, NaN and infinite counts per column) of each leaf, rows
    edges[i] .. edges[i+1] - 1 of X (m, k) and y (m,), float64 and C-contiguous, with
    weights w (m,), finite and >= 0, or None. raw: also the raw sums (unweighted).

    Each leaf is worked through while its rows are in the cache, the native routines
    called on the addresses of its rows; the centred rows z - mean are written into one
    scratch block T. Then, for all leaves at once: the means, M about the exact means,
    the means rounded again, and the counts."""
    m, k = X.shape
    p, L = k + 1, len(edges) - 1
    lib = _native()
    gram, rhs, dot = lib["qdl_gram"], lib["qdl_gram_rhs"], lib["qdl_dot"]
    ones, T = np.ones(m), np.empty((m, p))
    M, S, resid, sw = np.empty((L, p, p)), np.empty((L, p)), np.empty((L, p)), np.empty(L)
    R, G = (np.empty((L, p, p)), np.empty((k, k))) if raw else (None, None)
    x0, y0, t0, one0 = _address(X), _address(y), _address(T), _address(ones)
    s0, e0, m0 = _address(S), _address(resid), _address(M)
    g0 = None if G is None else _address(G)
    if w is not None:
        root, w0 = np.sqrt(w)[:, None], _address(w)
    for i in range(L):
        a, b = edges[i], edges[i + 1]
        n = b - a
        xa, ya, ta, onea = x0 + 8 * k * a, y0 + 8 * a, t0 + 8 * p * a, one0 + 8 * a
        si, ei, mi = s0 + 8 * p * i, e0 + 8 * p * i, m0 + 8 * p * p * i
        if raw:  # as the pass has always summed them
            gram(xa, g0, n, k)                                 # X'X
            rhs(xa, ya, si, n, k)                              # X'y (S[i] as scratch)
            R[i, :k, :k], R[i, :k, k], R[i, k, :k] = G, S[i, :k], S[i, :k]
            R[i, k, k] = dot(ya, ya, n)                        # y'y
        if w is None:
            sw[i], wa = float(n), onea
        else:
            wa = w0 + 8 * a
            sw[i] = dot(wa, onea, n)                           # sw = sum w
        rhs(xa, wa, si, n, k)                                  # S = (X'w, y'w)
        S[i, k] = dot(ya, wa, n)
        if sw[i] == 0.0:
            continue
        np.subtract(X[a:b], S[i, :k] / sw[i], out=T[a:b, :k])  # T = z - mean
        np.subtract(y[a:b], S[i, k] / sw[i], out=T[a:b, k])
        rhs(ta, wa, ei, n, p)                                  # resid = T'w
        if w is not None:
            np.multiply(T[a:b], root[a:b], out=T[a:b])
        gram(ta, mi, n, p)                                     # M = T'WT
    weighed = sw > 0.0
    mean = np.zeros((L, p))
    mean[weighed] = S[weighed] / sw[weighed, None]
    # About the exact mean, mean + resid / sw: M - resid resid' / sw, each entry
    # (resid_i resid_j) / sw. Leaves without weight have no means, nothing centred.
    M[weighed] -= (resid[weighed, :, None] * resid[weighed, None, :]) / sw[weighed, None, None]
    mean[weighed], resid[weighed] = _renorm(mean[weighed], resid[weighed], sw[weighed, None])
    M[~weighed], resid[~weighed] = 0.0, 0.0
    counts = np.zeros((L, p), dtype=np.int64)
    suspect = ~np.isfinite(np.diagonal(M if R is None else R, axis1=1, axis2=2)) | ~weighed[:, None]
    for i, j in zip(*np.nonzero(suspect)):
        rows = slice(edges[i], edges[i + 1])
        counts[i, j] = np.count_nonzero(~np.isfinite(X[rows, j] if j < k else y[rows]))
    return [(_Part(edges[i + 1] - edges[i], float(sw[i]), mean[i], resid[i], M[i],
                   None if R is None else R[i]), counts[i]) for i in range(L)]


def block(X, y, w, ids, row0, plan):
    """The node of one block: X (m, k), y (m,), w (m,) or None, ids (m,) the caller's
    fold ids or None (the folds are then those of plan.K by hash, or none), row0 the
    block's first global row."""
    m, k = X.shape
    p = k + 1
    counts = np.zeros(p + 3, dtype=np.int64)
    first = np.full(2, NO_ROW, dtype=np.int64)
    if w is not None:
        w = _f64(w)
        nonfinite, negative = ~np.isfinite(w), w < 0.0
        bad = nonfinite | negative
        if bad.any():
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
    if ids is None:
        X, y, folds, edges = _f64(X), _f64(y), [0], [0, m]
    else:
        # Stable: each fold's rows stay in ascending order.
        order = np.argsort(ids, kind="stable")
        X, y = _f64(np.asarray(X)[order]), _f64(np.asarray(y)[order])
        if w is not None:
            w = w[order]
        f = ids[order]
        cuts = (np.flatnonzero(f[1:] != f[:-1]) + 1).tolist()
        folds, edges = f[[0, *cuts]].tolist(), [0, *cuts, m]
    with np.errstate(all="ignore"):  # non-finite data flow on when they are let in
        results = leaves(X, y, w, edges, raw=ids is None and w is None)
    parts = {}
    for fold, (part, nonfinite) in zip(folds, results):
        parts[fold] = part
        counts[:p] += nonfinite
    return Node(parts, counts, first)
