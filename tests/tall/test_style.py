"""The public Python of Quandrel.tall as the ecosystem expects it: every docstring
example runs, ruff finds nothing, and mypy --strict finds nothing (each tool skipped
when it is not installed)."""

import doctest
import importlib
import os
import pathlib
import pkgutil
import shutil
import subprocess

import pytest

from Quandrel import tall

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "src" / "Quandrel" / "tall"
MODULES = sorted(m.name for m in pkgutil.walk_packages(tall.__path__, tall.__name__ + "."))


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0


@pytest.mark.parametrize("tool, args", [
    ("ruff", ["check", "--no-cache", str(PACKAGE)]),
    ("mypy", ["--strict", str(PACKAGE)]),
])
def test_linters_are_clean(tool, args):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sources are checked in the plain build; the sanitizer runtime "
                    "preloaded into the tools adds nothing")
    out = subprocess.run([tool, *args], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
