"""The statistics records and their merges.

Inside the pass, a part of the rows is a record over the augmented rows z = (x, y)
(p = k + 1 columns, y last): one float64 array laid out as the native moments routines
read and write it (moments.h), holding its row count n, weight sum sw, the means of z
rounded to float64 and `resid`, what that rounding leaves (sum w (z - mean), a
fraction of an ulp of the means times sw), the centred co-moments M = sum w (z - mu)
(z - mu)' about the exact means mu = mean + resid / sw; the raw sums R = sum w z z'
are formed from these when a record is handed out (`_record`). The record handed to the user, `GramStats`,
holds the same numbers split into the X and y blocks.

Two adjacent parts are merged by `_merge` (qdl_moments_merge), always with the lower
rows on the left, by the pairwise update of means and co-moments (Chan, Golub and
LeVeque, "Algorithms for computing the sample variance: analysis and
recommendations", The American Statistician 37, 1983; with weights and for
co-moments as in Pebay, Sandia report SAND2008-6212, 2008):

    sw = sw_a + sw_b,  d = mu_a - mu_b,  M = M_a + M_b + (sw_a sw_b / sw) d d'.

Every operation is elementwise and written with its parentheses, so a merge is a
fixed sequence of IEEE operations on its two operands: given the same operands in the
same tree, the bits are the same whatever computed them.

Accuracy. For a column whose mean is large against its spread, the means of two
parts agree in their leading digits, so mean_a - mean_b is exact (Sterbenz), and the
rounding of each part's mean, which would enter d to first order (about 1e-10 of the
co-moment at 20,000 rows for a mean 1e8 times the spread), is carried in `resid` and
added back: d = (mean_a - mean_b) + (resid_a / sw_a - resid_b / sw_b). The merged mean
is rounded again, and what its rounding leaves is carried on.
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._native import _f64, routines
from ._records import F64

__all__ = ["FoldedStats", "GramStats"]


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

    The centred co-moments are about the exact means. G, c and yy are formed from the
    centred statistics, Gc + sw mu mu' and so on, with mu the exact means. Records
    made from G, c, yy and n alone (the four positional fields) have None in the
    others, and serve the solvers that need no intercept.

    names: the columns of X by name (or index in their file) when the rows came from a
    Source, else None; carried to the fits, not part of the statistics' bits.
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
    names: tuple[Any, ...] | None = None

    @property
    def centred(self) -> bool:
        """Whether the record holds the weights' sum, the means and the centred co-moments."""
        return all(getattr(self, name) is not None for name in _STATISTICS)

    def fingerprint(self) -> str:
        """A hash of the statistics' bits (the same for every partitioning).

        Returns
        -------
        str
            32 hexadecimal digits of the SHA-256 of every statistic's bits (not the
            names).

        Examples
        --------
        >>> import numpy as np
        >>> from Quandrel import tall
        >>> X, y = np.arange(20.0).reshape(10, 2), np.arange(10.0)
        >>> a = tall.gram_stats(X, y, block_rows=4)
        >>> a.fingerprint() == tall.gram_stats([(X[:3], y[:3]), (X[3:], y[3:])], block_rows=4).fingerprint()
        True
        """
        h = hashlib.sha256()
        _hash(h, self)
        return h.hexdigest()[:32]


# The fields that hold statistics (not the names).
_STATISTICS = tuple(f.name for f in dataclasses.fields(GramStats) if f.name != "names")


def _hash(h: Any, stats: GramStats) -> None:
    h.update(np.int64(stats.n).tobytes())
    for name in _STATISTICS:
        value = getattr(stats, name)
        if name != "n" and value is not None:
            h.update(np.ascontiguousarray(value, dtype=np.float64).tobytes())


@dataclasses.dataclass(frozen=True, eq=False)
class FoldedStats:
    """The statistics of each fold of a K-fold split, from one pass.

    folds  K GramStats records, fold f holding the rows of fold id f
    total  the merge of all folds, in ascending fold order
    train(f)  the merge of all folds but f, in ascending fold order
    """

    folds: tuple[GramStats, ...]

    @property
    def K(self) -> int:
        """The number of folds."""
        return len(self.folds)

    @functools.cached_property
    def total(self) -> GramStats:
        """The statistics of every row: the folds merged in ascending order."""
        return _merge_records(self.folds)

    def train(self, f: int) -> GramStats:
        """The statistics of every row outside fold f (the folds in ascending order).

        Parameters
        ----------
        f : int
            A fold index in [0, K).

        Returns
        -------
        GramStats
            The merge of the other folds' statistics.

        Raises
        ------
        ValueError
            f is not a fold index.

        Examples
        --------
        >>> import numpy as np
        >>> from Quandrel import tall
        >>> folded = tall.gram_stats(np.ones((100, 2)), np.ones(100), folds=4)
        >>> folded.train(0).n + folded.folds[0].n  # the rows outside fold 0, and in it
        100
        """
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
def _width(p: int, raw: bool) -> int:
    """Entries of a part's record over p columns, with the raw sums or without."""
    return 2 + 2 * p + p * p + (p * p if raw else 0)


def _is_raw(width: int, p: int) -> bool:
    return width != _width(p, False)


def _merge(a: F64, b: F64, p: int) -> F64:
    """The records of a's rows followed by b's: a and b hold records of p columns
    (one, or one per row of a 2-D array), merged pairwise. A record whose row count
    is 0 stands for no rows (the other is taken unchanged); the raw sums add; a part
    without weight (sw = 0) adds nothing to the means and co-moments."""
    width = a.shape[-1]
    out: F64 = routines.moments_merge(_f64(a).reshape(-1, width), _f64(b).reshape(-1, width), p,
                                      _is_raw(width, p))
    return out.reshape(a.shape)


def _record(rec: F64, p: int, names: tuple[Any, ...] | None = None) -> GramStats:
    """The GramStats of a part's record (copies: a record owns its arrays). A part
    without raw sums gets them from its centred statistics, R = M + sw (mu_i mu_j)
    with the exact means mu = mean + resid / sw: exactly symmetric, and as accurate as
    sums by rows (each entry a few ulps of sqrt(R_ii R_jj)), since M and sw mu mu'
    carry their own."""
    k = p - 1
    n, sw = rec[0], rec[1]
    mean, resid = rec[2:2 + p], rec[2 + p:2 + 2 * p]
    M = rec[2 + 2 * p:2 + 2 * p + p * p].reshape(p, p)
    if _is_raw(rec.shape[0], p):
        R = rec[2 + 2 * p + p * p:].reshape(p, p)
    else:
        mu = mean + resid / sw
        R = M + sw * np.outer(mu, mu)
    return GramStats(
        G=R[:k, :k].copy(), c=R[:k, k].copy(), yy=float(R[k, k]), n=int(n),
        sw=float(sw), x_mean=mean[:k].copy(), y_mean=float(mean[k]),
        Gc=M[:k, :k].copy(), cc=M[:k, k].copy(), yyc=float(M[k, k]), resid=resid.copy(),
        names=names)


def _part(stats: GramStats) -> F64:
    """The record of a GramStats (the inverse of _record), without its raw sums: a
    merged record forms them from its centred statistics."""
    if not stats.centred:
        raise ValueError("the statistics lack the weights' sum, the means or the centred "
                         "co-moments: form them with gram_stats")
    k = np.shape(stats.c)[0]
    p = k + 1
    rec = np.empty(_width(p, False))
    rec[0], rec[1] = stats.n, stats.sw
    rec[2:2 + k], rec[2 + k] = stats.x_mean, stats.y_mean
    rec[2 + p:2 + 2 * p] = stats.resid
    M = rec[2 + 2 * p:].reshape(p, p)
    M[:k, :k], M[:k, k], M[k, :k], M[k, k] = stats.Gc, stats.cc, stats.cc, stats.yyc
    return rec


def _merge_records(records: Sequence[GramStats]) -> GramStats:
    """The merge of records in the order given: ((r0 + r1) + r2) + ..."""
    p = np.shape(records[0].c)[0] + 1
    return _record(functools.reduce(lambda a, b: _merge(a, b, p), [_part(r) for r in records]), p,
                   records[0].names)


def _mean_difference(a: Any, b: Any) -> F64:
    """mu_a - mu_b of two records, x's then y's, with what the means' rounding left."""
    d: F64 = ((np.append(a.x_mean, a.y_mean) - np.append(b.x_mean, b.y_mean))
              + (a.resid / a.sw - b.resid / b.sw))
    return d
