"""Native regression kernels: OLS, ridge, lasso, LARS-lasso and elastic net."""

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
_Float = SupportsFloat | SupportsIndex
_Int = SupportsInt
_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]

np: ModuleType
__test__: dict[str, Any]

def chol_solve_L2(X: _Matrix, y: _Vector, alpha: _Float, intercept: object) -> tuple[_F64, _F64, float, int]:
    """Ridge solve. Returns ``(coef, L, eff_dof, status)`` (L empty if not PD)."""

def ridge_grid_search(
    X: _Matrix, y: _Vector, alphas: _Vector, criterion: _Int, intercept: object
) -> tuple[float, _F64, float, int]:
    """Ridge grid search. Returns ``(alpha, coef, obj_value, status)``."""

def lasso_gram_cd(G: _Matrix, g: _Vector, alpha: _Float, max_iter: _Int, tol: _Float) -> tuple[_F64, int]:
    """Coordinate-descent lasso solve. Returns ``(coef, status)``."""

def lars_lasso_gram(G: _Matrix, c: _Vector, max_iter: _Int, tol: _Float) -> tuple[_F64, _F64, int]:
    """Full LARS-Lasso path. Returns ``(lam_path, beta_path, status)``."""

def lasso_path_eval(lam_path: _Vector, beta_path: _Matrix, lam_grid: _Vector) -> _F64:
    """Evaluate a LARS-Lasso path at a lambda grid. Returns ``beta_grid``."""

def ols_chol_solve(X: _Matrix, y: _Vector) -> tuple[_F64, _F64, int]:
    """OLS via the Cholesky normal equations. Returns ``(coef, L, status)``."""

def elastic_net_gram_cd(
    G: _Matrix, g: _Vector, alpha_l1: _Float, alpha_l2: _Float, beta0: _Vector, max_iter: _Int, tol: _Float
) -> tuple[_F64, int]:
    """Elastic-net coordinate descent. Returns ``(coef, status)``."""

def elastic_net_gram_cd_path(
    G: _Matrix, g: _Vector, alpha_grid: _Vector, l1_ratio: _Float, max_iter: _Int, tol: _Float
) -> tuple[_F64, _I64]:
    """Warm-start elastic-net path. Returns ``(coefs, statuses)``."""

def elastic_net_active_dof(G: _Matrix, beta: _Vector, alpha_l2: _Float, intercept: object, atol: _Float) -> float:
    """Active-set effective degrees of freedom. Returns a float."""
