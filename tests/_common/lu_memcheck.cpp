// Drives every allocating path of the real and complex LU routines (success,
// singular, refused input, failed allocation, double free) and the in-bounds edges
// of the products, the median and the quantile, on exactly sized heap buffers, so
// that a memory checker run reports any leak or access outside a buffer.
// Built and run by test_memcheck.py; exits non-zero on an unexpected status.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "as241.h"
#include "qdl_complex.h"
#include "qdl_linalg.h"

namespace {

int failures = 0;

void expect(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "unexpected: %s\n", what);
    ++failures;
  }
}

void real_lu() {
  const i64 n = 23;
  std::vector<f64> A(n * n), B(n * 3), X(n * 3), Ainv(n * n), S = {1, 2, 2, 4};
  for (i64 i = 0; i < n * n; ++i) A[i] = static_cast<f64>((i * 7919) % 101) / 17.0 - 2.5;
  for (i64 i = 0; i < n * 3; ++i) B[i] = static_cast<f64>(i % 5);
  f64_lu f = qdl_lu_factor(A.data(), n);
  expect(f.err == 0, "real factor");
  qdl_lu_solve(f.lu, f.piv, B.data(), X.data(), n, 3);
  qdl_lu_solve(f.lu, f.piv, B.data(), X.data(), n, -3);  // negative sizes: nothing
  qdl_lu_solve(f.lu, f.piv, B.data(), X.data(), -n, 3);
  qdl_lu_free(&f);
  qdl_lu_free(&f);
  qdl_lu_free(nullptr);
  f64_lu s = qdl_lu_factor(S.data(), 2);  // singular: buffers handed back
  expect(s.err == -2 && s.lu && s.piv, "real singular factor");
  qdl_lu_free(&s);
  f64_lu z = qdl_lu_factor(A.data(), 0);
  expect(z.err == -1 && !z.lu && !z.piv, "real n = 0");
  f64_lu big = qdl_lu_factor(A.data(), i64{1} << 29);  // 2^61 bytes: allocation fails
  expect(big.err == -1 && !big.lu && !big.piv, "real failed allocation");
  expect(qdl_solve(A.data(), B.data(), n, 3, X.data()) == 0, "real solve");
  expect(qdl_solve(S.data(), B.data(), 2, 1, X.data()) == -2, "real singular solve");
  expect(qdl_solve(A.data(), B.data(), n, 0, X.data()) == 0, "real solve m = 0");
  expect(qdl_inv(A.data(), n, Ainv.data()) == 0, "real inverse");
  expect(qdl_inv(S.data(), 2, Ainv.data()) == -2, "real singular inverse");
  expect(qdl_inv(A.data(), -1, Ainv.data()) == -1, "real inverse n < 0");
  expect(qdl_inv(A.data(), i64{1} << 29, Ainv.data()) == -1, "real inverse failed allocation");
  std::vector<i64> piv(n);
  expect(qdl_lu_factor_inplace(A.data(), piv.data(), n) == 0, "real in place");
}

void complex_lu() {
  const i64 n = 19;
  std::vector<c128> A(n * n), B(n * 5), X(n * 5), Ainv(n * n);
  std::vector<c128> S = {{1, 0}, {2, 0}, {2, 0}, {4, 0}};
  for (i64 i = 0; i < n * n; ++i)
    A[i] = c128_make(static_cast<f64>((i * 31) % 13) - 6.0, static_cast<f64>((i * 17) % 11) - 5.0);
  for (i64 i = 0; i < n * 5; ++i) B[i] = c128_make(static_cast<f64>(i % 3), 1.0);
  c128_lu f = c128_lu_factor(A.data(), n);
  expect(f.err == 0, "complex factor");
  c128_lu_solve(f.lu, f.piv, B.data(), X.data(), n, 5);
  c128_lu_solve(f.lu, f.piv, B.data(), X.data(), n, -5);
  c128_lu_free(&f);
  c128_lu_free(&f);
  c128_lu_free(nullptr);
  c128_lu s = c128_lu_factor(S.data(), 2);
  expect(s.err == -2 && s.lu && s.piv, "complex singular factor");
  c128_lu_free(&s);
  c128_lu big = c128_lu_factor(A.data(), i64{1} << 29);
  expect(big.err == -1 && !big.lu && !big.piv, "complex failed allocation");
  expect(c128_solve(A.data(), B.data(), n, 5, X.data()) == 0, "complex solve");
  expect(c128_solve(S.data(), B.data(), 2, 1, X.data()) == -2, "complex singular solve");
  expect(c128_inv(A.data(), n, Ainv.data()) == 0, "complex inverse");
  expect(c128_inv(S.data(), 2, Ainv.data()) == -2, "complex singular inverse");
  expect(c128_inv(A.data(), 0, Ainv.data()) == -1, "complex inverse n = 0");
  std::vector<c128> P(3 * 7);
  c128_matmul(A.data(), B.data(), 3, 7, 3, P.data());
}

void dense() {
  // Sizes that leave partial register tiles and a second block of k.
  const i64 n = 13, p = 133, m = 27;
  std::vector<f64> A(n * p, 0.5), B(p * m, 0.25), Bt(m * p, 0.25), At(p * n, 1.0), C(n * m, 1.0);
  std::vector<f64> out(n * m), outt(n * m), v(n), x(m, 1.0), b(n, 2.0);
  std::vector<f64> Bn(p * m, 1.0), atb(n * m);
  qdl_matmul(A.data(), B.data(), out.data(), n, p, m);
  qdl_matmul_atb(At.data(), Bn.data(), atb.data(), p, n, m);
  qdl_matmul_abt(A.data(), Bt.data(), outt.data(), n, p, m);
  qdl_matmul_abt_plus_c(A.data(), Bt.data(), C.data(), outt.data(), n, p, m);
  expect(out[n * m - 1] == 0.125 * static_cast<f64>(p), "matmul value");
  std::vector<f64> Amv(n * m, 1.0);
  qdl_matvec(Amv.data(), x.data(), v.data(), n, m);
  qdl_matvec_plus_vec(Amv.data(), x.data(), b.data(), v.data(), n, m);
  std::vector<f64> arr = {5, 3, 1, 4, 2};
  expect(qdl_median_f64(arr.data(), 5) == 3.0, "median");
  std::vector<f64> q(1001), r(1001);
  for (i64 i = 0; i < 1001; ++i) q[i] = static_cast<f64>(i) / 1000.0;
  qdl_ndtri_as241_into(q.data(), 1001, r.data());
}

}  // namespace

int main() {
  real_lu();
  complex_lu();
  dense();
  if (failures == 0) printf("ok\n");
  return failures == 0 ? 0 : 1;
}
