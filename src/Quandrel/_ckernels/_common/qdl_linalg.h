/* Dense real linear algebra: the Cholesky toolkit of the least-squares kernels.
 *
 * All matrices are row-major (qdl_common.h). Every buffer belongs to the caller;
 * no routine here allocates, keeps a pointer past the call, or has state, so all
 * are re-entrant. Inputs and outputs never overlap unless a contract says so.
 * Every sum is accumulated into one running f64 in the order stated, which fixes
 * the results bit for bit (the build never fuses multiply-adds).
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_LINALG_H
#define QUANDREL_CKERNELS_COMMON_QDL_LINALG_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* out[0 .. r*c-1] = 0.0 when r*c > 0; nothing otherwise. */
QDL_API void qdl_zero_mat(f64 *out, i64 r, i64 c);

/* Cholesky-Banachiewicz factorisation S + jitter*I = L L' (row by row).
 *   S      in   n*n, only the lower triangle (j <= i) is read
 *   jitter in   added to the diagonal when > 0; zero, negative or NaN is ignored
 *   L      out  n*n, zeroed first; lower-triangular factor, zeros above the diagonal
 * scale = max diagonal (a NaN never raises it), pivot_tol = (n * scale) * 2^-52.
 * Returns 0, or -1 at the first pivot s <= pivot_tol (a NaN pivot passes). On -1 at
 * row i, L holds rows 0..i-1, row i left of the diagonal, and zeros elsewhere. */
QDL_API int qdl_chol(const f64 *S, f64 jitter, f64 *L, i64 n);

/* Solves L out = b for lower-triangular L (n*n). b may equal out. */
QDL_API void qdl_forward_subst(const f64 *L, const f64 *b, f64 *out, i64 n);

/* Solves L' out = b reading L column-wise (L' is never formed). b may equal out. */
QDL_API void qdl_backward_subst_chol_t(const f64 *L, const f64 *b, f64 *out, i64 n);

/* G (p*p, out) = X' X for X (n*p), full and exactly symmetric. Each lower entry is
 * one running sum over the rows of X in ascending order, starting from 0.0; the
 * upper triangle is a mirror. n = 0 gives the zero matrix; p = 0 writes nothing. */
QDL_API void qdl_gram(const f64 *X, f64 *G, i64 n, i64 p);

/* g (p, out) = X' y, each entry summed over the rows in ascending order from 0.0.
 * p <= 0 writes nothing. */
QDL_API void qdl_gram_rhs(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p);

/* Solves G coef = g through qdl_chol (no jitter) into scratch_L (p*p), then the
 * forward and the transposed backward substitution. Returns the factorisation
 * status; on -1 coef is untouched and scratch_L holds the partial factor. */
QDL_API int qdl_chol_solve(const f64 *G, const f64 *g, f64 *coef, f64 *scratch_L, i64 p);

/* Pinv (p*p, out) = G^-1 column by column from the factor in scratch_L (p*p).
 * Returns the factorisation status; Pinv is untouched on -1 or p <= 0. The two
 * triangles of Pinv come from different solves and are not symmetrised. */
QDL_API int qdl_chol_inv(const f64 *G, f64 *Pinv, f64 *scratch_L, i64 p);

/* log det(L L') = 2 * sum_i log L[i,i] (summed ascending, then s + s); 0.0 for n <= 0. */
QDL_API f64 qdl_logdet_from_chol(const f64 *L, i64 n);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_COMMON_QDL_LINALG_H */
