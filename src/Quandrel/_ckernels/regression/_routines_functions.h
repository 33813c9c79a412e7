// The functions of the _routines module, in namespace order: the one list from which
// its binding is made. Each is an exported routine (qdl_<name>) reached through the
// same conventions as the functions of _regression: arguments matched, checked and
// named, results allocated by the binding, the one kernel call without the
// interpreter lock.
//
// The format of an entry, and what is made from it, are described in
// docs/conventions.md ("Adding a routine"); this list's shims are defined in the
// source of their kernel family (_routines_<family>.cpp).
#ifndef QUANDREL_CKERNELS_REGRESSION_ROUTINES_FUNCTIONS_H
#define QUANDREL_CKERNELS_REGRESSION_ROUTINES_FUNCTIONS_H

#include "_binding.h"

// clang-format off
#define QDL_ROUTINES(F)                                                                            \
  F(gram,                                                                                          \
    (X, matrix, "(n, p) rows"),                                                                    \
    (G, array, "(X.shape[1],) * 2"),                                                               \
    "X'X by qdl_gram: each lower entry one running sum over the rows, mirrored.", "",             \
    "X", "X[0]")                                                                                   \
  F(gram_rhs,                                                                                      \
    (X, matrix, "(n, p) rows")                                                                     \
    (y, vector, "at least n entries"),                                                             \
    (g, array, "(X.shape[1],)"),                                                                   \
    "X'y by qdl_gram_rhs, each entry summed over the rows in ascending order.", "",               \
    "X, y", "X, y[:3]")                                                                            \
  F(dot,                                                                                           \
    (a, vector, "n entries")                                                                       \
    (b, vector, "at least n entries"),                                                             \
    (value, real, ""),                                                                             \
    "sum a[i] b[i] by qdl_dot, i ascending from 0.0.", "",                                         \
    "y, y", "y, y[:3]")                                                                            \
  F(matvec,                                                                                        \
    (A, matrix, "(n, m)")                                                                          \
    (x, vector, "at least m entries"),                                                             \
    (out, array, "(A.shape[0],)"),                                                                 \
    "A x by qdl_matvec, each row's sum over the columns in ascending order.", "",                 \
    "X, g", "X, g[:2]")                                                                            \
  F(forward_subst,                                                                                 \
    (L, matrix, "(n, n) lower triangle read")                                                      \
    (b, vector, "at least n entries"),                                                             \
    (x, array, "(L.shape[0],)"),                                                                   \
    "The solution of L x = b by qdl_forward_subst.", "",                                           \
    "np.linalg.cholesky(G), g", "np.linalg.cholesky(G)[:2], g")                                    \
  F(backward_subst_chol_t,                                                                         \
    (L, matrix, "(n, n) lower triangle read, column by column")                                    \
    (b, vector, "at least n entries"),                                                             \
    (x, array, "(L.shape[0],)"),                                                                   \
    "The solution of L' x = b by qdl_backward_subst_chol_t.", "",                                  \
    "np.linalg.cholesky(G), g", "np.linalg.cholesky(G), g[:2]")                                    \
  F(chol_solve,                                                                                    \
    (G, matrix, "(p, p) symmetric, lower triangle read")                                           \
    (g, vector, "at least p entries"),                                                             \
    (coef, array, "(G.shape[0],)")(L, array, "(G.shape[0],) * 2")(status, integer, "0, -1"),      \
    "G coef = g by qdl_chol_solve (qdl_chol, no jitter; forward and transposed backward"          \
    " substitution).",                                                                             \
    " (coef NaN and L the partial factor when status is -1)",                                      \
    "G, g", "G, g[:2]")                                                                            \
  F(ridge_grid_search_gram,                                                                        \
    (G, matrix, "(p, p) X'X (weighted: X'WX)")                                                     \
    (c, vector, "X'y, at least p entries")                                                         \
    (yy, real, "y'y")                                                                              \
    (n, real, "the number of rows (weighted: the sum of the weights)")                             \
    (alphas, vector, "the penalties, at least one, tried in the order given")                      \
    (criterion, integer, "1 AIC, 3 residual sum of squares, any other code BIC")                  \
    (intercept, flag, "true: column 0 is not penalised"),                                         \
    (alpha, real, "")(coef, array, "(G.shape[0],)")(obj_value, real, "")                          \
    (status, integer, "0, -1"),                                                                    \
    "Ridge over a grid of penalties from the statistics by qdl_ridge_grid_search_gram.",          \
    " (status -1, NaN coef: the selected penalty did not factor)",                                 \
    "G * 7.0, g * 7.0, 3.0, 7.0, np.array([0.01, 0.1, 1.0]), 1, False",                            \
    "G, g, 3.0, 7.0, np.empty(0), 1, False")                                                       \
  F(moments_leaves,                                                                                \
    (X, strided, "(m, k) rows, read where they lie (rows or columns contiguous)")                 \
    (y, vector, "at least m entries")                                                              \
    (w, vector, "at least m weights >= 0, or None (all 1)")                                        \
    (slot, ivector, "at least m slots in [0, nslots), or None (one leaf)")                         \
    (nslots, integer, "the number of slots, >= 1 (not read without slots)")                        \
    (raw, flag, "true: the raw sums R too"),                                                       \
    (leaf_slot, iarray, "(len(leaf_slot),)")                                                       \
    (records, array, "(len(leaf_slot), 2 + 2 * (X.shape[1] + 1) + (2 if raw else 1)"             \
     " * (X.shape[1] + 1) ** 2)")                                                                  \
    (counts, iarray, "(X.shape[1] + 1,)"),                                                         \
    "The records of the leaves of a block of rows by qdl_moments_leaves.",                        \
    " (leaf_slot: the slot of each leaf, ascending; counts: NaN and infinities per column)",       \
    "X, y, None, np.array([1, 0, 1, 2, 0, 1, 1]), 3, False",                                       \
    "X, y, None, np.array([1, 0, 1, 3, 0, 1, 1]), 3, False")                                       \
  F(moments_merge,                                                                                 \
    (A, matrix, "(count, width) records over p columns")                                           \
    (B, matrix, "(count, width) records, at least count rows")                                     \
    (p, integer, "the columns of z = (x, y), >= 1")                                                \
    (raw, flag, "true: the records hold the raw sums"),                                            \
    (out, array, "A.shape"),                                                                       \
    "The records of A's rows followed by B's, pairwise, by qdl_moments_merge.", "",               \
    "np.zeros((2, 10)), np.zeros((2, 10)), 2, False",                                             \
    "np.zeros((2, 10)), np.zeros((2, 10)), 3, False")                                              \
  F(fold_ids,                                                                                      \
    (start, integer, "the first row's number")                                                     \
    (n, integer, "the number of rows, >= 0")                                                       \
    (folds, integer, "K >= 1")                                                                     \
    (seed, integer, "the hash's state, an int64 (two's complement)"),                             \
    (ids, iarray, "(n,)"),                                                                         \
    "The folds of rows start .. start + n - 1 by the SplitMix64 hash of qdl_fold_ids.", "",      \
    "0, 10, 3, 7", "0, 10, 0, 7")                                                                  \
  F(lars_lasso_gram_update,                                                                        \
    (G, matrix, "(k, k) Gram matrix, symmetric")                                                   \
    (c, vector, "the correlations X'y, at least k entries")                                        \
    (max_iter, integer, "the most steps, 0 to 2**63 - 2")                                          \
    (tol, real, "the penalty at or below which the path is complete"),                            \
    (lam_path, array, "(len(lam_path),)")(beta_path, array, "(len(lam_path), G.shape[0])")        \
    (status, integer, "0, -2"),                                                                    \
    "The LARS-lasso path of lars_lasso_gram by qdl_lars_lasso_gram_update (the active"            \
    " block's Cholesky factor updated from knot to knot): the same knots to rounding.",           \
    " (status -2: max_iter steps, or a singular active block; the knots so far are valid)",       \
    "G, g, 20, 1e-12", "G, g, -1, 1e-12")                                                          \
  F(glm_working,                                                                                   \
    (X, strided, "(m, k) rows, read where they lie (rows or columns contiguous)")                 \
    (y, vector, "at least m responses (binomial 0 or 1, Poisson >= 0)")                            \
    (w, vector, "at least m weights, or None (all 1)")                                             \
    (offset, vector, "at least m offsets, or None (all 0)")                                        \
    (fold, ivector, "at least m fold ids, or None (no row held out)")                              \
    (held, integer, "the fold whose rows are scored, not fitted")                                  \
    (family, integer, "0 binomial (logit), 1 Poisson (log)")                                       \
    (b0, real, "the intercept")                                                                    \
    (b, vector, "at least k coefficients")                                                         \
    (eta_lo, real, "the lower bound of the rows counted as beyond")                                \
    (eta_hi, real, "the upper bound")                                                              \
    (block_rows, integer, "rows per block (>= 1): the sums and grad by block"),                   \
    (z, array, "(X.shape[0],)")(ww, array, "(X.shape[0],)")                                        \
    (sums, array, "(-(-X.shape[0] // block_rows), 8)")                                              \
    (grad, array, "(-(-X.shape[0] // block_rows), 2 * X.shape[1])"),                               \
    "The working response and weights of rows at (b0, b), and by block of block_rows"             \
    " rows the deviance, held-out scores and gradient sums, by qdl_glm_working.",                  \
    " (sums: the deviance, the rows beyond [eta_lo, eta_hi], the held-out weight and its"         \
    " deviance, squared-error and misclassification sums, the residual and working-weight"        \
    " sums; grad: X't then X'ww over the rows fitted)",                                            \
    "X, np.array([0.0, 1, 1, 0, 1, 0, 1]), None, None, None, 0, 0, 0.1, g, -15.0, 15.0, 4",       \
    "X, np.array([0.0, 1, 1, 0, 1, 0, 1]), None, None, None, 0, 2, 0.1, g, -15.0, 15.0, 4")
// clang-format on

namespace qdl::py::routines {

QDL_ROUTINES(QDL_DECLARE)

}  // namespace qdl::py::routines

#endif  // QUANDREL_CKERNELS_REGRESSION_ROUTINES_FUNCTIONS_H
