// The extension module Quandrel._ckernels.regression._regression: its definition,
// initialisation, function table, and the OLS function.
//
// Module creation binds the module to the first interpreter that imports it and
// hands the same object back on any later creation there; execution checks the
// Python version, binds numpy as `np` and places the functions of the list in
// _functions.h in the namespace. The calling conventions live in _binding.cpp.

#include <array>
#include <atomic>
#include <utility>

#include "_functions.h"
#include "regression.h"

namespace qdl::py {
namespace {

// The functions, in namespace order.
#define QDL_TABLE_ENTRY(fn, ...) &fn::function,
constexpr const FuncDesc *kFunctions[] = {QDL_FUNCTIONS(QDL_TABLE_ENTRY)};
#undef QDL_TABLE_ENTRY
constexpr int kCount = sizeof kFunctions / sizeof kFunctions[0];

template <int I>
PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  return dispatch(*kFunctions[I], self, args, nargs, kwnames);
}

template <int... I>
constexpr auto make_entries(std::integer_sequence<int, I...>) {
  return std::array<PyCFunctionFastWithKeywords, sizeof...(I)>{entry<I>...};
}
constexpr auto kEntries = make_entries(std::make_integer_sequence<int, kCount>{});

PyMethodDef method_defs[kCount];  // filled once, by the first (only) execution

// Process-wide module state: the interpreter the module belongs to and its object.
std::atomic<int64_t> owner_interpreter{-1};
PyObject *module_object = nullptr;

// Copies spec.<attr> to module.<name>; a missing attribute, or None where None is not
// wanted, is skipped.
int copy_spec_attr(PyObject *spec, PyObject *module, const char *attr, const char *name,
                   bool allow_none) {
  PyObject *value = nullptr;
  if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return -1;
  Ref held = Ref::steal(value);
  if (value == nullptr || (value == Py_None && !allow_none)) return 0;
  return PyObject_SetAttrString(module, name, value);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  int64_t owner = -1;
  if (!owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(spec, module.get(), "loader", "__loader__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "origin", "__file__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "parent", "__package__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

int exec_steps(PyObject *module) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;

  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if ((major != 3 || minor != 14) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "compile time Python version %d.%d of module '%.100s' %s runtime "
                       "version %d.%d",
                       3, 14, kModuleName, "does not match", major, minor) < 0)
    return -1;

  if (!init_names(kFunctions, kCount)) return -1;
  PyObject *sys_modules = PyImport_GetModuleDict();  // borrowed
  Ref full = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!full) return -1;
  const int has = PyDict_Contains(sys_modules, full.get());
  if (has < 0 || (has == 0 && PyDict_SetItem(sys_modules, full.get(), module) < 0)) return -1;

  if (PyModule_Add(module, "np", PyImport_ImportModule("numpy")) < 0) return -1;

  Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!modname) return -1;
  for (int i = 0; i < kCount; ++i) {
    method_defs[i] = PyMethodDef{kFunctions[i]->name,
                                 reinterpret_cast<PyCFunction>(
                                     reinterpret_cast<void (*)(void)>(kEntries[i])),
                                 METH_FASTCALL | METH_KEYWORDS, kFunctions[i]->doc};
    if (PyModule_Add(module, kFunctions[i]->name,
                     PyCFunction_NewEx(&method_defs[i], module, modname.get())) < 0)
      return -1;
  }
  if (PyModule_Add(module, "__test__", PyDict_New()) < 0) return -1;
  return 0;
}

int module_exec(PyObject *module) {
  if (module_object != nullptr) {
    if (module_object == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_regression' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  module_object = Py_NewRef(module);
  if (exec_steps(module) == 0) return 0;
  add_traceback("init Quandrel._ckernels.regression._regression");
  Py_CLEAR(module_object);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

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
    .m_slots = module_slots,
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
