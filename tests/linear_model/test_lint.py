"""The estimators' package is ruff- and mypy --strict-clean (skipped where a tool is missing)."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "Quandrel" / "linear_model"


@pytest.mark.parametrize("command", [["ruff", "check"], [sys.executable, "-m", "mypy", "--strict"]],
                         ids=["ruff", "mypy"])
def test_clean(command):
    if command[0] == "ruff" and shutil.which("ruff") is None:
        pytest.skip("ruff is not installed")
    if command[0] == sys.executable:
        pytest.importorskip("mypy")
    done = subprocess.run([*command, str(PACKAGE)], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
