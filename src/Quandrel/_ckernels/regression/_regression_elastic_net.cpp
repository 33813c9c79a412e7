// Elastic-net shims: elastic_net_gram_cd, elastic_net_gram_cd_path and
// elastic_net_active_dof.
//
// The kernels read G as a k-by-k matrix (k its row count) and k values of g, beta0
// and beta; a G that is not square, or a shorter vector, is refused before the
// kernel runs.

#include "_functions.h"
#include "elastic_net.h"

namespace qdl::py {
namespace {

// Raises ValueError unless matrix parameter I has as many columns as rows.
template <auto I>
bool square(const Call &c) {
  const View &m = c.arr<I>();
  if (m.cols() == m.rows()) return true;
  PyErr_Format(PyExc_ValueError, "%s(): %s has %lld rows and %lld columns, not a square matrix",
               c.name(), c.param_name<I>(), static_cast<long long>(m.rows()),
               static_cast<long long>(m.cols()));
  return false;
}

}  // namespace

// One solve from the start beta0: (coef, status).

PyObject *elastic_net_gram_cd::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &g = c.arr<Arg::g>(), &beta0 = c.arr<Arg::beta0>();
  const i64 k = G.rows();
  if (!square<Arg::G>(c) || !c.at_least<Arg::g>(0, k, "the row count of G") ||
      !c.at_least<Arg::beta0>(0, k, "the row count of G"))
    return nullptr;
  f64 *coef, *Gcoef;
  if (!(coef = c.alloc(k)) || !(Gcoef = c.alloc(k))) return nullptr;
  const f64 alpha_l1 = c.real<Arg::alpha_l1>(), alpha_l2 = c.real<Arg::alpha_l2>(),
            tol = c.real<Arg::tol>();
  const i64 max_iter = c.integer<Arg::max_iter>();
  i64 status = 0;
  c.nogil([&] {
    status = qdl_en_gram_cd(G.f64p(), g.f64p(), k, alpha_l1, alpha_l2, beta0.f64p(), max_iter,
                            tol, coef, Gcoef);
  });
  return results(c, c.made(0), status);
}

// A warm-started grid in one native call: (coefs, statuses), both at grid positions.

PyObject *elastic_net_gram_cd_path::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &g = c.arr<Arg::g>(), &grid = c.arr<Arg::alpha_grid>();
  const i64 k = G.rows(), n_alpha = grid.len();
  if (!square<Arg::G>(c) || !c.at_least<Arg::g>(0, k, "the row count of G")) return nullptr;
  f64 *coefs, *Gcoef, *beta;
  i64 *statuses;
  if (!(coefs = c.alloc(n_alpha, k)) || !(statuses = c.alloc_i64(n_alpha)) ||
      !(Gcoef = c.alloc(k)) || !(beta = c.alloc(k)))
    return nullptr;
  const f64 l1_ratio = c.real<Arg::l1_ratio>(), tol = c.real<Arg::tol>();
  const i64 max_iter = c.integer<Arg::max_iter>();
  c.nogil([&] {
    qdl_en_gram_cd_path(G.f64p(), g.f64p(), k, grid.f64p(), n_alpha, l1_ratio, max_iter, tol,
                        coefs, statuses, Gcoef, beta);
  });
  return results(c, c.made(0), c.made(1));
}

// Active-set effective degrees of freedom: a float.

PyObject *elastic_net_active_dof::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &beta = c.arr<Arg::beta>();
  const i64 k = G.rows();
  if (!square<Arg::G>(c) || !c.at_least<Arg::beta>(0, k, "the row count of G")) return nullptr;
  const f64 alpha_l2 = c.real<Arg::alpha_l2>(), atol = c.real<Arg::atol>();
  const i64 intercept = c.flag<Arg::intercept>();
  f64 dof = 0.0;
  c.nogil([&] { dof = qdl_en_active_dof(G.f64p(), beta.f64p(), k, alpha_l2, intercept, atol); });
  return results(c, dof);
}

}  // namespace qdl::py
