/* Inspection of a square matrix's bit patterns, shared by the kernels that read a
 * symmetric G by rows where the algorithm names its columns.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_GRAM_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_GRAM_IMPL_H

#include <stdint.h>

#include <bit>

#include "qdl_common.h"
#include "qdl_simd.h"

namespace qdl {

struct GramShape {
  bool symmetric;  // G[i,j] and G[j,i] have the same bits for every i, j
  bool finite;     // every entry of G is finite (only decided when symmetric)
};

namespace gram_detail {

// The unsigned 64-bit lanes of a vector as wide as V.
template <class V>
struct BitsOf;
template <>
struct BitsOf<simd::v2d> {
  typedef uint64_t type __attribute__((vector_size(16)));
};
template <>
struct BitsOf<simd::v4d> {
  typedef uint64_t type __attribute__((vector_size(32)));
};
template <>
struct BitsOf<simd::v8d> {
  typedef uint64_t type __attribute__((vector_size(64)));
};

// Bit 63 of (x & kExp) + kExpUnit is set exactly when the exponent of x is all ones
// (x is infinite or NaN); OR-ed over many x it tells whether any of them was.
constexpr uint64_t kExp = 0x7ff0000000000000u;
constexpr uint64_t kExpUnit = 0x0010000000000000u;

// G is cut into N-by-N tiles (N = lanes of V); tile (I, J) of the upper triangle is
// transposed in registers and compared with tile (J, I) read row by row, so both
// sides are read with unit stride. Rows and columns past the last full tile are
// compared one pair at a time. The first differing block ends the inspection.
struct Inspect {
  template <class V>
  [[gnu::always_inline]] static inline GramShape run(const f64 *G, i64 k) {
    using B = typename BitsOf<V>::type;
    constexpr int N = simd::lanes<V>;
    const B vexp = kExp - B{}, vunit = kExpUnit - B{};
    const i64 kt = k / N * N;
    B nonfinite = {};
    uint64_t nonfinite_tail = 0;
    for (i64 i0 = 0; i0 < kt; i0 += N) {
      B diff = {};
      uint64_t diff_tail = 0;
      for (i64 j0 = i0; j0 < kt; j0 += N) {
        B a[N], t[N];
        for (int r = 0; r < N; ++r) a[r] = simd::load<B>(G + (i0 + r) * k + j0);  // G[i0+r, j0..]
        for (int r = 0; r < N; ++r) t[r] = a[r];
        simd::transpose(t);  // t[c] = G[i0.., j0+c]
        for (int c = 0; c < N; ++c) {
          diff |= t[c] ^ simd::load<B>(G + (j0 + c) * k + i0);  // against G[j0+c, i0..]
          nonfinite |= (a[c] & vexp) + vunit;
        }
      }
      for (i64 i = i0; i < i0 + N; ++i)  // row i past the tiles against column i
        for (i64 j = kt; j < k; ++j) {
          const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
          diff_tail |= x ^ std::bit_cast<uint64_t>(G[j * k + i]);
          nonfinite_tail |= (x & kExp) + kExpUnit;
        }
      for (int l = 0; l < N; ++l) diff_tail |= diff[l];
      if (diff_tail != 0) return {false, false};
    }
    for (i64 i = kt; i < k; ++i)  // the corner past the tiles, diagonal included
      for (i64 j = i; j < k; ++j) {
        const uint64_t x = std::bit_cast<uint64_t>(G[i * k + j]);
        if (x != std::bit_cast<uint64_t>(G[j * k + i])) return {false, false};
        nonfinite_tail |= (x & kExp) + kExpUnit;
      }
    for (int l = 0; l < N; ++l) nonfinite_tail |= nonfinite[l];
    return {true, (nonfinite_tail >> 63) == 0};
  }
};

}  // namespace gram_detail

/* Whether the k*k row-major G equals its transpose bit for bit (signed zeros and NaN
 * payloads included), and if so whether all its entries are finite. When it is
 * symmetric, column j of G can be read as the contiguous row j with identical
 * arithmetic; when it is also finite, a product with an exact zero adds only +-0.0. */
inline GramShape inspect_gram(const f64 *G, i64 k) {
  return simd::dispatch<gram_detail::Inspect>(G, k);
}

}  // namespace qdl

#endif /* QUANDREL_CKERNELS_COMMON_QDL_GRAM_IMPL_H */
