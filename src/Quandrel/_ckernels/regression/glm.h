/* Generalised linear models, binomial (logit link) and Poisson (log link): the work
 * one block of rows does in a proximal Newton step (iteratively reweighted least
 * squares with an elastic-net solve of each quadratic model; Friedman, Hastie and
 * Tibshirani, "Regularization paths for generalized linear models via coordinate
 * descent", Journal of Statistical Software 33, 2010, section 3).
 *
 * At coefficients (b0, b) a row x with weight w and offset o has the linear part
 * lin = b0 + x'b, the linear predictor eta = lin + o, the mean mu, the working weight
 * v = dmu/deta and the working response z = lin + (y - mu) / v. The weighted least
 * squares of z on (1, x) with weights w * v is the Newton step's quadratic model: the
 * caller forms its statistics with qdl_moments_leaves (moments.h) from z and w * v,
 * and solves it with the elastic-net kernels (elastic_net.h).
 *
 *   binomial  mu = logistic(e), v = mu * (1 - mu), with e = eta clamped to
 *             [-QDL_GLM_ETA_MAX, QDL_GLM_ETA_MAX] (mu kept in [1e-9, 1 - 1e-9], so
 *             that v never vanishes); unit deviance
 *             d = 2 * ((max(eta, 0) + log1p(exp(-|eta|))) - y * eta)   (unclamped eta)
 *             where logistic(x) = 1 / (1 + E) for x >= 0, E / (1 + E) below, with
 *             E = exp(-|x|)
 *   Poisson   mu = v = exp(eta); unit deviance
 *             d = 2 * ((y * (log(y) - eta)) - (y - mu))   (the first term 0 for y = 0)
 *
 * Every sum is one running f64 over the rows in ascending order, from 0.0, and every
 * other step is an elementwise IEEE operation written with its parentheses: exp, log
 * and log1p are this library's own (qdl_elementary_impl.h: IEEE operations only,
 * within a few units in the last place), but for the held-out binomial scores' two
 * logarithms, which are the C library's. So the results are the same bits whatever
 * the thread count or instruction set. A column whose coefficient is 0 is not read
 * (x * 0 would add nothing to a sum). Nothing here allocates, keeps state or checks
 * values.
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_GLM_H
#define QUANDREL_CKERNELS_REGRESSION_GLM_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The families. */
enum qdl_glm_family { QDL_GLM_BINOMIAL = 0, QDL_GLM_POISSON = 1 };

/* log((1 - 1e-9) / 1e-9): the binomial linear predictor's clamp. */
#define QDL_GLM_ETA_MAX 20.723265836946411

/* Entries of qdl_glm_working's sums. */
enum qdl_glm_sum {
  QDL_GLM_DEVIANCE = 0, /* sum w d over the rows fitted */
  QDL_GLM_BEYOND = 1,   /* rows fitted with w > 0 whose eta (binomial) or lin (Poisson)
                           lies outside [eta_lo, eta_hi] (or is NaN) */
  QDL_GLM_HELD_W = 2,   /* sum w over the held-out rows */
  QDL_GLM_HELD_DEV = 3, /* sum w * deviance score over the held-out rows */
  QDL_GLM_HELD_MSE = 4, /* sum w * squared-error score */
  QDL_GLM_HELD_CLASS = 5, /* sum w * misclassification (binomial; 0 for Poisson) */
  QDL_GLM_RESIDUAL = 6, /* sum t over the rows fitted, t = w * (y - mu) */
  QDL_GLM_WORKING_W = 7, /* sum ww over the rows fitted */
  QDL_GLM_SUMS = 8
};

/* The working response and weights of m rows at the coefficients (b0, b), and per
 * block of block_rows rows (the last one shorter) its deviance and the
 * log-likelihood's gradient; rows of the held-out fold are scored instead. Each block
 * is worked on as if alone: its sums below start from 0.0 at its first row and go to
 * its own entries of sums and grad.
 *
 * Row r is held out when fold is given and fold[r] == held; every other row is
 * fitted. For row r, ascending:
 *   lin   = b0 + s,  s = sum_j x_rj * b_j   (one running sum, j ascending, from 0.0)
 *   eta   = lin + o_r                       (o_r = offset[r]; lin itself without offset)
 *   fitted:   z[r] = lin + (y_r - mu) / v,  ww[r] = w_r * v  (v alone without w),
 *             sums[DEVIANCE] += w_r * d     (d alone without w),
             t = w_r * (y_r - mu) (y_r - mu without w), with mu the working mean,
             sums[RESIDUAL] += t, sums[WORKING_W] += ww[r],
             grad[j] += x_rj * t, grad[k + j] += x_rj * ww[r]   (each j)
 *   held out: z[r] = lin, ww[r] = 0.0, and with mu as above but unclamped,
 *             HELD_W += w_r, HELD_DEV += w_r * sd, HELD_MSE += w_r * se,
 *             HELD_CLASS += w_r * ce, where
 *     binomial  q = mu clipped to [1e-5, 1 - 1e-5],
 *               sd = -2 * (y * log(q) + (1 - y) * log(1 - q)),
 *               se = 2 * (y - mu)^2,  ce = 1 when (mu > 0.5) != (y > 0.5), else 0
 *     Poisson   sd = d,  se = (y - mu)^2,  ce = 0
 * (the products w_r * ... are skipped without w: the values are added as they are).
 * The gradient of the quadratic model at (b0, b) for a column j, with the intercept
 * refitted, is grad[j] - grad[k + j] * sums[RESIDUAL] / sums[WORKING_W] (grad[j]
 * alone without an intercept): what a column outside the caller's statistics
 * needs for its optimality check.
 *
 *   X          in   m rows of k >= 0 columns: x_rj = X[r*row_stride + j*col_stride]
 *   y          in   m responses (binomial: 0 or 1; Poisson: >= 0)
 *   w          in   m weights, or NULL (all 1)
 *   offset     in   m offsets, or NULL (all 0)
 *   fold       in   m fold ids, or NULL (no row held out; held not read)
 *   family     in   QDL_GLM_BINOMIAL or QDL_GLM_POISSON
 *   b0, b      in   the intercept and k coefficients (b may be NULL when k = 0)
 *   eta_lo, eta_hi  in  the bounds counted by sums[BEYOND]
 *   block_rows in   rows per block, >= 1
 *   z, ww      out  m each
 *   sums       out  QDL_GLM_SUMS entries per block (nb = ceil(m / block_rows) blocks,
 *                   none for m = 0), overwritten
 *   grad       out  2k entries per block, overwritten; or NULL (not formed)
 * Returns QDL_OK, or QDL_REFUSED with nothing written: m < 0, k < 0, negative
 * strides, an unknown family, block_rows < 1, or an X whose extent cannot exist. No
 * buffer may overlap an output. */
QDL_API i64 qdl_glm_working(const f64 *X, i64 row_stride, i64 col_stride, const f64 *y,
                            const f64 *w, const f64 *offset, const i64 *fold, i64 held, i64 m,
                            i64 k, i64 family, f64 b0, const f64 *b, f64 eta_lo, f64 eta_hi,
                            i64 block_rows, f64 *z, f64 *ww, f64 *sums, f64 *grad);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_GLM_H */
