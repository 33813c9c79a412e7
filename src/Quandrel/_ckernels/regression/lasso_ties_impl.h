/* Private: the tie decision of the LARS-lasso path (lasso.cpp), in lasso_ties.cpp.
 *
 * At a knot where two or more variables sit at the bound, which of them enter is the
 * solution of a linear complementarity problem over them; a coefficient that reaches
 * zero together with another event leaves at that knot too. lasso_ties.cpp states the
 * problem and how it is solved.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_LASSO_TIES_IMPL_H
#define QUANDREL_CKERNELS_REGRESSION_LASSO_TIES_IMPL_H

#include "qdl_common.h"
#include "qdl_lu_impl.h"

namespace qdl::lars {

// The solves of the path (the direction's G_AA w = s_A, and those of the tie
// decision) are Gaussian elimination with partial pivoting by rows, the first largest
// |A[row,col]| winning, and back substitution (Golub & Van Loan, Matrix Computations,
// 4th ed., algorithms 3.4.1 and 3.1.2), the elimination of qdl_lu_impl.h with every
// multiplier A[row,col] / A[col,col] and every unknown x[i] / A[i,i] a division of
// its own:
//   rows:  A[row,c] -= f A[col,c] for c > col, and b[row] -= f b[col], f the multiplier
//   back:  x[i] = (b[i] - sum_{j>i} A[i,j] x[j]) / A[i,i], j ascending
// so that every entry takes its updates as one chain over col = 0, 1, ... in order.
using DividingLU = qdl::lu::RealOps<qdl::lu::Divide::each>;

// Working storage of the tie decision, carved with the path's (LarsStorage).
struct TieWork {
  f64 *M;    // |T|*|T|: the matrix of the complementarity problem
  f64 *W;    // k*k scratch: G_FF^-1 [G_FT | s_F], then the block M_SS of a trial
  f64 *q;    // |T|
  f64 *u;    // |T|: speeds of the trial set (0 off it)
  f64 *v;    // |T|: slacks off the trial set (0 on it)
  f64 *rhs;  // |T|: right-hand side of a trial
  i64 *T;    // |T|: the tied variables, ascending
  i64 *in_S; // |T|: membership of T[a] in the trial (then the chosen) set
  i64 *held; // k: +1 or -1, the own bound of a tied variable held out at this knot; else 0
  i64 *gone; // k: 1 for a variable that left at this knot beside the one the step chose
  i64 *piv;  // k: the row exchanges of a solve (shared with the direction's)
};

// The tie set of the knot (lam, beta) into T, ascending; returns its size. T holds
// the inactive j with ||r_j| - lam| <= tau, tau = 1e-12 sigma, sigma = max_j (|c_j|
// + sum over active l of |G[j,l] beta[l]|), and the variable that has just left
// (left >= 0) and those that left beside it (gone[j] = 1, reset here) whatever their
// correlations. sigma_bound >= sigma (from max |c| and max |G|) screens first: sigma
// itself, k * n_active terms, is formed only when two or more pass the screen.
i64 tie_set(const f64 *G, const f64 *c, i64 k, const f64 *beta, const f64 *r, const i64 *active,
            const i64 *act_idx, i64 n_active, f64 lam, f64 sigma_bound, i64 left, i64 *gone,
            i64 *T);

// The active variables other than drop_var whose coefficients reach zero at the same
// knot: t_j = -beta_j / d_j in (0, step * (1 + 1e-12)], an exact tie with the step
// included. Each is marked gone; leave_gone then takes them out after the move.
// Returns whether there is any. (Without this, a coefficient that reaches zero
// together with a correlation reaching lam stays active at zero and crosses it.)
bool mark_gone(const f64 *beta, const f64 *d, const i64 *act_idx, i64 n_active, f64 step,
               i64 drop_var, i64 *gone);

// Takes the variables marked gone out of the active set, their coefficients exactly 0.
void leave_gone(f64 *beta, i64 *active, const i64 *act_idx, i64 n_act_before, i64 *n_active,
                const i64 *gone);

// The decision at a knot with nT >= 2 tied variables: the entering set S (each with
// u_j M_jj > delta) joins the active set with signs sign(r_j); every other tied j is
// held out for this step: held[j] = sign(r_j), its own bound, which it may not be
// found to reach. Returns false (nothing changed) when the problem is singular or
// unsolved: the path then ends as non-convergent.
bool enter_tied(const f64 *G, i64 k, const f64 *r, f64 *signs, i64 *active, const i64 *act_idx,
                i64 *n_active, i64 nT, f64 *Gff, const TieWork &tw);

}  // namespace qdl::lars

#endif /* QUANDREL_CKERNELS_REGRESSION_LASSO_TIES_IMPL_H */
