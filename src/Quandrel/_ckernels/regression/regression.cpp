// Cholesky-based least-squares kernels (see regression.h for the contracts).

#include "regression.h"

#include <math.h>
#include <string.h>

#include <limits>

#include "../_common/qdl_linalg.h"
#include "../_common/qdl_linalg_impl.h"
#include "../_common/qdl_simd.h"

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

inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }

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

// ---------------------------------------------------------------------------
// Effective degrees of freedom, trace((L L')^-1 G_unpen).
//
// Column c of (L L')^-1 G_unpen is the solve L z = G_unpen[:,c], L' w = z, whose
// sums are (Golub & Van Loan, Matrix Computations, 4th ed., Alg. 3.1.1 and 3.1.2):
//
//   z[i] = (G_unpen[i,c] - sum_{j<i}  L[i,j] z[j]) / L[i,i]    i ascending
//   w[i] = (z[i]         - sum_{j>i}  L[j,i] w[j]) / L[i,i]    i descending
//
// each sum in ascending j, and dof adds w[c] for c ascending. The p columns are
// independent, so they are solved side by side: the work array W (p*p, row-major)
// holds z and then w of column c in W[:,c], and one vector lane carries one column,
// adding its terms in exactly the order above.
//
// The columns go in blocks of one vector, N = lanes<Vec> (8, 4 or 2), starting at
// 0, N, ..., pv-N (pv = p rounded down to a multiple of N), and, when p is not a
// multiple of N, one more block starting at p-N that overlaps the one before it; a
// column computed in two blocks gets the same value in both. Only w[c] enters the
// trace, and w[c] needs w[i] for i >= c only, so the backward pass of a block
// starting at c0 stops at row c0, except for the last block: it runs to row 0,
// leaving the whole solve of column p-1.
// ---------------------------------------------------------------------------

// W[i, c0 .. c0+NV) = (B[i, same] - sum_{j<i} L[i,j] W[j, same]) / L[i,i], V vectors.
template <class Vec, int V>
[[gnu::always_inline]] inline void fwd_row(const f64 *QDL_RESTRICT L, const f64 *QDL_RESTRICT B,
                                           f64 *QDL_RESTRICT W, i64 p, i64 i, i64 c0) {
  constexpr int N = lanes<Vec>;
  const f64 *Li = L + i * p;
  Vec acc[V];
  for (int v = 0; v < V; ++v) acc[v] = splat<Vec>(0.0);
  for (i64 j = 0; j < i; ++j) {
    const f64 l = Li[j];  // broadcast by the scalar-vector product
    const f64 *Wj = W + j * p + c0;
    for (int v = 0; v < V; ++v) acc[v] = acc[v] + l * load<Vec>(Wj + N * v);
  }
  const f64 d = Li[i];
  for (int v = 0; v < V; ++v)
    store<Vec>(W + i * p + c0 + N * v, (load<Vec>(B + i * p + c0 + N * v) - acc[v]) / d);
}

// W[i, c0 .. c0+NV) = (W[i, same] - sum_{j>i} L[j,i] W[j, same]) / L[i,i], storing
// only the lanes from `first` on (the others belong to a block that overlaps).
template <class Vec, int V>
[[gnu::always_inline]] inline void bwd_row(const f64 *QDL_RESTRICT L, f64 *QDL_RESTRICT W, i64 p,
                                           i64 i, i64 c0, i64 first = 0) {
  constexpr int N = lanes<Vec>;
  Vec acc[V];
  for (int v = 0; v < V; ++v) acc[v] = splat<Vec>(0.0);
  for (i64 j = i + 1; j < p; ++j) {
    const f64 l = L[j * p + i];
    const f64 *Wj = W + j * p + c0;
    for (int v = 0; v < V; ++v) acc[v] = acc[v] + l * load<Vec>(Wj + N * v);
  }
  const f64 d = L[i * p + i];
  f64 *Wi = W + i * p + c0;
  if (first == 0) {
    for (int v = 0; v < V; ++v) store<Vec>(Wi + N * v, (load<Vec>(Wi + N * v) - acc[v]) / d);
  } else {
    const Vec w = (load<Vec>(Wi) - acc[0]) / d;
    for (i64 k = first; k < N; ++k) Wi[k] = w[k];
  }
}

// fwd_row<Vec, v> / bwd_row<Vec, v> for a run-time v in 1..V.
template <class Vec, int V>
[[gnu::always_inline]] inline void fwd_row_v(int v, const f64 *L, const f64 *B, f64 *W, i64 p,
                                             i64 i, i64 c0) {
  if constexpr (V > 0) {
    if (v == V) {
      fwd_row<Vec, V>(L, B, W, p, i, c0);
    } else {
      fwd_row_v<Vec, V - 1>(v, L, B, W, p, i, c0);
    }
  }
}

template <class Vec, int V>
[[gnu::always_inline]] inline void bwd_row_v(int v, const f64 *L, f64 *W, i64 p, i64 i, i64 c0) {
  if constexpr (V > 0) {
    if (v == V) {
      bwd_row<Vec, V>(L, W, p, i, c0);
    } else {
      bwd_row_v<Vec, V - 1>(v, L, W, p, i, c0);
    }
  }
}

// The blocked solves for p >= 8, up to V blocks of N = lanes<Vec> columns per pass
// over a row of L. On return W[c,c] = w[c] for every c, and W[:,p-1] is the whole
// solve of column p-1.
template <class Vec, int V>
[[gnu::always_inline]] inline void dof_solves(const f64 *L, const f64 *B, f64 *W, i64 p) {
  constexpr i64 N = lanes<Vec>;
  const i64 pv = p / N * N;
  const i64 last = p - N;  // the block holding column p-1
  for (i64 i = 0; i < p; ++i) {
    for (i64 c0 = 0; c0 < pv; c0 += N * V)
      fwd_row_v<Vec, V>(static_cast<int>(min_i64(V, (pv - c0) / N)), L, B, W, p, i, c0);
    if (last != pv - N) fwd_row<Vec, 1>(L, B, W, p, i, last);
  }
  for (i64 i = p - 1; i >= 0; --i) {
    const i64 cend = min_i64(pv, (i / N + 1) * N);  // blocks from 0 whose first column is <= i
    // The last block first, while row i of the overlapping block still holds z;
    // it stores only the columns the blocks below do not cover in this row.
    if (last + N > cend) bwd_row<Vec, 1>(L, W, p, i, last, cend > last ? cend - last : 0);
    for (i64 c0 = 0; c0 < cend; c0 += N * V)
      bwd_row_v<Vec, V>(static_cast<int>(min_i64(V, (cend - c0) / N)), L, W, p, i, c0);
  }
}

// Register budgets: 8 zmm accumulators (of 32), 8 ymm (of 16), 8 xmm (of 16).
QDL_TARGET_AVX512 void dof_solves_avx512(const f64 *L, const f64 *B, f64 *W, i64 p) {
  dof_solves<qdl::simd::v8d, 8>(L, B, W, p);
}
QDL_TARGET_AVX2 void dof_solves_avx2(const f64 *L, const f64 *B, f64 *W, i64 p) {
  dof_solves<qdl::simd::v4d, 8>(L, B, W, p);
}
void dof_solves_base(const f64 *L, const f64 *B, f64 *W, i64 p) {
  dof_solves<qdl::simd::v2d, 8>(L, B, W, p);
}

// trace((L L')^-1 G_unpen), the effective degrees of freedom of a ridge fit whose
// penalised Gram matrix has the factor L (Hastie, Tibshirani & Friedman, The
// Elements of Statistical Learning, 2nd ed., eq. 3.50, for the scaled system).
// W (p*p) is work space, overwritten. `col` ends up holding the whole solve of
// column p-1, as after solving every column in turn in `col`.
f64 qdl_ridge_eff_dof(const f64 *L, const f64 *G_unpen, i64 p, f64 *col, f64 *W) {
  if (p >= 8) {
    qdl::simd::dispatch(dof_solves_avx512, dof_solves_avx2, dof_solves_base, L, G_unpen, W, p);
    for (i64 r = 0; r < p; ++r) col[r] = W[r * p + p - 1];
  } else {
    // A few columns: one at a time in col, W[c,c] = entry c of column c's solve.
    for (i64 c = 0; c < p; ++c) {
      for (i64 r = 0; r < p; ++r) col[r] = G_unpen[r * p + c];
      chol_subst(L, col, col, p);
      W[c * p + c] = col[c];
    }
  }
  f64 dof = 0.0;
  for (i64 c = 0; c < p; ++c) dof = dof + W[c * p + c];
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

// residual_ss<Vec, nb> for a run-time nb in 1..NB.
template <class Vec, int NB>
[[gnu::always_inline]] inline void residual_ss_nb(int nb, const f64 *X, const f64 *y, const f64 *C,
                                                  i64 n, i64 p, f64 *rss) {
  if constexpr (NB > 0) {
    if (nb == NB) {
      residual_ss<Vec, NB>(X, y, C, n, p, rss);
    } else {
      residual_ss_nb<Vec, NB - 1>(nb, X, y, C, n, p, rss);
    }
  }
}

// The most coefficient vectors scored in one pass over X, and the largest p for
// which the grid search keeps a batch of them on the stack (16 KiB).
constexpr i64 kBatch = 8;
constexpr i64 kBatchMaxP = 256;

QDL_TARGET_AVX512 void residual_ss_avx512(int nb, const f64 *X, const f64 *y, const f64 *C, i64 n,
                                          i64 p, f64 *rss) {
  residual_ss_nb<qdl::simd::v8d, kBatch>(nb, X, y, C, n, p, rss);
}
QDL_TARGET_AVX2 void residual_ss_avx2(int nb, const f64 *X, const f64 *y, const f64 *C, i64 n,
                                      i64 p, f64 *rss) {
  residual_ss_nb<qdl::simd::v4d, kBatch>(nb, X, y, C, n, p, rss);
}
void residual_ss_base(int nb, const f64 *X, const f64 *y, const f64 *C, i64 n, i64 p, f64 *rss) {
  residual_ss_nb<qdl::simd::v2d, kBatch>(nb, X, y, C, n, p, rss);
}

// rss[b] for the nb (1..kBatch) coefficient vectors C[b, :].
void residual_ss_batch(i64 nb, const f64 *X, const f64 *y, const f64 *C, i64 n, i64 p,
                       f64 *rss) {
  qdl::simd::dispatch(residual_ss_avx512, residual_ss_avx2, residual_ss_base, static_cast<int>(nb),
                      X, y, C, n, p, rss);
}

// The selection objective of the grid search, smaller is better: the residual sum
// of squares itself, or the Gaussian AIC / BIC with the effective degrees of
// freedom k as the parameter count (Akaike 1974; Schwarz 1978), up to constants.
inline f64 qdl_ridge_objective(i64 criterion, f64 rss, i64 n, f64 k) {
  if (criterion == REGRESSION_CRIT_LOSS) return rss;
  if (rss <= 0.0) return -kInf;  // a perfect fit beats every other penalty
  const f64 nf = static_cast<f64>(n);
  const f64 base = nf * log(rss / nf);
  if (criterion == REGRESSION_CRIT_AIC) return base + 2.0 * k;
  return base + log(nf) * k;  // BIC, and every other criterion code
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
  *dof = qdl_ridge_eff_dof(L, G_unpen, p, col, G);
  penalised_copy(G_unpen, G, p, alpha, i0);
  *status = REGRESSION_OK;
}

// The whole grid of ridge penalties in one call; the Gram matrix is formed and
// scaled once, each penalty costs a copy, a factorisation, the solves and one pass
// over the data for the residuals.
void qdl_ridge_grid_search(const f64 *X, const f64 *y, i64 n, i64 p, const f64 *alphas, i64 num,
                           i64 criterion, i64 intercept, f64 *out_alpha, f64 *out_coef,
                           f64 *out_obj, i64 *out_status, f64 *G_base, f64 *G, f64 *g, f64 *L,
                           f64 *coef, f64 *col) {
  if (!design_fits(n, p) || !qdl::fits(num)) {
    *out_status = REGRESSION_RANK_DEFICIENT;
    return;
  }
  const i64 i0 = intercept != 0 ? 1 : 0;
  scaled_normal_equations(X, y, n, p, G_base, g);
  // Penalties go in batches whose coefficients are kept side by side, so that one
  // pass over X gives all their residuals; the batch lives on the stack and is used
  // for p up to kBatchMaxP, beyond which the O(p^3) solves outweigh that pass.
  f64 stash[kBatch * kBatchMaxP];
  const i64 batch = p <= kBatchMaxP ? kBatch : 1;
  f64 *const cf = batch > 1 ? stash : coef;
  f64 best_obj = 0.0;
  for (i64 a0 = 0; a0 < num; a0 += batch) {
    const i64 nb = min_i64(batch, num - a0);
    f64 dof[kBatch], rss[kBatch];
    i64 status[kBatch];
    bool solved = false;
    for (i64 b = 0; b < nb; ++b) {
      const f64 alpha = alphas[a0 + b];
      f64 *cb = cf + b * p;
      penalised_copy(G_base, G, p, alpha, i0);
      if (qdl_chol(G, 0.0, L, p) != 0) {
        fill_nan(cb, p);
        status[b] = REGRESSION_RANK_DEFICIENT;
      } else {
        chol_subst(L, g, cb, p);
        dof[b] = qdl_ridge_eff_dof(L, G_base, p, col, G);  // G as work space
        if (a0 + b == num - 1) penalised_copy(G_base, G, p, alpha, i0);  // the last penalty's
        status[b] = REGRESSION_OK;
        solved = true;
      }
    }
    if (solved) residual_ss_batch(nb, X, y, cf, n, p, rss);
    for (i64 b = 0; b < nb; ++b) {
      const f64 obj =
          status[b] == REGRESSION_OK ? qdl_ridge_objective(criterion, rss[b], n, dof[b]) : kInf;
      // The first penalty is always recorded; later ones only when strictly better
      // (false for a NaN on either side, and for +inf after anything).
      if (a0 + b == 0 || obj < best_obj) {
        best_obj = obj;
        *out_alpha = alphas[a0 + b];
        *out_obj = obj;
        *out_status = status[b];
        if (p > 0) memcpy(out_coef, cf + b * p, static_cast<size_t>(p) * sizeof(f64));
      }
    }
  }
  // coef is left as the last penalty's coefficients.
  if (batch > 1 && num > 0 && p > 0)
    memcpy(coef, stash + (num - 1) % batch * p, static_cast<size_t>(p) * sizeof(f64));
}

}  // extern "C"
