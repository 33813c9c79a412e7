// Elastic-net kernels (see elastic_net.h for the contracts).

#include "elastic_net.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <limits>

#include "cd_impl.h"
#include "qdl_linalg.h"
#include "qdl_linalg_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"
#include "qdl_trace_impl.h"
#include "regression.h"

namespace {

using qdl::cd::Problem;

// Splits a total penalty into its L1 and L2 parts at the mixing ratio l1_ratio.
inline void split_penalty(f64 alpha, f64 l1_ratio, f64 *a1, f64 *a2) {
  *a1 = alpha * l1_ratio;
  *a2 = alpha * (1.0 - l1_ratio);
}

// One solve of qdl_en_gram_cd: coef = beta0, Gcoef = (G + a2 I) coef, then the sweeps.
struct EnSolve {
  template <class Vec>
  [[gnu::always_inline]] static inline i64 run(const Problem &q, f64 a1, f64 a2,
                                               const f64 *QDL_RESTRICT beta0,
                                               f64 *QDL_RESTRICT coef, f64 *QDL_RESTRICT Gcoef) {
    const f64 *G = q.G;
    const i64 k = q.k;
    if (k > 0) {
      memcpy(coef, beta0, static_cast<size_t>(k) * sizeof(f64));
      if (q.symmetric) {
        // Gcoef[:] = 0 + sum_j G[j,:] * coef[j], j ascending, each entry its own running
        // sum. With G finite a zero coef[j] only adds a signed zero to a sum that
        // started at +0.0 and so can never be -0.0: the row changes nothing and is
        // passed over.
        memset(Gcoef, 0, static_cast<size_t>(k) * sizeof(f64));
        for (i64 j = 0; j < k; ++j) {
          if (q.finite && coef[j] == 0.0) continue;
          qdl::simd::axpy<Vec>(Gcoef, coef[j], G + j * k, k);
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
    return qdl::cd::sweeps<Vec, true>(q, a1, a2, coef, Gcoef);
  }
};

inline i64 en_solve(const Problem &q, f64 a1, f64 a2, const f64 *beta0, f64 *coef, f64 *Gcoef) {
  return qdl::simd::dispatch<EnSolve>(q, a1, a2, beta0, coef, Gcoef);
}

}  // namespace

extern "C" {

i64 qdl_en_gram_cd(const f64 *G, const f64 *g, i64 k, f64 alpha_l1, f64 alpha_l2,
                   const f64 *beta0, i64 max_iter, f64 tol, f64 *coef, f64 *Gcoef) {
  if (!qdl::fits(k, k)) return REGRESSION_NON_CONVERGENT;  // no such G: nothing is touched
  return en_solve(qdl::cd::problem(G, g, k, max_iter, tol), alpha_l1, alpha_l2, beta0, coef,
                  Gcoef);
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
  const Problem q = qdl::cd::problem(G, g, k, max_iter, tol);  // one inspection for the whole grid
  // An ascending grid (judged by its end points) is walked from its large end.
  const bool ascending = n_alpha > 1 && alpha_grid[0] < alpha_grid[n_alpha - 1];
  for (i64 pos = 0; pos < n_alpha; ++pos) {
    const i64 idx = ascending ? n_alpha - 1 - pos : pos;
    f64 a1, a2;
    split_penalty(alpha_grid[idx], l1_ratio, &a1, &a2);
    f64 *coef_idx = coefs + idx * k;
    statuses[idx] = en_solve(q, a1, a2, beta, coef_idx, Gcoef);
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

  // Working storage: active (na), then pen, L and G_A (na*na each); G_A is solved in
  // place. A size that does not fit counts as storage that cannot be obtained.
  i64 *active;
  f64 *pen, *L, *G_active;
  qdl::Scratch scratch;
  if (!scratch.take([&](auto &part) {
        part(active, na);
        for (f64 **m : {&pen, &L, &G_active}) part(*m, na, na);
      }))
    return ic + static_cast<f64>(na);

  i64 cur = 0;
  for (i64 j = 0; j < k; ++j)
    if (fabs(beta[j]) > atol) active[cur++] = j;
  // G_A[i,j] = G[active[i], active[j]]; pen = G_A + alpha_l2 I.
  for (i64 i = 0; i < na; ++i) {
    const f64 *Grow = G + active[i] * k;
    for (i64 j = 0; j < na; ++j) {
      const f64 val = Grow[active[j]];
      G_active[i * na + j] = val;
      pen[i * na + j] = val;
    }
    pen[i * na + i] = pen[i * na + i] + alpha_l2;
  }

  // trace((G_A + alpha_l2 I)^-1 G_A) from the Cholesky factor L of the penalised block.
  f64 dof;
  if (qdl_chol(pen, 0.0, L, na) != 0) {
    dof = static_cast<f64>(na);  // not numerically PD: the unpenalised active-set count
  } else {
    dof = qdl::chol_trace(L, G_active, na, G_active, na, na, na);
  }
  return ic + dof;
}

}  // extern "C"
