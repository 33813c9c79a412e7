/* Regression kernels: status and criterion codes, the soft threshold, and the
 * Cholesky-based least-squares solvers (OLS, the ridge solve and the ridge grid
 * search, on the data or on their sufficient statistics).
 *
 * Kernels are pure functions of caller-provided, non-overlapping row-major
 * buffers: they never print or keep state, and report their outcome as a status
 * code. They allocate only work space for threads: the other threads' share of a
 * grid search, and of the degrees-of-freedom solves of a ridge solve or a grid
 * search (each contract below says how much, and what happens without it). Large
 * calls share their work among OpenMP threads without changing a bit of the results.
 * The lasso and elastic-net kernels (lasso.h, elastic_net.h) take the codes and the
 * soft threshold from here.
 *
 * No kernel checks its data for NaN or infinities: they follow IEEE arithmetic, and
 * where a comparison with a NaN is false, a NaN can vanish from a result whose
 * status is REGRESSION_OK (the soft threshold below; the LARS path, lasso.h).
 * Callers that need finite data check it before the call.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_REGRESSION_H
#define QUANDREL_CKERNELS_REGRESSION_REGRESSION_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  REGRESSION_OK = 0,              /* solved (iterative solvers: converged) */
  REGRESSION_RANK_DEFICIENT = -1, /* normal equations not numerically PD; coefficients NaN */
  REGRESSION_NON_CONVERGENT = -2  /* iteration limit reached before the tolerance */
};

enum {
  REGRESSION_CRIT_AIC = 1u,
  REGRESSION_CRIT_BIC = 2u,
  REGRESSION_CRIT_LOSS = 3u
};

/* Soft threshold S(z, gamma): z - gamma if z > gamma, z + gamma if z < -gamma,
 * else 0.0. Both tests are strict, so |z| == gamma gives 0.0, and so does a NaN z:
 * the soft threshold maps NaN to 0. In the coordinate-descent kernels (lasso.h,
 * elastic_net.h) a coordinate whose z is NaN (a NaN in g[j], or one that reached
 * Gcoef[j] through G) therefore moves to S(NaN) / G[j,j] = 0 (with a NaN G[j,j] the
 * change is NaN and is discarded), and the sweeps go on; the status does not show
 * it. Example: G = I, g = (3, NaN, 0.2), alpha = 0.5 gives coef = (2.5, 0, 0) and
 * REGRESSION_OK (qdl_lasso_gram_cd, tol 1e-12). */
static inline f64 qdl_smooth_threshold(f64 z, f64 gamma) {
  if (z > gamma) return z - gamma;
  if (z < -gamma) return z + gamma;
  return 0.0;
}

/* Ordinary least squares through the Cholesky normal equations:
 *   (X'X) coef = X'y, no intercept handling, no scaling by n, no jitter.
 *   X      in   n*p design matrix          y  in   n response
 *   coef   out  p                          L  out  p*p factor of X'X
 *   status out  REGRESSION_OK, or REGRESSION_RANK_DEFICIENT with coef all quiet NaN
 *               and L the partial factor
 *   G, g   scratch p*p and p; hold X'X and X'y on return, whatever the status.
 * p = 0 writes nothing but status (REGRESSION_OK). Sizes whose X (n*p) or G (p*p)
 * cannot exist (a byte count beyond 2^63 - 1) write only status,
 * REGRESSION_RANK_DEFICIENT, and touch no other buffer. */
QDL_API void qdl_ols_chol_solve(const f64 *X, const f64 *y, i64 n, i64 p, f64 *coef, f64 *L,
                                i64 *status, f64 *G, f64 *g);

/* Ridge solve with the effective degrees of freedom:
 *   (X'X/n + alpha D) coef = X'y/n,  D = I, or I with D[0,0] = 0 when `intercept` != 0
 *   dof = trace((X'X/n + alpha D)^-1 X'X/n)
 * The Gram matrix and right-hand side are divided by nf = (f64)n entry by entry;
 * column 0 is taken as the unpenalised intercept column without any test, and the
 * data are not centred. `alpha` is not validated.
 *   X       in   n*p design matrix            y  in   n response
 *   coef    out  p                            L  out  p*p factor of X'X/n + alpha D
 *   dof     out  one value                    status out  one value
 *   G       scratch p*p: X'X/n + alpha D on return (used as work space for the
 *                        degrees of freedom in between, then rebuilt)
 *   G_unpen scratch p*p: X'X/n on return
 *   g       scratch p:   X'y/n on return
 *   col     scratch p:   on success column p-1 of (L L')^-1 X'X/n, the last of the
 *                        degrees-of-freedom solves
 * All buffers are distinct. On one thread nothing is allocated; when the degrees of
 * freedom's column solves are shared among threads, each thread but the calling one
 * solves its columns in a block of its own (p times its column count, f64), or in G
 * if that block cannot be had. The results do not depend on the thread count.
 * status is REGRESSION_OK, or REGRESSION_RANK_DEFICIENT when the factorisation
 * fails: then coef and dof are quiet NaN, L holds the partial factor and col is
 * untouched. n = 0 gives NaN Gram
 * entries, which the factorisation accepts: status REGRESSION_OK with NaN coef and
 * dof. p = 0 writes only dof (0.0) and status (REGRESSION_OK). Sizes whose X or G
 * cannot exist write only dof (NaN) and status (REGRESSION_RANK_DEFICIENT). */
QDL_API void qdl_chol_solve_L2(const f64 *X, const f64 *y, i64 n, i64 p, f64 alpha, i64 intercept,
                               f64 *coef, f64 *L, f64 *dof, i64 *status, f64 *G, f64 *G_unpen,
                               f64 *g, f64 *col);

/* Ridge over a grid of penalties, keeping the best fit by a criterion:
 * X'X/n and X'y/n are formed once; for each alphas[a], a = 0 .. num-1 in order, the
 * penalised system of qdl_chol_solve_L2 is solved, and scored with its effective
 * degrees of freedom k and the residual sum of squares of the raw data,
 *   rss = sum_r (y[r] - sum_j X[r,j] coef[j])^2         (r ascending, j ascending)
 *   obj = rss                                           criterion REGRESSION_CRIT_LOSS
 *       = -inf                                          otherwise, if rss <= 0
 *       = nf log(rss/nf) + 2 k                          REGRESSION_CRIT_AIC
 *       = nf log(rss/nf) + log(nf) k                    any other criterion (BIC)
 * A penalty whose factorisation fails scores +inf with REGRESSION_RANK_DEFICIENT and
 * NaN coefficients. The first penalty is always recorded; a later one replaces the
 * record only when its objective is strictly smaller (ties keep the earlier one, a
 * NaN objective never replaces, nor is a recorded NaN ever replaced).
 *   X          in   n*p                 y          in   n
 *   alphas     in   num penalties, tried in the order given, not validated
 *   criterion  in   REGRESSION_CRIT_*; not validated
 *   out_alpha, out_coef (p), out_obj, out_status   out  the selected penalty, its
 *              coefficients, objective and status; none is written when num <= 0
 *   G_base     scratch p*p: X'X/n on return       g  scratch p: X'y/n on return
 *   G, L, coef scratch p*p, p*p, p: penalised matrix, factor and coefficients of the
 *              last penalty tried
 *   col        scratch p: as in qdl_chol_solve_L2, for the last penalty that factored
 * All buffers are distinct. On one thread nothing is allocated (the coefficients of
 * up to eight penalties scored together are kept in 16 KiB of stack); a grid shared
 * among T threads is cut into Q <= 64 pieces (runs of whole batches of eight penalties,
 * fixed by the sizes, taken by whichever thread is free, the last piece in these
 * buffers) and takes one block of T(2p^2 + 2p) + 2pQ f64 and Q records for the threads'
 * work space and the pieces' records, and runs on one thread if that block cannot be
 * had. The results do not depend on T. n = 0
 * gives NaN Gram entries and rss = 0: the first penalty is reported with status
 * REGRESSION_OK, NaN coefficients and objective -inf (AIC, BIC) or 0 (LOSS). Sizes
 * whose X, G or
 * alphas cannot exist write only out_status (REGRESSION_RANK_DEFICIENT). */
QDL_API void qdl_ridge_grid_search(const f64 *X, const f64 *y, i64 n, i64 p, const f64 *alphas,
                                   i64 num, i64 criterion, i64 intercept, f64 *out_alpha,
                                   f64 *out_coef, f64 *out_obj, i64 *out_status, f64 *G_base,
                                   f64 *G, f64 *g, f64 *L, f64 *coef, f64 *col);

/* Ridge over a grid of penalties from the sufficient statistics of the data, with the
 * selection of qdl_ridge_grid_search: no pass over the data, so data too large for one
 * process (whose statistics were formed elsewhere) are scored the same way.
 *   G = X'X (p*p, full), c = X'y (p), yy = y'y, and n the number of rows, an f64:
 *   weighted statistics (G = X'WX, c = X'Wy, yy = y'Wy) pass the sum of the weights.
 * G/n and c/n are formed once, each entry divided by n; for each alphas[a] in order,
 * (G/n + alpha D) coef = c/n (D as in qdl_chol_solve_L2) is factored by qdl_chol (no
 * jitter) and solved by forward then transposed backward substitution, its effective
 * degrees of freedom k = trace((L L')^-1 G/n) summed over the column solves in
 * ascending order, and its residual sum of squares taken from the statistics,
 *   rss = (yy - 2 b'c) + b'(G b)      b'c and b'(G b) as qdl_dot, G b as qdl_matvec
 * and scored with nf = n as by qdl_ridge_grid_search (AIC, BIC or rss). The first
 * penalty is always recorded, a later one only when strictly better; a penalty whose
 * factorisation fails scores +inf with NaN coefficients.
 * rss: the terms cancel, so its error is a few ulps of yy + 2 |b|'|c| + |b|'|G||b|,
 * not of rss (for centred columns about 1e-15 * yy / rss relative).
 *   G, c, yy, n in    the statistics (n is not validated: 0 divides by zero)
 *   alphas     in    num penalties, tried in the order given, not validated
 *   criterion  in    REGRESSION_CRIT_*; not validated (codes other than 1 and 3 score BIC)
 *   out_alpha, out_coef (p), out_obj   out  the selected penalty, its coefficients and
 *              objective
 * All buffers are distinct. Working storage (the scratch helper's): 3p^2 + 3p f64 for
 * the calling thread (G/n, c/n, the penalised matrix, its factor, coefficients and a
 * column); threads and their work space as qdl_ridge_grid_search (a penalty costs
 * about p^3 multiply-adds); the results do not depend on the thread count.
 * Returns an enum qdl_status: QDL_OK, the selected penalty factored;
 * QDL_NUMERICAL_FAILURE (-1, the value of REGRESSION_RANK_DEFICIENT), the selected
 * penalty is a failed first one no later one beat (out_coef quiet NaN, out_obj +inf);
 * QDL_REFUSED with nothing written: p < 0, num < 1, sizes whose G or alphas cannot
 * exist; QDL_OUT_OF_MEMORY with nothing written: no working storage. */
QDL_API i64 qdl_ridge_grid_search_gram(const f64 *G, const f64 *c, f64 yy, f64 n, i64 p,
                                       const f64 *alphas, i64 num, i64 criterion, i64 intercept,
                                       f64 *out_alpha, f64 *out_coef, f64 *out_obj);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_REGRESSION_H */
