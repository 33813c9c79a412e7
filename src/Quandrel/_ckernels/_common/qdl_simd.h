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

#include <type_traits>

#include "qdl_common.h"

namespace qdl::simd {

// Vector types of 2, 4 and 8 doubles. Use each only in code compiled for an ISA that
// has registers of its width (v2d: baseline SSE2, v4d: AVX2, v8d: AVX-512): a wider
// vector in a narrower context is split element by element and is very slow. Kernels
// are templates on the vector type, instantiated once per ISA (see qdl_gram).
typedef f64 v2d __attribute__((vector_size(16)));
typedef f64 v4d __attribute__((vector_size(32)));
typedef f64 v8d __attribute__((vector_size(64)));

template <class V>
inline constexpr int lanes = static_cast<int>(sizeof(V) / sizeof(f64));

// The vector of half the width (v8d -> v4d -> v2d -> f64), for the columns past the
// last whole vector: f64 itself serves as the vector of one lane, so that load, store,
// splat and the arithmetic operators work unchanged on it. A narrower vector is
// native wherever a wider one is.
template <class V>
struct HalfOf;
template <>
struct HalfOf<v8d> {
  typedef v4d type;
};
template <>
struct HalfOf<v4d> {
  typedef v2d type;
};
template <>
struct HalfOf<v2d> {
  typedef f64 type;
};
template <class V>
using Half = typename HalfOf<V>::type;

// Unaligned load and store of one vector.
template <class V>
[[gnu::always_inline]] inline V load(const f64 *p) {
  V v;
  memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
[[gnu::always_inline]] inline void store(f64 *p, V v) {
  memcpy(p, &v, sizeof v);
}

// x in every lane, as a shuffle of lane 0 (an initialiser {x, x, ...} compiles into
// a broadcast followed by masked moves). In arithmetic prefer the vector-scalar form
// `x * v`: the compiler broadcasts x itself, where a splat of a loaded value inside
// an unrolled loop can still end up as masked moves.
[[gnu::always_inline]] inline v2d splat2(f64 x) {
  const v2d v = {x};
  return __builtin_shufflevector(v, v, 0, 0);
}
[[gnu::always_inline]] inline v4d splat4(f64 x) {
  const v4d v = {x};
  return __builtin_shufflevector(v, v, 0, 0, 0, 0);
}
[[gnu::always_inline]] inline v8d splat8(f64 x) {
  const v8d v = {x};
  return __builtin_shufflevector(v, v, 0, 0, 0, 0, 0, 0, 0, 0);
}

template <class V>
[[gnu::always_inline]] inline V splat(f64 x) {
  if constexpr (lanes<V> == 1) return x;
  else if constexpr (lanes<V> == 2) return splat2(x);
  else if constexpr (lanes<V> == 4) return splat4(x);
  else return splat8(x);
}

// y[i] = y[i] + a * x[i] for i < n: n independent updates, one product and one add
// each, evaluated four vectors (then one, then one entry) at a time.
template <class V>
[[gnu::always_inline]] inline void axpy(f64 *QDL_RESTRICT y, f64 a, const f64 *QDL_RESTRICT x,
                                        i64 n) {
  constexpr i64 N = lanes<V>;
  i64 i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    V yv[4];
    for (int v = 0; v < 4; ++v) yv[v] = load<V>(y + i + N * v) + a * load<V>(x + i + N * v);
    for (int v = 0; v < 4; ++v) store<V>(y + i + N * v, yv[v]);
  }
  for (; i + N <= n; i += N) store<V>(y + i, load<V>(y + i) + a * load<V>(x + i));
  for (; i < n; ++i) y[i] = y[i] + a * x[i];
}

// y[i] = y[i] - a * x[i] for i < n (product, then subtract), one vector at a time.
template <class V>
[[gnu::always_inline]] inline void axmy(f64 *QDL_RESTRICT y, f64 a, const f64 *QDL_RESTRICT x,
                                        i64 n) {
  constexpr i64 N = lanes<V>;
  i64 i = 0;
  for (; i + N <= n; i += N) store<V>(y + i, load<V>(y + i) - a * load<V>(x + i));
  for (; i < n; ++i) y[i] = y[i] - a * x[i];
}

/* a[k] = row k of an L-by-L tile on entry (L = lanes of V), column k on return: rounds
 * of interleaving, pairs of entries, then pairs of pairs, then halves. V is a vector of
 * 2, 4 or 8 lanes of any 8-byte element; only lanes move, no value is changed. */
template <class V>
[[gnu::always_inline]] inline void transpose(V *a) {
  constexpr int L = static_cast<int>(sizeof(V) / 8);
  if constexpr (L == 2) {
    const V t0 = __builtin_shufflevector(a[0], a[1], 0, 2);
    a[1] = __builtin_shufflevector(a[0], a[1], 1, 3);
    a[0] = t0;
  } else if constexpr (L == 4) {
    V t[4];
    for (int k = 0; k < 4; k += 2) {
      t[k] = __builtin_shufflevector(a[k], a[k + 1], 0, 4, 2, 6);
      t[k + 1] = __builtin_shufflevector(a[k], a[k + 1], 1, 5, 3, 7);
    }
    // t[0], t[1] hold rows 0-1 of columns (0,2), (1,3); t[2], t[3] rows 2-3.
    for (int h = 0; h < 2; ++h) {
      a[h] = __builtin_shufflevector(t[h], t[h + 2], 0, 1, 4, 5);
      a[h + 2] = __builtin_shufflevector(t[h], t[h + 2], 2, 3, 6, 7);
    }
  } else {
    V t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
      t[k] = __builtin_shufflevector(a[k], a[k + 1], 0, 8, 2, 10, 4, 12, 6, 14);
      t[k + 1] = __builtin_shufflevector(a[k], a[k + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int k = 0; k < 8; k += 4) {
      for (int h = 0; h < 2; ++h) {
        u[k + h] = __builtin_shufflevector(t[k + h], t[k + h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        u[k + h + 2] = __builtin_shufflevector(t[k + h], t[k + h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
      }
    }
    // u[0..3] hold rows 0-3 of columns (0,4), (1,5), (2,6), (3,7); u[4..7] rows 4-7.
    for (int k = 0; k < 4; ++k) {
      a[k] = __builtin_shufflevector(u[k], u[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
      a[k + 4] = __builtin_shufflevector(u[k], u[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
  }
}

/* Instruction-set levels a kernel may be compiled for; `best()` picks the widest
 * one the running CPU supports. x86-64 only; other targets use the baseline. A build
 * may cap the level (QDL_FORCE_ISA in CMake) so that the tests cover every variant. */
enum class Isa { base, avx2, avx512 };

inline Isa best() {
#if defined(QDL_FORCE_ISA_BASE)
  return Isa::base;  // a test build that exercises the baseline code everywhere
#elif defined(__x86_64__) && defined(__GNUC__)
#if !defined(QDL_FORCE_ISA_AVX2)
  if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
#endif
  if (__builtin_cpu_supports("avx2")) return Isa::avx2;
  return Isa::base;
#else
  return Isa::base;
#endif
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

/* f(std::integral_constant<int, c>{}) for a run-time count c in [Lo, Hi], nothing for a
 * c outside it: the count of a register tile or of unrolled lanes, which the code
 * needs as a compile-time constant, chosen at run time. f is a generic lambda marked
 * QDL_INLINE, so that it is compiled into the instruction set of its caller:
 *
 *   with_count<M>(m, [&](auto mc) QDL_INLINE { tile<Vec, mc>(...); });
 */
#define QDL_INLINE __attribute__((always_inline))

template <int Hi, int Lo = 1, class F>
[[gnu::always_inline]] inline void with_count(i64 c, F &&f) {
  if constexpr (Hi >= Lo) {
    if (c == Hi) {
      f(std::integral_constant<int, Hi>{});
    } else {
      with_count<Hi - 1, Lo>(c, f);
    }
  }
}

// A tile size chosen per register width, for a K::run<V> whose register budget
// differs between v8d (32 zmm registers), v4d and v2d (16 ymm or xmm).
template <class V>
constexpr int per_width(int w8, int w4, int w2) {
  return lanes<V> == 8 ? w8 : lanes<V> == 4 ? w4 : w2;
}

template <class K, class... A>
QDL_TARGET_AVX512 auto run_avx512(A... a) {
  return K::template run<v8d>(a...);
}
template <class K, class... A>
QDL_TARGET_AVX2 auto run_avx2(A... a) {
  return K::template run<v4d>(a...);
}
template <class K, class... A>
auto run_base(A... a) {
  return K::template run<v2d>(a...);
}

/* Run-time dispatch: calls K::template run<V>(args...) with V = v8d, v4d or v2d,
 * compiled for the widest instruction set the running CPU supports (or the level a
 * capped build allows). K::run is an always_inline template, so each level gets its
 * own copy of the code generated for its registers; the arithmetic is the same in
 * all of them. Each kernel family writes its kernel once, as such a K, and calls it
 * through this helper. */
template <class K, class... A>
inline auto dispatch(A... a) {
#if QDL_HAVE_ISA_DISPATCH
  switch (best()) {
    case Isa::avx512: return run_avx512<K>(a...);
    case Isa::avx2: return run_avx2<K>(a...);
    default: break;
  }
#endif
  return run_base<K>(a...);
}

}  // namespace qdl::simd

#endif /* QUANDREL_CKERNELS_COMMON_QDL_SIMD_H */
