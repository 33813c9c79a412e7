// Lasso kernels: coordinate descent, the LARS-lasso path and path evaluation (see
// lasso.h for the contracts).
//
// Every sum below is evaluated in the order its comment states. The only speed-ups
// are vector updates in which each lane is an independent entry (y[i] += a * x[i]
// for all i at once), the elimination of the LARS active block a panel of columns
// at a time (each entry's chain of updates unchanged), and reading a row of G in
// place of the equal column when G equals its transpose bit for bit: all give
// results identical to the plain loops.

#include "lasso.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "qdl_linalg_impl.h"
#include "qdl_simd.h"

namespace {

// A scalar operand of a vector operation is broadcast to every lane.
using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;

// ---------------------------------------------------------------------------
// Shared helpers
// ---------------------------------------------------------------------------

// y[0..n) = y + a * x, entry by entry (product, then add), one vector of Vec at a time.
template <class Vec>
[[gnu::always_inline]] inline void axpy(f64 *QDL_RESTRICT y, f64 a, const f64 *QDL_RESTRICT x,
                                        i64 n) {
  constexpr i64 N = lanes<Vec>;
  i64 i = 0;
  for (; i + N <= n; i += N) store<Vec>(y + i, load<Vec>(y + i) + a * load<Vec>(x + i));
  for (; i < n; ++i) y[i] = y[i] + a * x[i];
}

// y[0..n) = y - a * x, entry by entry (product, then subtract).
template <class Vec>
[[gnu::always_inline]] inline void axmy(f64 *QDL_RESTRICT y, f64 a, const f64 *QDL_RESTRICT x,
                                        i64 n) {
  constexpr i64 N = lanes<Vec>;
  i64 i = 0;
  for (; i + N <= n; i += N) store<Vec>(y + i, load<Vec>(y + i) - a * load<Vec>(x + i));
  for (; i < n; ++i) y[i] = y[i] - a * x[i];
}

inline bool same_bits(f64 a, f64 b) {
  uint64_t ua, ub;
  memcpy(&ua, &a, sizeof ua);
  memcpy(&ub, &b, sizeof ub);
  return ua == ub;
}

// True when G[i,j] and G[j,i] have the same bit pattern for every i, j: then column
// j of G can be read as row j with identical arithmetic (signed zeros and NaN
// payloads included). Compared in 32-by-32 tiles so that both reads stay in cache.
bool bit_symmetric(const f64 *G, i64 k) {
  constexpr i64 kTile = 32;
  for (i64 i0 = 0; i0 < k; i0 += kTile) {
    const i64 i1 = i0 + kTile < k ? i0 + kTile : k;
    for (i64 j0 = 0; j0 <= i0; j0 += kTile) {
      for (i64 i = i0; i < i1; ++i) {
        const i64 j1 = j0 + kTile < i ? j0 + kTile : i;
        for (i64 j = j0; j < j1; ++j)
          if (!same_bits(G[i * k + j], G[j * k + i])) return false;
      }
    }
  }
  return true;
}

// K::run<Vec>(args...) compiled for the widest instruction set the CPU has, with the
// vector type of its register width. K::run is an always_inline template, so each
// instance below carries its own copy of the code generated for that instruction
// set; the arithmetic is the same in all of them.
template <class K, class... A>
QDL_TARGET_AVX512 auto run_avx512(A... a) {
  return K::template run<qdl::simd::v8d>(a...);
}
template <class K, class... A>
QDL_TARGET_AVX2 auto run_avx2(A... a) {
  return K::template run<qdl::simd::v4d>(a...);
}
template <class K, class... A>
auto run_best(A... a) {
#if QDL_HAVE_ISA_DISPATCH
  switch (qdl::simd::best()) {
    case qdl::simd::Isa::avx512: return run_avx512<K>(a...);
    case qdl::simd::Isa::avx2: return run_avx2<K>(a...);
    default: break;
  }
#endif
  return K::template run<qdl::simd::v2d>(a...);
}

// ---------------------------------------------------------------------------
// Coordinate descent.
//
// Cyclic coordinate descent for the lasso in covariance form: Friedman, Hastie,
// Hoefling & Tibshirani, "Pathwise coordinate optimization", Ann. Appl. Stat. 1(2),
// 2007, section 2; the covariance updates of Friedman, Hastie & Tibshirani,
// "Regularization paths for generalized linear models via coordinate descent",
// J. Stat. Softw. 33(1), 2010, section 2.2. Gcoef = G coef is kept by one k-long
// update per applied change, so a coordinate visit costs O(1) unless it moves.
//
// kRows: G equals its transpose bit for bit, so column j is read as the contiguous
// row j (the same values, hence the same results).
// ---------------------------------------------------------------------------
template <bool kRows>
struct LassoSweeps {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(const f64 *G, const f64 *g, i64 k, f64 alpha,
                                               i64 max_iter, f64 tol, f64 *coef, f64 *Gcoef) {
    for (i64 it = 0; it < max_iter; ++it) {
      f64 max_delta = 0.0;
      for (i64 j = 0; j < k; ++j) {
        const f64 Gjj = G[j * k + j];
        if (Gjj <= 0.0) continue;  // false for NaN: its delta is NaN and discarded below
        // z = g[j] - sum_{i != j} G[j,i] coef[i], from the maintained Gcoef.
        const f64 z = (g[j] - Gcoef[j]) + coef[j] * Gjj;
        const f64 new_coef_j = qdl_smooth_threshold(z, alpha) / Gjj;
        const f64 delta = new_coef_j - coef[j];
        const f64 size = fabs(delta);
        if (!(size > tol)) continue;  // a change of at most tol (or NaN) is discarded
        if constexpr (kRows) {
          axpy<Vec>(Gcoef, delta, G + j * k, k);  // Gcoef[:] += delta * G[j,:]
        } else {
          for (i64 i = 0; i < k; ++i) Gcoef[i] = Gcoef[i] + delta * G[i * k + j];  // += delta * G[:,j]
        }
        coef[j] = new_coef_j;
        if (size > max_delta) max_delta = size;
      }
      if (max_delta < tol) return REGRESSION_OK;
    }
    return REGRESSION_NON_CONVERGENT;
  }
};

// ---------------------------------------------------------------------------
// LARS-lasso path.
//
// Efron, Hastie, Johnstone & Tibshirani, "Least angle regression", Ann. Statist.
// 32(2), 2004: the equiangular direction of section 2 (w = G_AA^-1 s_A,
// A = (s_A' w)^-1/2, d = A w) and the lasso modification of section 3.1 (a
// coefficient that reaches zero leaves the active set), in covariance form.
// ---------------------------------------------------------------------------

// Solves A x = b by Gaussian elimination with partial pivoting and back
// substitution (Golub & Van Loan, Matrix Computations, 4th ed., algorithms 3.4.1
// and 3.1.2). A (n*n, row-major) and b (n) are destroyed. The pivot is not tested:
// a zero pivot makes x non-finite, which the caller detects.
//
// The elimination, column by column, is
//   pivot:  swap rows col and argmax_{row >= col} |A[row,col]| (the first largest), and b
//   rows:   f = A[row,col] / A[col,col];  b[row] -= f b[col];  A[row,c] -= f A[col,c], c > col
// so every entry A[r,c] takes its updates as one chain over col = 0, 1, ... in order.
// The chains are evaluated a panel of kPanel columns at a time (blocked right-looking
// elimination, as in block LU: Golub & Van Loan, section 3.2): the panel's columns and b are
// eliminated as above, each multiplier f kept in A[row,col] (an entry the solve never
// reads again), and the columns right of the panel then take the panel's kPanel
// updates per entry in one pass. Each entry sees the same operations in the same
// order as column by column; only the number of passes over A changes. Rows are
// swapped whole, so an entry's pending updates travel with its multipliers.
constexpr i64 kPanel = 8;

// A[r,c] -= A[r,col] * A[col,c] for col = p0 .. min(r,p1)-1 in order, for the rows
// r > p0 in ascending order (rows of the panel first: their results are the pivot
// rows the later rows read) and every column c >= p1.
template <class Vec>
[[gnu::always_inline]] inline void panel_update(f64 *A, i64 n, i64 p0, i64 p1) {
  constexpr int N = lanes<Vec>;
  constexpr int NA = N == 2 ? 8 : 32 / N;  // vectors side by side: 32 columns, 16 on SSE2
  for (i64 r = p0 + 1; r < n; ++r) {
    f64 *Ar = A + r * n;
    const i64 top = r < p1 ? r : p1;
    i64 c = p1;
    // NA vectors of columns side by side: NA independent chains per step.
    for (; c + NA * N <= n; c += NA * N) {
      Vec a[NA];
      for (int v = 0; v < NA; ++v) a[v] = load<Vec>(Ar + c + N * v);
      for (i64 col = p0; col < top; ++col) {
        const f64 f = Ar[col];
        const f64 *U = A + col * n + c;
        for (int v = 0; v < NA; ++v) a[v] = a[v] - f * load<Vec>(U + N * v);
      }
      for (int v = 0; v < NA; ++v) store<Vec>(Ar + c + N * v, a[v]);
    }
    for (; c + N <= n; c += N) {
      Vec a0 = load<Vec>(Ar + c);
      for (i64 col = p0; col < top; ++col) a0 = a0 - Ar[col] * load<Vec>(A + col * n + c);
      store<Vec>(Ar + c, a0);
    }
    for (; c < n; ++c) {
      f64 s = Ar[c];
      for (i64 col = p0; col < top; ++col) s = s - Ar[col] * A[col * n + c];
      Ar[c] = s;
    }
  }
}

template <class Vec>
[[gnu::always_inline]] inline void qdl_solve_small(f64 *A, f64 *b, i64 n, f64 *x) {
  for (i64 p0 = 0; p0 < n; p0 += kPanel) {
    const i64 p1 = p0 + kPanel < n ? p0 + kPanel : n;
    for (i64 col = p0; col < p1; ++col) {
      // The first largest |A[row, col]|, row >= col.
      i64 max_row = col;
      for (i64 row = col + 1; row < n; ++row)
        if (fabs(A[row * n + col]) > fabs(A[max_row * n + col])) max_row = row;
      if (max_row != col) {  // swap rows col and max_row of A (all n columns) and of b
        f64 *Ac = A + col * n, *Am = A + max_row * n;
        for (i64 c = 0; c < n; ++c) {
          const f64 t = Ac[c];
          Ac[c] = Am[c];
          Am[c] = t;
        }
        const f64 tb = b[col];
        b[col] = b[max_row];
        b[max_row] = tb;
      }
      const f64 piv = A[col * n + col];
      const f64 *P = A + col * n;
      for (i64 row = col + 1; row < n; ++row) {
        f64 *R = A + row * n;
        const f64 f = R[col] / piv;
        R[col] = f;
        b[row] = b[row] - f * b[col];
        for (i64 c = col + 1; c < p1; ++c) R[c] = R[c] - f * P[c];  // within the panel
      }
    }
    panel_update<Vec>(A, n, p0, p1);
  }
  for (i64 i = n - 1; i >= 0; --i) {  // x[i] = (b[i] - sum_{j>i} A[i,j] x[j]) / A[i,i]
    x[i] = b[i];
    for (i64 j = i + 1; j < n; ++j) x[i] = x[i] - A[i * n + j] * x[j];
    x[i] = x[i] / A[i * n + i];
  }
}

// Whether an entering candidate's crossing time t = num / denom shortens the step.
// A crossing ahead (t > 0) always counts. So does an exact tie (num == 0: the
// correlation already sits at the bound it is about to pass, t == 0), which then
// enters at the same penalty through a step of length 0 -- except for the variable
// the previous step removed, whose correlation is at the bound by construction and
// which the lasso modification keeps out.
inline bool crossing_counts(f64 t, f64 num, bool tie_may_enter) {
  return t > 0.0 || (tie_may_enter && num == 0.0);
}

// The homotopy, from knot 0 on, in the working storage fbuf and ibuf of the caller;
// returns the status and stores the knot count. kRows: G equals its transpose bit for
// bit, so G d is accumulated from rows of G (each Gd[j] still summed over ascending a).
template <bool kRows>
struct LarsHomotopy {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(const f64 *G, const f64 *c, i64 k, i64 max_iter,
                                               f64 tol, f64 *lam_path, f64 *beta_path,
                                               i64 *n_knots, f64 *fbuf, i64 *ibuf) {
    f64 *beta = fbuf, *signs = fbuf + k, *r = fbuf + 2 * k, *s_A = fbuf + 3 * k,
        *w = fbuf + 4 * k, *d = fbuf + 5 * k, *Gd = fbuf + 6 * k, *G_AA = fbuf + 7 * k;
    i64 *active = ibuf, *act_idx = ibuf + k;

    for (i64 j = 0; j < k; ++j) {
      beta[j] = 0.0;
      signs[j] = 0.0;
      active[j] = 0;
      r[j] = c[j];
    }
    i64 n_active = 0;
    i64 left = -1;  // the variable the previous step removed, or -1
    f64 lam = 0.0;
    for (i64 j = 0; j < k; ++j)
      if (fabs(r[j]) > lam) lam = fabs(r[j]);  // lam_max; NaN never raises it

    lam_path[0] = lam;  // knot 0: (lam_max, zeros)
    for (i64 j = 0; j < k; ++j) beta_path[j] = 0.0;
    i64 knot = 1;
    i64 status = REGRESSION_NON_CONVERGENT;
    if (lam <= tol) {
      status = REGRESSION_OK;
      goto done;
    }

    for (i64 iter = 0; iter < max_iter; ++iter) {
      const i64 just_left = left;
      // Entry: after a removal none; otherwise the inactive variable with the largest
      // |r| (the lowest index among equals), and lam re-synchronised to it.
      if (just_left < 0) {
        i64 new_var = -1;
        f64 new_lam = -1.0;
        for (i64 j = 0; j < k; ++j) {
          if (active[j]) continue;
          const f64 abs_r = fabs(r[j]);
          if (abs_r > new_lam) {
            new_lam = abs_r;
            new_var = j;
          }
        }
        if (new_var >= 0) {
          lam = new_lam;
          active[new_var] = 1;
          signs[new_var] = r[new_var] > 0.0 ? 1.0 : -1.0;
          n_active = n_active + 1;
        } else if (n_active == 0) {  // nothing can enter (k = 0, or every r is NaN)
          status = REGRESSION_OK;
          goto done;
        }
      }
      left = -1;

      // Active block and signs, rebuilt from G at every step.
      {
        i64 a = 0;
        for (i64 j = 0; j < k; ++j)
          if (active[j]) act_idx[a++] = j;
      }
      for (i64 a = 0; a < n_active; ++a) {
        const f64 *Ga = G + act_idx[a] * k;
        s_A[a] = signs[act_idx[a]];
        for (i64 b = 0; b < n_active; ++b) G_AA[a * n_active + b] = Ga[act_idx[b]];
      }
      qdl_solve_small<Vec>(G_AA, s_A, n_active, w);  // w = G_AA^-1 s_A

      // sw = s_A' w, ascending (signs read afresh: the solve permuted s_A).
      f64 sw = 0.0;
      for (i64 a = 0; a < n_active; ++a) sw = sw + signs[act_idx[a]] * w[a];
      if (!(sw > 0.0) || !isfinite(sw)) goto done;  // singular or indefinite block

      // d = A_scalar * w on the active set, 0 elsewhere; Gd = G d.
      const f64 A_scalar = 1.0 / sqrt(sw);
      for (i64 j = 0; j < k; ++j) d[j] = 0.0;
      for (i64 a = 0; a < n_active; ++a) d[act_idx[a]] = A_scalar * w[a];
      if constexpr (kRows) {
        // Gd[j] = sum_a G[act_a, j] d[act_a], each Gd[j] its own sum over ascending a.
        for (i64 j = 0; j < k; ++j) Gd[j] = 0.0;
        for (i64 a = 0; a < n_active; ++a) axpy<Vec>(Gd, d[act_idx[a]], G + act_idx[a] * k, k);
      } else {
        for (i64 j = 0; j < k; ++j) {  // Gd[j] = sum_a G[j, act_a] d[act_a], ascending a
          const f64 *Gj = G + j * k;
          f64 s = 0.0;
          for (i64 a = 0; a < n_active; ++a) s = s + Gj[act_idx[a]] * d[act_idx[a]];
          Gd[j] = s;
        }
      }

      // The full step brings lam to 0; entering and leaving candidates shorten it.
      f64 step = lam / A_scalar;
      i64 drop_var = -1;
      for (i64 j = 0; j < k; ++j) {
        if (active[j]) continue;
        const bool tie_may_enter = j != just_left;
        const f64 denom1 = A_scalar - Gd[j];
        const f64 denom2 = A_scalar + Gd[j];
        if (denom1 > 1e-14) {  // r[j] reaches +lam
          const f64 num = lam - r[j];
          const f64 t = num / denom1;
          if (crossing_counts(t, num, tie_may_enter) && t < step) step = t;
        }
        if (denom2 > 1e-14) {  // r[j] reaches -lam
          const f64 num = lam + r[j];
          const f64 t = num / denom2;
          if (crossing_counts(t, num, tie_may_enter) && t < step) step = t;
        }
      }
      for (i64 a = 0; a < n_active; ++a) {  // beta[j] reaches 0
        const i64 j = act_idx[a];
        if (d[j] != 0.0) {
          const f64 t = -beta[j] / d[j];
          if (t > 0.0 && t < step) {
            step = t;
            drop_var = j;
          }
        }
      }

      // Move: beta += step d, r -= step Gd, lam -= step A_scalar.
      axpy<Vec>(beta, step, d, k);
      axmy<Vec>(r, step, Gd, k);
      lam = lam - step * A_scalar;
      if (lam < 0.0 && lam > -tol) lam = 0.0;

      if (drop_var >= 0) {
        active[drop_var] = 0;
        beta[drop_var] = 0.0;
        n_active = n_active - 1;
        left = drop_var;
      }

      lam_path[knot] = lam;
      if (k > 0) memcpy(beta_path + knot * k, beta, static_cast<size_t>(k) * sizeof(f64));
      knot = knot + 1;
      if (lam <= tol) {
        status = REGRESSION_OK;
        goto done;
      }
    }

  done:
    *n_knots = knot;
    return status;
  }
};

// ---------------------------------------------------------------------------
// Path evaluation: bisection for the bracketing knots, then linear interpolation
// of their rows (the lasso solution is linear in the penalty between knots).
// ---------------------------------------------------------------------------
struct PathEval {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const f64 *lam_path, const f64 *beta_path,
                                                i64 n_knots, i64 k, const f64 *lam_grid,
                                                i64 n_grid, f64 *out) {
    const size_t row_bytes = k > 0 ? static_cast<size_t>(k) * sizeof(f64) : 0;
    for (i64 gi = 0; gi < n_grid; ++gi) {
      f64 *row = out + gi * k;
      const f64 lam = lam_grid[gi];
      if (n_knots <= 0 || lam >= lam_path[0]) {  // no path, or at or above the first knot
        if (row_bytes) memset(row, 0, row_bytes);
        continue;
      }
      if (lam <= lam_path[n_knots - 1]) {  // at or below the last knot
        if (row_bytes) memcpy(row, beta_path + (n_knots - 1) * k, row_bytes);
        continue;
      }
      // lam_path[lo] >= lam > lam_path[hi] throughout; a NaN lam fails every test and
      // ends at lo = 0, giving a NaN t and a NaN row.
      i64 lo = 0, hi = n_knots - 1;
      while (hi - lo > 1) {
        const i64 mid = (lo + hi) / 2;
        if (lam_path[mid] >= lam) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      const f64 t = (lam - lam_path[lo]) / (lam_path[hi] - lam_path[lo]);
      // row = B[lo,:] + t * (B[hi,:] - B[lo,:])
      const f64 *Blo = beta_path + lo * k, *Bhi = beta_path + hi * k;
      constexpr i64 N = lanes<Vec>;
      i64 j = 0;
      for (; j + N <= k; j += N) {
        const Vec bl = load<Vec>(Blo + j);
        store<Vec>(row + j, bl + t * (load<Vec>(Bhi + j) - bl));
      }
      for (; j < k; ++j) row[j] = Blo[j] + t * (Bhi[j] - Blo[j]);
    }
  }
};

}  // namespace

extern "C" {

i64 qdl_lasso_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha, i64 max_iter, f64 tol,
                      f64 *coef, f64 *Gcoef) {
  if (!qdl::fits(k, k)) return REGRESSION_NON_CONVERGENT;  // no such G: nothing is touched
  if (k > 0) {
    memset(coef, 0, static_cast<size_t>(k) * sizeof(f64));
    memset(Gcoef, 0, static_cast<size_t>(k) * sizeof(f64));
  }
  if (max_iter <= 0) return REGRESSION_NON_CONVERGENT;  // no sweep: zeros
  if (bit_symmetric(G, k))
    return run_best<LassoSweeps<true>>(G, g, k, alpha, max_iter, tol, coef, Gcoef);
  return run_best<LassoSweeps<false>>(G, g, k, alpha, max_iter, tol, coef, Gcoef);
}

i64 qdl_lars_lasso_gram(const f64 *G, const f64 *c, i64 k, i64 max_iter, f64 tol, f64 *lam_path,
                        f64 *beta_path, i64 *n_knots) {
  // Working storage: fbuf = beta, signs, r, s_A, w, d, Gd (k each), G_AA (k*k);
  // ibuf = active, act_idx (k each). A zero-size request counts as obtained.
  const size_t kk = k > 0 ? static_cast<size_t>(k) : 0;
  f64 *fbuf = static_cast<f64 *>(malloc(kk * (kk + 7) * sizeof(f64)));
  i64 *ibuf = static_cast<i64 *>(malloc(2 * kk * sizeof(i64)));
  if (kk > 0 && (fbuf == nullptr || ibuf == nullptr)) {
    free(fbuf);
    free(ibuf);
    *n_knots = 0;
    return REGRESSION_NON_CONVERGENT;
  }
  const i64 status =
      bit_symmetric(G, k)
          ? run_best<LarsHomotopy<true>>(G, c, k, max_iter, tol, lam_path, beta_path, n_knots,
                                         fbuf, ibuf)
          : run_best<LarsHomotopy<false>>(G, c, k, max_iter, tol, lam_path, beta_path, n_knots,
                                          fbuf, ibuf);
  free(fbuf);
  free(ibuf);
  return status;
}

void qdl_lasso_path_eval(const f64 *lam_path, const f64 *beta_path, i64 n_knots, i64 k,
                         const f64 *lam_grid, i64 n_grid, f64 *out) {
  if (n_grid <= 0 || !qdl::fits(n_knots, k) || !qdl::fits(n_grid, k)) return;
  run_best<PathEval>(lam_path, beta_path, n_knots, k, lam_grid, n_grid, out);
}

}  // extern "C"
