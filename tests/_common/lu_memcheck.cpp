// Drives every allocating path of the real and complex LU routines (success,
// singular, refused input, failed allocation, double free) on exactly sized heap
// buffers, so that a memory checker reports any leak or access outside a buffer.
// Built and run by test_memcheck.py; exits non-zero on an unexpected status.

#include <cstdio>
#include <vector>

#include "qdl_complex.h"
#include "qdl_linalg.h"

namespace {

int failures = 0;

void expect(bool ok, const char *what) {
  if (!ok) fprintf(stderr, "unexpected: %s\n", what);
  failures += !ok;
}

// Rec, T: f64_lu and f64, or c128_lu and c128; S is singular (2 by 2).
template <class Rec, class T, class Api>
void exercise(const std::vector<T> &A, i64 n, const std::vector<T> &S, Api api) {
  const i64 m = 5, huge = i64{1} << 29;  // huge*huge elements: the allocation fails
  std::vector<T> B(n * m, S[0]), X(n * m), Ainv(n * n);
  Rec f = api.factor(A.data(), n);
  expect(f.err == 0, "factor");
  api.lu_solve(f.lu, f.piv, B.data(), X.data(), n, m);
  api.lu_solve(f.lu, f.piv, B.data(), X.data(), n, -m);  // negative sizes: nothing
  api.lu_solve(f.lu, f.piv, B.data(), X.data(), -n, m);
  api.lu_free(&f);
  api.lu_free(&f);
  api.lu_free(nullptr);
  Rec s = api.factor(S.data(), 2);
  expect(s.err == -2 && s.lu && s.piv, "singular factor keeps its buffers");
  api.lu_free(&s);
  for (i64 bad : {i64{0}, i64{-3}, huge}) {
    Rec r = api.factor(A.data(), bad);
    expect(r.err == -1 && !r.lu && !r.piv, "refused factor holds nothing");
    expect(api.inv(A.data(), bad, Ainv.data()) == -1, "refused inverse");
  }
  expect(api.solve(A.data(), B.data(), n, m, X.data()) == 0, "solve");
  expect(api.solve(S.data(), B.data(), 2, 1, X.data()) == -2, "singular solve");
  expect(api.solve(A.data(), B.data(), n, 0, X.data()) == 0, "solve, m = 0");
  expect(api.inv(A.data(), n, Ainv.data()) == 0, "inverse");
  expect(api.inv(S.data(), 2, Ainv.data()) == -2, "singular inverse");
}

struct RealApi {
  decltype(&qdl_lu_factor) factor = qdl_lu_factor;
  decltype(&qdl_lu_solve) lu_solve = qdl_lu_solve;
  decltype(&qdl_lu_free) lu_free = qdl_lu_free;
  decltype(&qdl_solve) solve = qdl_solve;
  decltype(&qdl_inv) inv = qdl_inv;
};

struct ComplexApi {
  decltype(&c128_lu_factor) factor = c128_lu_factor;
  decltype(&c128_lu_solve) lu_solve = c128_lu_solve;
  decltype(&c128_lu_free) lu_free = c128_lu_free;
  decltype(&c128_solve) solve = c128_solve;
  decltype(&c128_inv) inv = c128_inv;
};

}  // namespace

int main() {
  const i64 n = 23;  // more than one block of elimination steps, partial vectors
  std::vector<f64> A(n * n);
  std::vector<c128> Ac(n * n);
  for (i64 i = 0; i < n * n; ++i) {
    A[i] = static_cast<f64>((i * 7919) % 101) / 17.0 - 2.5;
    Ac[i] = c128_make(A[i], static_cast<f64>((i * 17) % 11) - 5.0);
  }
  exercise<f64_lu>(A, n, std::vector<f64>{1, 2, 2, 4}, RealApi{});
  exercise<c128_lu>(Ac, n, std::vector<c128>{{1, 0}, {2, 0}, {2, 0}, {4, 0}}, ComplexApi{});
  if (failures == 0) printf("ok\n");
  return failures == 0 ? 0 : 1;
}
