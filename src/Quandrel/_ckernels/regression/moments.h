/* Moments of rows by leaf, their pairwise merge, and the folds of rows by hash: the
 * statistics a pass over data too tall for one process forms block by block (the tall
 * package's pass), so that the pass calls native code once per block of rows and once
 * per merge of two parts.
 *
 * The rows are z = (x, y), p = k + 1 columns with y last, and weights w >= 0 (all 1
 * when absent). The statistics of a part of the rows are one record of W = 2 + 2p +
 * p*p f64 (W + p*p with the raw sums), row-major matrices inside:
 *
 *   [0]                    n      the row count (exact below 2^53)
 *   [1]                    sw     sum w
 *   [2, 2 + p)             mean   the weighted means, rounded to f64
 *   [2 + p, 2 + 2p)        resid  sum w (z - mean): what the rounding of mean leaves
 *   [2 + 2p, W)            M      sum w (z - mu)(z - mu)' (p*p) about the exact means
 *                                 mu = mean + resid / sw
 *   [W, W + p*p)           R      sum z z' (p*p, unweighted): X'X, X'y and y'y in its
 *                                 blocks
 *
 * A part without weight (sw = 0) has zero mean, resid and M. A record whose n is 0
 * stands for no rows at all. Every sum is one running f64 in the order stated and
 * every other step an elementwise IEEE operation written with its parentheses, so the
 * records are the same bits whatever the thread count or instruction set. No routine
 * here keeps state or checks values (NaN and infinities follow IEEE arithmetic), and
 * only qdl_moments_leaves allocates: its working storage, released before it returns.
 * Each returns an enum qdl_status (qdl_common.h).
 */
#ifndef QUANDREL_CKERNELS_REGRESSION_MOMENTS_H
#define QUANDREL_CKERNELS_REGRESSION_MOMENTS_H

#include "qdl_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The records of the leaves of one block of m rows. Rows are grouped by slot (all in
 * one leaf when slot is NULL), each leaf holding its rows in ascending order, and the
 * leaves are written in ascending slot order, empty slots skipped. For a leaf with
 * rows r_1 < ... < r_n, each sum below is one running sum over them in that order
 * from 0.0, s = s + u*v (the bits of qdl_dot, qdl_gram_rhs and qdl_gram on a copy
 * of the leaf's rows):
 *
 *   sw    = sum w * 1.0                 (unweighted: n, exactly)
 *   S_j   = sum z_j * w                 (unweighted: w = 1.0)
 *   mean  = S / sw;   t = z - mean      elementwise, per row
 *   resid = sum t * w
 *   M     = qdl_gram of the rows t * sqrt(w) (unweighted: t), then
 *           M_ij = M_ij - (resid_i * resid_j) / sw
 *   mean, resid = mean + resid / sw, resid + sw * (mean - (mean + resid / sw))
 *   R     = qdl_gram of the leaf's x, qdl_gram_rhs of x and y, qdl_dot(y, y), placed
 *           as [[X'X, X'y], [y'X, y'y]] (raw only)
 *
 * and a leaf whose sw is not above 0 gets zero mean, resid and M.
 *   X          in   m rows of k >= 0 columns: x_rj = X[r*row_stride + j*col_stride]
 *                   (row-major: strides k and 1; column-major: 1 and m; any >= 0)
 *   y          in   m                 w  in  m weights, or NULL (all 1)
 *   slot       in   m slots in [0, nslots), or NULL (one leaf; nslots not read)
 *   raw        in   nonzero: R too (meant for unweighted rows)
 *   leaf_slot  out  F: the slot of each leaf written
 *   out        out  F records of W (W + p*p with raw) f64
 *   counts     out  p: the NaN and infinite values of each column of z (x's, then y),
 *                   counted in the leaves where that column may hold some: where its
 *                   diagonal entry of R (raw) or of M is not finite, or sw is not above
 *                   0 (a finite sum of squares rules them out); not counted elsewhere
 *   n_leaves   out  F, the number of leaves written: at most m and at most nslots, 0
 *                   for m = 0 (only counts written)
 * Working storage (one block, the scratch helper's): a panel of 256 of a leaf's rows
 * (row-major z), the raw X'X and (X'y, y'y), 256*p + k*k + p f64; with slots, the
 * rows' order and the slots' ends, m + nslots + 1 i64.
 * Returns QDL_OK; QDL_REFUSED with nothing written: m < 0, k < 0, negative strides,
 * nslots < 1 or a slot outside [0, nslots) when slots are given, and sizes whose
 * buffers cannot exist (X's extent, out or the working storage); QDL_OUT_OF_MEMORY
 * with nothing written when the working storage cannot be had. The leaf's rows are
 * read twice, a panel at a time (sums, then centred), each panel added into the Gram
 * matrices while in cache, on the calling thread (a pass runs blocks side by side). */
QDL_API i64 qdl_moments_leaves(const f64 *X, i64 row_stride, i64 col_stride, const f64 *y,
                               const f64 *w, const i64 *slot, i64 m, i64 k, i64 nslots, i64 raw,
                               i64 *leaf_slot, f64 *out, i64 *counts, i64 *n_leaves);

/* out[i] = the record of A[i]'s rows followed by B[i]'s, for i < count (records of
 * W f64 over p columns, W + p*p with raw), by the pairwise update of means and
 * co-moments (Chan, Golub and LeVeque, "Algorithms for computing the sample variance:
 * analysis and recommendations", The American Statistician 37, 1983; weighted and for
 * co-moments as in Pebay, Sandia report SAND2008-6212, 2008):
 *
 *   n_a = 0: B[i] copied;  n_b = 0: A[i] copied; otherwise n = n_a + n_b, R = R_a + R_b,
 *   sw_b = 0: sw, mean, resid, M of A[i];  else sw_a = 0: of B[i];  else
 *     sw    = sw_a + sw_b
 *     d     = (mean_a - mean_b) + (resid_a / sw_a - resid_b / sw_b)
 *     M     = (M_a + M_b) + ((sw_a / sw) * sw_b) * (d_i * d_j)
 *     mean  = mean_a - (sw_b / sw) * d
 *     resid = (resid_a + resid_b) + (sw_a * (mean_a - mean) + sw_b * (mean_b - mean))
 *     mean, resid rounded again as in qdl_moments_leaves.
 *
 * The difference of the rounded means is exact where they are close (Sterbenz), and
 * what their rounding left is added back, so columns of mean large against their
 * spread keep the digits of M. M stays exactly symmetric when M_a and M_b are.
 *   A, B   in   count records each         out  out  count records; overlaps neither
 * Returns QDL_OK (count = 0 writes nothing); QDL_REFUSED with nothing written for
 * count < 0, p < 1 and sizes whose records cannot exist. */
QDL_API i64 qdl_moments_merge(const f64 *A, const f64 *B, f64 *out, i64 count, i64 p, i64 raw);

/* The fold of rows start .. start + n - 1: row i goes to fold splitmix64(seed, i) mod K,
 * the (i + 1)-th output of the SplitMix64 generator (Steele, Lea and Flood, "Fast
 * splittable pseudorandom number generators", OOPSLA 2014) started from the state seed,
 * in unsigned 64-bit arithmetic (modulo 2^64):
 *
 *   z = seed + (i + 1) * 0x9E3779B97F4A7C15
 *   z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9
 *   z = (z ^ (z >> 27)) * 0x94D049BB133111EB
 *   fold = (z ^ (z >> 31)) mod K
 *
 * so a row's fold depends on its number and the seed alone, not on how the rows are cut.
 *   start  in   the first row's number        folds  in  K >= 1
 *   seed   in   the state's 64 bits, as an i64 (two's complement)
 *   out    out  n fold ids in [0, K)
 * Returns QDL_OK (n = 0 writes nothing); QDL_REFUSED with nothing written for n < 0,
 * folds < 1 and an n whose ids cannot exist. */
QDL_API i64 qdl_fold_ids(i64 start, i64 n, i64 folds, i64 seed, i64 *out);

#ifdef __cplusplus
}
#endif

#endif /* QUANDREL_CKERNELS_REGRESSION_MOMENTS_H */
