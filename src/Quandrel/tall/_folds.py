"""The assignment of rows to folds, and the checks of fold ids given by the caller.

fold_ids gives global row i the fold splitmix64(seed, i) mod K: the (i + 1)-th output
of the SplitMix64 generator (Steele, Lea and Flood, "Fast splittable pseudorandom
number generators", OOPSLA 2014) started from the state `seed`,

    z = seed + (i + 1) * 0x9E3779B97F4A7C15          (mod 2^64)
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9          (mod 2^64)
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB          (mod 2^64)
    fold = (z ^ (z >> 31)) mod K

so a row's fold depends on its position and the seed only: not on the chunking, and
not on the order of the data (sorted data are not split into runs, as i mod K would
split them at a period). Fold sizes are those of a multinomial draw, each within a
few sqrt(n / K) of n / K. The library computes it (qdl_fold_ids).
"""

from __future__ import annotations

import numpy as np

from ._native import routines
from ._params import check_int

__all__ = ["fold_ids"]

MAX_FOLDS = 2**32  # far more than anyone splits into; keeps fold ids in int64


def _bits(v):
    """The int64 with the bits of v modulo 2^64 (the hash reads row numbers and the
    seed modulo 2^64)."""
    return (v + 2**63) % 2**64 - 2**63


def _hashed(start, stop, K, seed):
    return routines.fold_ids(_bits(start), stop - start, K, _bits(seed))


def fold_ids(start, stop, K, seed=0):
    """The fold of each global row in [start, stop) under gram_stats(folds=K, seed=seed):
    an int64 array of values in 0 .. K-1 (see the module's description of the hash).

    >>> fold_ids(0, 10, 3).tolist() == fold_ids(0, 20, 3)[:10].tolist()
    True
    """
    start = check_int(start, "start", 0)
    stop = check_int(stop, "stop", start)
    return _hashed(start, stop, check_int(K, "K", 2, MAX_FOLDS), check_seed(seed))


def check_seed(seed):
    return check_int(seed, "seed", 0, 2**64 - 1)


def clean_ids(ids, n):
    """A block of fold ids given by the caller as int64, with the count of ids that
    are not whole numbers in [0, n) and the block position of the first of them (or
    -1). Those are replaced by 0, so that the pass goes on to the end and reports
    every problem at once."""
    ids = np.asarray(ids)
    if ids.dtype.kind in "iu":
        bad = (ids < 0) | (ids >= n)
    else:
        with np.errstate(invalid="ignore"):
            bad = ~np.isfinite(ids) | (ids < 0) | (ids >= n) | (ids != np.floor(ids))
    count = int(np.count_nonzero(bad))
    if count:
        ids = np.where(bad, 0, ids)
    return ids.astype(np.int64), count, (int(np.argmax(bad)) if count else -1)
