"""The library's exported routines, checked as the functions of ``_regression`` are."""

# Every parameter, result and status in full: docs/reference.md.
# Generated from the module's function list by tools/regression_stub.py: do not edit.

from types import ModuleType
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
from numpy.typing import NDArray

# Arrays are used in place: float64, C-contiguous, writable, of the stated dimension, or
# None (an empty array). Any object exporting such a buffer is accepted.
_Vector = NDArray[np.float64] | memoryview | None
_Matrix = NDArray[np.float64] | memoryview | None
# int64 arrays, used in place as the float64 ones are.
_IVector = NDArray[np.int64] | memoryview | None
# Read where they lie: rows or columns contiguous, read-only allowed.
_Strided = NDArray[np.float64] | memoryview | None
_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt
_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

np: ModuleType
__test__: dict[str, Any]

def gram(X: _Matrix) -> _F64:
    """X'X by qdl_gram: each lower entry one running sum over the rows, mirrored. Returns ``G``."""

def gram_rhs(X: _Matrix, y: _Vector) -> _F64:
    """X'y by qdl_gram_rhs, each entry summed over the rows in ascending order. Returns ``g``."""

def dot(a: _Vector, b: _Vector) -> float:
    """sum a[i] b[i] by qdl_dot, i ascending from 0.0. Returns a float."""

def matvec(A: _Matrix, x: _Vector) -> _F64:
    """A x by qdl_matvec, each row's sum over the columns in ascending order. Returns ``out``."""

def forward_subst(L: _Matrix, b: _Vector) -> _F64:
    """The solution of L x = b by qdl_forward_subst. Returns ``x``."""

def backward_subst_chol_t(L: _Matrix, b: _Vector) -> _F64:
    """The solution of L' x = b by qdl_backward_subst_chol_t. Returns ``x``."""

def chol_solve(G: _Matrix, g: _Vector) -> tuple[_F64, _F64, int]:
    """G coef = g by qdl_chol_solve (qdl_chol, no jitter; forward and transposed backward substitution). Returns ``(coef, L, status)`` (coef NaN and L the partial factor when status is -1)."""

def ridge_grid_search_gram(
    G: _Matrix, c: _Vector, yy: _Float, n: _Float, alphas: _Vector, criterion: _Int, intercept: object
) -> tuple[float, _F64, float, int]:
    """Ridge over a grid of penalties from the statistics by qdl_ridge_grid_search_gram. Returns ``(alpha, coef, obj_value, status)`` (status -1, NaN coef: the selected penalty did not factor)."""

def moments_leaves(
    X: _Strided, y: _Vector, w: _Vector, slot: _IVector, nslots: _Int, raw: object
) -> tuple[_I64, _F64, _I64]:
    """The records of the leaves of a block of rows by qdl_moments_leaves. Returns ``(leaf_slot, records, counts)`` (leaf_slot: the slot of each leaf, ascending; counts: NaN and infinities per column)."""

def moments_merge(A: _Matrix, B: _Matrix, p: _Int, raw: object) -> _F64:
    """The records of A's rows followed by B's, pairwise, by qdl_moments_merge. Returns ``out``."""

def fold_ids(start: _Int, n: _Int, folds: _Int, seed: _Int) -> _I64:
    """The folds of rows start .. start + n - 1 by the SplitMix64 hash of qdl_fold_ids. Returns ``ids``."""

def lars_lasso_gram_update(G: _Matrix, c: _Vector, max_iter: _Int, tol: _Float) -> tuple[_F64, _F64, int]:
    """The LARS-lasso path of lars_lasso_gram by qdl_lars_lasso_gram_update (the active block's Cholesky factor updated from knot to knot): the same knots to rounding. Returns ``(lam_path, beta_path, status)`` (status -2: max_iter steps, or a singular active block; the knots so far are valid)."""

def glm_working(
    X: _Strided, y: _Vector, w: _Vector, offset: _Vector, fold: _IVector, held: _Int, family: _Int, b0: _Float, b: _Vector, eta_lo: _Float, eta_hi: _Float, block_rows: _Int
) -> tuple[_F64, _F64, _F64, _F64]:
    """The working response and weights of rows at (b0, b), and by block of block_rows rows the deviance, held-out scores and gradient sums, by qdl_glm_working. Returns ``(z, ww, sums, grad)`` (sums: the deviance, the rows beyond [eta_lo, eta_hi], the held-out weight and its deviance, squared-error and misclassification sums, the residual and working-weight sums; grad: X't then X'ww over the rows fitted)."""
