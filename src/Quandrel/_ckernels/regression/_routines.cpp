// The extension module Quandrel._ckernels.regression._routines: its definition and
// function table. The functions are those of the list in _routines_functions.h; their
// shims live in the sources of their kernel families (_routines_<family>.cpp), and
// creation, execution and the calling conventions in _binding.cpp, shared with
// _regression.

#include "_routines_functions.h"

namespace qdl::py::routines {
namespace {

constexpr const FuncDesc *kFunctions[] = {QDL_ROUTINES(QDL_FUNCTION_DESC)};

ModuleState state{"Quandrel._ckernels.regression._routines", "_routines.cpp"};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_routines",
    .m_doc =
        "The library's exported routines, checked as the functions of ``_regression`` are.\n"
        "\n"
        "Each function is the routine qdl_<name> of the native headers: its arrays are used in place and\n"
        "checked before the routine runs, its results are allocated here, and the interpreter lock is\n"
        "released around the one native call. The results are the routine's bits.\n",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = Slots<kFunctions, state>::slots,
};

}  // namespace
}  // namespace qdl::py::routines

PyMODINIT_FUNC PyInit__routines(void) {
  return PyModuleDef_Init(&qdl::py::routines::module_def);
}
