"""The C++ example builds against the standalone native library and its headers alone,
both from the source tree (add_subdirectory) and from an installed package
(find_package)."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
GEN = ["-G", "Ninja"] if shutil.which("ninja") else []


def cmake(*args):
    subprocess.run(["cmake", *args], check=True, capture_output=True)


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs CMake")
@pytest.mark.parametrize("source", ["subdirectory", "installed"])
def test_cpp_example_builds_and_passes(tmp_path, source):
    options = []
    if source == "installed":
        cmake("-S", str(ROOT), "-B", str(tmp_path / "lib"), *GEN, "-DCMAKE_BUILD_TYPE=Release")
        cmake("--build", str(tmp_path / "lib"))
        cmake("--install", str(tmp_path / "lib"), "--prefix", str(tmp_path / "prefix"))
        assert (tmp_path / "prefix" / "include" / "quandrel" / "as241.h").is_file()
        options = ["-DUSE_INSTALLED_QUANDREL=ON", f"-DCMAKE_PREFIX_PATH={tmp_path / 'prefix'}"]
    build = tmp_path / "example"
    cmake("-S", str(ROOT / "examples" / "cpp"), "-B", str(build), *GEN, "-DCMAKE_BUILD_TYPE=Release", *options)
    cmake("--build", str(build))
    out = subprocess.run([str(build / "native_example")], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout
    assert "all checks passed" in out.stdout
    # No Python in the link: the program depends on no libpython.
    deps = subprocess.run(["ldd", str(build / "native_example")], capture_output=True, text=True).stdout
    assert "libpython" not in deps
