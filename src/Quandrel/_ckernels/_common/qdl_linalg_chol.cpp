// Dense real linear algebra: the Cholesky toolkit, with the Gram matrix and X'y of the
// normal equations (see qdl_linalg.h for the contracts).

#include "qdl_linalg.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "qdl_linalg_impl.h"
#include "qdl_parallel_impl.h"
#include "qdl_simd.h"
#include "qdl_trace_impl.h"

namespace {

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::per_width;
using qdl::simd::store;
using qdl::simd::v4d;
using qdl::min_i64;

using qdl::quiet_nan;

// ---------------------------------------------------------------------------
// Gram matrix G = X' X.
//
// The literal loop keeps one running sum per lower entry, G[a,b] += X[r,a]*X[r,b]
// over r = 0, 1, ..., n-1. The tiled form below computes exactly those sums: the
// rows are taken in chunks of kGramRows (so the chunk of X stays in cache while all
// tiles pass over it), and within a chunk an M-by-8 tile of G is held in registers,
// each lane adding its product for row r before row r+1. Entries of a tile that
// fall above the diagonal are computed too and later overwritten by the mirror.
// Row r of X starts at X + r*ldx (qdl_gram reads X with ldx = p; the moments kernels
// read the first p columns of wider rows).
// ---------------------------------------------------------------------------
constexpr i64 kGramRows = 128;

// Rows ahead whose tile columns the widest tiles prefetch (only they gain; measurements
// in docs/benchmarks.md).
constexpr i64 kGramAhead = 8;

// G[a0+i, b0 .. b0+W-1] += X[r, a0+i] * X[r, b0 .. b0+W-1] for r = r0 .. r1-1 and
// i < M, with W = V vectors of type Vec and, when H, one vector of half their width.
template <class Vec, int M, int V, bool H>
[[gnu::always_inline]] inline void gram_tile(const f64 *QDL_RESTRICT X, i64 ldx,
                                             f64 *QDL_RESTRICT G, i64 p, i64 r0, i64 r1, i64 a0,
                                             i64 b0) {
  using Hv = qdl::simd::Half<Vec>;
  constexpr int L = lanes<Vec>;
  constexpr int VA = V > 0 ? V : 1;
  Vec acc[M][VA];
  Hv half[M];
  f64 *g = G + a0 * p + b0;
  for (int i = 0; i < M; ++i) {
    for (int v = 0; v < V; ++v) acc[i][v] = load<Vec>(g + i * p + L * v);
    if constexpr (H) half[i] = load<Hv>(g + i * p + L * V);
  }
  const auto row = [&](i64 r) {
    const f64 *xr = X + r * ldx;
    Vec xb[VA];
    Hv xh;
    for (int v = 0; v < V; ++v) xb[v] = load<Vec>(xr + b0 + L * v);
    if constexpr (H) xh = load<Hv>(xr + b0 + L * V);
    for (int i = 0; i < M; ++i) {
      const f64 xa = xr[a0 + i];
      for (int v = 0; v < V; ++v) acc[i][v] = acc[i][v] + xb[v] * xa;  // product, then add
      if constexpr (H) half[i] = half[i] + xh * xa;
    }
  };
  i64 r = r0;
  // The widest tiles fetch their lines of row r + kGramAhead ahead (one per 64 bytes),
  // as long as that row is in the chunk.
  if constexpr (V == per_width<Vec>(6, 3, 3) && !H) {
    for (; r + kGramAhead < r1; ++r) {
      for (int q = 0; q < (L * V + 7) / 8; ++q)
        __builtin_prefetch(X + (r + kGramAhead) * ldx + b0 + 8 * q, 0, 3);
      row(r);
    }
  }
  for (; r < r1; ++r) row(r);
  for (int i = 0; i < M; ++i) {
    for (int v = 0; v < V; ++v) store<Vec>(g + i * p + L * v, acc[i][v]);
    if constexpr (H) store<Hv>(g + i * p + L * V, half[i]);
  }
}

// G[a0+i, b] += X[r, a0+i] * X[r, b] for r = r0 .. r1-1, i < M and the columns b in
// [pl, p) that no vector tile covers (p - L <= pl, p >= L). The lanes are the last L
// columns of the row, p-L .. p-1, so every load stays inside X and G; the lanes left
// of pl belong to other tiles and are computed but never stored.
template <class Vec, int M>
[[gnu::always_inline]] inline void gram_tail(const f64 *QDL_RESTRICT X, i64 ldx,
                                             f64 *QDL_RESTRICT G, i64 p, i64 r0, i64 r1, i64 a0,
                                             i64 pl) {
  constexpr int L = lanes<Vec>;
  const i64 c0 = p - L;
  Vec acc[M];
  for (int i = 0; i < M; ++i) acc[i] = load<Vec>(G + (a0 + i) * p + c0);
  for (i64 r = r0; r < r1; ++r) {
    const f64 *xr = X + r * ldx;
    const Vec xb = load<Vec>(xr + c0);
    for (int i = 0; i < M; ++i) acc[i] = acc[i] + xb * xr[a0 + i];  // product, then add
  }
  for (int i = 0; i < M; ++i)
    for (i64 j = pl - c0; j < L; ++j) G[(a0 + i) * p + c0 + j] = acc[i][j];
}

// gram_tile<Vec, m, v, H> for a run-time m in 1..M and v in 0..V (1..V without the half
// vector).
template <class Vec, int M, int V, bool H>
[[gnu::always_inline]] inline void gram_tile_mv(int v, int m, const f64 *X, i64 ldx, f64 *G, i64 p,
                                                i64 r0, i64 r1, i64 a0, i64 b0) {
  qdl::simd::with_count<V, H ? 0 : 1>(v, [&](auto vc) QDL_INLINE {
    qdl::simd::with_count<M>(m, [&](auto mc) QDL_INLINE {
      gram_tile<Vec, mc, vc, H>(X, ldx, G, p, r0, r1, a0, b0);
    });
  });
}

// The lines of the next chunk's rows (their columns [0, a_end) that the tiles will read),
// fetched towards the second-level cache a few at a time while the strips of the current
// chunk run, so that the first strips of the next chunk do not wait for memory.
struct NextChunk {
  const f64 *X;
  i64 ldx, cols, r, r_end, c = 0;
  void fetch(i64 lines) {
    for (; lines > 0 && r < r_end; --lines) {
      __builtin_prefetch(X + r * ldx + c, 0, 2);
      c += 8;
      if (c >= cols) c = 0, ++r;
    }
  }
};

// One chunk of rows [r0, r1) added into rows [a_begin, a_end) of the lower triangle of G
// (a_begin a multiple of MR): strips of MR rows, each covered by tiles of V vectors and
// one narrower tile up to the vector that holds its diagonal, then by a tail tile.
template <class Vec, int MR, int V>
[[gnu::always_inline]] inline void gram_chunk(const f64 *QDL_RESTRICT X, i64 ldx,
                                              f64 *QDL_RESTRICT G, i64 p, i64 r0, i64 r1,
                                              i64 a_begin, i64 a_end, NextChunk next) {
  constexpr i64 L = lanes<Vec>;
  constexpr i64 W = L * V;
  const i64 pl = p / L * L;  // columns covered by vector tiles
  const i64 strips = (a_end - a_begin + MR - 1) / MR;
  const i64 per_strip = ((next.r_end - next.r) * ((next.cols + 7) / 8) + strips - 1) / strips;
  for (i64 a0 = a_begin; a0 < a_end; a0 += MR) {
    next.fetch(per_strip);
    const int m = static_cast<int>(min_i64(MR, a_end - a0));
    const i64 last = a0 + m;  // tiles cover columns b < last (lower triangle with diagonal)
    // Whole vectors up to `end`, no vector tile past the diagonal; where the diagonal ends
    // within the first half of a vector, a half vector finishes the strip instead.
    const i64 need = min_i64(last, pl), rem = need % L;
    const bool half = L > 1 && rem > 0 && rem <= L / 2;
    const i64 end = half ? need - rem : (need + L - 1) / L * L;
    i64 b0 = 0;
    for (; b0 + W <= end; b0 += W)
      gram_tile_mv<Vec, MR, V, false>(V, m, X, ldx, G, p, r0, r1, a0, b0);
    const int nv = static_cast<int>((end - b0) / L);
    if (half) {
      gram_tile_mv<Vec, MR, V - 1, true>(nv, m, X, ldx, G, p, r0, r1, a0, b0);
    } else if (nv > 0) {
      gram_tile_mv<Vec, MR, V, false>(nv, m, X, ldx, G, p, r0, r1, a0, b0);
    }
    // Columns past the last vector tile: one tile over the row's last vector.
    const i64 at = a0 < pl ? pl : a0;  // first row of the strip with entries there
    if (at < last) {
      if (p >= L) {
        qdl::simd::with_count<MR>(last - at, [&](auto mc) QDL_INLINE {
          gram_tail<Vec, mc>(X, ldx, G, p, r0, r1, at, pl);
        });
      } else {
        for (i64 a = at; a < last; ++a) {  // p < L: one running sum each
          for (i64 b = pl; b <= a; ++b) {
            f64 s = G[a * p + b];
            for (i64 r = r0; r < r1; ++r) s = s + X[r * ldx + a] * X[r * ldx + b];
            G[a * p + b] = s;
          }
        }
      }
    }
  }
}

// g[a + j] += X[r, a + j] * y[r] for r = r0 .. r1-1 in ascending order and j < B, the
// B running sums held in registers while the rows pass.
template <int B>
inline void rhs_block(const f64 *QDL_RESTRICT X, i64 ldx, const f64 *QDL_RESTRICT y,
                      f64 *QDL_RESTRICT g, i64 r0, i64 r1, i64 a) {
  f64 acc[B];
  for (int j = 0; j < B; ++j) acc[j] = g[a + j];
  for (i64 r = r0; r < r1; ++r) {
    const f64 *xr = X + r * ldx + a;
    const f64 yr = y[r];
    for (int j = 0; j < B; ++j) acc[j] = acc[j] + xr[j] * yr;
  }
  for (int j = 0; j < B; ++j) g[a + j] = acc[j];
}

// g[a] += X[r, a] * y[r] for r = r0 .. r1-1 in ascending order and a in [a0, a1)
// (entries independent). Eight entries at a time, then the rest together, are held in
// registers while the rows pass, so g is written once per call (and a thread writing
// its own entries of g does not disturb another's cache line row after row).
inline void rhs_rows(const f64 *QDL_RESTRICT X, i64 ldx, const f64 *QDL_RESTRICT y,
                     f64 *QDL_RESTRICT g, i64 r0, i64 r1, i64 a0, i64 a1) {
  constexpr int B = 8;
  i64 a = a0;
  for (; a + B <= a1; a += B) rhs_block<B>(X, ldx, y, g, r0, r1, a);
  qdl::simd::with_count<B - 1>(a1 - a, [&](auto bc) QDL_INLINE {
    rhs_block<bc>(X, ldx, y, g, r0, r1, a);
  });
}

// Rows [a_begin, a_end) of the lower triangle of X'X and, when g is given, the same
// entries of X'y, in one pass over the rows of X: each chunk feeds every tile and
// then g while it is in cache. Every entry is its own running sum over the rows in
// ascending order, whichever rows of G a call is given. The rows of X below `rows` (at
// least n) exist and may be fetched ahead, past the last chunk of the call.
template <class Vec, int MR, int V>
[[gnu::always_inline]] inline void gram_lower(const f64 *X, i64 ldx, const f64 *y, f64 *G, f64 *g,
                                              i64 n, i64 p, i64 a_begin, i64 a_end, i64 rows) {
  for (i64 r0 = 0; r0 < n; r0 += kGramRows) {
    const i64 r1 = min_i64(n, r0 + kGramRows);
    const NextChunk next{X, ldx, min_i64(p, a_end), r1, min_i64(rows, r1 + kGramRows)};
    gram_chunk<Vec, MR, V>(X, ldx, G, p, r0, r1, a_begin, a_end, next);
    if (g != nullptr) rhs_rows(X, ldx, y, g, r0, r1, a_begin, a_end);
  }
}

// Register budgets: 4 x 6 zmm accumulators with 6 row vectors and a broadcast (31 of 32),
// 4 x 3 ymm (of 16), 4 x 3 xmm (of 16); each broadcast X[r, a] feeds V vectors (the
// measurements behind the shape: docs/benchmarks.md). Strips are kGramStrip = 8 rows of G
// in every variant (a multiple of each MR), so that the pieces of a threaded Gram do not
// depend on the instruction set.
constexpr i64 kGramStrip = 8;

struct GramLower {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const f64 *X, i64 ldx, const f64 *y, f64 *G, f64 *g,
                                                i64 n, i64 p, i64 a0, i64 a1, i64 rows) {
    // Rows of 4 to 7 columns take vectors of half the width rather than one running
    // sum per entry ((100, 5): 4.6 times faster); below 4, two-lane tiles gain nothing
    // over the running sums.
    if constexpr (lanes<Vec> == 8) {
      if (p >= 4 && p < 8) return run<v4d>(X, ldx, y, G, g, n, p, a0, a1, rows);
    }
    gram_lower<Vec, 4, per_width<Vec>(6, 3, 3)>(X, ldx, y, G, g, n, p, a0, a1, rows);
  }
};

// Threaded Gram. The pieces: the rows of X in chunks of kGramRows, the rows of G in at
// most kGramGroups groups of whole strips with about equal shares of the lower triangle
// (row a has a + 1 entries); piece (k, s) adds chunk k into group s. A group's chunks
// must be added in order (each entry is one running sum over the rows of X), so a
// thread that takes piece (k, s) first waits until group s has k chunks; pieces are
// taken chunk by chunk, so that wait is for a piece another thread is computing, and is
// rare while there are more groups than threads. Few groups keep each thread's pass over
// a chunk long (every group a thread takes reads the chunk again); the many chunks
// balance the threads. Measurements in docs/benchmarks.md.
constexpr i64 kGramPanel = 1;  // chunks per piece
constexpr int kGramGroups = 4;

// First row of G of group u among `groups`: the multiple of kGramStrip nearest to where
// the first u/groups of the triangle's entries end.
i64 gram_group_start(i64 p, int u, int groups) {
  if (u >= groups) return p;
  const f64 a = sqrt(static_cast<f64>(p) * static_cast<f64>(p + 1) * u / groups);
  return min_i64(p, static_cast<i64>(a / kGramStrip + 0.5) * kGramStrip);
}

void gram_pieces(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p, int want) {
  const i64 strips = (p + kGramStrip - 1) / kGramStrip;
  const int groups = static_cast<int>(min_i64(kGramGroups, strips));
  i64 start[kGramGroups + 1];
  for (int u = 0; u <= groups; ++u) start[u] = gram_group_start(p, u, groups);
  const i64 panel_rows = kGramPanel * kGramRows, panels = (n + panel_rows - 1) / panel_rows;
  std::atomic<i64> done[kGramGroups];  // panels added into each group
  for (int u = 0; u < groups; ++u) done[u].store(0, std::memory_order_relaxed);
  qdl::par::run_pieces(want, panels * groups, [&](i64 q, int) {
    const i64 k = q / groups;
    const int u = static_cast<int>(q % groups);
    if (start[u] >= start[u + 1]) return;  // an empty group (a small triangle)
    qdl::par::wait_until(done[u], k);
    const i64 r0 = k * panel_rows;
    qdl::simd::dispatch<GramLower>(X + r0 * p, p, g != nullptr ? y + r0 : y, G, g,
                                   min_i64(panel_rows, n - r0), p, start[u], start[u + 1], n - r0);
    done[u].store(k + 1, std::memory_order_release);
  });
}

// G = X'X (full, exactly symmetric) and, when g is given, g = X'y: one pass over X on
// one thread; on several, the pieces above (the same sums in the same order).
void gram_full(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  if (p <= 0) return;
  qdl_zero_mat(G, p, p);
  if (g != nullptr) memset(g, 0, static_cast<size_t>(p) * sizeof(f64));
  const f64 work = static_cast<f64>(n) * static_cast<f64>(p) * static_cast<f64>(p + 3) * 0.5;
  const int want = qdl::par::threads_for(work, qdl::par::kGramGrain);
  if (want > 1 && p > kGramStrip) {
    gram_pieces(X, y, G, g, n, p, want);
  } else if (n > 0) {
    qdl::simd::dispatch<GramLower>(X, p, y, G, g, n, p, i64{0}, p, n);
  }
  qdl::gram_mirror(G, p);
}

// g = X'y, the threads sharing the entries of g (stretches of whole cache lines).
void rhs_full(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p) {
  memset(g, 0, static_cast<size_t>(p) * sizeof(f64));
  const f64 work = static_cast<f64>(n) * static_cast<f64>(p);
  qdl::par::run_shared(work, qdl::par::kRhsGrain, p, 8, [&](qdl::par::Range a) {
    for (i64 r0 = 0; r0 < n; r0 += kGramRows)
      rhs_rows(X, p, y, g, r0, min_i64(n, r0 + kGramRows), a.begin, a.end);
  });
}

}  // namespace

extern "C" {

void qdl_zero_mat(f64 *out, i64 r, i64 c) {
  if (r > 0 && c > 0 && qdl::fits(r, c)) memset(out, 0, static_cast<size_t>(r * c) * sizeof(f64));
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
  if (!qdl::fits(n, n)) return -1;  // no such matrix: nothing is read or written
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
  if (!qdl::fits(n, n)) return;
  for (i64 i = 0; i < n; ++i) {
    const f64 *Li = L + i * n;
    f64 s = 0.0;
    for (i64 j = 0; j < i; ++j) s = s + Li[j] * out[j];
    out[i] = (b[i] - s) / Li[i];
  }
}

void qdl_backward_subst_chol_t(const f64 *L, const f64 *b, f64 *out, i64 n) {
  // out[i] = (b[i] - L[i+1:,i] . out[i+1:]) / L[i,i], i descending, j ascending.
  if (!qdl::fits(n, n)) return;
  for (i64 i = n - 1; i >= 0; --i) {
    f64 s = 0.0;
    for (i64 j = i + 1; j < n; ++j) s = s + L[j * n + i] * out[j];
    out[i] = (b[i] - s) / L[i * n + i];
  }
}

void qdl_gram(const f64 *X, f64 *G, i64 n, i64 p) {
  if (qdl::fits(n, p) && qdl::fits(p, p)) gram_full(X, nullptr, G, nullptr, n, p);
}

void qdl_gram_rhs(const f64 *X, const f64 *y, f64 *g, i64 n, i64 p) {
  if (p <= 0 || !qdl::fits(n, p)) return;
  rhs_full(X, y, g, n, p);
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
  // Column j of G^-1: L z = e_j, then L' x = z, in column j of Pinv, every column whole
  // (the column solves of the trace, with the identity for B, solved in place).
  qdl_zero_mat(Pinv, p, p);
  for (i64 j = 0; j < p; ++j) Pinv[j * p + j] = 1.0;
  qdl::simd::dispatch<qdl::trace_detail::Columns>(static_cast<const f64 *>(scratch_L),
                                                  static_cast<const f64 *>(Pinv), p, Pinv, p, p,
                                                  i64{0}, p, i64{0}, i64{0});
  return 0;
}

f64 qdl_logdet_from_chol(const f64 *L, i64 n) {
  if (n <= 0) return 0.0;
  if (!qdl::fits(n, n)) return quiet_nan();
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = s + log(L[i * n + i]);
  return s + s;
}

}  // extern "C"

namespace qdl {

void gram_and_rhs(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p) {
  gram_full(X, y, G, g, n, p);
}

void gram_accumulate(const f64 *X, i64 ldx, f64 *G, i64 n, i64 p) {
  if (n > 0 && p > 0) qdl::simd::dispatch<GramLower>(X, ldx, nullptr, G, nullptr, n, p, i64{0}, p, n);
}

void gram_mirror(f64 *G, i64 p) {
  for (i64 a = 1; a < p; ++a)
    for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

}  // namespace qdl
