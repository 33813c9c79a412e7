// Shims of the moments routines (moments.h): moments_leaves, moments_merge and
// fold_ids.

#include "_routines_functions.h"
#include "moments.h"

namespace qdl::py::routines {

// The largest column count of z whose records can exist (moments.h).
constexpr i64 kMaxColumns = i64{1} << 31;

// The f64 entries of a record over p columns (1 <= p <= kMaxColumns).
static i64 record_width(i64 p, bool raw) { return 2 + 2 * p + (raw ? 2 : 1) * p * p; }

// (leaf_slot, records, counts): the leaves' arrays trimmed to those written.
PyObject *moments_leaves::shim(Call &c) {
  const View &X = c.arr<Arg::X>(), &y = c.arr<Arg::y>(), &w = c.arr<Arg::w>(),
             &slot = c.arr<Arg::slot>();
  const i64 m = X.rows(), k = X.cols(), nslots = c.integer<Arg::nslots>();
  const bool raw = c.flag<Arg::raw>() != 0, slotted = slot.ndim() != 0;
  if (!c.at_least<Arg::y>(0, m, "the row count of X") ||
      (w.ndim() != 0 && !c.at_least<Arg::w>(0, m, "the row count of X")) ||
      (slotted && !c.at_least<Arg::slot>(0, m, "the row count of X")))
    return nullptr;
  if (slotted && nslots < 1) return c.refuse("nslots must be at least 1 (got %lld)", static_cast<long long>(nslots));
  if (k >= kMaxColumns) return c.refuse("X has %lld columns, more than records can hold", static_cast<long long>(k));
  const i64 p = k + 1, width = record_width(p, raw);
  const i64 leaves = m < 1 ? 0 : slotted && nslots < m ? nslots : slotted ? m : 1;
  i64 *leaf_slot, *counts;
  f64 *records;
  if (!(leaf_slot = c.alloc_i64(leaves)) || !(records = c.alloc(leaves, width)) ||
      !(counts = c.alloc_i64(p)))
    return nullptr;
  i64 status = QDL_OK, F = 0;
  c.nogil([&] {
    status = qdl_moments_leaves(X.f64p(), X.stride(0), X.stride(1), y.f64p(),
                                w.ndim() != 0 ? w.f64p() : nullptr,
                                slotted ? slot.i64p() : nullptr, m, k, nslots, raw, leaf_slot,
                                records, counts, &F);
  });
  // The arguments the shim checked leave one refusal to the routine: a slot out of range.
  if (status == QDL_REFUSED)
    return c.refuse("slot holds a value outside [0, nslots) = [0, %lld)",
                    static_cast<long long>(nslots));
  if (!c.status_ok(status)) return nullptr;
  if (F == leaves) return results(c, c.made(0), c.made(1), c.made(2));
  return results(c, c.made_rows(0, F), c.made_rows(1, F), c.made(2));
}

PyObject *moments_merge::shim(Call &c) {
  const View &A = c.arr<Arg::A>(), &B = c.arr<Arg::B>();
  const i64 count = A.rows(), p = c.integer<Arg::p>();
  const bool raw = c.flag<Arg::raw>() != 0;
  if (p < 1 || p > kMaxColumns)
    return c.refuse("p must be between 1 and %lld (got %lld)", static_cast<long long>(kMaxColumns),
                    static_cast<long long>(p));
  const i64 width = record_width(p, raw);
  if (A.cols() != width || (B.cols() != width && B.rows() != 0))
    return c.refuse("records over p = %lld columns%s have %lld entries (A has %lld, B %lld)", static_cast<long long>(p), raw ? " with the raw sums" : "",
                    static_cast<long long>(width), static_cast<long long>(A.cols()),
                    static_cast<long long>(B.cols()));
  if (!c.at_least<Arg::B>(0, count, "the row count of A")) return nullptr;
  f64 *out;
  if (!(out = c.alloc(count, width))) return nullptr;
  i64 status = QDL_OK;
  c.nogil([&] { status = qdl_moments_merge(A.f64p(), B.f64p(), out, count, p, raw); });
  return c.status_ok(status) ? results(c, c.made(0)) : nullptr;
}

PyObject *fold_ids::shim(Call &c) {
  const i64 start = c.integer<Arg::start>(), n = c.integer<Arg::n>();
  const i64 folds = c.integer<Arg::folds>(), seed = c.integer<Arg::seed>();
  if (n < 0) return c.refuse("n must be at least 0 (got %lld)", static_cast<long long>(n));
  if (folds < 1) return c.refuse("folds must be at least 1 (got %lld)", static_cast<long long>(folds));
  i64 *ids;
  if (!(ids = c.alloc_i64(n))) return nullptr;
  i64 status = QDL_OK;
  c.nogil([&] { status = qdl_fold_ids(start, n, folds, seed, ids); });
  return c.status_ok(status) ? results(c, c.made(0)) : nullptr;
}

}  // namespace qdl::py::routines
