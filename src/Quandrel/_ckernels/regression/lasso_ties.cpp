// The tie decision of the LARS-lasso path (see lasso_ties_impl.h for the contracts).

#include "lasso_ties_impl.h"

#include <math.h>

#include "qdl_linalg.h"
#include "qdl_parallel_impl.h"

namespace qdl::lars {
namespace {

// ---------------------------------------------------------------------------
// Ties: two or more variables at the bound at one knot.
//
// At a knot (lam, beta) with r = c - G beta, F the active set (beta_F != 0, signs
// s_F) and T the inactive variables with |r_j| = lam (within tau, below), plus the
// variable that has just left, with s_j = sign(r_j): moving lam down by one unit
// moves beta_A by w_A = G_AA^-1 s_A, A = F u S, and which S of T must enter is the
// linear complementarity problem
//   u >= 0,  v = q + M u >= 0,  u_j v_j = 0,
//   M = S_T (G_TT - G_TF G_FF^-1 G_FT) S_T,  q = S_T G_TF G_FF^-1 s_F - 1,
// where u_j = s_j w_j is the speed at which j enters and v_j >= 0 says |r_j| does
// not overtake lam (Murty, "Linear complementarity, linear and nonlinear
// programming", 1988, chapters 1 and 4). M is a Schur complement of G, positive
// definite when G is, hence a P-matrix: the solution is unique. S = {j : u_j M_jj >
// delta}. Up to kEnumerateMax tied variables every subset is tried (the one that
// passes with the largest margin wins, should rounding let several pass); above
// that Murty's least-index principal pivoting, finite for every P-matrix, finds it.
// A knot with one tied variable keeps the classic decision (it enters, or, if it
// has just left, stays out), so paths without ties are unchanged.
// ---------------------------------------------------------------------------
constexpr f64 kTieRel = 1e-12;      // tau = kTieRel * sigma
constexpr f64 kLcpDelta = 1e-10;    // delta: the margin of u_j M_jj and v_j
constexpr f64 kSingularRel = 1e-12; // a Schur pivot at most this times G_jj is singular
constexpr i64 kEnumerateMax = 10;   // |T| up to this: every subset of T is tried

// Solves A X = B in place (A n*n, B n*m, both row-major; X overwrites B; piv n
// exchanges) by the path's elimination (DividingLU). Returns false, with A and B garbage, when a
// pivot is zero or not finite, or an entry of X is not finite.
bool solve_in_place(f64 *A, f64 *B, i64 n, i64 m, i64 *piv) {
  if (n == 0) return true;
  // A zero pivot; threads only past the path's own bound, as for the direction's solve.
  if (qdl::lu::factor<DividingLU>(A, piv, n, qdl::par::kLarsGrain) != 0) return false;
  for (i64 i = 0; i < n; ++i)
    if (!isfinite(A[i * n + i])) return false;
  qdl::lu::solve_in_place<DividingLU>(A, piv, B, n, m);
  for (i64 i = 0; i < n * m; ++i)
    if (!isfinite(B[i])) return false;
  return true;
}

// M and q of the complementarity problem over T (nT entries, signs sign(r_j)) given
// the active set act_idx (signs from `signs`); G_FF is factorised in Gff (k*k
// scratch). Returns false when G_FF or G_(F u T) is singular within rounding (a
// Schur pivot of M at most kSingularRel * G_jj) or anything is not finite: then the
// direction is not unique (G only semidefinite) or the problem has no lasso meaning.
bool tie_problem(const f64 *G, i64 k, const f64 *r, const f64 *signs, const i64 *act_idx,
                 i64 nF, i64 nT, f64 *Gff, const TieWork &tw) {
  const i64 m = nT + 1;
  f64 *X = tw.W;  // nF rows of m: G_FT and s_F, then G_FF^-1 times them
  for (i64 f = 0; f < nF; ++f) {
    const f64 *Gf = G + act_idx[f] * k;
    for (i64 g = 0; g < nF; ++g) Gff[f * nF + g] = Gf[act_idx[g]];
    for (i64 a = 0; a < nT; ++a) X[f * m + a] = Gf[tw.T[a]];
    X[f * m + nT] = signs[act_idx[f]];
  }
  if (!solve_in_place(Gff, X, nF, m, tw.piv)) return false;
  for (i64 a = 0; a < nT; ++a) {
    const f64 *Ga = G + tw.T[a] * k;
    const f64 sa = r[tw.T[a]] > 0.0 ? 1.0 : -1.0;
    for (i64 b = 0; b <= nT; ++b) {  // b = nT: the column of q
      f64 s = 0.0;
      for (i64 f = 0; f < nF; ++f) s = s + Ga[act_idx[f]] * X[f * m + b];
      if (b == nT) {
        tw.q[a] = sa * s - 1.0;
      } else {
        const f64 sb = r[tw.T[b]] > 0.0 ? 1.0 : -1.0;
        tw.M[a * nT + b] = sa * sb * (Ga[tw.T[b]] - s);
      }
    }
  }
  // M is symmetric but for rounding: made exactly so (the mean of M and M'), it must be
  // positive definite, tested by elimination without pivoting, every pivot clearly
  // positive against the diagonal of G. (Not qdl_chol: its pivots are other sums, and its
  // one bound is relative to the largest diagonal entry, not to each G_jj.)
  qdl_sym_inplace(tw.M, nT);
  f64 *E = tw.W;
  for (i64 a = 0; a < nT; ++a) {
    if (!isfinite(tw.q[a])) return false;
    for (i64 b = 0; b <= a; ++b) {
      if (!isfinite(tw.M[a * nT + b])) return false;
      E[a * nT + b] = E[b * nT + a] = tw.M[a * nT + b];
    }
  }
  for (i64 a = 0; a < nT; ++a) {
    const f64 piv = E[a * nT + a];
    if (!(piv > kSingularRel * fabs(G[tw.T[a] * k + tw.T[a]]))) return false;
    for (i64 b = a + 1; b < nT; ++b) {
      const f64 f = E[b * nT + a] / piv;
      for (i64 j = a + 1; j < nT; ++j) E[b * nT + j] = E[b * nT + j] - f * E[a * nT + j];
    }
  }
  return true;
}

// One trial set S (in_S): u_S = -M_SS^-1 q_S, u = 0 off S; v = q + M u off S, 0 on S.
// Returns false when M_SS is singular; otherwise *margin = the least of u_j M_jj on S
// and v_j off S (the trial is a solution when u_j M_jj > delta on S and v_j >= -delta
// off it).
bool lcp_trial(i64 nT, const TieWork &tw, f64 *margin) {
  i64 nS = 0;
  for (i64 a = 0; a < nT; ++a)
    if (tw.in_S[a]) tw.rhs[nS++] = -tw.q[a];
  for (i64 a = 0, i = 0; a < nT; ++a) {
    if (!tw.in_S[a]) continue;
    for (i64 b = 0, j = 0; b < nT; ++b)
      if (tw.in_S[b]) tw.W[i * nS + j++] = tw.M[a * nT + b];
    ++i;
  }
  if (!solve_in_place(tw.W, tw.rhs, nS, 1, tw.piv)) return false;
  for (i64 a = 0, i = 0; a < nT; ++a) tw.u[a] = tw.in_S[a] ? tw.rhs[i++] : 0.0;
  f64 least = INFINITY;
  for (i64 a = 0; a < nT; ++a) {
    const f64 *Ma = tw.M + a * nT;
    if (tw.in_S[a]) {
      tw.v[a] = 0.0;
      const f64 x = tw.u[a] * Ma[a];
      if (x < least) least = x;
    } else {
      f64 s = tw.q[a];
      for (i64 b = 0; b < nT; ++b)
        if (tw.in_S[b]) s = s + Ma[b] * tw.u[b];
      tw.v[a] = s;
      if (s < least) least = s;
    }
  }
  *margin = least;
  return true;
}

inline bool lcp_solved(i64 nT, const TieWork &tw) {
  for (i64 a = 0; a < nT; ++a) {
    if (tw.in_S[a] ? !(tw.u[a] * tw.M[a * nT + a] > kLcpDelta) : !(tw.v[a] >= -kLcpDelta))
      return false;
  }
  return true;
}

// Every subset of T (nT <= kEnumerateMax), in the order of the bit masks; of those
// that solve the problem, the one with the largest margin (the first among equals).
// Returns false when none does; otherwise in_S, u and v hold the winner.
bool lcp_enumerate(i64 nT, const TieWork &tw) {
  i64 best = -1;
  f64 best_margin = -INFINITY;
  for (i64 mask = 0; mask < (i64{1} << nT); ++mask) {
    for (i64 a = 0; a < nT; ++a) tw.in_S[a] = (mask >> a) & 1;
    f64 margin;
    if (lcp_trial(nT, tw, &margin) && lcp_solved(nT, tw) && (best < 0 || margin > best_margin)) {
      best = mask;
      best_margin = margin;
    }
  }
  if (best < 0) return false;
  for (i64 a = 0; a < nT; ++a) tw.in_S[a] = (best >> a) & 1;
  f64 margin;
  return lcp_trial(nT, tw, &margin);
}

// Murty's least-index principal pivoting: from S empty, toggle the least a with
// u_a M_aa < -delta in S or v_a < -delta off S, until there is none. Finite for a
// P-matrix; a bound on the pivots guards against cycling on rounding. Returns false
// when the bound is reached or a trial block is singular; otherwise in_S, u and v
// hold the solution.
bool lcp_murty(i64 nT, const TieWork &tw) {
  for (i64 a = 0; a < nT; ++a) tw.in_S[a] = 0;
  const i64 max_pivots = 16 * nT * nT + 1024;
  for (i64 pivots = 0; pivots <= max_pivots; ++pivots) {
    f64 margin;
    if (!lcp_trial(nT, tw, &margin)) return false;
    i64 a = 0;
    while (a < nT && (tw.in_S[a] ? !(tw.u[a] * tw.M[a * nT + a] < -kLcpDelta)
                                 : !(tw.v[a] < -kLcpDelta)))
      ++a;
    if (a == nT) return true;
    tw.in_S[a] = !tw.in_S[a];
  }
  return false;
}

}  // namespace

i64 tie_set(const f64 *G, const f64 *c, i64 k, const f64 *beta, const f64 *r, const i64 *active,
            const i64 *act_idx, i64 n_active, f64 lam, f64 sigma_bound, i64 left, i64 *gone,
            i64 *T) {
  const auto tied = [&](i64 j, f64 tau) {
    return j == left || gone[j] || (!active[j] && fabs(fabs(r[j]) - lam) <= tau);
  };
  i64 n = 0;
  for (i64 j = 0; j < k; ++j)
    if (tied(j, kTieRel * sigma_bound)) T[n++] = j;
  if (n >= 2) {
    f64 sigma = 0.0;
    for (i64 j = 0; j < k; ++j) {
      const f64 *Gj = G + j * k;
      f64 s = fabs(c[j]);
      for (i64 a = 0; a < n_active; ++a) s = s + fabs(Gj[act_idx[a]] * beta[act_idx[a]]);
      if (s > sigma) sigma = s;
    }
    const i64 screened = n;
    n = 0;
    for (i64 a = 0; a < screened; ++a)
      if (tied(T[a], kTieRel * sigma)) T[n++] = T[a];
  }
  for (i64 a = 0; a < n; ++a) gone[T[a]] = 0;  // every variable marked gone is in T
  return n;
}

bool mark_gone(const f64 *beta, const f64 *d, const i64 *act_idx, i64 n_active, f64 step,
               i64 drop_var, i64 *gone) {
  bool any = false;
  for (i64 a = 0; a < n_active; ++a) {
    const i64 j = act_idx[a];
    if (j == drop_var || d[j] == 0.0) continue;
    const f64 t = -beta[j] / d[j];
    if (t > 0.0 && t <= step * (1.0 + kTieRel)) {
      gone[j] = 1;
      any = true;
    }
  }
  return any;
}

void leave_gone(f64 *beta, i64 *active, const i64 *act_idx, i64 n_act_before, i64 *n_active,
                const i64 *gone) {
  for (i64 a = 0; a < n_act_before; ++a) {
    const i64 j = act_idx[a];
    if (!gone[j]) continue;
    active[j] = 0;
    beta[j] = 0.0;
    *n_active = *n_active - 1;
  }
}

bool enter_tied(const f64 *G, i64 k, const f64 *r, f64 *signs, i64 *active, const i64 *act_idx,
                i64 *n_active, i64 nT, f64 *Gff, const TieWork &tw) {
  if (!tie_problem(G, k, r, signs, act_idx, *n_active, nT, Gff, tw)) return false;
  if (!(nT <= kEnumerateMax ? lcp_enumerate(nT, tw) : lcp_murty(nT, tw))) return false;
  for (i64 a = 0; a < nT; ++a) {
    const i64 j = tw.T[a];
    const f64 s = r[j] > 0.0 ? 1.0 : -1.0;
    if (tw.in_S[a] && tw.u[a] * tw.M[a * nT + a] > kLcpDelta) {
      active[j] = 1;
      signs[j] = s;
      *n_active = *n_active + 1;
    } else {
      tw.held[j] = s > 0.0 ? 1 : -1;
    }
  }
  return true;
}

}  // namespace qdl::lars
