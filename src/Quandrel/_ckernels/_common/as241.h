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
 *   p in n, out out n (must not overlap p). n <= 0 writes nothing. Long arrays are
 * shared among OpenMP threads in stretches; each value is the same at any count. */
QDL_API void qdl_ndtri_as241_into(const f64 *QDL_RESTRICT p, i64 n, f64 *QDL_RESTRICT out);

/* The inverse error function from the normal quantile:
 * erfinv(y) = qdl_ndtri_as241((y + 1) * 0.5) / 1.4142135623730951 (the double
 * nearest sqrt(2)). y = -1 gives -inf, y = 1 gives +inf, |y| > 1 gives -inf or +inf
 * like the quantile it rests on, NaN gives NaN. */
QDL_API f64 qdl_erfinv_from_as241(f64 y);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_COMMON_AS241_H */
