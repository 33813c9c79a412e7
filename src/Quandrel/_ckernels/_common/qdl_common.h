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

#ifdef __cplusplus
#define QDL_RESTRICT __restrict__
#else
#define QDL_RESTRICT restrict
#endif

#endif /* QUANDREL_CKERNELS_COMMON_QDL_COMMON_H */
