// Elastic-net shims: elastic_net_gram_cd, elastic_net_gram_cd_path and
// elastic_net_active_dof.

#include "_shims.h"

namespace qdl::py {

PyObject *elastic_net_gram_cd(Call &c) { return not_built(c); }
PyObject *elastic_net_gram_cd_path(Call &c) { return not_built(c); }
PyObject *elastic_net_active_dof(Call &c) { return not_built(c); }

}  // namespace qdl::py
