// The shims of the nine module functions, one file per family of kernels.
#ifndef QUANDREL_CKERNELS_REGRESSION_SHIMS_H
#define QUANDREL_CKERNELS_REGRESSION_SHIMS_H

#include "_binding.h"

namespace qdl::py {

PyObject *ols_chol_solve(Call &c);            // _regression.cpp
PyObject *chol_solve_L2(Call &c);             // _regression_ridge.cpp
PyObject *ridge_grid_search(Call &c);         // _regression_ridge.cpp
PyObject *lasso_gram_cd(Call &c);             // _regression_lasso.cpp
PyObject *lars_lasso_gram(Call &c);           // _regression_lasso.cpp
PyObject *lasso_path_eval(Call &c);           // _regression_lasso.cpp
PyObject *elastic_net_gram_cd(Call &c);       // _regression_elastic_net.cpp
PyObject *elastic_net_gram_cd_path(Call &c);  // _regression_elastic_net.cpp
PyObject *elastic_net_active_dof(Call &c);    // _regression_elastic_net.cpp

// Placeholder body of a function whose kernel is not built yet.
inline PyObject *not_built(Call &c) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not available in this build", c.name());
  return nullptr;
}

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_SHIMS_H
