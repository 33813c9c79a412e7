/* Dense real linear algebra: the Cholesky toolkit of the least-squares kernels.
 *
 * All matrices are row-major (qdl_common.h). Every buffer belongs to the caller;
 * no routine here keeps a pointer past the call or has state, so all are
 * re-entrant, and only the LU routines allocate (working storage they release, or
 * the factor record they return). Inputs and outputs never overlap unless a contract says so.
 * Every sum is accumulated into one running f64 in the order stated, which fixes
 * the results bit for bit (the build never fuses multiply-adds). Large Gram, product
 * and LU calls share their independent outputs among OpenMP threads; each output
 * is still computed by one thread in the stated order, so the results do not depend
 * on the thread count.
 *
 * Impossible sizes: sizes whose buffers cannot exist, because some buffer's byte
 * count (r*c*8, with r*c itself possibly beyond i64) exceeds 2^63 - 1, are refused
 * before any buffer is read or written, with the failure value each contract
 * below names ("refused: ..."). They are never wrapped into a small count.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_LINALG_H
#define QUANDREL_CKERNELS_COMMON_QDL_LINALG_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* out[0 .. r*c-1] = 0.0 when r, c > 0; nothing otherwise (refused: nothing). */
QDL_API void qdl_zero_mat(f64 *out, i64 r, i64 c);

/* Cholesky-Banachiewicz factorisation S + jitter*I = L L' (row by row).
 *   S      in   n*n, only the lower triangle (j <= i) is read
 *   jitter in   added to the diagonal when > 0; zero, negative or NaN is ignored
 *   L      out  n*n, zeroed first; lower-triangular factor, zeros above the diagonal
 * scale = max diagonal (a NaN never raises it), pivot_tol = (n * scale) * 2^-52.
 * Returns 0, or -1 at the first pivot s <= pivot_tol (a NaN pivot passes). On -1 at
 * row i, L holds rows 0..i-1, row i left of the diagonal, and zeros elsewhere.
 * Refused n: -1 with L untouched. */
QDL_API int qdl_chol(const f64 *S, f64 jitter, f64 *L, i64 n);

/* Solves L out = b for lower-triangular L (n*n). b may equal out. Refused n: nothing. */
QDL_API void qdl_forward_subst(const f64 *L, const f64 *b, f64 *out, i64 n);

/* Solves L' out = b reading L column-wise (L' is never formed). b may equal out.
 * Refused n: nothing. */
QDL_API void qdl_backward_subst_chol_t(const f64 *L, const f64 *b, f64 *out, i64 n);

/* G (p*p, out) = X' X for X (n*p), full and exactly symmetric. Each lower entry is
 * one running sum over the rows of X in ascending order, starting from 0.0; the
 * upper triangle is a mirror. n = 0 gives the zero matrix; p = 0 writes nothing, and
 * so do refused n, p. */
QDL_API void qdl_gram(const f64 *X, f64 *G, i64 n, i64 p);

/* g (p, out) = X' y, each entry summed over the rows in ascending order from 0.0.
 * p <= 0 and refused n, p write nothing. */
QDL_API void qdl_gram_rhs(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p);

/* Solves G coef = g through qdl_chol (no jitter) into scratch_L (p*p), then the
 * forward and the transposed backward substitution. Returns the factorisation
 * status; on -1 coef is untouched and scratch_L holds the partial factor (nothing,
 * for a refused p). */
QDL_API int qdl_chol_solve(const f64 *G, const f64 *g, f64 *coef, f64 *scratch_L, i64 p);

/* Pinv (p*p, out) = G^-1 column by column from the factor in scratch_L (p*p).
 * Returns the factorisation status; Pinv is untouched on -1 or p <= 0. The two
 * triangles of Pinv come from different solves and are not symmetrised. A refused p
 * gives -1 with nothing written. */
QDL_API int qdl_chol_inv(const f64 *G, f64 *Pinv, f64 *scratch_L, i64 p);

/* log det(L L') = 2 * sum_i log L[i,i] (summed ascending, then s + s); 0.0 for n <= 0;
 * the quiet NaN for a refused n. */
QDL_API f64 qdl_logdet_from_chol(const f64 *L, i64 n);

/* ------------------------------------------------------------------------------
 * Dense products, vector helpers and the median.
 *
 * Each sum starts at 0.0 (unless stated) and adds one product per step, s = s + u*v,
 * with its index ascending. Pointers marked restrict must not overlap.
 * ---------------------------------------------------------------------------- */

/* P (n*n, in/out) made exactly symmetric: for i < j, P[i,j] = P[j,i] =
 * (P[i,j] + P[j,i]) * 0.5. The diagonal is untouched; n <= 1 and a refused n do
 * nothing. */
QDL_API void qdl_sym_inplace(f64 *QDL_RESTRICT P, i64 n);

/* out (n*m, out) = A B, A n*p, B p*m: out[i,j] = sum_k A[i,k] B[k,j].
 * n <= 0 or m <= 0 writes nothing; p <= 0 writes zeros. Refused sizes (of any of
 * the three operands, here and in the products below): nothing. */
QDL_API void qdl_matmul(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT out,
                        i64 n, i64 p, i64 m);

/* out (p*m, out) = A' B, A n*p, B n*m: out is zeroed (qdl_zero_mat), then
 * out[k,l] = out[k,l] + A[i,k] B[i,l] for i ascending. n <= 0 leaves the zeros;
 * refused sizes write nothing, not even the zeros. */
QDL_API void qdl_matmul_atb(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B,
                            f64 *QDL_RESTRICT out, i64 n, i64 p, i64 m);

/* out (n*m, out) = A B', A n*p, B m*p: out[i,j] = sum_k A[i,k] B[j,k].
 * n <= 0 or m <= 0 writes nothing; p <= 0 writes zeros. */
QDL_API void qdl_matmul_abt(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B,
                            f64 *QDL_RESTRICT out, i64 n, i64 p, i64 m);

/* out (n*m, out) = C + A B', A n*p, B m*p, C n*m (in): the sum over k is completed
 * from 0.0 first and C[i,j] added after it (so p <= 0 gives C + 0.0, -0.0 -> +0.0).
 * n <= 0 or m <= 0 writes nothing. */
QDL_API void qdl_matmul_abt_plus_c(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B,
                                   const f64 *QDL_RESTRICT C, f64 *QDL_RESTRICT out, i64 n, i64 p,
                                   i64 m);

/* out (n, out) = A x, A n*m, x m: out[i] = sum_j A[i,j] x[j].
 * n <= 0 writes nothing; m <= 0 writes zeros; refused n, m: nothing. */
QDL_API void qdl_matvec(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x, f64 *QDL_RESTRICT out,
                        i64 n, i64 m);

/* out (n, out) = b + A x, A n*m, x m, b n (in): the sum of row i starts at b[i]
 * (s = b[i]; s = s + A[i,j] x[j], j ascending), so m <= 0 copies b exactly.
 * n <= 0 and refused n, m write nothing. */
QDL_API void qdl_matvec_plus_vec(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x,
                                 const f64 *QDL_RESTRICT b, f64 *QDL_RESTRICT out, i64 n, i64 m);

/* out[i] = a[i] - b[i] (all n), as if one element at a time in ascending i: the
 * buffers may overlap, and out == a or out == b works in place. n <= 0 or a refused
 * n (above 2^60 - 1): nothing. */
QDL_API void qdl_vsub(const f64 *a, const f64 *b, f64 *out, i64 n);

/* Returns sum_i a[i] b[i] (a, b: n, in), i ascending; 0.0 for n <= 0, the quiet NaN
 * for a refused n (above 2^60 - 1). */
QDL_API f64 qdl_dot(const f64 *QDL_RESTRICT a, const f64 *QDL_RESTRICT b, i64 n);

/* Sorts arr (n, in/out) ascending in place with the system qsort; not stable. The
 * comparator treats a NaN as equal to everything (the order is then unspecified)
 * and -0.0 as equal to 0.0. n <= 1 and a refused n (above 2^60 - 1) do nothing. */
QDL_API void qdl_sort_f64(f64 *QDL_RESTRICT arr, i64 n);

/* Returns the median of arr (n, in/out), which is left sorted (qdl_sort_f64): arr[h]
 * for odd n, (arr[h] + arr[h-1]) * 0.5 for even n, h = n / 2. n <= 0 and a refused
 * n (above 2^60 - 1) return the quiet NaN 0x7ff8000000000000, arr untouched. */
QDL_API f64 qdl_median_f64(f64 *QDL_RESTRICT arr, i64 n);

/* ------------------------------------------------------------------------------
 * Real LU factorisation with partial pivoting, solve and inverse.
 *
 * Statuses: 0 success, -1 input rejected (NULL pointer, n < 1) or allocation
 * failed, -2 singular (an exactly zero pivot column, or a zero last diagonal).
 * These routines, unlike the rest of this header, allocate (malloc/free); every
 * allocation is released on every path except the buffers handed back in f64_lu.
 * ---------------------------------------------------------------------------- */

/* P A = L U. lu (n*n): L strictly below the diagonal (unit diagonal not stored), U
 * on and above it. piv (n): at step k row k was exchanged with row piv[k] >= k.
 * The record owns lu and piv (NULL when the factorisation did not start); release
 * them with qdl_lu_free. */
typedef struct f64_lu {
  f64 *lu;
  i64 *piv;
  i64 n;
  i64 err; /* 0, -1 or -2 */
} f64_lu;

/* Doolittle elimination in place with partial pivoting (largest |A[i,k]|, i >= k;
 * only a strictly larger magnitude moves the choice, so the topmost of equals wins
 * and a NaN is never chosen). Multipliers are (1 / A[k,k]) * A[i,k], the reciprocal
 * formed once per step.
 *   A     in/out n*n, overwritten with the combined factors
 *   pivot out    n exchange indices
 * Returns 0; -1 (nothing written) for NULL A or pivot, n < 1 or a refused n; -2 at
 * the first step k whose pivot column is exactly zero (pivot[0..k] written, A as
 * after step k-1, no exchange at step k) or when the last diagonal entry is exactly 0. */
QDL_API i64 qdl_lu_factor_inplace(f64 *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot, const i64 n);

/* Factors a copy of A (n*n, in, unchanged) into a newly allocated record.
 * Returns {lu, piv, n, status of qdl_lu_factor_inplace}: the buffers are handed back
 * whatever that status (also -2) and must be released with qdl_lu_free. NULL A,
 * n <= 0, a refused n or a failed allocation give {NULL, NULL, n, -1} with nothing
 * held. */
QDL_API f64_lu qdl_lu_factor(const f64 *A, const i64 n);

/* Releases lu->lu and lu->piv and resets all four fields to zero. A NULL argument,
 * or a record already reset, is a no-op, so freeing twice is safe. */
QDL_API void qdl_lu_free(f64_lu *lu);

/* Solves A X = B from the factors of qdl_lu_factor[_inplace].
 *   LU in n*n factors   piv in n   B in n*m   X out n*m (column j solves column j of B)
 * X = B; the row exchanges (k, piv[k]) for k ascending; then forward substitution
 * with unit L and back substitution with U, each row update X[i,:] -= F[i,k] X[k,:]
 * with k ascending, the diagonal applied as X[i,:] *= 1 / U[i,i]. A zero on U's
 * diagonal gives infinities or NaNs (nothing is tested). n <= 0 or m <= 0 writes
 * nothing, so a negative size is harmless, and so do refused n, m. */
QDL_API void qdl_lu_solve(const f64 *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                          const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT X, const i64 n, const i64 m);

/* X (n*m, out) = A^-1 B for A n*n, B n*m (in): qdl_lu_factor, then qdl_lu_solve on
 * success; the factorisation is released on every path. Returns its status (-1
 * also for n <= 0, and for refused n, m before anything is allocated); X is
 * untouched unless 0. m <= 0 factors and writes nothing. */
QDL_API i64 qdl_solve(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, const i64 n,
                      const i64 m, f64 *QDL_RESTRICT X);

/* Ainv (n*n, out) = A^-1: qdl_solve against an allocated identity (three allocations
 * at the peak: identity, factor copy, pivots). Returns the status of qdl_solve, or -1
 * if the identity cannot be allocated or n is refused; Ainv is untouched unless 0. */
QDL_API i64 qdl_inv(const f64 *QDL_RESTRICT A, const i64 n, f64 *QDL_RESTRICT Ainv);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_COMMON_QDL_LINALG_H */
