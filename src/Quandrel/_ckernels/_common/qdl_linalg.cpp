// Dense real linear algebra: the Cholesky toolkit (see qdl_linalg.h for the contracts).

#include "qdl_linalg.h"

#include <math.h>
#include <string.h>

#include "qdl_linalg_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;

inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }

// ---------------------------------------------------------------------------
// Gram matrix G = X' X.
//
// The literal loop keeps one running sum per lower entry, G[a,b] += X[r,a]*X[r,b]
// over r = 0, 1, ..., n-1. The tiled form below computes exactly those sums: the
// rows are taken in chunks of kGramRows (so the chunk of X stays in cache while all
// tiles pass over it), and within a chunk an M-by-8 tile of G is held in registers,
// each lane adding its product for row r before row r+1. Entries of a tile that
// fall above the diagonal are computed too and later overwritten by the mirror.
// ---------------------------------------------------------------------------
constexpr i64 kGramRows = 128;

// G[a0+i, b0 .. b0+W-1] += X[r, a0+i] * X[r, b0 .. b0+W-1] for r = r0 .. r1-1 and
// i < M, with W = V vectors of type Vec.
template <class Vec, int M, int V>
[[gnu::always_inline]] inline void gram_tile(const f64 *QDL_RESTRICT X, f64 *QDL_RESTRICT G,
                                             i64 p, i64 r0, i64 r1, i64 a0, i64 b0) {
  constexpr int L = lanes<Vec>;
  Vec acc[M][V];
  for (int i = 0; i < M; ++i)
    for (int v = 0; v < V; ++v) acc[i][v] = load<Vec>(G + (a0 + i) * p + b0 + L * v);
  for (i64 r = r0; r < r1; ++r) {
    const f64 *xr = X + r * p;
    Vec xb[V];
    for (int v = 0; v < V; ++v) xb[v] = load<Vec>(xr + b0 + L * v);
    for (int i = 0; i < M; ++i) {
      const f64 xa = xr[a0 + i];
      for (int v = 0; v < V; ++v) acc[i][v] = acc[i][v] + xb[v] * xa;  // product, then add
    }
  }
  for (int i = 0; i < M; ++i)
    for (int v = 0; v < V; ++v) store<Vec>(G + (a0 + i) * p + b0 + L * v, acc[i][v]);
}

// gram_tile<Vec, m, V> for a run-time m in 1..M.
template <class Vec, int M, int V>
[[gnu::always_inline]] inline void gram_tile_m(int m, const f64 *X, f64 *G, i64 p, i64 r0,
                                               i64 r1, i64 a0, i64 b0) {
  if constexpr (M > 0) {
    if (m == M) {
      gram_tile<Vec, M, V>(X, G, p, r0, r1, a0, b0);
    } else {
      gram_tile_m<Vec, M - 1, V>(m, X, G, p, r0, r1, a0, b0);
    }
  }
}

// One chunk of rows [r0, r1) added into the lower triangle of G: tiles of MR rows by
// V vectors, then by one vector, then single columns.
template <class Vec, int MR, int V>
[[gnu::always_inline]] inline void gram_chunk(const f64 *QDL_RESTRICT X, f64 *QDL_RESTRICT G,
                                              i64 p, i64 r0, i64 r1) {
  constexpr i64 L = lanes<Vec>;
  constexpr i64 W = L * V;
  const i64 pw = p / W * W;  // columns covered by full wide tiles
  const i64 pl = p / L * L;  // ... and by one-vector tiles after them
  for (i64 a0 = 0; a0 < p; a0 += MR) {
    const int m = static_cast<int>(min_i64(MR, p - a0));
    const i64 last = a0 + m;  // tiles cover columns b < last (lower triangle with diagonal)
    i64 b0 = 0;
    for (; b0 < min_i64(last, pw); b0 += W) gram_tile_m<Vec, MR, V>(m, X, G, p, r0, r1, a0, b0);
    for (; b0 < min_i64(last, pl); b0 += L) gram_tile_m<Vec, MR, 1>(m, X, G, p, r0, r1, a0, b0);
    // Columns past the last vector tile, one running sum each.
    for (i64 a = a0 < pl ? pl : a0; a < last; ++a) {
      for (i64 b = pl; b <= a; ++b) {
        f64 s = G[a * p + b];
        for (i64 r = r0; r < r1; ++r) s = s + X[r * p + a] * X[r * p + b];
        G[a * p + b] = s;
      }
    }
  }
}

// g[a] += X[r, a] * y[r] for r = r0 .. r1-1 in ascending order (entries independent).
inline void rhs_rows(const f64 *QDL_RESTRICT X, const f64 *QDL_RESTRICT y, f64 *QDL_RESTRICT g,
                     i64 p, i64 r0, i64 r1) {
  for (i64 r = r0; r < r1; ++r) {
    const f64 *xr = X + r * p;
    const f64 yr = y[r];
    for (i64 a = 0; a < p; ++a) g[a] = g[a] + xr[a] * yr;
  }
}

// The lower triangle of X'X and, when g is given, X'y, in one pass over the rows of
// X: each chunk feeds every tile of G and then g while it is in cache. Every entry
// is still its own running sum over the rows in ascending order.
template <class Vec, int MR, int V>
[[gnu::always_inline]] inline void gram_lower(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n,
                                              i64 p) {
  for (i64 r0 = 0; r0 < n; r0 += kGramRows) {
    const i64 r1 = min_i64(n, r0 + kGramRows);
    gram_chunk<Vec, MR, V>(X, G, p, r0, r1);
    if (g != nullptr) rhs_rows(X, y, g, p, r0, r1);
  }
}

// Register budgets: 8 x 2 zmm accumulators (of 32), 4 x 3 ymm (of 16), 4 x 3 xmm (of 16).
QDL_TARGET_AVX512 void gram_lower_avx512(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n,
                                         i64 p) {
  gram_lower<qdl::simd::v8d, 8, 2>(X, y, G, g, n, p);
}
QDL_TARGET_AVX2 void gram_lower_avx2(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  gram_lower<qdl::simd::v4d, 4, 3>(X, y, G, g, n, p);
}
void gram_lower_base(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  gram_lower<qdl::simd::v2d, 4, 3>(X, y, G, g, n, p);
}

// G = X'X (full, exactly symmetric) and, when g is given, g = X'y.
void gram_full(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  if (p <= 0) return;
  qdl_zero_mat(G, p, p);
  if (g != nullptr) memset(g, 0, static_cast<size_t>(p) * sizeof(f64));
#if QDL_HAVE_ISA_DISPATCH
  switch (qdl::simd::best()) {
    case qdl::simd::Isa::avx512: gram_lower_avx512(X, y, G, g, n, p); break;
    case qdl::simd::Isa::avx2: gram_lower_avx2(X, y, G, g, n, p); break;
    default: gram_lower_base(X, y, G, g, n, p); break;
  }
#else
  gram_lower_base(X, y, G, g, n, p);
#endif
  // G[b,a] = G[a,b] for b < a: exactly symmetric.
  for (i64 a = 1; a < p; ++a)
    for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

}  // namespace

extern "C" {

void qdl_zero_mat(f64 *out, i64 r, i64 c) {
  if (r > 0 && c > 0) memset(out, 0, static_cast<size_t>(r * c) * sizeof(f64));
}

// Cholesky-Banachiewicz, L L' = S (+ jitter I). The recurrence of entry (i, j), j <= i:
//
//   s      = S[i,j] (+ jitter if i == j) - sum_{k<j} L[i,k] L[j,k]     (k ascending)
//   L[j,j] = sqrt(s)                        if s > pivot_tol, else fail at row j
//   L[i,j] = s / L[j,j]                     for i > j
//
// Entry (i, j) reads only columns < j of rows i and j, so once the pivot of column j
// is known the entries below it are independent of each other. They are evaluated
// column by column, four rows side by side, each with its own running sum in the
// order above: every entry is bit for bit the one of the row-by-row order, and the
// first failing pivot is the same. On failure the rows below the pivot, which the
// row order would not have reached, are cleared again.
int qdl_chol(const f64 *S, f64 jitter, f64 *L, i64 n) {
  qdl_zero_mat(L, n, n);
  if (n <= 0) return 0;
  const bool jit = jitter > 0.0;  // false for zero, negative and NaN jitter

  f64 scale = 0.0;
  for (i64 i = 0; i < n; ++i) {
    f64 d = S[i * n + i];
    if (jit) d = d + jitter;
    if (d > scale) scale = d;  // false for NaN: a NaN diagonal never raises the scale
  }
  const f64 pivot_tol = (static_cast<f64>(n) * scale) * 0x1p-52;  // (n * scale) * eps

  for (i64 j = 0; j < n; ++j) {
    const f64 *Lj = L + j * n;
    f64 s = S[j * n + j];
    if (jit) s = s + jitter;
    for (i64 k = 0; k < j; ++k) s = s - Lj[k] * Lj[k];
    if (s <= pivot_tol) {  // false for NaN: a NaN pivot is accepted
      for (i64 i = j + 1; i < n; ++i) memset(L + i * n, 0, static_cast<size_t>(j) * sizeof(f64));
      return -1;
    }
    const f64 d = sqrt(s);
    L[j * n + j] = d;

    i64 i = j + 1;
    for (; i + 4 <= n; i += 4) {
      const f64 *L0 = L + i * n, *L1 = L0 + n, *L2 = L1 + n, *L3 = L2 + n;
      f64 s0 = S[i * n + j], s1 = S[(i + 1) * n + j], s2 = S[(i + 2) * n + j],
          s3 = S[(i + 3) * n + j];
      for (i64 k = 0; k < j; ++k) {
        const f64 ljk = Lj[k];
        s0 = s0 - L0[k] * ljk;
        s1 = s1 - L1[k] * ljk;
        s2 = s2 - L2[k] * ljk;
        s3 = s3 - L3[k] * ljk;
      }
      L[i * n + j] = s0 / d;
      L[(i + 1) * n + j] = s1 / d;
      L[(i + 2) * n + j] = s2 / d;
      L[(i + 3) * n + j] = s3 / d;
    }
    for (; i < n; ++i) {
      const f64 *Li = L + i * n;
      f64 t = S[i * n + j];
      for (i64 k = 0; k < j; ++k) t = t - Li[k] * Lj[k];
      L[i * n + j] = t / d;
    }
  }
  return 0;
}

void qdl_forward_subst(const f64 *L, const f64 *b, f64 *out, i64 n) {
  // out[i] = (b[i] - L[i,:i] . out[:i]) / L[i,i]; b[i] is read only when out[i] is
  // written, so b and out may be the same array.
  for (i64 i = 0; i < n; ++i) {
    const f64 *Li = L + i * n;
    f64 s = 0.0;
    for (i64 j = 0; j < i; ++j) s = s + Li[j] * out[j];
    out[i] = (b[i] - s) / Li[i];
  }
}

void qdl_backward_subst_chol_t(const f64 *L, const f64 *b, f64 *out, i64 n) {
  // out[i] = (b[i] - L[i+1:,i] . out[i+1:]) / L[i,i], i descending, j ascending.
  for (i64 i = n - 1; i >= 0; --i) {
    f64 s = 0.0;
    for (i64 j = i + 1; j < n; ++j) s = s + L[j * n + i] * out[j];
    out[i] = (b[i] - s) / L[i * n + i];
  }
}

void qdl_gram(const f64 *X, f64 *G, i64 n, i64 p) { gram_full(X, nullptr, G, nullptr, n, p); }

void qdl_gram_rhs(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p) {
  if (p <= 0) return;
  memset(g, 0, static_cast<size_t>(p) * sizeof(f64));
  rhs_rows(X, y, g, p, 0, n);
}

int qdl_chol_solve(const f64 *G, const f64 *g, f64 *coef, f64 *scratch_L, i64 p) {
  const int status = qdl_chol(G, 0.0, scratch_L, p);
  if (status == 0) {
    qdl_forward_subst(scratch_L, g, coef, p);            // L z = g
    qdl_backward_subst_chol_t(scratch_L, coef, coef, p);  // L' coef = z, in place
  }
  return status;
}

int qdl_chol_inv(const f64 *G, f64 *Pinv, f64 *scratch_L, i64 p) {
  const int status = qdl_chol(G, 0.0, scratch_L, p);
  if (status != 0 || p <= 0) return status;
  const f64 *L = scratch_L;
  for (i64 j = 0; j < p; ++j) {
    // Column j of G^-1: L z = e_j, then L' x = z, both in column j of Pinv.
    for (i64 i = 0; i < p; ++i) {
      f64 s = 0.0;
      for (i64 t = 0; t < i; ++t) s = s + L[i * p + t] * Pinv[t * p + j];
      const f64 rhs = i == j ? 1.0 : 0.0;
      Pinv[i * p + j] = (rhs - s) / L[i * p + i];
    }
    for (i64 i = p - 1; i >= 0; --i) {
      f64 s = 0.0;
      for (i64 t = i + 1; t < p; ++t) s = s + L[t * p + i] * Pinv[t * p + j];
      Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
    }
  }
  return 0;
}

f64 qdl_logdet_from_chol(const f64 *L, i64 n) {
  if (n <= 0) return 0.0;
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = s + log(L[i * n + i]);
  return s + s;
}

}  // extern "C"

namespace qdl {

void gram_and_rhs(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  gram_full(X, y, G, g, n, p);
}

}  // namespace qdl
