// Cholesky-based least-squares kernels (see regression.h for the contracts).

#include "regression.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <limits>

#include "../_common/qdl_linalg.h"
#include "../_common/qdl_linalg_impl.h"
#include "../_common/qdl_parallel_impl.h"
#include "../_common/qdl_scratch_impl.h"
#include "../_common/qdl_simd.h"
#include "../_common/qdl_trace_impl.h"

namespace {

// The quiet NaN 0x7ff8000000000000 that marks a coefficient without an answer.
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

inline void fill_nan(f64 *v, i64 n) {
  for (i64 i = 0; i < n; ++i) v[i] = kNaN;
}

constexpr f64 kInf = std::numeric_limits<f64>::infinity();

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::splat;
using qdl::simd::store;

using qdl::min_i64;

// Whether an n-by-p design and its p-by-p normal equations can exist.
inline bool design_fits(i64 n, i64 p) { return qdl::fits(n, p) && qdl::fits(p, p); }

// v[i] = v[i] / nf for i < m: a true division, not a product with 1/nf.
inline void divide_by(f64 *v, i64 m, f64 nf) {
  for (i64 i = 0; i < m; ++i) v[i] = v[i] / nf;
}

// G += alpha D: G[i,i] += alpha for i = i0 .. p-1 (i0 = 1 leaves the intercept
// column unpenalised).
inline void add_penalty(f64 *G, i64 p, f64 alpha, i64 i0) {
  for (i64 i = i0; i < p; ++i) G[i * p + i] = G[i * p + i] + alpha;
}

// G = G_unpen + alpha D: a copy of all p*p entries, then the penalty.
inline void penalised_copy(const f64 *G_unpen, f64 *G, i64 p, f64 alpha, i64 i0) {
  if (p <= 0) return;
  memcpy(G, G_unpen, static_cast<size_t>(p * p) * sizeof(f64));
  add_penalty(G, p, alpha, i0);
}

// The scaled normal equations: G = X'X / nf and g = X'y / nf, each entry divided.
inline void scaled_normal_equations(const f64 *X, const f64 *y, i64 n, i64 p, f64 *G, f64 *g) {
  qdl::gram_and_rhs(X, y, G, g, n, p);  // G = X'X, g = X'y (one pass over X)
  if (p <= 0) return;
  const f64 nf = static_cast<f64>(n);
  divide_by(G, p * p, nf);
  divide_by(g, p, nf);
}

// The two substitutions of a Cholesky solve, L L' x = b: qdl_forward_subst into x,
// then qdl_backward_subst_chol_t in place. b may equal x.
inline void chol_subst(const f64 *L, const f64 *b, f64 *x, i64 p) {
  qdl_forward_subst(L, b, x, p);
  qdl_backward_subst_chol_t(L, x, x, p);
}

// trace((L L')^-1 G_unpen), the effective degrees of freedom of a ridge fit whose
// penalised Gram matrix has the factor L (Hastie, Tibshirani & Friedman, The
// Elements of Statistical Learning, 2nd ed., eq. 3.50, for the scaled system).
// W (p*p) is work space, overwritten. `col` ends up holding the whole solve of
// column p-1, as after solving every column in turn in `col`.
f64 ridge_eff_dof(const f64 *L, const f64 *G_unpen, i64 p, f64 *col, f64 *W) {
  const f64 dof = qdl::chol_trace(L, G_unpen, p, W, p, p, p - 1);  // column p-1 whole
  for (i64 r = 0; r < p; ++r) col[r] = W[r * p + p - 1];
  return dof;
}

// ---------------------------------------------------------------------------
// Residual sums of squares of the raw data for a batch of NB coefficient vectors
// C[b, :] (NB rows of p), each in row order:
//
//   yhat[r] = sum_j X[r,j] C[b,j]        (j ascending, from 0.0)
//   rss[b]  = sum_r (y[r] - yhat[r])^2   (r ascending, from 0.0)
//
// The rows' yhat are independent: N = lanes<Vec> rows go side by side, one per lane,
// each adding its products in ascending j. X is row-major, so each N-by-N tile of X
// is read row by row and transposed in registers to give column vectors
// X[r0..r0+N-1, j], which serve all NB coefficient vectors: one pass over X scores
// the whole batch. Each rss[b] stays one running sum over the rows in order.
// ---------------------------------------------------------------------------
template <class Vec, int NB>
[[gnu::always_inline]] inline void residual_ss(const f64 *QDL_RESTRICT X, const f64 *QDL_RESTRICT y,
                                               const f64 *QDL_RESTRICT C, i64 n, i64 p,
                                               f64 *QDL_RESTRICT rss) {
  constexpr int N = lanes<Vec>;
  constexpr int NG = (NB + N - 1) / N;  // groups of N coefficient vectors
  const i64 pl = p / N * N;
  Vec sv[NG];  // lane b of sv[g]: rss of C[g*N + b, :] over the rows so far
  for (int g = 0; g < NG; ++g) sv[g] = splat<Vec>(0.0);
  i64 r = 0;
  for (; r + N <= n; r += N) {
    const f64 *x0 = X + r * p;
    Vec yhat[NB];
    for (int b = 0; b < NB; ++b) yhat[b] = splat<Vec>(0.0);
    for (i64 j0 = 0; j0 < pl; j0 += N) {
      Vec a[N];
      for (int k = 0; k < N; ++k) a[k] = load<Vec>(x0 + k * p + j0);
      qdl::simd::transpose(a);
      for (int k = 0; k < N; ++k)
        for (int b = 0; b < NB; ++b) yhat[b] = yhat[b] + a[k] * C[b * p + j0 + k];
    }
    if (pl < p && p >= N) {
      // The last columns pl .. p-1 from the tile of columns p-N .. p-1.
      Vec a[N];
      for (int k = 0; k < N; ++k) a[k] = load<Vec>(x0 + k * p + p - N);
      qdl::simd::transpose(a);
      const i64 k0 = N - (p - pl);
      for (int k = 1; k < N; ++k) {
        if (k < k0) continue;
        for (int b = 0; b < NB; ++b) yhat[b] = yhat[b] + a[k] * C[b * p + p - N + k];
      }
    } else {
      for (i64 j = pl; j < p; ++j) {
        f64 col[N];  // X[r .. r+N-1, j]
        for (int k = 0; k < N; ++k) col[k] = x0[k * p + j];
        const Vec xj = load<Vec>(col);
        for (int b = 0; b < NB; ++b) yhat[b] = yhat[b] + xj * C[b * p + j];
      }
    }
    // e2[b][k] = (y[r+k] - yhat)^2 of vector b; transposed by groups of N vectors,
    // e2[g*N + k][b'], so that row r+k is added to every rss at once, rows in
    // ascending order.
    const Vec yr = load<Vec>(y + r);
    Vec e2[NG * N];
    for (int b = 0; b < NB; ++b) {
      const Vec e = yr - yhat[b];
      e2[b] = e * e;
    }
    for (int b = NB; b < NG * N; ++b) e2[b] = splat<Vec>(0.0);
    for (int g = 0; g < NG; ++g) {
      qdl::simd::transpose(e2 + g * N);
      for (int k = 0; k < N; ++k) sv[g] = sv[g] + e2[g * N + k];
    }
  }
  f64 s[NB];
  for (int b = 0; b < NB; ++b) s[b] = sv[b / N][b % N];
  for (; r < n; ++r) {
    const f64 *xr = X + r * p;
    for (int b = 0; b < NB; ++b) {
      f64 yh = 0.0;
      for (i64 j = 0; j < p; ++j) yh = yh + xr[j] * C[b * p + j];
      const f64 e = y[r] - yh;
      s[b] = s[b] + e * e;
    }
  }
  for (int b = 0; b < NB; ++b) rss[b] = s[b];
}

// The most coefficient vectors scored in one pass over X, and the largest p for
// which the grid search keeps a batch of them on the stack (16 KiB).
constexpr i64 kBatch = 8;
constexpr i64 kBatchMaxP = 256;

// rss[b] for the nb (1..kBatch) coefficient vectors C[b, :].
struct ResidualSS {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(int nb, const f64 *X, const f64 *y, const f64 *C,
                                                i64 n, i64 p, f64 *rss) {
    qdl::simd::with_count<kBatch>(nb, [&](auto bc) QDL_INLINE {
      residual_ss<Vec, bc>(X, y, C, n, p, rss);
    });
  }
};

void residual_ss_batch(i64 nb, const f64 *X, const f64 *y, const f64 *C, i64 n, i64 p,
                       f64 *rss) {
  qdl::simd::dispatch<ResidualSS>(static_cast<int>(nb), X, y, C, n, p, rss);
}

// The residual sum of squares of coef from the statistics G = X'X, c = X'y, yy = y'y:
//
//   rss = (yy - 2 b'c) + b'(G b)
//
// with b'c summed as qdl_dot (i ascending), G b as qdl_matvec (each row from 0.0, j
// ascending) and b'(G b) as qdl_dot again; each row of G b is added as it is formed.
f64 stats_rss(const f64 *G, const f64 *c, f64 yy, const f64 *b, i64 p) {
  f64 bc = 0.0, bGb = 0.0;
  for (i64 i = 0; i < p; ++i) bc = bc + b[i] * c[i];
  for (i64 i = 0; i < p; ++i) {
    const f64 *Gi = G + i * p;
    f64 gb = 0.0;  // (G b)[i]
    for (i64 j = 0; j < p; ++j) gb = gb + Gi[j] * b[j];
    bGb = bGb + b[i] * gb;
  }
  return (yy - 2.0 * bc) + bGb;
}

// The selection objective of the grid search, smaller is better: the residual sum
// of squares itself, or the Gaussian AIC / BIC with the effective degrees of
// freedom k as the parameter count (Akaike 1974; Schwarz 1978), up to constants;
// nf is the number of rows (or the weight sum).
inline f64 ridge_objective(i64 criterion, f64 rss, f64 nf, f64 k) {
  if (criterion == REGRESSION_CRIT_LOSS) return rss;
  if (rss <= 0.0) return -kInf;  // a perfect fit beats every other penalty
  const f64 base = nf * log(rss / nf);
  if (criterion == REGRESSION_CRIT_AIC) return base + 2.0 * k;
  return base + log(nf) * k;  // BIC, and every other criterion code
}

// The inputs of a grid search, shared read-only by its threads: the data X, y (n
// rows), or their statistics G = X'X, c = X'y, yy = y'y.
struct GridProblem {
  bool from_stats;
  const f64 *X, *y;  // n*p and n
  i64 n;
  const f64 *G, *c;  // p*p and p, from_stats
  f64 yy;
  f64 nf;  // the rows (or the weight sum) that scale and score
  i64 p;
  const f64 *alphas;
  i64 num, criterion, i0;
  const f64 *G_base, *g;  // X'X/nf, X'y/nf
};

// One thread's run of penalties: its work space (G, L p*p; col, coef p) and its
// record, the penalty that the serial loop's rule selects within the run. That rule
// merges: the first penalty of the grid is always recorded; any other is recorded
// when it is strictly better than the record, or is the run's first non-NaN
// objective when the run has none yet (a NaN never beats a record, so a run whose
// own record would be a NaN has nothing to offer a later merge).
struct GridRun {
  f64 *G, *L, *col, *coef, *best_coef;
  f64 best_obj = 0.0, best_alpha = 0.0;
  i64 best_status = 0;
  bool recorded = false, solved = false;
};

// rss[b] of the nb coefficient vectors C[b, :]: one pass over the data for all of them,
// or from the statistics one by one.
void residuals(const GridProblem &pb, i64 nb, const f64 *C, f64 *rss) {
  if (pb.from_stats) {
    for (i64 b = 0; b < nb; ++b) rss[b] = stats_rss(pb.G, pb.c, pb.yy, C + b * pb.p, pb.p);
  } else {
    residual_ss_batch(nb, pb.X, pb.y, C, pb.n, pb.p, rss);
  }
}

// Penalties [lo, hi) of the grid, in batches whose coefficients are kept side by
// side so that one pass over X gives all their residuals; the batch lives on the
// stack and is used for p up to kBatchMaxP, beyond which the O(p^3) solves outweigh
// that pass.
void grid_run(const GridProblem &pb, i64 lo, i64 hi, GridRun &u) {
  const i64 p = pb.p;
  f64 stash[kBatch * kBatchMaxP];
  const i64 batch = p <= kBatchMaxP ? kBatch : 1;
  f64 *const cf = batch > 1 ? stash : u.coef;
  for (i64 a0 = lo; a0 < hi; a0 += batch) {
    const i64 nb = min_i64(batch, hi - a0);
    f64 dof[kBatch], rss[kBatch];
    i64 status[kBatch];
    bool solved = false;
    for (i64 b = 0; b < nb; ++b) {
      const f64 alpha = pb.alphas[a0 + b];
      f64 *cb = cf + b * p;
      penalised_copy(pb.G_base, u.G, p, alpha, pb.i0);
      if (qdl_chol(u.G, 0.0, u.L, p) != 0) {
        fill_nan(cb, p);
        status[b] = REGRESSION_RANK_DEFICIENT;
      } else {
        chol_subst(u.L, pb.g, cb, p);
        dof[b] = ridge_eff_dof(u.L, pb.G_base, p, u.col, u.G);  // G as work space
        if (a0 + b == pb.num - 1) penalised_copy(pb.G_base, u.G, p, alpha, pb.i0);
        status[b] = REGRESSION_OK;
        solved = true;
      }
    }
    if (solved) residuals(pb, nb, cf, rss);
    u.solved = u.solved || solved;
    for (i64 b = 0; b < nb; ++b) {
      const i64 a = a0 + b;
      const f64 obj =
          status[b] == REGRESSION_OK ? ridge_objective(pb.criterion, rss[b], pb.nf, dof[b]) : kInf;
      // obj < best is false for a NaN on either side, and for +inf after anything.
      if (a == 0 || (u.recorded ? obj < u.best_obj : obj == obj)) {
        u.recorded = true;
        u.best_obj = obj;
        u.best_alpha = pb.alphas[a];
        u.best_status = status[b];
        if (p > 0) memcpy(u.best_coef, cf + b * p, static_cast<size_t>(p) * sizeof(f64));
      }
    }
  }
  // coef is left as the run's last coefficients.
  if (batch > 1 && hi > lo && p > 0)
    memcpy(u.coef, stash + (hi - 1 - lo) % batch * p, static_cast<size_t>(p) * sizeof(f64));
}

// Multiply-adds per penalty: about p^3 for the factorisation and the degrees of
// freedom, n p for its residuals (rows = n; p^2 from the statistics, rows = p).
f64 grid_penalty_work(i64 rows, i64 p) {
  const f64 pf = static_cast<f64>(p);
  return pf * pf * pf + static_cast<f64>(rows) * pf;
}

// Threads for a grid; no more threads than penalties.
int grid_threads(i64 rows, i64 p, i64 num) {
  const int nt = qdl::par::threads_for(static_cast<f64>(num) * grid_penalty_work(rows, p),
                                       qdl::par::kGridGrain);
  return static_cast<i64>(nt) < num ? nt : static_cast<int>(num);
}

// Penalties per piece of a threaded grid: whole batches, at most kMostPieces pieces,
// each of at least kPieceOfGrain of the bound where the grid allows (the sizes alone
// decide).
i64 grid_piece(i64 rows, i64 p, i64 num) {
  const f64 least = qdl::par::kPieceOfGrain * qdl::par::kGridGrain / grid_penalty_work(rows, p);
  i64 per = (num + qdl::par::kMostPieces - 1) / qdl::par::kMostPieces;
  if (least > static_cast<f64>(per)) per = least < static_cast<f64>(num) ? static_cast<i64>(least) + 1 : num;
  return (per + kBatch - 1) / kBatch * kBatch;
}

// Storage for a threaded grid of `count` pieces on `nt` threads, from `scratch`: a record
// per piece (its best_coef and col, p each) and work space per thread (G, L p*p; coef,
// col p) at *work, 2 p^2 + 2 p apart. False when it cannot be had.
bool grid_storage(qdl::Scratch &scratch, i64 p, int nt, i64 count, GridRun **runs, f64 **work) {
  GridRun *r = nullptr;
  f64 *w = nullptr, *rec = nullptr;
  if (!scratch.take([&](auto &part) {
        part(r, count);
        part(rec, count, 2 * p);
        part(w, nt, 2 * p * p + 2 * p);  // p*p fits (the design's normal equations exist)
      }))
    return false;
  for (i64 q = 0; q < count; ++q) {
    r[q] = GridRun{};
    r[q].best_coef = rec + q * 2 * p;
    r[q].col = r[q].best_coef + p;
  }
  *runs = r;
  *work = w;
  return true;
}

// The grid of pb (num > 0) into the outputs, on threads where it pays (rows: the
// size of one residual pass, per penalty and column). Large grids are cut into pieces,
// runs of penalties (grid_run) that the threads take as they become free, each thread
// in its own work space and each piece with its own record; the records are then merged
// in grid order. The last piece works in the caller's buffers (G, L, coef and col), which
// then end as the serial loop leaves them; another piece's col is kept in its record.
void grid_search(const GridProblem &pb, i64 rows, f64 *out_alpha, f64 *out_coef, f64 *out_obj,
                 i64 *out_status, f64 *G, f64 *L, f64 *coef, f64 *col) {
  const i64 p = pb.p;
  GridRun own{G, L, col, coef, out_coef};  // the calling thread's, on the caller's buffers
  GridRun *runs = &own;
  qdl::Scratch scratch;
  f64 *work = nullptr;
  int want = grid_threads(rows, p, pb.num);
  const i64 per = grid_piece(rows, p, pb.num), count = (pb.num + per - 1) / per;
  if (count < want) want = static_cast<int>(count);
  if (want > 1 && !grid_storage(scratch, p, want, count, &runs, &work))
    want = 1;  // no storage for the other threads: one thread
  i64 used = 1;
  if (want <= 1) {
    grid_run(pb, 0, pb.num, own);
    runs = &own;
  } else {
    used = count;
    qdl::par::run_pieces(want, count, [&](i64 q, int t) {
      GridRun &u = runs[q];
      const i64 lo = q * per, hi = min_i64(pb.num, lo + per);
      if (q == count - 1) {
        u.G = G, u.L = L, u.coef = coef, u.col = col;
        grid_run(pb, lo, hi, u);
        return;
      }
      f64 *w = work + t * (2 * p * p + 2 * p), *kept = u.col;
      u.G = w, u.L = w + p * p, u.coef = w + 2 * p * p, u.col = u.coef + p;
      grid_run(pb, lo, hi, u);
      if (u.solved && p > 0) memcpy(kept, u.col, static_cast<size_t>(p) * sizeof(f64));
      u.col = kept;
    });
  }
  // Merge in grid order: a later run's record wins only when strictly better.
  const GridRun *best = nullptr;
  const GridRun *last_solved = nullptr;
  for (i64 q = 0; q < used; ++q) {
    const GridRun &u = runs[q];
    if (u.recorded && (best == nullptr || u.best_obj < best->best_obj)) best = &u;
    if (u.solved) last_solved = &u;
  }
  *out_alpha = best->best_alpha;
  *out_obj = best->best_obj;
  *out_status = best->best_status;
  if (p > 0 && best->best_coef != out_coef)
    memcpy(out_coef, best->best_coef, static_cast<size_t>(p) * sizeof(f64));
  // col is left as the last penalty that factored left it.
  if (p > 0 && last_solved != nullptr && last_solved->col != col)
    memcpy(col, last_solved->col, static_cast<size_t>(p) * sizeof(f64));
}

}  // namespace

extern "C" {

void qdl_ols_chol_solve(const f64 *X, const f64 *y, i64 n, i64 p, f64 *coef, f64 *L, i64 *status,
                        f64 *G, f64 *g) {
  if (!design_fits(n, p)) {
    *status = REGRESSION_RANK_DEFICIENT;
    return;
  }
  qdl::gram_and_rhs(X, y, G, g, n, p);  // G = X'X, g = X'y (as qdl_gram, qdl_gram_rhs)
  if (qdl_chol_solve(G, g, coef, L, p) == 0) {
    *status = REGRESSION_OK;
  } else {
    fill_nan(coef, p);
    *status = REGRESSION_RANK_DEFICIENT;
  }
}

// Ridge solve (Hoerl & Kennard 1970) on the normal equations scaled by 1/n.
void qdl_chol_solve_L2(const f64 *X, const f64 *y, i64 n, i64 p, f64 alpha, i64 intercept,
                       f64 *coef, f64 *L, f64 *dof, i64 *status, f64 *G, f64 *G_unpen, f64 *g,
                       f64 *col) {
  if (!design_fits(n, p)) {
    *dof = kNaN;
    *status = REGRESSION_RANK_DEFICIENT;
    return;
  }
  const i64 i0 = intercept != 0 ? 1 : 0;
  scaled_normal_equations(X, y, n, p, G, g);
  if (p > 0) memcpy(G_unpen, G, static_cast<size_t>(p * p) * sizeof(f64));
  add_penalty(G, p, alpha, i0);
  if (qdl_chol(G, 0.0, L, p) != 0) {
    fill_nan(coef, p);
    *dof = kNaN;
    *status = REGRESSION_RANK_DEFICIENT;
    return;
  }
  chol_subst(L, g, coef, p);  // L L' coef = g
  // G serves as work space for the degrees of freedom and is then rebuilt, entry
  // for entry the same, from G_unpen.
  *dof = ridge_eff_dof(L, G_unpen, p, col, G);
  penalised_copy(G_unpen, G, p, alpha, i0);
  *status = REGRESSION_OK;
}

// The whole grid of ridge penalties in one call; the Gram matrix is formed and
// scaled once, each penalty costs a copy, a factorisation, the solves and one pass
// over the data for the residuals (grid_search).
void qdl_ridge_grid_search(const f64 *X, const f64 *y, i64 n, i64 p, const f64 *alphas, i64 num,
                           i64 criterion, i64 intercept, f64 *out_alpha, f64 *out_coef,
                           f64 *out_obj, i64 *out_status, f64 *G_base, f64 *G, f64 *g, f64 *L,
                           f64 *coef, f64 *col) {
  if (!design_fits(n, p) || !qdl::fits(num)) {
    *out_status = REGRESSION_RANK_DEFICIENT;
    return;
  }
  scaled_normal_equations(X, y, n, p, G_base, g);
  if (num <= 0) return;
  const GridProblem pb{.from_stats = false, .X = X, .y = y, .n = n,
                       .nf = static_cast<f64>(n), .p = p, .alphas = alphas, .num = num,
                       .criterion = criterion, .i0 = intercept != 0 ? 1 : 0, .G_base = G_base,
                       .g = g};
  grid_search(pb, n, out_alpha, out_coef, out_obj, out_status, G, L, coef, col);
}

// The same grid from the statistics alone: no pass over data, each penalty's
// residuals from G, c and yy.
i64 qdl_ridge_grid_search_gram(const f64 *G, const f64 *c, f64 yy, f64 n, i64 p,
                               const f64 *alphas, i64 num, i64 criterion, i64 intercept,
                               f64 *out_alpha, f64 *out_coef, f64 *out_obj) {
  if (p < 0 || num < 1 || !qdl::fits(p, p) || !qdl::fits(num)) return QDL_REFUSED;
  // The calling thread's work space: G/n, the penalised matrix, its factor, c/n, the
  // coefficients of the penalty in hand and one column of the dof's solves.
  qdl::Scratch scratch;
  f64 *G_base = nullptr, *G_pen = nullptr, *L = nullptr, *g = nullptr, *coef = nullptr,
      *col = nullptr;
  if (!scratch.take([&](auto &part) {
        part(G_base, p, p);
        part(G_pen, p, p);
        part(L, p, p);
        part(g, p);
        part(coef, p);
        part(col, p);
      }))
    return QDL_OUT_OF_MEMORY;
  if (p > 0) {  // G_base = G / n, g = c / n, each entry divided
    memcpy(G_base, G, static_cast<size_t>(p * p) * sizeof(f64));
    memcpy(g, c, static_cast<size_t>(p) * sizeof(f64));
    divide_by(G_base, p * p, n);
    divide_by(g, p, n);
  }
  const GridProblem pb{.from_stats = true, .G = G, .c = c, .yy = yy, .nf = n, .p = p,
                       .alphas = alphas, .num = num, .criterion = criterion,
                       .i0 = intercept != 0 ? 1 : 0, .G_base = G_base, .g = g};
  i64 status = REGRESSION_OK;
  grid_search(pb, p, out_alpha, out_coef, out_obj, &status, G_pen, L, coef, col);
  return status == REGRESSION_OK ? QDL_OK : QDL_NUMERICAL_FAILURE;
}

}  // extern "C"
