// Lasso shims: lasso_gram_cd, lars_lasso_gram and lasso_path_eval.

#include "_functions.h"
#include "_lasso_shim.h"
#include "lasso.h"

namespace qdl::py {

// Coordinate-descent lasso: (coef, status).

PyObject *lasso_gram_cd::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &g = c.arr<Arg::g>();
  const i64 k = G.rows();
  if (!gram_and_rhs_fit<Arg::G, Arg::g>(c, k)) return nullptr;
  const f64 alpha = c.real<Arg::alpha>(), tol = c.real<Arg::tol>();
  const i64 max_iter = c.integer<Arg::max_iter>();
  f64 *coef, *Gcoef;
  if (!(coef = c.alloc(k)) || !(Gcoef = c.alloc(k))) return nullptr;
  i64 status = 0;
  c.nogil([&] {
    status = qdl_lasso_gram_cd(G.f64p(), g.f64p(), k, alpha, max_iter, tol, coef, Gcoef);
  });
  return results(c, c.made(0), status);
}

// LARS-lasso path: (lam_path, beta_path, status), both trimmed to the knots written.

PyObject *lars_lasso_gram::shim(Call &c) {
  i64 n_knots = 0, status = 0;
  if (!lars_path_call<Arg>(c, qdl_lars_lasso_gram, &n_knots, &status)) return nullptr;
  return results(c, c.made_rows(0, n_knots), c.made_rows(1, n_knots), status);
}

// Path evaluation: beta_grid (n_grid, k).

PyObject *lasso_path_eval::shim(Call &c) {
  const View &lam_path = c.arr<Arg::lam_path>(), &beta_path = c.arr<Arg::beta_path>(),
             &lam_grid = c.arr<Arg::lam_grid>();
  const i64 n_knots = lam_path.len(), k = beta_path.cols(), n_grid = lam_grid.len();
  if (!c.at_least<Arg::beta_path>(0, n_knots, "the length of lam_path") ||
      !c.at_least<Arg::lam_path>(0, n_grid > 0 ? 1 : 0,
                                 "the one knot a non-empty lam_grid needs"))
    return nullptr;
  f64 *out;
  if (!(out = c.alloc(n_grid, k))) return nullptr;
  c.nogil([&] {
    qdl_lasso_path_eval(lam_path.f64p(), beta_path.f64p(), n_knots, k, lam_grid.f64p(), n_grid,
                        out);
  });
  return results(c, c.made(0));
}

}  // namespace qdl::py
