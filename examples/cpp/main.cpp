// Calling the exported kernels from C++: a Cholesky solve, a LARS-lasso path and a
// complex linear system, each checked against a known answer. Exit status 0 when all
// agree.

#include <cmath>
#include <cstdio>
#include <vector>

#include "lasso.h"
#include "qdl_complex.h"
#include "qdl_linalg.h"

namespace {

int failures = 0;

void check(bool ok, const char *what) {
  std::printf("%-48s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

bool close(double a, double b, double tol = 1e-12) { return std::fabs(a - b) <= tol; }

}  // namespace

int main() {
  // G = ((4, 2), (2, 3)), g = G * (1, 2) = (8, 8): the solve must give (1, 2).
  const double G[] = {4.0, 2.0, 2.0, 3.0};
  const double g[] = {8.0, 8.0};
  double coef[2], L[4];
  const int status = qdl_chol_solve(G, g, coef, L, 2);
  check(status == 0 && close(coef[0], 1.0) && close(coef[1], 2.0), "qdl_chol_solve: (4 2; 2 3) x = (8, 8)");
  check(close(L[0], 2.0) && close(L[2], 1.0) && close(L[3], std::sqrt(2.0)), "qdl_chol_solve: factor");

  // The lasso path of the identity Gram matrix with c = (3, -2, 1): knots 3, 2, 1, 0.
  const double I3[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double c[] = {3.0, -2.0, 1.0};
  const i64 max_iter = 10;
  std::vector<double> lam(max_iter + 1), beta((max_iter + 1) * 3);
  i64 n_knots = 0;
  const i64 lars = qdl_lars_lasso_gram(I3, c, 3, max_iter, 1e-10, lam.data(), beta.data(), &n_knots);
  const double want_lam[] = {3, 2, 1, 0};
  const double want_last[] = {3, -2, 1};
  bool path_ok = lars == 0 && n_knots == 4;
  for (int i = 0; path_ok && i < 4; ++i) path_ok = close(lam[i], want_lam[i]);
  for (int j = 0; path_ok && j < 3; ++j) path_ok = close(beta[3 * 3 + j], want_last[j]);
  check(path_ok, "qdl_lars_lasso_gram: knots 3, 2, 1, 0");

  // (1+i) x + 2 y = 3+i, x - i y = 1-i  has the solution x = 1, y = 1.
  const c128 A[] = {{1, 1}, {2, 0}, {1, 0}, {0, -1}};
  const c128 B[] = {{3, 1}, {1, -1}};
  c128 X[2] = {};
  const i64 cs = c128_solve(A, B, 2, 1, X);
  check(cs == 0 && close(X[0].re, 1) && close(X[0].im, 0) && close(X[1].re, 1) && close(X[1].im, 0),
        "c128_solve: a 2-by-2 complex system");

  std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
  return failures == 0 ? 0 : 1;
}
