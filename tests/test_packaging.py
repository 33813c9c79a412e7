"""The package builds as a wheel offline and works from a fresh virtual environment."""

import pathlib
import re
import subprocess
import sys
import textwrap
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

SMOKE = textwrap.dedent(
    """
    import os, numpy as np
    import Quandrel._ckernels as k
    from Quandrel._ckernels.regression import _regression as m
    assert os.path.isfile(os.path.join(k.get_include(), "qdl_linalg.h"))
    coef, L, status = m.ols_chol_solve(np.array([[1.0, 1], [1, 2], [1, 3]]), np.array([1.0, 2, 3]))
    assert status == 0 and np.allclose(coef, [0, 1], atol=1e-12)
    print("ok", m.__file__)
    """
)


@pytest.mark.slow
def test_wheel_installs_into_a_fresh_venv(tmp_path):
    def run(*cmd):
        return subprocess.run(cmd, check=True, capture_output=True, text=True, cwd=tmp_path)

    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
        "--disable-pip-version-check", "-w", str(tmp_path / "dist"), str(ROOT))
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    # The system interpreter (not this venv) makes the fresh environment; it sees the
    # system's numpy only through its own site packages.
    base = pathlib.Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
    run(str(base), "-m", "venv", "--system-site-packages", str(tmp_path / "venv"))
    py = str(tmp_path / "venv" / "bin" / "python")
    run(py, "-m", "pip", "install", "--no-deps", "--no-index", "--disable-pip-version-check", str(wheel))
    out = run(py, "-c", SMOKE).stdout
    assert out.startswith("ok ") and str(tmp_path / "venv") in out


def test_native_package_version_is_the_python_one():
    """find_package(Quandrel VERSION) matches against the CMake project's version."""
    cmake = re.search(r"project\(Quandrel VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())
    assert cmake[1] == tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
