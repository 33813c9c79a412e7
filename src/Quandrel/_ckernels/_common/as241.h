/* The standard normal quantile (inverse of the normal distribution function) by
 * Wichura's Algorithm AS 241, double-precision form PPND16 (M. J. Wichura, "The
 * percentage points of the normal distribution", Applied Statistics 37(3), 1988).
 * Pure functions: no allocation, no state; accurate to about 1e-16 relative.
 */
#ifndef QUANDREL_CKERNELS_COMMON_AS241_H
#define QUANDREL_CKERNELS_COMMON_AS241_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The x with Phi(x) = p. p <= 0 gives -inf and p >= 1 gives +inf (no fault flag);
 * NaN gives NaN. Regions: |p - 0.5| <= 0.425 central; otherwise r = sqrt(-log(min(p,
 * 1 - p))) with r <= 5 intermediate and r > 5 far tail. */
QDL_API f64 qdl_ndtri_as241(f64 p);

/* out[i] = qdl_ndtri_as241(p[i]) for i = 0 .. n-1, bit for bit.
 *   p in n, out out n (must not overlap p). n <= 0 writes nothing, and so does an n
 * above 2^60 - 1, whose arrays cannot exist. Long arrays are shared among OpenMP
 * threads in stretches; each value is the same at any count. */
QDL_API void qdl_ndtri_as241_into(const f64 *QDL_RESTRICT p, i64 n, f64 *QDL_RESTRICT out);

/* qdl_ndtri_as241(((y + 1) * 0.5) / 1.4142135623730951), the quotient by the double
 * nearest sqrt(2) taken on the argument of the quantile, not on its result. This is
 * NOT the inverse error function (that is qdl_erfinv below); callers rely on this
 * exact formula. For y in (-1, 1) the argument lies in (0, 0.7071...), and y = 1
 * gives the finite qdl_ndtri_as241(0.7071067811865475...), about 0.5449. y <= -1
 * gives -inf, y >= 2 sqrt(2) - 1 (an argument >= 1) +inf, NaN gives NaN. */
QDL_API f64 qdl_erfinv_from_as241(f64 y);

/* The inverse error function, erfinv(y) = Phi^-1((1 + y) / 2) / 1.4142135623730951
 * (erf(x) = 2 Phi(x sqrt 2) - 1): AS 241 with its arguments formed exactly, q = y / 2
 * in the central region (|y| <= 0.85) and (1 - |y|) / 2 in the tails, where 1 + y
 * would round the information away, and the quotient taken on the quantile's
 * result. A few ulps of the result everywhere: erfinv(1e-300) is 8.86e-301, and the
 * largest y below 1 gives 5.86 (finite). y = -1 gives -inf, y = 1 gives +inf,
 * |y| > 1 and NaN give NaN. */
QDL_API f64 qdl_erfinv(f64 y);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_COMMON_AS241_H */
