"""Statistics of tall data (tall.gram_stats) and the solvers on them: the same bits for
every cutting of the rows, kind of input, number of workers and scheduling, including
on a real two-process Dask cluster that loses a worker in the middle of the pass."""

import contextlib
import dataclasses
import faulthandler
import importlib.util
import math
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
import warnings
from fractions import Fraction

import numpy as np
import pytest
from native import P, bits, f64, fn

from Quandrel._ckernels.regression import _regression as qr
from Quandrel import tall
from Quandrel.tall import _solvers as solvers

ROOT = pathlib.Path(__file__).resolve().parents[2]
TIMEOUT = 60  # seconds for any one computation on the cluster


def load_example():
    spec = importlib.util.spec_from_file_location("tall_lasso", ROOT / "examples" / "tall_lasso.py")
    module = importlib.util.module_from_spec(spec)  # not in sys.modules: pickled by value
    spec.loader.exec_module(module)
    return module


def problem(rng, n, k, noise=1.0):
    X = rng.standard_normal((n, k))
    X[:, 0] = 1.0
    return X, X @ rng.standard_normal(k) + noise * rng.standard_normal(n)


def tree_reference(X, y, block_rows):
    """The documented tree, written out directly: each block's record from
    qdl_moments_leaves, node (s, size) = qdl_moments_merge(left child, right child), the
    left alone at the end; G, c, yy then M + sw mu mu' about the exact means
    mu = mean + resid / sw, entry by entry."""
    n, k = X.shape
    p = k + 1
    width = 2 + 2 * p + p * p
    leaves = []
    for r in range(0, n, block_rows):
        Xb, yb = np.ascontiguousarray(X[r:r + block_rows]), np.ascontiguousarray(y[r:r + block_rows])
        rec, count, slot, bad = f64(width), np.zeros(1, np.int64), np.zeros(1, np.int64), np.zeros(p, np.int64)
        assert fn("qdl_moments_leaves")(P(Xb), k, 1, P(yb), None, None, len(Xb), k, 1, 0, P(slot),
                                        P(rec), P(bad), P(count)) == 0 and count[0] == 1
        leaves.append(rec)

    def node(s, size):
        if size == 1:
            return leaves[s]
        left = node(s, size // 2)
        if s + size // 2 >= len(leaves):
            return left
        out = f64(width)
        assert fn("qdl_moments_merge")(P(left), P(node(s + size // 2, size // 2)), P(out), 1, p, 0) == 0
        return out

    rec = node(0, 1 << (len(leaves) - 1).bit_length())
    sw, mean, resid = rec[1], rec[2:2 + p], rec[2 + p:2 + 2 * p]
    mu = mean + resid / sw
    R = rec[2 + 2 * p:].reshape(p, p) + sw * np.outer(mu, mu)
    return R[:k, :k], R[:k, k], R[k, k]


def same_bits(a, b):
    """G, c, yy and n the same bits, and every other field too (the fingerprints)."""
    return (a.n == b.n and bits(a.yy) == bits(b.yy) and np.array_equal(bits(a.G), bits(b.G))
            and np.array_equal(bits(a.c), bits(b.c)) and a.fingerprint() == b.fingerprint())


def random_pieces(rng, X, y, dtype=np.float64):
    """X and y cut at random places (empty pieces included), as a one-pass iterator."""
    cuts = np.sort(rng.integers(0, len(X) + 1, rng.integers(0, 12)))
    edges = [0, *cuts.tolist(), len(X)]
    return ((X[a:b].astype(dtype), y[a:b].astype(dtype)) for a, b in zip(edges, edges[1:]))


def test_statistics_follow_the_tree_for_every_cutting(rng):
    """Hundreds of sizes and block lengths: numpy, memory-mapped and iterable input
    (float64 and float32 pieces) give the reference tree's bits, a symmetric G, and
    agree with X'X to 1e-13."""
    for trial in range(300):
        k = int(rng.integers(1, 6))
        block_rows = int(rng.choice([1, 2, 3, 7, 64, 100]))
        n = int(rng.integers(1, 40 * block_rows))
        X, y = problem(rng, n, k)
        G, c, yy = tree_reference(X, y, block_rows)
        ref = tall.gram_stats(X, y, block_rows)
        assert np.array_equal(bits(ref.G), bits(G)) and np.array_equal(bits(ref.c), bits(c))
        assert bits(ref.yy) == bits(yy) and ref.n == n
        assert np.array_equal(ref.G, ref.G.T)
        assert same_bits(tall.gram_stats(random_pieces(rng, X, y), None, block_rows), ref)
        X32, y32 = X.astype(np.float32), y.astype(np.float32)
        assert same_bits(tall.gram_stats(random_pieces(rng, X32, y32, np.float32), None, block_rows),
                         tall.gram_stats(X32.astype(np.float64), y32.astype(np.float64), block_rows))
        scale = np.abs(X).T @ np.abs(X)
        assert np.all(np.abs(ref.G - X.T @ X) <= 1e-13 * scale)
        assert np.all(np.abs(ref.c - X.T @ y) <= 1e-13 * (np.abs(X).T @ np.abs(y)))


def misaligned(a):
    """A copy of a whose data start one byte past an 8-byte boundary (as arrays
    received from other processes can)."""
    raw = np.empty(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def test_memory_mapped_and_misaligned_input(rng, tmp_path):
    X, y = problem(rng, 50_001, 9)
    np.save(tmp_path / "X.npy", np.asfortranarray(X))  # column order: converted per block
    np.save(tmp_path / "y.npy", y)
    ref = tall.gram_stats(X, y, 4096)
    mapped = tall.gram_stats(np.load(tmp_path / "X.npy", mmap_mode="r"),
                             np.load(tmp_path / "y.npy", mmap_mode="r"), 4096)
    assert same_bits(mapped, ref)
    odd = tall.gram_stats(misaligned(X), misaligned(y), 4096)
    assert not misaligned(X).flags.aligned and same_bits(odd, ref)
    odd = tall.GramStats(misaligned(ref.G), misaligned(ref.c), ref.yy, ref.n)
    assert np.array_equal(tall.ols(odd)[0], tall.ols(ref)[0])
    assert tall.rss(odd, misaligned(ref.c)) == tall.rss(ref, ref.c)


def exact_centred(Z, w):
    """sum w (z - mu)(z - mu)' exactly (Python integers: the float64 values scaled by
    2^80 are whole numbers at the magnitudes tested), rounded once to float64."""
    scale = 1 << 80
    cols = [[int(Fraction(v) * scale) for v in col.tolist()] for col in (w, *Z.T)]
    W, cols = cols[0], cols[1:]
    sw = sum(W)
    sums = [sum(a * b for a, b in zip(W, col)) for col in cols]
    p = len(cols)
    out = np.empty((p, p))
    for i in range(p):
        for j in range(i, p):
            cross = sum(a * b * c for a, b, c in zip(W, cols[i], cols[j]))
            out[i, j] = out[j, i] = float(Fraction(cross * sw - sums[i] * sums[j], sw * scale**3))
    return out


def augmented(stats):
    """The centred co-moments of (x, y) as one (k + 1, k + 1) matrix."""
    return np.block([[stats.Gc, stats.cc[:, None]], [stats.cc[None, :], np.array([[stats.yyc]])]])


@pytest.mark.parametrize("weighted", [False, True])
def test_centred_statistics_of_large_mean_columns_keep_their_digits(rng, weighted):
    """Columns whose mean is 1e8 and 1e12 times their spread (and one of mean 0):
    every centred co-moment within 1e-13 of the exact value relative to the product
    of the columns' spreads, at two block lengths; the raw statistics summed by rows
    minus sw * mean mean' keep no digit to speak of. The means to within an ulp of themselves
    plus 1e-16 of the spread."""
    n = 20_000
    X = np.column_stack([1e8 + rng.standard_normal(n), -3e12 + rng.standard_normal(n),
                         rng.standard_normal(n)])
    y = 2.0 * X[:, 0] + rng.standard_normal(n)
    w = rng.uniform(0.0, 3.0, n) if weighted else np.ones(n)
    exact = exact_centred(np.column_stack([X, y]), w)
    spread = np.sqrt(np.outer(np.diagonal(exact), np.diagonal(exact)))
    sw = sum(map(Fraction, w.tolist()))
    means = np.array([float(sum(Fraction(a) * Fraction(b) for a, b in zip(w.tolist(), col.tolist())) / sw)
                      for col in X.T])
    sd = np.sqrt(np.diagonal(exact)[:3] / float(sw))
    for block_rows in (1000, 4096):
        stats = tall.gram_stats(X, y, block_rows, weights=w if weighted else None)
        assert np.max(np.abs(augmented(stats) - exact) / spread) < 1e-13
        assert np.array_equal(stats.Gc, stats.Gc.T)
        assert np.all(np.abs(stats.x_mean - means) <= np.spacing(np.abs(means)) + 1e-16 * sd)
    if not weighted:  # G is accurate to itself, far from the digits G - sw mean mean' needs
        naive = stats.G - stats.sw * np.outer(stats.x_mean, stats.x_mean)
        assert abs(naive[0, 0] - exact[0, 0]) >= 0.1 * exact[0, 0]


def test_weights_equal_rows_repeated_by_their_weight(rng):
    """Integer weights (zeros included) give the statistics of each row repeated that
    many times: every field, overall and per fold."""
    X, y = problem(rng, 3000, 4)
    X[:, 1:] += 1e4
    counts = rng.integers(0, 4, 3000)
    ids = rng.integers(0, 3, 3000)
    Xr, yr, idr = np.repeat(X, counts, 0), np.repeat(y, counts), np.repeat(ids, counts)
    pairs = [(tall.gram_stats(X, y, 256, weights=counts.astype(float)), tall.gram_stats(Xr, yr, 256))]
    folded = tall.gram_stats(X, y, 256, weights=counts, folds=ids)
    pairs += zip(folded.folds, tall.gram_stats(Xr, yr, 256, folds=idr).folds)
    for a, b in pairs:
        assert a.sw == b.sw
        for name in ("G", "c", "yy", "x_mean", "y_mean"):
            np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=1e-13)
        np.testing.assert_allclose(augmented(a), augmented(b), rtol=1e-11, atol=1e-12 * b.yyc)


def fingerprints(make, *variants):
    return {variant: make(variant).fingerprint() for variant in variants}


def test_weighted_and_folded_statistics_are_the_same_bits_for_every_input(rng, tmp_path):
    """Weights and folds (by hash and by id) through numpy, memory-mapped, random
    iterable pieces (float32 converted as numpy's are) and Dask's local scheduler with
    irregular chunks: one fingerprint each. Unweighted, G, c and yy are the unfolded
    pass's bits, whatever else is asked; the folds are those of fold_ids."""
    import dask.array as da

    X, y = problem(rng, 20_011, 5)
    w, ids = rng.uniform(0, 2, 20_011), rng.integers(0, 7, 20_011).astype(float)
    np.save(tmp_path / "w.npy", w)
    for options in ({"weights": w}, {"folds": 4, "seed": 9}, {"weights": w, "folds": 3},
                    {"weights": w, "folds": ids}):
        ref = tall.gram_stats(X, y, 1000, **options)
        weights = options.get("weights")
        mapped = dict(options, weights=np.load(tmp_path / "w.npy", mmap_mode="r")) if weights is not None else options
        assert tall.gram_stats(X, y, 1000, **mapped).fingerprint() == ref.fingerprint()
        if not isinstance(options.get("folds", 0), np.ndarray):
            rest = {k: v for k, v in options.items() if k != "weights"}
            cuts = np.sort(rng.integers(0, len(y), 9))
            edges = [0, *cuts.tolist(), len(y)]
            pieces = [(X[a:b], y[a:b], *((w[a:b],) if weights is not None else ())) for a, b in zip(edges, edges[1:])]
            assert tall.gram_stats(iter(pieces), None, 1000, **rest).fingerprint() == ref.fingerprint()
        chunks = tuple(np.diff([0, 1, 999, 5000, 5001, 17_000, 20_011]).tolist())
        lazy = {k: da.from_array(v, chunks=(chunks,)) if isinstance(v, np.ndarray) else v for k, v in options.items()}
        with local_scheduler():
            got = tall.gram_stats(da.from_array(X, chunks=(chunks, 2)), da.from_array(y, chunks=(chunks,)), 1000, **lazy)
        assert got.fingerprint() == ref.fingerprint()
    plain = tall.gram_stats(X, y, 1000)
    assert same_bits(plain, tall.gram_stats(X, y, 1000, check_finite=False))
    folded = tall.gram_stats(X, y, 1000, folds=4, seed=9)
    assert [s.n for s in folded.folds] == np.bincount(tall.fold_ids(0, len(y), 4, 9)).tolist()
    fold = tall.fold_ids(0, len(y), 4, 9) == 2
    np.testing.assert_allclose(folded.folds[2].G, X[fold].T @ X[fold], rtol=1e-12)
    train = tall.gram_stats(X[~fold], y[~fold], 1000)
    for name in ("G", "c", "yy", "sw", "x_mean", "y_mean", "Gc", "cc", "yyc"):
        np.testing.assert_allclose(getattr(folded.train(2), name), getattr(train, name), rtol=1e-12)
        np.testing.assert_allclose(getattr(folded.total, name), getattr(plain, name), rtol=1e-12)


def splitmix64(seed, i):
    """Output i + 1 of SplitMix64 from the state seed, in Python integers."""
    z = (seed + (i + 1) * 0x9E3779B97F4A7C15) % 2**64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) % 2**64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) % 2**64
    return z ^ (z >> 31)


def test_fold_ids_are_the_documented_hash():
    """Row i's fold is splitmix64(seed, i) mod K (the generator's published first
    outputs from state 0 check the reference), for any start, seed and K; sizes are
    near n / K."""
    assert [splitmix64(0, i) for i in range(3)] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4,
                                                    0x06C45D188009454F]
    for start, stop, K, seed in ((0, 50, 10, 0), (10**12, 10**12 + 7, 3, 2**64 - 1), (7, 9, 2**32, 12345)):
        assert tall.fold_ids(start, stop, K, seed).tolist() == [splitmix64(seed, i) % K for i in range(start, stop)]
    sizes = np.bincount(tall.fold_ids(0, 100_000, 10, seed=5), minlength=10)
    assert np.all(np.abs(sizes - 10_000) < 5 * math.sqrt(9_000))
    for args, message in (((0, 5, 1), "K must be an int in"), ((5, 4, 2), "stop must be an int >= 5"),
                          ((0, 5, 2, 2**64), "seed must be an int in")):
        with pytest.raises(ValueError, match=message):
            tall.fold_ids(*args)


BAD = [
    (lambda X, y: (X[:, 0], y), ValueError, "X must be 2-D"),
    (lambda X, y: (X, y[:, None]), ValueError, "y must be 1-D"),
    (lambda X, y: (X, y[:-1]), ValueError, "rows but y has"),
    (lambda X, y: (X[:0], y[:0]), ValueError, "no rows"),
    (lambda X, y: (X.astype(complex), y), TypeError, "real numbers"),
    (lambda X, y: (X, None), TypeError, "iterable of"),
    (lambda X, y: ([(X[:5], y[:5]), (X[5:, :-1], y[5:])], None), ValueError, "piece 1 has 2 columns"),
    (lambda X, y: ([(X[:5], y[:4])], None), ValueError, "piece 0: X_block has 5 rows"),
    (lambda X, y: ([X[:5]], None), TypeError, "not an .X_block, y_block. pair"),
    (lambda X, y: (iter([]), None), ValueError, "no rows"),
    # Weights and folds: named, before the pass where the arguments show it ...
    (lambda X, y: (X, y, {"weights": np.ones(9)}), ValueError, "X has 10 rows but weights has 9"),
    (lambda X, y: (X, y, {"weights": np.ones((10, 1))}), ValueError, "weights must be 1-D"),
    (lambda X, y: (X, y, {"weights": np.full(10, "a")}), TypeError, "weights must hold real numbers"),
    (lambda X, y: (X, y, {"folds": 1}), ValueError, "folds must be an int in \\[2, "),
    (lambda X, y: (X, y, {"folds": 2.5}), TypeError, "folds must be an int"),
    (lambda X, y: (X, y, {"folds": 11}), ValueError, "folds=11: more folds than rows"),
    (lambda X, y: (X, y, {"folds": np.zeros(9)}), ValueError, "X has 10 rows but folds has 9"),
    (lambda X, y: (X, y, {"folds": np.ones(10, dtype=bool)}), TypeError, "folds must hold integers"),
    (lambda X, y: (X, y, {"folds": 3, "seed": -1}), ValueError, "seed must be an int in"),
    (lambda X, y: ([(X, y)], None, {"weights": np.ones(10)}), TypeError, "carries its weights in its pieces"),
    (lambda X, y: ([(X, y)], None, {"folds": np.zeros(10)}), TypeError, "takes folds=K"),
    (lambda X, y: ([(X[:5], y[:5], np.ones(5)), (X[5:], y[5:])], None), ValueError, "piece 1 lacks weights"),
    (lambda X, y: ([(X[:5], y[:5], np.ones(4))], None), ValueError, "and w_block 4"),
    # ... and after it, before any result, where the values do.
    (lambda X, y: (X, y, {"weights": np.r_[np.ones(3), -1, np.nan, np.ones(5)]}), ValueError,
     r"finite and >= 0: 1 are NaN or infinite and 1 negative \(the first at row 3\)"),
    (lambda X, y: (X, y, {"weights": np.zeros(10)}), ValueError, "weights are all zero"),
    (lambda X, y: (X, y, {"folds": np.r_[0, 1, -1, 1.5, np.zeros(6)]}), ValueError,
     r"whole numbers from 0 to 9 .*: 2 do not \(the first at row 2\)"),
    (lambda X, y: (X, y, {"folds": np.r_[0, 0, 2, 2, 4, np.zeros(5)]}), ValueError, "folds 1, 3 of 5 hold no rows"),
    (lambda X, y: (X, y, {"folds": np.r_[0, 1, np.zeros(8)], "weights": np.r_[1, 0, np.ones(8)]}),
     ValueError, "the weights of fold 1 are all zero"),
    (lambda X, y: ([(X[:3], y[:3])], None, {"folds": 5}), ValueError, r"folds=5: more folds than rows \(3\)"),
]


@pytest.mark.parametrize("make, error, message", BAD)
def test_bad_input_is_refused(make, error, message):
    X, y = problem(np.random.default_rng(0), 10, 3)
    args = make(X, y)
    with pytest.raises(error, match=message):
        tall.gram_stats(*args[:2], **(args[2] if len(args) > 2 else {}))
    with pytest.raises(ValueError, match="block_rows"):
        tall.gram_stats(X, y, 0)


def test_solvers_refuse_bad_statistics():
    ok = tall.gram_stats(np.eye(3), np.ones(3))
    for stats in (tall.GramStats(ok.G, ok.c[:2], ok.yy, ok.n), tall.GramStats(ok.G, ok.c, ok.yy, 0)):
        with pytest.raises(ValueError, match="stat"):
            tall.ols(stats)
    with pytest.raises(TypeError, match="GramStats"):
        tall.lasso_path((ok.G, ok.c), 10, 0.0)


BAD_SETTINGS = [
    (lambda s: tall.ridge(s, [], 1, True), ValueError, "alphas must be a non-empty"),
    (lambda s: tall.ridge(s, [1.0, -0.5], 1, True), ValueError, "alphas must be finite and >= 0, got -0.5 at index 1"),
    (lambda s: tall.ridge(s, [np.nan], 1, True), ValueError, "alphas must be finite"),
    (lambda s: tall.ridge(s, [1.0], "aic", "yes"), TypeError, "intercept must be True or False"),
    (lambda s: tall.ridge(s, [1.0], True, True), ValueError, "criterion must be 'aic', 'bic' or 'rss'"),
    (lambda s: tall.ridge(s, [1.0], 0, True), ValueError, "criterion"),
    (lambda s: tall.ridge(s, [1.0], 4, True), ValueError, "criterion"),
    (lambda s: tall.ridge(s, [1.0], "gcv", True), ValueError, "criterion"),
    (lambda s: tall.enet_path(s, [1.0], 1.5), ValueError, "l1_ratio must be a finite number in \\[0.0, 1.0\\]"),
    (lambda s: tall.enet_path(s, [1.0], -0.5), ValueError, "l1_ratio"),
    (lambda s: tall.enet_path(s, [1.0], 0.5, 0), ValueError, "max_iter must be an int >= 1"),
    (lambda s: tall.enet_path(s, [1.0], 0.5, 10, -1e-3), ValueError, "tol must be a finite number >= 0"),
    (lambda s: tall.lasso_path(s, 2.5, 0.0), TypeError, "max_iter must be an int"),
    (lambda s: tall.gram_stats(np.eye(3), np.ones(3), check_finite=None), TypeError, "check_finite"),
    (lambda s: tall.gram_stats(np.eye(3), np.ones(3), timeout=-1), ValueError, "timeout"),
]


@pytest.mark.parametrize("call, error, message", BAD_SETTINGS)
def test_settings_are_checked(call, error, message):
    with pytest.raises(error, match=message):
        call(tall.gram_stats(np.eye(3), np.ones(3)))


@pytest.mark.parametrize("k", [solvers.LARS_UPDATE_FROM - 1, solvers.LARS_UPDATE_FROM, 60])
def test_lasso_path_either_side_of_the_crossover_is_the_in_memory_path(rng, k):
    """Below LARS_UPDATE_FROM variables lars_lasso_gram's bits; from it on, the updating
    path's knots, equal to them within 1e-10."""
    X, y = problem(rng, 3 * k, k)
    X[:, 1:] += rng.standard_normal((3 * k, 1))  # coefficients leave the path too
    stats = tall.gram_stats(X, y)
    lam, beta, status = tall.lasso_path(stats, 8 * k, 1e-12)
    want_lam, want_beta, want_status = qr.lars_lasso_gram(stats.G / len(y), stats.c / len(y), 8 * k, 1e-12)
    assert status == want_status == 0 and lam.shape == want_lam.shape
    exact = k < solvers.LARS_UPDATE_FROM
    np.testing.assert_allclose(lam, want_lam, rtol=0, atol=0 if exact else 1e-10 * lam[0])
    np.testing.assert_allclose(beta, want_beta, rtol=0, atol=0 if exact else 1e-10 * np.abs(beta).max())


def test_criteria_by_name_or_code_and_named_results(rng):
    X, y = problem(rng, 2000, 4)
    stats = tall.gram_stats(X, y)
    for name, code in (("aic", 1), ("BIC", 2), ("rss", 3)):
        by_name, by_code = tall.ridge(stats, [0.01, 1.0], name, True), tall.ridge(stats, [0.01, 1.0], code, True)
        assert by_name.objective == by_code.objective and by_name._fields == ("alpha", "coef", "objective", "status")
    alpha, coef, objective, status = by_name
    assert (alpha, objective, status) == (by_name.alpha, by_name.objective, by_name.status)
    assert tall.ols(stats)._fields == ("coef", "L", "status")
    assert tall.lasso_path(stats, 10, 0.0)._fields == ("lam_path", "beta_path", "status")
    assert tall.enet_path(stats, [1.0], 0.5)._fields == ("coefs", "statuses")
    # ridge's flag is fit_intercept, as everywhere in tall; its former name still works.
    old = tall.ridge(stats, [0.01, 1.0], "aic", intercept=True)
    new = tall.ridge(stats, [0.01, 1.0], "aic", fit_intercept=True)
    assert np.array_equal(old.coef, new.coef) and old.objective == new.objective
    with pytest.raises(TypeError, match="give fit_intercept or its former name intercept, not both"):
        tall.ridge(stats, [1.0], "aic", True, intercept=True)
    with pytest.raises(dataclasses.FrozenInstanceError):
        new.alpha = 2.0  # results are set once


def test_solvers_match_the_in_memory_kernels(rng):
    X, y = problem(rng, 20_000, 8, noise=3.0)
    n = len(y)
    stats = tall.gram_stats(X, y, 1000)
    G, c = X.T @ X / n, X.T @ y / n
    alphas = np.geomspace(1e-4, 10.0, 25)
    for criterion in (1, 2, 3):
        want_alpha, want_coef, want_obj, want_status = qr.ridge_grid_search(X, y, alphas, criterion, True)
        alpha, coef, obj, status = tall.ridge(stats, alphas, criterion, True)
        assert (alpha, status) == (want_alpha, want_status)
        np.testing.assert_allclose(coef, want_coef, rtol=1e-11)
        assert math.isclose(obj, want_obj, rel_tol=1e-11)
    coef, L, status = tall.ols(stats)
    want = qr.ols_chol_solve(X, y)
    np.testing.assert_allclose(coef, want[0], rtol=1e-11)
    np.testing.assert_allclose(L, want[1], rtol=1e-11)
    assert status == want[2] == 0
    lam, beta, status = tall.lasso_path(stats, 50, 1e-12)
    want = qr.lars_lasso_gram(G, c, 50, 1e-12)
    assert status == want[2] == 0 and lam.shape == want[0].shape
    np.testing.assert_allclose(beta, want[1], rtol=1e-9, atol=1e-12)
    coefs, statuses = tall.enet_path(stats, lam[:-1], 0.5)
    want = qr.elastic_net_gram_cd_path(G, c, lam[:-1], 0.5, 1000, 1e-10)
    np.testing.assert_array_equal(statuses, want[1])
    np.testing.assert_allclose(coefs, want[0], rtol=1e-7, atol=1e-10)


def test_rss_from_the_statistics_is_accurate_to_ulps_of_its_terms(rng):
    """The figures the documentation of tall.rss states: |error| < 1e-14 times the
    size of the terms, yy + 2 |b|'|c| + |b|'|G||b|; that is yy itself for centred
    columns, and far more than yy for columns of large mean beside an intercept."""
    worst, worst_centred = 0.0, 0.0
    for noise in (1e-6, 1e-3, 1.0, 100.0):
        for mean in (0.0, 1e3):
            X, y = problem(rng, 100_000, 10, noise)
            X[:, 1:] += mean
            stats = tall.gram_stats(X, y)
            coef = tall.ols(stats)[0]
            error = abs(tall.rss(stats, coef) - math.fsum((y - X @ coef) ** 2))
            b = np.abs(coef)
            terms = stats.yy + 2 * b @ np.abs(stats.c) + b @ np.abs(stats.G) @ b
            worst = max(worst, error / terms)
            if mean == 0.0:
                worst_centred = max(worst_centred, error / stats.yy)
    assert worst < 1e-14 and worst_centred < 1e-14, (worst, worst_centred)


def test_nonfinite_data_are_refused_naming_their_columns(rng):
    """gram_stats counts NaN and infinite values per column in the pass; with
    check_finite=False they enter the statistics and every solver refuses them, naming
    the columns of X and whether y. Values whose squares overflow (finite data, as
    scikit-learn's finfo.max * uniform case) are refused by the solvers alike."""
    X, y = problem(rng, 5000, 4)
    X[17, 2], X[3000, 1], X[3001, 1], y[40] = np.nan, np.inf, -np.inf, np.nan
    with pytest.raises(ValueError, match=r"X columns 1 \(2 values\), 2 \(1 value\) and y \(1 value\)"):
        tall.gram_stats(X, y, 1000)
    pieces = [(X[:2500], y[:2500]), (X[2500:], y[2500:])]
    with pytest.raises(ValueError, match=r"X columns 1 \(2 values\), 2 \(1 value\) and y"):
        tall.gram_stats(pieces, None, 1000)
    stats = tall.gram_stats(X, y, 1000, check_finite=False)
    assert not np.isfinite(stats.G[1:3, 1:3].diagonal()).any() and np.isnan(stats.yy)
    big = np.finfo(np.float64).max * rng.uniform(size=(10, 2))
    overflow = tall.gram_stats(big, np.ones(10))  # finite values, G and X'y overflow
    for bad, where in ((stats, "X columns 1, 2 and y"), (overflow, "X columns 0, 1:")):
        for solve in (lambda s: tall.ols(s), lambda s: tall.ridge(s, [0.1, 1.0], "aic", True),
                      lambda s: tall.lasso_path(s, 20, 1e-10), lambda s: tall.enet_path(s, [1.0], 0.5),
                      lambda s: tall.rss(s, np.zeros(s.c.shape))):
            with pytest.raises(ValueError, match=f"not finite for {where}"):
                solve(bad)
    X[:], y[:] = 1.0, np.nan  # y alone: X'y is NaN through y, not through X
    with pytest.raises(ValueError, match="not finite for y:"):
        tall.ols(tall.gram_stats(X, y, check_finite=False))


def test_plain_progress_bar_on_stderr(rng, capsys):
    X, y = problem(rng, 30_000, 3)
    tall.gram_stats(random_pieces(rng, X, y), None, 1000, progress=True)
    tall.gram_stats(X, y, 1000, progress=True)
    err = capsys.readouterr().err
    assert "30,000 rows" in err and "100.0%" in err


def test_no_ctypes_in_the_package():
    """tall reaches the library only through the checked module: no hand-copied
    prototype (a wrong one would pass arguments wrongly without a word)."""
    import pathlib

    import Quandrel.tall

    for path in pathlib.Path(Quandrel.tall.__file__).parent.rglob("*.py"):
        assert "ctypes" not in path.read_text(), path


def test_package_imports_without_dask():
    code = ("import sys; sys.modules['dask'] = None\n"
            "import numpy as np; from Quandrel import tall\n"
            "s = tall.gram_stats(np.ones((10, 2)), np.ones(10)); print(s.n)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "10", out.stderr


# ---------------------------------------------------------------------------
# On a Dask cluster.
# ---------------------------------------------------------------------------
ROWS, COLS, SEED = 301_234, 6, 11


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes with one thread each, shut down at the end. A watchdog
    ends the whole run with a traceback if the cluster tests ever hang."""
    distributed = pytest.importorskip("distributed")
    import cloudpickle
    import dask

    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        with dask.config.set({"distributed.comm.timeouts.connect": "30s"}), \
             distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", death_timeout=30) as lc, \
             distributed.Client(lc, timeout=30) as client:
            client.wait_for_workers(2, timeout=TIMEOUT)
            yield lc, client
    finally:
        faulthandler.cancel_dump_traceback_later()


class ExampleRows:
    """The example's rows: as Dask arrays whose pieces are made by tasks on the
    workers, or in this process."""

    def __init__(self, example):
        self.example = example

    def generate(self, rows, cols, seed):
        import dask
        import dask.array as da

        xs, ys = [], []
        for start, stop in self.example.pieces(rows):
            piece = dask.delayed(self.example.make_piece, nout=2, pure=True)(start, stop, cols, seed)
            xs.append(da.from_delayed(piece[0], (stop - start, cols), dtype=np.float64))
            ys.append(da.from_delayed(piece[1], (stop - start,), dtype=np.float64))
        return da.concatenate(xs), da.concatenate(ys)

    def in_memory(self, rows, cols, seed):
        parts = [self.example.make_piece(a, b, cols, seed) for a, b in self.example.pieces(rows)]
        return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])


@pytest.fixture(scope="module")
def data():
    example = ExampleRows(load_example())
    X, y = example.in_memory(ROWS, COLS, SEED)
    return example, X, y, tall.gram_stats(X, y)


def extras(X):
    """Weights and fold ids (floats holding whole numbers 0 .. 4) made from X's
    columns, by the same elementwise operations on numpy and on Dask arrays."""
    return np.abs(X[:, 1]), np.minimum(np.floor(np.mod(X[:, 2], 1.0) * 5.0), 4.0)


@pytest.fixture(scope="module")
def folded(data):
    """The data's statistics with weights and fold ids, and with folds by hash."""
    example, X, y, ref = data
    w, ids = extras(X)
    return (tall.gram_stats(X, y, weights=w, folds=ids),
            tall.gram_stats(X, y, weights=w, folds=5, seed=3))


@contextlib.contextmanager
def local_scheduler():
    """Dask's threaded scheduler in this process, beside the cluster's client."""
    import dask

    with dask.config.set(scheduler="threads"), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the warning that a client is active
        yield


def slow(block):
    time.sleep(0.25)
    return block


def test_same_bits_on_the_cluster_for_every_chunking(cluster, data, folded):
    example, X, y, ref = data
    Xd, yd = example.generate(ROWS, COLS, SEED)  # pieces of 65,536 rows, made on the workers
    wd, idd = extras(Xd)
    irregular = tuple(np.diff([0, 1, 5000, 77_777, 77_778, 200_000, ROWS]).tolist())
    for rows, cols in ((10_000, -1), (3 * 4096, 4), (irregular, -1)):  # columns cut too
        got = tall.gram_stats(Xd.rechunk({0: rows, 1: cols}), yd.rechunk({0: rows}), timeout=TIMEOUT)
        assert same_bits(got, ref), rows
    for rows in (10_000, irregular):
        got = tall.gram_stats(Xd.rechunk({0: rows}), yd.rechunk({0: rows}), weights=wd.rechunk({0: rows}),
                              folds=idd.rechunk({0: rows}), timeout=TIMEOUT)
        assert got.fingerprint() == folded[0].fingerprint(), rows
    with pytest.raises(ValueError, match="X and weights must have the same row chunks"):
        tall.gram_stats(Xd.rechunk({0: 10_000}), yd.rechunk({0: 10_000}), weights=wd.rechunk({0: 20_000}))
    assert same_bits(tall.gram_stats(Xd, yd.compute(), timeout=TIMEOUT), ref)  # numpy y
    got = tall.gram_stats(Xd, yd, weights=extras(X)[0], folds=extras(X)[1], timeout=TIMEOUT)  # numpy w, ids
    assert got.fingerprint() == folded[0].fingerprint()
    held = cluster[1].persist([Xd.rechunk({0: 30_000}), yd.rechunk({0: 30_000})])
    assert same_bits(tall.gram_stats(*held, timeout=TIMEOUT), ref)  # in the workers' memory
    assert same_bits(tall.gram_stats(random_pieces(np.random.default_rng(1), X, y)), ref)
    with pytest.raises(ValueError, match="same row chunks"):
        tall.gram_stats(Xd.rechunk({0: 10_000}), yd.rechunk({0: 20_000}))
    with pytest.raises(ValueError, match="unknown chunk sizes"):
        tall.gram_stats(Xd[Xd[:, 1] > 0], yd[Xd[:, 1] > 0])


def test_same_bits_on_one_and_two_workers_and_locally(cluster, data, folded):
    lc, client = cluster
    example, X, y, ref = data
    Xd, yd = example.generate(ROWS, COLS, SEED)
    Xd, yd = Xd.rechunk({0: 25_000}), yd.rechunk({0: 25_000})
    assert same_bits(tall.gram_stats(Xd, yd, timeout=TIMEOUT), ref)
    with local_scheduler():
        assert same_bits(tall.gram_stats(Xd, yd), ref)
    try:
        lc.scale(1)
        deadline = time.monotonic() + TIMEOUT
        while len(client.scheduler_info()["workers"]) != 1:
            assert time.monotonic() < deadline, "the cluster did not shrink"
            time.sleep(0.05)
        assert same_bits(tall.gram_stats(Xd, yd, timeout=TIMEOUT), ref)
        wd, idd = extras(Xd)
        got = tall.gram_stats(Xd, yd, weights=wd, folds=idd, timeout=TIMEOUT)
        assert got.fingerprint() == folded[0].fingerprint()
    finally:
        lc.scale(2)
        client.wait_for_workers(2, timeout=TIMEOUT)


def test_progress_bars_of_dask(cluster, data, capsys):
    example, X, y, ref = data
    Xd, yd = example.generate(ROWS, COLS, SEED)
    assert same_bits(tall.gram_stats(Xd, yd, progress=True, timeout=TIMEOUT), ref)
    with local_scheduler():
        assert same_bits(tall.gram_stats(Xd, yd, progress=True), ref)
    out = capsys.readouterr().out
    assert out.count("100%") == 2, out


def test_same_bits_when_a_worker_is_killed_mid_pass(cluster, data, folded):
    """Tasks of 0.25 s each; once the victim holds finished results and runs another
    task, its process is killed. Dask recomputes what it lost; the bits stay (weights
    and folds by hash included)."""
    lc, client = cluster
    example, X, y, ref = data
    Xd, yd = example.generate(ROWS, COLS, SEED)
    wd = extras(Xd)[0].rechunk({0: 12_288})
    Xd = Xd.rechunk({0: 12_288}).map_blocks(slow, dtype=np.float64)  # 25 tasks
    yd = yd.rechunk({0: 12_288})
    pids = client.run(os.getpid)
    victim = sorted(pids)[0]
    result = {}
    worker = threading.Thread(target=lambda: result.update(
        stats=tall.gram_stats(Xd, yd, weights=wd, folds=5, seed=3, timeout=TIMEOUT)))
    worker.start()
    deadline = time.monotonic() + TIMEOUT
    while not (client.has_what().get(victim) and client.processing().get(victim)):
        assert time.monotonic() < deadline and worker.is_alive(), "never caught the pass mid-run"
        time.sleep(0.01)
    os.kill(pids[victim], signal.SIGKILL)
    assert worker.is_alive()
    worker.join(TIMEOUT + 5)
    assert not worker.is_alive() and result["stats"].fingerprint() == folded[1].fingerprint()
    client.wait_for_workers(2, timeout=TIMEOUT)
    assert pids[victim] not in client.run(os.getpid).values()


def test_example_fingerprint_equals_the_in_memory_one(cluster, data, tmp_path):
    """The example on the cluster: the workers write the rows as Parquet files and read
    them back; its folds' fingerprint is that of the same data in this process, it draws
    its figure, and it removes the files unless asked to keep them."""
    lc, client = cluster
    example, X, y, ref = data
    for keep in ([], ["--keep"]):
        out = subprocess.run(
            [sys.executable, str(ROOT / "examples" / "tall_lasso.py"), "--rows", str(ROWS),
             "--cols", str(COLS), "--seed", str(SEED), "--scheduler", lc.scheduler_address,
             "--data", str(tmp_path / "rows"), "--plot", str(tmp_path / "cv.png"), *keep],
            capture_output=True, text=True, timeout=TIMEOUT, check=True).stdout
        assert f"fingerprint {tall.gram_stats(X, y, folds=10).fingerprint()}" in out
        assert "written by the workers: 5 Parquet files" in out and "<- alpha_1se" in out
        assert "peak memory of worker" in out and "rows/s" in out
        assert (tmp_path / "cv.png").stat().st_size > 10_000
        assert (tmp_path / "rows").exists() == bool(keep)
    assert len(list((tmp_path / "rows").glob("part-*.parquet"))) == 5
