// The checks and the call shared by the shims of the LARS-lasso paths:
// lars_lasso_gram (_regression, _regression_lasso.cpp) and lars_lasso_gram_update
// (_routines, _routines_lasso.cpp), which take the same arguments and give the same
// results from kernels of one signature.
#ifndef QUANDREL_CKERNELS_REGRESSION_LASSO_SHIM_H
#define QUANDREL_CKERNELS_REGRESSION_LASSO_SHIM_H

#include <stdint.h>

#include "_binding.h"

namespace qdl::py {

// Gram matrix parameter G must be square (the kernels take its row length to be k)
// and vector parameter Rhs at least k long.
template <auto G, auto Rhs>
inline bool gram_and_rhs_fit(const Call &c, i64 k) {
  return c.at_least<G>(1, k, "the row count of G") &&
         c.at_least<G>(0, c.arr<G>().cols(), "the column count of G") &&
         c.at_least<Rhs>(0, k, "the row count of G");
}

using LarsKernel = i64 (*)(const f64 *, const f64 *, i64, i64, f64, f64 *, f64 *, i64 *);

// Checks the arguments (G, c, max_iter, tol of the function whose indices are Arg),
// allocates results 0 (lam_path) and 1 (beta_path) for max_iter + 1 knots and runs the
// kernel without the interpreter lock; the knot count and status through the last two
// arguments. False, with the exception set, when an argument is refused or the results
// cannot be allocated.
template <class Arg>
inline bool lars_path_call(Call &c, LarsKernel kernel, i64 *n_knots, i64 *status) {
  const View &G = c.arr<Arg::G>(), &cv = c.arr<Arg::c>();
  const i64 k = G.rows();
  if (!gram_and_rhs_fit<Arg::G, Arg::c>(c, k)) return false;
  const i64 max_iter = c.integer<Arg::max_iter>();
  const f64 tol = c.real<Arg::tol>();
  // The path arrays hold max_iter + 1 knots and the kernel always writes knot 0.
  if (max_iter < 0 || max_iter == INT64_MAX) {
    PyErr_Format(PyExc_ValueError, "%s(): max_iter must be between 0 and %lld (got %lld)",
                 c.name(), static_cast<long long>(INT64_MAX - 1),
                 static_cast<long long>(max_iter));
    return false;
  }
  const i64 room = max_iter + 1;
  f64 *lam_path, *beta_path;
  if (!(lam_path = c.alloc(room)) || !(beta_path = c.alloc(room, k))) return false;
  c.nogil([&] {
    *status = kernel(G.f64p(), cv.f64p(), k, max_iter, tol, lam_path, beta_path, n_knots);
  });
  return true;
}

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_LASSO_SHIM_H
