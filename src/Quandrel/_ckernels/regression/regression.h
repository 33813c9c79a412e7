/* Regression kernels: status and criterion codes, the soft threshold, and the
 * Cholesky-based least-squares solvers (OLS and ridge).
 *
 * Kernels are pure functions of caller-provided, non-overlapping row-major
 * buffers: they never allocate, print or keep state, and report their outcome as
 * a status code. The lasso and elastic-net kernels (lasso.h, elastic_net.h) take
 * the codes and the soft threshold from here.
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
 * else 0.0. Both tests are strict, so |z| == gamma and a NaN z give 0.0. */
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
 * p = 0 writes nothing but status (REGRESSION_OK). */
QDL_API void qdl_ols_chol_solve(const f64 *X, const f64 *y, i64 n, i64 p, f64 *coef, f64 *L,
                                i64 *status, f64 *G, f64 *g);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_REGRESSION_H */
