// The normal quantile by Algorithm AS 241, PPND16 (see as241.h).
//
// Coefficients are those published with the algorithm (Wichura 1988, Table 1 and
// the PPND16 listing), index 0 holding the constant term; each region evaluates a
// ratio of two degree-7 polynomials by Horner's rule.

#include "as241.h"

#include <math.h>

#include <limits>

#include "qdl_linalg_impl.h"
#include "qdl_parallel_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;

// clang-format off
// Central region, |q| <= 0.425: x = q A(r) / B(r), r = 0.180625 - q^2.
constexpr f64 AS241_A[8] = {
    3.3871328727963666080e0,  1.3314166789178437745e+2, 1.9715909503065514427e+3,
    1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
    3.3430575583588128105e+4, 2.5090809287301226727e+3};
constexpr f64 AS241_B[8] = {
    1.0,                      4.2313330701600911252e+1, 6.8718700749205790830e+2,
    5.3941960214247511077e+3, 2.1213794301586595867e+4, 3.9307895800092710610e+4,
    2.8729085735721942674e+4, 5.2264952788528545610e+3};
// Intermediate tail, r = sqrt(-log(min(p, 1-p))) <= 5: x = C(r - 1.6) / D(r - 1.6).
constexpr f64 AS241_C[8] = {
    1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
    3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
    2.27238449892691845833e-2, 7.74545014278341407640e-4};
constexpr f64 AS241_D[8] = {
    1.0,                       2.05319162663775882187e0,  1.67638483018380384940e0,
    6.89767334985100004550e-1, 1.48103976427480074590e-1, 1.51986665636164571966e-2,
    5.47593808499534494600e-4, 1.05075007164441684324e-9};
// Far tail, r > 5: x = E(r - 5) / F(r - 5).
constexpr f64 AS241_E[8] = {
    6.65790464350110377720e0,  5.46378491116411436990e0,  1.78482653991729133580e0,
    2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
    2.71155556874348757815e-5, 2.01033439929228813265e-7};
constexpr f64 AS241_F[8] = {
    1.0,                       5.99832206555887937690e-1, 1.36929880922735805310e-1,
    1.48753612908506148525e-2, 7.86869131145613259100e-4, 1.84631831751005468180e-5,
    1.42151175831644588870e-7, 2.04426310338993978564e-15};
// clang-format on

constexpr f64 kSplitCentral = 0.425;
constexpr f64 kCentralOffset = 0.180625;  // 0.425^2
constexpr f64 kSplitTail = 5.0;
constexpr f64 kTailOffset = 1.6;

// c[0] + c[1] x + ... + c[7] x^7 by Horner's rule from the top: y = c[7]; y = y*x + c[i].
// T is f64 or a vector of independent arguments.
template <class T>
[[gnu::always_inline]] inline T as241_poly7(const f64 *c, T x) {
  T y = T{} + c[7];  // c[7] (in every lane); c[7] is nonzero, so 0.0 + c[7] is exact
  for (int i = 6; i >= 0; --i) y = y * x + c[i];
  return y;
}

// The central formula, q A(r) / B(r) with r = 0.180625 - q*q.
template <class T>
[[gnu::always_inline]] inline T central(T q) {
  const T r = kCentralOffset - q * q;
  return (q * as241_poly7(AS241_A, r)) / as241_poly7(AS241_B, r);
}

// The tails, |q| > 0.425: the magnitude of the quantile of m = min(p, 1 - p) > 0, from
// r = sqrt(-log(m)).
inline f64 tail(f64 m) {
  f64 r = sqrt(-log(m));
  if (r <= kSplitTail) {
    r = r - kTailOffset;
    return as241_poly7(AS241_C, r) / as241_poly7(AS241_D, r);
  }
  r = r - kSplitTail;
  return as241_poly7(AS241_E, r) / as241_poly7(AS241_F, r);
}

[[gnu::always_inline]] inline f64 ndtri(f64 p) {
  if (p <= 0.0) return -HUGE_VAL;
  if (p >= 1.0) return HUGE_VAL;
  const f64 q = p - 0.5;
  if (fabs(q) <= kSplitCentral) return central(q);
  // Tails (a NaN p arrives here and stays NaN).
  const f64 x = tail(q < 0.0 ? p : 1.0 - p);
  return q < 0.0 ? -x : x;
}

// One vector of arguments side by side: the central formula for all lanes (the
// common case), then the scalar routine for the lanes outside the central region.
// Each lane sees exactly the scalar operations, so results are those of ndtri bit
// for bit.
struct NdtriInto {
  template <class Vec>
  [[gnu::always_inline]] static inline void run(const f64 *QDL_RESTRICT p, i64 n,
                                                f64 *QDL_RESTRICT out) {
    constexpr int N = lanes<Vec>;
    i64 i = 0;
    for (; i + N <= n; i += N) {
      const Vec q = load<Vec>(p + i) - 0.5;
      store<Vec>(out + i, central(q));
      for (int l = 0; l < N; ++l)
        if (!(fabs(q[l]) <= kSplitCentral)) out[i + l] = ndtri(p[i + l]);
    }
    for (; i < n; ++i) out[i] = ndtri(p[i]);
  }
};

}  // namespace

extern "C" {

f64 qdl_ndtri_as241(f64 p) { return ndtri(p); }

void qdl_ndtri_as241_into(const f64 *QDL_RESTRICT p, i64 n, f64 *QDL_RESTRICT out) {
  if (n <= 0 || !qdl::fits(n)) return;  // nothing, or no such arrays
  // The threads share the points in runs of whole cache lines.
  qdl::par::run_shared(static_cast<f64>(n), qdl::par::kNdtriGrain, n, 8, [&](qdl::par::Range r) {
    qdl::simd::dispatch<NdtriInto>(p + r.begin, r.end - r.begin, out + r.begin);
  });
}

f64 qdl_erfinv_from_as241(f64 y) {
  // The quantile of ((y + 1) / 2) / sqrt 2: the division applies to the argument.
  return ndtri(((y + 1.0) * 0.5) / 1.4142135623730951);
}

f64 qdl_erfinv(f64 y) {
  // erf(x) = 2 Phi(x sqrt 2) - 1, so erfinv(y) = Phi^-1(p) / sqrt 2 with p = (1 + y) / 2.
  // The domain is [-1, 1]: outside it (and for NaN, where both tests are false) NaN.
  if (!(y >= -1.0 && y <= 1.0)) return std::numeric_limits<f64>::quiet_NaN();
  if (y == -1.0) return -HUGE_VAL;
  if (y == 1.0) return HUGE_VAL;
  // p itself is never formed: 1 + y would round y away (1e-300 to nothing). The
  // quantile needs q = p - 1/2 = y / 2 in the central region, and min(p, 1 - p) =
  // (1 - |y|) / 2 in the tails, all exact (|y| > 0.85 there, so 1 - |y| is exact).
  const f64 q = y * 0.5;
  if (fabs(q) <= kSplitCentral) return central(q) / 1.4142135623730951;
  const f64 x = tail((1.0 - fabs(y)) * 0.5);
  return (q < 0.0 ? -x : x) / 1.4142135623730951;
}

}  // extern "C"
