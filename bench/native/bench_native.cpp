// Native benchmark of the exported foundation routines against LAPACK and BLAS.
//
// Built and run by bench/bench_native.py (tools/dev bench --only native), which
// compiles the kernel sources with the library's own flags next to this file and
// links the system LAPACK/BLAS (OpenBLAS, one thread via OPENBLAS_NUM_THREADS=1).
// Each case times our routine and the baseline alternately, median of the rounds,
// and prints the ratio baseline / ours (above 1: ours is faster).
//
// LAPACK is column-major and the library row-major; handing LAPACK the row-major
// array solves the transposed system, which costs the same.

#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qdl_complex.h"
#include "qdl_linalg.h"

extern "C" {
void dgesv_(const int *n, const int *nrhs, double *a, const int *lda, int *ipiv, double *b,
            const int *ldb, int *info);
void dgetrf_(const int *m, const int *n, double *a, const int *lda, int *ipiv, int *info);
void dgetri_(const int *n, double *a, const int *lda, const int *ipiv, double *work,
             const int *lwork, int *info);
void zgesv_(const int *n, const int *nrhs, std::complex<double> *a, const int *lda, int *ipiv,
            std::complex<double> *b, const int *ldb, int *info);
}

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()> &fn, long inner) {
  const auto t0 = Clock::now();
  for (long i = 0; i < inner; ++i) fn();
  return std::chrono::duration<double>(Clock::now() - t0).count() / static_cast<double>(inner);
}

long inner_count(const std::function<void()> &fn, double target) {
  long n = 1;
  while (seconds(fn, n) * static_cast<double>(n) < target && n < (1L << 20)) n *= 2;
  return n;
}

// Median seconds per call of ours and of the baseline, measured alternately.
std::pair<double, double> compare(const std::function<void()> &ours,
                                  const std::function<void()> &base, int rounds) {
  ours();
  base();
  const long ni = inner_count(ours, 2e-3), nb = inner_count(base, 2e-3);
  std::vector<double> to, tb;
  for (int r = 0; r < rounds; ++r) {
    to.push_back(seconds(ours, ni));
    tb.push_back(seconds(base, nb));
  }
  std::sort(to.begin(), to.end());
  std::sort(tb.begin(), tb.end());
  return {to[to.size() / 2], tb[tb.size() / 2]};
}

std::string fmt(double t) {
  char buf[32];
  if (t < 1e-3) {
    snprintf(buf, sizeof buf, "%9.2f us", t * 1e6);
  } else {
    snprintf(buf, sizeof buf, "%9.3f ms", t * 1e3);
  }
  return buf;
}

void row(const char *what, const char *base, int n, std::pair<double, double> t) {
  printf("%-16s %-14s %5d %12s %12s %7.2fx\n", what, base, n, fmt(t.first).c_str(),
         fmt(t.second).c_str(), t.second / t.first);
  fflush(stdout);
}

std::mt19937_64 rng(2026);

std::vector<double> randn(size_t count, double diag_boost = 0.0, int n = 0) {
  std::normal_distribution<double> d;
  std::vector<double> v(count);
  for (auto &x : v) x = d(rng);
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i) * n + i] += diag_boost;
  return v;
}

void bench_real_lu(int n, int rounds) {
  const auto A = randn(static_cast<size_t>(n) * n, n, n);
  const auto b = randn(n);
  std::vector<double> X(n), Ainv(static_cast<size_t>(n) * n), Aw(A.size()), bw(n);
  std::vector<int> ipiv(n);
  int one = 1, info = 0, lwork = -1;
  double wq = 0;
  dgetri_(&n, Aw.data(), &n, ipiv.data(), &wq, &lwork, &info);  // workspace query
  lwork = static_cast<int>(wq);
  std::vector<double> work(static_cast<size_t>(lwork));

  row("qdl_solve", "dgesv", n,
      compare([&] { qdl_solve(A.data(), b.data(), n, 1, X.data()); },
              [&] {
                memcpy(Aw.data(), A.data(), A.size() * sizeof(double));
                memcpy(bw.data(), b.data(), bw.size() * sizeof(double));
                dgesv_(&n, &one, Aw.data(), &n, ipiv.data(), bw.data(), &n, &info);
              },
              rounds));
  row("qdl_inv", "dgetrf+dgetri", n,
      compare([&] { qdl_inv(A.data(), n, Ainv.data()); },
              [&] {
                memcpy(Aw.data(), A.data(), A.size() * sizeof(double));
                dgetrf_(&n, &n, Aw.data(), &n, ipiv.data(), &info);
                dgetri_(&n, Aw.data(), &n, ipiv.data(), work.data(), &lwork, &info);
              },
              rounds));
}

void bench_complex_lu(int n, int rounds) {
  std::vector<std::complex<double>> A(static_cast<size_t>(n) * n), b(n), X(n), Aw(A.size()), bw(n);
  const auto re = randn(2 * A.size()), rb = randn(2 * b.size());
  for (size_t i = 0; i < A.size(); ++i) A[i] = {re[2 * i], re[2 * i + 1]};
  for (int i = 0; i < n; ++i) A[static_cast<size_t>(i) * n + i] += static_cast<double>(n);
  for (int i = 0; i < n; ++i) b[i] = {rb[2 * i], rb[2 * i + 1]};
  std::vector<int> ipiv(n);
  int one = 1, info = 0;
  auto *cA = reinterpret_cast<const c128 *>(A.data());
  auto *cb = reinterpret_cast<const c128 *>(b.data());
  auto *cX = reinterpret_cast<c128 *>(X.data());
  row("c128_solve", "zgesv", n,
      compare([&] { c128_solve(cA, cb, n, 1, cX); },
              [&] {
                std::copy(A.begin(), A.end(), Aw.begin());
                std::copy(b.begin(), b.end(), bw.begin());
                zgesv_(&n, &one, Aw.data(), &n, ipiv.data(), bw.data(), &n, &info);
              },
              rounds));
}

void bench_products(int n, int rounds) {
  const auto A = randn(static_cast<size_t>(n) * n), B = randn(static_cast<size_t>(n) * n);
  std::vector<double> out(A.size()), ref(A.size());
  auto gemm = [&](CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb) {
    cblas_dgemm(CblasRowMajor, ta, tb, n, n, n, 1.0, A.data(), n, B.data(), n, 0.0, ref.data(), n);
  };
  row("qdl_matmul", "dgemm NN", n,
      compare([&] { qdl_matmul(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasNoTrans, CblasNoTrans); }, rounds));
  row("qdl_matmul_atb", "dgemm TN", n,
      compare([&] { qdl_matmul_atb(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasTrans, CblasNoTrans); }, rounds));
  row("qdl_matmul_abt", "dgemm NT", n,
      compare([&] { qdl_matmul_abt(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasNoTrans, CblasTrans); }, rounds));
}

}  // namespace

int main(int argc, char **argv) {
  const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 5 : 15;
  printf("%-16s %-14s %5s %12s %12s %8s\n", "routine", "baseline", "n", "ours", "baseline",
         "ratio");
  for (int n : {4, 50, 300}) bench_real_lu(n, rounds);
  for (int n : {4, 50, 300}) bench_complex_lu(n, rounds);
  bench_products(500, rounds);
  return 0;
}
