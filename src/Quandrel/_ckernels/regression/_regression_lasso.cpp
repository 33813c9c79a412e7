// Lasso shims: lasso_gram_cd, lars_lasso_gram and lasso_path_eval.

#include "_shims.h"

namespace qdl::py {

PyObject *lasso_gram_cd(Call &c) { return not_built(c); }
PyObject *lars_lasso_gram(Call &c) { return not_built(c); }
PyObject *lasso_path_eval(Call &c) { return not_built(c); }

}  // namespace qdl::py
