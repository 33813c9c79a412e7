"""The library's exported native routines, called through ctypes on the extension's
shared object (the same fixed-order code the kernels use)."""

from __future__ import annotations

import ctypes
import functools

import numpy as np

from .._ckernels.regression import _regression

_P, _I64, _F64 = ctypes.c_void_p, ctypes.c_int64, ctypes.c_double
_PROTOTYPES = {
    "qdl_gram": (None, [_P, _P, _I64, _I64]),
    "qdl_gram_rhs": (None, [_P, _P, _P, _I64, _I64]),
    "qdl_dot": (_F64, [_P, _P, _I64]),
    "qdl_matvec": (None, [_P, _P, _P, _I64, _I64]),
    "qdl_forward_subst": (None, [_P, _P, _P, _I64]),
    "qdl_backward_subst_chol_t": (None, [_P, _P, _P, _I64]),
    "qdl_chol_solve": (ctypes.c_int, [_P, _P, _P, _P, _I64]),
    "qdl_ridge_grid_search_gram": (None, [_P, _P, _F64, _F64, _I64, _P] + [_I64] * 3 + [_P] * 10),
    "qdl_moments_leaves": (_I64, [_P, _I64, _I64, _P, _P, _P] + [_I64] * 4 + [_P] * 5),
    "qdl_moments_merge": (None, [_P, _P, _P, _I64, _I64, _I64]),
    "qdl_fold_ids": (None, [_I64] * 4 + [_P]),
    "qdl_glm_working": (_I64, [_P, _I64, _I64] + [_P] * 4 + [_I64] * 4 + [_F64, _P, _F64, _F64] + [_P] * 3),
}


@functools.cache
def _native():
    lib = ctypes.CDLL(_regression.__file__)
    routines = {}
    for name, (restype, argtypes) in _PROTOTYPES.items():
        routine = getattr(lib, name)
        routine.restype, routine.argtypes = restype, argtypes
        routines[name] = routine
    return routines


def _f64(a):
    """a as a C-contiguous, aligned float64 array (copied only when it is not one:
    arrays received from other processes, for instance, can be misaligned)."""
    return np.require(a, dtype=np.float64, requirements="CA")


def _call(name, *args):
    """Calls an exported routine; numpy arrays (float64, C-contiguous, aligned) are
    passed by address."""
    return _native()[name](*(a.ctypes.data if isinstance(a, np.ndarray) else a for a in args))
