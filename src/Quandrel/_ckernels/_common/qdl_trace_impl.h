/* trace((L L')^-1 B) from a Cholesky factor L, shared by the degrees-of-freedom
 * kernels (the ridge fit's effective degrees of freedom and the elastic net's on its
 * active set).
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_TRACE_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_TRACE_IMPL_H

#include "qdl_common.h"
#include "qdl_parallel_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"

namespace qdl {

/* Column c of W = (L L')^-1 B is the solve L z = B[:,c], L' w = z, whose sums are
 * (Golub and Van Loan, Matrix Computations, 4th ed., algorithms 3.1.1, 3.1.2 and
 * 4.2.1):
 *
 *   z[i] = (B[i,c] - sum_{j<i} L[i,j] z[j]) / L[i,i]     i ascending
 *   w[i] = (z[i]   - sum_{j>i} L[j,i] w[j]) / L[i,i]     i descending
 *
 * each sum from 0.0 in ascending j, exactly as qdl_forward_subst and
 * qdl_backward_subst_chol_t solve one column. The columns are independent, so they
 * are solved side by side in place in W (z, then w, of column c in W[:,c]): step i
 * of a substitution updates row i of W for a block of columns at once, one column to
 * a vector lane, each lane adding its terms in the order above. Only the diagonal
 * w[c] enters the trace, and w[c] needs w[i] for i >= c only, so backward step i
 * updates the columns c <= i (and the rest of the vector holding column i, whose
 * entries are never read again).
 *
 * Any partition of the columns into blocks gives the same bits, so a range of
 * columns [c0, c1) is a unit of work of its own (solve_columns): ranges may be
 * solved in any order, or at once, before the diagonal is summed in order. A caller
 * that wants some columns' whole solve (all of w) asks for them by a first column
 * cfull; those columns go on down to row 0.
 */
namespace trace_detail {

// Wi[c .. c+V*N) = (Si[same] - sum_{j=jlo}^{jhi-1} Lb[j*ls] * W[j, same]) / d for V
// vectors of N = lanes<Vec> columns. Si is row i of the right-hand side, Wi row i of
// W (Si may be Wi); the rows j read are other rows of W.
template <class Vec, int V>
[[gnu::always_inline]] inline void subst_tile(const f64 *Si, f64 *Wi, const f64 *W, i64 ldw,
                                              i64 c, const f64 *QDL_RESTRICT Lb, i64 ls,
                                              i64 jlo, i64 jhi, f64 d) {
  constexpr int N = simd::lanes<Vec>;
  Vec acc[V];
  for (int v = 0; v < V; ++v) acc[v] = simd::splat<Vec>(0.0);
  for (i64 j = jlo; j < jhi; ++j) {
    const f64 l = Lb[j * ls];  // broadcast by the scalar-vector product
    const f64 *Wj = W + j * ldw + c;
    for (int v = 0; v < V; ++v) acc[v] = acc[v] + l * simd::load<Vec>(Wj + N * v);
  }
  for (int v = 0; v < V; ++v)
    simd::store<Vec>(Wi + c + N * v, (simd::load<Vec>(Si + c + N * v) - acc[v]) / d);
}

// Step i of a substitution for the columns of [c0, c1) that lie below `cneed` (and
// possibly others of [c0, c1)): tiles of NV vectors of Vec, then the rest as one
// tile, so that every pass over the rows j has as many independent sums in flight as
// it can; the columns past the last whole vector go to the vector of half the width,
// down to single columns.
template <class Vec, int NV>
[[gnu::always_inline]] inline void subst_row(const f64 *Si, f64 *Wi, const f64 *W, i64 ldw,
                                             i64 c0, i64 c1, i64 cneed, const f64 *Lb, i64 ls,
                                             i64 jlo, i64 jhi, f64 d) {
  constexpr i64 N = simd::lanes<Vec>;
  const i64 whole = (c1 - c0) / N;                         // vectors that fit in [c0, c1)
  const i64 wanted = cneed > c0 ? (cneed - c0 + N - 1) / N : 0;  // vectors up to cneed
  const i64 cend = c0 + (wanted < whole ? wanted : whole) * N;
  i64 c = c0;
  for (; c + NV * N <= cend; c += NV * N) subst_tile<Vec, NV>(Si, Wi, W, ldw, c, Lb, ls, jlo, jhi, d);
  simd::with_count<NV - 1>((cend - c) / N, [&](auto vc) QDL_INLINE {
    subst_tile<Vec, vc>(Si, Wi, W, ldw, c, Lb, ls, jlo, jhi, d);
  });
  if constexpr (N > 1) {
    const i64 ct = c0 + whole * N;  // fewer than N columns left
    if (ct < cneed) subst_row<simd::Half<Vec>, 1>(Si, Wi, W, ldw, ct, c1, cneed, Lb, ls, jlo, jhi, d);
  }
}

}  // namespace trace_detail

/* Columns c0 .. c1-1 of (L L')^-1 B: on return W[c,c] holds w[c] of column c for
 * c0 <= c < c1, and the columns c >= cfull (if any) hold their whole solve w. L is
 * n*n row-major (lower triangle read), B n rows of ldb, W n rows of ldw; B may be W
 * (ldb = ldw), solved in place. Column c of B and of W is entry c - cb of their rows
 * (cb <= c0: B and W may hold only the columns from cb on). Columns of W outside
 * [c0, c1) are neither read nor written. Register budget: 8 vector accumulators (8
 * zmm of 32, 8 ymm or xmm of 16). */
template <class Vec>
[[gnu::always_inline]] inline void solve_columns(const f64 *QDL_RESTRICT L, const f64 *B, i64 ldb,
                                                 f64 *W, i64 ldw, i64 n, i64 c0, i64 c1,
                                                 i64 cfull, i64 cb = 0) {
  using trace_detail::subst_row;
  const i64 cpart = cfull < c1 ? (cfull > c0 ? cfull : c0) : c1;  // [c0, cpart): diagonal only
  const i64 r0 = c0 - cb, r1 = c1 - cb, rpart = cpart - cb;        // the same, as offsets
  for (i64 i = 0; i < n; ++i)  // L Z = B: row i of L, j = 0 .. i-1
    subst_row<Vec, 8>(B + i * ldb, W + i * ldw, W, ldw, r0, r1, r1, L + i * n, 1, 0, i,
                      L[i * n + i]);
  for (i64 i = n - 1; i >= 0; --i) {  // L' W = Z: column i of L, j = i+1 .. n-1
    f64 *Wi = W + i * ldw;
    if (i >= c0)
      subst_row<Vec, 8>(Wi, Wi, W, ldw, r0, rpart, i + 1 - cb, L + i, n, i + 1, n, L[i * n + i]);
    if (cpart < c1)
      subst_row<Vec, 8>(Wi, Wi, W, ldw, rpart, r1, r1, L + i, n, i + 1, n, L[i * n + i]);
  }
}

namespace trace_detail {
struct Columns {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const f64 *L, const f64 *B, i64 ldb, f64 *W,
                                                i64 ldw, i64 n, i64 c0, i64 c1, i64 cfull,
                                                i64 cb) {
    solve_columns<Vec>(L, B, ldb, W, ldw, n, c0, c1, cfull, cb);
  }
};

// Columns [c0, c1) solved on a thread that shares W with others. Rows of W hold
// every thread's columns side by side, so each step of a substitution would pass
// the cache lines at the edges of the ranges back and forth; instead the columns
// are solved in a block of their own (rows of a whole number of cache lines) and
// only what the caller reads is copied to W: the diagonal, and the columns from
// cfull on. Without that block they are solved in W.
inline void columns_apart(const f64 *L, const f64 *B, i64 ldb, f64 *W, i64 ldw, i64 n, i64 c0,
                          i64 c1, i64 cfull) {
  const i64 lp = (c1 - c0 + 7) / 8 * 8;
  f64 *P;
  Scratch scratch;
  if (!scratch.take([&](auto &part) { part(P, n, lp); })) {
    simd::dispatch<Columns>(L, B, ldb, W, ldw, n, c0, c1, cfull, i64{0});
    return;
  }
  simd::dispatch<Columns>(L, B + c0, ldb, P, lp, n, c0, c1, cfull, c0);
  for (i64 c = c0; c < c1; ++c) W[c * ldw + c] = P[c * lp + c - c0];
  for (i64 r = 0; r < n; ++r)
    for (i64 c = cfull > c0 ? cfull : c0; c < c1; ++c) W[r * ldw + c] = P[r * lp + c - c0];
}

// Multiply-adds of the solves of columns [0, c): n(n-1)/2 forward for each, then
// (n-k)(n-k-1)/2 backward for a diagonal-only column k, n(n-1)/2 for a whole one.
inline f64 columns_cost(i64 n, i64 cfull, i64 c) {
  const f64 nf = static_cast<f64>(n), whole = nf * (nf - 1.0) / 2.0;
  const i64 cp = c < cfull ? c : cfull;  // diagonal-only columns among [0, c)
  const f64 m = nf - static_cast<f64>(cp);
  // sum_{k<cp} (n-k)(n-k-1)/2 = (n(n^2-1) - m(m^2-1)) / 6
  const f64 partial = (nf * (nf * nf - 1.0) - m * (m * m - 1.0)) / 6.0;
  return static_cast<f64>(c) * whole + partial + static_cast<f64>(c - cp) * whole;
}

// First column of part t of nt when the columns go in runs of whole cache lines
// (8 columns) whose costs are as equal as that allows: the least multiple of 8
// (or n) whose columns before it cost at least t/nt of the whole.
inline i64 column_split(i64 n, i64 cfull, int t, int nt) {
  if (t <= 0) return 0;
  if (t >= nt) return n;
  const f64 target = columns_cost(n, cfull, n) * t / nt;
  i64 c = 0;
  while (c < n && columns_cost(n, cfull, c) < target) c += 8;
  return c < n ? c : n;
}
}  // namespace trace_detail

/* sum_c ((L L')^-1 B)[c,c], c ascending, with the shapes of solve_columns (columns
 * c >= cfull solved whole, cfull = n for none); W is overwritten (only its first n
 * columns), B is only read unless it is W. Above par::kTraceGrain multiply-adds per
 * thread the columns are solved in ranges on several threads; the diagonal is then
 * summed in order on the calling thread, so the result does not depend on that. */
inline f64 chol_trace(const f64 *L, const f64 *B, i64 ldb, f64 *W, i64 ldw, i64 n, i64 cfull) {
  using trace_detail::column_split;
  par::run(trace_detail::columns_cost(n, cfull, n), par::kTraceGrain, [&](int t, int nt) {
    const i64 c0 = column_split(n, cfull, t, nt), c1 = column_split(n, cfull, t + 1, nt);
    if (c0 >= c1) return;
    if (t == 0) {
      simd::dispatch<trace_detail::Columns>(L, B, ldb, W, ldw, n, c0, c1, cfull, i64{0});
    } else {
      trace_detail::columns_apart(L, B, ldb, W, ldw, n, c0, c1, cfull);
    }
  });
  f64 t = 0.0;
  for (i64 c = 0; c < n; ++c) t = t + W[c * ldw + c];  // c ascending
  return t;
}

}  // namespace qdl

#endif /* QUANDREL_CKERNELS_COMMON_QDL_TRACE_IMPL_H */
