// Elastic-net kernels (see elastic_net.h for the contracts).

#include "elastic_net.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <limits>

#include "../_common/qdl_linalg.h"
#include "../_common/qdl_linalg_impl.h"
#include "../_common/qdl_simd.h"
#include "regression.h"

namespace {

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::splat;
using qdl::simd::store;
using qdl::simd::v2d;
using qdl::simd::v4d;
using qdl::simd::v8d;


inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }
inline i64 max_i64(i64 a, i64 b) { return a > b ? a : b; }

// Splits a total penalty into its L1 and L2 parts at the mixing ratio l1_ratio.
inline void qdl_split_penalty(f64 alpha, f64 l1_ratio, f64 *a1, f64 *a2) {
  *a1 = alpha * l1_ratio;
  *a2 = alpha * (1.0 - l1_ratio);
}

// y[i] = y[i] + a * x[i] for i < n: n independent updates, one product and one add
// each, evaluated one vector (or four) of entries side by side.
template <class Vec>
[[gnu::always_inline]] inline void axpy(f64 *QDL_RESTRICT y, const f64 *QDL_RESTRICT x, f64 a,
                                        i64 n) {
  constexpr i64 N = lanes<Vec>;
  i64 i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    Vec yv[4];
    for (int v = 0; v < 4; ++v) yv[v] = load<Vec>(y + i + N * v) + a * load<Vec>(x + i + N * v);
    for (int v = 0; v < 4; ++v) store<Vec>(y + i + N * v, yv[v]);
  }
  for (; i + N <= n; i += N) store<Vec>(y + i, load<Vec>(y + i) + a * load<Vec>(x + i));
  for (; i < n; ++i) y[i] = y[i] + a * x[i];
}

// ---------------------------------------------------------------------------
// Symmetry and finiteness of G, decided on the bit patterns. G is cut into N-by-N
// tiles (N = lanes of the vector type); tile (I, J) of the upper triangle is
// transposed in registers and compared with tile (J, I) read row by row, so both
// sides are read with unit stride. Rows and columns past the last full tile are
// compared one pair at a time.
// ---------------------------------------------------------------------------

// The unsigned 64-bit lanes of a vector as wide as Vec.
template <class Vec>
struct BitsOf;
template <>
struct BitsOf<v2d> {
  typedef uint64_t type __attribute__((vector_size(16)));
};
template <>
struct BitsOf<v4d> {
  typedef uint64_t type __attribute__((vector_size(32)));
};
template <>
struct BitsOf<v8d> {
  typedef uint64_t type __attribute__((vector_size(64)));
};

struct GramShape {
  bool symmetric;  // G[i,j] and G[j,i] have the same bits for every i, j
  bool finite;     // every entry of G is finite (only decided when symmetric)
};

// Bit 63 of (x & kExp) + kExpUnit is set exactly when the exponent of x is all ones
// (x is infinite or NaN); OR-ed over many x it tells whether any of them was.
constexpr uint64_t kExp = 0x7ff0000000000000u;
constexpr uint64_t kExpUnit = 0x0010000000000000u;

template <class Vec>
[[gnu::always_inline]] inline GramShape inspect_gram(const f64 *G, i64 k) {
  using Bits = typename BitsOf<Vec>::type;
  constexpr int N = lanes<Vec>;
  const Bits vexp = kExp - Bits{}, vunit = kExpUnit - Bits{};
  const i64 kt = k / N * N;
  Bits nonfinite = {};
  uint64_t nonfinite_tail = 0;
  for (i64 i0 = 0; i0 < kt; i0 += N) {
    Bits diff = {};
    uint64_t diff_tail = 0;
    for (i64 j0 = i0; j0 < kt; j0 += N) {
      Bits a[N], t[N];
      for (int r = 0; r < N; ++r) a[r] = load<Bits>(G + (i0 + r) * k + j0);  // G[i0+r, j0..]
      for (int r = 0; r < N; ++r) t[r] = a[r];
      qdl::simd::transpose(t);  // t[c] = G[i0.., j0+c]
      for (int c = 0; c < N; ++c) {
        diff |= t[c] ^ load<Bits>(G + (j0 + c) * k + i0);  // against G[j0+c, i0..]
        nonfinite |= (a[c] & vexp) + vunit;
      }
    }
    for (i64 i = i0; i < i0 + N; ++i)  // row i past the tiles against column i
      for (i64 j = kt; j < k; ++j) {
        const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
        diff_tail |= x ^ std::bit_cast<uint64_t>(G[j * k + i]);
        nonfinite_tail |= (x & kExp) + kExpUnit;
      }
    for (int l = 0; l < N; ++l) diff_tail |= diff[l];
    if (diff_tail != 0) return {false, false};
  }
  for (i64 i = kt; i < k; ++i)  // the corner past the tiles, diagonal included
    for (i64 j = i; j < k; ++j) {
      const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
      if (x != std::bit_cast<uint64_t>(G[j * k + i])) return {false, false};
      nonfinite_tail |= (x & kExp) + kExpUnit;
    }
  for (int l = 0; l < N; ++l) nonfinite_tail |= nonfinite[l];
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
template <class Vec>
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
        axpy<Vec>(Gcoef, G + j * k, coef[j], k);
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
          axpy<Vec>(Gcoef, G + j * k, delta, k);  // Gcoef += delta * G[j,:] (= G[:,j])
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

#define QDL_EN_CD_IMPL(SUFFIX, TARGET, VEC)                                                    \
  TARGET GramShape inspect_##SUFFIX(const f64 *G, i64 k) { return inspect_gram<VEC>(G, k); }   \
  TARGET i64 solve_##SUFFIX(const Gram &q, f64 a1, f64 a2, const f64 *beta0, f64 *coef,        \
                            f64 *Gcoef) {                                                      \
    return en_solve<VEC>(q, a1, a2, beta0, coef, Gcoef);                                       \
  }                                                                                            \
  constexpr CdImpl kCd_##SUFFIX{inspect_##SUFFIX, solve_##SUFFIX};

QDL_EN_CD_IMPL(avx512, QDL_TARGET_AVX512, v8d)
QDL_EN_CD_IMPL(avx2, QDL_TARGET_AVX2, v4d)
QDL_EN_CD_IMPL(base, , v2d)
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
// of X for all columns at once, one column to a vector lane, each column keeping its
// own running sum
//
//   forward   X[i,c] = (X[i,c] - sum_{j<i} L[i,j] X[j,c]) / L[i,i]          (j ascending)
//   backward  X[i,c] = (X[i,c] - sum_{j>i} L[j,i] X[j,c]) / L[i,i]          (j ascending)
//
// exactly as one column solved alone. Only the diagonal X[c,c] of the result is
// wanted, and backward step i reads rows below i only, so it updates the columns
// c <= i (and the rest of their group of eight, which is never read again).
// ---------------------------------------------------------------------------

// Xi[c0 .. c0+NV) = (Xi[..] - sum_{j=jlo}^{jhi-1} Lb[j*ls] * X[j, c0 ..]) / d, for V
// vectors of N = lanes<Vec> columns.
template <class Vec, int V>
[[gnu::always_inline]] inline void subst_tile(f64 *QDL_RESTRICT X, i64 ldx, i64 i, i64 c0,
                                              const f64 *QDL_RESTRICT Lb, i64 ls, i64 jlo,
                                              i64 jhi, f64 d) {
  constexpr int N = lanes<Vec>;
  Vec acc[V];
  for (int v = 0; v < V; ++v) acc[v] = splat<Vec>(0.0);
  for (i64 j = jlo; j < jhi; ++j) {
    const f64 l = Lb[j * ls];  // broadcast by the scalar-vector product
    const f64 *Xj = X + j * ldx + c0;
    for (int v = 0; v < V; ++v) acc[v] = acc[v] + l * load<Vec>(Xj + N * v);
  }
  f64 *Xi = X + i * ldx + c0;
  for (int v = 0; v < V; ++v) store<Vec>(Xi + N * v, (load<Vec>(Xi + N * v) - acc[v]) / d);
}

// subst_tile<Vec, v> for a run-time v in 1..V (nothing for v = 0).
template <class Vec, int V>
[[gnu::always_inline]] inline void subst_tile_v(int v, f64 *X, i64 ldx, i64 i, i64 c0,
                                                const f64 *Lb, i64 ls, i64 jlo, i64 jhi, f64 d) {
  if constexpr (V > 0) {
    if (v == V) {
      subst_tile<Vec, V>(X, ldx, i, c0, Lb, ls, jlo, jhi, d);
    } else {
      subst_tile_v<Vec, V - 1>(v, X, ldx, i, c0, Lb, ls, jlo, jhi, d);
    }
  }
}

// Step i of a substitution for the columns 0 .. ncols-1 of X, ncols a multiple of 8:
// tiles of NV vectors (32 columns, 16 on SSE2), then the rest as one tile, so that
// every pass over the rows j has as many independent sums in flight as it can.
template <class Vec>
[[gnu::always_inline]] inline void subst_row(f64 *QDL_RESTRICT X, i64 ldx, i64 i, i64 ncols,
                                             const f64 *QDL_RESTRICT Lb, i64 ls, i64 jlo,
                                             i64 jhi, f64 d) {
  constexpr int N = lanes<Vec>;
  constexpr int NV = N == 2 ? 8 : 32 / N;
  i64 c = 0;
  for (; c + NV * N <= ncols; c += NV * N) subst_tile<Vec, NV>(X, ldx, i, c, Lb, ls, jlo, jhi, d);
  subst_tile_v<Vec, NV - 1>(static_cast<int>((ncols - c) / N), X, ldx, i, c, Lb, ls, jlo, jhi, d);
}

inline i64 round_up8(i64 n) { return (n + 7) / 8 * 8; }

// sum_c ((L L')^-1 X)[c,c], c ascending; X (na rows of ldx) is overwritten.
template <class Vec>
[[gnu::always_inline]] inline f64 trace_solve(const f64 *QDL_RESTRICT L, f64 *QDL_RESTRICT X,
                                              i64 na, i64 ldx) {
  for (i64 i = 0; i < na; ++i)  // L Y = X: row i of L, j = 0 .. i-1
    subst_row<Vec>(X, ldx, i, ldx, L + i * na, 1, 0, i, L[i * na + i]);
  for (i64 i = na - 1; i >= 0; --i)  // L' Z = Y: column i of L, j = i+1 .. na-1
    subst_row<Vec>(X, ldx, i, round_up8(i + 1), L + i, na, i + 1, na, L[i * na + i]);
  f64 dof = 0.0;
  for (i64 c = 0; c < na; ++c) dof = dof + X[c * ldx + c];
  return dof;
}

QDL_TARGET_AVX512 f64 trace_solve_avx512(const f64 *L, f64 *X, i64 na, i64 ldx) {
  return trace_solve<v8d>(L, X, na, ldx);
}
QDL_TARGET_AVX2 f64 trace_solve_avx2(const f64 *L, f64 *X, i64 na, i64 ldx) {
  return trace_solve<v4d>(L, X, na, ldx);
}
f64 trace_solve_base(const f64 *L, f64 *X, i64 na, i64 ldx) {
  return trace_solve<v2d>(L, X, na, ldx);
}

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
  if (!qdl::fits(k, k)) return REGRESSION_NON_CONVERGENT;  // no such G: nothing is touched
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
  if (!qdl::fits(k, k) || !qdl::fits(n_alpha, k)) return;  // no such buffers
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
  if (!qdl::fits(k, k)) return std::numeric_limits<f64>::quiet_NaN();  // no such G
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
