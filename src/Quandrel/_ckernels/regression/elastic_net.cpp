// Elastic-net kernels (see elastic_net.h for the contracts).

#include "elastic_net.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <bit>

#include "../_common/qdl_linalg.h"
#include "../_common/qdl_simd.h"
#include "regression.h"

namespace {

using qdl::simd::load8;
using qdl::simd::store8;
using qdl::simd::splat8;
using qdl::simd::v8d;


inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }
inline i64 max_i64(i64 a, i64 b) { return a > b ? a : b; }

// Splits a total penalty into its L1 and L2 parts at the mixing ratio l1_ratio.
inline void qdl_split_penalty(f64 alpha, f64 l1_ratio, f64 *a1, f64 *a2) {
  *a1 = alpha * l1_ratio;
  *a2 = alpha * (1.0 - l1_ratio);
}

// y[i] = y[i] + a * x[i] for i < n: n independent updates, one product and one add
// each, evaluated eight (or thirty-two) entries side by side.
[[gnu::always_inline]] inline void axpy(f64 *QDL_RESTRICT y, const f64 *QDL_RESTRICT x, f64 a,
                                        i64 n) {
  const v8d va = splat8(a);
  i64 i = 0;
  for (; i + 32 <= n; i += 32) {
    const v8d y0 = load8(y + i) + va * load8(x + i);
    const v8d y1 = load8(y + i + 8) + va * load8(x + i + 8);
    const v8d y2 = load8(y + i + 16) + va * load8(x + i + 16);
    const v8d y3 = load8(y + i + 24) + va * load8(x + i + 24);
    store8(y + i, y0);
    store8(y + i + 8, y1);
    store8(y + i + 16, y2);
    store8(y + i + 24, y3);
  }
  for (; i + 8 <= n; i += 8) store8(y + i, load8(y + i) + va * load8(x + i));
  for (; i < n; ++i) y[i] = y[i] + a * x[i];
}

// ---------------------------------------------------------------------------
// Symmetry and finiteness of G, decided on the bit patterns. G is cut into 8-by-8
// tiles; tile (I, J) of the upper triangle is transposed in registers (three rounds
// of pairwise shuffles) and compared with tile (J, I) read row by row, so both sides
// are read with unit stride. Rows and columns past the last full tile are compared
// one pair at a time.
// ---------------------------------------------------------------------------
typedef uint64_t v8u __attribute__((vector_size(64)));

[[gnu::always_inline]] inline v8u load8u(const f64 *p) {
  v8u v;
  memcpy(&v, p, sizeof v);
  return v;
}

// t[c] = column c of the 8-by-8 tile whose rows are a[0..7].
[[gnu::always_inline]] inline void transpose8(const v8u a[8], v8u t[8]) {
  v8u s[8], u[8];
  for (int r = 0; r < 8; r += 2) {  // s: pairs of rows interleaved
    s[r] = __builtin_shufflevector(a[r], a[r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
    s[r + 1] = __builtin_shufflevector(a[r], a[r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
  }
  for (int r = 0; r < 8; r += 4) {  // u: quadruples of rows, in pairs of columns
    for (int h = 0; h < 2; ++h) {
      u[r + h] = __builtin_shufflevector(s[r + h], s[r + h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
      u[r + h + 2] = __builtin_shufflevector(s[r + h], s[r + h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
  }
  for (int c = 0; c < 4; ++c) {  // all eight rows, columns c and c + 4
    t[c] = __builtin_shufflevector(u[c], u[c + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    t[c + 4] = __builtin_shufflevector(u[c], u[c + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

struct GramShape {
  bool symmetric;  // G[i,j] and G[j,i] have the same bits for every i, j
  bool finite;     // every entry of G is finite (only decided when symmetric)
};

// Bit 63 of (x & kExp) + kExpUnit is set exactly when the exponent of x is all ones
// (x is infinite or NaN); OR-ed over many x it tells whether any of them was.
constexpr uint64_t kExp = 0x7ff0000000000000u;
constexpr uint64_t kExpUnit = 0x0010000000000000u;

[[gnu::always_inline]] inline GramShape inspect_gram(const f64 *G, i64 k) {
  const v8u vexp = kExp - v8u{}, vunit = kExpUnit - v8u{};
  const i64 k8 = k / 8 * 8;
  v8u nonfinite = {};
  uint64_t nonfinite_tail = 0;
  for (i64 i0 = 0; i0 < k8; i0 += 8) {
    v8u diff = {};
    uint64_t diff_tail = 0;
    for (i64 j0 = i0; j0 < k8; j0 += 8) {
      v8u a[8], t[8];
      for (int r = 0; r < 8; ++r) a[r] = load8u(G + (i0 + r) * k + j0);  // G[i0+r, j0..]
      transpose8(a, t);                                                  // t[c] = G[i0.., j0+c]
      for (int c = 0; c < 8; ++c) {
        diff |= t[c] ^ load8u(G + (j0 + c) * k + i0);  // against G[j0+c, i0..]
        nonfinite |= (a[c] & vexp) + vunit;
      }
    }
    for (i64 i = i0; i < i0 + 8; ++i)  // row i past the tiles against column i
      for (i64 j = k8; j < k; ++j) {
        const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
        diff_tail |= x ^ std::bit_cast<uint64_t>(G[j * k + i]);
        nonfinite_tail |= (x & kExp) + kExpUnit;
      }
    for (int l = 0; l < 8; ++l) diff_tail |= diff[l];
    if (diff_tail != 0) return {false, false};
  }
  for (i64 i = k8; i < k; ++i)  // the corner past the tiles, diagonal included
    for (i64 j = i; j < k; ++j) {
      const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
      if (x != std::bit_cast<uint64_t>(G[j * k + i])) return {false, false};
      nonfinite_tail |= (x & kExp) + kExpUnit;
    }
  for (int l = 0; l < 8; ++l) nonfinite_tail |= nonfinite[l];
  return {true, (nonfinite_tail >> 63) == 0};
}

// ---------------------------------------------------------------------------
// Coordinate descent (cyclic coordinate descent for the elastic net in covariance
// form: Friedman, Hastie and Tibshirani, "Regularization paths for generalized
// linear models via coordinate descent", J. Stat. Softw. 33(1), 2010, covariance updates).
//
// Column j of G enters every applied change (Gcoef[i] += delta * G[i,j] for all i).
// Read down the column it is a walk with stride k, one cache line per entry. When G
// equals its transpose bit for bit, G[i,j] and G[j,i] are the same double, so the
// contiguous row j gives the very same products and sums: the row is read instead.
// The same holds for the initial product Gcoef = G coef, which is then accumulated
// row by row of G (acc[:] += G[j,:] * coef[j], j ascending), each entry keeping its
// own running sum in the stated order.
// ---------------------------------------------------------------------------

// The problem of a call, with what one inspection of G decided for all its solves.
struct Gram {
  const f64 *G;
  const f64 *g;
  i64 k;
  i64 max_iter;
  f64 tol;
  bool symmetric;
  bool finite;
};

// One solve of qdl_en_gram_cd on the inspected G.
[[gnu::always_inline]] inline i64 en_solve(const Gram &q, f64 a1, f64 a2,
                                           const f64 *QDL_RESTRICT beta0, f64 *QDL_RESTRICT coef,
                                           f64 *QDL_RESTRICT Gcoef) {
  const f64 *G = q.G, *g = q.g;
  const i64 k = q.k;
  const f64 tol = q.tol;

  if (k > 0) {
    memcpy(coef, beta0, static_cast<size_t>(k) * sizeof(f64));
    if (q.symmetric) {
      // Gcoef[:] = 0 + sum_j G[j,:] * coef[j], j ascending. With G finite a zero
      // coef[j] only adds a signed zero to a sum that started at +0.0 and so can
      // never be -0.0: the row changes nothing and is passed over.
      memset(Gcoef, 0, static_cast<size_t>(k) * sizeof(f64));
      for (i64 j = 0; j < k; ++j) {
        if (q.finite && coef[j] == 0.0) continue;
        axpy(Gcoef, G + j * k, coef[j], k);
      }
      for (i64 i = 0; i < k; ++i) Gcoef[i] = Gcoef[i] + coef[i] * a2;
    } else {
      // Gcoef[i] = (G[i,:] . coef, j ascending) + coef[i] * alpha_l2.
      for (i64 i = 0; i < k; ++i) {
        const f64 *Gi = G + i * k;
        f64 acc = 0.0;
        for (i64 j = 0; j < k; ++j) acc = acc + Gi[j] * coef[j];
        Gcoef[i] = acc + coef[i] * a2;
      }
    }
  }

  for (i64 it = 0; it < q.max_iter; ++it) {
    f64 max_delta = 0.0;
    for (i64 j = 0; j < k; ++j) {
      const f64 diag = G[j * k + j] + a2;
      if (diag <= 0.0) continue;  // false for NaN: a NaN diagonal is not skipped
      const f64 cj = coef[j];
      // z = g[j] - sum_{i != j} (G + alpha_l2 I)[j,i] coef[i], from the kept product.
      const f64 z = (g[j] - Gcoef[j]) + cj * diag;
      const f64 new_coef_j = qdl_smooth_threshold(z, a1) / diag;
      const f64 delta = new_coef_j - cj;
      const f64 abs_delta = fabs(delta);
      if (abs_delta > tol) {
        if (q.symmetric) {
          axpy(Gcoef, G + j * k, delta, k);  // Gcoef += delta * G[j,:] (= G[:,j])
        } else {
          for (i64 i = 0; i < k; ++i) Gcoef[i] = Gcoef[i] + delta * G[i * k + j];
        }
        Gcoef[j] = Gcoef[j] + a2 * delta;
        coef[j] = new_coef_j;
        if (abs_delta > max_delta) max_delta = abs_delta;
      }
    }
    if (max_delta < tol) return REGRESSION_OK;
  }
  return REGRESSION_NON_CONVERGENT;
}

// The coordinate-descent routines compiled for one instruction set.
struct CdImpl {
  GramShape (*inspect)(const f64 *G, i64 k);
  i64 (*solve)(const Gram &q, f64 a1, f64 a2, const f64 *beta0, f64 *coef, f64 *Gcoef);
};

#define QDL_EN_CD_IMPL(SUFFIX, TARGET)                                                         \
  TARGET GramShape inspect_##SUFFIX(const f64 *G, i64 k) { return inspect_gram(G, k); }        \
  TARGET i64 solve_##SUFFIX(const Gram &q, f64 a1, f64 a2, const f64 *beta0, f64 *coef,        \
                            f64 *Gcoef) {                                                      \
    return en_solve(q, a1, a2, beta0, coef, Gcoef);                                            \
  }                                                                                            \
  constexpr CdImpl kCd_##SUFFIX{inspect_##SUFFIX, solve_##SUFFIX};

QDL_EN_CD_IMPL(avx512, QDL_TARGET_AVX512)
QDL_EN_CD_IMPL(avx2, QDL_TARGET_AVX2)
QDL_EN_CD_IMPL(base, )
#undef QDL_EN_CD_IMPL

const CdImpl &pick_cd() {
#if QDL_HAVE_ISA_DISPATCH
  switch (qdl::simd::best()) {
    case qdl::simd::Isa::avx512: return kCd_avx512;
    case qdl::simd::Isa::avx2: return kCd_avx2;
    default: break;
  }
#endif
  return kCd_base;
}

Gram make_gram(const CdImpl &cd, const f64 *G, const f64 *g, i64 k, i64 max_iter, f64 tol) {
  const GramShape shape = cd.inspect(G, k);
  return Gram{G, g, k, max_iter, tol, shape.symmetric, shape.finite};
}

// ---------------------------------------------------------------------------
// Degrees of freedom: trace((G_A + alpha_l2 I)^-1 G_A) from the Cholesky factor L of
// the penalised block, solving every column of G_A by forward and then transposed
// backward substitution (Golub and Van Loan, Matrix Computations, 4th ed.,
// algorithms 3.1.1, 3.1.2 and 4.2.1).
//
// The na right-hand sides are solved together in place in X = G_A (row-major with a
// row length ldx of na rounded up to a multiple of 8, the extra columns zero, so
// column c of the system is column c of X): step i of a substitution updates row i
// of X for all columns at once, eight columns to a vector, each column keeping its
// own running sum
//
//   forward   X[i,c] = (X[i,c] - sum_{j<i} L[i,j] X[j,c]) / L[i,i]          (j ascending)
//   backward  X[i,c] = (X[i,c] - sum_{j>i} L[j,i] X[j,c]) / L[i,i]          (j ascending)
//
// exactly as one column solved alone. Only the diagonal X[c,c] of the result is
// wanted, and backward step i reads rows below i only, so it updates the columns
// c <= i (and the rest of their group of eight, which is never read again).
// ---------------------------------------------------------------------------

// Xi[c0 .. c0+8V) = (Xi[..] - sum_{j=jlo}^{jhi-1} Lb[j*ls] * X[j, c0 ..]) / d.
template <int V>
[[gnu::always_inline]] inline void subst_tile(f64 *QDL_RESTRICT X, i64 ldx, i64 i, i64 c0,
                                              const f64 *QDL_RESTRICT Lb, i64 ls, i64 jlo,
                                              i64 jhi, f64 d) {
  v8d acc[V];
  for (int v = 0; v < V; ++v) acc[v] = splat8(0.0);
  for (i64 j = jlo; j < jhi; ++j) {
    const v8d l = splat8(Lb[j * ls]);
    const f64 *Xj = X + j * ldx + c0;
    for (int v = 0; v < V; ++v) acc[v] = acc[v] + l * load8(Xj + 8 * v);
  }
  f64 *Xi = X + i * ldx + c0;
  const v8d vd = splat8(d);
  for (int v = 0; v < V; ++v) store8(Xi + 8 * v, (load8(Xi + 8 * v) - acc[v]) / vd);
}

// Step i of a substitution for the columns 0 .. ncols-1 of X, ncols a multiple of 8.
[[gnu::always_inline]] inline void subst_row(f64 *QDL_RESTRICT X, i64 ldx, i64 i, i64 ncols,
                                             const f64 *QDL_RESTRICT Lb, i64 ls, i64 jlo,
                                             i64 jhi, f64 d) {
  i64 c = 0;
  for (; c + 32 <= ncols; c += 32) subst_tile<4>(X, ldx, i, c, Lb, ls, jlo, jhi, d);
  // The last 8, 16 or 24 columns as one tile: one pass over the rows j, with as
  // many independent sums in flight as there are vectors.
  switch ((ncols - c) / 8) {
    case 3: subst_tile<3>(X, ldx, i, c, Lb, ls, jlo, jhi, d); break;
    case 2: subst_tile<2>(X, ldx, i, c, Lb, ls, jlo, jhi, d); break;
    case 1: subst_tile<1>(X, ldx, i, c, Lb, ls, jlo, jhi, d); break;
    default: break;
  }
}

inline i64 round_up8(i64 n) { return (n + 7) / 8 * 8; }

// sum_c ((L L')^-1 X)[c,c], c ascending; X (na rows of ldx) is overwritten.
[[gnu::always_inline]] inline f64 trace_solve(const f64 *QDL_RESTRICT L, f64 *QDL_RESTRICT X,
                                              i64 na, i64 ldx) {
  for (i64 i = 0; i < na; ++i)  // L Y = X: row i of L, j = 0 .. i-1
    subst_row(X, ldx, i, ldx, L + i * na, 1, 0, i, L[i * na + i]);
  for (i64 i = na - 1; i >= 0; --i)  // L' Z = Y: column i of L, j = i+1 .. na-1
    subst_row(X, ldx, i, round_up8(i + 1), L + i, na, i + 1, na, L[i * na + i]);
  f64 dof = 0.0;
  for (i64 c = 0; c < na; ++c) dof = dof + X[c * ldx + c];
  return dof;
}

QDL_TARGET_AVX512 f64 trace_solve_avx512(const f64 *L, f64 *X, i64 na, i64 ldx) {
  return trace_solve(L, X, na, ldx);
}
QDL_TARGET_AVX2 f64 trace_solve_avx2(const f64 *L, f64 *X, i64 na, i64 ldx) {
  return trace_solve(L, X, na, ldx);
}
f64 trace_solve_base(const f64 *L, f64 *X, i64 na, i64 ldx) { return trace_solve(L, X, na, ldx); }

f64 trace_solve_best(const f64 *L, f64 *X, i64 na, i64 ldx) {
#if QDL_HAVE_ISA_DISPATCH
  switch (qdl::simd::best()) {
    case qdl::simd::Isa::avx512: return trace_solve_avx512(L, X, na, ldx);
    case qdl::simd::Isa::avx2: return trace_solve_avx2(L, X, na, ldx);
    default: break;
  }
#endif
  return trace_solve_base(L, X, na, ldx);
}

}  // namespace

extern "C" {

i64 qdl_en_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha_l1, f64 alpha_l2,
                   const f64 *beta0, i64 max_iter, f64 tol, f64 *coef, f64 *Gcoef) {
  const CdImpl &cd = pick_cd();
  const Gram q = make_gram(cd, G, g, k, max_iter, tol);
  return cd.solve(q, alpha_l1, alpha_l2, beta0, coef, Gcoef);
}

// Pathwise coordinate descent: each solve warm-started from the previous solution,
// from the large-penalty end of the grid (Friedman, Hastie, Hoefling and Tibshirani,
// "Pathwise coordinate optimization", Ann. Appl. Stat. 1(2), 2007).
void qdl_en_gram_cd_path(const f64 *G, const f64 *g, i64 k, const f64 *alpha_grid, i64 n_alpha,
                         f64 l1_ratio, i64 max_iter, f64 tol, f64 *coefs, i64 *statuses,
                         f64 *Gcoef, f64 *beta) {
  if (k > 0) memset(beta, 0, static_cast<size_t>(k) * sizeof(f64));  // first start: zeros
  if (n_alpha <= 0) return;
  const CdImpl &cd = pick_cd();
  const Gram q = make_gram(cd, G, g, k, max_iter, tol);  // one inspection for the whole grid
  // An ascending grid (judged by its end points) is walked from its large end.
  const bool ascending = n_alpha > 1 && alpha_grid[0] < alpha_grid[n_alpha - 1];
  for (i64 pos = 0; pos < n_alpha; ++pos) {
    const i64 idx = ascending ? n_alpha - 1 - pos : pos;
    f64 a1, a2;
    qdl_split_penalty(alpha_grid[idx], l1_ratio, &a1, &a2);
    f64 *coef_idx = coefs + idx * k;
    statuses[idx] = cd.solve(q, a1, a2, beta, coef_idx, Gcoef);
    // The next solve starts from this one's result, converged or not.
    if (k > 0) memcpy(beta, coef_idx, static_cast<size_t>(k) * sizeof(f64));
  }
}

f64 qdl_en_active_dof(const f64 *G, const f64 *beta, i64 k, f64 alpha_l2, i64 intercept,
                      f64 atol) {
  const f64 ic = intercept != 0 ? 1.0 : 0.0;
  i64 na = 0;
  for (i64 j = 0; j < k; ++j)
    if (fabs(beta[j]) > atol) ++na;  // false for NaN: a NaN coefficient is not active
  if (na == 0) return ic;

  // Working storage in one block: active (na), pen and L (na*na each) and G_A (na rows
  // of ldx). G_A is solved in place, so no separate column vector is needed. A size
  // that does not fit counts as storage that cannot be obtained.
  const i64 ldx = round_up8(na);
  const size_t una = static_cast<size_t>(na);
  size_t n2 = 0, nx = 0, count = 0, bytes = 0;  // count = na + 2 na^2 + na ldx
  if (__builtin_mul_overflow(una, una, &n2) ||
      __builtin_mul_overflow(una, static_cast<size_t>(ldx), &nx) ||
      __builtin_add_overflow(n2, n2, &count) || __builtin_add_overflow(count, nx, &count) ||
      __builtin_add_overflow(count, una, &count) ||
      __builtin_mul_overflow(count, sizeof(f64), &bytes))
    return ic + static_cast<f64>(na);
  void *block = malloc(bytes);
  if (block == nullptr) return ic + static_cast<f64>(na);
  i64 *active = static_cast<i64 *>(block);
  f64 *pen = reinterpret_cast<f64 *>(active + na);
  f64 *L = pen + n2;
  f64 *G_active = L + n2;

  i64 cur = 0;
  for (i64 j = 0; j < k; ++j)
    if (fabs(beta[j]) > atol) active[cur++] = j;
  // G_A[i,j] = G[active[i], active[j]] (zero past column na-1); pen = G_A + alpha_l2 I.
  for (i64 i = 0; i < na; ++i) {
    const f64 *Grow = G + active[i] * k;
    for (i64 j = 0; j < na; ++j) {
      const f64 val = Grow[active[j]];
      G_active[i * ldx + j] = val;
      pen[i * na + j] = val;
    }
    for (i64 j = na; j < ldx; ++j) G_active[i * ldx + j] = 0.0;
    pen[i * na + i] = pen[i * na + i] + alpha_l2;
  }

  f64 dof;
  if (qdl_chol(pen, 0.0, L, na) != 0) {
    dof = static_cast<f64>(na);  // not numerically PD: the unpenalised active-set count
  } else {
    dof = trace_solve_best(L, G_active, na, ldx);
  }
  free(block);
  return ic + dof;
}

}  // extern "C"
