"""The library's main job on real data: scikit-learn's diabetes set (442 x 10).

OLS, a ridge grid chosen by AIC and BIC, the LARS-lasso path with the order in which
variables enter and leave, and the elastic-net path with its active-set degrees of
freedom, each timed beside scikit-learn's equivalent. Writes two PNG figures.

Run with `tools/dev demo [--out DIR]`.
"""

import argparse
import pathlib
import time

import numpy as np
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression, enet_path, lars_path_gram
from sklearn.linear_model import Ridge

from Quandrel._ckernels.regression import _regression as qr

AIC, BIC = 1, 2


def best_of(fn, budget=0.2):
    """Fastest of repeated calls within about `budget` seconds."""
    best, spent = float("inf"), 0.0
    while spent < budget:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent = min(best, dt), spent + dt
    return best


def timing(ours, theirs, what):
    a, b = best_of(ours), best_of(theirs)
    print(f"  time: {a * 1e6:9.1f} us   scikit-learn {what}: {b * 1e6:9.1f} us   ({b / a:.0f}x)")


def ols(X1, y, names):
    print("== OLS through the Cholesky normal equations (ols_chol_solve)")
    coef, L, status = qr.ols_chol_solve(X1, y)
    ref = LinearRegression(fit_intercept=False).fit(X1, y).coef_
    print(f"  {'':>10} {'coefficient':>13} {'scikit-learn':>13}")
    for name, a, b in zip(names, coef, ref):
        print(f"  {name:>10} {a:13.4f} {b:13.4f}")
    print(f"  status {status}, max difference {np.abs(coef - ref).max():.1e}")
    timing(lambda: qr.ols_chol_solve(X1, y), lambda: LinearRegression(fit_intercept=False).fit(X1, y),
           "LinearRegression")


def ridge(X1, y, alphas):
    print("\n== Ridge over 100 penalties (ridge_grid_search; column 0 = unpenalised intercept)")
    out = {}
    for crit, label in [(AIC, "AIC"), (BIC, "BIC")]:
        alpha, coef, obj, status = qr.ridge_grid_search(X1, y, alphas, crit, True)
        out[label] = (alpha, obj)
        print(f"  {label}: alpha = {alpha:.3e}, {label} = {obj:.2f}, status {status}")
    # The whole curve: each penalty scored on its own (a grid of one).
    curves = {
        label: np.array([qr.ridge_grid_search(X1, y, alphas[i : i + 1], crit, True)[2] for i in range(len(alphas))])
        for crit, label in [(AIC, "AIC"), (BIC, "BIC")]
    }
    n = len(y)

    def sklearn_grid():  # the same penalties on sklearn's scale (alpha * n), one fit each
        for a in alphas:
            Ridge(alpha=a * n, fit_intercept=True).fit(X1[:, 1:], y)

    timing(lambda: qr.ridge_grid_search(X1, y, alphas, AIC, True), sklearn_grid, "Ridge x 100")
    return out, curves


def lasso(X, y, names):
    print("\n== LARS-lasso path (lars_lasso_gram) on G = X'X/n, c = X'y/n")
    n = len(y)
    G, c = X.T @ X / n, X.T @ y / n
    lam, beta, status = qr.lars_lasso_gram(G, c, 500, 1e-12)
    print(f"  {len(lam)} knots, status {status}")
    # Row i holds the coefficients at knot i: a variable that enters there is still 0
    # in row i and non-zero after it; one that leaves is non-zero before it and 0 in it.
    nz = beta != 0
    for i in range(len(lam)):
        events = [f"+{names[j]}" for j in np.flatnonzero(~nz[i] & nz[i + 1])] if i + 1 < len(lam) else []
        events += [f"-{names[j]}" for j in np.flatnonzero(nz[i - 1] & ~nz[i])] if i > 0 else []
        print(f"  knot {i:2d}: lambda = {lam[i]:10.5f}   {' '.join(events)}")
    ref_alphas, _, ref_coefs = lars_path_gram(Xy=X.T @ y, Gram=X.T @ X, n_samples=n, method="lasso")
    print(f"  scikit-learn lars_path_gram: {len(ref_alphas)} knots, max difference "
          f"{np.abs(beta - ref_coefs.T).max():.1e}" if len(ref_alphas) == len(lam) else "")
    timing(lambda: qr.lars_lasso_gram(G, c, 500, 1e-12),
           lambda: lars_path_gram(Xy=X.T @ y, Gram=X.T @ X, n_samples=n, method="lasso"),
           "lars_path_gram")
    return lam, beta


def enet(X, y):
    print("\n== Elastic-net path, l1_ratio 0.5 (elastic_net_gram_cd_path, elastic_net_active_dof)")
    n = len(y)
    G, g = X.T @ X / n, X.T @ y / n
    amax = np.abs(g).max() / 0.5
    alphas = np.geomspace(amax, amax * 1e-3, 100)
    coefs, statuses = qr.elastic_net_gram_cd_path(G, g, alphas, 0.5, 10000, 1e-10)
    dof = [qr.elastic_net_active_dof(G, b, a * 0.5, True, 1e-12) for a, b in zip(alphas, coefs)]
    print(f"  {np.count_nonzero(statuses == 0)} of {len(alphas)} points converged")
    print("  (dof: the active-set degrees of freedom, the unpenalised intercept's 1 included,\n"
          "  so a path with no active variable has dof 1)")
    print(f"  {'alpha':>10} {'active':>7} {'dof':>7}")
    for i in range(0, 100, 11):
        print(f"  {alphas[i]:10.5f} {np.count_nonzero(coefs[i]):7d} {dof[i]:7.3f}")
    _, ref, _ = enet_path(X, y, l1_ratio=0.5, alphas=alphas, precompute=X.T @ X, tol=1e-10, max_iter=10000)
    print(f"  max difference from scikit-learn enet_path: {np.abs(coefs - ref.T).max():.1e}")
    timing(lambda: qr.elastic_net_gram_cd_path(G, g, alphas, 0.5, 10000, 1e-6),
           lambda: enet_path(X, y, l1_ratio=0.5, alphas=alphas, precompute=X.T @ X, tol=1e-4),
           "enet_path")


def figures(out, names, lam, beta, alphas, curves, chosen):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5))
    # A log axis has no 0: a last knot at lambda = 0 (the least-squares fit) is drawn a
    # decade below the smallest positive knot, at the right edge, and labelled so.
    zero = lam <= 0
    x = np.where(zero, lam[~zero].min() / 10, lam)
    for j, name in enumerate(names):
        (line,) = ax.plot(x, beta[:, j], marker="o", markersize=3)
        ax.annotate(name, (x[-1], beta[-1, j]), xytext=(4, 0), textcoords="offset points",
                    color=line.get_color(), va="center", fontsize=8)
    for v, z in zip(x, zero):
        ax.axvline(v, color="0.5" if z else "0.85", linewidth=0.6, zorder=0,
                   linestyle="--" if z else "-")
    ax.set_xscale("log")
    ax.invert_xaxis()
    if zero.any():
        ax.annotate("lambda = 0 (least squares)", (x[zero][0], 1.0),
                    xycoords=("data", "axes fraction"), xytext=(0, 3), textcoords="offset points",
                    ha="right", va="bottom", fontsize=8)
    ax.set_xlabel("penalty lambda, decreasing to the right (log scale; knots marked)")
    ax.set_ylabel("coefficient")
    ax.set_title("LARS-lasso path, diabetes")
    fig.tight_layout()
    lasso_png = out / "lasso_path.png"
    fig.savefig(lasso_png, dpi=110)
    plt.close(fig)

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for label, style in [("AIC", "-"), ("BIC", "--")]:
        (line,) = ax.plot(alphas, curves[label], style, label=label)
        ax.axvline(chosen[label][0], linestyle=style, color=line.get_color(), linewidth=0.8,
                   alpha=0.6, label=f"{label} choice, alpha = {chosen[label][0]:.2e}")
    ax.set_xscale("log")
    ax.set_xlabel("ridge penalty alpha (scale of X'X/n)")
    ax.set_ylabel("criterion")
    ax.set_title("Ridge: AIC and BIC over the grid (selected penalties marked)")
    ax.legend()
    fig.tight_layout()
    ridge_png = out / "ridge_criteria.png"
    fig.savefig(ridge_png, dpi=110)
    plt.close(fig)
    return lasso_png, ridge_png


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default="out", help="folder for the figures (default: out/)")
    args = ap.parse_args(argv)
    data = load_diabetes()
    X = np.ascontiguousarray(data.data)
    y = data.target.astype(np.float64)
    y = y - y.mean()  # the lasso and elastic net run without intercept: centre the response
    X1 = np.column_stack([np.ones(len(y)), X])
    names = list(data.feature_names)
    print(f"diabetes: {X.shape[0]} observations, {X.shape[1]} standardised features\n")

    ols(X1, data.target.astype(np.float64), ["intercept", *names])
    alphas = np.geomspace(1e-6, 1.0, 100)
    chosen, curves = ridge(X1, data.target.astype(np.float64), alphas)
    lam, beta = lasso(X, y, names)
    enet(X, y)

    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    paths = figures(out, names, lam, beta, alphas, curves, chosen)
    print("\nfigures written: " + ", ".join(str(p.resolve()) for p in paths))


if __name__ == "__main__":
    main()
