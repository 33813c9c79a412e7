"""The exported native library: LU, complex LU and products against LAPACK/BLAS (a
C++ harness, bench/native/), and the AS 241 quantile against scipy.special.ndtri."""

import ctypes
import os
import pathlib
import subprocess

import numpy as np
import scipy.special

import timing
import Quandrel._ckernels.regression._regression as module

HERE = pathlib.Path(__file__).resolve().parent
TOP = HERE.parent
COMMON = TOP / "src" / "Quandrel" / "_ckernels" / "_common"
HARNESS = HERE / "native" / "bench_native.cpp"
EXE = TOP / "build" / "bench_native"

# The kernel library's own flags (strict IEEE-754, no fused multiply-adds).
FLAGS = ["-O3", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fno-associative-math",
         "-fno-reciprocal-math", "-fno-finite-math-only", "-fsignaling-nans", "-frounding-math",
         "-Wno-psabi"]


def build():
    sources = sorted(COMMON.glob("*.cpp"))
    inputs = sources + sorted(COMMON.glob("*.h")) + [HARNESS]
    if EXE.exists() and EXE.stat().st_mtime > max(p.stat().st_mtime for p in inputs):
        return
    EXE.parent.mkdir(exist_ok=True)
    cmd = ["g++", *FLAGS, "-fopenmp", f"-I{COMMON}", "-I/usr/include/x86_64-linux-gnu", str(HARNESS),
           *map(str, sources), "-o", str(EXE), "-llapack", "-lblas", "-lm"]
    subprocess.run(cmd, check=True)


def ndtri_into():
    """qdl_ndtri_as241_into(p, n, out) from the extension's shared object, through ctypes."""
    fn = ctypes.CDLL(module.__file__).qdl_ndtri_as241_into
    fn.restype = None
    fn.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_void_p]
    return fn


def run(quick):
    build()
    print("\n== Gram, LU, complex LU and products (C++ harness; ratio = LAPACK/BLAS time / ours)",
          flush=True)
    # The harness sets both sides' thread counts itself; OpenBLAS must not be capped at load.
    caps = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")
    env = {k: v for k, v in os.environ.items() if k not in caps}
    subprocess.run([str(EXE)] + (["--quick"] if quick else []), check=True, env=env)

    ndtri = ndtri_into()
    p = np.random.default_rng(0).random(2 * 10**6)
    out = np.empty_like(p)

    def ours():
        ndtri(p.ctypes.data, p.size, out.ctypes.data)

    ours()
    assert np.allclose(out, scipy.special.ndtri(p), rtol=1e-14)
    rows = timing.by_threads("2e6", ours, lambda: scipy.special.ndtri(p), rounds=5 if quick else 15)
    timing.report("qdl_ndtri_as241_into, uniform p in (0, 1)", rows, ["scipy ndtri"])
