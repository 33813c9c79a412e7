"""The library's exported native routines, through the checked module ``_routines``
(the same fixed-order code the kernels use; arguments are checked and results
allocated there)."""

from __future__ import annotations

import numpy as np

from .._ckernels.regression import _routines as routines

__all__ = ["routines"]


def _f64(a):
    """a as a C-contiguous, aligned, writable float64 array (copied only when it is not
    one: arrays received from other processes, for instance, can be misaligned or
    read-only)."""
    return np.require(a, dtype=np.float64, requirements="CAW")
