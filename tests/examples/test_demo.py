"""The README's main-job command runs and writes its figures."""

import importlib.util
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_demo_runs_and_writes_figures(tmp_path, capsys):
    spec = importlib.util.spec_from_file_location("demo", ROOT / "examples" / "demo.py")
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    demo.main(["--out", str(tmp_path)])
    text = capsys.readouterr().out
    for png in ("lasso_path.png", "ridge_criteria.png"):
        data = (tmp_path / png).read_bytes()
        assert data.startswith(b"\x89PNG") and len(data) > 10_000
        assert png in text
    assert "13 knots, status 0" in text and "100 of 100 points converged" in text
