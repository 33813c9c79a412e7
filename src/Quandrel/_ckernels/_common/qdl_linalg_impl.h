/* Routines the kernel sources share that are not part of the exported interface
 * (C++ linkage, hidden). */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H

#include "qdl_common.h"

namespace qdl {

inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }

/* qdl_gram(X, G, n, p) followed by qdl_gram_rhs(X, y, g, n, p), with bit-identical
 * results, in one pass over X (each chunk of rows serves both while in cache). */
void gram_and_rhs(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p);

}  // namespace qdl

#endif /* QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H */
