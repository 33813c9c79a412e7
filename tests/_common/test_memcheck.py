"""The LU routines release every allocation on every path and stay inside their
buffers: a C++ driver (lu_memcheck.cpp) built from the library sources and run under
valgrind's memcheck."""

import os
import pathlib
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
COMMON = HERE.parents[1] / "src" / "Quandrel" / "_ckernels" / "_common"
FLAGS = ["-O1", "-g", "-std=c++20", "-ffp-contract=off", "-frounding-math", "-fsignaling-nans", "-Wno-psabi"]


@pytest.mark.slow
@pytest.mark.skipif(not (shutil.which("valgrind") and shutil.which("g++")), reason="needs valgrind and g++")
def test_no_leaks_and_no_bad_accesses(tmp_path):
    exe = tmp_path / "lu_memcheck"
    sources = [HERE / "lu_memcheck.cpp", *sorted(COMMON.glob("*.cpp"))]
    subprocess.run(["g++", *FLAGS, f"-I{COMMON}", *map(str, sources), "-o", str(exe)], check=True)
    # Under the sanitizer suite the sanitizer runtime is preloaded into every child;
    # valgrind's own allocator cannot run beside it, and the driver is not built with it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    run = subprocess.run(
        ["valgrind", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
         "--errors-for-leak-kinds=all", str(exe)],
        capture_output=True, text=True, env=env,
    )
    assert run.returncode == 0, run.stderr[-4000:]
    assert run.stdout.strip() == "ok"
    assert "All heap blocks were freed" in run.stderr
