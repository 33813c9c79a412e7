// Shims of the dense linear-algebra routines (qdl_linalg.h): gram, gram_rhs, dot,
// matvec, forward_subst, backward_subst_chol_t and chol_solve.

#include <limits>

#include "_routines_functions.h"
#include "qdl_linalg.h"

namespace qdl::py::routines {

PyObject *gram::shim(Call &c) {
  const View &X = c.arr<Arg::X>();
  const i64 n = X.rows(), p = X.cols();
  f64 *G;
  if (!(G = c.alloc(p, p))) return nullptr;
  c.nogil([&] { qdl_gram(X.f64p(), G, n, p); });
  return results(c, c.made(0));
}

PyObject *gram_rhs::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>();
  const i64 n = X.rows(), p = X.cols();
  if (!c.at_least<Arg::y>(0, n, "the row count of X")) return nullptr;
  f64 *g;
  if (!(g = c.alloc(p))) return nullptr;
  c.nogil([&] { qdl_gram_rhs(X.f64p(), y.f64p(), g, n, p); });
  return results(c, c.made(0));
}

PyObject *dot::shim(Call &c) {
  const View &a = c.arr<Arg::a>(), &b = c.arr<Arg::b>();
  const i64 n = a.len();
  if (!c.at_least<Arg::b>(0, n, "the length of a")) return nullptr;
  f64 value = 0.0;
  c.nogil([&] { value = qdl_dot(a.f64p(), b.f64p(), n); });
  return results(c, value);
}

PyObject *matvec::shim(Call &c) {
  const View &A = c.arr<Arg::A>(), &x = c.arr<Arg::x>();
  const i64 n = A.rows(), m = A.cols();
  if (!c.at_least<Arg::x>(0, m, "the column count of A")) return nullptr;
  f64 *out;
  if (!(out = c.alloc(n))) return nullptr;
  c.nogil([&] { qdl_matvec(A.f64p(), x.f64p(), out, n, m); });
  return results(c, c.made(0));
}

// x (n) = the solution of the triangular system of L (n, n) and b (at least n) by
// `solve`, as allocated array 0; false (with the exception) when refused.
template <auto L, auto B>
static bool substitute(Call &c, void (*solve)(const f64 *, const f64 *, f64 *, i64)) {
  const View &l = c.arr<L>(), &b = c.arr<B>();
  const i64 n = l.rows();
  if (!c.square<L>() || !c.at_least<B>(0, n, "the row count of L")) return false;
  f64 *x = c.alloc(n);
  if (x == nullptr) return false;
  c.nogil([&] { solve(l.f64p(), b.f64p(), x, n); });
  return true;
}

PyObject *forward_subst::shim(Call &c) {
  return substitute<Arg::L, Arg::b>(c, qdl_forward_subst) ? results(c, c.made(0)) : nullptr;
}

PyObject *backward_subst_chol_t::shim(Call &c) {
  return substitute<Arg::L, Arg::b>(c, qdl_backward_subst_chol_t) ? results(c, c.made(0))
                                                                   : nullptr;
}

// (coef, L, status): the routine leaves coef untouched when the factorisation fails,
// so it starts as the quiet NaN; L is then the partial factor.
PyObject *chol_solve::shim(Call &c) {
  const View &G = c.arr<Arg::G>(), &g = c.arr<Arg::g>();
  const i64 p = G.rows();
  if (!c.square<Arg::G>() || !c.at_least<Arg::g>(0, p, "the row count of G")) return nullptr;
  f64 *coef, *L;
  if (!(coef = c.alloc(p)) || !(L = c.alloc(p, p))) return nullptr;
  for (i64 i = 0; i < p; ++i) coef[i] = std::numeric_limits<f64>::quiet_NaN();
  i64 status = 0;
  c.nogil([&] { status = qdl_chol_solve(G.f64p(), g.f64p(), coef, L, p); });
  return results(c, c.made(0), c.made(1), status);
}

}  // namespace qdl::py::routines
