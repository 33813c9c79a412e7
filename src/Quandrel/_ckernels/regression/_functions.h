// The module's functions, in namespace order: the one list from which the binding is
// made.
//
// Each entry is F(name, parameters, results, summary, note):
//   parameters  (name, kind)...  kinds: vector, matrix, real, integer, flag
//   results     (name, kind)...  kinds: array, real, integer; one result is returned
//               bare, several as a tuple in this order
//   summary     the first sentence of the docstring
//   note        text after the docstring's "Returns ..." clause (usually empty)
// From it come each function's declarations (QDL_DECLARE in _binding.h: the named
// parameter indices, the docstring with its signature line and its "Returns", the
// check of what the shim returns), the module's function table and names, and their
// count (_regression.cpp); the type stub is generated from the module
// (tools/regression_stub.py). A function's shim, `PyObject *name::shim(Call &)`, is
// defined in the source of its kernel family (_regression_<family>.cpp).
#ifndef QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H
#define QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H

#include "_binding.h"

// clang-format off
#define QDL_FUNCTIONS(F)                                                                           \
  F(chol_solve_L2, (X, matrix)(y, vector)(alpha, real)(intercept, flag),                           \
    (coef, array)(L, array)(eff_dof, real)(status, integer),                                       \
    "Ridge solve.", " (L empty if not PD)")                                                        \
  F(ridge_grid_search,                                                                             \
    (X, matrix)(y, vector)(alphas, vector)(criterion, integer)(intercept, flag),                   \
    (alpha, real)(coef, array)(obj_value, real)(status, integer),                                  \
    "Ridge grid search.", "")                                                                      \
  F(lasso_gram_cd, (G, matrix)(g, vector)(alpha, real)(max_iter, integer)(tol, real),              \
    (coef, array)(status, integer),                                                                \
    "Coordinate-descent lasso solve.", "")                                                         \
  F(lars_lasso_gram, (G, matrix)(c, vector)(max_iter, integer)(tol, real),                         \
    (lam_path, array)(beta_path, array)(status, integer),                                          \
    "Full LARS-Lasso path.", "")                                                                   \
  F(lasso_path_eval, (lam_path, vector)(beta_path, matrix)(lam_grid, vector),                      \
    (beta_grid, array),                                                                            \
    "Evaluate a LARS-Lasso path at a lambda grid.", "")                                            \
  F(ols_chol_solve, (X, matrix)(y, vector),                                                        \
    (coef, array)(L, array)(status, integer),                                                      \
    "OLS via the Cholesky normal equations.", "")                                                  \
  F(elastic_net_gram_cd,                                                                           \
    (G, matrix)(g, vector)(alpha_l1, real)(alpha_l2, real)(beta0, vector)(max_iter, integer)       \
    (tol, real),                                                                                   \
    (coef, array)(status, integer),                                                                \
    "Elastic-net coordinate descent.", "")                                                         \
  F(elastic_net_gram_cd_path,                                                                      \
    (G, matrix)(g, vector)(alpha_grid, vector)(l1_ratio, real)(max_iter, integer)(tol, real),      \
    (coefs, array)(statuses, array),                                                               \
    "Warm-start elastic-net path.", "")                                                            \
  F(elastic_net_active_dof, (G, matrix)(beta, vector)(alpha_l2, real)(intercept, flag)(atol, real),\
    (dof, real),                                                                                   \
    "Active-set effective degrees of freedom.", "")
// clang-format on

namespace qdl::py {

QDL_FUNCTIONS(QDL_DECLARE)

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_FUNCTIONS_H
