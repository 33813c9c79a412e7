// Real LU factorisation with partial pivoting, solve and inverse (see qdl_linalg.h for
// the contracts; the loops are those of qdl_lu_impl.h, shared with the complex routines).

#include "qdl_linalg.h"

#include "qdl_linalg_impl.h"
#include "qdl_lu_impl.h"

namespace {

// The real LU of the exported routines: reciprocals of the pivots multiplied in.
using RealOps = qdl::lu::RealOps<qdl::lu::Divide::by_reciprocal>;

}  // namespace

extern "C" {

i64 qdl_lu_factor_inplace(f64 *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot, const i64 n) {
  if (pivot == nullptr || n < 1 || A == nullptr || !qdl::fits(n, n)) return -1;
  return qdl::lu::factor<RealOps>(A, pivot, n);
}

f64_lu qdl_lu_factor(const f64 *A, const i64 n) {
  return qdl::lu::factor_copy<f64_lu>(A, n, qdl_lu_factor_inplace);
}

void qdl_lu_free(f64_lu *lu) { qdl::lu::release(lu); }

void qdl_lu_solve(const f64 *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                  const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT X, const i64 n, const i64 m) {
  // No meaningful system (a negative size must not copy), or no such buffers.
  if (n <= 0 || m <= 0 || !qdl::fits(n, n) || !qdl::fits(n, m)) return;
  qdl::lu::solve<RealOps>(LU, piv, B, X, n, m);
}

i64 qdl_solve(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, const i64 n, const i64 m,
              f64 *QDL_RESTRICT X) {
  return qdl::lu::solve_once(A, B, n, m, X, qdl_lu_factor, qdl_lu_solve, qdl_lu_free);
}

i64 qdl_inv(const f64 *QDL_RESTRICT A, const i64 n, f64 *QDL_RESTRICT Ainv) {
  return qdl::lu::inverse(A, n, Ainv, 1.0, qdl_solve);
}

}  // extern "C"
