// The LARS-lasso path with an updated Cholesky factor of the active block (see lasso.h
// for the contract).
//
// The homotopy is that of lars_path_impl.h, step for step (entry and the tie decision,
// the direction, the step, the move, the record); only the active solve differs. The
// factor L of the active block, G_FF = L L', is kept in the order in which the
// variables entered (F, the factor order), not in ascending index order, and changes
// by one row per event:
//
//   enter j (append; Golub & Van Loan, Matrix Computations, 4th ed., section 6.5.4):
//
//     [ G_FF   g   ]   [ L    0  ] [ L'  l  ]      L l = g   (g = G[F, j])
//     [ g'    G_jj ] = [ l'  l_jj] [ 0  l_jj ],    l_jj = sqrt(G_jj - l'l)
//
//   leave F[q] (delete row q of L, then Givens rotations of columns q, q+1, ...,
//   Golub & Van Loan section 6.5.2, sketched for n = 5, q = 1):
//
//     x . . . .        x . . . .        x . . . .        x . . . .
//     x x . . .  drop  x x x . .  G_1   x x 0 . .  G_2   x x . . .
//     x x x . .  ---> x x x x .  --->  x x x x .  --->  x x x 0 .   then the last
//     x x x x .        x x x x x        x x x x x        x x x x x   column (all zero)
//     x x x x x                                                      is dropped
//
//     each G_r = [c -s; s c] on the columns r, r+1, chosen from row r so that its
//     superdiagonal entry becomes 0 and its diagonal sqrt(a^2 + b^2) > 0; the product
//     of the remaining rows with their transposes, G_FF without F[q], is unchanged.
//
// so an event costs O(n^2) (n = |F|) instead of the O(n^3) of a fresh elimination.
// Direction at each knot (Efron, Hastie, Johnstone & Tibshirani, "Least angle
// regression", Ann. Statist. 32(2), 2004, section 2): z = L^-1 s_F, w_F = L'^-1 z.
// z is extended by one entry per append (z_n = (s_n - l'z) / l_jj, the forward
// substitution's own last row) and recomputed in full after a removal or a change of
// sign; the back substitution runs at every knot.
//
// Layout: L row-major with row length k (row p: the factor row of F[p]), and its
// transpose Lt in the same form, so that both substitutions run along rows (each
// entry's chain of updates vectorised across entries: the forward substitution
// reads columns of L, rows of Lt; the backward reads rows of L); both are kept equal
// bit for bit, every update written to both.
//
// Singular blocks: an append whose pivot G_jj - l'l is not above 1e-12 G_jj (the
// bound of the tie decision's Schur pivots), or not finite, ends the path as
// non-convergent.

#include <math.h>
#include <string.h>

#include "lars_path_impl.h"
#include "lasso.h"
#include "qdl_gram_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::lars::LarsHomotopy;
using qdl::lars::LarsStorage;
using qdl::simd::axmy;

constexpr f64 kSingularRel = 1e-12;  // an append pivot at most this times G_jj is singular

// The factor of the active block, carried from knot to knot (above).
struct UpdatedFactor {
  f64 *L, *Lt;   // k*k each, row length k: L and L' (n*n used)
  f64 *z;        // k: L^-1 s_F
  f64 *x;        // k: the new row of an append; the back substitution
  f64 *s_F;      // k: the sign each variable of F had when it joined the factor
  i64 *F, *pos;  // k each: the variable at each factor position; pos[j] its position or -1
  i64 k = 0;
  i64 n = 0;     // |F|

  template <class Part>
  void lay_out(Part &part, i64 k_) {
    part(L, k_, k_);
    part(Lt, k_, k_);
    for (f64 **v : {&z, &x, &s_F}) part(*v, k_);
    part(F, k_);
    part(pos, k_);
  }

  void start(i64 k_) {
    k = k_;
    n = 0;
    for (i64 j = 0; j < k; ++j) pos[j] = -1;
  }

  // x[0..n) = L^-1 x[0..n): x_p = x_p / L_pp, then x_i -= L_ip x_p for i > p (row p of
  // Lt): each x_i = (b_i - L_i0 x_0 - L_i1 x_1 - ...) / L_ii, the terms in ascending order.
  template <class Vec>
  [[gnu::always_inline]] inline void forward(f64 *v) const {
    for (i64 p = 0; p < n; ++p) {
      v[p] = v[p] / L[p * k + p];
      axmy<Vec>(v + p + 1, v[p], Lt + p * k + p + 1, n - p - 1);
    }
  }

  // z = L^-1 s_F in full.
  template <class Vec>
  [[gnu::always_inline]] inline void refresh_z() {
    for (i64 p = 0; p < n; ++p) z[p] = s_F[p];
    forward<Vec>(z);
  }

  // Appends variable j with sign s: l = L^-1 G[F, j] (read along row j of G), the
  // pivot G_jj - l'l (ascending), row n of L and column n of Lt, and z_n. False, with
  // the factor unchanged, when the pivot is singular (above) or not finite.
  template <class Vec>
  [[gnu::always_inline]] inline bool append(const f64 *G, i64 j, f64 s) {
    const f64 *Gj = G + j * k;
    for (i64 p = 0; p < n; ++p) x[p] = Gj[F[p]];
    forward<Vec>(x);
    const f64 Gjj = Gj[j];
    f64 piv = Gjj;
    for (i64 p = 0; p < n; ++p) piv = piv - x[p] * x[p];
    if (!(piv > kSingularRel * fabs(Gjj)) || !isfinite(piv)) return false;
    const f64 ljj = sqrt(piv);
    f64 zn = s;
    for (i64 p = 0; p < n; ++p) zn = zn - x[p] * z[p];
    f64 *Ln = L + n * k;
    for (i64 p = 0; p < n; ++p) {
      Ln[p] = x[p];
      Lt[p * k + n] = x[p];
    }
    Ln[n] = Lt[n * k + n] = ljj;
    z[n] = zn / ljj;
    F[n] = j;
    s_F[n] = s;
    pos[j] = n;
    n = n + 1;
    return true;
  }

  // Removes factor position q: rows q+1.. of L move up one, then the rotations G_q,
  // G_{q+1}, ... (above) restore the lower triangle, applied row by row (row i takes
  // G_q .. G_{i-1}, then gives G_i); Lt follows as the transpose of the result.
  void remove(i64 q) {
    pos[F[q]] = -1;
    for (i64 i = q; i + 1 < n; ++i) {
      memmove(L + i * k, L + (i + 1) * k, static_cast<size_t>(i + 2) * sizeof(f64));
      F[i] = F[i + 1];
      s_F[i] = s_F[i + 1];
      pos[F[i]] = i;
    }
    n = n - 1;
    // The rotations' cosines and sines, kept in x (entry r - q) and z (z is refreshed
    // after any removal).
    f64 *cs = x, *sn = z;
    for (i64 i = q; i < n; ++i) {
      f64 *Li = L + i * k;
      for (i64 r = q; r < i; ++r) {
        const f64 a = Li[r], b = Li[r + 1];
        Li[r] = cs[r - q] * a + sn[r - q] * b;
        Li[r + 1] = cs[r - q] * b - sn[r - q] * a;
      }
      const f64 a = Li[i], b = Li[i + 1];
      const f64 h = sqrt(a * a + b * b);
      cs[i - q] = a / h;
      sn[i - q] = b / h;
      Li[i] = h;
      Li[i + 1] = 0.0;
    }
    // Lt: rows above q lose column q (their entries below the removed row move left);
    // rows q.. are the transpose of L's changed columns.
    for (i64 p = 0; p < q; ++p) {
      f64 *Ltp = Lt + p * k;
      memmove(Ltp + q, Ltp + q + 1, static_cast<size_t>(n - q) * sizeof(f64));
    }
    for (i64 p = q; p < n; ++p)
      for (i64 i = p; i < n; ++i) Lt[p * k + i] = L[i * k + p];
  }

  // Brings the factor to the active set (variables that left removed, highest position
  // first; a changed sign refreshes z; variables that joined appended in ascending
  // index order), then w = G_AA^-1 s_A in the order of act_idx.
  template <class Vec, class Path>
  [[gnu::always_inline]] inline bool solve(Path &p) {
    bool stale = false;
    for (i64 q = n - 1; q >= 0; --q) {
      if (!p.active[F[q]]) {
        remove(q);
        stale = true;
      }
    }
    for (i64 q = 0; q < n; ++q) {
      if (s_F[q] != p.signs[F[q]]) {
        s_F[q] = p.signs[F[q]];
        stale = true;
      }
    }
    if (stale) refresh_z<Vec>();
    for (i64 a = 0; a < p.n_active; ++a) {
      const i64 j = p.act_idx[a];
      if (pos[j] < 0 && !append<Vec>(p.G, j, p.s_A[a])) return false;
    }
    // w_F = L'^-1 z: w_q = x_q / L_qq, then x_i -= L_qi w_q for i < q (row q of L).
    for (i64 q = 0; q < n; ++q) x[q] = z[q];
    for (i64 q = n - 1; q >= 0; --q) {
      x[q] = x[q] / L[q * k + q];
      axmy<Vec>(x, x[q], L + q * k, q);
    }
    for (i64 a = 0; a < p.n_active; ++a) p.w[a] = x[pos[p.act_idx[a]]];
    return true;
  }
};

}  // namespace

extern "C" {

i64 qdl_lars_lasso_gram_update(const f64 *G, const f64 *c, i64 k, i64 max_iter, f64 tol,
                               f64 *lam_path, f64 *beta_path, i64 *n_knots) {
  LarsStorage storage;
  UpdatedFactor factor;
  qdl::Scratch scratch;
  if (!scratch.take([&](auto &part) {
        storage.lay_out(part, k);
        factor.lay_out(part, k);
      })) {
    *n_knots = 0;
    return QDL_OUT_OF_MEMORY;
  }
  factor.start(k);
  return qdl::inspect_gram(G, k).symmetric
             ? qdl::simd::dispatch<LarsHomotopy<true, UpdatedFactor>>(
                   G, c, k, max_iter, tol, lam_path, beta_path, n_knots, &storage, &factor)
             : qdl::simd::dispatch<LarsHomotopy<false, UpdatedFactor>>(
                   G, c, k, max_iter, tol, lam_path, beta_path, n_knots, &storage, &factor);
}

}  // extern "C"
