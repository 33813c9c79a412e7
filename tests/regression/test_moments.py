"""The moments of rows by leaf and their merge through the exported symbols: bit for bit
the leaf-by-leaf procedure the tall pass used before (the library's Gram, X'y and dot
routines on a copy of each leaf's rows, the rest elementwise in numpy) and its merge
transcribed from Python, for rows read in place in any layout; the refusals."""

import numpy as np
import pytest

from native import P, bits, fn

leaves_fn = fn("qdl_moments_leaves")
merge_fn = fn("qdl_moments_merge")
gram, rhs, dot = fn("qdl_gram"), fn("qdl_gram_rhs"), fn("qdl_dot")
OK, REFUSED = 0, -3  # enum qdl_status


def width(p, raw):
    return 2 + 2 * p + p * p + (p * p if raw else 0)


def fields(rec, p):
    """n, sw, mean, resid, M and R (None without) of a record."""
    M = rec[2 + 2 * p:2 + 2 * p + p * p].reshape(p, p)
    R = rec[2 + 2 * p + p * p:].reshape(p, p) if rec.size > width(p, False) else None
    return rec[0], rec[1], rec[2:2 + p], rec[2 + p:2 + 2 * p], M, R


def run_leaves(X, y, w, slots, nslots, raw):
    """(F, leaf slots, records (F, width), counts) of qdl_moments_leaves on X as it lies
    (its strides, in elements); the status must be QDL_OK."""
    m, k = X.shape
    p = k + 1
    n_out = min(m, nslots) if slots is not None else min(m, 1)
    out = np.full((max(n_out, 1), width(p, raw)), 7.25)
    leaf_slot, counts = np.full(max(n_out, 1), -5, np.int64), np.full(p, -5, np.int64)
    F = np.full(1, -5, np.int64)
    status = leaves_fn(X.ctypes.data, X.strides[0] // 8, X.strides[1] // 8, P(y), P(w), P(slots),
                       m, k, nslots, raw, P(leaf_slot), P(out), P(counts), P(F))
    assert status == OK
    F = int(F[0])
    return F, leaf_slot[:F], out[:F], counts


def reference_leaves(X, y, w, slots, raw):
    """The records as the pass formed them, leaf by leaf: each leaf's rows copied in
    ascending order, sw = qdl_dot(w, 1), S = qdl_gram_rhs(x, w) and qdl_dot(y, w),
    t = z - S / sw, resid = qdl_gram_rhs(t, w), M = qdl_gram(sqrt(w) t) - resid
    resid' / sw, the means rounded again, R = qdl_gram(x), qdl_gram_rhs(x, y) and
    qdl_dot(y, y); the non-finite values counted in the columns whose diagonal entry
    is not finite."""
    m, k = X.shape
    p = k + 1
    groups = [(0, np.arange(m))] if slots is None else [(s, np.flatnonzero(slots == s))
                                                        for s in np.unique(slots)]
    recs, counts = [], np.zeros(p, np.int64)
    for _, rows in groups:
        n = rows.size
        x, yl = np.ascontiguousarray(X[rows]), np.ascontiguousarray(y[rows])
        ones = np.ones(n)
        wl = ones if w is None else np.ascontiguousarray(w[rows])
        rec = np.zeros(width(p, raw))
        _, _, mean, resid, M, R = fields(rec, p)
        rec[0] = n
        rec[1] = sw = float(n) if w is None else dot(P(wl), P(ones), n)
        S = np.empty(p)
        rhs(P(x), P(wl), P(S), n, k)
        S[k] = dot(P(yl), P(wl), n)
        if raw:
            G, c = np.empty((k, k)), np.empty(k)
            gram(P(x), P(G), n, k)
            rhs(P(x), P(yl), P(c), n, k)
            R[:k, :k], R[:k, k], R[k, :k], R[k, k] = G, c, c, dot(P(yl), P(yl), n)
        if sw > 0.0:
            T = np.empty((n, p))
            np.subtract(x, S[:k] / sw, out=T[:, :k])
            np.subtract(yl, S[k] / sw, out=T[:, k])
            rhs(P(T), P(wl), P(resid), n, p)
            if w is not None:
                np.multiply(T, np.sqrt(wl)[:, None], out=T)
            gram(P(T), P(M), n, p)
            mu = S / sw
            M -= (resid[:, None] * resid[None, :]) / sw
            new = mu + resid / sw
            resid[:] = resid + sw * (mu - new)
            mean[:] = new
        diagonal = np.diagonal(M if R is None else R)
        for j in np.flatnonzero(~np.isfinite(diagonal) | (not sw > 0.0)):
            counts[j] += np.count_nonzero(~np.isfinite(x[:, j] if j < k else yl))
        recs.append(rec)
    return [s for s, _ in groups], np.array(recs), counts


def layouts(rng, m, k):
    """The same (m, k) values laid out as rows, as columns, and as strided views."""
    A = rng.standard_normal((m, k)) * rng.uniform(0.1, 10.0, k) + rng.uniform(-50, 50, k)
    wide = np.empty((2 * m, k + 3))
    wide[::2, 1:k + 1] = A
    tall = np.empty((m + 5, k), order="F")
    tall[5:] = A
    return [A, np.asfortranarray(A), wide[::2, 1:k + 1], tall[5:]]


def problems(rng, count):
    for _ in range(count):
        k = int(rng.choice([0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 25]))
        m = int(rng.choice([1, 2, 7, 100, 255, 256, 257, 600]))
        y = rng.standard_normal(m) + 3.0
        w = None
        if rng.random() < 0.6:
            w = rng.uniform(0.0, 3.0, m)
            w[rng.random(m) < 0.2] = 0.0
        slots, nslots = None, 1
        if rng.random() < 0.6:
            nslots = int(rng.integers(1, 12))
            slots = rng.integers(0, nslots, m)  # some slots empty
            if w is not None and rng.random() < 0.3:
                w[slots == slots[0]] = 0.0  # a leaf without weight
        yield rng.choice(layouts(rng, m, k)), y, w, slots, nslots, bool(rng.random() < 0.5)


def test_leaves_are_the_leaf_by_leaf_procedure_bit_for_bit(rng):
    """Hundreds of problems: every layout of X, weights with zeros and leaves without
    weight, slots with empty ones, with and without the raw sums, leaves across
    panels of 256 rows: the same bits in every record, the same slots and counts."""
    for X, y, w, slots, nslots, raw in problems(rng, 400):
        F, got_slots, got, counts = run_leaves(X, y, w, slots, nslots, raw)
        want_slots, want, want_counts = reference_leaves(X, y, w, slots, raw)
        assert F == len(want_slots) and got_slots.tolist() == want_slots
        assert np.array_equal(bits(got), bits(want)), (X.shape, X.strides, w is None, nslots, raw)
        assert np.array_equal(counts, want_counts) and not counts.any()


@pytest.mark.parametrize("raw", [False, True])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_nonfinite_values_flow_through_and_are_counted(rng, raw):
    """NaN and infinities in x, y and large values whose squares overflow: the records
    hold the procedure's values (a NaN where it has one, its sign aside), and each
    column whose diagonal entry is not finite is counted in full."""
    for _ in range(60):
        m, k = int(rng.integers(1, 400)), int(rng.integers(1, 9))
        X = rng.standard_normal((m, k))
        y = rng.standard_normal(m)
        for value in (np.nan, np.inf, -np.inf, 1e300):
            X[rng.random((m, k)) < 0.01] = value
        y[rng.random(m) < 0.02] = np.nan
        slots = rng.integers(0, 3, m)
        for layout in (X, np.asfortranarray(X)):
            F, got_slots, got, counts = run_leaves(layout, y, None, slots, 3, raw)
            want_slots, want, want_counts = reference_leaves(X, y, None, slots, raw)
            assert got_slots.tolist() == want_slots and np.array_equal(counts, want_counts)
            assert np.array_equal(got, want, equal_nan=True)


def reference_merge(a, b, p):
    """The merge of two records as the pass wrote it in Python."""
    n_a, sw_a, mean_a, resid_a, M_a, R_a = fields(a, p)
    n_b, sw_b, mean_b, resid_b, M_b, R_b = fields(b, p)
    if n_a == 0.0:
        return b.copy()
    if n_b == 0.0:
        return a.copy()
    out = np.empty_like(a)
    n, sw, mean, resid, M, R = fields(out, p)
    out[0] = n_a + n_b
    if R is not None:
        R[:] = R_a + R_b
    if sw_b == 0.0 or sw_a == 0.0:
        src = a if sw_b == 0.0 else b
        out[1:2 + 2 * p + p * p] = src[1:2 + 2 * p + p * p]
        return out
    total = sw_a + sw_b
    d = (mean_a - mean_b) + (resid_a / sw_a - resid_b / sw_b)
    M[:] = (M_a + M_b) + ((sw_a / total) * sw_b) * np.outer(d, d)
    mu = mean_a - (sw_b / total) * d
    r = (resid_a + resid_b) + (sw_a * (mean_a - mu) + sw_b * (mean_b - mu))
    new = mu + r / total
    out[1], resid[:], mean[:] = total, r + total * (mu - new), new
    return out


def test_merge_is_the_pairwise_update_bit_for_bit(rng):
    """Records of parts of rows (each from the leaves kernel, with and without raw sums,
    some without weight, some standing for no rows), merged count at a time: the
    transcription's bits."""
    for _ in range(100):
        k, raw = int(rng.integers(0, 12)), bool(rng.random() < 0.5)
        p, count = k + 1, int(rng.integers(1, 6))
        recs = []
        for _ in range(2 * count):
            m = int(rng.integers(1, 50))
            X = rng.standard_normal((m, k)) + rng.uniform(-1e6, 1e6, k)
            w = None if raw else rng.uniform(0.0, 2.0, m) * (rng.random() < 0.85)
            recs.append(run_leaves(X, rng.standard_normal(m), w, None, 1, raw)[2][0])
        A, B = np.array(recs[:count]), np.array(recs[count:])
        A[rng.random(count) < 0.15, 0] = 0.0  # no rows
        B[rng.random(count) < 0.15, 0] = 0.0
        out = np.full_like(A, 7.25)
        assert merge_fn(P(A), P(B), P(out), count, p, raw) == OK
        want = np.array([reference_merge(a, b, p) for a, b in zip(A, B)])
        assert np.array_equal(bits(out), bits(want))
        M = out[:, 2 + 2 * p:2 + 2 * p + p * p].reshape(count, p, p)
        assert np.array_equal(M, M.transpose(0, 2, 1))


def test_refusals_and_empty_blocks():
    """Refused arguments return QDL_REFUSED having written nothing; no rows gives no
    leaves and zero counts; a merge of no records writes nothing, of records of no
    columns (p < 1) or of a negative count is refused."""
    X, y = np.ones((4, 2)), np.ones(4)
    slots = np.array([0, 1, 0, 2])
    for args in ((X, -1, 1, slots, 3), (X, 2, -1, slots, 3), (X, 2, 1, slots, 2),
                 (X, 2, 1, np.array([0, -1, 0, 0]), 3), (X, 2, 1, slots, 0)):
        A, rs, cs, s, nslots = args
        out, counts = np.full((4, width(3, False)), 7.25), np.full(3, -5, np.int64)
        leaf_slot, F = np.full(4, -5, np.int64), np.full(1, -5, np.int64)
        got = leaves_fn(A.ctypes.data, rs, cs, P(y), None, P(s), 4, 2, nslots, 0, P(leaf_slot),
                        P(out), P(counts), P(F))
        assert got == REFUSED and (out == 7.25).all() and (counts == -5).all()
        assert (leaf_slot == -5).all() and F[0] == -5
    F, _, _, counts = run_leaves(np.empty((0, 3)), np.empty(0), None, None, 1, True)
    assert F == 0 and not counts.any()
    out = np.full(width(2, False), 7.25)
    assert merge_fn(P(out), P(out), P(out), 0, 2, 0) == OK
    for count, p in ((-1, 2), (1, 0)):
        assert merge_fn(P(out), P(out), P(out), count, p, 0) == REFUSED
    assert (out == 7.25).all()
