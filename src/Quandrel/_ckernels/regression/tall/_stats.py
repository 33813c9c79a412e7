"""The statistics records and their merges.

Inside the pass, a part of the rows is a `_Part` over the augmented rows z = (x, y)
(p = k + 1 columns, y last): its row count n, weight sum sw, the means of z rounded
to float64 and `resid`, what that rounding leaves (sum w (z - mean), a fraction of an
ulp of the means times sw), the centred co-moments M = sum w (z - mu)(z - mu)' about
the exact means mu = mean + resid / sw, and the raw sums R = sum w z z'. A record,
`GramStats`, holds the same numbers split into the X and y blocks.

Two adjacent parts are merged by `_merge`, always with the lower rows on the left,
by the pairwise update of means and co-moments (Chan, Golub and LeVeque, "Algorithms
for computing the sample variance: analysis and recommendations", The American
Statistician 37, 1983; with weights and for co-moments as in Pebay, Sandia report
SAND2008-6212, 2008):

    sw = sw_a + sw_b,  d = mu_a - mu_b,  M = M_a + M_b + (sw_a sw_b / sw) d d'.

Every operation is elementwise and written with its parentheses, so a merge is a
fixed sequence of IEEE operations on its two operands: given the same operands in the
same tree, the bits are the same whatever computed them.

Accuracy. For a column whose mean is large against its spread, the means of two
parts agree in their leading digits, so mean_a - mean_b is exact (Sterbenz), and the
rounding of each part's mean, which would enter d to first order (about 1e-10 of the
co-moment at 20,000 rows for a mean 1e8 times the spread), is carried in `resid` and
added back: d = (mean_a - mean_b) + (resid_a / sw_a - resid_b / sw_b). The merged mean
is rounded again, and what its rounding leaves is carried on (`_renorm`).
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
from typing import NamedTuple

import numpy as np

__all__ = ["GramStats", "FoldedStats"]


@dataclasses.dataclass(frozen=True, eq=False)
class GramStats:
    """Sufficient statistics of a weighted least-squares problem (weights w; all 1
    without weights).

    G   (k, k) X'WX, exactly symmetric        c   (k,) X'Wy
    yy  y'Wy (a float)                        n   number of rows (an int)
    sw  sum of the weights (n without weights)
    x_mean (k,), y_mean: the weighted means, each to the nearest float64 (or next to it)
    Gc  (k, k) sum w (x - x_mean)(x - x_mean)', exactly symmetric
    cc  (k,) sum w (x - x_mean)(y - y_mean)    yyc  sum w (y - y_mean)^2
    resid (k + 1,) sum w (x - x_mean), then sum w (y - y_mean): what the rounding of
        the means leaves (below sw times an ulp of the means), carried so that merged
        records keep the digits of the centred co-moments.

    The centred co-moments are about the exact means. Unweighted and unfolded, G, c and
    yy are sums by blocks of rows; weighted, per fold and merged, they are formed from
    the centred statistics, Gc + sw mu mu' and so on, with mu the exact means. Records
    made from G, c, yy and n alone (the four positional fields) have None in the
    others, and serve the solvers that need no intercept.
    """

    G: np.ndarray
    c: np.ndarray
    yy: float
    n: int
    sw: float | None = None
    x_mean: np.ndarray | None = None
    y_mean: float | None = None
    Gc: np.ndarray | None = None
    cc: np.ndarray | None = None
    yyc: float | None = None
    resid: np.ndarray | None = None

    @property
    def centred(self) -> bool:
        """Whether the record holds the weights' sum, the means and the centred co-moments."""
        return all(getattr(self, f.name) is not None for f in dataclasses.fields(self))

    def fingerprint(self) -> str:
        """A hash of the statistics' bits (the same for every partitioning)."""
        h = hashlib.sha256()
        _hash(h, self)
        return h.hexdigest()[:32]


def _hash(h, stats):
    h.update(np.int64(stats.n).tobytes())
    for field in dataclasses.fields(stats):
        value = getattr(stats, field.name)
        if field.name != "n" and value is not None:
            h.update(np.ascontiguousarray(value, dtype=np.float64).tobytes())


@dataclasses.dataclass(frozen=True, eq=False)
class FoldedStats:
    """The statistics of each fold of a K-fold split, from one pass.

    folds  K GramStats records, fold f holding the rows of fold id f
    total  the merge of all folds, in ascending fold order
    train(f)  the merge of all folds but f, in ascending fold order
    """

    folds: tuple

    @property
    def K(self) -> int:
        return len(self.folds)

    @functools.cached_property
    def total(self) -> GramStats:
        return _merge_records(self.folds)

    def train(self, f) -> GramStats:
        """The statistics of every row outside fold f (the folds in ascending order)."""
        if isinstance(f, bool) or not isinstance(f, (int, np.integer)) or not 0 <= f < self.K:
            raise ValueError(f"f must be a fold index in [0, {self.K - 1}], got {f!r}")
        return _merge_records([s for g, s in enumerate(self.folds) if g != f])

    def fingerprint(self) -> str:
        """A hash of every fold's bits."""
        h = hashlib.sha256()
        for stats in self.folds:
            _hash(h, stats)
        return h.hexdigest()[:32]


# ---------------------------------------------------------------------------
# Parts and their merge.
# ---------------------------------------------------------------------------
class _Part(NamedTuple):
    n: int
    sw: float
    mean: np.ndarray   # (p,)
    resid: np.ndarray  # (p,) sum w (z - mean)
    M: np.ndarray      # (p, p) sum w (z - mu)(z - mu)', mu = mean + resid / sw
    R: np.ndarray      # (p, p) sum w z z' summed by blocks, or None: formed from the rest


def _renorm(mean, resid, sw):
    """The means rounded again, mean + resid / sw, and what that leaves:
    sum w (z - new) = resid + sw (mean - new), where mean - new is exact (the two are
    within a few ulps of each other)."""
    new = mean + resid / sw
    return new, resid + sw * (mean - new)


def _merge(a, b):
    """The part of a's rows followed by b's. The raw sums add (when both parts have
    them); a part without weight (sw = 0: all its weights zero) adds nothing to the
    means and co-moments."""
    n = a.n + b.n
    R = None if a.R is None or b.R is None else a.R + b.R
    if b.sw == 0.0:
        return _Part(n, a.sw, a.mean, a.resid, a.M, R)
    if a.sw == 0.0:
        return _Part(n, b.sw, b.mean, b.resid, b.M, R)
    sw = a.sw + b.sw
    # d = mu_a - mu_b: the rounded means' difference (exact where they are close),
    # then the difference of what their rounding left.
    d = (a.mean - b.mean) + (a.resid / a.sw - b.resid / b.sw)
    # M = (M_a + M_b) + ((sw_a / sw) sw_b) (d_i d_j): d_i d_j = d_j d_i, so M stays
    # exactly symmetric.
    M = (a.M + b.M) + ((a.sw / sw) * b.sw) * np.outer(d, d)
    # mu = mu_a - (sw_b / sw) d, rounded; resid = sum w (z - mean) over both parts =
    # (resid_a + resid_b) + (sw_a (mean_a - mean) + sw_b (mean_b - mean)).
    mean = a.mean - (b.sw / sw) * d
    resid = (a.resid + b.resid) + (a.sw * (a.mean - mean) + b.sw * (b.mean - mean))
    mean, resid = _renorm(mean, resid, sw)
    return _Part(n, sw, mean, resid, M, R)


def _record(part):
    """The GramStats of a part (copies: a record owns its arrays). A part without raw
    sums gets them from its centred statistics, R = M + sw (mu_i mu_j) with the exact
    means mu = mean + resid / sw: exactly symmetric, and as accurate as sums by rows
    (each entry a few ulps of sqrt(R_ii R_jj)), since M and sw mu mu' carry their own."""
    k = part.M.shape[0] - 1
    M = part.M
    R = part.R
    if R is None:
        mu = part.mean + part.resid / part.sw
        R = M + part.sw * np.outer(mu, mu)
    return GramStats(
        G=R[:k, :k].copy(), c=R[:k, k].copy(), yy=float(R[k, k]), n=int(part.n),
        sw=float(part.sw), x_mean=part.mean[:k].copy(), y_mean=float(part.mean[k]),
        Gc=M[:k, :k].copy(), cc=M[:k, k].copy(), yyc=float(M[k, k]), resid=part.resid.copy())


def _part(stats):
    """The part of a record (the inverse of _record), without its raw sums: a merged
    record forms them from its centred statistics."""
    if not stats.centred:
        raise ValueError("the statistics lack the weights' sum, the means or the centred "
                         "co-moments: form them with gram_stats")

    def block(A, v, s):
        k = v.shape[0]
        out = np.empty((k + 1, k + 1))
        out[:k, :k], out[:k, k], out[k, :k], out[k, k] = A, v, v, s
        return out

    return _Part(stats.n, stats.sw, np.append(stats.x_mean, stats.y_mean), np.asarray(stats.resid),
                 block(stats.Gc, stats.cc, stats.yyc), None)


def _merge_records(records):
    """The merge of records in the order given: ((r0 + r1) + r2) + ..."""
    parts = [_part(r) for r in records]
    return _record(functools.reduce(_merge, parts))


def _mean_difference(a, b):
    """mu_a - mu_b of two records, x's then y's, with what the means' rounding left."""
    return ((np.append(a.x_mean, a.y_mean) - np.append(b.x_mean, b.y_mean))
            + (a.resid / a.sw - b.resid / b.sw))
