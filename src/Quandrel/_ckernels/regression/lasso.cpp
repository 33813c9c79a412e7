// Lasso kernels: coordinate descent, the LARS-lasso path and path evaluation (see
// lasso.h for the contracts).
//
// Every sum below is evaluated in the order its comment states. The only speed-ups
// are vector updates in which each lane is an independent entry (y[i] += a * x[i]
// for all i at once), the elimination of the LARS active block by the blocked LU of
// qdl_lu_impl.h (each entry's chain of updates unchanged), and reading a row of G in
// place of the equal column when G equals its transpose bit for bit: all give
// results identical to the plain loops.

#include "lasso.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "cd_impl.h"
#include "lars_path_impl.h"
#include "qdl_gram_impl.h"
#include "qdl_linalg_impl.h"
#include "qdl_lu_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"

namespace {

// A scalar operand of a vector operation is broadcast to every lane.
using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;

// The lasso sweeps: qdl::cd::sweeps without the L2 terms.
struct LassoSweeps {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(const qdl::cd::Problem &q, f64 alpha, f64 *coef,
                                               f64 *Gcoef) {
    return qdl::cd::sweeps<Vec, false>(q, alpha, 0.0, coef, Gcoef);
  }
};

// ---------------------------------------------------------------------------
// LARS-lasso path: the homotopy of lars_path_impl.h with the active block rebuilt
// from G and eliminated at every step.
// ---------------------------------------------------------------------------
using qdl::lars::DividingLU;
using qdl::lars::LarsHomotopy;
using qdl::lars::LarsStorage;

// G_AA = the active block of G, row-major with row length n_active; w = G_AA^-1 s_A
// by the path's elimination (DividingLU), the threads sharing the columns of a block
// of 521 or more variables. A zero pivot: w would not be finite (false).
struct EliminatedBlock {
  template <class Vec, class Path>
  [[gnu::always_inline]] inline bool solve(Path &p) {
    const i64 n = p.n_active;
    for (i64 a = 0; a < n; ++a) {
      const f64 *Ga = p.G + p.act_idx[a] * p.k;
      for (i64 b = 0; b < n; ++b) p.G_AA[a * n + b] = Ga[p.act_idx[b]];
    }
    if (qdl::lu::factor<DividingLU>(p.G_AA, p.tw.piv, n, qdl::par::kLarsGrain) != 0) return false;
    qdl::lu::solve<DividingLU>(p.G_AA, p.tw.piv, p.s_A, p.w, n, 1);
    return true;
  }
};

// ---------------------------------------------------------------------------
// Path evaluation: bisection for the bracketing knots, then linear interpolation
// of their rows (the lasso solution is linear in the penalty between knots).
// ---------------------------------------------------------------------------
struct PathEval {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const f64 *lam_path, const f64 *beta_path,
                                                i64 n_knots, i64 k, const f64 *lam_grid,
                                                i64 n_grid, f64 *out) {
    const size_t row_bytes = k > 0 ? static_cast<size_t>(k) * sizeof(f64) : 0;
    for (i64 gi = 0; gi < n_grid; ++gi) {
      f64 *row = out + gi * k;
      const f64 lam = lam_grid[gi];
      if (n_knots <= 0 || lam >= lam_path[0]) {  // no path, or at or above the first knot
        if (row_bytes) memset(row, 0, row_bytes);
        continue;
      }
      if (lam <= lam_path[n_knots - 1]) {  // at or below the last knot
        if (row_bytes) memcpy(row, beta_path + (n_knots - 1) * k, row_bytes);
        continue;
      }
      // lam_path[lo] >= lam > lam_path[hi] throughout; a NaN lam fails every test and
      // ends at lo = 0, giving a NaN t and a NaN row.
      i64 lo = 0, hi = n_knots - 1;
      while (hi - lo > 1) {
        const i64 mid = (lo + hi) / 2;
        if (lam_path[mid] >= lam) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      const f64 t = (lam - lam_path[lo]) / (lam_path[hi] - lam_path[lo]);
      // row = B[lo,:] + t * (B[hi,:] - B[lo,:])
      const f64 *Blo = beta_path + lo * k, *Bhi = beta_path + hi * k;
      constexpr i64 N = lanes<Vec>;
      i64 j = 0;
      for (; j + N <= k; j += N) {
        const Vec bl = load<Vec>(Blo + j);
        store<Vec>(row + j, bl + t * (load<Vec>(Bhi + j) - bl));
      }
      for (; j < k; ++j) row[j] = Blo[j] + t * (Bhi[j] - Blo[j]);
    }
  }
};

}  // namespace

extern "C" {

i64 qdl_lasso_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                      f64 *coef, f64 *Gcoef) {
  if (!qdl::fits(k, k)) return REGRESSION_NON_CONVERGENT;  // no such G: nothing is touched
  if (k > 0) {
    memset(coef, 0, static_cast<size_t>(k) * sizeof(f64));
    memset(Gcoef, 0, static_cast<size_t>(k) * sizeof(f64));
  }
  if (max_iter <= 0) return REGRESSION_NON_CONVERGENT;  // no sweep: zeros
  return qdl::simd::dispatch<LassoSweeps>(qdl::cd::problem(G, g, k, max_iter, tol), alpha, coef,
                                          Gcoef);
}

i64 qdl_lars_lasso_gram(const f64 *G, const f64 *c, i64 k, i64 max_iter, f64 tol, f64 *lam_path,
                        f64 *beta_path, i64 *n_knots) {
  // Working storage (LarsStorage): a k that is not positive asks for none, which counts
  // as obtained; sizes that overflow count as unavailable.
  LarsStorage storage;
  qdl::Scratch scratch;
  if (!scratch.take([&](auto &part) { storage.lay_out(part, k); })) {
    *n_knots = 0;
    return REGRESSION_NON_CONVERGENT;
  }
  EliminatedBlock block;
  return qdl::inspect_gram(G, k).symmetric
             ? qdl::simd::dispatch<LarsHomotopy<true, EliminatedBlock>>(
                   G, c, k, max_iter, tol, lam_path, beta_path, n_knots, &storage, &block)
             : qdl::simd::dispatch<LarsHomotopy<false, EliminatedBlock>>(
                   G, c, k, max_iter, tol, lam_path, beta_path, n_knots, &storage, &block);
}

void qdl_lasso_path_eval(const f64 *lam_path, const f64 *beta_path, i64 n_knots, i64 k,
                         const f64 *lam_grid, i64 n_grid, f64 *out) {
  if (n_grid <= 0 || !qdl::fits(n_knots, k) || !qdl::fits(n_grid, k)) return;
  qdl::simd::dispatch<PathEval>(lam_path, beta_path, n_knots, k, lam_grid, n_grid, out);
}

}  // extern "C"
