"""Shared checks of the LARS-lasso paths (tests/regression): a path through an exported
routine, trimmed to its knots, and the faults of a path against the lasso optimality
conditions."""

import numpy as np

from native import P, f64, fn

OK = 0
TOL = 1e-10


def run_lars(G, c, routine=None, max_iter=None, tol=TOL):
    """(lam_path, beta_path, status) trimmed to the knots written."""
    routine = routine or fn("qdl_lars_lasso_gram")
    G, c = np.ascontiguousarray(G, dtype=np.float64), np.ascontiguousarray(c, dtype=np.float64)
    k = len(c)
    max_iter = 8 * k + 8 if max_iter is None else max_iter
    lam, beta, n = f64(max_iter + 1), f64(max_iter + 1, k), np.array([-1], dtype=np.int64)
    status = routine(P(G), P(c), k, max_iter, tol, P(lam), P(beta), P(n))
    return lam[: n[0]], beta[: n[0]], status


def path_faults(G, c, lam, beta, status, rel=1e-10):
    """What breaks the lasso optimality conditions along a path (an empty list if nothing):
    at every knot and at the midpoint of every segment, with r = c - G b and
    sigma = max_j(|c_j| + sum_l |G_jl b_l|), r_j = lam sign(b_j) where b_j != 0 and
    |r_j| <= lam elsewhere, both within rel * sigma; no coefficient changes sign inside a
    segment; penalties do not increase; the path ends at penalty 0 with r = 0 (both
    within rel * sigma) and status 0."""
    faults = []
    if status != OK:
        faults.append(f"status {status}")
    if not (np.isfinite(lam).all() and np.isfinite(beta).all()):
        return faults + ["non-finite knot"]
    if (np.diff(lam) > 0).any():
        faults.append("penalty increases")
    if ((np.sign(beta[:-1]) * np.sign(beta[1:])) < 0).any():
        faults.append("sign change inside a segment")
    mids_lam, mids_beta = (lam[:-1] + lam[1:]) / 2, (beta[:-1] + beta[1:]) / 2
    for where, lams, rows in (("knot", lam, beta), ("midpoint", mids_lam, mids_beta)):
        r = c - rows @ G.T
        sigma = (np.abs(c) + np.abs(rows) @ np.abs(G).T).max(axis=1, keepdims=True)
        on, slack = rows != 0, rel * sigma
        bad = np.where(on, np.abs(r - lams[:, None] * np.sign(rows)) > slack,
                       np.abs(r) > lams[:, None] + slack)  # fmt: skip
        if bad.any():
            faults.append(f"{where} {np.argwhere(bad)[0].tolist()} not optimal")
    r_end = c - G @ beta[-1]
    sigma = (np.abs(c) + np.abs(G) @ np.abs(beta[-1])).max()
    if abs(lam[-1]) > rel * sigma or np.abs(r_end).max() > rel * sigma:
        faults.append("does not end at the least-squares solution")
    return faults
