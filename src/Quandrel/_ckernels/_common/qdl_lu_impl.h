/* Private: the LU factorisation and substitution loops shared by the real routines
 * (qdl_linalg_lu.cpp), the complex ones (qdl_complex.cpp) and the solves of the LARS
 * path (lasso.cpp).
 *
 * All follow one design, Doolittle elimination with partial pivoting by rows and
 * the two triangular substitutions for many right-hand sides (Golub & Van Loan,
 * Matrix Computations, 4th ed., Sections 3.1 and 3.4), and differ only in the
 * element arithmetic, which a policy supplies:
 *
 *   T                 element type (f64 or c128); W = f64 values per element
 *   magnitude(a)      pivot size: |a| (real) or the squared modulus (complex)
 *   Step s(akk)       per-step state; s.multiplier(a) is the multiplier of a
 *   Diag d(uii)       per-row state; d.apply(x) applies 1/U[i,i] to x
 *   sub_mul(x, f, y)  x - f*y, elementwise, for T and for a vector Vec of
 *                     lanes<Vec>/W elements
 *   kTileRows<Vec>,   the register tiles of the trailing update and of the
 *   kTileVecs<Vec>    substitution: rows by vectors, per vector width
 *
 * The real policy, RealOps below, comes with two division rules; the complex one
 * lives beside the complex routines.
 *
 * Not part of the exported interface: include only from kernel sources. Every
 * loop keeps the stated order of each entry's updates; vectors only hold
 * independent entries of one row side by side.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_LU_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_LU_IMPL_H

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "qdl_common.h"
#include "qdl_linalg_impl.h"
#include "qdl_parallel_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"

namespace qdl::lu {

using simd::lanes;
using simd::load;
using simd::store;


/* How a real elimination divides by its pivots. by_reciprocal (the exported LU
 * routines): the multipliers are (1 / A[k,k]) * A[i,k] and the back substitution
 * multiplies by 1 / U[i,i], one division per step or row. each (the LARS solves):
 * every multiplier is A[i,k] / A[k,k] and every unknown x / U[i,i]. Both round
 * each operation correctly, but to different bits, and each caller keeps its own. */
enum class Divide { by_reciprocal, each };

template <Divide kRule>
struct RealOps {
  static constexpr bool kReciprocal = kRule == Divide::by_reciprocal;
  using T = f64;
  static constexpr i64 W = 1;
  template <class Vec>
  static constexpr int kTileRows = 4;
  template <class Vec>
  static constexpr int kTileVecs = simd::per_width<Vec>(4, 2, 2);
  [[gnu::always_inline]] static f64 magnitude(f64 a) { return fabs(a); }
  struct Step {
    f64 by;  // 1 / A[k,k] (by_reciprocal), or A[k,k]
    explicit Step(f64 akk) : by(kReciprocal ? 1.0 / akk : akk) {}
    [[gnu::always_inline]] f64 multiplier(f64 a) const { return kReciprocal ? by * a : a / by; }
  };
  struct Diag {
    f64 by;  // 1 / U[i,i] (by_reciprocal), or U[i,i]
    explicit Diag(f64 uii) : by(kReciprocal ? 1.0 / uii : uii) {}
    template <class V>  // V = f64 or a vector: every lane as the scalar
    [[gnu::always_inline]] V apply(V x) const {
      if constexpr (kReciprocal) return x * by;
      else return x / by;
    }
  };
  [[gnu::always_inline]] static f64 sub_mul(f64 x, f64 f, f64 y) { return x - f * y; }
  template <class V>
  [[gnu::always_inline]] static V sub_mul(V x, f64 f, V y) {
    return x - f * y;
  }
};


/* y[j] = sub_mul(y[j], f, x[j]) for j < len elements; lanes<Vec>/W elements per vector. */
template <class Ops, class Vec>
[[gnu::always_inline]] inline void row_sub_mul(typename Ops::T *QDL_RESTRICT y, typename Ops::T f,
                                               const typename Ops::T *QDL_RESTRICT x, i64 len) {
  constexpr i64 E = lanes<Vec> / Ops::W;  // elements per vector
  i64 j = 0;
  for (; j + E <= len; j += E) {
    f64 *yj = reinterpret_cast<f64 *>(y + j);
    store<Vec>(yj, Ops::sub_mul(load<Vec>(yj), f, load<Vec>(reinterpret_cast<const f64 *>(x + j))));
  }
  for (; j < len; ++j) y[j] = Ops::sub_mul(y[j], f, x[j]);
}

template <class T>
[[gnu::always_inline]] inline void swap_rows(T *a, T *b, i64 len) {
  for (i64 j = 0; j < len; ++j) {
    const T t = a[j];
    a[j] = b[j];
    b[j] = t;
  }
}

/* Columns [j0, j0 + NV*lanes<Vec>/W) of row i of X (row length m elements):
 *   X[i,j] = sub_mul(X[i,j], F[k], X[k,j]) for k = k0 .. k1-1 ascending,
 * then, when diag, X[i,j] = d.apply(X[i,j]). The NV vectors stay in registers. */
template <class Ops, class Vec, int NV>
[[gnu::always_inline]] inline void row_block(typename Ops::T *QDL_RESTRICT X, i64 m, i64 i, i64 j0,
                                             const typename Ops::T *QDL_RESTRICT F, i64 k0, i64 k1,
                                             const typename Ops::Diag *d) {
  constexpr int N = lanes<Vec>;
  f64 *xi = reinterpret_cast<f64 *>(X + i * m + j0);
  Vec acc[NV];
  for (int v = 0; v < NV; ++v) acc[v] = load<Vec>(xi + N * v);
  for (i64 k = k0; k < k1; ++k) {
    const f64 *xk = reinterpret_cast<const f64 *>(X + k * m + j0);
    for (int v = 0; v < NV; ++v) acc[v] = Ops::sub_mul(acc[v], F[k], load<Vec>(xk + N * v));
  }
  if (d)
    for (int v = 0; v < NV; ++v) acc[v] = d->apply(acc[v]);
  for (int v = 0; v < NV; ++v) store<Vec>(xi + N * v, acc[v]);
}

/* One element column j of row i, as row_block. */
template <class Ops>
[[gnu::always_inline]] inline void row_one(typename Ops::T *QDL_RESTRICT X, i64 m, i64 i, i64 j,
                                           const typename Ops::T *QDL_RESTRICT F, i64 k0, i64 k1,
                                           const typename Ops::Diag *d) {
  typename Ops::T s = X[i * m + j];
  for (i64 k = k0; k < k1; ++k) s = Ops::sub_mul(s, F[k], X[k * m + j]);
  X[i * m + j] = d ? d->apply(s) : s;
}

/* Rows [i0, i0+M) of X (row length ldx), columns [j0, j0 + NV*lanes<Vec>/W):
 *   X[i,j] = sub_mul(X[i,j], F[i,k], X[k,j]) for k = k0 .. k1-1 ascending
 * (F with row length ldf; it is X itself in the factorisation, where the columns
 * read, k < k1, lie left of those written). The M*NV vectors stay in registers
 * while k runs, and each X[k, j-block] is loaded once for the M rows. */
template <class Ops, class Vec, int M, int NV>
[[gnu::always_inline]] inline void update_tile(typename Ops::T *X, i64 ldx,
                                               const typename Ops::T *F, i64 ldf, i64 i0, i64 j0,
                                               i64 k0, i64 k1) {
  constexpr int N = lanes<Vec>;
  Vec acc[M][NV];
  for (int r = 0; r < M; ++r)
    for (int v = 0; v < NV; ++v)
      acc[r][v] = load<Vec>(reinterpret_cast<const f64 *>(X + (i0 + r) * ldx + j0) + N * v);
  for (i64 k = k0; k < k1; ++k) {
    Vec u[NV];
    for (int v = 0; v < NV; ++v)
      u[v] = load<Vec>(reinterpret_cast<const f64 *>(X + k * ldx + j0) + N * v);
    for (int r = 0; r < M; ++r) {
      const typename Ops::T f = F[(i0 + r) * ldf + k];
      for (int v = 0; v < NV; ++v) acc[r][v] = Ops::sub_mul(acc[r][v], f, u[v]);
    }
  }
  for (int r = 0; r < M; ++r)
    for (int v = 0; v < NV; ++v)
      store<Vec>(reinterpret_cast<f64 *>(X + (i0 + r) * ldx + j0) + N * v, acc[r][v]);
}

/* The delayed updates of elimination steps [k0, ke) on columns [c0, c_end):
 *   U rows r in [k0, ke), ascending:  A[r,j] -= A[r,k] A[k,j], k in [k0, r)
 *   rows i >= ke:                     A[i,j] -= A[i,k] A[k,j], k in [k0, ke)
 * with k ascending for every entry, which is the order of the unblocked loop. Columns
 * are independent: disjoint column ranges may be updated at the same time. */
template <class Ops, class Vec, int M, int NV>
[[gnu::always_inline]] inline void apply_steps(typename Ops::T *QDL_RESTRICT A, i64 n, i64 k0,
                                               i64 ke, i64 c0, i64 c_end) {
  constexpr i64 E = lanes<Vec> / Ops::W;  // elements per vector
  const i64 cw = c0 + (c_end - c0) / (NV * E) * (NV * E), c1 = c0 + (c_end - c0) / E * E;
  for (i64 r = k0 + 1; r < ke; ++r) {
    i64 j = c0;
    for (; j < cw; j += NV * E) row_block<Ops, Vec, NV>(A, n, r, j, A + r * n, k0, r, nullptr);
    for (; j < c1; j += E) row_block<Ops, Vec, 1>(A, n, r, j, A + r * n, k0, r, nullptr);
    for (; j < c_end; ++j) row_one<Ops>(A, n, r, j, A + r * n, k0, r, nullptr);
  }
  i64 i = ke;
  for (; i + M <= n; i += M) {
    i64 j = c0;
    for (; j < cw; j += NV * E) update_tile<Ops, Vec, M, NV>(A, n, A, n, i, j, k0, ke);
    for (; j < c1; j += E) update_tile<Ops, Vec, M, 1>(A, n, A, n, i, j, k0, ke);
  }
  for (; i < n; ++i)
    for (i64 j = c0; j < c1; j += E) update_tile<Ops, Vec, 1, 1>(A, n, A, n, i, j, k0, ke);
  for (i = ke; i < n; ++i)
    for (i64 j = c1; j < c_end; ++j) row_one<Ops>(A, n, i, j, A + i * n, k0, ke, nullptr);
}

/* Elimination steps [k0, ke) of the panel of columns [k0, pe): at step k, pivot search
 * in column k, exchange of whole rows, multipliers, and A[i,j] -= A[i,k] A[k,j] for
 * i > k and k < j < pe (the columns right of the panel wait for apply_steps). Returns
 * ke, or the step k whose column is zero (pivot[k] written, A as after step k-1 within
 * the panel). */
template <class Ops, class Vec>
[[gnu::always_inline]] inline i64 panel(typename Ops::T *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot,
                                        i64 n, i64 k0, i64 ke, i64 pe) {
  using T = typename Ops::T;
  for (i64 k = k0; k < ke; ++k) {
    // piv = argmax_{i >= k} magnitude(A[i,k]); only a strictly larger value moves it.
    i64 piv = k;
    f64 best = Ops::magnitude(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
      const f64 v = Ops::magnitude(A[i * n + k]);
      if (v > best) {
        best = v;
        piv = i;
      }
    }
    pivot[k] = piv;
    if (best == 0.0) return k;
    if (piv != k) swap_rows(A + k * n, A + piv * n, n);  // whole rows, multipliers too

    // A[i,k] = multiplier; A[i,k+1:pe] -= A[i,k] * A[k,k+1:pe] for i > k.
    const typename Ops::Step step(A[k * n + k]);
    const T *QDL_RESTRICT rowk = A + k * n + k + 1;
    for (i64 i = k + 1; i < n; ++i) {
      T *rowi = A + i * n;
      const T lik = step.multiplier(rowi[k]);
      rowi[k] = lik;
      row_sub_mul<Ops, Vec>(rowi + k + 1, lik, rowk, pe - k - 1);
    }
  }
  return ke;
}

/* The loops above as kernels of qdl::simd::dispatch<K>: each instruction-set level
 * gets its own copy, with the register tiles the policy chose for its width. */
template <class Ops>
struct Panel {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(typename Ops::T *A, i64 *pivot, i64 n, i64 k0,
                                               i64 ke, i64 pe) {
    return panel<Ops, Vec>(A, pivot, n, k0, ke, pe);
  }
};

template <class Ops>
struct Update {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(typename Ops::T *A, i64 n, i64 k0, i64 ke, i64 c0,
                                                i64 c_end) {
    apply_steps<Ops, Vec, Ops::template kTileRows<Vec>, Ops::template kTileVecs<Vec>>(A, n, k0, ke,
                                                                                      c0, c_end);
  }
};

/* In-place factorisation: A (n*n, n >= 1) becomes L\U, pivot (n) the exchanges.
 * Returns 0 or -2 (the caller has already rejected bad arguments).
 *
 * The steps are those of the textbook loop: at step k, pivot search in column k,
 * exchange of whole rows, multipliers, and A[i,j] -= A[i,k] A[k,j] for i, j > k.
 * They are taken in panels of kPanel columns (the blocked right-looking form, as
 * in Golub & Van Loan, Sec. 3.2, and LAPACK's dgetrf): inside the panel the updates
 * are applied at once (Panel), to the columns right of it they are delayed and then
 * applied kPanel steps at a time by register tiles (Update), the threads sharing
 * those columns (above `grain` per thread, by default 2 kProdGrain; qdl_parallel_impl.h).
 * Every entry still receives its updates in ascending k, so the factors are bit for
 * bit those of the unblocked loop at any thread count; a step that finds a zero column first
 * completes the delayed updates, so A is as after step k-1. */
constexpr i64 kPanel = 16;

template <class Ops>
inline i64 factor(typename Ops::T *QDL_RESTRICT A, i64 *QDL_RESTRICT pivot, i64 n,
                  f64 grain = par::kProdGrain * 2) {
  using T = typename Ops::T;
  for (i64 k0 = 0; k0 + 1 < n; k0 += kPanel) {
    const i64 pe = k0 + kPanel < n ? k0 + kPanel : n;  // panel columns [k0, pe)
    const i64 ke = pe < n - 1 ? pe : n - 1;            // its elimination steps [k0, ke)
    const i64 k = simd::dispatch<Panel<Ops>>(A, pivot, n, k0, ke, pe);
    if (k < ke) {
      simd::dispatch<Update<Ops>>(A, n, k0, k, pe, n);
      return -2;
    }
    // Columns [pe, n), shared in runs of whole vectors (32 values).
    const f64 work = static_cast<f64>(ke - k0) * static_cast<f64>(n - k0) *
                     static_cast<f64>(n - pe) * static_cast<f64>(sizeof(T) / 8);
    par::run_shared(work, grain, n - pe, 32, [&](par::Range c) {
      if (c.begin < c.end) simd::dispatch<Update<Ops>>(A, n, k0, ke, pe + c.begin, pe + c.end);
    });
  }
  pivot[n - 1] = n - 1;
  return Ops::magnitude(A[n * n - 1]) == 0.0 ? -2 : 0;
}

/* Forward then back substitution on the columns [j0, j0 + NV*lanes<Vec>/W) of X (exchanges
 * applied). Columns are independent, so each panel is carried through both sweeps
 * before the next, which keeps it in cache.
 *
 * Forward, row i: X[i,:] -= L[i,k] X[k,:] for k < i ascending. Rows are taken M at a
 * time: the terms k < i0 common to the block first (one tile), then each row's terms
 * from the rows of the block above it, in order. Back, row i: the terms k > i
 * ascending start with the row just below, so the rows go one at a time. */
template <class Ops, class Vec, int M, int NV>
[[gnu::always_inline]] inline void substitute(const typename Ops::T *QDL_RESTRICT LU,
                                              typename Ops::T *QDL_RESTRICT X, i64 n, i64 m,
                                              i64 j0) {
  i64 i0 = 0;
  for (; i0 + M <= n; i0 += M) {
    update_tile<Ops, Vec, M, NV>(X, m, LU, n, i0, j0, 0, i0);
    for (i64 i = i0 + 1; i < i0 + M; ++i)
      row_block<Ops, Vec, NV>(X, m, i, j0, LU + i * n, i0, i, nullptr);
  }
  for (i64 i = i0; i < n; ++i) row_block<Ops, Vec, NV>(X, m, i, j0, LU + i * n, 0, i, nullptr);
  for (i64 i = n - 1; i >= 0; --i) {
    const typename Ops::Diag d(LU[i * n + i]);
    row_block<Ops, Vec, NV>(X, m, i, j0, LU + i * n, i + 1, n, &d);
  }
}

template <class Ops>
[[gnu::always_inline]] inline void substitute_one(const typename Ops::T *QDL_RESTRICT LU,
                                                  typename Ops::T *QDL_RESTRICT X, i64 n, i64 m,
                                                  i64 j) {
  for (i64 i = 1; i < n; ++i) row_one<Ops>(X, m, i, j, LU + i * n, 0, i, nullptr);
  for (i64 i = n - 1; i >= 0; --i) {
    const typename Ops::Diag d(LU[i * n + i]);
    row_one<Ops>(X, m, i, j, LU + i * n, i + 1, n, &d);
  }
}

/* Both substitutions on the columns [j_begin, j_end) of X (exchanges applied). */
template <class Ops>
struct Substitute {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const typename Ops::T *QDL_RESTRICT LU,
                                                typename Ops::T *QDL_RESTRICT X, i64 n, i64 m,
                                                i64 j_begin, i64 j_end) {
    constexpr int M = Ops::template kTileRows<Vec>, NV = Ops::template kTileVecs<Vec>;
    constexpr i64 E = lanes<Vec> / Ops::W;  // elements per vector
    i64 j = j_begin;
    for (; j + NV * E <= j_end; j += NV * E) substitute<Ops, Vec, M, NV>(LU, X, n, m, j);
    for (; j + E <= j_end; j += E) substitute<Ops, Vec, M, 1>(LU, X, n, m, j);
    for (; j < j_end; ++j) substitute_one<Ops>(LU, X, n, m, j);
  }
};

/* X (n*m) becomes A^-1 X from the factors: exchanges (k ascending), then the
 * substitutions, the threads sharing the columns of X. */
template <class Ops>
inline void solve_in_place(const typename Ops::T *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                           typename Ops::T *QDL_RESTRICT X, i64 n, i64 m) {
  for (i64 k = 0; k < n; ++k)
    if (piv[k] != k) swap_rows(X + k * m, X + piv[k] * m, m);
  const f64 work = static_cast<f64>(n) * static_cast<f64>(n) * static_cast<f64>(m) *
                   static_cast<f64>(sizeof(typename Ops::T) / 8);
  par::run_shared(work, par::kProdGrain / 2, m, 32, [&](par::Range c) {
    if (c.begin < c.end) simd::dispatch<Substitute<Ops>>(LU, X, n, m, c.begin, c.end);
  });
}

/* X = A^-1 B from the factors: a copy of B solved in place. */
template <class Ops>
inline void solve(const typename Ops::T *QDL_RESTRICT LU, const i64 *QDL_RESTRICT piv,
                  const typename Ops::T *QDL_RESTRICT B, typename Ops::T *QDL_RESTRICT X, i64 n,
                  i64 m) {
  memcpy(X, B, static_cast<size_t>(n) * static_cast<size_t>(m) * sizeof(typename Ops::T));
  solve_in_place<Ops>(LU, piv, X, n, m);
}

/* ---------------------------------------------------------------------------
 * The allocating entry points, the same for both element types: Rec is the
 * record (f64_lu or c128_lu), T its element type.
 * ------------------------------------------------------------------------- */

/* {lu, piv, n, status}: a copy of A (n*n) factored by `inplace`; {NULL, NULL, n, -1}
 * for NULL A, n <= 0, an n*n that cannot exist or a failed allocation, with whatever
 * was allocated released. */
template <class Rec, class T>
inline Rec factor_copy(const T *A, i64 n, i64 (*inplace)(T *, i64 *, i64)) {
  Rec r = {nullptr, nullptr, n, -1};
  if (A == nullptr || n <= 0 || !fits(n, n, sizeof(T))) return r;
  const i64 nn = n * n;
  T *lu = checked_alloc<T>(nn);
  i64 *piv = checked_alloc<i64>(n);
  if (lu == nullptr || piv == nullptr) {
    free(lu);
    free(piv);
    return r;
  }
  memcpy(lu, A, static_cast<size_t>(nn) * sizeof(T));
  r.lu = lu;
  r.piv = piv;
  r.err = inplace(lu, piv, n);
  return r;
}

/* Releases both buffers and resets every field; NULL or a reset record is a no-op. */
template <class Rec>
inline void release(Rec *r) {
  if (r == nullptr) return;
  free(r->lu);
  free(r->piv);
  *r = Rec{nullptr, nullptr, 0, 0};
}

/* Factor (a copy), solve into X on success, release on every path; the status.
 * Right-hand sides B and X (n*m) that cannot exist give -1 before anything else. */
template <class Rec, class T>
inline i64 solve_once(const T *A, const T *B, i64 n, i64 m, T *X, Rec (*factor)(const T *, i64),
                      void (*lu_solve)(const T *, const i64 *, const T *, T *, i64, i64),
                      void (*lu_free)(Rec *)) {
  if (!fits(n, m, sizeof(T))) return -1;
  Rec f = factor(A, n);
  const i64 status = f.err;
  if (status == 0) lu_solve(f.lu, f.piv, B, X, n, m);
  lu_free(&f);
  return status;
}

/* Ainv = solve(A, I): the identity (one on the diagonal, zeros elsewhere) in its own
 * allocation; -1 when that fails, which includes n <= 0 and an n*n that cannot exist. */
template <class T>
inline i64 inverse(const T *A, i64 n, T *Ainv, T one,
                   i64 (*solve)(const T *, const T *, i64, i64, T *)) {
  if (n <= 0 || !fits(n, n, sizeof(T))) return -1;
  T *I;
  Scratch scratch;
  if (!scratch.take([&](auto &part) { part(I, n, n); })) return -1;
  memset(I, 0, static_cast<size_t>(n * n) * sizeof(T));  // +0.0 in every component
  for (i64 i = 0; i < n; ++i) I[i * n + i] = one;
  return solve(A, I, n, n, Ainv);
}

}  // namespace qdl::lu

#endif /* QUANDREL_CKERNELS_COMMON_QDL_LU_IMPL_H */
