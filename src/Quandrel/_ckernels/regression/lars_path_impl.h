/* Private: the LARS-lasso homotopy, shared by the two exported paths of lasso.h.
 *
 * The steps of a path (entry with the tie decision, the equiangular direction, the
 * step to the next event, the move and the record) are written once here; how the
 * active system G_AA w = s_A is solved at each step is a policy, the Block:
 *   - lasso.cpp (qdl_lars_lasso_gram): the active block rebuilt from G and
 *     eliminated at every step (O(n_active^3) a knot);
 *   - lasso_update.cpp (qdl_lars_lasso_gram_update): a Cholesky factor of the active
 *     block carried from knot to knot, updated when a variable enters and downdated
 *     when one leaves (O(n_active^2) a knot).
 * A Block provides
 *   template <class Vec, class Path> bool solve(Path &p)
 * which, given p.act_idx (the n_active active variables, ascending, n_active >= 1),
 * p.s_A (their signs) and p.signs, writes p.w[a] = (G_AA^-1 s_A)[a] in the order of
 * act_idx, or returns false when the block is singular (the path then ends as
 * non-convergent). s_A must be left unchanged.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_LARS_PATH_IMPL_H
#define QUANDREL_CKERNELS_REGRESSION_LARS_PATH_IMPL_H

#include <math.h>
#include <string.h>

#include <initializer_list>

#include "lasso_ties_impl.h"
#include "qdl_common.h"
#include "qdl_simd.h"
#include "regression.h"

namespace qdl::lars {

using qdl::simd::axmy;
using qdl::simd::axpy;

// ---------------------------------------------------------------------------
// LARS-lasso path.
//
// Efron, Hastie, Johnstone & Tibshirani, "Least angle regression", Ann. Statist.
// 32(2), 2004: the equiangular direction of section 2 (w = G_AA^-1 s_A,
// A = (s_A' w)^-1/2, d = A w) and the lasso modification of section 3.1 (a
// coefficient that reaches zero leaves the active set), in covariance form.
// ---------------------------------------------------------------------------

// Whether an entering candidate's crossing time t = num / denom shortens the step.
// A crossing ahead (t > 0) always counts. So does an exact tie (num == 0: the
// correlation already sits at the bound it is about to pass, t == 0), which then
// enters at the same penalty through a step of length 0 -- except for the variable
// the previous step removed, whose correlation is at the bound by construction and
// which the lasso modification keeps out. (At a knot where two or more variables
// tie, the tie decision below has already settled who enters, and the ones it
// holds out are not candidates for their own bound.)
inline bool crossing_counts(f64 t, f64 num, bool tie_may_enter) {
  return t > 0.0 || (tie_may_enter && num == 0.0);
}

// The working storage of one path: k*(3k+11) f64 and 7k i64, in one block.
struct LarsStorage {
  f64 *beta, *signs, *r, *s_A, *w, *d, *Gd;  // k each
  f64 *G_AA;  // k*k (n_active*n_active used): the block's elimination, the tie decision's G_FF
  i64 *active, *act_idx;                      // active flags, the active indices ascending
  TieWork tw;

  // The layout, for qdl::Scratch::take.
  template <class Part>
  void lay_out(Part &part, i64 k) {
    for (f64 **v : {&beta, &signs, &r, &s_A, &w, &d, &Gd}) part(*v, k);
    part(G_AA, k, k);
    part(active, k);
    part(act_idx, k);
    part(tw.M, k, k);
    part(tw.W, k, k);
    for (f64 **v : {&tw.q, &tw.u, &tw.v, &tw.rhs}) part(*v, k);
    for (i64 **v : {&tw.T, &tw.in_S, &tw.held, &tw.gone, &tw.piv}) part(*v, k);
  }
};

// One LARS-lasso path in its working storage, as named steps: start (knot 0), then
// per homotopy step enter (who joins at this knot), direction (the equiangular
// direction of the active set), step_length (to the next event), move (to the next
// knot, with whoever leaves there) and record (write the knot). kRows: G equals its
// transpose bit for bit, so G d is accumulated from rows of G (each Gd[j] still summed
// over ascending a). Block: how the active system is solved (above).
template <bool kRows, class Block>
struct LarsPath : LarsStorage {
  enum class Entry { go_on, path_done, failed };

  Block &block;
  const f64 *G, *c;
  i64 k;
  i64 n_active = 0;
  i64 left = -1;       // the variable the previous step removed, or -1
  i64 just_left = -1;  // left as it was at this knot's entry
  i64 n_tied = 0;      // variables at the bound at this knot (tw.T)
  f64 lam = 0.0;
  f64 A_scalar = 0.0;
  f64 c_max = 0.0;  // max_j |c_j|
  f64 G_max = 0.0;  // max_jl |G_jl|, for the screen of tie_set

  LarsPath(const f64 *G_, const f64 *c_, i64 k_, const LarsStorage &storage, Block &block_)
      : LarsStorage(storage), block(block_), G(G_), c(c_), k(k_) {}

  // Knot 0: beta = 0, r = c, nothing active, lam = lam_max = max_j |c_j| (NaN never
  // raises it; 0 when k = 0).
  void start() {
    for (i64 j = 0; j < k; ++j) {
      beta[j] = 0.0;
      signs[j] = 0.0;
      active[j] = 0;
      r[j] = c[j];
      tw.held[j] = 0;
      tw.gone[j] = 0;
    }
    for (i64 j = 0; j < k; ++j)
      if (fabs(r[j]) > lam) lam = fabs(r[j]);
    c_max = lam;
    for (i64 i = 0; i < k * k; ++i)
      if (fabs(G[i]) > G_max) G_max = fabs(G[i]);
  }

  // A bound on the sigma of tie_set, with room for the rounding of both sums:
  // max |c| + max |G| * sum over active j of |beta_j|.
  f64 sigma_bound() const {
    f64 b1 = 0.0;
    for (i64 a = 0; a < n_active; ++a) b1 = b1 + fabs(beta[act_idx[a]]);
    return (c_max + G_max * b1) * (1.0 + 1e-6);
  }

  // act_idx = the active variables, ascending.
  void list_active() {
    i64 a = 0;
    for (i64 j = 0; j < k; ++j)
      if (active[j]) act_idx[a++] = j;
  }

  // Entry at the current knot. With two or more variables at the bound (tie_set), the
  // tie decision, lam unchanged; otherwise, unless a variable has just left, the
  // inactive variable with the largest |r| (the lowest index among equals) joins and
  // lam is re-synchronised to it. path_done: nothing can enter (k = 0, or every r is
  // NaN) and nothing is active; failed: the tie decision found the tied block
  // singular or its problem unsolved.
  Entry enter() {
    just_left = left;
    left = -1;
    list_active();
    n_tied = tie_set(G, c, k, beta, r, active, act_idx, n_active, lam, sigma_bound(), just_left,
                     tw.gone, tw.T);
    if (n_tied >= 2)
      return enter_tied(G, k, r, signs, active, act_idx, &n_active, n_tied, G_AA, tw)
                 ? Entry::go_on
                 : Entry::failed;
    if (just_left >= 0) return Entry::go_on;
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
    } else if (n_active == 0) {
      return Entry::path_done;
    }
    return Entry::go_on;
  }

  // The equiangular direction of the active set: w = G_AA^-1 s_A (by the Block),
  // A_scalar = (s_A' w)^-1/2, d = A_scalar w on the active set and 0 elsewhere,
  // Gd = G d. False, with nothing else meaningful, when s_A' w is not a finite
  // positive number (a singular or indefinite block, or an empty active set).
  template <class Vec>
  [[gnu::always_inline]] inline bool direction() {
    list_active();
    for (i64 a = 0; a < n_active; ++a) s_A[a] = signs[act_idx[a]];
    if (n_active == 0 || !block.template solve<Vec>(*this)) return false;

    // sw = s_A' w, ascending.
    f64 sw = 0.0;
    for (i64 a = 0; a < n_active; ++a) sw = sw + s_A[a] * w[a];
    if (!(sw > 0.0) || !isfinite(sw)) return false;

    A_scalar = 1.0 / sqrt(sw);
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
    return true;
  }

  // The step to the next event: the full step lam / A_scalar brings lam to 0; an
  // inactive correlation reaching +-lam (not a held variable's own bound) or an active
  // coefficient reaching 0 shortens it; *drop_var is the first coefficient that
  // limits it, or -1. Releases the variables held at this knot.
  //
  // Along the step t, lam falls at the rate A_scalar and r[j] moves at the rate
  // -Gd[j], so the gap lam - r[j] closes at the rate A_scalar - Gd[j] and lam + r[j]
  // at A_scalar + Gd[j]; a bound is reached only if its rate is positive. The test is
  // rate > 1e-14, not rate > 0: a rate that is zero in exact arithmetic comes out of
  // the sums as a few units of rounding, of either sign -- a variable whose column
  // duplicates an active one's (or a combination of them) has Gd[j] = +-A_scalar
  // exactly -- and the gap divided by it would be an arbitrary time, a spurious knot at
  // which a collinear variable enters. The threshold is absolute, in the units of
  // A_scalar = (s_A' G_AA^-1 s_A)^-1/2 and of Gd, those of the square root of G: for
  // columns scaled to unit norm (G[j,j] = 1) the rates are of order one, and 1e-14 is
  // about 45 units in the last place of one, above the rounding of a short sum of such
  // terms and far below any rate that means a real crossing.
  f64 step_length(i64 *drop_var) {
    f64 step = lam / A_scalar;
    *drop_var = -1;
    for (i64 j = 0; j < k; ++j) {
      if (active[j]) continue;
      const bool tie_may_enter = j != just_left;
      const f64 denom1 = A_scalar - Gd[j];
      const f64 denom2 = A_scalar + Gd[j];
      if (denom1 > 1e-14 && tw.held[j] != 1) {  // r[j] reaches +lam
        const f64 num = lam - r[j];
        const f64 t = num / denom1;
        if (crossing_counts(t, num, tie_may_enter) && t < step) step = t;
      }
      if (denom2 > 1e-14 && tw.held[j] != -1) {  // r[j] reaches -lam
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
          *drop_var = j;
        }
      }
    }
    if (n_tied >= 2)
      for (i64 a = 0; a < n_tied; ++a) tw.held[tw.T[a]] = 0;
    return step;
  }

  // To the next knot: beta += step d, r -= step Gd, lam -= step A_scalar (a value in
  // (-tol, 0) set to 0); drop_var leaves (its coefficient exactly 0) and so does every
  // other coefficient that reaches 0 with this step (mark_gone).
  //
  // The snap: the full step is lam / A_scalar, and lam - (lam / A_scalar) * A_scalar
  // is 0 in exact arithmetic but, rounded twice, may come out a few units of rounding
  // below it. A negative penalty has no meaning (and the path's penalties must stay
  // non-negative), so a value within tol below 0 -- tol in the units of lam and c, the
  // same tolerance that ends the path -- is that rounding and becomes exactly 0. A
  // value at or below -tol is not rounding of this kind and is left to show.
  template <class Vec>
  [[gnu::always_inline]] inline void move(f64 step, i64 drop_var, f64 tol) {
    const bool more_leave = mark_gone(beta, d, act_idx, n_active, step, drop_var, tw.gone);
    const i64 n_act_before = n_active;
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
    if (more_leave) leave_gone(beta, active, act_idx, n_act_before, &n_active, tw.gone);
  }

  // Knot `knot`: lam and the k coefficients.
  void record(f64 *lam_path, f64 *beta_path, i64 knot) const {
    lam_path[knot] = lam;
    if (k > 0) memcpy(beta_path + knot * k, beta, static_cast<size_t>(k) * sizeof(f64));
  }
};

// The homotopy, from knot 0 on, in the caller's working storage; returns the status
// and stores the knot count.
template <bool kRows, class Block>
struct LarsHomotopy {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(const f64 *G, const f64 *c, i64 k, i64 max_iter,
                                               f64 tol, f64 *lam_path, f64 *beta_path,
                                               i64 *n_knots, const LarsStorage *storage,
                                               Block *block) {
    using Path = LarsPath<kRows, Block>;
    Path p(G, c, k, *storage, *block);
    p.start();
    lam_path[0] = p.lam;  // knot 0: (lam_max, zeros)
    for (i64 j = 0; j < k; ++j) beta_path[j] = 0.0;
    i64 knot = 1;
    i64 status = p.lam <= tol ? REGRESSION_OK : REGRESSION_NON_CONVERGENT;
    for (i64 iter = 0; status != REGRESSION_OK && iter < max_iter; ++iter) {
      const typename Path::Entry entry = p.enter();
      if (entry == Path::Entry::path_done) status = REGRESSION_OK;
      if (entry != Path::Entry::go_on || !p.template direction<Vec>()) break;
      i64 drop_var;
      const f64 step = p.step_length(&drop_var);
      p.template move<Vec>(step, drop_var, tol);
      p.record(lam_path, beta_path, knot);
      knot = knot + 1;
      if (p.lam <= tol) status = REGRESSION_OK;
    }
    *n_knots = knot;
    return status;
  }
};

}  // namespace qdl::lars

#endif /* QUANDREL_CKERNELS_REGRESSION_LARS_PATH_IMPL_H */
