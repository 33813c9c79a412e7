// Cholesky-based least-squares kernels (see regression.h for the contracts).

#include "regression.h"

#include <limits>

#include "../_common/qdl_linalg.h"
#include "../_common/qdl_linalg_impl.h"

namespace {

// The quiet NaN 0x7ff8000000000000 that marks a coefficient without an answer.
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

inline void fill_nan(f64 *v, i64 n) {
  for (i64 i = 0; i < n; ++i) v[i] = kNaN;
}

}  // namespace

extern "C" {

void qdl_ols_chol_solve(const f64 *X, const f64 *y, i64 n, i64 p, f64 *coef, f64 *L, i64 *status,
                        f64 *G, f64 *g) {
  qdl::gram_and_rhs(X, y, G, g, n, p);  // G = X'X, g = X'y (as qdl_gram, qdl_gram_rhs)
  if (qdl_chol_solve(G, g, coef, L, p) == 0) {
    *status = REGRESSION_OK;
  } else {
    fill_nan(coef, p);
    *status = REGRESSION_RANK_DEFICIENT;
  }
}

}  // extern "C"
