// Dense real linear algebra: the in-place sort and the median (see qdl_linalg.h for the
// contracts).

#include "qdl_linalg.h"

#include <stdlib.h>

#include "qdl_linalg_impl.h"

namespace {

// qsort comparator: (a > b) - (a < b); a NaN compares equal to everything.
int compare_f64(const void *a, const void *b) {
  const f64 fa = *static_cast<const f64 *>(a), fb = *static_cast<const f64 *>(b);
  return (fa > fb) - (fa < fb);
}

}  // namespace

extern "C" {

void qdl_sort_f64(f64 *QDL_RESTRICT arr, i64 n) {
  if (n > 1 && qdl::fits(n)) qsort(arr, static_cast<size_t>(n), sizeof(f64), compare_f64);
}

f64 qdl_median_f64(f64 *QDL_RESTRICT arr, i64 n) {
  if (n <= 0 || !qdl::fits(n)) return qdl::quiet_nan();
  qdl_sort_f64(arr, n);
  const i64 h = n / 2;
  return n % 2 ? arr[h] : (arr[h] + arr[h - 1]) * 0.5;  // the middle pair summed, then halved
}

}  // extern "C"
