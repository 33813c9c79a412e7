// The per-block work of a GLM's Newton step (see glm.h for the contract).

#include "glm.h"

#include <math.h>

#include <type_traits>

#include "qdl_elementary_impl.h"
#include "qdl_linalg_impl.h"
#include "qdl_simd.h"

namespace {

// Rows whose linear parts are summed side by side: each row's sum runs over the
// columns in ascending order, the rows of a tile advancing together (independent
// sums, so the compiler may put them in vector lanes without changing a bit).
constexpr i64 kTileRows = 64;

// Whether the strided m-by-k X can exist: its last element, (m-1)*rs + (k-1)*cs,
// indexes an array whose byte count fits an i64.
bool extent_fits(i64 m, i64 k, i64 rs, i64 cs) {
  if (m <= 0 || k <= 0) return true;
  i64 a, b, last;
  return !__builtin_mul_overflow(m - 1, rs, &a) && !__builtin_mul_overflow(k - 1, cs, &b) &&
         !__builtin_add_overflow(a, b, &last) && last < INT64_MAX && qdl::fits(last + 1);
}

constexpr f64 kProbMin = 1e-9;      // the working mean's clip (binomial)
constexpr f64 kScoreProbMin = 1e-5;  // the held-out deviance's clip (binomial)

f64 clip(f64 v, f64 lo, f64 hi) { return v < lo ? lo : (v > hi ? hi : v); }

// exp(-|x|) and the logistic function 1 / (1 + exp(-x)) from it: 1 / (1 + E) for
// x >= 0, E / (1 + E) below (E = exp(-|x|) never overflows).
f64 logistic_from(f64 x, f64 E) { return x >= 0.0 ? 1.0 / (1.0 + E) : E / (1.0 + E); }

// 2 * (y * (log(y) - eta) - (y - mu)), the Poisson unit deviance (y log y = 0 at 0),
// given logy = log(y) for y > 0.
f64 poisson_deviance(f64 y, f64 eta, f64 mu, f64 logy) {
  const f64 ylog = y > 0.0 ? y * (logy - eta) : 0.0;
  return 2.0 * (ylog - (y - mu));
}

// grad[j] += x_rj * t[r] and grad[k + j] += x_rj * ww[r] for the n rows of a tile, in
// ascending row order for each j (a held-out row has t = ww = 0 and adds x * 0:
// nothing, for finite x, to a sum from +0.0, which is never -0.0). The columns are
// independent sums, side by side in vector lanes: with contiguous rows, W vectors of
// them and `tail` < L more at a time, their sums in registers over the tile's rows
// (the tail read as the L columns ending with it, the lanes before it unused; the
// caller has at least L columns left of the tail's end).
template <class V, int W>
[[gnu::always_inline]] inline void gradient_columns(const f64 *__restrict X, i64 rs, i64 n,
                                                    int tail, const f64 *__restrict t,
                                                    const f64 *__restrict ww, f64 *__restrict u,
                                                    f64 *__restrict xw) {
  namespace sd = qdl::simd;
  constexpr int L = sd::lanes<V>;
  V au[W > 0 ? W : 1], ax[W > 0 ? W : 1], tu = V{}, tx = V{};
  for (int v = 0; v < W; ++v) {
    au[v] = sd::load<V>(u + v * L);
    ax[v] = sd::load<V>(xw + v * L);
  }
  const int skip = L - tail;  // lanes of the tail's vector before its columns
  for (int l = skip; l < L && tail; ++l) {
    tu[l] = u[W * L + tail - L + l];
    tx[l] = xw[W * L + tail - L + l];
  }
  for (i64 r = 0; r < n; ++r) {
    const f64 *row = X + r * rs;
    const f64 tr = t[r], wr = ww[r];
    for (int v = 0; v < W; ++v) {
      const V x = sd::load<V>(row + v * L);
      au[v] = au[v] + x * tr;
      ax[v] = ax[v] + x * wr;
    }
    if (tail) {
      const V x = sd::load<V>(row + W * L + tail - L);
      tu = tu + x * tr;
      tx = tx + x * wr;
    }
  }
  for (int v = 0; v < W; ++v) {
    sd::store<V>(u + v * L, au[v]);
    sd::store<V>(xw + v * L, ax[v]);
  }
  for (int l = skip; l < L && tail; ++l) {
    u[W * L + tail - L + l] = tu[l];
    xw[W * L + tail - L + l] = tx[l];
  }
}

template <class V>
[[gnu::always_inline]] inline void accumulate_gradient(const f64 *__restrict X, i64 rs, i64 cs,
                                                       i64 n, i64 k, const f64 *__restrict t,
                                                       const f64 *__restrict ww,
                                                       f64 *__restrict grad) {
  namespace sd = qdl::simd;
  constexpr i64 L = sd::lanes<V>;
  constexpr int kMaxW = sd::per_width<V>(6, 3, 3);
  f64 *u = grad, *xw = grad + k;
  if (cs != 1 || k < L) {
    for (i64 j = 0; j < k; ++j) {
      f64 au = u[j], ax = xw[j];
      for (i64 r = 0; r < n; ++r) {
        const f64 x = X[r * rs + j * cs];
        au = au + x * t[r];
        ax = ax + x * ww[r];
      }
      u[j] = au;
      xw[j] = ax;
    }
    return;
  }
  i64 j0 = 0;
  while (j0 < k) {
    const i64 rem = k - j0;
    const int w = static_cast<int>(rem / L < kMaxW ? rem / L : kMaxW);
    const int tail = rem - w * L < L ? static_cast<int>(rem - w * L) : 0;
    sd::with_count<kMaxW, 0>(w, [&](auto wc) QDL_INLINE {
      gradient_columns<V, decltype(wc)::value>(X + j0, rs, n, tail, t, ww, u + j0, xw + j0);
    });
    j0 += w * L + tail;
  }
}

// s[t] = sum_j x_tj * b_j over the n rows of a tile (j ascending from 0.0; columns
// with b_j = 0 skipped: x * 0 would add nothing to a sum from +0.0, which is never
// -0.0), L rows side by side in vector lanes.
template <class V>
[[gnu::always_inline]] inline void linear_parts(const f64 *__restrict X, i64 rs, i64 cs, i64 n,
                                                i64 k, const f64 *__restrict b,
                                                f64 *__restrict s) {
  namespace sd = qdl::simd;
  constexpr int L = sd::lanes<V>;
  i64 t0 = 0;
  for (; t0 + L <= n; t0 += L) {
    const f64 *rows = X + t0 * rs;
    V acc = V{};
    for (i64 j = 0; j < k; ++j) {
      const f64 bj = b[j];
      if (bj == 0.0) continue;
      V col;
      for (int l = 0; l < L; ++l) col[l] = rows[l * rs + j * cs];
      acc = acc + col * bj;
    }
    sd::store<V>(s + t0, acc);
  }
  for (i64 t = t0; t < n; ++t) {
    f64 acc = 0.0;
    for (i64 j = 0; j < k; ++j)
      if (b[j] != 0.0) acc = acc + X[t * rs + j * cs] * b[j];
    s[t] = acc;
  }
}

// One block's work, one instantiation per vector width V (qdl_simd.h): a tile's rows
// side by side in vectorised loops, then the sums row by row.
struct Working {
  template <class V>
  [[gnu::always_inline]] static void run(const f64 *X, i64 rs, i64 cs, const f64 *y, const f64 *w,
                                         const f64 *offset, const i64 *fold, i64 held, i64 m, i64 k,
                                         bool binomial, f64 b0, const f64 *b, f64 eta_lo,
                                         f64 eta_hi, f64 *z, f64 *ww, f64 *sums, f64 *grad) {
    namespace el = qdl::elementary;
    f64 deviance = 0.0, beyond = 0.0, held_w = 0.0, held_dev = 0.0, held_mse = 0.0,
        held_class = 0.0, residual = 0.0, working_w = 0.0;
    if (grad != nullptr)
      for (i64 j = 0; j < 2 * k; ++j) grad[j] = 0.0;
    // Per row of a tile: the linear part, eta, y, w (1 without weights: 1 * x is x),
    // the elementwise values (binomial: exp(-|eta|), exp(-|eta clamped|),
    // log1p(exp(-|eta|)); Poisson: exp(eta), log(y)), then the fitted row's z, ww, t,
    // w * d and whether it is beyond the bounds (1 or 0), all in vectorised loops over
    // the whole tile; the sums, and the held-out rows' scores, row by row after them.
    f64 lin[kTileRows], eta[kTileRows], yv[kTileRows], wv[kTileRows], ea[kTileRows],
        eb[kTileRows], lg[kTileRows], zf[kTileRows], wwf[kTileRows], df[kTileRows],
        bf[kTileRows];
    f64 tr[kTileRows], wt[kTileRows];  // a fitted row's t and ww (0 for a held-out row)
    const f64 exp_clamp = el::exp(-QDL_GLM_ETA_MAX);
    for (i64 r0 = 0; r0 < m; r0 += kTileRows) {
      const i64 n = m - r0 < kTileRows ? m - r0 : kTileRows;
      linear_parts<V>(X + r0 * rs, rs, cs, n, k, b, lin);
      for (i64 t = 0; t < n; ++t) {
        lin[t] = b0 + lin[t];
        yv[t] = y[r0 + t];
        wv[t] = w != nullptr ? w[r0 + t] : 1.0;
        eta[t] = offset != nullptr ? lin[t] + offset[r0 + t] : lin[t];
      }
      for (i64 t = n; t < kTileRows; ++t) {  // rows past the block's end: unused
        lin[t] = eta[t] = yv[t] = 0.0;
        wv[t] = 1.0;
      }
      if (binomial) {
        // exp(-|eta clamped|) is exp(-|eta|) inside the clamp, exp(-ETA_MAX) beyond it.
        for (int t = 0; t < kTileRows; ++t) ea[t] = el::exp(-fabs(eta[t]));
        for (int t = 0; t < kTileRows; ++t) eb[t] = el::pick(fabs(eta[t]) > QDL_GLM_ETA_MAX, exp_clamp, ea[t]);
        for (int t = 0; t < kTileRows; ++t) lg[t] = el::log1p(ea[t]);
        for (int t = 0; t < kTileRows; ++t) {
          const f64 et = eta[t], E = eb[t];
          const f64 e = el::pick(et < -QDL_GLM_ETA_MAX, -QDL_GLM_ETA_MAX,
                                 el::pick(et > QDL_GLM_ETA_MAX, QDL_GLM_ETA_MAX, et));
          f64 mu = el::pick(e >= 0.0, 1.0 / (1.0 + E), E / (1.0 + E));
          mu = el::pick(mu < kProbMin, kProbMin, el::pick(mu > 1.0 - kProbMin, 1.0 - kProbMin, mu));
          const f64 v = mu * (1.0 - mu);
          const f64 d = 2.0 * ((el::pick(et > 0.0, et, 0.0) + lg[t]) - yv[t] * et);
          zf[t] = lin[t] + (yv[t] - mu) / v;
          wwf[t] = wv[t] * v;
          tr[t] = wv[t] * (yv[t] - mu);
          df[t] = wv[t] * d;
          bf[t] = el::pick((wv[t] > 0.0) & !((et >= eta_lo) & (et <= eta_hi)), 1.0, 0.0);
        }
      } else {
        for (int t = 0; t < kTileRows; ++t) ea[t] = el::exp(eta[t]);
        for (int t = 0; t < kTileRows; ++t) lg[t] = el::log(el::pick(yv[t] > 0.0, yv[t], 1.0));
        for (int t = 0; t < kTileRows; ++t) {
          const f64 mu = ea[t], yt = yv[t];
          const f64 d = 2.0 * (el::pick(yt > 0.0, yt * (lg[t] - eta[t]), 0.0) - (yt - mu));
          zf[t] = lin[t] + (yt - mu) / mu;
          wwf[t] = wv[t] * mu;
          tr[t] = wv[t] * (yt - mu);
          df[t] = wv[t] * d;
          bf[t] = el::pick((wv[t] > 0.0) & !((lin[t] >= eta_lo) & (lin[t] <= eta_hi)), 1.0, 0.0);
        }
      }
      for (i64 t = 0; t < n; ++t) {
        const i64 r = r0 + t;
        if (fold != nullptr && fold[r] == held) {
          const f64 et = eta[t], yr = yv[t];
          f64 sd, se, ce = 0.0;
          if (binomial) {
            const f64 mu = logistic_from(et, ea[t]);
            const f64 q = clip(mu, kScoreProbMin, 1.0 - kScoreProbMin);
            sd = -2.0 * (yr * ::log(q) + (1.0 - yr) * ::log(1.0 - q));
            se = 2.0 * ((yr - mu) * (yr - mu));
            ce = (mu > 0.5) != (yr > 0.5) ? 1.0 : 0.0;
          } else {
            const f64 mu = ea[t];
            sd = poisson_deviance(yr, et, mu, lg[t]);
            se = (yr - mu) * (yr - mu);
          }
          const f64 wr = wv[t];
          held_w = held_w + wr;
          held_dev = held_dev + wr * sd;
          held_mse = held_mse + wr * se;
          held_class = held_class + wr * ce;
          z[r] = lin[t];
          ww[r] = 0.0;
          tr[t] = 0.0;
          wt[t] = 0.0;
          continue;
        }
        z[r] = zf[t];
        ww[r] = wwf[t];
        wt[t] = wwf[t];
        deviance = deviance + df[t];
        beyond = beyond + bf[t];
        residual = residual + tr[t];
        working_w = working_w + wwf[t];
      }
      if (grad != nullptr)
        accumulate_gradient<V>(X + r0 * rs, rs, cs, n, k, tr, wt, grad);
    }
    sums[QDL_GLM_DEVIANCE] = deviance;
    sums[QDL_GLM_BEYOND] = beyond;
    sums[QDL_GLM_HELD_W] = held_w;
    sums[QDL_GLM_HELD_DEV] = held_dev;
    sums[QDL_GLM_HELD_MSE] = held_mse;
    sums[QDL_GLM_HELD_CLASS] = held_class;
    sums[QDL_GLM_RESIDUAL] = residual;
    sums[QDL_GLM_WORKING_W] = working_w;
  }
};

// The blocks of block_rows rows one after another, each with its own sums and grad.
struct Blocks {
  template <class V>
  [[gnu::always_inline]] static void run(const f64 *X, i64 rs, i64 cs, const f64 *y, const f64 *w,
                                         const f64 *offset, const i64 *fold, i64 held, i64 m, i64 k,
                                         bool binomial, f64 b0, const f64 *b, f64 eta_lo,
                                         f64 eta_hi, i64 block_rows, f64 *z, f64 *ww, f64 *sums,
                                         f64 *grad) {
    for (i64 r0 = 0, blk = 0; r0 < m; r0 += block_rows, ++blk) {
      const i64 n = m - r0 < block_rows ? m - r0 : block_rows;
      Working::run<V>(X + r0 * rs, rs, cs, y + r0, w != nullptr ? w + r0 : nullptr,
                      offset != nullptr ? offset + r0 : nullptr,
                      fold != nullptr ? fold + r0 : nullptr, held, n, k, binomial, b0, b, eta_lo,
                      eta_hi, z + r0, ww + r0, sums + blk * QDL_GLM_SUMS,
                      grad != nullptr ? grad + blk * 2 * k : nullptr);
    }
  }
};

}  // namespace

extern "C" i64 qdl_glm_working(const f64 *X, i64 row_stride, i64 col_stride, const f64 *y,
                               const f64 *w, const f64 *offset, const i64 *fold, i64 held,
                               i64 m, i64 k, i64 family, f64 b0, const f64 *b, f64 eta_lo,
                               f64 eta_hi, i64 block_rows, f64 *z, f64 *ww, f64 *sums,
                               f64 *grad) {
  if (m < 0 || k < 0 || row_stride < 0 || col_stride < 0) return QDL_REFUSED;
  if (family != QDL_GLM_BINOMIAL && family != QDL_GLM_POISSON) return QDL_REFUSED;
  if (!extent_fits(m, k, row_stride, col_stride) || !qdl::fits(m) || !qdl::fits(k))
    return QDL_REFUSED;
  if (block_rows < 1) return QDL_REFUSED;
  qdl::simd::dispatch<Blocks>(X, row_stride, col_stride, y, w, offset, fold, held, m, k,
                              family == QDL_GLM_BINOMIAL, b0, b, eta_lo, eta_hi, block_rows, z,
                              ww, sums, grad);
  return QDL_OK;
}
