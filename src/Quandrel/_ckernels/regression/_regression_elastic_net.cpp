// Elastic-net shims: elastic_net_gram_cd, elastic_net_gram_cd_path and
// elastic_net_active_dof.
//
// The kernels read G as a k-by-k matrix (k its row count) and k values of g, beta0
// and beta; a G that is not square, or a shorter vector, is refused before the
// kernel runs.

#include "_shims.h"
#include "elastic_net.h"

namespace qdl::py {
namespace {

// Raises ValueError unless matrix parameter `i` has as many columns as rows.
bool square(const Call &c, int i, const char *name) {
  const View &m = c.arr(i);
  if (m.cols() == m.rows()) return true;
  PyErr_Format(PyExc_ValueError, "%s(): %s has %lld rows and %lld columns, not a square matrix",
               c.name(), name, static_cast<long long>(m.rows()), static_cast<long long>(m.cols()));
  return false;
}

}  // namespace

// One solve from the start beta0: (coef, status).
PyObject *elastic_net_gram_cd(Call &c) {
  const View &G = c.arr(0), &g = c.arr(1), &beta0 = c.arr(4);
  const i64 k = G.rows();
  if (!square(c, 0, "G") || !c.at_least(1, 0, k, "the row count of G") ||
      !c.at_least(4, 0, k, "the row count of G"))
    return nullptr;
  f64 *coef, *Gcoef;
  if (!(coef = c.alloc(k)) || !(Gcoef = c.alloc(k))) return nullptr;
  const f64 alpha_l1 = c.real(2), alpha_l2 = c.real(3), tol = c.real(6);
  const i64 max_iter = c.integer(5);
  i64 status = 0;
  c.nogil([&] {
    status = qdl_en_gram_cd(G.f64p(), g.f64p(), k, alpha_l1, alpha_l2, beta0.f64p(), max_iter,
                            tol, coef, Gcoef);
  });
  Ref coef_out = Ref::steal(c.result(0));
  if (!coef_out) return nullptr;
  return Py_BuildValue("(NL)", coef_out.release(), static_cast<long long>(status));
}

// A warm-started grid in one native call: (coefs, statuses), both at grid positions.
PyObject *elastic_net_gram_cd_path(Call &c) {
  const View &G = c.arr(0), &g = c.arr(1), &grid = c.arr(2);
  const i64 k = G.rows(), n_alpha = grid.len();
  if (!square(c, 0, "G") || !c.at_least(1, 0, k, "the row count of G")) return nullptr;
  f64 *coefs, *Gcoef, *beta;
  i64 *statuses;
  if (!(coefs = c.alloc(n_alpha, k)) || !(statuses = c.alloc_i64(n_alpha)) ||
      !(Gcoef = c.alloc(k)) || !(beta = c.alloc(k)))
    return nullptr;
  const f64 l1_ratio = c.real(3), tol = c.real(5);
  const i64 max_iter = c.integer(4);
  c.nogil([&] {
    qdl_en_gram_cd_path(G.f64p(), g.f64p(), k, grid.f64p(), n_alpha, l1_ratio, max_iter, tol,
                        coefs, statuses, Gcoef, beta);
  });
  Ref coefs_out = Ref::steal(c.result(0));
  if (!coefs_out) return nullptr;
  Ref statuses_out = Ref::steal(c.result(1));
  if (!statuses_out) return nullptr;
  return Py_BuildValue("(NN)", coefs_out.release(), statuses_out.release());
}

// Active-set effective degrees of freedom: a float.
PyObject *elastic_net_active_dof(Call &c) {
  const View &G = c.arr(0), &beta = c.arr(1);
  const i64 k = G.rows();
  if (!square(c, 0, "G") || !c.at_least(1, 0, k, "the row count of G")) return nullptr;
  const f64 alpha_l2 = c.real(2), atol = c.real(4);
  const i64 intercept = c.integer(3);
  f64 dof = 0.0;
  c.nogil([&] { dof = qdl_en_active_dof(G.f64p(), beta.f64p(), k, alpha_l2, intercept, atol); });
  return PyFloat_FromDouble(dof);
}

}  // namespace qdl::py
