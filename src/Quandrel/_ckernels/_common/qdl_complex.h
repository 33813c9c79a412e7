/* Dense complex linear algebra: the c128 value type with its inline arithmetic, a
 * matrix product, and LU factorisation with partial pivoting, solve and inverse.
 *
 * Complex matrices are row-major like real ones (qdl_common.h): element (i, j) of
 * an r-by-c matrix is the c128 at index i*c + j. The LU routines mirror those of
 * qdl_linalg.h (same record layout, statuses and loop orders) and differ only where
 * stated: pivots by squared modulus, multipliers and the diagonal of U by division.
 * Statuses: 0 success, -1 input rejected (NULL pointer, n < 1) or allocation
 * failed, -2 singular. Pointer arguments must not overlap unless stated. Large calls
 * share independent outputs among OpenMP threads, as those of qdl_linalg.h do; the
 * results do not depend on the thread count.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_COMPLEX_H
#define QUANDREL_CKERNELS_COMMON_QDL_COMPLEX_H

#include <math.h>

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A complex value, real part first; passed and returned by value. */
typedef struct c128 {
  f64 re;
  f64 im;
} c128;

/* Result of c128_lu_factor, laid out as f64_lu: lu (n*n combined factors, unit-lower
 * L below the diagonal, U on and above), piv (n exchange indices), n, err (0, -1 or
 * -2). The record owns lu and piv (NULL when the factorisation did not start). */
typedef struct c128_lu {
  c128 *lu;
  i64 *piv;
  i64 n;
  i64 err;
} c128_lu;

static inline c128 c128_make(f64 re, f64 im) {
  c128 r = {re, im};
  return r;
}

static inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }

static inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }

/* {a.re*b.re - a.im*b.im, a.re*b.im + a.im*b.re} */
static inline c128 c128_mul(c128 a, c128 b) {
  return c128_make(a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re);
}

/* a / b by Smith's algorithm (R. L. Smith, "Algorithm 116: Complex division",
 * CACM 5(8), 1962), which scales by the larger component of b instead of forming
 * |b|^2 and so avoids its overflow. The branch is chosen on b: |b.re| >= |b.im|
 * (ties included) takes the first; a NaN component of b takes the second.
 * Division by 0+0i gives NaN components. */
static inline c128 c128_div(c128 a, c128 b) {
  if (fabs(b.re) >= fabs(b.im)) {
    const f64 r = b.im / b.re;
    const f64 den = b.re + r * b.im;
    return c128_make((a.re + a.im * r) / den, (a.im - a.re * r) / den);
  }
  const f64 r = b.re / b.im;
  const f64 den = b.im + r * b.re;
  return c128_make((a.re * r + a.im) / den, (a.im * r - a.re) / den);
}

/* The squared modulus a.re*a.re + a.im*a.im (no square root). */
static inline f64 c128_abs2(c128 a) { return a.re * a.re + a.im * a.im; }

/* out (m*p, out) = A B, A m*n, B n*p (in). Note the sizes come before out.
 * out[i,j] = sum_k A[i,k] B[k,j]: s = 0+0i; s = c128_add(s, c128_mul(A[i,k], B[k,j]))
 * for k ascending. m <= 0 or p <= 0 writes nothing; n <= 0 writes 0+0i. Sizes
 * whose buffers cannot exist (a byte count, at 16 bytes an element, beyond
 * 2^63 - 1; "refused" here and below) write nothing. */
QDL_API void c128_matmul(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B, const i64 m,
                         const i64 n, const i64 p, c128 *QDL_RESTRICT out);

/* Doolittle elimination in place with partial pivoting by the largest c128_abs2
 * (strictly larger moves the choice: topmost of equals wins, NaN never chosen);
 * multipliers c128_div(A[i,k], A[k,k]).
 *   A     in/out n*n, overwritten with the combined factors
 *   pivot out    n exchange indices
 * Returns 0; -1 (nothing written) for NULL A or pivot, n < 1 or a refused n; -2 at the first
 * step k whose column has largest squared modulus exactly 0.0 (pivot[0..k] written,
 * A as after step k-1), or when c128_abs2 of the last diagonal entry is 0.0. A
 * modulus below about 1.5e-162 squares to 0.0 and is reported singular. */
QDL_API i64 c128_lu_factor_inplace(c128 *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot, const i64 n);

/* Factors a copy of A (n*n, in, unchanged). Returns {lu, piv, n, status}; the
 * buffers are handed back whatever the status and must be released with
 * c128_lu_free. NULL A, n <= 0, a refused n or a failed allocation give
 * {NULL, NULL, n, -1}. */
QDL_API c128_lu c128_lu_factor(const c128 *A, const i64 n);

/* Releases lu->lu and lu->piv and resets all four fields to zero; NULL or an
 * already reset record is a no-op. */
QDL_API void c128_lu_free(c128_lu *lu);

/* Solves A X = B from the factors: LU (n*n, in), piv (n, in), B (n*m, in), X (n*m,
 * out). X = B, the exchanges for k ascending, forward substitution with unit L and
 * back substitution with U, each update X[i,j] = c128_sub(X[i,j], c128_mul(F[i,k],
 * X[k,j])) with k ascending, then X[i,j] = c128_div(X[i,j], U[i,i]). Nothing is
 * tested; n <= 0 or m <= 0 writes nothing, so a negative size is harmless, and so
 * do refused n, m. */
QDL_API void c128_lu_solve(const c128 *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                           const c128 *QDL_RESTRICT B, c128 *QDL_RESTRICT X, const i64 n,
                           const i64 m);

/* X (n*m, out) = A^-1 B, A n*n, B n*m (in): c128_lu_factor, c128_lu_solve on
 * success, the factorisation released on every path. Returns its status (-1 also
 * for n <= 0, and for refused n, m before anything is allocated); X is untouched
 * unless 0. */
QDL_API i64 c128_solve(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B, const i64 n,
                       const i64 m, c128 *QDL_RESTRICT X);

/* Ainv (n*n, out) = A^-1 through c128_solve against an allocated identity. Returns
 * its status, or -1 if the identity cannot be allocated or n is refused; Ainv
 * untouched unless 0. */
QDL_API i64 c128_inv(const c128 *QDL_RESTRICT A, const i64 n, c128 *QDL_RESTRICT Ainv);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_COMMON_QDL_COMPLEX_H */
