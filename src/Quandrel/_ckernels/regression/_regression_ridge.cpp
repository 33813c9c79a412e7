// Ridge shims: chol_solve_L2 and ridge_grid_search.

#include <limits>

#include "_functions.h"
#include "regression.h"

namespace qdl::py {

// Ridge solve: (coef, L, eff_dof, status); the factor is replaced by an empty (0, 0)
// array on failure.

PyObject *chol_solve_L2::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>();
  const i64 n = X.rows(), p = X.cols();
  const f64 alpha = c.real<Arg::alpha>();
  const i64 intercept = c.flag<Arg::intercept>();
  if (!c.at_least<Arg::y>(0, n, "the row count of X")) return nullptr;
  f64 *coef, *L, *G, *G_unpen, *g, *col;
  if (!(coef = c.alloc(p)) || !(L = c.alloc(p, p)) || !(G = c.alloc(p, p)) ||
      !(G_unpen = c.alloc(p, p)) || !(g = c.alloc(p)) || !(col = c.alloc(p)))
    return nullptr;
  f64 dof = 0.0;
  i64 status = 0;
  c.nogil([&] {
    qdl_chol_solve_L2(X.f64p(), y.f64p(), n, p, alpha, intercept, coef, L, &dof, &status, G,
                      G_unpen, g, col);
  });
  return results(c, c.made(0), status == 0 ? c.made(1) : c.empty_factor(), dof, status);
}

// Ridge grid search: (alpha, coef, obj_value, status) of the selected penalty. The
// coefficients start as NaN, so an empty grid, for which the kernel writes nothing,
// returns NaN coefficients rather than uninitialised memory.

PyObject *ridge_grid_search::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>(), &alphas = c.arr<Arg::alphas>();
  const i64 n = X.rows(), p = X.cols(), num = alphas.len();
  const i64 criterion = c.integer<Arg::criterion>(), intercept = c.flag<Arg::intercept>();
  if (!c.at_least<Arg::y>(0, n, "the row count of X")) return nullptr;
  f64 *out_coef, *G_base, *G, *L, *g, *coef, *col;
  if (!(out_coef = c.alloc(p)) || !(G_base = c.alloc(p, p)) || !(G = c.alloc(p, p)) ||
      !(L = c.alloc(p, p)) || !(g = c.alloc(p)) || !(coef = c.alloc(p)) || !(col = c.alloc(p)))
    return nullptr;
  for (i64 i = 0; i < p; ++i) out_coef[i] = std::numeric_limits<f64>::quiet_NaN();
  f64 out_alpha = 0.0, out_obj = 0.0;
  i64 out_status = 0;
  c.nogil([&] {
    qdl_ridge_grid_search(X.f64p(), y.f64p(), n, p, alphas.f64p(), num, criterion, intercept,
                          &out_alpha, out_coef, &out_obj, &out_status, G_base, G, g, L, coef,
                          col);
  });
  return results(c, out_alpha, c.made(0), out_obj, out_status);
}

}  // namespace qdl::py
