"""The Parquet-to-predictions example runs as a user runs it, small: a script that starts
a cluster of processes, the predictions written beside every key with page checksums,
equal to the model's predictions of the same rows in memory."""

import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_from_a_parquet_folder_to_predictions(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    pytest.importorskip("distributed")
    from Quandrel.linear_model import LassoCV

    data, out = tmp_path / "rows", tmp_path / "pred"
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "lasso_cv_parquet.py"), "--rows", "25000",
                          "--cols", "6", "--data", str(data), "--out", str(out)],
                         capture_output=True, text=True, timeout=180, check=True)
    assert "25,000 rows of 6 features from 1 Parquet files" in run.stdout, run.stdout
    assert "the same as predict(source): True" in run.stdout
    # The written files, read back: checksums verified, every key once, in order.
    rows = pq.read_table(data, page_checksum_verification=True)
    pred = pq.read_table(out, page_checksum_verification=True)
    assert pq.ParquetFile(next(out.glob("*.parquet"))).metadata.num_rows == 25_000
    assert pred.column_names == ["id", "y_pred"] and pred["id"].to_pylist() == rows["id"].to_pylist()
    # The same rows in memory give the same model (the statistics are the same bits).
    features = [f"x{j}" for j in range(6)]
    frame = rows.to_pandas()
    model = LassoCV(cv=10).fit(frame[features], frame["y"])
    alpha = float(re.search(r"alpha_ (\S+)", run.stdout).group(1))
    assert alpha == pytest.approx(model.alpha_, rel=1e-3)
    np.testing.assert_allclose(pred["y_pred"].to_numpy(), model.predict(frame[features]), rtol=1e-12)


def test_every_script_that_starts_a_cluster_has_the_main_guard():
    """Worker processes start as fresh interpreters that import the main script first: a script
    that starts a cluster at its top level re-runs itself in every worker (README)."""
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
    blocks = [(f"{p.name}, block {i}", b) for p in pages
              for i, b in enumerate(re.findall(r"```python\n(.*?)```", p.read_text(), re.S))]
    scripts = [(p.name, p.read_text()) for p in sorted((ROOT / "examples").glob("*.py"))]
    starting = [(name, text) for name, text in scripts + blocks if "LocalCluster(" in text]
    assert len(starting) >= 4
    for name, text in starting:
        assert 'if __name__ == "__main__":' in text, name
