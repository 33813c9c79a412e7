// The nine module functions, each declared with QDL_DECLARE beside its shim in the
// file of its family of kernels.
#ifndef QUANDREL_CKERNELS_REGRESSION_SHIMS_H
#define QUANDREL_CKERNELS_REGRESSION_SHIMS_H

#include "_binding.h"

namespace qdl::py {

// _regression.cpp
namespace ols_chol_solve { extern const FuncDesc function; }
// _regression_ridge.cpp
namespace chol_solve_L2 { extern const FuncDesc function; }
namespace ridge_grid_search { extern const FuncDesc function; }
// _regression_lasso.cpp
namespace lasso_gram_cd { extern const FuncDesc function; }
namespace lars_lasso_gram { extern const FuncDesc function; }
namespace lasso_path_eval { extern const FuncDesc function; }
// _regression_elastic_net.cpp
namespace elastic_net_gram_cd { extern const FuncDesc function; }
namespace elastic_net_gram_cd_path { extern const FuncDesc function; }
namespace elastic_net_active_dof { extern const FuncDesc function; }

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_SHIMS_H
