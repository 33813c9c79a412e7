"""The LARS-lasso path with an updated Cholesky factor (qdl_lars_lasso_gram_update)
against the path that eliminates the active block afresh at every knot: one checker of
equal knots over generated problems without ties, and its bits pinned on exact data so
that every instruction-set build must give them. (Ties, worked paths, singular blocks
and the shared cases: test_lasso_ties.py and test_lasso.py, for both routines.)"""

import hashlib

import numpy as np
import pytest

from native import bits, fn
from lars_checks import path_faults, run_lars

OK, NC = 0, -2
eliminated, updated = fn("qdl_lars_lasso_gram"), fn("qdl_lars_lasso_gram_update")


def untied_problems(seed, count):
    """(G, c) from Gaussian data, k from 1 to 40 (sometimes up to 120), half of them
    with a shared component that makes coefficients leave the path, some with fewer
    rows than columns (G singular: both paths end non-convergent)."""
    rng = np.random.default_rng(seed)
    for i in range(count):
        k = int(rng.integers(1, 121 if i % 50 == 0 else 41))
        n = int(rng.integers(max(2, k // 2), 3 * k + 5)) if i % 10 == 0 else int(rng.integers(k + 1, 3 * k + 5))
        X = rng.standard_normal((n, k))
        if i % 2:
            X = X + rng.uniform(0.5, 3.0) * rng.standard_normal((n, 1))
        y = X @ (rng.standard_normal(k) * (rng.random(k) < 0.6)) + rng.standard_normal(n)
        yield X.T @ X / n, X.T @ y / n


def test_knots_equal_the_eliminating_paths_within_1e_10():
    drops = finished = 0
    for G, c in untied_problems(30, 1500):
        lam_e, beta_e, status_e = run_lars(G, c, eliminated)
        lam_u, beta_u, status_u = run_lars(G, c, updated)
        assert (status_u, len(lam_u)) == (status_e, len(lam_e))
        np.testing.assert_allclose(lam_u, lam_e, rtol=0, atol=1e-10 * lam_e[0])
        np.testing.assert_allclose(beta_u, beta_e, rtol=0, atol=1e-10 * np.abs(beta_e).max(initial=1e-300))
        assert ((beta_u == 0) == (beta_e == 0)).all()  # the same variables in and out at every knot
        drops += int(((beta_e[:-1] != 0) & (beta_e[1:] == 0)).sum())
        if status_u == OK:
            finished += 1
            assert not path_faults(G, c, lam_u, beta_u, status_u)
    assert drops > 500 and finished > 1000  # the checker saw downdates and whole paths


def exact_problem(k, seed):
    """Small-integer data: G and c exact whatever computes X'X, so the path's bits
    depend on the kernel alone."""
    rng = np.random.default_rng(seed)
    X = rng.integers(-4, 5, size=(2 * k + 7, k)).astype(np.float64)
    X += 2 * rng.integers(-4, 5, size=(len(X), 1))  # a shared component: coefficients leave
    y = rng.integers(-9, 10, size=len(X)).astype(np.float64)
    return X.T @ X, X.T @ y


@pytest.mark.parametrize(
    "k, seed, knots, drops, digest",
    [(37, 3, 48, 5, "eccaabd50c46ae57"), (37, 7, 42, 2, "4ef03f03c7ae709d")],  # 37 = 32 + 5: every vector width
)
def test_bits_are_pinned_for_every_instruction_set(k, seed, knots, drops, digest):
    G, c = exact_problem(k, seed)
    lam, beta, status = run_lars(G, c, updated)
    assert status == OK and len(lam) == knots and ((beta[:-1] != 0) & (beta[1:] == 0)).sum() == drops
    assert not path_faults(G, c, lam, beta, status)
    assert hashlib.sha256(bits(lam).tobytes() + bits(beta).tobytes()).hexdigest()[:16] == digest


def test_the_routines_function_is_the_kernel_checked_as_lars_lasso_gram():
    """_routines.lars_lasso_gram_update: the kernel's path (trimmed, the same bits), and
    every refusal with lars_lasso_gram's exception and message."""
    from Quandrel._ckernels.regression import _regression, _routines

    G, c = exact_problem(37, 3)
    lam, beta, status = _routines.lars_lasso_gram_update(G, c, 100, 1e-10)
    want = run_lars(G, c, updated, 100)
    assert status == want[2] == OK
    assert np.array_equal(bits(lam), bits(want[0])) and np.array_equal(bits(beta), bits(want[1]))
    assert _routines.lars_lasso_gram_update(G, c, 3, 1e-10)[2] == NC
    for args in [(G, c, -1, 0.0), (G[:5], c, 5, 0.0), (G, c[:5], 5, 0.0), (G, c, 2**63 - 1, 0.0)]:
        with pytest.raises(ValueError) as want:
            _regression.lars_lasso_gram(*args)
        message = str(want.value).replace("lars_lasso_gram()", "lars_lasso_gram_update()")
        with pytest.raises(ValueError) as got:
            _routines.lars_lasso_gram_update(*args)
        assert str(got.value) == message
