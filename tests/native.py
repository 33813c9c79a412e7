"""Access to the exported native routines of the extension module through ctypes.

`lib` is the module's shared object opened with ctypes; `fn(name)` returns an
exported routine with the prototype of its header, declared once in PROTOTYPES
below. Pointers are passed as plain addresses: `P(a)` is the address of a
C-contiguous numpy array (None for null).
"""

import ctypes

import numpy as np

import Quandrel._ckernels.regression._regression as module

lib = ctypes.CDLL(module.__file__)

# Argument type shorthands.
PTR = ctypes.c_void_p
I64 = ctypes.c_int64
F64 = ctypes.c_double
INT = ctypes.c_int


class LURecord(ctypes.Structure):
    """f64_lu and c128_lu: the factors and pivots (owned by the record), n, err."""

    _fields_ = [("lu", PTR), ("piv", PTR), ("n", I64), ("err", I64)]


LU_PTR = ctypes.POINTER(LURecord)

# name: (result, argument types), in the order of the C prototypes.
PROTOTYPES = {
    # Cholesky core
    "qdl_zero_mat": (None, [PTR, I64, I64]),
    "qdl_chol": (INT, [PTR, F64, PTR, I64]),
    "qdl_forward_subst": (None, [PTR, PTR, PTR, I64]),
    "qdl_backward_subst_chol_t": (None, [PTR, PTR, PTR, I64]),
    "qdl_gram": (None, [PTR, PTR, I64, I64]),
    "qdl_gram_rhs": (None, [PTR, PTR, PTR, I64, I64]),
    "qdl_chol_solve": (INT, [PTR, PTR, PTR, PTR, I64]),
    "qdl_chol_inv": (INT, [PTR, PTR, PTR, I64]),
    "qdl_logdet_from_chol": (F64, [PTR, I64]),
    # dense products, vectors, median
    "qdl_matmul": (None, [PTR, PTR, PTR, I64, I64, I64]),
    "qdl_matmul_atb": (None, [PTR, PTR, PTR, I64, I64, I64]),
    "qdl_matmul_abt": (None, [PTR, PTR, PTR, I64, I64, I64]),
    "qdl_matmul_abt_plus_c": (None, [PTR, PTR, PTR, PTR, I64, I64, I64]),
    "qdl_matvec": (None, [PTR, PTR, PTR, I64, I64]),
    "qdl_matvec_plus_vec": (None, [PTR, PTR, PTR, PTR, I64, I64]),
    "qdl_vsub": (None, [PTR, PTR, PTR, I64]),
    "qdl_dot": (F64, [PTR, PTR, I64]),
    "qdl_sym_inplace": (None, [PTR, I64]),
    "qdl_sort_f64": (None, [PTR, I64]),
    "qdl_median_f64": (F64, [PTR, I64]),
    # real and complex LU
    "qdl_lu_factor_inplace": (I64, [PTR, PTR, I64]),
    "qdl_lu_factor": (LURecord, [PTR, I64]),
    "qdl_lu_free": (None, [LU_PTR]),
    "qdl_lu_solve": (None, [PTR, PTR, PTR, PTR, I64, I64]),
    "qdl_solve": (I64, [PTR, PTR, I64, I64, PTR]),
    "qdl_inv": (I64, [PTR, I64, PTR]),
    "c128_matmul": (None, [PTR, PTR, I64, I64, I64, PTR]),
    "c128_lu_factor_inplace": (I64, [PTR, PTR, I64]),
    "c128_lu_factor": (LURecord, [PTR, I64]),
    "c128_lu_free": (None, [LU_PTR]),
    "c128_lu_solve": (None, [PTR, PTR, PTR, PTR, I64, I64]),
    "c128_solve": (I64, [PTR, PTR, I64, I64, PTR]),
    "c128_inv": (I64, [PTR, I64, PTR]),
    # normal quantile
    "qdl_ndtri_as241": (F64, [F64]),
    "qdl_ndtri_as241_into": (None, [PTR, I64, PTR]),
    "qdl_erfinv_from_as241": (F64, [F64]),
    "qdl_erfinv": (F64, [F64]),
    # regression kernels
    "qdl_ols_chol_solve": (None, [PTR, PTR, I64, I64, *[PTR] * 5]),
    "qdl_chol_solve_L2": (None, [PTR, PTR, I64, I64, F64, I64, *[PTR] * 8]),
    "qdl_ridge_grid_search": (None, [PTR, PTR, I64, I64, PTR, I64, I64, I64, *[PTR] * 10]),
    "qdl_lasso_gram_cd": (I64, [PTR, PTR, I64, F64, I64, F64, PTR, PTR]),
    "qdl_lars_lasso_gram": (I64, [PTR, PTR, I64, I64, F64, PTR, PTR, PTR]),
    "qdl_lasso_path_eval": (None, [PTR, PTR, I64, I64, PTR, I64, PTR]),
    "qdl_en_gram_cd": (I64, [PTR, PTR, I64, F64, F64, PTR, I64, F64, PTR, PTR]),
    "qdl_en_gram_cd_path": (None, [PTR, PTR, I64, PTR, I64, F64, I64, F64, *[PTR] * 4]),
    "qdl_en_active_dof": (F64, [PTR, PTR, I64, F64, I64, F64]),
}


def fn(name):
    """The exported routine `name`, declared with its prototype."""
    routine = getattr(lib, name)
    routine.restype, routine.argtypes = PROTOTYPES[name]
    return routine


def P(a):
    """Address of a numpy array's first element (None gives a null pointer)."""
    if a is None:
        return None
    assert a.flags.c_contiguous
    return a.ctypes.data


def f64(*shape, fill=np.nan):
    """A C-contiguous float64 buffer, pre-filled so that unwritten entries show."""
    return np.full(shape, fill, dtype=np.float64)


def exported_symbols():
    """Names of the dynamic symbols the shared object defines and exports."""
    import subprocess

    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], check=True, capture_output=True, text=True
    ).stdout
    return {line.split()[-1] for line in out.splitlines() if line.split()[-2] in "TtWiDBR"}


def bits(x):
    """The IEEE-754 bit patterns of a float64 array (for bit-for-bit comparisons)."""
    return np.asarray(x, dtype=np.float64).view(np.uint64)
