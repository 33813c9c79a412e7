// The extension module Quandrel._ckernels.regression._regression: its definition,
// function table, and the OLS function. Creation and execution (the functions of the
// list in _functions.h placed in the namespace) and the calling conventions live in
// _binding.cpp.

#include "_functions.h"
#include "regression.h"

namespace qdl::py {
namespace {

constexpr const FuncDesc *kFunctions[] = {QDL_FUNCTIONS(QDL_FUNCTION_DESC)};

ModuleState state{"Quandrel._ckernels.regression._regression", "_regression.cpp"};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_regression",
    .m_doc =
        "Native regression kernels: OLS, ridge, lasso, LARS-lasso and elastic net.\n"
        "\n"
        "Marshalling of buffers to pointers, scratch allocation with numpy and the release of the interpreter\n"
        "lock are all this module does; the algorithms live in the native ``regression`` sources. Each function\n"
        "mirrors, argument for argument and result for result, the matching reference function of the host\n"
        "package's ``regression`` subpackage. ``chol_solve_L2`` is the single ridge solve; ``ridge_grid_search``\n"
        "runs the whole alpha grid in one native call, forming the Gram matrix once. A REGRESSION_RANK_DEFICIENT\n"
        "status follows the reference functions' contract: NaN coefficients and an empty L.\n",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = Slots<kFunctions, state>::slots,
};

}  // namespace

// OLS: (coef, L, status); the factor is replaced by an empty (0, 0) array on failure.
PyObject *ols_chol_solve::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>();
  const i64 n = X.rows(), p = X.cols();
  if (!c.at_least<Arg::y>(0, n, "the row count of X")) return nullptr;
  f64 *coef, *L, *G, *g;
  if (!(coef = c.alloc(p)) || !(L = c.alloc(p, p)) || !(G = c.alloc(p, p)) || !(g = c.alloc(p)))
    return nullptr;
  i64 status = 0;
  c.nogil([&] { qdl_ols_chol_solve(X.f64p(), y.f64p(), n, p, coef, L, &status, G, g); });
  return results(c, c.made(0), status == 0 ? c.made(1) : c.empty_factor(), status);
}

}  // namespace qdl::py

PyMODINIT_FUNC PyInit__regression(void) { return PyModuleDef_Init(&qdl::py::module_def); }
