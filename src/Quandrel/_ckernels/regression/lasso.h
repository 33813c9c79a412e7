/* Lasso kernels in covariance form: coordinate descent on a Gram matrix, the whole
 * LARS-lasso path, and the reading of such a path at any penalties.
 *
 * The kernels see only a Gram matrix G (k by k, row-major, full) and a cross-product
 * vector (g, or c for the path), never the data; the caller's scaling of both (for
 * example X'X/n and X'y/n) fixes the meaning of the penalties. The problem solved at
 * penalty alpha (or lam) is
 *
 *   minimise 1/2 * b' G b - g' b + alpha * sum_i |b[i]|
 *
 * Kernels never print or keep state and take distinct, non-overlapping buffers; only
 * the LARS paths allocate (their working storage, released before they return). Status
 * codes are those of regression.h: REGRESSION_OK or REGRESSION_NON_CONVERGENT (the
 * updating LARS path: enum qdl_status of qdl_common.h).
 *
 * NaN: no kernel checks for it. Coordinate descent sets a coordinate whose update is
 * NaN to 0 (the soft threshold maps NaN to 0, regression.h), and a NaN correlation
 * never enters the LARS path (below); either way the status can be REGRESSION_OK.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_LASSO_H
#define QUANDREL_CKERNELS_REGRESSION_LASSO_H

#include "qdl_common.h"
#include "regression.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lasso by cyclic coordinate descent, starting from zero (no warm start).
 * Each sweep visits j = 0 .. k-1 in order; a coordinate with G[j,j] <= 0 is skipped.
 *   z     = (g[j] - Gcoef[j]) + coef[j] * G[j,j]
 *   new   = S(z, alpha) / G[j,j]            (soft threshold of regression.h)
 *   delta = new - coef[j]; applied only if |delta| > tol, then
 *           Gcoef += delta * G[:,j], coef[j] = new
 * Returns REGRESSION_OK after the first sweep whose largest applied |delta| is below
 * tol (an absolute test), else REGRESSION_NON_CONVERGENT after max_iter sweeps
 * (at once, with zeros, when max_iter <= 0; always when tol <= 0).
 *   G      in       k*k Gram matrix; its diagonal and columns are read (when G equals
 *                   its transpose bit for bit, the same values are read along rows)
 *   g      in       k cross-products
 *   coef   out      k: the solution, or the last completed sweep's iterate
 *   Gcoef  out      k working vector, equal to G times coef on return
 * Allocates nothing; validates nothing, except that a k whose G cannot exist (k*k*8
 * beyond 2^63 - 1) returns REGRESSION_NON_CONVERGENT without touching a buffer. */
QDL_API i64 qdl_lasso_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                              f64 *coef, f64 *Gcoef);

/* The lasso path by the LARS homotopy with the lasso modification (a coefficient
 * that reaches zero leaves the active set). Knot 0 is (lam_max = max_j |c[j]|, zeros);
 * each homotopy step writes one knot, the penalty at which the active set changes
 * and the coefficients there, so that along the path r = c - G b satisfies
 * r[j] = sign_j * lam on the active set and |r[j]| <= lam off it.
 * Ties: when two or more inactive variables sit at the bound at one knot
 * (||r[j]| - lam| <= 1e-12 * max_j(|c[j]| + sum_l |G[j,l] b[l]|)), counting a variable
 * that has just left, the ones that enter are those of the solution of the linear
 * complementarity problem over them (M = S_T (G_TT - G_TF G_FF^-1 G_FT) S_T,
 * q = S_T G_TF G_FF^-1 s_F - 1, S_T the signs of their correlations; every subset
 * tried up to 10 tied variables, Murty's least-index principal pivoting above); the
 * others stay out and are not candidates for their own bound on the next step. All
 * that enter do so at that knot (no repeated penalty). A coefficient that reaches
 * zero within rounding of the step (1e-12 relative) leaves at that knot too. A knot
 * with a single variable at the bound is decided as without ties.
 * NaN: a NaN correlation never enters the path. Every test that would let it in,
 * |c[j]| > lam_max, |r[j]| the largest, |r[j]| at the bound, a crossing time t > 0,
 * is false for NaN, so its coefficient is 0 at every knot and the path goes on
 * without it, to REGRESSION_OK. Example: G = I (3 by 3), c = (NaN, 2, -1), tol 1e-12
 * gives the knots 2, 1, 0 with rows (0, 0, 0), (0, 1, 0), (0, 2, -1), status
 * REGRESSION_OK.
 *   G          in   k*k Gram matrix, assumed symmetric
 *   c          in   k correlations (X'y, scaled like G)
 *   max_iter        the most homotopy steps; tol: the path is complete once lam <= tol
 *   lam_path   out  room for max(1, max_iter + 1) knot penalties (non-increasing)
 *   beta_path  out  room for max(1, max_iter + 1) rows of k coefficients
 *   n_knots    out  knots written (rows beyond it untouched); never above max_iter + 1
 *                   when max_iter >= 0
 * Returns REGRESSION_OK when the path reaches lam <= tol (or no variable can enter).
 * Returns REGRESSION_NON_CONVERGENT, with the knots written so far valid, when
 * max_iter steps were taken; when an active block is singular or indefinite (a zero
 * pivot in the active solve, or a direction that is not finite); when G is
 * only positive semidefinite where the path needs it definite (duplicated columns:
 * tied variables whose block, within rounding, is singular -- a Schur pivot at most
 * 1e-12 times G[j,j] -- so the direction is not unique), or their complementarity
 * problem finds no solution. Never a status 0 path with infinite or NaN knots.
 * Threads: the elimination of an active block of 521 or more variables shares its
 * columns among the OpenMP threads; the results do not depend on the thread count.
 * Working storage: k*(3k+11) f64 and 7k i64 in one block, allocated once per call;
 * when it is unavailable or its size overflows, REGRESSION_NON_CONVERGENT with
 * n_knots = 0 and nothing else written. */
QDL_API i64 qdl_lars_lasso_gram(const f64 *G, const f64 *c, i64 k, i64 max_iter, f64 tol,
                                f64 *lam_path, f64 *beta_path, i64 *n_knots);

/* The same LARS-lasso path as qdl_lars_lasso_gram (same arguments, outputs, knots,
 * drops, tie decision and NaN handling; the knots agree to rounding, not bit for bit),
 * with the active block solved through a Cholesky factor carried from knot to knot:
 * updated when a variable enters, downdated by Givens rotations when one leaves, so
 * O(n_active^2) a knot in place of O(n_active^3) (lasso_update.cpp draws the updates).
 * Faster than qdl_lars_lasso_gram from about k = 8 variables on (below, both take the
 * 2-3 microseconds of the call itself); 5-17 times faster at k = 300 to 800.
 * G must be symmetric positive definite where the path goes: the factor reads one
 * triangle (G[j, F] for an entering j against the variables F already in it), the
 * correlations are updated from rows of G when G equals its transpose bit for bit and
 * from its columns otherwise, as qdl_lars_lasso_gram does. A non-symmetric G gives a
 * path without lasso meaning.
 *   G, c, k, max_iter, tol, lam_path, beta_path, n_knots: as qdl_lars_lasso_gram
 * Returns (enum qdl_status):
 *   QDL_OK             the path reaches lam <= tol (or no variable can enter);
 *   QDL_NOT_CONVERGED  (-2, REGRESSION_NON_CONVERGENT) with the knots written so far
 *                      valid: max_iter steps taken; an entering variable's Cholesky
 *                      pivot G_jj - l'l at most 1e-12 G_jj or not finite (its column
 *                      a combination of the active ones within rounding, or G not
 *                      positive definite there); every other case in which
 *                      qdl_lars_lasso_gram returns REGRESSION_NON_CONVERGENT;
 *   QDL_OUT_OF_MEMORY  working storage unavailable, or its size overflows: n_knots = 0
 *                      and nothing else written.
 * Never a status 0 path with infinite or NaN knots.
 * Working storage: k*(5k+14) f64 and 9k i64 in one block, once per call. The factor's
 * updates and solves run on the calling thread (only a tie decision's elimination of
 * an active block of 521 or more variables is shared among the OpenMP threads); the results
 * depend neither on the thread count nor on the instruction set. */
QDL_API i64 qdl_lars_lasso_gram_update(const f64 *G, const f64 *c, i64 k, i64 max_iter, f64 tol,
                                       f64 *lam_path, f64 *beta_path, i64 *n_knots);

/* Reads a path off at arbitrary penalties. For each lam = lam_grid[gi] independently:
 *   lam >= lam_path[0]            -> zeros
 *   lam <= lam_path[n_knots-1]    -> row n_knots-1
 *   otherwise, with lam_path[lo] >= lam > lam_path[hi], hi = lo + 1 found by bisection,
 *   out[gi,:] = B[lo,:] + t * (B[hi,:] - B[lo,:]),  t = (lam - lam_path[lo]) / (lam_path[hi] - lam_path[lo])
 * A NaN penalty gives a NaN row; of several knots sharing a penalty the last one wins.
 *   lam_path   in   n_knots penalties, non-increasing
 *   beta_path  in   n_knots*k coefficient rows
 *   lam_grid   in   n_grid penalties, any order
 *   out        out  n_grid*k
 * n_grid <= 0 reads and writes nothing; n_knots <= 0 (no path) gives zero rows without
 * reading lam_path or beta_path. Sizes whose beta_path or out cannot exist (a byte
 * count beyond 2^63 - 1) read and write nothing. Allocates nothing. */
QDL_API void qdl_lasso_path_eval(const f64 *lam_path, const f64 *beta_path, i64 n_knots, i64 k,
                                 const f64 *lam_grid, i64 n_grid, f64 *out);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_LASSO_H */
