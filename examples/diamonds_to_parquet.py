"""Real data for the tall-data workflow: the prices of 53,940 round diamonds (R's ggplot2
`diamonds`), written as a folder of Parquet files the way Spark or Dask would leave them.

The regression question: what a diamond's price is, given its weight (carat), cut,
colour, clarity, proportions (depth and table, in %) and size (x, y, z in mm). Prices grow
about as a power of the weight, so the usual model is log(price) on log(carat) and the
rest; both scales are written.

Encoding, as an analyst fitting a linear model with an intercept would: the three graded
factors are one-hot (treatment) coded against their lowest grade, one 0/1 column per
other level (cut against Fair, colour against D, the best, clarity against I1); the
levels and their order are R's. The rows keep R's order (sorted by price within runs,
as the data set ships). Columns:

    carat depth table x_mm y_mm z_mm log_carat
    cut_Good cut_Very_Good cut_Premium cut_Ideal  color_E .. color_J
    clarity_SI2 clarity_SI1 clarity_VS2 clarity_VS1 clarity_VVS2 clarity_VVS1 clarity_IF
    price log_price

    tools/dev shell python examples/diamonds_to_parquet.py [--out out/diamonds] [--files 6]

Needs R (Rscript) with ggplot2, and pyarrow.
"""

import argparse
import os
import pathlib
import subprocess
import tempfile

import numpy as np

FACTORS = ("cut", "color", "clarity")
NUMERIC = {"carat": "carat", "depth": "depth", "table": "table", "x": "x_mm", "y": "y_mm", "z": "z_mm"}
EXPORT = """
d <- ggplot2::diamonds
write.csv(d, file = commandArgs(TRUE)[1], row.names = FALSE)
for (f in c("cut", "color", "clarity")) cat(f, levels(d[[f]]), sep = "\\t", fill = TRUE)
"""


def from_r():
    """The data set as a pyarrow table (factors as strings) and each factor's levels."""
    import pyarrow.csv as pv

    with tempfile.TemporaryDirectory() as tmp:
        csv = os.path.join(tmp, "diamonds.csv")
        out = subprocess.run(["Rscript", "-e", EXPORT, csv], capture_output=True, text=True,
                             check=True).stdout
        table = pv.read_csv(csv)
    levels = {line.split("\t")[0]: line.split("\t")[1:] for line in out.strip().splitlines()}
    return table, levels


def encode(table, levels):
    """{column name: float64 array} in the order of the module's docstring."""
    cols = {new: table[old].to_numpy().astype(np.float64) for old, new in NUMERIC.items()}
    cols["log_carat"] = np.log(cols["carat"])
    for factor in FACTORS:
        values = table[factor].to_numpy(zero_copy_only=False)
        unknown = set(values) - set(levels[factor])
        if unknown:
            raise ValueError(f"{factor}: values {sorted(unknown)} are not among R's levels")
        for level in levels[factor][1:]:  # the first level is the reference
            cols[f"{factor}_{level.replace(' ', '_')}"] = (values == level).astype(np.float64)
    cols["price"] = table["price"].to_numpy().astype(np.float64)
    cols["log_price"] = np.log(cols["price"])
    return cols


def write(cols, out, files):
    """The rows in `files` Parquet files of consecutive rows, row groups of 4096 rows,
    and an empty _SUCCESS marker, as Spark leaves a finished job."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob("part-*.parquet"):
        old.unlink()
    table = pa.table(cols)
    edges = np.linspace(0, table.num_rows, files + 1).astype(int)
    for i, (a, b) in enumerate(zip(edges, edges[1:])):
        pq.write_table(table.slice(a, b - a), out / f"part-{i:05d}.parquet", row_group_size=4096,
                       write_page_checksum=True)
    (out / "_SUCCESS").touch()
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default="out/diamonds", help="folder of the Parquet files")
    ap.add_argument("--files", type=int, default=6)
    args = ap.parse_args(argv)
    table, levels = from_r()
    cols = encode(table, levels)
    out = write(cols, args.out, args.files)
    print(f"{table.num_rows:,} diamonds, {len(cols)} columns, in {args.files} Parquet files in {out}")
    for factor in FACTORS:
        print(f"  {factor}: reference {levels[factor][0]!r}, indicators for {levels[factor][1:]}")
    print(f"  price {cols['price'].min():.0f} to {cols['price'].max():.0f} USD, "
          f"carat {cols['carat'].min():.2f} to {cols['carat'].max():.2f}")


if __name__ == "__main__":
    main()
