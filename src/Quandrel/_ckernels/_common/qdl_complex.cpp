// Dense complex linear algebra (see qdl_complex.h for the contracts).
//
// A c128 array is read as consecutive f64 pairs (re, im); a vector of N doubles
// holds N/2 complex entries. Vector forms of the header arithmetic evaluate, lane by lane, exactly
// the scalar formulas: the real and imaginary lanes of a result are computed as
// two full vectors and the wanted lane taken from each.

#include "qdl_complex.h"

#include "qdl_lu_impl.h"
#include "qdl_parallel_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;
using qdl::simd::v2d;
using qdl::simd::v4d;
using qdl::simd::v8d;

// Real lanes from re, imaginary lanes from im.
template <class V>
[[gnu::always_inline]] inline V pick_re_im(V re, V im) {
  if constexpr (lanes<V> == 2) return __builtin_shufflevector(re, im, 0, 3);
  else if constexpr (lanes<V> == 4) return __builtin_shufflevector(re, im, 0, 5, 2, 7);
  else return __builtin_shufflevector(re, im, 0, 9, 2, 11, 4, 13, 6, 15);
}

// (re, im) -> (im, re) in every entry.
template <class V>
[[gnu::always_inline]] inline V swap_re_im(V x) {
  if constexpr (lanes<V> == 2) return __builtin_shufflevector(x, x, 1, 0);
  else if constexpr (lanes<V> == 4) return __builtin_shufflevector(x, x, 1, 0, 3, 2);
  else return __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6);
}

// c128_mul(f, y) for the entries of y: {f.re*y.re - f.im*y.im, f.re*y.im + f.im*y.re}.
template <class V>
[[gnu::always_inline]] inline V mul(c128 f, V y) {
  const V t1 = f.re * y;              // (f.re*y.re, f.re*y.im)
  const V t2 = f.im * swap_re_im(y);  // (f.im*y.im, f.im*y.re)
  return pick_re_im(t1 - t2, t1 + t2);
}

// ---------------------------------------------------------------------------
// Complex LU: element arithmetic for the shared loops of qdl_lu_impl.h.
// ---------------------------------------------------------------------------
struct ComplexOps {
  using T = c128;
  static constexpr i64 W = 2;
  template <class Vec>
  static constexpr int kTileRows = qdl::simd::per_width<Vec>(4, 2, 2);
  template <class Vec>
  static constexpr int kTileVecs = 2;
  [[gnu::always_inline]] static f64 magnitude(c128 a) { return c128_abs2(a); }
  // Multipliers by division, c128_div(A[i,k], A[k,k]); no reciprocal.
  struct Step {
    c128 akk;
    explicit Step(c128 a) : akk(a) {}
    [[gnu::always_inline]] c128 multiplier(c128 a) const { return c128_div(a, akk); }
  };
  // x / U[i,i] by c128_div. Smith's branch depends on the divisor only, so it is
  // chosen once per row and the vector form repeats the chosen formula per lane.
  struct Diag {
    c128 u;
    bool by_re;  // |u.re| >= |u.im|
    f64 r, den;
    explicit Diag(c128 uii) : u(uii), by_re(fabs(uii.re) >= fabs(uii.im)) {
      r = by_re ? uii.im / uii.re : uii.re / uii.im;
      den = by_re ? uii.re + r * uii.im : uii.im + r * uii.re;
    }
    [[gnu::always_inline]] c128 apply(c128 x) const { return c128_div(x, u); }
    template <class V>
    [[gnu::always_inline]] V apply(V x) const {
      const V xs = swap_re_im(x);
      if (by_re) {
        const V t = r * xs;                     // (x.im*r, x.re*r)
        return pick_re_im(x + t, x - t) / den;  // ((x.re + x.im*r), (x.im - x.re*r)) / den
      }
      const V t = r * x;                        // (x.re*r, x.im*r)
      return pick_re_im(t + xs, t - xs) / den;  // ((x.re*r + x.im), (x.im*r - x.re)) / den
    }
  };
  [[gnu::always_inline]] static c128 sub_mul(c128 x, c128 f, c128 y) {
    return c128_sub(x, c128_mul(f, y));
  }
  template <class V>
  [[gnu::always_inline]] static V sub_mul(V x, c128 f, V y) {
    return x - mul(f, y);
  }
};

// ---------------------------------------------------------------------------
// Complex product: out[i,j] = sum_k A[i,k] B[k,j], s = 0+0i, k ascending. Rows are
// taken M at a time and columns N/2 entries per vector of N doubles, NV vectors
// wide; each lane pair is one entry's running sum, updated for k before k+1.
// ---------------------------------------------------------------------------
template <class Vec, int M, int NV>
[[gnu::always_inline]] inline void cmul_tile(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B,
                                             i64 n, i64 p, i64 i0, i64 j0, c128 *QDL_RESTRICT out) {
  constexpr int N = lanes<Vec>;
  Vec acc[M][NV] = {};
  for (i64 k = 0; k < n; ++k) {
    Vec b[NV];
    for (int v = 0; v < NV; ++v)
      b[v] = load<Vec>(reinterpret_cast<const f64 *>(B + k * p + j0) + N * v);
    for (int r = 0; r < M; ++r) {
      const c128 a = A[(i0 + r) * n + k];
      for (int v = 0; v < NV; ++v) acc[r][v] = acc[r][v] + mul(a, b[v]);  // product, then add
    }
  }
  for (int r = 0; r < M; ++r)
    for (int v = 0; v < NV; ++v)
      store<Vec>(reinterpret_cast<f64 *>(out + (i0 + r) * p + j0) + N * v, acc[r][v]);
}

// Rows [r0, r1) of out = A B.
template <class Vec, int M, int NV>
[[gnu::always_inline]] inline void cmatmul(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B,
                                           i64 n, i64 p, c128 *QDL_RESTRICT out, i64 r0, i64 r1) {
  constexpr i64 NC = lanes<Vec> / 2 * NV;  // entries per tile row
  const i64 p_full = p / NC * NC;
  i64 i0 = r0;
  for (; i0 + M <= r1; i0 += M)
    for (i64 j0 = 0; j0 < p_full; j0 += NC) cmul_tile<Vec, M, NV>(A, B, n, p, i0, j0, out);
  for (; i0 < r1; ++i0)
    for (i64 j0 = 0; j0 < p_full; j0 += NC) cmul_tile<Vec, 1, NV>(A, B, n, p, i0, j0, out);
  // Columns past the last full tile, one running sum each.
  for (i64 i = r0; i < r1; ++i)
    for (i64 j = p_full; j < p; ++j) {
      c128 s = c128_make(0.0, 0.0);
      for (i64 k = 0; k < n; ++k) s = c128_add(s, c128_mul(A[i * n + k], B[k * p + j]));
      out[i * p + j] = s;
    }
}

struct Cmatmul {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const c128 *A, const c128 *B, i64 n, i64 p,
                                                c128 *out, i64 r0, i64 r1) {
    using qdl::simd::per_width;
    cmatmul<Vec, per_width<Vec>(4, 3, 2), per_width<Vec>(4, 2, 2)>(A, B, n, p, out, r0, r1);
  }
};

}  // namespace

extern "C" {

void c128_matmul(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B, const i64 m, const i64 n,
                 const i64 p, c128 *QDL_RESTRICT out) {
  constexpr i64 W = sizeof(c128);
  if (m <= 0 || p <= 0 || !qdl::fits(m, n, W) || !qdl::fits(n, p, W) || !qdl::fits(m, p, W))
    return;
  const i64 k = n > 0 ? n : 0;  // n <= 0: every sum is empty, 0+0i
  // The threads share the rows of out (runs of 12, a multiple of every tile height).
  const f64 work = static_cast<f64>(m) * static_cast<f64>(k) * static_cast<f64>(p) * 4.0;
  qdl::par::run_shared(work, qdl::par::kProdGrain, m, 12, [&](qdl::par::Range r) {
    qdl::simd::dispatch<Cmatmul>(A, B, k, p, out, r.begin, r.end);
  });
}

i64 c128_lu_factor_inplace(c128 *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot, const i64 n) {
  if (pivot == nullptr || n < 1 || A == nullptr || !qdl::fits(n, n, sizeof(c128))) return -1;
  return qdl::lu::factor<ComplexOps>(A, pivot, n);
}

c128_lu c128_lu_factor(const c128 *A, const i64 n) {
  return qdl::lu::factor_copy<c128_lu>(A, n, c128_lu_factor_inplace);
}

void c128_lu_free(c128_lu *lu) { qdl::lu::release(lu); }

void c128_lu_solve(const c128 *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                   const c128 *QDL_RESTRICT B, c128 *QDL_RESTRICT X, const i64 n, const i64 m) {
  // No meaningful system (a negative size must not copy), or no such buffers.
  if (n <= 0 || m <= 0 || !qdl::fits(n, n, sizeof(c128)) || !qdl::fits(n, m, sizeof(c128)))
    return;
  qdl::lu::solve<ComplexOps>(LU, piv, B, X, n, m);
}

i64 c128_solve(const c128 *QDL_RESTRICT A, const c128 *QDL_RESTRICT B, const i64 n, const i64 m,
               c128 *QDL_RESTRICT X) {
  return qdl::lu::solve_once(A, B, n, m, X, c128_lu_factor, c128_lu_solve, c128_lu_free);
}

i64 c128_inv(const c128 *QDL_RESTRICT A, const i64 n, c128 *QDL_RESTRICT Ainv) {
  return qdl::lu::inverse(A, n, Ainv, c128_make(1.0, 0.0), c128_solve);
}

}  // extern "C"
