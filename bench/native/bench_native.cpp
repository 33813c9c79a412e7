// Native benchmark of the exported foundation routines against LAPACK and BLAS.
//
// Built and run by bench/bench_native.py (tools/dev bench --only native), which
// compiles the kernel sources with the library's own flags (and OpenMP) next to this
// file and links the system LAPACK/BLAS (OpenBLAS). Every case runs at 1 and 2
// threads on both sides (omp_set_num_threads, openblas_set_num_threads). Each case
// times our routine and the baseline alternately, median of the rounds, and prints
// the ratio baseline / ours (above 1: ours is faster). A last table times the Gram and
// the product at 2 threads against 1 alternately, for their speed-up, and a last one the
// Gram's speed per core as a fraction of the register peak (medians of the rounds).
//
// Register peak: the harness measures, on as many threads at once as the case uses,
// what the registers sustain with a multiply then an add per lane (the operations a
// strict-order sum allows) and with a fused multiply-add: once per thread count, and
// between the rounds of every Gram and product case. Those rows add the best speed of
// both sides in GF/s (a multiply-add is 2 flops) and ours as a fraction of the best
// mul+add peak of the same rounds (which already counts every thread); bests, so that a
// busy machine spoils neither side of the fraction.
//
// LAPACK is column-major and the library row-major; handing LAPACK the row-major
// array solves the transposed system, which costs the same.

#include <cblas.h>
#include <dlfcn.h>
#include <immintrin.h>
#include <omp.h>

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

#include <time.h>

#include "qdl_complex.h"
#include "qdl_linalg.h"
#include "qdl_linalg_impl.h"

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

// ---------------------------------------------------------------------------
// Register peak. R*C running sums of one vector each, acc[r][v] = acc[r][v] + m[v] * x[r]
// for R broadcast values x[r] times C vectors m[v], x the next values of a small array
// in L1 (so nothing can be hoisted out of the loop): 2 x 8 with AVX-512, 2 x 4 with AVX2
// (16 registers). Each broadcast feeds C products: on AMD Zen 4 a tile whose broadcasts
// feed only 2 (8 x 2) sustains a fifth less.
// ---------------------------------------------------------------------------
typedef double v8d __attribute__((vector_size(64)));
typedef double v4d __attribute__((vector_size(32)));

constexpr long kPeakValues = 512;  // the array of broadcast values (4 KiB)

// The loop body for vector type V, R x C sums, with the update UPDATE(acc, m, x) (x a
// scalar); returns a sum of the results.
#define PEAK_LOOP(V, R, C, UPDATE)                                                         \
  constexpr int L = static_cast<int>(sizeof(V) / 8);                                       \
  V acc[R * C] = {}, m[C];                                                                 \
  for (int i = 0; i < C; ++i)                                                              \
    for (int l = 0; l < L; ++l) m[i][l] = 1e-9 * (i + 1) + 1e-12 * l;                      \
  for (long it = 0; it < iters; ++it) {                                                    \
    const double *x = xs + (it * R) % kPeakValues;                                         \
    for (int r = 0; r < R; ++r)                                                            \
      for (int v = 0; v < C; ++v) acc[C * r + v] = UPDATE(acc[C * r + v], m[v], x[r]);     \
  }                                                                                        \
  double s = 0;                                                                            \
  for (auto &a : acc)                                                                      \
    for (int l = 0; l < L; ++l) s += a[l];                                                 \
  return s;

#define MUL_ADD(a, m, x) ((a) + (m) * (x))  // product, then add (no contraction)
#define FMA_512(a, m, x) _mm512_fmadd_pd((m), _mm512_set1_pd(x), (a))
#define FMA_256(a, m, x) _mm256_fmadd_pd((m), _mm256_set1_pd(x), (a))

__attribute__((target("avx512f"))) double peak_muladd_512(long iters, const double *xs) {
  PEAK_LOOP(v8d, 2, 8, MUL_ADD)
}
__attribute__((target("avx512f"))) double peak_fma_512(long iters, const double *xs) {
  PEAK_LOOP(v8d, 2, 8, FMA_512)
}
__attribute__((target("avx2,fma"))) double peak_muladd_256(long iters, const double *xs) {
  PEAK_LOOP(v4d, 2, 4, MUL_ADD)
}
__attribute__((target("avx2,fma"))) double peak_fma_256(long iters, const double *xs) {
  PEAK_LOOP(v4d, 2, 4, FMA_256)
}

// GF/s of the loop on `threads` threads at once, best of `reps` runs of about 20 ms each.
double peak_gflops(bool fma, int threads, int reps = 5) {
  const bool w512 = __builtin_cpu_supports("avx512f");
  auto *fn = w512 ? (fma ? peak_fma_512 : peak_muladd_512) : (fma ? peak_fma_256 : peak_muladd_256);
  const double lanes = w512 ? 8 : 4;
  std::vector<double> xs(kPeakValues);
  for (long i = 0; i < kPeakValues; ++i) xs[i] = 1.0 + 1e-3 * static_cast<double>(i);
  const long iters = 400000;
  double best = 0, sink = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const auto t0 = Clock::now();
#pragma omp parallel num_threads(threads) reduction(+ : sink)
    sink += fn(iters, xs.data());
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::max(best, threads * iters * (w512 ? 16.0 : 8.0) * lanes * 2.0 / t * 1e-9);
  }
  if (sink == 42.0) printf(" ");  // keeps the result alive
  return best;
}

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

// The thread count of the current cases (set by main).
int g_threads = 1;

// Seconds per call of ours and of the baseline (medians and bests of the rounds) and
// the mul+add register peak on g_threads threads (GF/s, the best of the rounds).
struct Times {
  double ours, base, ours_best, base_best, peak;
};

// Ours, the baseline and (with_peak) the register peak, measured alternately.
Times compare(const std::function<void()> &ours, const std::function<void()> &base, int rounds,
              bool with_peak = false) {
  ours();
  base();
  const long ni = inner_count(ours, 2e-3), nb = inner_count(base, 2e-3);
  std::vector<double> to, tb;
  double peak = 0;
  // Each sample follows 150 ms of untimed calls of the same side: on several threads
  // both runtimes keep idle workers spinning after a call (OpenBLAS for about 2^28
  // cycles), which would otherwise share the cores with the other side's first call;
  // meanwhile the measured side keeps every core busy, as in a loop of calls (a pause
  // would leave the cores of a virtual machine idle and slow the next calls for
  // milliseconds), and on one thread it finds its own data in cache, as on several
  // (see bench/timing.py).
  const auto sample = [](const std::function<void()> &fn, long n) {
    const auto until = Clock::now() + std::chrono::milliseconds(150);
    do fn();
    while (Clock::now() < until);
    return seconds(fn, n);
  };
  for (int r = 0; r < rounds; ++r) {
    to.push_back(sample(ours, ni));
    tb.push_back(sample(base, nb));
    if (with_peak) peak = std::max(peak, peak_gflops(false, g_threads, 1));
  }
  std::sort(to.begin(), to.end());
  std::sort(tb.begin(), tb.end());
  return {to[to.size() / 2], tb[tb.size() / 2], to[0], tb[0], peak};
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

// One table row of median times; with `flops` the best speeds of both sides and ours
// as a fraction of the peak measured between the rounds (bests, so that a busy machine
// spoils neither side of the fraction).
void row(const char *what, const char *base, const char *size, Times t, double flops = 0) {
  printf("%-16s %-14s %12s %12s %12s %7.2fx", what, base, size, fmt(t.ours).c_str(),
         fmt(t.base).c_str(), t.base / t.ours);
  if (flops > 0) {
    const double ours = flops / t.ours_best * 1e-9, base_gf = flops / t.base_best * 1e-9;
    printf("  %6.1f %6.1f GF/s  %5.2f of peak %.1f", ours, base_gf, ours / t.peak, t.peak);
  }
  printf("\n");
  fflush(stdout);
}

void row(const char *what, const char *base, int n, Times t, double flops = 0) {
  row(what, base, std::to_string(n).c_str(), t, flops);
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

void bench_gram(int n, int p, int rounds) {
  const auto X = randn(static_cast<size_t>(n) * p);
  std::vector<double> G(static_cast<size_t>(p) * p), ref(G.size());
  const std::string size = "(" + std::to_string(n) + "," + std::to_string(p) + ")";
  row("qdl_gram", "dsyrk", size.c_str(),
      compare([&] { qdl_gram(X.data(), G.data(), n, p); },
              [&] {
                cblas_dsyrk(CblasRowMajor, CblasLower, CblasTrans, p, n, 1.0, X.data(), p, 0.0,
                            ref.data(), p);
              },
              rounds, true),
      static_cast<double>(n) * p * (p + 1));
}

void bench_products(int n, int rounds) {
  const auto A = randn(static_cast<size_t>(n) * n), B = randn(static_cast<size_t>(n) * n);
  std::vector<double> out(A.size()), ref(A.size());
  auto gemm = [&](CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb) {
    cblas_dgemm(CblasRowMajor, ta, tb, n, n, n, 1.0, A.data(), n, B.data(), n, 0.0, ref.data(), n);
  };
  const double flops = 2.0 * n * n * n;
  row("qdl_matmul", "dgemm NN", n,
      compare([&] { qdl_matmul(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasNoTrans, CblasNoTrans); }, rounds, true),
      flops);
  row("qdl_matmul_atb", "dgemm TN", n,
      compare([&] { qdl_matmul_atb(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasTrans, CblasNoTrans); }, rounds, true),
      flops);
  row("qdl_matmul_abt", "dgemm NT", n,
      compare([&] { qdl_matmul_abt(A.data(), B.data(), out.data(), n, n, n); },
              [&] { gemm(CblasNoTrans, CblasTrans); }, rounds, true),
      flops);
}

// The same call at 2 threads against 1, the counts alternated within every round (each
// sample after its 150 ms of untimed calls at its own count), so that the machine's
// drift between the two per-thread tables above does not enter the speed-up.
void scaling_row(const char *what, const char *size, const std::function<void()> &fn, int rounds) {
  const Times t = compare([&] { omp_set_num_threads(2); fn(); },
                          [&] { omp_set_num_threads(1); fn(); }, rounds);
  printf("%-16s %14s %12s %12s %7.2fx\n", what, size, fmt(t.base).c_str(), fmt(t.ours).c_str(),
         t.base / t.ours);
  fflush(stdout);
}

void bench_scaling(bool quick, int rounds) {
  // The baseline is not used here: OpenBLAS's workers, still spinning after the last
  // 2-thread dgemm, are sent to sleep so as not to share a core with the first samples.
  using SetThreads = void (*)(int);
  if (auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads")))
    set(1);
  printf("\n-- scaling: the same call at 2 threads against 1, alternated\n");
  printf("%-16s %14s %12s %12s %8s\n", "routine", "size", "1 thread", "2 threads", "2/1");
  for (auto [n, p] : {std::pair{10000, 50}, {10000, 200}, {100000, 200}, {20000, 500}}) {
    if (quick && n * p > 2000000) continue;
    const auto X = randn(static_cast<size_t>(n) * p);
    std::vector<double> G(static_cast<size_t>(p) * p);
    const std::string size = "(" + std::to_string(n) + "," + std::to_string(p) + ")";
    scaling_row("qdl_gram", size.c_str(), [&] { qdl_gram(X.data(), G.data(), n, p); }, rounds);
  }
  for (int n : {700, 1000}) {
    if (quick && n > 700) continue;
    const auto A = randn(static_cast<size_t>(n) * n), B = randn(static_cast<size_t>(n) * n);
    std::vector<double> out(A.size());
    scaling_row("qdl_matmul", std::to_string(n).c_str(),
                [&] { qdl_matmul(A.data(), B.data(), out.data(), n, n, n); }, rounds);
  }
  // What the registers alone gain from the second thread, measured the same way (each
  // measurement after 150 ms of the same loop: an idle virtual core comes back slowly).
  const auto peak = [](int threads) {
    const auto until = Clock::now() + std::chrono::milliseconds(150);
    while (Clock::now() < until) peak_gflops(false, threads, 1);
    return peak_gflops(false, threads, 1);
  };
  double p1 = 0, p2 = 0;
  for (int r = 0; r < rounds; ++r) {
    p1 = std::max(p1, peak(1));
    p2 = std::max(p2, peak(2));
  }
  printf("%-16s %14s %7.1f GF/s %7.1f GF/s %7.2fx\n", "register peak", "mul+add", p1, p2, p2 / p1);
}

// Per core: the Gram on one thread against the mul+add register peak, both timed by the
// thread's own CPU time (on a machine shared with other processes, wall time counts the
// time slices they take; CPU time counts only what they evict from the caches), best of
// 100 ms of calls per sample, the peak sampled the same way beside every case in every
// round. The tall pass's block: the Gram of 4096 rows of 52 columns (51 and y), added
// panel by panel of 256 rows from a panel in cache, as qdl_moments_leaves adds its
// centred rows.
double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double best_cpu(const std::function<void()> &fn) {
  double best = 1e300;
  const auto until = Clock::now() + std::chrono::milliseconds(100);
  do {
    const double t0 = cpu_now();
    fn();
    best = std::min(best, cpu_now() - t0);
  } while (Clock::now() < until);
  return best;
}

void bench_per_core(bool quick, int rounds) {
  omp_set_num_threads(1);
  const bool w512 = __builtin_cpu_supports("avx512f");
  auto *peak_fn = w512 ? peak_muladd_512 : peak_muladd_256;
  std::vector<double> xs(kPeakValues);
  for (long i = 0; i < kPeakValues; ++i) xs[i] = 1.0 + 1e-3 * static_cast<double>(i);
  const long iters = 100000;
  const double peak_flops = iters * (w512 ? 16.0 : 8.0) * (w512 ? 8 : 4) * 2.0;
  double sink = 0;
  struct Case {
    std::string what;
    std::function<void()> fn;
    double flops;
    std::vector<double> frac, gf;
  };
  std::vector<Case> cases;
  std::vector<std::vector<double>> data;
  for (auto [n, p] : {std::pair{10000, 50}, {10000, 200}, {20000, 500}}) {
    if (quick && n * p > 2000000) continue;
    data.push_back(randn(static_cast<size_t>(n) * p));
    data.emplace_back(static_cast<size_t>(p) * p);
    const double *X = data[data.size() - 2].data();
    double *G = data.back().data();
    cases.push_back({"qdl_gram (" + std::to_string(n) + "," + std::to_string(p) + ")",
                     [=] { qdl_gram(X, G, n, p); }, 1.0 * n * p * (p + 1), {}, {}});
  }
  data.push_back(randn(256 * 52));
  data.emplace_back(52 * 52);
  const double *P = data[data.size() - 2].data();
  double *M = data.back().data();
  cases.push_back({"tall block 4096x52", [=] {
                     std::fill(M, M + 52 * 52, 0.0);
                     for (int b = 0; b < 16; ++b) qdl::gram_accumulate(P, 52, M, 256, 52);
                   },
                   4096.0 * 52 * 53, {}, {}});
  for (int r = 0; r < rounds; ++r)
    for (auto &c : cases) {
      const double peak = peak_flops / best_cpu([&] { sink += peak_fn(iters, xs.data()); });
      const double gf = c.flops / best_cpu(c.fn);
      c.gf.push_back(gf * 1e-9);
      c.frac.push_back(gf / peak);
    }
  printf("\n-- per core: 1 thread, CPU time, against the mul+add peak sampled beside each case\n");
  printf("%-20s %10s %18s %18s\n", "routine", "GF/s", "frac of peak", "(least - most)");
  for (auto &c : cases) {
    std::sort(c.gf.begin(), c.gf.end());
    std::sort(c.frac.begin(), c.frac.end());
    printf("%-20s %10.1f %18.3f %11.3f - %.3f\n", c.what.c_str(), c.gf[c.gf.size() / 2],
           c.frac[c.frac.size() / 2], c.frac.front(), c.frac.back());
  }
  if (sink == 42.0) printf(" ");
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 5 : 15;
  if (argc > 1 && strcmp(argv[1], "--per-core") == 0) {  // the last table alone
    bench_per_core(false, rounds);
    return 0;
  }
  for (int threads : {1, 2}) {
    omp_set_num_threads(threads);
    // OpenBLAS's own control, looked up at run time (the BLAS may be another one).
    using SetThreads = void (*)(int);
    if (auto set = reinterpret_cast<SetThreads>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads")))
      set(threads);
    g_threads = threads;
    printf("\n-- %d thread%s: register peak %.1f GF/s mul+add, %.1f GF/s FMA (all threads)\n",
           threads, threads > 1 ? "s" : "", peak_gflops(false, threads),
           peak_gflops(true, threads));
    printf("%-16s %-14s %12s %12s %12s %8s  %13s\n", "routine", "baseline", "size", "ours",
           "baseline", "ratio", "best: ours / base, ours as fraction of mul+add peak (GF/s)");
    for (auto [n, p] : {std::pair{10000, 50}, {10000, 200}, {100000, 200}, {20000, 500}}) {
      if (quick && n * p > 2000000) continue;
      bench_gram(n, p, rounds);
    }
    for (int n : {4, 50, 300}) bench_real_lu(n, rounds);
    if (!quick) bench_real_lu(1000, rounds);
    for (int n : {4, 50, 300}) bench_complex_lu(n, rounds);
    for (int n : {500, 700, 1000}) {
      if (quick && n > 500) continue;
      bench_products(n, rounds);
    }
  }
  bench_scaling(quick, rounds);
  bench_per_core(quick, rounds);
  return 0;
}
