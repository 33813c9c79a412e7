"""The estimators' package is ruff- and mypy --strict-clean (skipped where a tool is missing)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "Quandrel" / "linear_model"


# The sources are the same in every build: the sanitizer leg (its runtime preloaded into
# every process, the tools included) has nothing to add.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="checked in the plain build")
@pytest.mark.parametrize("command", [["ruff", "check"], [sys.executable, "-m", "mypy", "--strict"]],
                         ids=["ruff", "mypy"])
def test_clean(command):
    if command[0] == "ruff" and shutil.which("ruff") is None:
        pytest.skip("ruff is not installed")
    if command[0] == sys.executable:
        pytest.importorskip("mypy")
    done = subprocess.run([*command, str(PACKAGE)], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
