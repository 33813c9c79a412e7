"""The per-block work of a GLM's Newton step (qdl_glm_working) through the exported
symbol: against the formulas of glm.h in numpy, the same bits for rows read in any
layout, and the refusals."""

import itertools

import numpy as np
import pytest
from native import P, bits, fn

working = fn("qdl_glm_working")
BINOMIAL, POISSON = 0, 1
ETA_MAX = 20.723265836946411


def run(X, y, w, off, fold, held, family, b0, b, lo=-15.0, hi=15.0, block_rows=None):
    """One call; sums and grad of the first block (with block_rows None, all rows), or
    of every block (blocks, ...) when block_rows is given."""
    m, k = X.shape
    br = block_rows or max(m, 1)
    blocks = -(-m // br)
    z, ww, sums, grad = np.full(m, 7.25), np.full(m, 7.25), np.full((max(blocks, 1), 8), 7.25), np.full(
        (max(blocks, 1), 2 * k), 7.25)
    status = working(X.ctypes.data, X.strides[0] // 8, X.strides[1] // 8, P(y), P(w), P(off), P(fold),
                     held, m, k, family, b0, P(b), lo, hi, br, P(z), P(ww), P(sums), P(grad))
    if block_rows is None:
        sums, grad = sums[0], grad[0]
    return status, z, ww, sums, grad


def reference(X, y, w, off, fold, held, family, b0, b, lo=-15.0, hi=15.0):
    """glm.h's formulas, row by row in numpy."""
    m = X.shape[0]
    w1 = np.ones(m) if w is None else w
    lin = b0 + np.array([sum((x * c for x, c in zip(row, b, strict=True)), 0.0) for row in X])
    eta = lin + (0.0 if off is None else off)
    out = fold == held if fold is not None else np.zeros(m, bool)
    if family == BINOMIAL:
        mu = np.clip(1 / (1 + np.exp(-np.clip(eta, -ETA_MAX, ETA_MAX))), 1e-9, 1 - 1e-9)
        v = mu * (1 - mu)
        d = 2 * (np.maximum(eta, 0) + np.log1p(np.exp(-np.abs(eta))) - y * eta)
        p = 1 / (1 + np.exp(-eta))
        q = np.clip(p, 1e-5, 1 - 1e-5)
        scores = [-2 * (y * np.log(q) + (1 - y) * np.log(1 - q)), 2 * (y - p) ** 2,
                  ((p > 0.5) != (y > 0.5)).astype(float)]
        bound = eta
    else:
        mu = v = np.exp(eta)
        with np.errstate(divide="ignore", invalid="ignore"):
            d = 2 * (np.where(y > 0, y * (np.log(y) - eta), 0.0) - (y - mu))
        scores = [d, (y - mu) ** 2, np.zeros(m)]
        bound = lin
    z = np.where(out, lin, lin + (y - mu) / v)
    ww = np.where(out, 0.0, w1 * v)
    t = np.where(out, 0.0, w1 * (y - mu))
    sums = [np.sum(w1 * d * ~out), np.sum(~out & (w1 > 0) & ((bound < lo) | (bound > hi))),
            np.sum(w1 * out)] + [np.sum(w1 * s * out) for s in scores] + [t.sum(), ww.sum()]
    return z, ww, np.array(sums), np.concatenate([X.T @ t, X.T @ ww])


@pytest.mark.parametrize("family, weighted, offset, folded, k", [
    (*case, k) for case in itertools.product([BINOMIAL, POISSON], [False, True], [False, True], [False, True])
    for k in (5, 27)])
def test_working_quantities_follow_the_contract(rng, family, weighted, offset, folded, k):
    """Working response and weights, deviance, the rows beyond the bounds, the
    held-out scores and the gradient sums as glm.h states them (to rounding: numpy's
    exp and log are not the kernel's); the same bits from row-major, column-major and
    sliced X (k = 27: the columns in vector lanes and a tail; some coefficients 0)."""
    m = 301
    X = rng.standard_normal((m, k)) * 3
    b, b0 = rng.standard_normal(k), 0.4
    if k > 5:
        b[::4] = 0.0
        b = b / 3
    X[0] = 40.0 * np.sign(b) / np.abs(b).sum()  # eta beyond 15 in row 0
    eta = b0 + X @ b
    y = ((rng.random(m) < 1 / (1 + np.exp(-eta))) if family == BINOMIAL else rng.poisson(np.exp(eta / 4))).astype(float)
    w = rng.integers(0, 4, m).astype(float) if weighted else None
    if weighted:
        w[0] = 1.0
    off = rng.normal(0, 0.5, m) if offset else None
    fold = rng.integers(0, 3, m) if folded else None
    if folded:
        fold[0] = 0  # row 0 fitted
    if family == POISSON:
        b = b / 4
    status, z, ww, sums, grad = run(X, y, w, off, fold, 1, family, b0, b)
    assert status == 0
    rz, rww, rsums, rgrad = reference(X, y, w, off, fold, 1, family, b0, b)
    assert np.allclose(z, rz, rtol=1e-12, atol=1e-12) and np.allclose(ww, rww, rtol=1e-12, atol=0)
    assert np.allclose(sums, rsums, rtol=1e-12, atol=1e-12)
    assert np.allclose(grad, rgrad, rtol=1e-11, atol=1e-11 * np.abs(rgrad).max())
    assert sums[1] > 0 or family == POISSON
    wide = np.zeros((m, 2 * k + 1))
    wide[:, 1::2] = X
    for other in (np.asfortranarray(X), wide[:, 1::2]):
        _, z2, ww2, sums2, grad2 = run(other, y, w, off, fold, 1, family, b0, b)
        assert np.array_equal(bits(z2), bits(z)) and np.array_equal(bits(ww2), bits(ww))
        assert np.array_equal(bits(sums2), bits(sums)) and np.array_equal(bits(grad2), bits(grad))
    # By blocks of 37 rows in one call: each block's values those of the block alone.
    _, z3, ww3, sums3, grad3 = run(X, y, w, off, fold, 1, family, b0, b, block_rows=37)
    assert np.array_equal(bits(z3), bits(z)) and np.array_equal(bits(ww3), bits(ww))
    for i, r0 in enumerate(range(0, m, 37)):
        rows = slice(r0, r0 + 37)
        _, _, _, alone, galone = run(X[rows], y[rows], None if w is None else w[rows],
                                     None if off is None else off[rows], None if fold is None else fold[rows],
                                     1, family, b0, b)
        assert np.array_equal(bits(sums3[i]), bits(alone)) and np.array_equal(bits(grad3[i]), bits(galone))


def test_no_columns_and_no_rows():
    y = np.array([0.0, 1.0])
    status, z, ww, sums, _ = run(np.empty((2, 0)), y, None, None, None, 0, BINOMIAL, 0.0, None)
    assert status == 0 and np.array_equal(z, [-2.0, 2.0]) and np.array_equal(ww, [0.25, 0.25])
    assert sums[0] == pytest.approx(4 * np.log(2)) and sums[2] == 0.0
    status, *_, sums, grad = run(np.empty((0, 3)), y[:0], None, None, None, 0, POISSON, 0.0, np.zeros(3))
    assert status == 0 and (sums == 7.25).all() and (grad == 7.25).all()  # no rows: no block


@pytest.mark.parametrize("change", ["m", "k", "row_stride", "col_stride", "family", "block_rows"])
def test_refusals_write_nothing(change):
    args = {"m": 2, "k": 1, "row_stride": 1, "col_stride": 1, "family": 0, "block_rows": 2}
    args[change] = 7 if change == "family" else 0 if change == "block_rows" else -1
    X, y, z, ww, sums = np.ones(4), np.zeros(2), np.full(2, 7.25), np.full(2, 7.25), np.full(8, 7.25)
    grad = np.full(2, 7.25)
    status = working(P(X), args["row_stride"], args["col_stride"], P(y), None, None, None, 0, args["m"],
                     args["k"], args["family"], 0.0, P(np.ones(1)), -1.0, 1.0, args["block_rows"], P(z), P(ww),
                     P(sums), P(grad))
    assert status == -3 and all((a == 7.25).all() for a in (z, ww, sums, grad))


def ulps(a, b):
    """Distance in units in the last place between doubles of one sign."""
    return np.abs(a.view(np.int64) - b.view(np.int64))


def test_elementwise_functions_are_accurate_and_fixed(rng):
    """The kernel's own exp, log and log1p (no C library): within 4 units in the last
    place of numpy's over their ranges (exp from the Poisson working weights, log1p
    from the binomial and log from the Poisson deviance of single rows), and the
    same bits on every instruction set (the capped test builds check the digest)."""
    import hashlib

    x = np.concatenate([rng.uniform(-745, 709, 4000), rng.uniform(-2, 2, 2000), [0.0, -0.0, 1e-300, 709.7]])
    m = x.shape[0]
    y = np.zeros(m)
    _, z, ww, *_ = run(np.empty((m, 0)), y, None, x, None, 0, POISSON, 0.0, None, -np.inf, np.inf)
    normal = np.exp(x) > 2.3e-308
    assert ulps(ww[normal], np.exp(x[normal])).max() <= 4
    assert np.allclose(ww[~normal], np.exp(x[~normal]), rtol=1e-3, atol=1e-320)
    _, _, far, *_ = run(np.empty((3, 0)), np.zeros(3), None, np.array([-800.0, 710.0, np.nan]), None, 0,
                        POISSON, 0.0, None, -np.inf, np.inf)
    assert far[0] == 0.0 and far[1] == np.inf and np.isnan(far[2])
    one = np.empty((1, 0))
    etas = np.concatenate([-np.abs(rng.standard_normal(300)) * 30, -rng.uniform(0, 1e-8, 50)])
    log1p = [run(one, np.zeros(1), None, np.array([e]), None, 0, BINOMIAL, 0.0, None)[3][0] / 2 for e in etas]
    assert np.allclose(log1p, np.log1p(np.exp(etas)), rtol=4e-16, atol=0)
    counts = np.exp(rng.uniform(1, 690, 500))  # (log y from y log y - y + 1: y > e keeps its digits)
    logs = [(run(one, np.array([c]), None, np.zeros(1), None, 0, POISSON, 0.0, None)[3][0] / 2 + (c - 1)) / c
            for c in counts]
    assert np.allclose(logs, np.log(counts), rtol=1e-15, atol=0)
    digest = hashlib.sha256(ww.tobytes() + np.array(log1p).tobytes() + np.array(logs).tobytes()).hexdigest()
    assert digest == DIGEST, digest


DIGEST = "94d4ed16c3df597f671ed85312f3d011dda1bfbdb626021d4ffa86081e154773"
