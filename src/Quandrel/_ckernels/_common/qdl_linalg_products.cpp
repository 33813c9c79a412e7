// Dense real linear algebra: matrix products, matrix-vector products, the vector
// difference and dot product, and the in-place symmetrisation (see qdl_linalg.h for the
// contracts).

#include "qdl_linalg.h"

#include <string.h>

#include "qdl_linalg_impl.h"
#include "qdl_parallel_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::min_i64;
using qdl::quiet_nan;
using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::per_width;
using qdl::simd::splat;
using qdl::simd::store;

// Whether the three operands of a product, r0-by-c0, r1-by-c1 and r2-by-c2, can exist.
inline bool operands_fit(i64 r0, i64 c0, i64 r1, i64 c1, i64 r2, i64 c2) {
  return qdl::fits(r0, c0) && qdl::fits(r1, c1) && qdl::fits(r2, c2);
}

// ---------------------------------------------------------------------------
// Tiled matrix products.
//
// Every product entry is one running sum, s = 0.0; s = s + a(i,k) * b(k,j) for
// k = 0, 1, ..., K-1. The blocking follows Goto & van de Geijn, "Anatomy of
// high-performance matrix multiplication" (ACM TOMS 34(3), 2008), restricted to
// evaluating independent sums side by side:
//  - k runs in blocks of kKc; an entry's partial sum is stored in `out` after one
//    block and reloaded for the next, so its additions keep their order;
//  - the columns of a block are taken in panels of NR = NV vectors, packed k-major into a
//    stack buffer (panel[k][c] = b(k0+k, j0+c), zero past the last column);
//  - an M-by-NR tile of sums stays in registers while k runs over the block, one
//    lane per entry, each adding its product for k before the one for k+1.
// ---------------------------------------------------------------------------
constexpr i64 kKc = 160;  // a panel of 160 x 48 doubles (60 KiB) on the stack with AVX-512

// a(i,k) = A[i*lda + k], or A[k*lda + i] when AT (the operand is transposed).
template <bool AT>
[[gnu::always_inline]] inline const f64 *a_at(const f64 *A, i64 lda, i64 i, i64 k) {
  return AT ? A + k * lda + i : A + i * lda + k;
}

// c[r, 0..NR) (row stride ldc) = (first ? 0.0 : c[r, :]) + sum_{k<kc} a(i0+r, k0+k) panel[k, :]
// for r < M, each lane's sum in ascending k; NR = NV vectors of Vec.
template <class Vec, int M, int NV, bool AT>
[[gnu::always_inline]] inline void prod_tile(const f64 *QDL_RESTRICT A, i64 lda, i64 i0, i64 k0,
                                             i64 kc, const f64 *QDL_RESTRICT panel,
                                             f64 *QDL_RESTRICT c, i64 ldc, bool first) {
  constexpr int N = lanes<Vec>;
  constexpr int NR = N * NV;
  Vec acc[M][NV];
  for (int r = 0; r < M; ++r)
    for (int v = 0; v < NV; ++v)
      acc[r][v] = first ? splat<Vec>(0.0) : load<Vec>(c + r * ldc + N * v);
  const f64 *a0 = a_at<AT>(A, lda, i0, k0);
  const i64 row_step = AT ? 1 : lda, k_step = AT ? lda : 1;
  for (i64 k = 0; k < kc; ++k) {
    Vec b[NV];
    for (int v = 0; v < NV; ++v) b[v] = load<Vec>(panel + k * NR + N * v);
    for (int r = 0; r < M; ++r) {
      const f64 a = a0[r * row_step + k * k_step];  // broadcast by the scalar-vector product
      for (int v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + a * b[v];  // product, then add
    }
  }
  for (int r = 0; r < M; ++r)
    for (int v = 0; v < NV; ++v) store<Vec>(c + r * ldc + N * v, acc[r][v]);
}

// prod_tile<Vec, mr> for a run-time mr in 1..M.
template <class Vec, int M, int NV, bool AT>
[[gnu::always_inline]] inline void prod_tile_m(int mr, const f64 *A, i64 lda, i64 i0, i64 k0,
                                               i64 kc, const f64 *panel, f64 *c, i64 ldc,
                                               bool first) {
  qdl::simd::with_count<M>(mr, [&](auto mc) QDL_INLINE {
    prod_tile<Vec, mc, NV, AT>(A, lda, i0, k0, kc, panel, c, ldc, first);
  });
}

// out (rows*cols) = sum_{k<K} a(i,k) b(k,j), b(k,j) = B[k*ldb + j], or B[j*ldb + k] when BT,
// for the rows [i_begin, i_end) and columns [j_begin, j_end) of out (j_begin a multiple
// of the panel width, or 0). Requires rows, cols, K > 0.
template <class Vec, int M, int NV, bool AT, bool BT>
[[gnu::always_inline]] inline void product(const f64 *QDL_RESTRICT A, i64 lda,
                                           const f64 *QDL_RESTRICT B, i64 ldb,
                                           f64 *QDL_RESTRICT out, i64 cols, i64 K, i64 i_begin,
                                           i64 i_end, i64 j_begin, i64 j_end) {
  constexpr int NR = lanes<Vec> * NV;
  alignas(64) f64 panel[kKc * NR];
  alignas(64) f64 edge[M * NR];  // a tile whose panel is cut by the last column
  for (i64 k0 = 0; k0 < K; k0 += kKc) {
    const i64 kc = min_i64(kKc, K - k0);
    const bool first = k0 == 0;
    for (i64 j0 = j_begin; j0 < j_end; j0 += NR) {
      const i64 w = min_i64(NR, j_end - j0);
      // panel[k][c] = b(k0+k, j0+c) for c < w, 0.0 beyond; B is read along its rows.
      if (BT) {
        for (i64 c = 0; c < w; ++c) {
          const f64 *bc = B + (j0 + c) * ldb + k0;
          for (i64 k = 0; k < kc; ++k) panel[k * NR + c] = bc[k];
        }
      } else {
        for (i64 k = 0; k < kc; ++k)
          memcpy(panel + k * NR, B + (k0 + k) * ldb + j0, static_cast<size_t>(w) * sizeof(f64));
      }
      for (i64 k = 0; k < kc; ++k)
        for (i64 c = w; c < NR; ++c) panel[k * NR + c] = 0.0;
      for (i64 i0 = i_begin; i0 < i_end; i0 += M) {
        const int mr = static_cast<int>(min_i64(M, i_end - i0));
        f64 *c = out + i0 * cols + j0;
        // The next tile's sums, on their way from memory while this tile runs.
        for (i64 r = i0 + M; r < min_i64(i0 + 2 * M, i_end); ++r)
          for (i64 l = 0; l < w; l += 8) __builtin_prefetch(out + r * cols + j0 + l, 1);
        if (w == NR) {
          prod_tile_m<Vec, M, NV, AT>(mr, A, lda, i0, k0, kc, panel, c, cols, first);
          continue;
        }
        for (int r = 0; r < mr && !first; ++r)
          memcpy(edge + r * NR, c + r * cols, static_cast<size_t>(w) * sizeof(f64));
        prod_tile_m<Vec, M, NV, AT>(mr, A, lda, i0, k0, kc, panel, edge, NR, first);
        for (int r = 0; r < mr; ++r)
          memcpy(c + r * cols, edge + r * NR, static_cast<size_t>(w) * sizeof(f64));
      }
    }
  }
}

enum class Shape { ab, atb, abt };

// One block of the output of a product shape: out rows [i0, i1), columns [j0, j1).
struct Block {
  i64 i0, i1, j0, j1;
};

// The three product shapes, each with its operand layout; n, p, m > 0.
template <class Vec, int M, int NV>
[[gnu::always_inline]] inline void product_shape(Shape s, const f64 *A, const f64 *B, f64 *out,
                                                 i64 n, i64 p, i64 m, Block b) {
  switch (s) {
    case Shape::ab:  // A B
      product<Vec, M, NV, false, false>(A, p, B, m, out, m, p, b.i0, b.i1, b.j0, b.j1);
      break;
    case Shape::atb:  // A' B
      product<Vec, M, NV, true, false>(A, p, B, m, out, m, n, b.i0, b.i1, b.j0, b.j1);
      break;
    case Shape::abt:  // A B'
      product<Vec, M, NV, false, true>(A, p, B, p, out, m, p, b.i0, b.i1, b.j0, b.j1);
      break;
  }
}

// Register budgets: 4 x 6 zmm accumulators (of 32; 4 broadcasts and 6 loads per 24
// multiply-adds; measurements in docs/benchmarks.md), 6 x 2 ymm (of 16), 4 x 2 xmm (of 16).
struct Product {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(Shape s, const f64 *A, const f64 *B, f64 *out,
                                                i64 n, i64 p, i64 m, Block b) {
    product_shape<Vec, per_width<Vec>(4, 6, 4), per_width<Vec>(6, 2, 2)>(s, A, B, out, n, p, m, b);
  }
};

// The product of shape s; n, p, m > 0. The threads share the output in blocks of whole
// rows when it has at least as many rows as columns, of whole columns otherwise; block
// edges fall on multiples of every tile height or panel width (48).
void product_dispatch(Shape s, const f64 *A, const f64 *B, f64 *out, i64 n, i64 p, i64 m) {
  const i64 rows = s == Shape::atb ? p : n, K = s == Shape::atb ? n : p, cols = m;
  const f64 work = static_cast<f64>(rows) * static_cast<f64>(cols) * static_cast<f64>(K);
  const bool by_rows = rows >= cols;
  const i64 count = by_rows ? rows : cols;
  qdl::par::run_shared(work, qdl::par::kProdGrain, count, 48, [&](qdl::par::Range r) {
    Block b = {0, rows, 0, cols};
    if (by_rows) {
      b.i0 = r.begin, b.i1 = r.end;
    } else {
      b.j0 = r.begin, b.j1 = r.end;
    }
    if (b.i0 < b.i1 && b.j0 < b.j1)
      qdl::simd::dispatch<Product>(s, A, B, out, n, p, m, b);
  });
}

// out (n*m) = A B' for n, m > 0; zeros when p <= 0.
void abt_into(const f64 *A, const f64 *B, f64 *out, i64 n, i64 p, i64 m) {
  if (p > 0) {
    product_dispatch(Shape::abt, A, B, out, n, p, m);
  } else {
    qdl_zero_mat(out, n, m);
  }
}

// Row sums of A x side by side: out[i] = start[i] + sum_j A[i,j] x[j] (j ascending),
// with start[i] = 0.0 when start is NULL, for rows [i0, i1). Four rows share each x[j].
void matvec_block(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x,
                  const f64 *QDL_RESTRICT start, f64 *QDL_RESTRICT out, i64 m, i64 i0, i64 i1) {
  i64 i = i0;
  for (; i + 4 <= i1; i += 4) {
    const f64 *a0 = A + i * m, *a1 = a0 + m, *a2 = a1 + m, *a3 = a2 + m;
    f64 s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    if (start) s0 = start[i], s1 = start[i + 1], s2 = start[i + 2], s3 = start[i + 3];
    for (i64 j = 0; j < m; ++j) {
      const f64 xj = x[j];
      s0 = s0 + a0[j] * xj;
      s1 = s1 + a1[j] * xj;
      s2 = s2 + a2[j] * xj;
      s3 = s3 + a3[j] * xj;
    }
    out[i] = s0, out[i + 1] = s1, out[i + 2] = s2, out[i + 3] = s3;
  }
  for (; i < i1; ++i) {
    const f64 *ai = A + i * m;
    f64 s = start ? start[i] : 0.0;
    for (i64 j = 0; j < m; ++j) s = s + ai[j] * x[j];
    out[i] = s;
  }
}

// matvec_block over all n rows, the threads sharing the rows.
void matvec_rows(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x,
                 const f64 *QDL_RESTRICT start, f64 *QDL_RESTRICT out, i64 n, i64 m) {
  const f64 work = static_cast<f64>(n) * static_cast<f64>(m > 0 ? m : 0);
  qdl::par::run_shared(work, qdl::par::kRhsGrain, n, 8, [&](qdl::par::Range r) {
    matvec_block(A, x, start, out, m, r.begin, r.end);
  });
}

}  // namespace

extern "C" {

void qdl_sym_inplace(f64 *QDL_RESTRICT P, i64 n) {
  if (!qdl::fits(n, n)) return;
  for (i64 i = 0; i < n; ++i)
    for (i64 j = i + 1; j < n; ++j) {
      const f64 avg = (P[i * n + j] + P[j * n + i]) * 0.5;  // summed before halving
      P[i * n + j] = avg;
      P[j * n + i] = avg;
    }
}

void qdl_matmul(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT out, i64 n,
                i64 p, i64 m) {
  if (n <= 0 || m <= 0 || !operands_fit(n, p, p, m, n, m)) return;
  if (p <= 0) {
    qdl_zero_mat(out, n, m);
    return;
  }
  product_dispatch(Shape::ab, A, B, out, n, p, m);
}

void qdl_matmul_atb(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT out,
                    i64 n, i64 p, i64 m) {
  if (!operands_fit(n, p, n, m, p, m)) return;
  qdl_zero_mat(out, p, m);
  if (n <= 0 || p <= 0 || m <= 0) return;
  // out[k,l] = sum_i A[i,k] B[i,l], i ascending from 0.0: the rank-one updates of
  // rows 0, 1, ..., n-1 in order, each entry its own running sum.
  product_dispatch(Shape::atb, A, B, out, n, p, m);
}

void qdl_matmul_abt(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B, f64 *QDL_RESTRICT out,
                    i64 n, i64 p, i64 m) {
  if (n <= 0 || m <= 0 || !operands_fit(n, p, m, p, n, m)) return;
  abt_into(A, B, out, n, p, m);
}

void qdl_matmul_abt_plus_c(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT B,
                           const f64 *QDL_RESTRICT C, f64 *QDL_RESTRICT out, i64 n, i64 p, i64 m) {
  if (n <= 0 || m <= 0 || !operands_fit(n, p, m, p, n, m)) return;
  abt_into(A, B, out, n, p, m);
  // out = C + s, the offset added once the sum is complete.
  for (i64 t = 0; t < n * m; ++t) out[t] = C[t] + out[t];
}

void qdl_matvec(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x, f64 *QDL_RESTRICT out, i64 n,
                i64 m) {
  if (n <= 0 || !qdl::fits(n, m)) return;
  matvec_rows(A, x, nullptr, out, n, m);
}

void qdl_matvec_plus_vec(const f64 *QDL_RESTRICT A, const f64 *QDL_RESTRICT x,
                         const f64 *QDL_RESTRICT b, f64 *QDL_RESTRICT out, i64 n, i64 m) {
  if (n <= 0 || !qdl::fits(n, m)) return;
  matvec_rows(A, x, b, out, n, m);  // each row's sum starts at b[i]
}

void qdl_vsub(const f64 *a, const f64 *b, f64 *out, i64 n) {
  // Possibly overlapping buffers: the compiler checks for overlap and keeps the
  // element-at-a-time semantics when it finds any.
  if (!qdl::fits(n)) return;
  for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 qdl_dot(const f64 *QDL_RESTRICT a, const f64 *QDL_RESTRICT b, i64 n) {
  if (!qdl::fits(n)) return quiet_nan();
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

}  // extern "C"
