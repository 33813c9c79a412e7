/* Private helpers for kernels that evaluate many independent sums side by side.
 *
 * The vectors here are GCC/Clang vector extensions: on a baseline x86-64 build
 * they lower to SSE2 pairs, inside a function compiled for AVX2 or AVX-512 to
 * full-width registers. Every lane holds one independent running sum and sees
 * exactly the scalar operations (a product, then an add) in the scalar order, so
 * a lane's result is bit for bit the scalar loop's. Nothing here reorders a sum.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_SIMD_H
#define QUANDREL_CKERNELS_COMMON_QDL_SIMD_H

#include <string.h>

#include "qdl_common.h"

namespace qdl::simd {

typedef f64 v8d __attribute__((vector_size(64)));

[[gnu::always_inline]] inline v8d load8(const f64 *p) {
  v8d v;
  memcpy(&v, p, sizeof v);
  return v;
}

[[gnu::always_inline]] inline void store8(f64 *p, v8d v) { memcpy(p, &v, sizeof v); }

[[gnu::always_inline]] inline v8d splat8(f64 x) { return v8d{x, x, x, x, x, x, x, x}; }

/* Instruction-set levels a kernel may be compiled for; `best()` picks the widest
 * one the running CPU supports. x86-64 only; other targets use the baseline. */
enum class Isa { base, avx2, avx512 };

inline Isa best() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
  if (__builtin_cpu_supports("avx2")) return Isa::avx2;
#endif
  return Isa::base;
}

}  // namespace qdl::simd

#if defined(__x86_64__) && defined(__GNUC__)
#define QDL_TARGET_AVX2 __attribute__((target("avx2")))
#define QDL_TARGET_AVX512 __attribute__((target("avx512f")))
#define QDL_HAVE_ISA_DISPATCH 1
#else
#define QDL_TARGET_AVX2
#define QDL_TARGET_AVX512
#define QDL_HAVE_ISA_DISPATCH 0
#endif

namespace qdl::simd {

/* Calls the variant of a kernel compiled for the widest instruction set the running
 * CPU supports (avx512, avx2 or the baseline build), with the given arguments. */
template <class R, class... P, class... A>
inline R dispatch(R (*avx512)(P...), R (*avx2)(P...), R (*base)(P...), A... args) {
#if QDL_HAVE_ISA_DISPATCH
  switch (best()) {
    case Isa::avx512: return avx512(args...);
    case Isa::avx2: return avx2(args...);
    default: break;
  }
#else
  (void)avx512;
  (void)avx2;
#endif
  return base(args...);
}

}  // namespace qdl::simd

#endif /* QUANDREL_CKERNELS_COMMON_QDL_SIMD_H */
