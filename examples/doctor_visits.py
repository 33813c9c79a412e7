"""How cost sharing changes doctor visits: a cross-validated Poisson lasso on real data
read from Parquet files.

The data are the RAND Health Insurance Experiment's 20,190 person-years as statsmodels
ships them (`statsmodels.datasets.randhie`): the count of outpatient visits to a
doctor (`mdvis`) and nine columns: the plan's coinsurance (log(coinsurance + 1)),
whether it had an individual deductible, the participation incentive and the maximum
dollar expenditure (logs), a physical limitation, the number of chronic diseases, and
self-rated health (good, fair, poor against excellent). The example writes them to a
folder of Parquet files (four files, row groups of 2,000 rows, page checksums on) and
fits from the files, as a user would fit data far larger than these.

Why a Poisson lasso, standardised, cross-validated over 10 folds:
  - Visits are counts; the log link makes each coefficient a ratio of expected visits
    (exp(b) per unit of the column).
  - The penalty picks which of the nine columns matter for the count beside the
    others; the columns are on unlike scales (logs, counts, 0/1), so each is penalised
    on the scale of its spread (standardize=True, glmnet's default).
  - Every fold's model advances in the same scans over the files as the model on all
    rows (`tall.glm_path(source, folds=10)`), each scan one Newton step for all of
    them.

Prints the cross-validated deviance around the chosen penalties, alpha_min and
alpha_1se, the visit ratios at both, and the scans made. Draws the cross-validated
deviance with its standard-error band and both penalties, and the coefficient path,
into out/doctor_visits_cv.png and out/doctor_visits_path.png.

    tools/dev shell python examples/doctor_visits.py [--data out/randhie]
        [--folds 10] [--plot-prefix out/doctor_visits]   (prefix "" for no plots)

Needs statsmodels (its data), pyarrow and matplotlib.
"""

import argparse
import itertools
import pathlib
import time

import numpy as np

from Quandrel import tall

TARGET = "mdvis"
ROW_GROUP, FILES = 2_000, 4


def write_parquet(folder):
    """The data as FILES Parquet files in `folder` (with page checksums); the columns' names."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    import statsmodels.datasets.randhie as randhie

    frame = randhie.load_pandas().data.astype(np.float64)
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("*.parquet"):
        old.unlink()
    cuts = np.linspace(0, len(frame), FILES + 1).astype(int)
    for i, (a, b) in enumerate(itertools.pairwise(cuts)):
        pq.write_table(pa.Table.from_pandas(frame.iloc[a:b], preserve_index=False),
                       folder / f"part-{i:02d}.parquet", row_group_size=ROW_GROUP,
                       write_page_checksum=True)
    return [c for c in frame.columns if c != TARGET]


def plots(cv, names, prefix):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x = np.log(cv.alphas)
    fig, ax = plt.subplots(figsize=(7, 4.5))
    ax.fill_between(x, cv.cv_mean - cv.cv_se, cv.cv_mean + cv.cv_se, color="0.85", label="± 1 se")
    ax.plot(x, cv.cv_mean, ".-", color="firebrick", label="cross-validated deviance")
    for alpha, style, label in ((cv.alpha_min, "--", "alpha_min"), (cv.alpha_1se, ":", "alpha_1se")):
        ax.axvline(np.log(alpha), color="k", linestyle=style, label=label)
    ax.set_xlabel("log(alpha)")
    ax.set_ylabel("mean Poisson deviance per row")
    ax.legend()
    fig.tight_layout()
    fig.savefig(f"{prefix}_cv.png", dpi=120)
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for j, name in enumerate(names):
        ax.plot(x, cv.fit.coef[:, j], label=name)
    for alpha, style in ((cv.alpha_min, "--"), (cv.alpha_1se, ":")):
        ax.axvline(np.log(alpha), color="k", linestyle=style)
    ax.set_xlabel("log(alpha)")
    ax.set_ylabel("coefficient (log visit ratio per unit)")
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(f"{prefix}_path.png", dpi=120)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", default="out/randhie")
    ap.add_argument("--folds", type=int, default=10)
    ap.add_argument("--plot-prefix", default="out/doctor_visits")
    args = ap.parse_args(argv)
    folder = pathlib.Path(args.data)
    names = write_parquet(folder)
    src = tall.source(str(folder), names, TARGET)
    t0 = time.perf_counter()
    cv = tall.glm_path(src, None, "poisson", standardize=True, folds=args.folds)
    seconds = time.perf_counter() - t0
    fit = cv.fit
    print(f"{src.n_rows:,} rows from {len(src.paths)} Parquet files; Poisson lasso, "
          f"{len(cv.alphas)} penalties, {args.folds}-fold CV: {cv.n_passes} scans in {seconds:.1f} s")
    print(f"null deviance {fit.null_deviance:.1f}; fit statuses {np.unique(fit.status).tolist()}")
    for label, i in (("alpha_min", cv.index_min), ("alpha_1se", cv.index_1se)):
        print(f"{label} {cv.alphas[i]:.5g}: deviance per row {cv.cv_mean[i]:.4f} ± {cv.cv_se[i]:.4f}, "
              f"{np.count_nonzero(fit.coef[i])} of {len(names)} columns, dev_ratio {fit.dev_ratio[i]:.4f}")
    print(f"\nvisit ratio exp(b) per unit   {'alpha_min':>10} {'alpha_1se':>10}")
    print(f"  {'(intercept: visits)':<28} {np.exp(fit.intercept[cv.index_min]):10.4f} "
          f"{np.exp(fit.intercept[cv.index_1se]):10.4f}")
    for j, name in enumerate(names):
        print(f"  {name:<28} {np.exp(fit.coef[cv.index_min, j]):10.4f} {np.exp(fit.coef[cv.index_1se, j]):10.4f}")
    if args.plot_prefix:
        plots(cv, names, args.plot_prefix)
        print(f"\nplots: {args.plot_prefix}_cv.png, {args.plot_prefix}_path.png")


if __name__ == "__main__":
    main()
