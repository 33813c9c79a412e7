"""The Poisson example runs as a user runs it (the data written to Parquet first) and
prints what the README says it finds."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_doctor_visits_prints_its_findings(tmp_path):
    pytest.importorskip("pyarrow")
    pytest.importorskip("matplotlib")
    pytest.importorskip("statsmodels")
    out = subprocess.run([sys.executable, str(ROOT / "examples" / "doctor_visits.py"), "--data",
                          str(tmp_path / "d"), "--plot-prefix", str(tmp_path / "dv")],
                         capture_output=True, text=True, timeout=120, check=True).stdout
    assert "20,190 rows from 4 Parquet files" in out and "fit statuses [0]" in out
    chosen = dict(re.findall(r"^(alpha_min|alpha_1se) (\S+):", out, re.M))
    assert float(chosen["alpha_1se"]) > float(chosen["alpha_min"]) > 0
    ratios = {name: (float(a), float(b)) for name, a, b in
              re.findall(r"^  (\w+) +(\d+\.\d+) +(\d+\.\d+)$", out, re.M)}
    assert len(ratios) == 9
    # More chronic disease and a physical limitation, more visits; more coinsurance, fewer.
    assert ratios["disea"][0] > 1 and ratios["physlm"][0] > 1 and ratios["lncoins"][0] < 1
    for suffix in ("cv", "path"):
        assert (tmp_path / f"dv_{suffix}.png").stat().st_size > 10_000
