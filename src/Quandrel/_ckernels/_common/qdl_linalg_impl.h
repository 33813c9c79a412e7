/* Routines the kernel sources share that are not part of the exported interface
 * (C++ linkage, hidden). */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H

#include <stdint.h>
#include <string.h>

#include "qdl_common.h"

namespace qdl {

inline i64 min_i64(i64 a, i64 b) { return a < b ? a : b; }

/* The quiet NaN 0x7ff8000000000000: a value without an answer. */
inline f64 quiet_nan() {
  const uint64_t bits = 0x7ff8000000000000u;
  f64 r;
  memcpy(&r, &bits, sizeof r);
  return r;
}

/* Whether an r-by-c array of `size`-byte elements can exist: its byte count
 * r*c*size fits an i64 (a ptrdiff_t), so every index and byte offset into it is
 * exact. An array with a non-positive extent is empty and always fits. Extents that
 * do not fit describe buffers no caller can own: the exported routines refuse them
 * before touching any buffer. */
inline bool fits(i64 r, i64 c = 1, i64 size = 8) {
  if (r <= 0 || c <= 0) return true;
  i64 rc, bytes;
  return !__builtin_mul_overflow(r, c, &rc) && !__builtin_mul_overflow(rc, size, &bytes);
}

/* qdl_gram(X, G, n, p) followed by qdl_gram_rhs(X, y, g, n, p), with bit-identical
 * results, in one pass over X (each chunk of rows serves both while in cache). */
void gram_and_rhs(const f64 *X, const f64 *y, f64 *G, f64 *g, i64 n, i64 p);

/* The rows of the n-by-p X, row r at X + r*ldx (the first p columns of wider rows
 * when ldx > p), added into the lower triangle of G (p*p; entries above the diagonal
 * are written too, to be overwritten by the mirror), on the calling thread: each lower
 * entry's running sum goes on from its value over the rows in ascending order, so
 * calls on successive panels of rows, from zeros, give qdl_gram's bits once the lower
 * triangle is mirrored (gram_mirror). */
void gram_accumulate(const f64 *X, i64 ldx, f64 *G, i64 n, i64 p);

/* G[b, a] = G[a, b] for b < a (p*p): the lower triangle mirrored, exactly symmetric. */
void gram_mirror(f64 *G, i64 p);

}  // namespace qdl

#endif /* QUANDREL_CKERNELS_COMMON_QDL_LINALG_IMPL_H */
