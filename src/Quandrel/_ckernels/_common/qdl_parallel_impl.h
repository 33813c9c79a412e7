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
 * Each kernel's bound and the measurements behind it are in docs/benchmarks.md
 * ("Thread bounds"):
 *
 *   kernel                                  least work per thread
 *   Gram, X'X with X'y                      kGramGrain  = 2^19 multiply-adds
 *   X'y alone, matrix-vector                kRhsGrain   = 2^18
 *   real products                           kProdGrain  = 2^19 (complex: 4 per multiply-add)
 *   LU trailing update, per panel           2 kProdGrain
 *   LU solve, per column block              kProdGrain / 2
 *   LARS active-block elimination           kLarsGrain  = 2^21 (blocks of n >= 521)
 *   qdl_ndtri_as241_into                    kNdtriGrain = 2^12 points
 *   trace solve, per column range           kTraceGrain = 2^20
 *   ridge grid search                       kGridGrain  = 2^19 (pieces: batches of penalties)
 *
 * Pieces. A team's threads do not split the work into one fixed share each: the work is
 * cut into pieces that depend only on the problem (never on the thread count), and each
 * thread takes the next piece whenever it is free (run_pieces). A thread slowed by
 * something else on its core (another runtime's spinning workers, another process)
 * then takes fewer pieces instead of holding the others at the end of the region. Which
 * thread computes a piece never changes what it computes.
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

#include <atomic>

#if defined(_OPENMP)
#include <omp.h>
#include <pthread.h>
#include <sched.h>
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

/* body(q, t) for every piece q = 0 .. count-1, exactly once each, on a team of at most
 * `want` threads (never more than there are pieces): each thread takes the next piece
 * not yet taken whenever it is free, t being its number. Pieces are taken in ascending
 * order, so a piece that needs an earlier one done (wait_until) waits only for a piece
 * that is already being computed. With one thread, the pieces in order. */
template <class F>
inline void run_pieces(int want, i64 count, F &&body) {
  if (count < want) want = static_cast<int>(count);
  if (want <= 1) {
    for (i64 q = 0; q < count; ++q) body(q, 0);
    return;
  }
  std::atomic<i64> next{0};
  run_team(want, [&](int t, int) {
    for (i64 q = next.fetch_add(1, std::memory_order_relaxed); q < count;
         q = next.fetch_add(1, std::memory_order_relaxed))
      body(q, t);
  });
}

/* Waits until `flag` holds at least `value` (set by another thread with a release store),
 * pausing first, then yielding the core: with more threads than cores the thread being
 * waited for may need this one's core. */
inline void wait_until(const std::atomic<i64> &flag, i64 value) {
  for (int spin = 0; flag.load(std::memory_order_acquire) < value; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
    if (spin < 4096) {
      __builtin_ia32_pause();
      continue;
    }
#endif
#if defined(_OPENMP)
    sched_yield();
#endif
  }
}

/* The most pieces run_shared cuts a count into, and the least work (a fraction of the
 * kernel's grain) it gives one. */
constexpr i64 kMostPieces = 64;
constexpr f64 kPieceOfGrain = 0.25;

/* body(r) over ranges r that together cover [0, count) once, on the threads of run(work,
 * grain, ...), but on no more threads than there are runs of `step` items, so that none
 * is started without one (one right-hand side of a solve, a product with one block of
 * rows). On one thread body({0, count}); on several, pieces of whole runs of `step`
 * (at most kMostPieces of them, each of at least kPieceOfGrain * grain work when the runs
 * allow), taken by whichever thread is free. The pieces depend on the arguments only. */
template <class F>
inline void run_shared(f64 work, f64 grain, i64 count, i64 step, F &&body) {
  const i64 units = (count + step - 1) / step;
  const int want = threads_for(work, grain);
  if (want <= 1 || units <= 1) {
    body(Range{0, count});
    return;
  }
  i64 per = (units + kMostPieces - 1) / kMostPieces;  // runs of `step` per piece
  const f64 least = kPieceOfGrain * grain * static_cast<f64>(units) / work;
  if (least > static_cast<f64>(per)) per = least < static_cast<f64>(units) ? static_cast<i64>(least) + 1 : units;
  const i64 each = per * step, pieces = (count + each - 1) / each;
  run_pieces(want, pieces, [&](i64 q, int) {
    const i64 b = q * each, e = b + each;
    body(Range{b, e < count ? e : count});
  });
}

}  // namespace qdl::par

#endif /* QUANDREL_CKERNELS_COMMON_QDL_PARALLEL_IMPL_H */
