// The per-block work of a GLM's Newton step (see glm.h for the contract).

#include "glm.h"

#include <math.h>

#include "qdl_linalg_impl.h"

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

f64 logistic(f64 e) { return 1.0 / (1.0 + exp(-e)); }

// 2 * (log(1 + exp(eta)) - y * eta), the binomial unit deviance at the logit eta.
f64 binomial_deviance(f64 y, f64 eta) {
  const f64 softplus = (eta > 0.0 ? eta : 0.0) + log1p(exp(-fabs(eta)));
  return 2.0 * (softplus - y * eta);
}

// 2 * (y * (log(y) - eta) - (y - mu)), the Poisson unit deviance (y log y = 0 at 0).
f64 poisson_deviance(f64 y, f64 eta, f64 mu) {
  const f64 ylog = y > 0.0 ? y * (log(y) - eta) : 0.0;
  return 2.0 * (ylog - (y - mu));
}

// grad[j] += x_rj * t[r] and grad[k + j] += x_rj * ww[r] for the n fitted rows of a
// tile, in ascending row order for each j (held-out rows skipped); the columns are
// independent sums, side by side in vector lanes.
void accumulate_gradient(const f64 *__restrict X, i64 rs, i64 cs, i64 n, i64 k,
                         const i64 *__restrict fold, i64 held, const f64 *__restrict t,
                         const f64 *__restrict ww, f64 *__restrict grad) {
  f64 *u = grad, *xw = grad + k;
  for (i64 r = 0; r < n; ++r) {
    if (fold != nullptr && fold[r] == held) continue;
    const f64 *row = X + r * rs;
    const f64 tr = t[r], wr = ww[r];
    if (cs == 1) {
      for (i64 j = 0; j < k; ++j) {
        u[j] = u[j] + row[j] * tr;
        xw[j] = xw[j] + row[j] * wr;
      }
    } else {
      for (i64 j = 0; j < k; ++j) {
        u[j] = u[j] + row[j * cs] * tr;
        xw[j] = xw[j] + row[j * cs] * wr;
      }
    }
  }
}

}  // namespace

extern "C" i64 qdl_glm_working(const f64 *X, i64 row_stride, i64 col_stride, const f64 *y,
                               const f64 *w, const f64 *offset, const i64 *fold, i64 held,
                               i64 m, i64 k, i64 family, f64 b0, const f64 *b, f64 eta_lo,
                               f64 eta_hi, f64 *z, f64 *ww, f64 *sums, f64 *grad) {
  if (m < 0 || k < 0 || row_stride < 0 || col_stride < 0) return QDL_REFUSED;
  if (family != QDL_GLM_BINOMIAL && family != QDL_GLM_POISSON) return QDL_REFUSED;
  if (!extent_fits(m, k, row_stride, col_stride) || !qdl::fits(m) || !qdl::fits(k))
    return QDL_REFUSED;
  const bool binomial = family == QDL_GLM_BINOMIAL;
  f64 deviance = 0.0, beyond = 0.0, held_w = 0.0, held_dev = 0.0, held_mse = 0.0,
      held_class = 0.0, residual = 0.0, working_w = 0.0;
  if (grad != nullptr)
    for (i64 j = 0; j < 2 * k; ++j) grad[j] = 0.0;
  f64 s[kTileRows];
  f64 tr[kTileRows], wt[kTileRows];  // a fitted row's t and ww (0 for a held-out row)
  for (i64 r0 = 0; r0 < m; r0 += kTileRows) {
    const i64 n = m - r0 < kTileRows ? m - r0 : kTileRows;
    for (i64 t = 0; t < n; ++t) s[t] = 0.0;
    for (i64 j = 0; j < k; ++j) {
      const f64 bj = b[j];
      const f64 *col = X + r0 * row_stride + j * col_stride;
      for (i64 t = 0; t < n; ++t) s[t] = s[t] + col[t * row_stride] * bj;
    }
    for (i64 t = 0; t < n; ++t) {
      const i64 r = r0 + t;
      const f64 lin = b0 + s[t];
      const f64 eta = offset != nullptr ? lin + offset[r] : lin;
      const f64 yr = y[r];
      if (fold != nullptr && fold[r] == held) {
        f64 sd, se, ce = 0.0;
        if (binomial) {
          const f64 mu = logistic(eta);
          const f64 q = clip(mu, kScoreProbMin, 1.0 - kScoreProbMin);
          sd = -2.0 * (yr * log(q) + (1.0 - yr) * log(1.0 - q));
          se = 2.0 * ((yr - mu) * (yr - mu));
          ce = (mu > 0.5) != (yr > 0.5) ? 1.0 : 0.0;
        } else {
          const f64 mu = exp(eta);
          sd = poisson_deviance(yr, eta, mu);
          se = (yr - mu) * (yr - mu);
        }
        if (w != nullptr) {
          const f64 wr = w[r];
          held_w = held_w + wr;
          held_dev = held_dev + wr * sd;
          held_mse = held_mse + wr * se;
          held_class = held_class + wr * ce;
        } else {
          held_w = held_w + 1.0;
          held_dev = held_dev + sd;
          held_mse = held_mse + se;
          held_class = held_class + ce;
        }
        z[r] = lin;
        ww[r] = 0.0;
        tr[t] = 0.0;
        wt[t] = 0.0;
        continue;
      }
      f64 mu, v, d, bound;
      if (binomial) {
        mu = logistic(clip(eta, -QDL_GLM_ETA_MAX, QDL_GLM_ETA_MAX));
        mu = clip(mu, kProbMin, 1.0 - kProbMin);
        v = mu * (1.0 - mu);
        d = binomial_deviance(yr, eta);
        bound = eta;
      } else {
        mu = exp(eta);
        v = mu;
        d = poisson_deviance(yr, eta, mu);
        bound = lin;
      }
      z[r] = lin + (yr - mu) / v;
      const f64 wr = w != nullptr ? w[r] : 1.0;
      ww[r] = w != nullptr ? wr * v : v;
      deviance = deviance + (w != nullptr ? wr * d : d);
      if (wr > 0.0 && !(bound >= eta_lo && bound <= eta_hi)) beyond = beyond + 1.0;
      tr[t] = w != nullptr ? wr * (yr - mu) : yr - mu;
      wt[t] = ww[r];
      residual = residual + tr[t];
      working_w = working_w + ww[r];
    }
    if (grad != nullptr) accumulate_gradient(X + r0 * row_stride, row_stride, col_stride, n, k,
                                             fold != nullptr ? fold + r0 : nullptr, held, tr, wt,
                                             grad);
  }
  sums[QDL_GLM_DEVIANCE] = deviance;
  sums[QDL_GLM_BEYOND] = beyond;
  sums[QDL_GLM_HELD_W] = held_w;
  sums[QDL_GLM_HELD_DEV] = held_dev;
  sums[QDL_GLM_HELD_MSE] = held_mse;
  sums[QDL_GLM_HELD_CLASS] = held_class;
  sums[QDL_GLM_RESIDUAL] = residual;
  sums[QDL_GLM_WORKING_W] = working_w;
  return QDL_OK;
}
