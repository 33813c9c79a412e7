// Shims of the lasso routines (lasso.h) reached through _routines:
// lars_lasso_gram_update.

#include "_lasso_shim.h"
#include "_routines_functions.h"
#include "lasso.h"

namespace qdl::py::routines {

// (lam_path, beta_path, status), both trimmed to the knots written, as lars_lasso_gram
// gives them; status -2 (QDL_NOT_CONVERGED) is a result: the knots so far are valid.
PyObject *lars_lasso_gram_update::shim(Call &c) {
  i64 n_knots = 0, status = QDL_OK;
  if (!lars_path_call<Arg>(c, qdl_lars_lasso_gram_update, &n_knots, &status)) return nullptr;
  if (!c.status_ok(status, {QDL_NOT_CONVERGED})) return nullptr;
  return results(c, c.made_rows(0, n_knots), c.made_rows(1, n_knots), status);
}

}  // namespace qdl::py::routines
