"""The statistics record and its merges."""

from __future__ import annotations

import dataclasses
import hashlib

import numpy as np

__all__ = ["GramStats"]


@dataclasses.dataclass(frozen=True, eq=False)
class GramStats:
    """Sufficient statistics of a least-squares problem.

    G  (k, k) X'X, exactly symmetric       c  (k,) X'y
    yy y'y (a float)                       n  number of rows (an int)
    """

    G: np.ndarray
    c: np.ndarray
    yy: float
    n: int

    def fingerprint(self) -> str:
        """A hash of the statistics' bits (the same for every partitioning)."""
        h = hashlib.sha256()
        h.update(np.int64(self.n).tobytes())
        h.update(np.float64(self.yy).tobytes())
        h.update(np.ascontiguousarray(self.G).tobytes())
        h.update(np.ascontiguousarray(self.c).tobytes())
        return h.hexdigest()[:32]


def _add(left, right):
    """The sum of two parts (G, c, yy, n, nonfinite), the left one the lower rows."""
    return tuple(a + b for a, b in zip(left, right))


def _record(root):
    G, c, yy, n, _ = root
    return GramStats(G=np.array(G, dtype=np.float64), c=np.array(c, dtype=np.float64),
                     yy=float(yy), n=int(n))
