/* Private elementwise exp, log and log1p of doubles, for kernels that evaluate them
 * for many rows at once.
 *
 * Each is written with IEEE additions, subtractions, multiplications, divisions,
 * comparisons and bit operations only (no table, no fused multiply-add, no call into
 * the C library), branch-free, so that a loop applying one to an array is vectorised
 * by the compiler in whatever instruction set the loop is compiled for, every lane
 * computing exactly the formula below: the same bits for every vector width, compiler
 * and processor. Accuracy: within a few units in the last place of the exact values
 * over the ranges stated.
 *
 *   exp(x)    k = nearest integer to x / ln 2 (ties to even; x clamped to
 *             [-760, 710] first), r = (x - k ln2_hi) - k ln2_lo, p the Taylor
 *             polynomial of degree 13 of e^r by Horner's rule, the result
 *             (p * 2^floor(k/2)) * 2^(k - floor(k/2)): 0 below about -745, +inf
 *             above about 709.78, NaN for NaN.
 *   log(x)    for x > 0 finite (subnormals scaled by 2^54 first): x = 2^e m with m in
 *             [sqrt(2)/2, sqrt(2)), f = m - 1, s = f / (2 + f), z = s^2,
 *             R = z (2/3 + z (2/5 + ... + z 2/23)), hfsq = f^2 / 2, and
 *             e ln2_hi - ((hfsq - (s (hfsq + R) + e ln2_lo)) - f).
 *   log1p(x)  for x >= 0 finite: u = 1 + x, log(u) + (x - (u - 1)) / u.
 *
 * Not part of the exported interface: include only from kernel sources.
 */
#ifndef QUANDREL_CKERNELS_COMMON_QDL_ELEMENTARY_IMPL_H
#define QUANDREL_CKERNELS_COMMON_QDL_ELEMENTARY_IMPL_H

#include "qdl_common.h"

namespace qdl::elementary {

// ln 2 split in two: ln2_hi has its low 21 significand bits zero, so that k * ln2_hi
// is exact for |k| < 2^21; ln2_lo = ln 2 - ln2_hi to double precision.
constexpr f64 kLn2Hi = 6.93147180369123816490e-01;
constexpr f64 kLn2Lo = 1.90821492927058770002e-10;
constexpr f64 kInvLn2 = 1.44269504088896338700e+00;
constexpr f64 kSqrt2 = 1.41421356237309514547e+00;
// Added to and taken from a double of magnitude below 2^51, rounds it to an integer
// (to nearest, ties to even); the integer is also the low bits of the sum.
constexpr f64 kShifter = 6755399441055744.0;  // 1.5 * 2^52
constexpr i64 kShifterBits = 0x4338000000000000LL;

// c ? a : b by bit operations (a conditional may not be vectorised).
[[gnu::always_inline]] inline f64 pick(bool c, f64 a, f64 b) {
  const i64 m = -static_cast<i64>(c);
  return __builtin_bit_cast(f64, (m & __builtin_bit_cast(i64, a)) | (~m & __builtin_bit_cast(i64, b)));
}

// 2^n for an integer n in [-1022, 1023] (the exponent field built directly).
[[gnu::always_inline]] inline f64 pow2(i64 n) { return __builtin_bit_cast(f64, (n + 1023) << 52); }

[[gnu::always_inline]] inline f64 exp(f64 x) {
  f64 xc = pick(x < -760.0, -760.0, x);
  xc = pick(xc > 710.0, 710.0, xc);
  const f64 t = xc * kInvLn2 + kShifter;
  const f64 k = t - kShifter;
  const i64 ki = __builtin_bit_cast(i64, t) - kShifterBits;
  const f64 r = (xc - k * kLn2Hi) - k * kLn2Lo;
  f64 p = 1.6059043836821613e-10;  // 1/13!
  p = p * r + 2.08767569878681e-09;  // 1/12!
  p = p * r + 2.505210838544172e-08;
  p = p * r + 2.755731922398589e-07;
  p = p * r + 2.7557319223985893e-06;
  p = p * r + 2.48015873015873e-05;
  p = p * r + 0.0001984126984126984;
  p = p * r + 0.001388888888888889;
  p = p * r + 0.008333333333333333;
  p = p * r + 0.041666666666666664;
  p = p * r + 0.16666666666666666;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  const i64 k1 = ki >> 1;
  const f64 out = (p * pow2(k1)) * pow2(ki - k1);
  return pick(x != x, x, out);
}

[[gnu::always_inline]] inline f64 log(f64 x) {
  const bool tiny = x < 2.2250738585072014e-308;  // subnormal: scaled into the normal range
  const f64 xs = pick(tiny, x * 18014398509481984.0, x);  // 2^54
  const i64 bits = __builtin_bit_cast(i64, xs);
  i64 e = ((bits >> 52) & 0x7ff) - 1023 - (54 & -static_cast<i64>(tiny));
  f64 m = __builtin_bit_cast(f64, (bits & 0x000fffffffffffffLL) | 0x3ff0000000000000LL);
  const bool big = m > kSqrt2;
  m = pick(big, m * 0.5, m);
  e = e + static_cast<i64>(big);
  const f64 f = m - 1.0;
  const f64 s = f / (f + 2.0);
  const f64 z = s * s;
  f64 R = 2.0 / 23.0;
  R = R * z + 2.0 / 21.0;
  R = R * z + 2.0 / 19.0;
  R = R * z + 2.0 / 17.0;
  R = R * z + 2.0 / 15.0;
  R = R * z + 2.0 / 13.0;
  R = R * z + 2.0 / 11.0;
  R = R * z + 2.0 / 9.0;
  R = R * z + 2.0 / 7.0;
  R = R * z + 2.0 / 5.0;
  R = R * z + 2.0 / 3.0;
  R = R * z;
  const f64 hfsq = 0.5 * (f * f);
  // e as a double: the integer placed in the low bits of 1.5 * 2^52, then taken off.
  const f64 ef = __builtin_bit_cast(f64, e + kShifterBits) - kShifter;
  return ef * kLn2Hi - ((hfsq - (s * (hfsq + R) + ef * kLn2Lo)) - f);
}

[[gnu::always_inline]] inline f64 log1p(f64 x) {
  const f64 u = x + 1.0;
  return log(u) + (x - (u - 1.0)) / u;
}

}  // namespace qdl::elementary

#endif /* QUANDREL_CKERNELS_COMMON_QDL_ELEMENTARY_IMPL_H */
