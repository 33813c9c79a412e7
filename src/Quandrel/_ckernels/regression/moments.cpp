// Moments of rows by leaf and their pairwise merge (see moments.h for the contracts).

#include "moments.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>

#include "qdl_linalg_impl.h"
#include "qdl_scratch_impl.h"
#include "qdl_simd.h"

namespace {

using qdl::min_i64;
using qdl::simd::lanes;
using qdl::simd::load;
using qdl::simd::store;

// The fields of a record over p columns (moments.h), for reading (T = const f64) or
// writing (T = f64).
template <class T>
struct Record {
  T *at;
  i64 p;
  T &n() const { return at[0]; }
  T &sw() const { return at[1]; }
  T *mean() const { return at + 2; }
  T *resid() const { return at + 2 + p; }
  T *M() const { return at + 2 + 2 * p; }
  T *R() const { return at + 2 + 2 * p + p * p; }
};

// f64 entries of a record over p columns, with the raw sums or without; -1 when p*p
// elements cannot exist.
i64 record_width(i64 p, bool raw) {
  if (p < 1 || !qdl::fits(p, p)) return -1;
  const i64 W = 2 + 2 * p + p * p;  // p*p*8 fits an i64, so this and the next do too
  return raw ? W + p * p : W;
}

// a * b + c as an element count that fits in bytes, or -1.
i64 count_of(i64 a, i64 b, i64 c) {
  i64 ab, total;
  if (a < 0 || b < 0 || c < 0 || __builtin_mul_overflow(a, b, &ab) ||
      __builtin_add_overflow(ab, c, &total) || !qdl::fits(total))
    return -1;
  return total;
}

// Whether the strided m-by-k X can exist: its last element, (m-1)*rs + (k-1)*cs,
// indexes an array whose byte count fits an i64.
bool strided_fits(i64 m, i64 k, i64 rs, i64 cs) {
  if (m <= 0 || k <= 0) return true;
  i64 a, b, last;
  return !__builtin_mul_overflow(m - 1, rs, &a) && !__builtin_mul_overflow(k - 1, cs, &b) &&
         !__builtin_add_overflow(a, b, &last) && count_of(last, 1, 1) >= 0;
}

// The rows of a leaf: t-th row r0 + t of the block (one leaf), or the t-th of a list.
struct Run {
  i64 r0;
  i64 operator()(i64 t) const { return r0 + t; }
};
struct Listed {
  const i64 *rows;
  i64 operator()(i64 t) const { return rows[t]; }
};

// The block's rows: x_rj = X[r*rs + j*cs], y_r, and w_r (NULL: all 1).
struct Block {
  const f64 *X;
  i64 rs, cs;
  const f64 *y, *w;
  i64 k;
};

// f.template operator()<U>(j) for the columns j of a row of p entries: vectors U = V
// of lanes<V> columns, then U = f64 for the columns past the last whole vector. Each
// column sees the same scalar operations either way.
template <class V, class F>
[[gnu::always_inline]] inline void each_column(i64 p, F &&f) {
  constexpr i64 L = lanes<V>;
  i64 j = 0;
  for (; j + L <= p; j += L) f.template operator()<V>(j);
  for (; j < p; ++j) f.template operator()<f64>(j);
}

// Rows per panel: a leaf's rows are read a panel at a time, and each panel is added
// into the Gram matrices while it is in the core's cache (256 rows of 51 columns:
// 104 KB).
constexpr i64 kPanelRows = 256;

// Rows of a panel gathered column by column while they stay in the first-level cache.
constexpr i64 kGatherRows = 64;

// P[t, j] = X[t + j*cs] for t < n, j < k (P's rows p apart): consecutive rows of
// contiguous columns, copied in L-by-L tiles (L = lanes of V) transposed in registers,
// the rows and columns past the last whole tile one entry at a time.
struct PackColumns {
  template <class V>
  [[gnu::always_inline]] static inline void run(const f64 *QDL_RESTRICT X, i64 cs, i64 n, i64 k,
                                                f64 *QDL_RESTRICT P, i64 p) {
    constexpr int L = lanes<V>;
    const i64 kt = k / L * L;
    i64 t = 0;
    for (; t + L <= n; t += L) {
      for (i64 j = 0; j < kt; j += L) {
        V a[L];
        for (int c = 0; c < L; ++c) a[c] = load<V>(X + (j + c) * cs + t);  // column j + c
        qdl::simd::transpose(a);                                            // a[r]: row t + r
        for (int r = 0; r < L; ++r) store<V>(P + (t + r) * p + j, a[r]);
      }
      for (i64 j = kt; j < k; ++j)
        for (int r = 0; r < L; ++r) P[(t + r) * p + j] = X[j * cs + t + r];
    }
    for (; t < n; ++t)
      for (i64 j = 0; j < k; ++j) P[t * p + j] = X[j * cs + t];
  }
};

// P[t - t0, j] = x_rj, r = row(t), for t in [t0, t1) and j < k (P's rows p = k + 1
// apart): copies, row by row where X's rows are contiguous, by transposed tiles where
// its columns are and the rows consecutive, otherwise each column of kGatherRows rows
// in turn.
template <class Rows>
void pack_x(Block b, Rows row, i64 t0, i64 t1, f64 *QDL_RESTRICT P) {
  const i64 k = b.k, p = k + 1;
  if (k == 0) return;  // no columns (X may then be NULL, which memcpy may not be given)
  if (b.cs == 1) {
    for (i64 t = t0; t < t1; ++t)
      memcpy(P + (t - t0) * p, b.X + row(t) * b.rs, static_cast<size_t>(k) * sizeof(f64));
    return;
  }
  if (b.rs == 1 && std::is_same_v<Rows, Run>) {
    qdl::simd::dispatch<PackColumns>(b.X + row(t0), b.cs, t1 - t0, k, P, p);
    return;
  }
  for (i64 u0 = t0; u0 < t1; u0 += kGatherRows) {
    const i64 u1 = min_i64(t1, u0 + kGatherRows);
    for (i64 j = 0; j < k; ++j) {
      const f64 *xj = b.X + j * b.cs;
      for (i64 t = u0; t < u1; ++t) P[(t - t0) * p + j] = xj[row(t) * b.rs];
    }
  }
}

// Where the sums and the centring read x_r, r = row(t): in X itself (rows with unit
// column stride), or in the panel P packed by pack_x.
template <class Rows>
struct FromX {
  const f64 *X;
  i64 rs;
  Rows row;
  const f64 *operator()(i64 t) const { return X + row(t) * rs; }
};
struct FromPanel {
  const f64 *P;
  i64 p, t0;
  const f64 *operator()(i64 t) const { return P + (t - t0) * p; }
};

// The sums of rows t0 .. t1 - 1 of a leaf, r = row(t), x_r at xrow(t), carried from
// panel to panel, row after row:
//   sw += w_r * 1.0 (weighted only)    S_j += z_rj * w_r    C_j += z_rj * y_r (C given)
// the sums of qdl_dot(w, 1), qdl_gram_rhs(z, w) and, in C, qdl_gram_rhs(x, y) and
// qdl_dot(y, y).
struct Sums {
  template <class V, class Rows, class XRow>
  [[gnu::always_inline]] static inline void run(Block b, Rows row, XRow xrow, i64 t0, i64 t1,
                                                f64 *QDL_RESTRICT S, f64 *QDL_RESTRICT C,
                                                f64 *QDL_RESTRICT sw) {
    const i64 k = b.k;
    f64 s = *sw;
    for (i64 t = t0; t < t1; ++t) {
      const i64 r = row(t);
      const f64 *xr = xrow(t);
      const f64 yr = b.y[r], wt = b.w != nullptr ? b.w[r] : 1.0;
      if (b.w != nullptr) s = s + wt * 1.0;
      each_column<V>(k, [&]<class U>(i64 j) QDL_INLINE {
        const U x = load<U>(xr + j);
        store<U>(S + j, load<U>(S + j) + x * wt);
        if (C != nullptr) store<U>(C + j, load<U>(C + j) + x * yr);
      });
      S[k] = S[k] + yr * wt;
      if (C != nullptr) C[k] = C[k] + yr * yr;
    }
    *sw = s;
  }
};

// Rows t0 .. t1 - 1 of a leaf, r = row(t), x_r at xrow(t) (P's own row is allowed),
// centred about mean and weighted into the panel, row after row:
//   c = z_r - mean;  resid_j += c_j * w_r (carried from panel to panel);
//   P[t - t0, :] = c * sqrt(w_r) (weighted), c (unweighted).
struct Centre {
  template <class V, class Rows, class XRow>
  [[gnu::always_inline]] static inline void run(Block b, Rows row, XRow xrow, i64 t0, i64 t1,
                                                const f64 *QDL_RESTRICT mean, f64 *P,
                                                f64 *QDL_RESTRICT resid) {
    const i64 k = b.k, p = k + 1;
    const bool weighted = b.w != nullptr;
    for (i64 t = t0; t < t1; ++t) {
      const i64 r = row(t);
      const f64 *xr = xrow(t);
      f64 *zt = P + (t - t0) * p;
      const f64 wt = weighted ? b.w[r] : 1.0, root = weighted ? sqrt(wt) : 1.0;
      each_column<V>(k, [&]<class U>(i64 j) QDL_INLINE {
        U c = load<U>(xr + j) - load<U>(mean + j);
        store<U>(resid + j, load<U>(resid + j) + c * wt);
        if (weighted) c = c * root;
        store<U>(zt + j, c);
      });
      f64 c = b.y[r] - mean[k];
      resid[k] = resid[k] + c * wt;
      if (weighted) c = c * root;
      zt[k] = c;
    }
  }
};

// The record of a leaf of n >= 1 rows r = row(t), read twice, a panel at a time: once
// for the sums (and the raw Gram matrix), once centred about the means into the panel
// P (kPanelRows*p) for M. Gk (k*k) and C (p) hold the raw X'X and (X'y, y'y) on the way.
template <class Rows>
void leaf_record(Block b, Rows row, i64 n, bool raw, f64 *P, f64 *Gk, f64 *C, Record<f64> rec) {
  const i64 k = b.k, p = k + 1;
  f64 *mean = rec.mean(), *resid = rec.resid(), *M = rec.M();
  f64 sw = 0.0;
  memset(mean, 0, static_cast<size_t>(p) * sizeof(f64));  // S, until divided
  if (raw) {
    memset(C, 0, static_cast<size_t>(p) * sizeof(f64));
    if (k > 0) memset(Gk, 0, static_cast<size_t>(k * k) * sizeof(f64));
  }
  // X's rows are read where they lie when their columns are contiguous (and, for the
  // raw Gram matrix, when the leaf's rows are consecutive), else packed.
  const bool in_place = b.cs == 1;
  constexpr bool consecutive = std::is_same_v<Rows, Run>;
  f64 *none = nullptr;
  for (i64 t0 = 0; t0 < n; t0 += kPanelRows) {
    const i64 t1 = min_i64(n, t0 + kPanelRows);
    if (in_place) {
      qdl::simd::dispatch<Sums>(b, row, FromX<Rows>{b.X, b.rs, row}, t0, t1, mean,
                                raw ? C : none, &sw);
      if (raw && consecutive) {
        qdl::gram_accumulate(b.X + row(t0) * b.rs, b.rs, Gk, t1 - t0, k);
      } else if (raw) {
        pack_x(b, row, t0, t1, P);
        qdl::gram_accumulate(P, p, Gk, t1 - t0, k);
      }
    } else {
      pack_x(b, row, t0, t1, P);
      qdl::simd::dispatch<Sums>(b, row, FromPanel{P, p, t0}, t0, t1, mean, raw ? C : none, &sw);
      if (raw) qdl::gram_accumulate(P, p, Gk, t1 - t0, k);  // X'X: k columns of P
    }
  }
  if (b.w == nullptr) sw = static_cast<f64>(n);
  if (raw) {
    qdl::gram_mirror(Gk, k);
    f64 *R = rec.R();
    for (i64 a = 0; a < k; ++a) {
      memcpy(R + a * p, Gk + a * k, static_cast<size_t>(k) * sizeof(f64));
      R[a * p + k] = C[a];
      R[k * p + a] = C[a];
    }
    R[k * p + k] = C[k];
  }
  rec.n() = static_cast<f64>(n);
  rec.sw() = sw;
  memset(resid, 0, static_cast<size_t>(p) * sizeof(f64));
  memset(M, 0, static_cast<size_t>(p * p) * sizeof(f64));
  if (!(sw > 0.0)) {  // no weight (or a NaN sum): no means, nothing centred
    memset(mean, 0, static_cast<size_t>(p) * sizeof(f64));
    return;
  }
  for (i64 j = 0; j < p; ++j) mean[j] = mean[j] / sw;
  const f64 *centre = mean;
  for (i64 t0 = 0; t0 < n; t0 += kPanelRows) {
    const i64 t1 = min_i64(n, t0 + kPanelRows);
    if (in_place) {
      qdl::simd::dispatch<Centre>(b, row, FromX<Rows>{b.X, b.rs, row}, t0, t1, centre, P, resid);
    } else {
      pack_x(b, row, t0, t1, P);
      qdl::simd::dispatch<Centre>(b, row, FromPanel{P, p, t0}, t0, t1, centre, P, resid);
    }
    qdl::gram_accumulate(P, p, M, t1 - t0, p);  // M = Z'Z
  }
  qdl::gram_mirror(M, p);
  // About the exact means mean + resid / sw: M - resid resid' / sw, entry by entry
  // (resid_a * resid_b, then divided), both triangles.
  for (i64 a = 0; a < p; ++a)
    for (i64 c = 0; c < p; ++c) M[a * p + c] = M[a * p + c] - (resid[a] * resid[c]) / sw;
  for (i64 j = 0; j < p; ++j) {  // the means rounded again, and what that leaves
    const f64 rounded = mean[j] + resid[j] / sw;
    resid[j] = resid[j] + sw * (mean[j] - rounded);
    mean[j] = rounded;
  }
}

// counts[j] += the NaN and infinite values of column j of the leaf's rows, for the
// columns whose diagonal entry of D (R or M) is not finite, or all when sw is not
// above 0.
template <class Rows>
void count_nonfinite(const f64 *X, i64 rs, i64 cs, const f64 *y, i64 n, i64 k, Rows row,
                     const f64 *D, f64 sw, i64 *counts) {
  const i64 p = k + 1;
  for (i64 j = 0; j < p; ++j) {
    if (isfinite(D[j * p + j]) && sw > 0.0) continue;
    i64 c = 0;
    for (i64 t = 0; t < n; ++t) c += !isfinite(j < k ? X[row(t) * rs + j * cs] : y[row(t)]);
    counts[j] += c;
  }
}

// The record of A's rows followed by B's (moments.h). o may hold anything on entry;
// its mean serves as d until the co-moments are formed.
void merge_one(Record<const f64> a, Record<const f64> b, Record<f64> o, bool raw, i64 width) {
  const i64 p = a.p;
  if (a.n() == 0.0) {  // no rows on the left
    memcpy(o.at, b.at, static_cast<size_t>(width) * sizeof(f64));
    return;
  }
  if (b.n() == 0.0) {
    memcpy(o.at, a.at, static_cast<size_t>(width) * sizeof(f64));
    return;
  }
  o.n() = a.n() + b.n();
  if (raw)
    for (i64 e = 0; e < p * p; ++e) o.R()[e] = a.R()[e] + b.R()[e];
  const f64 swa = a.sw(), swb = b.sw();
  const size_t centred = static_cast<size_t>(2 * p + p * p + 1) * sizeof(f64);  // sw .. M
  if (swb == 0.0) {  // a part without weight adds nothing to the means and co-moments
    memcpy(o.at + 1, a.at + 1, centred);
    return;
  }
  if (swa == 0.0) {
    memcpy(o.at + 1, b.at + 1, centred);
    return;
  }
  const f64 sw = swa + swb;
  const f64 *am = a.mean(), *bm = b.mean(), *ar = a.resid(), *br = b.resid();
  const f64 *aM = a.M(), *bM = b.M();
  f64 *d = o.mean(), *M = o.M();
  // d = mu_a - mu_b: the rounded means' difference (exact where they are close), then
  // the difference of what their rounding left.
  for (i64 j = 0; j < p; ++j) d[j] = (am[j] - bm[j]) + (ar[j] / swa - br[j] / swb);
  // M = (M_a + M_b) + ((sw_a / sw) sw_b) (d_i d_j): d_i d_j = d_j d_i, so M stays
  // exactly symmetric.
  const f64 f = (swa / sw) * swb;
  for (i64 i = 0; i < p; ++i)
    for (i64 j = 0; j < p; ++j) M[i * p + j] = (aM[i * p + j] + bM[i * p + j]) + f * (d[i] * d[j]);
  // mu = mu_a - (sw_b / sw) d, rounded; resid = sum w (z - mean) over both parts.
  const f64 fb = swb / sw;
  f64 *resid = o.resid();
  for (i64 j = 0; j < p; ++j) {
    const f64 mean = am[j] - fb * d[j];
    const f64 r = (ar[j] + br[j]) + (swa * (am[j] - mean) + swb * (bm[j] - mean));
    const f64 rounded = mean + r / sw;
    resid[j] = r + sw * (mean - rounded);
    d[j] = rounded;  // d[j] is o's mean j, no longer needed as d
  }
  o.sw() = sw;
}

}  // namespace

extern "C" {

i64 qdl_moments_leaves(const f64 *X, i64 row_stride, i64 col_stride, const f64 *y, const f64 *w,
                       const i64 *slot, i64 m, i64 k, i64 nslots, i64 raw, i64 *leaf_slot,
                       f64 *out, i64 *counts, i64 *n_leaves) {
  if (m < 0 || k < 0 || row_stride < 0 || col_stride < 0) return QDL_REFUSED;
  if (slot != nullptr && nslots < 1) return QDL_REFUSED;
  if (k > (i64{1} << 31)) return QDL_REFUSED;  // k*k*8 would not fit, nor would X or out
  const i64 p = k + 1;
  const i64 width = record_width(p, raw != 0);
  const i64 leaves = slot != nullptr ? min_i64(m, nslots) : min_i64(m, 1);
  if (width < 0 || !strided_fits(m, k, row_stride, col_stride) || count_of(m, 1, 0) < 0 ||
      count_of(kPanelRows, p, k * k + p) < 0 || count_of(leaves, width, 0) < 0 ||
      (slot != nullptr && count_of(m, 1, nslots) < 0))
    return QDL_REFUSED;
  // Working storage: a panel of rows and the raw Gram blocks; the order of the rows
  // by slot and the slots' ends.
  qdl::Scratch scratch;
  f64 *work = nullptr;
  i64 *iwork = nullptr;
  if (!scratch.take([&](auto &part) {
        part(work, kPanelRows * p + k * k + p);
        part(iwork, slot != nullptr ? m + nslots + 1 : 0);
      }))
    return QDL_OUT_OF_MEMORY;
  // Leaves by slot, a stable counting sort: end[s] is where slot s's rows end in order.
  i64 *order = iwork, *end = slot != nullptr ? iwork + m : nullptr;
  if (slot != nullptr) {
    memset(end, 0, static_cast<size_t>(nslots + 1) * sizeof(i64));
    for (i64 r = 0; r < m; ++r) {
      const i64 s = slot[r];
      if (s < 0 || s >= nslots) return QDL_REFUSED;
      end[s + 1] += 1;
    }
    for (i64 s = 0; s < nslots; ++s) end[s + 1] += end[s];  // end[s]: where slot s begins
    for (i64 r = 0; r < m; ++r) order[end[slot[r]]++] = r;  // now end[s]: where it ends
  }
  memset(counts, 0, static_cast<size_t>(p) * sizeof(i64));
  f64 *P = work, *Gk = P + kPanelRows * p, *C = Gk + k * k;
  const Block b{X, row_stride, col_stride, y, w, k};
  const bool with_raw = raw != 0;
  i64 F = 0;
  auto one = [&](auto rows, i64 n, i64 s) {
    Record<f64> rec{out + F * width, p};
    leaf_record(b, rows, n, with_raw, P, Gk, C, rec);
    count_nonfinite(X, row_stride, col_stride, y, n, k, rows, with_raw ? rec.R() : rec.M(),
                    rec.sw(), counts);
    leaf_slot[F++] = s;
  };
  if (slot == nullptr) {
    if (m > 0) one(Run{0}, m, 0);
  } else {
    for (i64 s = 0, begin = 0; s < nslots; begin = end[s], ++s)
      if (end[s] > begin) one(Listed{order + begin}, end[s] - begin, s);
  }
  *n_leaves = F;
  return QDL_OK;
}

i64 qdl_fold_ids(i64 start, i64 n, i64 folds, i64 seed, i64 *out) {
  if (n < 0 || folds < 1 || !qdl::fits(n)) return QDL_REFUSED;
  const uint64_t K = static_cast<uint64_t>(folds), s = static_cast<uint64_t>(seed);
  for (i64 t = 0; t < n; ++t) {
    const uint64_t i = static_cast<uint64_t>(start) + static_cast<uint64_t>(t);
    uint64_t z = s + (i + 1) * 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    out[t] = static_cast<i64>((z ^ (z >> 31)) % K);
  }
  return QDL_OK;
}

i64 qdl_moments_merge(const f64 *A, const f64 *B, f64 *out, i64 count, i64 p, i64 raw) {
  const i64 width = record_width(p, raw != 0);
  if (count < 0 || width < 0 || count_of(count, width, 0) < 0) return QDL_REFUSED;
  for (i64 i = 0; i < count; ++i)
    merge_one(Record<const f64>{A + i * width, p}, Record<const f64>{B + i * width, p},
              Record<f64>{out + i * width, p}, raw != 0, width);
  return QDL_OK;
}

}  // extern "C"
