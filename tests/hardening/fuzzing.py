"""The harness of the kernel fuzzing tests.

Every case runs twice: once with each buffer between guard zones, which catches a
write outside a buffer in any build, and once with buffers of exactly their size
(a null pointer for an empty one), which the sanitizer build checks for any access
outside them. Both runs must agree bit for bit, and inputs must come back unchanged.
"""

import numpy as np

GUARD = 8
# A signalling-NaN pattern: no arithmetic produces it, so a guard that still holds it
# was never written.
FILL = np.array([0x7FF4DEADBEEFCAFE], dtype=np.uint64).view(np.float64)[0]
CASES = 400


class Arena:
    """The buffers of one kernel call, guarded or exact."""

    def __init__(self, guarded):
        self.guarded = guarded
        self.held = []  # (whole allocation, view passed, snapshot of an input or None)

    def _make(self, values, dtype, is_input):
        values = np.ascontiguousarray(values, dtype=dtype).ravel()
        n = values.size
        if self.guarded:
            whole = np.empty(n + 2 * GUARD, dtype=dtype)
            whole.view(np.uint64)[:] = FILL.view(np.uint64)
            view = whole[GUARD : GUARD + n]
        else:
            whole = view = np.empty(n, dtype=dtype)
        view[:] = values
        self.held.append((whole, view, values.tobytes() if is_input else None))
        return view

    def inp(self, values):
        return self._make(values, np.float64, True)

    def inp_i64(self, values):
        return self._make(values, np.int64, True)

    def inout(self, values):
        """Written by the kernel, starting from `values`."""
        return self._make(values, np.float64, False)

    def out(self, n):
        return self._make(np.full(max(n, 0), FILL), np.float64, False)

    def out_i64(self, n):
        return self._make(np.full(max(n, 0), -7), np.int64, False)

    def ptr(self, view):
        if not self.guarded and view.size == 0:
            return None
        return view.ctypes.data

    def check(self):
        for whole, view, snap in self.held:
            if self.guarded:
                guards = np.concatenate([whole[:GUARD], whole[GUARD + view.size :]])
                assert (guards.view(np.uint64) == FILL.view(np.uint64)).all(), "guard overwritten"
            if snap is not None:
                assert view.tobytes() == snap, "input changed"


# ---------------------------------------------------------------------------
# Value generators
# ---------------------------------------------------------------------------
SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e300, -1e300, 5e-324, 1e-300])


def values(rng, shape, special=0.1):
    a = rng.standard_normal(shape)
    mask = rng.random(shape) < special
    a[mask] = rng.choice(SPECIAL, size=int(mask.sum()))
    return a


def gram(rng, k):
    """A k-by-k G: positive definite, semi-definite, indefinite, asymmetric, or with
    special values, each now and then."""
    kind = rng.integers(6)
    A = rng.standard_normal((k, k))
    if kind == 0:
        return A @ A.T / max(k, 1) + 0.1 * np.eye(k)
    if kind == 1:
        B = rng.standard_normal((k, max(k // 2, 1)))
        return B @ B.T
    if kind == 2:
        return A + A.T
    if kind == 3:
        return A
    if kind == 4:
        S = A @ A.T
        S[rng.random((k, k)) < 0.05] = np.nan
        return S
    return values(rng, (k, k), special=0.3)


def scalar(rng):
    return float(rng.choice([0.1, 0.0, -0.5, 1e300, -1e300, np.nan, np.inf, 1e-12, 2.0]))


def size(rng, top=12):
    """Mostly small, sometimes past the vector widths and blocking panels."""
    return int(rng.choice([rng.integers(0, top), rng.integers(0, 3), rng.integers(8, 40)]))


def same(u, v):
    if isinstance(u, np.ndarray):
        return u.tobytes() == v.tobytes()
    return np.float64(u).tobytes() == np.float64(v).tobytes()


def run_case(runner, c):
    results = []
    for guarded in (True, False):
        a = Arena(guarded)
        with np.errstate(all="ignore"):
            results.append(runner(a, c))
        a.check()
    assert all(map(same, *results)), "guarded and exact runs differ"


def fuzz(runner, make_case, rng, cases=CASES):
    for _ in range(cases):
        run_case(runner, make_case(rng))
