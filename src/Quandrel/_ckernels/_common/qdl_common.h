/* Scalar types and export conventions shared by every native kernel.
 *
 * Matrices are dense and row-major: an r-by-c matrix is r*c consecutive f64,
 * element (i, j) at index i*c + j, with no stride or leading-dimension argument.
 * Symmetric matrices are passed full.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_COMMON_H
#define QUANDREL_CKERNELS_COMMON_QDL_COMMON_H

#include <stdint.h>

typedef int64_t i64; /* every size, index, count and status */
typedef double f64;  /* every matrix and vector element (IEEE-754 binary64) */

/* Exported kernels are the only visible symbols of the shared object; the build
 * hides everything else (-fvisibility=hidden). */
#if defined(_WIN32)
#define QDL_API __declspec(dllexport)
#else
#define QDL_API __attribute__((visibility("default")))
#endif

/* The outcome of the routines this project exports beside the described ones, one
 * vocabulary for all of them (the described kernels keep their own codes: the
 * statuses of regression.h, the factorisations' -1 and -2). The values agree with
 * REGRESSION_RANK_DEFICIENT and REGRESSION_NON_CONVERGENT where the meaning does. */
enum qdl_status {
  QDL_OK = 0,                 /* done */
  QDL_NUMERICAL_FAILURE = -1, /* a factorisation failed: not positive definite, singular */
  QDL_NOT_CONVERGED = -2,     /* an iteration limit was reached */
  QDL_REFUSED = -3,           /* input refused (sizes, strides, slots): nothing written */
  QDL_OUT_OF_MEMORY = -4      /* working storage could not be obtained */
};

#ifdef __cplusplus
#define QDL_RESTRICT __restrict__
#else
#define QDL_RESTRICT restrict
#endif

#endif /* QUANDREL_CKERNELS_COMMON_QDL_COMMON_H */
