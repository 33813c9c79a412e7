"""The real data of the tall-data example: R's diamonds, encoded and written as a
folder of Parquet files that tall.source reads."""

import importlib.util
import pathlib
import shutil

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("Rscript") is None, reason="needs R")
def test_diamonds_are_written_encoded_and_read_back(tmp_path, capsys):
    pytest.importorskip("pyarrow")
    from Quandrel import tall

    spec = importlib.util.spec_from_file_location("diamonds", ROOT / "examples" / "diamonds_to_parquet.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main(["--out", str(tmp_path), "--files", "3"])
    assert "53,940 diamonds, 26 columns, in 3 Parquet files" in capsys.readouterr().out
    src = tall.source(tmp_path, None, "log_price")
    assert src.n_rows == 53_940 and len(src.columns) == 25 and (tmp_path / "_SUCCESS").exists()
    X = np.concatenate([X for X, _ in src])
    y = np.concatenate([y for _, y in src])
    col = {name: X[:, j] for j, name in enumerate(src.columns)}
    assert np.array_equal(y, np.log(col["price"])) and np.array_equal(col["log_carat"], np.log(col["carat"]))
    for factor, levels in (("cut", 4), ("color", 6), ("clarity", 7)):
        dummies = np.column_stack([v for name, v in col.items() if name.startswith(factor + "_")])
        assert dummies.shape[1] == levels and set(np.unique(dummies.sum(axis=1))) == {0.0, 1.0}
