/* Private: how the heavy kernels use more than one core.
 *
 * A kernel splits its work only across independent outputs (row strips or column
 * panels of a matrix, right-hand-side columns, stretches of an output vector), never
 * across the terms of one sum: every output is computed by exactly one thread, with
 * exactly the operations and order of the single-thread loop. Results are therefore
 * the same bit for bit at any thread count, including more threads than cores.
 *
 * The threads are those of the OpenMP runtime (GCC's libgomp), so the usual controls
 * apply: OMP_NUM_THREADS, omp_set_num_threads, threadpoolctl's threadpool_limits. A
 * kernel asks for a team only when its work passes a threshold, stated per kernel
 * below as the least work each thread must get (in multiply-adds or comparable
 * operations); smaller calls run on the calling thread and never enter the runtime,
 * and no call starts more threads than it has runs of outputs to deal (run_shared).
 * They were measured on a 2-core AMD Zen 4 (AVX-512), 1 against 2 threads, best of
 * 100-400 calls with the team awake (a region then costs 2-5 us; waking a sleeping
 * team costs 10-50 us, and a loaded machine far more):
 *
 *   kernel                        least work per thread   2 threads vs 1 near the bound
 *   Gram, X'X with X'y            kGramGrain  = 2^19      p=60: 1.50x at 189k, 1.68x at 567k
 *                                                         (p=20: 1.1x; strips of 8 rows
 *                                                         cannot balance a small triangle)
 *   X'y alone, matrix-vector      kRhsGrain   = 2^18      matvec 1.8x at 64k, 2.0x at 256k
 *   real products                 kProdGrain  = 2^19      n^3: 1.2x at 262k, 1.8x at 1M
 *   complex product               kProdGrain, 4 per complex multiply-add
 *   LU trailing update, per panel 2 kProdGrain            inverse at n=150 0.65x, n=200
 *                                                         1.36x, n=300 1.52x (all panels
 *                                                         parallel); the panel itself is serial
 *   LU solve, per column block    kProdGrain / 2          n^2 m multiply-adds
 *   LARS active-block elimination kLarsGrain  = 2^21      blocks of n >= 521 (below)
 *   qdl_ndtri_as241_into          kNdtriGrain = 2^12      1.5x at 2k points, 1.8x at 8k
 *   trace solve (ridge and        kTraceGrain = 2^20      work = the columns' solves, about
 *   active-set degrees of         per column range        2/3 n^3; active-set dof (serial
 *   freedom)                                              factor included, so at most 1.5x):
 *                                                         k=128 0.96x (serial now), 160
 *                                                         1.08x, 200 1.17x,
 *                                                         300 1.28x; ridge solve (n = p+20):
 *                                                         p=200 1.27x, 300 1.40x. Threads
 *                                                         past the first solve in blocks of
 *                                                         their own (the solve alone at
 *                                                         n=128: 1.75x; 1.0x when threads
 *                                                         shared the rows of W at every step)
 *   ridge grid search, per run    kGridGrain  = 2^19      work = penalties * (p^3 + n p):
 *   of penalties                                          0.84M stays serial; 1.5M 1.66x,
 *                                                         2.4M 1.68x, 3.5M 1.89x, (10000,
 *                                                         100) x 100 penalties 1.89x
 *   (the last two: least of 40 rounds of 6 calls at 1 and 2 threads, on a loaded machine)
 *
 * The LARS path, which enters the runtime at every knot, has a bound of its own (blocks
 * of 521 and more, where two threads start to pay); the measurements are in
 * docs/benchmarks.md.
 *
 * With one thread allowed (OMP_NUM_THREADS=1, a threadpool_limits(1) block, or a
 * call from inside another parallel region, where nesting is off) the kernels take
 * the single-thread path. The team is the runtime's; the one thing of ours that
 * outlives a call is the registration below.
 *
 * Processes. GCC's runtime keeps a team's threads waiting for the next region; after
 * fork() the child has the record of that team but not its threads, and its first
 * parallel region waits for them forever. So before the first region of a process
 * the kernels register (once, with pthread_atfork) a handler that, in the thread
 * about to fork, releases that thread's team (omp_pause_resource_all): the child
 * starts without one and makes its own, and the parent's next region makes a new
 * team too. Teams of other threads are not the child's concern: those threads do
 * not exist there.
 *
 * Include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_PARALLEL_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_PARALLEL_IMPL_H

#if defined(_OPENMP)
#include <omp.h>
#include <pthread.h>
#endif

#include "qdl_common.h"

namespace qdl::par {

constexpr f64 kGramGrain = 1 << 19;
constexpr f64 kRhsGrain = 1 << 18;
constexpr f64 kProdGrain = 1 << 19;
constexpr f64 kNdtriGrain = 1 << 12;
constexpr f64 kTraceGrain = 1 << 20;
constexpr f64 kGridGrain = 1 << 19;
constexpr f64 kLarsGrain = 1 << 21;

/* The threads worth using for `work` units when each should get at least `grain`:
 * 1 below 2 * grain, otherwise at most the runtime's current limit. */
inline int threads_for(f64 work, f64 grain) {
#if defined(_OPENMP)
  if (!(work >= 2.0 * grain)) return 1;
  // Inside a region that leaves no room for a nested team (nesting is off by
  // default), a nested region would run on one thread anyway: take the plain path.
  if (omp_get_active_level() >= omp_get_max_active_levels()) return 1;
  const int most = omp_get_max_threads();
  const f64 useful = work / grain;
  return useful < static_cast<f64>(most) ? static_cast<int>(useful) : most;
#else
  (void)work;
  (void)grain;
  return 1;
#endif
}

#if defined(_OPENMP)
inline void release_team_before_fork() { omp_pause_resource_all(omp_pause_soft); }

/* Registers release_team_before_fork with pthread_atfork, once per process. */
inline void prepare_for_fork() {
  static const int registered = pthread_atfork(release_team_before_fork, nullptr, nullptr);
  (void)registered;
}
#endif

/* body(t, nt) on nt threads, t = 0 .. nt-1, where nt is at most `want` (the runtime
 * may grant fewer); body(0, 1) on the calling thread when want <= 1. Each thread
 * must write only outputs that no other thread writes or reads. */
template <class F>
inline void run_team(int want, F &&body) {
  if (want <= 1) {
    body(0, 1);
    return;
  }
#if defined(_OPENMP)
  prepare_for_fork();
#pragma omp parallel num_threads(want)
  body(omp_get_thread_num(), omp_get_num_threads());
#endif
}

/* run_team(threads_for(work, grain), body). A caller that needs storage per thread
 * asks threads_for first and calls run_team with that count instead. */
template <class F>
inline void run(f64 work, f64 grain, F &&body) {
  run_team(threads_for(work, grain), static_cast<F &&>(body));
}

/* [begin, end) of part t of nt when `count` items are dealt in contiguous runs whose
 * sizes differ by at most one, each a multiple of `step` except the last. */
struct Range {
  i64 begin, end;
};
inline Range share(i64 count, int t, int nt, i64 step = 1) {
  const i64 units = (count + step - 1) / step;
  const i64 lo = units * t / nt, hi = units * (t + 1) / nt;
  const i64 b = lo * step, e = hi * step;
  return {b < count ? b : count, e < count ? e : count};
}

/* body(share(count, t, nt, step)) on the threads of run(work, grain, ...), but on no
 * more threads than there are runs of `step` items, so that none is started without
 * a share (one right-hand side of a solve, a product with one block of rows). */
template <class F>
inline void run_shared(f64 work, f64 grain, i64 count, i64 step, F &&body) {
  const int want = threads_for(work, grain);
  const i64 units = (count + step - 1) / step;
  run_team(units < want ? static_cast<int>(units) : want,
           [&](int t, int nt) { body(share(count, t, nt, step)); });
}

}  // namespace qdl::par

#endif /* QUANDREL_CKERNELS_COMMON_QDL_PARALLEL_IMPL_H */
