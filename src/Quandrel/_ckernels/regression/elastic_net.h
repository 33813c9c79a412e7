/* Elastic-net kernels: warm-started coordinate descent on a Gram matrix, a
 * warm-started walk over a penalty grid, and the active-set effective degrees of
 * freedom of a fit.
 *
 * The solvers work in covariance form, from G (k*k, row-major) and g (k), and
 * minimise over coef
 *
 *   1/2 coef' G coef - g' coef + alpha_l1 * sum_i |coef[i]| + alpha_l2 / 2 * sum_i coef[i]^2
 *
 * so the caller's scaling of G and g (for example X'X/n and X'y/n) fixes the meaning
 * of the penalties. The status codes and the soft threshold come from regression.h.
 * Buffers belong to the caller and never overlap; the kernels keep no state and are
 * re-entrant. Only qdl_en_active_dof allocates (short-lived working storage).
 * NaN is not checked for: a coordinate whose update is NaN is set to 0 (the soft
 * threshold maps NaN to 0, regression.h) and the status can be REGRESSION_OK.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_ELASTIC_NET_H
#define QUANDREL_CKERNELS_REGRESSION_ELASTIC_NET_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One elastic-net solve by cyclic coordinate descent from the start beta0.
 *   G        in   k*k; its diagonal and columns G[i*k+j] are read (assumed symmetric)
 *   g        in   k
 *   beta0    in   k, the starting vector, read once before anything is written
 *   coef     out  k, starts as beta0; the solution (or the last iterate) on return
 *   Gcoef    out  k, recomputed on entry as (G + alpha_l2 I) coef, i.e.
 *                 Gcoef[i] = (sum_j G[i*k+j] coef[j], j ascending) + coef[i] * alpha_l2,
 *                 and kept equal to it after every applied change
 * Sweep j = 0..k-1: diag = G[j,j] + alpha_l2 (skip when diag <= 0);
 *   z = (g[j] - Gcoef[j]) + coef[j] * diag; new = S(z, alpha_l1) / diag;
 *   a change |new - coef[j]| > tol is applied (Gcoef += delta * G[:,j], then
 *   Gcoef[j] += alpha_l2 * delta), smaller ones are discarded.
 * Returns REGRESSION_OK after the first of at most max_iter sweeps whose largest
 * applied change is < tol, else REGRESSION_NON_CONVERGENT (coef the last iterate,
 * beta0 itself when max_iter <= 0; Gcoef consistent with it).
 * G is inspected once per call: when it equals its transpose bit for bit, row j is
 * read in place of column j (the same doubles, so the same results).
 * A k whose G cannot exist (k*k*8 beyond 2^63 - 1) returns REGRESSION_NON_CONVERGENT
 * without touching a buffer. */
QDL_API i64 qdl_en_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha_l1, f64 alpha_l2,
                           const f64 *beta0, i64 max_iter, f64 tol, f64 *coef, f64 *Gcoef);

/* Elastic net over a penalty grid at one mixing ratio, warm-started from solve to
 * solve. Each alpha is split into alpha_l1 = alpha * l1_ratio and
 * alpha_l2 = alpha * (1 - l1_ratio) and solved as by qdl_en_gram_cd with G, g, k,
 * max_iter and tol (G inspected once for the whole grid). The first solve starts from zeros, each later one from the
 * previous solution, whatever its status.
 *   alpha_grid in   n_alpha penalties. When n_alpha > 1 and alpha_grid[0] <
 *                   alpha_grid[n_alpha-1] the grid is solved from its last entry to
 *                   its first, otherwise in the given order.
 *   coefs      out  n_alpha*k; row i is the solution for alpha_grid[i]
 *   statuses   out  n_alpha; entry i is the status of the solve of alpha_grid[i]
 *   Gcoef      scratch k; holds the product of the last solve on return
 *   beta       scratch k; zeroed first, holds the last solution on return
 * n_alpha = 0 only zeroes beta. Sizes whose G or coefs cannot exist (a byte count
 * beyond 2^63 - 1) touch no buffer. */
QDL_API void qdl_en_gram_cd_path(const f64 *G, const f64 *g, i64 k, const f64 *alpha_grid,
                                 i64 n_alpha, f64 l1_ratio, i64 max_iter, f64 tol, f64 *coefs,
                                 i64 *statuses, f64 *Gcoef, f64 *beta);

/* Effective degrees of freedom of an elastic-net fit on its active set
 * A = { j : |beta[j]| > atol } (a NaN coefficient is never active):
 *
 *   ic + trace((G_A + alpha_l2 I)^-1 G_A),   ic = 1.0 if intercept != 0 else 0.0
 *
 *   G     in  k*k; only entries with both indices active are read
 *   beta  in  k
 * G_A + alpha_l2 I is factorised by qdl_chol (no jitter) and each column of G_A is
 * solved by forward then transposed backward substitution; the diagonal entries of
 * the solutions are summed in ascending order. Returns ic when A is empty (nothing is
 * allocated), and ic + na (na = |A|) when the factorisation fails or working storage
 * (about 3 na^2 values) cannot be obtained. Column solves shared among threads take
 * about na^2 values more, and do without them if they cannot be had; the result
 * does not depend on the thread count. A k whose G cannot exist (k*k*8 beyond
 * 2^63 - 1) returns the quiet NaN without reading anything. */
QDL_API f64 qdl_en_active_dof(const f64 *G, const f64 *beta, i64 k, f64 alpha_l2, i64 intercept,
                              f64 atol);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_ELASTIC_NET_H */
