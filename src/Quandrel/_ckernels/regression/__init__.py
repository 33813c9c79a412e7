"""Least-squares solvers; the functions live in the native module ``_regression``.

The status and criterion codes of the kernels, for callers that test them by name:

>>> from Quandrel._ckernels import regression
>>> regression.REGRESSION_RANK_DEFICIENT, regression.REGRESSION_CRIT_AIC
(-1, 1)
"""

__all__ = [
    "REGRESSION_OK", "REGRESSION_RANK_DEFICIENT", "REGRESSION_NON_CONVERGENT",
    "REGRESSION_CRIT_AIC", "REGRESSION_CRIT_BIC", "REGRESSION_CRIT_LOSS",
]

# Statuses: success; a Cholesky factorisation failed (NaN coefficients, empty factor);
# an iterative or path kernel stopped at its iteration limit.
REGRESSION_OK = 0
REGRESSION_RANK_DEFICIENT = -1
REGRESSION_NON_CONVERGENT = -2

# Criteria of ridge_grid_search (any code other than 1 and 3 scores BIC).
REGRESSION_CRIT_AIC = 1
REGRESSION_CRIT_BIC = 2
REGRESSION_CRIT_LOSS = 3
