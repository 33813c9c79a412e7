"""The README's threaded cross-validation: threads give exactly the serial results."""

import importlib.util
import pathlib
import re

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_threaded_folds_equal_serial():
    cv = load("parallel_cv")
    X, y = cv.diabetes_scaled_up(rows=20_000, seed=3)
    alphas = np.geomspace(1e-5, 1e-1, 12)
    serial = cv.cross_validate(X, y, alphas, workers=1)
    threaded = cv.cross_validate(X, y, alphas, workers=2)
    assert np.array_equal(serial, threaded)
    assert serial.shape == (12,) and np.isfinite(serial).all()


def test_readme_shows_the_tested_code():
    readme = (ROOT / "README.md").read_text()
    source = (ROOT / "examples" / "parallel_cv.py").read_text()
    (block,) = re.findall(r"```python\n(# examples/parallel_cv\.py.*?)```", readme, re.S)
    for chunk in block.split("\n\n")[1:]:
        assert chunk.strip() in source, chunk
