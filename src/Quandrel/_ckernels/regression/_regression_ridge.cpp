// Ridge shims: chol_solve_L2 and ridge_grid_search.

#include "_shims.h"

namespace qdl::py {

PyObject *chol_solve_L2(Call &c) { return not_built(c); }
PyObject *ridge_grid_search(Call &c) { return not_built(c); }

}  // namespace qdl::py
