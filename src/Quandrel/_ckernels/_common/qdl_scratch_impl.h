/* Working storage of the kernels that allocate: arrays carved by name from one block,
 * with every size checked for overflow here and nowhere else.
 *
 * A layout names each array with its length: a callable that, given `part`, calls
 * part(pointer, count) or part(pointer, rows, cols) for each array (pointer is a T*&
 * for any element type T; a non-positive extent makes an empty array). Scratch::take
 * runs it twice: first to add up the bytes (each array from a 64-byte boundary, every
 * product and sum checked), then, once the block is allocated, to point each array
 * into it. The block is released when the Scratch goes out of scope. A layout of no
 * bytes counts as obtained (its pointers are then null and never read); a size that
 * overflows, or a block the system cannot give, is a failure: take returns false and
 * no pointer is set.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_SCRATCH_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_SCRATCH_IMPL_H

#include <stdint.h>
#include <stdlib.h>

#include "qdl_common.h"

namespace qdl {

/* count * size bytes, or false when count < 0 or the product overflows size_t. */
inline bool byte_count(i64 count, size_t size, size_t *bytes) {
  return count >= 0 && !__builtin_mul_overflow(static_cast<uint64_t>(count), size, bytes);
}

/* malloc of count elements of T: NULL when count < 1, when the byte count overflows,
 * or when the system has no such block. For buffers handed back to a caller, who
 * frees each one; working storage takes a Scratch. */
template <class T>
inline T *checked_alloc(i64 count) {
  size_t bytes;
  if (count < 1 || !byte_count(count, sizeof(T), &bytes)) return nullptr;
  return static_cast<T *>(malloc(bytes));
}

class Scratch {
 public:
  static constexpr size_t kAlign = 64;  // a cache line: no two arrays share one

  Scratch() = default;
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  ~Scratch() { free(block_); }

  template <class Layout>
  bool take(Layout &&layout) {
    Sizer sizer;
    layout(sizer);
    if (!sizer.ok) return false;
    if (sizer.bytes > 0) {
      block_ = aligned_alloc(kAlign, sizer.bytes);  // a multiple of kAlign by construction
      if (block_ == nullptr) return false;
    }
    Carver carver{static_cast<char *>(block_)};
    layout(carver);
    return true;
  }

 private:
  // The bytes of a rows-by-cols array of T rounded up to kAlign, or false on overflow.
  template <class T>
  static bool padded(i64 rows, i64 cols, size_t *bytes) {
    i64 count = 0;
    if (rows > 0 && cols > 0 && __builtin_mul_overflow(rows, cols, &count)) return false;
    size_t b;
    if (!byte_count(count, sizeof(T), &b) || __builtin_add_overflow(b, kAlign - 1, &b))
      return false;
    *bytes = b / kAlign * kAlign;
    return true;
  }
  // Adds up the bytes of the arrays.
  struct Sizer {
    size_t bytes = 0;
    bool ok = true;
    template <class T>
    void operator()(T *&, i64 rows, i64 cols = 1) {
      size_t b;
      ok = ok && padded<T>(rows, cols, &b) && !__builtin_add_overflow(bytes, b, &bytes);
    }
  };
  // Points each array into the block, in the order the sizes were added up.
  struct Carver {
    char *at;
    template <class T>
    void operator()(T *&p, i64 rows, i64 cols = 1) {
      size_t b = 0;
      padded<T>(rows, cols, &b);  // checked by the Sizer
      p = reinterpret_cast<T *>(at);
      if (at != nullptr) at += b;
    }
  };

  void *block_ = nullptr;
};

}  // namespace qdl

#endif /* QUANDREL_CKERNELS_COMMON_QDL_SCRATCH_IMPL_H */
