// Shims of the regression routines (regression.h) reached through _routines:
// ridge_grid_search_gram.

#include "_routines_functions.h"
#include "regression.h"

namespace qdl::py::routines {

// (alpha, coef, obj_value, status) of the selected penalty; status -1
// (QDL_NUMERICAL_FAILURE) is a result: the selected penalty did not factor.
PyObject *ridge_grid_search_gram::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &cv = c.arr<Arg::c>(), &alphas = c.arr<Arg::alphas>();
  const i64 p = G.rows(), num = alphas.len();
  if (!c.square<Arg::G>() || !c.at_least<Arg::c>(0, p, "the row count of G") ||
      !c.at_least<Arg::alphas>(0, 1, "the one penalty a grid needs"))
    return nullptr;
  f64 *coef;
  if (!(coef = c.alloc(p))) return nullptr;
  f64 alpha = 0.0, obj = 0.0;
  i64 status = QDL_OK;
  c.nogil([&] {
    status = qdl_ridge_grid_search_gram(G.f64p(), cv.f64p(), c.real<Arg::yy>(), c.real<Arg::n>(),
                                        p, alphas.f64p(), num, c.integer<Arg::criterion>(),
                                        c.flag<Arg::intercept>(), &alpha, coef, &obj);
  });
  if (!c.status_ok(status, {QDL_NUMERICAL_FAILURE})) return nullptr;
  return results(c, alpha, c.made(0), obj, status);
}

}  // namespace qdl::py::routines
