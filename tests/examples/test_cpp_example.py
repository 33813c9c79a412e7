"""The C++ example builds against the standalone native library and its headers alone."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
def test_cpp_example_builds_and_passes(tmp_path):
    build = tmp_path / "build"
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", str(ROOT / "examples" / "cpp"), "-B", str(build), *gen,
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build)], check=True, capture_output=True)
    out = subprocess.run([str(build / "native_example")], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout
    assert "all checks passed" in out.stdout
    # No Python in the link: the program depends on no libpython.
    deps = subprocess.run(["ldd", str(build / "native_example")], capture_output=True, text=True).stdout
    assert "libpython" not in deps
