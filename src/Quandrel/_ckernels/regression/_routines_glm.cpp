// Shim of the GLM routine (glm.h): glm_working.

#include "_routines_functions.h"
#include "glm.h"

namespace qdl::py::routines {

// (z, ww, sums, grad) of the rows, sums and grad by block.
PyObject *glm_working::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>(), &w = c.arr<Arg::w>(),
             &offset = c.arr<Arg::offset>(), &fold = c.arr<Arg::fold>(), &b = c.arr<Arg::b>();
  const i64 m = X.rows(), k = X.cols(), family = c.integer<Arg::family>();
  if (!c.at_least<Arg::y>(0, m, "the row count of X") ||
      (w.ndim() != 0 && !c.at_least<Arg::w>(0, m, "the row count of X")) ||
      (offset.ndim() != 0 && !c.at_least<Arg::offset>(0, m, "the row count of X")) ||
      (fold.ndim() != 0 && !c.at_least<Arg::fold>(0, m, "the row count of X")) ||
      !c.at_least<Arg::b>(0, k, "the column count of X"))
    return nullptr;
  if (family != QDL_GLM_BINOMIAL && family != QDL_GLM_POISSON)
    return c.refuse("family must be 0 (binomial) or 1 (Poisson) (got %lld)", static_cast<long long>(family));
  const i64 block_rows = c.integer<Arg::block_rows>();
  if (block_rows < 1)
    return c.refuse("block_rows must be >= 1 (got %lld)", static_cast<long long>(block_rows));
  const i64 blocks = m / block_rows + (m % block_rows != 0);
  f64 *z, *ww, *sums, *grad;
  if (!(z = c.alloc(m)) || !(ww = c.alloc(m)) || !(sums = c.alloc(blocks, QDL_GLM_SUMS)) ||
      !(grad = c.alloc(blocks, 2 * k)))
    return nullptr;
  i64 status = QDL_OK;
  c.nogil([&] {
    status = qdl_glm_working(X.f64p(), X.stride(0), X.stride(1), y.f64p(),
                             w.ndim() != 0 ? w.f64p() : nullptr,
                             offset.ndim() != 0 ? offset.f64p() : nullptr,
                             fold.ndim() != 0 ? fold.i64p() : nullptr, c.integer<Arg::held>(), m, k,
                             family, c.real<Arg::b0>(), b.f64p(), c.real<Arg::eta_lo>(),
                             c.real<Arg::eta_hi>(), block_rows, z, ww, sums, grad);
  });
  return c.status_ok(status) ? results(c, c.made(0), c.made(1), c.made(2), c.made(3)) : nullptr;
}

}  // namespace qdl::py::routines
