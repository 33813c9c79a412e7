"""The real-data example runs as a user runs it (writing R's diamonds to Parquet first),
and prints what the README says it finds: the chosen penalties, every column's
coefficient by name, grades whose price effects are ordered as the grades are."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("Rscript") is None, reason="needs R")
def test_the_lasso_on_diamonds_prints_its_findings(tmp_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("matplotlib")
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "diamonds_lasso.py"), "--data",
                          str(tmp_path / "d"), "--plot", str(tmp_path / "cv.png")],
                         capture_output=True, text=True, timeout=120, check=True).stdout
    assert "53,940 rows from 6 Parquet files" in out and "fit statuses [0]" in out
    alphas = dict(re.findall(r"^(alpha_min|alpha_1se) (\S+): \d+ of 23 columns", out, re.M))
    assert float(alphas["alpha_1se"]) > float(alphas["alpha_min"]) > 0
    rms = [float(r) for r in re.findall(r"rms error of log_price (\S+)", out)]
    assert len(rms) == 2 and 0.1 < rms[0] <= rms[1] < 0.2
    coef = {name: (float(a), float(b)) for name, a, b in
            re.findall(r"^  (\(intercept\)|\w+) +(-?\d+\.\d+) +(-?\d+\.\d+)", out, re.M)}
    assert len(coef) == 24 and "price" not in coef and "carat" not in coef
    assert 1.5 < coef["log_carat"][1] < 2.0
    left_out = re.search(r"^left out at alpha_1se: (.*)$", out, re.M).group(1).split(", ")
    assert "y_mm" in left_out and all(coef[c][1] == 0.0 for c in left_out)
    # Better grades, higher prices, in the grades' order (colour: D is the best).
    for factor, levels, sign in (("cut", ["Good", "Very_Good", "Premium", "Ideal"], 1),
                                 ("color", ["E", "F", "G", "H", "I", "J"], -1),
                                 ("clarity", ["SI2", "SI1", "VS2", "VS1", "VVS2", "VVS1", "IF"], 1)):
        effects = [sign * coef[f"{factor}_{level}"][1] for level in levels]
        assert 0 < effects[0] and all(a < b for a, b in zip(effects, effects[1:])), (factor, effects)
    assert (tmp_path / "d" / "_SUCCESS").exists() and (tmp_path / "cv.png").stat().st_size > 10_000
