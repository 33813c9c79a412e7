// The module's functions, in namespace order: the one list from which the binding is
// made.
//
// The format of an entry, and what is made from it, are described in
// docs/conventions.md ("Adding a routine"); this list's shims are defined in the
// source of their kernel family (_regression_<family>.cpp).
#ifndef QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H
#define QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H

#include "_binding.h"

// clang-format off
#define QDL_FUNCTIONS(F)                                                                           \
  F(chol_solve_L2,                                                                                 \
    (X, matrix, "(n, p) design matrix; with intercept, column 0 is the intercept column")         \
    (y, vector, "response, at least n entries (those past n are not read)")                       \
    (alpha, real, "penalty on the scale of X'X/n, not validated")                                 \
    (intercept, flag, "true: column 0 is not penalised"),                                         \
    (coef, array, "(X.shape[1],)")                                                                 \
    (L, array, "(X.shape[1],) * 2 if status == 0 else (0, 0)")                                     \
    (eff_dof, real, "")(status, integer, "0, -1"),                                                 \
    "Ridge solve.", " (L empty if not PD)",                                                        \
    "X, y, 0.3, True", "X, y[:3], 0.3, True")                                                      \
  F(ridge_grid_search,                                                                             \
    (X, matrix, "(n, p) design matrix")                                                            \
    (y, vector, "response, at least n entries")                                                    \
    (alphas, vector, "the penalties, tried in the order given")                                    \
    (criterion, integer, "1 AIC, 3 residual sum of squares, any other code BIC")                  \
    (intercept, flag, "true: column 0 is not penalised"),                                         \
    (alpha, real, "")(coef, array, "(X.shape[1],)")(obj_value, real, "")                          \
    (status, integer, "0, -1"),                                                                    \
    "Ridge grid search.", "",                                                                      \
    "X, y, np.array([0.01, 0.1, 1.0]), 1, False", "X, y[:3], np.array([0.1]), 1, False")          \
  F(lasso_gram_cd,                                                                                 \
    (G, matrix, "(k, k) Gram matrix X'X/n")                                                        \
    (g, vector, "X'y/n, at least k entries")                                                       \
    (alpha, real, "the L1 penalty")                                                                \
    (max_iter, integer, "the most sweeps")                                                         \
    (tol, real, "the largest coefficient change at convergence"),                                 \
    (coef, array, "(G.shape[0],)")(status, integer, "0, -2"),                                      \
    "Coordinate-descent lasso solve.", "",                                                         \
    "G, g, 0.05, 200, 1e-10", "G, g[:2], 0.05, 200, 1e-10")                                        \
  F(lars_lasso_gram,                                                                               \
    (G, matrix, "(k, k) Gram matrix")                                                              \
    (c, vector, "the correlations X'y, at least k entries")                                        \
    (max_iter, integer, "the most steps, 0 to 2**63 - 2")                                          \
    (tol, real, "the smallest penalty step"),                                                      \
    (lam_path, array, "(len(lam_path),)")(beta_path, array, "(len(lam_path), G.shape[0])")        \
    (status, integer, "0, -2"),                                                                    \
    "Full LARS-Lasso path.", "",                                                                   \
    "G, g, 20, 1e-12", "G, g, -1, 1e-12")                                                          \
  F(lasso_path_eval,                                                                               \
    (lam_path, vector, "the knots' penalties, decreasing")                                         \
    (beta_path, matrix, "(n_knots, k) coefficients at the knots, at least len(lam_path) rows")    \
    (lam_grid, vector, "the penalties to evaluate at"),                                            \
    (beta_grid, array, "(len(lam_grid), beta_path.shape[1])"),                                     \
    "Evaluate a LARS-Lasso path at a lambda grid.", "",                                            \
    "np.array([1.0, 0.5, 0.0]), G[:3], np.array([2.0, 0.7, 0.25, -1.0])",                          \
    "np.array([1.0, 0.5, 0.0]), G[:2], np.array([0.7])")                                           \
  F(ols_chol_solve,                                                                                \
    (X, matrix, "(n, p) design matrix")                                                            \
    (y, vector, "response, at least n entries"),                                                   \
    (coef, array, "(X.shape[1],)")                                                                 \
    (L, array, "(X.shape[1],) * 2 if status == 0 else (0, 0)")(status, integer, "0, -1"),          \
    "OLS via the Cholesky normal equations.", "",                                                  \
    "X, y", "X, y[:3]")                                                                            \
  F(elastic_net_gram_cd,                                                                           \
    (G, matrix, "(k, k) Gram matrix")                                                              \
    (g, vector, "X'y/n, at least k entries")                                                       \
    (alpha_l1, real, "the L1 penalty")                                                             \
    (alpha_l2, real, "the L2 penalty")                                                             \
    (beta0, vector, "the starting coefficients, at least k entries")                               \
    (max_iter, integer, "the most sweeps")                                                         \
    (tol, real, "the largest coefficient change at convergence"),                                 \
    (coef, array, "(G.shape[0],)")(status, integer, "0, -2"),                                      \
    "Elastic-net coordinate descent.", "",                                                         \
    "G, g, 0.05, 0.1, np.zeros(k), 200, 1e-10", "G, g, 0.05, 0.1, np.zeros(2), 200, 1e-10")       \
  F(elastic_net_gram_cd_path,                                                                      \
    (G, matrix, "(k, k) Gram matrix")                                                              \
    (g, vector, "X'y/n, at least k entries")                                                       \
    (alpha_grid, vector, "the penalties, warm-started in the order given")                         \
    (l1_ratio, real, "the share of the L1 penalty")                                                \
    (max_iter, integer, "the most sweeps per penalty")                                             \
    (tol, real, "the largest coefficient change at convergence"),                                 \
    (coefs, array, "(len(alpha_grid), G.shape[0])")(statuses, iarray, "(len(alpha_grid),)"),       \
    "Warm-start elastic-net path.", "",                                                            \
    "G, g, np.array([1.0, 0.1, 0.01]), 0.5, 200, 1e-10",                                           \
    "G, g[:2], np.array([1.0]), 0.5, 200, 1e-10")                                                  \
  F(elastic_net_active_dof,                                                                        \
    (G, matrix, "(k, k) Gram matrix")                                                              \
    (beta, vector, "the coefficients, at least k entries")                                         \
    (alpha_l2, real, "the L2 penalty")                                                             \
    (intercept, flag, "true: count an intercept")                                                  \
    (atol, real, "coefficients above it in magnitude are active"),                                \
    (dof, real, ""),                                                                               \
    "Active-set effective degrees of freedom.", "",                                                \
    "G, g, 0.1, True, 1e-12", "G, g[:2], 0.1, True, 1e-12")
// clang-format on

namespace qdl::py {

QDL_FUNCTIONS(QDL_DECLARE)

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H
