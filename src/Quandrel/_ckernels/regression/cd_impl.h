/* The coordinate-descent sweeps shared by the lasso and the elastic net.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_CD_IMPL_H
#define QUANDREL_CKERNELS_REGRESSION_CD_IMPL_H

#include <math.h>

#include "qdl_common.h"
#include "qdl_gram_impl.h"
#include "qdl_simd.h"
#include "regression.h"

namespace qdl::cd {

// A covariance-form problem, min over b of b'Gb/2 - g'b + a1 |b|_1 + a2 |b|^2/2, with
// what one inspection of G decided for all its solves.
struct Problem {
  const f64 *G;  // k*k
  const f64 *g;  // k
  i64 k;
  i64 max_iter;
  f64 tol;
  bool symmetric;  // see qdl::inspect_gram
  bool finite;
};

inline Problem problem(const f64 *G, const f64 *g, i64 k, i64 max_iter, f64 tol) {
  const GramShape shape = inspect_gram(G, k);
  return Problem{G, g, k, max_iter, tol, shape.symmetric, shape.finite};
}

/* Cyclic coordinate descent in covariance form (Friedman, Hastie, Hoefling and
 * Tibshirani, "Pathwise coordinate optimization", Ann. Appl. Stat. 1(2), 2007,
 * section 2; the covariance updates of Friedman, Hastie and Tibshirani,
 * "Regularization paths for generalized linear models via coordinate descent",
 * J. Stat. Softw. 33(1), 2010, section 2.2), from coef and Gcoef = (G + a2 I) coef as
 * given, at most q.max_iter sweeps over j = 0 .. k-1:
 *
 *   diag  = G[j,j] + a2                 skip j unless diag > 0 (a NaN is not skipped)
 *   z     = (g[j] - Gcoef[j]) + coef[j] * diag
 *   new   = S(z, a1) / diag             S = qdl_smooth_threshold
 *   delta = new - coef[j]               applied only when |delta| > tol:
 *   Gcoef[:] += delta * G[:,j];  Gcoef[j] += a2 * delta;  coef[j] = new
 *
 * until a sweep's largest applied |delta| is below tol: REGRESSION_OK, else
 * REGRESSION_NON_CONVERGENT. kL2 = false is the lasso: the two a2 terms are not
 * evaluated at all (so a2 = 0 with kL2 = true gives the same bits except where
 * adding +0.0 turns a -0.0 into +0.0, or 0 * inf gives NaN).
 *
 * Gcoef = G coef is kept by one k-long update per applied change, so a coordinate
 * visit costs O(1) unless it moves. Read down the column, G[:,j] is a walk with
 * stride k; when G equals its transpose bit for bit the contiguous row j holds the
 * very same doubles and is read instead (same products, same sums): sweeps_reading
 * with kRows, compiled apart so that the choice costs nothing inside the loop. */
template <class Vec, bool kL2, bool kRows>
[[gnu::always_inline]] inline i64 sweeps_reading(const Problem &q, f64 a1, f64 a2, f64 *coef,
                                                 f64 *Gcoef) {
  const f64 *G = q.G, *g = q.g;
  const i64 k = q.k, max_iter = q.max_iter;
  const f64 tol = q.tol;
  for (i64 it = 0; it < max_iter; ++it) {
    f64 max_delta = 0.0;
    for (i64 j = 0; j < k; ++j) {
      f64 diag = G[j * k + j];
      if constexpr (kL2) diag = diag + a2;
      if (diag <= 0.0) continue;  // false for NaN: its delta is NaN and discarded below
      const f64 cj = coef[j];
      // z = g[j] - sum_{i != j} (G + a2 I)[j,i] coef[i], from the kept product.
      const f64 z = (g[j] - Gcoef[j]) + cj * diag;
      const f64 new_coef_j = qdl_smooth_threshold(z, a1) / diag;
      const f64 delta = new_coef_j - cj;
      const f64 abs_delta = fabs(delta);
      if (!(abs_delta > tol)) continue;  // a change of at most tol (or NaN) is discarded
      if constexpr (kRows) {
        simd::axpy<Vec>(Gcoef, delta, G + j * k, k);  // Gcoef[:] += delta * G[j,:] (= G[:,j])
      } else {
        for (i64 i = 0; i < k; ++i) Gcoef[i] = Gcoef[i] + delta * G[i * k + j];
      }
      if constexpr (kL2) Gcoef[j] = Gcoef[j] + a2 * delta;
      coef[j] = new_coef_j;
      if (abs_delta > max_delta) max_delta = abs_delta;
    }
    if (max_delta < tol) return REGRESSION_OK;
  }
  return REGRESSION_NON_CONVERGENT;
}

template <class Vec, bool kL2>
[[gnu::always_inline]] inline i64 sweeps(const Problem &q, f64 a1, f64 a2, f64 *coef, f64 *Gcoef) {
  return q.symmetric ? sweeps_reading<Vec, kL2, true>(q, a1, a2, coef, Gcoef)
                     : sweeps_reading<Vec, kL2, false>(q, a1, a2, coef, Gcoef);
}

}  // namespace qdl::cd

#endif /* QUANDREL_CKERNELS_REGRESSION_CD_IMPL_H */
